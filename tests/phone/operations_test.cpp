// The phone operations end to end inside the process: the module's code
// against the emulator's phone logic behind an in-memory device.
#include <deque>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <map>
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
    deliverer_.reset();
    PluginFixture::TearDown();
    fs::remove_all(root_);
  }

  void StartPhone(phonesim::FaultOptions faults, std::size_t chunk = 256) {
    files_ = std::make_unique<phonesim::PhoneFileSystem>(root_ / "phone");
    phone_ = std::make_unique<phonesim::PhoneEmulator>(*files_, chunk, faults);
    timed_.clear();
    device().onFrame = [this](const Bytes& frame) {
      for (const auto& piece : phone_->OnFrame(frame).pieces) device().Deliver(piece.bytes);
    };
  }

  // The emulator's phone with its delays kept, on the manual clock: each
  // piece comes its delay after the request, and never before the one ahead.
  void StartTimedPhone(phonesim::FaultOptions faults) {
    StartPhone(faults);
    device().onFrame = [this](const Bytes& frame) {
      for (const auto& piece : phone_->OnFrame(frame).pieces) {
        const std::uint64_t due = os::ManualClockMilliseconds() + piece.delayMs;
        timed_.push_back({timed_.empty() ? due : std::max(due, timed_.back().first), piece.bytes});
      }
      DeliverDue();
    };
    deliverer_ = std::make_unique<os::Timer>([this] { DeliverDue(); });
    deliverer_->SetInterval(1);
    deliverer_->SetEnabled(true);
  }
  void DeliverDue() {
    while (!timed_.empty() && timed_.front().first <= os::ManualClockMilliseconds()) {
      const Bytes bytes = std::move(timed_.front().second);
      timed_.pop_front();
      device().Deliver(bytes);
    }
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
    if (FindFirst(hostPath, entry) != ListingStep::kEntry) return names;
    do {
      names.push_back(entry.Name + (entry.IsDirectory ? "/" : ""));
    } while (FindNext(entry) == ListingStep::kEntry && names.size() < 2000);
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
  std::deque<std::pair<std::uint64_t, Bytes>> timed_;  // pieces of the timed phone and when they come
  std::unique_ptr<os::Timer> deliverer_;
};

