// The exported gray TIFF save, read back by readers we did not write.
#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <string>

#include "qvx_ozk.h"
#include "tests/support/capture_stdout.h"
#include "tests/support/external_tools.h"
#include "tests/support/temp_dir.h"

namespace {

namespace ts = QVX::TestSupport;

// The six floats of a 2 x 3 image and their little-endian bytes.
const float kPixels[6] = {1.5f, -2.0f, 3.25f, 0.0f, 1e-3f, 65504.0f};
const std::string kPixelHex = "0000c03f000000c000005040000000006f12833a00e07f47";

TEST(GrayTif32Export, TifffileReadsBackEveryFloatBitForBit) {
  ts::TempDir dir;
  const std::string plain = dir.file("slice.tif"), zipped = dir.file("slice.tif.gz");
  ASSERT_TRUE(qvx_ozk_save_gray_tif32(plain.c_str(), kPixels, 2, 3));
  ASSERT_TRUE(qvx_ozk_save_gray_tif32(zipped.c_str(), kPixels, 2, 3));
  EXPECT_FALSE(std::filesystem::exists(dir.file("slice.tif.tif")));
  EXPECT_FALSE(std::filesystem::exists(dir.file("slice.tif.gz.tif")));

  std::string out;
  const int python = ts::run_command(
      ts::crosscheck_command() + "verify " + plain + " 2 3 " + kPixelHex + " 2>&1", &out);
  QVX_REQUIRE_TOOL(python != 2 && python != 127, "python3-tifffile");
  EXPECT_EQ(python, 0) << out;
  EXPECT_EQ(
      ts::run_command(ts::crosscheck_command() + "verify " + zipped + " 2 3 " + kPixelHex + " 2>&1",
                      &out),
      0)
      << out;
}

TEST(GrayTif32Export, TiffinfoSeesAFloatGrayImage) {
  ts::TempDir dir;
  const std::string path = dir.file("Schädel_μCT.tif");
  const std::wstring wide = L"/Schädel_μCT.tif";
  ASSERT_TRUE(qvx_ozk_save_gray_tif32_w(
      (std::wstring(dir.path().begin(), dir.path().end()) + wide).c_str(), kPixels, 2, 3));
  std::string info;
  const int status = ts::run_command("tiffinfo '" + path + "' 2>&1", &info);
  QVX_REQUIRE_TOOL(status != 127, "libtiff-tools");
  EXPECT_EQ(status, 0) << info;
  for (const char* expected :
       {"Image Width: 3 Image Length: 2", "Bits/Sample: 32", "Sample Format: IEEE floating point",
        "Compression Scheme: None", "min-is-black", "Samples/Pixel: 1"}) {
    EXPECT_NE(info.find(expected), std::string::npos) << expected << " in\n" << info;
  }
}

TEST(GrayTif32Export, EmptyImagesAndBadPathsAreRefusedWithTheirMessages) {
  ts::TempDir dir;
  const std::string path = dir.file("no/such/dir.tif");
  ts::CaptureStdout capture;
  EXPECT_FALSE(qvx_ozk_save_gray_tif32(path.c_str(), kPixels, 0, 5));
  EXPECT_FALSE(qvx_ozk_save_gray_tif32_w(L"/tmp/never.tif", kPixels, 5, 0));
  EXPECT_FALSE(qvx_ozk_save_gray_tif32(path.c_str(), kPixels, 2, 3));
  const wchar_t unpaired[] = {L'/', L't', L'm', L'p', L'/', static_cast<wchar_t>(0xD800), 0};
  EXPECT_FALSE(qvx_ozk_save_gray_tif32_w(unpaired, kPixels, 2, 3));
  EXPECT_EQ(ts::strip_timestamps(capture.text()),
            "FAILED to save image '" + path + "' with format 'gray_tif32': Image is empty\n" +
                "FAILED to save image '/tmp/never.tif' with format 'gray_tif32': Image is empty\n" +
                "libtiff error: TIFFOpen: " + path + ".part: No such file or directory\n" +
                "FAILED to open tiff for writing '" + path + "'\nFAILED to save image '" + path +
                "' with format 'gray_tif32'\n" +
                "FAILED to save image '/tmp/\xEF\xBF\xBD' with format 'gray_tif32'\n");
}

}  // namespace
