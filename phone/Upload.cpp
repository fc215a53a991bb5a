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

bool AllSent() { return State.Upload.TransferDone == State.Upload.TransferSize; }

// Reads the next chunk of the file at the offset of what was sent; false when
// the file no longer holds it (it shrank while it was sent).
bool NextChunk(Bytes* chunk) {
  chunk->resize(std::min<std::size_t>(kChunkSize, State.Upload.TransferSize - State.Upload.TransferDone));
  std::size_t read = 0;
  if (State.Upload.UploadStream->ReadAt(State.Upload.TransferDone, chunk->data(), chunk->size(), &read) != 0 ||
      read != chunk->size()) {
    return false;
  }
  State.Upload.TransferDone += static_cast<std::uint32_t>(read);
  return true;
}

// Opens the file first: a file that cannot be read, or is too large for the
// size field, fails before anything is sent. The file is read chunk by chunk
// as it is sent.
bool StartUpload(const std::string& localPath, const std::string& phonePath) {
  int error = 0;
  State.Upload.UploadStream = os::OpenReadingFile(localPath, &error);
  if (!State.Upload.UploadStream || State.Upload.UploadStream->Size() > UINT32_MAX) return false;
  State.Upload.LocalPath = localPath;
  State.Upload.RemotePath = phonePath;
  State.Upload.TransferSize = static_cast<std::uint32_t>(State.Upload.UploadStream->Size());
  State.Upload.TransferDone = 0;
  Bytes chunk;
  if (!NextChunk(&chunk)) return false;
  State.Link.Busy = true;
  State.Upload.Sequence = 0;
  State.Upload.UploadCheck = kCheckNone;
  StartOperation(ReplyKind::Upload, WriteFirstPacket(phonePath, State.Upload.TransferSize, chunk));
  return true;
}

int ReportProgress() {
  if (!State.ProgressCallback) return 0;
  return State.ProgressCallback(State.PluginNumber, State.Upload.LocalPath.data(),
                                State.Upload.RemotePath.data(),
                                ProgressPercent(State.Upload.TransferDone, State.Upload.TransferSize));
}

// The abort packet goes out once the wait is over (SettleLink).
void AbortUpload() {
  State.Upload.UserAborted = true;
  EndOperation(ReplyKind::Upload, false);
}

// The other file of a Java pair goes to the same phone folder after the first.
std::string CompanionOfCurrentUpload() {
  return State.Upload.LocalPath == State.Upload.PendingJad ? State.Upload.PendingJar : State.Upload.PendingJad;
}

void OfferRestart() {
  State.UploadTimer->SetEnabled(false);
  State.Link.Succeeded = true;
  if (Ui.MessageBox(kRestartQuestion, "", os::kMbYesNo | os::kMbIconInformation) == os::kIdYes) {
    // The export waits on for the phone's answer, so the confirmation goes out
    // even on hosts that run no message loop between calls.
    State.Upload.RestartPending = true;
    NoteProgress();
    SendPacket(RestartPacket());
    State.UploadTimer->SetEnabled(true);
    return;
  }
  State.Link.Busy = false;
}

void UploadFinished() {
  if (!State.Upload.PendingJad.empty() && State.Upload.PendingTheme.empty()) {
    const std::string companion = CompanionOfCurrentUpload();
    const std::string phonePath = PhoneFolderOf(State.Upload.RemotePath) + LocalFileName(companion);
    State.Upload.PendingJad.clear();
    if (!StartUpload(companion, phonePath)) EndOperation(ReplyKind::Upload, false);
    return;
  }
  if (!State.Upload.PendingJar.empty() || !State.Upload.PendingTheme.empty()) return OfferRestart();
  EndOperation(ReplyKind::Upload, true);
}

// The last chunk was taken: the phone is asked for the file as a download
// asks, and its first reply tells the size the phone holds. Nothing in a
// write reply says which chunk it answers, so a reply repeated on the line
// and a chunk lost later would otherwise pass unseen.
void AskStoredSize() {
  State.Upload.UploadCheck = kCheckSizeAsked;
  SendPacket(ReadFirstPacket(State.Upload.RemotePath));
}

void StoredSizeReply(const Bytes& reply) {
  const ReadReply judged = JudgeReadReply(reply, 0);
  switch (judged.kind) {
    case ReadReply::kStale:
      return NoteReplyWithoutProgress(ReplyKind::Upload);
    case ReadReply::kDamaged:
      return FailUnanswered(ReplyKind::Upload, "a reply from the phone was too short for its fields");
    case ReadReply::kData:
      State.Upload.SizeOnPhone = judged.totalSize;
      break;
    case ReadReply::kAskAgain:  // the phone cannot give the file: it holds none
    case ReadReply::kRefused:
      State.Upload.SizeOnPhone.reset();
      break;
  }
  // The read is ended as a download's abort ends it.
  NoteProgress();
  State.Upload.UploadCheck = kCheckAborting;
  SendPacket(AbortPacket());
}

