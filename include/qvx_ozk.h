/*
 * qvx_ozk.h: the public interface of the ozK-SDK, a library that reads reconstructed
 * computed-tomography volumes.
 *
 * A volume is read slice by slice. A slice is a plane of constant y: `height` rows of
 * `width` 32-bit floats, row after row; element (x, z) of slice y is at index
 * x * width + z. For a volume of nx * ny * nz voxels, height = nx, slices = ny and
 * width = nz. 8-bit samples read as value * (1/255) and 16-bit samples as
 * value * (1/65535), so both lie in 0..1; float samples pass unchanged.
 *
 * Three kinds of file are recognised by their first bytes, in this order:
 *   - packed volume: "# QVX Packed Volume" (or "# QVX v2.0 Packed Volume") text header and
 *     the raw 8/16/32-bit samples, plain or gzip-compressed;
 *   - HR volume: a multi-resolution brick file (the 16 bytes "QVXHRVOL", version 1 to 4,
 *     zeros), memory-mapped read-only; slices are copied from its finest bricks. Each
 *     open HR volume runs nine threads of its own, stopped and joined by close;
 *   - header volume: a "<Brevant Quill Labs Volume Header>" text listing raw float32
 *     slice files, each plain or gzip-compressed.
 *
 * Errors: functions that can fail return false and write an entry beginning with
 * "FAILED" to the log, on standard output unless the program chose another destination
 * (qvx_ozk_log_to_stderr, qvx_ozk_log_to_file). No exception leaves a C function.
 *
 * Threads: distinct handles may be used from distinct threads at once; one handle must
 * not be used by two threads at the same time.
 *
 * The C functions and the C++ class are two faces of the same object: a handle is a
 * QVX::ozK::Volume*.
 */
#ifndef QVX_OZK_H
#define QVX_OZK_H

#define QVX_OZK_VERSION_MAJOR 0
#define QVX_OZK_VERSION_MINOR 1
#define QVX_OZK_VERSION_PATCH 0

#if defined(_WIN32)
#if defined(QVX_OZK_BUILDING)
#define QVX_OZK_API __declspec(dllexport)
#else
#define QVX_OZK_API __declspec(dllimport)
#endif
#else
#define QVX_OZK_API __attribute__((visibility("default")))
#endif

#include <stddef.h>
#include <stdint.h>
#ifndef __cplusplus
#include <stdbool.h>
#include <wchar.h>
#endif

#ifdef __cplusplus
namespace QVX {
namespace ozK {

/* Three doubles; the corners and the voxel size of a volume. */
class QVX_OZK_API Vec3_d {
 public:
  Vec3_d(); /* (0, 0, 0) */
  Vec3_d(double x, double y, double z);
  Vec3_d(const Vec3_d& other) = default;
  Vec3_d& operator=(const Vec3_d& other);
  Vec3_d& operator=(Vec3_d&& other) noexcept;

  double x;
  double y;
  double z;
};

/*
 * A volume handle. Made by Create() (or qvx_ozk_volume_create), destroyed with delete
 * (or qvx_ozk_volume_delete). Reusable: open, close, open another file.
 *
 * Before any open and after close, the geometry reads 0 and the corners (0, 0, 0).
 * The data range is not reset by close: a fresh handle reports data_min 1.0 and data_max
 * 0.0 (data_min above data_max: no range known), and a closed one the range of the last
 * volume until an open sets another.
 */
class QVX_OZK_API Volume {
 public:
  static Volume* Create();

  Volume();
  Volume(const Volume& other);
  Volume& operator=(const Volume& other);

  virtual uint32_t slice_width() = 0;  /* samples per row (z) */
  virtual uint32_t slice_height() = 0; /* rows per slice (x) */
  virtual uint32_t num_slices() = 0;   /* slices (y) */
  virtual Vec3_d vmin() = 0;           /* minimum corner of the bounding box */
  virtual Vec3_d vmax() = 0;           /* maximum corner */
  virtual Vec3_d voxel_size() = 0;     /* set for HR volumes only; else (0, 0, 0) */
  virtual double data_min() = 0;
  virtual double data_max() = 0;
  virtual ~Volume() = 0;

  /* Closes what is open, then opens the file. False when the file is of no known kind or
   * cannot be read; the handle is then closed. The narrow form takes UTF-8 and throws
   * std::range_error("bad conversion") for ill-formed UTF-8. */
  virtual bool open(const wchar_t* path) = 0;
  virtual bool open(const char* path) = 0;

  /* Fills `out` (width * height floats) with slice `index` (< num_slices). False for an
   * index out of range, a closed volume, or a short or damaged file; `out` then holds
   * no promised content. */
  virtual bool read_slice(float* out, uint32_t index) = 0;

  /* Releases the open volume; always true. */
  virtual bool close() = 0;
};

} /* namespace ozK */
} /* namespace QVX */

