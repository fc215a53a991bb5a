// What the phone makes of one request packet (a received frame without its
// escaping, checksum and terminator).
#pragma once

#include <cstdint>
#include <string>

#include "phone/Unit1.h"

namespace phonesim {

enum class RequestKind {
  kListDirs,
  kListFiles,
  kReadFirst,
  kReadNext,
  kAbort,
  kWriteFirst,
  kWriteNext,
  kMakeDir,
  kRemoveDir,
  kDeleteFile,
  kRestart,
  kRestartConfirm,
  kMalformed,  // a known file-system operation whose fields don't fit the packet
  kUnknown,    // a command the phone does not know
};

struct Request {
  RequestKind kind = RequestKind::kUnknown;
  std::uint8_t command = 0;  // byte 0
  std::uint8_t op = 0;       // byte 1, the sub-operation
  std::string path;
  std::uint32_t index = 0;     // listing
  std::uint8_t sequence = 0;   // next-chunk read and write requests
  std::uint32_t fileSize = 0;  // first write request
  bool fullChunkFlag = false;  // write requests
  Bytes chunk;                 // write requests
};

Request ParseRequest(const Bytes& packet);

}  // namespace phonesim
