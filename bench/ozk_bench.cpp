// ozk_bench: the library through its public interface, over the data sets of bench_data.
//
//   ozk_bench --data=FOLDER [--ref_mib=N] [--check] [Google Benchmark flags]
//
// Every iteration runs one operation of the library (the iteration's time, measured by
// hand) and, in the same iteration, its machine references, so the library and the
// references meet the same load on a shared machine. For each reference R the counters
//   R_s       mean seconds of the reference per iteration
//   R_ratio   the reference's time over ours: 1 is as fast as the reference, above 1 faster
// References: memcpy out of memory larger than the caches (--ref_mib, default twice the
// last-level cache within 256 MiB to 1 GiB), pread of the same file bytes, zlib's gzread
// of the same stream, write() of the same bytes, and for random gzip reads our own
// sequential reads of the same file on a second handle.
//
// Slices are visited in a fixed shuffled order (bench/compare.py makes the same one for
// the peers), after one pass that put every file in the page cache and read every slice.
//
// --check reads the first, middle and last slice of every data set and compares them with
// the samples the generator computed, then exits (non-zero on a difference).
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "bench/ct_data.h"
#include "bench/data_sets.h"
#include "bench/references.h"
#include "qvx_ozk.h"
#include "tools/ozk/metaimage.h"

namespace QVX::Bench {
namespace {

struct Config {
  std::string data;
  size_t ref_bytes = 0;
  bool check = false;
};

Config config;
Manifest manifest;

std::string data_path(const std::string& name) { return config.data + "/" + name; }

MemoryReference& memory() {
  static MemoryReference reference(config.ref_bytes);
  return reference;
}

// A volume handle of the library with a slice buffer.
class Volume {
 public:
  Volume() : handle_(qvx_ozk_volume_create()) {}
  ~Volume() { qvx_ozk_volume_delete(handle_); }
  Volume(const Volume&) = delete;
  Volume& operator=(const Volume&) = delete;

  bool open(const std::string& path) {
    if (!qvx_ozk_volume_open(handle_, path.c_str())) return false;
    qvx_ozk_volume_slice_width(handle_, &width);
    qvx_ozk_volume_slice_height(handle_, &height);
    qvx_ozk_volume_num_slices(handle_, &slices);
    slice_.resize(uint64_t{width} * height);
    return slices > 0;
  }
  void close() { qvx_ozk_volume_close(handle_); }
  bool read(uint32_t y) { return qvx_ozk_volume_read_slice(handle_, slice_.data(), y); }
  bool read_all() {
    for (uint32_t y = 0; y < slices; ++y) {
      if (!read(y)) return false;
    }
    return true;
  }
  bool region(uint32_t level, const uint32_t (&first)[3], const uint32_t (&count)[3], float* out) {
    return qvx_ozk_volume_read_region(handle_, level, first[0], first[1], first[2], count[0],
                                      count[1], count[2], out);
  }
  uint32_t levels() const {
    uint32_t n = 0;
    qvx_ozk_volume_num_levels(handle_, &n);
    return n;
  }
  const float* slice() const { return slice_.data(); }
  qvx_ozk_volume* handle() const { return handle_; }
  uint64_t slice_bytes() const { return 4 * uint64_t{width} * height; }

  uint32_t width = 0, height = 0, slices = 0;

