#include "tests/support/temp_dir.h"

#include <gtest/gtest.h>
#include <zlib.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>

namespace QVX::TestSupport {

TempDir::TempDir() {
  char name[] = "/tmp/qvx_ozk_test_XXXXXX";
  if (mkdtemp(name) == nullptr) {
    ADD_FAILURE() << "cannot create a temporary directory";
    return;
  }
  path_ = name;
}

TempDir::~TempDir() {
  std::error_code ignored;
  if (!path_.empty()) std::filesystem::remove_all(path_, ignored);
}

std::string TempDir::file(const std::string& name) const { return path_ + "/" + name; }

void write_file(const std::string& path, const std::string& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  if (!out) ADD_FAILURE() << "cannot write " << path;
}

void write_gzip_file(const std::string& path, const std::string& bytes) {
  gzFile gz = gzopen(path.c_str(), "wb");
  ASSERT_NE(gz, nullptr) << "cannot write " << path;
  size_t done = 0;
  while (done < bytes.size()) {
    const unsigned chunk = static_cast<unsigned>(std::min<size_t>(bytes.size() - done, 1u << 30));
    ASSERT_EQ(gzwrite(gz, bytes.data() + done, chunk), static_cast<int>(chunk));
    done += chunk;
  }
  ASSERT_EQ(gzclose(gz), Z_OK);
}

}  // namespace QVX::TestSupport
