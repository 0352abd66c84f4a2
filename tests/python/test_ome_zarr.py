"""OME-Zarr stores written by ozk.to_ome_zarr, read back with zarr-python."""
import os
import subprocess
import sys

import numpy as np
import pytest

import ozk
from conftest import HEIGHT, SLICES, WIDTH, expected

zarr = pytest.importorskip("zarr")


def halved(a):
    """The 2 x 2 x 2 mean, odd sides padded with their last sample: computed here alone."""
    a = np.pad(a.astype(np.float64), [(0, n % 2) for n in a.shape], mode="edge")
    s = a.shape
    return a.reshape(s[0] // 2, 2, s[1] // 2, 2, s[2] // 2, 2).mean(axis=(1, 3, 5))


def check_store(store, volume, chunks, levels):
    group = zarr.open_group(str(store), mode="r")
    (meta,) = group.attrs["multiscales"]
    assert meta["version"] == "0.4"
    assert meta["axes"] == [{"name": a, "type": "space"} for a in ("y", "x", "z")]
    assert [d["path"] for d in meta["datasets"]] == [str(k) for k in range(len(levels))]
    with ozk.open(volume) as vol:
        spacing = np.array(ozk.ome_zarr.spacing_of(vol))[[1, 0, 2]]
        origin = np.array(vol.vmin)[[1, 0, 2]]
    for k, (d, want) in enumerate(zip(meta["datasets"], levels)):
        scale, translation = d["coordinateTransformations"]
        assert np.allclose(scale["scale"], spacing * 2**k)
        assert np.allclose(translation["translation"], origin + spacing * (2**k - 1) / 2)
        array = group[str(k)]
        assert array.dtype == np.float32 and array.chunks == (chunks,) * 3
        assert np.allclose(array[:], want, rtol=1e-6), k


def test_hr_levels_are_copied_and_packed_ones_computed(volumes, tmp_path):
    with ozk.open(volumes / "f32.hrv") as vol:
        stored = [np.asarray(level) for level in vol.levels]
    assert ozk.to_ome_zarr(volumes / "f32.hrv", tmp_path / "hr.ome.zarr", chunks=8) == 2
    check_store(tmp_path / "hr.ome.zarr", volumes / "f32.hrv", 8, stored)
    pyramid = [expected("f32.pvol")]
    while max(pyramid[-1].shape) > 8:
        pyramid.append(halved(pyramid[-1]))
    assert len(pyramid) == 4  # 40 -> 20 -> 10 -> 5
    assert ozk.to_ome_zarr(volumes / "f32.pvol", tmp_path / "p.ome.zarr", chunks=8) == 4
    check_store(tmp_path / "p.ome.zarr", volumes / "f32.pvol", 8, pyramid)


def test_existing_and_failed_stores(volumes, tmp_path):
    store = tmp_path / "s.ome.zarr"
    ozk.to_ome_zarr(volumes / "f32.hdr", store, chunks=16)
    with pytest.raises(FileExistsError):
        ozk.to_ome_zarr(volumes / "f32.hdr", store)
    ozk.to_ome_zarr(volumes / "u16.pvol.gz", store, chunks=32, overwrite=True)
    check_store(store, volumes / "u16.pvol.gz", 32, [expected("u16.pvol.gz"), halved(expected("u16.pvol.gz"))])
    # A volume that fails halfway leaves a store without its multiscales attributes.
    with pytest.raises(OSError):
        ozk.to_ome_zarr(volumes / "short.pvol", tmp_path / "short.ome.zarr", chunks=4)
    assert "multiscales" not in zarr.open_group(str(tmp_path / "short.ome.zarr")).attrs
    with pytest.raises(ValueError):
        ozk.to_ome_zarr(volumes / "f32.hdr", tmp_path / "x", chunks=0)


def test_command_line(volumes, tmp_path):
    def run(*args):
        return subprocess.run([sys.executable, "-m", "ozk", "convert", *map(str, args)],
                              capture_output=True, text=True, env=os.environ)
    store = tmp_path / "c.ome.zarr"
    assert run(volumes / "f32.hrv", store, "--chunks", "16").returncode == 0
    assert zarr.open_group(str(store), mode="r")["0"].shape == (SLICES, HEIGHT, WIDTH)
    again = run(volumes / "f32.hrv", store)
    assert again.returncode == 1 and again.stderr.startswith("ozk: ") and "exists" in again.stderr
    assert run(volumes / "f32.hrv", store, "--chunks", "0").returncode == 2
