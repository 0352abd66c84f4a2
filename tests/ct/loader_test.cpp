// The loader's parts: node requests (per depth, by position), borders filled from the
// neighbours, batches worked through by the workers, and preload passes that take whole
// depths from the coarsest, log each depth and stop for worker batches or a stop.
#include "ct/loader.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <regex>
#include <thread>
#include <vector>

#include "ct/hr_volume.h"
#include "ct/node_requests.h"
#include "ct/preload.h"
#include "tests/support/ct_volumes.h"

namespace QVX::CT {
namespace {

namespace ts = QVX::TestSupport;
using QVX::Tools::HRChecksumWord;
using QVX::Tools::HRNodeKey;
using QVX::Tools::HRWriteOptions;

constexpr uint32_t kEdge = 128;  // 4 x 4 x 4 bricks at the finest depth, 2; 72 below the root

// Exact and distinct for every voxel of a 128^3 volume, and never 0.
float voxel(uint32_t x, uint32_t y, uint32_t z) {
  return static_cast<float>(x + kEdge * y + kEdge * kEdge * z + 1);
}

HRWriteOptions cube() {
  HRWriteOptions options = ts::hr_options(kEdge, kEdge, kEdge);
  options.voxel = voxel;
  return options;
}

// The log with timestamps removed and elapsed times as "T".
std::string log_of(ts::CaptureStdout& capture) {
  return std::regex_replace(ts::strip_timestamps(capture.text()),
                            std::regex("took [0-9]+\\.[0-9]s"), "took T");
}

// An open volume whose loader runs idle workers only: an empty force pass takes the place
// of the background preload, so the pool of `capacity` bricks and every pass are the
// test's. Passes the test runs are background passes.
class LoaderTest : public ::testing::Test {
 protected:
  ~LoaderTest() override {
    release_.set();  // a blocked worker ends before the events go
    loader().stop_loader();
  }
  void open(const HRWriteOptions& options, uint64_t capacity) {
    ts::write_hr(path_, options);
    ts::CaptureStdout quiet;
    ASSERT_TRUE(volume_.open_existing(ts::wide(path_)));
    loader().stop_loader();
    loader().set_force_preload(true);
    loader().start_loader();
    loader().force_done().wait();
    loader().set_force_preload(false);
    set_capacity(capacity);
  }
  void set_capacity(uint64_t capacity) {
    std::lock_guard<std::mutex> lock(volume_.pool_lock());
    ASSERT_TRUE(volume_.brick_pool().set_capacity(capacity));
  }
  Loader& loader() { return volume_.loader(); }

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
  // Border elements of the finest node (cx, cy, cz) that differ from the voxels around it
  // (0.0 outside the volume).
  int border_mismatches(uint32_t cx, uint32_t cy, uint32_t cz) {
    const PoolBrick& brick = *node_at(2, cx, cy, cz)->brick;
    int wrong = 0;
    for (uint32_t i = 0; i < kPoolBrickSamples; ++i) {
      const uint32_t x = i % 34, y = i / 34 % 34, z = i / (34 * 34);
      if (x % 33 != 0 && y % 33 != 0 && z % 33 != 0) continue;
      const int64_t g[3] = {32 * int64_t{cx} + x - 1, 32 * int64_t{cy} + y - 1,
                            32 * int64_t{cz} + z - 1};
      const bool inside = std::all_of(g, g + 3, [](int64_t c) { return c >= 0 && c < kEdge; });
      const auto u = [&](int a) { return static_cast<uint32_t>(g[a]); };
      wrong += brick.samples[i] != (inside ? voxel(u(0), u(1), u(2)) : 0.0f);
    }
    return wrong;
  }
  PreloadPlan build() {
    PreloadPlan plan;
    std::lock_guard<std::mutex> lock(volume_.pool_lock());
    build_preload_plan(loader(), plan);
    return plan;
  }
  static std::vector<size_t> sizes(const PreloadPlan& plan) {
    std::vector<size_t> out;
    for (const PreloadStep& step : plan)
      out.push_back(step.batch ? step.batch->requests.size() : 0);
    return out;
  }
  uint64_t bordered_count() {
    std::lock_guard<std::mutex> lock(volume_.pool_lock());
    uint64_t count = 0;
    for (const HRNode* node : volume_.brick_pool().used_list()) count += node->brick->bordered;
    return count;
  }

