// The find data as the Windows module fills it: the phone's date in all three
// times of the system's own record, as on Linux.
#include "plugin/HostInterface.h"
#include "tests/wine/check.h"

namespace {

unsigned long long Ticks(const FILETIME& time) {
  return (static_cast<unsigned long long>(time.dwHighDateTime) << 32) | time.dwLowDateTime;
}

}  // namespace

int main() {
  const struct {
    TFile entry;
    unsigned long long ticks;
  } cases[] = {
      {{false, "c", 10, 1480809600}, 134412480000000000ull},  // 2026-12-09 00:00 UTC
      {{true, "INSTALL THEME", 0, 0}, 119604384000000000ull},  // 1980-01-06 00:00 UTC
  };
  for (const auto& c : cases) {
    WIN32_FIND_DATAA data;
    FillFindData(data, c.entry);
    check::Equal(std::string(data.cFileName), c.entry.Name, "name");
    check::Equal(static_cast<long long>(Ticks(data.ftCreationTime)), static_cast<long long>(c.ticks),
                 c.entry.Name + ": creation time");
    check::Equal(static_cast<long long>(Ticks(data.ftLastAccessTime)), static_cast<long long>(c.ticks),
                 c.entry.Name + ": access time");
    check::Equal(static_cast<long long>(Ticks(data.ftLastWriteTime)), static_cast<long long>(c.ticks),
                 c.entry.Name + ": write time");
  }
  return check::Summary();
}
