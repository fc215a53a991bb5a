// Listing folders and the short commands (make folder, remove folder, delete
// file), with the reply handler they share.
#include <array>
#include <cstring>

#include "phone/LinkDriver.h"
#include "phone/Operations.h"

namespace {

// States of the command reply handler.
enum : std::uint8_t {
  kStateIdle = 0,
  kStateDispatch = 1,
  kStateDirEntry = 3,
  kStateFileEntry = 4,
  kStateSubOp07 = 5,
  kStateSubOp0C = 6,
  kStateDelete = 8,
  kStateMakeDir = 9,
  kStateRemoveDir = 10,
  kStateDownload = 11,
};

const Bytes kDirListFailed("\x59\x0A\x08\x09\xA8\x7E", 6);
const Bytes kNoMoreDirs("\x59\x0A\x1C\xAC\xFE\x7E", 6);
const Bytes kNoMoreFiles("\x59\x0B\x1C\x74\xE7\x7E", 6);
const Bytes kRemoveDirDone("\x59\x01\x00\xE9\xC0\x7E", 6);
const Bytes kRemoveDirMissing("\x59\x01\x03\x72\xF2\x7E", 6);
const Bytes kRemoveDirNotEmpty("\x59\x01\x09\x28\x5D\x7E", 6);

constexpr std::size_t kEntryNameLengthAt = 24;
constexpr std::size_t kEntryNameAt = 25;
constexpr std::size_t kEntrySizeAt = 15;
constexpr std::size_t kTrailerLength = 3;

const HANDLE kSearchHandle = reinterpret_cast<HANDLE>(static_cast<std::intptr_t>(10));

const std::array<const char*, 3> kInstallFolders = {"INSTALL JAVA GAME", "INSTALL JAVA APP",
                                                    "INSTALL THEME"};

bool IsInstallPath(const std::string& hostPath) {
  for (const char* folder : kInstallFolders) {
    const std::string path = std::string("\\") + folder;
    if (hostPath == path || hostPath == path + "\\") return true;
  }
  return false;
}

void FillFindData(WIN32_FIND_DATAA* findData, const std::string& name, bool isDirectory,
                  std::int32_t size) {
  std::memset(findData, 0, sizeof(*findData));
  findData->dwFileAttributes = isDirectory ? FILE_ATTRIBUTE_DIRECTORY : FILE_ATTRIBUTE_NORMAL;
  if (!isDirectory) findData->nFileSizeLow = static_cast<DWORD>(size);
  const std::size_t length = std::min(std::strlen(name.c_str()), sizeof(findData->cFileName) - 1);
  std::memcpy(findData->cFileName, name.c_str(), length);
}

void ShowError(const char* text) { Ui.MessageBox(text, PluginTitle, os::kMbIconError); }

void RequestEntry(FileSystemOp op, const std::string& path, std::int32_t index) {
  State.SentIndex = IndexAsSent(static_cast<std::uint32_t>(index));
  StartOperation(ReplyKind::Command, ListingPacket(op, path, static_cast<std::uint32_t>(index)));
}

void RequestDirEntry(const std::string& path, std::int32_t index) {
  State.ReplyState = kStateIdle;
  RequestEntry(kOpIterateDirs, path, index);
}

void RequestFileEntry(const std::string& path, std::int32_t index) {
  RequestEntry(kOpIterateFiles, path, index);
}

void FailCommand() {
  State.ReplyState = kStateIdle;
  EndOperation(ReplyKind::Command, false);
}

// An entry reply: its name, size and index. Names that a host would take for
// a path are skipped by asking for the next index at once.
void ListingEntry(const Bytes& reply, bool isDirectory) {
  if (reply.size() < kEntryNameAt + kTrailerLength) return FailCommand();
  const std::size_t nameLength = static_cast<std::uint8_t>(reply[kEntryNameLengthAt]);
  if (reply.size() < kEntryNameAt + nameLength + kTrailerLength) return FailCommand();
  std::string path = reply.substr(kEntryNameAt, nameLength);
  path.resize(std::strlen(path.c_str()));  // the name may end with a zero byte
  const std::string name = NameFromPath(path);
  const std::uint32_t index =
      ListingReplyIndex(static_cast<std::uint8_t>(reply[3]), State.SentIndex);
  State.Sequence = static_cast<std::int32_t>(index + 1);
  if (!IsSafeEntryName(name)) {
    if (isDirectory) {
      RequestDirEntry(State.ListPath, State.Sequence);
    } else {
      RequestFileEntry(State.ListPath, State.Sequence);
    }
    return;
  }
  State.Entry.IsDirectory = isDirectory;
  State.Entry.Name = name;
  if (!isDirectory) {
    State.Entry.EntrySize = static_cast<std::int32_t>(ReadLe32(reply, kEntrySizeAt));
    State.ReplyState = kStateIdle;
  }
  State.Busy = false;
}

void DirectoryReply(const Bytes& frame, const Bytes& reply) {
  if (frame == kDirListFailed) return FailCommand();
  if (frame == kNoMoreDirs) {
    State.Sequence = 0;
    State.DirPhaseDone = true;
    State.ReplyState = kStateIdle;
    RequestFileEntry(State.ListPath, 0);
    return;
  }
  ListingEntry(reply, true);
}

void FileReply(const Bytes& frame, const Bytes& reply) {
  if (frame == kNoMoreFiles) {
    State.ListingDone = true;
    State.ReplyState = kStateIdle;
    State.Sequence = 0;
    State.Busy = false;
    return;
  }
  ListingEntry(reply, false);
}

void MakeDirReply(const Bytes& reply) {
  const char status = reply.size() > 2 ? reply[2] : 0;
  if (status == 0x00) {
    // The phone is asked for the folder listed last, as a refresh; the answer
    // is not waited for.
    RequestDirEntry(State.ListPath, 0);
    State.ReplyState = kStateIdle;
    State.Succeeded = true;
  } else if (status == 0x07) {
    State.Succeeded = false;
  }
  State.Busy = false;
}

void RemoveDirReply(const Bytes& frame) {
  State.Busy = false;
  if (frame == kRemoveDirDone) State.ReplyState = kStateIdle;
  if (frame == kRemoveDirMissing || frame == kRemoveDirNotEmpty) {
    State.Succeeded = false;
    State.ReplyState = kStateIdle;
  }
}

void DeleteReply(const Bytes& reply) {
  State.Busy = false;
  if (reply.size() > 2 && reply[0] == char(kCmdFileSystem) && reply[1] == char(kOpDeleteFile)) {
    if (reply[2] != 0) {
      State.Succeeded = false;
    } else {
      State.ReplyState = kStateIdle;
    }
  }
}

std::uint8_t StateForSubOperation(char op) {
  switch (static_cast<std::uint8_t>(op)) {
    case kOpMakeDir: return kStateMakeDir;
    case kOpRemoveDir: return kStateRemoveDir;
    case kOpDeleteFile: return kStateDelete;
    case 0x07: return kStateSubOp07;
    case kOpIterateDirs: return kStateDirEntry;
    case kOpIterateFiles: return kStateFileEntry;
    case 0x0C: return kStateSubOp0C;
    default: return kStateDispatch;
  }
}

// Sends a path command and waits for its reply.
BOOL RunPathCommand(FileSystemOp op, const std::string& phonePath) {
  if (!State.PortWrapper) return 0;
  State.Busy = true;
  StartOperation(ReplyKind::Command, PathCommandPacket(op, phonePath));
  WaitWhileBusy();
  return State.Succeeded ? -1 : 0;
}

}  // namespace

