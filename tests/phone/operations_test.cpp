// The phone operations end to end inside the process: the module's code
// against the emulator's phone logic behind an in-memory device.
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <optional>

#include "emulator/PhoneEmulator.h"
#include "phone/Operations.h"
#include "tests/phone/PluginFixture.h"

namespace fs = std::filesystem;

namespace {

int progressCalls = 0;
int abortAtCall = 0;  // 0: never
int lastPercent = -1;
std::function<void()> duringProgress;  // what the user does meanwhile

int Progress(int, char*, char*, int percent) {
  ++progressCalls;
  lastPercent = percent;
  if (duringProgress) duringProgress();
  return progressCalls == abortAtCall ? 1 : 0;
}

Bytes Hex(std::initializer_list<int> values) {
  Bytes bytes;
  for (int value : values) bytes += static_cast<char>(value);
  return bytes;
}

Bytes Pattern(std::size_t size) {
  Bytes data(size, '\0');
  for (std::size_t i = 0; i < size; ++i) data[i] = static_cast<char>((i * 7 + i / 256) & 0xFF);
  return data;
}

void WriteFile(const fs::path& path, const Bytes& data) {
  fs::create_directories(path.parent_path());
  std::ofstream(path, std::ios::binary) << data;
}

Bytes ReadFile(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return Bytes(std::istreambuf_iterator<char>(in), {});
}

class OperationsTest : public PluginFixture {
 protected:
  void SetUp() override {
    root_ = fs::temp_directory_path() / ("velk-ops-" + std::to_string(::testing::UnitTest::GetInstance()->random_seed()) +
                                         "-" + ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::remove_all(root_);
    fs::create_directories(root_ / "phone");
    fs::create_directories(root_ / "pc");
    progressCalls = 0;
    abortAtCall = 0;
    lastPercent = -1;
    duringProgress = nullptr;
    PluginFixture::SetUp();
    State.ProgressCallback = Progress;
    StartPhone({});
  }
  void TearDown() override {
    PluginFixture::TearDown();
    fs::remove_all(root_);
  }

  void StartPhone(phonesim::FaultOptions faults, std::size_t chunk = 256) {
    files_ = std::make_unique<phonesim::PhoneFileSystem>(root_ / "phone");
    phone_ = std::make_unique<phonesim::PhoneEmulator>(*files_, chunk, faults);
    device().onFrame = [this](const Bytes& frame) {
      for (const auto& piece : phone_->OnFrame(frame).pieces) device().Deliver(piece.bytes);
    };
  }

  // The packets the module sent, unescaped, without checksum and terminator.
  std::vector<Bytes> SentPackets() {
    std::vector<Bytes> packets;
    for (const Bytes& frame : device().Written()) {
      const Bytes unescaped = Unescape(frame);
      packets.push_back(unescaped.substr(0, unescaped.size() - 3));
    }
    return packets;
  }

  // Every entry of a folder listing, as FindFirst/FindNext report them.
  std::vector<std::string> List(const std::string& hostPath) {
    std::vector<std::string> names;
    TFile entry;
    if (FindFirst(hostPath, entry) != ListingStart::kEntry) return names;
    do {
      names.push_back(entry.Name + (entry.IsDirectory ? "/" : ""));
    } while (FindNext(entry) && names.size() < 2000);
    return names;
  }

  // The folders the installations write to, as a phone comes with them.
  void CreateInstallFolders() {
    fs::create_directories(phone("brew/mod/java_ams/config/games"));
    fs::create_directories(phone("brew/mod/java_ams/config/apps"));
    fs::create_directories(phone("brew/mod/cmgr/pp"));
  }

  // Poll ticks of 1 ms: a phone that stays silent costs 51 ms, not 2.5 s.
  static void FastTicks() {
    for (auto* timer : {State.CommandTimer.get(), State.DownloadTimer.get(), State.UploadTimer.get()}) {
      timer->SetInterval(1);
    }
  }

  // The emulator's phone, except for frames that `answer` replaces: it returns
  // the bytes to send back instead, or nothing to let the phone answer.
  void StartPhoneExcept(std::function<std::optional<Bytes>(const Bytes& frame)> answer) {
    device().onFrame = [this, answer](const Bytes& frame) {
      if (const auto replaced = answer(frame)) {
        device().Deliver(*replaced);
        return;
      }
      for (const auto& piece : phone_->OnFrame(frame).pieces) device().Deliver(piece.bytes);
    };
  }

  fs::path phone(const std::string& p) const { return root_ / "phone" / p; }
  std::string pc(const std::string& p) const { return (root_ / "pc" / p).string(); }

  fs::path root_;
  std::unique_ptr<phonesim::PhoneFileSystem> files_;
  std::unique_ptr<phonesim::PhoneEmulator> phone_;
};

TEST_F(OperationsTest, RootListsFoldersFilesThenInstallFolders) {
  fs::create_directories(phone("a"));
  fs::create_directories(phone("b"));
  WriteFile(phone("c"), Bytes(10, 'c'));
  TFile entry;
  ASSERT_EQ(FindFirst("\\", entry), ListingStart::kEntry);
  EXPECT_EQ(entry.Name, "a");
  EXPECT_TRUE(entry.IsDirectory);
  std::vector<std::pair<std::string, std::int32_t>> rest;
  while (FindNext(entry)) rest.emplace_back(entry.Name, entry.EntrySize);
  const std::vector<std::pair<std::string, std::int32_t>> expected = {
      {"b", 0}, {"c", 10}, {"INSTALL JAVA GAME", 0}, {"INSTALL JAVA APP", 0}, {"INSTALL THEME", 0}};
  EXPECT_EQ(rest, expected);
  EXPECT_FALSE(FindNext(entry)) << "stays at the end";

  std::vector<std::string> requests;
  for (const Bytes& p : SentPackets()) {
    requests.push_back((p[1] == kOpIterateDirs ? "d" : "f") + std::to_string(ReadLe16(p, 2)));
  }
  const std::vector<std::string> wire = {"d0", "d1", "d2", "f0", "f1", "f0", "f1", "f0", "f1"};
  // The first eight are the listing itself; the ninth is the extra call above.
  EXPECT_EQ(std::vector<std::string>(requests.begin(), requests.begin() + 8),
            std::vector<std::string>(wire.begin(), wire.begin() + 8));
}

TEST_F(OperationsTest, EntriesCarryThePhonesDate) {
  // The phone dates its entries 2026-12-09 00:00 UTC, 1 480 809 600 s after 1980-01-06.
  device().onFrame = [this](const Bytes& frame) {
    Bytes reply;
    for (const auto& piece : phone_->OnFrame(frame).pieces) reply += piece.bytes;
    Bytes packet = CheckedReply(reply).value();
    if (packet.size() > kEntryNameOffset) {
      Bytes date;
      AppendLe32(date, 1480809600);
      packet.replace(kEntryDateOffset, 4, date);
    }
    device().Deliver(EncodeFrame(packet));
  };
  fs::create_directories(phone("a"));
  WriteFile(phone("c"), "c");
  TFile entry;
  std::vector<std::uint32_t> dates;
  for (bool more = FindFirst("\\", entry) == ListingStart::kEntry; more; more = FindNext(entry)) {
    dates.push_back(entry.EntryDate);
  }
  // Folder a and file c carry the phone's date; the install folders the phone's epoch.
  EXPECT_EQ(dates, (std::vector<std::uint32_t>{1480809600, 1480809600, 0, 0, 0}));
}

TEST_F(OperationsTest, SubFolderAndEmptyFoldersAndInstallPaths) {
  fs::create_directories(phone("data/a"));
  WriteFile(phone("data/c"), "1234");
  fs::create_directories(phone("empty"));
  EXPECT_EQ(List("\\data"), (std::vector<std::string>{"a/", "c"}));
  EXPECT_EQ(List("\\data\\"), (std::vector<std::string>{"a/", "c"})) << "a trailing separator names the folder";
  TFile entry;
  EXPECT_EQ(FindFirst("\\empty", entry), ListingStart::kNoEntries);
  const auto sentBefore = device().Written().size();
  for (const char* path : {"\\INSTALL THEME\\", "\\INSTALL JAVA GAME", "\\INSTALL JAVA APP\\"}) {
    TFile entry;
    EXPECT_EQ(FindFirst(path, entry), ListingStart::kNoEntries);
  }
  EXPECT_EQ(device().Written().size(), sentBefore) << "nothing sent for the install folders";
  EXPECT_TRUE(messages_.empty());
  fs::remove_all(root_ / "phone");
  fs::create_directories(root_ / "phone");
  EXPECT_TRUE(List("\\").empty()) << "an empty root offers no install folders";
}

TEST_F(OperationsTest, FolderThePhoneCannotListShowsTheError) {
  TFile entry;
  EXPECT_EQ(FindFirst("\\missing", entry), ListingStart::kFailed);
  ASSERT_EQ(messages_.size(), 1u);
  EXPECT_EQ(messages_[0], "Error while reading file system!");
}

TEST_F(OperationsTest, FoldersOfMoreThan256EntriesListToTheirEnd) {
  for (int i = 0; i < 300; ++i) {
    char name[16];
    std::snprintf(name, sizeof name, "d%03d", i);
    fs::create_directories(phone(std::string("big/") + name));
    std::snprintf(name, sizeof name, "f%03d", i);
    WriteFile(phone(std::string("big/") + name), "x");
  }
  const auto names = List("\\big");
  ASSERT_EQ(names.size(), 600u);
  for (int i = 0; i < 300; ++i) {
    char name[16];
    std::snprintf(name, sizeof name, "d%03d/", i);
    EXPECT_EQ(names[i], name);
    std::snprintf(name, sizeof name, "f%03d", i);
    EXPECT_EQ(names[300 + i], name);
  }
}

TEST_F(OperationsTest, Index126IsAskedEscapedAndUnderTheRuleOnlyWhenThePhoneCannotTakeIt) {
  for (int i = 0; i < 130; ++i) {
    char name[16];
    std::snprintf(name, sizeof name, "big/d%03d", i);
    fs::create_directories(phone(name));
  }
  const Bytes escaped126 = Hex({0x59, 0x0A, 0x7D, 0x5E});
  const struct {
    const char* phone;
    std::optional<Bytes> answerToEscaped;  // nothing: the emulator answers
  } cases[] = {
      {"takes the escaped index", std::nullopt},
      {"says nothing to it", Bytes()},
      {"refuses it", EncodeFrame(Hex({0x14, 0x59, 0x0A}))},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.phone);
    State.PortWrapper->Port().Close();  // another phone: what the last one could not take is forgotten
    ASSERT_TRUE(OpenPhonePort());
    StartPhone({});
    FastTicks();
    StartPhoneExcept([&](const Bytes& frame) -> std::optional<Bytes> {
      return frame.compare(0, 4, escaped126) == 0 ? c.answerToEscaped : std::nullopt;
    });
    const bool shown = !c.answerToEscaped;
    for (int listing = 0; listing < 2; ++listing) {
      const std::size_t before = device().Written().size();
      const auto names = List("\\big");
      EXPECT_EQ(names.size(), shown ? 130u : 129u);
      EXPECT_EQ(std::count(names.begin(), names.end(), "d126/"), shown ? 1 : 0);
      EXPECT_EQ(std::count(names.begin(), names.end(), "d127/"), 1);
      int escapedRequests = 0;
      for (std::size_t i = before; i < device().Written().size(); ++i) {
        escapedRequests += device().Written()[i].compare(0, 4, escaped126) == 0;
      }
      // What a phone could not take is not asked again while the port stays open.
      EXPECT_EQ(escapedRequests, shown || listing == 0 ? 1 : 0) << "listing " << listing;
    }
    EXPECT_TRUE(messages_.empty());
  }
}

TEST_F(OperationsTest, ListingIsCutAtTheLastIndexARequestCarries) {
  // A phone with a sub-folder at every index the request can carry.
  StartPhoneExcept([](const Bytes& frame) -> std::optional<Bytes> {
    const Bytes packet = Unescape(frame).substr(0, Unescape(frame).size() - 3);
    if (packet[1] != kOpIterateDirs) return EncodeFrame(Hex({0x59, packet[1], kStatusNoEntry}));
    const std::uint32_t index = ReadLe32(packet, 2);
    const std::string name = "big/d" + std::to_string(index);
    Bytes entry{0x59, 0x0A, 0x00};
    AppendLe32(entry, index);
    entry += Bytes(kEntryFolderLengthOffset - entry.size(), '\0');
    entry += Hex({4, static_cast<int>(name.size())}) + name;
    return EncodeFrame(entry);
  });
  TFile entry;
  ASSERT_EQ(FindFirst("\\big", entry), ListingStart::kEntry);
  EXPECT_EQ(entry.Name, "d0");
  State.Sequence = 65534;  // as after that many sub-folders
  ASSERT_TRUE(FindNext(entry));
  EXPECT_EQ(entry.Name, "d65534");
  ASSERT_TRUE(FindNext(entry));
  EXPECT_EQ(entry.Name, "d65535");
  EXPECT_TRUE(messages_.empty());
  EXPECT_FALSE(FindNext(entry)) << "no index 65536 to ask for: on to the files, of which there are none";
  ASSERT_EQ(messages_.size(), 1u);
  EXPECT_NE(messages_[0].find("the listing is cut"), std::string::npos);
  const auto sent = SentPackets();
  ASSERT_GE(sent.size(), 2u);
  EXPECT_EQ(sent[sent.size() - 2], ListingPacket(kOpIterateDirs, "big", 0xFFFF));
  EXPECT_EQ(sent.back(), ListingPacket(kOpIterateFiles, "big", 0));
}

TEST_F(OperationsTest, APortThatEchoesIsNoPhone) {
  device().onFrame = [this](const Bytes& frame) { device().Deliver(frame); };
  FastTicks();
  WriteFile(pc("up.bin"), Pattern(256));
  const struct {
    const char* operation;
    std::function<bool()> failed;
  } cases[] = {
      {"upload", [&] { return PutFile(pc("up.bin"), "\\up.bin") == kFsFileFailed; }},
      {"download", [&] { return GetFile("\\f.bin", pc("f.bin"), 0) == kFsFileFailed; }},
      {"make folder", [&] { return MakeDirectory("\\new") == 0; }},
      {"delete", [&] { return DeleteFile("\\f.bin") == 0; }},
      {"listing", [&] { return List("\\").empty(); }},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.operation);
    messages_.clear();
    EXPECT_TRUE(c.failed());
    ASSERT_EQ(messages_.size(), 1u);
    EXPECT_EQ(messages_[0], "The port sends back everything the module sends to it: it may not be the phone's port.");
    EXPECT_EQ(SentPackets().back(), AbortPacket()) << "the failure is settled with the abort packet";
  }
}

