// The phone reads each request the module sends, down to the worked examples
// of the module's design, from the wire bytes.
#include <gtest/gtest.h>

#include "emulator/tests/EmulatorTestSupport.h"

namespace phonesim::testing {
namespace {

Request FromWire(const Bytes& wire) {
  const Bytes unescaped = Unescape(wire);
  EXPECT_TRUE(ChecksumMatches(unescaped));
  return ParseRequest(unescaped.substr(0, unescaped.size() - 3));
}

TEST(RequestParsing, ListingRequestsFromTheWire) {
  const Request rootDirs = FromWire(Hex({0x59, 0x0A, 0x00, 0x00, 0x00, 0x00, 0x01, 0x00, 0x76, 0xE1, 0x7E}));
  EXPECT_EQ(rootDirs.kind, RequestKind::kListDirs);
  EXPECT_EQ(rootDirs.index, 0u);
  EXPECT_EQ(rootDirs.path, "");

  const Request rootFiles = FromWire(Hex({0x59, 0x0B, 0x00, 0x00, 0x00, 0x00, 0x01, 0x00, 0xA3, 0x7D, 0x5E, 0x7E}));
  EXPECT_EQ(rootFiles.kind, RequestKind::kListFiles);

  // The module's third-byte rule: index 126 arrives as 127, and is answered as such.
  const Request quirk = FromWire(Hex({0x59, 0x0B, 0x7F, 0x00, 0x00, 0x00, 0x01, 0x00, 0x2B, 0x86, 0x7E}));
  EXPECT_EQ(quirk.index, 127u);

  const Request escapedIndex = FromWire(Hex({0x59, 0x0A, 0x7D, 0x5D, 0x00, 0x00, 0x00, 0x01, 0x00, 0xA8, 0x11, 0x7E}));
  EXPECT_EQ(escapedIndex.index, 0x7Du);

  const Request data = ParseRequest(ListingPacket(kOpIterateDirs, "data", 3));
  EXPECT_EQ(data.path, "data");
  EXPECT_EQ(data.index, 3u);
  EXPECT_EQ(ParseRequest(ListingPacket(kOpIterateFiles, "a/b", 0x1234)).index, 0x1234u);
}

TEST(RequestParsing, ReadRequestsFromTheWire) {
  const Request first = FromWire(Hex({0x59, 0x04, 0x00, 0x0B, 0x64, 0x61, 0x74, 0x61, 0x2F, 0x78, 0x2E, 0x74, 0x78,
                                      0x74, 0x00, 0x8E, 0x27, 0x7E}));
  EXPECT_EQ(first.kind, RequestKind::kReadFirst);
  EXPECT_EQ(first.path, "data/x.txt");

  const Request next = FromWire(Hex({0x59, 0x04, 0x01, 0xD8, 0xAF, 0x7E}));
  EXPECT_EQ(next.kind, RequestKind::kReadNext);
  EXPECT_EQ(next.sequence, 1);
  EXPECT_EQ(FromWire(Hex({0x59, 0x04, 0x7D, 0x5E, 0xA8, 0x24, 0x7E})).sequence, 0x7E);

  EXPECT_EQ(FromWire(Hex({0x59, 0x04, 0x00, 0x51, 0xBE, 0x7E})).kind, RequestKind::kAbort);
}

TEST(RequestParsing, WriteRequests) {
  const Request small = FromWire(Hex({0x59, 0x05, 0x00, 0x00, 0x01, 0x03, 0x00, 0x00, 0x00, 0xFF, 0x00, 0x01, 0x00,
                                      0x0B, 0x64, 0x61, 0x74, 0x61, 0x2F, 0x78, 0x2E, 0x74, 0x78, 0x74, 0x00, 0x03,
                                      0x00, 0x61, 0x62, 0x63, 0x7F, 0xF6, 0x7E}));
  EXPECT_EQ(small.kind, RequestKind::kWriteFirst);
  EXPECT_EQ(small.path, "data/x.txt");
  EXPECT_EQ(small.fileSize, 3u);
  EXPECT_FALSE(small.fullChunkFlag);
  EXPECT_EQ(small.chunk, "abc");

  const Bytes full(256, 'x');
  const Request first = ParseRequest(WriteFirstPacket("brew/mod/java_ams/config/games/x.jar", 300, full));
  EXPECT_EQ(first.kind, RequestKind::kWriteFirst);
  EXPECT_EQ(first.path, "brew/mod/java_ams/config/games/x.jar");
  EXPECT_EQ(first.fileSize, 300u);
  EXPECT_TRUE(first.fullChunkFlag);
  EXPECT_EQ(first.chunk, full);

  const Request next = ParseRequest(WriteNextPacket(0x7E, Bytes(44, 'y')));
  EXPECT_EQ(next.kind, RequestKind::kWriteNext);
  EXPECT_EQ(next.sequence, 0x7E);
  EXPECT_EQ(next.chunk, Bytes(44, 'y'));

  // A path long enough to need the high byte of its big-endian length.
  const std::string longPath(300, 'p');
  EXPECT_EQ(ParseRequest(WriteFirstPacket(longPath, 1, "z")).path, longPath);
}

TEST(RequestParsing, PathCommandsAndRestart) {
  const Request rmdir = FromWire(Hex({0x59, 0x01, 0x09, 0x64, 0x61, 0x74, 0x61, 0x2F, 0x6F, 0x6C, 0x64, 0x00, 0x4A,
                                      0xBF, 0x7E}));
  EXPECT_EQ(rmdir.kind, RequestKind::kRemoveDir);
  EXPECT_EQ(rmdir.path, "data/old");

  const Request del = FromWire(Hex({0x59, 0x06, 0x0B, 0x64, 0x61, 0x74, 0x61, 0x2F, 0x61, 0x2E, 0x74, 0x78, 0x74,
                                    0x00, 0xC2, 0x1F, 0x7E}));
  EXPECT_EQ(del.kind, RequestKind::kDeleteFile);
  EXPECT_EQ(del.path, "data/a.txt");

  const Request mkdir = FromWire(Hex({0x59, 0x00, 0x04, 0x6E, 0x65, 0x77, 0x00, 0x0C, 0x24, 0x7E}));
  EXPECT_EQ(mkdir.kind, RequestKind::kMakeDir);
  EXPECT_EQ(mkdir.path, "new");

  // A 125-byte path: its length byte 0x7E comes escaped. Under the third-byte
  // rule it would claim 127 bytes, which the packet does not hold.
  const std::string path125(125, 'q');
  EXPECT_EQ(FromWire(EncodeFrame(PathCommandPacket(kOpMakeDir, path125))).path, path125);
  EXPECT_EQ(FromWire(BuildFrame(PathCommandPacket(kOpMakeDir, path125))).kind, RequestKind::kMalformed);

  EXPECT_EQ(FromWire(Hex({0x29, 0x01, 0x00, 0x31, 0x40, 0x7E})).kind, RequestKind::kRestart);
  EXPECT_EQ(FromWire(Hex({0x29, 0x02, 0x00, 0x59, 0x6A, 0x7E})).kind, RequestKind::kRestartConfirm);
}

TEST(RequestParsing, MalformedAndUnknownPackets) {
  EXPECT_EQ(ParseRequest(Hex({0x59, 0x0A, 0x00})).kind, RequestKind::kMalformed);
  EXPECT_EQ(ParseRequest(Hex({0x59, 0x00, 0x04, 0x6E, 0x65, 0x77})).kind, RequestKind::kMalformed);  // no zero
  EXPECT_EQ(ParseRequest(Hex({0x59, 0x00, 0x03, 0x6E, 0x65, 0x77, 0x00})).kind, RequestKind::kMalformed)
      << "the length byte does not end at the zero";
  Bytes shortChunk = WriteNextPacket(1, "abcd");
  shortChunk.pop_back();
  EXPECT_EQ(ParseRequest(shortChunk).kind, RequestKind::kMalformed);
  Bytes truncatedFirst = WriteFirstPacket("x", 4, "abcd");
  truncatedFirst.resize(15);
  EXPECT_EQ(ParseRequest(truncatedFirst).kind, RequestKind::kMalformed);
  EXPECT_EQ(ParseRequest(Hex({0x59, 0x07, 0x00})).kind, RequestKind::kUnknown);
  EXPECT_EQ(ParseRequest(Hex({0x4B, 0x01})).kind, RequestKind::kUnknown);
  EXPECT_EQ(ParseRequest(Hex({0x29, 0x03, 0x00})).kind, RequestKind::kUnknown);
  EXPECT_EQ(ParseRequest(Hex({0x59})).kind, RequestKind::kUnknown);
}

}  // namespace
}  // namespace phonesim::testing
