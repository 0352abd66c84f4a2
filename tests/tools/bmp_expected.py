"""Prints the gray values that PIL reads from a BMP file, for the BMP loader's cross-check.

  bmp_expected.py [--reference] FILE
FILE (plain, or gzip when it ends in .gz) is decoded by PIL; with --reference, the suite's
reference PNG beside FILE in html/bmpsuite.html (for undefined RLE pixels, the one giving
them colour 0) is, with fully transparent pixels printed as -1. Alpha is dropped; a pixel
is 0.5/255 * green + 0.344/255 * red + 0.156/255 * blue, the loader's weights. Prints
"WIDTH HEIGHT", then each row, top first. Exits 3 when PIL refuses the file, 2 without PIL.
"""
import gzip
import io
import os
import re
import sys

try:
    from PIL import Image
except ImportError as e:  # the C++ test decides whether that may be skipped
    print(f"missing: {e}")
    sys.exit(2)

GREEN = 0.5 / 255
RED = 0.344 / 255
BLUE = 0.156 / 255


def reference(path):
    """The suite's reference rendering for `path` (g/NAME.bmp and the like)."""
    suite = os.path.dirname(os.path.dirname(os.path.abspath(path)))
    name = os.path.basename(os.path.dirname(path)) + "/" + os.path.basename(path)
    page = open(os.path.join(suite, "html", "bmpsuite.html"), encoding="utf-8").read()
    for row in re.split(r"<tr", page):
        if re.search(r"\b" + re.escape(name) + r"\b", row):
            images = re.findall(r'src="([\w-]+\.png)"', row)
            zero = [i for i in images if i.endswith("-0.png")]
            if zero or images:
                return os.path.join(suite, "html", (zero or images)[0])
    raise LookupError(f"no reference rendering for {name}")


def expected(path, undefined_transparent=False):
    data = open(path, "rb").read()
    if path.lower().endswith(".gz"):
        data = gzip.decompress(data)
    image = Image.open(io.BytesIO(data))
    image.load()
    rgba = image.convert("RGBA")
    width, height = rgba.size
    pixels = list(rgba.getdata())
    lines = [f"{width} {height}"]
    for r in range(height):
        row = pixels[r * width:(r + 1) * width]
        lines.append(" ".join("-1" if undefined_transparent and a == 0 else
                              f"{GREEN * g + RED * red + BLUE * b:.7f}" for red, g, b, a in row))
    return "\n".join(lines) + "\n"


if __name__ == "__main__":
    try:
        reference_rendering = sys.argv[1] == "--reference"
        text = expected(reference(sys.argv[2]) if reference_rendering else sys.argv[1],
                        undefined_transparent=reference_rendering)
    except Exception as e:  # any refusal by PIL: the file is not compared
        print(f"refused: {type(e).__name__}: {e}")
        sys.exit(3)
    sys.stdout.write(text)
