// The phone's side of the protocol: one reply packet (before framing) for each
// request, with the state of the read and write in progress.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "emulator/PhoneFileSystem.h"
#include "emulator/PhoneRequest.h"
#include "phone/Protocol.h"

namespace phonesim {

// The DIAG "bad command" answer that precedes an echo of a request the phone
// does not know.
constexpr std::uint8_t kBadCommand = 0x13;

Bytes StatusPacket(std::uint8_t op, std::uint8_t status);
// The status a failed request of this kind gets.
std::uint8_t FailureStatus(std::uint8_t op);

class PhoneSession {
 public:
  PhoneSession(const PhoneFileSystem& files, std::size_t chunkSize);

  struct Answer {
    Bytes reply;                     // the packet, before framing
    std::vector<std::string> notes;  // what a person watching should be told
  };
  Answer Handle(const Request& request);

 private:
  struct OpenRead {
    Bytes data;
    std::size_t cursor = 0;
  };
  struct OpenWrite {
    std::string path;
    std::uint32_t size = 0;
    Bytes received;
    std::uint8_t lastSequence = 0;
  };

  Bytes List(const Request& request);
  Bytes ReadHeader(std::uint8_t sequence, std::size_t chunkLength) const;
  Bytes ReadFirst(const Request& request);
  Bytes ReadNext(const Request& request);
  Bytes WriteFirst(const Request& request);
  Bytes WriteNext(const Request& request);
  // Stores the upload once all its bytes are in; the reply to its last packet.
  Bytes AcceptChunk(const Bytes& chunk);
  // `packet` with the next chunk of the file being read after it.
  Bytes WithNextChunk(Bytes packet);

  // One folder's sorted entries of one kind, read at index 0 of a listing and
  // used for its later indexes, so a long listing reads the folder once.
  struct CachedListing {
    std::string path;
    bool folders = false;
    std::vector<FolderEntry> entries;
  };

  const PhoneFileSystem& files_;
  std::size_t chunkSize_;
  std::optional<CachedListing> listing_;
  std::optional<OpenRead> read_;
  std::optional<OpenWrite> write_;
};

}  // namespace phonesim
