#include "base/file/mapped_file.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <stdexcept>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "base/platform.h"
#include "tests/support/capture_stdout.h"
#include "tests/support/temp_dir.h"

namespace QVX::Base::File {
namespace {

namespace ts = QVX::TestSupport;

// Four 4 KiB pages and part of a fifth; byte k holds k % 251.
const std::string kBytes = [] {
  std::string bytes(4 * 4096 + 100, '\0');
  for (size_t k = 0; k < bytes.size(); ++k) bytes[k] = static_cast<char>(k % 251);
  return bytes;
}();

TEST(MappedFile, FailedOpensLogOneLineAndLeaveTheObjectEmpty) {
  ts::TempDir dir;
  ts::write_file(dir.file("empty.bin"), "");
  const std::pair<std::string, std::string> cases[] = {
      {dir.file("missing.bin"), "FAILED to open file '%': No such file or directory (0x2)\n"},
      {dir.file("empty.bin"), "FAILED to create file map for '%': Invalid argument (0x16)\n"},
      {dir.path(), "FAILED to create file map view for '%': No such device (0x13)\n"}};
  for (auto [path, expected] : cases) {
    expected.replace(expected.find('%'), 1, path);
    MappedFile file;
    ts::CaptureStdout capture;
    EXPECT_FALSE(file.map_open(path.c_str()));
    EXPECT_TRUE(file.map_close() && file.map_close() && file.map_base() == nullptr);
    EXPECT_EQ(ts::strip_timestamps(capture.text()), expected);
  }
  MappedFile file;
  EXPECT_THROW(file.map_open("bad\xC3"), std::range_error);
}

TEST(MappedFile, ReadsFollowThePositionAndFailedReadsKeepIt) {
  ts::TempDir dir;
  ts::write_file(dir.file("data.bin"), kBytes);
  MappedFile file;
  ASSERT_TRUE(file.map_open(dir.file("data.bin").c_str()));
  ASSERT_EQ(file.map_size(), kBytes.size());
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(file.map_base()), kBytes.size()), kBytes);
  std::string first(16, '\0'), second(8, '\0');
  ASSERT_TRUE(file.map_read_at(first.data(), 0, 16) && file.map_read(second.data(), 8));
  EXPECT_EQ(first + second, kBytes.substr(0, 24));
  EXPECT_EQ(file.map_position(), 24u);

  const uint64_t size = kBytes.size(), none = ~uint64_t{0};
  // Offset `none` reads on from the position.
  const struct {
    uint64_t offset, count;
    bool ok;
    uint64_t position;
    std::string log;
  } cases[] = {{size - 8, 8, true, size, ""},
               {size - 8, 9, false, size, "16476 (E)\n"},
               {size + 4096, 1, false, size, "20580 (E)\n"},
               {none - 1, 2, false, size, std::to_string(none - 1) + " (E)\n"},
               {5, 0, true, 5, ""},
               {size + 10, 0, true, size + 10, ""},
               {none, 0, true, size + 10, ""},
               {none, 1, false, size + 10, "16494 (E)\n"}};
  std::string buffer(16, '\0');
  for (const auto& c : cases) {
    ts::CaptureStdout capture;
    EXPECT_EQ(c.offset == none ? file.map_read(buffer.data(), c.count)
                               : file.map_read_at(buffer.data(), c.offset, c.count),
              c.ok)
        << c.offset;
    EXPECT_EQ(file.map_position(), c.position) << c.offset;
    EXPECT_EQ(ts::strip_timestamps(capture.text()),
              c.log.empty() ? "" : "FAILED to read from file map at offset " + c.log);
  }
  ts::CaptureStdout capture;
  EXPECT_TRUE(file.map_close() && file.map_close());
  EXPECT_EQ(std::tuple(file.map_base(), file.map_size()), std::tuple(nullptr, 0u));
  EXPECT_FALSE(file.map_read(buffer.data(), 1));
  EXPECT_EQ(ts::strip_timestamps(capture.text()), "FAILED to read from file map at offset 0 (E)\n");
}

TEST(MappedFile, ATruncatedFileFailsReadsInsteadOfCrashing) {
#if defined(__SANITIZE_THREAD__)
  GTEST_SKIP() << "ThreadSanitizer ends the process on a fault inside its own memcpy";
#endif
  ts::TempDir dir;
  ts::write_file(dir.file("data.bin"), kBytes);
  MappedFile file;
  ASSERT_TRUE(file.map_open(dir.file("data.bin").c_str()));
  std::string buffer(16, '\0');
  ASSERT_TRUE(file.map_read_at(buffer.data(), 100, 16));
  std::filesystem::resize_file(dir.file("data.bin"), 0);
  ts::CaptureStdout capture;
  EXPECT_FALSE(file.map_read_at(buffer.data(), 8192, 16) || file.map_read(buffer.data(), 16));
  EXPECT_EQ(file.map_position(), 116u);
  EXPECT_EQ(ts::strip_timestamps(capture.text()),
            "FAILED to read from file map at offset 8192 (7)\n"
            "FAILED to read from file map at offset 116 (7)\n");
  EXPECT_TRUE(file.map_close());
}

TEST(MappedFile, GuardedCopiesFromTheViewRunOnSeveralThreads) {
  ts::TempDir dir;
  ts::write_file(dir.file("data.bin"), kBytes);
  MappedFile file;
  ASSERT_TRUE(file.map_open(dir.file("data.bin").c_str()));
  std::vector<int> mismatches(4, 0);
  std::vector<std::thread> threads;
  for (size_t t = 0; t < mismatches.size(); ++t) {
    threads.emplace_back([&file, &mismatches, t] {
      std::string piece(100, '\0');
      for (size_t offset = t; offset + piece.size() <= kBytes.size(); offset += 97) {
        int code = 0;
        const bool ok =
            Platform::guarded_copy(piece.data(), file.map_base() + offset, piece.size(), &code);
        if (!ok || piece != kBytes.substr(offset, piece.size())) ++mismatches[t];
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  EXPECT_EQ(mismatches, std::vector<int>(4, 0));
}

TEST(MappedFileDeathTest, AFaultOutsideAGuardStillEndsTheProcess) {
  EXPECT_DEATH(
      {
        char byte = 0;
        Platform::guarded_copy(&byte, "x", 1, nullptr);
        volatile const char* volatile nowhere = nullptr;
        byte = *nowhere;
      },
      "");
}

}  // namespace
}  // namespace QVX::Base::File
