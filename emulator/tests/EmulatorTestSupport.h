// Shared helpers of the emulator's tests: a scratch phone folder and the
// checks every reply frame must pass.
#pragma once

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <random>
#include <string>

#include "emulator/PhoneEmulator.h"

namespace phonesim::testing {

inline Bytes Hex(std::initializer_list<int> values) {
  Bytes bytes;
  for (int value : values) bytes += static_cast<char>(value);
  return bytes;
}

// A fresh folder under the system's temporary folder, removed afterwards.
class ScratchFolder {
 public:
  ScratchFolder() {
    std::random_device entropy;
    path_ = std::filesystem::temp_directory_path() / ("phonesim-test-" + std::to_string(entropy()));
    std::filesystem::create_directories(path_);
  }
  ~ScratchFolder() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
  }
  ScratchFolder(const ScratchFolder&) = delete;
  ScratchFolder& operator=(const ScratchFolder&) = delete;

  const std::filesystem::path& path() const { return path_; }
  void MakeFolder(const std::string& relative) const { std::filesystem::create_directories(path_ / relative); }
  void MakeFile(const std::string& relative, const Bytes& contents) const {
    std::ofstream(path_ / relative, std::ios::binary) << contents;
  }
  Bytes Contents(const std::string& relative) const {
    std::ifstream in(path_ / relative, std::ios::binary);
    return Bytes{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
  }
  bool Exists(const std::string& relative) const { return std::filesystem::exists(path_ / relative); }

 private:
  std::filesystem::path path_;
};

// The packet of a reply frame as it came off the wire, after checking that
// it ends with its only 0x7E and carries the right checksum.
inline Bytes ReplyPacket(const Bytes& wire) {
  EXPECT_FALSE(wire.empty());
  EXPECT_EQ(wire.find(kFrameEnd), wire.size() - 1) << HexBytes(wire);
  const Bytes unescaped = Unescape(wire);
  EXPECT_TRUE(ChecksumMatches(unescaped)) << HexBytes(wire);
  return unescaped.size() >= 3 ? unescaped.substr(0, unescaped.size() - 3) : Bytes{};
}

inline Bytes Joined(const Response& response) {
  Bytes bytes;
  for (const auto& piece : response.pieces) bytes += piece.bytes;
  return bytes;
}

// The emulator over a scratch folder, asked as the module asks: by packets
// framed with the module's own BuildFrame.
class PhoneFixture : public ::testing::Test {
 protected:
  explicit PhoneFixture(std::size_t chunk = kChunkSize, FaultOptions faults = {})
      : files_(folder_.path()), phone_(files_, chunk, std::move(faults)) {}

  Response SendRaw(const Bytes& packet) { return phone_.OnFrame(BuildFrame(packet)); }
  // The reply packet to a request packet.
  Bytes Ask(const Bytes& packet) { return ReplyPacket(Joined(SendRaw(packet))); }

  ScratchFolder folder_;
  PhoneFileSystem files_;
  PhoneEmulator phone_;
};

}  // namespace phonesim::testing
