// Node requests: collecting them per depth, finding nodes by position, filling a pooled
// brick's border from its neighbours and working through batches.
#include "ct/node_requests.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <filesystem>
#include <limits>
#include <memory>
#include <mutex>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "base/event.h"
#include "ct/hr_volume.h"
#include "ct/loader.h"
#include "tests/support/capture_stdout.h"
#include "tests/support/hr_files.h"
#include "tests/support/temp_dir.h"

namespace QVX::CT {
namespace {

namespace ts = QVX::TestSupport;
using QVX::Tools::HRChecksumWord;
using QVX::Tools::HRNodeKey;
using QVX::Tools::HRWriteOptions;

constexpr uint32_t kEdge = 128;  // 4 x 4 x 4 bricks at the finest depth, 2

// Exact and distinct for every voxel of a 128^3 volume, and never 0.
float voxel(uint32_t x, uint32_t y, uint32_t z) {
  return static_cast<float>(x + kEdge * y + kEdge * kEdge * z + 1);
}

class NodeRequestTest : public ::testing::Test {
 protected:
  // Writes and opens the volume; an empty force pass takes the place of the background
  // preload, so only idle workers run and the pool (of `capacity` bricks) is the test's.
  void open(HRWriteOptions options, uint64_t capacity) {
    options.voxel = voxel;
    std::string error;
    ASSERT_TRUE(QVX::Tools::write_hr_volume(path_, options, nullptr, &error)) << error;
    ts::CaptureStdout quiet;
    ASSERT_TRUE(volume_.open_existing(std::wstring(path_.begin(), path_.end())));
    volume_.loader().stop_loader();
    volume_.loader().set_force_preload(true);
    volume_.loader().start_loader();
    volume_.loader().force_done().wait();
    std::lock_guard<std::mutex> lock(volume_.pool_lock());
    ASSERT_TRUE(volume_.brick_pool().set_capacity(capacity));
  }
  void open_cube(uint64_t capacity) { open(ts::hr_options(kEdge, kEdge, kEdge), capacity); }

  // Descends by the bits of the location code, independently of the code under test.
  HRNode* node_at(uint32_t depth, uint32_t x, uint32_t y, uint32_t z) {
    HRNode* node = &volume_.root();
    for (uint32_t s = depth; s-- > 0 && node->children != nullptr;) {
      node = &node->children->nodes[child_index((x >> s) & 1, (y >> s) & 1, (z >> s) & 1)];
    }
    return node;
  }
  NodeRequest request(uint32_t depth, uint32_t x, uint32_t y, uint32_t z) {
    const double h = std::ldexp(1.0, -static_cast<int>(depth));
    return {node_at(depth, x, y, z), depth, {(x + 0.5) * h, (y + 0.5) * h, (z + 0.5) * h}, true};
  }
  bool load(NodeRequest& r) {
    std::lock_guard<std::mutex> lock(volume_.pool_lock());
    return volume_.brick_pool().pool_load(r);
  }
  bool border(const NodeRequest& r) {
    std::lock_guard<std::mutex> lock(volume_.pool_lock());
    return fill_border(volume_, r);
  }
  // Border elements of the finest node (cx, cy, cz) that differ from the voxels around it
  // (0.0 outside the volume).
  int border_mismatches(uint32_t cx, uint32_t cy, uint32_t cz) {
    const PoolBrick& brick = *node_at(2, cx, cy, cz)->brick;
    int wrong = 0;
    for (uint32_t z = 0; z < kPoolBrickEdge; ++z) {
      for (uint32_t y = 0; y < kPoolBrickEdge; ++y) {
        for (uint32_t x = 0; x < kPoolBrickEdge; ++x) {
          if (x % 33 != 0 && y % 33 != 0 && z % 33 != 0) continue;
          const int64_t g[3] = {32 * int64_t{cx} + x - 1, 32 * int64_t{cy} + y - 1,
                                32 * int64_t{cz} + z - 1};
          bool inside = true;
          for (int64_t c : g) inside = inside && c >= 0 && c < kEdge;
          const float want = inside
                                 ? voxel(static_cast<uint32_t>(g[0]), static_cast<uint32_t>(g[1]),
                                         static_cast<uint32_t>(g[2]))
                                 : 0.0f;
          wrong += brick.at(x, y, z) != want;
        }
      }
    }
    return wrong;
  }

