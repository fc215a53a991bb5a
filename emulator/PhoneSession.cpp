#include "emulator/PhoneSession.h"

#include <algorithm>

namespace phonesim {
namespace {

constexpr std::size_t kMaxNameLength = 255;  // the one-byte length field
static_assert(kEntryDateOffset + 4 == kEntrySizeOffset);

Bytes EntryPacket(std::uint8_t op, std::uint32_t index, const std::string& phonePath, const FolderEntry& entry) {
  Bytes packet{char(kCmdFileSystem), char(op), char(kStatusOk)};
  AppendLe32(packet, index);
  packet.append(kEntryDateOffset - packet.size(), '\0');
  AppendLe32(packet, entry.modified);
  AppendLe32(packet, static_cast<std::uint32_t>(entry.size));
  packet.append(kEntryFolderLengthOffset - packet.size(), '\0');
  const std::string name = phonePath.substr(0, kMaxNameLength);
  const auto slash = name.rfind('/');
  packet += static_cast<char>(slash == std::string::npos ? 0 : slash + 1);  // the folder's part of the name
  packet += static_cast<char>(name.size());
  packet += name;
  return packet;
}

}  // namespace

Bytes StatusPacket(std::uint8_t op, std::uint8_t status) {
  return Bytes{char(kCmdFileSystem), char(op), char(status)};
}

std::uint8_t FailureStatus(std::uint8_t op) {
  switch (op) {
    case kOpIterateDirs:
    case kOpIterateFiles:
      return kStatusCannotList;
    case kOpMakeDir:
      return kStatusDirExists;
    case kOpRemoveDir:
      return kStatusDirMissing;
    case kOpRead:
    case kOpDeleteFile:
      return kStatusFileMissing;
    default:
      return kStatusWriteFailed;
  }
}

PhoneSession::PhoneSession(const PhoneFileSystem& files, std::size_t chunkSize)
    : files_(files), chunkSize_(chunkSize) {}

PhoneSession::Answer PhoneSession::Handle(const Request& request) {
  // Any other request may change a folder (reads and restarts too, to keep the rule simple).
  if (request.kind != RequestKind::kListDirs && request.kind != RequestKind::kListFiles) listing_.reset();
  switch (request.kind) {
    case RequestKind::kListDirs:
    case RequestKind::kListFiles:
      return {List(request), {}};
    case RequestKind::kReadFirst:
      return {ReadFirst(request), {}};
    case RequestKind::kReadNext:
      return {ReadNext(request), {}};
    case RequestKind::kAbort:
      read_.reset();
      write_.reset();
      return {StatusPacket(kOpRead, kStatusOk), {}};
    case RequestKind::kWriteFirst:
      return {WriteFirst(request), {}};
    case RequestKind::kWriteNext:
      return {WriteNext(request), {}};
    case RequestKind::kMakeDir: {
      const FsResult result = files_.MakeDir(request.path);
      return {StatusPacket(kOpMakeDir, result == FsResult::kOk ? kStatusOk : kStatusDirExists), {}};
    }
    case RequestKind::kRemoveDir: {
      const FsResult result = files_.RemoveDir(request.path);
      const std::uint8_t status = result == FsResult::kOk         ? kStatusOk
                                  : result == FsResult::kNotEmpty ? kStatusDirNotEmpty
                                                                  : kStatusDirMissing;
      return {StatusPacket(kOpRemoveDir, status), {}};
    }
    case RequestKind::kDeleteFile: {
      const FsResult result = files_.DeleteFile(request.path);
      return {StatusPacket(kOpDeleteFile, result == FsResult::kOk ? kStatusOk : kStatusFileMissing), {}};
    }
    case RequestKind::kRestart:
      return {RestartPacket(), {"phonesim: restart requested"}};
    case RequestKind::kRestartConfirm:
      return {RestartConfirmPacket(), {"phonesim: restart confirmed"}};
    case RequestKind::kMalformed:
      return {StatusPacket(request.op, FailureStatus(request.op)), {}};
    case RequestKind::kUnknown:
      break;
  }
  Bytes reply{char(kBadCommand), char(request.command), char(request.op)};
  return {reply, {}};
}

Bytes PhoneSession::List(const Request& request) {
  const bool folders = request.kind == RequestKind::kListDirs;
  if (request.index == 0 || !listing_ || listing_->path != request.path || listing_->folders != folders) {
    auto entries = files_.List(request.path, folders);
    listing_.reset();
    if (!entries) return StatusPacket(request.op, kStatusCannotList);
    listing_ = CachedListing{request.path, folders, std::move(*entries)};
  }
  const std::vector<FolderEntry>& entries = listing_->entries;
  if (request.index >= entries.size()) return StatusPacket(request.op, kStatusNoEntry);
  const FolderEntry& entry = entries[request.index];
  const std::string phonePath = request.path.empty() ? entry.name : request.path + "/" + entry.name;
  return EntryPacket(request.op, request.index, phonePath, entry);
}

Bytes PhoneSession::WithNextChunk(Bytes packet) {
  const std::size_t length = std::min(chunkSize_, read_->data.size() - read_->cursor);
  packet.append(read_->data, read_->cursor, length);
  read_->cursor += length;
  return packet;
}

// 59 04 status sequence more: the header of a read reply that carries data;
// `more` is 1 while data follows the chunk about to go out.
Bytes PhoneSession::ReadHeader(std::uint8_t sequence, std::size_t chunkLength) const {
  const bool more = read_->cursor + chunkLength < read_->data.size();
  return Bytes{char(kCmdFileSystem), char(kOpRead), char(kStatusOk), char(sequence), char(more ? 1 : 0)};
}

// 59 04 00 00 more size(4) D(2) data
Bytes PhoneSession::ReadFirst(const Request& request) {
  auto data = files_.ReadFile(request.path);
  if (!data) {
    read_.reset();
    return StatusPacket(kOpRead, kStatusFileMissing);
  }
  read_ = OpenRead{std::move(*data), 0};
  const std::size_t length = std::min(chunkSize_, read_->data.size());
  Bytes packet = ReadHeader(0, length);
  AppendLe32(packet, static_cast<std::uint32_t>(read_->data.size()));
  AppendLe16(packet, static_cast<std::uint16_t>(length));
  return WithNextChunk(std::move(packet));
}

// 59 04 00 sequence more D(2) data. Every next-chunk request gets the next
// chunk, whatever its sequence number, which the reply gives back; past the
// end the chunks are empty.
Bytes PhoneSession::ReadNext(const Request& request) {
  if (!read_) return StatusPacket(kOpRead, kStatusFileMissing);  // asks the module to start over
  const std::size_t length = std::min(chunkSize_, read_->data.size() - read_->cursor);
  Bytes packet = ReadHeader(request.sequence, length);
  AppendLe16(packet, static_cast<std::uint16_t>(length));
  return WithNextChunk(std::move(packet));
}

Bytes PhoneSession::WriteFirst(const Request& request) {
  write_.reset();
  if (!files_.CanStore(request.path)) return StatusPacket(kOpWrite, kStatusWriteFailed);
  write_ = OpenWrite{request.path, request.fileSize, {}, 0};
  return AcceptChunk(request.chunk);
}

Bytes PhoneSession::WriteNext(const Request& request) {
  if (!write_ || request.sequence != NextSequence(write_->lastSequence)) {
    return StatusPacket(kOpWrite, kStatusWriteFailed);
  }
  write_->lastSequence = request.sequence;
  return AcceptChunk(request.chunk);
}

Bytes PhoneSession::AcceptChunk(const Bytes& chunk) {
  if (write_->received.size() + chunk.size() > write_->size) {
    write_.reset();
    return StatusPacket(kOpWrite, kStatusWriteFailed);
  }
  write_->received += chunk;
  if (write_->received.size() < write_->size) return StatusPacket(kOpWrite, kStatusOk);
  const FsResult stored = files_.StoreFile(write_->path, write_->received);
  write_.reset();
  return StatusPacket(kOpWrite, stored == FsResult::kOk ? kStatusOk : kStatusWriteFailed);
}

}  // namespace phonesim