 private:
  qvx_ozk_volume* handle_;
  PageVector<float> slice_;
};

// The same order in bench/compare.py: Fisher-Yates driven by splitmix64 from `seed`.
std::vector<uint32_t> shuffled_order(uint32_t n, uint64_t seed) {
  std::vector<uint32_t> order(n);
  for (uint32_t i = 0; i < n; ++i) order[i] = i;
  uint64_t state = seed;
  auto next = [&state] {
    uint64_t z = (state += 0x9E3779B97F4A7C15ull);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
  };
  for (uint32_t i = n - 1; i > 0; --i) std::swap(order[i], order[next() % (i + 1)]);
  return order;
}

constexpr uint64_t kOrderSeed = 1;
constexpr uint64_t kFirstTouchSeed = 2;
constexpr uint32_t kFirstTouchReads = 16;

double now() {
  return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

// One timed step: `prepare` runs untimed before it (reopening at the end of a stream).
struct Step {
  Step(std::string n, std::function<bool()> r, std::function<bool()> p = {})
      : name(std::move(n)), run(std::move(r)), prepare(std::move(p)) {}
  std::string name;
  std::function<bool()> run;
  std::function<bool()> prepare;
};

// Our step and the references each run once per iteration, the first one rotating from
// iteration to iteration, so each step follows every other step equally often: none of them
// always runs right after the memcpy reference that empties the caches.
void run_paired(benchmark::State& state, uint64_t bytes, const Step& ours,
                const std::vector<Step>& references) {
  std::vector<const Step*> steps = {&ours};
  for (const Step& r : references) steps.push_back(&r);
  std::vector<double> total(steps.size(), 0.0);
  size_t first = 0;
  for (auto _ : state) {
    double elapsed = 0;
    bool ok = true;
    for (size_t k = 0; k < steps.size() && ok; ++k) {
      const size_t i = (first + k) % steps.size();
      ok = !steps[i]->prepare || steps[i]->prepare();
      const double start = now();
      ok = ok && steps[i]->run();
      const double t = now() - start;
      total[i] += t;
      if (i == 0) elapsed = t;
    }
    if (!ok) {
      state.SkipWithError("the library or a reference failed");
      break;
    }
    first = (first + 1) % steps.size();
    state.SetIterationTime(elapsed);
  }
  const double ours_total = total[0];
  std::vector<double> reference_total(total.begin() + 1, total.end());
  for (size_t i = 0; i < references.size(); ++i) {
    state.counters[references[i].name + "_s"] =
        benchmark::Counter(reference_total[i], benchmark::Counter::kAvgIterations);
    state.counters[references[i].name + "_ratio"] =
        ours_total > 0 ? reference_total[i] / ours_total : 0.0;
  }
  if (bytes > 0) state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * bytes));
}

// Fixtures live for the whole process: Google Benchmark calls a benchmark several times
// (to size the iteration count, and once per repetition), and the warm-up passes and the
// gzip indexing pass should run once.
template <class T>
T* fixture(const std::string& key, const std::function<std::unique_ptr<T>()>& make) {
  static std::map<std::string, std::unique_ptr<T>> made;
  auto it = made.find(key);
  if (it == made.end()) it = made.emplace(key, make()).first;
  return it->second.get();
}

// A volume visited in shuffled order after a warm-up pass over its files and slices.
struct ShuffledReads {
  Volume volume;
  std::vector<uint32_t> order;
  size_t next = 0;
  uint32_t last = 0;
  PageVector<char> scratch;
  bool ok = false;

