#!/usr/bin/python3
"""Runs the benchmark suite (ozk_bench) and the tools a user would pick instead, in one run,
and prints one table.

    /usr/bin/python3 bench/compare.py [--build build/release] [--data DIR] [--size 512]

Steps: bench_data writes the data sets once (kept between runs); this script adds the peers'
copies of the 512^3 float volume once (HDF5 and zarr, 32^3 chunks); then, scenario by
scenario, it runs our benchmark (ozk_bench, which measures the machine references in the
same iterations) and right after it the peers, all pinned to one core, each file read once
before timing, every measurement repeated and the median taken.

Every ratio in the table is the other's time over ours: 1 means as fast, above 1 means ours
is faster. The goals are the performance goals set for the library, written in that form.
"""

import os

# Before numpy and the codecs start their thread pools: one core, one thread.
for _var in ("OMP_NUM_THREADS", "OPENBLAS_NUM_THREADS", "MKL_NUM_THREADS", "BLOSC_NTHREADS",
             "NUMEXPR_NUM_THREADS"):
    os.environ[_var] = "1"

import argparse
import gzip
import json
import shutil
import statistics
import subprocess
import sys
import time

import numpy as np

REPO = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
MASK = (1 << 64) - 1


def shuffled_order(n, seed):
    """The order of ozk_bench (shuffled_order): Fisher-Yates driven by splitmix64."""
    order = list(range(n))
    state = seed
    for i in range(n - 1, 0, -1):
        state = (state + 0x9E3779B97F4A7C15) & MASK
        z = state
        z = ((z ^ (z >> 30)) * 0xBF58476D1CE4E5B9) & MASK
        z = ((z ^ (z >> 27)) * 0x94D049BB133111EB) & MASK
        z ^= z >> 31
        j = z % (i + 1)
        order[i], order[j] = order[j], order[i]
    return order


ORDER_SEED = 1        # as in ozk_bench.cpp
FIRST_TOUCH_SEED = 2
FIRST_TOUCH_READS = 16


# --- the data sets (bench/data_sets.h) ------------------------------------------------------

