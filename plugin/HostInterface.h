// What the exports keep of the host and hand to it: its callbacks, the ways
// the module's messages and questions reach the user through it, and the
// find data a listing fills.
#pragma once

#include <cstdint>
#include <string>

#include "phone/PluginState.h"
#include "plugin/fsplugin.h"

struct HostCallbacks {
  FsLogCallback Log = nullptr;
  FsRequestCallback Request = nullptr;
  bool ConnectionAnnounced = false;  // "CONNECT" logged since FsInit or FsDisconnect
};
extern HostCallbacks Host;

// Whether the host shows the module's messages and questions: a Linux host
// that passed a request callback. Otherwise the system's message boxes and
// the options window (Windows) or the terminal (Linux) serve.
bool HostShowsMessages();
// A message box (os::MessageBox's flags and results): through the host's
// request callback when it shows messages, else os::MessageBox.
int ShowMessageBox(const std::string& text, const std::string& caption, unsigned flags);
// A text question of the host: true with the user's `answer` on OK.
bool AskHost(const std::string& title, const std::string& text, std::string& answer);
// A line for the host's log (Linux hosts that passed a log callback).
void LogToHost(FsLogType type, const std::string& text);

// The host's time of a phone date (seconds since 1980-01-06 00:00 UTC): 100 ns
// steps since 1601-01-01 UTC.
FILETIME FileTimeOfPhoneDate(std::uint32_t phoneSeconds);
// The find data of a listing entry: attributes, size, name and the phone's
// date as every one of its three times.
void FillFindData(WIN32_FIND_DATAA& findData, const TFile& entry);
