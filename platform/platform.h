// The operating-system layer: everything the module, the serial port object and
// the options dialog need from the system, behind one small interface.
// platform_win32.cpp implements it with the Win32 API, platform_posix.cpp with
// POSIX (termios, poll, a hand-written INI reader and writer).
//
// Every function that can fail returns 0 on success or the system's error code
// (GetLastError() on Windows, errno on Linux); codes keep their system meaning,
// so a missing device is 2 on both.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace os {

// ---------------------------------------------------------------------------
// Serial devices

// The device-control record handed to the driver: the fields of the Windows DCB
// that the port object sets. `flags` uses the DCB's bit values (fBinary 0x1,
// fParity 0x2, fOutxCtsFlow 0x4, fOutxDsrFlow 0x8, DTR control 0x10/0x20,
// fDsrSensitivity 0x40, fTXContinueOnXoff 0x80, fOutX 0x100, fInX 0x200,
// fErrorChar 0x400, fNull 0x800, RTS control 0x1000/0x2000/0x3000).
struct DeviceControl {
  std::uint32_t baudRate = 0;
  std::uint32_t flags = 0;
  std::uint16_t xonLim = 0;
  std::uint16_t xoffLim = 0;
  std::uint8_t byteSize = 8;  // 5..8
  std::uint8_t parity = 0;    // 0 none, 1 odd, 2 even, 3 mark, 4 space
  std::uint8_t stopBits = 0;  // 0 one, 1 one and a half, 2 two
  char xonChar = 0;
  char xoffChar = 0;
  char errorChar = 0;
  char eofChar = 0;
  char evtChar = 0;
};

enum : std::uint32_t {
  kDcbBinary = 0x1,
  kDcbParity = 0x2,
  kDcbOutxCtsFlow = 0x4,
  kDcbOutxDsrFlow = 0x8,
  kDcbDtrEnable = 0x10,
  kDcbDtrHandshake = 0x20,
  kDcbDtrMask = 0x30,
  kDcbDsrSensitivity = 0x40,
  kDcbTxContinueOnXoff = 0x80,
  kDcbOutX = 0x100,
  kDcbInX = 0x200,
  kDcbErrorChar = 0x400,
  kDcbNull = 0x800,
  kDcbRtsEnable = 0x1000,
  kDcbRtsHandshake = 0x2000,
  kDcbRtsToggle = 0x3000,
  kDcbRtsMask = 0x3000,
};

// Time-outs in milliseconds, as the Windows COMMTIMEOUTS record;
// 0xFFFFFFFF is MAXDWORD.
struct CommTimeouts {
  std::uint32_t readInterval = 0;
  std::uint32_t readTotalMultiplier = 0;
  std::uint32_t readTotalConstant = 0;
  std::uint32_t writeTotalMultiplier = 0;
  std::uint32_t writeTotalConstant = 0;
};

// Device events, with the Windows EV_* values.
enum : std::uint32_t {
  kEvRxChar = 0x1,
  kEvRxFlag = 0x2,
  kEvTxEmpty = 0x4,
  kEvCts = 0x8,
  kEvDsr = 0x10,
  kEvRlsd = 0x20,
  kEvBreak = 0x40,
  kEvErr = 0x80,
  kEvRing = 0x100,
  kEvRx80Full = 0x400,
};

// Purge flags, with the Windows PURGE_* values.
enum : std::uint32_t {
  kPurgeTxAbort = 0x1,
  kPurgeRxAbort = 0x2,
  kPurgeTxClear = 0x4,
  kPurgeRxClear = 0x8,
};

// WaitEvent's result when CancelWait ended the wait.
constexpr int kWaitCancelled = -1;

