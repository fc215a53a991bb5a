// The operating-system layer on Windows: the Win32 serial communications API
// with overlapped I/O, the registry's serial-port list, thread timers on a
// message-only window, INI files, and ".mo" catalogues for translations.
#define WIN32_LEAN_AND_MEAN
#define NOMINMAX
#include <windows.h>
#include <shellapi.h>
// windows.h maps MessageBox to MessageBoxA; the layer's own function keeps its name.
#undef MessageBox

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <map>
#include <mutex>

#include "platform/internal.h"
#include "platform/mo_catalog.h"
#include "platform/platform.h"

namespace os {
namespace {

// Error code to report when a call failed but left no code behind.
int FailureCode(DWORD fallback) {
  const DWORD code = GetLastError();
  return static_cast<int>(code != 0 ? code : fallback);
}

std::string ModuleFileName(HMODULE module) {
  std::string name(MAX_PATH, '\0');
  for (;;) {
    const DWORD length = GetModuleFileNameA(module, name.data(), static_cast<DWORD>(name.size()));
    if (length == 0) return {};
    if (length < name.size()) {
      name.resize(length);
      return name;
    }
    name.resize(name.size() * 2);  // truncated: long path
  }
}

std::string FolderOf(const std::string& path) {
  const std::size_t slash = path.find_last_of("\\/");
  return slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
}

// A kernel handle closed when it goes out of scope.
class Handle {
 public:
  explicit Handle(HANDLE handle = nullptr) : handle_(handle) {}
  ~Handle() {
    if (Valid()) CloseHandle(handle_);
  }
  Handle(const Handle&) = delete;
  Handle& operator=(const Handle&) = delete;
  bool Valid() const { return handle_ != nullptr && handle_ != INVALID_HANDLE_VALUE; }
  HANDLE Get() const { return handle_; }
  // Gives the handle up without closing it.
  void Release() { handle_ = nullptr; }

 private:
  HANDLE handle_;
};

// ---------------------------------------------------------------------------
// Serial devices

class Win32SerialDevice final : public detail::QueuedSerialDevice {
 public:
  // Takes ownership of the device handle and of the two events.
  Win32SerialDevice(HANDLE device, HANDLE stopEvent, HANDLE waitEvent)
      : device_(device), stopEvent_(stopEvent), waitEvent_(waitEvent) {}

  ~Win32SerialDevice() override {
    // Closing the device ends any request still pending on it.
    CloseHandle(device_);
  }

  int SetupQueues(std::uint32_t inputSize, std::uint32_t outputSize) override {
    return SetupComm(device_, inputSize, outputSize) ? 0 : FailureCode(ERROR_GEN_FAILURE);
  }

  int DriverSetState(const DeviceControl& control) override {
    static_assert(sizeof(DCB) == 28 && offsetof(DCB, wReserved) == 12, "the DCB's flags word is bytes 8-11");
    DCB dcb;
    std::memset(&dcb, 0, sizeof dcb);
    dcb.DCBlength = sizeof dcb;
    dcb.BaudRate = control.baudRate;
    // The flags are the DCB's bit field word, given bit for bit.
    std::memcpy(reinterpret_cast<char*>(&dcb) + offsetof(DCB, BaudRate) + sizeof dcb.BaudRate, &control.flags,
                sizeof control.flags);
    dcb.XonLim = control.xonLim;
    dcb.XoffLim = control.xoffLim;
    dcb.ByteSize = control.byteSize;
    dcb.Parity = control.parity;
    dcb.StopBits = control.stopBits;
    dcb.XonChar = control.xonChar;
    dcb.XoffChar = control.xoffChar;
    dcb.ErrorChar = control.errorChar;
    dcb.EofChar = control.eofChar;
    dcb.EvtChar = control.evtChar;
    return SetCommState(device_, &dcb) ? 0 : FailureCode(ERROR_GEN_FAILURE);
  }

  int SetTimeouts(const CommTimeouts& timeouts) override {
    COMMTIMEOUTS record;
    record.ReadIntervalTimeout = timeouts.readInterval;
    record.ReadTotalTimeoutMultiplier = timeouts.readTotalMultiplier;
    record.ReadTotalTimeoutConstant = timeouts.readTotalConstant;
    record.WriteTotalTimeoutMultiplier = timeouts.writeTotalMultiplier;
    record.WriteTotalTimeoutConstant = timeouts.writeTotalConstant;
    return SetCommTimeouts(device_, &record) ? 0 : FailureCode(ERROR_GEN_FAILURE);
  }

