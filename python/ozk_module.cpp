// ozk._core: volumes, slices and the TIFF save for Python, on the library's public interface
// only. Indexing with numpy's rules and the dask functions are in ozk/__init__.py.
//
// Threads: the GIL is released whenever the library runs. A handle admits one thread at a
// time (the library's rule), so each Volume holds a mutex around every use of its handle.
//
// The log: the library's entries go to logging.getLogger("ozk") (LogQueue below), and a
// failure's exception carries the library's own account of it (qvx_ozk_last_error, read on
// the thread that made the call).
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>

#include <array>
#include <atomic>
#include <cstdint>
#include <limits>
#include <mutex>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "qvx_ozk.h"

namespace py = pybind11;

namespace {

// Messages may quote any bytes of a file name; show them rather than fail to decode.
py::str message_text(const std::string& text) {
  PyObject* decoded =
      PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "backslashreplace");
  if (decoded == nullptr) throw py::error_already_set();
  return py::reinterpret_steal<py::str>(decoded);
}

// The library's log, on its way to logging.getLogger("ozk").
//
// The library hands each entry to on_entry on whichever thread logs it (the caller's, or
// one of an HR volume's loader threads) with its log lock held. Taking the GIL there could
// deadlock: a thread holding the GIL may be waiting for that lock (any library call made
// with the GIL held can log). So on_entry only queues the entry, and drain_log hands the
// queue to logging with the GIL held: after every call into the library, on
// ozk.flush_log() and at exit. Entries of background threads logged between calls wait
// for the next of these.
class LogQueue {
 public:
  void push(const char* entry) noexcept {
    try {
      std::lock_guard<std::mutex> lock(mutex_);
      if (entries_.size() >= kMaxEntries) {
        ++dropped_;
      } else {
        entries_.emplace_back(entry);
      }
      pending_.store(true, std::memory_order_release);
    } catch (...) {
      // No memory for the entry: it is lost, and the library goes on.
    }
  }

  // Everything queued so far, oldest first, and how many entries found the queue full.
  std::vector<std::string> take(size_t& dropped) {
    std::vector<std::string> taken;
    dropped = 0;
    if (!pending_.load(std::memory_order_acquire)) return taken;
    std::lock_guard<std::mutex> lock(mutex_);
    taken.swap(entries_);
    std::swap(dropped, dropped_);
    pending_.store(false, std::memory_order_relaxed);
    return taken;
  }

 private:
  // Bounds what a program that never calls the module again can accumulate.
  static constexpr size_t kMaxEntries = 100000;

  std::mutex mutex_;  // guards entries_ and dropped_; held only to add or take entries
  std::vector<std::string> entries_;
  size_t dropped_ = 0;
  std::atomic<bool> pending_{false};  // set with the first entry, cleared by take
};

// Never destroyed: the library may log until the process ends. A forked child, where a
// thread of the parent may have held the queue's lock, starts a queue of its own; the
// parent delivers the entries it had queued.
std::atomic<LogQueue*> g_log_queue{new LogQueue()};

void on_entry(void*, const char* entry) { g_log_queue.load()->push(entry); }

void new_log_queue_after_fork() { g_log_queue.store(new LogQueue()); }

// logging's levels.
constexpr int kDebug = 10, kWarning = 30, kError = 40;

// The level of an entry: warnings (which may say "FAILED" too, as a brick whose checksum
// failed) at WARNING, failures at ERROR, the rest at DEBUG.
int entry_level(std::string_view text) {
  if (text.starts_with("WARNING")) return kWarning;
  if (text.find("FAILED") != std::string_view::npos || text.starts_with("ERROR")) return kError;
  return kDebug;
}

// "YYYY-MM-DD HH:MM:SS: " and the final newline of an entry; logging adds its own time.
std::string_view entry_text(std::string_view entry) {
  constexpr size_t kStamp = 21;
  if (entry.size() >= kStamp && entry[4] == '-' && entry[10] == ' ' && entry[19] == ':') {
    entry.remove_prefix(kStamp);
  }
  while (!entry.empty() && (entry.back() == '\n' || entry.back() == '\r')) entry.remove_suffix(1);
  return entry;
}

