#include "base/path.h"

#include <gtest/gtest.h>

#include <string>

namespace QVX::Base {
namespace {

TEST(Path, DirectoryPrefixKeepsDirectoryAndSeparator) {
  struct Case {
    std::wstring path;
    std::wstring prefix;
  };
  const Case cases[] = {
      {L"/data/vol.hdr", L"/data/"},
      {L"/data/scans/2024/vol.hdr", L"/data/scans/2024/"},
      {L"scans/vol.hdr", L"scans/"},
      {L"./vol.hdr", L"./"},
      {L"../vol.hdr", L"../"},
      {L"/data/scans/", L"/data/scans/"},
      {L"vol.hdr", L"./"},
      {L"", L"./"},
      {L"/vol.hdr", L"/"},
      {L"/", L"/"},
      {L"/data/Sch\u00E4del_\U0001F9B4/vol.hdr", L"/data/Sch\u00E4del_\U0001F9B4/"},
      {L"/data/a.b/vol", L"/data/a.b/"},
  };
  for (const Case& c : cases) EXPECT_EQ(directory_prefix(c.path), c.prefix);
}

}  // namespace
}  // namespace QVX::Base