  // With EV_RXFLAG the driver itself watches for the event character (the
  // DCB's EvtChar) and wakes the wait once per reply.
  int DriverSetEventMask(std::uint32_t mask) override {
    if (!SetCommMask(device_, mask)) return FailureCode(ERROR_GEN_FAILURE);
    eventMask_ = mask;
    return 0;
  }

  int DriverWaitEvent(std::uint32_t* events) override {
    for (;;) {
      if (WaitForSingleObject(stopEvent_.Get(), 0) == WAIT_OBJECT_0) return kWaitCancelled;
      std::memset(&waitRequest_, 0, sizeof waitRequest_);
      waitRequest_.hEvent = waitEvent_.Get();
      ResetEvent(waitEvent_.Get());
      waitMask_ = 0;
      if (WaitCommEvent(device_, &waitMask_, &waitRequest_)) {
        *events = waitMask_;
        return 0;
      }
      const DWORD started = GetLastError();
      if (started == ERROR_OPERATION_ABORTED) {
        if (const int gone = AbortedBecauseGone()) return gone;
        if (ReceivedWhileAborted(events)) return 0;
        continue;
      }
      if (started != ERROR_IO_PENDING) return static_cast<int>(started);

      const HANDLE waitOn[2] = {stopEvent_.Get(), waitEvent_.Get()};
      const DWORD woken = WaitForMultipleObjects(2, waitOn, FALSE, INFINITE);
      if (woken == WAIT_OBJECT_0) {
        // Only the thread that issued a request can cancel it with CancelIo;
        // the request record is a member so that a late completion cannot
        // write into freed memory. Wine's serial wait ignores CancelIo and
        // ends (as Windows does too) when the event mask is set again.
        CancelIo(device_);
        SetCommMask(device_, eventMask_);
        DWORD ignored = 0;
        GetOverlappedResult(device_, &waitRequest_, &ignored, TRUE);
        return kWaitCancelled;
      }
      if (woken != WAIT_OBJECT_0 + 1) return FailureCode(ERROR_GEN_FAILURE);
      DWORD ignored = 0;
      if (GetOverlappedResult(device_, &waitRequest_, &ignored, FALSE)) {
        *events = waitMask_;
        return 0;
      }
      const DWORD failed = GetLastError();
      if (failed != ERROR_OPERATION_ABORTED) return static_cast<int>(failed);
      if (const int gone = AbortedBecauseGone()) return gone;
      if (ReceivedWhileAborted(events)) return 0;
    }
  }

  void CancelWait() override { SetEvent(stopEvent_.Get()); }

  int DriverBytesWaiting(std::uint32_t* count) override {
    DWORD errors = 0;
    COMSTAT status;
    if (!ClearCommError(device_, &errors, &status)) return FailureCode(ERROR_GEN_FAILURE);
    *count = status.cbInQue;
    return 0;
  }

  int DriverRead(void* buffer, std::uint32_t count, std::uint32_t* read) override {
    *read = 0;
    // Under Wine a read with nothing waiting stays pending despite the
    // "return at once" time-outs, so only what is waiting is asked for.
    std::uint32_t waiting = 0;
    if (const int error = DriverBytesWaiting(&waiting)) return error;
    const DWORD wanted = std::min(count, waiting);
    if (wanted == 0) return 0;
    return Transfer(
        [&](OVERLAPPED* request) { return ReadFile(device_, buffer, wanted, nullptr, request); }, read);
  }

  int Write(const void* data, std::uint32_t count, std::uint32_t* written) override {
    *written = 0;
    if (count == 0) return 0;
    return Transfer(
        [&](OVERLAPPED* request) { return WriteFile(device_, data, count, nullptr, request); }, written);
  }

  int DriverPurge(std::uint32_t flags) override { return PurgeComm(device_, flags) ? 0 : FailureCode(ERROR_GEN_FAILURE); }

 private:
  // A wait ended as aborted: Wine does that every few milliseconds while
  // idle, Windows when the device goes away. Returns the code that says the
  // device is gone, or 0 when it still answers.
  int AbortedBecauseGone() {
    DWORD errors = 0;
    COMSTAT status;
    if (ClearCommError(device_, &errors, &status)) return 0;
    const int code = FailureCode(ERROR_OPERATION_ABORTED);
    return DeviceIsGone(code) ? code : 0;
  }