// With the GIL held. Handlers that raise are logging's business (Handler.handleError); an
// exception from logging itself (KeyboardInterrupt) loses the rest of the batch.
void drain_log() {
  size_t dropped = 0;
  const std::vector<std::string> entries = g_log_queue.load()->take(dropped);
  if (entries.empty() && dropped == 0) return;
  py::object log = py::module_::import("logging").attr("getLogger")("ozk").attr("log");
  for (const std::string& entry : entries) {
    const std::string_view text = entry_text(entry);
    log(entry_level(text), message_text(std::string(text)));
  }
  if (dropped > 0) {
    log(kWarning,
        "WARNING: " + std::to_string(dropped) +
            " entries of the library's log were dropped: nothing read the log for too long");
  }
}

// Why the calling thread's last call into the library failed; read on that thread.
struct Failure {
  std::string text;
  int code = 0;
};

Failure last_failure() { return {qvx_ozk_last_error(), qvx_ozk_last_error_errno()}; }

// A path as Python gives it (str, bytes or os.PathLike), as the bytes the system uses;
// the library takes them as UTF-8.
std::string to_path(const py::object& path) {
  std::string bytes = py::bytes(py::module_::import("os").attr("fsencode")(path));
  if (bytes.find('\0') != std::string::npos) throw py::value_error("embedded null byte");
  return bytes;
}

[[noreturn]] void raise(PyObject* type, const std::string& message) {
  PyErr_SetObject(type, message_text(message).ptr());
  throw py::error_already_set();
}

std::string quoted(const std::string& path) { return "'" + path + "'"; }

// OSError for a failure of the library: with the system's error number, OSError(errno,
// "<action>: <cause>", path), which Python makes a FileNotFoundError, PermissionError,
// IsADirectoryError, ...; without one, a plain OSError("<action><link>'<path>': <cause>").
[[noreturn]] void raise_failure(const std::string& action, const char* link,
                                const std::string& path, const Failure& failure) {
  const std::string cause = failure.text.empty() ? "no cause given" : failure.text;
  if (failure.code == 0) raise(PyExc_OSError, action + link + quoted(path) + ": " + cause);
  py::object error = py::reinterpret_borrow<py::object>(PyExc_OSError)(
      failure.code, message_text(action + ": " + cause),
      py::module_::import("os").attr("fsdecode")(py::bytes(path)));
  PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(error.ptr())), error.ptr());
  throw py::error_already_set();
}

// Python's rule for an index into a sequence of `size`: -size to size - 1.
uint32_t sequence_index(const py::handle& index, uint32_t size) {
  PyObject* number = PyNumber_Index(index.ptr());
  if (number == nullptr) throw py::error_already_set();
  int overflow = 0;
  const long long value = PyLong_AsLongLongAndOverflow(number, &overflow);
  Py_DECREF(number);
  if (value == -1 && PyErr_Occurred()) throw py::error_already_set();
  const auto n = static_cast<long long>(size);
  if (overflow != 0 || value < -n || value >= n) {
    raise(PyExc_IndexError, "slice index " + py::str(index).cast<std::string>() +
                                " is out of range for a volume of " + std::to_string(n) +
                                " slices");
  }
  return static_cast<uint32_t>(value < 0 ? value + n : value);
}

py::tuple triple(const double (&v)[3]) { return py::make_tuple(v[0], v[1], v[2]); }

class Volume {
 public:
  explicit Volume(const py::object& path_object) : path_(to_path(path_object)) {
    Failure failure;
    bool opened = false;
    {
      py::gil_scoped_release release;
      handle_ = qvx_ozk_volume_create();
      if (handle_ != nullptr) {
        opened = qvx_ozk_volume_open(handle_, path_.c_str());
        if (!opened) {
          failure = last_failure();  // before the delete starts a new record
          qvx_ozk_volume_delete(handle_);
          handle_ = nullptr;
        }
      }
    }
    if (!opened) {
      drain_log();
      if (failure.text.empty()) throw std::bad_alloc();  // no handle to open with
      raise_failure("cannot open", " ", path_, failure);
    }
    qvx_ozk_volume_slice_width(handle_, &width_);
    qvx_ozk_volume_slice_height(handle_, &height_);
    qvx_ozk_volume_num_slices(handle_, &slices_);
    qvx_ozk_volume_kind(handle_, &kind_);
    qvx_ozk_volume_vmin(handle_, &vmin_[0], &vmin_[1], &vmin_[2]);
    qvx_ozk_volume_vmax(handle_, &vmax_[0], &vmax_[1], &vmax_[2]);
    qvx_ozk_volume_voxel_size(handle_, &voxel_size_[0], &voxel_size_[1], &voxel_size_[2]);
    qvx_ozk_volume_data_min(handle_, &data_min_);
    qvx_ozk_volume_data_max(handle_, &data_max_);
    uint32_t levels = 0;
    qvx_ozk_volume_num_levels(handle_, &levels);
    for (uint32_t level = 0; level < levels; ++level) {
      uint32_t w = 0, h = 0, n = 0;
      if (!qvx_ozk_volume_level_shape(handle_, level, &w, &h, &n)) break;
      level_shapes_.push_back({n, h, w});
    }
    try {
      drain_log();
    } catch (...) {  // a handler raised: no object owns the handle yet
      qvx_ozk_volume_delete(handle_);
      throw;
    }
  }

