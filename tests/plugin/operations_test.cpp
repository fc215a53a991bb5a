// The phone operations end to end inside the process: the module's code
// against the emulator's phone logic behind an in-memory device.
#include <filesystem>
#include <fstream>
#include <memory>

#include "emulator/PhoneEmulator.h"
#include "phone/Operations.h"
#include "tests/plugin/PluginFixture.h"

namespace fs = std::filesystem;

namespace {

int progressCalls = 0;
int abortAtCall = 0;  // 0: never
int lastPercent = -1;

int FS_CALL Progress(int, char*, char*, int percent) {
  ++progressCalls;
  lastPercent = percent;
  return progressCalls == abortAtCall ? 1 : 0;
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

  // Every entry of a folder listing, as FsFindFirst/FsFindNext report them.
  std::vector<std::string> List(const std::string& hostPath) {
    std::vector<std::string> names;
    WIN32_FIND_DATAA data;
    if (FindFirst(hostPath, &data) == INVALID_HANDLE_VALUE) return names;
    do {
      std::string name = data.cFileName;
      if (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) name += "/";
      names.push_back(name);
    } while (FindNext(&data) && names.size() < 2000);
    return names;
  }

  // The folders the installations write to, as a phone comes with them.
  void CreateInstallFolders() {
    fs::create_directories(phone("brew/mod/java_ams/config/games"));
    fs::create_directories(phone("brew/mod/java_ams/config/apps"));
    fs::create_directories(phone("brew/mod/cmgr/pp"));
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
  WIN32_FIND_DATAA data;
  ASSERT_NE(FindFirst("\\", &data), INVALID_HANDLE_VALUE);
  EXPECT_STREQ(data.cFileName, "a");
  EXPECT_EQ(data.dwFileAttributes, FILE_ATTRIBUTE_DIRECTORY);
  std::vector<std::pair<std::string, DWORD>> rest;
  while (FindNext(&data)) rest.emplace_back(data.cFileName, data.nFileSizeLow);
  const std::vector<std::pair<std::string, DWORD>> expected = {
      {"b", 0}, {"c", 10}, {"INSTALL JAVA GAME", 0}, {"INSTALL JAVA APP", 0}, {"INSTALL THEME", 0}};
  EXPECT_EQ(rest, expected);
  EXPECT_FALSE(FindNext(&data)) << "stays at the end";

  std::vector<std::string> requests;
  for (const Bytes& p : SentPackets()) {
    requests.push_back((p[1] == kOpIterateDirs ? "d" : "f") + std::to_string(ReadLe16(p, 2)));
  }
  const std::vector<std::string> wire = {"d0", "d1", "d2", "f0", "f1", "f0", "f1", "f0", "f1"};
  // The first eight are the listing itself; the ninth is the extra call above.
  EXPECT_EQ(std::vector<std::string>(requests.begin(), requests.begin() + 8),
            std::vector<std::string>(wire.begin(), wire.begin() + 8));
}

TEST_F(OperationsTest, EntriesCarryThePhonesDateInAllThreeTimes) {
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
  const auto ticks = [](const FILETIME& t) { return (std::uint64_t{t.dwHighDateTime} << 32) | t.dwLowDateTime; };
  WIN32_FIND_DATAA data;
  std::vector<std::uint64_t> dates;
  for (bool more = FindFirst("\\", &data) != INVALID_HANDLE_VALUE; more; more = FindNext(&data)) {
    EXPECT_EQ(ticks(data.ftCreationTime), ticks(data.ftLastWriteTime)) << data.cFileName;
    EXPECT_EQ(ticks(data.ftLastAccessTime), ticks(data.ftLastWriteTime)) << data.cFileName;
    dates.push_back(ticks(data.ftLastWriteTime));
  }
  // Folder a and file c carry the phone's date; the install folders 1980-01-06 00:00 UTC.
  const std::uint64_t phoneDate = 134412480000000000u, phoneEpoch = 119604384000000000u;
  EXPECT_EQ(dates, (std::vector<std::uint64_t>{phoneDate, phoneDate, phoneEpoch, phoneEpoch, phoneEpoch}));
}

TEST_F(OperationsTest, SubFolderAndEmptyFoldersAndInstallPaths) {
  fs::create_directories(phone("data/a"));
  WriteFile(phone("data/c"), "1234");
  fs::create_directories(phone("empty"));
  EXPECT_EQ(List("\\data"), (std::vector<std::string>{"a/", "c"}));
  EXPECT_TRUE(List("\\empty").empty());
  EXPECT_EQ(os::LastError(), 18);
  const auto sentBefore = device().Written().size();
  for (const char* path : {"\\INSTALL THEME\\", "\\INSTALL JAVA GAME", "\\INSTALL JAVA APP\\"}) {
    os::SetLastError(0);
    WIN32_FIND_DATAA data;
    EXPECT_EQ(FindFirst(path, &data), INVALID_HANDLE_VALUE);
    EXPECT_EQ(os::LastError(), 18);
  }
  EXPECT_EQ(device().Written().size(), sentBefore) << "nothing sent for the install folders";
  EXPECT_TRUE(messages_.empty());
  fs::remove_all(root_ / "phone");
  fs::create_directories(root_ / "phone");
  EXPECT_TRUE(List("\\").empty()) << "an empty root offers no install folders";
}

TEST_F(OperationsTest, FolderThePhoneCannotListShowsTheError) {
  WIN32_FIND_DATAA data;
  EXPECT_EQ(FindFirst("\\missing", &data), INVALID_HANDLE_VALUE);
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
  // Index 126 of each phase is asked for as 127 on the wire, and so is 382.
  EXPECT_EQ(names.size(), 2u * 299u);
  EXPECT_EQ(std::count(names.begin(), names.end(), "d126/"), 0);
  EXPECT_EQ(std::count(names.begin(), names.end(), "d299/"), 1);
  EXPECT_EQ(std::count(names.begin(), names.end(), "f299"), 1);
  EXPECT_EQ(std::count(names.begin(), names.end(), "f256"), 1);
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
  EXPECT_EQ(MakeDirectory("\\new"), -1);
  EXPECT_TRUE(fs::is_directory(phone("new")));
  EXPECT_EQ(MakeDirectory("\\new"), 0) << "exists";
  EXPECT_EQ(MakeDirectory("\\[br]"), -1);
  EXPECT_TRUE(fs::is_directory(phone("br")));
  EXPECT_EQ(MakeDirectory("\\[]"), 0);
  WriteFile(phone("new/f"), "f");
  EXPECT_EQ(RemoveDirectory("\\new"), 0) << "not empty";
  EXPECT_EQ(DeleteFile("\\new\\f"), -1);
  EXPECT_EQ(DeleteFile("\\new\\f"), 0) << "missing";
  EXPECT_EQ(RemoveDirectory("\\new"), -1);
  EXPECT_EQ(RemoveDirectory("\\new"), 0) << "missing";
  fs::create_directories(phone("data"));
  List("\\data");
  EXPECT_EQ(MakeDirectory("\\data\\sub"), -1);
  EXPECT_TRUE(fs::is_directory(phone("data/sub"))) << "the converted host path, not the listed folder joined to it";
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
  EXPECT_EQ(MakeDirectory("\\d"), -1);
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
  EXPECT_EQ(SentPackets().size(), 4u) << "the first request and three repeats";
}

}  // namespace
