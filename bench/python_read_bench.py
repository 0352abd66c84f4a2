"""Read speed of the Python module, as ratios against references measured in the same run.

    PYTHONPATH=build/release/python /usr/bin/python3 bench/python_read_bench.py DEMO_DIR [ROUNDS]

DEMO_DIR holds the volumes of `ozk demo` (phantom.hdr, phantom.hrv). Each of ROUNDS rounds
(default 5) prints, for the header and the HR volume:
  module/C      numpy.asarray(vol) over the same slices read through the C interface
                (ctypes, into a new array as well): the module's own cost
  vol[i]/out=   a loop over vol[i] (a new array per slice, dropped after use) over
                read_slice(i, out=buffer)
and, for the HR volume read whole twice:
  reads 1/2     one thread after the other over two threads at once, one handle each
  hash 1/2      the same for hashing a buffer of that size (hashlib releases the GIL): what
                two threads gain on this machine right now, the reference for the line above
"""
import ctypes
import hashlib
import os
import sys
import threading
import time

import numpy as np

import ozk


def best_of(function, times=3):
    elapsed = []
    for _ in range(times):
        start = time.perf_counter()
        function()
        elapsed.append(time.perf_counter() - start)
    return min(elapsed)


def c_interface():
    # The library the module loaded, through its C functions.
    library = next(line.split()[-1] for line in open("/proc/self/maps")
                   if "libqvx_ozk.so" in line)
    c = ctypes.CDLL(library)
    c.qvx_ozk_volume_create.restype = ctypes.c_void_p
    c.qvx_ozk_volume_open.argtypes = [ctypes.c_void_p, ctypes.c_char_p]
    c.qvx_ozk_volume_read_slice.argtypes = [ctypes.c_void_p, ctypes.c_void_p, ctypes.c_uint32]
    c.qvx_ozk_volume_delete.argtypes = [ctypes.c_void_p]
    return c


def c_reads(c, path, shape):
    handle = c.qvx_ozk_volume_create()
    assert c.qvx_ozk_volume_open(handle, os.fsencode(path))
    def read_all():
        out = np.empty(shape, np.float32)  # fresh memory, as numpy.asarray(vol) gets
        stride = out[0].nbytes
        base = out.ctypes.data
        for i in range(shape[0]):
            assert c.qvx_ozk_volume_read_slice(handle, base + i * stride, i)
        return out

    return handle, read_all


def in_two_threads(work):
    threads = [threading.Thread(target=work) for _ in range(2)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()


def main():
    directory = sys.argv[1]
    rounds = int(sys.argv[2]) if len(sys.argv) > 2 else 5
    paths = [os.path.join(directory, "phantom.hdr"), os.path.join(directory, "phantom.hrv")]
    c = c_interface()
    print("header module/C  vol[i]/out=   hr module/C  vol[i]/out=   reads 1/2  hash 1/2")
    for _ in range(rounds):
        row = []
        for path in paths:
            with ozk.open(path) as vol:
                handle, read_all = c_reads(c, path, vol.shape)
                assert np.array_equal(np.asarray(vol), read_all())
                buffer = np.empty(vol.shape[1:], np.float32)

                def new_arrays():
                    for i in range(len(vol)):
                        vol[i]

                def into_buffer():
                    for i in range(len(vol)):
                        vol.read_slice(i, out=buffer)

                row += [best_of(lambda: np.asarray(vol)) / best_of(read_all),
                        best_of(new_arrays) / best_of(into_buffer)]
                c.qvx_ozk_volume_delete(handle)

        def read_hr():
            with ozk.open(paths[1]) as v:
                np.asarray(v)

        data = os.urandom(1 << 20) * 64  # 64 MiB, the size of the volume
        hash_once = lambda: hashlib.sha256(data).digest()  # noqa: E731
        row += [best_of(lambda: (read_hr(), read_hr())) / best_of(lambda: in_two_threads(read_hr)),
                best_of(lambda: (hash_once(), hash_once())) /
                best_of(lambda: in_two_threads(hash_once))]
        print("{:15.2f}  {:11.2f}  {:11.2f}  {:11.2f}  {:9.2f}  {:8.2f}".format(*row))


if __name__ == "__main__":
    main()
