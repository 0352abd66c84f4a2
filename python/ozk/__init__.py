"""Reads computed-tomography volumes (packed, header and HR files) as numpy arrays.

    import ozk
    with ozk.open("scan.hrv") as vol:
        vol.shape              # (num_slices, height, width), float32
        middle = vol[vol.shape[0] // 2]
        roi = vol[10:20, 100:200, 50:60]

A volume indexes like a read-only numpy array of shape (num_slices, height, width) and
reads only the region an index needs, on every axis (``vol[:, 128, :]`` reads one plane).
``vol.level(k)`` (or ``vol.levels[k]``) is resolution level k the same way: an HR volume
stores one per depth of its octree, each halving the last (``vol.num_levels``).

Failures raise OSError carrying the library's cause, as FileNotFoundError, PermissionError,
IsADirectoryError, ... where the system gave one. The library's log goes to
``logging.getLogger("ozk")``: "WARNING" entries at WARNING, "FAILED" ones at ERROR, the rest
at DEBUG, delivered after each call into the module; ``ozk.flush_log()`` delivers what the
library's own threads logged since, as exit does.

``to_dask`` gives a lazy dask array of a volume or one of its levels, ``to_dask_pyramid``
all of its levels, and ``export_tiff_stack`` writes every slice as a TIFF file in parallel
through dask, locally or on a distributed cluster.
"""
import atexit
import logging
import operator
import os

import numpy as np

from ._core import Volume as _CoreVolume
from ._core import __version__, flush_log, save_tif32

__all__ = ["Volume", "Level", "open", "save_tif32", "to_dask", "to_dask_pyramid",
           "export_tiff_stack", "to_ome_zarr", "flush_log"]

# A library's logger stays silent until the program configures logging; logging's own exit
# handler, registered first, runs after this one.
logging.getLogger("ozk").addHandler(logging.NullHandler())
atexit.register(flush_log)


def _is_index(key):
    return isinstance(key, (int, np.integer)) and not isinstance(key, (bool, np.bool_))


class Volume(_CoreVolume):
    __doc__ = _CoreVolume.__doc__

    def __getitem__(self, key):
        """numpy's indexing rules on an array of shape (num_slices, height, width)."""
        return _index(self, 0, self.shape, key)

    def __iter__(self):
        for index in range(len(self)):
            yield self.read_slice(index)

    def __array__(self, dtype=None, copy=None):
        data = self._read_slices(range(len(self)))
        return data if dtype is None else data.astype(dtype, copy=False)

    def __repr__(self):
        if self.closed:
            return f"<ozk.Volume {self.path!r} closed>"
        return f"<ozk.Volume {self.path!r} {self.kind} shape={self.shape} float32>"

    axes = ("y", "x", "z")
    """The axes of the array, in order: slices along y, rows along x, columns along z."""

    @property
    def spacing(self):
        """(x, y, z) voxel spacing: the voxel size where the volume has one, else
        (vmax - vmin) / voxels along each axis (0 for an axis without voxels)."""
        if any(self.voxel_size):
            return self.voxel_size
        voxels = (self.shape[1], self.shape[0], self.shape[2])
        return tuple((hi - lo) / n if n else 0.0
                     for lo, hi, n in zip(self.vmin, self.vmax, voxels))

    def level(self, level):
        """Resolution level `level` (0 = the stored voxels) as a read-only array-like."""
        return Level(self, level)

    @property
    def levels(self):
        """Every resolution level, finest first."""
        return [Level(self, k) for k in range(self.num_levels)]


class Level:
    """One resolution level of a volume: indexes like a read-only numpy array of shape
    ``vol.level_shape(level)`` and reads only the region an index needs."""

    def __init__(self, volume, level):
        self.volume = volume
        self.level = operator.index(level)
        self.shape = volume.level_shape(self.level)

    dtype = np.dtype(np.float32)
    ndim = 3

    @property
    def nbytes(self):
        return 4 * self.shape[0] * self.shape[1] * self.shape[2]

    def __len__(self):
        return self.shape[0]

    def __getitem__(self, key):
        return _index(self.volume, self.level, self.shape, key)

    def __array__(self, dtype=None, copy=None):
        data = np.empty(self.shape, np.float32)
        self.volume._read_region(self.level, 0, 0, 0, data)
        return data if dtype is None else data.astype(dtype, copy=False)

    def __repr__(self):
        return f"<ozk.Level {self.level} of {self.volume!r} shape={self.shape}>"


