// Log files: making a file the log's stream, its rotation into numbered files, and the
// path helpers behind their names. Internal to the library: nothing here is part of the
// exported interface.
//
// While a log file is the stream, the entry that finds log_line_count() at the rotation
// threshold (100000) first writes "=== Log continues in logfile N (name) ===" to the
// full file, closes it with "=== Log file closed: YYYY-MM-DD @ HH:MM:SS ===", opens
// logfile N (see log_file_name_for_index) and writes "=== Beginning of logfile N (name)
// ===" there, then itself; the count then restarts and the markers are not counted.
// Logfile 1 is the configured path itself.
//
// While standard output or standard error is the stream no rotation happens: the entry that
// finds the count at the threshold just starts it again. A log file that cannot be opened
// leaves the log writing to standard output, without further rotation, until log_set_file,
// log_use_standard_output or log_use_standard_error is called again.
//
// Paths are narrow UTF-8. They are split at both '/' and '\\'; names are joined with the
// platform separator (kPathSeparator of base/path.h). "Nothing" is std::nullopt.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace QVX::Base {

// The entries after which a log file rotates.
inline constexpr uint32_t kLogRotationEntries = 100000;

// Makes `path` the configured log file and opens it for appending, closing a previous log
// file with its closing line; the rotation numbering starts again at logfile 1. Missing
// directories are created first. A path without a directory part is relative to the
// current directory, and so are its rotated files. False when the file could not be
// opened: entries then go to standard output. An empty path is the same as
// log_use_standard_output() and answers false.
bool log_set_file(const std::string& path);

// Closes the log file (with its closing line), forgets the configured path and writes the
// following entries to standard output; log_line_count() restarts at 0.
void log_use_standard_output();

// The same, with standard error as the stream: for programs whose standard output is their
// own result. Neither standard stream is ever closed by the log.
void log_use_standard_error();

// Hands every following entry, whole ("YYYY-MM-DD HH:MM:SS: <text>\n"), to
// `callback(user, entry)` instead of a stream, closing a log file first; one entry at a
// time, on the thread that logs it, with the log's lock held (so the callback must not
// log). A null callback is the same as log_use_standard_output().
using LogCallback = void (*)(void* user, const char* entry);
void log_use_callback(LogCallback callback, void* user);

// For tests: rotate after `entries` entries instead of kLogRotationEntries (0 counts
// as 1).
void log_set_rotation_threshold(uint32_t entries);

// The name of logfile `index` + 1 for the configured `path`: its directory part, the
// separator, the file name without extension, "-<index + 1>" when `index` > 0, and the
// extension. A trailing ".gz" or ".gZ" is dropped before the extension is sought, so
// "/logs/sdk.log.gz" gives "/logs/sdk.log", "/logs/sdk-2.log", "/logs/sdk-3.log". A
// file name without a dot (a leading dot does not count) has no extension: "sdk" gives
// "sdk-2". A path without a directory part gives a name without one ("sdk.log" gives
// "sdk-2.log", in the current directory). Creates nothing.
std::string log_file_name_for_index(const std::string& path, uint32_t index);

// The parts of a file name that path_file_part returns (the modes 0, 1 and 2 of the
// log-file naming rule). For Stem and Extension a trailing ".gz"/".gZ" (lower-case 'g') is
// dropped first; a dot in the first position is not looked at, and a name without a dot
// has no extension: Stem and Extension then both give the whole (shortened) name.
enum class FilePart {
  Name = 0,       // the file name: "b.tar.gz"
  Stem = 1,       // the name before its last dot: "b"
  Extension = 2,  // the rest from that dot on: ".tar"
};

// The file part of `path`: the characters after its last '/' or '\\' (a separator in the
// first position stays part of the name), or the part of them that `part` names
// ("C:\\a\\b.tar.gz" gives "b.tar.gz", "b", ".tar"). std::nullopt when `path` ends in a
// separator or has fewer than two characters.
std::optional<std::string> path_file_part(const std::string& path, FilePart part);

// The characters before the last '/' or '\\' of `path`; std::nullopt when `path` has
// fewer than two characters or no separator after its first character ("/data" gives
// nothing, "//data" gives "/").
std::optional<std::string> path_directory_part(const std::string& path);

// Creates the directory `dir` and any missing parents, the outermost first. True when
// `dir` is a directory afterwards; false for an empty path.
bool ensure_directory(const std::string& dir);

}  // namespace QVX::Base