  bool read_next() {
    last = order[next];
    next = (next + 1) % order.size();
    return volume.read(last);
  }
  // A slice half the order away from the one read last: what a reference reads from the
  // same files, so that it never finds the bytes our read just brought into the caches.
  uint32_t away() const { return order[(next + order.size() / 2) % order.size()]; }
};

std::unique_ptr<ShuffledReads> shuffled_reads(const std::vector<std::string>& files) {
  auto f = std::make_unique<ShuffledReads>();
  f->ok = true;
  for (const std::string& name : files) f->ok = f->ok && warm_file(data_path(name));
  f->ok = f->ok && f->volume.open(data_path(files[0])) && f->volume.read_all();
  if (!f->ok) return f;
  f->order = shuffled_order(f->volume.slices, kOrderSeed);
  f->scratch.resize(f->volume.slice_bytes());
  return f;
}

Step memcpy_step(ShuffledReads* f) {
  return {"memcpy", [f] {
            memory().copy(f->scratch.data(), f->volume.slice_bytes());
            return true;
          }};
}

void hr_yslice(benchmark::State& state, const char* name) {
  auto* f = fixture<ShuffledReads>(name, [name] { return shuffled_reads({name}); });
  if (!f->ok) return state.SkipWithError("cannot open or warm the volume");
  run_paired(state, f->volume.slice_bytes(), {"ours", [f] { return f->read_next(); }},
             {memcpy_step(f)});
}

// Planes of constant x or z through read_region, in shuffled order of the plane index.
// References: memcpy of the plane's bytes, and for HR x-planes "lines", a memcpy of one
// 64-byte cache line per sample: an x-plane meets every brick in one sample per line.
void region_plane(benchmark::State& state, const char* name, int axis) {
  struct Fixture {
    std::unique_ptr<ShuffledReads> reads;
    std::vector<uint32_t> order;
    PageVector<float> plane;
    size_t next = 0;
    uint32_t n[3] = {};
  };
  auto* f = fixture<Fixture>(std::string(name) + char('x' + axis), [name, axis] {
    auto g = std::make_unique<Fixture>();
    g->reads = shuffled_reads({name});
    const Volume& v = g->reads->volume;
    g->n[0] = v.height, g->n[1] = v.slices, g->n[2] = v.width;
    g->order = shuffled_order(g->n[axis], kOrderSeed);
    g->plane.resize(uint64_t{g->n[0]} * g->n[1] * g->n[2] / g->n[axis]);
    return g;
  });
  if (!f->reads->ok) return state.SkipWithError("cannot open or warm the volume");
  const uint64_t bytes = f->plane.size() * sizeof(float);
  Step ours{"ours", [f, axis] {
              uint32_t first[3] = {0, 0, 0}, count[3] = {f->n[0], f->n[1], f->n[2]};
              first[axis] = f->order[f->next];
              count[axis] = 1;
              f->next = (f->next + 1) % f->order.size();
              return f->reads->volume.region(0, first, count, f->plane.data());
            }};
  std::vector<Step> refs = {{"memcpy", [f, bytes] {
                               memory().copy(f->reads->scratch.data(), bytes);
                               return true;
                             }}};
  if (axis == 0 && std::string(name) == Names::kHRCube) {
    f->reads->scratch.resize(std::max<size_t>(f->reads->scratch.size(), f->plane.size() * 64));
    refs.push_back({"lines", [f] {
                      memory().copy(f->reads->scratch.data(), f->plane.size() * 64);
                      return true;
                    }});
  }
  run_paired(state, bytes, ours, refs);
}

// The whole of level 3 of the HR cube (1/8 along each axis) in one read, against one
// level-0 y-slice: about the same bytes. A cube too small to have level 3 reads its
// coarsest level.
void hr_level3(benchmark::State& state) {
  struct Fixture {
    std::unique_ptr<ShuffledReads> reads;
    PageVector<float> level;
    uint32_t n[3] = {}, k = 0;
  };
  auto* f = fixture<Fixture>("level3", [] {
    auto g = std::make_unique<Fixture>();
    g->reads = shuffled_reads({Names::kHRCube});
    const Volume& v = g->reads->volume;
    g->k = std::min(3u, std::max(v.levels(), 1u) - 1);
    const uint32_t scale = 1u << g->k;
    g->n[0] = (v.height + scale - 1) / scale, g->n[1] = (v.slices + scale - 1) / scale,
    g->n[2] = (v.width + scale - 1) / scale;
    g->level.resize(uint64_t{g->n[0]} * g->n[1] * g->n[2]);
    return g;
  });
  if (!f->reads->ok) return state.SkipWithError("cannot open or warm the volume");
  run_paired(state, f->level.size() * sizeof(float),
             {"ours",
              [f] {
                return f->reads->volume.region(f->k, {0, 0, 0}, f->n, f->level.data());
              }},
             {{"y-slice", [f] { return f->reads->read_next(); }}});
}

struct PackedPlain {
  std::unique_ptr<ShuffledReads> reads;
  int fd = -1;
  uint64_t offset = 0, file_slice_bytes = 0;
  ~PackedPlain() {
    if (fd >= 0) ::close(fd);
  }
};

void packed_plain(benchmark::State& state, const char* name, int bits) {
  auto* f = fixture<PackedPlain>(name, [name, bits] {
    auto p = std::make_unique<PackedPlain>();
    p->reads = shuffled_reads({name});
    p->fd = ::open(data_path(name).c_str(), O_RDONLY | O_CLOEXEC);
    p->offset = manifest.value(std::string("data_offset.") + name);
    p->file_slice_bytes = p->reads->volume.slice_bytes() / 4 * static_cast<uint64_t>(bits / 8);
    return p;
  });
  if (!f->reads->ok || f->fd < 0) return state.SkipWithError("cannot open or warm the volume");
  ShuffledReads* r = f->reads.get();
  Step pread_step{"pread", [f, r] {
                    return pread_all(f->fd, r->scratch.data(), f->file_slice_bytes,
                                     f->offset + r->away() * f->file_slice_bytes);
                  }};
  run_paired(state, r->volume.slice_bytes(), {"ours", [r] { return r->read_next(); }},
             {pread_step, memcpy_step(r)});
}

// Our sequential reads of a gzip packed volume, reopened at the end.
struct SequentialGzip {
  std::string path;
  Volume volume;
  uint32_t next = 0;
  bool prepare() {
    if (next < volume.slices) return true;
    next = 0;
    return volume.open(path);
  }
  bool read() { return volume.read(next++); }
};

// zlib's gzread over the same stream, slice by slice, reopened at the end.
struct SequentialGzread {
  std::string path;
  uint64_t offset = 0, slice_bytes = 0, slices = 0;
  GzipStream stream;
  PageVector<char> scratch;
  bool started = false;
  bool prepare() {
    if (started && stream.position() < slices * slice_bytes) return true;
    started = true;
    return stream.open(path, offset);
  }
  bool read() { return stream.read(scratch.data(), slice_bytes); }
};

std::unique_ptr<SequentialGzread> gzread_reader(const char* name, const Volume& v, int bits) {
  auto g = std::make_unique<SequentialGzread>();
  g->path = data_path(name);
  g->offset = manifest.value(std::string("data_offset.") + name);
  g->slice_bytes = uint64_t{v.width} * v.height * static_cast<uint64_t>(bits / 8);
  g->slices = v.slices;
  g->scratch.resize(g->slice_bytes);
  return g;
}

struct GzipSequentialFixture {
  SequentialGzip ours;
  std::unique_ptr<SequentialGzread> gzread;
  PageVector<char> scratch;
  bool ok = false;
};

void packed_gzip_sequential(benchmark::State& state, const char* name, int bits) {
  auto* f = fixture<GzipSequentialFixture>(name, [name, bits] {
    auto g = std::make_unique<GzipSequentialFixture>();
    g->ours.path = data_path(name);
    g->ok = warm_file(g->ours.path) && g->ours.volume.open(g->ours.path);
    if (g->ok) {
      g->gzread = gzread_reader(name, g->ours.volume, bits);
      g->scratch.resize(g->ours.volume.slice_bytes());
    }
    return g;
  });
  if (!f->ok) return state.SkipWithError("cannot open the volume");
  run_paired(state, f->ours.volume.slice_bytes(),
             {"ours", [f] { return f->ours.read(); }, [f] { return f->ours.prepare(); }},
             {{"gzread", [f] { return f->gzread->read(); }, [f] { return f->gzread->prepare(); }},
              {"memcpy", [f] {
                 memory().copy(f->scratch.data(), f->scratch.size());
                 return true;
               }}});
}

// Random order once a sequential pass has read (and so could index) every slice; the
// references are our own sequential reads on a second handle and zlib's gzread.
struct GzipRandomFixture {
  std::unique_ptr<ShuffledReads> reads;
  SequentialGzip sequential;
  std::unique_ptr<SequentialGzread> gzread;
};

void packed_gzip_random(benchmark::State& state, const char* name, int bits) {
  auto* f = fixture<GzipRandomFixture>(name, [name, bits] {
    auto g = std::make_unique<GzipRandomFixture>();
    g->reads = shuffled_reads({name});
    g->sequential.path = data_path(name);
    g->reads->ok = g->reads->ok && g->sequential.volume.open(g->sequential.path);
    if (g->reads->ok) g->gzread = gzread_reader(name, g->reads->volume, bits);
    return g;
  });
  if (!f->reads->ok) return state.SkipWithError("cannot open the volume");
  ShuffledReads* r = f->reads.get();
  run_paired(state, r->volume.slice_bytes(), {"ours", [r] { return r->read_next(); }},
             {{"sequential", [f] { return f->sequential.read(); },
               [f] { return f->sequential.prepare(); }},
              {"gzread", [f] { return f->gzread->read(); }, [f] { return f->gzread->prepare(); }}});
}

// A fresh open, then a few slices in shuffled order: what a viewer does when it jumps
// into a file it has not read before. The reference inflates with gzread from the start
// to the end of the farthest of those slices, the least a forward reader must do.
void packed_gzip_first_touch(benchmark::State& state, const char* name, int bits) {
  struct Fixture {
    std::string path;
    std::vector<uint32_t> order;
    uint64_t furthest_end = 0, offset = 0;
    PageVector<char> scratch;
    bool ok = false;
  };
  auto* f = fixture<Fixture>(name, [name, bits] {
    auto g = std::make_unique<Fixture>();
    g->path = data_path(name);
    Volume probe;
    g->ok = warm_file(g->path) && probe.open(g->path);
    if (!g->ok) return g;
    g->order = shuffled_order(probe.slices, kFirstTouchSeed);
    g->order.resize(std::min<size_t>(kFirstTouchReads, g->order.size()));
    const uint64_t file_slice = uint64_t{probe.width} * probe.height * (bits / 8);
    g->furthest_end = (*std::max_element(g->order.begin(), g->order.end()) + 1) * file_slice;
    g->offset = manifest.value(std::string("data_offset.") + name);
    g->scratch.resize(std::max<uint64_t>(file_slice, 1 << 20));
    return g;
  });
  if (!f->ok) return state.SkipWithError("cannot open the volume");
  uint64_t bytes = 0;
  Step ours{"ours", [f, &bytes] {
              Volume v;
              if (!v.open(f->path)) return false;
              for (uint32_t y : f->order) {
                if (!v.read(y)) return false;
              }
              bytes = v.slice_bytes() * f->order.size();
              return true;
            }};
  Step gzread{"gzread", [f] {
                GzipStream s;
                if (!s.open(f->path, f->offset)) return false;
                for (uint64_t left = f->furthest_end; left > 0;) {
                  const uint64_t n = std::min<uint64_t>(left, f->scratch.size());
                  if (!s.read(f->scratch.data(), n)) return false;
                  left -= n;
                }
                return true;
              }};
  run_paired(state, 0, ours, {gzread});
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * bytes));
}

