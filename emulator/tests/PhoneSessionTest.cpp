// The phone's answers, read back at the offsets the module reads them.
#include <gtest/gtest.h>

#include "emulator/tests/EmulatorTestSupport.h"

namespace phonesim::testing {
namespace {

class Listing : public PhoneFixture {
 protected:
  void SetUp() override {
    folder_.MakeFolder("b");
    folder_.MakeFolder("a");
    folder_.MakeFolder("data/tones");
    folder_.MakeFile("c", Bytes(10, 'c'));
    folder_.MakeFile("data/x.txt", Bytes(0x12345, 'x'));
    folder_.MakeFile("data/a.txt", "");
  }
  static std::string EntryName(const Bytes& reply) {
    const auto length = static_cast<std::uint8_t>(reply.at(kEntryNameLengthOffset));
    EXPECT_EQ(reply.size(), kEntryNameOffset + length);
    return reply.substr(kEntryNameOffset, length);
  }
};

TEST_F(Listing, SubFoldersThenFilesAtTheRootInNameOrder) {
  const auto setTime = [this](const char* name, std::int64_t unixSeconds) {
    std::filesystem::last_write_time(folder_.path() / name,
                                     std::chrono::file_clock::from_sys(std::chrono::sys_seconds{std::chrono::seconds{unixSeconds}}));
  };
  setTime("a", kPhoneEpochUnixSeconds + 0x12345678);
  setTime("c", 1000);  // before the phone's epoch
  const Bytes first = Ask(ListingPacket(kOpIterateDirs, "", 0));
  EXPECT_EQ(first.substr(0, 3), Hex({0x59, 0x0A, 0x00}));
  EXPECT_EQ(ReadLe32(first, kEntryIndexOffset), 0u);
  EXPECT_EQ(first.substr(7, 4), Bytes(4, '\0'));
  EXPECT_EQ(ReadLe32(first, kEntryDateOffset), 0x12345678u);
  EXPECT_EQ(first.substr(19, 5), Bytes(5, '\0'));
  EXPECT_EQ(EntryName(first), "a");
  EXPECT_EQ(EntryName(Ask(ListingPacket(kOpIterateDirs, "", 1))), "b");
  EXPECT_EQ(EntryName(Ask(ListingPacket(kOpIterateDirs, "", 2))), "data");
  EXPECT_EQ(Ask(ListingPacket(kOpIterateDirs, "", 3)), Hex({0x59, 0x0A, 0x1C}));

  const Bytes file = Ask(ListingPacket(kOpIterateFiles, "", 0));
  EXPECT_EQ(file.substr(0, 3), Hex({0x59, 0x0B, 0x00}));
  EXPECT_EQ(EntryName(file), "c");
  EXPECT_EQ(ReadLe32(file, kEntrySizeOffset), 10u);
  EXPECT_EQ(ReadLe32(file, kEntryDateOffset), 0u);
  EXPECT_EQ(Ask(ListingPacket(kOpIterateFiles, "", 1)), Hex({0x59, 0x0B, 0x1C}));
}

TEST_F(Listing, StatusFramesOnTheWireAreTheOnesTheModuleCompares) {
  EXPECT_EQ(Joined(SendRaw(ListingPacket(kOpIterateDirs, "", 3))), Hex({0x59, 0x0A, 0x1C, 0xAC, 0xFE, 0x7E}));
  EXPECT_EQ(Joined(SendRaw(ListingPacket(kOpIterateFiles, "", 1))), Hex({0x59, 0x0B, 0x1C, 0x74, 0xE7, 0x7E}));
  EXPECT_EQ(Joined(SendRaw(ListingPacket(kOpIterateDirs, "missing", 0))), Hex({0x59, 0x0A, 0x08, 0x09, 0xA8, 0x7E}));
}

TEST_F(Listing, EntriesInASubFolderCarryTheFullPhonePathAndSize) {
  const Bytes folder = Ask(ListingPacket(kOpIterateDirs, "data", 0));
  EXPECT_EQ(EntryName(folder), "data/tones");
  EXPECT_EQ(ReadLe32(folder, kEntrySizeOffset), 0u);

  const Bytes second = Ask(ListingPacket(kOpIterateFiles, "data", 1));
  EXPECT_EQ(EntryName(second), "data/x.txt");
  EXPECT_EQ(second.substr(kEntrySizeOffset, 4), Hex({0x45, 0x23, 0x01, 0x00}));
  EXPECT_EQ(static_cast<std::uint8_t>(second[kEntryIndexOffset]), 1);
}

TEST_F(Listing, FoldersThatCannotBeListed) {
  EXPECT_EQ(Ask(ListingPacket(kOpIterateDirs, "nowhere", 0)), Hex({0x59, 0x0A, 0x08}));
  EXPECT_EQ(Ask(ListingPacket(kOpIterateDirs, "c", 0)), Hex({0x59, 0x0A, 0x08}));  // a file
  EXPECT_EQ(Ask(ListingPacket(kOpIterateFiles, "nowhere", 0)), Hex({0x59, 0x0B, 0x08}));
}

TEST_F(Listing, EachListingSeesTheFolderAsItIsAtItsStartAndAfterEveryWrite) {
  EXPECT_EQ(EntryName(Ask(ListingPacket(kOpIterateDirs, "", 0))), "a");
  folder_.MakeFolder("aa");  // behind the phone's back: the listing under way goes on unchanged
  EXPECT_EQ(EntryName(Ask(ListingPacket(kOpIterateDirs, "", 1))), "b");
  EXPECT_EQ(EntryName(Ask(ListingPacket(kOpIterateDirs, "", 0))), "a");  // a new listing
  EXPECT_EQ(EntryName(Ask(ListingPacket(kOpIterateDirs, "", 1))), "aa");
  EXPECT_EQ(Ask(PathCommandPacket(kOpMakeDir, "ab")), Hex({0x59, 0x00, 0x00}));
  EXPECT_EQ(EntryName(Ask(ListingPacket(kOpIterateDirs, "", 2))), "ab");
}

TEST_F(Listing, HighIndexesAnsweredAsAsked) {
  for (int i = 0; i < 300; ++i) folder_.MakeFile("data/tones/" + std::to_string(1000 + i), "");
  const Bytes entry = Ask(ListingPacket(kOpIterateFiles, "data/tones", 0x7F));
  EXPECT_EQ(ReadLe32(entry, kEntryIndexOffset), 0x7Fu);
  EXPECT_EQ(EntryName(entry), "data/tones/1127");
  const Bytes high = Ask(ListingPacket(kOpIterateFiles, "data/tones", 299));
  EXPECT_EQ(ReadLe32(high, kEntryIndexOffset), 299u);
  EXPECT_EQ(EntryName(high), "data/tones/1299");
}

// ---------------------------------------------------------------------------

class Reading : public PhoneFixture {
 protected:
  static Bytes Contents(std::size_t size) {
    Bytes data;
    for (std::size_t i = 0; i < size; ++i) data += static_cast<char>((i * 7 + 0x7D) & 0xFF);  // 7D and 7E included
    return data;
  }
  // The whole file as the module gathers it: first reply, then next-chunk requests.
  Bytes Download(const std::string& path, std::size_t* replies = nullptr) {
    const Bytes first = Ask(ReadFirstPacket(path));
    EXPECT_EQ(first.substr(0, 4), Hex({0x59, 0x04, 0x00, 0x00}));
    const std::uint32_t total = ReadLe32(first, kReadTotalSizeOffset);
    Bytes data = first.substr(kReadFirstDataOffset);
    EXPECT_EQ(ReadLe16(first, kReadFirstLengthOffset), data.size());
    EXPECT_EQ(first[kReadMoreOffset] != 0, data.size() < total);
    std::uint8_t sequence = 0;
    std::size_t count = 1;
    while (data.size() < total && count < 100000) {
      sequence = sequence == 255 ? 1 : sequence + 1;
      const Bytes next = Ask(ReadNextPacket(sequence));
      EXPECT_EQ(next.substr(0, 4), Hex({0x59, 0x04, 0x00, char(sequence)}));
      EXPECT_EQ(ReadLe16(next, kReadNextLengthOffset), next.size() - kReadNextDataOffset);
      EXPECT_GT(next.size(), kReadNextDataOffset);
      data += next.substr(kReadNextDataOffset);
      EXPECT_EQ(next[kReadMoreOffset] != 0, data.size() < total);
      ++count;
    }
    if (replies != nullptr) *replies = count;
    return data;
  }
};

TEST_F(Reading, FilesOfEverySizeComeBackWhole) {
  for (std::size_t size : {0, 1, 255, 256, 257, 300, 1000}) {
    SCOPED_TRACE(size);
    folder_.MakeFile("f.bin", Contents(size));
    std::size_t replies = 0;
    EXPECT_EQ(Download("f.bin", &replies), Contents(size));
    EXPECT_EQ(replies, size == 0 ? 1 : (size + 255) / 256);
  }
}

TEST_F(Reading, DataWithFrameBytesIsEscapedOnTheWire) {
  folder_.MakeFile("f.bin", Bytes(100, 0x7E) + Bytes(100, 0x7D));
  const Bytes wire = Joined(SendRaw(ReadFirstPacket("f.bin")));
  EXPECT_EQ(wire.find(kFrameEnd), wire.size() - 1);
  EXPECT_EQ(ReplyPacket(wire).substr(kReadFirstDataOffset), Bytes(100, 0x7E) + Bytes(100, 0x7D));
}

TEST_F(Reading, SequenceNumbersWrapFrom255To1) {
  const Bytes data = Contents(256 * 300);
  folder_.MakeFile("big.bin", data);
  std::size_t replies = 0;
  EXPECT_EQ(Download("big.bin", &replies), data);  // Download checks each reply gives back its sequence
  EXPECT_EQ(replies, 300u);
}

TEST_F(Reading, ChunkSizeIsConfigurable) {
  PhoneEmulator small(files_, 100, {});
  folder_.MakeFile("f.bin", Contents(250));
  const Bytes first = ReplyPacket(Joined(small.OnFrame(BuildFrame(ReadFirstPacket("f.bin")))));
  EXPECT_EQ(ReadLe16(first, kReadFirstLengthOffset), 100);
  EXPECT_EQ(ReadLe32(first, kReadTotalSizeOffset), 250u);
  const Bytes second = ReplyPacket(Joined(small.OnFrame(BuildFrame(ReadNextPacket(1)))));
  const Bytes third = ReplyPacket(Joined(small.OnFrame(BuildFrame(ReadNextPacket(2)))));
  EXPECT_EQ(ReadLe16(third, kReadNextLengthOffset), 50);
  EXPECT_EQ(first.substr(11) + second.substr(7) + third.substr(7), Contents(250));
}

TEST_F(Reading, MissingFileRepeatedFirstRequestAndAbort) {
  EXPECT_EQ(Joined(SendRaw(ReadFirstPacket("none"))), Hex({0x59, 0x04, 0x06, 0x67, 0xDB, 0x7E}));
  folder_.MakeFolder("dir");
  EXPECT_EQ(Ask(ReadFirstPacket("dir")), Hex({0x59, 0x04, 0x06}));

  folder_.MakeFile("f.bin", Contents(600));
  Ask(ReadFirstPacket("f.bin"));
  Ask(ReadNextPacket(1));
  // Starting over gives the first chunk again, then the second.
  EXPECT_EQ(Ask(ReadFirstPacket("f.bin")).substr(11), Contents(256));
  EXPECT_EQ(Ask(ReadNextPacket(1)).substr(7), Contents(600).substr(256, 256));

  EXPECT_EQ(Joined(SendRaw(AbortPacket())), Hex({0x59, 0x04, 0x00, 0x51, 0xBE, 0x7E}));
  // The transfer is forgotten: a next-chunk request now asks the module to start over.
  EXPECT_EQ(Ask(ReadNextPacket(2)), Hex({0x59, 0x04, 0x06}));
}

// ---------------------------------------------------------------------------

class Writing : public PhoneFixture {
 protected:
  // Uploads as the module does; every request must be accepted.
  void Upload(const std::string& path, const Bytes& data, bool checkNotYetThere = true) {
    Bytes rest = data;
    auto cut = [&rest] {
      Bytes chunk = rest.substr(0, kChunkSize);
      rest.erase(0, chunk.size());
      return chunk;
    };
    EXPECT_EQ(Ask(WriteFirstPacket(path, static_cast<std::uint32_t>(data.size()), cut())), Hex({0x59, 0x05, 0x00}));
    std::uint8_t sequence = 0;
    while (!rest.empty()) {
      if (checkNotYetThere) {
        EXPECT_FALSE(folder_.Exists(path)) << "the file appears only when complete";
      }
      sequence = sequence == 255 ? 1 : sequence + 1;
      EXPECT_EQ(Ask(WriteNextPacket(sequence, cut())), Hex({0x59, 0x05, 0x00}));
    }
  }
};

TEST_F(Writing, FilesOfEverySizeAreReassembled) {
  folder_.MakeFolder("data");
  for (std::size_t size : {0, 1, 255, 256, 257, 300}) {
    SCOPED_TRACE(size);
    const std::string name = "data/f" + std::to_string(size);
    Bytes data;
    for (std::size_t i = 0; i < size; ++i) data += static_cast<char>(0x7C + i % 4);
    Upload(name, data);
    ASSERT_TRUE(folder_.Exists(name));
    EXPECT_EQ(folder_.Contents(name), data);
  }
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(folder_.path() / "data"), {}), 6)
      << "no temporary file is left behind";
}

