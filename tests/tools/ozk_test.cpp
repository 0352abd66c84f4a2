// The ozk tool, run as a program on generated volumes: what it prints, the files it
// writes, and how it fails.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/external_tools.h"
#include "tests/support/hr_files.h"
#include "tests/support/temp_dir.h"
#include "tests/support/volume_writers.h"

extern char** environ;

namespace {

namespace fs = std::filesystem;
namespace ts = QVX::TestSupport;

struct Outcome {
  int status = -1;
  std::string out, err;
  // The last line on standard error: the tool's own message after any log entries.
  std::string last_error_line() const {
    std::istringstream lines(err);
    std::string line, last;
    while (std::getline(lines, line)) last = line;
    return last;
  }
};

std::string read_text(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream out;
  out << in.rdbuf();
  return out.str();
}

std::set<std::string> names_in(const std::string& directory) {
  std::set<std::string> names;
  for (const auto& entry : fs::directory_iterator(directory)) {
    names.insert(entry.path().filename().string());
  }
  return names;
}

class Ozk : public ::testing::Test {
 protected:
  // Header volume: 6 x 5 x 4 generated voxels over two slice files, and a data range that
  // splits slice 2 between rows 2 and 3 (values 2000 + x + z / 1000).
  std::string header_volume() {
    const std::vector<float> v = ts::generated_volume(6, 5, 4);
    const size_t per_slice = 6 * 4;
    ts::write_file(dir_.file("a.raw"), ts::f32_bytes({v.begin(), v.begin() + 2 * per_slice}));
    ts::write_file(dir_.file("b.raw"), ts::f32_bytes({v.begin() + 2 * per_slice, v.end()}));
    const std::string path = dir_.file("head.hdr");
    ts::write_file(path, ts::header_volume_text(6, 5, 4, {{"a.raw", 2}, {"b.raw", 3}},
                                                {"<DataRange>2002.5 2002.6</DataRange>"}));
    return path;
  }
  // Packed volume, 16-bit, gzipped, with corners.
  std::string packed_volume() {
    const std::string path = dir_.file("packed.pvol");
    ts::write_gzip_file(path, ts::packed_header(3, 2, 2, 16, {"Min: 0 0 0", "Max: 3 2 2.5"}) +
                                  ts::u16_bytes(std::vector<uint16_t>(12, 65535)));
    return path;
  }
  std::string hr_volume() {
    const std::string path = dir_.file("v.hrv");
    std::string error;
    EXPECT_TRUE(QVX::Tools::write_hr_volume(path, ts::hr_options(40, 33, 35, 3), nullptr, &error))
        << error;
    return path;
  }

  Outcome run(const std::string& arguments) {
    const std::string err_path = dir_.file("stderr.txt");
    Outcome result;
    result.status = ts::run_command(
        std::string(QVX_OZK_TOOL) + " " + arguments + " 2>'" + err_path + "'", &result.out);
    result.err = read_text(err_path);
    fs::remove(err_path);
    return result;
  }

