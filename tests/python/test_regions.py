"""Regions and resolution levels through numpy indexing, checked against the writers' data."""
import numpy as np
import pytest
import tifffile

import ozk
from conftest import HEIGHT, SLICES, WIDTH, expected, ozk_tool as run_tool

class Spy(ozk.Volume):
    def __init__(self, path):
        super().__init__(path)
        self.calls = []

    def _read_region(self, level, y0, x0, z0, out):
        self.calls.append((y0, out.shape))
        super()._read_region(level, y0, x0, z0, out)


def test_indexing_reads_only_the_box_and_each_slice_once_ascending(volumes):
    with Spy(volumes / "f32.hrv") as vol:
        vol[:, 5, :]
        assert vol.calls == [(0, (SLICES, 1, WIDTH))]
        vol.calls.clear()
        vol[[7, 2, 7, 3, 12], 4:9, -1]
        assert vol.calls == [(2, (2, 5, 1)), (7, (1, 5, 1)), (12, (1, 5, 1))]
        vol.calls.clear()
        vol[::-5, 0]
        assert [y for y, _ in vol.calls] == sorted(range(SLICES - 1, -1, -5))


def test_levels_index_like_their_whole_arrays(volumes):
    path = volumes / "f32.hrv"
    with ozk.open(path) as vol:
        shapes = [level.shape for level in vol.levels]
        assert shapes == [(SLICES, HEIGHT, WIDTH), (-(-SLICES // 2), HEIGHT // 2, -(-WIDTH // 2))]
        assert np.array_equal(np.asarray(vol.level(0)), expected("f32.hrv"))
        coarse = vol.level(1)
        whole = np.asarray(coarse)
        for key in [np.s_[:, 17], np.s_[..., -1], np.s_[:, 0, ::-1], np.s_[2:9, 15:3:-2, 5],
                    np.s_[[7, 2, 7], :, [1, 3, 0]], np.s_[::-1, 3]]:
            assert np.array_equal(coarse[key], whole[key]), key
        with pytest.raises(IndexError):
            vol.level(2)
    pyramid = ozk.to_dask_pyramid(path, slices_per_chunk=5)
    assert [level.shape for level in pyramid] == shapes
    assert np.array_equal(pyramid[1].compute(), whole)
    assert np.array_equal(ozk.to_dask(path, level=1).compute(), whole)
    with ozk.open(volumes / "f32.pvol") as vol:
        assert vol.num_levels == 1
        with pytest.raises(IndexError):
            vol.level_shape(1)


def test_tool_writes_planes_of_any_axis_and_level(volumes, tmp_path):
    path = volumes / "f32.hrv"
    with ozk.open(path) as vol:
        for axis, level, index, want in [("x", 0, 5, vol[:, 5, :]), ("z", 1, 6, vol.level(1)[..., 6]),
                                         ("y", 1, 0, vol.level(1)[0])]:
            out = tmp_path / f"{axis}{level}.tif"
            assert run_tool("slice", path, index, out, "--axis", axis, "--level", level).returncode == 0
            assert np.array_equal(tifffile.imread(out), want), (axis, level)
    done = run_tool("export", path, tmp_path / "z", "--axis", "z", "--slices", "2:5")
    assert done.returncode == 0 and len(list((tmp_path / "z").iterdir())) == 3
    for index, option, cause in [(0, ("--level", 2), "no level 2"),
                                 (WIDTH, ("--axis", "z"), "out of range")]:
        refused = run_tool("slice", path, index, tmp_path / "n.tif", *option)
        assert refused.returncode == 1 and cause in refused.stderr, cause
