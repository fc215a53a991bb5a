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

}  // namespace

extern "C" {

int FS_CALL FsInit(int pluginNumber, FsProgressCallback progress, FsLogCallback, FsRequestCallback) {
  State.PluginNumber = pluginNumber;
  State.ProgressCallback = progress;
  // A second FsInit without FsDisconnect starts from fresh objects.
  DestroyPluginObjects();
  os::KeepModuleLoaded();
  CreatePluginObjects();
  OpenPhonePort();
  return 0;
}

HANDLE FS_CALL FsFindFirst(char* path, WIN32_FIND_DATAA* findData) {
  return FindFirst(HostPath(path), findData);
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
  if (HostPath(remoteName) == "\\") {
    // The rate list opens at the rate the file holds, which OK may have
    // changed since the module was loaded.
    RunOptionsDialog(State.PortName, settings::Read(SettingsPath()).baudIndex, SettingsPath());
  }
  return 0;
}

BOOL FS_CALL FsDisconnect(char*) {
  DestroyPluginObjects();
  return -1;
}

void FS_CALL FsGetDefRootName(char*, int) {}

}  // extern "C"