TEST_F(OperationsTest, FilesOfEverySizeComeBackIdentical) {
  for (std::size_t size : {0u, 1u, 255u, 256u, 257u, 300u, 65537u}) {
    SCOPED_TRACE(size);
    const Bytes data = Pattern(size);
    WriteFile(pc("up.bin"), data);
    ASSERT_EQ(PutFile(pc("up.bin"), "\\up.bin"), kFsFileOk);
    EXPECT_EQ(ReadFile(phone("up.bin")), data);
    ASSERT_EQ(GetFile("\\up.bin", pc("down.bin"), kFsCopyOverwrite), kFsFileOk);
    EXPECT_EQ(ReadFile(pc("down.bin")), data);
  }
}

TEST_F(OperationsTest, UploadOf300BytesOnTheWire) {
  const Bytes data = Pattern(300);
  WriteFile(pc("x.txt"), data);
  fs::create_directories(phone("data"));
  ASSERT_EQ(PutFile(pc("x.txt"), "\\data\\x.txt"), kFsFileOk);
  const auto sent = SentPackets();
  ASSERT_EQ(sent.size(), 2u);
  EXPECT_EQ(sent[0], WriteFirstPacket("data/x.txt", 300, data.substr(0, 256)));
  EXPECT_EQ(sent[1], WriteNextPacket(1, data.substr(256)));
  EXPECT_EQ(progressCalls, 1);
  EXPECT_EQ(lastPercent, 85);
}

