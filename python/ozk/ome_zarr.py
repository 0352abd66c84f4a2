"""Volumes into OME-Zarr (the NGFF multiscale image layout, version 0.4) with zarr and dask.

The store is a Zarr v2 group with one float32 array per resolution level, "0" the finest,
each of shape (num_slices, height, width) of its level, chunked in cubes, and the group's
``multiscales`` attributes, written last: a store without them was not finished.
"""
import os
import shutil
import threading

import numpy as np

from . import Volume

AXES = ("y", "x", "z")  # the arrays' axes, as the volume's indexing orders them

_handles = {}  # (thread, path) -> Volume, for the conversion that is running
_handles_lock = threading.Lock()


def _open_cached(path):
    # One handle per worker thread and file: opening an HR file for every chunk would parse
    # its tree each time, and a handle serves one thread at a time.
    key = (threading.get_ident(), path)
    with _handles_lock:
        vol = _handles.get(key)
    if vol is None:
        vol = Volume(path)
        with _handles_lock:
            _handles[key] = vol
    return vol


def _close_cached():
    # After a conversion: no file stays open (nor an HR volume's threads) in any thread.
    with _handles_lock:
        handles = list(_handles.values())
        _handles.clear()
    for vol in handles:
        vol.close()


def _read_block(path, level, start, shape):
    out = np.empty(shape, np.float32)
    _open_cached(path)._read_region(level, start[0], start[1], start[2], out)
    return out


def region_array(path, level, chunks):
    """Level `level` of the volume at `path` as a dask array in cubes of `chunks`, each
    read by a task of its own through read_region (so memory per task is one cube)."""
    import dask.array as da
    from dask.base import tokenize
    from dask.highlevelgraph import HighLevelGraph

    path = os.path.abspath(os.fsdecode(path))
    with Volume(path) as vol:
        shape = vol.level_shape(level)
    stat = os.stat(path)
    name = "ozk-region-" + tokenize(path, stat.st_mtime_ns, stat.st_size, level, chunks)
    blocks = [tuple(min(chunks, n - s) for s in range(0, n, chunks)) or (0,) for n in shape]
    layer = {}
    for i, ys in enumerate(range(0, max(shape[0], 1), chunks)):
        for j, xs in enumerate(range(0, max(shape[1], 1), chunks)):
            for k, zs in enumerate(range(0, max(shape[2], 1), chunks)):
                block = (blocks[0][i], blocks[1][j], blocks[2][k])
                layer[(name, i, j, k)] = (_read_block, path, level, (ys, xs, zs), block)
    graph = HighLevelGraph.from_collections(name, layer, dependencies=())
    return da.Array(graph, name, tuple(blocks), dtype=np.float32)


def _halve(array, chunks):
    # The 2 x 2 x 2 mean; an odd side is first padded with its last sample, so level k
    # has ceil(n / 2^k) samples along each axis, as the HR levels do.
    import dask.array as da
    pad = [(0, n % 2) for n in array.shape]
    if any(p[1] for p in pad):
        array = da.pad(array, pad, mode="edge")
    return da.coarsen(np.mean, array, {0: 2, 1: 2, 2: 2}).astype(np.float32).rechunk(chunks)


def spacing_of(vol):
    """(x, y, z) voxel spacing: ``vol.spacing``, or (1, 1, 1) when an axis has none above 0
    (OME-Zarr scales must be positive)."""
    spacing = vol.spacing
    return spacing if all(s > 0 for s in spacing) else (1.0, 1.0, 1.0)


def multiscales(vol, levels, name):
    """The group's NGFF 0.4 ``multiscales`` attribute for `levels` levels of `vol`."""
    sx, sy, sz = spacing_of(vol)
    base = (sy, sx, sz)  # array order
    origin = (vol.vmin[1], vol.vmin[0], vol.vmin[2])
    datasets = []
    for k in range(levels):
        f = 2.0**k
        # A level-k sample is the mean of 2^k voxels along each axis: its centre lies half
        # of that block minus half a voxel beyond the block's first voxel.
        datasets.append({
            "path": str(k),
            "coordinateTransformations": [
                {"type": "scale", "scale": [s * f for s in base]},
                {"type": "translation",
                 "translation": [o + s * (f - 1) / 2 for o, s in zip(origin, base)]},
            ],
        })
    return [{
        "version": "0.4",
        "name": name,
        "axes": [{"name": a, "type": "space"} for a in AXES],
        "datasets": datasets,
    }]


def to_ome_zarr(path, store, *, chunks=64, client=None, overwrite=False, progress=False):
    """Writes the volume at `path` as an OME-Zarr image (NGFF 0.4) into the folder `store`.

    Levels: an HR volume's stored levels (read, not recomputed), a packed or header
    volume's 2 x 2 x 2 means, down to the first level whose largest side is at most
    `chunks`. Arrays are float32 of shape (num_slices, height, width) ("y", "x", "z"), in
    cubes of `chunks`, with zarr's default compressor. An existing `store` is refused
    (FileExistsError) unless `overwrite`. With `client` (dask.distributed) the workers read
    and write every chunk, opening the volume themselves. Returns the number of levels.
    """
    import dask
    import dask.array as da
    import zarr

    if not isinstance(chunks, int) or isinstance(chunks, bool) or chunks < 1:
        raise ValueError(f"chunks must be a positive integer, not {chunks!r}")
    path = os.path.abspath(os.fsdecode(path))
    store = os.path.abspath(os.fsdecode(store))
    with Volume(path) as vol:
        stored = vol.num_levels
        hr = vol.kind == "hr"
        levels = 1
        shape = vol.shape
        while max(shape) > chunks and (not hr or levels < stored):
            shape = tuple(-(-n // 2) for n in shape)
            levels += 1
        attributes = multiscales(vol, levels, os.path.basename(path))
    if os.path.lexists(store):
        if not overwrite:
            raise FileExistsError(f"'{store}' exists (overwrite=True replaces it)")
        if os.path.isdir(store) and not os.path.islink(store):
            shutil.rmtree(store)
        else:
            os.remove(store)
    arrays = [region_array(path, 0, chunks)]
    for k in range(1, levels):
        arrays.append(region_array(path, k, chunks) if hr else _halve(arrays[-1], chunks))
    root = zarr.open_group(store, mode="w")
    writes = []
    for k, a in enumerate(arrays):
        target = root.create_dataset(str(k), shape=a.shape, chunks=(chunks,) * 3, dtype="<f4")
        writes.append(da.store(a, target, lock=False, compute=False))
    try:
        if client is not None:
            futures = client.compute(writes)
            if progress:
                from distributed import progress as show
                show(futures)
            client.gather(futures)
            client.run(_close_cached)
        elif progress:
            from dask.diagnostics import ProgressBar
            with ProgressBar():
                dask.compute(*writes)
        else:
            dask.compute(*writes)
    finally:
        _close_cached()
    root.attrs["multiscales"] = attributes
    return levels
