#!/usr/bin/env bash
# Builds, then runs `ozk demo`: a head phantom written as a packed, a header and an HR
# volume, read back through the library, compared slice by slice, with a PNG of the middle
# slice of each.
#   scripts/demo.sh [PRESET]     (default: release; see CMakePresets.json)
# OZK_DEMO_SIZE sets the phantom's edge (default 256).
set -euo pipefail
cd "$(dirname "$0")/.."
preset=${1:-release}
./scripts/build.sh "$preset"
./build/"$preset"/tools/ozk/ozk demo build/"$preset"/demo --size "${OZK_DEMO_SIZE:-256}"
# The HR volume as an OME-Zarr pyramid, and level 1's middle slice read back with zarr-python
# (when the Python module was built).
build=build/"$preset"
if [ -d "$build/python/ozk" ] && /usr/bin/python3 -c "import zarr, PIL" 2> /dev/null; then
  PYTHONPATH="$build/python" /usr/bin/python3 -m ozk convert --overwrite \
    "$build/demo/phantom.hrv" "$build/demo/phantom.ome.zarr"
  /usr/bin/python3 - "$build/demo" <<'PY'
import sys, numpy as np, zarr
from PIL import Image
group = zarr.open_group(sys.argv[1] + "/phantom.ome.zarr", mode="r")
name = "1" if "1" in group else "0"  # a phantom of at most 64 voxels has one level
level = group[name]
middle = level[level.shape[0] // 2]
low, high = float(middle.min()), float(middle.max())
gray = np.clip((middle - low) / ((high - low) or 1) * 255 + 0.5, 0, 255).astype(np.uint8)
Image.fromarray(gray).save(sys.argv[1] + "/ome_zarr_level1_middle.png")
print(sys.argv[1] + "/ome_zarr_level1_middle.png: level " + name + " of the OME-Zarr store, "
      "slice " + str(level.shape[0] // 2))
PY
fi
