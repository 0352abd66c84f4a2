// The ozk tool, run as a program on generated volumes: what it prints, the files it
// writes (read back by tifffile, PIL and the library), and how it fails.
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <filesystem>
#include <set>
#include <string>
#include <tuple>
#include <vector>

#include "tests/support/ct_volumes.h"
#include "tests/support/tool_runner.h"
#include "tests/support/volume_writers.h"

namespace {

namespace fs = std::filesystem;
namespace ts = QVX::TestSupport;

std::set<std::string> names_in(const std::string& directory) {
  std::set<std::string> names;
  for (const auto& entry : fs::directory_iterator(directory)) names.insert(entry.path().filename());
  return names;
}

float zero(uint32_t, uint32_t, uint32_t) { return 0.0f; }

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
  // Gzipped 16-bit samples that differ along every axis, with corners; or the plain
  // floats of `voxel`.
  std::string packed_volume(uint32_t nx, uint32_t ny, uint32_t nz,
                            float (*voxel)(uint32_t, uint32_t, uint32_t) = nullptr) {
    std::vector<uint16_t> u16;
    std::vector<float> f32;
    for (uint32_t y = 0; y < ny; ++y) {
      for (uint32_t x = 0; x < nx; ++x) {
        for (uint32_t z = 0; z < nz; ++z) {
          u16.push_back(static_cast<uint16_t>(x + 97 * y + 5 * z));
          if (voxel != nullptr) f32.push_back(voxel(x, y, z));
        }
      }
    }
    const std::string path = dir_.file("v.pvol");
    if (voxel != nullptr) {
      ts::write_file(path, ts::packed_header(nx, ny, nz, 32) + ts::f32_bytes(f32));
    } else {
      ts::write_gzip_file(path,
                          ts::packed_header(nx, ny, nz, 16, {"Min: -1 -2 -3", "Max: 4 5 2.5"}) +
                              ts::u16_bytes(u16));
    }
    return path;
  }
  std::string hr_volume() {
    ts::write_hr(dir_.file("v.hrv"), ts::hr_options(40, 33, 35, 3));
    return dir_.file("v.hrv");
  }
  ts::ToolRun run(const std::string& arguments, int limit = -1) {
    return ts::run_tool(QVX_OZK_TOOL, dir_, arguments, limit);
  }

  ts::TempDir dir_;
};

