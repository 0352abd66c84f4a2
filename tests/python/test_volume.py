"""ozk.Volume and ozk.save_tif32 against the writers' values, numpy and tifffile."""
import faulthandler
import gzip
import io
import logging
import os
import pathlib
import subprocess
import sys
import threading
import time

import numpy as np
import pytest
import tifffile

import ozk
from conftest import ALL_VOLUMES, HEIGHT, SLICES, WIDTH, expected


def bits(array):
    return np.ascontiguousarray(array, np.float32).view(np.uint32)


def hr_root_range():
    # The HR root brick is the 2x2x2 mean of the 64^3 stored grid (zeros beyond the volume);
    # the library reports the root's smallest and largest sample.
    grid = np.zeros((64, 64, 64))
    grid[:HEIGHT, :SLICES, :WIDTH] = expected("f32.hrv").transpose(1, 0, 2)
    root = (grid.reshape(32, 2, 32, 2, 32, 2).sum(axis=(1, 3, 5)) / 8).astype(np.float32)
    return (float(root.min()), float(root.max()))


# spacing: the voxel size of the HR volume, the extent over the voxels of the packed one.
@pytest.mark.parametrize("name, kind, vmin, vmax, voxel_size, spacing, data_range", [
    ("f32.pvol", "packed", (-1, -2, -3), (7, 8, 9), (0, 0, 0),
     (8 / HEIGHT, 10 / SLICES, 12 / WIDTH), (-5, 10)),
    ("u16.pvol.gz", "packed", (0, 0, 0), (0, 0, 0), (0, 0, 0), (0, 0, 0), (0, 1)),
    ("f32.hdr", "header", (0, 0, 0), (0, 0, 0), (0, 0, 0), (0, 0, 0), (-1000, 5000)),
    ("f32.hrv", "hr", (-1, -2, -3), (-1 + 0.5 * HEIGHT, -2 + 2 * SLICES, -3 + 4 * WIDTH),
     (0.5, 2, 4), (0.5, 2, 4), None),
])
def test_properties(volumes, name, kind, vmin, vmax, voxel_size, spacing, data_range):
    with ozk.open(volumes / name) as vol:
        assert (vol.shape, len(vol), vol.dtype, vol.ndim, vol.nbytes) == (
            (SLICES, HEIGHT, WIDTH), SLICES, np.float32, 3, SLICES * HEIGHT * WIDTH * 4)
        assert (vol.kind, vol.vmin, vol.vmax, vol.voxel_size) == (kind, vmin, vmax, voxel_size)
        assert vol.spacing == pytest.approx(spacing) and vol.axes == ("y", "x", "z")
        assert vol.data_range == (data_range or hr_root_range())
        assert vol.path == str(volumes / name) and not vol.closed
    assert vol.closed


@pytest.mark.parametrize("name", ALL_VOLUMES)
def test_values_are_the_written_ones_bit_for_bit(volumes, name):
    with ozk.open(str(volumes / name)) as vol:
        whole = np.asarray(vol)
        assert whole.dtype == np.float32 and whole.flags.c_contiguous
        assert np.array_equal(bits(whole), bits(expected(name)))
        assert all(np.array_equal(bits(s), bits(e)) for s, e in zip(vol, expected(name)))


# Index expressions, each compared with numpy indexing an in-memory copy.
KEYS = [
    5, -1, -SLICES, np.int64(4), np.uint8(2), slice(None), slice(2, 9), slice(None, None, 3),
    slice(20, 2, -4), slice(-5, None), slice(30, 40), slice(None, None, -1),
    (4, slice(3, 17), slice(2, 11)), (-2, slice(None, None, -3)), (3, 5, 7), (-2, -3),
    (slice(1, 20, 6), slice(None), 7), (slice(None, None, -1), -1), (slice(2, 5), 0, slice(4, 9)),
    (slice(None), slice(None), slice(None, None, -2)), (slice(3, 3), slice(1, 2)),
    (Ellipsis, 2), (1, Ellipsis), (slice(0, 2), None, 1), (None, slice(5, 6), Ellipsis, 3),
    [3, 1, 3], np.array([[0, 22], [5, 5]]), (slice(0, 4), [1, 2], [3, 4]), ([2, 0], 1, [5, 6]),
    np.arange(SLICES) % 3 == 0, (True,), (7, np.arange(HEIGHT) > 30),
]


@pytest.mark.parametrize("name", ALL_VOLUMES)
def test_indexing_follows_numpy(volumes, name):
    reference = expected(name)
    with ozk.open(volumes / name) as vol:
        for key in KEYS + [reference > 4000]:
            got, want = vol[key], reference[key]
            assert type(got) is type(want), key
            assert got.shape == want.shape and got.dtype == np.float32, key
            assert np.array_equal(bits(got), bits(want)), key