TEST_F(OperationsTest, AbortThroughProgressGivesFiveAndNoFile) {
  WriteFile(phone("big.bin"), Pattern(5000));
  abortAtCall = 3;
  EXPECT_EQ(GetFile("\\big.bin", pc("big.bin"), 0), kFsFileAborted);
  EXPECT_FALSE(fs::exists(pc("big.bin")));
  EXPECT_EQ(SentPackets().back(), AbortPacket());

  progressCalls = 0;
  abortAtCall = 1;
  WriteFile(pc("up.bin"), Pattern(5000));
  EXPECT_EQ(PutFile(pc("up.bin"), "\\up.bin"), kFsFileAborted);
  EXPECT_FALSE(fs::exists(phone("up.bin")));
  EXPECT_EQ(SentPackets().back(), AbortPacket());
}

// A phone that answers one request late: its reply comes only in front of
// the reply to the request after it. What the first operation leaves must not
// reach the second.
TEST_F(OperationsTest, WhatAnOperationLeavesTheNextDoesNotTake) {
  WriteFile(phone("f.bin"), Pattern(5000));
  WriteFile(phone("g.bin"), Pattern(5000).substr(1) + "g");
  WriteFile(pc("up.bin"), Pattern(5000));
  FastTicks();
  const struct {
    const char* name;
    Bytes lateRequest;  // the request whose reply comes late
    int held;           // that reply and the ones after it that wait for the next request
    int abortAt;        // the progress call that aborts the first operation; 0: none
    std::function<int()> first;
    int firstResult;
    std::function<bool()> next;
  } cases[] = {
      {"abort then get", AbortPacket(), 1, 3, [&] { return GetFile("\\f.bin", pc("f.bin"), 0); }, kFsFileAborted,
       [&] { return GetFile("\\g.bin", pc("g.bin"), kFsCopyOverwrite) == kFsFileOk && ReadFile(pc("g.bin")) == ReadFile(phone("g.bin")); }},
      {"abort then put", AbortPacket(), 1, 1, [&] { return PutFile(pc("up.bin"), "\\up.bin"); }, kFsFileAborted,
       [&] { return PutFile(pc("up.bin"), "\\up2.bin") == kFsFileOk && ReadFile(phone("up2.bin")) == Pattern(5000); }},
      {"failure then get", ReadFirstPacket("f.bin"), 1, 0, [&] { return GetFile("\\f.bin", pc("f.bin"), 0); },
       kFsFileFailed,
       [&] { return GetFile("\\g.bin", pc("g.bin"), kFsCopyOverwrite) == kFsFileOk && ReadFile(pc("g.bin")) == ReadFile(phone("g.bin")); }},
      {"failure beyond the abort's wait then get", ReadFirstPacket("f.bin"), 2, 0, [&] { return GetFile("\\f.bin", pc("f.bin"), 0); },
       kFsFileFailed,
       [&] { return GetFile("\\g.bin", pc("g.bin"), kFsCopyOverwrite) == kFsFileOk && ReadFile(pc("g.bin")) == ReadFile(phone("g.bin")); }},
      {"failure then list", ReadFirstPacket("f.bin"), 1, 0, [&] { return GetFile("\\f.bin", pc("f.bin"), 0); },
       kFsFileFailed, [&] {
         return List("\\") == std::vector<std::string>{"f.bin", "g.bin", "up2.bin", "INSTALL JAVA GAME/",
                                                         "INSTALL JAVA APP/", "INSTALL THEME/"};
       }},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Bytes held;
    int toHold = -1;  // not yet seen the late request
    device().onFrame = [&](const Bytes& frame) {
      Bytes reply;
      for (const auto& piece : phone_->OnFrame(frame).pieces) reply += piece.bytes;
      if (toHold < 0 && frame == EncodeFrame(c.lateRequest)) toHold = c.held;
      if (toHold > 0) {
        --toHold;
        held += reply;
        return;
      }
      device().Deliver(held + reply);
      held.clear();
    };
    progressCalls = 0;
    abortAtCall = c.abortAt;
    EXPECT_EQ(c.first(), c.firstResult);
    abortAtCall = 0;
    EXPECT_TRUE(c.next());
    fs::remove(pc("f.bin"));
  }
}

