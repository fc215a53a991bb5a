// The module's exports, looked up by name after loading, and called one at a
// time as a file manager calls them.
#pragma once

#include <string>

#include "host/HostPlatform.h"
#include "plugin/fsplugin.h"

namespace host {

struct PluginExports {
  decltype(&::FsInit) init = nullptr;
  decltype(&::FsFindFirst) findFirst = nullptr;
  decltype(&::FsFindNext) findNext = nullptr;
  decltype(&::FsFindClose) findClose = nullptr;
  decltype(&::FsGetFile) getFile = nullptr;
  decltype(&::FsPutFile) putFile = nullptr;
  decltype(&::FsMkDir) mkDir = nullptr;
  decltype(&::FsRemoveDir) removeDir = nullptr;
  decltype(&::FsDeleteFile) deleteFile = nullptr;
  decltype(&::FsExecuteFile) executeFile = nullptr;
  decltype(&::FsDisconnect) disconnect = nullptr;
};

// Looks up every export; on a missing one returns false and names it in `missing`.
bool ResolveExports(const LoadedModule& module, PluginExports* exports, std::string* missing);

}  // namespace host