// Makes an installation ready: the Java pair's files noted, or the theme's,
// whose folders are made first. Returns where the file goes on the phone, or
// none when the installation is refused (nothing is sent then).
std::optional<std::string> PrepareInstall(const InstallFolder& install, const std::string& localPath,
                                          const std::string& fileName) {
  if (install.javaPair) {
    const std::string companion = JavaCompanionOf(localPath);
    if (companion.empty()) return std::nullopt;
    const bool isJad = localPath.back() == 'd';
    State.Upload.PendingJad = isJad ? localPath : companion;
    State.Upload.PendingJar = isJad ? companion : localPath;
    // Both files of the pair must be readable before anything is sent.
    if (!IsReadable(localPath) || !IsReadable(companion)) return std::nullopt;
    Ui.Beep(0, 1001);
  } else {
    if (!IsReadable(localPath)) return std::nullopt;
    State.Upload.PendingTheme = localPath;
    for (const char* themeFolder : kThemeFoldersToCreate) MakeDirectory(themeFolder);
  }
  return install.phoneFolder + fileName;
}

// Sends the file (and an installation's companion) and waits; true when the
// phone holds it. A failed attempt is made again from its first write request
// (sequence 0), which makes the phone start the file anew.
bool SendFile(const std::string& localPath, const std::string& phonePath) {
  if (!StartUpload(localPath, phonePath)) return false;
  for (;;) {
    WaitWhileBusy();
    if (State.Link.Succeeded) return true;
    if (State.Upload.UserAborted || !RetryFailedAttempt()) break;
    if (!StartUpload(State.Upload.LocalPath, State.Upload.RemotePath)) return false;
  }
  TellIfOnlyEchoes();
  SettleLink();
  return false;
}

}  // namespace

bool UploadCheckAborting() { return State.Upload.UploadCheck == kCheckAborting; }

void EndUploadCheck() {
  State.Upload.UploadCheck = kCheckNone;
  if (State.Upload.SizeOnPhone == State.Upload.TransferSize) return UploadFinished();
  const std::optional<std::uint32_t>& onPhone = State.Upload.SizeOnPhone;
  const std::string held = onPhone ? std::to_string(*onPhone) + " bytes" : "no such file";
  ReportFailure("the phone holds " + held + " of the " + std::to_string(State.Upload.TransferSize) + " sent to " +
                State.Upload.RemotePath);
  EndOperation(ReplyKind::Upload, false);
}

void ProcessUploadReply(const Bytes& reply) {
  if (!State.UploadTimer->Enabled()) return;
  if (State.Upload.UploadCheck == kCheckSizeAsked) return StoredSizeReply(reply);
  if (State.Upload.UploadCheck == kCheckAborting) {
    if (IsAbortAnswer(reply)) return EndUploadCheck();
    return NoteReplyWithoutProgress(ReplyKind::Upload);
  }
  NoteProgress();
  if (reply[0] == char(kCmdRestart)) {
    SendPacket(RestartConfirmPacket());
    State.Upload.RestartPending = false;
    State.UploadTimer->SetEnabled(false);
    State.Link.Busy = false;
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
  State.Upload.Sequence = NextSequence(static_cast<std::uint8_t>(State.Upload.Sequence));
  SendPacket(WriteNextPacket(static_cast<std::uint8_t>(State.Upload.Sequence), chunk));
}

int PutFile(const std::string& localPath, const std::string& hostPath) {
  State.Upload = {};
  if (!State.PortWrapper) return kFsFileFailed;
  const std::string folder = hostPath.substr(0, hostPath.rfind('\\') + 1);
  const InstallFolder* install = InstallFolderOf(folder);
  if (install && InstalledJustNow(hostPath, localPath)) return kFsFileOk;
  if (install) State.LastInstall = CompletedInstall{};
  const std::optional<std::string> phonePath =
      install ? PrepareInstall(*install, localPath, hostPath.substr(folder.size())) : ToPhonePath(hostPath);
  if (!phonePath) return kFsFileFailed;
  State.Link.Succeeded = false;
  State.Link.RetriesLeft = kTransferRetryLimit;
  const bool sent =
      PathFitsRequest(*phonePath, kLongestWritePath) && DiscardWaiting() && SendFile(localPath, *phonePath);
  State.Upload.UploadStream.reset();  // the file is open only while it is sent, whatever ended that
  if (!sent) return State.Upload.UserAborted ? kFsFileAborted : kFsFileFailed;
  if (install && install->javaPair) {
    const std::string companion = JavaCompanionOf(localPath);
    NoteInstallDone(folder + LocalFileName(companion), companion);  // beside the file, by its own name
  } else if (install) {
    NoteInstallDone(hostPath, localPath);
  }
  return kFsFileOk;
}