struct HeaderFixture {
  std::unique_ptr<ShuffledReads> reads;
  std::vector<std::string> files;
  std::vector<int> fds;
  // Where pread puts the slice: a buffer of its own, as our read has one, not the scratch
  // buffer that the memcpy reference has just written (and so left in the caches).
  PageVector<char> pread_out;
  uint32_t per_file = 0;
  // The references read the same place of another slice file: the same work, and none of
  // the bytes that our read just brought into the caches.
  size_t other_file(uint32_t y) const { return (y / per_file + files.size() / 2) % files.size(); }
  ~HeaderFixture() {
    for (int fd : fds) ::close(fd);
  }
};

HeaderFixture* header_fixture(const char* name) {
  return fixture<HeaderFixture>(name, [name] {
    auto h = std::make_unique<HeaderFixture>();
    h->files = header_slice_files(name, manifest.edge);
    h->per_file = header_slices_per_file(manifest.edge);
    std::vector<std::string> all = {name};
    all.insert(all.end(), h->files.begin(), h->files.end());
    h->reads = shuffled_reads(all);
    h->pread_out.resize(h->reads->volume.slice_bytes());
    for (const std::string& file : h->files) {
      h->fds.push_back(::open(data_path(file).c_str(), O_RDONLY | O_CLOEXEC));
      if (h->fds.back() < 0) h->reads->ok = false;
    }
    return h;
  });
}

