// The facts of the phone protocol that the module and the phone emulator
// share: command and sub-operation bytes, reply statuses, where each field of
// a reply lies, the sequence numbers of a transfer, and small pure parsers of
// replies. A reply here is a packet: the frame without its escaping,
// checksum and terminator.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

// Packets, frames and file data are byte strings that may hold zero bytes.
using Bytes = std::string;

enum PhoneCommand : std::uint8_t {
  kCmdFileSystem = 0x59,
  kCmdRestart = 0x29,
  // A phone that refuses a request answers with one byte naming why, followed
  // by the start of the request: an unknown command, bad parameters, a bad
  // length. A reply beginning 14 04 asks for the first read request again.
  kCmdUnknownCommand = 0x13,
  kCmdRepeatRequest = 0x14,
  kCmdBadLength = 0x15,
};

enum FileSystemOp : std::uint8_t {
  kOpMakeDir = 0x00,
  kOpRemoveDir = 0x01,
  kOpRead = 0x04,
  kOpWrite = 0x05,
  kOpDeleteFile = 0x06,
  kOpIterateDirs = 0x0A,
  kOpIterateFiles = 0x0B,
};

// Byte 2 of a reply [command, sub-operation, status, ...].
enum PhoneStatus : std::uint8_t {
  kStatusOk = 0x00,
  kStatusWriteFailed = 0x01,
  kStatusDirMissing = 0x03,
  kStatusFileMissing = 0x06,  // a read answered with it is sent again
  kStatusDirExists = 0x07,
  kStatusCannotList = 0x08,
  kStatusDirNotEmpty = 0x09,
  kStatusNoEntry = 0x1C,  // no folder or file at the index asked for
};

constexpr std::size_t kReplyStatusOffset = 2;

// Listing entry replies.
constexpr std::size_t kEntryIndexOffset = 3;  // low byte of the index asked for
constexpr std::size_t kEntryDateOffset = 11;  // 32-bit, seconds since the phone's epoch
constexpr std::size_t kEntrySizeOffset = 15;  // 32-bit, files only
constexpr std::size_t kEntryFolderLengthOffset = 23;  // leading bytes of the name that are the folder
constexpr std::size_t kEntryNameLengthOffset = 24;
constexpr std::size_t kEntryNameOffset = 25;
// The phone counts time in seconds from 1980-01-06 00:00 UTC.
constexpr std::int64_t kPhoneEpochUnixSeconds = 315964800;

// Read replies: [59 04 status sequence more ...]. Byte 3 is the sequence
// number of the request answered (0 for the first), byte 4 is 1 while more
// data follows and 0 in the reply that carries the last chunk.
constexpr std::size_t kReadSequenceOffset = 3;
constexpr std::size_t kReadMoreOffset = 4;
constexpr std::size_t kReadTotalSizeOffset = 5;
constexpr std::size_t kReadFirstLengthOffset = 9;
constexpr std::size_t kReadFirstDataOffset = 11;
constexpr std::size_t kReadNextLengthOffset = 5;
constexpr std::size_t kReadNextDataOffset = 7;

// Most data bytes in one write request, and in one read reply.
constexpr std::size_t kChunkSize = 256;
// The longest phone path a one-byte path field carries (its count includes
// the terminating zero), and the longest the first write request's 16-bit
// field carries.
constexpr std::size_t kLongestPhonePath = 254;
constexpr std::size_t kLongestWritePath = 65534;
// The last entry index a listing request carries (16 bits).
constexpr std::uint32_t kLastListingIndex = 0xFFFF;
// The longest reply frame the protocol allows, escaped, checksum and
// terminator included (an entry with a 255-byte name, every byte escaped, is
// 565 bytes); anything longer is noise.
constexpr std::size_t kLongestReplyFrame = 600;

// Sequence numbers of a transfer: 0 for the first packet, then 1 to 255, and
// after 255 again 1.
constexpr std::uint8_t NextSequence(std::uint8_t sequence) {
  return sequence == 255 ? 1 : static_cast<std::uint8_t>(sequence + 1);
}

// Little-endian fields. The readers throw std::out_of_range past the end.
std::uint32_t ReadLe32(const Bytes& bytes, std::size_t offset);
std::uint16_t ReadLe16(const Bytes& bytes, std::size_t offset);
void AppendLe32(Bytes& bytes, std::uint32_t value);
void AppendLe16(Bytes& bytes, std::uint16_t value);

// ---------------------------------------------------------------------------
// Replies

// True when the reply is exactly [0x59, op, status].
bool IsStatusReply(const Bytes& reply, FileSystemOp op, std::uint8_t status);
// Byte 2 of a reply to the file-system command `op`; empty for any other reply.
std::optional<std::uint8_t> StatusOf(const Bytes& reply, FileSystemOp op);
// A reply to a read request that asks for the first read request again:
// 14 04 ..., or a read reply with status 0x06.
bool AsksForReadAgain(const Bytes& reply);
// A write reply beginning 59 05 00: the phone took the packet.
bool IsWriteAccepted(const Bytes& reply);
// The phone's answer to the abort packet: the short read reply 59 04 status.
bool IsAbortAnswer(const Bytes& reply);
// A phone's refusal of a request: 13, 14 or 15 and the start of the request.
bool IsRefusal(const Bytes& reply);

struct ListingEntry {
  bool isDirectory = false;
  std::uint8_t index = 0;   // low byte of the index
  std::uint32_t size = 0;   // 0 for a folder
  std::uint32_t date = 0;   // seconds since 1980-01-06 00:00 UTC
  std::string path;         // as the phone gives it, up to its first zero byte
};
// An entry reply to a listing request; empty when it is too short for its name.
std::optional<ListingEntry> ParseListingEntry(const Bytes& reply);

// What a reply to a read request with a given sequence number means.
struct ReadReply {
  enum Kind {
    kData,      // carries the next chunk (the first carries the size too)
    kAskAgain,  // the first read request is to be sent again
    kRefused,   // a non-zero status: the file cannot come
    kStale,     // answers another request (an earlier one, or the abort)
    kDamaged,   // a reply to this request too short for its fields
  };
  Kind kind = kStale;
  std::uint32_t totalSize = 0;  // first reply only
  bool moreFollows = false;
  Bytes data;
};
// Judges a read reply (14 04 ... or 59 04 ...) against the sequence number
// of the request sent. The first reply carries the size and the first D
// bytes of what follows byte 10 (fewer if fewer are there); a later reply
// carries everything after byte 6.
ReadReply JudgeReadReply(const Bytes& reply, std::uint8_t sequence);
