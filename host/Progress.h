// The progress callback the host hands to FsInit: draws a bar on standard
// error when it is a terminal, and asks the module to abort after Ctrl-C.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "plugin/fsplugin.h"

namespace host {

// Announces the transfer that the next progress reports belong to; `totalBytes`
// lets the bar show bytes and rate (a download's size is known from the listing).
void BeginTransfer(const std::string& label, std::optional<std::uint64_t> totalBytes);
// Ends the transfer. A completed one shows its full bar on a terminal even
// when the module made no report (a file sent in one request gets none), so
// that both directions show the same; the bar's line is then ended.
void EndTransfer(bool completed);
// One line on standard error, on a line of its own even while a bar is drawn.
void PrintLine(const std::string& line);

int FS_CALL ReportProgress(int pluginNumber, char* sourceName, char* targetName, int percentDone);

}  // namespace host
