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
// Ends the bar's line, if one was drawn.
void EndTransfer();

int FS_CALL ReportProgress(int pluginNumber, char* sourceName, char* targetName, int percentDone);

}  // namespace host