void header_plain(benchmark::State& state) {
  HeaderFixture* f = header_fixture(Names::kHeaderPlain);
  if (!f->reads->ok) return state.SkipWithError("cannot open or warm the volume");
  ShuffledReads* r = f->reads.get();
  Step pread_step{"pread", [f, r] {
                    const uint64_t bytes = r->volume.slice_bytes();
                    return pread_all(f->fds[f->other_file(r->last)], f->pread_out.data(), bytes,
                                     (r->last % f->per_file) * bytes);
                  }};
  run_paired(state, r->volume.slice_bytes(), {"ours", [r] { return r->read_next(); }},
             {pread_step, memcpy_step(r)});
}

void header_gzip(benchmark::State& state) {
  HeaderFixture* f = header_fixture(Names::kHeaderGzip);
  if (!f->reads->ok) return state.SkipWithError("cannot open or warm the volume");
  ShuffledReads* r = f->reads.get();
  // The work of a reader that opens the slice's file for each read: inflate from the
  // file's start through the slice.
  Step gzread{"gzread", [f, r] {
                GzipStream s;
                const uint64_t bytes = r->volume.slice_bytes();
                return s.open(data_path(f->files[f->other_file(r->last)]),
                              (r->last % f->per_file) * bytes) &&
                       s.read(r->scratch.data(), bytes);
              }};
  run_paired(state, r->volume.slice_bytes(), {"ours", [r] { return r->read_next(); }}, {gzread});
}

bool write_file(const std::string& path, const void* data, size_t size) {
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0) return false;
  const auto* bytes = static_cast<const char*>(data);
  while (size > 0) {
    const ssize_t n = ::write(fd, bytes, size);
    if (n <= 0) break;
    bytes += n;
    size -= static_cast<size_t>(n);
  }
  return ::close(fd) == 0 && size == 0;
}