TEST_F(Ozk, InfoJsonHasEveryFieldForEachKind) {
  const std::string packed = packed_volume(3, 2, 2), header = header_volume(), hr = hr_volume();
  const ts::ToolRun r = run("info --json " + packed + " " + header + " " + hr);
  ASSERT_EQ(r.status, 0) << r.err;
  const std::string expected =
      "{\"path\":\"" + packed +
      "\",\"kind\":\"packed\",\"version\":null,\"width\":2,\"height\":3,\"slices\":2,"
      "\"vmin\":[-1,-2,-3],\"vmax\":[4,5,2.5],\"voxel_size\":null,\"data_min\":0,"
      "\"data_max\":1,\"bits_per_sample\":16,\"compressed\":true,\"files\":null,"
      "\"missing_files\":null,\"slices_stored\":2,\"levels\":[[2,3,2]],"
      "\"file_size\":" +
      std::to_string(fs::file_size(packed)) + "}\n{\"path\":\"" + header +
      "\",\"kind\":\"header\",\"version\":null,\"width\":4,\"height\":6,\"slices\":5,"
      "\"vmin\":[0,0,0],\"vmax\":[0,0,0],\"voxel_size\":null,\"data_min\":2002.5,"
      "\"data_max\":2002.6,\"bits_per_sample\":null,\"compressed\":false,\"files\":[\"" +
      dir_.file("a.raw") + "\",\"" + dir_.file("b.raw") +
      "\"],\"missing_files\":[],\"slices_stored\":5,\"levels\":[[4,6,5]],\"file_size\":" +
      std::to_string(fs::file_size(header)) + "}\n{\"path\":\"" + hr +
      "\",\"kind\":\"hr\",\"version\":3,\"width\":35,\"height\":40,\"slices\":33,";
  EXPECT_EQ(r.out.substr(0, expected.size()), expected);
  for (const char* hr_part :
       {"\"voxel_size\":[1,1,1],", "\"levels\":[[35,40,33],[18,20,17]],",
        "\"compressed\":false,\"files\":null,\"missing_files\":null,\"slices_stored\":33,"}) {
    EXPECT_NE(r.out.find(hr_part, expected.size()), std::string::npos) << r.out;
  }
  EXPECT_EQ(std::count(r.out.begin(), r.out.end(), '\n'), 3) << r.out;
  EXPECT_EQ(r.err, "");

  // What the tool never meets: the getters' refusals and the slice-file buffer rules.
  qvx_ozk_volume* v = qvx_ozk_volume_create();
  uint32_t value = 0;
  size_t needed = 0;
  char path[8];
  EXPECT_FALSE(qvx_ozk_volume_bits_per_sample(v, &value));
  EXPECT_STREQ(qvx_ozk_last_error(), "FAILED to tell the bits per sample: no volume is open");
  ASSERT_TRUE(qvx_ozk_volume_open(v, header.c_str()));
  EXPECT_FALSE(qvx_ozk_volume_hr_version(v, &value));
  EXPECT_TRUE(qvx_ozk_volume_slice_file(v, 1, nullptr, 0, &needed, &value));
  EXPECT_EQ(std::tuple(needed, value), std::tuple(dir_.file("b.raw").size() + 1, 3u));
  EXPECT_FALSE(qvx_ozk_volume_slice_file(v, 1, path, sizeof path, &needed, nullptr));
  EXPECT_EQ(path, dir_.file("b.raw").substr(0, sizeof path - 1));
  qvx_ozk_volume_delete(v);
  EXPECT_EQ(std::string(qvx_ozk_kind_name(QVX_OZK_KIND_NONE)) + qvx_ozk_kind_name(7), "nonenone");

  // Short volumes are told by the files' sizes: a plain packed file cut inside slice 1 of
  // 2, and a header volume without the file of its last 3 slices.
  const std::string plain = packed_volume(3, 2, 2, zero);
  fs::resize_file(plain, fs::file_size(plain) - 1);
  fs::remove(dir_.file("b.raw"));
  EXPECT_EQ(run("slice " + plain + " 1 " + dir_.file("x.tif")).err,
            "ozk: cannot read slice 1 of '" + plain + "': short or damaged data\n");
  const ts::ToolRun text = run("info " + header + " " + plain);
  EXPECT_EQ(text.status, 0) << text.err;
  for (const std::string& part : std::vector<std::string>{
           "kind:        header volume, 2 slice files\n",
           "dimensions:  4 x 6 x 5 (width x height x slices)", "data range:  2002.5 to 2002.6\n",
           "slice files: " + dir_.file("a.raw") + "\n               " + dir_.file("b.raw") +
               " (missing)\n",
           " bytes (short: 3 of 5 slices missing)\n",
           "kind:        packed volume, 32 bits per sample\n",
           " bytes (short: 1 of 2 slices missing)\n"}) {
    EXPECT_NE(text.out.find(part), std::string::npos) << part << " in\n" << text.out;
  }
  // verify reads them whole: one line each for what is damaged.
  const ts::ToolRun checked = run("-q verify " + hr + " " + header + " " + plain);
  EXPECT_EQ(std::tuple(checked.status, checked.out), std::tuple(1, hr + ": ok\n"));
  EXPECT_EQ(checked.err, "ozk: damaged '" + header + "': cannot read '" + dir_.file("b.raw") +
                             "' (No such file or directory): slices 2 to 4 missing\n" +
                             "ozk: damaged '" + plain + "': '" + plain +
                             "' holds 133 of the 134 bytes its volume needs: slice 1 missing\n");
}

