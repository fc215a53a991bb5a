#include <gtest/gtest.h>

#include "phone/CRC.h"
#include "phone/Unit1.h"
#include "tests/phone/hex.h"

namespace {

struct WorkedExample {
  const char* packet;
  std::uint16_t checksum;  // over the packet as the third-byte rule leaves it
  const char* wire;
};

// Every worked example of the frame format, byte for byte.
const WorkedExample kExamples[] = {
    {"59 0A 08", 0xA809, "59 0A 08 09 A8 7E"},
    {"59 0A 00 00 00 00 01 00", 0xE176, "59 0A 00 00 00 00 01 00 76 E1 7E"},
    {"59 0B 7E 00 00 00 01 00", 0x862B, "59 0B 7F 00 00 00 01 00 2B 86 7E"},
    {"59 04 7E", 0x24A8, "59 04 7D 5E A8 24 7E"},
    {"59 0A 7D 00 00 00 01 00", 0x11A8, "59 0A 7D 5D 00 00 00 01 00 A8 11 7E"},
    {"59 0A 66 00 00 00 01 00", 0x7E3D, "59 0A 66 00 00 00 01 00 3D 7D 5E 7E"},
    {"59 0A A7 00 00 00 01 00", 0x7D65, "59 0A A7 00 00 00 01 00 65 7D 5D 7E"},
    {"29 01 00", 0x4031, "29 01 00 31 40 7E"},
    {"29 02 00", 0x6A59, "29 02 00 59 6A 7E"},
    {"59 0B 00 00 00 00 01 00", 0x7EA3, "59 0B 00 00 00 00 01 00 A3 7D 5E 7E"},
    {"59 04 01", 0xAFD8, "59 04 01 D8 AF 7E"},
    {"59 04 00", 0xBE51, "59 04 00 51 BE 7E"},
    {"59 04 00 0B 64 61 74 61 2F 78 2E 74 78 74 00", 0x278E,
     "59 04 00 0B 64 61 74 61 2F 78 2E 74 78 74 00 8E 27 7E"},
    {"59 01 09 64 61 74 61 2F 6F 6C 64 00", 0xBF4A, "59 01 09 64 61 74 61 2F 6F 6C 64 00 4A BF 7E"},
    {"59 06 0B 64 61 74 61 2F 61 2E 74 78 74 00", 0x1FC2,
     "59 06 0B 64 61 74 61 2F 61 2E 74 78 74 00 C2 1F 7E"},
    {"59 00 04 6E 65 77 00", 0x240C, "59 00 04 6E 65 77 00 0C 24 7E"},
    {"59 05 00 00 01 03 00 00 00 FF 00 01 00 0B 64 61 74 61 2F 78 2E 74 78 74 00 03 00 61 62 63",
     0xF67F,
     "59 05 00 00 01 03 00 00 00 FF 00 01 00 0B 64 61 74 61 2F 78 2E 74 78 74 00 03 00 61 62 63 7F F6 7E"},
};

TEST(FrameCodec, WorkedExamplesGoOnTheWireByteForByte) {
  for (const auto& example : kExamples) {
    SCOPED_TRACE(example.packet);
    const Bytes packet = Hex(example.packet);
    EXPECT_EQ(FrameCheckSequence(ApplyThirdByteRule(packet)), example.checksum);
    EXPECT_EQ(BuildFrame(packet), Hex(example.wire));
  }
}

TEST(FrameCodec, ChecksumIsCrc16X25) {
  const Bytes check = "123456789";
  EXPECT_EQ(FrameCheckSequence(check), 0x906E);
  EXPECT_EQ(ComputeChecksum(check), Hex("6E 90"));
  std::uint16_t crc = 0x1234;
  CrcStep(reinterpret_cast<const std::uint8_t*>(check.data()), 0, crc);
  EXPECT_EQ(crc, 0x1234) << "a count of 0 leaves the value alone";
}

// The checksum a bit at a time, straight from the polynomial: the table-driven
// step must agree at every length (whole blocks of eight and any tail), from
// any running value, and over every byte value.
TEST(FrameCodec, ChecksumStepAgreesWithTheBitwiseDefinition) {
  const auto bitwise = [](const Bytes& data, std::uint16_t crc) {
    for (unsigned char byte : data) {
      crc ^= byte;
      for (int bit = 0; bit < 8; ++bit) crc = (crc & 1) ? static_cast<std::uint16_t>((crc >> 1) ^ 0x8408) : crc >> 1;
    }
    return crc;
  };
  Bytes everyValue;
  for (int i = 0; i < 256 + 17; ++i) everyValue += static_cast<char>(i * 37 + 11);
  for (const std::uint16_t start : {0xFFFF, 0x0000, 0x1234, 0x8001}) {
    for (std::size_t length : {0, 1, 2, 7, 8, 9, 15, 16, 17, 64, 255, 256, 266, 273}) {
      SCOPED_TRACE(testing::Message() << "start " << start << ", length " << length);
      const Bytes data = everyValue.substr(0, length);
      std::uint16_t crc = start;
      CrcStep(reinterpret_cast<const std::uint8_t*>(data.data()), static_cast<std::uint16_t>(length), crc);
      EXPECT_EQ(crc, bitwise(data, start));
    }
  }
}

TEST(FrameCodec, ThirdByteRuleTouchesOnlyByteTwoOfNonTransferPackets) {
  EXPECT_EQ(ApplyThirdByteRule(Hex("59 0B 7E 00")), Hex("59 0B 7F 00"));
  EXPECT_EQ(ApplyThirdByteRule(Hex("29 01 7E")), Hex("29 01 7F")) << "every command byte";
  EXPECT_EQ(ApplyThirdByteRule(Hex("59 04 7E")), Hex("59 04 7E"));
  EXPECT_EQ(ApplyThirdByteRule(Hex("59 05 7E 01")), Hex("59 05 7E 01"));
  EXPECT_EQ(ApplyThirdByteRule(Hex("59 0A 00 7E")), Hex("59 0A 00 7E")) << "no other position";
  EXPECT_EQ(ApplyThirdByteRule(Hex("59 7E")), Hex("59 7E")) << "two bytes are never touched";
  EXPECT_EQ(BuildFrame(Hex("59 7E")), Hex("59 7D 5E") + ComputeChecksum(Hex("59 7E")) + "\x7E");
  const Bytes packet = Hex("59 0B 7E");
  BuildFrame(packet);
  EXPECT_EQ(packet, Hex("59 0B 7E")) << "the caller's packet is not changed";
}

TEST(FrameCodec, EscapingIsOnePassAndNeverDoubles) {
  EXPECT_EQ(EncodeFrame(Hex("7D 7E")).substr(0, 4), Hex("7D 5D 7D 5E"));
  EXPECT_EQ(Unescape(EncodeFrame(Hex("7D 5E 7E 5D"))).substr(0, 4), Hex("7D 5E 7E 5D"));
}

TEST(FrameCodec, UnescapeFrameRules) {
  struct Case {
    const char* in;
    const char* out;
  } cases[] = {
      {"59 04 7D 5E A8 24 7E", "59 04 7E A8 24 7E"},
      {"59 0A 7D 5D 00 00 00 01 00 A8 11 7E", "59 0A 7D 00 00 00 01 00 A8 11 7E"},
      {"7D 41", "7D 41"},
      {"7D 7D 5E", "7D 7E"},
      {"01 02 7D", "01 02 7D"},
      {"01 02 03", "01 02 03"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.in);
    Bytes frame = Hex(c.in);
    UnescapeFrame(frame);
    EXPECT_EQ(frame, Hex(c.out));
  }
}

TEST(FrameCodec, A266ByteFrameIsLeftAsItIs) {
  for (std::size_t length : {265u, 266u, 267u}) {
    Bytes frame(length, 'a');
    frame.replace(10, 2, Hex("7D 5E"));
    Bytes unescaped = frame;
    UnescapeFrame(unescaped);
    EXPECT_EQ(unescaped.size(), length == 266 ? 266 : length - 1) << length;
  }
}

TEST(FrameCodec, RoundTripsEveryByteValue) {
  Bytes packet;
  for (int i = 0; i < 256; ++i) packet += static_cast<char>(i);
  const Bytes frame = EncodeFrame(packet);
  EXPECT_EQ(frame.find('\x7E'), frame.size() - 1) << "0x7E only as the terminator";
  const Bytes back = Unescape(frame);
  EXPECT_EQ(back.substr(0, 256), packet);
  EXPECT_TRUE(ChecksumMatches(back));
}

TEST(CheckedReply, AcceptsGoodFramesAndRefusesDamagedOnes) {
  const Bytes good = EncodeFrame(Hex("59 0A 1C"));
  ASSERT_TRUE(CheckedReply(good).has_value());
  EXPECT_EQ(*CheckedReply(good), Hex("59 0A 1C")) << "the packet, without checksum and terminator";
  for (std::size_t i = 0; i + 1 < good.size(); ++i) {
    Bytes damaged = good;
    damaged[i] ^= 0x04;
    EXPECT_FALSE(CheckedReply(damaged).has_value()) << "bit flipped in byte " << i;
  }
  EXPECT_FALSE(CheckedReply(Hex("7E")).has_value());
  EXPECT_FALSE(CheckedReply(Bytes()).has_value());
}

TEST(CheckedReply, ReplyAfterNoiseIsFoundInOnePass) {
  const Bytes packet = Hex("59 04 01 00 00 02 00 61 7E");
  const Bytes reply = EncodeFrame(packet);
  const auto any = [](std::string_view) { return true; };
  const auto read = [](std::string_view p) { return p.substr(0, 2) == "\x59\x04"; };
  for (const Bytes& noise : {Hex("A8 11"), Hex("7D"), Hex("59 04 01"), Bytes(1 << 20, '\x59')}) {
    SCOPED_TRACE(noise.size());
    EXPECT_FALSE(CheckedReply(noise + reply).has_value());
    EXPECT_EQ(CheckedReplyAtEnd(noise + reply, read), packet);
  }
  EXPECT_FALSE(CheckedReplyAtEnd(Hex("A8 11") + reply, [](std::string_view) { return false; }).has_value());
  Bytes damaged = reply;
  damaged[3] ^= 0x10;
  EXPECT_FALSE(CheckedReplyAtEnd(Hex("A8 11") + damaged, any).has_value());
}

TEST(CheckedReply, FullChunkReplyIsTakenAsReceivedOnlyWhenItFailsUnescaped) {
  // 7 header bytes + 256 data bytes, sent without escaping by the phone: 266 bytes.
  Bytes packet = Hex("59 04 01 00 00 00 01");
  packet += Bytes(254, 'x') + Hex("7D 5E");
  Bytes raw = packet;
  const std::uint16_t crc = FrameCheckSequence(packet);
  raw += static_cast<char>(crc & 0xFF);
  raw += static_cast<char>(crc >> 8);
  raw += '\x7E';
  ASSERT_EQ(raw.size(), 266u);
  ASSERT_TRUE(CheckedReply(raw).has_value());
  EXPECT_EQ(*CheckedReply(raw), packet) << "kept unescaped";

  // A properly escaped frame that happens to be 266 bytes long is unescaped.
  Bytes escapedPacket;
  Bytes escaped;
  for (std::size_t filler = 250; filler < 256 && escaped.size() != 266; ++filler) {
    escapedPacket = Hex("59 04 01 00 00 00 01") + Bytes(filler, 'y') + Hex("7E");
    escaped = EncodeFrame(escapedPacket);
  }
  ASSERT_EQ(escaped.size(), 266u);
  ASSERT_TRUE(CheckedReply(escaped).has_value());
  EXPECT_EQ(*CheckedReply(escaped), escapedPacket);
}

TEST(FrameCollector, SplitsAStreamAtTerminators) {
  FrameCollector collector;
  collector.Append(Hex("59 0A"));
  EXPECT_FALSE(collector.Next());
  collector.Append(Hex("1C AC FE 7E 59 0B 1C 74 E7 7E 59"));
  EXPECT_EQ(collector.Next(), Hex("59 0A 1C AC FE 7E"));
  EXPECT_EQ(collector.Next(), Hex("59 0B 1C 74 E7 7E"));
  EXPECT_FALSE(collector.Next());
  EXPECT_TRUE(collector.HasPartial());
}

}  // namespace
