#include "phone/Protocol.h"

#include <cstring>

std::uint32_t ReadLe32(const Bytes& bytes, std::size_t offset) {
  std::uint32_t value = 0;
  for (int i = 3; i >= 0; --i) value = (value << 8) | static_cast<std::uint8_t>(bytes.at(offset + i));
  return value;
}

std::uint16_t ReadLe16(const Bytes& bytes, std::size_t offset) {
  return static_cast<std::uint16_t>(static_cast<std::uint8_t>(bytes.at(offset)) |
                                    (static_cast<std::uint8_t>(bytes.at(offset + 1)) << 8));
}

void AppendLe32(Bytes& bytes, std::uint32_t value) {
  for (int i = 0; i < 4; ++i) bytes += static_cast<char>((value >> (8 * i)) & 0xFF);
}

void AppendLe16(Bytes& bytes, std::uint16_t value) {
  bytes += static_cast<char>(value & 0xFF);
  bytes += static_cast<char>(value >> 8);
}

namespace {

bool BeginsWith(const Bytes& reply, std::uint8_t command, std::uint8_t op) {
  return reply.size() >= 2 && static_cast<std::uint8_t>(reply[0]) == command &&
         static_cast<std::uint8_t>(reply[1]) == op;
}

}  // namespace

bool IsStatusReply(const Bytes& reply, FileSystemOp op, std::uint8_t status) {
  return reply.size() == 3 && StatusOf(reply, op) == status;
}

std::optional<std::uint8_t> StatusOf(const Bytes& reply, FileSystemOp op) {
  if (reply.size() <= kReplyStatusOffset || !BeginsWith(reply, kCmdFileSystem, op)) return std::nullopt;
  return static_cast<std::uint8_t>(reply[kReplyStatusOffset]);
}

bool AsksForReadAgain(const Bytes& reply) {
  return BeginsWith(reply, kCmdRepeatRequest, kOpRead) || StatusOf(reply, kOpRead) == kStatusFileMissing;
}

bool IsWriteAccepted(const Bytes& reply) { return StatusOf(reply, kOpWrite) == kStatusOk; }

bool IsAbortAnswer(const Bytes& reply) { return reply.size() == 3 && StatusOf(reply, kOpRead).has_value(); }

bool IsRefusal(const Bytes& reply) {
  if (reply.size() < 2) return false;
  const auto why = static_cast<std::uint8_t>(reply[0]);
  return why == kCmdUnknownCommand || why == kCmdRepeatRequest || why == kCmdBadLength;
}

std::optional<ListingEntry> ParseListingEntry(const Bytes& reply) {
  if (reply.size() <= kEntryNameLengthOffset || reply[0] != char(kCmdFileSystem)) return std::nullopt;
  const std::size_t nameLength = static_cast<std::uint8_t>(reply[kEntryNameLengthOffset]);
  if (reply.size() < kEntryNameOffset + nameLength) return std::nullopt;
  ListingEntry entry;
  entry.isDirectory = reply[1] == char(kOpIterateDirs);
  entry.index = static_cast<std::uint8_t>(reply[kEntryIndexOffset]);
  entry.date = ReadLe32(reply, kEntryDateOffset);
  if (!entry.isDirectory) entry.size = ReadLe32(reply, kEntrySizeOffset);
  entry.path = reply.substr(kEntryNameOffset, nameLength);
  entry.path.resize(std::strlen(entry.path.c_str()));  // the name may end with a zero byte
  return entry;
}

ReadReply JudgeReadReply(const Bytes& reply, std::uint8_t sequence) {
  ReadReply judged;
  if (AsksForReadAgain(reply)) {
    judged.kind = ReadReply::kAskAgain;
    return judged;
  }
  const std::optional<std::uint8_t> status = StatusOf(reply, kOpRead);
  if (!status) return judged;  // no read reply at all
  if (*status != kStatusOk) {
    judged.kind = ReadReply::kRefused;
    return judged;
  }
  // The abort's answer, 59 04 00, carries no sequence number.
  if (reply.size() <= kReadMoreOffset) return judged;
  if (static_cast<std::uint8_t>(reply[kReadSequenceOffset]) != sequence) return judged;
  judged.moreFollows = reply[kReadMoreOffset] != 0;
  const std::size_t dataOffset = sequence == 0 ? kReadFirstDataOffset : kReadNextDataOffset;
  if (reply.size() < dataOffset) {
    judged.kind = ReadReply::kDamaged;
    return judged;
  }
  judged.kind = ReadReply::kData;
  if (sequence == 0) {
    judged.totalSize = ReadLe32(reply, kReadTotalSizeOffset);
    judged.data = reply.substr(dataOffset, ReadLe16(reply, kReadFirstLengthOffset));
  } else {
    judged.data = reply.substr(dataOffset);
  }
  return judged;
}