// Saving over the file of the previous iteration, or (`fresh`) to a name that does not
// exist, as a new export does; removing the old files is not timed.
void tiff_save(benchmark::State& state, bool fresh) {
  struct Image {
    uint32_t side = 0;
    std::vector<float> pixels;
  };
  auto* image = fixture<Image>("tiff", [] {
    auto i = std::make_unique<Image>();
    i->side = tiff_side(manifest.edge);
    i->pixels.resize(uint64_t{i->side} * i->side);
    ct_slice({i->side, 1, i->side}, 0, i->pixels.data());
    return i;
  });
  const std::string tif = data_path("bench_save.tif"), raw = data_path("bench_save.raw");
  const uint64_t bytes = image->pixels.size() * 4;
  const auto remove = [fresh](const std::string& path) {
    return [fresh, path] { return !fresh || ::unlink(path.c_str()) == 0 || errno == ENOENT; };
  };
  // The reference always writes a new file: a write over the old one (O_TRUNC) makes ext4
  // flush it at close, and that write-back would slow the saves it alternates with, which
  // tifffile, timed alone, never meets.
  const auto new_raw = [&raw] { return ::unlink(raw.c_str()) == 0 || errno == ENOENT; };
  run_paired(state, bytes,
             {"ours",
              [&] {
                return qvx_ozk_save_gray_tif32(tif.c_str(), image->pixels.data(), image->side,
                                               image->side);
              },
              remove(tif)},
             {{"write", [&] { return write_file(raw, image->pixels.data(), bytes); }, new_raw}});
  ::unlink(tif.c_str());
  ::unlink(raw.c_str());
}

// The HR cube exported as a MetaImage (the ozk tool's writer, one slice at a time), against
// a write() of the same bytes from memory, the whole volume read into memory beforehand.
void metaimage_export(benchmark::State& state) {
  struct Fixture {
    std::unique_ptr<ShuffledReads> reads;
    std::vector<float> samples;
  };
  auto* f = fixture<Fixture>("metaimage", [] {
    auto g = std::make_unique<Fixture>();
    g->reads = shuffled_reads({Names::kHRCube});
    Volume& v = g->reads->volume;
    if (!g->reads->ok) return g;
    g->samples.resize(uint64_t{v.height} * v.slices * v.width);
    g->reads->ok = v.region(0, {0, 0, 0}, {v.height, v.slices, v.width}, g->samples.data());
    return g;
  });
  if (!f->reads->ok) return state.SkipWithError("cannot open or warm the volume");
  const std::string mhd = data_path("bench_export.mhd"), raw = data_path("bench_export_ref.raw");
  const uint64_t bytes = f->samples.size() * sizeof(float);
  run_paired(state, bytes,
             {"ours",
              [&] {
                return Ozk::write_metaimage(f->reads->volume.handle(), 0, Names::kHRCube, mhd, {},
                                            nullptr);
              }},
             {{"write", [&] { return write_file(raw, f->samples.data(), bytes); }}});
  for (const std::string& path : {mhd, Ozk::metaimage_raw_path(mhd), raw}) ::unlink(path.c_str());
}

// Opening a deep, sparse HR volume; the reference reads what an open must read: the
// header, the node area and the root brick.
void hr_open_sparse(benchmark::State& state) {
  struct Fixture {
    Volume volume;
    std::string path;
    PageVector<char> scratch;
    uint64_t node_bytes = 0, root_offset = 0, root_bytes = 0;
    bool ok = false;
  };
  auto* f = fixture<Fixture>("sparse", [] {
    auto g = std::make_unique<Fixture>();
    g->path = data_path(Names::kHRSparse);
    g->node_bytes = manifest.value("node_area_bytes.hr_sparse.hr");
    g->root_offset = manifest.value("root_brick_offset.hr_sparse.hr");
    g->root_bytes = manifest.value("root_brick_bytes.hr_sparse.hr");
    g->scratch.resize(std::max(g->node_bytes, g->root_bytes));
    g->ok = g->node_bytes > 0 && warm_file(g->path) && g->volume.open(g->path);
    return g;
  });
  if (!f->ok) return state.SkipWithError("cannot open the volume");
  run_paired(state, 0,
             {"ours", [f] { return f->volume.open(f->path); },
              [f] {
                f->volume.close();
                return true;
              }},
             {{"pread", [f] {
                 const int fd = ::open(f->path.c_str(), O_RDONLY | O_CLOEXEC);
                 const bool ok = fd >= 0 && pread_all(fd, f->scratch.data(), f->node_bytes, 0) &&
                                 pread_all(fd, f->scratch.data(), f->root_bytes, f->root_offset);
                 if (fd >= 0) ::close(fd);
                 return ok;
               }}});
}

