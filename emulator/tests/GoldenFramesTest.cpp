// Reply frames written out by hand, byte for byte, as a phone lays them out:
// the module must read each one as stated, and the emulator must send exactly
// these bytes when asked the same requests in this order.
#include <gtest/gtest.h>

#include <chrono>

#include "emulator/tests/EmulatorTestSupport.h"

namespace phonesim::testing {
namespace {

Bytes HexText(const std::string& text) {
  Bytes bytes;
  for (std::size_t at = 0; at + 1 < text.size(); at += 3) bytes += static_cast<char>(std::stoi(text.substr(at, 2), nullptr, 16));
  return bytes;
}

// "41x240 42x60": each run of one byte value.
std::string Runs(const Bytes& data) {
  std::string text;
  for (std::size_t at = 0; at < data.size();) {
    std::size_t end = at;
    while (end < data.size() && data[end] == data[at]) ++end;
    char run[16];
    std::snprintf(run, sizeof run, "%s%02Xx%zu", text.empty() ? "" : " ", static_cast<std::uint8_t>(data[at]), end - at);
    text += run;
    at = end;
  }
  return text;
}

// What the module reads from a reply (a checked packet) to `request`.
std::string Judged(const Bytes& reply, const Bytes& request) {
  const auto op = static_cast<FileSystemOp>(request[1]);
  char text[200];
  switch (op) {
    case kOpRead: {
      if (request == AbortPacket()) return IsAbortAnswer(reply) ? "abort answer" : "not the abort's answer";
      const auto sequence = static_cast<std::uint8_t>(request.size() == 3 ? request[2] : 0);
      const ReadReply read = JudgeReadReply(reply, sequence);
      switch (read.kind) {
        case ReadReply::kAskAgain: return "ask again";
        case ReadReply::kRefused: return "refused";
        case ReadReply::kStale: return "stale";
        case ReadReply::kDamaged: return "damaged";
        case ReadReply::kData: break;
      }
      std::string data = "data";
      if (sequence == 0) data += " size=" + std::to_string(read.totalSize);
      return data + (read.moreFollows ? " more=1 " : " more=0 ") + Runs(read.data);
    }
    case kOpWrite:
      return IsWriteAccepted(reply) ? "accepted" : "refused";
    case kOpIterateDirs:
    case kOpIterateFiles: {
      if (IsStatusReply(reply, op, kStatusNoEntry)) return "no entry";
      if (IsStatusReply(reply, op, kStatusCannotList)) return "cannot list";
      const auto entry = ParseListingEntry(reply);
      if (!entry) return "no entry reply";
      std::snprintf(text, sizeof text, "entry %u size=%u date=%08X %s", entry->index, entry->size, entry->date,
                    entry->path.c_str());
      return text;
    }
    default:
      std::snprintf(text, sizeof text, "status %02X", StatusOf(reply, op).value_or(0xFF));
      return text;
  }
}

const Bytes kX = Bytes(240, 'A') + Bytes(60, 'B');
// 240 bytes whose first reply, escaped, is 266 bytes long, and whose raw bytes
// pass the checksum as well.
const Bytes kY = HexText("23 6D 2F ") + Bytes(97, 'C') + Bytes(12, '\x7E') + Bytes(128, 'C');
constexpr std::uint32_t kDate = 0x12345678;  // phone seconds of the files' modification time

struct Golden {
  const char* what;
  Bytes request;
  Bytes wire;
  std::string judged;
  bool fromEmulator;  // false: a phone's reply that a correct emulator never sends here
};

std::vector<Golden> GoldenFrames() {
  return {
      {"first read reply of a 300-byte file, 240 bytes carried", ReadFirstPacket("data/x.bin"),
       HexText("59 04 00 00 01 2C 01 00 00 F0 00 ") + Bytes(240, 'A') + HexText("63 2D 7E"),
       "data size=300 more=1 41x240", true},
      {"the next, for sequence 1, with the last 60", ReadNextPacket(1),
       HexText("59 04 00 01 00 3C 00 ") + Bytes(60, 'B') + HexText("AE B6 7E"), "data more=0 42x60", true},
      {"data for sequence 2 when 3 was asked for", ReadNextPacket(3), HexText("59 04 00 02 01 01 00 5A BF D3 7E"),
       "stale", false},
      {"the abort's answer", AbortPacket(), HexText("59 04 00 51 BE 7E"), "abort answer", true},
      {"the abort's answer while data is awaited", ReadNextPacket(4), HexText("59 04 00 51 BE 7E"), "stale", false},
      {"no such file", ReadFirstPacket("none"), HexText("59 04 06 67 DB 7E"), "ask again", true},
      {"a refusal of the read", ReadNextPacket(1), HexText("14 04 92 BB 7E"), "ask again", false},
      {"status 1 to a read", ReadNextPacket(2), HexText("59 04 01 D8 AF 7E"), "refused", false},
      {"a 266-byte frame that holds escaped and raw", ReadFirstPacket("data/y.bin"),
       HexText("59 04 00 00 00 F0 00 00 00 F0 00 23 6D 2F ") + Bytes(97, 'C') +
           HexText("7D 5E 7D 5E 7D 5E 7D 5E 7D 5E 7D 5E 7D 5E 7D 5E 7D 5E 7D 5E 7D 5E 7D 5E ") + Bytes(128, 'C') +
           HexText("AA 0E 7E"),
       "data size=240 more=0 23x1 6Dx1 2Fx1 43x97 7Ex12 43x128", true},
      {"write accepted", WriteFirstPacket("data/w", 3, "abc"), HexText("59 05 00 89 A7 7E"), "accepted", true},
      {"write refused", WriteFirstPacket("nowhere/w", 1, "a"), HexText("59 05 01 00 B6 7E"), "refused", true},
      {"folder made", PathCommandPacket(kOpMakeDir, "new"), HexText("59 00 00 31 D9 7E"), "status 00", true},
      {"folder exists", PathCommandPacket(kOpMakeDir, "new"), HexText("59 00 07 8E AD 7E"), "status 07", true},
      {"folder removed", PathCommandPacket(kOpRemoveDir, "new"), HexText("59 01 00 E9 C0 7E"), "status 00", true},
      {"no such folder", PathCommandPacket(kOpRemoveDir, "new"), HexText("59 01 03 72 F2 7E"), "status 03", true},
      {"folder not empty", PathCommandPacket(kOpRemoveDir, "data"), HexText("59 01 09 28 5D 7E"), "status 09", true},
      {"file deleted", PathCommandPacket(kOpDeleteFile, "data/w"), HexText("59 06 00 E1 8D 7E"), "status 00", true},
      {"no such file to delete", PathCommandPacket(kOpDeleteFile, "data/w"), HexText("59 06 06 D7 E8 7E"),
       "status 06", true},
      {"file entry", ListingPacket(kOpIterateFiles, "data", 0),
       HexText("59 0B 00 00 00 00 00 00 00 00 00 78 56 34 12 2C 01 00 00 00 00 00 00 05 0A "
               "64 61 74 61 2F 78 2E 62 69 6E D2 AF 7E"),
       "entry 0 size=300 date=12345678 data/x.bin", true},
      {"no file at this index", ListingPacket(kOpIterateFiles, "data", 2), HexText("59 0B 1C 74 E7 7E"), "no entry",
       true},
      {"a folder that can't be listed", ListingPacket(kOpIterateDirs, "nowhere", 0), HexText("59 0A 08 09 A8 7E"),
       "cannot list", true},
      {"folder entry 126, its index escaped", ListingPacket(kOpIterateDirs, "big", 126),
       HexText("59 0A 00 7D 5E 00 00 00 00 00 00 00 78 56 34 12 00 00 00 00 00 00 00 00 04 08 "
               "62 69 67 2F 64 31 32 36 29 E8 7E"),
       "entry 126 size=0 date=12345678 big/d126", true},
      {"no folder at this index", ListingPacket(kOpIterateDirs, "big", 127), HexText("59 0A 1C AC FE 7E"), "no entry",
       true},
  };
}

TEST(GoldenFrames, TheModuleReadsEachAsAPhoneMeansIt) {
  for (const Golden& golden : GoldenFrames()) {
    SCOPED_TRACE(golden.what);
    const std::optional<Bytes> reply = CheckedReply(golden.wire);
    ASSERT_TRUE(reply.has_value()) << "the frame fails its checksum";
    EXPECT_EQ(Judged(*reply, golden.request), golden.judged);
  }
}

class GoldenPhone : public PhoneFixture {
 protected:
  GoldenPhone() : PhoneFixture(240) {}
  void Dated(const std::string& relative) const {
    std::filesystem::last_write_time(
        folder_.path() / relative,
        std::chrono::file_clock::from_sys(std::chrono::sys_seconds{std::chrono::seconds{kPhoneEpochUnixSeconds + kDate}}));
  }
};

TEST_F(GoldenPhone, TheEmulatorSendsExactlyTheseBytes) {
  folder_.MakeFolder("data");
  folder_.MakeFile("data/x.bin", kX);
  folder_.MakeFile("data/y.bin", kY);
  Dated("data/x.bin");
  for (int i = 0; i < 127; ++i) {
    char name[16];
    std::snprintf(name, sizeof name, "big/d%03d", i);
    folder_.MakeFolder(name);
  }
  Dated("big/d126");
  for (const Golden& golden : GoldenFrames()) {
    if (!golden.fromEmulator) continue;
    SCOPED_TRACE(golden.what);
    EXPECT_EQ(HexBytes(Joined(phone_.OnFrame(EncodeFrame(golden.request)))), HexBytes(golden.wire));
  }
}

}  // namespace
}  // namespace phonesim::testing