TEST_F(Writing, SequenceWrapsFrom255To1AndAnExistingFileIsReplaced) {
  folder_.MakeFile("big", "old");
  Bytes data;
  for (std::size_t i = 0; i < 256 * 260 + 5; ++i) data += static_cast<char>(i / 256);
  Upload("big", data, false);
  EXPECT_EQ(folder_.Contents("big"), data);
}

TEST_F(Writing, OutOfOrderOrUnexpectedPacketsAreRefused) {
  EXPECT_EQ(Ask(WriteNextPacket(1, "abc")), Hex({0x59, 0x05, 0x01}));  // no upload open

  EXPECT_EQ(Ask(WriteFirstPacket("f", 600, Bytes(256, 'a'))), Hex({0x59, 0x05, 0x00}));
  EXPECT_EQ(Ask(WriteNextPacket(2, Bytes(256, 'b'))), Hex({0x59, 0x05, 0x01}));  // sequence 1 expected
  EXPECT_EQ(Ask(WriteNextPacket(1, Bytes(256, 'b'))), Hex({0x59, 0x05, 0x00}));  // the upload goes on
  EXPECT_EQ(Ask(WriteNextPacket(2, Bytes(100, 'c'))), Hex({0x59, 0x05, 0x01}));  // more than announced
  EXPECT_FALSE(folder_.Exists("f"));

  EXPECT_EQ(Ask(WriteFirstPacket("missing/f", 1, "a")), Hex({0x59, 0x05, 0x01}));
  folder_.MakeFolder("dir");
  EXPECT_EQ(Ask(WriteFirstPacket("dir", 1, "a")), Hex({0x59, 0x05, 0x01}));
}