@pytest.mark.parametrize("key", [SLICES, -SLICES - 1, (0, HEIGHT), (0, 0, -WIDTH - 1),
                                 10**30, (1, 2, 3, 4), 1.5, "a", (slice(None), [HEIGHT])])
def test_bad_indices_raise_as_numpy_does(volumes, key):
    reference = expected("f32.pvol")
    with ozk.open(volumes / "f32.pvol") as vol:
        with pytest.raises(Exception) as numpy_error:
            reference[key]
        with pytest.raises(numpy_error.type):
            vol[key]


def test_read_slice_fills_out_in_place(volumes):
    with ozk.open(volumes / "f32.hdr") as vol:
        out = np.full((HEIGHT, WIDTH), np.nan, np.float32)
        assert vol.read_slice(-3, out=out) is out
        assert np.array_equal(out, expected("f32.hdr")[-3])
        assert np.array_equal(vol.read_slice(7), expected("f32.hdr")[7])
        with pytest.raises(IndexError, match="out of range"):
            vol.read_slice(SLICES)
        read_only = np.empty((HEIGHT, WIDTH), np.float32)
        read_only.flags.writeable = False
        misaligned = np.frombuffer(bytearray(HEIGHT * WIDTH * 4 + 1), np.uint8)[1:]
        for bad, message in [
            (np.empty((WIDTH, HEIGHT), np.float32), "shape"),
            (np.empty((HEIGHT, WIDTH), np.float64), "dtype"),
            (np.empty((HEIGHT, WIDTH), ">f4"), "dtype"),
            (np.empty((WIDTH, HEIGHT), np.float32).T, "contiguous"),
            (read_only, "read-only"),
            (misaligned.view(np.float32).reshape(HEIGHT, WIDTH), "aligned"),
        ]:
            with pytest.raises(ValueError, match=message):
                vol.read_slice(0, out=bad)
        with pytest.raises(TypeError):
            vol.read_slice(0, out=bytearray(HEIGHT * WIDTH * 4))


def test_open_failures_raise_the_os_error_of_their_cause(volumes, tmp_path):
    (tmp_path / "notes.txt").write_text("not a volume\n")
    (tmp_path / "locked.pvol").touch(mode=0)
    cases = [
        (tmp_path / "missing.pvol", FileNotFoundError, "No such file"),
        (tmp_path, IsADirectoryError, "Is a directory"),
        (tmp_path / "notes.txt", OSError, "not a volume of a known kind"),
        (volumes / "damaged.hrv", OSError, "FAILED to read from file map"),
    ]
    if os.geteuid() != 0:  # root reads any file
        cases.append((tmp_path / "locked.pvol", PermissionError, "Permission denied"))
    for path, error, cause in cases:
        with pytest.raises(OSError) as raised:
            ozk.open(path)
        error_text, errno = str(raised.value), raised.value.errno
        assert type(raised.value) is error and cause in error_text and f"'{path}'" in error_text
        assert raised.value.filename == (str(path) if errno else None)  # the path with an errno


def test_verify_finds_damage_the_reads_do_not(volumes, tmp_path, caplog):
    flipped = bytearray((volumes / "f32.hrv").read_bytes())
    flipped[len(flipped) // 2] ^= 0x40  # inside a brick
    (tmp_path / "flipped.hrv").write_bytes(flipped)
    for name, sound in [(volumes / "f32.hrv", True), (tmp_path / "flipped.hrv", False),
                        (volumes / "short.pvol", False)]:
        caplog.clear()
        with ozk.open(name) as vol:
            assert vol.verify() is sound, name
        problems = [r.getMessage() for r in caplog.records if r.levelno == logging.ERROR]
        assert len(problems) == (0 if sound else 1) and all("missing" in p or "damaged" in p
                                                            for p in problems), problems


def test_entries_reach_logging_at_their_level(volumes, caplog):
    text = (volumes / "f32.hdr").read_text()
    (volumes / "warned.hdr").write_text(text.replace("<Files>", "<Files>\n<NbSlices>5</NbSlices>"))
    caplog.set_level(logging.DEBUG, logger="ozk")
    ozk.open(volumes / "warned.hdr").close()
    with pytest.raises(OSError):
        ozk.open(volumes / "damaged.hrv")
    records = {(r.name, r.levelno, r.getMessage()) for r in caplog.records}
    assert {("ozk", logging.WARNING, "WARNING: slice count 5 without a file name ignored"),
            ("ozk", logging.DEBUG, "HR Volume has checksum type 2"),
            ("ozk", logging.ERROR, "FAILED to read info size")} <= records


def test_no_log_file_and_nothing_on_the_console(volumes, tmp_path):
    script = (f"import ozk, os\ntry:\n    ozk.open({str(volumes / 'damaged.hrv')!r})\n"
              f"except OSError:\n    ozk.open({str(volumes / 'f32.hrv')!r})[0]\n"
              f"print(os.listdir({str(tmp_path)!r}))\n")
    run = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True,
                         env=dict(os.environ, TMPDIR=str(tmp_path)))
    assert (run.returncode, run.stdout, run.stderr) == (0, "[]\n", "")


