#include "phone/Unit1.h"

#include <algorithm>
#include <cctype>
#include <cstring>
#include <string_view>

#include "phone/CRC.h"

namespace {

// Appends the bytes with 0x7D and 0x7E escaped, the plain runs between them
// at once. Each of the two bytes is found by memchr, which looks at many
// bytes a step; a byte-by-byte loop costs a compare, or two, per byte.
void AppendEscaped(Bytes& out, std::string_view bytes) {
  const char* at = bytes.data();
  const char* const end = at + bytes.size();
  const auto next = [end](const char* from, char wanted) {
    if (from == end) return end;  // memchr takes no null pointer, even for nothing
    const void* found = std::memchr(from, wanted, static_cast<std::size_t>(end - from));
    return found != nullptr ? static_cast<const char*>(found) : end;
  };
  const char* nextEscape = next(at, kEscape);
  const char* nextFrameEnd = next(at, kFrameEnd);
  for (;;) {
    const char* special = std::min(nextEscape, nextFrameEnd);
    out.append(at, special);
    if (special == end) return;
    out += kEscape;
    out += *special == kEscape ? char(0x5D) : char(0x5E);
    at = special + 1;
    if (special == nextEscape) nextEscape = next(at, kEscape);
    else nextFrameEnd = next(at, kFrameEnd);
  }
}

constexpr std::size_t kUnescapedFullReplyLength = 266;

}  // namespace

std::uint16_t FrameCheckSequence(std::string_view packet) {
  std::uint16_t crc = 0xFFFF;
  const auto* data = reinterpret_cast<const std::uint8_t*>(packet.data());
  std::size_t left = packet.size();
  while (left > 0) {  // CrcStep takes 16-bit counts
    const auto step = static_cast<std::uint16_t>(left > 0xFFFF ? 0xFFFF : left);
    CrcStep(data, step, crc);
    data += step;
    left -= step;
  }
  return static_cast<std::uint16_t>(~crc);
}

Bytes ComputeChecksum(const Bytes& packet) {
  const std::uint16_t crc = FrameCheckSequence(packet);
  const char checksum[] = {static_cast<char>(crc & 0xFF), static_cast<char>(crc >> 8)};
  Bytes trailer;
  AppendEscaped(trailer, std::string_view(checksum, 2));
  return trailer;
}

Bytes ApplyThirdByteRule(Bytes packet) {
  if (packet.size() >= 3 && packet[1] != kOpRead && packet[1] != kOpWrite && packet[2] == kFrameEnd) {
    packet[2] = 0x7F;
  }
  return packet;
}

Bytes EncodeFrame(const Bytes& packet) {
  Bytes frame;
  frame.reserve(packet.size() + 8);
  AppendEscaped(frame, packet);
  frame += ComputeChecksum(packet);
  frame += kFrameEnd;
  return frame;
}

Bytes BuildFrame(const Bytes& packet) { return EncodeFrame(ApplyThirdByteRule(packet)); }

Bytes Unescape(std::string_view bytes) {
  Bytes out;
  out.reserve(bytes.size());
  std::size_t from = 0;  // the plain runs between escapes go at once
  for (auto at = bytes.find(kEscape); at != std::string_view::npos; at = bytes.find(kEscape, from)) {
    out.append(bytes.substr(from, at - from));
    const char next = at + 1 < bytes.size() ? bytes[at + 1] : '\0';
    if (next == 0x5D || next == 0x5E) {
      out += next == 0x5D ? kEscape : kFrameEnd;
      from = at + 2;
    } else {
      out += kEscape;
      from = at + 1;
    }
  }
  out.append(bytes.substr(from));
  return out;
}

void UnescapeFrame(Bytes& frame) {
  if (frame.size() == kUnescapedFullReplyLength) return;
  if (frame.find(kEscape) == Bytes::npos) return;
  frame = Unescape(frame);
}

bool ChecksumMatches(std::string_view frame) {
  if (frame.size() < 3 || frame.back() != kFrameEnd) return false;
  const std::string_view packet = frame.substr(0, frame.size() - 3);
  const std::uint16_t crc = FrameCheckSequence(packet);
  return static_cast<std::uint8_t>(frame[frame.size() - 3]) == (crc & 0xFF) &&
         static_cast<std::uint8_t>(frame[frame.size() - 2]) == (crc >> 8);
}

