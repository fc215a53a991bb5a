// Copying a file from the phone: one read request naming the file, then one
// next-chunk request per reply until the announced size has arrived.
#include "phone/LinkDriver.h"
#include "phone/Operations.h"

namespace {

constexpr std::size_t kLongestPhonePath = 254;  // the path's count byte includes its zero
// A phone that keeps asking for the request again gets this many tries.
constexpr int kRepeatLimit = 3;

void StartDownload(const std::string& phonePath) {
  State.Busy = true;
  State.ReplyState = kStateDownloading;
  State.Sequence = 0;
  State.TransferBuffer.clear();
  State.TransferSize = 0;
  StartOperation(ReplyKind::Download, ReadFirstPacket(phonePath));
}

// Ends a download that can never complete: result 4 at once.
void FailDownload() {
  State.TransferBuffer.clear();
  State.TransferSize = 0;
  EndOperation(ReplyKind::Download, false);
}

int ReportProgress() {
  if (!State.ProgressCallback) return 0;
  return State.ProgressCallback(State.PluginNumber, State.RemotePath.data(), State.LocalPath.data(),
                                ProgressPercent(static_cast<std::int64_t>(State.TransferBuffer.size()),
                                                State.TransferSize));
}

void AbortDownload() {
  SendPacket(AbortPacket());
  State.Busy = false;
  BindReplyHandler(ReplyKind::Command);
  State.CurrentKind = ReplyKind::Command;
  State.Succeeded = false;
  State.DownloadTimer->SetEnabled(false);
}

void CompleteDownload() {
  if (os::WriteLocalFile(State.LocalPath, State.TransferBuffer) != 0) {
    // Everything arrived but cannot be stored: the buffer stays full, so the result is 4.
    EndOperation(ReplyKind::Download, false);
    return;
  }
  State.TransferBuffer.clear();
  State.LocalPath.clear();
  State.RemotePath.clear();
  State.Sequence = 0;
  EndOperation(ReplyKind::Download, true);
}

}  // namespace

void ProcessDownloadReply(const Bytes& reply) {
  if (!State.DownloadTimer->Enabled()) return;
  State.IdleTicks = 0;
  if (AsksForReadAgain(reply)) {
    if (++State.RepeatedStarts > kRepeatLimit) return FailDownload();
    StartDownload(State.DownloadName);
    return;
  }
  State.RepeatedStarts = 0;
  if (State.Sequence == 0) {
    const std::optional<ReadReply> first = ParseFirstReadReply(reply);
    if (!first) return FailDownload();
    State.TransferSize = static_cast<std::int32_t>(first->totalSize);
    State.TransferBuffer = first->data;
    ReportProgress();  // an abort is only taken from later replies
  } else {
    std::optional<ReadReply> later = ParseNextReadReply(reply);
    if (!later) return FailDownload();
    DropStrayByte(later->data);
    State.TransferBuffer += later->data;
    if (ReportProgress() == 1) return AbortDownload();
  }
  if (State.TransferBuffer.size() >= static_cast<std::size_t>(std::max(State.TransferSize, 0))) {
    return CompleteDownload();
  }
  State.Sequence = State.Sequence >= 255 ? 1 : State.Sequence + 1;
  SendPacket(ReadNextPacket(static_cast<std::uint8_t>(State.Sequence)));
}

int GetFile(const std::string& hostPath, const std::string& localPath, int copyFlags) {
  if (!State.PortWrapper) return kFsFileFailed;
  const bool overwrite = (copyFlags & kFsCopyOverwrite) != 0;
  if (os::FileExists(localPath)) {
    if (!overwrite) {
      Ui.MessageBeep(0);
      return kFsFileExists;
    }
    if (os::DeleteLocalFile(localPath) != 0) return kFsFileFailed;
  }
  const std::string phonePath = ToPhonePath(hostPath);
  if (phonePath.size() > kLongestPhonePath) return kFsFileFailed;
  try {
    State.PortWrapper->Port().PurgeBuffers(true, true);
  } catch (const std::exception&) {
    return kFsFileFailed;
  }
  State.DownloadName = phonePath;
  State.RemotePath = phonePath;
  State.Sequence = 0;
  State.IdleTicks = 0;
  State.RepeatedStarts = 0;
  State.LocalPath = localPath;
  State.CommandTimer->SetEnabled(false);
  StartDownload(State.DownloadName);
  WaitWhileBusy();
  if (State.Succeeded) return kFsFileOk;
  return State.TransferBuffer.size() < static_cast<std::size_t>(std::max(State.TransferSize, 0))
             ? kFsFileAborted
             : kFsFileFailed;
}