void wrapper::ProcessCommandReply(const Bytes& frame, const Bytes& reply) {
  State.Succeeded = true;
  State.Entry.EntrySize = 0;
  State.CommandTimer->SetEnabled(false);
  if (reply[0] == char(kCmdFileSystem)) State.ReplyState = kStateDispatch;
  if (State.ReplyState == kStateDispatch && reply.size() > 1) {
    State.ReplyState = StateForSubOperation(reply[1]);
  }
  switch (State.ReplyState) {
    case kStateDirEntry: DirectoryReply(frame, reply); break;
    case kStateFileEntry: FileReply(frame, reply); break;
    case kStateDelete: DeleteReply(reply); break;
    case kStateMakeDir: MakeDirReply(reply); break;
    case kStateRemoveDir: RemoveDirReply(frame); break;
    default: break;
  }
  // A reply that neither ended the command nor led to another request would
  // leave the export waiting for nothing: it counts as a failed reply.
  if (State.Busy && !State.CommandTimer->Enabled()) FailCommand();
}

HANDLE FindFirst(const std::string& hostPath, WIN32_FIND_DATAA* findData) {
  std::memset(findData, 0, sizeof(*findData));
  if (IsInstallPath(hostPath)) {
    os::SetLastError(ERROR_NO_MORE_FILES);
    return INVALID_HANDLE_VALUE;
  }
  State.DirPhaseDone = false;
  State.ListingDone = false;
  if (!OpenPhonePort()) {
    ShowError("Unable to open set com port!");
    return INVALID_HANDLE_VALUE;
  }
  try {
    State.PortWrapper->Port().PurgeBuffers(true, true);
  } catch (const std::exception&) {
    ShowError("Error while reading file system!");
    return INVALID_HANDLE_VALUE;
  }
  State.RxBuffer.clear();
  State.InstallFolderIndex = 0;
  State.Sequence = 0;
  State.ListPath = ToPhonePath(hostPath);
  State.Busy = true;
  RequestDirEntry(State.ListPath, 0);
  WaitWhileBusy();
  std::memset(findData, 0, sizeof(*findData));
  if (State.ListingDone) {
    os::SetLastError(ERROR_NO_MORE_FILES);
    return INVALID_HANDLE_VALUE;
  }
  if (!State.Succeeded) {
    ShowError("Error while reading file system!");
    return INVALID_HANDLE_VALUE;
  }
  FillFindData(findData, State.Entry.Name, State.Entry.IsDirectory, State.Entry.EntrySize);
  return kSearchHandle;
}

