#include "host/Progress.h"

#include <chrono>
#include <cstdio>

#include "host/HostPlatform.h"

namespace host {

namespace {
using Clock = std::chrono::steady_clock;
// A bar drawn again at each of a fast transfer's thousands of reports would
// cost more than the transfer: it is drawn when its percentage changes, and
// now and then for the rate.
constexpr auto kRedrawAfter = std::chrono::milliseconds(250);

struct Transfer {
  std::string label;
  std::optional<std::uint64_t> totalBytes;
  Clock::time_point start;
  bool toTerminal = false;
  bool drawn = false;
  int percentShown = -1;
  Clock::time_point shownAt;
};
Transfer current;

std::string HumanBytes(double bytes) {
  const char* units[] = {"B", "KiB", "MiB", "GiB"};
  int unit = 0;
  while (bytes >= 1024 && unit < 3) {
    bytes /= 1024;
    ++unit;
  }
  char text[32];
  std::snprintf(text, sizeof text, unit == 0 ? "%.0f %s" : "%.1f %s", bytes, units[unit]);
  return text;
}

void Draw(int percentDone) {
  constexpr int kBarWidth = 24;
  const int clamped = percentDone < 0 ? 0 : (percentDone > 100 ? 100 : percentDone);
  std::string bar(static_cast<std::size_t>(clamped * kBarWidth / 100), '#');
  bar.resize(kBarWidth, '.');
  const double seconds =
      std::chrono::duration<double>(Clock::now() - current.start).count();
  std::string amounts;
  if (current.totalBytes) {
    const double done = static_cast<double>(*current.totalBytes) * clamped / 100.0;
    amounts = HumanBytes(done) + " / " + HumanBytes(static_cast<double>(*current.totalBytes));
    if (seconds > 0.05) amounts += "  " + HumanBytes(done / seconds) + "/s";
  }
  std::fprintf(stderr, "\r[%s] %3d%%  %s  %s\033[K", bar.c_str(), clamped, amounts.c_str(),
               current.label.c_str());
  std::fflush(stderr);
  current.drawn = true;
  current.percentShown = clamped;
  current.shownAt = Clock::now();
}
}  // namespace

void BeginTransfer(const std::string& label, std::optional<std::uint64_t> totalBytes) {
  current = Transfer{label, totalBytes, Clock::now(), StderrIsTerminal(), false, -1, {}};
}

void EndTransfer(bool completed) {
  if (completed && current.toTerminal && current.percentShown != 100) Draw(100);
  if (current.drawn) std::fputc('\n', stderr);
  current.drawn = false;
}

void PrintLine(const std::string& line) {
  // The bar gives its line up and is drawn again below at the next progress.
  if (current.drawn) std::fputs("\r\033[K", stderr);
  current.drawn = false;
  std::fprintf(stderr, "%s\n", line.c_str());
  std::fflush(stderr);
}

int FS_CALL ReportProgress(int, char*, char*, int percentDone) {
  if (InterruptRequested()) return 1;
  // A line printed meanwhile took the bar's place: it comes back at once.
  if (current.toTerminal && (!current.drawn || percentDone != current.percentShown ||
                             Clock::now() - current.shownAt >= kRedrawAfter)) {
    Draw(percentDone);
  }
  return 0;
}

}  // namespace host