// What differs between the two systems as plain facts, so that the layers
// above need no code of their own per system.
#ifdef _WIN32
// The system's code for a call on a device that is not open (ERROR_INVALID_HANDLE).
constexpr int kErrorInvalidHandle = 6;
// The separator of the paths a host hands to the module.
constexpr char kHostPathSeparator = '\\';
// The separators of local file paths.
constexpr const char* kLocalPathSeparators = "\\/";
// The module shows its own message boxes and window and announces nothing in
// the host's log, whatever callbacks the host passed.
constexpr bool kUsesHostCallbacks = false;
// The settings live beside the host's executable only.
constexpr bool kHasUserSettings = false;
// The system ends the module's threads at process exit, and a pinned module is
// never unmapped before that; joining them at unload would wait on the loader.
constexpr bool kStopThreadsAtUnload = false;
#else
constexpr int kErrorInvalidHandle = 9;  // EBADF
constexpr char kHostPathSeparator = '/';
constexpr const char* kLocalPathSeparators = "/";
// A host that passes a request callback shows the module's messages and
// questions; a log callback gets the module's log lines.
constexpr bool kUsesHostCallbacks = true;
// Each user has a settings file of their own beside the common one.
constexpr bool kHasUserSettings = true;
// No thread of the module may outlive it: unloading joins them.
constexpr bool kStopThreadsAtUnload = true;
#endif
// The system's code for a resource in use by someone else (Windows
// ERROR_BUSY, Linux EBUSY), and for a file that exists already (Windows
// ERROR_FILE_EXISTS, Linux EEXIST), and for a device that could not be read
// (Windows ERROR_READ_FAULT, Linux EIO).
#ifdef _WIN32
constexpr int kErrorBusy = 170;
constexpr int kErrorFileExists = 80;
constexpr int kErrorReadFault = 30;
#else
constexpr int kErrorBusy = 16;
constexpr int kErrorFileExists = 17;
constexpr int kErrorReadFault = 5;
#endif

// An open serial device. Destroying it closes the device.
// All calls but CancelWait come from one thread at a time: the user-interface
// thread, or the port's event thread for SetEventMask/WaitEvent.
class SerialDevice {
 public:
  virtual ~SerialDevice() = default;
  virtual int SetupQueues(std::uint32_t inputSize, std::uint32_t outputSize) = 0;
  virtual int SetState(const DeviceControl& control) = 0;
  virtual int SetTimeouts(const CommTimeouts& timeouts) = 0;
  virtual int SetEventMask(std::uint32_t mask) = 0;
  // Blocks until one of the masked events happens (returns 0 with the events
  // in *events) or until CancelWait is called (returns kWaitCancelled).
  // Any other result is a failure that ends the event thread. kEvRxFlag
  // reports the event character (DeviceControl::evtChar) among received bytes.
  virtual int WaitEvent(std::uint32_t* events) = 0;
  // Called from another thread: ends the current WaitEvent and makes every
  // later one return kWaitCancelled at once.
  virtual void CancelWait() = 0;
  // Count of received bytes waiting; also clears the device's line errors.
  virtual int BytesWaiting(std::uint32_t* count) = 0;
  // Reads at most `count` bytes that are waiting, never waiting for more.
  virtual int Read(void* buffer, std::uint32_t count, std::uint32_t* read) = 0;
  // Writes all bytes, bounded by the write time-outs.
  virtual int Write(const void* data, std::uint32_t count, std::uint32_t* written) = 0;
  virtual int Purge(std::uint32_t flags) = 0;
  // Where the device may report received bytes besides WaitEvent: a device
  // that the user-interface thread can watch while it waits for work
  // (WaitForWork, Linux) takes what has arrived itself and calls `sink` with
  // the events it brought (those WaitEvent would report), on that thread. A
  // reply then costs no hand-over from the event thread. Devices without
  // that ignore it; an empty function ends it.
  using ArrivalSink = std::function<void(std::uint32_t events)>;
  virtual void SetArrivalSink(ArrivalSink sink) { (void)sink; }
};

// Opens a serial device by port name. Windows: "\\.\" + name.
// Linux: an absolute path as it is, "COMn" as /dev/ttyS(n-1), anything else
// as /dev/NAME. On failure returns null and stores the code in *error.
std::unique_ptr<SerialDevice> OpenSerialDevice(const std::string& portName, int* error);

// Whether a serial device answers to the port name (as OpenSerialDevice maps
// it), without opening it: a name typed by the user that no port list named.
bool SerialPortExists(const std::string& portName);

