#include "emulator/PhoneEmulator.h"

#include <algorithm>
#include <charconv>

namespace phonesim {
namespace {

constexpr unsigned kMaxGarbageBytes = 8;

}  // namespace

bool AddStatusOverride(FaultOptions& options, const std::string& text) {
  static const std::map<std::string, std::vector<std::uint8_t>> kOpsByName = {
      {"list", {kOpIterateDirs, kOpIterateFiles}},
      {"read", {kOpRead}},
      {"write", {kOpWrite}},
      {"mkdir", {kOpMakeDir}},
      {"rmdir", {kOpRemoveDir}},
      {"delete", {kOpDeleteFile}},
  };
  const auto equals = text.find('=');
  if (equals == std::string::npos) return false;
  const auto ops = kOpsByName.find(text.substr(0, equals));
  if (ops == kOpsByName.end()) return false;
  unsigned status = 0;
  const char* first = text.data() + equals + 1;
  const char* last = text.data() + text.size();
  const auto [end, error] = std::from_chars(first, last, status);
  if (first == last || error != std::errc{} || end != last || status > 0xFF) return false;
  for (std::uint8_t op : ops->second) options.statusByOp[op] = static_cast<std::uint8_t>(status);
  return true;
}

std::string HexBytes(const Bytes& bytes) {
  static constexpr char kDigits[] = "0123456789ABCDEF";
  std::string text;
  text.reserve(bytes.size() * 3);
  for (std::size_t i = 0; i < bytes.size(); ++i) {
    if (i > 0) text += ' ';
    const auto byte = static_cast<std::uint8_t>(bytes[i]);
    text += kDigits[byte >> 4];
    text += kDigits[byte & 0x0F];
  }
  return text;
}

PhoneEmulator::PhoneEmulator(const PhoneFileSystem& files, std::size_t chunkSize, FaultOptions faults)
    : session_(files, chunkSize), faults_(std::move(faults)), random_(faults_.seed) {}

Response PhoneEmulator::OnFrame(const Bytes& wireFrame) {
  Response response;
  if (wireFrame.size() <= 1) return response;  // a lone terminator is no request
  const std::uint64_t number = ++requestCount_;
  response.hangUp = number == faults_.hangupAfter;
  Bytes unescaped = Unescape(wireFrame);
  if (number == faults_.flipRequestNth) unescaped[0] = static_cast<char>(unescaped[0] ^ 0x10);
  if (!ChecksumMatches(unescaped)) {
    response.warnings.push_back("phonesim: request " + std::to_string(number) + " has a bad checksum; not answered");
    return response;
  }
  // A dropped request is lost on the line: the phone never sees it.
  if (number == faults_.dropNth) return response;
  if (faults_.silentFrom != 0 && number >= faults_.silentFrom) return response;

  const Request request = ParseRequest(unescaped.substr(0, unescaped.size() - 3));
  Bytes packet = ReplyPacket(request, response);
  if (number == faults_.oversizeNth) packet = Oversized(std::move(packet));
  Bytes frame = EncodeFrame(packet);
  // A stale reply: the request was carried out, but its reply is lost and the
  // previous one comes again (none before the first request).
  if (number == faults_.staleNth) std::swap(frame, lastFrame_);
  else lastFrame_ = frame;
  if (frame.empty()) return response;
  if (number == faults_.flipNth) frame = FlipOneBit(std::move(frame));
  if (number == faults_.garbageNth) frame = Garbage(1 + random_() % kMaxGarbageBytes) + frame;
  if (number == faults_.noiseNth) frame = Garbage(faults_.noiseBytes) + frame;
  if (number == faults_.dupNth) frame += frame;
  response.pieces = Split(std::move(frame));
  if (number == faults_.lateNth) response.pieces.front().delayMs += faults_.lateMs;
  if (request.kind == RequestKind::kAbort) response.pieces.front().delayMs += faults_.lateAbortMs;
  return response;
}

// The faults that replace a reply leave the phone's state as it was: the phone
// answered without doing what was asked.
Bytes PhoneEmulator::ReplyPacket(const Request& request, Response& response) {
  if (requestCount_ == faults_.repeatNth) {
    return faults_.repeatKind == RepeatKind::kRepeatRequest1404 ? Bytes{0x14, 0x04}
                                                                : StatusPacket(kOpRead, kStatusFileMissing);
  }
  const auto forced = faults_.statusByOp.find(request.op);
  if (request.command == kCmdFileSystem && request.kind != RequestKind::kAbort && forced != faults_.statusByOp.end()) {
    return StatusPacket(request.op, forced->second);
  }
  PhoneSession::Answer answer = session_.Handle(request);
  response.notes = std::move(answer.notes);
  if (faults_.emptyChunks && request.kind == RequestKind::kReadNext && answer.reply.size() > kReadNextDataOffset) {
    answer.reply.resize(kReadNextLengthOffset);
    AppendLe16(answer.reply, 0);
  }
  return answer.reply;
}

// A data reply of a read whose length field and data both run kOversizeBytes
// past what the phone should send; any other reply stays as it is.
Bytes PhoneEmulator::Oversized(Bytes packet) {
  if (packet.size() < kReadNextDataOffset || static_cast<std::uint8_t>(packet[1]) != kOpRead) return packet;
  // Byte 3 is 0 in the first reply only: next-chunk replies give back a sequence of 1 to 255.
  const std::size_t lengthOffset = packet[kReadSequenceOffset] == 0 ? kReadFirstLengthOffset : kReadNextLengthOffset;
  const auto length = static_cast<std::uint16_t>(ReadLe16(packet, lengthOffset) + kOversizeBytes);
  packet[lengthOffset] = static_cast<char>(length & 0xFF);
  packet[lengthOffset + 1] = static_cast<char>(length >> 8);
  for (std::size_t i = 0; i < kOversizeBytes; ++i) packet += static_cast<char>(random_());
  return packet;
}

// One bit of one byte before the terminator; a flip that would make a 0x7E
// takes the next bit instead, so the frame still ends where it should.
Bytes PhoneEmulator::FlipOneBit(Bytes frame) {
  const std::size_t position = random_() % (frame.size() - 1);
  unsigned bit = random_() % 8;
  auto flipped = static_cast<std::uint8_t>(static_cast<std::uint8_t>(frame[position]) ^ (1u << bit));
  if (flipped == static_cast<std::uint8_t>(kFrameEnd)) {
    bit = (bit + 1) % 8;
    flipped = static_cast<std::uint8_t>(static_cast<std::uint8_t>(frame[position]) ^ (1u << bit));
  }
  frame[position] = static_cast<char>(flipped);
  return frame;
}

Bytes PhoneEmulator::Garbage(std::size_t count) {
  Bytes garbage(count, '\0');
  for (char& byte : garbage) {
    byte = static_cast<char>(random_() % 0xFF);  // 0x00..0xFE
    if (byte == kFrameEnd) byte = 0x7F;
  }
  return garbage;
}

std::vector<WirePiece> PhoneEmulator::Split(Bytes bytes) const {
  const std::size_t count = std::clamp<std::size_t>(faults_.split, 1, bytes.size());
  std::vector<WirePiece> pieces;
  if (count == 1) {
    pieces.push_back({faults_.delayMs, std::move(bytes)});
    return pieces;
  }
  std::size_t start = 0;
  for (std::size_t i = 0; i < count; ++i) {
    // The first bytes.size() % count pieces are one byte longer.
    const std::size_t length = bytes.size() / count + (i < bytes.size() % count ? 1 : 0);
    pieces.push_back({i == 0 ? faults_.delayMs : faults_.gapMs, bytes.substr(start, length)});
    start += length;
  }
  return pieces;
}

}  // namespace phonesim