TEST_F(OperationsTest, ExistingLocalFileAndCopyFlags) {
  WriteFile(phone("f"), "new");
  WriteFile(pc("f"), "old");
  EXPECT_EQ(GetFile("\\f", pc("f"), 0), kFsFileExists);
  EXPECT_EQ(beeps_, 1);
  EXPECT_TRUE(device().Written().empty());
  EXPECT_EQ(GetFile("\\f", pc("f"), kFsCopyOverwrite | 2), kFsFileOk);
  EXPECT_EQ(ReadFile(pc("f")), "new");
  EXPECT_EQ(GetFile("\\f", pc("g"), kFsCopyOverwrite), kFsFileOk) << "a missing target is no error";
  EXPECT_EQ(GetFile("\\" + std::string(255, 'p'), pc("h"), 0), kFsFileFailed);
}

TEST_F(OperationsTest, ALocalFileThatComesDuringTheDownloadIsReplacedOnlyWhenAsked) {
  WriteFile(phone("f"), Pattern(2000));
  struct Case {
    int flags;
    int result;
    Bytes content;
  };
  for (const Case& c : {Case{0, kFsFileExists, "came meanwhile"}, Case{kFsCopyOverwrite, kFsFileOk, Pattern(2000)}}) {
    SCOPED_TRACE(c.flags);
    fs::remove(pc("f"));
    duringProgress = [this] { WriteFile(pc("f"), "came meanwhile"); };
    EXPECT_EQ(GetFile("\\f", pc("f"), c.flags), c.result);
    EXPECT_TRUE(ReadFile(pc("f")) == c.content) << "content differs";
    EXPECT_EQ(std::distance(fs::directory_iterator(root_ / "pc"), fs::directory_iterator()), 1)
        << "no temporary file is left";
  }
  EXPECT_EQ(beeps_, 1);
}

