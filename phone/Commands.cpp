// Listing folders and the short commands (make folder, remove folder, delete
// file), with the reply handler they share.
#include "phone/InstallFolders.h"
#include "phone/LinkDriver.h"
#include "phone/Operations.h"

namespace {

bool IsInstallPath(const std::string& hostPath) {
  for (const InstallFolder& folder : kInstallFolders) {
    const std::string path = std::string("\\") + folder.name;
    if (hostPath == path || hostPath == path + "\\") return true;
  }
  return false;
}

void ShowError(const char* text) { Ui.MessageBox(text, PluginTitle, os::kMbIconError); }

void RequestFileEntry(const std::string& path, std::int32_t index);

void EndOfSubFolders() {
  State.Listing.Sequence = 0;
  State.Listing.DirPhaseDone = true;
  RequestFileEntry(State.Listing.ListPath, 0);
}

void EndOfFiles() {
  State.Listing.ListingDone = true;
  State.Listing.Sequence = 0;
  State.Link.Busy = false;
}

// A folder with more entries of one kind than a request can ask for: that
// phase ends at the last index the request carries (asking further would
// wrap to index 0 and never end), and the user is told once.
void CutListing(FileSystemOp op) {
  if (!State.Listing.ListingCutTold) {
    State.Listing.ListingCutTold = true;
    Ui.MessageBox("This folder holds more than 65536 sub-folders or files, more than the phone can be asked "
                  "for: the listing is cut.",
                  PluginTitle, os::kMbIconInformation);
  }
  if (op == kOpIterateDirs) return EndOfSubFolders();
  EndOfFiles();
}

// An index whose low byte is 0x7E goes out escaped, as the phone reads it;
// for a phone that has shown it cannot take that, the third-byte rule makes
// it the next index, and that entry stays hidden.
void RequestEntry(FileSystemOp op, const std::string& path, std::int32_t index) {
  const auto wanted = static_cast<std::uint32_t>(index);
  if (wanted > kLastListingIndex) return CutListing(op);
  const Bytes packet = ListingPacket(op, path, wanted);
  const bool escaped = IndexAsSent(wanted) != wanted;
  if (escaped && State.Link.EscapedIndexRefused) {
    State.Listing.SentIndex = IndexAsSent(wanted);
    StartOperation(ReplyKind::Command, ApplyThirdByteRule(packet));
    return;
  }
  State.Listing.SentIndex = wanted;
  StartOperation(ReplyKind::Command, packet);
  State.Link.Attempt.EscapedIndexPending = escaped;
}

void RequestDirEntry(const std::string& path, std::int32_t index) {
  RequestEntry(kOpIterateDirs, path, index);
}

void RequestFileEntry(const std::string& path, std::int32_t index) {
  RequestEntry(kOpIterateFiles, path, index);
}

void FailCommand() { EndOperation(ReplyKind::Command, false); }

// An entry reply: its name, size and index. Names that a host would take for
// a path are skipped by asking for the next index at once.
void ListingEntryReply(const Bytes& reply) {
  const std::optional<ListingEntry> entry = ParseListingEntry(reply);
  if (!entry) return FailCommand();
  const std::string name = NameFromPath(entry->path);
  State.Listing.Sequence = static_cast<std::int32_t>(State.Listing.SentIndex + 1);
  if (!IsSafeEntryName(name)) {
    if (entry->isDirectory) {
      RequestDirEntry(State.Listing.ListPath, State.Listing.Sequence);
    } else {
      RequestFileEntry(State.Listing.ListPath, State.Listing.Sequence);
    }
    return;
  }
  State.Listing.Entry.IsDirectory = entry->isDirectory;
  State.Listing.Entry.Name = name;
  State.Listing.Entry.EntryDate = entry->date;
  if (!entry->isDirectory) State.Listing.Entry.EntrySize = static_cast<std::int32_t>(entry->size);
  State.Link.Busy = false;
}

void DirectoryReply(const Bytes& reply) {
  if (IsStatusReply(reply, kOpIterateDirs, kStatusCannotList)) return FailCommand();
  if (IsStatusReply(reply, kOpIterateDirs, kStatusNoEntry)) return EndOfSubFolders();
  ListingEntryReply(reply);
}

void FileReply(const Bytes& reply) {
  if (IsStatusReply(reply, kOpIterateFiles, kStatusNoEntry)) return EndOfFiles();
  ListingEntryReply(reply);
}

void MakeDirReply(const Bytes& reply) {
  const std::optional<std::uint8_t> status = StatusOf(reply, kOpMakeDir);
  if (status == kStatusOk) {
    // The phone is asked for the folder listed last, as a refresh. Its answer
    // is awaited as well, so that it cannot be taken for the reply to a later
    // request.
    State.Command.RefreshListingPending = true;
    RequestDirEntry(State.Listing.ListPath, 0);
    return;
  }
  // Sent again, the folder that exists is most likely the one the first request made.
  if (status == kStatusDirExists && !State.Command.CommandRetried) State.Link.Succeeded = false;
  State.Link.Busy = false;
}

// The answer to a made folder's refresh request ends the make-directory
// command; what it lists is not used.
void RefreshListingReply() {
  State.Command.RefreshListingPending = false;
  EndOperation(ReplyKind::Command, true);
}

// An entry for another index or another folder than the one asked for
// answers an earlier listing request.
bool IsStaleEntry(const Bytes& reply) {
  const bool listing = reply[1] == char(kOpIterateDirs) || reply[1] == char(kOpIterateFiles);
  if (!listing || reply.size() <= kEntryIndexOffset) return false;
  if (static_cast<std::uint8_t>(reply[kEntryIndexOffset]) != (State.Listing.SentIndex & 0xFF)) return true;
  const std::optional<ListingEntry> entry = ParseListingEntry(reply);
  return entry && !IsEntryOfFolder(entry->path, State.Listing.ListPath);
}

void RemoveDirReply(const Bytes& reply) {
  State.Link.Busy = false;
  // Sent again, a folder that is missing is most likely the one the first request removed.
  const bool missing = IsStatusReply(reply, kOpRemoveDir, kStatusDirMissing);
  if ((missing && !State.Command.CommandRetried) || IsStatusReply(reply, kOpRemoveDir, kStatusDirNotEmpty)) {
    State.Link.Succeeded = false;
  }
}

void DeleteReply(const Bytes& reply) {
  State.Link.Busy = false;
  const std::optional<std::uint8_t> status = StatusOf(reply, kOpDeleteFile);
  if (!status) return;
  // Sent again, a file that is missing is most likely the one the first request deleted.
  const bool goneAlready = State.Command.CommandRetried && *status == kStatusFileMissing;
  if (*status != kStatusOk && !goneAlready) State.Link.Succeeded = false;
}

std::uint8_t StateForSubOperation(char op) {
  switch (static_cast<std::uint8_t>(op)) {
    case kOpMakeDir: return kStateMakeDir;
    case kOpRemoveDir: return kStateRemoveDir;
    case kOpDeleteFile: return kStateDelete;
    case 0x07: return kStateUnaskedOp07;
    case kOpIterateDirs: return kStateDirEntry;
    case kOpIterateFiles: return kStateFileEntry;
    case 0x0C: return kStateUnaskedOp0C;
    default: return kStateDispatch;
  }
}

// A command that ended without an answer it could judge may still get one:
// the phone is brought to a known point before anything else is asked.
void SettleUnanswered() {
  if (!State.Link.Attempt.Unanswered) return;
  TellIfOnlyEchoes();
  SettleLink();
}

// A listing step that failed for good: the user is told (that the port
// echoes, when it does), and the phone brought to a known point.
ListingStep FailListing() {
  if (!State.Link.Attempt.Unanswered || !TellIfOnlyEchoes()) ShowError("Error while reading file system!");
  if (State.Link.Attempt.Unanswered) SettleLink();
  return ListingStep::kFailed;
}

// Sends a path command and waits for its reply.
bool RunPathCommand(FileSystemOp op, const std::string& phonePath) {
  if (!State.PortWrapper || !PathFitsRequest(phonePath, kLongestPhonePath) || !DiscardWaiting()) return false;
  State.Command = {};
  State.Link.RetriesLeft = kRequestRetryLimit;
  State.Link.Succeeded = false;
  State.Link.Busy = true;
  StartOperation(ReplyKind::Command, PathCommandPacket(op, phonePath));
  WaitWhileBusy();
  // A made folder whose refresh request got no answer is made all the same: not sent again.
  while (!State.Link.Succeeded && !State.Command.RefreshListingPending && RetryFailedAttempt()) {
    State.Command.CommandRetried = true;
    State.Link.Busy = true;
    StartOperation(ReplyKind::Command, PathCommandPacket(op, phonePath));
    WaitWhileBusy();
  }
  SettleUnanswered();
  return State.Link.Succeeded;
}

// Asks for the listing's next entry and waits for it; a request whose reply
// came damaged, or did not come, is sent again once.
void RequestListingStep() {
  State.Link.RetriesLeft = kRequestRetryLimit;
  for (bool retry = false;; retry = true) {
    if (retry && !RetryFailedAttempt()) return;
    State.Link.Succeeded = false;
    State.Link.Busy = true;
    if (State.Listing.DirPhaseDone) {
      RequestFileEntry(State.Listing.ListPath, State.Listing.Sequence);
    } else {
      RequestDirEntry(State.Listing.ListPath, State.Listing.Sequence);
    }
    WaitWhileBusy();
    if (State.Listing.ListingDone || State.Link.Succeeded) return;
  }
}

}  // namespace

