// Output files that end up gzip-compressed when their name ends in ".gz".
#pragma once

#include <zlib.h>

#include <cstddef>
#include <cstdio>
#include <memory>
#include <string>

#include "base/compiler.h"

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

// Closes and drops what `owner` holds, then opens a compressed writer for a ".gz" path
// and a plain one otherwise. False (and `owner` empty) for a null path or a failed open.
bool make_writer(WriterPtr& owner, const wchar_t* path);
// Closes and drops the writer `owner` holds.
void reset_writer(WriterPtr& owner);

// Compresses the finished file `path` into `path` + ".gz" and deletes `path`. On failure
// logs why, keeps `path` and leaves no partial ".gz" file.
bool gzip_file(const std::wstring& path);

}  // namespace QVX::Base::File