  ~Volume() {
    // Deleting an HR volume joins its loader threads, which never need the GIL.
    if (handle_ != nullptr) qvx_ozk_volume_delete(handle_);
  }

  Volume(const Volume&) = delete;
  Volume& operator=(const Volume&) = delete;

  // Waits for a read running in another thread, then releases the file and its threads.
  void close() {
    {
      py::gil_scoped_release release;
      std::lock_guard<std::mutex> lock(mutex_);
      if (handle_ == nullptr) return;
      closed_ = true;
      qvx_ozk_volume_delete(handle_);
      handle_ = nullptr;
    }
    drain_log();
  }

  bool closed() const { return closed_; }
  py::object path() const { return py::module_::import("os").attr("fsdecode")(py::bytes(path_)); }

  uint32_t slices() const {
    check_open();
    return slices_;
  }
  py::tuple shape() const {
    check_open();
    return py::make_tuple(slices_, height_, width_);
  }
  uint64_t nbytes() const {
    check_open();
    return uint64_t{slices_} * height_ * width_ * sizeof(float);
  }
  std::string kind() const {
    check_open();
    return qvx_ozk_kind_name(kind_);
  }
  py::tuple vmin() const {
    check_open();
    return triple(vmin_);
  }
  py::tuple vmax() const {
    check_open();
    return triple(vmax_);
  }
  py::tuple voxel_size() const {
    check_open();
    return triple(voxel_size_);
  }
  // The library's "min above max" (no range known) is None here.
  py::object data_range() const {
    check_open();
    if (data_min_ > data_max_) return py::none();
    return py::make_tuple(data_min_, data_max_);
  }

  py::array_t<float> read_slice(const py::object& index, const py::object& out) {
    check_open();
    const uint32_t i = sequence_index(index, slices_);
    py::array_t<float> target =
        out.is_none() ? py::array_t<float>({height_, width_}) : checked_out(out);
    read_into({i}, target.mutable_data());
    return target;
  }

  uint32_t num_levels() const {
    check_open();
    return static_cast<uint32_t>(level_shapes_.size());
  }

  // (num_slices, height, width) of a level.
  py::tuple level_shape(uint32_t level) const {
    check_open();
    if (level >= level_shapes_.size()) {
      raise(PyExc_IndexError, "level " + std::to_string(level) + " out of range: the volume has " +
                                  std::to_string(level_shapes_.size()));
    }
    const auto& s = level_shapes_[level];
    return py::make_tuple(s[0], s[1], s[2]);
  }

  // The box starting at (y0, x0, z0) of a level into `out`, a C-contiguous float32 array of
  // shape (ny, nx, nz): array order, as indexing sees the volume. The GIL is released.
  void read_region(uint32_t level, uint32_t y0, uint32_t x0, uint32_t z0,
                   const py::object& out_object) {
    check_open();
    py::array_t<float> out = checked_region_out(out_object);
    const auto ny = static_cast<uint32_t>(out.shape(0));
    const auto nx = static_cast<uint32_t>(out.shape(1));
    const auto nz = static_cast<uint32_t>(out.shape(2));
    float* target = out.mutable_data();
    enum class Outcome { Ok, Closed, Failed } outcome = Outcome::Ok;
    Failure failure;
    {
      py::gil_scoped_release release;
      std::lock_guard<std::mutex> lock(mutex_);
      if (handle_ == nullptr) {
        outcome = Outcome::Closed;
      } else if (!qvx_ozk_volume_read_region(handle_, level, x0, y0, z0, nx, ny, nz, target)) {
        outcome = Outcome::Failed;
        failure = last_failure();
      }
    }
    drain_log();
    if (outcome == Outcome::Closed) check_open();
    if (outcome == Outcome::Failed) {
      // Named by its slices, as a slice read names its own.
      std::string what =
          ny == 1 ? "slice " + std::to_string(y0)
                  : "slices " + std::to_string(y0) + " to " + std::to_string(uint64_t{y0} + ny - 1);
      if (level > 0) what += " of level " + std::to_string(level);
      raise_failure("cannot read " + what, " of ", path_, failure);
    }
  }