TEST_F(Ozk, SliceTiffReadsBackBitForBit) {
  const std::string header = header_volume();
  const std::vector<float> v = ts::generated_volume(6, 5, 4);
  std::string hex;
  for (const unsigned char c : ts::f32_bytes({v.begin() + 2 * 24, v.begin() + 3 * 24})) {
    hex += "0123456789abcdef"[c >> 4];
    hex += "0123456789abcdef"[c & 15];
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
  const ts::ToolRun some =
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

TEST_F(Ozk, FailuresGiveOneLineAndExitCodeAndLeaveNothing) {
  const std::string header = header_volume(), packed = packed_volume(4, 4, 4);
  ts::write_file(dir_.file("junk.bin"), "no volume here");
  ts::write_file(dir_.file("s_1.png"), "no image here");
  ts::write_file(dir_.file("file"), "a file, not a directory");
  const std::string in_file = dir_.file("file/sub");
  const struct {
    std::string arguments;
    int status;
    std::string last_line;  // empty: a usage message from the parser
  } cases[] = {
      {"info " + dir_.file("missing.pvol"), 1,
       "ozk: cannot open '" + dir_.file("missing.pvol") + "': No such file or directory"},
      {"info " + dir_.file("junk.bin"), 1,
       "ozk: cannot open '" + dir_.file("junk.bin") + "': not a volume of a known kind"},
      {"info " + dir_.path(), 1, "ozk: cannot open '" + dir_.path() + "': Is a directory"},
      {"slice " + header + " 0 " + dir_.path() + " --format png", 1,
       "ozk: cannot write '" + dir_.path() + "': Is a directory"},
      {"slice " + header + " 0 " + in_file + ".bmp", 1,
       "ozk: cannot write '" + in_file + ".bmp': Not a directory"},
      {"--log " + in_file + " info " + header, 1,
       "ozk: cannot open log file '" + in_file + "': Not a directory"},
      {"convert '" + dir_.file("s_*.png") + "' " + dir_.file("o.hrv"), 1,
       "ozk: cannot convert '" + dir_.file("s_1.png") + "': not a TIFF, PNG or BMP image"},
      {"slice " + header + " 5 " + dir_.file("x.tif"), 1,
       "ozk: cannot read slice 5 of '" + header +
           "': out of range (the volume has 5 slices, 0 to 4)"},
      {"export " + header + " " + in_file, 1,
       "ozk: cannot create directory '" + in_file + "': Not a directory"},
      {"convert " + packed + " " + in_file, 1,
       "ozk: cannot create '" + in_file + "': Not a directory"},
      {"convert " + packed + " " + packed, 1,
       "ozk: cannot convert '" + packed + "': the output is the input file"},
      {"demo --quiet --size 8 " + in_file, 1,
       "ozk: cannot create directory '" + in_file + "': Not a directory"},
      {"", 2, ""},
      {"slice " + header + " 1", 2, ""},
      {"slice " + header + " 1 " + dir_.file("x.jpg"), 2, ""},
      {"export --slices 3:1 " + header + " " + dir_.file("out"), 2, ""},
      {"export --format gif " + header + " " + dir_.file("out"), 2, ""},
      {"demo --size 1 " + dir_.file("out"), 2, "ozk: --size must be from 2 to 1024"},
  };
  for (const auto& c : cases) {
    const ts::ToolRun r = run(c.arguments);
    EXPECT_EQ(r.status, c.status) << c.arguments;
    EXPECT_EQ(r.out, "") << c.arguments;
    if (c.last_line.empty()) {
      EXPECT_NE(r.err.find("Run with --help"), std::string::npos) << c.arguments;
    } else {
      EXPECT_EQ(r.err, c.last_line + "\n");
    }
  }
  EXPECT_EQ(names_in(dir_.path()), (std::set<std::string>{"a.raw", "b.raw", "head.hdr", "v.pvol",
                                                          "junk.bin", "s_1.png", "file"}));
  EXPECT_EQ(ts::read_volume(packed).kind, QVX_OZK_KIND_PACKED);
}

// A file-size limit makes every write fail as a full disk would, in any file system.
TEST_F(Ozk, FullDiskLeavesNoFileBehind) {
  const std::string header = header_volume(), packed = packed_volume(40, 33, 70);
  for (const char* format : {"tif", "png", "bmp"}) {
    const std::string out = dir_.file(std::string("out_") + format);
    const ts::ToolRun r =
        run("--quiet export --format " + std::string(format) + " " + header + " " + out, 0);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.last_error_line(),
              "ozk: cannot write '" + out + "/slice_0000." + format + "': File too large");
    EXPECT_TRUE(names_in(out).empty()) << format;
  }
  // 15 bricks of 128 KiB do not fit under 1 MiB.
  const ts::ToolRun r = run("convert --quiet " + packed + " " + dir_.file("v.hrv"), 2048);
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.last_error_line(), "ozk: cannot write '" + dir_.file("v.hrv") + "': File too large");
  EXPECT_FALSE(fs::exists(dir_.file("v.hrv")));
  EXPECT_FALSE(fs::exists(dir_.file("v.hrv.partial")));
}

