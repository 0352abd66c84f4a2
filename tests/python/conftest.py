"""Fixtures of the ozk module's tests: volumes written by the test writers (CTest passes the
writer's path in OZK_FIXTURE_WRITER) and the values they hold, computed here on their own."""
import os
import subprocess

import numpy as np
import pytest

# HEIGHT (x), SLICES (y), WIDTH (z): unequal, and HEIGHT beyond one HR brick.
HEIGHT, SLICES, WIDTH = 40, 23, 13
FLOAT_VOLUMES = ["f32.pvol", "f32.hdr", "f32.hrv"]
ALL_VOLUMES = FLOAT_VOLUMES + ["u16.pvol.gz"]


def pytest_configure(config):
    config.addinivalue_line("markers", "cluster: starts a dask.distributed LocalCluster")


def ozk_tool(*args):
    """Runs the ozk tool (CTest passes its path in OZK_TOOL)."""
    return subprocess.run([os.environ["OZK_TOOL"], *map(str, args)], capture_output=True, text=True)


def expected(name):
    """What the library reads from a fixture, from the writer's formulas."""
    flat = np.arange(SLICES * HEIGHT * WIDTH, dtype=np.int64).reshape(SLICES, HEIGHT, WIDTH)
    if name.startswith("u16"):
        samples = (flat * 40503 % 65536).astype(np.float32)
        return samples * np.float32(1.0 / 65535.0)
    return flat.astype(np.float32) * np.float32(0.5) - np.float32(1000.0)


@pytest.fixture(scope="session")
def volumes(tmp_path_factory):
    directory = tmp_path_factory.mktemp("volumes")
    subprocess.run([os.environ["OZK_FIXTURE_WRITER"], str(directory), str(HEIGHT), str(SLICES),
                    str(WIDTH)], check=True)
    return directory
