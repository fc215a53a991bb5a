#include <gtest/gtest.h>

#include "phone/Unit1.h"
#include "tests/phone/hex.h"

namespace {

TEST(RequestPackets, ListingRequests) {
  EXPECT_EQ(ListingPacket(kOpIterateDirs, "", 0), Hex("59 0A 00 00 00 00 01 00"));
  EXPECT_EQ(ListingPacket(kOpIterateFiles, "", 0), Hex("59 0B 00 00 00 00 01 00"));
  EXPECT_EQ(ListingPacket(kOpIterateDirs, "data", 3), Hex("59 0A 03 00 00 00 05 64 61 74 61 00"));
  EXPECT_EQ(ListingPacket(kOpIterateDirs, "", 0x1234), Hex("59 0A 34 12 00 00 01 00"));
  EXPECT_EQ(EncodeFrame(ListingPacket(kOpIterateDirs, "", 126)).substr(0, 4), Hex("59 0A 7D 5E"))
      << "index 126 escaped";
  EXPECT_EQ(BuildFrame(ListingPacket(kOpIterateDirs, "", 126)).substr(0, 3), Hex("59 0A 7F"))
      << "under the third-byte rule, index 126 goes out as 127";
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
  // A 125-byte path has the length byte 0x7E, escaped on the wire.
  EXPECT_EQ(EncodeFrame(PathCommandPacket(kOpMakeDir, std::string(125, 'n'))).substr(2, 2), Hex("7D 5E"));
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

TEST(ReplyJudging, RepliesAreReadByTheirFields) {
  EXPECT_TRUE(IsStatusReply(Hex("59 0A 1C"), kOpIterateDirs, kStatusNoEntry));
  EXPECT_FALSE(IsStatusReply(Hex("59 0B 1C"), kOpIterateDirs, kStatusNoEntry)) << "another phase";
  EXPECT_FALSE(IsStatusReply(Hex("59 0A 1C 00"), kOpIterateDirs, kStatusNoEntry)) << "an entry, not a status";
  EXPECT_EQ(StatusOf(Hex("59 06 06 41"), kOpDeleteFile), 6);
  EXPECT_FALSE(StatusOf(Hex("59 06"), kOpDeleteFile).has_value());
  EXPECT_TRUE(IsWriteAccepted(Hex("59 05 00 09")));
  EXPECT_FALSE(IsWriteAccepted(Hex("59 05 01")));
  EXPECT_TRUE(IsAbortAnswer(Hex("59 04 00")));
  EXPECT_TRUE(IsAbortAnswer(Hex("59 04 13")));
  EXPECT_FALSE(IsAbortAnswer(Hex("59 04 00 00 00"))) << "a data reply";
  EXPECT_FALSE(IsAbortAnswer(Hex("59 05 00")));
  EXPECT_TRUE(IsRefusal(Hex("13 59")));
  EXPECT_TRUE(IsRefusal(Hex("15 59 0A")));
  EXPECT_FALSE(IsRefusal(Hex("59 0A 1C")));

  // An entry: index 0x2C, date 0x01020304, size 74 565, a name ending in a zero byte.
  Bytes entry = Hex("59 0B 00 2C 01 00 00 00 00 00 00 04 03 02 01 45 23 01 00 00 00 00 00 00 06");
  const auto file = ParseListingEntry(entry + "a/b.c" + '\0');
  ASSERT_TRUE(file.has_value());
  EXPECT_EQ(file->index, 0x2C);
  EXPECT_EQ(file->date, 0x01020304u);
  EXPECT_EQ(file->size, 74565u);
  EXPECT_EQ(file->path, "a/b.c");
  EXPECT_FALSE(file->isDirectory);
  EXPECT_FALSE(ParseListingEntry(entry + "a/b.c").has_value()) << "one name byte short";
  entry[1] = kOpIterateDirs;
  EXPECT_EQ(ParseListingEntry(entry + "a/b.c" + '\0')->size, 0u) << "a folder has no size";

  EXPECT_EQ(NextSequence(1), 2);
  EXPECT_EQ(NextSequence(255), 1) << "never 0 after the first packet";
}

TEST(ReplyJudging, ReadRepliesByStatusSequenceAndMoreFlag) {
  struct Case {
    const char* reply;
    std::uint8_t sequence;
    ReadReply::Kind kind;
    std::uint32_t size;
    bool more;
    const char* data;
  } cases[] = {
      {"59 04 00 00 01 0A 00 00 00 03 00 61 62 63 64", 0, ReadReply::kData, 10, true, "abc"},  // D bytes only
      {"59 04 00 00 00 0A 00 00 00 09 00 61 62", 0, ReadReply::kData, 10, false, "ab"},  // fewer are there
      {"59 04 00 00 01 0A 00 00 00 03", 0, ReadReply::kDamaged, 0, true, ""},
      {"59 04 00 07 00 02 00 78 79", 7, ReadReply::kData, 0, false, "xy"},
      {"59 04 00 07 01 00 00", 7, ReadReply::kData, 0, true, ""},
      {"59 04 00 07 01 02", 7, ReadReply::kDamaged, 0, true, ""},
      {"59 04 00 06 01 02 00 78 79", 7, ReadReply::kStale, 0, false, ""},  // answers sequence 6
      {"59 04 00 00 01 0A 00 00 00 03 00 61 62 63", 1, ReadReply::kStale, 0, false, ""},
      {"59 04 00", 1, ReadReply::kStale, 0, false, ""},  // the abort's answer
      {"59 04 06", 1, ReadReply::kAskAgain, 0, false, ""},
      {"59 04 06 01 01 02 00 78 79", 1, ReadReply::kAskAgain, 0, false, ""},
      {"14 04 00 11", 3, ReadReply::kAskAgain, 0, false, ""},
      {"59 04 01", 1, ReadReply::kRefused, 0, false, ""},
      {"59 04 13 01 01 02 00 78 79", 1, ReadReply::kRefused, 0, false, ""},
      {"59 05 00 01 01 02 00 78 79", 1, ReadReply::kStale, 0, false, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.reply);
    const ReadReply read = JudgeReadReply(Hex(c.reply), c.sequence);
    EXPECT_EQ(read.kind, c.kind);
    if (read.kind != ReadReply::kData) continue;
    EXPECT_EQ(read.totalSize, c.size);
    EXPECT_EQ(read.moreFollows, c.more);
    EXPECT_EQ(read.data, c.data);
  }
}

TEST(ReplyJudging, ListingIndexesAsSent) {
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
  EXPECT_EQ(ToPhonePath("\\data\\"), "data") << "a trailing separator names the folder itself";
  EXPECT_EQ(ToPhonePath("/data/tones//"), "data/tones");
  EXPECT_EQ(ToPhonePath("/"), "");
  EXPECT_EQ(ToPhonePath("brew/mod"), "brew/mod");
  EXPECT_EQ(ToPhonePath(""), "");
  EXPECT_EQ(NameFromPath("data/tones/ring"), "ring");
  EXPECT_EQ(NameFromPath("ring"), "ring");
  EXPECT_EQ(NameFromPath("data/"), "");
  struct {
    const char* entry;
    const char* folder;
    bool ofFolder;
  } entries[] = {{"data/ring", "data", true}, {"DATA/ring", "data/", true}, {"ring", "", true},
                 {"/data/tones/ring", "data/tones", true}, {"data", "data", false}, {"ring", "data", false},
                 {"data/tones/ring", "data", false}, {"database/x", "data", false}};
  for (const auto& e : entries) EXPECT_EQ(IsEntryOfFolder(e.entry, e.folder), e.ofFolder) << e.entry << " in " << e.folder;
  EXPECT_EQ(ApplyBracketRule("[new]"), "new");
  EXPECT_EQ(ApplyBracketRule("[new"), "ne");
  EXPECT_EQ(ApplyBracketRule("[]"), "");
  EXPECT_EQ(ApplyBracketRule("["), "");
  EXPECT_EQ(ApplyBracketRule("new]"), "new]");
}

}  // namespace
