// Copying a file from the phone: one read request naming the file, then one
// next-chunk request per reply until the announced size has arrived. The data
// goes into a temporary file beside the target, which replaces the target only
// once the whole file has arrived.
#include <utility>

#include "phone/LinkDriver.h"
#include "phone/Operations.h"

namespace {

// Sends the first read request with an empty temporary file; false when that
// file cannot be made. A restart begins here too, with nothing received.
bool StartDownload() {
  State.Download.DownloadStream.reset();  // a new start drops what came before
  int error = 0;
  State.Download.DownloadStream = os::CreateReplacingFile(State.Download.LocalPath, &error);
  if (!State.Download.DownloadStream) {
    ReportFailure(LocalWriteFailure(State.Download.LocalPath, error));
    return false;
  }
  State.Link.Busy = true;
  State.Download.Sequence = 0;
  State.Download.TransferDone = 0;
  State.Download.TransferSize = 0;
  StartOperation(ReplyKind::Download, ReadFirstPacket(State.Download.RemotePath));
  return true;
}

// Ends a download that can never complete: result 4.
void FailDownload(const std::string& reason) {
  ReportFailure(reason);
  EndOperation(ReplyKind::Download, false);
}

int ReportProgress() {
  if (!State.ProgressCallback) return 0;
  return State.ProgressCallback(State.PluginNumber, State.Download.RemotePath.data(), State.Download.LocalPath.data(),
                                ProgressPercent(State.Download.TransferDone, State.Download.TransferSize));
}

// The abort packet goes out once the wait is over (SettleLink).
void AbortDownload() {
  State.Download.UserAborted = true;
  EndOperation(ReplyKind::Download, false);
}

void CompleteDownload() {
  // Without overwrite, a local file that came while the download ran is kept.
  const int committed = State.Download.DownloadStream->Commit(State.Download.OverwriteTarget ? os::CommitMode::kReplace
                                                                           : os::CommitMode::kKeepExisting);
  State.Download.TargetAppeared = committed == os::kErrorFileExists;
  if (State.Download.TargetAppeared) return EndOperation(ReplyKind::Download, false);
  if (committed != 0) return FailDownload(LocalWriteFailure(State.Download.LocalPath, committed));
  EndOperation(ReplyKind::Download, true);
}

// Stores data that arrived; false (and the download failed) when it would
// run past the announced size or cannot be written.
bool Store(const Bytes& data) {
  if (data.size() > State.Download.TransferSize - State.Download.TransferDone) {
    FailDownload("the phone sent more than the " + std::to_string(State.Download.TransferSize) + " bytes it announced");
    return false;
  }
  if (const int error = State.Download.DownloadStream->Append(data.data(), data.size()); error != 0) {
    FailDownload(LocalWriteFailure(State.Download.LocalPath, error));
    return false;
  }
  State.Download.TransferDone += static_cast<std::uint32_t>(data.size());
  return true;
}

}  // namespace

void ProcessDownloadReply(const Bytes& reply) {
  if (!State.DownloadTimer->Enabled()) return;
  const auto sequence = static_cast<std::uint8_t>(State.Download.Sequence);
  ReadReply judged = JudgeReadReply(reply, sequence);
  switch (judged.kind) {
    case ReadReply::kAskAgain:
      // The phone's reply came whole: it is asked at once, nothing to settle.
      if (!TakeRetry("the phone asked for the file again")) return FailDownload(RefusalReason(reply));
      if (!StartDownload()) EndOperation(ReplyKind::Download, false);
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
  Bytes data = std::move(judged.data);
  if (sequence == 0) {
    State.Download.TransferSize = judged.totalSize;
    if (!Store(data)) return;
    ReportProgress();  // an abort is only taken from later replies
  } else {
    DropStrayByte(data);
    if (!Store(data)) return;
    if (ReportProgress() == 1) return AbortDownload();
  }
  if (State.Download.TransferDone == State.Download.TransferSize) return CompleteDownload();
  // The phone says nothing follows, short of the size it announced.
  if (!judged.moreFollows) {
    return FailDownload("the phone ended the file after " + std::to_string(State.Download.TransferDone) + " of the " +
                        std::to_string(State.Download.TransferSize) + " bytes it announced");
  }
  if (data.empty()) {
    NoteReplyWithoutProgress(ReplyKind::Download);
    if (!State.DownloadTimer->Enabled()) return;
  } else {
    NoteProgress();
  }
  State.Download.Sequence = NextSequence(sequence);
  SendPacket(ReadNextPacket(static_cast<std::uint8_t>(State.Download.Sequence)));
}

int GetFile(const std::string& hostPath, const std::string& localPath, int copyFlags) {
  if (!State.PortWrapper) return kFsFileFailed;
  const bool overwrite = (copyFlags & kFsCopyOverwrite) != 0;
  if (os::FileExists(localPath) && !overwrite) {
    Ui.MessageBeep(0);
    return kFsFileExists;
  }
  const std::string phonePath = ToPhonePath(hostPath);
  if (!PathFitsRequest(phonePath, kLongestPhonePath) || !DiscardWaiting()) return kFsFileFailed;
  State.Download = {};
  State.Download.RemotePath = phonePath;
  State.Download.LocalPath = localPath;
  State.Download.OverwriteTarget = overwrite;
  State.Link.RetriesLeft = kTransferRetryLimit;
  State.Link.Succeeded = false;
  State.CommandTimer->SetEnabled(false);
  bool started = StartDownload();
  while (started) {
    WaitWhileBusy();
    if (State.Link.Succeeded || State.Download.UserAborted || !RetryFailedAttempt()) break;
    started = StartDownload();
  }
  if (started && !State.Link.Succeeded) {
    TellIfOnlyEchoes();
    SettleLink();
  }
  // Unless it was committed, the temporary file goes and the target stays as it was.
  State.Download.DownloadStream.reset();
  if (State.Link.Succeeded) return kFsFileOk;
  if (State.Download.TargetAppeared) {
    Ui.MessageBeep(0);
    return kFsFileExists;
  }
  return State.Download.UserAborted ? kFsFileAborted : kFsFileFailed;
}