// --check: slices read through the library against the generator's samples. `source` is
// the geometry the samples were computed for: the header volumes and the 32-bit gzip file
// hold the first slices of the cube.
bool check_slices(const std::string& name, const Geometry& g, const Geometry& source,
                  const std::function<float(float generated)>& expected, float tolerance) {
  Volume v;
  if (!v.open(data_path(name)) || v.height != g.nx || v.slices != g.ny || v.width != g.nz) {
    std::printf("check %-28s cannot open, or the geometry differs\n", name.c_str());
    return false;
  }
  std::vector<float> generated(g.slice_samples());
  for (uint32_t y : {0u, g.ny / 2, g.ny - 1}) {
    ct_slice(source, y, generated.data());
    if (!v.read(y)) {
      std::printf("check %-28s slice %u cannot be read\n", name.c_str(), y);
      return false;
    }
    for (size_t i = 0; i < generated.size(); ++i) {
      const float want = expected(generated[i]);
      const float got = v.slice()[i];
      const bool same =
          tolerance == 0 ? std::memcmp(&want, &got, 4) == 0 : std::abs(want - got) <= tolerance;
      if (!same) {
        std::printf("check %-28s slice %u sample %zu: %.9g, expected %.9g\n", name.c_str(), y, i,
                    double(got), double(want));
        return false;
      }
    }
  }
  std::printf("check %-28s ok\n", name.c_str());
  return true;
}

bool check_sparse() {
  const Geometry g = sparse_geometry(manifest.edge);
  const Ring ring(g);
  Volume v;
  const auto y = static_cast<uint32_t>(ring.cy);
  bool ok = v.open(data_path(Names::kHRSparse)) && v.height == g.nx && v.slices == g.ny &&
            v.width == g.nz && v.read(y);
  for (uint32_t x = 0; ok && x < g.nx; ++x) {
    for (uint32_t z = 0; ok && z < g.nz; ++z) ok = v.slice()[x * g.nz + z] == ring.voxel(x, y, z);
  }
  std::printf("check %-28s %s\n", Names::kHRSparse, ok ? "ok" : "differs");
  return ok;
}

int check_all() {
  const Geometry cube = cube_geometry(manifest.edge);
  const Geometry header = header_geometry(manifest.edge);
  auto same = [](float v) { return v; };
  auto u8 = [](float v) { return to_u8(v) / 255.0f; };
  auto u16 = [](float v) { return to_u16(v) / 65535.0f; };
  bool ok = true;
  ok &= check_slices(Names::kPackedU8, cube, cube, u8, 1e-6f);
  ok &= check_slices(Names::kPackedU16, cube, cube, u16, 1e-6f);
  ok &= check_slices(Names::kPackedF32, cube, cube, same, 0);
  ok &= check_slices(Names::kPackedU8Gz, cube, cube, u8, 1e-6f);
  ok &= check_slices(Names::kPackedU16Gz, cube, cube, u16, 1e-6f);
  ok &= check_slices(Names::kPackedF32Gz, gzip32_geometry(manifest.edge), cube, same, 0);
  ok &= check_slices(Names::kHeaderPlain, header, cube, same, 0);
  ok &= check_slices(Names::kHeaderGzip, header, cube, same, 0);
  ok &= check_slices(Names::kHRCube, cube, cube, same, 0);
  const Geometry wide = wide_geometry(manifest.edge);
  ok &= check_slices(Names::kHRWide, wide, wide, same, 0);
  ok &= check_sparse();
  return ok ? 0 : 1;
}