BOOL FindNext(WIN32_FIND_DATAA* findData) {
  if (!State.PortWrapper) return 0;
  State.Busy = true;
  if (State.DirPhaseDone) {
    RequestFileEntry(State.ListPath, State.Sequence);
  } else {
    RequestDirEntry(State.ListPath, State.Sequence);
  }
  WaitWhileBusy();
  std::memset(findData, 0, sizeof(*findData));
  if (State.ListingDone) {
    if (!State.ListPath.empty()) return 0;
    if (State.InstallFolderIndex >= static_cast<std::int32_t>(kInstallFolders.size())) return 0;
    FillFindData(findData, kInstallFolders[State.InstallFolderIndex], true, 0);
    ++State.InstallFolderIndex;
    return -1;
  }
  // A failed reply ends the listing rather than repeating the last entry.
  if (!State.Succeeded) return 0;
  FillFindData(findData, State.Entry.Name, State.Entry.IsDirectory, State.Entry.EntrySize);
  return -1;
}

BOOL MakeDirectory(const std::string& path) {
  const std::string phonePath = ApplyBracketRule(ToPhonePath(path));
  if (phonePath.empty()) return 0;
  return RunPathCommand(kOpMakeDir, phonePath);
}

BOOL RemoveDirectory(const std::string& hostPath) {
  return RunPathCommand(kOpRemoveDir, ToPhonePath(hostPath));
}

BOOL DeleteFile(const std::string& hostPath) {
  return RunPathCommand(kOpDeleteFile, ToPhonePath(hostPath));
}