std::optional<Bytes> CheckedReply(std::string_view received) {
  constexpr std::size_t kTrailer = 3;  // checksum low, high, terminator
  Bytes unescaped = Unescape(received);
  if (ChecksumMatches(unescaped)) {
    unescaped.resize(unescaped.size() - kTrailer);
    return unescaped;
  }
  // A full data reply sent without its escaping; taken only when the frame
  // does not hold as escaped, since an escaped frame of this length whose raw
  // bytes also happen to pass would otherwise lose its escapes.
  if (received.size() == kUnescapedFullReplyLength && ChecksumMatches(received)) {
    return Bytes(received.substr(0, received.size() - kTrailer));
  }
  return std::nullopt;
}

std::optional<Bytes> CheckedReplyAtEnd(std::string_view received,
                                       const std::function<bool(std::string_view packet)>& wanted) {
  // Every frame that ends where this one ends leaves the running checksum at
  // the good residue; going backwards from there, a start where the value is
  // back at its initial 0xFFFF begins a frame whose checksum holds.
  const Bytes unescaped = Unescape(received);
  if (unescaped.size() < 3 || unescaped.back() != kFrameEnd) return std::nullopt;
  const std::size_t end = unescaped.size() - 1;  // the terminator is not checksummed
  const std::size_t earliest = end > kLongestReplyFrame ? end - kLongestReplyFrame : 0;
  std::uint16_t crc = kCrcGoodResidue;
  std::optional<std::size_t> start;
  for (std::size_t i = end; i-- > earliest;) {
    CrcUnstep(static_cast<std::uint8_t>(unescaped[i]), crc);
    if (crc == 0xFFFF && end - i > 2 && wanted(std::string_view(unescaped).substr(i, end - i - 2))) start = i;
  }
  if (!start) return std::nullopt;
  return unescaped.substr(*start, end - *start - 2);
}

std::optional<Bytes> FrameCollector::Next() {
  const auto end = pending_.find(kFrameEnd);
  if (end == Bytes::npos) return std::nullopt;
  Bytes frame = pending_.substr(0, end + 1);
  pending_.erase(0, end + 1);
  return frame;
}

// ---------------------------------------------------------------------------

Bytes PathField(const std::string& phonePath) {
  Bytes field;
  field += static_cast<char>((phonePath.size() + 1) & 0xFF);
  field += phonePath;
  field += '\0';
  return field;
}

Bytes ListingPacket(FileSystemOp op, const std::string& phonePath, std::uint32_t index) {
  Bytes packet{char(kCmdFileSystem), char(op)};
  AppendLe16(packet, static_cast<std::uint16_t>(index));
  AppendLe16(packet, 0);
  packet += PathField(phonePath);
  return packet;
}

Bytes ReadFirstPacket(const std::string& phonePath) {
  Bytes packet{char(kCmdFileSystem), char(kOpRead), 0};
  packet += PathField(phonePath);
  return packet;
}

Bytes ReadNextPacket(std::uint8_t sequence) {
  return Bytes{char(kCmdFileSystem), char(kOpRead), char(sequence)};
}

Bytes AbortPacket() { return ReadNextPacket(0); }

namespace {
char FullChunkFlag(const Bytes& chunk) { return chunk.size() == kChunkSize ? 0x01 : 0x00; }
}  // namespace

Bytes WriteFirstPacket(const std::string& phonePath, std::uint32_t fileSize, const Bytes& chunk) {
  Bytes packet{char(kCmdFileSystem), char(kOpWrite), 0, FullChunkFlag(chunk), 0x01};
  AppendLe32(packet, fileSize);
  packet += {char(0xFF), 0x00, 0x01};
  const auto pathLength = static_cast<std::uint16_t>(phonePath.size() + 1);
  packet += static_cast<char>(pathLength >> 8);  // the one big-endian field
  packet += static_cast<char>(pathLength & 0xFF);
  packet += phonePath;
  packet += '\0';
  AppendLe16(packet, static_cast<std::uint16_t>(chunk.size()));
  packet += chunk;
  return packet;
}