  // Wine reports no EV_RXFLAG; its waits end as aborted every few
  // milliseconds instead, and bytes waiting then are looked at as received.
  bool ReceivedWhileAborted(std::uint32_t* events) {
    if ((eventMask_ & EV_RXFLAG) == 0) return false;
    std::uint32_t waiting = 0;
    if (DriverBytesWaiting(&waiting) != 0 || waiting == 0) return false;
    *events = EV_RXCHAR;
    return true;
  }

  // One overlapped read or write, waited for until it ends; its time-outs bound it.
  template <typename Start>
  int Transfer(Start start, std::uint32_t* transferred) {
    Handle done(CreateEventA(nullptr, TRUE, TRUE, nullptr));
    if (!done.Valid()) return FailureCode(ERROR_GEN_FAILURE);
    OVERLAPPED request;
    std::memset(&request, 0, sizeof request);
    request.hEvent = done.Get();
    if (!start(&request) && GetLastError() != ERROR_IO_PENDING) return FailureCode(ERROR_GEN_FAILURE);
    if (WaitForSingleObject(done.Get(), INFINITE) != WAIT_OBJECT_0) return FailureCode(ERROR_GEN_FAILURE);
    DWORD count = 0;
    if (!GetOverlappedResult(device_, &request, &count, FALSE)) return FailureCode(ERROR_GEN_FAILURE);
    *transferred = count;
    return 0;
  }

  HANDLE device_;
  Handle stopEvent_;
  Handle waitEvent_;
  OVERLAPPED waitRequest_{};
  DWORD waitMask_ = 0;
  DWORD eventMask_ = 0;
};

std::unique_ptr<SerialDevice> OpenWin32SerialDevice(const std::string& portName, int* error) {
  const std::string path = "\\\\.\\" + portName;
  HANDLE device = CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                              FILE_FLAG_OVERLAPPED, nullptr);
  if (device == INVALID_HANDLE_VALUE) {
    *error = FailureCode(ERROR_GEN_FAILURE);
    return nullptr;
  }
  HANDLE stopEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
  HANDLE waitEvent = CreateEventA(nullptr, TRUE, TRUE, nullptr);
  if (stopEvent == nullptr || waitEvent == nullptr) {
    *error = FailureCode(ERROR_GEN_FAILURE);
    if (stopEvent != nullptr) CloseHandle(stopEvent);
    if (waitEvent != nullptr) CloseHandle(waitEvent);
    CloseHandle(device);
    return nullptr;
  }
  *error = 0;
  return std::make_unique<Win32SerialDevice>(device, stopEvent, waitEvent);
}

SerialOpener& TestingOpener() {
  static SerialOpener opener;
  return opener;
}

// Wakes WaitForWork when work is handed over; a stale wake-up only ends one
// wait early.
HANDLE WorkEvent() {
  static const HANDLE event = CreateEventA(nullptr, FALSE, FALSE, nullptr);
  return event;
}

// ---------------------------------------------------------------------------
// Timers: WM_TIMER messages of a message-only window of the module's own class

constexpr char kTimerWindowClass[] = "VelkPluginTimerWindow";
constexpr UINT_PTR kTimerId = 1;

// Live timer windows; the class is unregistered with the last one, because a
// DLL's classes outlive the DLL and would point at unloaded code.
std::mutex timerClassMutex;
int timerWindowCount = 0;

}  // namespace

struct Timer::Impl {
  std::function<void()> onTick;
  HWND window = nullptr;
  unsigned interval = 1000;
  bool enabled = false;

  void Arm() {
    if (enabled && interval > 0) {
      SetTimer(window, kTimerId, interval, nullptr);
    } else {
      KillTimer(window, kTimerId);
    }
  }

  static LRESULT CALLBACK WindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_TIMER && wParam == kTimerId) {
      auto* impl = reinterpret_cast<Impl*>(GetWindowLongPtrA(window, GWLP_USERDATA));
      if (impl != nullptr && impl->enabled && impl->onTick) impl->onTick();
      return 0;
    }
    return DefWindowProcA(window, message, wParam, lParam);
  }
};

