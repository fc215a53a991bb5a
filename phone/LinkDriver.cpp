#include "phone/LinkDriver.h"

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <optional>
#include <system_error>

namespace {

// A failure inside a handler ends the operation of that kind, whichever path
// (a tick or the port's receive event) called it.
template <typename Work>
void Guarded(ReplyKind kind, Work&& work) {
  try {
    work();
  } catch (const EComPort& failure) {
    State.Link.Attempt.PortFailed = true;
    if (!State.PortWrapper) return;
    ReportFailure(std::string("the line to the phone went away (") + failure.what() + ")");
    EndOperation(kind, false);
  } catch (const std::exception& failure) {
    State.Link.Attempt.PortFailed = true;
    if (!State.PortWrapper) return;
    ReportFailure(std::string("a reply from the phone could not be read (") + failure.what() + ")");
    EndOperation(kind, false);
  }
}

// Ends the running operation of `kind`: the phone no longer answers it.
void GiveUp(ReplyKind kind, const char* reason) {
  // An abort the phone does not answer in time is no news for the user: the
  // next operation waits for that answer first. One that it did answer, while
  // an earlier reply never came, settled the line: a lost request is never
  // answered, and the phone answers in order.
  if (State.Link.Settling) {
    if (State.Link.Attempt.AbortAnswerSeen) {
      State.Link.RepliesOwed = 0;
      return EndOperation(kind, true);
    }
    State.Link.Attempt.Unanswered = true;
    return EndOperation(kind, false);
  }
  if (kind == ReplyKind::Command && RetryListingUnderThirdByteRule()) return;
  // The size was told; only the answer to the abort that follows is missing.
  if (kind == ReplyKind::Upload && UploadCheckAborting()) return EndUploadCheck();
  if (kind == ReplyKind::Upload && State.Upload.RestartPending) {
    // The upload itself succeeded; only the phone's answer to the restart is missing.
    State.Upload.RestartPending = false;
    TimerOf(kind).SetEnabled(false);
    State.Link.Busy = false;
    return;
  }
  FailUnanswered(kind, reason);
}

// The tick shared by the three timers: count the idle tick, pick up what is
// waiting, and end the operation once the idle limit is passed. Only the
// running operation's timer is enabled, so the one count is that operation's.
void PollTick(ReplyKind kind) {
  Guarded(kind, [&] {
    std::int32_t& idleTicks = State.Link.Attempt.IdleTicks;
    ++idleTicks;
    if (!TimerOf(kind).Enabled()) return;
    wrapper& w = *State.PortWrapper;
    if (const std::int32_t waiting = w.Port().BytesWaiting(); waiting > 0) w.ReplyHandler(nullptr, waiting);
    if (TimerOf(kind).Enabled() && idleTicks > kIdleTickLimit) GiveUp(kind, "the phone stopped answering");
  });
}

}  // namespace

os::Timer& TimerOf(ReplyKind kind) {
  switch (kind) {
    case ReplyKind::Command: return *State.CommandTimer;
    case ReplyKind::Download: return *State.DownloadTimer;
    case ReplyKind::Upload: break;
  }
  return *State.UploadTimer;
}

bool SendPacket(const Bytes& packet) {
  const Bytes frame = EncodeFrame(packet);
  State.Link.LastRequest = packet;
  TComPort& port = State.PortWrapper->Port();
  if (!port.Connected()) return false;
  try {
    port.WriteString(frame);
    ++State.Link.RepliesOwed;
    return true;
  } catch (const EComPort&) {
    Ui.MessageBeep(0);
    return false;
  }
}

namespace {

// Binds the port's receive event and the timer of `kind` to an attempt that begins afresh.
void BeginAttempt(ReplyKind kind) {
  // The port raises its event when a reply's end has arrived.
  State.PortWrapper->Port().OnRxFlag = std::bind_front(&wrapper::ReplyHandler, State.PortWrapper.get());
  State.Link.Attempt = {};
  State.Link.Attempt.CurrentKind = kind;
  if (kind == ReplyKind::Download) State.Link.RxBuffer.clear();
  for (ReplyKind other : {ReplyKind::Command, ReplyKind::Download, ReplyKind::Upload}) {
    if (other != kind) TimerOf(other).SetEnabled(false);
  }
  TimerOf(kind).SetEnabled(true);
}

// Drops every reply still owed as it comes, at most until the idle limit;
// with `sendAbort`, the abort packet goes out first and its answer comes last.
void AwaitOwedReplies(bool sendAbort) {
  const bool succeeded = State.Link.Succeeded;
  State.Link.Settling = true;
  State.Link.Busy = true;
  if (sendAbort) {
    if (!StartOperation(ReplyKind::Command, AbortPacket())) EndOperation(ReplyKind::Command, false);
  } else {
    BeginAttempt(ReplyKind::Command);
  }
  WaitWhileBusy();
  State.Link.Settling = false;
  State.Link.Succeeded = succeeded;
}

}  // namespace

