// Copying a file from the phone: one read request naming the file, then one
// next-chunk request per reply until the announced size has arrived. The data
// goes into a temporary file beside the target, which replaces the target only
// once the whole file has arrived.
#include "phone/LinkDriver.h"
#include "phone/Operations.h"

namespace {

// Sends the first read request with an empty temporary file; false when that
// file cannot be made.
bool StartDownload(const std::string& phonePath) {
  State.DownloadStream.reset();  // a new start drops what came before
  int error = 0;
  State.DownloadStream = os::CreateReplacingFile(State.LocalPath, &error);
  if (!State.DownloadStream) {
    ReportFailure(LocalWriteFailure(State.LocalPath, error));
    return false;
  }
  State.Busy = true;
  State.ReplyState = kStateDownloading;
  State.Sequence = 0;
  State.TransferDone = 0;
  State.TransferSize = 0;
  StartOperation(ReplyKind::Download, ReadFirstPacket(phonePath));
  return true;
}

// Ends a download that can never complete: result 4.
void FailDownload(const std::string& reason) {
  ReportFailure(reason);
  EndOperation(ReplyKind::Download, false);
}

int ReportProgress() {
  if (!State.ProgressCallback) return 0;
  return State.ProgressCallback(State.PluginNumber, State.RemotePath.data(), State.LocalPath.data(),
                                ProgressPercent(State.TransferDone, State.TransferSize));
}

// The abort packet goes out once the wait is over (SettleLink).
void AbortDownload() {
  State.UserAborted = true;
  EndOperation(ReplyKind::Download, false);
}

void CompleteDownload() {
  // Without overwrite, a local file that came while the download ran is kept.
  const int committed = State.DownloadStream->Commit(State.OverwriteTarget ? os::CommitMode::kReplace
                                                                           : os::CommitMode::kKeepExisting);
  State.TargetAppeared = committed == os::kErrorFileExists;
  if (State.TargetAppeared) return EndOperation(ReplyKind::Download, false);
  if (committed != 0) return FailDownload(LocalWriteFailure(State.LocalPath, committed));
  State.LocalPath.clear();
  State.RemotePath.clear();
  State.Sequence = 0;
  EndOperation(ReplyKind::Download, true);
}

// Stores data that arrived; false (and the download failed) when it would
// run past the announced size or cannot be written.
bool Store(const Bytes& data) {
  if (data.size() > State.TransferSize - State.TransferDone) {
    FailDownload("the phone sent more than the " + std::to_string(State.TransferSize) + " bytes it announced");
    return false;
  }
  if (const int error = State.DownloadStream->Append(data.data(), data.size()); error != 0) {
    FailDownload(LocalWriteFailure(State.LocalPath, error));
    return false;
  }
  State.TransferDone += static_cast<std::uint32_t>(data.size());
  return true;
}

}  // namespace

void ProcessDownloadReply(const Bytes& reply) {
  if (!State.DownloadTimer->Enabled()) return;
  const auto sequence = static_cast<std::uint8_t>(State.Sequence);
  const ReadReply judged = JudgeReadReply(reply, sequence);
  switch (judged.kind) {
    case ReadReply::kAskAgain:
      // The phone's reply came whole: it is asked at once, nothing to settle.
      if (!TakeRetry("the phone asked for the file again")) return FailDownload(RefusalReason(reply));
      if (!StartDownload(State.DownloadName)) EndOperation(ReplyKind::Download, false);
      return;
    case ReadReply::kStale:
      return NoteReplyWithoutProgress(ReplyKind::Download);
    case ReadReply::kRefused:  // the phone says why the file cannot come: no use waiting
      return FailDownload(RefusalReason(reply));
    case ReadReply::kDamaged:
      return FailUnanswered(ReplyKind::Download, "a reply from the phone was too short for its fields");
    case ReadReply::kData:
      break;
  }
  Bytes data = judged.data;
  if (sequence == 0) {
    State.TransferSize = judged.totalSize;
    if (!Store(data)) return;
    ReportProgress();  // an abort is only taken from later replies
  } else {
    DropStrayByte(data);
    if (!Store(data)) return;
    if (ReportProgress() == 1) return AbortDownload();
  }
  if (State.TransferDone == State.TransferSize) return CompleteDownload();
  // The phone says nothing follows, short of the size it announced.
  if (!judged.moreFollows) {
    return FailDownload("the phone ended the file after " + std::to_string(State.TransferDone) + " of the " +
                        std::to_string(State.TransferSize) + " bytes it announced");
  }
  if (data.empty()) {
    NoteReplyWithoutProgress(ReplyKind::Download);
    if (!State.DownloadTimer->Enabled()) return;
  } else {
    NoteProgress(ReplyKind::Download);
  }
  State.Sequence = NextSequence(sequence);
  SendPacket(ReadNextPacket(static_cast<std::uint8_t>(State.Sequence)));
}

int GetFile(const std::string& hostPath, const std::string& localPath, int copyFlags) {
  if (!State.PortWrapper) return kFsFileFailed;
  State.OverwriteTarget = (copyFlags & kFsCopyOverwrite) != 0;
  State.TargetAppeared = false;
  if (os::FileExists(localPath) && !State.OverwriteTarget) {
    Ui.MessageBeep(0);
    return kFsFileExists;
  }
  const std::string phonePath = ToPhonePath(hostPath);
  if (!PathFitsRequest(phonePath, kLongestPhonePath) || !DiscardWaiting()) return kFsFileFailed;
  State.DownloadName = phonePath;
  State.RemotePath = phonePath;
  State.LocalPath = localPath;
  State.RetriesLeft = kTransferRetryLimit;
  State.UserAborted = false;
  State.Succeeded = false;
  State.CommandTimer->SetEnabled(false);
  // A restart begins at the first read request with the temporary file emptied.
  bool started = StartDownload(State.DownloadName);
  while (started) {
    WaitWhileBusy();
    if (State.Succeeded || !RetryFailedAttempt()) break;
    started = StartDownload(State.DownloadName);
  }
  if (started && !State.Succeeded) {
    TellIfOnlyEchoes();
    SettleLink();
  }
  // Unless it was committed, the temporary file goes and the target stays as it was.
  State.DownloadStream.reset();
  if (State.Succeeded) return kFsFileOk;
  if (State.TargetAppeared) {
    Ui.MessageBeep(0);
    return kFsFileExists;
  }
  return State.UserAborted ? kFsFileAborted : kFsFileFailed;
}