Timer::Timer(std::function<void()> onTick) : impl_(std::make_unique<Impl>()) {
  impl_->onTick = std::move(onTick);
  const HINSTANCE instance = detail::ThisModule();
  {
    std::lock_guard<std::mutex> lock(timerClassMutex);
    if (timerWindowCount++ == 0) {
      WNDCLASSEXA windowClass;
      std::memset(&windowClass, 0, sizeof windowClass);
      windowClass.cbSize = sizeof windowClass;
      windowClass.lpfnWndProc = &Impl::WindowProc;
      windowClass.hInstance = instance;
      windowClass.lpszClassName = kTimerWindowClass;
      RegisterClassExA(&windowClass);
    }
  }
  impl_->window =
      CreateWindowExA(0, kTimerWindowClass, "", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr, instance, nullptr);
  SetWindowLongPtrA(impl_->window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(impl_.get()));
}

Timer::~Timer() {
  KillTimer(impl_->window, kTimerId);
  DestroyWindow(impl_->window);
  std::lock_guard<std::mutex> lock(timerClassMutex);
  if (--timerWindowCount == 0) UnregisterClassA(kTimerWindowClass, detail::ThisModule());
}

void Timer::SetInterval(unsigned milliseconds) {
  if (impl_->interval == milliseconds) return;
  impl_->interval = milliseconds;
  impl_->Arm();
}

void Timer::SetEnabled(bool enabled) {
  if (impl_->enabled == enabled) return;
  impl_->enabled = enabled;
  impl_->Arm();
}

bool Timer::Enabled() const { return impl_->enabled; }

bool DispatchMessages() {
  bool any = false;
  MSG message;
  while (PeekMessageA(&message, nullptr, 0, 0, PM_REMOVE)) {
    if (message.message == WM_QUIT) {
      // The quit request belongs to the host's own loop: put it back and stop.
      PostQuitMessage(static_cast<int>(message.wParam));
      return true;
    }
    TranslateMessage(&message);
    DispatchMessageA(&message);
    any = true;
  }
  return any;
}

void WaitForWork(unsigned maxMilliseconds) {
  if (detail::HandOversPending()) return;
  const HANDLE wake = WorkEvent();
  // MWMO_INPUTAVAILABLE also wakes for messages already seen by an earlier peek.
  MsgWaitForMultipleObjectsEx(1, &wake, maxMilliseconds, QS_ALLINPUT, MWMO_INPUTAVAILABLE);
}

// The event threads take every arrival here: there is nothing to watch.
ArrivalWatch::ArrivalWatch() = default;
ArrivalWatch::~ArrivalWatch() = default;

namespace detail {

void SignalWork() { SetEvent(WorkEvent()); }

HMODULE ThisModule() {
  HMODULE module = nullptr;
  GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                     reinterpret_cast<LPCSTR>(&ThisModule), &module);
  return module;
}

}  // namespace detail

// ---------------------------------------------------------------------------
// Serial ports

bool DeviceIsGone(int error) {
  switch (error) {
    case ERROR_DEVICE_REMOVED:
    case ERROR_BAD_COMMAND:
    case ERROR_ACCESS_DENIED:
    case ERROR_OPERATION_ABORTED:
      return true;
    default:
      return false;
  }
}

std::unique_ptr<SerialDevice> OpenSerialDevice(const std::string& portName, int* error) {
  if (TestingOpener()) return TestingOpener()(portName, error);
  return OpenWin32SerialDevice(portName, error);
}

void SetSerialOpenerForTesting(SerialOpener opener) { TestingOpener() = std::move(opener); }

bool SerialPortExists(const std::string& portName) {
  char target[MAX_PATH];
  return !portName.empty() && QueryDosDeviceA(portName.c_str(), target, sizeof target) != 0;
}

int ListSerialPorts(std::vector<std::string>* names) {
  HKEY key = nullptr;
  LONG result = RegOpenKeyExA(HKEY_LOCAL_MACHINE, "HARDWARE\\DEVICEMAP\\SERIALCOMM", 0, KEY_READ, &key);
  if (result != ERROR_SUCCESS) return static_cast<int>(result);
  std::vector<std::string> found;
  for (DWORD index = 0;; ++index) {
    char name[256];
    BYTE data[256];
    DWORD nameLength = sizeof name;
    DWORD dataLength = sizeof data;
    result = RegEnumValueA(key, index, name, &nameLength, nullptr, nullptr, data, &dataLength);
    if (result != ERROR_SUCCESS) break;
    // The data is a zero-terminated text; the zero is not part of the name.
    found.emplace_back(reinterpret_cast<const char*>(data), dataLength > 0 ? dataLength - 1 : 0);
  }
  RegCloseKey(key);
  if (result != ERROR_NO_MORE_ITEMS) return static_cast<int>(result);
  *names = std::move(found);
  return 0;
}

