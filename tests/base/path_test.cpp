#include "base/path.h"

#include <gtest/gtest.h>

#include <string>

TEST(Path, DirectoryPrefixKeepsDirectoryAndSeparator) {
  // Pairs of path and prefix.
  const wchar_t* const cases[] = {
      L"/data/vol.hdr", L"/data/", L"vol.hdr",       L"./",        L"", L"./",
      L"/vol.hdr",      L"/",      L"scans/a.b/vol", L"scans/a.b/"};
  for (size_t i = 0; i < std::size(cases); i += 2)
    EXPECT_EQ(QVX::Base::directory_prefix(cases[i]), cases[i + 1])
        << "path " << testing::PrintToString(cases[i]);
}
