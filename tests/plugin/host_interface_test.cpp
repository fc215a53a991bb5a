// The find data the exports fill from the engine's listing entries.
#include <gtest/gtest.h>

#include <cstring>

#include "plugin/HostInterface.h"

namespace {

std::uint64_t Ticks(const FILETIME& time) {
  return (std::uint64_t{time.dwHighDateTime} << 32) | time.dwLowDateTime;
}

TEST(FindData, CarriesThePhonesDateInAllThreeTimes) {
  const struct {
    TFile entry;
    DWORD attributes;
    DWORD size;
    std::uint64_t ticks;  // 100 ns steps since 1601-01-01 UTC
  } cases[] = {
      // 2026-12-09 00:00 UTC, 1 480 809 600 s after 1980-01-06.
      {{false, "c", 10, 1480809600}, FILE_ATTRIBUTE_NORMAL, 10, 134412480000000000u},
      {{true, "a", 99, 1480809600}, FILE_ATTRIBUTE_DIRECTORY, 0, 134412480000000000u},
      // An install folder: the phone's epoch, 1980-01-06 00:00 UTC.
      {{true, "INSTALL THEME", 0, 0}, FILE_ATTRIBUTE_DIRECTORY, 0, 119604384000000000u},
      {{false, std::string(300, 'n'), 1, 0xFFFFFFFF}, FILE_ATTRIBUTE_NORMAL, 1, 162554056950000000u},
  };
  for (const auto& c : cases) {
    WIN32_FIND_DATAA data;
    std::memset(&data, 0xAB, sizeof data);
    FillFindData(data, c.entry);
    const std::string name = c.entry.Name.substr(0, sizeof data.cFileName - 1);
    EXPECT_STREQ(data.cFileName, name.c_str());
    EXPECT_EQ(data.dwFileAttributes, c.attributes) << name;
    EXPECT_EQ(data.nFileSizeLow, c.size) << name;
    EXPECT_EQ(data.nFileSizeHigh, 0u) << name;
    EXPECT_EQ(Ticks(data.ftCreationTime), c.ticks) << name;
    EXPECT_EQ(Ticks(data.ftLastAccessTime), c.ticks) << name;
    EXPECT_EQ(Ticks(data.ftLastWriteTime), c.ticks) << name;
  }
}

}  // namespace