// Whether a device call failed because the device itself is gone (unplugged,
// the other end hung up): Linux EIO, ENXIO, ENODEV; Windows
// ERROR_DEVICE_REMOVED, ERROR_BAD_COMMAND, ERROR_ACCESS_DENIED and
// ERROR_OPERATION_ABORTED.
bool DeviceIsGone(int error);

// Replaces OpenSerialDevice's implementation (tests install fake devices);
// an empty function restores the real one.
using SerialOpener =
    std::function<std::unique_ptr<SerialDevice>(const std::string& portName, int* error)>;
void SetSerialOpenerForTesting(SerialOpener opener);

// Names of the serial ports present on the machine, unsorted, in the form the
// port object accepts. Windows: the data of the values under
// HKLM\HARDWARE\DEVICEMAP\SERIALCOMM. Linux: the driver-backed devices of
// /sys/class/tty (legacy ttyS ports only where a UART answers) by their name
// under /dev ("ttyS0", "ttyUSB0", "ttyACM0"). Returns 0 or the system's code.
int ListSerialPorts(std::vector<std::string>* names);

// ---------------------------------------------------------------------------
// The user-interface thread's message queue

// A timer whose ticks arrive as messages of the thread that created it: its
// callback runs only inside DispatchMessages (or a modal loop). Created disabled.
class Timer {
 public:
  explicit Timer(std::function<void()> onTick);
  ~Timer();
  Timer(const Timer&) = delete;
  Timer& operator=(const Timer&) = delete;
  void SetInterval(unsigned milliseconds);
  void SetEnabled(bool enabled);
  bool Enabled() const;

  struct Impl;

 private:
  std::unique_ptr<Impl> impl_;
};

// Dispatches every message waiting for the calling thread (timer ticks that
// are due included); returns true if it dispatched any.
bool DispatchMessages();

// Runs the hand-overs that other threads have queued; returns true if any ran.
bool RunHandOvers();

// Sleeps until a message or timer tick is due for the calling thread, a
// hand-over is queued, or `maxMilliseconds` have passed.
void WaitForWork(unsigned maxMilliseconds);

// While one lives, the devices that the calling thread watched in its
// WaitForWork (see SerialDevice::SetArrivalSink) stay its own between its
// waits: their event threads sleep until it ends. For a thread that waits for
// work in a loop, replies coming one after another. Nests; a WaitForWork
// outside one watches for that wait alone.
class ArrivalWatch {
 public:
  ArrivalWatch();
  ~ArrivalWatch();
  ArrivalWatch(const ArrivalWatch&) = delete;
  ArrivalWatch& operator=(const ArrivalWatch&) = delete;
};

#ifndef _WIN32
// Timers and WaitForWork go by a clock. Tests and fuzzers switch it to a
// manual clock that stands still while the module works: WaitForWork, when no
// hand-over is queued and no tick is due, moves it on to the next tick (or by
// `maxMilliseconds`) instead of sleeping. A run then takes no real time and
// the same input always takes the same course, provided that whatever feeds
// the port has queued its hand-over before WaitForWork looks. The module never
// switches; the Windows build's timers are the system's own.
void UseManualClockForTesting(bool manual);
// Milliseconds the manual clock has moved on since it was switched on.
std::uint64_t ManualClockMilliseconds();
#endif

// From a worker thread: queues `work` for the user-interface thread and blocks
// until RunHandOvers has run it. Returns false without running it when hand-overs
// are shut down. A failure that `work` raises is passed on to HandOver's caller.
bool HandOver(std::function<void()> work);

// Queues `work` like HandOver but returns at once; a failure it raises goes no
// further. False when hand-overs are shut down.
bool Post(std::function<void()> work);

// Makes every pending and later HandOver return false without running; used
// while the module is unloaded.
void ShutDownHandOvers();

// ---------------------------------------------------------------------------
// User interface

constexpr unsigned kMbOk = 0x0;
constexpr unsigned kMbYesNo = 0x4;
constexpr unsigned kMbIconError = 0x10;
constexpr unsigned kMbIconInformation = 0x40;
constexpr int kIdOk = 1;
constexpr int kIdYes = 6;
constexpr int kIdNo = 7;