// ---------------------------------------------------------------------------
// User interface

int MessageBox(const std::string& text, const std::string& caption, unsigned flags) {
  return MessageBoxA(nullptr, text.c_str(), caption.c_str(), flags | MB_TASKMODAL);
}

void Beep(unsigned frequency, unsigned milliseconds) { ::Beep(frequency, milliseconds); }

void MessageBeep(unsigned type) { ::MessageBeep(type); }

void ShellOpen(const std::string& target) {
  ShellExecuteA(nullptr, "Open", target.c_str(), nullptr, nullptr, SW_SHOWNORMAL);
}

// ---------------------------------------------------------------------------
// Files, settings, the process

std::string IniRead(const std::string& file, const std::string& section, const std::string& key,
                    const std::string& defaultValue) {
  char value[2048];
  const DWORD length = GetPrivateProfileStringA(section.c_str(), key.c_str(), defaultValue.c_str(), value,
                                                sizeof value, file.c_str());
  return std::string(value, length);
}

int IniWrite(const std::string& file, const std::string& section, const std::string& key,
             const std::string& value) {
  return WritePrivateProfileStringA(section.c_str(), key.c_str(), value.c_str(), file.c_str())
             ? 0
             : FailureCode(ERROR_WRITE_FAULT);
}

std::string ExecutableDir() { return FolderOf(ModuleFileName(nullptr)); }

std::string ModuleDir() { return FolderOf(ModuleFileName(detail::ThisModule())); }

