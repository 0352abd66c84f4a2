"""ozk.to_dask and ozk.export_tiff_stack on dask's local threads and on a LocalCluster."""
import gzip
import io
import os
import sys

import numpy as np
import pytest
import tifffile

import ozk
from conftest import SLICES, expected, ozk_tool
from test_ome_zarr import check_store, halved


def read_tiff(path):
    data = open(path, "rb").read()
    return tifffile.imread(io.BytesIO(gzip.decompress(data) if path.endswith(".gz") else data))


def check_stack(volume, paths):
    with ozk.open(volume) as vol:
        assert len(paths) == len(vol)
        for path, slice_ in zip(paths, vol):
            assert np.array_equal(read_tiff(path).view(np.uint32), slice_.view(np.uint32))


@pytest.mark.parametrize("name, per_chunk, chunks", [
    ("f32.hrv", 5, (5, 5, 5, 5, 3)),
    ("u16.pvol.gz", 23, (23,)),
    ("f32.hdr", None, (23,)),  # a chunk of dask's default size holds all 23 slices
    ("f32.pvol", 1, (1,) * 23),
])
def test_to_dask_computes_the_volume(volumes, name, per_chunk, chunks):
    array = ozk.to_dask(volumes / name, slices_per_chunk=per_chunk)
    assert array.chunks[0] == chunks and array.dtype == np.float32
    with ozk.open(volumes / name) as vol:
        whole = np.asarray(vol)
    assert np.array_equal(array.compute(scheduler="threads").view(np.uint32), whole.view(np.uint32))
    assert np.array_equal(array[3:17:4, 5:9].compute(), whole[3:17:4, 5:9])
    assert array.sum(axis=(1, 2)).compute() == pytest.approx(whole.sum(axis=(1, 2), dtype=float))


def test_to_dask_refuses_bad_chunking(volumes):
    for bad in (0, -2, 2.5, "3"):
        with pytest.raises(ValueError, match="slices_per_chunk"):
            ozk.to_dask(volumes / "f32.pvol", slices_per_chunk=bad)
    with pytest.raises(FileNotFoundError):
        ozk.to_dask(volumes / "missing.pvol")


def test_export_names_files_as_the_ozk_tool_does(volumes, tmp_path):
    written = ozk.export_tiff_stack(volumes / "f32.hdr", tmp_path / "py", slices_per_chunk=4)
    assert ozk_tool("--quiet", "export", volumes / "f32.hdr", tmp_path / "tool").returncode == 0
    assert [os.path.basename(p) for p in written] == sorted(os.listdir(tmp_path / "tool"))
    assert sorted(os.listdir(tmp_path / "py")) == sorted(os.listdir(tmp_path / "tool"))
    check_stack(volumes / "f32.hdr", written)

    compressed = ozk.export_tiff_stack(volumes / "u16.pvol.gz", tmp_path / "gz", compress=True)
    assert os.path.basename(compressed[-1]) == f"slice_{SLICES - 1:04d}.tif.gz"
    check_stack(volumes / "u16.pvol.gz", compressed)


@pytest.mark.cluster
@pytest.mark.filterwarnings("ignore:make_current is deprecated:DeprecationWarning")
def test_export_compute_and_convert_on_a_local_cluster(volumes, tmp_path):
    distributed = pytest.importorskip("distributed")
    with distributed.LocalCluster(n_workers=2, processes=True, threads_per_worker=1,
                                  host="127.0.0.1", dashboard_address=None) as cluster, \
            distributed.Client(cluster) as client:
        written = ozk.export_tiff_stack(volumes / "f32.hrv", tmp_path / "stack", client=client,
                                        slices_per_chunk=3)
        # The slices were written in the worker processes, which loaded the module for it.
        loaded = client.run(lambda: "ozk._core" in sys.modules)
        computed = client.compute(ozk.to_dask(volumes / "f32.hrv", slices_per_chunk=4)).result()
        ozk.to_ome_zarr(volumes / "f32.pvol", tmp_path / "d.ome.zarr", chunks=16, client=client)
    assert len(loaded) == 2 and any(loaded.values())
    check_stack(volumes / "f32.hrv", written)
    assert np.array_equal(computed, expected("f32.hrv"))
    pyramid = [expected("f32.pvol")]
    pyramid += [halved(pyramid[0]), halved(halved(pyramid[0]))]
    check_store(tmp_path / "d.ome.zarr", volumes / "f32.pvol", 16, pyramid)
