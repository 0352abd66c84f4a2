// A fresh temporary directory, removed with its contents when the object dies.
#pragma once

#include <string>

namespace QVX::TestSupport {

class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  const std::string& path() const { return path_; }
  // path() + "/" + name
  std::string file(const std::string& name) const;

 private:
  std::string path_;
};

// Writes `bytes` to `path` (replacing it); fails the current test on error.
void write_file(const std::string& path, const std::string& bytes);
// Writes `bytes` gzip-compressed to `path`.
void write_gzip_file(const std::string& path, const std::string& bytes);
// The bytes of the file at `path`; empty when it cannot be read.
std::string read_file(const std::string& path);

}  // namespace QVX::TestSupport
