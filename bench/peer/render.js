#!/usr/bin/env node
// The benchmarks' peer: reads a GPX track on stdin and renders it with the
// staticmaps package (sharp/libvips), doing the same work as plotr.
//
//   node bench/peer/render.js --width W --height H --url TEMPLATE --out FILE
//        [--nomarkers] < track.gpx
//
// Exits 1 with one line on stderr on any failure.

'use strict';

const path = require('path');
const { parseArgs } = require('util');
const saxes = require('saxes');
const sharp = require('sharp');
const StaticMaps = require('staticmaps');

const PIN_DIR = path.join(__dirname, '..', '..', 'share', 'plotr');
// plotr's pins are 25 x 41 with the tip at column 12, row 36; the shadow
// (45 x 41) goes to the same top-left corner.
const PIN_TIP_X = 12;
const PIN_TIP_Y = 36;
const PINS = [
  { name: 'pin-icon-start.png', width: 25, height: 41 },
  { name: 'pin-icon-end.png', width: 25, height: 41 },
  { name: 'pin-shadow.png', width: 45, height: 41 },
];
const LINE_COLOR = '#4400FFB3'; // rgba(68, 0, 255, 0.7), as plotr draws it
const LINE_WIDTH = 4;
// plotr's largest zoom; staticmaps stops at 17 unless told.
const MAX_ZOOM = 18;
// staticmaps takes a line's extent with Math.min.apply over all its points,
// which overflows the stack somewhere above 100,000 arguments (a 330,000-point
// line crashes). Longer segments are drawn as consecutive lines of at most
// this many points, each sharing its last point with the next one's first.
const MAX_LINE_POINTS = 100000;

class UsageError extends Error {}

function parseCommandLine(argv) {
  let values;
  try {
    ({ values } = parseArgs({
      args: argv,
      options: {
        width: { type: 'string' },
        height: { type: 'string' },
        url: { type: 'string' },
        out: { type: 'string' },
        nomarkers: { type: 'boolean', default: false },
      },
      strict: true,
      allowPositionals: false,
    }));
  } catch (e) {
    throw new UsageError(e.message);
  }
  for (const name of ['width', 'height', 'url', 'out']) {
    if (values[name] === undefined) throw new UsageError(`--${name} is required`);
  }
  const size = (name) => {
    const text = values[name];
    if (!/^[1-9][0-9]*$/.test(text) || Number(text) > 100000) {
      throw new UsageError(`--${name} must be an integer from 1 to 100000, got "${text}"`);
    }
    return Number(text);
  };
  return {
    width: size('width'),
    height: size('height'),
    url: values.url,
    out: values.out,
    nomarkers: values.nomarkers,
  };
}

// Resolves to the segments of every gpx>trk>trkseg, each an array of
// [lon, lat] (staticmaps' order). Rejects on malformed XML or a bad lat/lon.
function readGpx(stream) {
  return new Promise((resolve, reject) => {
    const parser = new saxes.SaxesParser({ xmlns: true });
    const segments = [];
    const open = []; // local names of the open elements
    let segment = null;
    let failed = false;

    const fail = (message) => {
      if (failed) return;
      failed = true;
      stream.destroy();
      reject(new Error(`stdin: ${message}`));
    };

    const coordinate = (node, name, limit) => {
      const attr = node.attributes[name];
      const value = attr === undefined ? NaN : Number(attr.value);
      if (attr === undefined || attr.value.trim() === '' || !(Math.abs(value) <= limit)) {
        parser.fail(`trkpt has no valid ${name}`); // throws, with the position
      }
      return value;
    };

    parser.on('opentag', (node) => {
      const depth = open.length;
      open.push(node.local);
      if (depth === 2 && node.local === 'trkseg' && open[1] === 'trk' && open[0] === 'gpx') {
        segment = [];
      } else if (depth === 3 && node.local === 'trkpt' && segment !== null) {
        segment.push([coordinate(node, 'lon', 180), coordinate(node, 'lat', 90)]);
      }
    });
    parser.on('closetag', () => {
      if (open.length === 3 && segment !== null) {
        segments.push(segment);
        segment = null;
      }
      open.pop();
    });

    stream.setEncoding('utf8');
    stream.on('data', (chunk) => {
      if (failed) return;
      try {
        parser.write(chunk);
      } catch (e) {
        fail(e.message);
      }
    });
    stream.on('end', () => {
      if (failed) return;
      try {
        parser.close();
      } catch (e) {
        fail(e.message);
        return;
      }
      resolve(segments);
    });
    stream.on('error', (e) => fail(e.message));
  });
}

