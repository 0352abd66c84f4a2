#include "base/file/writers.h"

#include <algorithm>
#include <cstdarg>

#include "base/log.h"
#include "base/path.h"
#include "base/platform.h"

namespace QVX::Base::File {
bool UncompressedWriter::open(const std::wstring& path) {
  close();
  stream_ = std::fopen(Platform::native_path(path).c_str(), "wb");
  if (stream_ == nullptr) note_error_code(Platform::last_error());
  return stream_ != nullptr;
}

void UncompressedWriter::printf(const char* format, ...) {
  if (stream_ == nullptr) return;
  va_list args;
  va_start(args, format);
  std::vfprintf(stream_, format, args);
  va_end(args);
}

size_t UncompressedWriter::write(const void* data, size_t size) {
  return stream_ != nullptr ? std::fwrite(data, 1, size, stream_) : 0;
}

bool UncompressedWriter::close() {
  if (stream_ == nullptr) return true;
  const bool written = std::ferror(stream_) == 0;
  if (!written) note_error_code(Platform::last_error());
  const bool closed = std::fclose(stream_) == 0;
  if (!closed) note_error_code(Platform::last_error());
  stream_ = nullptr;
  return written && closed;
}

bool CompressedWriter::open(const std::wstring& path) {
  close();
  stream_ = Platform::gz_open(path, "wb9");
  if (stream_ == nullptr) note_error_code(Platform::last_error());
  return stream_ != nullptr;
}

void CompressedWriter::printf(const char* format, ...) {
  if (stream_ == nullptr) return;
  va_list args;
  va_start(args, format);
  gzvprintf(stream_, format, args);
  va_end(args);
}

size_t CompressedWriter::write(const void* data, size_t size) {
  if (stream_ == nullptr) return 0;
  // zlib counts in unsigned int; write larger buffers in pieces.
  const auto* bytes = static_cast<const unsigned char*>(data);
  size_t done = 0;
  while (done < size) {
    const unsigned piece = static_cast<unsigned>(std::min<size_t>(size - done, 1u << 30));
    const int wrote = gzwrite(stream_, bytes + done, piece);
    if (wrote <= 0) break;
    done += static_cast<size_t>(wrote);
  }
  return done;
}

bool CompressedWriter::close() {
  if (stream_ == nullptr) return true;
  const int result = gzclose(stream_);
  if (result == Z_ERRNO) note_error_code(Platform::last_error());
  const bool closed = result == Z_OK;
  stream_ = nullptr;
  return closed;
}

bool make_writer(WriterPtr& owner, const wchar_t* path) {
  reset_writer(owner);
  if (path == nullptr) return false;
  const std::wstring name(path);
  return make_writer(owner, name, has_gz_suffix(name));
}

bool make_writer(WriterPtr& owner, const std::wstring& path, bool compressed) {
  reset_writer(owner);
  if (compressed) {
    owner = std::make_unique<CompressedWriter>();
  } else {
    owner = std::make_unique<UncompressedWriter>();
  }
  if (owner->open(path)) return true;
  owner.reset();
  return false;
}

SaveFile::SaveFile(const std::wstring& path) {
  valid_ = Platform::save_target(path, &target_);
  if (valid_) write_path_ = target_.in_place ? target_.file : target_.file + L".part";
}

SaveFile::~SaveFile() {
  if (valid_ && !committed_ && !target_.in_place) Platform::remove_file(write_path_);
}

bool SaveFile::commit() {
  committed_ = target_.in_place || Platform::replace_file(write_path_, target_.file);
  if (!committed_) note_error_code(Platform::last_error());
  return committed_;
}

void reset_writer(WriterPtr& owner) {
  if (owner) owner->close();
  owner.reset();
}

}  // namespace QVX::Base::File
