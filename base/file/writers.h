// Output files that end up gzip-compressed when their name ends in ".gz".
#pragma once

#include <zlib.h>

#include <cstddef>
#include <cstdio>
#include <memory>
#include <string>

#include "base/compiler.h"
#include "base/platform.h"

namespace QVX::Base::File {

class AbstractWriter {
 public:
  AbstractWriter() = default;
  AbstractWriter(const AbstractWriter&) = delete;
  AbstractWriter& operator=(const AbstractWriter&) = delete;
  virtual ~AbstractWriter() = default;

  // Creates or truncates the file, closing any file open before.
  virtual bool open(const std::wstring& path) = 0;
  // Formatted output; nothing when closed.
  virtual void printf(const char* format, ...) QVX_PRINTF_FORMAT(2, 3) = 0;
  // Bytes written; 0 when closed.
  virtual size_t write(const void* data, size_t size) = 0;
  // True when everything written reached the file (and for a closed writer).
  virtual bool close() = 0;
};

class UncompressedWriter final : public AbstractWriter {
 public:
  ~UncompressedWriter() override { close(); }
  bool open(const std::wstring& path) override;
  void printf(const char* format, ...) override;
  size_t write(const void* data, size_t size) override;
  bool close() override;

 private:
  FILE* stream_ = nullptr;
};

// Writes a gzip stream at compression level 9 to the path as given (".gz" included).
class CompressedWriter final : public AbstractWriter {
 public:
  ~CompressedWriter() override { close(); }
  bool open(const std::wstring& path) override;
  void printf(const char* format, ...) override;
  size_t write(const void* data, size_t size) override;
  bool close() override;

 private:
  gzFile stream_ = nullptr;
};

using WriterPtr = std::unique_ptr<AbstractWriter>;

// A file being saved, by what its path is. A regular file or a new one is written beside
// its target as "<target>.part" and renamed over it by commit(), so a failed save never
// costs the file that was there. Symlinks are followed: the link stays and the file it
// names is replaced in that file's own folder. An existing file of another kind (a device,
// a FIFO, a socket) is written in place, as a plain open would, and never renamed or
// removed. A part file that was not committed is removed with the object.
class SaveFile {
 public:
  // Throws "bad conversion" for an ill-formed path, or a link whose text is no UTF-8.
  explicit SaveFile(const std::wstring& path);
  ~SaveFile();
  SaveFile(const SaveFile&) = delete;
  SaveFile& operator=(const SaveFile&) = delete;

  // False when the path cannot be saved to (its links go round, or name no file).
  bool valid() const { return valid_; }
  bool in_place() const { return target_.in_place; }
  // Where the bytes go: the part file, or the target itself when in place.
  const std::wstring& write_path() const { return write_path_; }
  // Moves the finished part file over the target; true at once when in place.
  bool commit();

 private:
  Platform::SaveTarget target_;
  std::wstring write_path_;
  bool valid_ = false;
  bool committed_ = false;
};

// Closes and drops what `owner` holds, then opens a compressed writer for a ".gz" path
// and a plain one otherwise. False (and `owner` empty) for a null path or a failed open.
bool make_writer(WriterPtr& owner, const wchar_t* path);
// The same for a path whose name does not tell (a part file): compressed when `compressed`.
bool make_writer(WriterPtr& owner, const std::wstring& path, bool compressed);
// Closes and drops the writer `owner` holds.
void reset_writer(WriterPtr& owner);

}  // namespace QVX::Base::File
