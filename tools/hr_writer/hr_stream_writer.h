// Writes an HR volume from slices given in order, for `ozk convert` and `ozk demo`: the
// caller never holds the whole volume, and neither does the writer.
//
// The volume arrives as y-slabs of kHRSlabSlices slices (the last one shorter), each
// slice in the library's layout: resolution x rows of resolution z floats, element (x, z)
// of slice y at x * resolution[2] + z. The file is the same format that write_hr_volume
// writes with its defaults (version 4, CRC-32 checksums, bricks of 32^3 samples x fastest,
// each coarser level the 2x2x2 mean of the level below, summed in double in the order x
// fastest, then y, then z, divided by 8 and rounded to float; stored voxels beyond
// `resolution` are 0.0f), so both writers give the same samples for every brick they
// both hold. Where they differ:
//   - A node whose cube holds no voxel of the volume has no brick and no children; it
//     reads 0.0 and no slice ever reaches it.
//   - With stop_uniform, a subtree whose stored voxels are all one value (bit for bit,
//     not NaN) ends at its top node, which keeps its coarse brick: every sample of it is
//     that value, so a reader's nearest-neighbour upsampling gives the voxels back exactly.
//   - A node's min and max are those of the volume's voxels inside its cube, not of its
//     (coarse, padded) brick, so the root holds the volume's true data range, which the
//     library reports for the file.
//
// Layout: header, then the node area reserved for the full tree (the root's record and
// one tile per node above the finest level that holds voxels), then the brick records in
// the order they were completed, then an empty info block. The node records are written
// last, into the start of the reserved area; tiles of subtrees that ended early leave
// unused bytes at its end (172 bytes per tile, against the 8 bricks that tile saves).
//
// Memory: the caller's slab, one row of partial bricks per coarser level (together about
// a third of a slab) and 24 bytes per node.
//
// The file is written as `path` + ".partial" and renamed to `path` by finish(); a writer
// destroyed or discarded before that removes the partial file.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <string>

namespace QVX::Tools {

inline constexpr uint32_t kHRSlabSlices = 32;

struct HRStreamOptions {
  // Voxels along x (slice rows), y (slices) and z (slice columns); each at least 1, none
  // above 2^31. A volume whose largest edge is 16 or less is stored in a grid of 32 along
  // that axis, since readers refuse smaller trees.
  std::array<uint32_t, 3> resolution = {0, 0, 0};
  std::array<double, 3> vmin = {0.0, 0.0, 0.0};
  std::array<double, 3> vmax = {0.0, 0.0, 0.0};
  bool stop_uniform = true;
};

class HRStreamWriter {
 public:
  HRStreamWriter();
  ~HRStreamWriter();  // discards an unfinished file
  HRStreamWriter(const HRStreamWriter&) = delete;
  HRStreamWriter& operator=(const HRStreamWriter&) = delete;

  // Creates the partial file. False with a one-line cause in `error`.
  bool open(const std::string& path, const HRStreamOptions& options, std::string* error);

  // The number of slices the next write_slab takes: kHRSlabSlices, fewer for the last
  // slab, 0 once the whole volume was given (or when nothing is open).
  uint32_t next_slab_slices() const;

  // Takes the next slab: next_slab_slices() slices of resolution x * z floats, one after
  // the other. False with a cause in `error` when the file cannot be written (the partial
  // file is then removed) or no slab is due.
  bool write_slab(const float* slab, std::string* error);

  // Writes the node area and the header and renames the file into place. False when
  // slabs are missing or the file cannot be completed; nothing is left behind then.
  bool finish(std::string* error);

  // Closes and removes the partial file, if any.
  void discard();

  // After finish: the file's size and how many brick records it holds.
  uint64_t file_size() const;
  uint64_t bricks_written() const;

 private:
  struct State;
  std::unique_ptr<State> state_;
};

}  // namespace QVX::Tools