void register_all() {
  auto add = [](const std::string& name, const std::vector<std::string>& files, auto&& fn) {
    for (const std::string& file : files) {
      if (!manifest.present(config.data, file)) {
        std::fprintf(stderr, "%s: skipped, %s is missing\n", name.c_str(), file.c_str());
        return;
      }
    }
    benchmark::RegisterBenchmark(name.c_str(), fn)->UseManualTime()->Unit(benchmark::kMillisecond);
  };
  add("hr_yslice/cube", {Names::kHRCube}, [](auto& s) { hr_yslice(s, Names::kHRCube); });
  add("hr_yslice/wide", {Names::kHRWide}, [](auto& s) { hr_yslice(s, Names::kHRWide); });
  add("hr_xplane/cube", {Names::kHRCube}, [](auto& s) { region_plane(s, Names::kHRCube, 0); });
  add("hr_zplane/cube", {Names::kHRCube}, [](auto& s) { region_plane(s, Names::kHRCube, 2); });
  add("hr_level3/cube", {Names::kHRCube}, [](auto& s) { hr_level3(s); });
  add("packed_xplane/f32", {Names::kPackedF32},
      [](auto& s) { region_plane(s, Names::kPackedF32, 0); });
  add("packed_zplane/f32", {Names::kPackedF32},
      [](auto& s) { region_plane(s, Names::kPackedF32, 2); });
  add("packed_plain/u8", {Names::kPackedU8}, [](auto& s) { packed_plain(s, Names::kPackedU8, 8); });
  add("packed_plain/u16", {Names::kPackedU16},
      [](auto& s) { packed_plain(s, Names::kPackedU16, 16); });
  add("packed_plain/f32", {Names::kPackedF32},
      [](auto& s) { packed_plain(s, Names::kPackedF32, 32); });
  add("packed_gzip_seq/u8", {Names::kPackedU8Gz},
      [](auto& s) { packed_gzip_sequential(s, Names::kPackedU8Gz, 8); });
  add("packed_gzip_seq/u16", {Names::kPackedU16Gz},
      [](auto& s) { packed_gzip_sequential(s, Names::kPackedU16Gz, 16); });
  add("packed_gzip_seq/f32", {Names::kPackedF32Gz},
      [](auto& s) { packed_gzip_sequential(s, Names::kPackedF32Gz, 32); });
  add("packed_gzip_random/u16", {Names::kPackedU16Gz},
      [](auto& s) { packed_gzip_random(s, Names::kPackedU16Gz, 16); });
  add("packed_gzip_first_touch/u16", {Names::kPackedU16Gz},
      [](auto& s) { packed_gzip_first_touch(s, Names::kPackedU16Gz, 16); });
  std::vector<std::string> plain = {Names::kHeaderPlain}, gz = {Names::kHeaderGzip};
  for (const auto& f : header_slice_files(Names::kHeaderPlain, manifest.edge)) plain.push_back(f);
  for (const auto& f : header_slice_files(Names::kHeaderGzip, manifest.edge)) gz.push_back(f);
  add("header_plain", plain, [](auto& s) { header_plain(s); });
  add("header_gzip", gz, [](auto& s) { header_gzip(s); });
  add("tiff_save", {}, [](auto& s) { tiff_save(s, false); });
  add("tiff_save_new", {}, [](auto& s) { tiff_save(s, true); });
  add("hr_open_sparse", {Names::kHRSparse}, [](auto& s) { hr_open_sparse(s); });
  add("metaimage_export/cube", {Names::kHRCube}, [](auto& s) { metaimage_export(s); });
}

int run(int argc, char** argv) {
  // Our flags first; Google Benchmark takes the rest.
  std::vector<char*> rest = {argv[0]};
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg.rfind("--data=", 0) == 0) {
      config.data = arg.substr(7);
    } else if (arg.rfind("--ref_mib=", 0) == 0) {
      config.ref_bytes = std::strtoull(arg.c_str() + 10, nullptr, 10) << 20;
    } else if (arg == "--check") {
      config.check = true;
    } else {
      rest.push_back(argv[i]);
    }
  }
  if (config.data.empty() || !manifest.load(config.data)) {
    std::fprintf(stderr,
                 "usage: ozk_bench --data=FOLDER [--ref_mib=N] [--check] [benchmark flags]\n"
                 "FOLDER is what bench_data wrote (it holds %s)\n",
                 Names::kManifest);
    return 2;
  }
  if (config.ref_bytes == 0) config.ref_bytes = default_reference_bytes();
  // The library's log would interleave with the JSON on standard output.
  qvx_ozk_log_to_stderr();
  if (config.check) return check_all();

  int count = static_cast<int>(rest.size());
  benchmark::Initialize(&count, rest.data());
  if (benchmark::ReportUnrecognizedArguments(count, rest.data())) return 2;
  register_all();
  // Filled before any timing: its first touch of every page is not a copy.
  memory();
  benchmark::AddCustomContext("data", config.data);
  benchmark::AddCustomContext("edge", std::to_string(manifest.edge));
  benchmark::AddCustomContext("ref_bytes", std::to_string(config.ref_bytes));
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}

}  // namespace
}  // namespace QVX::Bench

int main(int argc, char** argv) { return QVX::Bench::run(argc, argv); }
