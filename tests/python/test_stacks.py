"""`ozk convert` of numbered images, written here with tifffile and PIL, into HR volumes."""
import gzip
import os

import numpy as np
import pytest
import tifffile
from PIL import Image

import ozk
from conftest import ozk_tool

ROWS, IMAGES, COLUMNS = 37, 35, 11  # more images than one slab of 32 slices


def ramp(i, dtype, scale):
    return (np.arange(ROWS * COLUMNS).reshape(ROWS, COLUMNS) * scale + i * 7).astype(dtype)


def tif_gz(path, image):
    tifffile.imwrite(path.with_suffix(""), image)
    path.write_bytes(gzip.compress(path.with_suffix("").read_bytes()))
    path.with_suffix("").unlink()


# Name of image i, its samples, how it is saved, what the library reads from it (integer
# samples as the loaders scale them: PNG 8-bit by 1/256, TIFF 16-bit by 1/65535).
STACKS = [
    ("s_{:04d}.tif", lambda i: ramp(i, np.uint16, 157), tifffile.imwrite,
     lambda a: a.astype(np.float32) * np.float32(1 / 65535)),
    ("slice{}.tif.gz", lambda i: ramp(i, np.float32, -0.25), tif_gz, lambda a: a),
    ("scan_{}.png", lambda i: ramp(i, np.uint8, 0.5), lambda p, a: Image.fromarray(a).save(p),
     lambda a: a.astype(np.float32) / np.float32(256)),
]


def convert(*args):
    return ozk_tool("--quiet", "convert", *args)


def write_stack(folder, name, samples, save, first=0):
    folder.mkdir()
    for i in range(IMAGES):
        save(folder / name.format(first + i), samples(i))


@pytest.mark.parametrize("name, samples, save, loaded", STACKS)
@pytest.mark.parametrize("by_glob", [True, False])
def test_stacks_read_back_slice_by_slice(tmp_path, name, samples, save, loaded, by_glob):
    # Numbers from 1, unpadded in two of the stacks: their order is not that of the names.
    write_stack(tmp_path / "in", name, samples, save, first=1)
    source = tmp_path / "in" / name.replace("{}", "*").replace("{:04d}", "*")
    out = tmp_path / "out.hrv"
    done = convert(source if by_glob else tmp_path / "in", out, "--voxel-size", "0.5,2,3")
    assert done.returncode == 0, done.stderr
    with ozk.open(out) as vol:
        assert vol.shape == (IMAGES, ROWS, COLUMNS) and vol.voxel_size == (0.5, 2, 3)
        for i in range(IMAGES):
            assert np.array_equal(vol[i], loaded(samples(i)))


# How a stack of 16-bit TIFF images is spoiled, and the file the one failure line names.
SPOILED = [
    (lambda d: (d / "s_0003.tif").unlink(), "s_0004.tif"),
    (lambda d: tifffile.imwrite(d / "s_0033.tif", np.zeros((ROWS, COLUMNS + 1), np.uint16)),
     "s_0033.tif"),
    (lambda d: tifffile.imwrite(d / "s_0005.tif", np.zeros((ROWS, COLUMNS), np.uint8)),
     "s_0005.tif"),
    (lambda d: (d / "s_0034.tif").write_bytes(b"II*\0" + bytes(64)), "s_0034.tif"),
]


@pytest.mark.parametrize("spoil, named", SPOILED)
def test_spoiled_stacks_are_refused_and_leave_nothing(tmp_path, spoil, named):
    write_stack(tmp_path / "in", STACKS[0][0], STACKS[0][1], STACKS[0][2])
    spoil(tmp_path / "in")
    (tmp_path / "out").mkdir()
    done = convert(tmp_path / "in", tmp_path / "out" / "v.hrv")
    message = [line for line in done.stderr.splitlines() if line.startswith("ozk:")]
    assert done.returncode == 1 and len(message) == 1 and named in message[0]
    assert os.listdir(tmp_path / "out") == []