bool FileExists(const std::string& path) {
  const DWORD attributes = GetFileAttributesA(path.c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0;
}

int DeleteLocalFile(const std::string& path) {
  return DeleteFileA(path.c_str()) ? 0 : FailureCode(ERROR_ACCESS_DENIED);
}

namespace {

class Win32ReadingFile : public ReadingFile {
 public:
  Win32ReadingFile(HANDLE file, std::uint64_t size) : file_(file), size_(size) {}
  std::uint64_t Size() const override { return size_; }
  int ReadAt(std::uint64_t offset, char* buffer, std::size_t count, std::size_t* read) override {
    std::size_t done = 0;
    while (done < count) {
      const std::uint64_t at = offset + done;
      OVERLAPPED position{};
      position.Offset = static_cast<DWORD>(at & 0xFFFFFFFF);
      position.OffsetHigh = static_cast<DWORD>(at >> 32);
      const auto piece = static_cast<DWORD>(std::min<std::size_t>(count - done, 0x40000000));
      DWORD got = 0;
      if (!ReadFile(file_.Get(), buffer + done, piece, &got, &position)) {
        if (GetLastError() == ERROR_HANDLE_EOF) break;
        return FailureCode(ERROR_READ_FAULT);
      }
      if (got == 0) break;
      done += got;
    }
    *read = done;
    return 0;
  }

 private:
  Handle file_;
  std::uint64_t size_;
};

}  // namespace

std::unique_ptr<ReadingFile> OpenReadingFile(const std::string& path, int* error) {
  Handle file(CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                          FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!file.Valid()) {
    *error = FailureCode(ERROR_FILE_NOT_FOUND);
    return nullptr;
  }
  if (GetFileType(file.Get()) != FILE_TYPE_DISK) {
    *error = ERROR_BAD_FILE_TYPE;
    return nullptr;
  }
  LARGE_INTEGER size;
  if (!GetFileSizeEx(file.Get(), &size)) {
    *error = FailureCode(ERROR_READ_FAULT);
    return nullptr;
  }
  auto reading = std::make_unique<Win32ReadingFile>(file.Get(), static_cast<std::uint64_t>(size.QuadPart));
  file.Release();
  return reading;
}

namespace {

class Win32ReplacingFile : public ReplacingFile {
 public:
  Win32ReplacingFile(std::string target, std::string temp, HANDLE file)
      : target_(std::move(target)), temp_(std::move(temp)), file_(file) {}
  ~Win32ReplacingFile() override {
    if (file_ != INVALID_HANDLE_VALUE) CloseHandle(file_);
    if (!committed_) DeleteFileA(temp_.c_str());
  }
  int Write(const char* data, std::size_t count) override {
    std::size_t done = 0;
    while (done < count) {
      DWORD written = 0;
      const auto piece = static_cast<DWORD>(std::min<std::size_t>(count - done, 0x40000000));
      if (!WriteFile(file_, data + done, piece, &written, nullptr) || written == 0)
        return FailureCode(ERROR_WRITE_FAULT);
      done += written;
    }
    return 0;
  }
  int Finish(CommitMode mode) override {
    const BOOL closed = CloseHandle(file_);
    file_ = INVALID_HANDLE_VALUE;
    if (!closed) return FailureCode(ERROR_WRITE_FAULT);
    const DWORD flags = mode == CommitMode::kReplace ? MOVEFILE_REPLACE_EXISTING : 0;
    if (!MoveFileExA(temp_.c_str(), target_.c_str(), flags)) {
      const DWORD failure = GetLastError();
      if (failure == ERROR_ALREADY_EXISTS || failure == ERROR_FILE_EXISTS) return kErrorFileExists;
      return FailureCode(ERROR_WRITE_FAULT);
    }
    committed_ = true;
    return 0;
  }

 private:
  std::string target_;
  std::string temp_;
  HANDLE file_;
  bool committed_ = false;
};

}  // namespace

std::unique_ptr<ReplacingFile> CreateReplacingFile(const std::string& path, int* error) {
  // A new name in the target's folder, so that the move at Commit replaces
  // the target in one step and no partial file ever stands under its name.
  const std::string folder = FolderOf(path);
  char temporary[MAX_PATH];
  if (GetTempFileNameA(folder.empty() ? "." : folder.c_str(), "vlk", 0, temporary) == 0) {
    *error = FailureCode(ERROR_WRITE_FAULT);
    return nullptr;
  }
  const HANDLE file =
      CreateFileA(temporary, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    *error = FailureCode(ERROR_WRITE_FAULT);
    DeleteFileA(temporary);
    return nullptr;
  }
  return std::make_unique<Win32ReplacingFile>(path, temporary, file);
}

int LastError() { return static_cast<int>(GetLastError()); }

void SetLastError(int code) { ::SetLastError(static_cast<DWORD>(code)); }

// ---------------------------------------------------------------------------
// Translation

namespace {

// The user's interface language as catalogue folder names, most specific
// first: "de_DE", then "de".
std::vector<std::string> UserLanguages() {
  wchar_t wide[LOCALE_NAME_MAX_LENGTH];
  if (GetUserDefaultLocaleName(wide, LOCALE_NAME_MAX_LENGTH) == 0) return {};
  std::string name;
  for (const wchar_t* c = wide; *c != 0; ++c) name += *c == L'-' ? '_' : static_cast<char>(*c);
  std::vector<std::string> languages{name};
  const std::size_t underscore = name.find('_');
  if (underscore != std::string::npos) languages.push_back(name.substr(0, underscore));
  return languages;
}

std::optional<MoCatalog> LoadCatalogue(const std::string& domain) {
  for (const std::string& language : UserLanguages()) {
    const std::string path = ModuleDir() + "locale\\" + language + "\\LC_MESSAGES\\" + domain + ".mo";
    std::string data;
    if (ReadLocalFile(path, &data) != 0) continue;
    if (auto catalogue = MoCatalog::Parse(data)) return catalogue;
  }
  return std::nullopt;
}

}  // namespace

std::string Translate(const char* domain, const char* message) {
  static std::mutex mutex;
  static std::map<std::string, std::optional<MoCatalog>> catalogues;
  std::lock_guard<std::mutex> lock(mutex);
  auto found = catalogues.find(domain);
  if (found == catalogues.end()) found = catalogues.emplace(domain, LoadCatalogue(domain)).first;
  if (found->second) {
    if (const std::string* translated = found->second->Find(message)) return *translated;
  }
  return message;
}

void KeepModuleLoaded() {
  HMODULE pinned = nullptr;
  GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_PIN,
                     reinterpret_cast<LPCSTR>(&detail::ThisModule), &pinned);
}

}  // namespace os