  // The plane origin + c u + r v (points in (x, y, z) sample coordinates of the level) as a
  // (height, width) float32 array, by trilinear interpolation. The GIL is released.
  py::array_t<float> sample_plane(const py::object& origin_object, const py::object& u_object,
                                  const py::object& v_object, const py::object& shape_object,
                                  uint32_t level, float outside) {
    check_open();
    const auto numbers = [](const py::object& object, const char* name) {
      const py::list items(py::iter(object));
      if (items.size() != 3) raise(PyExc_ValueError, std::string(name) + " needs 3 numbers");
      return std::array<double, 3>{items[0].cast<double>(), items[1].cast<double>(),
                                   items[2].cast<double>()};
    };
    const std::array<double, 3> origin = numbers(origin_object, "origin");
    const std::array<double, 3> u = numbers(u_object, "u"), v = numbers(v_object, "v");
    const py::list dims(py::iter(shape_object));
    if (dims.size() != 2) raise(PyExc_ValueError, "shape needs (height, width)");
    const auto shape = std::make_pair(dims[0].cast<uint32_t>(), dims[1].cast<uint32_t>());
    py::array_t<float> out(
        {static_cast<py::ssize_t>(shape.first), static_cast<py::ssize_t>(shape.second)});
    float* target = out.mutable_data();
    bool closed = false, sampled = false;
    Failure failure;
    {
      py::gil_scoped_release release;
      std::lock_guard<std::mutex> lock(mutex_);
      closed = handle_ == nullptr;
      if (!closed) {
        sampled = qvx_ozk_volume_sample_plane(handle_, level, origin.data(), u.data(), v.data(),
                                              shape.second, shape.first, outside, target);
        if (!sampled) failure = last_failure();
      }
    }
    drain_log();
    if (closed) check_open();
    if (!sampled) {
      raise_failure("cannot sample a plane of level " + std::to_string(level), " of ", path_,
                    failure);
    }
    return out;
  }

  // Reads the volume whole and checks it; the problems go to the log. The GIL is released.
  bool verify() {
    check_open();
    bool sound = false;
    {
      py::gil_scoped_release release;
      std::lock_guard<std::mutex> lock(mutex_);
      sound = handle_ != nullptr && qvx_ozk_volume_verify(handle_, nullptr, nullptr);
    }
    drain_log();
    return sound;
  }

  bool set_cache_size(uint64_t bytes) {
    check_open();
    bool done = false;
    {
      py::gil_scoped_release release;
      std::lock_guard<std::mutex> lock(mutex_);
      done = handle_ == nullptr || qvx_ozk_volume_set_cache_size(handle_, bytes);
    }
    drain_log();
    return done;
  }

  // Slices `indices`, in that order, as one (len, height, width) array, with the GIL
  // released for the whole run.
  py::array_t<float> read_slices(const py::iterable& indices) {
    check_open();
    std::vector<uint32_t> checked;
    for (const py::handle index : indices) checked.push_back(sequence_index(index, slices_));
    py::array_t<float> target({static_cast<py::ssize_t>(checked.size()),
                               static_cast<py::ssize_t>(height_),
                               static_cast<py::ssize_t>(width_)});
    read_into(checked, target.mutable_data());
    return target;
  }

 private:
  void check_open() const {
    if (closed_) raise(PyExc_ValueError, "operation on a closed volume " + quoted(path_));
  }

  py::array_t<float> checked_out(const py::object& out) const {
    if (!py::isinstance<py::array>(out)) throw py::type_error("out must be a numpy.ndarray");
    auto array = py::reinterpret_borrow<py::array>(out);
    const std::string wanted = "(" + std::to_string(height_) + ", " + std::to_string(width_) + ")";
    if (array.ndim() != 2 || array.shape(0) != height_ || array.shape(1) != width_) {
      const std::string got = py::str(out.attr("shape")).cast<std::string>();
      throw py::value_error("out has shape " + got + "; a slice needs " + wanted);
    }
    if (!array.dtype().equal(py::dtype::of<float>())) {
      const std::string got = py::str(array.dtype()).cast<std::string>();
      throw py::value_error("out has dtype " + got + "; a slice needs float32 (native order)");
    }
    if (!(array.flags() & py::array::c_style)) throw py::value_error("out is not C-contiguous");
    if (!array.writeable()) throw py::value_error("out is read-only");
    if (!out.attr("flags").attr("aligned").cast<bool>()) {
      throw py::value_error("out is not aligned for float32");
    }
    return py::reinterpret_borrow<py::array_t<float>>(out);
  }