TEST_F(OperationsTest, AnUploadReadsTheFileAsItSendsIt) {
  // The size announced at the start holds: a file that shrinks fails, one
  // that grows is sent as long as it was.
  struct Case {
    std::size_t sizeMeanwhile;
    int result;
  };
  for (const Case& c : {Case{300, kFsFileFailed}, Case{2000, kFsFileOk}}) {
    SCOPED_TRACE(c.sizeMeanwhile);
    WriteFile(pc("up.bin"), Pattern(1000));
    duringProgress = [&] { fs::resize_file(pc("up.bin"), c.sizeMeanwhile); };
    EXPECT_EQ(PutFile(pc("up.bin"), "\\up.bin"), c.result);
    if (c.result == kFsFileOk) {
      EXPECT_TRUE(ReadFile(phone("up.bin")) == Pattern(1000)) << "content differs";
    }
  }
}

TEST_F(OperationsTest, JavaGameWithItsDescriptorAndTheRestart) {
  CreateInstallFolders();
  WriteFile(pc("x.jar"), Pattern(300));
  WriteFile(pc("x.jad"), Pattern(100));
  answer_ = os::kIdYes;
  EXPECT_EQ(PutFile(pc("x.jar"), "\\INSTALL JAVA GAME\\x.jar"), kFsFileOk);
  EXPECT_TRUE(ReadFile(phone("brew/mod/java_ams/config/games/x.jar")) == Pattern(300)) << "content differs";
  EXPECT_TRUE(ReadFile(phone("brew/mod/java_ams/config/games/x.jad")) == Pattern(100)) << "content differs";
  ASSERT_EQ(messages_.size(), 1u);
  EXPECT_EQ(messages_[0], "Phone has to be restarted for the installation to finish. Do it now?");
  const auto sent = SentPackets();
  ASSERT_GE(sent.size(), 2u);
  EXPECT_EQ(sent[sent.size() - 2], RestartPacket());
  EXPECT_EQ(sent.back(), RestartConfirmPacket());
}

