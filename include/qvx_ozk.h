/*
 * qvx_ozk.h: the public interface of the ozK-SDK, a library that reads reconstructed
 * computed-tomography volumes.
 *
 * A volume is read slice by slice, or a region (any box, at any resolution level) at a
 * time (qvx_ozk_volume_read_region). A slice is a plane of constant y: `height` rows of
 * `width` 32-bit floats, row after row; element (x, z) of slice y is at index
 * x * width + z. For a volume of nx * ny * nz voxels, height = nx, slices = ny and
 * width = nz. 8-bit samples read as value * (1/255) and 16-bit samples as
 * value * (1/65535), so both lie in 0..1; float samples pass unchanged.
 *
 * Three kinds of file are recognised by their first bytes, in this order:
 *   - packed volume: "# QVX Packed Volume" (or "# QVX v2.0 Packed Volume") text header and
 *     the raw 8/16/32-bit samples, plain or gzip-compressed;
 *   - HR volume: a multi-resolution brick file (the 16 bytes "QVXHRVOL", version 1 to 4,
 *     zeros), memory-mapped read-only; slices are copied from its finest bricks. An HR
 *     volume sampled by sample_plane runs nine threads of its own, stopped and joined by
 *     close; one read only by slices and regions runs none;
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
 *
 * Resolution levels and regions (planes along any axis, boxes): the free functions
 * num_levels, level_shape and read_region below the C functions.
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
 * at or above num_slices, a closed volume, or a short or damaged file. The log keeps quiet
 * about a failed read; qvx_ozk_last_error tells which of these it was ("FAILED to read
 * slice 7 of '<path>': short or damaged data"). */
QVX_OZK_API bool qvx_ozk_volume_read_slice(qvx_ozk_volume* volume, float* out, uint32_t index);

/* Closes the volume; the handle stays valid for another open. Always true. */
QVX_OZK_API bool qvx_ozk_volume_close(qvx_ozk_volume* volume);

/* Saves `height` rows of `width` floats (row after row; typically a slice just read, with
 * the slice's height and width) as an uncompressed 32-bit float gray TIFF, written straight
 * from `data`, which is neither copied nor changed. A path ending in ".gz" (either case)
 * gives the gzip-compressed TIFF under that name. Images beyond classic TIFF's 4 GiB are
 * written as BigTIFF. A regular file is written beside its target and moved over it when
 * complete; a symlink is followed and the file it names replaced (the link stays); an
 * existing file of another kind (a device, a FIFO) is written in place and never removed.
 * False, with a "FAILED" log entry, for an empty image or a file that cannot be written;
 * nothing is left behind then. The _w form takes a wide path. */
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

/* Extension: the name of a kind as text: "packed", "header", "hr", and "none" for
 * QVX_OZK_KIND_NONE and any value that is no kind. A static string; never null. */
QVX_OZK_API const char* qvx_ozk_kind_name(uint32_t kind);

/* Extension: facts of the open volume's stored data, learnt at open or from the files'
 * first bytes and sizes, never by reading the data. Each returns false, with a "FAILED"
 * log entry and its outputs untouched, when nothing is open.
 *
 * qvx_ozk_volume_bits_per_sample: bits of one stored sample: a packed volume's
 * BitsPerSample entry (8, 16 or 32; 0 when its header names none), 32 for header and HR
 * volumes, whose samples are floats.
 *
 * qvx_ozk_volume_hr_version: the version of an HR file (1 to 4); false, with a "FAILED"
 * entry, for a volume of another kind.
 *
 * qvx_ozk_volume_compressed: whether data is gzip-compressed: a packed volume's file, any
 * slice file of a header volume; never an HR volume.
 *
 * qvx_ozk_volume_num_slice_files: the number of slice files a header volume lists; 0 for
 * other kinds and a closed volume.
 *
 * qvx_ozk_volume_slice_file: slice file `index` (< num_slice_files) of a header volume:
 * sets `*needed` (may be null) to the bytes of its UTF-8 path with the final NUL, as the
 * library opens it (the header's folder joined with the listed name), and `*num_slices`
 * (may be null) to the slices it holds; copies the path into `path` when `capacity` is at
 * least `*needed`. A null `path` with `capacity` 0 asks for the sizes alone and succeeds.
 * False, with a "FAILED" entry, for an index out of range or a buffer too small (which
 * then holds as much of the path as fits, NUL-ended, when `capacity` is above 0).
 *
 * qvx_ozk_volume_slices_stored: how many slices the files hold by their sizes: a plain
 * packed file's whole slices after its header, the slices of a header volume's plain slice
 * files that are long enough and of those of its gzip files that exist; a gzip stream
 * tells its length only when read, and HR bricks are placed through the tree, so those
 * count whole (qvx_ozk_volume_verify checks them). Below num_slices means a short volume. */