  py::array_t<float> checked_region_out(const py::object& out) const {
    if (!py::isinstance<py::array_t<float>>(out)) throw py::type_error("out must be float32");
    auto array = py::reinterpret_borrow<py::array>(out);
    if (array.ndim() != 3 || !(array.flags() & py::array::c_style) || !array.writeable() ||
        !array.dtype().equal(py::dtype::of<float>())) {
      throw py::value_error("out must be a writeable, C-contiguous 3-D float32 array");
    }
    for (int axis = 0; axis < 3; ++axis) {
      if (array.shape(axis) > UINT32_MAX) throw py::value_error("region too large");
    }
    return py::reinterpret_borrow<py::array_t<float>>(out);
  }

  // Reads `indices` into consecutive slices of `out`. Raises OSError for a read the
  // library refuses, ValueError when another thread closed the volume first.
  void read_into(const std::vector<uint32_t>& indices, float* out) {
    const size_t slice_size = size_t{height_} * width_;
    enum class Outcome { Ok, Closed, Failed } outcome = Outcome::Ok;
    uint32_t failed_index = 0;
    Failure failure;
    {
      py::gil_scoped_release release;
      std::lock_guard<std::mutex> lock(mutex_);
      if (handle_ == nullptr) outcome = Outcome::Closed;
      for (size_t k = 0; outcome == Outcome::Ok && k < indices.size(); ++k) {
        if (!qvx_ozk_volume_read_slice(handle_, out + k * slice_size, indices[k])) {
          outcome = Outcome::Failed;
          failed_index = indices[k];
          failure = last_failure();
        }
      }
    }
    drain_log();
    if (outcome == Outcome::Closed) check_open();
    if (outcome == Outcome::Failed) {
      raise_failure("cannot read slice " + std::to_string(failed_index), " of ", path_, failure);
    }
  }

  const std::string path_;  // as the system names the file
  // One thread in the library per handle; reads run without the GIL. Guards handle_.
  std::mutex mutex_;
  qvx_ozk_volume* handle_ = nullptr;  // null once closed
  // Set by close (under mutex_); read without it by the properties, which use only the
  // values copied at open.
  std::atomic<bool> closed_{false};
  uint32_t width_ = 0, height_ = 0, slices_ = 0, kind_ = QVX_OZK_KIND_NONE;
  double vmin_[3] = {}, vmax_[3] = {}, voxel_size_[3] = {};
  double data_min_ = 1.0, data_max_ = 0.0;
  std::vector<std::array<uint32_t, 3>> level_shapes_;  // (slices, height, width) per level
};

void save_tif32(const py::object& path_object, const py::object& image) {
  const std::string path = to_path(path_object);
  // Any array-like of any number type, as the contiguous float32 rows the library saves.
  auto pixels = py::array_t<float>(
      py::module_::import("numpy").attr("ascontiguousarray")(image, py::dtype::of<float>()));
  if (pixels.ndim() != 2) {
    throw py::value_error("save_tif32 takes a 2-D array; this one has " +
                          std::to_string(pixels.ndim()) + " dimensions");
  }
  if (pixels.shape(0) > UINT32_MAX || pixels.shape(1) > UINT32_MAX) {
    throw py::value_error("image too large for a TIFF");
  }
  const auto height = static_cast<uint32_t>(pixels.shape(0));
  const auto width = static_cast<uint32_t>(pixels.shape(1));
  bool saved = false;
  Failure failure;
  {
    py::gil_scoped_release release;
    saved = qvx_ozk_save_gray_tif32(path.c_str(), pixels.data(), height, width);
    if (!saved) failure = last_failure();
  }
  drain_log();
  if (!saved) raise_failure("cannot save", " ", path, failure);
}

}  // namespace

