// The few things the host program needs from the operating system, behind one
// small interface: loading the module, the executable's folder, the console.
// HostPlatformPosix.cpp and HostPlatformWin32.cpp implement it.
#pragma once

#include <string>

#include "platform/platform.h"

namespace host {

// A loaded module; unloaded when destroyed.
class LoadedModule {
 public:
  // Loads the module at `path`; on failure `error()` says why.
  explicit LoadedModule(const std::string& path);
  ~LoadedModule();
  LoadedModule(const LoadedModule&) = delete;
  LoadedModule& operator=(const LoadedModule&) = delete;

  bool loaded() const { return handle_ != nullptr; }
  const std::string& error() const { return error_; }
  // The address of the export `name`, or null.
  void* Symbol(const char* name) const;

 private:
  void* handle_ = nullptr;
  std::string error_;
};

// Folder of the running executable, ending in the path separator.
using os::ExecutableDir;

bool StderrIsTerminal();

// Ctrl-C (and on Linux SIGTERM and SIGHUP) only raises a flag, so that the
// running transfer ends through the progress callback instead of killing the
// process with the port open and a partial file left.
void InstallInterruptHandler();
bool InterruptRequested();

// The calling thread's last error, where the module leaves it (errno on Linux).
int LastError();
void ClearLastError();

// The system's text for an error code of the serial layer (errno on Linux,
// GetLastError() on Windows).
std::string SystemErrorText(int code);

}  // namespace host
