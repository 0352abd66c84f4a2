"""Cross-checks TIFF files with readers and writers the library does not share code with.

  tiff_crosscheck.py verify FILE HEIGHT WIDTH HEXBYTES [INFOHEX]
      FILE (plain or .gz) must read in tifffile (and, plain, in tifffile.memmap) as HEIGHT x
      WIDTH float32 whose little-endian bytes are HEXBYTES (or "crc32:HEX", their CRC-32);
      with INFOHEX, tag 65001 must start with those bytes.
  tiff_crosscheck.py make DIRECTORY   writes small fixtures of the common kinds there, each
      also gzipped (NAME.gz)
Exits 0 on success, 1 with a message otherwise, 2 when tifffile is missing.
"""
import gzip
import io
import sys
import zlib

try:
    import numpy as np
    import tifffile
except ImportError as e:  # the C++ test decides whether that may be skipped
    print(f"missing: {e}")
    sys.exit(2)


def verify(path, height, width, hexbytes, infohex=None):
    data = open(path, "rb").read()
    if path.lower().endswith(".gz"):
        data = gzip.decompress(data)
    with tifffile.TiffFile(io.BytesIO(data)) as tif:
        page = tif.pages[0]
        image = page.asarray()
        got = (image.shape, image.dtype, page.tags["SampleFormat"].value,
               page.tags["BitsPerSample"].value)
        assert got == ((height, width), np.float32, 3, 32), got
        raw = image.astype("<f4").tobytes()
        got = f"crc32:{zlib.crc32(raw):08x}" if hexbytes.startswith("crc32:") else raw.hex()
        assert got == hexbytes, f"{got} != {hexbytes}"
        if infohex is not None:
            block = bytes(page.tags[65001].value)
            assert block.hex().startswith(infohex), block[:16].hex()
    if not path.lower().endswith(".gz"):
        mapped = tifffile.memmap(path, mode="r")
        assert mapped.shape == (height, width), mapped.shape
        assert mapped.astype("<f4").tobytes() == raw, "memmap differs"


def make(directory):
    write = tifffile.imwrite
    write(f"{directory}/u8.tif", np.array([[0, 128, 255]], np.uint8))
    write(f"{directory}/u16.tif", np.array([[0, 1, 65535]], np.uint16))
    write(f"{directory}/u32.tif", np.array([[4294967295, 0, 2147483648]] * 2, np.uint32),
          photometric="miniswhite")  # 32-bit samples have no table to invert them by
    write(f"{directory}/f32.tif", np.array([[1.5, -2.5e-30, 3e38]] * 2, np.float32))
    write(f"{directory}/i16.tif", np.array([[-32768, 0, 32767]], np.int16))
    write(f"{directory}/f32_be.tif", np.array([[1.5, -2.25, 1e-3]] * 2, np.float32),
          byteorder=">")
    write(f"{directory}/white.tif", np.array([[0, 255, 55]], np.uint8), photometric="miniswhite")
    colormap = np.zeros((3, 256), np.uint16)
    colormap[:, 1:3] = [[65535, 0], [0, 0], [0, 65535]]
    write(f"{directory}/palette.tif", np.array([[1, 2, 0]], np.uint8), photometric="palette",
          colormap=colormap)
    write(f"{directory}/rgb.tif", np.array([[[255, 0, 0], [0, 255, 0], [0, 0, 255]]], np.uint8),
          photometric="rgb")
    for name in ("u8", "u16", "u32", "i16", "f32", "f32_be", "white", "palette", "rgb"):
        with open(f"{directory}/{name}.tif", "rb") as plain:
            with open(f"{directory}/{name}.tif.gz", "wb") as packed:
                packed.write(gzip.compress(plain.read()))


if __name__ == "__main__":
    try:
        if sys.argv[1] == "verify":
            verify(sys.argv[2], int(sys.argv[3]), int(sys.argv[4]), *sys.argv[5:7])
        elif sys.argv[1] == "make":
            make(sys.argv[2])
        else:
            raise SystemExit(f"unknown command {sys.argv[1]}")
    except AssertionError as e:
        print(f"mismatch: {e}")
        sys.exit(1)