TEST_F(Ozk, InterruptStopsAfterAWholeFile) {
  const uint32_t slices = 3000;
  const std::string volume = dir_.file("long.pvol");
  ts::write_gzip_file(volume,
                      ts::packed_header(64, slices, 64, 8) + std::string(64 * 64 * slices, '\1'));
  // SIGINT once the first image is there; the shell gives the tool's exit status.
  const std::string out = dir_.file("out");
  const ts::ToolRun r =
      run("export --format png " + volume + " " + out + " & p=$!; i=0; while [ ! -e " + out +
          "/slice_0000.png ] && [ $i -lt 6000 ]; do sleep 0.01; i=$((i+1)); done; kill -INT $p; "
          "wait $p");
  EXPECT_EQ(r.status, 130);
  EXPECT_EQ(r.last_error_line(), "ozk: interrupted");
  const std::set<std::string> names = names_in(out);
  EXPECT_GE(names.size(), 1u);
  EXPECT_LT(names.size(), slices);
  for (const std::string& name : names) {
    ASSERT_EQ(name.rfind("slice_", 0), 0u) << name;  // no temporary left
    const std::string png = ts::read_file(out + "/" + name);
    ASSERT_GE(png.size(), 12u);
    EXPECT_EQ(png.substr(png.size() - 8, 4), "IEND") << name << " is cut short";
  }
}

// One log for the volume and the image save alike, shown only when asked.
TEST_F(Ozk, LogOnlyWhenAskedAndStandardOutputChecked) {
  const std::string hr = hr_volume(), log = dir_.file("logs/ozk.log");
  for (const auto& [options, on_stderr, in_file] : {std::tuple{std::string(), false, false},
                                                    {"-v", true, false},
                                                    {"--log " + log, false, true}}) {
    const ts::ToolRun r = run(options + " slice " + hr + " 0 " + dir_.file("s.png"));
    ASSERT_EQ(r.status, 0) << r.err;
    for (const char* entry : {"Opened existing HR Volume", "Saved png"}) {
      EXPECT_EQ(r.err.find(entry) != std::string::npos, on_stderr) << options;
      EXPECT_EQ(ts::read_file(log).find(entry) != std::string::npos, in_file) << options;
    }
  }
  // A pipe without a reader: with SIGPIPE ignored the writes fail with EPIPE.
  int ends[2];
  ASSERT_EQ(pipe(ends), 0);
  close(ends[0]);
  const auto disposition = signal(SIGPIPE, SIG_IGN);
  const ts::ToolRun r = run("info " + hr + " >&" + std::to_string(ends[1]));
  signal(SIGPIPE, disposition);
  close(ends[1]);
  EXPECT_EQ(std::tuple(r.status, r.err),
            std::tuple(1, "ozk: cannot write 'standard output': Broken pipe\n"));
}

// Zero but for a small block and one voxel: most subtrees are uniform and end early.
float sparse(uint32_t x, uint32_t y, uint32_t z) {
  if (x >= 40 && x < 47 && y >= 50 && y < 60 && z >= 3 && z < 9) return ts::hr_voxel(x, y, z);
  return x == 90 && y == 1 && z == 95 ? -2.5f : 0.0f;
}
float shifted(uint32_t x, uint32_t y, uint32_t z) { return 5.0f + ts::hr_voxel(x, y, z); }

