// Copying a file to the phone in chunks of at most 256 bytes, and the
// installations through the three install folders.
#include <chrono>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <system_error>

#include "phone/InstallFolders.h"
#include "phone/LinkDriver.h"
#include "phone/Operations.h"

namespace {

// The steps of the size check that ends each uploaded file.
enum UploadCheckStep : std::uint8_t {
  kCheckNone = 0,
  kCheckSizeAsked = 1,  // the first read request for the file awaits its reply
  kCheckAborting = 2,   // the abort of that read awaits its answer
};

const char* const kRestartQuestion =
    "Phone has to be restarted for the installation to finish. Do it now?";

// A host copies a marked pair with one FsPutFile per file, the next right
// after the last has returned; a person copying the same file again needs
// longer than this to pick it, and after a restart the phone needs longer too.
constexpr std::chrono::seconds kSameInstallWindow{10};

std::string LocalFileName(const std::string& localPath) {
  const auto separator = localPath.find_last_of(os::kLocalPathSeparators);
  return separator == std::string::npos ? localPath : localPath.substr(separator + 1);
}

// The local file as it stands now (its size and time) and where it goes.
std::optional<CompletedInstall> StampOf(const std::string& hostPath, const std::string& localPath) {
  std::error_code error;
  CompletedInstall stamp{hostPath, localPath, std::filesystem::file_size(localPath, error), {}, {}};
  if (!error) stamp.modified = std::filesystem::last_write_time(localPath, error);
  if (error) return std::nullopt;
  return stamp;
}

// Whether the installation just done has sent this very file to this very
// place already (the companion of a Java pair, or the theme itself).
bool InstalledJustNow(const std::string& hostPath, const std::string& localPath) {
  const CompletedInstall& last = State.LastInstall;
  const std::optional<CompletedInstall> now = StampOf(hostPath, localPath);
  return now && !last.localPath.empty() && now->hostPath == last.hostPath &&
         now->localPath == last.localPath && now->size == last.size && now->modified == last.modified &&
         std::chrono::steady_clock::now() - last.finished <= kSameInstallWindow;
}

void NoteInstallDone(const std::string& hostPath, const std::string& sentFile) {
  State.LastInstall = StampOf(hostPath, sentFile).value_or(CompletedInstall{});
  State.LastInstall.finished = std::chrono::steady_clock::now();
}

// The install folder a host folder ("\\NAME\\") names, if any.
const InstallFolder* InstallFolderOf(const std::string& hostFolder) {
  for (const InstallFolder& folder : kInstallFolders) {
    if (hostFolder == std::string("\\") + folder.name + "\\") return &folder;
  }
  return nullptr;
}

std::string PhoneFolderOf(const std::string& phonePath) {
  const auto slash = phonePath.rfind('/');
  return slash == std::string::npos ? std::string() : phonePath.substr(0, slash + 1);
}

bool IsReadable(const std::string& localPath) {
  int error = 0;
  return os::OpenReadingFile(localPath, &error) != nullptr;
}

bool AllSent() { return State.TransferDone == State.TransferSize; }

// Reads the next chunk of the file at the offset of what was sent; false when
// the file no longer holds it (it shrank while it was sent).
bool NextChunk(Bytes* chunk) {
  chunk->resize(std::min<std::size_t>(kChunkSize, State.TransferSize - State.TransferDone));
  std::size_t read = 0;
  if (State.UploadFile->ReadAt(State.TransferDone, chunk->data(), chunk->size(), &read) != 0 ||
      read != chunk->size()) {
    return false;
  }
  State.TransferDone += static_cast<std::uint32_t>(read);
  return true;
}

// Opens the file first: a file that cannot be read, or is too large for the
// size field, fails before anything is sent. The file is read chunk by chunk
// as it is sent.
bool StartUpload(const std::string& localPath, const std::string& phonePath) {
  int error = 0;
  State.UploadFile = os::OpenReadingFile(localPath, &error);
  if (!State.UploadFile || State.UploadFile->Size() > UINT32_MAX) return false;
  State.UploadLocalPath = localPath;
  State.UploadPhonePath = phonePath;
  State.TransferSize = static_cast<std::uint32_t>(State.UploadFile->Size());
  State.TransferDone = 0;
  Bytes chunk;
  if (!NextChunk(&chunk)) return false;
  State.Busy = true;
  State.Sequence = 0;
  State.UploadCheck = kCheckNone;
  StartOperation(ReplyKind::Upload, WriteFirstPacket(phonePath, State.TransferSize, chunk));
  return true;
}

int ReportProgress() {
  if (!State.ProgressCallback) return 0;
  return State.ProgressCallback(State.PluginNumber, State.UploadLocalPath.data(),
                                State.UploadPhonePath.data(),
                                ProgressPercent(State.TransferDone, State.TransferSize));
}

// The abort packet goes out once the wait is over (SettleLink).
void AbortUpload() {
  State.UserAborted = true;
  EndOperation(ReplyKind::Upload, false);
}

// The other file of a Java pair goes to the same phone folder after the first.
std::string CompanionOfCurrentUpload() {
  return State.UploadLocalPath == State.PendingJad ? State.PendingJar : State.PendingJad;
}

void OfferRestart() {
  State.UploadTimer->SetEnabled(false);
  State.Succeeded = true;
  if (Ui.MessageBox(kRestartQuestion, "", os::kMbYesNo | os::kMbIconInformation) == os::kIdYes) {
    // The export waits on for the phone's answer, so the confirmation goes out
    // even on hosts that run no message loop between calls.
    State.RestartPending = true;
    NoteProgress(ReplyKind::Upload);
    SendPacket(RestartPacket());
    State.UploadTimer->SetEnabled(true);
    return;
  }
  State.Busy = false;
}

void UploadFinished() {
  if (!State.PendingJad.empty() && State.PendingTheme.empty()) {
    const std::string companion = CompanionOfCurrentUpload();
    const std::string phonePath = PhoneFolderOf(State.UploadPhonePath) + LocalFileName(companion);
    State.PendingJad.clear();
    if (!StartUpload(companion, phonePath)) EndOperation(ReplyKind::Upload, false);
    return;
  }
  if (!State.PendingJar.empty() || !State.PendingTheme.empty()) return OfferRestart();
  EndOperation(ReplyKind::Upload, true);
}

// The last chunk was taken: the phone is asked for the file as a download
// asks, and its first reply tells the size the phone holds. Nothing in a
// write reply says which chunk it answers, so a reply repeated on the line
// and a chunk lost later would otherwise pass unseen.
void AskStoredSize() {
  State.UploadCheck = kCheckSizeAsked;
  SendPacket(ReadFirstPacket(State.UploadPhonePath));
}

void StoredSizeReply(const Bytes& reply) {
  const ReadReply judged = JudgeReadReply(reply, 0);
  switch (judged.kind) {
    case ReadReply::kStale:
      return NoteReplyWithoutProgress(ReplyKind::Upload);
    case ReadReply::kDamaged:
      return FailUnanswered(ReplyKind::Upload, "a reply from the phone was too short for its fields");
    case ReadReply::kData:
      State.SizeOnPhone = judged.totalSize;
      break;
    case ReadReply::kAskAgain:  // the phone cannot give the file: it holds none
    case ReadReply::kRefused:
      State.SizeOnPhone.reset();
      break;
  }
  // The read is ended as a download's abort ends it.
  NoteProgress(ReplyKind::Upload);
  State.UploadCheck = kCheckAborting;
  SendPacket(AbortPacket());
}

}  // namespace

