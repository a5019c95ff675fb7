"""Small PNG files without dependencies: the 8-bit RGB and RGBA files that
the tile server and the pin script write, and a decoder for what plotr and
MagickCore write. Python standard library only."""

import struct
import zlib


def encode(width, height, channels, pixels):
    """An 8-bit PNG (IHDR, IDAT, IEND only) of `pixels`: width * height *
    channels bytes in rows from the top; 3 channels is RGB, 4 is RGBA."""
    stride = width * channels
    raw = b"".join(b"\x00" + pixels[y * stride:(y + 1) * stride] for y in range(height))
    color_type = {3: 2, 4: 6}[channels]
    return (PNG_SIGNATURE
            + _chunk(b"IHDR", struct.pack(">IIBBBBB", width, height, 8, color_type, 0, 0, 0))
            + _chunk(b"IDAT", zlib.compress(raw, 9)) + _chunk(b"IEND", b""))


def _chunk(kind, data):
    return (struct.pack(">I", len(data)) + kind + data
            + struct.pack(">I", zlib.crc32(kind + data) & 0xFFFFFFFF))


PNG_SIGNATURE = b"\x89PNG\r\n\x1a\n"


def png_size(head):
    """(width, height) from the first 24 bytes of a PNG file."""
    return int.from_bytes(head[16:20], "big"), int.from_bytes(head[20:24], "big")


class Png:
    """A decoded non-interlaced PNG: 1, 2, 4, 8 or 16 bits, grey, grey with
    alpha, RGB, RGBA or palette. `chunks` lists the chunk types in file order."""

    CHANNELS = {0: 1, 2: 3, 3: 1, 4: 2, 6: 4}

    def __init__(self, data):
        if not data.startswith(PNG_SIGNATURE):
            raise ValueError("not a PNG file")
        self.chunks, idat, self.palette, trns, pos = [], [], [], b"", 8
        while pos < len(data):
            length = int.from_bytes(data[pos:pos + 4], "big")
            kind, body = data[pos + 4:pos + 8], data[pos + 8:pos + 8 + length]
            crc = int.from_bytes(data[pos + 8 + length:pos + 12 + length], "big")
            if zlib.crc32(kind + body) != crc:
                raise ValueError(f"bad CRC in {kind!r}")
            self.chunks.append(kind.decode("latin-1"))
            if kind == b"IHDR":
                self.width, self.height = (int.from_bytes(body[i:i + 4], "big") for i in (0, 4))
                self.depth, self.color_type, _, _, interlace = body[8:13]
                if interlace:
                    raise ValueError("interlaced PNG")
            elif kind == b"PLTE":
                self.palette = [tuple(body[i:i + 3]) for i in range(0, len(body), 3)]
            elif kind == b"tRNS":
                trns = body
            elif kind == b"IDAT":
                idat.append(body)
            pos += 12 + length
        self.alphas = list(trns) if self.color_type == 3 else []
        channels = self.CHANNELS[self.color_type]
        self._bits = channels * self.depth
        stride = (self.width * self._bits + 7) // 8
        self._rows = _unfilter(zlib.decompress(b"".join(idat)), self.height, stride,
                               max(1, self._bits // 8))

    def _samples(self, x, y):
        row, bits, depth = self._rows[y], self._bits, self.depth
        if depth == 16:
            at = x * bits // 8
            return [(row[i] << 8 | row[i + 1]) / 257 for i in range(at, at + bits // 8, 2)]
        if depth == 8:
            at = x * bits // 8
            return list(row[at:at + bits // 8])
        bit = x * depth  # a single channel below 8 bits
        value = (row[bit // 8] >> (8 - depth - bit % 8)) & ((1 << depth) - 1)
        return [value if self.color_type == 3 else value * 255 / ((1 << depth) - 1)]

    def pixel(self, x, y):
        """(red, green, blue, alpha) of the pixel at column x, row y, each 0..255."""
        s = self._samples(x, y)
        if self.color_type == 3:
            i = int(s[0])
            return (*self.palette[i], self.alphas[i] if i < len(self.alphas) else 255)
        if len(s) <= 2:
            s = [s[0]] * 3 + s[1:]
        return tuple(s) + ((255,) if len(s) == 3 else ())


def read_png(path):
    with open(path, "rb") as f:
        return Png(f.read())


def _unfilter(data, height, stride, bpp):
    """Undoes the five row filters; returns the rows as bytearrays."""
    rows, prev, pos = [], bytearray(stride), 0
    for _ in range(height):
        kind, cur = data[pos], bytearray(data[pos + 1:pos + 1 + stride])
        pos += 1 + stride
        if kind == 1:
            for i in range(bpp, stride):
                cur[i] = (cur[i] + cur[i - bpp]) & 255
        elif kind == 2:
            cur = bytearray((a + b) & 255 for a, b in zip(cur, prev))
        elif kind == 3:
            for i in range(stride):
                cur[i] = (cur[i] + ((cur[i - bpp] if i >= bpp else 0) + prev[i]) // 2) & 255
        elif kind == 4:
            for i in range(stride):
                a = cur[i - bpp] if i >= bpp else 0
                b = prev[i]
                c = prev[i - bpp] if i >= bpp else 0
                pa, pb, pc = abs(b - c), abs(a - c), abs(a + b - 2 * c)
                cur[i] = (cur[i] + (a if pa <= pb and pa <= pc else b if pb <= pc else c)) & 255
        elif kind != 0:
            raise ValueError(f"filter type {kind}")
        rows.append(cur)
        prev = cur
    return rows