TEST_F(Writing, AbortForgetsTheUpload) {
  Ask(WriteFirstPacket("f", 300, Bytes(256, 'a')));
  EXPECT_EQ(Ask(AbortPacket()), Hex({0x59, 0x04, 0x00}));
  EXPECT_EQ(Ask(WriteNextPacket(1, Bytes(44, 'b'))), Hex({0x59, 0x05, 0x01}));
  EXPECT_FALSE(folder_.Exists("f"));
}

// ---------------------------------------------------------------------------

using Management = PhoneFixture;

TEST_F(Management, MakeDirectory) {
  EXPECT_EQ(Joined(SendRaw(PathCommandPacket(kOpMakeDir, "new"))), Hex({0x59, 0x00, 0x00, 0x31, 0xD9, 0x7E}));
  EXPECT_TRUE(std::filesystem::is_directory(folder_.path() / "new"));
  EXPECT_EQ(Joined(SendRaw(PathCommandPacket(kOpMakeDir, "new"))), Hex({0x59, 0x00, 0x07, 0x8E, 0xAD, 0x7E}));
  EXPECT_EQ(Ask(PathCommandPacket(kOpMakeDir, "new/sub")), Hex({0x59, 0x00, 0x00}));
  EXPECT_EQ(Ask(PathCommandPacket(kOpMakeDir, "no/parent")), Hex({0x59, 0x00, 0x07}));
  EXPECT_FALSE(folder_.Exists("no"));
}

