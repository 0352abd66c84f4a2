"""Expected gray floats of PNG files, decoded with PIL, for the loader's cross-check.

  png_expected.py FILE...   per FILE: "WIDTH HEIGHT", then one line of WIDTH floats per row
  png_expected.py check FILE WIDTH HEIGHT BYTES   FILE must be 8-bit gray of that size in PIL
      with the comma-separated pixel BYTES
Exits 0 on success, 1 with a message otherwise, 2 when PIL is missing.

As the loader converts: low-bit gray (v of d bits -> v * 255 / (2**d - 1)) and palettes
expanded; colour weighted by cHRM (else 0.2126, 0.7152, 0.0722); alpha and tRNS composited
onto bKGD (else black), on linear values (sample ** (1 / gamma)) when gAMA is more than 0.05
from 1; divided by 256 (65536 for 16-bit files).
"""
import struct
import sys
import zlib

try:
    import numpy as np
    from PIL import Image
except ImportError as e:  # the C++ test decides whether that may be skipped
    print(f"missing: {e}")
    sys.exit(2)

SIGNATURE = b"\x89PNG\r\n\x1a\n"


def chunks(data):  # (type, body) pairs, read straight from the bytes
    pos = len(SIGNATURE)
    while pos + 8 <= len(data):
        length, kind = struct.unpack(">I4s", data[pos:pos + 8])
        yield kind, data[pos + 8:pos + 8 + length]
        pos += 12 + length


def weights(chrm):
    """Luminance of the red, green and blue primaries for the white point, as Y of XYZ."""
    if chrm is None:
        return 6968 / 32768, 23434 / 32768, 2366 / 32768
    wx, wy, rx, ry, gx, gy, bx, by = (v / 100000 for v in struct.unpack(">8I", chrm))

    def xyz(x, y):
        return [x / y, 1.0, (1 - x - y) / y]

    # The scales s with primaries^T * s = white; Y of each primary is then s.
    primaries = np.array([xyz(rx, ry), xyz(gx, gy), xyz(bx, by)]).T
    return tuple(float(v) for v in np.linalg.solve(primaries, xyz(wx, wy)))


def expected(path):
    data = open(path, "rb").read()
    depth, colour_type = data[24], data[25]
    info = dict(chunks(data))
    top = 65535 if depth == 16 else 255
    gamma = struct.unpack(">I", info[b"gAMA"])[0] / 100000 if b"gAMA" in info else 1.0
    linear = abs(gamma - 1.0) > 0.05
    wr, wg, wb = weights(info.get(b"cHRM"))

    image = Image.open(path)
    image.load()
    width, height = image.size
    palette = image.getpalette() if colour_type == 3 else None

    def to_linear(v):
        return v ** (1 / gamma) if linear else v

    def from_linear(v):
        return v ** gamma if linear else v

    def sample(v, bits):  # on the unit scale
        return v / ((1 << bits) - 1)

    # The background on the unit scale, as a colour.
    background = (0.0, 0.0, 0.0)
    if b"bKGD" in info:
        body = info[b"bKGD"]
        if colour_type == 3:
            background = tuple(palette[3 * body[0] + k] / 255 for k in range(3))
        elif colour_type in (0, 4):
            g = sample(struct.unpack(">H", body[:2])[0], depth)
            background = (g, g, g)
        else:
            background = tuple(sample(v, depth) for v in struct.unpack(">3H", body[:6]))

    def gray_of(rgb):
        if rgb[0] == rgb[1] == rgb[2]:
            return rgb[0]
        if linear and top == 255:
            # For 8-bit files the linear values are themselves bytes, as in libpng's tables.
            lin = [round(255 * to_linear(c)) for c in rgb]
            y = (round(wr * 32768) * lin[0] + round(wg * 32768) * lin[1] +
                 (32768 - round(wr * 32768) - round(wg * 32768)) * lin[2] + 16384) >> 15
            return round(255 * from_linear(y / 255)) / 255
        lin = [to_linear(c) for c in rgb]
        return from_linear(wr * lin[0] + wg * lin[1] + wb * lin[2])

    n = 1 if colour_type == 0 else 3
    key = None if b"tRNS" not in info or colour_type not in (0, 2) else \
        struct.unpack(f">{n}H", info[b"tRNS"][:2 * n])

    pixels = pixel_rows(image, depth, colour_type)
    rows = []
    for raw_row in pixels:
        out = []
        for px in raw_row:
            # px: (r, g, b, alpha) as file samples; alpha None for opaque.
            if colour_type == 3:
                i = px[0]
                rgb = tuple(palette[3 * i + k] / 255 for k in range(3))
                alphas = info.get(b"tRNS", b"")
                alpha = alphas[i] / 255 if i < len(alphas) else 1.0
            elif colour_type in (0, 4):
                g = sample(px[0], depth)
                rgb = (g, g, g)
                alpha = sample(px[1], depth) if colour_type == 4 else 1.0
                if key is not None and px[0] == key[0]:
                    alpha = 0.0
            else:
                rgb = tuple(sample(v, depth) for v in px[:3])
                alpha = sample(px[3], depth) if colour_type == 6 else 1.0
                # PIL keeps only the high byte of 16-bit colour, so the key is compared so.
                shift = 8 if depth == 16 else 0
                if key is not None and tuple(v >> shift for v in px[:3]) == tuple(
                        v >> shift for v in key):
                    alpha = 0.0
            gray = gray_of(rgb)
            if alpha < 1.0:
                bg = gray_of(background)
                gray = from_linear(alpha * to_linear(gray) + (1 - alpha) * to_linear(bg))
            out.append(round(gray * top) / (top + 1))
        rows.append(out)
    return width, height, rows


def pixel_rows(image, depth, colour_type):
    """Rows of per-pixel sample tuples at the file's own depth.

    PIL keeps 16-bit gray exactly but reduces 16-bit colour and gray-alpha to 8 bits; those
    are brought back to 16 bits by repeating the byte (an error below one 8-bit step)."""
    width, height = image.size
    if colour_type in (0, 3):
        values = list(image.getdata())
        if image.mode == "1":
            values = [1 if v else 0 for v in values]
        elif colour_type == 0 and depth < 8 and image.mode == "L":
            # PIL scales low-bit gray up to 8 bits; bring it back to the file's depth.
            values = [v * ((1 << depth) - 1) // 255 for v in values]
        return [[(values[y * width + x],) for x in range(width)] for y in range(height)]
    mode = {2: "RGB", 4: "LA", 6: "RGBA"}[colour_type]
    values = list(image.convert(mode).getdata()) if image.mode != mode else list(image.getdata())
    if depth == 16:
        values = [tuple(v * 257 for v in px) for px in values]
    return [[values[y * width + x] for x in range(width)] for y in range(height)]


def check(path, width, height, byte_list):
    image = Image.open(path)
    got = (image.format, image.mode, image.size, list(image.getdata()))
    want = ("PNG", "L", (width, height), [int(v) for v in byte_list.split(",")])
    assert got == want, f"{got} != {want}"


def main(args):
    if args[0] == "check":
        check(args[1], int(args[2]), int(args[3]), args[4])
        return
    for path in args:
        try:
            width, height, rows = expected(path)
        except Exception as e:
            raise RuntimeError(f"{path}: {type(e).__name__}: {e}") from e
        print(width, height)
        for row in rows:
            print(" ".join("%.8f" % v for v in row))


if __name__ == "__main__":
    try:
        main(sys.argv[1:])
    except Exception as e:  # any failure is a finding for the C++ test
        print(f"error: {e}")
        sys.exit(1)