  ts::TempDir dir_;
  const std::string path_ = dir_.file("volume.hr");
  // For batches queued to the workers; they outlive the workers, which the volume joins.
  Base::ManualResetEvent done_;
  std::vector<NodeRequest> bad_;
  HRVolume volume_;
};

TEST_F(NodeRequestTest, FindNodeNormalisedDescendsByOctant) {
  HRWriteOptions options = ts::hr_options(kEdge, kEdge, kEdge);
  options.no_brick = [](const HRNodeKey& k) { return k == HRNodeKey{1, 1, 1, 1}; };
  ASSERT_NO_FATAL_FAILURE(open(options, 0));
  const double nan = std::numeric_limits<double>::quiet_NaN();
  EXPECT_EQ(find_node_normalised(volume_, {0.75, 0.25, 0.6}, 1), node_at(1, 1, 0, 1));
  EXPECT_EQ(find_node_normalised(volume_, {0.3, 0.6, 0.9}, 2), node_at(2, 1, 2, 3));
  EXPECT_EQ(find_node_normalised(volume_, {0.5, 0.5, 0.5}, 0), &volume_.root());
  EXPECT_EQ(find_node_normalised(volume_, {1.0, 0.5, 0.5}, 1), nullptr);
  EXPECT_EQ(find_node_normalised(volume_, {0.5, nan, 0.5}, 1), nullptr);
  EXPECT_EQ(find_node_normalised(volume_, {0.5, 0.5, -0.01}, 1), nullptr);
  EXPECT_EQ(find_node_normalised(volume_, {0.9, 0.9, 0.9}, 1), nullptr);  // no brick
  EXPECT_EQ(find_node_normalised(volume_, {0.1, 0.1, 0.1}, 3), nullptr);  // below the tree
}

TEST_F(NodeRequestTest, EveryRequestLeadsBackToItsNode) {
  // Not a power of two, and normalised by an extent that is not the root's.
  HRWriteOptions options = ts::hr_options(100, 70, 40);
  options.hr_vmax = {{100.0, 70.0, 40.0}};
  options.no_brick = [](const HRNodeKey& k) { return k == HRNodeKey{2, 3, 0, 1}; };
  ASSERT_NO_FATAL_FAILURE(open(options, 0));
  ASSERT_EQ(volume_.max_depth(), 2u);
  std::vector<NodeRequest> requests;
  collect_requests(volume_, requests, 0);
  EXPECT_TRUE(requests.empty());
  for (uint32_t depth = 1; depth <= 2; ++depth) {
    requests.clear();
    collect_requests(volume_, requests, depth);
    EXPECT_EQ(requests.size(), depth == 1 ? 8u : 63u);
    for (const NodeRequest& r : requests) {
      EXPECT_EQ(find_node_normalised(volume_, r.position, depth), r.node);
      EXPECT_EQ(r.depth, depth);
    }
  }
}

TEST_F(NodeRequestTest, CornerBorderIsZeroOutsideAndNeighbourVoxelsInside) {
  ASSERT_NO_FATAL_FAILURE(open_cube(1));
  NodeRequest corner = request(2, 0, 0, 0);
  ASSERT_TRUE(load(corner));
  ASSERT_TRUE(border(corner));
  const PoolBrick& brick = *corner.node->brick;
  EXPECT_EQ(brick.bordered, 1);
  EXPECT_EQ(brick.at(0, 5, 7), 0.0f);
  EXPECT_EQ(brick.at(33, 0, 33), 0.0f);
  EXPECT_EQ(brick.at(5, 7, 33), voxel(4, 6, 32));
  EXPECT_EQ(brick.at(33, 33, 33), voxel(32, 32, 32));
  EXPECT_EQ(border_mismatches(0, 0, 0), 0);
  std::vector<NodeRequest> requests;  // bordered now, so no longer asked for
  collect_requests(volume_, requests, 2);
  EXPECT_EQ(requests.size(), 63u);
}

TEST_F(NodeRequestTest, InteriorBorderFromPoolAndFileAlike) {
  ASSERT_NO_FATAL_FAILURE(open_cube(27));
  NodeRequest middle = request(2, 1, 1, 1);
  ASSERT_TRUE(load(middle));
  ASSERT_TRUE(border(middle));
  PoolBrick& brick = *middle.node->brick;
  EXPECT_EQ(brick.at(0, 5, 7), voxel(31, 32 + 4, 32 + 6));   // -x: (31, 4, 6)
  EXPECT_EQ(brick.at(5, 7, 33), voxel(32 + 4, 32 + 6, 64));  // +z: (4, 6, 0)
  EXPECT_EQ(brick.at(33, 0, 33), voxel(64, 31, 64));         // (+1, -1, +1)
  EXPECT_EQ(border_mismatches(1, 1, 1), 0);

  // The neighbours on the -x side into the pool; a changed voxel shows which copy is read.
  for (uint32_t n = 0; n < 9; ++n) {
    NodeRequest r = request(2, 0, n % 3, n / 3);
    ASSERT_TRUE(load(r));
  }
  brick.bordered = 0;
  ASSERT_TRUE(border(middle));
  EXPECT_EQ(border_mismatches(1, 1, 1), 0);

  node_at(2, 0, 1, 1)->brick->at(32, 5, 7) = -1.0f;
  brick.bordered = 0;
  ASSERT_TRUE(border(middle));
  EXPECT_EQ(brick.at(0, 5, 7), -1.0f);
  brick.at(0, 5, 7) = 42.0f;  // already bordered: left alone
  ASSERT_TRUE(border(middle));
  EXPECT_EQ(brick.at(0, 5, 7), 42.0f);
}

TEST_F(NodeRequestTest, NeighbourRecordBeyondTheFileCountsAsMissing) {
  HRWriteOptions options = ts::hr_options(kEdge, kEdge, kEdge);
  options.brick_past_end = [](const HRNodeKey& k) { return k == HRNodeKey{2, 2, 1, 1}; };
  ASSERT_NO_FATAL_FAILURE(open(options, 1));
  NodeRequest r = request(2, 1, 1, 1);
  ASSERT_TRUE(load(r));
  ts::CaptureStdout capture;
  ASSERT_TRUE(border(r));
  EXPECT_EQ(capture.text(), "");
  EXPECT_EQ(r.node->brick->at(33, 5, 7), 0.0f);
  EXPECT_EQ(r.node->brick->at(0, 5, 7), voxel(31, 36, 38));
}

TEST_F(NodeRequestTest, FileShrunkWhileMappedFailsTheBorder) {
  ASSERT_NO_FATAL_FAILURE(open_cube(1));
  NodeRequest r = request(2, 1, 1, 1);
  ASSERT_TRUE(load(r));
  // Neighbours with another parent stand after the node's own record.
  std::filesystem::resize_file(path_, r.node->brick_offset + kBrickDataBytes);
  ts::CaptureStdout capture;
  EXPECT_FALSE(border(r));
  EXPECT_TRUE(std::regex_match(ts::strip_timestamps(capture.text()),
                               std::regex("FAILED to read brick at offset [0-9]+ \\(7\\)\n")))
      << capture.text();
  EXPECT_EQ(r.node->brick->bordered, 0);
}

TEST_F(NodeRequestTest, BatchReportsProgressAfterOddLoadsAndEvenBorders) {
  ASSERT_NO_FATAL_FAILURE(open_cube(8));
  RequestBatch batch;
  // Given last to first in the file; worked through front to back.
  batch.requests = {request(1, 0, 1, 0), request(1, 1, 0, 0), request(1, 0, 0, 0)};
  batch.remaining = 3;
  std::vector<std::string> steps;
  batch.progress = [&](int32_t percent) {
    int loaded = 0, bordered = 0;
    for (const NodeRequest& r : batch.requests) {
      loaded += r.node->brick != nullptr;
      bordered += r.node->brick != nullptr && r.node->brick->bordered != 0;
    }
    steps.push_back(std::to_string(percent) + ":" + std::to_string(loaded) + "/" +
                    std::to_string(bordered));
  };
  EXPECT_TRUE(process_batch(volume_.loader(), batch));
  EXPECT_EQ(steps, (std::vector<std::string>{"33:2/0", "66:3/1", "100:3/3"}));
  EXPECT_EQ(batch.requests[0].node, node_at(1, 0, 0, 0));
  EXPECT_EQ(batch.requests[2].node, node_at(1, 0, 1, 0));
}

TEST_F(NodeRequestTest, EmptyPoolFailsTheBatch) {
  ASSERT_NO_FATAL_FAILURE(open_cube(0));
  RequestBatch batch;
  batch.requests.push_back(request(1, 0, 1, 0));
  ts::CaptureStdout capture;
  EXPECT_FALSE(process_batch(volume_.loader(), batch));
  EXPECT_EQ(ts::strip_timestamps(capture.text()),
            "FAILED to load brick at " + std::to_string(batch.requests[0].node->brick_offset) +
                " into pool: Capacity zero!\nFAILED to load requested node\n");
}

TEST_F(NodeRequestTest, CancelledOrStoppedBatchDoesNothing) {
  ASSERT_NO_FATAL_FAILURE(open_cube(8));
  RequestBatch batch;
  batch.requests.push_back(request(1, 0, 0, 0));
  int polls = 0;
  batch.cancel = [&] { return ++polls > 2; };  // the first load happens, then it stops
  ts::CaptureStdout capture;
  EXPECT_FALSE(process_batch(volume_.loader(), batch));
  EXPECT_NE(batch.requests[0].node->brick, nullptr);
  EXPECT_EQ(batch.requests[0].node->brick->bordered, 0);

  batch.cancel = nullptr;
  volume_.loader().stop_loader();
  batch.requests[0] = request(1, 1, 1, 1);
  EXPECT_FALSE(process_batch(volume_.loader(), batch));
  EXPECT_EQ(batch.requests[0].node->brick, nullptr);
  EXPECT_EQ(capture.text(), "");
}

TEST(ProgressStep, StepBeyondTheAnnouncedCountIsABugAndReports100) {
  RequestBatch batch;
  std::vector<int32_t> seen;
  batch.progress = [&](int32_t percent) { seen.push_back(percent); };
  batch.remaining = 1;
  ts::CaptureStdout capture;
  progress_step(batch);
  progress_step(batch);
  EXPECT_EQ(seen, (std::vector<int32_t>{100, 100}));
  EXPECT_EQ(batch.done, 2u);
  EXPECT_EQ(batch.remaining, 0u);
  EXPECT_TRUE(std::regex_match(ts::strip_timestamps(capture.text()),
                               std::regex("BUG: ct/hr_volume: [0-9]+\n")));
}

TEST_F(NodeRequestTest, WorkersProcessAQueuedBatchAndListItsBadRequests) {
  HRWriteOptions options = ts::hr_options(kEdge, kEdge, kEdge);
  options.checksum_word = [](const HRNodeKey& k) {
    return k == HRNodeKey{1, 1, 1, 0} ? HRChecksumWord::Wrong : HRChecksumWord::Correct;
  };
  ASSERT_NO_FATAL_FAILURE(open(options, 8));
  auto batch = std::make_unique<RequestBatch>();
  batch->requests = {request(1, 0, 0, 0), request(1, 1, 1, 0)};
  batch->done_event = &done_;
  batch->bad_requests = &bad_;
  ts::CaptureStdout capture;
  volume_.loader().queue_batch(std::move(batch));
  ASSERT_TRUE(done_.wait_for(30000));
  ASSERT_EQ(bad_.size(), 1u);
  EXPECT_EQ(bad_[0].node, node_at(1, 1, 1, 0));
  std::lock_guard<std::mutex> lock(volume_.pool_lock());
  EXPECT_EQ(volume_.brick_pool().used_count(), 2u);
  EXPECT_EQ(node_at(1, 0, 0, 0)->brick->bordered, 1);
  EXPECT_EQ(node_at(1, 1, 1, 0)->brick->bordered, 1);
  EXPECT_EQ(ts::strip_timestamps(capture.text()),
            "WARNING data verification for brick at " +
                std::to_string(node_at(1, 1, 1, 0)->brick_offset) + " FAILED...\n");
}

// Batches queued while the loader stops, and restarts in between, never leave a worker
// asleep through the stop or a waiter without its done event.
TEST_F(NodeRequestTest, StopsAmidQueuedBatchesJoinAndReleaseEveryWaiter) {
  ASSERT_NO_FATAL_FAILURE(open(ts::hr_options(kEdge, kEdge, kEdge), 0));
  Loader& loader = volume_.loader();
  for (int round = 0; round < 200; ++round) {
    std::vector<std::unique_ptr<Base::ManualResetEvent>> events;
    for (int i = 0; i < 8; ++i) events.push_back(std::make_unique<Base::ManualResetEvent>());
    std::thread producer([&] {
      for (auto& event : events) {
        auto batch = std::make_unique<RequestBatch>();
        batch->done_event = event.get();
        loader.queue_batch(std::move(batch));
      }
    });
    loader.stop_loader();
    producer.join();
    for (auto& event : events) ASSERT_TRUE(event->is_set()) << "round " << round;
    EXPECT_EQ(loader.thread_count(), 0u);
    loader.start_loader();
  }
}

}  // namespace
}  // namespace QVX::CT