TEST_F(OperationsTest, DroppedDescriptorSendsTheArchiveAsCompanion) {
  CreateInstallFolders();
  WriteFile(pc("y.jar"), Pattern(20));
  WriteFile(pc("y.jad"), Pattern(10));
  EXPECT_EQ(PutFile(pc("y.jad"), "\\INSTALL JAVA APP\\y.jad"), kFsFileOk);
  EXPECT_TRUE(ReadFile(phone("brew/mod/java_ams/config/apps/y.jad")) == Pattern(10)) << "content differs";
  EXPECT_TRUE(ReadFile(phone("brew/mod/java_ams/config/apps/y.jar")) == Pattern(20)) << "content differs";
  EXPECT_EQ(SentPackets().back(), WriteFirstPacket("brew/mod/java_ams/config/apps/y.jar", 20, Pattern(20)))
      << "answered No: nothing after the archive";
}

// A host copies a marked pair with one call per file: the second call finds
// its file sent already. A companion changed since is a new installation.
TEST_F(OperationsTest, TheCompanionJustInstalledIsNotSentAgain) {
  CreateInstallFolders();
  WriteFile(pc("x.jar"), Pattern(300));
  WriteFile(pc("x.jad"), Pattern(100));
  EXPECT_EQ(PutFile(pc("x.jar"), "\\INSTALL JAVA GAME\\x.jar"), kFsFileOk);
  const std::size_t sentForThePair = SentPackets().size();
  EXPECT_EQ(PutFile(pc("x.jad"), "\\INSTALL JAVA GAME\\x.jad"), kFsFileOk);
  EXPECT_EQ(SentPackets().size(), sentForThePair) << "nothing sent for the companion";
  EXPECT_EQ(messages_.size(), 1u) << "the restart offered once";
  EXPECT_EQ(PutFile(pc("x.jad"), "\\INSTALL JAVA APP\\x.jad"), kFsFileOk);
  EXPECT_EQ(messages_.size(), 2u) << "another install folder is another installation";
  WriteFile(pc("x.jar"), Pattern(301));
  EXPECT_EQ(PutFile(pc("x.jar"), "\\INSTALL JAVA APP\\x.jar"), kFsFileOk);
  EXPECT_EQ(messages_.size(), 3u) << "a changed file is sent again";
  EXPECT_TRUE(ReadFile(phone("brew/mod/java_ams/config/apps/x.jar")) == Pattern(301)) << "content differs";
}

