// Opening and closing HR volumes: header fields by version, the messages of every
// failure in order, checksum warnings and the loader threads' lifetime.
#include "ct/hr_volume.h"

#include <gtest/gtest.h>

#include <functional>
#include <vector>

#include "ct/loader.h"
#include "ct/slice_extract.h"
#include "tests/support/ct_volumes.h"
#include "tests/support/threads.h"

namespace QVX::CT {
namespace {

namespace ts = QVX::TestSupport;
using QVX::Tools::HRNodeKey;
using QVX::Tools::HRWriteOptions;
using QVX::Tools::HRWriteResult;

class HRVolumeTest : public ::testing::Test {
 protected:
  HRWriteResult write(const HRWriteOptions& options) { return ts::write_hr(path_, options); }
  // Overwrites bytes of the written file.
  void patch(uint64_t offset, const std::string& bytes) {
    ts::write_file(path_, ts::read_file(path_).replace(offset, bytes.size(), bytes));
  }
  // Opens a new volume on the file; the log of the open, timestamps removed.
  std::string open(bool expected) {
    ts::CaptureStdout capture;
    HRVolume volume;
    EXPECT_EQ(volume.open_existing(ts::wide(path_)), expected);
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
  } cases[] = {{1, 2, 0, ""},
               {2, 2, 0, ""},
               {3, 0, 2, ""},
               {4, 1, 1, "HR Volume has checksum type 1\n"},
               {4, 7, 7, "HR Volume has checksum type 7\n"}};
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
    ASSERT_TRUE(volume.open_existing(ts::wide(path_)));
    EXPECT_NE(capture.text().find(c.checksum_line), std::string::npos);
    EXPECT_EQ(volume.checksum_type(), c.checksum_type);
    const HRVec3d& size = volume.voxel_size();
    EXPECT_EQ(std::vector<double>({volume.vmin().x, volume.vmax().z, size.x, size.y, size.z}),
              std::vector<double>({-1.0, 64.5, 0.5, 0.5, 1.0}));
    EXPECT_EQ(std::tuple(volume.root().min, volume.root().max),
              std::tuple(written.nodes[0].min, written.nodes[0].max));
    EXPECT_EQ(volume.info_address(), written.info_address);
    // Version 1 has no info block: its "info size" is the file's first four bytes.
    EXPECT_EQ(volume.info_size(), c.version == 1 ? 0x48585651u : 1234u);
  }
}

TEST_F(HRVolumeTest, FailuresLogInnermostFirstAndLeaveNothingOpen) {
  const std::string q = "'" + path_ + "'";
  const std::string opened = "Opened existing HR Volume " + q + " read-only (version ";
  const std::string invalid =
      "4)\nHR Volume has checksum type 2\nFAILED to find valid HR Volume in " + q;
  const auto options = [](uint32_t nx, uint32_t version, auto change) {
    HRWriteOptions o = ts::hr_options(nx, 40, 40, version);
    change(o);
    return o;
  };
  const struct {
    const char* name;
    std::function<void()> make;
    std::string expected;
  } cases[] = {
      {"unknown version",
       [&] {
         write(ts::hr_options(40, 40, 40));
         patch(8, "\5");
       },
       "FAILED to find HR Volume in " + q + "\n"},
      {"brick size 16",
       [&] { write(options(40, 4, [](HRWriteOptions& o) { o.brick_size = 16; })); },
       opened + invalid + ": Incompatible brick size: Expected 32, found 16\n"},
      // Depth 2: the root's tile, then eight tiles of depth 2; cut inside the first.
      {"cut in the node area",
       [&] {
         write(options(70, 1, [](HRWriteOptions& o) { o.truncate_to = 113 + 20 + 172 + 100; }));
       },
       opened +
           "1)\nOpening HR Volume with resolution 70,40,40 (version 1, stored in 70,40,40)\n"
           "FAILED to read from file map at offset 401 (E)\nFAILED to read node brick offset\n"
           "FAILED to read node[4] in node tile at depth 2\n"
           "FAILED reading node pool to max depth 2\nFAILED reading HR Volume nodes from " +
           q + "\n"},
      {"resolution beyond the root",
       [&] {
         write(ts::hr_options(40, 33, 70));
         patch(34, std::string("\310\0\0\0", 4));  // resolution z = 200
       },
       opened + invalid +
           ": Resolution 40,33,200 exceeds the stored extent of 128 voxels per axis\n"}};
  const size_t threads_before = ts::process_thread_count();
  for (const auto& c : cases) {
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
  const std::string offset = std::to_string(write(options).nodes[0].brick_offset);
  const std::string log = open(false);
  EXPECT_NE(
      log.find("FAILED to read brick at offset " + offset + " (E)\nFAILED to load new brick at " +
               offset +
               " into pool\nFAILED to load root brick\nFAILED reading HR Volume nodes from '" +
               path_ + "'\n"),
      std::string::npos)
      << log;

  // Eight finest bricks beyond the end are all named; more are counted.
  options.brick_past_end = [](const HRNodeKey& k) { return k.depth == 1; };
  const uint64_t first = write(options).nodes[1].brick_offset;
  const std::string warnings = open(true);
  EXPECT_NE(warnings.find("WARNING brick record at offset " + std::to_string(first) +
                          " lies beyond the end of '" + path_ + "' (" + std::to_string(first) +
                          " bytes)\n"),
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

TEST_F(HRVolumeTest, CloseStopsTheLoaderThreadsQuietly) {
  write(ts::hr_options(40, 33, 70));
  const size_t before = ts::process_thread_count();
  ts::CaptureStdout capture;
  HRVolume volume;
  ASSERT_TRUE(volume.open_existing(ts::wide(path_)));
  EXPECT_EQ(ts::process_thread_count(), before);  // no thread until something needs the pool
  volume.start_loader();
  // Eight workers; the preload thread ends at once (an empty pool is complete).
  EXPECT_EQ(volume.loader().thread_count(), 9u);
  EXPECT_GE(ts::process_thread_count(), before + 8);
  const std::string opened = capture.text();
  EXPECT_TRUE(volume.hr_close() && volume.hr_close());
  EXPECT_EQ(ts::process_thread_count(), before);
  EXPECT_EQ(capture.text(), opened);  // close does not log
}

}  // namespace
}  // namespace QVX::CT
