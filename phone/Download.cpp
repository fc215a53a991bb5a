// Copying a file from the phone: one read request naming the file, then one
// next-chunk request per reply until the announced size has arrived. The data
// goes into a temporary file beside the target, which replaces the target only
// once the whole file has arrived.
#include "phone/LinkDriver.h"
#include "phone/Operations.h"

namespace {

constexpr std::size_t kLongestPhonePath = 254;  // the path's count byte includes its zero
// A phone that keeps asking for the request again gets this many tries.
constexpr int kRepeatLimit = 3;

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

void AbortDownload() {
  SendPacket(AbortPacket());
  State.Busy = false;
  BindReplyHandler(ReplyKind::Command);
  State.CurrentKind = ReplyKind::Command;
  State.Succeeded = false;
  State.UserAborted = true;
  State.DownloadTimer->SetEnabled(false);
}

void CompleteDownload() {
  if (const int error = State.DownloadStream->Commit(); error != 0) {
    return FailDownload(LocalWriteFailure(State.LocalPath, error));
  }
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
  if (AsksForReadAgain(reply)) {
    if (++State.RepeatedStarts > kRepeatLimit) return FailDownload(RefusalReason(reply));
    if (!StartDownload(State.DownloadName)) EndOperation(ReplyKind::Download, false);
    return;
  }
  State.RepeatedStarts = 0;
  const auto sequence = static_cast<std::uint8_t>(State.Sequence);
  // Byte 2 of a data reply echoes the sequence number of the request it
  // answers; one that answers an earlier request is stale.
  if (reply.size() >= kReadNextDataOffset && StatusOf(reply, kOpRead) != sequence) {
    return NoteReplyWithoutProgress(ReplyKind::Download);
  }
  Bytes data;
  if (sequence == 0) {
    const std::optional<FirstReadReply> first = ParseFirstReadReply(reply);
    if (!first) return FailDownload(RefusalReason(reply));
    State.TransferSize = first->totalSize;
    data = first->data;
    if (!Store(data)) return;
    ReportProgress();  // an abort is only taken from later replies
  } else {
    data = NextReadReplyData(reply);
    DropStrayByte(data);
    if (!Store(data)) return;
    if (ReportProgress() == 1) return AbortDownload();
  }
  if (State.TransferDone == State.TransferSize) return CompleteDownload();
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
  if (os::FileExists(localPath) && (copyFlags & kFsCopyOverwrite) == 0) {
    Ui.MessageBeep(0);
    return kFsFileExists;
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
  State.LocalPath = localPath;
  State.RepeatedStarts = 0;
  State.UserAborted = false;
  State.Succeeded = false;
  State.CommandTimer->SetEnabled(false);
  if (StartDownload(State.DownloadName)) WaitWhileBusy();
  // Unless it was committed, the temporary file goes and the target stays as it was.
  State.DownloadStream.reset();
  if (State.Succeeded) return kFsFileOk;
  return State.UserAborted ? kFsFileAborted : kFsFileFailed;
}
