// The module's one shared record and the routines that create, open and tear
// down the link to the phone.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "platform/platform.h"
#include "plugin/fsplugin.h"
#include "serial/CPort.h"

using Bytes = std::string;

// A listing entry.
struct TFile {
  bool IsDirectory = false;
  std::string Name;
  std::int32_t EntrySize = 0;
  std::uint32_t EntryDate = 0;  // the phone's date: seconds since 1980-01-06 00:00 UTC
};

// Owns the phone's port object; every tick and reply handler runs on it.
class wrapper {
 public:
  wrapper() : port_(std::make_unique<TComPort>()) {}
  TComPort& Port() { return *port_; }

  void CommandTick();
  void DownloadTick();
  void UploadTick();
  void CommandReplyHandler(TCustomComPort* sender, std::int32_t count);
  void DownloadReplyHandler(TCustomComPort* sender, std::int32_t count);
  void UploadReplyHandler(TCustomComPort* sender, std::int32_t count);

  std::unique_ptr<TComPort> port_;
};

// The file an installation has just dealt with, as it stood then: a host that
// copies both files of a Java pair calls FsPutFile for the second file too.
struct CompletedInstall {
  std::string hostPath;    // where it went: "\\INSTALL ...\\" and its name
  std::string localPath;   // the Java companion, or the theme file
  std::uintmax_t size = 0;
  std::chrono::file_clock::time_point modified{};
  std::chrono::steady_clock::time_point finished{};
};

// Which kind of operation the replies now belong to.
enum class ReplyKind { Command, Download, Upload };

struct PluginState {
  // Objects, alive from FsInit to FsDisconnect.
  std::unique_ptr<wrapper> PortWrapper;
  std::unique_ptr<os::Timer> CommandTimer;
  std::unique_ptr<os::Timer> DownloadTimer;
  std::unique_ptr<os::Timer> UploadTimer;

  // Host data and port settings.
  std::int32_t PluginNumber = 0;
  FsProgressCallback ProgressCallback = nullptr;
  FsLogCallback LogCallback = nullptr;
  FsRequestCallback RequestCallback = nullptr;
  bool ConnectionAnnounced = false;  // "CONNECT" logged since FsInit or FsDisconnect
  std::string PortName;
  std::int32_t BaudIndex = 0;

  // Operation control.
  bool Busy = false;
  bool Succeeded = false;
  std::uint8_t ReplyState = 0;
  std::int32_t IdleTicks = 0;
  std::int32_t CommandIdleTicks = 0;  // command poll ticks since the request
  std::int32_t RepliesWithoutProgress = 0;  // complete replies in a row that moved nothing
  std::int32_t Sequence = 0;
  Bytes LastRequest;                   // the packet whose reply is awaited
  ReplyKind CurrentKind = ReplyKind::Command;

  // Listing.
  std::string ListPath;
  TFile Entry;
  std::uint32_t SentIndex = 0;  // index the last listing request asked for
  bool RefreshListingPending = false;  // a made folder's listing request awaits its answer
  bool DirPhaseDone = false;
  bool ListingDone = false;
  std::int32_t InstallFolderIndex = 0;

  // Transfers.
  std::string DownloadName;
  std::string LocalPath;
  std::string RemotePath;
  Bytes TransferBuffer;             // the file being sent
  std::uint32_t TransferSize = 0;
  std::uint32_t TransferDone = 0;   // bytes received or sent so far
  std::unique_ptr<os::ReplacingFile> DownloadStream;  // the download's temporary file
  bool UserAborted = false;         // the progress callback asked to abort
  Bytes RxBuffer;
  std::int32_t RepeatedStarts = 0;  // repeat-request replies in a row
  std::string UploadLocalPath;      // the file being sent and where it goes
  std::string UploadPhonePath;
  bool RestartPending = false;      // restart accepted, the phone's answer awaited
  std::string PendingJar;
  std::string PendingJad;
  std::string PendingTheme;
  CompletedInstall LastInstall;     // kept while the module stays loaded
};

extern PluginState State;

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

// The module's ways of speaking to the user; tests put their own in place.
struct UserInterface {
  std::function<int(const std::string& text, const std::string& caption, unsigned flags)> MessageBox =
      ShowMessageBox;
  std::function<void(unsigned type)> MessageBeep = os::MessageBeep;
  std::function<void(unsigned frequency, unsigned milliseconds)> Beep = os::Beep;
};
extern UserInterface Ui;

inline const char* const PluginTitle = "Velk Mobile Plugin";

// Reads PortName and BaudIndex from the settings file (module start-up).
void LoadSettings();
// Opens the phone's port unless it is open; makes the objects again when
// FsDisconnect has freed them. A port that cannot be opened is reported to
// the host's log with the system's reason when `report` is set.
bool OpenPhonePort(bool report = true);
void WaitWhileBusy();
// FsInit's object creation and FsDisconnect's teardown; teardown never throws.
void CreatePluginObjects();
void DestroyPluginObjects();