// A modal message box. Linux: text and caption on the controlling terminal, a
// Yes/No question answered there; without a terminal on standard error, and a
// question is answered No.
int MessageBox(const std::string& text, const std::string& caption, unsigned flags);
void Beep(unsigned frequency, unsigned milliseconds);
void MessageBeep(unsigned type);
// Asks the shell to open `target` with the verb "Open"; the result is ignored.
void ShellOpen(const std::string& target);

// ---------------------------------------------------------------------------
// Files, settings, the process

// INI files with the semantics of GetPrivateProfileStringA and
// WritePrivateProfileStringA: section and key names are case-insensitive, a
// missing value gives the default, a write creates the file or the section and
// keeps every other line. IniWrite returns 0 or the system's code.
std::string IniRead(const std::string& file, const std::string& section, const std::string& key,
                    const std::string& defaultValue);
int IniWrite(const std::string& file, const std::string& section, const std::string& key,
             const std::string& value);

// Folder of the running executable, ending in the path separator.
std::string ExecutableDir();
// Folder of the module that contains this code, ending in the path separator.
std::string ModuleDir();

// Keeps the module mapped until the process ends, so that a host unloading it
// while the port's event thread runs cannot pull the code from under that
// thread (Windows; nothing to do where unloading joins the thread).
void KeepModuleLoaded();

bool FileExists(const std::string& path);
int DeleteLocalFile(const std::string& path);

// A regular local file read piece by piece, from any offset: a file of any
// size is read with little memory.
class ReadingFile {
 public:
  virtual ~ReadingFile() = default;
  // The size when the file was opened.
  virtual std::uint64_t Size() const = 0;
  // Reads at most `count` bytes at `offset`; *read is less only at the file's end.
  virtual int ReadAt(std::uint64_t offset, char* buffer, std::size_t count, std::size_t* read) = 0;
};
// Null on failure, with the code in *error. Only regular files open (Linux:
// EINVAL for anything else, Windows: ERROR_BAD_FILE_TYPE); opening never
// waits, not even for a FIFO's writer.
std::unique_ptr<ReadingFile> OpenReadingFile(const std::string& path, int* error);

// Reads a regular file whole, or its first `limit` bytes (through ReadingFile).
int ReadLocalFile(const std::string& path, std::string* data, std::size_t limit = SIZE_MAX);
// Creates or replaces a local file in one step (through ReplacingFile).
int WriteLocalFile(const std::string& path, const std::string& data);

// Whether the last step of a ReplacingFile may replace a file that stands
// under its name by then.
enum class CommitMode { kReplace, kKeepExisting };

// A local file written piece by piece into a temporary file beside it, under
// a short name of its own (Linux ".velk-XXXXXX", Windows "vlkXXXX.tmp"), so
// that every valid name has room for it. Commit puts it under its name in one
// step; with kKeepExisting a file that stands there by then is kept, and
// Commit returns kErrorFileExists. A writer destroyed before a successful
// Commit removes its temporary file and leaves the file untouched.
// Appended pieces are gathered and written out in large ones: a failure to
// write shows at a later Append or at Commit.
class ReplacingFile {
 public:
  virtual ~ReplacingFile() = default;
  int Append(const char* data, std::size_t count);
  int Commit(CommitMode mode);

 protected:
  // Each system's: writes all of `data` to the temporary file; puts it under
  // its name.
  virtual int Write(const char* data, std::size_t count) = 0;
  virtual int Finish(CommitMode mode) = 0;

 private:
  std::string gathered_;
};
// Null on failure, with the code in *error.
std::unique_ptr<ReplacingFile> CreateReplacingFile(const std::string& path, int* error);

int LastError();
void SetLastError(int code);

// Passes a message through the catalogue of `domain`; returns it unchanged
// when there is no catalogue or no translation. Catalogues are GNU gettext
// ".mo" files at <module folder>/locale/<language>/LC_MESSAGES/<domain>.mo.
std::string Translate(const char* domain, const char* message);

}  // namespace os