TEST_F(OperationsTest, RefusedInstallationsSendNothing) {
  WriteFile(pc("game.JAR"), "j");
  WriteFile(pc("lonely.jar"), "j");
  EXPECT_EQ(PutFile(pc("game.JAR"), "\\INSTALL JAVA APP\\game.JAR"), kFsFileFailed);
  EXPECT_EQ(PutFile(pc("lonely.jar"), "\\INSTALL JAVA GAME\\lonely.jar"), kFsFileFailed);
  EXPECT_EQ(PutFile(pc("absent"), "\\absent"), kFsFileFailed);
  EXPECT_TRUE(device().Written().empty());
}

TEST_F(OperationsTest, ThemeCreatesItsFoldersDespiteLateReplies) {
  CreateInstallFolders();
  WriteFile(pc("t.thm"), Pattern(700));
  EXPECT_EQ(PutFile(pc("t.thm"), "\\INSTALL THEME\\t.thm"), kFsFileOk);
  EXPECT_TRUE(ReadFile(phone("brew/mod/cmgr/pp/thm/usr/t.thm")) == Pattern(700)) << "content differs";
  // Creating the folders asks for a listing each time; those replies come late.
  const auto sent = SentPackets();
  ASSERT_GE(sent.size(), 4u);
  EXPECT_EQ(sent[0], PathCommandPacket(kOpMakeDir, "brew/mod/cmgr/pp/thm"));
  EXPECT_EQ(sent[1], ListingPacket(kOpIterateDirs, "", 0));
  EXPECT_EQ(sent[2], PathCommandPacket(kOpMakeDir, "brew/mod/cmgr/pp/thm/usr"));
  EXPECT_EQ(messages_.size(), 1u) << "the restart offer";
  // A second theme: the folders exist now, the upload goes ahead all the same.
  EXPECT_EQ(PutFile(pc("t.thm"), "\\INSTALL THEME\\u.thm"), kFsFileOk);
  EXPECT_TRUE(fs::exists(phone("brew/mod/cmgr/pp/thm/usr/u.thm")));
}