TEST_F(Management, RemoveDirectory) {
  folder_.MakeFolder("data/old");
  folder_.MakeFile("data/old/f", "x");
  EXPECT_EQ(Joined(SendRaw(PathCommandPacket(kOpRemoveDir, "data/old"))), Hex({0x59, 0x01, 0x09, 0x28, 0x5D, 0x7E}));
  std::filesystem::remove(folder_.path() / "data/old/f");
  EXPECT_EQ(Joined(SendRaw(PathCommandPacket(kOpRemoveDir, "data/old"))), Hex({0x59, 0x01, 0x00, 0xE9, 0xC0, 0x7E}));
  EXPECT_FALSE(folder_.Exists("data/old"));
  EXPECT_EQ(Joined(SendRaw(PathCommandPacket(kOpRemoveDir, "data/old"))), Hex({0x59, 0x01, 0x03, 0x72, 0xF2, 0x7E}));
  folder_.MakeFile("data/file", "x");
  EXPECT_EQ(Ask(PathCommandPacket(kOpRemoveDir, "data/file")), Hex({0x59, 0x01, 0x03}));
  EXPECT_EQ(Ask(PathCommandPacket(kOpRemoveDir, "")), Hex({0x59, 0x01, 0x03}));  // never the root
}

TEST_F(Management, DeleteFile) {
  folder_.MakeFolder("data");
  folder_.MakeFile("data/a.txt", "abc");
  EXPECT_EQ(Joined(SendRaw(PathCommandPacket(kOpDeleteFile, "data/a.txt"))), Hex({0x59, 0x06, 0x00, 0xE1, 0x8D, 0x7E}));
  EXPECT_FALSE(folder_.Exists("data/a.txt"));
  EXPECT_EQ(Joined(SendRaw(PathCommandPacket(kOpDeleteFile, "data/a.txt"))), Hex({0x59, 0x06, 0x06, 0xD7, 0xE8, 0x7E}));
  EXPECT_EQ(Ask(PathCommandPacket(kOpDeleteFile, "data")), Hex({0x59, 0x06, 0x06}));  // a folder is no file
  EXPECT_TRUE(folder_.Exists("data"));
}

