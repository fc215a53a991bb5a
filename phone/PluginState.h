// The module's one shared record and the routines that create, open and tear
// down the link to the phone.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "platform/platform.h"
#include "serial/CPort.h"

using Bytes = std::string;

// A listing entry, as the engine hands it to the exports.
struct TFile {
  bool IsDirectory = false;
  std::string Name;
  std::int32_t EntrySize = 0;
  std::uint32_t EntryDate = 0;  // the phone's date: seconds since 1980-01-06 00:00 UTC
};

// Owns the phone's port object; the ticks and the reply handler run on it.
class wrapper {
 public:
  wrapper() : port_(std::make_unique<TComPort>()) {}
  TComPort& Port() { return *port_; }

  void CommandTick();
  void DownloadTick();
  void UploadTick();
  // The one way in for received bytes, whether the port's event or a tick
  // found them: reads `count` bytes and hands each complete reply frame, in
  // order, to the operation that awaits it. A damaged reply fails the running
  // operation; a frame that answers no outstanding request (a late reply of
  // an earlier one, the tail of one sent before the port was opened) is not
  // used, but counts as a sign of life; the request itself coming back (an
  // echo) is neither. A frame longer than the longest reply is cut to its end.
  void ReplyHandler(TCustomComPort* sender, std::int32_t count);

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

// What the link keeps for every operation: whether one runs and how it ended,
// the request awaited, the call's retries, and what is known of the phone on
// the line.
struct LinkState {
  bool Busy = false;
  bool Succeeded = false;
  Bytes LastRequest;  // the packet whose reply is awaited, as sent
  Bytes RxBuffer;     // the start of a reply frame whose end has not arrived
  std::int32_t RetriesLeft = 0;  // retries the running call may still make
  bool Settling = false;  // the replies still owed are awaited and dropped, the abort's answer last
  // The phone answers every request with one reply, in order: requests sent
  // whose reply has not come. The line is clean when none is owed.
  std::int32_t RepliesOwed = 0;
  bool AbortAnswerOwed = false;  // the last settling ended before the phone answered the abort
  // A listing index with 0x7E as its low byte goes out escaped; a phone that
  // gave no valid answer to that is asked as the third-byte rule asks, for
  // the next index, from then on until the port is opened again.
  bool EscapedIndexRefused = false;