bool UploadCheckAborting() { return State.UploadCheck == kCheckAborting; }

void EndUploadCheck() {
  State.UploadCheck = kCheckNone;
  if (State.SizeOnPhone == State.TransferSize) return UploadFinished();
  const std::string held = State.SizeOnPhone ? std::to_string(*State.SizeOnPhone) + " bytes" : "no such file";
  ReportFailure("the phone holds " + held + " of the " + std::to_string(State.TransferSize) + " sent to " +
                State.UploadPhonePath);
  EndOperation(ReplyKind::Upload, false);
}

void ProcessUploadReply(const Bytes& reply) {
  if (!State.UploadTimer->Enabled()) return;
  if (State.UploadCheck == kCheckSizeAsked) return StoredSizeReply(reply);
  if (State.UploadCheck == kCheckAborting) {
    if (IsAbortAnswer(reply)) return EndUploadCheck();
    return NoteReplyWithoutProgress(ReplyKind::Upload);
  }
  NoteProgress(ReplyKind::Upload);
  if (reply[0] == char(kCmdRestart)) {
    SendPacket(RestartConfirmPacket());
    State.RestartPending = false;
    State.UploadTimer->SetEnabled(false);
    State.Busy = false;
    return;
  }
  if (!IsWriteAccepted(reply)) {
    // The phone refused the chunk it was sent: the file cannot be complete.
    ReportFailure(RefusalReason(reply));
    EndOperation(ReplyKind::Upload, false);
    return;
  }
  if (AllSent()) return AskStoredSize();
  if (ReportProgress() == 1) return AbortUpload();
  Bytes chunk;
  if (!NextChunk(&chunk)) return EndOperation(ReplyKind::Upload, false);
  State.Sequence = NextSequence(static_cast<std::uint8_t>(State.Sequence));
  SendPacket(WriteNextPacket(static_cast<std::uint8_t>(State.Sequence), chunk));
}

