"""Planes at any angle against scipy.ndimage.map_coordinates on the levels read whole."""
import os
import subprocess

import numpy as np
import pytest
import tifffile
from scipy import ndimage

import ozk
from conftest import ALL_VOLUMES

# (origin, u, v, (height, width)) in (x, y, z), scaled to the level's extent `e`: along
# each axis, obliques crossing brick faces, edges and corners, and the upper faces just
# inside and outside.
PLANES = [
    lambda e: ((e[0] // 2, 0, 0), (0, 0, 1), (0, 1, 0), (e[1], e[2])),
    lambda e: ((0, e[1] // 2, 0), (0, 0, 1), (1, 0, 0), (e[0], e[2])),
    lambda e: ((-2.5, -1.25, -3.1), (0.61, 0.37, 0.9), (0.2, 0.83, -0.31), (90, 140)),
    lambda e: ((30.25, 29.5, 31.75), (0.5, 0.5, 0.5), (0.5, -0.25, 0.125), (40, 60)),
    lambda e: ((e[0] - 1, 0, 0), (0, 0, 0.75), (0, 0.5, 0), (2 * e[1] + 3, 2 * e[2])),
    lambda e: ((e[0] - 1 + 1e-9, 0, 0), (0, 0, 1), (0, 1, 0), (3, 3)),
]


def scipy_plane(a, origin, u, v, shape, outside):
    r, c = np.mgrid[0:shape[0], 0:shape[1]].astype(np.float64)
    coords = [origin[k] + c * u[k] + r * v[k] for k in range(3)]
    return ndimage.map_coordinates(a, coords, order=1, mode="constant", cval=outside)


@pytest.fixture(scope="module")
def big_hr(tmp_path_factory):
    directory = tmp_path_factory.mktemp("planes")
    subprocess.run([os.environ["OZK_FIXTURE_WRITER"], str(directory), "100", "70", "90"],
                   check=True)
    return directory / "f32.hrv"


def check_levels(vol, outside):
    for level in range(vol.num_levels):
        a = np.asarray(vol.level(level)).transpose(1, 0, 2)  # a[x, y, z]
        for plane in PLANES:
            origin, u, v, shape = plane(a.shape)
            got = vol.sample_plane(origin, u, v, shape, level=level, outside=outside)
            want = scipy_plane(a, origin, u, v, shape, outside)
            assert got.dtype == np.float32 and got.shape == shape
            np.testing.assert_allclose(got, want, rtol=1e-5, atol=1e-6, equal_nan=True)


@pytest.mark.parametrize("name", ALL_VOLUMES)
def test_planes_of_every_kind_equal_scipy(volumes, name):
    with ozk.open(volumes / name) as vol:
        check_levels(vol, np.nan)


def test_hr_levels_equal_scipy_through_pools_of_any_size(big_hr):
    with ozk.open(big_hr) as vol:
        assert vol.num_levels == 3
        check_levels(vol, -7.0)  # the default pool
    with ozk.open(big_hr) as vol:
        vol.set_cache_size(3 * 34**3 * 4)  # planes through chunks of 3 bricks
        check_levels(vol, 0.0)
        vol.set_cache_size(0)  # no pool: regions
        check_levels(vol, 0.0)


def test_reslice_writes_the_plane_through_the_centre(big_hr, tmp_path):
    out = tmp_path / "plane.tif"
    subprocess.run([os.environ["OZK_TOOL"], "reslice", str(big_hr), str(out),
                    "--center", "50,35,45", "--normal", "1,2,3", "--size", "64,48",
                    "--spacing", "0.5", "--level", "1"], check=True, capture_output=True)
    n = np.array([1, 2, 3]) / np.sqrt(14)
    u = np.cross(n, [1, 0, 0]) if abs(n[0]) < 0.9 else np.cross(n, [0, 1, 0])
    u /= np.linalg.norm(u)
    v = np.cross(n, u)
    with ozk.open(big_hr) as vol:
        a = np.asarray(vol.level(1)).transpose(1, 0, 2)
    centre = np.array([50, 35, 45]) / 2.0
    origin = centre - 0.25 * (32 * u + 24 * v)  # spacing 0.5 voxels of level 0
    want = scipy_plane(a, origin, 0.25 * u, 0.25 * v, (48, 64), 0.0)
    np.testing.assert_allclose(tifffile.imread(out), want, rtol=1e-5, atol=1e-4)