// Converted volumes read back through the library bit for bit, with geometry, corners and
// the data range, and every brick passing its check word.
TEST_F(Ozk, ConvertedVolumesReadBackBitForBit) {
  const std::vector<float> all = ts::generated_volume(40, 70, 33);
  ts::write_file(dir_.file("a.raw"), ts::f32_bytes({all.begin(), all.begin() + 23 * 40 * 33}));
  ts::write_gzip_file(dir_.file("b.raw.gz"),
                      ts::f32_bytes({all.begin() + 23 * 40 * 33, all.end()}));
  ts::write_file(dir_.file("v.hdr"),
                 ts::header_volume_text(40, 70, 33, {{"a.raw", 23}, {"b.raw.gz", 47}},
                                        {"<DataRange>0 40000</DataRange>"}));
  const struct {
    std::array<uint32_t, 3> n;
    float (*voxel)(uint32_t, uint32_t, uint32_t);  // null: 16-bit samples
    uint64_t size;                                 // 0: not checked
  } cases[] = {
      {{40, 33, 70}, nullptr, 0},
      {{3, 5, 2}, nullptr, 0},
      // Depth 3: the block and the voxel lie in two finest nodes; with their ancestors
      // (2 at depth 2, 1 at depth 1, the root) they have tiles, whose other children are
      // uniform leaves: 6 + 21 bricks after the 1 + 2 + 12 reserved tiles, then the info
      // block. Nothing is written only to be dropped.
      {{100, 70, 130}, sparse, 122 + 20 + 172 * 15 + 27 * 131076 + 4},
      {{70, 40, 50}, zero, 0},
      {{64, 65, 33}, shifted, 0},
      {{1, 100, 2}, ts::hr_voxel, 0},
      {{0, 0, 0}, nullptr, 0},  // the header volume
  };
  for (const auto& c : cases) {
    const auto [nx, ny, nz] = c.n;
    const std::string input = nx == 0 ? dir_.file("v.hdr") : packed_volume(nx, ny, nz, c.voxel);
    SCOPED_TRACE(input + " " + std::to_string(nx) + "x" + std::to_string(ny) + "x" +
                 std::to_string(nz));
    const ts::ToolRun r = run("convert --quiet " + input + " " + dir_.file("v.hrv"));
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "");
    EXPECT_FALSE(fs::exists(dir_.file("v.hrv.partial")));
    if (c.size != 0) {
      EXPECT_EQ(fs::file_size(dir_.file("v.hrv")), c.size);
    }
    const ts::VolumeRead a = ts::read_volume(input), b = ts::read_volume(dir_.file("v.hrv"));
    EXPECT_EQ(b.kind, QVX_OZK_KIND_HR);
    EXPECT_EQ(b.log.find("FAILED"), std::string::npos) << b.log;
    EXPECT_EQ(std::tie(a.width, a.height, a.slices), std::tie(b.width, b.height, b.slices));
    EXPECT_TRUE(std::equal(a.vmin, a.vmin + 3, b.vmin) && std::equal(a.vmax, a.vmax + 3, b.vmax));
    const std::vector<float> va = a.voxels(), vb = b.voxels();
    ASSERT_FALSE(va.empty());
    ASSERT_EQ(va.size(), vb.size());
    EXPECT_EQ(std::memcmp(va.data(), vb.data(), va.size() * sizeof(float)), 0);  // bit for bit
    const auto [lo, hi] = std::minmax_element(va.begin(), va.end());
    EXPECT_EQ(b.data_min, *lo);
    EXPECT_EQ(b.data_max, *hi);
  }
}

TEST_F(Ozk, DemoVolumesAgreeAndImagesAreWritten) {
  const std::string out = dir_.file("demo");
  const ts::ToolRun r = run("demo --quiet --size 40 " + out);
  ASSERT_EQ(r.status, 0) << r.err;
  const std::vector<float> packed = ts::read_volume(out + "/phantom.pvol.gz").voxels();
  ASSERT_EQ(packed.size(), 40u * 40u * 40u);
  for (const auto& [name, kind] : {std::pair{"/phantom.pvol.gz", QVX_OZK_KIND_PACKED},
                                   {"/phantom.hdr", QVX_OZK_KIND_HEADER},
                                   {"/phantom.hrv", QVX_OZK_KIND_HR}}) {
    const ts::VolumeRead read = ts::read_volume(out + name);
    EXPECT_EQ(read.kind, kind) << name;
    EXPECT_NE(r.out.find(out + name + "\n  kind:"), std::string::npos) << r.out;
    EXPECT_TRUE(read.voxels() == packed) << name;
  }
  for (const char* image : {"/middle_packed.png", "/middle_header.png", "/middle_hr.png"}) {
    EXPECT_TRUE(fs::exists(out + image)) << image;
    EXPECT_NE(r.out.find("  " + out + image + "\n"), std::string::npos) << r.out;
  }
  // The brain (0.2 = 13107 / 65535) fills the centre; the skull reads 1.
  EXPECT_EQ(packed[(20 * 40 + 20) * 40 + 20], 13107 * (1.0f / 65535.0f));
  EXPECT_EQ(*std::max_element(packed.begin(), packed.end()), 1.0f);
}

}  // namespace