QVX_OZK_API bool qvx_ozk_volume_bits_per_sample(qvx_ozk_volume* volume, uint32_t* bits);
QVX_OZK_API bool qvx_ozk_volume_hr_version(qvx_ozk_volume* volume, uint32_t* version);
QVX_OZK_API bool qvx_ozk_volume_compressed(qvx_ozk_volume* volume, bool* compressed);
QVX_OZK_API void qvx_ozk_volume_num_slice_files(qvx_ozk_volume* volume, uint32_t* count);
QVX_OZK_API bool qvx_ozk_volume_slice_file(qvx_ozk_volume* volume, uint32_t index, char* path,
                                           size_t capacity, size_t* needed, uint32_t* num_slices);
QVX_OZK_API bool qvx_ozk_volume_slices_stored(qvx_ozk_volume* volume, uint32_t* slices);

/* Extension: resolution levels and regions.
 *
 * A volume has one or more resolution levels. Level 0 holds the stored voxels, the ones
 * read_slice reads; level k (HR volumes only) holds ceil(n / 2^k) samples along an axis of
 * n voxels, sample (i, j, l) standing for voxel (i * 2^k, j * 2^k, l * 2^k).
 *
 * qvx_ozk_volume_num_levels: 0 when nothing is open, 1 for packed and header volumes,
 * max_depth + 1 for HR volumes (level max_depth is the root brick, the whole volume in
 * one 32^3 brick).
 *
 * qvx_ozk_volume_level_shape: the extent of a level in the terms of the slice getters:
 * `height` samples along x, `num_slices` along y, `width` along z; for level 0 the same
 * numbers as slice_height, num_slices and slice_width. False, with a "FAILED" log entry
 * and the outputs untouched, for a level at or above num_levels.
 *
 * qvx_ozk_volume_read_region: the box [x0, x0 + nx) x [y0, y0 + ny) x [z0, z0 + nz) of
 * level `level` into `out` (nx * ny * nz floats), sample (x, y, z) at
 *     out[((y - y0) * nx + (x - x0)) * nz + (z - z0)]
 * so y is the slowest axis and z the fastest, as a stack of slices is laid out (numpy's
 * C order for an array of shape (ny, nx, nz)). At level 0 with ny = 1, nx = height and
 * nz = width it reads what read_slice reads, bit for bit. A box with a zero extent
 * reads nothing and succeeds wherever it stands (at a level that exists). False, with
 * one "FAILED" log entry, for a level that does not exist, a box that reaches outside
 * the level, a null `out` with a nonzero extent, a box of more bytes than memory
 * addresses, or a short or damaged file (as read_slice); `out` then holds no promised
 * content. Thread rules as read_slice.
 *
 * Where an HR level-k sample comes from: the brick of the node of depth max_depth - k
 * that holds its voxel, at the brick sample that covers it. Where the tree stops above
 * that depth, the leaf's brick, nearest neighbour (as level 0 upsamples early leaves);
 * where the node of that depth has no brick but nodes below it do, the first node below
 * it, on the way to that voxel, that has a brick; where no brick covers the voxel, 0.0.
 *
 * Cost: HR boxes are copied straight from the mapped file, touching only the bricks that
 * meet the box, without a lock or an allocation. Packed volumes read only the bytes of
 * the box: one read per slice row that the box meets, rows and slices joined where they
 * follow each other in the file; rows of less than 64 KiB in a plain file (a z-plane's
 * one sample per row) are copied from a read-only mapping of the file, made by the first
 * such read and kept until close; gzip files go through their index of access points.
 * Header volumes open only the slice files that the box meets. */
QVX_OZK_API void qvx_ozk_volume_num_levels(qvx_ozk_volume* volume, uint32_t* num_levels);
QVX_OZK_API bool qvx_ozk_volume_level_shape(qvx_ozk_volume* volume, uint32_t level, uint32_t* width,
                                            uint32_t* height, uint32_t* num_slices);