bool RetryListingUnderThirdByteRule() {
  if (!State.Link.Attempt.EscapedIndexPending) return false;
  State.Link.EscapedIndexRefused = true;
  RequestEntry(static_cast<FileSystemOp>(State.Link.LastRequest[1]), State.Listing.ListPath,
               static_cast<std::int32_t>(State.Listing.SentIndex));
  return true;
}

void ProcessCommandReply(const Bytes& reply) {
  if (IsStaleEntry(reply)) return NoteReplyWithoutProgress(ReplyKind::Command);
  State.Link.Attempt.EscapedIndexPending = false;  // the phone took the escaped index
  if (State.Command.RefreshListingPending) return RefreshListingReply();
  State.Link.Succeeded = true;
  State.Listing.Entry.EntrySize = 0;
  State.CommandTimer->SetEnabled(false);
  if (reply[0] == char(kCmdFileSystem)) State.Command.ReplyState = kStateDispatch;
  if (State.Command.ReplyState == kStateDispatch && reply.size() > 1) {
    State.Command.ReplyState = StateForSubOperation(reply[1]);
  }
  switch (State.Command.ReplyState) {
    case kStateDirEntry: DirectoryReply(reply); break;
    case kStateFileEntry: FileReply(reply); break;
    case kStateDelete: DeleteReply(reply); break;
    case kStateMakeDir: MakeDirReply(reply); break;
    case kStateRemoveDir: RemoveDirReply(reply); break;
    default: break;
  }
  // A reply that neither ended the command nor led to another request would
  // leave the export waiting for nothing: it counts as a failed reply.
  if (State.Link.Busy && !State.CommandTimer->Enabled()) FailCommand();
}