int PutFile(const std::string& localPath, const std::string& hostPath) {
  State.PendingTheme.clear();
  State.PendingJar.clear();
  State.PendingJad.clear();
  State.RestartPending = false;
  if (!State.PortWrapper) return kFsFileFailed;
  const auto lastSeparator = hostPath.rfind('\\');
  const std::string folder = lastSeparator == std::string::npos ? std::string() : hostPath.substr(0, lastSeparator + 1);
  const std::string fileName = hostPath.substr(folder.size());
  const InstallFolder* install = InstallFolderOf(folder);
  if (install && InstalledJustNow(hostPath, localPath)) return kFsFileOk;
  if (install) State.LastInstall = CompletedInstall{};
  std::string phonePath;
  const std::string companion = JavaCompanionOf(localPath);
  if (install && install->javaPair) {
    if (companion.empty()) return kFsFileFailed;
    const bool isJad = localPath.back() == 'd';
    State.PendingJad = isJad ? localPath : companion;
    State.PendingJar = isJad ? companion : localPath;
    // Both files of the pair must be readable before anything is sent.
    if (!IsReadable(localPath) || !IsReadable(companion)) return kFsFileFailed;
    phonePath = install->phoneFolder + fileName;
    Ui.Beep(0, 1001);
  } else if (install) {
    if (!IsReadable(localPath)) return kFsFileFailed;
    State.PendingTheme = localPath;
    for (const char* themeFolder : kThemeFoldersToCreate) MakeDirectory(themeFolder);
    phonePath = install->phoneFolder + fileName;
  } else {
    phonePath = ToPhonePath(hostPath);
  }
  State.Succeeded = false;
  State.UserAborted = false;
  State.RetriesLeft = kTransferRetryLimit;
  if (!PathFitsRequest(phonePath, kLongestWritePath) || !DiscardWaiting() || !StartUpload(localPath, phonePath)) {
    return kFsFileFailed;
  }
  // A restart sends the file that failed from its first write request (sequence
  // 0), which makes the phone start it anew.
  bool started = true;
  while (started) {
    WaitWhileBusy();
    if (State.Succeeded || !RetryFailedAttempt()) break;
    started = StartUpload(State.UploadLocalPath, State.UploadPhonePath);
  }
  if (started && !State.Succeeded) {
    TellIfOnlyEchoes();
    SettleLink();
  }
  State.UploadFile.reset();  // the file is open only while it is sent
  State.TransferDone = 0;
  if (State.Succeeded && install && install->javaPair) {
    NoteInstallDone(folder + LocalFileName(companion), companion);  // beside the file, by its own name
  } else if (State.Succeeded && install) {
    NoteInstallDone(hostPath, localPath);
  }
  if (State.Succeeded) return kFsFileOk;
  return State.UserAborted ? kFsFileAborted : kFsFileFailed;
}