bool StartOperation(ReplyKind kind, const Bytes& firstRequest) {
  BeginAttempt(kind);
  return SendPacket(firstRequest);
}

bool DiscardWaiting() {
  if (!State.PortWrapper) return false;
  // The phone answers in order: what it still owes would be taken for the
  // answers to what is asked now. No abort goes out for it: the answers to
  // two aborts could not be told apart. What does not come in this wait
  // either was lost, and is not awaited again.
  if (State.Link.RepliesOwed > 0) {
    AwaitOwedReplies(false);
    State.Link.RepliesOwed = 0;
    State.Link.AbortAnswerOwed = false;
  }
  try {
    State.PortWrapper->Port().PurgeBuffers(true, true);
  } catch (const std::exception&) {
    return false;
  }
  State.Link.RxBuffer.clear();
  return true;
}

void SettleLink() {
  // A port that failed, or cannot be written, has nothing to settle; nor has
  // a link settled since its last request.
  if (!State.PortWrapper || State.Link.Attempt.PortFailed || State.Link.Attempt.LinkSettled) return;
  // An abort still unanswered is not sent again: its answer and the new
  // one's would look alike, and the line be called settled too early.
  AwaitOwedReplies(!State.Link.AbortAnswerOwed);
  State.Link.AbortAnswerOwed = State.Link.RepliesOwed > 0;
  State.Link.Attempt.LinkSettled = true;
  State.Link.Attempt.RetryReason.clear();  // the abort's own answer is no reason of the call
}

void FailUnanswered(ReplyKind kind, const std::string& reason) {
  State.Link.Attempt.Unanswered = true;
  if (State.Link.Attempt.RetryReason.empty()) State.Link.Attempt.RetryReason = reason;
  EndOperation(kind, false);
}

bool TakeRetry(const std::string& reason) {
  if (State.Link.RetriesLeft <= 0) return false;
  --State.Link.RetriesLeft;
  Ui.LogDetail("retry: " + reason);
  return true;
}

bool RetryFailedAttempt() {
  if (State.Link.Succeeded || State.Link.Attempt.RetryReason.empty()) return false;
  const std::string reason = std::move(State.Link.Attempt.RetryReason);
  State.Link.Attempt.RetryReason.clear();
  // A port that only echoes, or that failed, gives no answer the next time either.
  const bool onlyEchoes = State.Link.Attempt.Echoes > 0 && !State.Link.Attempt.OtherReplySeen;
  if (State.Link.Attempt.PortFailed || onlyEchoes || State.Link.RetriesLeft <= 0) {
    ReportFailure(reason);
    return false;
  }
  // A phone that does not answer the abort either is not there to ask again.
  SettleLink();
  if (State.Link.Attempt.Unanswered || !TakeRetry(reason) || !DiscardWaiting()) {
    ReportFailure(reason);
    return false;
  }
  return true;
}

bool PathFitsRequest(const std::string& phonePath, std::size_t longest) {
  if (phonePath.size() <= longest) return true;
  const std::string refusal = "The phone path is " + std::to_string(phonePath.size()) +
                              " bytes long; a request to the phone carries at most " + std::to_string(longest) + ".";
  Ui.MessageBox(refusal, PluginTitle, os::kMbIconError);
  ReportFailure(refusal);
  return false;
}

bool TellIfOnlyEchoes() {
  if (State.Link.Attempt.Echoes == 0 || State.Link.Attempt.OtherReplySeen) return false;
  const char* const echoes = "The port sends back everything the module sends to it: it may not be the phone's port.";
  Ui.MessageBox(echoes, PluginTitle, os::kMbIconError);
  ReportFailure(echoes);
  return true;
}

void EndOperation(ReplyKind kind, bool succeeded) {
  State.Link.Succeeded = succeeded;
  TimerOf(kind).SetEnabled(false);
  State.Link.Busy = false;
}

