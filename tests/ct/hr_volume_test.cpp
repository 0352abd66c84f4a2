// Opening and closing HR volumes: header fields by version, the messages of every
// failure in order, checksum warnings and the loader threads' lifetime.
#include "ct/hr_volume.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <fstream>
#include <functional>
#include <random>
#include <regex>
#include <string>
#include <vector>

#include "ct/loader.h"
#include "ct/slice_extract.h"
#include "tests/support/capture_stdout.h"
#include "tests/support/hr_files.h"
#include "tests/support/temp_dir.h"
#include "tests/support/threads.h"

namespace QVX::CT {
namespace {

namespace ts = QVX::TestSupport;
using QVX::Tools::HRChecksumWord;
using QVX::Tools::HRNodeKey;
using QVX::Tools::HRWriteOptions;
using QVX::Tools::HRWriteResult;

class HRVolumeTest : public ::testing::Test {
 protected:
  HRWriteResult write(const HRWriteOptions& options) {
    HRWriteResult result;
    std::string error;
    EXPECT_TRUE(QVX::Tools::write_hr_volume(path_, options, &result, &error)) << error;
    return result;
  }
  // Overwrites bytes of the written file.
  void patch(uint64_t offset, const std::string& bytes) {
    std::fstream file(path_, std::ios::in | std::ios::out | std::ios::binary);
    file.seekp(static_cast<std::streamoff>(offset));
    file.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    ASSERT_TRUE(file.good());
  }
  std::wstring wide() const { return std::wstring(path_.begin(), path_.end()); }
  // Opens a new volume on the file; the log of the open, timestamps removed.
  std::string open(bool expected) {
    ts::CaptureStdout capture;
    HRVolume volume;
    EXPECT_EQ(volume.open_existing(wide()), expected);
    return ts::strip_timestamps(capture.text());
  }

