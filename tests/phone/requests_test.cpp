#include <gtest/gtest.h>

#include "phone/Unit1.h"
#include "tests/phone/hex.h"

namespace {

TEST(RequestPackets, ListingRequests) {
  EXPECT_EQ(ListingPacket(kOpIterateDirs, "", 0), Hex("59 0A 00 00 00 00 01 00"));
  EXPECT_EQ(ListingPacket(kOpIterateFiles, "", 0), Hex("59 0B 00 00 00 00 01 00"));
  EXPECT_EQ(ListingPacket(kOpIterateDirs, "data", 3), Hex("59 0A 03 00 00 00 05 64 61 74 61 00"));
  EXPECT_EQ(ListingPacket(kOpIterateDirs, "", 0x1234), Hex("59 0A 34 12 00 00 01 00"));
  EXPECT_EQ(BuildFrame(ListingPacket(kOpIterateDirs, "", 126)).substr(0, 3), Hex("59 0A 7F"))
      << "index 126 goes out as 127";
}

TEST(RequestPackets, ReadRequests) {
  EXPECT_EQ(ReadFirstPacket("data/x.txt"), Hex("59 04 00 0B 64 61 74 61 2F 78 2E 74 78 74 00"));
  EXPECT_EQ(BuildFrame(ReadNextPacket(0x7E)), Hex("59 04 7D 5E A8 24 7E"));
  EXPECT_EQ(AbortPacket(), Hex("59 04 00"));
}

TEST(RequestPackets, WriteRequests) {
  EXPECT_EQ(BuildFrame(WriteFirstPacket("data/x.txt", 3, "abc")),
            Hex("59 05 00 00 01 03 00 00 00 FF 00 01 00 0B 64 61 74 61 2F 78 2E 74 78 74 00 03 00 "
                "61 62 63 7F F6 7E"));
  const Bytes full(256, 'z');
  const Bytes first = WriteFirstPacket("data/x.txt", 300, full);
  EXPECT_EQ(first.substr(0, 27),
            Hex("59 05 00 01 01 2C 01 00 00 FF 00 01 00 0B 64 61 74 61 2F 78 2E 74 78 74 00 00 01"));
  EXPECT_EQ(first.size(), 27u + 256u);
  EXPECT_EQ(WriteNextPacket(1, Bytes(44, 'q')).substr(0, 6), Hex("59 05 01 00 2C 00"));
  EXPECT_EQ(WriteNextPacket(2, full).substr(0, 6), Hex("59 05 02 01 00 01"));
  EXPECT_EQ(WriteFirstPacket("a", 0, ""), Hex("59 05 00 00 01 00 00 00 00 FF 00 01 00 02 61 00 00 00"));
  // The path length is the one big-endian field.
  const std::string longPath(299, 'p');
  EXPECT_EQ(WriteFirstPacket(longPath, 1, "x").substr(12, 2), Hex("01 2C"));
}

TEST(RequestPackets, PathCommands) {
  EXPECT_EQ(PathCommandPacket(kOpRemoveDir, "data/old"), Hex("59 01 09 64 61 74 61 2F 6F 6C 64 00"));
  EXPECT_EQ(PathCommandPacket(kOpDeleteFile, "data/a.txt"),
            Hex("59 06 0B 64 61 74 61 2F 61 2E 74 78 74 00"));
  EXPECT_EQ(BuildFrame(PathCommandPacket(kOpMakeDir, "new")), Hex("59 00 04 6E 65 77 00 0C 24 7E"));
  // A 125-byte path has the length byte 0x7E, which goes out as 0x7F.
  EXPECT_EQ(BuildFrame(PathCommandPacket(kOpMakeDir, std::string(125, 'n')))[2], '\x7F');
  EXPECT_EQ(BuildFrame(RestartPacket()), Hex("29 01 00 31 40 7E"));
  EXPECT_EQ(BuildFrame(RestartConfirmPacket()), Hex("29 02 00 59 6A 7E"));
}

TEST(ReplyJudging, RepliesAreMatchedToTheirRequest) {
  const Bytes listing = ListingPacket(kOpIterateDirs, "", 0);
  EXPECT_TRUE(IsReplyTo(Hex("59 0A 1C AC FE 7E"), listing));
  EXPECT_FALSE(IsReplyTo(Hex("59 0B 1C 74 E7 7E"), listing));
  EXPECT_FALSE(IsReplyTo(Hex("59 0A 00"), PathCommandPacket(kOpMakeDir, "x"))) << "a late listing reply";
  EXPECT_TRUE(IsReplyTo(Hex("14 04 00"), ReadNextPacket(3)));
  EXPECT_FALSE(IsReplyTo(Hex("14 04 00"), WriteNextPacket(3, "a")));
  EXPECT_TRUE(IsReplyTo(Hex("29 05"), RestartPacket()));
  EXPECT_FALSE(IsReplyTo(Bytes(), RestartPacket()));
}

TEST(ReplyJudging, ListingIndexesGoPast255) {
  EXPECT_EQ(ListingReplyIndex(5, 3), 5u) << "the phone's index wins";
  EXPECT_EQ(ListingReplyIndex(0x00, 0x100), 0x100u);
  EXPECT_EQ(ListingReplyIndex(0x2C, 0x12C), 0x12Cu);
  EXPECT_EQ(ListingReplyIndex(0x00, 0xFF), 0x100u) << "a wrap counts";
  EXPECT_EQ(IndexAsSent(126), 127u);
  EXPECT_EQ(IndexAsSent(0x17E), 0x17Fu);
  EXPECT_EQ(IndexAsSent(125), 125u);
}

TEST(ReplyJudging, NamesAHostWouldMisread) {
  for (const char* bad : {"", ".", "..", "a\\b", "c:", "tab\there", "del\x7F"}) {
    EXPECT_FALSE(IsSafeEntryName(bad)) << bad;
  }
  for (const char* good : {"a", "...", "ring tone.mid", "x.jar"}) EXPECT_TRUE(IsSafeEntryName(good)) << good;
}

TEST(ReplyJudging, ProgressRoundsHalvesToEven) {
  EXPECT_EQ(ProgressPercent(256, 300), 85);
  EXPECT_EQ(ProgressPercent(1, 200), 0) << "0.5 goes to 0";
  EXPECT_EQ(ProgressPercent(3, 200), 2) << "1.5 goes to 2";
  EXPECT_EQ(ProgressPercent(5, 200), 2) << "2.5 goes to 2";
  EXPECT_EQ(ProgressPercent(0, 0), 100);
  EXPECT_EQ(ProgressPercent(1 << 30, 1 << 30), 100);
}

TEST(ReplyJudging, StrayByteOfAnOverlongChunk) {
  Bytes endsInEscape = Bytes(256, 'a') + "\x7D";
  DropStrayByte(endsInEscape);
  EXPECT_EQ(endsInEscape, Bytes(256, 'a'));
  Bytes startsWithOne = "\x01" + Bytes(256, 'b');
  DropStrayByte(startsWithOne);
  EXPECT_EQ(startsWithOne, Bytes(256, 'b'));
  Bytes other = "c" + Bytes(256, 'b');
  DropStrayByte(other);
  EXPECT_EQ(other.size(), 257u);
  Bytes exact = "\x01" + Bytes(255, 'b');
  DropStrayByte(exact);
  EXPECT_EQ(exact.size(), 256u);
}

TEST(PathRules, HostPathsBecomePhonePaths) {
  EXPECT_EQ(ToPhonePath("\\"), "");
  EXPECT_EQ(ToPhonePath("\\data\\tones"), "data/tones");
  EXPECT_EQ(ToPhonePath("\\data\\"), "data/");
  EXPECT_EQ(ToPhonePath("brew/mod"), "brew/mod");
  EXPECT_EQ(ToPhonePath(""), "");
  EXPECT_EQ(NameFromPath("data/tones/ring"), "ring");
  EXPECT_EQ(NameFromPath("ring"), "ring");
  EXPECT_EQ(NameFromPath("data/"), "");
  EXPECT_EQ(ApplyBracketRule("[new]"), "new");
  EXPECT_EQ(ApplyBracketRule("[new"), "ne");
  EXPECT_EQ(ApplyBracketRule("[]"), "");
  EXPECT_EQ(ApplyBracketRule("["), "");
  EXPECT_EQ(ApplyBracketRule("new]"), "new]");
}

}  // namespace
