// The exported functions: the host's entry into the module.
#include "plugin/fsplugin.h"

#include <algorithm>
#include <cstring>

#include "dialog/Unit2.h"
#include "phone/Operations.h"
#include "plugin/CallGate.h"
#include "plugin/HostInterface.h"
#include "plugin/Listings.h"
#include "settings/Settings.h"

namespace {

// Hosts on Linux separate host paths with '/'; the module's rules are written
// for '\', so the path is turned into that form at the boundary.
std::string HostPath(const char* path) {
  std::string text = path ? path : "";
  std::replace(text.begin(), text.end(), os::kHostPathSeparator, '\\');
  return text;
}

// The host's truth value: -1 for true.
BOOL HostBool(bool value) { return value ? -1 : 0; }

std::string LocalPath(const char* path) { return path ? path : ""; }

const char* const kRoot = "\\";

void ShowOptions() {
  // The lists open at the rate the file holds, which the options may have
  // changed since the module was loaded.
  const std::int32_t storedBaud = settings::Read(settings::ReadPath()).baudIndex;
  const std::string target = settings::WritePath();
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
  RunOptionsDialog(State.PortName, storedBaud, target);
}

// Every export's edge: one call at a time, and nothing thrown leaves the
// module. A call that finds another in progress, or that fails with an
// exception, returns `failure`; a refused call sets the last error to "busy".
template <typename Result, typename Call>
Result OneCall(Result failure, Call&& call) noexcept {
  try {
    const GatePass pass(ExportGate, kCallWaitLimit);
    if (!pass) {
      os::SetLastError(os::kErrorBusy);
      return failure;
    }
    try {
      return call();
    } catch (...) {
      AbandonOperation();
      return failure;
    }
  } catch (...) {
    return failure;  // the gate itself failed
  }
}

// The first entry of a listing. At the root it also tells the host that the
// phone is there, or lets the port go when it does not answer.
ListingStep StartListing(const std::string& hostPath, WIN32_FIND_DATAA* findData) {
  TFile entry;
  const ListingStep start = FindFirst(hostPath, entry);
  std::memset(findData, 0, sizeof *findData);
  if (start == ListingStep::kEntry) FillFindData(*findData, entry);
  if (start == ListingStep::kNoEntries) os::SetLastError(ERROR_NO_MORE_FILES);
  if (start == ListingStep::kFailed) os::SetLastError(os::kErrorReadFault);
  if (hostPath != kRoot) return start;
  if (start != ListingStep::kFailed) {
    if (!Host.ConnectionAnnounced) LogToHost(kFsLogConnect, std::string("CONNECT ") + kRoot);
    Host.ConnectionAnnounced = true;
  } else if (State.PortWrapper) {
    // The phone did not answer at the root: the device may have gone and come
    // back, so the next listing opens the port afresh.
    try {
      State.PortWrapper->Port().Close();
    } catch (const std::exception&) {
    }
  }
  return start;
}

}  // namespace

extern "C" {

int FS_CALL FsInit(int pluginNumber, FsProgressCallback progress, FsLogCallback log,
                   FsRequestCallback request) {
  return OneCall(-1, [&] {
    State.PluginNumber = pluginNumber;
    State.ProgressCallback = progress;
    Host.Log = log;
    Host.Request = request;
    Host.ConnectionAnnounced = false;
    Ui.MessageBox = ShowMessageBox;
    Ui.LogError = [](const std::string& text) { LogToHost(kFsLogImportantError, text); };
    Ui.LogDetail = [](const std::string& text) { LogToHost(kFsLogDetails, text); };
    // A second FsInit without FsDisconnect starts from fresh objects.
    DestroyPluginObjects();
    os::KeepModuleLoaded();
    CreatePluginObjects();
    // The host loads the module before the user asks for the phone: no report yet.
    OpenPhonePort(false);
    return 0;
  });
}

HANDLE FS_CALL FsFindFirst(char* path, WIN32_FIND_DATAA* findData) {
  return OneCall(INVALID_HANDLE_VALUE, [&] {
    if (StartListing(HostPath(path), findData) != ListingStep::kEntry) return INVALID_HANDLE_VALUE;
    return OpenListing(CurrentListingPosition());
  });
}

BOOL FS_CALL FsFindNext(HANDLE search, WIN32_FIND_DATAA* findData) {
  return OneCall(BOOL{0}, [&] {
    const std::optional<ListingPosition> position = FindListing(search);
    if (!position) {
      os::SetLastError(os::kErrorInvalidHandle);
      return BOOL{0};
    }
    ResumeListing(*position);
    TFile entry;
    const ListingStep step = FindNext(entry);
    UpdateListing(search, CurrentListingPosition());
    std::memset(findData, 0, sizeof *findData);
    if (step == ListingStep::kEntry) FillFindData(*findData, entry);
    // Only the listing's true end is "no more files": a listing that could
    // not go on must not look complete.
    if (step != ListingStep::kEntry) {
      os::SetLastError(step == ListingStep::kNoEntries ? ERROR_NO_MORE_FILES : os::kErrorReadFault);
    }
    return HostBool(step == ListingStep::kEntry);
  });
}

int FS_CALL FsFindClose(HANDLE search) {
  try {
    CloseListing(search);
  } catch (...) {
    // Nothing may escape to the host.
  }
  return 0;
}

int FS_CALL FsGetFile(char* remoteName, char* localName, int copyFlags, void*) {
  return OneCall(int{kFsFileFailed},
                 [&] { return GetFile(HostPath(remoteName), LocalPath(localName), copyFlags); });
}

int FS_CALL FsPutFile(char* localName, char* remoteName, int) {
  return OneCall(int{kFsFileFailed}, [&] { return PutFile(LocalPath(localName), HostPath(remoteName)); });
}

BOOL FS_CALL FsMkDir(char* path) {
  return OneCall(BOOL{0}, [&] { return HostBool(MakeDirectory(HostPath(path))); });
}

BOOL FS_CALL FsRemoveDir(char* path) {
  return OneCall(BOOL{0}, [&] { return HostBool(RemoveDirectory(HostPath(path))); });
}

BOOL FS_CALL FsDeleteFile(char* path) {
  return OneCall(BOOL{0}, [&] { return HostBool(DeleteFile(HostPath(path))); });
}

int FS_CALL FsExecuteFile(HWND, char* remoteName, char*) {
  return OneCall(0, [&] {
    if (HostPath(remoteName) == kRoot) ShowOptions();
    return 0;
  });
}

BOOL FS_CALL FsDisconnect(char*) {
  return OneCall(BOOL{0}, [&] {
    DestroyPluginObjects();
    LogToHost(kFsLogDisconnect, std::string("DISCONNECT ") + kRoot);
    Host.ConnectionAnnounced = false;
    return BOOL{-1};
  });
}

void FS_CALL FsGetDefRootName(char*, int) {}

}  // extern "C"