Bytes WriteNextPacket(std::uint8_t sequence, const Bytes& chunk) {
  Bytes packet{char(kCmdFileSystem), char(kOpWrite), char(sequence), FullChunkFlag(chunk)};
  AppendLe16(packet, static_cast<std::uint16_t>(chunk.size()));
  packet += chunk;
  return packet;
}

Bytes PathCommandPacket(FileSystemOp op, const std::string& phonePath) {
  Bytes packet{char(kCmdFileSystem), char(op)};
  packet += PathField(phonePath);
  return packet;
}

Bytes RestartPacket() { return Bytes{char(kCmdRestart), 0x01, 0x00}; }
Bytes RestartConfirmPacket() { return Bytes{char(kCmdRestart), 0x02, 0x00}; }

// ---------------------------------------------------------------------------

bool IsReplyTo(std::string_view reply, const Bytes& request) {
  if (reply.empty() || request.size() < 2) return false;
  if (request[0] == char(kCmdRestart)) return reply[0] == char(kCmdRestart);
  if (reply.size() < 2) return false;
  if (request[1] == char(kOpRead) && reply[0] == char(kCmdRepeatRequest) && reply[1] == char(kOpRead)) return true;
  return reply[0] == request[0] && reply[1] == request[1];
}

std::uint32_t IndexAsSent(std::uint32_t index) {
  return (index & 0xFF) == 0x7E ? index + 1 : index;
}

bool IsSafeEntryName(const std::string& name) {
  if (name.empty() || name == "." || name == "..") return false;
  for (unsigned char c : name) {
    if (c < 0x20 || c == 0x7F || c == '\\' || c == ':') return false;
  }
  return true;
}

int ProgressPercent(std::int64_t done, std::int64_t total) {
  if (total <= 0) return 100;
  const double exact = static_cast<double>(done) * 100.0 / static_cast<double>(total);
  // Halves go to the even neighbour, as banker's rounding does.
  const double floor = static_cast<double>(static_cast<std::int64_t>(exact));
  const double fraction = exact - floor;
  auto rounded = static_cast<std::int64_t>(floor);
  if (fraction > 0.5 || (fraction == 0.5 && rounded % 2 != 0)) ++rounded;
  return static_cast<int>(rounded);
}

void DropStrayByte(Bytes& data) {
  if (data.size() <= kChunkSize) return;
  if (data.back() == kEscape) {
    data.pop_back();
  } else if (data.front() == 0x01) {
    data.erase(0, 1);
  }
}

std::string ToPhonePath(const std::string& hostPath) {
  std::string path = hostPath;
  for (char& c : path) {
    if (c == '\\') c = '/';
  }
  if (!path.empty() && path[0] == '/') path.erase(0, 1);
  // A trailing separator names the folder itself: the phone would put it
  // twice into the names of the folder's entries.
  while (!path.empty() && path.back() == '/') path.pop_back();
  return path;
}

bool IsEntryOfFolder(const std::string& entryPath, const std::string& folder) {
  const auto trimmed = [](std::string_view path) {
    while (!path.empty() && path.front() == '/') path.remove_prefix(1);
    while (!path.empty() && path.back() == '/') path.remove_suffix(1);
    return path;
  };
  const std::string_view entry = trimmed(entryPath);
  const auto slash = entry.rfind('/');
  const std::string_view parent = slash == std::string_view::npos ? std::string_view() : entry.substr(0, slash);
  const std::string_view wanted = trimmed(folder);
  return std::equal(parent.begin(), parent.end(), wanted.begin(), wanted.end(), [](char a, char b) {
    return std::tolower(static_cast<unsigned char>(a)) == std::tolower(static_cast<unsigned char>(b));
  });
}

std::string NameFromPath(const std::string& phonePath) {
  const auto slash = phonePath.rfind('/');
  return slash == std::string::npos ? phonePath : phonePath.substr(slash + 1);
}

std::string ApplyBracketRule(const std::string& phonePath) {
  if (phonePath.empty() || phonePath[0] != '[') return phonePath;
  return phonePath.size() <= 2 ? std::string() : phonePath.substr(1, phonePath.size() - 2);
}