ListingStep FindFirst(const std::string& hostPath, TFile& entry) {
  entry = TFile{};
  if (IsInstallPath(hostPath)) return ListingStep::kNoEntries;
  const std::string phonePath = ToPhonePath(hostPath);
  if (!PathFitsRequest(phonePath, kLongestPhonePath)) return ListingStep::kFailed;
  if (!OpenPhonePort()) {
    ShowError("Unable to open set com port!");
    return ListingStep::kFailed;
  }
  if (!DiscardWaiting()) {
    ShowError("Error while reading file system!");
    return ListingStep::kFailed;
  }
  State.Listing = {};
  State.Listing.ListPath = phonePath;
  RequestListingStep();
  if (State.Listing.ListingDone) return ListingStep::kNoEntries;
  if (!State.Link.Succeeded) return FailListing();
  entry = State.Listing.Entry;
  return ListingStep::kEntry;
}

ListingStep FindNext(TFile& entry) {
  entry = TFile{};
  if (!State.PortWrapper || !DiscardWaiting()) {
    ShowError("Error while reading file system!");
    return ListingStep::kFailed;
  }
  RequestListingStep();
  if (State.Listing.ListingDone) {
    if (!State.Listing.ListPath.empty()) return ListingStep::kNoEntries;
    std::int32_t& next = State.Listing.InstallFolderIndex;
    if (next >= static_cast<std::int32_t>(kInstallFolders.size())) return ListingStep::kNoEntries;
    entry = TFile{true, kInstallFolders[next].name, 0, 0};
    ++next;
    return ListingStep::kEntry;
  }
  // A listing that cannot go on is no complete one: it fails, and the user is told.
  if (!State.Link.Succeeded) return FailListing();
  entry = State.Listing.Entry;
  return ListingStep::kEntry;
}

bool MakeDirectory(const std::string& path) {
  const std::string phonePath = ApplyBracketRule(ToPhonePath(path));
  if (phonePath.empty()) return false;
  const bool made = RunPathCommand(kOpMakeDir, phonePath);
  // A refresh request that got no answer leaves the folder made all the same.
  if (!State.Command.RefreshListingPending) return made;
  State.Command.RefreshListingPending = false;
  return true;
}

bool RemoveDirectory(const std::string& hostPath) {
  return RunPathCommand(kOpRemoveDir, ToPhonePath(hostPath));
}

bool DeleteFile(const std::string& hostPath) {
  return RunPathCommand(kOpDeleteFile, ToPhonePath(hostPath));
}