namespace {

bool AnswersLastRequest(std::string_view packet) { return IsReplyTo(packet, State.Link.LastRequest); }

// The request itself coming back is no answer, nor a sign of the phone; only
// a restart, and the abort, are answered with their own bytes.
bool IsEcho(const Bytes& reply) {
  const Bytes& request = State.Link.LastRequest;
  return reply == request && request[0] != char(kCmdRestart) && request != AbortPacket();
}

// One reply of those owed has come (a damaged one too).
void TakeOwedReply() {
  if (State.Link.RepliesOwed > 0) --State.Link.RepliesOwed;
  if (State.Link.RepliesOwed == 0) State.Link.AbortAnswerOwed = false;
}

void RouteFrame(std::string_view frame) {
  const ReplyKind kind = State.Link.Attempt.CurrentKind;
  std::optional<Bytes> reply = CheckedReply(frame);
  if (!reply) reply = CheckedReplyAtEnd(frame, AnswersLastRequest);
  // Bytes that neither check nor begin like the awaited reply are noise, no reply.
  if (reply ? !IsEcho(*reply) : AnswersLastRequest(frame)) TakeOwedReply();
  if (State.Link.Settling) {
    // Everything up to the last reply owed, the abort's answer, belongs to
    // what came before: all abort answers look alike, so only the count of
    // replies tells the last.
    if (reply && IsAbortAnswer(*reply)) State.Link.Attempt.AbortAnswerSeen = true;
    if (State.Link.RepliesOwed == 0 && TimerOf(kind).Enabled()) {
      // A damaged last answer leaves the line clean, from a phone that answers nothing usable.
      if (!reply) State.Link.Attempt.Unanswered = true;
      EndOperation(kind, reply.has_value());
    }
    return;
  }
  // The phone answers the abort that ends an upload's size check with the
  // abort's own bytes: that is its answer, not an echo.
  if (reply && kind == ReplyKind::Upload && UploadCheckAborting() && IsAbortAnswer(*reply) && TimerOf(kind).Enabled()) {
    return EndUploadCheck();
  }
  if (!reply) {
    // A damaged reply fails what it answers, and nothing of it is used;
    // bytes that do not even begin like the awaited reply are noise.
    if (AnswersLastRequest(frame) && TimerOf(kind).Enabled()) {
      FailUnanswered(kind, "a reply from the phone came damaged");
    }
    return;
  }
  if (IsEcho(*reply)) {
    ++State.Link.Attempt.Echoes;
    return;
  }
  State.Link.Attempt.OtherReplySeen = true;
  if (State.Link.Attempt.EscapedIndexPending && IsRefusal(*reply) && TimerOf(kind).Enabled()) {
    RetryListingUnderThirdByteRule();
    return;
  }
  // A reply to an earlier request, or one that comes after its operation has
  // ended (a tick gave up on it just before), is late: a sign of life only.
  if (!AnswersLastRequest(*reply) || !TimerOf(kind).Enabled()) return NoteReplyWithoutProgress(kind);
  switch (kind) {
    case ReplyKind::Command: ProcessCommandReply(*reply); break;
    case ReplyKind::Download: ProcessDownloadReply(*reply); break;
    case ReplyKind::Upload: ProcessUploadReply(*reply); break;
  }
}

}  // namespace

void ReportFailure(const std::string& reason) { Ui.LogError(reason); }

std::string LocalWriteFailure(const std::string& path, int error) {
  const std::filesystem::path folder = std::filesystem::path(path).parent_path();
  std::error_code missing;
  if (!folder.empty() && !std::filesystem::exists(folder, missing)) {
    return "the local folder " + folder.string() + " does not exist";
  }
  return "the local disk refused to write " + path + ": " + std::system_category().message(error);
}

std::string RefusalReason(const Bytes& reply) {
  if (reply.size() >= 3 && reply[0] == char(kCmdFileSystem) && reply[2] != 0) {
    char status[8];
    std::snprintf(status, sizeof status, "0x%02X", static_cast<unsigned char>(reply[2]));
    return std::string("the phone answered with an error (status ") + status + ")";
  }
  return "the phone's reply did not answer the request";
}

void NoteProgress() {
  State.Link.Attempt.IdleTicks = 0;
  State.Link.Attempt.RepliesWithoutProgress = 0;
}

void NoteReplyWithoutProgress(ReplyKind kind) {
  State.Link.Attempt.IdleTicks = 0;
  ++State.Link.Attempt.RepliesWithoutProgress;
  if (State.Link.Attempt.RepliesWithoutProgress >= kRepliesWithoutProgressLimit && TimerOf(kind).Enabled()) {
    GiveUp(kind, "the phone's replies stopped answering the requests sent");
  }
}

void wrapper::ReplyHandler(TCustomComPort*, std::int32_t count) {
  Guarded(State.Link.Attempt.CurrentKind, [&] {
    Bytes received;
    Port().ReadString(received, count);
    Bytes pending;
    if (State.Link.RxBuffer.empty()) {
      pending = std::move(received);
    } else {
      pending = std::move(State.Link.RxBuffer);
      pending += received;
    }
    State.Link.RxBuffer.clear();
    // Escaping keeps 0x7E out of a frame's body, so each 0x7E ends one reply.
    std::size_t start = 0;
    for (auto end = pending.find(kFrameEnd); end != Bytes::npos && State.PortWrapper;
         end = pending.find(kFrameEnd, start)) {
      // What lies further back than the longest reply can be is noise.
      const std::size_t from = std::max(start, end + 1 > kLongestReplyFrame ? end + 1 - kLongestReplyFrame : 0);
      start = end + 1;
      RouteFrame(std::string_view(pending).substr(from, start - from));
    }
    const std::size_t kept = std::min(pending.size() - start, kLongestReplyFrame);
    State.Link.RxBuffer.append(pending, pending.size() - kept, kept);
  });
}

void wrapper::CommandTick() { PollTick(ReplyKind::Command); }
void wrapper::DownloadTick() { PollTick(ReplyKind::Download); }
void wrapper::UploadTick() { PollTick(ReplyKind::Upload); }