class DataSets:
    def __init__(self, folder):
        self.folder = folder
        self.files, self.values = {}, {}
        with open(os.path.join(folder, "manifest.txt")) as f:
            for line in f:
                parts = line.split()
                if parts[0] == "edge":
                    self.edge = int(parts[1])
                elif parts[0] == "file":
                    self.files[parts[1]] = int(parts[2])
                elif parts[0] == "value":
                    self.values[parts[1]] = int(parts[2])
        e = self.edge
        self.cube = (e, e, e)                  # nx, ny, nz
        self.quarter = (e, e // 4, e)
        self.wide = (2 * e, e // 8, 2 * e)
        self.header = (e, e // 4, e)
        self.per_file = e // 16
        self.tiff_side = 8 * e

    def path(self, name):
        return os.path.join(self.folder, name)

    def header_files(self, name):
        stem, count = name.rsplit(".", 1)[0], self.header[1] // self.per_file
        ext = ".raw.gz" if name == "header_gzip.hdr" else ".raw"
        return ["%s_%03d%s" % (stem, i, ext) for i in range(count)]

    def offset(self, name):
        return self.values["data_offset." + name]

    def total_bytes(self):
        return sum(self.files.values())


def warm(paths):
    """Reads every file once so that its pages are in the page cache."""
    for p in paths:
        if os.path.isdir(p):
            warm([os.path.join(root, f) for root, _, files in os.walk(p) for f in files])
            continue
        with open(p, "rb", buffering=0) as f:
            while f.read(1 << 22):
                pass


def dir_bytes(path):
    if os.path.isfile(path):
        return os.path.getsize(path)
    return sum(os.path.getsize(os.path.join(r, f)) for r, _, fs in os.walk(path) for f in fs)


# --- the peers' copies ----------------------------------------------------------------------

def make_peer_copies(data):
    """HDF5 and zarr copies of the 512^3 float volume with 32^3 chunks, made once from the
    packed file's samples (a memory map of them)."""
    import h5py
    import zarr
    folder = os.path.join(data.folder, "peers")
    os.makedirs(folder, exist_ok=True)
    manifest_path = os.path.join(folder, "manifest.json")
    done = {}
    if os.path.exists(manifest_path):
        with open(manifest_path) as f:
            done = json.load(f)
    if done.get("edge") != data.edge:
        done = {"edge": data.edge}
    source = np.memmap(data.path("packed_f32.vol"), dtype="<f4", mode="r",
                       offset=data.offset("packed_f32.vol"), shape=data.cube)
    chunks = (32, 32, 32)
    for name in ("cube.h5", "cube.zarr"):
        path = os.path.join(folder, name)
        if name in done and os.path.exists(path) and dir_bytes(path) == done[name]:
            continue
        print("writing the peers' %s..." % name, end="", flush=True)
        start = time.perf_counter()
        partial = path + ".partial"
        shutil.rmtree(partial, ignore_errors=True)
        if os.path.exists(partial):
            os.remove(partial)
        if name.endswith(".h5"):
            with h5py.File(partial, "w") as f:
                d = f.create_dataset("volume", shape=data.cube, dtype="<f4", chunks=chunks)
                for y in range(0, data.cube[0], 32):
                    d[y:y + 32] = source[y:y + 32]
        else:
            # zarr's default compressor (Blosc, LZ4, byte shuffle): what a user gets.
            z = zarr.open_array(partial, mode="w", shape=data.cube, chunks=chunks, dtype="<f4")
            for y in range(0, data.cube[0], 32):
                z[y:y + 32] = source[y:y + 32]
        if os.path.isdir(path):
            shutil.rmtree(path)
        elif os.path.exists(path):
            os.remove(path)
        os.rename(partial, path)
        done[name] = dir_bytes(path)
        with open(manifest_path, "w") as f:
            json.dump(done, f)
        print(" %.1f s" % (time.perf_counter() - start))
    return {name: os.path.join(folder, name) for name in ("cube.h5", "cube.zarr")}, \
        done["cube.h5"] + done["cube.zarr"]


# --- timing the peers -----------------------------------------------------------------------

class Peer:
    """A peer: `setup` once (untimed), then per repetition `start` (untimed) and `step`
    called until `min_time` has passed (at least once), each after `prepare` (untimed); the
    time is per step."""

    def __init__(self, name, setup, step, start=None, goal=None, files=(), prepare=None):
        self.name, self.setup, self.step, self.start = name, setup, step, start
        self.goal, self.files, self.prepare = goal, files, prepare


def time_peer(peer, repetitions, min_time):
    warm(peer.files)
    state = peer.setup()
    times = []
    for _ in range(repetitions):
        if peer.start:
            peer.start(state)
        count, elapsed = 0, 0.0
        while count == 0 or elapsed < min_time:
            if peer.prepare:
                peer.prepare(state, count)
            t = time.perf_counter()
            peer.step(state, count)
            elapsed += time.perf_counter() - t
            count += 1
        times.append(elapsed / count)
    return times


def memmap_peer(data, name, dtype, scale):
    """A plane of a numpy memory map of the packed file's samples, converted to float32
    (and scaled as the library scales 8- and 16-bit samples) into a reused buffer."""
    def setup():
        mm = np.memmap(data.path(name), dtype=dtype, mode="r", offset=data.offset(name),
                       shape=(data.cube[1], data.cube[0], data.cube[2]))
        out = np.empty(mm.shape[1:], dtype=np.float32)
        order = shuffled_order(mm.shape[0], ORDER_SEED)
        for y in range(mm.shape[0]):        # every page mapped once
            np.copyto(out, mm[y], casting="unsafe")
        return mm, out, order

    def step(s, i):
        mm, out, order = s
        y = order[i % len(order)]
        if scale is None:
            np.copyto(out, mm[y])
        else:
            np.multiply(mm[y], scale, out=out, casting="unsafe")
    return Peer("numpy memmap", setup, step, files=[data.path(name)])


def chunked_peer(label, opener, path, ny):
    def setup():
        arr = opener(path)
        order = shuffled_order(ny, ORDER_SEED)
        for y in order[:8]:                 # metadata and caches of the library settled
            arr[y]
        return arr, order

    def step(s, i):
        arr, order = s
        arr[order[i % len(order)]]
    return Peer(label, setup, step, files=[path])


def plane_key(axis, i):
    """The numpy index of plane i of constant x (axis 0) or z (axis 2) of an array shaped
    (slices, height, width), i.e. (y, x, z)."""
    return (slice(None), i) if axis == 0 else (slice(None), slice(None), i)


def chunked_plane_peer(label, opener, path, axis, n):
    def setup():
        arr = opener(path)
        order = shuffled_order(n, ORDER_SEED)
        for i in order[:8]:
            arr[plane_key(axis, i)]
        return arr, order

    def step(s, i):
        arr, order = s
        arr[plane_key(axis, order[i % len(order)])]
    return Peer(label, setup, step, files=[path])


def memmap_plane_peer(data, name, axis):
    """A plane of a numpy memory map of the packed file's float samples copied out."""
    def setup():
        mm = np.memmap(data.path(name), dtype="<f4", mode="r", offset=data.offset(name),
                       shape=(data.cube[1], data.cube[0], data.cube[2]))
        out = np.empty(mm[plane_key(axis, 0)].shape, dtype=np.float32)
        return mm, out, shuffled_order(data.cube[axis], ORDER_SEED)

    def step(s, i):
        mm, out, order = s
        np.copyto(out, mm[plane_key(axis, order[i % len(order)])])
    return Peer("numpy memmap", setup, step, files=[data.path(name)])


def python_plane_peer(build, data, name, axis):
    """The same planes through the Python module's indexing (vol[:, x, :])."""
    sys.path.insert(0, os.path.join(build, "python"))
    import ozk

    def setup():
        vol = ozk.open(data.path(name))
        return vol, shuffled_order(data.cube[axis], ORDER_SEED)

    def step(s, i):
        vol, order = s
        vol[plane_key(axis, order[i % len(order)])]
    return Peer("python vol[:, x, :]", setup, step, files=[data.path(name)])


def open_h5(path):
    import h5py
    return h5py.File(path, "r")["volume"]


def open_zarr(path):
    import numcodecs
    import zarr
    numcodecs.blosc.use_threads = False
    return zarr.open_array(path, mode="r")


def gzip_sequential_peer(data, name, geometry, bits):
    size = geometry[0] * geometry[2] * bits // 8
    offset = data.offset(name)

    class S:
        f = None
        buf = bytearray(size)
        y = 0

    def start(s):
        if s.f:
            s.f.close()
        s.f = gzip.open(data.path(name), "rb")
        s.f.seek(offset)
        s.y = 0

    def step(s, i):
        if s.y == geometry[1]:
            start(s)
        s.f.readinto(s.buf)
        s.y += 1
    return Peer("python gzip", lambda: S(), step, start, files=[data.path(name)])


def gzip_random_peer(data, name, bits, first_touch):
    """Python's gzip module seeking to each slice: it has no index, so a seek backwards
    inflates again from the start."""
    size = data.cube[0] * data.cube[2] * bits // 8
    offset = data.offset(name)
    buf = bytearray(size)

    if first_touch:
        order = shuffled_order(data.cube[1], FIRST_TOUCH_SEED)[:FIRST_TOUCH_READS]

        def step(s, i):
            with gzip.open(data.path(name), "rb") as f:
                for y in order:
                    f.seek(offset + y * size)
                    f.readinto(buf)
        return Peer("python gzip", lambda: None, step, files=[data.path(name)])

    def setup():
        f = gzip.open(data.path(name), "rb")
        f.seek(offset)
        while f.readinto(buf) == size:
            pass
        return f, shuffled_order(data.cube[1], ORDER_SEED)

    def step(s, i):
        f, order = s
        f.seek(offset + order[i % len(order)] * size)
        f.readinto(buf)
    return Peer("python gzip", setup, step, files=[data.path(name)])


def header_peer(data, name):
    files = data.header_files(name)
    nx, ny, nz = data.header
    size = nx * nz * 4
    buf = bytearray(size)
    order = shuffled_order(ny, ORDER_SEED)

    def where(i):
        y = order[i % ny]
        return data.path(files[y // data.per_file]), (y % data.per_file) * size

    if name == "header_gzip.hdr":
        def step(_, i):
            path, at = where(i)
            with gzip.open(path, "rb") as f:
                f.seek(at)
                f.readinto(buf)
        label = "python gzip"
    else:
        def step(_, i):
            path, at = where(i)
            np.fromfile(path, dtype="<f4", count=nx * nz, offset=at)
        label = "numpy fromfile"
    return Peer(label, lambda: None, step, files=[data.path(f) for f in files])


def tiff_peer(data, fresh):
    """tifffile.imwrite over the file of the previous step, or (`fresh`) to a name that
    does not exist; removing the old file is not timed. Between steps, untimed, the same
    bytes go to a new file with write(), as ozk_bench's reference does between our saves:
    both saves then meet the same write-back of the page cache."""
    import tifffile
    side = data.tiff_side
    path, raw = data.path("peer_save.tif"), data.path("peer_save.raw")

    def prepare(img, __):
        if fresh and os.path.exists(path):
            os.unlink(path)
        if os.path.exists(raw):
            os.unlink(raw)
        with open(raw, "wb") as f:
            f.write(img.tobytes())

    def setup():
        yy, xx = np.mgrid[0:side, 0:side].astype(np.float32) / side
        return (np.hypot(xx - 0.5, yy - 0.5) < 0.45).astype(np.float32) * 0.2 + xx * 0.01

    def step(img, _):
        tifffile.imwrite(path, img)
    return Peer("tifffile.imwrite", setup, step, prepare=prepare)


# --- the scenarios --------------------------------------------------------------------------

def ome_zarr_scenario_peers(build, data):
    """Ours: the HR cube into an OME-Zarr store with its pyramid (python3 -m ozk's
    to_ome_zarr, dask on one thread); the peer: zarr-python writing the same level-0 array,
    already in memory, with the same chunks and compressor."""
    import zarr
    sys.path.insert(0, os.path.join(build, "python"))
    import dask
    import ozk
    out = os.path.join(data.folder, "ome_zarr_out")

    def ours_step(_, i):
        with dask.config.set(scheduler="synchronous"):
            ozk.to_ome_zarr(data.path("hr_cube.hr"), out + ".ours", chunks=64, overwrite=True)

    def setup():
        with ozk.open(data.path("hr_cube.hr")) as vol:
            return np.asarray(vol)

    def peer_step(array, i):
        zarr.save_array(out + ".peer", array, chunks=(64, 64, 64))
    def ours_setup():
        ours_step(None, 0)  # imports and first opens, untimed

    return (Peer("ours", ours_setup, ours_step, files=[data.path("hr_cube.hr")]),
            Peer("zarr from memory", setup, peer_step))


def oblique_plane(edge, level, side):
    """A side x side plane of `level` through the middle of the cube, normal (1, 2, 3), one
    level sample apart, with the in-plane basis of `ozk reslice`."""
    n = np.array([1.0, 2.0, 3.0]) / np.sqrt(14.0)
    u = np.cross(n, [1.0, 0.0, 0.0])
    u /= np.linalg.norm(u)
    v = np.cross(n, u)
    centre = np.full(3, (edge / 2.0 ** level - 1) / 2.0)
    return centre - side / 2 * (u + v), u, v, (side, side)


def plane_scenario_peers(build, data, level, side, cold):
    """Ours: vol.sample_plane on the HR cube (warm: the pool already holds the plane's
    bricks; cold: open, sample, close); the peer: scipy.ndimage.map_coordinates(order=1)
    on the level already in memory as a numpy array, coordinates made beforehand."""
    from scipy import ndimage
    sys.path.insert(0, os.path.join(build, "python"))
    import ozk
    path = data.path("hr_cube.hr")
    with ozk.open(path) as vol:  # a cube too small for `level` samples its coarsest
        level = min(level, vol.num_levels - 1)
    origin, u, v, shape = oblique_plane(data.edge, level, side)

    def ours_setup():
        vol = ozk.open(path)
        vol.sample_plane(origin, u, v, shape, level=level)
        if cold:
            vol.close()
        return vol

    def ours_step(vol, i):
        if cold:
            with ozk.open(path) as fresh:
                fresh.sample_plane(origin, u, v, shape, level=level)
        else:
            vol.sample_plane(origin, u, v, shape, level=level)

    def setup():
        with ozk.open(path) as vol:
            a = np.ascontiguousarray(np.asarray(vol.level(level)).transpose(1, 0, 2))
        r, c = np.mgrid[0:shape[0], 0:shape[1]].astype(np.float64)
        return a, np.array([origin[k] + c * u[k] + r * v[k] for k in range(3)])

    def peer_step(s, i):
        ndimage.map_coordinates(s[0], s[1], order=1, mode="constant", cval=np.nan)
    return (Peer("ours", ours_setup, ours_step, files=[path]),
            Peer("scipy map_coordinates", setup, peer_step))


class Scenario:
    def __init__(self, title, bench, goals, peers=(), min_time=None, max_repetitions=None,
                 ours=None):
        # goals: {"memcpy": 0.25, "h5py": 10, ...}: other time / our time at least this.
        # `ours`: a Peer timed in Python instead of an ozk_bench benchmark.
        self.title, self.bench, self.goals, self.ours = title, bench, goals, ours
        self.peers, self.min_time = list(peers), min_time
        self.max_repetitions = max_repetitions


def scenarios(data, peer_paths, with_chunked, build):
    e = data.edge
    c = data.cube
    chunked, xplane_peers, zplane_peers = [], [], []
    if with_chunked:
        for label, opener, name in (("h5py (32^3 chunks)", open_h5, "cube.h5"),
                                    ("zarr (32^3 chunks)", open_zarr, "cube.zarr")):
            xplane_peers.append(chunked_plane_peer(label, opener, peer_paths[name], 0, c[0]))
            zplane_peers.append(chunked_plane_peer(label, opener, peer_paths[name], 2, c[2]))
        chunked = [chunked_peer("h5py (32^3 chunks)", open_h5, peer_paths["cube.h5"], c[1]),
                   chunked_peer("zarr (32^3 chunks)", open_zarr, peer_paths["cube.zarr"], c[1])]
    s = [
        Scenario("HR y-slice %dx%dx%d" % data.wide, "hr_yslice/wide", {"memcpy": 0.25}),
        Scenario("HR y-slice %d^3" % e, "hr_yslice/cube",
                 {"memcpy": 0.25, "h5py (32^3 chunks)": 10, "zarr (32^3 chunks)": 20}, chunked),
        Scenario("HR x-plane %d^3" % e, "hr_xplane/cube",
                 {"h5py (32^3 chunks)": 2, "zarr (32^3 chunks)": 5, "python vol[:, x, :]": 1 / 1.2},
                 xplane_peers + [python_plane_peer(build, data, "hr_cube.hr", 0)]),
        Scenario("HR z-plane %d^3" % e, "hr_zplane/cube",
                 {"memcpy": 0.5, "h5py (32^3 chunks)": 10, "zarr (32^3 chunks)": 20},
                 zplane_peers),
        Scenario("HR level 3 (%d^3 samples)" % (e // 8), "hr_level3/cube", {"y-slice": 0.5}),
        Scenario("packed plain 32-bit x-plane", "packed_xplane/f32", {"numpy memmap": 0.8},
                 [memmap_plane_peer(data, "packed_f32.vol", 0)]),
        Scenario("packed plain 32-bit z-plane", "packed_zplane/f32", {"numpy memmap": 0.8},
                 [memmap_plane_peer(data, "packed_f32.vol", 2)]),
        Scenario("packed plain 8-bit", "packed_plain/u8", {"numpy memmap": 0.5},
                 [memmap_peer(data, "packed_u8.vol", "u1", np.float32(1 / 255))]),
        Scenario("packed plain 16-bit", "packed_plain/u16", {"numpy memmap": 0.5},
                 [memmap_peer(data, "packed_u16.vol", "<u2", np.float32(1 / 65535))]),
        Scenario("packed plain 32-bit", "packed_plain/f32", {"numpy memmap": 0.8},
                 [memmap_peer(data, "packed_f32.vol", "<f4", None)]),
        Scenario("packed gzip 8-bit sequential", "packed_gzip_seq/u8", {"gzread": 1.3},
                 [gzip_sequential_peer(data, "packed_u8.vol.gz", c, 8)]),
        Scenario("packed gzip 16-bit sequential", "packed_gzip_seq/u16", {"gzread": 1.3},
                 [gzip_sequential_peer(data, "packed_u16.vol.gz", c, 16)]),
        Scenario("packed gzip 32-bit sequential", "packed_gzip_seq/f32", {"gzread": 1.3},
                 [gzip_sequential_peer(data, "packed_f32_quarter.vol.gz", data.quarter, 32)]),
        Scenario("packed gzip 16-bit random", "packed_gzip_random/u16", {"sequential": 1 / 3},
                 [gzip_random_peer(data, "packed_u16.vol.gz", 16, False)], min_time=3.0),
        Scenario("packed gzip 16-bit first touch", "packed_gzip_first_touch/u16", {"gzread": 1.3},
                 [gzip_random_peer(data, "packed_u16.vol.gz", 16, True)], min_time=0.0,
                 max_repetitions=3),
        Scenario("header volume plain", "header_plain", {"pread": 0.9},
                 [header_peer(data, "header_plain.hdr")]),
        Scenario("header volume gzip", "header_gzip", {}, [header_peer(data, "header_gzip.hdr")]),
        Scenario("TIFF save %d^2 over a file" % data.tiff_side, "tiff_save",
                 {"write": 0.8, "tifffile.imwrite": 1.0}, [tiff_peer(data, False)], min_time=2.0),
        Scenario("TIFF save %d^2 new file" % data.tiff_side, "tiff_save_new",
                 {"write": 0.8, "tifffile.imwrite": 1.0}, [tiff_peer(data, True)], min_time=2.0),
        Scenario("HR open, sparse depth 6", "hr_open_sparse", {}),
        Scenario("MetaImage export %d^3" % e, "metaimage_export/cube", {"write": 0.5},
                 min_time=3.0),
    ]
    for title, level, side, cold, goal in (
            ("HR oblique 512^2 plane, warm pool", 0, 512, False, 5),
            ("HR oblique 512^2 plane, cold open", 0, 512, True, 1),
            ("HR oblique level-2 128^2 plane", 2, 128, False, None)):
        ours, peer = plane_scenario_peers(build, data, level, side, cold)
        s.append(Scenario(title, None, {"scipy map_coordinates": goal} if goal else {}, [peer],
                          min_time=1.0 if cold else None, ours=ours))
    ours, peer = ome_zarr_scenario_peers(build, data)
    s.append(Scenario("OME-Zarr from HR %d^3" % e, None, {"zarr from memory": 1 / 1.5}, [peer],
                      min_time=0.0, max_repetitions=3, ours=ours))
    return s


# --- our side -------------------------------------------------------------------------------

def run_ours(binary, data, scenario, repetitions, min_time, ref_mib):
    cmd = [binary, "--data=" + data.folder,
           "--benchmark_filter=^%s/manual_time$" % scenario.bench,
           "--benchmark_repetitions=%d" % repetitions,
           "--benchmark_min_time=%g" % min_time,
           "--benchmark_format=json"]
    if ref_mib:
        cmd.append("--ref_mib=%d" % ref_mib)
    done = subprocess.run(cmd, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    if done.returncode != 0:
        raise RuntimeError("%s failed:\n%s" % (" ".join(cmd), done.stderr[-2000:]))
    out = done.stdout
    runs = [b for b in json.loads(out)["benchmarks"] if b.get("run_type") == "iteration"]
    if not runs or any(b.get("error_occurred") for b in runs):
        msg = runs[0].get("error_message", "no result") if runs else "no result"
        raise RuntimeError("%s: %s" % (scenario.bench, msg))
    unit = {"ns": 1e-9, "us": 1e-6, "ms": 1e-3, "s": 1.0}[runs[0]["time_unit"]]
    ours = [b["real_time"] * unit for b in runs]
    refs = {}
    for key in runs[0]:
        if key.endswith("_ratio"):
            name = key[:-len("_ratio")]
            refs[name] = ([b[name + "_s"] for b in runs], [b[key] for b in runs])
    return ours, refs


# --- the table ------------------------------------------------------------------------------

def fmt_time(seconds):
    ms = seconds * 1e3
    return "%.3g" % ms if ms < 1000 else "%.0f" % ms


def fmt_range(values):
    lo, med, hi = min(values), statistics.median(values), max(values)
    if len(values) == 1:
        return fmt_time(med)
    return "%s [%s-%s]" % (fmt_time(med), fmt_time(lo), fmt_time(hi))


def main():
    ap = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    ap.add_argument("--build", default=os.path.join(REPO, "build", "release"),
                    help="build folder holding bench/bench_data and bench/ozk_bench")
    ap.add_argument("--data", help="data folder (default: build/bench-data-EDGE)")
    ap.add_argument("--size", type=int, default=512, help="edge of the cube data sets")
    ap.add_argument("--repetitions", type=int, default=5)
    ap.add_argument("--min-time", type=float, default=0.5,
                    help="seconds per repetition of each measurement (some scenarios set more)")
    ap.add_argument("--cpu", type=int, default=None,
                    help="the one core to run on (default: the last one allowed)")
    ap.add_argument("--ref-mib", type=int, default=0,
                    help="memcpy reference buffer in MiB (default: ozk_bench's choice)")
    ap.add_argument("--only", default="", help="run the scenarios whose title contains this")
    ap.add_argument("--no-chunked-peers", action="store_true",
                    help="skip the HDF5 and zarr copies (no h5py or zarr needed)")
    ap.add_argument("--json", help="write the measurements to this file as well")
    args = ap.parse_args()

    data_folder = args.data or os.path.join(REPO, "build", "bench-data-%d" % args.size)
    bench_data = os.path.join(args.build, "bench", "bench_data")
    ozk_bench = os.path.join(args.build, "bench", "ozk_bench")
    for b in (bench_data, ozk_bench):
        if not os.access(b, os.X_OK):
            sys.exit("%s is missing: cmake --preset release && cmake --build build/release "
                     "-t bench_data ozk_bench" % b)

    cpu = args.cpu if args.cpu is not None else max(os.sched_getaffinity(0))
    os.sched_setaffinity(0, {cpu})          # the children inherit it

    start = time.perf_counter()
    subprocess.run([bench_data, data_folder, "--size", str(args.size)], check=True)
    data = DataSets(data_folder)
    peer_paths, peer_bytes = ({}, 0) if args.no_chunked_peers else make_peer_copies(data)
    print("data: %s, %.2f GB (of which the peers' copies %.2f GB); one core: cpu %d"
          % (data_folder, (data.total_bytes() + peer_bytes) / 1e9, peer_bytes / 1e9, cpu))

    rows, record = [], []
    for sc in scenarios(data, peer_paths, not args.no_chunked_peers, args.build):
        if args.only and args.only not in sc.title:
            continue
        min_time = args.min_time if sc.min_time is None else min(sc.min_time, args.min_time * 6)
        print("  %-34s" % sc.title, end="", flush=True)
        t = time.perf_counter()
        reps = min(args.repetitions, sc.max_repetitions or args.repetitions)
        if sc.ours is not None:
            ours, refs = time_peer(sc.ours, reps, min_time), {}
        else:
            ours, refs = run_ours(ozk_bench, data, sc, reps, min_time, args.ref_mib)
        peers = []
        for p in sc.peers:
            peers.append((p.name, time_peer(p, reps, min_time)))
        print(" %.0f s" % (time.perf_counter() - t))
        ours_med = statistics.median(ours)
        lines = []
        for name, (ref_times, ratios) in refs.items():
            lines.append(("ref", name, ref_times, statistics.median(ratios)))
        for name, times in peers:
            lines.append(("peer", name, times, statistics.median(times) / ours_med))
        rows.append((sc, ours, lines))
        record.append({"scenario": sc.title, "bench": sc.bench, "ours_s": ours,
                       "references": {n: {"s": r[0], "ratio": r[1]} for n, r in refs.items()},
                       "peers": {n: ts for n, ts in peers}, "goals": sc.goals})

    print()
    print("Ratio = the other's time / our time (median of %d repetitions, at most 3 for first touch; "
          "above 1: ours is faster). Times in ms per operation, median [min-max]."
          % args.repetitions)
    head = ("scenario", "ours ms", "vs", "other ms", "ratio", "goal", "met")
    widths = (30, 25, 20, 25, 6, 7, 3)
    line = "  ".join("%-*s" % (w, h) for w, h in zip(widths, head))
    print(line)
    print("-" * len(line))
    for sc, ours, lines in rows:
        first = True
        for kind, name, times, ratio in lines:
            goal = sc.goals.get(name)
            cells = (sc.title if first else "", fmt_range(ours) if first else "",
                     ("[ref] " if kind == "ref" else "") + name, fmt_range(times),
                     "%.3g" % ratio, ">= %.3g" % goal if goal else "-",
                     ("yes" if ratio >= goal else "no") if goal else "")
            print("  ".join("%-*s" % (w, c) for w, c in zip(widths, cells)))
            first = False
    print("\n[ref] rows are machine references measured by ozk_bench in the same iterations: "
          "memcpy out of a buffer larger than the last-level cache, pread/gzread/write() of "
          "the same bytes; 'sequential' is our own sequential read of the same file. "
          "Total %.0f s." % (time.perf_counter() - start))
    if args.json:
        with open(args.json, "w") as f:
            json.dump(record, f, indent=1)


if __name__ == "__main__":
    main()
