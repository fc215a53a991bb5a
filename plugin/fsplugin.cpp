// The exported functions: the host's entry into the module.
#include "plugin/fsplugin.h"

#include "dialog/Unit2.h"
#include "phone/Operations.h"
#include "plugin/PluginState.h"
#include "plugin/Settings.h"

namespace {

// Hosts on Linux separate host paths with '/'; the module's rules are written
// for '\', so the path is turned into that form at the boundary.
std::string HostPath(const char* path) {
  std::string text = path ? path : "";
#ifndef _WIN32
  for (char& c : text) {
    if (c == '/') c = '\\';
  }
#endif
  return text;
}

std::string LocalPath(const char* path) { return path ? path : ""; }

const char* const kRoot = "\\";

void ShowOptions() {
  // The lists open at the rate the file holds, which the options may have
  // changed since the module was loaded.
  const std::int32_t storedBaud = settings::Read(settings::ReadPath()).baudIndex;
  const std::string target = settings::WritePath();
#ifndef _WIN32
  if (HostShowsMessages()) {
    // No terminal inside a graphical host: the host's own dialogs ask.
    TOptionsQuestions questions;
    questions.Ask = [](const std::string& text, std::string& answer) { return AskHost(PluginTitle, text, answer); };
    questions.ReportError = [](const std::string& message) {
      ShowMessageBox(message, PluginTitle, os::kMbOk | os::kMbIconError);
    };
    AskOptions(State.PortName, storedBaud, target, questions);
    return;
  }
#endif
  RunOptionsDialog(State.PortName, storedBaud, target);
}

}  // namespace

extern "C" {

int FS_CALL FsInit(int pluginNumber, FsProgressCallback progress, FsLogCallback log,
                   FsRequestCallback request) {
  State.PluginNumber = pluginNumber;
  State.ProgressCallback = progress;
  State.LogCallback = log;
  State.RequestCallback = request;
  State.ConnectionAnnounced = false;
  // A second FsInit without FsDisconnect starts from fresh objects.
  DestroyPluginObjects();
  os::KeepModuleLoaded();
  CreatePluginObjects();
  // The host loads the module before the user asks for the phone: no report yet.
  OpenPhonePort(false);
  return 0;
}

HANDLE FS_CALL FsFindFirst(char* path, WIN32_FIND_DATAA* findData) {
  const std::string hostPath = HostPath(path);
  const HANDLE search = FindFirst(hostPath, findData);
  if (hostPath != kRoot) return search;
  if (search != INVALID_HANDLE_VALUE || State.ListingDone) {
    if (!State.ConnectionAnnounced) LogToHost(kFsLogConnect, std::string("CONNECT ") + kRoot);
    State.ConnectionAnnounced = true;
  } else if (State.PortWrapper) {
    // The phone did not answer at the root: the device may have gone and come
    // back, so the next listing opens the port afresh.
    try {
      State.PortWrapper->Port().Close();
    } catch (const std::exception&) {
    }
  }
  return search;
}

BOOL FS_CALL FsFindNext(HANDLE, WIN32_FIND_DATAA* findData) { return FindNext(findData); }

int FS_CALL FsFindClose(HANDLE) { return 0; }

int FS_CALL FsGetFile(char* remoteName, char* localName, int copyFlags, void*) {
  return GetFile(HostPath(remoteName), LocalPath(localName), copyFlags);
}

int FS_CALL FsPutFile(char* localName, char* remoteName, int) {
  return PutFile(LocalPath(localName), HostPath(remoteName));
}

BOOL FS_CALL FsMkDir(char* path) { return MakeDirectory(HostPath(path)); }

BOOL FS_CALL FsRemoveDir(char* path) { return RemoveDirectory(HostPath(path)); }

BOOL FS_CALL FsDeleteFile(char* path) { return DeleteFile(HostPath(path)); }

int FS_CALL FsExecuteFile(HWND, char* remoteName, char*) {
  try {
    if (HostPath(remoteName) == kRoot) ShowOptions();
  } catch (...) {
    // Nothing may escape to the host.
  }
  return 0;
}

BOOL FS_CALL FsDisconnect(char*) {
  DestroyPluginObjects();
  LogToHost(kFsLogDisconnect, std::string("DISCONNECT ") + kRoot);
  State.ConnectionAnnounced = false;
  return -1;
}

void FS_CALL FsGetDefRootName(char*, int) {}

}  // extern "C"
