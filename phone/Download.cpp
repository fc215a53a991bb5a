// Copying a file from the phone: one read request naming the file, then one
// next-chunk request per reply until the announced size has arrived.
#include "phone/LinkDriver.h"
#include "phone/Operations.h"

namespace {

const Bytes kReadStatus6("\x59\x04\x06\x67\xDB\x7E", 6);

constexpr std::size_t kFirstReplyMinimum = 14;  // header, size, length, trailer
constexpr std::size_t kFirstDataAt = 11;
constexpr std::size_t kLaterDataAt = 7;
constexpr std::size_t kTrailerLength = 3;
constexpr std::size_t kLongestPhonePath = 254;  // the path's count byte includes its zero
// A phone that keeps asking for the request again gets this many tries.
constexpr int kRepeatLimit = 3;

void StartDownload(const std::string& phonePath) {
  State.Busy = true;
  State.ReplyState = 11;
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

void wrapper::ProcessDownloadReply(const Bytes& frame, const Bytes& reply) {
  if (!State.DownloadTimer->Enabled()) return;
  State.IdleTicks = 0;
  const bool repeatRequest = (reply.size() >= 2 && reply[0] == 0x14 && reply[1] == 0x04) ||
                             frame == kReadStatus6;
  if (repeatRequest) {
    if (++State.RepeatedStarts > kRepeatLimit) return FailDownload();
    StartDownload(State.DownloadName);
    return;
  }
  State.RepeatedStarts = 0;
  if (State.Sequence == 0) {
    if (reply.size() < kFirstReplyMinimum) return FailDownload();
    State.TransferSize = static_cast<std::int32_t>(ReadLe32(reply, 5));
    const std::size_t announced = ReadLe16(reply, 9);
    const Bytes data = reply.substr(kFirstDataAt, reply.size() - kFirstDataAt - kTrailerLength);
    State.TransferBuffer = data.substr(0, announced);
    ReportProgress();  // an abort is only taken from later replies
  } else {
    Bytes data;
    if (reply.size() > kLaterDataAt + kTrailerLength) {
      data = reply.substr(kLaterDataAt, reply.size() - kLaterDataAt - kTrailerLength);
    }
    DropStrayByte(data);
    State.TransferBuffer += data;
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
