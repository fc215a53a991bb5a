#include <windows.h>
#include <io.h>

#include <cstdio>

#include "host/HostPlatform.h"

namespace host {

namespace {
volatile LONG interruptRequested = 0;

BOOL WINAPI OnConsoleControl(DWORD type) {
  if (type != CTRL_C_EVENT && type != CTRL_BREAK_EVENT) return FALSE;
  InterlockedExchange(&interruptRequested, 1);
  return TRUE;
}

std::string SystemMessage(DWORD code) {
  char text[512] = {};
  FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, code, 0, text,
                 sizeof text, nullptr);
  std::string message = text;
  // The system ends its texts with a line break and often a full stop.
  while (!message.empty() && (message.back() == '\n' || message.back() == '\r' || message.back() == '.'))
    message.pop_back();
  return message;
}
}  // namespace

LoadedModule::LoadedModule(const std::string& path) {
  HMODULE module = LoadLibraryA(path.c_str());
  if (module == nullptr) {
    const DWORD code = GetLastError();
    error_ = "cannot load " + path + " (error " + std::to_string(code) + ": " + SystemMessage(code) + ")";
  }
  handle_ = reinterpret_cast<void*>(module);
}

LoadedModule::~LoadedModule() {
  if (handle_ != nullptr) FreeLibrary(reinterpret_cast<HMODULE>(handle_));
}

void* LoadedModule::Symbol(const char* name) const {
  return reinterpret_cast<void*>(GetProcAddress(reinterpret_cast<HMODULE>(handle_), name));
}

bool StderrIsTerminal() { return _isatty(_fileno(stderr)) != 0; }

void InstallInterruptHandler() { SetConsoleCtrlHandler(OnConsoleControl, TRUE); }

bool InterruptRequested() { return InterlockedCompareExchange(&interruptRequested, 0, 0) != 0; }

int LastError() { return static_cast<int>(GetLastError()); }

void ClearLastError() { SetLastError(0); }

std::string SystemErrorText(int code) {
  return SystemMessage(static_cast<DWORD>(code)) + " (error " + std::to_string(code) + ")";
}

}  // namespace host