TEST_F(OperationsTest, RootListsFoldersFilesThenInstallFolders) {
  fs::create_directories(phone("a"));
  fs::create_directories(phone("b"));
  WriteFile(phone("c"), Bytes(10, 'c'));
  TFile entry;
  ASSERT_EQ(FindFirst("\\", entry), ListingStep::kEntry);
  EXPECT_EQ(entry.Name, "a");
  EXPECT_TRUE(entry.IsDirectory);
  std::vector<std::pair<std::string, std::int32_t>> rest;
  while (FindNext(entry) == ListingStep::kEntry) rest.emplace_back(entry.Name, entry.EntrySize);
  const std::vector<std::pair<std::string, std::int32_t>> expected = {
      {"b", 0}, {"c", 10}, {"INSTALL JAVA GAME", 0}, {"INSTALL JAVA APP", 0}, {"INSTALL THEME", 0}};
  EXPECT_EQ(rest, expected);
  EXPECT_EQ(FindNext(entry), ListingStep::kNoEntries) << "stays at the end";

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
  for (bool more = FindFirst("\\", entry) == ListingStep::kEntry; more; more = FindNext(entry) == ListingStep::kEntry) {
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
  EXPECT_EQ(FindFirst("\\empty", entry), ListingStep::kNoEntries);
  const auto sentBefore = device().Written().size();
  for (const char* path : {"\\INSTALL THEME\\", "\\INSTALL JAVA GAME", "\\INSTALL JAVA APP\\"}) {
    TFile entry;
    EXPECT_EQ(FindFirst(path, entry), ListingStep::kNoEntries);
  }
  EXPECT_EQ(device().Written().size(), sentBefore) << "nothing sent for the install folders";
  EXPECT_TRUE(messages_.empty());
  fs::remove_all(root_ / "phone");
  fs::create_directories(root_ / "phone");
  EXPECT_TRUE(List("\\").empty()) << "an empty root offers no install folders";
}

TEST_F(OperationsTest, FolderThePhoneCannotListShowsTheError) {
  TFile entry;
  EXPECT_EQ(FindFirst("\\missing", entry), ListingStep::kFailed);
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
  ASSERT_EQ(FindFirst("\\big", entry), ListingStep::kEntry);
  EXPECT_EQ(entry.Name, "d0");
  State.Listing.Sequence = 65534;  // as after that many sub-folders
  ASSERT_EQ(FindNext(entry), ListingStep::kEntry);
  EXPECT_EQ(entry.Name, "d65534");
  ASSERT_EQ(FindNext(entry), ListingStep::kEntry);
  EXPECT_EQ(entry.Name, "d65535");
  EXPECT_TRUE(messages_.empty());
  EXPECT_EQ(FindNext(entry), ListingStep::kNoEntries) << "no index 65536 to ask for: on to the files, of which there are none";
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
  const auto started = os::ManualClockMilliseconds();
  ASSERT_EQ(PutFile(pc("x.txt"), "\\data\\x.txt"), kFsFileOk);
  EXPECT_LT(os::ManualClockMilliseconds() - started, 500u) << "the abort's answer was awaited to the idle limit";
  const auto sent = SentPackets();
  ASSERT_EQ(sent.size(), 4u);
  EXPECT_EQ(sent[0], WriteFirstPacket("data/x.txt", 300, data.substr(0, 256)));
  EXPECT_EQ(sent[1], WriteNextPacket(1, data.substr(256)));
  // The size check: the phone is asked for the file, and the read aborted.
  EXPECT_EQ(sent[2], ReadFirstPacket("data/x.txt"));
  EXPECT_EQ(sent[3], AbortPacket());
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
  // Later than the idle limit of the fast ticks (51 ms), sooner than two.
  phonesim::FaultOptions lateAbort;  // every abort answered so late
  lateAbort.lateAbortMs = 80;
  phonesim::FaultOptions lateFirstReply;
  lateFirstReply.lateNth = 1;
  lateFirstReply.lateMs = 80;
  phonesim::FaultOptions lateReplyAndAbort = lateFirstReply;
  lateReplyAndAbort.lateAbortMs = 80;
  // Listings taken one after another list what a fresh phone lists.
  auto ListsStayWhole = [&](int times) {
    std::vector<std::vector<std::string>> listings;
    for (int i = 0; i < times; ++i) listings.push_back(List("\\"));
    StartPhone({});
    const std::vector<std::string> whole = List("\\");
    for (const auto& listing : listings) EXPECT_EQ(listing, whole);
    return whole.size() >= 8u;  // two folders, three files, three install folders
  };
  const struct {
    const char* name;
    Bytes lateRequest;  // the request whose reply comes late
    int held;           // that reply and the ones after it that wait for the next request
    int abortAt;        // the progress call that aborts the first operation; 0: none
    std::function<int()> first;
    int firstResult;
    std::function<bool()> next;
    std::optional<phonesim::FaultOptions> timed = std::nullopt;  // instead: the phone's own delays, on the clock
    std::vector<std::string> firstRetries = {};   // the retries the first operation logs, when timed
  } cases[] = {
      {"abort then get", AbortPacket(), 1, 3, [&] { return GetFile("\\f.bin", pc("f.bin"), 0); }, kFsFileAborted,
       [&] { return GetFile("\\g.bin", pc("g.bin"), kFsCopyOverwrite) == kFsFileOk && ReadFile(pc("g.bin")) == ReadFile(phone("g.bin")); }},
      {"abort then put", AbortPacket(), 1, 1, [&] { return PutFile(pc("up.bin"), "\\up.bin"); }, kFsFileAborted,
       [&] { return PutFile(pc("up.bin"), "\\up2.bin") == kFsFileOk && ReadFile(phone("up2.bin")) == Pattern(5000); }},
      {"retried then get", ReadFirstPacket("f.bin"), 1, 0, [&] { return GetFile("\\f.bin", pc("f.bin"), 0); },
       kFsFileOk,
       [&] { return GetFile("\\g.bin", pc("g.bin"), kFsCopyOverwrite) == kFsFileOk && ReadFile(pc("g.bin")) == ReadFile(phone("g.bin")); }},
      {"retried then list", ReadFirstPacket("f.bin"), 1, 0, [&] { return GetFile("\\f.bin", pc("f.bin"), 0); },
       kFsFileOk, [&] {
         return List("\\") == std::vector<std::string>{"f.bin", "g.bin", "up2.bin", "INSTALL JAVA GAME/",
                                                         "INSTALL JAVA APP/", "INSTALL THEME/"};
       }},
      // The abort's answer comes later than it is waited for: the next call
      // waits for it, and sends no second abort whose answer looks alike.
      {"abort answered beyond its wait then list", {}, 0, 3, [&] { return GetFile("\\f.bin", pc("f.bin"), 0); },
       kFsFileAborted, [&] { return ListsStayWhole(2); }, lateAbort},
      {"failure answered beyond the abort's wait then list", {}, 0, 0,
       [&] { return GetFile("\\missing.bin", pc("m.bin"), 0); }, kFsFileFailed, [&] { return ListsStayWhole(3); },
       lateAbort, {"retry: the phone asked for the file again", "retry: the phone asked for the file again"}},
      {"upload aborted beyond the abort's wait then list", {}, 0, 6, [&] { return PutFile(pc("up.bin"), "\\up3.bin"); },
       kFsFileAborted, [&] { return ListsStayWhole(3); }, lateAbort},
      // The reply and the abort's answer after it come only after the module
      // stopped waiting for them: the next call waits for what is owed.
      {"failure beyond the abort's wait then get", {}, 0, 0, [&] { return GetFile("\\f.bin", pc("f.bin"), 0); },
       kFsFileFailed,
       [&] { return GetFile("\\g.bin", pc("g.bin"), kFsCopyOverwrite) == kFsFileOk && ReadFile(pc("g.bin")) == ReadFile(phone("g.bin")); },
       lateReplyAndAbort},
      // A refusal that comes late, while the abort's answer is awaited, is not that answer.
      {"late refusal then get", {}, 0, 0, [&] { return GetFile("\\missing.bin", pc("m.bin"), 0); }, kFsFileFailed,
       [&] { return GetFile("\\g.bin", pc("g.bin"), kFsCopyOverwrite) == kFsFileOk && ReadFile(pc("g.bin")) == ReadFile(phone("g.bin")); },
       lateFirstReply, {"retry: the phone stopped answering", "retry: the phone asked for the file again"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    std::vector<std::string> retries;
    Ui.LogDetail = [&](const std::string& text) { retries.push_back(text); };
    if (c.timed) {
      fs::create_directories(phone("brew"));
      fs::create_directories(phone("dir1"));
      StartTimedPhone(*c.timed);
    }
    Bytes held;
    int toHold = -1;  // not yet seen the late request
    if (!c.timed) {
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
    }
    progressCalls = 0;
    abortAtCall = c.abortAt;
    EXPECT_EQ(c.first(), c.firstResult);
    if (c.firstResult == kFsFileOk) {
      EXPECT_TRUE(ReadFile(pc("f.bin")) == ReadFile(phone("f.bin"))) << "the retry took the late reply";
    }
    if (c.timed) {
      EXPECT_EQ(retries, c.firstRetries);
    }
    abortAtCall = 0;
    retries.clear();
    EXPECT_TRUE(c.next());
    if (c.timed) {
      EXPECT_TRUE(retries.empty()) << retries.front();
    }
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
  const auto sent = SentPackets();
  ASSERT_GE(sent.size(), 3u);
  EXPECT_EQ(sent[sent.size() - 3], WriteFirstPacket("brew/mod/java_ams/config/apps/y.jar", 20, Pattern(20)))
      << "answered No: nothing after the archive and its size check";
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

TEST_F(OperationsTest, RefusedUploadsSendNothingAndKeepNoFileOpen) {
  WriteFile(pc("game.JAR"), "j");
  WriteFile(pc("lonely.jar"), "j");
  std::ofstream(pc("huge")).close();
  fs::resize_file(pc("huge"), std::uint64_t{1} << 32);  // sparse; one byte more than the size field carries
  const auto openFiles = [] {
    return std::distance(fs::directory_iterator("/proc/self/fd"), fs::directory_iterator());
  };
  const auto openBefore = openFiles();
  EXPECT_EQ(PutFile(pc("game.JAR"), "\\INSTALL JAVA APP\\game.JAR"), kFsFileFailed);
  EXPECT_EQ(PutFile(pc("lonely.jar"), "\\INSTALL JAVA GAME\\lonely.jar"), kFsFileFailed);
  EXPECT_EQ(PutFile(pc("absent"), "\\absent"), kFsFileFailed);
  EXPECT_EQ(PutFile(pc("huge"), "\\huge"), kFsFileFailed);
  EXPECT_TRUE(device().Written().empty());
  EXPECT_EQ(openFiles(), openBefore) << "a refused file stays open";
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

// What the line does to one request or its reply.
enum class LineFault {
  kRequestLost,    // the phone never sees the request
  kRequestFlipped, // the phone sees a bad checksum and stays silent
  kReplyLost,
  kReplyFlipped,   // one bit of the reply
  kGarbage,        // a few stray bytes before the reply
  kNoise,          // a long burst of stray bytes before the reply
  kStale,          // the request is carried out, the previous reply comes instead
  kSplit,          // the reply comes in two pieces
  kDuplicated,     // the reply comes twice
};

class LineFaultsTest : public OperationsTest {
 protected:
  void SetUp() override {
    OperationsTest::SetUp();
    Ui.LogDetail = [this](const std::string& text) { retries_.push_back(text); };
    Ui.LogError = [this](const std::string& text) { failures_.push_back(text); };
  }

  // The emulator's phone behind a line that does `faults` to the requests
  // numbered (from 1) as the map says; `every` to every reply from then on.
  void StartFaultyLine(std::map<int, LineFault> faults, std::optional<LineFault> every = std::nullopt) {
    device().onFrame = [this, faults, every, count = 0, previous = Bytes()](const Bytes& frame) mutable {
      const auto found = faults.find(++count);
      std::optional<LineFault> fault = found == faults.end() ? every : found->second;
      if (fault == LineFault::kRequestLost) return;
      Bytes request = frame;
      if (fault == LineFault::kRequestFlipped) request[0] = static_cast<char>(request[0] ^ 0x10);
      Bytes reply;
      for (const auto& piece : phone_->OnFrame(request).pieces) reply += piece.bytes;
      const Bytes genuine = reply;
      switch (fault.value_or(LineFault::kSplit)) {
        case LineFault::kReplyLost: reply.clear(); break;
        case LineFault::kReplyFlipped: reply[reply.size() / 2] = static_cast<char>(reply[reply.size() / 2] ^ 0x04); break;
        case LineFault::kGarbage: reply = Hex({0x13, 0x00, 0xAB}) + reply; break;
        case LineFault::kNoise: reply = Bytes(3000, '\x55') + reply; break;
        case LineFault::kStale: reply = previous; break;
        case LineFault::kDuplicated: reply += reply; break;
        default: break;
      }
      previous = genuine;
      if (fault == LineFault::kSplit && reply.size() > 1) {
        device().Deliver(reply.substr(0, reply.size() / 2));
        reply.erase(0, reply.size() / 2);
      }
      if (!reply.empty()) device().Deliver(reply);
    };
  }

  std::vector<std::string> retries_;
  std::vector<std::string> failures_;
};

// One fault anywhere in a transfer costs at most a retry: the copy ends with
// 0 and the very file, both ways.
TEST_F(LineFaultsTest, OneFaultInATransferEndsWithTheFileAfterARetry) {
  const Bytes data = Pattern(1300);  // six chunks
  WriteFile(phone("d.bin"), data);
  WriteFile(pc("up.bin"), data);
  const LineFault faults[] = {LineFault::kRequestLost, LineFault::kRequestFlipped, LineFault::kReplyLost,
                              LineFault::kReplyFlipped, LineFault::kGarbage, LineFault::kNoise,
                              LineFault::kStale, LineFault::kSplit};
  for (const LineFault fault : faults) {
    for (const int nth : {1, 3, 6, 7}) {  // the first request, the middle, the last chunk, the size check
      for (const bool download : {true, false}) {
        SCOPED_TRACE(std::to_string(static_cast<int>(fault)) + (download ? " get #" : " put #") + std::to_string(nth));
        StartPhone({});
        StartFaultyLine({{nth, fault}});
        fs::remove(phone("up.bin"));
        WriteFile(pc("d.bin"), "the user's own file");
        const int result = download ? GetFile("\\d.bin", pc("d.bin"), kFsCopyOverwrite) : PutFile(pc("up.bin"), "\\up.bin");
        EXPECT_EQ(result, kFsFileOk);
        EXPECT_TRUE(ReadFile(download ? fs::path(pc("d.bin")) : phone("up.bin")) == data) << "content differs";
        EXPECT_LE(retries_.size(), 1u);
        EXPECT_TRUE(failures_.empty()) << failures_.front();
        retries_.clear();
        failures_.clear();
      }
    }
  }
}

// Faults that a retry cannot mend end the copy with 4 within the bound; the
// previous file stays, and no temporary file is left.
TEST_F(LineFaultsTest, FaultsBeyondTheRetriesEndWithTheFailureAndThePreviousFile) {
  WriteFile(phone("d.bin"), Pattern(1300));
  WriteFile(pc("up.bin"), Pattern(1300));
  const struct {
    const char* name;
    std::map<int, LineFault> faults;
    std::optional<LineFault> every;
    std::size_t retries;
  } cases[] = {
      // The abort's answer fails as well: a phone that answers nothing usable is not asked again.
      {"every reply damaged", {}, LineFault::kReplyFlipped, 0},
      {"every reply lost", {}, LineFault::kReplyLost, 0},
      // Each fault costs a restart: the third has none left.
      {"three faults", {{2, LineFault::kReplyFlipped}, {6, LineFault::kRequestLost}, {8, LineFault::kReplyFlipped}}, {}, 2},
  };
  for (const auto& c : cases) {
    for (const bool download : {true, false}) {
      SCOPED_TRACE(std::string(c.name) + (download ? " get" : " put"));
      StartPhone({});
      WriteFile(phone("up.bin"), "the previous copy");
      WriteFile(pc("d.bin"), "the user's own file");
      StartFaultyLine(c.faults, c.every);
      const std::size_t before = device().Written().size();
      const int result = download ? GetFile("\\d.bin", pc("d.bin"), kFsCopyOverwrite) : PutFile(pc("up.bin"), "\\up.bin");
      EXPECT_EQ(result, kFsFileFailed);
      EXPECT_EQ(retries_.size(), c.retries);
      EXPECT_EQ(failures_.size(), 1u);
      EXPECT_LT(device().Written().size() - before, 40u) << "bounded";
      EXPECT_EQ(ReadFile(pc("d.bin")), "the user's own file");
      EXPECT_EQ(ReadFile(phone("up.bin")), "the previous copy");
      EXPECT_EQ(std::distance(fs::directory_iterator(root_ / "pc"), fs::directory_iterator()), 2)
          << "no temporary file is left";
      retries_.clear();
      failures_.clear();
    }
  }
}

TEST_F(LineFaultsTest, RestartsAreCountedAcrossEveryCause) {
  WriteFile(phone("d.bin"), Pattern(1300));
  // A fault on the first reply of a restart: two restarts, then the file.
  StartFaultyLine({{3, LineFault::kReplyFlipped}, {5, LineFault::kReplyLost}});
  EXPECT_EQ(GetFile("\\d.bin", pc("d.bin"), 0), kFsFileOk);
  EXPECT_TRUE(ReadFile(pc("d.bin")) == Pattern(1300)) << "content differs";
  EXPECT_EQ(retries_.size(), 2u);

  // A phone that answers every next-chunk read by asking for the file again
  // is given up after two restarts.
  for (const Bytes& askAgain : {Hex({0x14, 0x04}), Hex({0x59, 0x04, 0x06})}) {
    SCOPED_TRACE(phonesim::HexBytes(askAgain));
    retries_.clear();
    const std::size_t before = SentPackets().size();
    fs::remove(pc("d.bin"));
    StartPhoneExcept([&](const Bytes& frame) -> std::optional<Bytes> {
      if (frame.compare(0, 3, Hex({0x59, 0x04, 0x00})) == 0 || frame.compare(0, 2, Hex({0x59, 0x04})) != 0) {
        return std::nullopt;
      }
      return EncodeFrame(askAgain);
    });
    EXPECT_EQ(GetFile("\\d.bin", pc("d.bin"), 0), kFsFileFailed);
    EXPECT_EQ(retries_, (std::vector<std::string>(2, "retry: the phone asked for the file again")));
    const auto sent = SentPackets();
    const auto firstReads = std::count_if(sent.begin() + before, sent.end(), [](const Bytes& packet) {
      return packet.size() > 3 && packet.compare(0, 3, Hex({0x59, 0x04, 0x00})) == 0;
    });
    EXPECT_EQ(firstReads, 3) << "the first read request and two restarts";
    EXPECT_FALSE(fs::exists(pc("d.bin")));
  }
}

TEST_F(LineFaultsTest, AWriteReplyRepeatedThenAChunkLostIsCaughtByTheSizeCheck) {
  WriteFile(phone("up.bin"), "the previous copy");
  WriteFile(pc("up.bin"), Pattern(1300));
  // The repeated reply is taken for the next chunk's: the module runs one
  // chunk ahead, and the last chunk's loss is answered by the one before it.
  StartFaultyLine({{2, LineFault::kDuplicated}, {6, LineFault::kRequestLost}});
  EXPECT_EQ(PutFile(pc("up.bin"), "\\up.bin"), kFsFileFailed);
  EXPECT_EQ(ReadFile(phone("up.bin")), "the previous copy");
  ASSERT_EQ(failures_.size(), 1u);
  EXPECT_EQ(failures_[0], "the phone holds 17 bytes of the 1300 sent to up.bin");
}

TEST_F(LineFaultsTest, ListingsAndCommandsAreAskedAgainOnce) {
  for (int i = 0; i < 5; ++i) fs::create_directories(phone("ten/d" + std::to_string(i)));
  for (int i = 0; i < 5; ++i) WriteFile(phone("ten/f" + std::to_string(i)), "x");
  const std::vector<std::string> all = {"d0/", "d1/", "d2/", "d3/", "d4/", "f0", "f1", "f2", "f3", "f4"};
  for (const LineFault fault : {LineFault::kRequestLost, LineFault::kReplyFlipped, LineFault::kReplyLost}) {
    SCOPED_TRACE(static_cast<int>(fault));
    StartFaultyLine({{4, fault}});  // in the middle of the folder
    EXPECT_EQ(List("\\ten"), all);
    EXPECT_EQ(retries_.size(), 1u);
    EXPECT_TRUE(messages_.empty());
    retries_.clear();
  }
  // The same request lost twice: the listing fails, it does not end as complete.
  StartFaultyLine({{4, LineFault::kRequestLost}, {6, LineFault::kRequestLost}});
  TFile entry;
  ASSERT_EQ(FindFirst("\\ten", entry), ListingStep::kEntry);
  ListingStep step = ListingStep::kEntry;
  int entries = 1;
  while ((step = FindNext(entry)) == ListingStep::kEntry) ++entries;
  EXPECT_EQ(step, ListingStep::kFailed);
  EXPECT_EQ(entries, 3);
  EXPECT_EQ(messages_, std::vector<std::string>{"Error while reading file system!"});

  // Folder commands whose reply is lost are sent again; what the first did stands.
  retries_.clear();
  StartFaultyLine({{1, LineFault::kReplyLost}});
  EXPECT_TRUE(MakeDirectory("\\new"));
  StartFaultyLine({{1, LineFault::kReplyLost}});
  EXPECT_TRUE(DeleteFile("\\ten\\f0"));
  StartFaultyLine({{1, LineFault::kReplyFlipped}});
  EXPECT_TRUE(RemoveDirectory("\\new"));
  EXPECT_EQ(retries_.size(), 3u);
  EXPECT_FALSE(fs::exists(phone("new")));
  EXPECT_FALSE(fs::exists(phone("ten/f0")));
  // A copy the user aborted leaves nothing that keeps a later command from its retry.
  WriteFile(phone("big.bin"), Pattern(5000));
  StartPhone({});
  progressCalls = 0;
  abortAtCall = 2;
  EXPECT_EQ(GetFile("\\big.bin", pc("big.bin"), 0), kFsFileAborted);
  abortAtCall = 0;
  retries_.clear();
  StartFaultyLine({{1, LineFault::kReplyLost}});
  EXPECT_TRUE(MakeDirectory("\\after"));
  EXPECT_EQ(retries_.size(), 1u);
  // A phone's failure status is an answer: never sent again.
  retries_.clear();
  EXPECT_FALSE(DeleteFile("\\ten\\f0"));
  EXPECT_TRUE(retries_.empty());
}

TEST_F(OperationsTest, APhonesRefusalIsNotRetried) {
  phonesim::FaultOptions refusing;
  refusing.statusByOp[kOpWrite] = kStatusWriteFailed;
  StartPhone(refusing);
  WriteFile(pc("257.bin"), Pattern(257));
  EXPECT_EQ(PutFile(pc("257.bin"), "\257.bin"), kFsFileFailed) << "one byte left unsent is no abort";
  EXPECT_EQ(SentPackets().size(), 2u) << "the first write request and the abort";
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
  EXPECT_EQ(sent.size(), 4u) << "the first request, two restarts and the abort";
  EXPECT_EQ(sent.back(), AbortPacket());
}

}  // namespace
