// Preload plans: whole depths from the coarsest cut at the pool's free slots, passes that
// log each depth, report bad bricks, and stop for worker batches, a stop or a failure.
#include "ct/preload.h"

#include <gtest/gtest.h>

#include <memory>
#include <mutex>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "base/event.h"
#include "ct/hr_volume.h"
#include "ct/loader.h"
#include "ct/node_requests.h"
#include "tests/support/capture_stdout.h"
#include "tests/support/hr_files.h"
#include "tests/support/temp_dir.h"

namespace QVX::CT {
namespace {

namespace ts = QVX::TestSupport;
using QVX::Tools::HRChecksumWord;
using QVX::Tools::HRNodeKey;
using QVX::Tools::HRWriteOptions;

// The log with timestamps removed, elapsed times as "T" and the priority warning of a
// process without the privilege to raise it dropped.
std::string log_of(ts::CaptureStdout& capture) {
  std::string text = ts::strip_timestamps(capture.text());
  text = std::regex_replace(text, std::regex("took [0-9]+\\.[0-9]s"), "took T");
  return std::regex_replace(text, std::regex("FAILED to raise force preload thread priority\n"),
                            "");
}

class PreloadTest : public ::testing::Test {
 protected:
  ~PreloadTest() override { release_.set(); }

  // Writes and opens the volume, then lets an empty force pass take the place of the
  // background preload, so the test alone plans and runs passes on a pool of `capacity`.
  void open(HRWriteOptions options, uint64_t capacity) {
    std::string error;
    ASSERT_TRUE(QVX::Tools::write_hr_volume(path_, options, nullptr, &error)) << error;
    ts::CaptureStdout quiet;
    ASSERT_TRUE(volume_.open_existing(std::wstring(path_.begin(), path_.end())));
    loader().stop_loader();
    loader().set_force_preload(true);
    loader().start_loader();
    loader().force_done().wait();
    set_capacity(capacity);
  }
  void set_capacity(uint64_t capacity) {
    std::lock_guard<std::mutex> lock(volume_.pool_lock());
    ASSERT_TRUE(volume_.brick_pool().set_capacity(capacity));
  }
  PreloadPlan build() {
    PreloadPlan plan;
    std::lock_guard<std::mutex> lock(volume_.pool_lock());
    build_preload_plan(loader(), plan);
    return plan;
  }
  std::vector<size_t> sizes(const PreloadPlan& plan) {
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
  Loader& loader() { return volume_.loader(); }

  // Queues a worker batch that blocks until release_ and waits until a worker runs it.
  void block_a_worker() {
    auto blocker = std::make_unique<RequestBatch>();
    blocker->cancel = [this] {
      entered_.set();
      release_.wait();
      return true;
    };
    blocker->done_event = &finished_;
    loader().queue_batch(std::move(blocker));
    ASSERT_TRUE(entered_.wait_for(30000));
  }

  ts::TempDir dir_;
  const std::string path_ = dir_.file("volume.hr");
  // The blocking batch's events: entered_ once it runs, finished_ after.
  Base::ManualResetEvent entered_, finished_, release_;
  HRVolume volume_;
};

TEST_F(PreloadTest, PlanTakesWholeDepthsAndCutsTheFirstThatDoesNotFit) {
  ASSERT_NO_FATAL_FAILURE(open(ts::hr_options(256, 256, 256), 100));
  PreloadPlan plan = build();
  EXPECT_EQ(sizes(plan), (std::vector<size_t>{0, 8, 64, 28}));
  ASSERT_TRUE(plan[3].batch);
  const RequestBatch& cut = *plan[3].batch;
  std::vector<NodeRequest> depth3;
  collect_requests(volume_, depth3, 3);
  ASSERT_EQ(depth3.size(), 512u);
  for (size_t i = 0; i < cut.requests.size(); ++i) EXPECT_EQ(cut.requests[i].node, depth3[i].node);
  EXPECT_EQ(cut.bad_requests, &plan[3].bad_requests);
  EXPECT_TRUE(cut.cancel);
  EXPECT_FALSE(cut.cancel());  // no worker batch is active
  EXPECT_FALSE(cut.progress);
  EXPECT_EQ(cut.done_event, nullptr);

  ASSERT_NO_FATAL_FAILURE(set_capacity(72));
  EXPECT_EQ(sizes(build()), (std::vector<size_t>{0, 8, 64, 0}));
  ASSERT_NO_FATAL_FAILURE(set_capacity(0));
  EXPECT_EQ(sizes(build()), (std::vector<size_t>{0, 0, 0, 0}));
}

TEST_F(PreloadTest, PassLogsEachDepthWithItsBadRequestsAndEmptiesThePlan) {
  HRWriteOptions options = ts::hr_options(128, 128, 128);
  options.checksum_word = [](const HRNodeKey& k) {
    return k.depth == 1 && k.x == 1 && k.y == 0 ? HRChecksumWord::Wrong : HRChecksumWord::Correct;
  };
  ASSERT_NO_FATAL_FAILURE(open(options, 100));
  loader().set_force_preload(false);
  PreloadPlan plan = build();
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
  EXPECT_TRUE(plan[1].bad_requests.empty());
  EXPECT_EQ(bordered_count(), 72u);
  EXPECT_EQ(sizes(build()), (std::vector<size_t>{0, 0, 0}));
}

TEST_F(PreloadTest, ActiveWorkerBatchCancelsTheDepthUntilItEnds) {
  ASSERT_NO_FATAL_FAILURE(open(ts::hr_options(128, 128, 128), 100));
  loader().set_force_preload(false);
  PreloadPlan plan = build();
  ASSERT_NO_FATAL_FAILURE(block_a_worker());

  ts::CaptureStdout capture;
  EXPECT_FALSE(run_preload_plan(loader(), plan));
  EXPECT_EQ(log_of(capture),
            "Preloading depth 1, 8 bricks \nCancelled preloading depth 1, took T\n");
  EXPECT_EQ(sizes(plan), (std::vector<size_t>{0, 8, 64}));
  EXPECT_EQ(bordered_count(), 0u);

  release_.set();
  ASSERT_TRUE(finished_.wait_for(30000));
  EXPECT_TRUE(run_preload_plan(loader(), plan));
  EXPECT_EQ(bordered_count(), 72u);
}

// The count of active worker batches is shared by every volume; starting another
// volume's loader must not wipe out a batch that is running.
TEST_F(PreloadTest, StartingAnotherLoaderKeepsTheActiveBatchCount) {
  ASSERT_NO_FATAL_FAILURE(open(ts::hr_options(40, 40, 40), 0));
  ASSERT_NO_FATAL_FAILURE(block_a_worker());
  const uint64_t active = active_requests();
  EXPECT_GE(active, 1u);
  {
    ts::CaptureStdout quiet;
    HRVolume other;
    ASSERT_TRUE(other.open_existing(std::wstring(path_.begin(), path_.end())));
    EXPECT_EQ(active_requests(), active);
  }
  release_.set();
  ASSERT_TRUE(finished_.wait_for(30000));
  EXPECT_EQ(active_requests(), active - 1);
}

// A stop while a pass runs ends it after the current single load or border step.
TEST_F(PreloadTest, StopDuringAPassEndsItBetweenSteps) {
  ASSERT_NO_FATAL_FAILURE(open(ts::hr_options(256, 256, 64), 0));  // 584 bricks below the root
  loader().stop_loader();
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

TEST_F(PreloadTest, StoppedLoaderCancelsAForcePassAfterCounting) {
  ASSERT_NO_FATAL_FAILURE(open(ts::hr_options(128, 128, 128), 100));
  PreloadPlan plan = build();
  loader().stop_loader();
  loader().force_counted().reset();
  loader().force_loaded = 5;
  ts::CaptureStdout capture;
  EXPECT_FALSE(run_preload_plan(loader(), plan));
  EXPECT_EQ(log_of(capture),
            "Force preloading depth 1, 8 bricks \nCancelled force preloading depth 1, took T\n");
  EXPECT_TRUE(loader().force_counted().is_set());
  EXPECT_EQ(loader().force_total.load(), 72u);
  EXPECT_EQ(loader().force_loaded.load(), 0u);
}

TEST_F(PreloadTest, FailedLoadCancelsTheDepth) {
  HRWriteOptions options = ts::hr_options(128, 128, 128);
  options.brick_past_end = [](const HRNodeKey& k) { return k == HRNodeKey{1, 0, 0, 0}; };
  ASSERT_NO_FATAL_FAILURE(open(options, 100));
  loader().set_force_preload(false);
  PreloadPlan plan = build();
  const std::string offset = std::to_string(volume_.root().children->nodes[0].brick_offset);
  ts::CaptureStdout capture;
  EXPECT_FALSE(run_preload_plan(loader(), plan));
  EXPECT_TRUE(std::regex_match(
      log_of(capture),
      std::regex("Preloading depth 1, 8 bricks \nFAILED to read brick at offset " + offset +
                 " \\([0-9A-F]+\\)\nFAILED to load new brick at " + offset +
                 " into pool\nFAILED to load requested node\nCancelled preloading depth 1, took "
                 "T\n")))
      << capture.text();
  EXPECT_EQ(sizes(plan), (std::vector<size_t>{0, 8, 64}));
  std::lock_guard<std::mutex> lock(volume_.pool_lock());
  EXPECT_EQ(volume_.brick_pool().used_count(), 7u);
}

TEST_F(PreloadTest, ForceThreadRunsOnePassAndSetsDone) {
  ASSERT_NO_FATAL_FAILURE(open(ts::hr_options(128, 128, 128), 0));
  loader().stop_loader();
  ASSERT_NO_FATAL_FAILURE(set_capacity(100));
  ts::CaptureStdout capture;
  loader().start_loader();
  ASSERT_TRUE(loader().force_done().wait_for(60000));
  EXPECT_TRUE(loader().force_counted().is_set());
  EXPECT_EQ(loader().force_total.load(), 72u);
  EXPECT_EQ(loader().force_loaded.load(), 72u);
  EXPECT_EQ(log_of(capture),
            "Force preloading depth 1, 8 bricks \nDone force preloading depth 1, took T\n"
            "Force preloading depth 2, 64 bricks \nDone force preloading depth 2, took T\n");
  EXPECT_EQ(bordered_count(), 72u);
}

}  // namespace
}  // namespace QVX::CT
