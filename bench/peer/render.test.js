'use strict';

// node --test bench/peer/

const assert = require('assert/strict');
const { Readable } = require('stream');
const test = require('node:test');
const { chunkLine, parseCommandLine, readGpx } = require('./render.js');

const bytes = (text, size = 65536) => {
  const buffer = Buffer.from(text);
  const chunks = [];
  for (let i = 0; i < buffer.length; i += size) chunks.push(buffer.subarray(i, i + size));
  return Readable.from(chunks, { objectMode: false });
};

test('chunkLine keeps every point and joins the pieces end to start', () => {
  for (const [length, size, pieces] of [
    [1, 3, 1],
    [3, 3, 1],
    [4, 3, 2],
    [5, 3, 2],
    [6, 3, 3],
    [330000, 100000, 4],
  ]) {
    const points = Array.from({ length }, (_, i) => [i, -i]);
    const chunks = chunkLine(points, size);
    const label = `${length} points in pieces of ${size}`;
    assert.equal(chunks.length, pieces, label);
    for (const [i, chunk] of chunks.entries()) {
      assert.ok(chunk.length <= size && chunk.length >= Math.min(2, length), label);
      if (i > 0) assert.equal(chunk[0], chunks[i - 1].at(-1), label);
    }
    const joined = chunks.flatMap((chunk, i) => (i === 0 ? chunk : chunk.slice(1)));
    assert.deepEqual(joined, points, label);
  }
});

test('readGpx keeps the points of gpx>trk>trkseg, per segment', async () => {
  const ns = 'xmlns="http://www.topografix.com/GPX/1/1"';
  for (const [name, text, segments] of [
    [
      'two tracks, three segments, [lon, lat]',
      `<gpx ${ns}><trk><trkseg><trkpt lat="1.5" lon="-2"/>` +
        `<trkpt lat="3" lon="4"><ele>1</ele></trkpt></trkseg><trkseg/></trk>` +
        `<trk><name>b</name><trkseg><trkpt lon="6" lat="5"/></trkseg></trk></gpx>`,
      [[[-2, 1.5], [4, 3]], [], [[6, 5]]],
    ],
    [
      'waypoints, routes and nested lookalikes are not track points',
      `<gpx><wpt lat="9" lon="9"/><rte><rtept lat="9" lon="9"/></rte>` +
        `<extensions><trk><trkseg><trkpt lat="9" lon="9"/></trkseg></trk></extensions>` +
        `<trk><trkseg><trkpt lat="1" lon="2"><trkpt lat="9" lon="9"/></trkpt></trkseg></trk></gpx>`,
      [[[2, 1]]],
    ],
    [
      'prefixed elements, one byte at a time',
      `<g:gpx xmlns:g="http://www.topografix.com/GPX/1/1"><g:trk><g:name>Zürich–Köln</g:name>` +
        `<g:trkseg><g:trkpt lat="47.3" lon="8.5"/></g:trkseg></g:trk></g:gpx>`,
      [[[8.5, 47.3]]],
    ],
  ]) {
    assert.deepEqual(await readGpx(bytes(text, 1)), segments, name);
  }
});

test('readGpx rejects malformed XML and bad coordinates', async () => {
  const point = (attrs) => `<gpx><trk><trkseg><trkpt ${attrs}/></trkseg></trk></gpx>`;
  for (const [text, message] of [
    ['<gpx><trk></gpx>', /^stdin: 1:\d+: unexpected close tag/],
    ['<gpx><trk>', /^stdin: .*unclosed tag: trk/],
    ['<x:gpx/>', /^stdin: .*unbound namespace prefix/],
    [point('lat="1"'), /^stdin: 1:\d+: trkpt has no valid lon$/],
    [point('lat="" lon="1"'), /no valid lat$/],
    [point('lat="91" lon="1"'), /no valid lat$/],
    [point('lat="1" lon="-180.5"'), /no valid lon$/],
    [point('lat="1" lon="1e"'), /no valid lon$/],
  ]) {
    await assert.rejects(readGpx(bytes(text)), { message }, text);
  }
});

test('parseCommandLine takes the harness options and rejects the rest', () => {
  const base = ['--width', '800', '--height', '600', '--url', 'u', '--out', 'o.png'];
  assert.deepEqual(parseCommandLine([...base, '--nomarkers']), {
    width: 800,
    height: 600,
    url: 'u',
    out: 'o.png',
    nomarkers: true,
  });
  for (const args of [
    base.slice(2),
    base.slice(0, 6),
    [...base, '--zoom', '3'],
    [...base, 'extra'],
    ['--width', '0', ...base.slice(2)],
    ['--width', '12px', ...base.slice(2)],
  ]) {
    assert.throws(() => parseCommandLine(args), undefined, args.join(' '));
  }
});