// Consecutive pieces of at most `size` points; each piece starts with the
// last point of the one before, so the drawn line has no gaps.
function chunkLine(points, size) {
  if (points.length <= size) return [points];
  const pieces = [];
  for (let start = 0; start < points.length - 1; start += size - 1) {
    pieces.push(points.slice(start, start + size));
  }
  return pieces;
}

// The centre of the track's box on the Mercator plane, as plotr centres it
// (staticmaps would take the mean latitude in degrees).
function trackCenter(segments) {
  let [west, south, east, north] = [Infinity, Infinity, -Infinity, -Infinity];
  for (const segment of segments) {
    for (const [lon, lat] of segment) {
      west = Math.min(west, lon);
      east = Math.max(east, lon);
      south = Math.min(south, lat);
      north = Math.max(north, lat);
    }
  }
  const mercator = (lat) => Math.log(Math.tan(Math.PI / 4 + (lat * Math.PI) / 360));
  const y = (mercator(south) + mercator(north)) / 2;
  return [(west + east) / 2, (Math.atan(Math.sinh(y)) * 180) / Math.PI];
}

// staticmaps drops tiles that fail to download or decode and renders the
// rest; plotr treats them as fatal, so the peer must too.
function failOnBadTiles(map) {
  const getTile = map.getTile.bind(map);
  map.getTile = async (data) => {
    const result = await getTile(data);
    if (!result.success) {
      throw new Error(`cannot download ${data.url}: ${result.error.message}`);
    }
    try {
      await sharp(result.tile.body).metadata();
    } catch (e) {
      throw new Error(`cannot read the tile from ${data.url}: ${e.message}`);
    }
    return result;
  };
}

async function main() {
  const options = parseCommandLine(process.argv.slice(2));
  const segments = (await readGpx(process.stdin)).filter((s) => s.length > 0);
  if (segments.length === 0) throw new Error('the GPX file has no track points');

  const map = new StaticMaps({
    width: options.width,
    height: options.height,
    tileUrl: options.url,
    zoomRange: { max: MAX_ZOOM },
  });
  failOnBadTiles(map);

  for (const segment of segments) {
    for (const coords of chunkLine(segment, MAX_LINE_POINTS)) {
      map.addLine({ coords, color: LINE_COLOR, width: LINE_WIDTH });
    }
  }
  // Chosen by staticmaps before the pins are added: it would otherwise fit
  // the pins' pixels too (and centre on them), where plotr fits the track.
  const zoom = map.calculateZoom();
  if (!options.nomarkers) {
    const [start, end, shadow] = PINS.map((pin) => ({
      img: path.join(PIN_DIR, pin.name),
      width: pin.width,
      height: pin.height,
      offsetX: PIN_TIP_X,
      offsetY: PIN_TIP_Y,
    }));
    // The shadow goes over each pin, in plotr's order.
    for (const segment of segments) {
      map.addMarker({ ...start, coord: segment[0] });
      map.addMarker({ ...shadow, coord: segment[0] });
      map.addMarker({ ...end, coord: segment[segment.length - 1] });
      map.addMarker({ ...shadow, coord: segment[segment.length - 1] });
    }
  }

  await map.render(trackCenter(segments), zoom);
  await map.image.save(options.out);
  process.stdout.write(`zoom level is ${map.zoom}\n`);
}

module.exports = { chunkLine, parseCommandLine, readGpx };

if (require.main === module) {
  main().catch((e) => {
    // One line: libvips' messages span several.
    process.stderr.write(`render.js: ${e.message.trim().replace(/\s*\n\s*/g, ': ')}\n`);
    if (e instanceof UsageError) {
      process.stderr.write(
        'usage: node render.js --width W --height H --url TEMPLATE --out FILE [--nomarkers]' +
          ' < track.gpx\n',
      );
    }
    process.exit(1);
  });
}