  ts::TempDir dir_;
  const std::string path_ = dir_.file("volume.hr");
};

TEST_F(HRVolumeTest, HeaderFieldsOfEveryVersion) {
  const struct {
    uint32_t version;
    uint8_t checksum_byte;
    uint32_t checksum_type;
    const char* checksum_line;
  } cases[] = {
      {1, 2, 0, ""},
      {2, 2, 0, ""},
      {3, 0, 2, ""},
      {4, 1, 1, "HR Volume has checksum type 1\n"},
      {4, 7, 7, "HR Volume has checksum type 7\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.version);
    HRWriteOptions options = ts::hr_options(40, 100, 64, c.version);
    options.checksum_type = c.checksum_byte;
    options.vmin = {-1.0, 2.0, 0.5};
    options.vmax = {19.0, 52.0, 64.5};
    options.info_size = 1234;
    const HRWriteResult written = write(options);

    ts::CaptureStdout capture;
    HRVolume volume;
    ASSERT_TRUE(volume.open_existing(wide()));
    // The elapsed time depends on the machine's load.
    const std::string log = std::regex_replace(ts::strip_timestamps(capture.text()),
                                               std::regex("took [0-9]+\\.[0-9]s"), "took T");
    EXPECT_EQ(log, "Opened existing HR Volume '" + path_ + "' read-only (version " +
                       std::to_string(c.version) + ")\n" + c.checksum_line +
                       "Opening HR Volume with resolution 40,100,64 (version " +
                       std::to_string(c.version) +
                       ", stored in 40,100,64)\nReading HR Volume nodes, took T\n");
    EXPECT_EQ(volume.version(), c.version);
    EXPECT_EQ(volume.checksum_type(), c.checksum_type);
    EXPECT_EQ(volume.max_depth(), 2u);  // log2(100 / 32) rounded up
    EXPECT_EQ(volume.resolution().y, 100u);
    EXPECT_EQ(volume.vmin().x, -1.0);
    EXPECT_EQ(volume.vmax().z, 64.5);
    EXPECT_EQ(volume.voxel_size().x, 0.5);
    EXPECT_EQ(volume.voxel_size().y, 0.5);
    EXPECT_EQ(volume.voxel_size().z, 1.0);
    EXPECT_EQ(volume.root().min, written.nodes[0].min);
    EXPECT_EQ(volume.root().max, written.nodes[0].max);
    EXPECT_EQ(volume.info_address(), written.info_address);
    // Version 1 has no info block: its "info size" is the file's first four bytes.
    EXPECT_EQ(volume.info_size(), c.version == 1 ? 0x48585651u : 1234u);
    EXPECT_NE(volume.root().brick, nullptr);
    EXPECT_EQ(volume.root().brick->bordered, 1);
  }
}

TEST_F(HRVolumeTest, MaxDepthFollowsTheLargestStoredDimension) {
  const struct {
    uint32_t nx, ny, nz, depth;
    uint64_t nodes;
  } cases[] = {{17, 3, 1, 0, 1}, {33, 8, 8, 1, 9}, {10, 65, 10, 2, 73}, {40, 129, 8, 3, 585}};
  for (const auto& c : cases) {
    write(ts::hr_options(c.nx, c.ny, c.nz));
    HRVolume volume;
    ts::CaptureStdout quiet;
    ASSERT_TRUE(volume.open_existing(wide()));
    EXPECT_EQ(volume.max_depth(), c.depth);
    EXPECT_EQ(count_nodes(volume.root(), c.depth), c.nodes);
  }
}

TEST_F(HRVolumeTest, FailuresLogInnermostFirstAndLeaveNothingOpen) {
  const std::string q = "'" + path_ + "'";
  const std::string opened = "Opened existing HR Volume " + q + " read-only (version ";
  struct Case {
    const char* name;
    std::function<void()> make;
    std::string expected;
  };
  const Case cases[] = {
      {"missing file", [] {},
       "FAILED to open file " + q +
           ": No such file or directory (0x2)\n"
           "FAILED to open existing HR Volume " +
           q + "\n"},
      {"empty file", [&] { ts::write_file(path_, ""); },
       "FAILED to create file map for " + q +
           ": Invalid argument (0x16)\n"
           "FAILED to open existing HR Volume " +
           q + "\n"},
      {"short file", [&] { ts::write_file(path_, "QVXHRVOL"); },
       "FAILED to read from file map at offset 0 (E)\n"
       "FAILED to read file magic in HR Volume " +
           q + "\n"},
      {"unknown version",
       [&] {
         write(ts::hr_options(40, 40, 40));
         patch(8, std::string("\5", 1));
       },
       "FAILED to find HR Volume in " + q + "\n"},
      {"brick size 16",
       [&] {
         HRWriteOptions options = ts::hr_options(40, 40, 40);
         options.brick_size = 16;
         write(options);
       },
       opened +
           "4)\nHR Volume has checksum type 2\n"
           "FAILED to find valid HR Volume in " +
           q + ": Incompatible brick size: Expected 32, found 16\n"},
      {"cut in vmin",
       [&] {
         HRWriteOptions options = ts::hr_options(40, 40, 40, 1);
         options.truncate_to = 50;
         write(options);
       },
       opened + "1)\nFAILED to read from file map at offset 41 (E)\nFAILED to read volume min\n"},
      {"cut in the node area",
       [&] {
         // Depth 2: the root's tile, then eight tiles of depth 2; cut inside the first.
         HRWriteOptions options = ts::hr_options(70, 40, 40, 1);
         options.truncate_to = 113 + 20 + 172 + 100;
         write(options);
       },
       opened +
           "1)\nOpening HR Volume with resolution 70,40,40 (version 1, stored in 70,40,40)\n"
           "FAILED to read from file map at offset 401 (E)\n"
           "FAILED to read node brick offset\n"
           "FAILED to read node[4] in node tile at depth 2\n"
           "FAILED reading node pool to max depth 2\n"
           "FAILED reading HR Volume nodes from " +
           q + "\n"},
      {"stored grid too small", [&] { write(ts::hr_options(16, 9, 3)); },
       opened +
           "4)\nHR Volume has checksum type 2\n"
           "FAILED to find valid HR Volume in " +
           q + ": Unsupported hr resolution 16,9,3: the largest must be from 17 to 2147483648\n"},
      {"resolution beyond the root",
       [&] {
         write(ts::hr_options(40, 33, 70));
         patch(26, std::string("\310\0\0\0", 4));  // resolution x = 200
       },
       opened +
           "4)\nHR Volume has checksum type 2\n"
           "FAILED to find valid HR Volume in " +
           q + ": Resolution 200,33,70 exceeds the stored extent of 128 voxels per axis\n"},
  };
  const size_t threads_before = ts::process_thread_count();
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::remove(path_.c_str());
    c.make();
    EXPECT_EQ(open(false), c.expected);
    EXPECT_EQ(ts::process_thread_count(), threads_before);
  }
}

TEST_F(HRVolumeTest, RootBrickMustBeReadableOtherBricksOnlyWarn) {
  HRWriteOptions options = ts::hr_options(40, 40, 40);
  options.brick_past_end = [](const HRNodeKey& k) { return k.depth == 0; };
  const HRWriteResult root_gone = write(options);
  const std::string offset = std::to_string(root_gone.nodes[0].brick_offset);
  const std::string log = open(false);
  EXPECT_NE(log.find("FAILED to read brick at offset " + offset +
                     " (E)\n"
                     "FAILED to load new brick at " +
                     offset +
                     " into pool\n"
                     "FAILED to load root brick\n"
                     "FAILED reading HR Volume nodes from '" +
                     path_ + "'\n"),
            std::string::npos)
      << log;

  // Eight finest bricks beyond the end are all named; more are counted.
  options.brick_past_end = [](const HRNodeKey& k) { return k.depth == 1; };
  const HRWriteResult finest_gone = write(options);
  const std::string warnings = open(true);
  EXPECT_NE(warnings.find("WARNING brick record at offset " +
                          std::to_string(finest_gone.nodes[1].brick_offset) +
                          " lies beyond the end of '" + path_ + "'"),
            std::string::npos)
      << warnings;
  EXPECT_EQ(warnings.find("more brick records"), std::string::npos) << warnings;

  options.resolution = {70, 70, 70};  // depth 2: 64 finest bricks
  options.brick_past_end = [](const HRNodeKey& k) { return k.depth == 2; };
  write(options);
  EXPECT_NE(
      open(true).find("WARNING 56 more brick records lie beyond the end of '" + path_ + "'\n"),
      std::string::npos);
}

TEST_F(HRVolumeTest, RootBrickVerification) {
  const struct {
    uint32_t version;
    uint8_t type;
    HRChecksumWord word;
    bool warned;
  } cases[] = {
      {4, 2, HRChecksumWord::Wrong, true},  {4, 2, HRChecksumWord::Zero, false},
      {4, 1, HRChecksumWord::Zero, true},   {4, 1, HRChecksumWord::Correct, false},
      {4, 7, HRChecksumWord::Wrong, false}, {3, 0, HRChecksumWord::Wrong, true},
      {2, 0, HRChecksumWord::Wrong, false}, {4, 0, HRChecksumWord::Wrong, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(::testing::Message() << "version " << c.version << " type " << int{c.type});
    HRWriteOptions options = ts::hr_options(40, 40, 40, c.version);
    options.checksum_type = c.type;
    options.checksum_word = [&c](const HRNodeKey& k) {
      return k.depth == 0 ? c.word : HRChecksumWord::Correct;
    };
    const HRWriteResult written = write(options);
    const std::string warning = "WARNING data verification for brick at " +
                                std::to_string(written.nodes[0].brick_offset) + " FAILED...\n";
    EXPECT_EQ(open(true).find(warning) != std::string::npos, c.warned);
  }
}

TEST_F(HRVolumeTest, CloseStopsTheLoaderThreadsQuietly) {
  write(ts::hr_options(40, 33, 70));
  const size_t before = ts::process_thread_count();
  for (int cycle = 0; cycle < 3; ++cycle) {
    ts::CaptureStdout capture;
    {
      HRVolume volume;
      ASSERT_TRUE(volume.open_existing(wide()));
      // No thread until something needs the pool.
      EXPECT_FALSE(volume.loader().running());
      EXPECT_EQ(ts::process_thread_count(), before);
      volume.start_loader();
      EXPECT_TRUE(volume.loader().running());
      EXPECT_EQ(volume.loader().thread_count(), 9u);
      // The eight workers sleep; the preload thread ends at once (an empty pool is
      // complete) and may already be gone.
      const size_t running = ts::process_thread_count();
      EXPECT_GE(running, before + 8);
      EXPECT_LE(running, before + 9);
      const std::string opened = capture.text();
      EXPECT_TRUE(volume.hr_close());
      EXPECT_FALSE(volume.loader().running());
      EXPECT_EQ(ts::process_thread_count(), before);
      EXPECT_TRUE(volume.hr_close());
      EXPECT_EQ(capture.text(), opened);  // neither close nor destruction logs
    }
    EXPECT_EQ(ts::process_thread_count(), before);
  }
}

// Damaged copies of a good file: bytes of the header and node area overwritten, or the
// file cut anywhere. Each must open or fail cleanly, and a slice that cannot be read
// must say which brick it could not read.
TEST_F(HRVolumeTest, DamagedFilesFailCleanly) {
  HRWriteOptions options = ts::hr_options(40, 33, 70);
  options.brick_order = QVX::Tools::HRBrickOrder::ReverseBreadthFirst;
  const HRWriteResult written = write(options);
  std::string good(written.file_size, '\0');
  {
    std::ifstream in(path_, std::ios::binary);
    in.read(good.data(), static_cast<std::streamsize>(good.size()));
  }
  const uint64_t node_area_end = 122 + 20 + 172 * 9;
  std::mt19937 random(12345);
  std::vector<float> slice(40 * 70);
  int opened = 0, failed = 0;
  for (int round = 0; round < 60; ++round) {
    std::string bytes = good;
    if (round % 3 == 0) {
      bytes.resize(random() % good.size());
    } else {
      for (int k = 0; k < 1 + round % 4; ++k) {
        bytes[random() % node_area_end] = static_cast<char>(random());
      }
    }
    ts::write_file(path_, bytes);
    ts::CaptureStdout capture;
    HRVolume volume;
    if (!volume.open_existing(wide())) {
      ++failed;
      EXPECT_NE(capture.text().find("FAILED"), std::string::npos);
      continue;
    }
    ++opened;
    for (uint32_t y = 0; y < volume.resolution().y && y < 40; ++y) {
      if (volume.resolution().x * uint64_t{volume.resolution().z} > slice.size()) break;
      const size_t before = capture.text().size();
      if (!read_hr_slice(volume, slice.data(), y)) {
        EXPECT_NE(capture.text().find("FAILED to read brick at offset", before), std::string::npos);
      }
    }
  }
  EXPECT_GT(opened, 0);
  EXPECT_GT(failed, 0);
}

}  // namespace
}  // namespace QVX::CT
