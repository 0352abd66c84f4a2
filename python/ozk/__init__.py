"""Reads computed-tomography volumes (packed, header and HR files) as numpy arrays.

    import ozk
    with ozk.open("scan.hrv") as vol:
        vol.shape              # (num_slices, height, width), float32
        middle = vol[vol.shape[0] // 2]
        roi = vol[10:20, 100:200, 50:60]

A volume indexes like a read-only numpy array of shape (num_slices, height, width) and
reads only the slices an index touches. The library's log goes to a private file
(``ozk.log_file()``); its failure entries become the text of the exceptions raised.

``to_dask`` gives a lazy dask array of a volume, and ``export_tiff_stack`` writes every
slice as a TIFF file in parallel through dask, locally or on a distributed cluster.
"""
import operator
import os

import numpy as np

from ._core import Volume as _CoreVolume
from ._core import __version__, log_file, save_tif32

__all__ = ["Volume", "open", "save_tif32", "to_dask", "export_tiff_stack", "log_file"]


def _is_index(key):
    return isinstance(key, (int, np.integer)) and not isinstance(key, (bool, np.bool_))


class Volume(_CoreVolume):
    __doc__ = _CoreVolume.__doc__

    def __getitem__(self, key):
        """numpy's indexing rules on an array of shape (num_slices, height, width)."""
        key = key if isinstance(key, tuple) else (key,)
        if 1 <= len(key) <= 3 and all(isinstance(k, slice) or _is_index(k) for k in key):
            first, rest = key[0], key[1:]
            if _is_index(first):
                data = self.read_slice(operator.index(first))
                return _compact(data[rest], data)
            indices = range(*first.indices(len(self)))
            if all(k == slice(None) for k in rest):
                return self._read_slices(indices)
            return self._read_cropped(indices, rest)
        return self._read_any(key)

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

    def _read_cropped(self, indices, rest):
        # One slice in memory at a time: a small window through many slices stays small.
        buffer = np.empty(self.shape[1:], np.float32)
        result = np.empty((len(indices),) + buffer[rest].shape, np.float32)
        for k, index in enumerate(indices):
            self.read_slice(index, out=buffer)
            result[k] = buffer[rest]
        return result

    def _read_any(self, key):
        # Any other key (integer or boolean arrays, Ellipsis, None): numpy applies it to two
        # read-only arrays of the volume's shape made with zero strides, which say for every
        # element of the result its slice and its place in that slice. Then each slice
        # needed is read once. numpy raises its own IndexError for a bad key.
        n, h, w = self.shape
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
            buffer = np.empty((h, w), np.float32)
            for group in np.split(order, starts):
                self.read_slice(int(flat_slices[group[0]]), out=buffer)
                result[group] = buffer.ravel()[places[group]]
        return result[0] if slices.ndim == 0 else result.reshape(slices.shape)


def _compact(result, data):
    # A small window of a slice should not keep the whole slice alive.
    if isinstance(result, np.ndarray) and result.size != data.size:
        return result.copy()
    return result


def open(path):
    """Opens a volume file (str, bytes or os.PathLike); OSError when it cannot."""
    return Volume(path)


def _slice_run(path, start, stop):
    # One dask task: its own handle, as handles are not shared between threads or processes.
    with Volume(path) as vol:
        return vol._read_slices(range(start, stop))


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


def to_dask(path, slices_per_chunk=None):
    """The volume as a lazy dask array of shape (num_slices, height, width), float32.

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
    with Volume(path) as vol:
        n, h, w = vol.shape
    if slices_per_chunk is None:
        target = parse_bytes(dask.config.get("array.chunk-size"))
        slices_per_chunk = max(1, target // max(1, h * w * 4))
    run = _check_run_length(slices_per_chunk, "slices_per_chunk")
    starts = range(0, n, run) if n else range(1)
    stat = os.stat(path)
    name = "ozk-volume-" + tokenize(path, stat.st_mtime_ns, stat.st_size, run)
    layer = {(name, k, 0, 0): (_slice_run, path, start, min(start + run, n))
             for k, start in enumerate(starts)}
    chunks = (tuple(min(run, n - start) for start in starts), (h,), (w,))
    graph = HighLevelGraph.from_collections(name, layer, dependencies=())
    return da.Array(graph, name, chunks, dtype=np.float32)


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
