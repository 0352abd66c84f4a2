// The exported gray TIFF save, read back by readers we did not write.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "qvx_ozk.h"
#include "tests/support/capture_stdout.h"
#include "tests/support/external_tools.h"
#include "tests/support/temp_dir.h"

namespace {

namespace ts = QVX::TestSupport;

// The six floats of a 2 x 3 image and their little-endian bytes.
const float kPixels[6] = {1.5f, -2.0f, 3.25f, 0.0f, 1e-3f, 65504.0f};
const std::string kPixelHex = "0000c03f000000c000005040000000006f12833a00e07f47";

TEST(GrayTif32Export, TifffileAndTiffinfoReadBackEveryFloatBitForBit) {
  ts::TempDir dir;
  const std::string plain = dir.file("Schädel_μCT.tif"), zipped = dir.file("slice.tif.gz");
  const std::wstring wide(dir.path().begin(), dir.path().end());
  ASSERT_TRUE(qvx_ozk_save_gray_tif32_w((wide + L"/Schädel_μCT.tif").c_str(), kPixels, 2, 3));
  ASSERT_TRUE(qvx_ozk_save_gray_tif32(zipped.c_str(), kPixels, 2, 3));
  EXPECT_FALSE(std::filesystem::exists(zipped + ".tif"));
  std::string out[3];
  const int status[3] = {
      ts::run_command(ts::crosscheck_command() + "verify '" + plain + "' 2 3 " + kPixelHex,
                      &out[0]),
      ts::run_command(ts::crosscheck_command() + "verify " + zipped + " 2 3 " + kPixelHex, &out[1]),
      ts::run_command("tiffinfo '" + plain + "' 2>&1", &out[2])};
  QVX_REQUIRE_TOOL(status[0] != 2 && status[0] != 127, "python3-tifffile");
  QVX_REQUIRE_TOOL(status[2] != 127, "libtiff-tools");
  EXPECT_EQ(std::vector<int>(status, status + 3), std::vector<int>({0, 0, 0})) << out[0] << out[1];
  for (const char* expected :
       {"Image Width: 3 Image Length: 2", "Bits/Sample: 32", "Sample Format: IEEE floating point",
        "Compression Scheme: None", "min-is-black", "Samples/Pixel: 1"}) {
    EXPECT_NE(out[2].find(expected), std::string::npos) << expected << " in\n" << out[2];
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
