// The whole phone without its terminal: takes each request frame as it came
// over the wire and gives the bytes to send back, with the faults asked for.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "emulator/PhoneSession.h"

namespace phonesim {

enum class RepeatKind { kRepeatRequest1404, kReadStatus590406 };

// Faults on demand. Every "nth" counts request frames from 1 (0 = never) and
// means the reply to that request.
// Extra data bytes an oversized read reply carries (its length field counts them).
constexpr std::size_t kOversizeBytes = 16;

struct FaultOptions {
  unsigned split = 1;    // pieces each reply is cut into
  unsigned gapMs = 0;    // between the pieces
  unsigned delayMs = 0;  // before every reply
  std::uint64_t dropNth = 0;
  std::uint64_t flipRequestNth = 0;  // one bit of the request damaged: the phone finds a bad checksum
  std::uint64_t silentFrom = 0;      // no request from the Nth on is answered
  std::uint64_t flipNth = 0;
  std::uint64_t garbageNth = 0;
  std::uint64_t repeatNth = 0;
  RepeatKind repeatKind = RepeatKind::kRepeatRequest1404;
  std::uint64_t hangupAfter = 0;
  std::uint64_t dupNth = 0;       // the reply sent twice
  std::uint64_t staleNth = 0;     // carried out, but the previous reply sent again instead
  bool emptyChunks = false;       // every next-chunk read reply carries no data
  std::uint64_t oversizeNth = 0;  // a read reply carrying kOversizeBytes more than it should
  std::uint64_t noiseNth = 0;     // noiseBytes stray bytes (no 0x7E) before the reply
  std::size_t noiseBytes = 0;
  std::uint64_t lateNth = 0;      // the reply comes lateMs later than the others
  unsigned lateMs = 0;
  unsigned lateAbortMs = 0;       // every answer to the abort packet comes this much later
  std::map<std::uint8_t, std::uint8_t> statusByOp;  // sub-operation → status to answer
  std::uint32_t seed = 1;
};

// Parses "mkdir=7" and the like into FaultOptions::statusByOp; false (and the
// options unchanged) for an unknown operation or a status outside 0..255.
// Operations: list, read, write, mkdir, rmdir, delete.
bool AddStatusOverride(FaultOptions& options, const std::string& text);

struct WirePiece {
  unsigned delayMs = 0;  // to wait before writing the piece
  Bytes bytes;
};

struct Response {
  std::vector<WirePiece> pieces;  // empty: no reply
  std::vector<std::string> notes;     // for stdout
  std::vector<std::string> warnings;  // for stderr
  bool hangUp = false;                // close the terminal once the reply is out
};

// Uppercase hex bytes separated by spaces, as the trace shows them.
std::string HexBytes(const Bytes& bytes);

class PhoneEmulator {
 public:
  PhoneEmulator(const PhoneFileSystem& files, std::size_t chunkSize, FaultOptions faults);

  // One frame as received: everything up to and including its 0x7E.
  Response OnFrame(const Bytes& wireFrame);
  std::uint64_t RequestCount() const { return requestCount_; }

 private:
  Bytes ReplyPacket(const Request& request, Response& response);
  Bytes Oversized(Bytes packet);
  Bytes FlipOneBit(Bytes frame);
  Bytes Garbage(std::size_t count);
  std::vector<WirePiece> Split(Bytes bytes) const;

  PhoneSession session_;
  FaultOptions faults_;
  std::mt19937 random_;
  std::uint64_t requestCount_ = 0;
  Bytes lastFrame_;  // the last reply as framed, before damage: what a stale reply repeats
};

}  // namespace phonesim
