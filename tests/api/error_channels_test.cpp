// What reaches a caller: the text of a failure's first "FAILED" entry and the system error
// behind it, per thread, and every log entry through a callback.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>

#include <atomic>
#include <cerrno>
#include <string>
#include <thread>
#include <vector>

#include "qvx_ozk.h"
#include "tests/support/capture_stdout.h"
#include "tests/support/temp_dir.h"

namespace {

namespace ts = QVX::TestSupport;

const float kPixels[4] = {1, 2, 3, 4};

bool open(qvx_ozk_volume* v, const std::string& path) {
  return qvx_ozk_volume_open(v, path.c_str());
}
bool save(qvx_ozk_volume*, const std::string& path) {
  return qvx_ozk_save_gray_tif32(path.c_str(), kPixels, 2, 2);
}
bool read(qvx_ozk_volume* v, const std::string&) {
  float out[1];
  return qvx_ozk_volume_read_slice(v, out, 0);
}

TEST(LastError, NamesTheFirstFailureOfTheLastCallAndItsSystemError) {
  ts::TempDir dir;
  ts::write_file(dir.file("plain.txt"), "this text names no kind of volume");
  const std::string d = dir.path();
  const bool full = mknod((d + "/full.tif.gz").c_str(), S_IFCHR | 0600, makedev(1, 7)) == 0;
  const struct {
    bool (*call)(qvx_ozk_volume*, const std::string&);
    std::string path;
    std::string text;  // the start of the failure's text
    int code;
  } cases[] = {
      {open, d + "/missing.raw", "FAILED to open existing HR Volume '" + d + "/missing.raw'",
       ENOENT},
      {open, d, "FAILED to read HR Volume file magic '" + d + "': Is a directory", EISDIR},
      {open, d + "/plain.txt", "FAILED to open volume '" + d + "/plain.txt': not a volume", 0},
      {read, "", "FAILED to read slice 0: no volume is open", 0},
      {save, d + "/no/such.tif", "FAILED to open tiff for writing '" + d + "/no/such.tif'", ENOENT},
      {save, d, "FAILED to write tiff '" + d + "'", EISDIR},
      {save, d + "/full.tif.gz", "FAILED to compress tiff", ENOSPC},  // a full device
  };
  qvx_ozk_volume* volume = qvx_ozk_volume_create();
  for (const auto& c : cases) {
    if (!full && c.code == ENOSPC) continue;  // making a device needs root
    EXPECT_FALSE(c.call(volume, c.path)) << c.path;
    EXPECT_EQ(std::string(qvx_ozk_last_error()).substr(0, c.text.size()), c.text);
    EXPECT_EQ(qvx_ozk_last_error_errno(), c.code) << c.text;
    // Another thread's failure is its own.
    std::thread([] {
      EXPECT_FALSE(save(nullptr, ""));
      EXPECT_EQ(qvx_ozk_last_error_errno(), ENOENT);
    }).join();
    EXPECT_EQ(std::string(qvx_ozk_last_error()).substr(0, c.text.size()), c.text);
    // The next call starts afresh, and a success leaves nothing.
    EXPECT_TRUE(qvx_ozk_volume_close(volume));
    EXPECT_STREQ(qvx_ozk_last_error(), "");
    EXPECT_EQ(qvx_ozk_last_error_errno(), 0);
  }
  qvx_ozk_volume_delete(volume);
}

// Unguarded on purpose: the library promises one call at a time.
struct Received {
  std::vector<std::string> entries;
  std::atomic<int> inside{0};
  std::atomic<bool> overlapped{false};
};

void receive(void* user, const char* entry) {
  auto* r = static_cast<Received*>(user);
  if (r->inside.fetch_add(1) != 0) r->overlapped = true;
  std::this_thread::yield();
  r->entries.emplace_back(entry);
  r->inside.fetch_sub(1);
}

TEST(LogCallback, TakesEveryEntryWholeAndOneAtATimeUntilReset) {
  ts::TempDir dir;
  const std::string missing = dir.file("no/such.tif");
  Received received;
  ts::CaptureStdout out;
  qvx_ozk_log_to_callback(receive, &received);
  std::vector<std::thread> threads;
  for (int i = 0; i < 4; ++i) {
    threads.emplace_back([&] {
      for (int k = 0; k < 20; ++k) EXPECT_FALSE(save(nullptr, missing));
    });
  }
  for (auto& t : threads) t.join();
  qvx_ozk_log_to_callback(nullptr, nullptr);
  EXPECT_FALSE(save(nullptr, missing));
  EXPECT_FALSE(received.overlapped);
  // Per save: libtiff's own error, ours, and the export's.
  ASSERT_EQ(received.entries.size(), 4u * 20 * 3);
  EXPECT_EQ(received.entries[0].substr(19),
            ": libtiff error: TIFFOpen: " + missing + ".part: No such file or directory\n");
  for (const std::string& e : received.entries) {
    EXPECT_EQ(e.find('\n'), e.size() - 1) << e;
  }
  // Standard output got only the entries after the reset.
  EXPECT_EQ(ts::strip_timestamps(out.text()).substr(0, 16), "libtiff error: T");
  EXPECT_EQ(out.text().find("FAILED to save image", out.text().find("FAILED to save image") + 1),
            std::string::npos);
}

}  // namespace