def _index(volume, level, shape, key):
    # The index is applied by numpy to a box read through read_region: the box spans what
    # the index needs along x and z, and along y holds only the slices it needs, each read
    # once in ascending order. The index is rewritten to the box's coordinates, so numpy's
    # own rules (and its errors) arrange the result.
    plan = _plan(shape, key)
    if plan is None:
        return _read_any(volume, level, shape, key)
    ys, lo, hi, box_key = plan
    if len(ys) == 0 or any(h <= l for l, h in zip(lo, hi)):
        return np.broadcast_to(np.float32(0), shape)[key].copy()
    box = np.empty((len(ys), hi[0] - lo[0], hi[1] - lo[1]), np.float32)
    runs = np.flatnonzero(np.diff(ys) != 1) + 1
    for first, last in zip(np.r_[0, runs], np.r_[runs, len(ys)]):
        volume._read_region(level, int(ys[first]), lo[0], lo[1], box[first:last])
    return _compact(box[box_key], box)


def _plan(shape, key):
    """(slices to read, box start and end along x and z, the index in box terms), or None
    for an index that only the general path handles (masks over several axes, bad keys)."""
    items = []
    for k in key if isinstance(key, tuple) else (key,):
        if k is None or k is Ellipsis or isinstance(k, slice) or _is_index(k):
            items.append(k)
            continue
        array = np.asarray(k)
        if array.dtype == np.bool_ and array.ndim == 1:
            items.append((array, np.flatnonzero(array)))
        elif array.dtype != np.bool_ and np.issubdtype(array.dtype, np.integer):
            items.append(array)
        else:
            return None
    axes = [k for k in items if k is not None and k is not Ellipsis]
    ellipses = sum(k is Ellipsis for k in items)
    if ellipses > 1 or len(axes) > 3:
        return None
    fill = [slice(None)] * (3 - len(axes))
    if ellipses:
        at = next(i for i, k in enumerate(items) if k is Ellipsis)
        items[at:at + 1] = fill
    else:
        items += fill
    needed, box_key = [], []
    axis = 0
    for k in items:
        if k is None:
            box_key.append(None)
            continue
        n = shape[axis]
        if isinstance(k, tuple):  # a 1-D mask and its positions
            if len(k[0]) != n:
                return None
            values = k[1]
        elif isinstance(k, slice):
            values = np.arange(*k.indices(n))
        elif isinstance(k, np.ndarray):
            if k.size and (k.min() < -n or k.max() >= n):
                return None
            values = np.where(k < 0, k + n, k)
        else:
            i = operator.index(k)
            if not -n <= i < n:
                return None
            values = np.array(i + n if i < 0 else i)
        needed.append(values)
        box_key.append((k, values))
        axis += 1
    ys = np.unique(needed[0])
    lo = [int(v.min()) if v.size else 0 for v in needed[1:]]
    hi = [int(v.max()) + 1 if v.size else 0 for v in needed[1:]]
    origin = [None, lo[0], lo[1]]
    axis = 0
    for i, entry in enumerate(box_key):
        if entry is None:
            continue
        k, values = entry
        if axis == 0:
            if isinstance(k, slice):
                step = k.indices(shape[0])[2]
                box_key[i] = slice(None) if step > 0 else slice(None, None, -1)
            else:
                box_key[i] = np.searchsorted(ys, values)
                if not isinstance(k, np.ndarray) and not isinstance(k, tuple):
                    box_key[i] = int(box_key[i])
        elif isinstance(k, slice):
            start, stop, step = k.indices(shape[axis])
            stop -= origin[axis]
            box_key[i] = slice(start - origin[axis], stop if stop >= 0 else None, step)
        elif isinstance(k, (np.ndarray, tuple)):
            box_key[i] = values - origin[axis]
        else:
            box_key[i] = int(values) - origin[axis]
        axis += 1
    return ys, lo, hi, tuple(box_key)


def _read_any(volume, level, shape, key):
    # Any other key (masks over several axes, or one numpy must refuse): numpy applies it to
    # two read-only arrays of the volume's shape made with zero strides, which say for every
    # element of the result its slice and its place in that slice. Then each slice needed
    # is read once. numpy raises its own IndexError for a bad key.
    n, h, w = shape
    plane = np.arange(h * w, dtype=np.intp).reshape(h, w)
    slice_of = np.lib.stride_tricks.as_strided(
        np.arange(max(n, 1), dtype=np.intp), (n, h, w), (plane.itemsize, 0, 0),
        writeable=False)
    place_of = np.lib.stride_tricks.as_strided(
        plane, (n, h, w), (0,) + plane.strides, writeable=False)
    slices = np.asarray(slice_of[key])
    places = np.asarray(place_of[key]).ravel()
    flat_slices = slices.ravel()
    result = np.empty(flat_slices.shape, np.float32)
    if flat_slices.size:
        order = np.argsort(flat_slices, kind="stable")
        starts = np.flatnonzero(np.diff(flat_slices[order])) + 1
        buffer = np.empty((1, h, w), np.float32)
        for group in np.split(order, starts):
            volume._read_region(level, int(flat_slices[group[0]]), 0, 0, buffer)
            result[group] = buffer.ravel()[places[group]]
    return result[0] if slices.ndim == 0 else result.reshape(slices.shape)