TEST_F(OperationsTest, FolderCommandsFollowThePhonesStatus) {
  EXPECT_TRUE(MakeDirectory("\\new"));
  EXPECT_TRUE(fs::is_directory(phone("new")));
  EXPECT_FALSE(MakeDirectory("\\new")) << "exists";
  EXPECT_TRUE(MakeDirectory("\\[br]"));
  EXPECT_TRUE(fs::is_directory(phone("br")));
  EXPECT_FALSE(MakeDirectory("\\[]"));
  WriteFile(phone("new/f"), "f");
  EXPECT_FALSE(RemoveDirectory("\\new")) << "not empty";
  EXPECT_TRUE(DeleteFile("\\new\\f"));
  EXPECT_FALSE(DeleteFile("\\new\\f")) << "missing";
  EXPECT_TRUE(RemoveDirectory("\\new"));
  EXPECT_FALSE(RemoveDirectory("\\new")) << "missing";
  fs::create_directories(phone("data"));
  List("\\data");
  EXPECT_TRUE(MakeDirectory("\\data\\sub"));
  EXPECT_TRUE(fs::is_directory(phone("data/sub"))) << "the converted host path, not the listed folder joined to it";
  EXPECT_TRUE(RemoveDirectory("\\data\\sub\\")) << "a trailing separator names the folder";

  // Path lengths: 125 bytes (a length byte of 0x7E) go out as they are; 255
  // and more do not fit the length byte and are refused before anything is sent.
  const std::string long125 = "data/" + std::string(120, 'n');
  EXPECT_TRUE(MakeDirectory("\\" + long125));
  EXPECT_TRUE(fs::is_directory(phone(long125)));
  const std::size_t sentBefore = device().Written().size();
  EXPECT_TRUE(messages_.empty());
  EXPECT_FALSE(DeleteFile("\\data\\" + std::string(250, 'd')));
  EXPECT_EQ(device().Written().size(), sentBefore);
  ASSERT_EQ(messages_.size(), 1u);
  EXPECT_EQ(messages_[0], "The phone path is 255 bytes long; a request to the phone carries at most 254.");
}

TEST_F(OperationsTest, DamagedRepliesNeverGiveACopiedFile) {
  WriteFile(phone("d.bin"), Pattern(2000));
  WriteFile(pc("d.bin"), "the user's own file");
  for (std::uint64_t nth = 1; nth <= 4; ++nth) {
    SCOPED_TRACE(nth);
    phonesim::FaultOptions faults;
    faults.flipNth = nth;
    faults.seed = static_cast<std::uint32_t>(nth);
    StartPhone(faults);
    EXPECT_EQ(GetFile("\\d.bin", pc("d.bin"), kFsCopyOverwrite), kFsFileFailed) << "a failure, not an abort";
    EXPECT_EQ(ReadFile(pc("d.bin")), "the user's own file");
    EXPECT_EQ(std::distance(fs::directory_iterator(root_ / "pc"), fs::directory_iterator()), 1)
        << "no temporary file is left";
  }
  phonesim::FaultOptions refusing;
  refusing.statusByOp[kOpWrite] = kStatusWriteFailed;
  StartPhone(refusing);
  WriteFile(pc("257.bin"), Pattern(257));
  EXPECT_EQ(PutFile(pc("257.bin"), "\\257.bin"), kFsFileFailed) << "one byte left unsent is no abort";
}

TEST_F(OperationsTest, RepliesRepeatedOnTheLineAreNotTakenTwice) {
  // Before each reply the phone sends the one before it once more.
  device().onFrame = [this, previous = Bytes()](const Bytes& frame) mutable {
    Bytes reply;
    for (const auto& piece : phone_->OnFrame(frame).pieces) reply += piece.bytes;
    device().Deliver(previous + reply);
    previous = reply;
  };
  fs::create_directories(phone("a"));
  fs::create_directories(phone("b"));
  WriteFile(phone("c"), Pattern(1000));
  EXPECT_EQ(List("\\"), (std::vector<std::string>{"a/", "b/", "c", "INSTALL JAVA GAME/", "INSTALL JAVA APP/",
                                                  "INSTALL THEME/"}));
  ASSERT_EQ(GetFile("\\c", pc("c"), 0), kFsFileOk);
  EXPECT_TRUE(ReadFile(pc("c")) == Pattern(1000)) << "content differs";
  EXPECT_TRUE(MakeDirectory("\\d"));
  EXPECT_EQ(device().Waiting(), 0u) << "the made folder's listing request was answered before it returned";
  EXPECT_EQ(List("\\"), (std::vector<std::string>{"a/", "b/", "d/", "c", "INSTALL JAVA GAME/", "INSTALL JAVA APP/",
                                                  "INSTALL THEME/"}));
}

TEST_F(OperationsTest, PhoneThatKeepsAskingForTheRequestAgainIsGivenUp) {
  phonesim::FaultOptions faults;
  faults.statusByOp[kOpRead] = 6;
  StartPhone(faults);
  WriteFile(phone("r"), "r");
  EXPECT_EQ(GetFile("\\r", pc("r"), 0), kFsFileFailed);
  const auto sent = SentPackets();
  EXPECT_EQ(sent.size(), 5u) << "the first request, three repeats and the abort";
  EXPECT_EQ(sent.back(), AbortPacket());
}

}  // namespace