PYBIND11_MODULE(_core, m) {
  m.doc() = "Volumes and slices through the ozK-SDK library (the compiled part of ozk)";
  m.attr("__version__") = qvx_ozk_version();

  qvx_ozk_log_to_callback(on_entry, nullptr);
  py::module_ os = py::module_::import("os");
  if (py::hasattr(os, "register_at_fork")) {
    os.attr("register_at_fork")(py::arg("after_in_child") =
                                    py::cpp_function(new_log_queue_after_fork));
  }

  py::class_<Volume>(m, "Volume", R"(An open volume file: packed, header or HR.

Volume(path) opens it (str, bytes or os.PathLike); OSError names the file and the
library's cause when it cannot. Slices are planes of constant y, each (height, width)
float32; shape is (num_slices, height, width). A closed volume raises ValueError.)")
      .def(py::init<const py::object&>(), py::arg("path"))
      .def("close", &Volume::close, "Closes the file; later uses raise ValueError.")
      .def("__enter__", [](py::object self) { return self; })
      .def("__exit__", [](Volume& self, const py::args&) { self.close(); })
      .def_property_readonly("closed", &Volume::closed)
      .def_property_readonly("path", &Volume::path)
      .def_property_readonly("shape", &Volume::shape, "(num_slices, height, width)")
      .def_property_readonly("dtype", [](const Volume&) { return py::dtype::of<float>(); })
      .def_property_readonly("ndim", [](const Volume&) { return 3; })
      .def_property_readonly("nbytes", &Volume::nbytes)
      .def_property_readonly("kind", &Volume::kind, "'packed', 'header' or 'hr'")
      .def_property_readonly("vmin", &Volume::vmin, "Minimum corner (x, y, z)")
      .def_property_readonly("vmax", &Volume::vmax, "Maximum corner (x, y, z)")
      .def_property_readonly("voxel_size", &Volume::voxel_size,
                             "(x, y, z); set for HR volumes, else zeros")
      .def_property_readonly("data_range", &Volume::data_range,
                             "(min, max) of the values, or None when the file names none")
      .def("__len__", &Volume::slices)
      .def("read_slice", &Volume::read_slice, py::arg("index"), py::arg("out") = py::none(),
           R"(Slice `index` (negative counts from the end) as a (height, width) float32 array.

With `out`, a C-contiguous, writeable float32 array of that shape, the slice is read into
it and it is returned.)")
      .def("_read_slices", &Volume::read_slices, py::arg("indices"))
      .def_property_readonly("num_levels", &Volume::num_levels,
                             "Resolution levels: 1 for packed and header volumes, "
                             "max_depth + 1 for HR volumes")
      .def("level_shape", &Volume::level_shape, py::arg("level"),
           "(num_slices, height, width) of a level; each halves the last, rounding up")
      .def("sample_plane", &Volume::sample_plane, py::arg("origin"), py::arg("u"), py::arg("v"),
           py::arg("shape"), py::arg("level") = 0,
           py::arg("outside") = std::numeric_limits<float>::quiet_NaN(),
           R"(The plane origin + c*u + r*v as a float32 array of `shape` (height, width).

Points are (x, y, z) sample coordinates of `level`, the axes of the C interface (the
array order of the volume is [y, x, z]); element [r, c] is the trilinear interpolation
at origin + c*u + r*v, as scipy.ndimage.map_coordinates(a, coords, order=1,
mode="constant", cval=outside) of the level held as a[x, y, z]. Points beyond the level
get `outside`. HR volumes go through their brick pool; the GIL is released.)")
      .def("verify", &Volume::verify,
           R"(Reads the whole volume once and checks what its files vouch for: every brick's
checksum and place in an HR file, a packed volume's whole gzip stream (or a plain file's
size), every slice file of a header volume. True when nothing is wrong; each problem goes
to logging.getLogger("ozk") at ERROR, saying what is damaged and which slices it takes.
Slice reads never check: this is how a caller learns of damage. The GIL is released.)")
      .def(
          "set_cache_size",
          [](Volume& self, uint64_t bytes) {
            if (!self.set_cache_size(bytes)) raise(PyExc_MemoryError, "cannot make the brick pool");
          },
          py::arg("bytes"),
          "HR volumes: the brick pool of sample_plane, in bytes (whole bricks of 34**3 floats; "
          "0 empties it). Ignored for the other kinds.")
      .def("_read_region", &Volume::read_region, py::arg("level"), py::arg("y0"), py::arg("x0"),
           py::arg("z0"), py::arg("out"));

  m.def("save_tif32", &save_tif32, py::arg("path"), py::arg("image"),
        R"(Saves a 2-D array as an uncompressed 32-bit float gray TIFF.

The array is converted to contiguous float32 when it is not. A path ending in ".gz" gives
the gzip-compressed file. The file is replaced only once complete; OSError on failure.)");
  m.def("flush_log", &drain_log,
        R"(Hands the library's log entries queued so far to logging.getLogger("ozk").

Entries arrive after every call into the module; this delivers those that threads of the
library (an HR volume's loaders) logged since. Also run at exit.)");
}
