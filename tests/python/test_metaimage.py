"""`ozk convert VOLUME OUT.mhd`, read back by a reader written here from the MetaImage format
and by VTK's reader, and the outputs `convert` refuses."""
import os

import numpy as np
import pytest

import ozk
from conftest import HEIGHT, SLICES, WIDTH, expected, ozk_tool

# Volume, level, ElementSpacing (index axes z, x, y), Offset (world x, y, z): the HR
# fixture's voxel size (0.5, 2, 4) from (-1, -2, -3), the packed one's corners (-1, -2, -3)
# to (7, 8, 9), and volumes without either.
CASES = [
    ("f32.hrv", 0, (4, 0.5, 2), (-0.75, -1, -1)),
    ("f32.hrv", 1, (8, 1, 4), (-0.5, 0, 1)),
    ("f32.pvol", 0, (12 / 13, 0.2, 10 / 23), (-0.9, -2 + 5 / 23, -3 + 6 / 13)),
    ("u16.pvol.gz", 0, (1, 1, 1), (0.5, 0.5, 0.5)),
]


def convert(*args):
    return ozk_tool("--quiet", "convert", *args)


def read_metaimage(path):
    """The header's fields, and the samples indexed by the index axes slowest first."""
    lines = path.read_text().splitlines()
    fields = dict(line.split(" = ", 1) for line in lines)
    assert lines[-1] == "ElementDataFile = " + path.with_suffix(".raw").name
    assert [fields[k] for k in ("ObjectType", "NDims", "ElementType", "BinaryDataByteOrderMSB")] \
        == ["Image", "3", "MET_FLOAT", "False"]
    dims = [int(v) for v in fields["DimSize"].split()]
    samples = np.fromfile(path.parent / fields["ElementDataFile"], dtype="<f4")
    return fields, samples.reshape(dims[::-1])


def numbers(text):
    return np.array([float(v) for v in text.split()])


@pytest.mark.parametrize("name, level, spacing, offset", CASES)
def test_samples_and_their_places(volumes, tmp_path, name, level, spacing, offset):
    out = tmp_path / "out.mhd"
    assert convert(volumes / name, out, "--level", level).returncode == 0
    fields, samples = read_metaimage(out)
    with ozk.open(volumes / name) as vol:
        assert np.array_equal(samples, np.asarray(vol.level(level)))
    assert numbers(fields["ElementSpacing"]) == pytest.approx(spacing)
    assert numbers(fields["Offset"]) == pytest.approx(offset)
    # Row i of the matrix is where index axis i (z, x, y) points: sample [y, x, z] lies at
    # offset + (x, y, z) * spacing in the world.
    rows = numbers(fields["TransformMatrix"]).reshape(3, 3)
    y, x, z = 4, 6, 5
    world = numbers(fields["Offset"]) + (np.array([z, x, y]) * spacing) @ rows
    assert world == pytest.approx(np.array(offset) + np.array([x, y, z]) * np.array(spacing)[[1, 2, 0]])
    assert sorted(os.listdir(tmp_path)) == ["out.mhd", "out.raw"]


def test_vtk_reads_the_same_image(volumes, tmp_path):
    if not os.environ.get("CI"):
        pytest.importorskip("vtkmodules", reason="python3-vtk9 is not installed")
    from vtkmodules.util.numpy_support import vtk_to_numpy
    from vtkmodules.vtkIOImage import vtkMetaImageReader
    assert convert(volumes / "f32.hrv", tmp_path / "hr.mhd").returncode == 0
    reader = vtkMetaImageReader()
    reader.SetFileName(str(tmp_path / "hr.mhd"))
    reader.Update()
    image = reader.GetOutput()
    assert image.GetDimensions() == (WIDTH, HEIGHT, SLICES)
    assert image.GetSpacing() == pytest.approx((4, 0.5, 2))
    samples = vtk_to_numpy(image.GetPointData().GetScalars()).reshape(SLICES, HEIGHT, WIDTH)
    assert np.array_equal(samples, expected("f32.hrv"))


# Outputs refused: a directory where the raw file or the header must go (after the raw
# file was complete, or renamed into place), and a Zarr store. Exit code, what stays.
REFUSED = [("out.raw", 1, ["out.raw"]), ("out.mhd", 1, ["out.mhd"]), ("out.zarr", 2, [])]


@pytest.mark.parametrize("taken, code, left", REFUSED)
def test_refused_outputs_leave_nothing(volumes, tmp_path, taken, code, left):
    if code == 1:
        (tmp_path / taken).mkdir()
    target = tmp_path / ("out.zarr" if code == 2 else "out.mhd")
    done = convert(volumes / "f32.hrv", target)
    assert done.returncode == code and sorted(os.listdir(tmp_path)) == left
    message = [line for line in done.stderr.splitlines() if line.startswith("ozk:")]
    assert len(message) == 1 and ("python3 -m ozk convert" in message[0]) == (code == 2)
