#include <dlfcn.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstring>

#include "host/HostPlatform.h"

namespace host {

namespace {
volatile std::sig_atomic_t interruptRequested = 0;

void OnInterrupt(int) { interruptRequested = 1; }
void OnFileSizeLimit(int) {}
}  // namespace

LoadedModule::LoadedModule(const std::string& path) {
  // dlopen searches the library path for a name without '/'.
  const std::string openPath = path.find('/') == std::string::npos ? "./" + path : path;
  handle_ = dlopen(openPath.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (handle_ == nullptr) {
    const char* message = dlerror();
    error_ = message != nullptr ? message : "cannot load " + path;
  }
}

LoadedModule::~LoadedModule() {
  if (handle_ != nullptr) dlclose(handle_);
}

void* LoadedModule::Symbol(const char* name) const { return dlsym(handle_, name); }

bool StderrIsTerminal() { return isatty(STDERR_FILENO) == 1; }

void InstallInterruptHandler() {
  struct sigaction action {};
  action.sa_handler = OnInterrupt;
  sigemptyset(&action.sa_mask);
  // Ending the process at once would leave the download's temporary file.
  for (int signal : {SIGINT, SIGTERM, SIGHUP}) sigaction(signal, &action, nullptr);
  // Past the file size limit, a write then fails (EFBIG) and the download ends
  // as on a full disk, instead of the signal ending the process. Caught, not
  // ignored: the programs velkfs starts get the default back.
  action.sa_handler = OnFileSizeLimit;
  sigaction(SIGXFSZ, &action, nullptr);
}

bool InterruptRequested() { return interruptRequested != 0; }

int LastError() { return errno; }

void ClearLastError() { errno = 0; }

std::string SystemErrorText(int code) { return std::strerror(code); }

}  // namespace host