def test_a_short_file_raises_for_the_slices_it_lacks(volumes):
    with ozk.open(pathlib.Path(volumes, "short.pvol")) as vol:
        assert np.array_equal(vol[0], expected("f32.pvol")[0])
        with pytest.raises(OSError, match=r"slice 1 of '.*short\.pvol'"):
            vol[1]
        with pytest.raises(OSError, match="slice 1 of"):
            np.asarray(vol)


def test_a_closed_volume_raises_value_error(volumes):
    vol = ozk.open(volumes / "f32.pvol")
    vol.close()
    vol.close()
    for use in [lambda: vol.shape, lambda: len(vol), lambda: vol[0], lambda: vol.read_slice(0),
                lambda: np.asarray(vol), lambda: vol.data_range]:
        with pytest.raises(ValueError, match="closed"):
            use()
    assert "closed" in repr(vol)


def test_reads_release_the_gil(volumes):
    # Each volume's slice file is a named pipe that the main thread fills only once both
    # readers are blocked inside the library, waiting for data: so two reads on two handles
    # were in the library at once while Python code ran beside them. A read that kept the
    # GIL would block the main thread for good: the watchdog, which needs no GIL, then
    # ends the process with every thread's traceback.
    faulthandler.dump_traceback_later(60, exit=True)
    pipes = [volumes / "fifo_a.raw", volumes / "fifo_b.raw"]
    for pipe in pipes:
        if not pipe.exists():
            os.mkfifo(pipe)
    handles = [ozk.open(volumes / "fifo_a.hdr"), ozk.open(volumes / "fifo_b.hdr")]
    results = {}
    readers = [threading.Thread(target=lambda k=k: results.setdefault(k, handles[k][0]))
               for k in range(2)]
    for reader in readers:
        reader.start()
    writers = []
    deadline = time.monotonic() + 60
    while len(writers) < 2 and time.monotonic() < deadline:
        try:  # succeeds once the reader has opened the pipe
            writers.append(os.open(pipes[len(writers)], os.O_WRONLY | os.O_NONBLOCK))
        except OSError:
            time.sleep(0.001)
    both_inside = len(writers) == 2
    for k, pipe in enumerate(pipes):
        fd = writers[k] if k < len(writers) else os.open(pipe, os.O_WRONLY)
        os.write(fd, np.arange(6, dtype="<f4").tobytes())
        os.close(fd)
    for reader in readers:
        reader.join()
    faulthandler.cancel_dump_traceback_later()
    for vol in handles:
        vol.close()
    assert both_inside
    assert all(np.array_equal(results[k], np.arange(6, dtype=np.float32).reshape(2, 3))
               for k in range(2))


def test_save_tif32_writes_float_tiffs(volumes, tmp_path):
    image = np.arange(12, dtype=np.float64).reshape(3, 4)[:, ::-1] * 0.25  # float64, strided
    ozk.save_tif32(tmp_path / "a.tif", image)
    ozk.save_tif32(str(tmp_path / "a.tif.gz"), image)
    plain = tifffile.imread(tmp_path / "a.tif")
    packed = tifffile.imread(io.BytesIO(gzip.decompress((tmp_path / "a.tif.gz").read_bytes())))
    for read in (plain, packed):
        assert read.dtype == np.float32 and np.array_equal(read, image.astype(np.float32))
    with pytest.raises(ValueError, match="2-D"):
        ozk.save_tif32(tmp_path / "b.tif", np.zeros((2, 2, 2)))
    with pytest.raises(ValueError):
        ozk.save_tif32(tmp_path / "b.tif", [["not a number"]])
    with pytest.raises(NotADirectoryError, match=r"FAILED.*b\.tif'"):
        ozk.save_tif32(tmp_path / "a.tif" / "b.tif", image)
    with pytest.raises(OSError, match="FAILED"):
        ozk.save_tif32(tmp_path / "empty.tif", np.zeros((0, 4)))
    assert sorted(os.listdir(tmp_path)) == ["a.tif", "a.tif.gz"]
