// The phone protocol's pure half: framing of packets (checksum, escaping, the
// third-byte rule, terminator), splitting received bytes into frames, and the
// builders of every request packet. Nothing here touches the port.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

#include "phone/Protocol.h"

constexpr char kFrameEnd = 0x7E;
constexpr char kEscape = 0x7D;

// ---------------------------------------------------------------------------
// Frame codec

// CRC-16/X-25 of a packet, final complement applied.
std::uint16_t FrameCheckSequence(std::string_view packet);
// The escaped low byte of the packet's checksum followed by the escaped high byte.
Bytes ComputeChecksum(const Bytes& packet);
// The module's quirk on outgoing packets: byte 2 equal to 0x7E goes out as 0x7F
// unless byte 1 is a read (0x04) or write (0x05) sub-operation.
Bytes ApplyThirdByteRule(Bytes packet);
// Escaped packet, escaped checksum, terminator: a frame as the phone sends one.
Bytes EncodeFrame(const Bytes& packet);
// A packet's frame under the third-byte rule: what a phone that cannot take an
// escaped 0x7E in byte 2 of a listing request is sent instead.
Bytes BuildFrame(const Bytes& packet);
// Undoes every escape pair; a 0x7D followed by anything else stays as it is.
Bytes Unescape(std::string_view bytes);
// Undoes the escaping of a received frame in place; a frame of exactly 266
// bytes (a full, unescaped data reply) is left as it is.
void UnescapeFrame(Bytes& frame);
// True when an unescaped frame (packet, checksum low, high, 0x7E) carries the
// checksum of its packet.
bool ChecksumMatches(std::string_view unescapedFrame);
// The packet of a received frame, unescaped and checked; a 266-byte frame
// that fails so is checked once more as received (a full data reply that the
// phone sent unescaped). Empty when the checksum fails.
std::optional<Bytes> CheckedReply(std::string_view received);
// For a received frame that fails its checksum as a whole: the packet of the
// longest checked frame, no longer than the longest reply, that it ends with
// (a reply after the tail of an earlier one, or after line noise) and that
// `wanted` accepts. One pass over the frame.
std::optional<Bytes> CheckedReplyAtEnd(std::string_view received,
                                       const std::function<bool(std::string_view packet)>& wanted);

// Cuts a byte stream into frames at each terminator.
class FrameCollector {
 public:
  void Append(const Bytes& bytes) { pending_ += bytes; }
  // The next complete frame (terminator included), if one has arrived.
  std::optional<Bytes> Next();
  bool HasPartial() const { return !pending_.empty(); }
  void Clear() { pending_.clear(); }

 private:
  Bytes pending_;
};

// ---------------------------------------------------------------------------
// Request packets

// Length byte (path bytes plus the terminating zero), path, zero.
Bytes PathField(const std::string& phonePath);
// Iterate-directories (0x0A) or iterate-files (0x0B) request for an index.
Bytes ListingPacket(FileSystemOp op, const std::string& phonePath, std::uint32_t index);
Bytes ReadFirstPacket(const std::string& phonePath);
Bytes ReadNextPacket(std::uint8_t sequence);
Bytes AbortPacket();
// First write request: path length high byte first, size, the first chunk.
Bytes WriteFirstPacket(const std::string& phonePath, std::uint32_t fileSize, const Bytes& chunk);
Bytes WriteNextPacket(std::uint8_t sequence, const Bytes& chunk);
// Make-directory, remove-directory and delete-file requests.
Bytes PathCommandPacket(FileSystemOp op, const std::string& phonePath);
Bytes RestartPacket();
Bytes RestartConfirmPacket();

// ---------------------------------------------------------------------------
// Reply judging and path rules

// True when `reply` (unescaped) answers `request`: same command and, for the
// file-system command, the same sub-operation; a read may also be answered
// with a repeat-request reply beginning 14 04.
bool IsReplyTo(std::string_view reply, const Bytes& request);

// The index that a listing request for `index` asks for when the third-byte
// rule is applied to it (a low byte of 0x7E becomes 0x7F).
std::uint32_t IndexAsSent(std::uint32_t index);

// False for names a host would misread as a path: empty, "." or "..", or
// holding '\', ':' or control characters.
bool IsSafeEntryName(const std::string& name);

// Percentage done, rounded to the nearest whole number with halves to even;
// a total of 0 counts as complete.
int ProgressPercent(std::int64_t done, std::int64_t total);

// A data reply's payload of more than 256 bytes loses one byte: its last if
// that is 0x7D, else its first if that is 0x01.
void DropStrayByte(Bytes& data);

// Host path ('\' separators, leading '\') to phone path ('/' separators, no
// leading or trailing '/', root empty).
std::string ToPhonePath(const std::string& hostPath);
// The part of a phone path after its last '/'.
std::string NameFromPath(const std::string& phonePath);
// True when a listed entry's path names an entry of `folder` (the phone path
// the listing asked for): its part before the last '/' is that folder, letters
// compared without case, leading and trailing '/' ignored. A reply for another
// folder answers an earlier listing request.
bool IsEntryOfFolder(const std::string& entryPath, const std::string& folder);
// A folder name given as "[name]" loses its first and last characters.
std::string ApplyBracketRule(const std::string& phonePath);
