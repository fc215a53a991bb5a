#include "emulator/PhoneRequest.h"

#include <optional>

namespace phonesim {
namespace {

std::uint8_t ByteAt(const Bytes& packet, std::size_t offset) {
  return static_cast<std::uint8_t>(packet[offset]);
}

// The path of a path field whose length byte is at `offset`, read as a phone
// reads it: as many bytes as the length byte counts, the last of them zero.
std::optional<std::string> PathFieldAt(const Bytes& packet, std::size_t offset) {
  if (packet.size() <= offset) return std::nullopt;
  const std::size_t length = ByteAt(packet, offset);
  if (length == 0 || packet.size() < offset + 1 + length || packet[offset + length] != '\0') return std::nullopt;
  return packet.substr(offset + 1, length - 1);
}

Request ParsePathRequest(Request request, RequestKind kind, const Bytes& packet, std::size_t offset) {
  const auto path = PathFieldAt(packet, offset);
  request.kind = path ? kind : RequestKind::kMalformed;
  if (path) request.path = *path;
  return request;
}

Request ParseRead(Request request, const Bytes& packet) {
  if (packet.size() == 3) {
    request.sequence = ByteAt(packet, 2);
    request.kind = request.sequence == 0 ? RequestKind::kAbort : RequestKind::kReadNext;
    return request;
  }
  if (packet.size() < 3 || ByteAt(packet, 2) != 0) {
    request.kind = RequestKind::kMalformed;
    return request;
  }
  return ParsePathRequest(request, RequestKind::kReadFirst, packet, 3);
}

// 59 05 00 flag 01 size(4, LE) FF 00 01 M(2, BE) path 00 C(2, LE) chunk
Request ParseWriteFirst(Request request, const Bytes& packet) {
  request.kind = RequestKind::kMalformed;
  if (packet.size() < 16) return request;
  const std::size_t pathLength = (std::size_t{ByteAt(packet, 12)} << 8) | ByteAt(packet, 13);
  if (pathLength == 0 || packet.size() < 16 + pathLength) return request;
  if (packet[13 + pathLength] != '\0') return request;
  const std::size_t chunkLength = ReadLe16(packet, 14 + pathLength);
  if (packet.size() != 16 + pathLength + chunkLength) return request;
  request.kind = RequestKind::kWriteFirst;
  request.fullChunkFlag = ByteAt(packet, 3) != 0;
  request.fileSize = ReadLe32(packet, 5);
  request.path = packet.substr(14, pathLength - 1);
  request.chunk = packet.substr(16 + pathLength);
  return request;
}

// 59 05 SEQ flag C(2, LE) chunk
Request ParseWriteNext(Request request, const Bytes& packet) {
  request.kind = RequestKind::kMalformed;
  if (packet.size() < 6) return request;
  const std::size_t chunkLength = ReadLe16(packet, 4);
  if (packet.size() != 6 + chunkLength) return request;
  request.kind = RequestKind::kWriteNext;
  request.sequence = ByteAt(packet, 2);
  request.fullChunkFlag = ByteAt(packet, 3) != 0;
  request.chunk = packet.substr(6);
  return request;
}

Request ParseFileSystem(Request request, const Bytes& packet) {
  switch (request.op) {
    case kOpIterateDirs:
    case kOpIterateFiles:
      if (packet.size() < 7) {
        request.kind = RequestKind::kMalformed;
        return request;
      }
      request.index = ReadLe32(packet, 2);
      return ParsePathRequest(request, request.op == kOpIterateDirs ? RequestKind::kListDirs : RequestKind::kListFiles,
                              packet, 6);
    case kOpRead:
      return ParseRead(request, packet);
    case kOpWrite:
      if (packet.size() >= 3 && packet[2] == 0) return ParseWriteFirst(request, packet);
      return ParseWriteNext(request, packet);
    case kOpMakeDir:
      return ParsePathRequest(request, RequestKind::kMakeDir, packet, 2);
    case kOpRemoveDir:
      return ParsePathRequest(request, RequestKind::kRemoveDir, packet, 2);
    case kOpDeleteFile:
      return ParsePathRequest(request, RequestKind::kDeleteFile, packet, 2);
    default:
      request.kind = RequestKind::kUnknown;
      return request;
  }
}

}  // namespace

Request ParseRequest(const Bytes& packet) {
  Request request;
  if (packet.size() < 2) return request;
  request.command = ByteAt(packet, 0);
  request.op = ByteAt(packet, 1);
  if (request.command == kCmdFileSystem) return ParseFileSystem(request, packet);
  if (request.command == kCmdRestart && packet.size() == 3) {
    if (packet == RestartPacket()) request.kind = RequestKind::kRestart;
    if (packet == RestartConfirmPacket()) request.kind = RequestKind::kRestartConfirm;
  }
  return request;
}

}  // namespace phonesim
