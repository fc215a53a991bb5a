// The frame codec and the reply checks over any bytes: a framed packet comes
// back whole, a frame holds 0x7E only at its end, the collector cuts a stream
// exactly at its terminators, and no check reads outside its input.
#include <fuzzer/FuzzedDataProvider.h>

#include "fuzz/Invariant.h"
#include "phone/Protocol.h"
#include "phone/Unit1.h"

using fuzzphone::Violation;

namespace {

// Both frames of a packet come back whole through the reply check.
void CheckFramesOf(const Bytes& packet) {
  for (const Bytes& frame : {EncodeFrame(packet), BuildFrame(packet)}) {
    if (frame.find(kFrameEnd) != frame.size() - 1) Violation("a frame holds 0x7E before its end");
    const auto reply = CheckedReply(frame);
    if (!reply) Violation("a frame fails its own checksum");
    else if (*reply != (frame == EncodeFrame(packet) ? packet : ApplyThirdByteRule(packet))) {
      Violation("a frame does not give back its packet");
    }
  }
}

// A frame the collector cut: every check and judgement stays inside it.
void CheckCollectedFrame(const Bytes& frame, const Bytes& packet, std::uint32_t sentIndex) {
  if (frame.empty() || frame.back() != kFrameEnd || frame.find(kFrameEnd) != frame.size() - 1) {
    Violation("the collector cut a frame elsewhere than at its terminator");
  }
  Bytes unescaped = frame;
  UnescapeFrame(unescaped);
  if (const auto reply = CheckedReply(frame)) {
    if (reply->size() + 3 > frame.size()) Violation("a checked reply is longer than its frame");
    IsReplyTo(*reply, packet);
    ParseListingEntry(*reply);
    const ReadReply read = JudgeReadReply(*reply, static_cast<std::uint8_t>(sentIndex));
    if (read.kind == ReadReply::kData && read.data.size() + kReadNextDataOffset > reply->size()) {
      Violation("read data longer than its reply");
    }
  } else if (const auto tail = CheckedReplyAtEnd(frame, [](std::string_view) { return true; })) {
    if (tail->size() + 3 > frame.size()) Violation("a reply recovered from a frame's end is longer than the frame");
  }
  Bytes data = unescaped;
  DropStrayByte(data);
  if (data.size() + 1 < unescaped.size()) Violation("more than one stray byte dropped");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  FuzzedDataProvider input(data, size);
  const Bytes packet = input.ConsumeRandomLengthString(600);
  const auto sentIndex = input.ConsumeIntegral<std::uint32_t>();
  const Bytes stream = input.ConsumeRemainingBytesAsString();
  CheckFramesOf(packet);

  FrameCollector collector;
  Bytes joined;
  // Pieces of 1 to 97 bytes, as reads deliver them.
  for (std::size_t at = 0, piece = 0; at < stream.size(); at += piece) {
    piece = 1 + static_cast<std::uint8_t>(stream[at]) % 97;
    collector.Append(stream.substr(at, piece));
    while (auto frame = collector.Next()) {
      joined += *frame;
      CheckCollectedFrame(*frame, packet, sentIndex);
    }
  }
  if (joined != stream.substr(0, stream.rfind(kFrameEnd) + 1)) Violation("the collector lost or added bytes");
  IsSafeEntryName(stream);
  NameFromPath(ApplyBracketRule(ToPhonePath(stream)));
  IndexAsSent(sentIndex);
  return 0;
}