  // Since the operation's last start (StartOperation begins each afresh).
  struct AttemptState {
    ReplyKind CurrentKind = ReplyKind::Command;
    std::int32_t IdleTicks = 0;               // poll ticks since the start or the last reply
    std::int32_t RepliesWithoutProgress = 0;  // complete replies in a row that moved nothing
    std::int32_t Echoes = 0;                  // replies that were the request itself (a port that echoes)
    bool OtherReplySeen = false;              // a reply of any other kind came
    bool Unanswered = false;   // the operation ended without an answer it could judge
    bool PortFailed = false;   // the operation ended by a failure of the port
    bool LinkSettled = false;  // no request went out since the abort was answered or given up
    bool AbortAnswerSeen = false;  // while settling: a reply shaped like the abort's answer came
    bool EscapedIndexPending = false;  // the listing request's escaped index awaits its answer
    // Why the attempt failed when a retry may mend that (a reply damaged,
    // missing, or not answering); empty for any other failure.
    std::string RetryReason;
  } Attempt;
};

// Where a listing stands between its calls: the folder, the phase (folders,
// then files, then the install folders of the root) and the next index.
struct ListingPosition {
  std::string ListPath;  // the folder's phone path; a made folder's refresh asks for it too
  std::int32_t Sequence = 0;  // index of the next entry to ask for in the phase
  bool DirPhaseDone = false;
  bool ListingDone = false;
  std::int32_t InstallFolderIndex = 0;
  bool ListingCutTold = false;  // the user was told that this listing is cut
};

struct ListingState : ListingPosition {
  TFile Entry;  // the entry received last
  // The index the outstanding listing request carries: the next index, or the
  // one after it under the third-byte rule, or 0 for a made folder's refresh.
  std::uint32_t SentIndex = 0;
};

// A folder command or delete (the listing's replies go the same way).
struct CommandState {
  std::uint8_t ReplyState = 0;  // which reply the command reply handler judges (CommandReplyState)
  bool CommandRetried = false;  // the command was sent again
  bool RefreshListingPending = false;  // a made folder's listing request awaits its answer
};

struct DownloadState {
  std::string RemotePath;  // the phone file; asked for again when the download restarts
  std::string LocalPath;   // the target
  std::unique_ptr<os::ReplacingFile> DownloadStream;  // the temporary file beside the target
  std::uint32_t TransferSize = 0;  // as the phone announced it
  std::uint32_t TransferDone = 0;  // bytes received
  std::int32_t Sequence = 0;  // number of the last chunk request: 0 for the first, then 1 to 255
  bool OverwriteTarget = false;  // the download may replace a local file of its name
  bool TargetAppeared = false;   // a local file of its name came while it ran, and stays
  bool UserAborted = false;      // the progress callback asked to abort
};

struct UploadState {
  std::string LocalPath;   // the file being sent
  std::string RemotePath;  // where it goes on the phone
  std::unique_ptr<os::ReadingFile> UploadStream;  // the file, read chunk by chunk as it is sent
  std::uint32_t TransferSize = 0;  // the file's size
  std::uint32_t TransferDone = 0;  // bytes sent
  std::int32_t Sequence = 0;  // number of the last write request: 0 for the first, then 1 to 255
  bool UserAborted = false;   // the progress callback asked to abort
  // After its last chunk, an upload asks the phone for the file as a download
  // does, then aborts that read: what the phone announced is compared.
  std::uint8_t UploadCheck = 0;
  std::optional<std::uint32_t> SizeOnPhone;  // none: the phone has no such file
  bool RestartPending = false;  // restart accepted, the phone's answer awaited
  // An installation's files: the Java pair's (the .jad until its upload
  // starts), or the theme.
  std::string PendingJar;
  std::string PendingJad;
  std::string PendingTheme;
};

// The module's one record. Each operation's start resets its own part.
struct PluginState {
  // Objects, alive from FsInit to FsDisconnect.
  std::unique_ptr<wrapper> PortWrapper;
  std::unique_ptr<os::Timer> CommandTimer;
  std::unique_ptr<os::Timer> DownloadTimer;
  std::unique_ptr<os::Timer> UploadTimer;

  // Host data and port settings.
  std::int32_t PluginNumber = 0;
  // The host's progress callback: returns 1 to ask for an abort. Empty when
  // the host passed none.
  std::function<int(int pluginNumber, char* sourceName, char* targetName, int percentDone)> ProgressCallback;
  std::string PortName;
  std::int32_t BaudIndex = 0;

  LinkState Link;
  ListingState Listing;
  CommandState Command;
  DownloadState Download;
  UploadState Upload;
  CompletedInstall LastInstall;  // kept while the module stays loaded
};

extern PluginState State;

// The module's ways of speaking to the user: the exports route them through
// the host where it shows them, tests put their own in place.
struct UserInterface {
  // A message box (os::MessageBox's flags and results).
  std::function<int(const std::string& text, const std::string& caption, unsigned flags)> MessageBox =
      os::MessageBox;
  std::function<void(unsigned type)> MessageBeep = os::MessageBeep;
  std::function<void(unsigned frequency, unsigned milliseconds)> Beep = os::Beep;
  // A failure worth a line in the host's log; nowhere by default.
  std::function<void(const std::string& text)> LogError = [](const std::string&) {};
  // A line of detail for the host's log (a retry); nowhere by default.
  std::function<void(const std::string& text)> LogDetail = [](const std::string&) {};
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
// After a failure broke off a call: no operation is left running, the
// operations' records start afresh, and the files they had open are closed (a
// download's temporary file is removed).
void AbandonOperation() noexcept;
// FsInit's object creation and FsDisconnect's teardown; teardown never throws.
void CreatePluginObjects();
void DestroyPluginObjects();