QVX_OZK_API bool qvx_ozk_volume_read_region(qvx_ozk_volume* volume, uint32_t level, uint32_t x0,
                                            uint32_t y0, uint32_t z0, uint32_t nx, uint32_t ny,
                                            uint32_t nz, float* out);

/* Extension: the integrity check. Reads the whole open volume once and checks everything
 * its files vouch for: for an HR volume, that every brick the tree names lies inside the
 * file and passes its checksum; for a packed volume, its whole gzip stream (every
 * member's CRC-32 and length) and that it holds every slice, or a plain file's size; for a
 * header volume, that every slice file is there and long enough, with the gzip checks for
 * compressed ones. Each problem logs one "FAILED ..." entry saying what is damaged and
 * which slices it affects ("slices 32 to 63 damaged", "slice 9 missing"). `progress`
 * (may be null) is called on the calling thread with each whole percent of the work
 * done, in order, and 100 at the end. True when nothing is wrong; false after any
 * problem, or for a closed volume. Slice reads never check checksums: they stay as fast
 * as they are, and this call is how a caller learns of damage. */
QVX_OZK_API bool qvx_ozk_volume_verify(qvx_ozk_volume* volume,
                                       void (*progress)(void* user, uint32_t percent), void* user);

/* Extension: planes at any angle, by trilinear interpolation.
 *
 * qvx_ozk_volume_sample_plane: fills out[r * width + c] (r < height, c < width) with the
 * value of level `level` at the point p = origin + c * u + r * v, in sample coordinates
 * (x, y, z) of that level (its sample (i, j, k) sits at the point (i, j, k); the axes are
 * those of read_region). The value is the trilinear interpolation of the 8 samples around
 * p, as read_region gives them; a point with any coordinate below 0 or above the level's
 * extent minus 1 (or not a number) gets `outside`. That is
 * scipy.ndimage.map_coordinates(a, coords, order=1, mode="constant", cval=outside) of the
 * level held as an array a[x, y, z]. A plane of zero width or height reads nothing and
 * succeeds. False, with one "FAILED" log entry, for a level that does not exist, a null
 * pointer, a plane of more bytes than memory addresses, a short or damaged file (as
 * read_region), or an HR brick that fails its checksum (the entry names its offset); `out`
 * then holds no promised content. Thread rules as read_slice.
 *
 * Cost: HR volumes load the bricks the plane meets into the volume's brick pool (each
 * with a one-sample border from its neighbours), on the volume's eight loader threads,
 * which start with the first call that needs them; later planes through the same bricks
 * read them from memory. Once the pool has bricks, a background thread fills its free
 * part with the coarsest levels first, while the volume is otherwise idle, so that coarse
 * planes come from memory. A volume whose pool is empty at its first sample_plane gets
 * 256 MiB. Packed and header volumes read the box the plane needs through read_region,
 * 64^3 samples at a time, at most 35 MiB at once.
 *
 * qvx_ozk_volume_set_cache_size: the HR brick pool's size in bytes, rounded down to whole
 * bricks of 34^3 floats (157216 bytes); 0 empties it (planes are then read as regions).
 * Changing it empties the pool. Accepted and ignored for packed and header volumes; false,
 * with a "FAILED" log entry, when nothing is open or the memory cannot be had (the pool
 * is then empty). */
QVX_OZK_API bool qvx_ozk_volume_sample_plane(qvx_ozk_volume* volume, uint32_t level,
                                             const double origin[3], const double u[3],
                                             const double v[3], uint32_t width, uint32_t height,
                                             float outside, float* out);
QVX_OZK_API bool qvx_ozk_volume_set_cache_size(qvx_ozk_volume* volume, uint64_t bytes);

/* Extension: gray images, for volumes built from image stacks and slices shown as 8-bit
 * pictures. An image's type is told by its first bytes (after decompression where the file
 * is gzip-compressed), whatever it is called.
 *
 * qvx_ozk_image_describe: the type (QVX_OZK_IMAGE_TIFF, _PNG or _BMP), rows (`height`),
 * columns (`width`) and bits per stored sample of the gray image at the UTF-8 `path`,
 * from its header alone.
 *
 * qvx_ozk_image_load_gray: loads that image into `out` (height * width floats, row after
 * row), integer samples scaled into 0..1 and float samples unchanged. False, with a
 * "FAILED" entry and `out` holding no promised content, when the image is not of exactly
 * `height` rows of `width` samples (as when it changed since it was described).
 *
 * qvx_ozk_image_save_gray8: saves `height` rows of `width` floats as an 8-bit gray PNG or
 * BMP (`type`), mapping [low, high] onto 0..255 (values outside clip) or, when low is not
 * below high, the image's own range; path kinds as qvx_ozk_save_gray_tif32, whatever the
 * name's extension.
 *
 * Each returns false with a "FAILED" entry for a file that cannot be opened, read or
 * written, or is of none of the types. */