  ts::TempDir dir_;
};

TEST_F(Ozk, InfoJsonHasEveryFieldForEachKind) {
  const std::string packed = packed_volume(), header = header_volume(), hr = hr_volume();
  const Outcome r = run("info --json " + packed + " " + header + " " + hr);
  ASSERT_EQ(r.status, 0) << r.err;
  const std::string size_of_packed = std::to_string(fs::file_size(packed));
  const std::string size_of_header = std::to_string(fs::file_size(header));
  std::istringstream lines(r.out);
  std::string line;
  ASSERT_TRUE(std::getline(lines, line));
  EXPECT_EQ(line, "{\"path\":\"" + packed +
                      "\",\"kind\":\"packed\",\"version\":null,\"width\":2,\"height\":3,"
                      "\"slices\":2,\"vmin\":[0,0,0],\"vmax\":[3,2,2.5],\"voxel_size\":null,"
                      "\"data_min\":0,\"data_max\":1,\"bits_per_sample\":16,\"files\":null,"
                      "\"levels\":[[2,3,2]],\"file_size\":" +
                      size_of_packed + "}");
  ASSERT_TRUE(std::getline(lines, line));
  EXPECT_EQ(line, "{\"path\":\"" + header +
                      "\",\"kind\":\"header\",\"version\":null,\"width\":4,\"height\":6,"
                      "\"slices\":5,\"vmin\":[0,0,0],\"vmax\":[0,0,0],\"voxel_size\":null,"
                      "\"data_min\":2002.5,\"data_max\":2002.6,\"bits_per_sample\":null,"
                      "\"files\":[\"a.raw\",\"b.raw\"],\"levels\":[[4,6,5]],\"file_size\":" +
                      size_of_header + "}");
  ASSERT_TRUE(std::getline(lines, line));
  for (const std::string& part :
       {std::string("\"kind\":\"hr\",\"version\":3,\"width\":35,\"height\":40,\"slices\":33,"),
        std::string("\"voxel_size\":[1,1,1],"),
        std::string("\"bits_per_sample\":null,\"files\":null,\"levels\":[[35,40,33],[18,20,17]],"
                    "\"file_size\":" +
                    std::to_string(fs::file_size(hr)) + "}")}) {
    EXPECT_NE(line.find(part), std::string::npos) << line;
  }
  EXPECT_FALSE(std::getline(lines, line)) << "more than one line per volume: " << line;
  // The HR open logs entries; they must not reach standard output.
  EXPECT_NE(r.err.find("HR Volume"), std::string::npos);
}

TEST_F(Ozk, InfoTextNamesKindRangeAndFiles) {
  const Outcome r = run("info " + header_volume());
  ASSERT_EQ(r.status, 0) << r.err;
  for (const char* part : {"kind:        header volume, 2 slice files\n",
                           "dimensions:  4 x 6 x 5 (width x height x slices)",
                           "data range:  2002.5 to 2002.6\n", "slice files: a.raw\n"}) {
    EXPECT_NE(r.out.find(part), std::string::npos) << part << " in\n" << r.out;
  }
}

TEST_F(Ozk, SliceTiffReadsBackBitForBit) {
  const std::string header = header_volume();
  const std::vector<float> v = ts::generated_volume(6, 5, 4);
  std::string hex;
  for (const unsigned char c : ts::f32_bytes({v.begin() + 2 * 24, v.begin() + 3 * 24})) {
    static const char* digits = "0123456789abcdef";
    hex += digits[c >> 4];
    hex += digits[c & 15];
  }
  for (const char* name : {"s.tif", "s.tif.gz"}) {
    ASSERT_EQ(run("slice " + header + " 2 " + dir_.file(name)).status, 0);
    const int status =
        ts::run_command(ts::crosscheck_command() + "verify " + dir_.file(name) + " 6 4 " + hex);
    QVX_REQUIRE_TOOL(status != 2 && status != 127, "python3-tifffile");
    EXPECT_EQ(status, 0) << name;
  }
}

TEST_F(Ozk, SlicePngAndBmpAreWindowed) {
  const std::string header = header_volume();
  // Rows x = 0..2 lie below the volume's range, rows 3..5 above; --window -1:0 puts all
  // above.
  ASSERT_EQ(run("slice " + header + " 2 " + dir_.file("s.png")).status, 0);
  ASSERT_EQ(run("slice --window=-1:0 " + header + " 2 " + dir_.file("s.bmp")).status, 0);
  std::string grays;
  const int status = ts::run_command(
      "/usr/bin/python3 -c \"import sys\ntry:\n from PIL import Image\nexcept ImportError:\n "
      "sys.exit(2)\nfor f in sys.argv[1:]:\n i = Image.open(f).convert('L')\n print(i.size, "
      "sorted(set(i.getdata())), list(i.getdata())[11:13])\" " +
          dir_.file("s.png") + " " + dir_.file("s.bmp"),
      &grays);
  QVX_REQUIRE_TOOL(status != 2, "python3-pil");
  EXPECT_EQ(grays, "(4, 6) [0, 255] [0, 255]\n(4, 6) [255] [255, 255]\n");
}

TEST_F(Ozk, ExportNamesFilesBySliceIndexPaddedToTheLastIndex) {
  const std::string header = header_volume();
  ASSERT_EQ(run("export " + header + " " + dir_.file("all")).status, 0);
  EXPECT_EQ(names_in(dir_.file("all")),
            (std::set<std::string>{"slice_0000.tif", "slice_0001.tif", "slice_0002.tif",
                                   "slice_0003.tif", "slice_0004.tif"}));
  const Outcome some =
      run("-q export --format png --slices 1:5:2 " + header + " " + dir_.file("some"));
  ASSERT_EQ(some.status, 0);
  EXPECT_EQ(some.err.find("slices"), std::string::npos) << "--quiet still shows progress";
  EXPECT_EQ(names_in(dir_.file("some")),
            (std::set<std::string>{"slice_0001.png", "slice_0003.png"}));

  const std::string tall = dir_.file("tall.pvol");
  ts::write_file(tall, ts::packed_header(1, 10001, 1, 8) + std::string(10001, '\x7f'));
  ASSERT_EQ(run("export --slices 9999: --format bmp " + tall + " " + dir_.file("tall")).status, 0);
  EXPECT_EQ(names_in(dir_.file("tall")),
            (std::set<std::string>{"slice_09999.bmp", "slice_10000.bmp"}));
}

TEST_F(Ozk, FailuresGiveOneLineAndExitCode) {
  const std::string header = header_volume();
  ts::write_file(dir_.file("junk.bin"), "no volume here");
  ts::write_file(dir_.file("file"), "a file, not a directory");
  const struct {
    std::string arguments;
    int status;
    std::string last_line;  // empty: a usage message from the parser
  } cases[] = {
      {"info " + dir_.file("missing.pvol"), 1,
       "ozk: cannot open '" + dir_.file("missing.pvol") + "': No such file or directory"},
      {"info " + dir_.file("junk.bin"), 1,
       "ozk: cannot open '" + dir_.file("junk.bin") + "': not a volume of a known kind"},
      {"slice " + header + " 5 " + dir_.file("x.tif"), 1,
       "ozk: cannot read slice 5 of '" + header +
           "': out of range (the volume has 5 slices, 0 to 4)"},
      {"export " + header + " " + dir_.file("file/sub"), 1,
       "ozk: cannot create directory '" + dir_.file("file/sub") + "': Not a directory"},
      {"slice --format png " + header + " 1 /dev/full", 1,
       "ozk: cannot write '/dev/full': No space left on device"},
      {"", 2, ""},
      {"slice " + header + " 1", 2, ""},
      {"slice " + header + " 1 " + dir_.file("x.jpg"), 2, ""},
      {"export --slices 3:1 " + header + " " + dir_.file("out"), 2, ""},
      {"export --format gif " + header + " " + dir_.file("out"), 2, ""},
  };
  for (const auto& c : cases) {
    const Outcome r = run(c.arguments);
    EXPECT_EQ(r.status, c.status) << c.arguments;
    EXPECT_EQ(r.out, "") << c.arguments;
    if (c.last_line.empty()) {
      EXPECT_NE(r.err.find("Run with --help"), std::string::npos) << c.arguments;
    } else {
      EXPECT_EQ(r.last_error_line(), c.last_line) << r.err;
    }
  }
  struct stat device {};
  ASSERT_EQ(stat("/dev/full", &device), 0);
  EXPECT_TRUE(S_ISCHR(device.st_mode)) << "a save replaced /dev/full";
  EXPECT_EQ(names_in(dir_.path()),
            (std::set<std::string>{"a.raw", "b.raw", "head.hdr", "junk.bin", "file"}));
}

// A file-size limit makes every write fail as a full disk would, in any file system.
TEST_F(Ozk, FullDiskLeavesNoFileBehind) {
  const std::string header = header_volume();
  for (const char* format : {"tif", "png", "bmp"}) {
    const std::string out = dir_.file(std::string("out_") + format);
    const std::string shell = std::string("sh -c \"ulimit -f 0; exec ") + QVX_OZK_TOOL +
                              " --quiet export --format " + format + " " + header + " " + out +
                              "\" 2>&1";
    std::string output;
    EXPECT_EQ(ts::run_command(shell, &output), 1) << output;
    EXPECT_NE(
        output.find("ozk: cannot write '" + out + "/slice_0000." + format + "': File too large"),
        std::string::npos)
        << output;
    EXPECT_TRUE(names_in(out).empty()) << format;
  }
}

TEST_F(Ozk, InterruptStopsAfterAWholeFile) {
  const uint32_t slices = 3000;
  const std::string volume = dir_.file("long.pvol");
  ts::write_gzip_file(volume,
                      ts::packed_header(64, slices, 64, 8) + std::string(64 * 64 * slices, '\1'));
  const std::string out = dir_.file("out");
  const std::string err = dir_.file("err.txt");
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 2, err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  std::vector<std::string> args = {QVX_OZK_TOOL, "export", "--format", "png", volume, out};
  std::vector<char*> argv;
  for (std::string& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  pid_t pid = 0;
  ASSERT_EQ(posix_spawn(&pid, QVX_OZK_TOOL, &actions, nullptr, argv.data(), environ), 0);
  posix_spawn_file_actions_destroy(&actions);
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
  while (!fs::exists(out + "/slice_0000.png") && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  kill(pid, SIGINT);
  int status = 0;
  ASSERT_EQ(waitpid(pid, &status, 0), pid);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 1);
  EXPECT_NE(read_text(err).find("ozk: interrupted\n"), std::string::npos) << read_text(err);
  const std::set<std::string> names = names_in(out);
  EXPECT_GE(names.size(), 1u);
  EXPECT_LT(names.size(), slices);
  for (const std::string& name : names) {
    ASSERT_EQ(name.rfind("slice_", 0), 0u) << name;  // no temporary left
    const std::string png = read_text(out + "/" + name);
    ASSERT_GE(png.size(), 12u);
    EXPECT_EQ(png.substr(png.size() - 8, 4), "IEND") << name << " is cut short";
  }
}

TEST_F(Ozk, LogGoesToStandardErrorOrTheLogFile) {
  const std::string hr = hr_volume(), header = header_volume();
  const std::string log = dir_.file("logs/ozk.log");
  const Outcome r = run("info " + hr + " --log " + log);
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.err, "");
  EXPECT_EQ(r.out.find("HR Volume"), std::string::npos);
  EXPECT_NE(read_text(log).find("Opened existing HR Volume"), std::string::npos);
  // The image layer linked into the tool logs its saves there too.
  ASSERT_EQ(run("--log " + log + " slice " + header + " 0 " + dir_.file("s.png")).status, 0);
  EXPECT_NE(read_text(log).find("Saved png"), std::string::npos);

  const Outcome plain = run("slice " + header + " 0 " + dir_.file("t.png"));
  EXPECT_EQ(plain.out, "");
  EXPECT_NE(plain.err.find("Saved png"), std::string::npos);
}

}  // namespace
