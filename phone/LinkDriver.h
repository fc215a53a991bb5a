// Sending requests and running operations: the poll timers, the binding of
// the port's receive event, and the ends of an operation.
#pragma once

#include <functional>

#include "phone/Unit1.h"
#include "phone/PluginState.h"

// Transfers and commands end when no reply has come for more than this many
// 50 ms poll ticks.
constexpr int kIdleTickLimit = 50;
constexpr unsigned kPollIntervalMs = 50;
// Complete replies in a row that move the operation no further (late or
// stale replies, chunks without data) before it is given up.
constexpr int kRepliesWithoutProgressLimit = 3;
// Retries a call may make after a reply came damaged, did not come, or did
// not answer: a transfer restarts at most twice, whatever the cause (the
// phone asking for the file again included); a listing request, a folder
// command or a delete is sent again once.
constexpr int kTransferRetryLimit = 2;
constexpr int kRequestRetryLimit = 1;

// The values of ReplyState, the state of the command reply handler: which
// reply it judges next.
enum CommandReplyState : std::uint8_t {
  kStateIdle = 0,           // no reply judged yet
  kStateDispatch = 1,       // a reply began with 0x59: its sub-operation picks the state
  kStateDirEntry = 3,       // iterate-directories reply
  kStateFileEntry = 4,      // iterate-files reply
  kStateUnaskedOp07 = 5,    // sub-operations 0x07 and 0x0C, which the module never
  kStateUnaskedOp0C = 6,    //   sends: no action
  kStateDelete = 8,         // delete-file reply
  kStateMakeDir = 9,        // make-directory reply
  kStateRemoveDir = 10,     // remove-directory reply
};

// Frames the packet as it is (a 0x7E anywhere escaped) and writes it; a
// write failure beeps and goes no further. False when nothing was written.
bool SendPacket(const Bytes& packet);
// Empties the port's queues and the partial frame before an operation sends
// its first request: nothing an earlier one left is taken for its reply. A
// phone that still owes the answer to an earlier abort (it was slower than the
// wait for it) is settled first, so that its late replies come and go before.
// False when the port cannot do it (it is closed).
bool DiscardWaiting();
// After an operation that ended by an abort or a failure: sends the abort
// packet and drops everything up to the phone's answer to it (a short 59 04
// reply), waiting at most the idle limit. Succeeded stays as it was. A link
// settled since its last request is not settled again.
void SettleLink();
// False, with a message to the user, when a phone path is longer than the
// request's length field carries (`longest` bytes); nothing is sent then.
bool PathFitsRequest(const std::string& phonePath, std::size_t longest);
// For an operation that failed: when every reply it got was its own request
// coming back, tells the user that the port echoes. True when it told.
bool TellIfOnlyEchoes();
// A listing request awaits the answer to its escaped index and got none that
// it could use: it is sent again as the third-byte rule makes it. False when
// no such request is outstanding (defined with the listing).
bool RetryListingUnderThirdByteRule();
// Binds the port's receive event to the reply handler, begins the link's
// record of the attempt afresh (and for a download empties the partial frame),
// enables the operation's timer (stopping the others, whose replies are no
// longer awaited) and sends the first request. False when nothing was written.
bool StartOperation(ReplyKind kind, const Bytes& firstRequest);
// Ends the running operation of `kind`: its timer stops, Busy clears.
void EndOperation(ReplyKind kind, bool succeeded);
os::Timer& TimerOf(ReplyKind kind);
// A reply moved the operation on: the idle count and the count of replies
// without progress start again.
void NoteProgress();
// A complete reply that moved the operation on by nothing is still a sign of
// life; the third in a row ends the operation as failed.
void NoteReplyWithoutProgress(ReplyKind kind);

// Ends the running operation of `kind` for a reply that came damaged, did not
// come, or did not answer the request: a failure that a retry may mend.
void FailUnanswered(ReplyKind kind, const std::string& reason);
// Takes one of the call's retries, if one is left, and logs it ("retry: "
// and the reason).
bool TakeRetry(const std::string& reason);
// After an attempt of the running call failed: true when it is to be made
// again, i.e. the failure is one a retry may mend, the port answered with
// more than echoes, and a retry is left. The link is settled first, so that
// a late reply of the failed attempt is not taken for the retry's; a phone
// that does not answer the abort either is not asked again. Otherwise false,
// and a reason that is not retried is reported as the failure.
bool RetryFailedAttempt();
// The upload that awaits the answer to the abort of its size check ends as
// the size it was told makes it (defined with the upload).
void EndUploadCheck();
// Whether the running upload awaits the answer to the abort of its size check.
bool UploadCheckAborting();

// Tells the host why the running operation failed, in words a user can act
// on: a line of the error type for the host's log, of which a host shows the
// first of a call. Only the module knows what went wrong on the line.
void ReportFailure(const std::string& reason);
// The reason for a local file that could not be written (the system's code).
std::string LocalWriteFailure(const std::string& path, int error);
// The reason for a reply that stops an operation: the phone's status when it
// answered with an error, else that the reply was not the one awaited.
std::string RefusalReason(const Bytes& reply);

// Judge one complete, checked reply (a packet) of the running operation.
void ProcessCommandReply(const Bytes& reply);
void ProcessDownloadReply(const Bytes& reply);
void ProcessUploadReply(const Bytes& reply);
