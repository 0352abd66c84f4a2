// Saves through every kind of path: links stay links, devices and FIFOs stay what they are,
// and nothing else on disk changes.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>
#include <zlib.h>

#include <filesystem>
#include <map>
#include <string>
#include <thread>

#include "qvx_ozk.h"
#include "tests/support/temp_dir.h"

namespace {

namespace fs = std::filesystem;
namespace ts = QVX::TestSupport;

const float kPixels[6] = {1.5f, -2.0f, 3.25f, 0.0f, 1e-3f, 65504.0f};

// "gzip " or "file ", then the file's bytes, decompressed when they are gzip.
std::string contents(const std::string& path) {
  std::string bytes;
  gzFile in = gzopen(path.c_str(), "rb");
  char block[4096];
  for (int n = 0; (n = gzread(in, block, sizeof block)) > 0;) bytes.append(block, n);
  const bool plain = gzdirect(in) == 1;
  gzclose(in);
  return (plain ? "file " : "gzip ") + bytes;
}

// What is on disk below `dir`: each entry's kind, and a regular file's (decompressed) bytes.
std::map<std::string, std::string> snapshot(const std::string& dir) {
  std::map<std::string, std::string> entries;
  for (const auto& e : fs::recursive_directory_iterator(dir)) {
    const std::string name = e.path().lexically_relative(dir).string();
    const fs::file_status s = e.symlink_status();
    entries[name] = fs::is_symlink(s)          ? "link " + fs::read_symlink(e.path()).string()
                    : fs::is_fifo(s)           ? "fifo"
                    : fs::is_character_file(s) ? "device"
                    : fs::is_directory(s)      ? "dir"
                                               : contents(e.path().string());
  }
  return entries;
}

enum Kind { kNew, kFile, kLink, kFifo, kDevice };

TEST(SavePaths, EachKindOfPathKeepsWhatItIs) {
  ts::TempDir dir;
  ASSERT_TRUE(qvx_ozk_save_gray_tif32(dir.file("reference.tif").c_str(), kPixels, 2, 3));
  const std::string tiff = contents(dir.file("reference.tif")).substr(5);
  const auto image = [&](std::string name) {
    return (name.ends_with(".gz") ? "gzip " : "file ") + tiff;
  };
  const struct {
    Kind kind;
    const char* save;    // the path given to the save
    const char* holder;  // the file that then holds the image, "" for none
    const char* link;    // a link's text; a device's minor number of the memory devices
    bool existing;       // the holder (or a link's target) is there before the save
    bool saved;
  } cases[] = {
      {kNew, "new.tif", "new.tif", "", false, true},
      {kFile, "old.tif", "old.tif", "", true, true},
      {kFile, "old.tif.gz", "old.tif.gz", "", true, true},
      {kLink, "sub/link.tif", "target.tif", "../target.tif", true, true},
      {kLink, "dangling.tif.gz", "made.tif.gz", "made.tif.gz", false, true},
      {kFifo, "pipe.tif", "", "", true, true},
      {kFifo, "pipe.tif.gz", "", "", true, true},
      {kDevice, "null", "", "3", true, true},   // reads as empty, takes every write
      {kDevice, "full", "", "7", true, false},  // every write fails with ENOSPC
  };
  int index = 0;
  bool skipped = false;
  for (const auto& c : cases) {
    const std::string folder = dir.file("case" + std::to_string(index++));
    fs::create_directories(folder + "/sub");
    const std::string path = folder + "/" + c.save;
    if (c.existing && c.holder[0] != 0) ts::write_file(folder + "/" + c.holder, "old");
    if (c.kind == kLink) fs::create_symlink(c.link, path);
    if (c.kind == kFifo) {
      ASSERT_EQ(mkfifo(path.c_str(), 0600), 0);
    }
    if (c.kind == kDevice &&
        mknod(path.c_str(), S_IFCHR | 0600, makedev(1, std::stoi(c.link))) != 0) {
      skipped = true;  // making a device needs root
      continue;
    }
    std::map<std::string, std::string> expected = snapshot(folder);
    if (c.holder[0] != 0) expected[c.holder] = image(c.holder);

    const std::string piped = dir.file("piped" + std::to_string(index));
    std::thread reader;
    if (c.kind == kFifo) {
      reader = std::thread([&] {
        const int in = open(path.c_str(), O_RDONLY), out = creat(piped.c_str(), 0600);
        char block[4096];
        for (ssize_t n = 0; (n = read(in, block, sizeof block)) > 0;)
          ASSERT_EQ(write(out, block, n), n);
        close(in);
        close(out);
      });
    }
    EXPECT_EQ(qvx_ozk_save_gray_tif32(path.c_str(), kPixels, 2, 3), c.saved) << c.save;
    if (reader.joinable()) {
      // Ends the reader should the save never have opened the FIFO.
      const int unblock = open(path.c_str(), O_WRONLY | O_NONBLOCK);
      if (unblock >= 0) close(unblock);
      reader.join();
      EXPECT_EQ(contents(piped), image(c.save));
    }
    EXPECT_EQ(snapshot(folder), expected) << c.save;
  }
  if (skipped) GTEST_SKIP() << "the device rows need the right to make device nodes";
}

}  // namespace
