// Running the ozk tool as a program, and reading a whole volume back through the public
// interface: what the tests of the tools, the writers and the truncation sweep compare.
#pragma once

#include <cstdint>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

#include "qvx_ozk.h"
#include "tests/support/capture_stdout.h"
#include "tests/support/external_tools.h"
#include "tests/support/temp_dir.h"

namespace QVX::TestSupport {

struct ToolRun {
  int status = -1;
  std::string out, err;
  // The last line on standard error: the tool's own message after any log entries.
  std::string last_error_line() const {
    const std::string lines = err.substr(0, err.find_last_not_of('\n') + 1);
    return lines.substr(lines.rfind('\n') + 1);
  }
};

// Runs `tool arguments` (quoted by the caller) in the shell, standard error kept in `dir`.
// With a `limit` (a file-size limit in 512-byte blocks, which a file would hit too)
// standard error and output both come back in `err`, through a pipe.
inline ToolRun run_tool(const std::string& tool, const TempDir& dir, const std::string& arguments,
                        int limit = -1) {
  ToolRun run;
  if (limit >= 0) {
    run.status = run_command(
        "(ulimit -f " + std::to_string(limit) + "; exec " + tool + " " + arguments + ") 2>&1",
        &run.err);
    return run;
  }
  const std::string err = dir.file("stderr.txt");
  run.status = run_command("{ " + tool + " " + arguments + "; } 2>'" + err + "'", &run.out);
  std::ifstream in(err, std::ios::binary);
  run.err.assign(std::istreambuf_iterator<char>(in), {});
  in.close();
  std::remove(err.c_str());
  return run;
}

// A volume as the public interface reads it: geometry, then every slice (empty where
// that read fails).
struct VolumeRead {
  bool opened = false;
  uint32_t kind = QVX_OZK_KIND_NONE, width = 0, height = 0, slices = 0;
  double vmin[3] = {}, vmax[3] = {}, data_min = 0, data_max = 0;
  std::vector<std::vector<float>> data;
  std::vector<std::vector<float>> planes;  // the middle z-plane of each level
  std::string log;                         // what the library logged meanwhile
  // Every voxel, slice after slice; empty unless every slice read.
  std::vector<float> voxels() const {
    std::vector<float> all;
    for (const std::vector<float>& s : data) {
      if (s.empty()) return {};
      all.insert(all.end(), s.begin(), s.end());
    }
    return all;
  }
};

inline VolumeRead read_volume(const std::string& path) {
  VolumeRead r;
  CaptureStdout quiet;
  const std::unique_ptr<qvx_ozk_volume, void (*)(qvx_ozk_volume*)> handle(qvx_ozk_volume_create(),
                                                                          qvx_ozk_volume_delete);
  qvx_ozk_volume* v = handle.get();
  r.opened = qvx_ozk_volume_open(v, path.c_str());
  if (!r.opened) {
    r.log = quiet.text();
    return r;
  }
  qvx_ozk_volume_kind(v, &r.kind);
  qvx_ozk_volume_slice_width(v, &r.width);
  qvx_ozk_volume_slice_height(v, &r.height);
  qvx_ozk_volume_num_slices(v, &r.slices);
  qvx_ozk_volume_vmin(v, &r.vmin[0], &r.vmin[1], &r.vmin[2]);
  qvx_ozk_volume_vmax(v, &r.vmax[0], &r.vmax[1], &r.vmax[2]);
  qvx_ozk_volume_data_min(v, &r.data_min);
  qvx_ozk_volume_data_max(v, &r.data_max);
  for (uint32_t i = 0; i < r.slices; ++i) {
    std::vector<float> slice(size_t{r.width} * r.height);
    if (!qvx_ozk_volume_read_slice(v, slice.data(), i)) slice.clear();
    r.data.push_back(std::move(slice));
  }
  uint32_t levels = 0, lw = 0, lh = 0, ls = 0;
  qvx_ozk_volume_num_levels(v, &levels);
  for (uint32_t k = 0; k < levels && qvx_ozk_volume_level_shape(v, k, &lw, &lh, &ls); ++k) {
    std::vector<float> plane(size_t{lh} * ls);
    if (!qvx_ozk_volume_read_region(v, k, 0, 0, lw / 2, lh, ls, 1, plane.data())) plane.clear();
    r.planes.push_back(std::move(plane));
  }
  r.log = quiet.text();
  return r;
}

}  // namespace QVX::TestSupport