#define QVX_OZK_IMAGE_TIFF 0u
#define QVX_OZK_IMAGE_PNG 1u
#define QVX_OZK_IMAGE_BMP 2u
QVX_OZK_API bool qvx_ozk_image_describe(const char* path, uint32_t* type, uint32_t* height,
                                        uint32_t* width, uint32_t* bits_per_sample);
QVX_OZK_API bool qvx_ozk_image_load_gray(const char* path, float* out, uint32_t height,
                                         uint32_t width);
QVX_OZK_API bool qvx_ozk_image_save_gray8(const char* path, uint32_t type, const float* data,
                                          uint32_t height, uint32_t width, float low, float high);

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

/* Extension: every following entry, whole ("YYYY-MM-DD HH:MM:SS: <text>\n", NUL-ended), to
 * `fn(user, entry)` instead of a stream, closing a log file set before. `fn` runs on the
 * thread that logs the entry, one entry at a time (never two at once), with the log's lock
 * held: it must return promptly and must not call into the library. `entry` is valid only
 * during the call. A null `fn` restores standard output; the other qvx_ozk_log_to_...
 * functions replace the callback. libtiff's own warnings and errors about the files the
 * library reads and writes arrive as entries too ("WARNING: libtiff: ...", "libtiff
 * error: ..."); a failure they explain is followed by the library's own "FAILED" entry. */
QVX_OZK_API void qvx_ozk_log_to_callback(void (*fn)(void* user, const char* entry), void* user);

/* Extension: why the calling thread's most recent call into the library failed. Every
 * exported call that can fail starts this record afresh on entry; the first "FAILED"
 * entry the call logs on the calling thread is kept, without its time stamp and final
 * newline (cut at 1 KiB). A failure that logs nothing still leaves "FAILED in
 * <function>". qvx_ozk_last_error gives "" after a call that succeeded; its text stays
 * valid until the thread's next call into the library. qvx_ozk_last_error_errno gives the
 * system error number behind that failure where there was one (ENOENT, EACCES, EISDIR,
 * ENOSPC, ...), else 0. Thread-local: no lock, no allocation; these two calls never
 * change the record themselves. */
QVX_OZK_API const char* qvx_ozk_last_error(void);
QVX_OZK_API int qvx_ozk_last_error_errno(void);

#ifdef __cplusplus
} /* extern "C" */

namespace QVX {
namespace ozK {

/* The C++ face of the level, region and plane extensions: free functions rather than members,
 * so that Volume's layout stays as it is. Each calls the C function of the same name
 * (qvx_ozk_volume_...) and behaves exactly as it does. */
inline uint32_t num_levels(Volume& volume) {
  uint32_t levels = 0;
  qvx_ozk_volume_num_levels(&volume, &levels);
  return levels;
}

inline bool level_shape(Volume& volume, uint32_t level, uint32_t& width, uint32_t& height,
                        uint32_t& num_slices) {
  return qvx_ozk_volume_level_shape(&volume, level, &width, &height, &num_slices);
}

inline bool read_region(Volume& volume, uint32_t level, uint32_t x0, uint32_t y0, uint32_t z0,
                        uint32_t nx, uint32_t ny, uint32_t nz, float* out) {
  return qvx_ozk_volume_read_region(&volume, level, x0, y0, z0, nx, ny, nz, out);
}

inline bool sample_plane(Volume& volume, uint32_t level, const double origin[3], const double u[3],
                         const double v[3], uint32_t width, uint32_t height, float outside,
                         float* out) {
  return qvx_ozk_volume_sample_plane(&volume, level, origin, u, v, width, height, outside, out);
}

inline bool set_cache_size(Volume& volume, uint64_t bytes) {
  return qvx_ozk_volume_set_cache_size(&volume, bytes);
}

} /* namespace ozK */
} /* namespace QVX */
#endif

#endif /* QVX_OZK_H */