TEST_F(Management, RestartPacketsAreEchoedAndReported) {
  const Response restart = SendRaw(RestartPacket());
  EXPECT_EQ(Joined(restart), Hex({0x29, 0x01, 0x00, 0x31, 0x40, 0x7E}));
  EXPECT_EQ(restart.notes, std::vector<std::string>{"phonesim: restart requested"});
  const Response confirm = SendRaw(RestartConfirmPacket());
  EXPECT_EQ(Joined(confirm), Hex({0x29, 0x02, 0x00, 0x59, 0x6A, 0x7E}));
  EXPECT_EQ(confirm.notes, std::vector<std::string>{"phonesim: restart confirmed"});
}

TEST_F(Management, UnknownAndMalformedRequestsStillGetOneReply) {
  EXPECT_EQ(Ask(Hex({0x4B, 0x01, 0x02})), Hex({0x13, 0x4B, 0x01}));
  EXPECT_EQ(Ask(Hex({0x59, 0x0A, 0x00})), Hex({0x59, 0x0A, 0x08}));
  EXPECT_EQ(Ask(Hex({0x59, 0x06, 0x03, 'a', 'b'})), Hex({0x59, 0x06, 0x06}));
}

// ---------------------------------------------------------------------------

class PathEscape : public PhoneFixture {
 protected:
  void SetUp() override {
    folder_.MakeFolder("inside");
    outside_.MakeFile("secret", "s");
    outside_.MakeFolder("dir");
    escape_ = "../" + outside_.path().filename().string();
  }
  ScratchFolder outside_;  // a sibling of the phone's folder
  std::string escape_;
};

TEST_F(PathEscape, EveryOperationRefusesPathsOutsideTheRoot) {
  EXPECT_EQ(Ask(ListingPacket(kOpIterateFiles, escape_, 0)), Hex({0x59, 0x0B, 0x08}));
  EXPECT_EQ(Ask(ListingPacket(kOpIterateDirs, "inside/../..", 0)), Hex({0x59, 0x0A, 0x08}));
  EXPECT_EQ(Ask(ListingPacket(kOpIterateDirs, "/", 0)), Hex({0x59, 0x0A, 0x08}));
  EXPECT_EQ(Ask(ReadFirstPacket(escape_ + "/secret")), Hex({0x59, 0x04, 0x06}));
  EXPECT_EQ(Ask(ReadFirstPacket("/etc/hostname")), Hex({0x59, 0x04, 0x06}));
  EXPECT_EQ(Ask(WriteFirstPacket(escape_ + "/planted", 1, "x")), Hex({0x59, 0x05, 0x01}));
  EXPECT_EQ(Ask(PathCommandPacket(kOpMakeDir, escape_ + "/made")), Hex({0x59, 0x00, 0x07}));
  EXPECT_EQ(Ask(PathCommandPacket(kOpRemoveDir, escape_ + "/dir")), Hex({0x59, 0x01, 0x03}));
  EXPECT_EQ(Ask(PathCommandPacket(kOpDeleteFile, escape_ + "/secret")), Hex({0x59, 0x06, 0x06}));

  EXPECT_TRUE(outside_.Exists("secret"));
  EXPECT_TRUE(outside_.Exists("dir"));
  EXPECT_FALSE(outside_.Exists("planted"));
  EXPECT_FALSE(outside_.Exists("made"));
}

TEST_F(PathEscape, DotsInsideNamesAreOrdinary) {
  folder_.MakeFile("inside/..x", "dots");
  EXPECT_EQ(Ask(ReadFirstPacket("inside/..x")).substr(11), "dots");
  EXPECT_EQ(Ask(ReadFirstPacket("./inside//..x")).substr(11), "dots");
}

}  // namespace
}  // namespace phonesim::testing