  ts::TempDir dir_;
  const std::string path_ = dir_.file("volume.hr");
  // For batches given to the workers: they outlive the workers, which the volume joins.
  Base::ManualResetEvent done_, entered_, release_;
  std::vector<NodeRequest> bad_;
  HRVolume volume_;
};

TEST_F(LoaderTest, BorderIsZeroOutsideAndNeighbourVoxelsFromPoolOrFile) {
  ASSERT_NO_FATAL_FAILURE(open(cube(), 28));
  std::lock_guard<std::mutex> lock(volume_.pool_lock());  // the workers are idle
  BrickPool& pool = volume_.brick_pool();
  NodeRequest corner = request(2, 0, 0, 0), middle = request(2, 1, 1, 1);
  ASSERT_TRUE(pool.pool_load(corner) && fill_border(volume_, corner) && pool.pool_load(middle) &&
              fill_border(volume_, middle));
  EXPECT_EQ(border_mismatches(0, 0, 0), 0);
  EXPECT_EQ(border_mismatches(1, 1, 1), 0);
  std::vector<NodeRequest> requests;  // bordered now, so no longer asked for
  collect_requests(volume_, requests, 2);
  EXPECT_EQ(requests.size(), 62u);

  // The neighbours on the -x side into the pool; a changed voxel shows which copy is read.
  PoolBrick& brick = *middle.node->brick;
  for (uint32_t n = 0; n < 9; ++n) {
    NodeRequest r = request(2, 0, n % 3, n / 3);
    ASSERT_TRUE(pool.pool_load(r));
  }
  node_at(2, 0, 1, 1)->brick->at(32, 5, 7) = -1.0f;
  brick.bordered = 0;
  ASSERT_TRUE(fill_border(volume_, middle));
  EXPECT_EQ(brick.at(0, 5, 7), -1.0f);
  EXPECT_EQ(border_mismatches(1, 1, 1), 1);
  brick.at(0, 5, 7) = 42.0f;  // already bordered: left alone
  ASSERT_TRUE(fill_border(volume_, middle));
  EXPECT_EQ(brick.at(0, 5, 7), 42.0f);
}

// Batches queued while the loader stops, and restarts in between, never leave a worker
// asleep through the stop or a waiter without its done event.
TEST_F(LoaderTest, StopsAmidQueuedBatchesJoinAndReleaseEveryWaiter) {
  ASSERT_NO_FATAL_FAILURE(open(cube(), 0));
  for (int round = 0; round < 200; ++round) {
    std::vector<Base::ManualResetEvent> events(8);
    std::thread producer([&] {
      for (auto& event : events) {
        auto batch = std::make_unique<RequestBatch>();
        batch->done_event = &event;
        loader().queue_batch(std::move(batch));
      }
    });
    loader().stop_loader();
    producer.join();
    for (auto& event : events) ASSERT_TRUE(event.is_set()) << "round " << round;
    EXPECT_EQ(loader().thread_count(), 0u);
    loader().start_loader();
  }
}

TEST_F(LoaderTest, PlanCutsTheFirstDepthThatDoesNotFitAndPassLogsEachDepth) {
  HRWriteOptions options = cube();
  options.checksum_word = [](const HRNodeKey& k) {
    return k.depth == 1 && k.x == 1 && k.y == 0 ? HRChecksumWord::Wrong : HRChecksumWord::Correct;
  };
  // A plan takes whole depths and cuts the first that does not fit.
  ASSERT_NO_FATAL_FAILURE(open(options, 40));
  PreloadPlan plan = build();
  EXPECT_EQ(sizes(plan), (std::vector<size_t>{0, 8, 32}));
  std::vector<NodeRequest> depth2;  // the first of the depth
  collect_requests(volume_, depth2, 2);
  EXPECT_EQ(plan[2].batch->requests.back().node, depth2[31].node);
  ASSERT_NO_FATAL_FAILURE(set_capacity(8));
  EXPECT_EQ(sizes(build()), (std::vector<size_t>{0, 8, 0}));
  ASSERT_NO_FATAL_FAILURE(set_capacity(100));
  plan = build();
  const std::string b1 = std::to_string(volume_.root().children->nodes[1].brick_offset);
  const std::string b5 = std::to_string(volume_.root().children->nodes[5].brick_offset);
  ts::CaptureStdout capture;
  EXPECT_TRUE(run_preload_plan(loader(), plan));
  EXPECT_EQ(log_of(capture),
            "Preloading depth 1, 8 bricks \nWARNING data verification for brick at " + b1 +
                " FAILED...\nWARNING data verification for brick at " + b5 +
                " FAILED...\nInvalid request found at depth 1, offset " + b1 +
                "\nInvalid request found at depth 1, offset " + b5 +
                "\n2 bad requests found during preload...\nDone preloading depth 1, took T\n"
                "Preloading depth 2, 64 bricks \nDone preloading depth 2, took T\n");
  EXPECT_EQ(sizes(plan), (std::vector<size_t>{0, 0, 0}));
  EXPECT_EQ(bordered_count(), 72u);
}

// A worker batch holds its worker until release_; meanwhile it cancels every preload
// depth, whatever volume it belongs to. Then it loads its requests and lists the bad one.
TEST_F(LoaderTest, WorkersProcessAQueuedBatchWhichCancelsPreloadUntilItEnds) {
  HRWriteOptions options = cube();
  options.checksum_word = [](const HRNodeKey& k) {
    return k == HRNodeKey{1, 1, 1, 0} ? HRChecksumWord::Wrong : HRChecksumWord::Correct;
  };
  ASSERT_NO_FATAL_FAILURE(open(options, 100));
  PreloadPlan plan = build();
  auto batch = std::make_unique<RequestBatch>();
  batch->requests = {request(1, 0, 0, 0), request(1, 1, 1, 0)};
  batch->cancel = [this] {
    entered_.set();
    release_.wait();
    return false;
  };
  batch->done_event = &done_;
  batch->bad_requests = &bad_;
  ts::CaptureStdout capture;
  loader().queue_batch(std::move(batch));
  ASSERT_TRUE(entered_.wait_for(30000));
  {
    // The count of active batches is shared by every volume: another volume's start
    // must not wipe it out.
    HRVolume other;
    ASSERT_TRUE(other.open_existing(ts::wide(path_)));
  }
  EXPECT_FALSE(run_preload_plan(loader(), plan));
  EXPECT_NE(log_of(capture).find("Preloading depth 1, 8 bricks \n"
                                 "Cancelled preloading depth 1, took T\n"),
            std::string::npos);
  EXPECT_EQ(sizes(plan), (std::vector<size_t>{0, 8, 64}));
  EXPECT_EQ(bordered_count(), 0u);

  release_.set();
  ASSERT_TRUE(done_.wait_for(30000));
  EXPECT_EQ(active_requests(), 0u);
  ASSERT_EQ(bad_.size(), 1u);
  EXPECT_EQ(bad_[0].node, node_at(1, 1, 1, 0));
  EXPECT_EQ(bordered_count(), 2u);
  EXPECT_NE(capture.text().find("WARNING data verification for brick at " +
                                std::to_string(node_at(1, 1, 1, 0)->brick_offset) + " FAILED...\n"),
            std::string::npos);
  EXPECT_TRUE(run_preload_plan(loader(), plan));
  EXPECT_EQ(bordered_count(), 72u);
}

// The force thread plans and runs one pass; a stop while it runs ends it after the
// current single load or border step.
TEST_F(LoaderTest, StopDuringAForcePassEndsItBetweenSteps) {
  ASSERT_NO_FATAL_FAILURE(open(ts::hr_options(256, 256, 64), 0));  // 584 bricks below the root
  loader().stop_loader();
  loader().set_force_preload(true);
  ASSERT_NO_FATAL_FAILURE(set_capacity(600));
  ts::CaptureStdout capture;
  loader().start_loader();
  ASSERT_TRUE(loader().force_counted().wait_for(60000));
  {
    // Holding the pool lock keeps the pass at its current step while the stop is given.
    std::unique_lock<std::mutex> hold(volume_.pool_lock());
    std::thread stopper([this] { loader().stop_loader(); });
    while (loader().running()) std::this_thread::yield();
    hold.unlock();
    stopper.join();
  }
  EXPECT_EQ(loader().thread_count(), 0u);
  EXPECT_EQ(loader().force_total.load(), 584u);
  EXPECT_LT(loader().force_loaded.load(), 584u);
  EXPECT_NE(log_of(capture).find("Cancelled force preloading depth "), std::string::npos)
      << capture.text();
}

}  // namespace
}  // namespace QVX::CT