typedef QVX::ozK::Volume qvx_ozk_volume;
extern "C" {
#else
/* Opaque in C: a QVX::ozK::Volume. */
typedef struct qvx_ozk_volume qvx_ozk_volume;
#endif

/* A new, closed volume handle; null when memory is exhausted. */
QVX_OZK_API qvx_ozk_volume* qvx_ozk_volume_create(void);

/* Destroys a handle, closing what it holds. A null handle does nothing. */
QVX_OZK_API void qvx_ozk_volume_delete(qvx_ozk_volume* volume);

/* Opens a volume by UTF-8 path (qvx_ozk_volume_open) or wide path
 * (qvx_ozk_volume_wopen), closing what the handle held first. True when the file was
 * recognised and read. A path that is not well-formed UTF-8 (or UTF-16/UTF-32) gives
 * false and a "FAILED" log entry. */
QVX_OZK_API bool qvx_ozk_volume_open(qvx_ozk_volume* volume, const char* path);
QVX_OZK_API bool qvx_ozk_volume_wopen(qvx_ozk_volume* volume, const wchar_t* path);

/* The geometry: samples per slice row, rows per slice, number of slices. */
QVX_OZK_API void qvx_ozk_volume_slice_width(qvx_ozk_volume* volume, uint32_t* width);
QVX_OZK_API void qvx_ozk_volume_slice_height(qvx_ozk_volume* volume, uint32_t* height);
QVX_OZK_API void qvx_ozk_volume_num_slices(qvx_ozk_volume* volume, uint32_t* num_slices);

/* The bounding box corners and the voxel size, as x, y, z. */
QVX_OZK_API void qvx_ozk_volume_vmin(qvx_ozk_volume* volume, double* x, double* y, double* z);
QVX_OZK_API void qvx_ozk_volume_vmax(qvx_ozk_volume* volume, double* x, double* y, double* z);
QVX_OZK_API void qvx_ozk_volume_voxel_size(qvx_ozk_volume* volume, double* x, double* y, double* z);

/* The data range in the units that read_slice delivers (0..1 for 8- and 16-bit packed
 * volumes). data_min above data_max means that no range is known. */
QVX_OZK_API void qvx_ozk_volume_data_min(qvx_ozk_volume* volume, double* data_min);
QVX_OZK_API void qvx_ozk_volume_data_max(qvx_ozk_volume* volume, double* data_max);

/* Reads slice `index` into `out`, which holds width * height floats. False for an index
 * at or above num_slices, a closed volume, or a short or damaged file. */
QVX_OZK_API bool qvx_ozk_volume_read_slice(qvx_ozk_volume* volume, float* out, uint32_t index);

/* Closes the volume; the handle stays valid for another open. Always true. */
QVX_OZK_API bool qvx_ozk_volume_close(qvx_ozk_volume* volume);

/* Saves `height` rows of `width` floats (row after row; typically a slice just read, with
 * the slice's height and width) as an uncompressed 32-bit float gray TIFF, written straight
 * from `data`, which is neither copied nor changed. A path ending in ".gz" (either case)
 * gives the gzip-compressed TIFF under that name. Images beyond classic TIFF's 4 GiB are
 * written as BigTIFF. False, with a "FAILED" log entry, for an empty image or a file that
 * cannot be written; nothing is left behind then. The _w form takes a wide path. */
QVX_OZK_API bool qvx_ozk_save_gray_tif32(const char* path, const float* data, uint32_t height,
                                         uint32_t width);
QVX_OZK_API bool qvx_ozk_save_gray_tif32_w(const wchar_t* path, const float* data, uint32_t height,
                                           uint32_t width);

/* Extension: the library's version, "MAJOR.MINOR.PATCH", equal to the QVX_OZK_VERSION_
 * macros of the header it was built with. */
QVX_OZK_API const char* qvx_ozk_version(void);

/* Extension: the kind of the open volume: 0 packed, 1 header, 2 HR, 3 none. */
#define QVX_OZK_KIND_PACKED 0u
#define QVX_OZK_KIND_HEADER 1u
#define QVX_OZK_KIND_HR 2u
#define QVX_OZK_KIND_NONE 3u
QVX_OZK_API void qvx_ozk_volume_kind(qvx_ozk_volume* volume, uint32_t* kind);

/* Extension: where the log's entries go, for the whole process and from the next entry on.
 * By default they go to standard output, which suits programs that own their console;
 * a program whose standard output is its result moves them to standard error
 * (qvx_ozk_log_to_stderr) or to a file (qvx_ozk_log_to_file), and qvx_ozk_log_to_stdout
 * restores the default. Each call first closes a log file set before, ending it with a
 * "=== Log file closed: ... ===" line; the library never closes a standard stream.
 *
 * qvx_ozk_log_to_file appends to the file at the UTF-8 `path`, creating missing
 * directories. After every 100000 entries the log continues in a numbered file beside it
 * ("scan.log", then "scan-2.log", "scan-3.log", ...). False when `path` is null or empty
 * or the file cannot be opened; entries then go to standard output.
 *
 * Thread-safe: an entry being written by another thread ends in the old destination. */
QVX_OZK_API void qvx_ozk_log_to_stdout(void);
QVX_OZK_API void qvx_ozk_log_to_stderr(void);
QVX_OZK_API bool qvx_ozk_log_to_file(const char* path);

#ifdef __cplusplus
} /* extern "C" */
#endif

#endif /* QVX_OZK_H */
