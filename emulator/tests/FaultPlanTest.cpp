// Each fault option changes exactly the reply it names, the same way for the
// same seed.
#include <gtest/gtest.h>

#include "emulator/tests/EmulatorTestSupport.h"

namespace phonesim::testing {
namespace {

const Bytes kListRoot = ListingPacket(kOpIterateDirs, "", 0);
const Bytes kEndOfFolders = Hex({0x59, 0x0A, 0x1C, 0xAC, 0xFE, 0x7E});

class Faults : public ::testing::Test {
 protected:
  // A fresh phone with these faults; asks `count` root listings and gives the responses.
  std::vector<Response> Run(const FaultOptions& faults, int count, const Bytes& packet = kListRoot) {
    PhoneEmulator phone(files_, kChunkSize, faults);
    std::vector<Response> responses;
    for (int i = 0; i < count; ++i) responses.push_back(phone.OnFrame(BuildFrame(packet)));
    EXPECT_EQ(phone.RequestCount(), static_cast<std::uint64_t>(count));
    return responses;
  }

  ScratchFolder folder_;
  PhoneFileSystem files_{folder_.path()};
};

TEST_F(Faults, NoFaultsMeansOneWholeReplyEachTime) {
  for (const Response& response : Run({}, 3)) {
    ASSERT_EQ(response.pieces.size(), 1u);
    EXPECT_EQ(response.pieces[0].delayMs, 0u);
    EXPECT_EQ(response.pieces[0].bytes, kEndOfFolders);
    EXPECT_FALSE(response.hangUp);
  }
}

TEST_F(Faults, DropNthLeavesOnlyThatRequestUnanswered) {
  FaultOptions faults;
  faults.dropNth = 2;
  const auto responses = Run(faults, 3);
  EXPECT_EQ(Joined(responses[0]), kEndOfFolders);
  EXPECT_TRUE(responses[1].pieces.empty());
  EXPECT_EQ(Joined(responses[2]), kEndOfFolders);
}

TEST_F(Faults, ADamagedRequestAndASilentPhoneAreNotAnswered) {
  const struct {
    const char* name;
    FaultOptions faults;
    std::vector<bool> answered;
  } cases[] = {
      {"request 2 damaged", [] { FaultOptions f; f.flipRequestNth = 2; return f; }(), {true, false, true}},
      {"silent from 2", [] { FaultOptions f; f.silentFrom = 2; return f; }(), {true, false, false}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const auto responses = Run(c.faults, 3);
    for (std::size_t i = 0; i < c.answered.size(); ++i) EXPECT_EQ(!responses[i].pieces.empty(), c.answered[i]) << i;
  }
}

TEST_F(Faults, DroppedRequestIsNotCarriedOut) {
  FaultOptions faults;
  faults.dropNth = 1;
  PhoneEmulator phone(files_, kChunkSize, faults);
  EXPECT_TRUE(phone.OnFrame(BuildFrame(PathCommandPacket(kOpMakeDir, "new"))).pieces.empty());
  EXPECT_FALSE(folder_.Exists("new"));
}

TEST_F(Faults, FlipNthChangesOneBitAndNeverMakesATerminator) {
  folder_.MakeFile("f", Bytes(200, 0x7F) + Bytes(50, 0x7C));  // bytes one bit away from 0x7E
  const Bytes clean = Joined(Run({}, 1, ReadFirstPacket("f"))[0]);
  for (std::uint32_t seed = 1; seed <= 200; ++seed) {
    FaultOptions faults;
    faults.flipNth = 1;
    faults.seed = seed;
    const Bytes flipped = Joined(Run(faults, 1, ReadFirstPacket("f"))[0]);
    ASSERT_EQ(flipped.size(), clean.size());
    int differingBits = 0;
    for (std::size_t i = 0; i < clean.size(); ++i) {
      differingBits += __builtin_popcount(static_cast<std::uint8_t>(clean[i] ^ flipped[i]));
    }
    EXPECT_EQ(differingBits, 1) << "seed " << seed;
    EXPECT_EQ(flipped.find(kFrameEnd), flipped.size() - 1) << "seed " << seed;
  }
}

TEST_F(Faults, FlipIsDeterministicPerSeedAndOnlyHitsTheNthReply) {
  FaultOptions faults;
  faults.flipNth = 2;
  faults.seed = 7;
  const auto first = Run(faults, 3);
  const auto second = Run(faults, 3);
  EXPECT_EQ(Joined(first[0]), kEndOfFolders);
  EXPECT_NE(Joined(first[1]), kEndOfFolders);
  EXPECT_FALSE(ChecksumMatches(Unescape(Joined(first[1]))));
  EXPECT_EQ(Joined(first[1]), Joined(second[1]));
  EXPECT_EQ(Joined(first[2]), kEndOfFolders);
}

TEST_F(Faults, GarbageNthPrecedesTheFrameWithoutATerminator) {
  for (std::uint32_t seed = 1; seed <= 50; ++seed) {
    FaultOptions faults;
    faults.garbageNth = 1;
    faults.seed = seed;
    const Bytes wire = Joined(Run(faults, 1)[0]);
    ASSERT_GT(wire.size(), kEndOfFolders.size());
    EXPECT_LE(wire.size(), kEndOfFolders.size() + 8);
    EXPECT_EQ(wire.substr(wire.size() - kEndOfFolders.size()), kEndOfFolders);
    EXPECT_EQ(wire.find(kFrameEnd), wire.size() - 1);
  }
}

TEST_F(Faults, SplitCutsEveryReplyIntoPiecesWithGapsAfterTheDelay) {
  FaultOptions faults;
  faults.split = 4;
  faults.gapMs = 30;
  faults.delayMs = 200;
  for (const Response& response : Run(faults, 2)) {
    ASSERT_EQ(response.pieces.size(), 4u);
    EXPECT_EQ(response.pieces[0].delayMs, 200u);
    for (std::size_t i = 1; i < 4; ++i) EXPECT_EQ(response.pieces[i].delayMs, 30u);
    EXPECT_EQ(response.pieces[0].bytes.size(), 2u);  // 6 bytes: 2 + 2 + 1 + 1
    EXPECT_EQ(response.pieces[3].bytes.size(), 1u);
    EXPECT_EQ(Joined(response), kEndOfFolders);
  }
  faults.split = 100;  // never more pieces than bytes
  EXPECT_EQ(Run(faults, 1)[0].pieces.size(), kEndOfFolders.size());
}

TEST_F(Faults, DelayAloneDelaysTheWholeReply) {
  FaultOptions faults;
  faults.delayMs = 120;
  const Response response = Run(faults, 1)[0];
  ASSERT_EQ(response.pieces.size(), 1u);
  EXPECT_EQ(response.pieces[0].delayMs, 120u);
}

TEST_F(Faults, LateRepliesComeOnTopOfTheDelay) {
  FaultOptions faults;
  faults.delayMs = 10;
  faults.lateNth = 2;
  faults.lateMs = 3000;
  faults.lateAbortMs = 1500;
  const auto listings = Run(faults, 3);
  EXPECT_EQ(listings[0].pieces[0].delayMs, 10u);
  EXPECT_EQ(listings[1].pieces[0].delayMs, 3010u);
  EXPECT_EQ(Joined(listings[1]), kEndOfFolders);
  EXPECT_EQ(listings[2].pieces[0].delayMs, 10u);
  EXPECT_EQ(Run(faults, 1, AbortPacket())[0].pieces[0].delayMs, 1510u);
}

TEST_F(Faults, RepeatNthAsksForTheFirstReadRequestAgain) {
  folder_.MakeFile("f", Bytes(600, 'r'));
  FaultOptions faults;
  faults.repeatNth = 2;
  PhoneEmulator phone(files_, kChunkSize, faults);
  phone.OnFrame(BuildFrame(ReadFirstPacket("f")));
  const Bytes repeat = ReplyPacket(Joined(phone.OnFrame(BuildFrame(ReadNextPacket(1)))));
  EXPECT_EQ(repeat.substr(0, 2), Hex({0x14, 0x04}));
  // The refused request moved nothing: the next one gets the second chunk.
  const Bytes next = ReplyPacket(Joined(phone.OnFrame(BuildFrame(ReadNextPacket(1)))));
  EXPECT_EQ(ReadLe16(next, kReadNextLengthOffset), 256);

  faults.repeatKind = RepeatKind::kReadStatus590406;
  PhoneEmulator other(files_, kChunkSize, faults);
  other.OnFrame(BuildFrame(ReadFirstPacket("f")));
  EXPECT_EQ(Joined(other.OnFrame(BuildFrame(ReadNextPacket(1)))), Hex({0x59, 0x04, 0x06, 0x67, 0xDB, 0x7E}));
}

// The faults on read replies, each on a read of 600 bytes in three requests:
// the wire bytes of each reply against those of a phone without faults.
TEST_F(Faults, ReadReplyFaults) {
  const Bytes data = Bytes(256, 'a') + Bytes(256, 'b') + Bytes(88, 'c');
  folder_.MakeFile("f", data);
  const Bytes requests[] = {ReadFirstPacket("f"), ReadNextPacket(1), ReadNextPacket(2)};
  const auto wire = [&](const FaultOptions& faults) {
    PhoneEmulator phone(files_, kChunkSize, faults);
    std::vector<Bytes> replies;
    for (const Bytes& request : requests) replies.push_back(Joined(phone.OnFrame(BuildFrame(request))));
    return replies;
  };
  const std::vector<Bytes> clean = wire({});
  FaultOptions faults;
  faults.dupNth = 2;
  EXPECT_EQ(wire(faults), (std::vector<Bytes>{clean[0], clean[1] + clean[1], clean[2]}));

  faults = {};
  faults.staleNth = 2;  // answered with the first reply, though the second chunk went by
  auto replies = wire(faults);
  EXPECT_EQ(replies[1], clean[0]);
  EXPECT_EQ(replies[2], clean[2]);
  faults.staleNth = 1;  // nothing to repeat yet
  EXPECT_TRUE(wire(faults)[0].empty());

  faults = {};
  faults.emptyChunks = true;
  replies = wire(faults);
  EXPECT_EQ(replies[0], clean[0]);
  EXPECT_EQ(ReplyPacket(replies[2]), Hex({0x59, 0x04, 0x00, 0x02, 0x00, 0, 0}));

  for (std::uint64_t nth : {1, 3}) {
    faults = {};
    faults.oversizeNth = nth;
    replies = wire(faults);
    const Bytes packet = ReplyPacket(replies[nth - 1]);
    const std::size_t dataOffset = nth == 1 ? kReadFirstDataOffset : kReadNextDataOffset;
    const std::size_t carried = (nth == 1 ? 256 : 88) + kOversizeBytes;
    EXPECT_EQ(ReadLe16(packet, nth == 1 ? kReadFirstLengthOffset : kReadNextLengthOffset), carried);
    EXPECT_EQ(packet.size(), dataOffset + carried);
    EXPECT_EQ(packet.substr(dataOffset, carried - kOversizeBytes), data.substr(nth == 1 ? 0 : 512, carried - kOversizeBytes));
  }

  faults = {};
  faults.noiseNth = 2;
  faults.noiseBytes = 1000;
  replies = wire(faults);
  EXPECT_EQ(replies[1].size(), clean[1].size() + 1000);
  EXPECT_EQ(replies[1].substr(1000), clean[1]);
  EXPECT_EQ(replies[1].find(kFrameEnd), replies[1].size() - 1);
}

TEST_F(Faults, StatusOverridesAnswerWithoutActing) {
  FaultOptions faults;
  for (const char* text : {"mkdir=7", "rmdir=9", "delete=6", "read=6", "write=1", "list=8"}) {
    ASSERT_TRUE(AddStatusOverride(faults, text)) << text;
  }
  folder_.MakeFolder("empty");
  folder_.MakeFile("f", "abc");
  PhoneEmulator phone(files_, kChunkSize, faults);
  auto ask = [&phone](const Bytes& packet) { return ReplyPacket(Joined(phone.OnFrame(BuildFrame(packet)))); };
  EXPECT_EQ(ask(PathCommandPacket(kOpMakeDir, "new")), Hex({0x59, 0x00, 0x07}));
  EXPECT_EQ(ask(PathCommandPacket(kOpRemoveDir, "empty")), Hex({0x59, 0x01, 0x09}));
  EXPECT_EQ(ask(PathCommandPacket(kOpDeleteFile, "f")), Hex({0x59, 0x06, 0x06}));
  EXPECT_EQ(ask(ReadFirstPacket("f")), Hex({0x59, 0x04, 0x06}));
  EXPECT_EQ(ask(WriteFirstPacket("g", 1, "x")), Hex({0x59, 0x05, 0x01}));
  EXPECT_EQ(ask(ListingPacket(kOpIterateDirs, "", 0)), Hex({0x59, 0x0A, 0x08}));
  EXPECT_EQ(ask(ListingPacket(kOpIterateFiles, "", 0)), Hex({0x59, 0x0B, 0x08}));
  EXPECT_EQ(ask(AbortPacket()), Hex({0x59, 0x04, 0x00}));  // the abort is always answered
  EXPECT_EQ(ask(RestartPacket()), RestartPacket());
  EXPECT_FALSE(folder_.Exists("new"));
  EXPECT_TRUE(folder_.Exists("empty"));
  EXPECT_TRUE(folder_.Exists("f"));
  EXPECT_FALSE(folder_.Exists("g"));
}

TEST_F(Faults, StatusOverrideTextIsChecked) {
  FaultOptions faults;
  EXPECT_TRUE(AddStatusOverride(faults, "rmdir=3"));
  EXPECT_EQ(faults.statusByOp.at(kOpRemoveDir), 3);
  for (const char* bad : {"rmdir", "rmdir=", "rmdir=256", "rmdir=3x", "move=1", "=1", "rmdir=-1"}) {
    EXPECT_FALSE(AddStatusOverride(faults, bad)) << bad;
  }
  EXPECT_EQ(faults.statusByOp.size(), 1u);
}

TEST_F(Faults, HangupAfterNthFollowsItsReply) {
  FaultOptions faults;
  faults.hangupAfter = 2;
  const auto responses = Run(faults, 2);
  EXPECT_FALSE(responses[0].hangUp);
  EXPECT_TRUE(responses[1].hangUp);
  EXPECT_EQ(Joined(responses[1]), kEndOfFolders);
}

TEST_F(Faults, BadChecksumIsCountedButNotAnswered) {
  FaultOptions faults;
  faults.dropNth = 2;
  PhoneEmulator phone(files_, kChunkSize, faults);
  Bytes damaged = BuildFrame(kListRoot);
  damaged[0] = 0x58;
  const Response ignored = phone.OnFrame(damaged);
  EXPECT_TRUE(ignored.pieces.empty());
  EXPECT_EQ(ignored.warnings.size(), 1u);
  EXPECT_TRUE(phone.OnFrame(BuildFrame(kListRoot)).pieces.empty());  // the second request: dropped
  EXPECT_TRUE(phone.OnFrame(Bytes(1, kFrameEnd)).pieces.empty());    // a lone terminator counts for nothing
  EXPECT_EQ(phone.RequestCount(), 2u);
}

TEST_F(Faults, FaultsCombine) {
  FaultOptions faults;
  faults.split = 3;
  faults.gapMs = 5;
  faults.garbageNth = 1;
  faults.flipNth = 1;
  faults.seed = 3;
  const Response response = Run(faults, 1)[0];
  ASSERT_EQ(response.pieces.size(), 3u);
  const Bytes wire = Joined(response);
  EXPECT_GT(wire.size(), kEndOfFolders.size());
  EXPECT_EQ(wire.find(kFrameEnd), wire.size() - 1);
  const Bytes frame = wire.substr(wire.size() - kEndOfFolders.size());
  EXPECT_NE(frame, kEndOfFolders);  // the flip is in the frame, not in the garbage
}

}  // namespace
}  // namespace phonesim::testing