def _compact(result, data):
    # A small window of a box should not keep the whole box alive.
    if isinstance(result, np.ndarray) and result.size != data.size:
        return result.copy()
    return result


def open(path):
    """Opens a volume file (str, bytes or os.PathLike); OSError when it cannot."""
    return Volume(path)


def _slice_run(path, start, stop, level=0):
    # One dask task: its own handle, as handles are not shared between threads or processes.
    with Volume(path) as vol:
        if level == 0:
            return vol._read_slices(range(start, stop))
        _, h, w = vol.level_shape(level)
        data = np.empty((stop - start, h, w), np.float32)
        vol._read_region(level, start, 0, 0, data)
        return data


def _save_run(path, start, stop, names):
    with Volume(path) as vol:
        buffer = np.empty(vol.shape[1:], np.float32)
        for index, name in zip(range(start, stop), names):
            vol.read_slice(index, out=buffer)
            save_tif32(name, buffer)
    return names


def _check_run_length(value, name):
    if not _is_index(value) or value < 1:
        raise ValueError(f"{name} must be a positive integer, not {value!r}")
    return int(value)


def to_dask(path, slices_per_chunk=None, level=0):
    """The volume (or its resolution level `level`) as a lazy dask array of shape
    (num_slices, height, width) of that level, float32.

    Each chunk is a run of `slices_per_chunk` slices (default: as many as fill dask's
    ``array.chunk-size``) read by a task that opens the file itself, so the array computes
    on any scheduler, a distributed cluster included, where the workers see the same path.
    """
    import dask
    import dask.array as da
    from dask.base import tokenize
    from dask.highlevelgraph import HighLevelGraph
    from dask.utils import parse_bytes

    path = os.path.abspath(os.fsdecode(path))
    level = operator.index(level)
    with Volume(path) as vol:
        n, h, w = vol.level_shape(level)
    if slices_per_chunk is None:
        target = parse_bytes(dask.config.get("array.chunk-size"))
        slices_per_chunk = max(1, target // max(1, h * w * 4))
    run = _check_run_length(slices_per_chunk, "slices_per_chunk")
    starts = range(0, n, run) if n else range(1)
    stat = os.stat(path)
    name = "ozk-volume-" + tokenize(path, stat.st_mtime_ns, stat.st_size, run, level)
    layer = {(name, k, 0, 0): (_slice_run, path, start, min(start + run, n), level)
             for k, start in enumerate(starts)}
    chunks = (tuple(min(run, n - start) for start in starts), (h,), (w,))
    graph = HighLevelGraph.from_collections(name, layer, dependencies=())
    return da.Array(graph, name, chunks, dtype=np.float32)


def to_dask_pyramid(path, slices_per_chunk=None):
    """Every resolution level of the volume as dask arrays, level 0 first: the multiscale
    list that napari-style viewers take."""
    path = os.path.abspath(os.fsdecode(path))
    with Volume(path) as vol:
        levels = vol.num_levels
    return [to_dask(path, slices_per_chunk, level) for level in range(levels)]


def export_tiff_stack(path, directory, client=None, slices_per_chunk=None, compress=False):
    """Writes every slice of the volume at `path` into `directory` as a 32-bit float TIFF.

    The files are named as ``ozk export`` names them: ``slice_0000.tif``, ... (the index
    padded to the width of the last one, at least four digits; ``.tif.gz`` with
    `compress`). Runs of `slices_per_chunk` slices (default: the volume in about 64 runs)
    are written in parallel by dask: on local threads, or on the workers of `client`, a
    ``dask.distributed.Client``, which must see the same paths. Returns the paths written,
    in slice order.
    """
    import dask

    path = os.path.abspath(os.fsdecode(path))
    directory = os.path.abspath(os.fsdecode(directory))
    with Volume(path) as vol:
        n = len(vol)
    os.makedirs(directory, exist_ok=True)
    digits = max(4, len(str(max(n - 1, 0))))
    suffix = ".tif.gz" if compress else ".tif"
    names = [os.path.join(directory, f"slice_{i:0{digits}d}{suffix}") for i in range(n)]
    if slices_per_chunk is None:
        slices_per_chunk = max(1, -(-n // 64))
    run = _check_run_length(slices_per_chunk, "slices_per_chunk")
    save = dask.delayed(_save_run, pure=False)
    tasks = [save(path, start, min(start + run, n), names[start:start + run])
             for start in range(0, n, run)]
    if client is None:
        runs = dask.compute(*tasks, scheduler="threads")
    else:
        runs = client.gather(client.compute(tasks))
    return [name for written in runs for name in written]


def to_ome_zarr(path, store, *, chunks=64, client=None, overwrite=False):
    """Writes the volume at `path` as an OME-Zarr image (NGFF 0.4) into the folder `store`:
    see ozk.ome_zarr.to_ome_zarr. Returns the number of levels written."""
    from .ome_zarr import to_ome_zarr as convert
    return convert(path, store, chunks=chunks, client=client, overwrite=overwrite)
