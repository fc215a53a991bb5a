// The module as a host meets it: loaded with dlopen, driven through its
// exports with '/' host paths, and unloaded with or without FsDisconnect.
#include <dlfcn.h>
#include <gtest/gtest.h>
#include <sys/resource.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <deque>
#include <filesystem>
#include <fstream>
#include <functional>
#include <optional>
#include <thread>

#include "plugin/fsplugin.h"
#include "tests/phone/PtyPhone.h"
#include "tests/platform/pty.h"

namespace fs = std::filesystem;

namespace {

std::size_t ThreadCount() {
  std::size_t count = 0;
  for ([[maybe_unused]] const auto& entry : fs::directory_iterator("/proc/self/task")) ++count;
  return count;
}

bool WaitForThreadCount(std::size_t expected) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(3);
  while (ThreadCount() != expected && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return ThreadCount() == expected;
}

class Module {
 public:
  Module() : handle_(dlopen(VELK_MODULE_PATH, RTLD_NOW | RTLD_LOCAL)) {}
  ~Module() { Unload(); }
  bool Loaded() const { return handle_ != nullptr; }
  void Unload() {
    if (handle_) dlclose(handle_);
    handle_ = nullptr;
  }
  template <typename Function>
  Function* Get(const char* name) {
    return reinterpret_cast<Function*>(dlsym(handle_, name));
  }

 private:
  void* handle_;
};

// A host of the test's own: it records what the module logs and asks, and
// answers from a script; with the script spent it answers Cancel (or No).
struct ScriptedHost {
  struct Request {
    int type;
    std::string text;
    std::string prefilled;
  };
  static inline std::vector<std::string> log;  // "TYPE TEXT"
  static inline std::vector<Request> requests;
  static inline std::deque<std::optional<std::string>> answers;  // nullopt: Cancel

  static void Reset() {
    log.clear();
    requests.clear();
    answers.clear();
  }
  static void FS_CALL Log(int, int type, char* text) { log.push_back(std::to_string(type) + " " + text); }
  static BOOL FS_CALL Ask(int, int type, char*, char* text, char* answer, int answerLength) {
    requests.push_back({type, text ? text : "", answer && type == kFsRequestText ? answer : ""});
    if (answers.empty()) return 0;
    const std::optional<std::string> reply = answers.front();
    answers.pop_front();
    if (reply && type == kFsRequestText) {
      std::snprintf(answer, static_cast<std::size_t>(answerLength), "%s", reply->c_str());
    }
    return reply ? 1 : 0;
  }
};

std::vector<int> RequestTypes() {
  std::vector<int> types;
  for (const auto& request : ScriptedHost::requests) types.push_back(request.type);
  return types;
}

class ModuleTest : public ::testing::Test {
 protected:
  void SetUp() override {
    root_ = fs::path(::testing::TempDir()) / "velk-module-phone";
    fs::remove_all(root_);
    fs::create_directories(root_ / "alpha");
    std::ofstream(root_ / "beta.txt") << "beta";
    // The user's settings folder of these tests: empty unless a test writes it.
    configHome_ = fs::path(::testing::TempDir()) / "velk-module-config";
    fs::remove_all(configHome_);
    setenv("XDG_CONFIG_HOME", configHome_.c_str(), 1);
    ScriptedHost::Reset();
  }
  void TearDown() override {
    fs::remove(SettingsFile());
    fs::remove_all(root_);
    fs::remove_all(configHome_);
  }
  fs::path UserSettingsFile() const { return configHome_ / "velk-plugin" / "fsplugin.ini"; }
  // The module reads its settings beside the running program when it is loaded.
  static fs::path SettingsFile() { return fs::read_symlink("/proc/self/exe").parent_path() / "fsplugin.ini"; }
  static void WriteSettings(const std::string& port) {
    std::ofstream(SettingsFile()) << "[VLK]\nvelkport=" << port << "\nbaud=13\n";
  }
  fs::path root_;
  fs::path configHome_;
};

std::string FileText(const fs::path& path) {
  std::ifstream in(path);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

TEST_F(ModuleTest, LoadsAndUnloadsWithoutFsInit) {
  const std::size_t threads = ThreadCount();
  for (int i = 0; i < 3; ++i) {
    Module module;
    ASSERT_TRUE(module.Loaded()) << dlerror();
  }
  EXPECT_EQ(ThreadCount(), threads);
}

TEST_F(ModuleTest, InitWithoutAPortAndCallsAroundTheLifetime) {
  WriteSettings("/dev/velk-no-such-port");
  Module module;
  ASSERT_TRUE(module.Loaded()) << dlerror();
  auto init = module.Get<decltype(FsInit)>("FsInit");
  auto disconnect = module.Get<decltype(FsDisconnect)>("FsDisconnect");
  auto rootName = module.Get<decltype(FsGetDefRootName)>("FsGetDefRootName");
  auto mkdir = module.Get<decltype(FsMkDir)>("FsMkDir");
  auto get = module.Get<decltype(FsGetFile)>("FsGetFile");
  auto findNext = module.Get<decltype(FsFindNext)>("FsFindNext");
  ASSERT_TRUE(init && disconnect && rootName && mkdir && get && findNext);

  char buffer[64];
  std::memset(buffer, 0x5A, sizeof buffer);
  rootName(buffer, sizeof buffer);
  EXPECT_EQ(std::count(buffer, buffer + sizeof buffer, 0x5A), 64) << "nothing written";

  char newFolder[] = "/new";
  EXPECT_EQ(mkdir(newFolder), 0) << "exports before FsInit fail quietly";
  EXPECT_EQ(init(1, nullptr, nullptr, nullptr), 0);
  EXPECT_EQ(mkdir(newFolder), 0) << "the port is closed";
  EXPECT_EQ(init(1, nullptr, nullptr, nullptr), 0) << "a second FsInit";
  EXPECT_EQ(disconnect(nullptr), -1);
  char remote[] = "/beta.txt";
  std::string local = (root_ / "copy").string();
  EXPECT_EQ(get(remote, local.data(), 0, nullptr), kFsFileFailed) << "after FsDisconnect";
  WIN32_FIND_DATAA data;
  EXPECT_EQ(findNext(nullptr, &data), 0);
  EXPECT_EQ(disconnect(nullptr), -1);
}

TEST_F(ModuleTest, ListsWithSlashPathsAndUnloadsWithoutDisconnect) {
  const std::size_t threads = ThreadCount();
  PtyPhone phone(root_);
  WriteSettings(phone.PortPath());
  {
    Module module;
    ASSERT_TRUE(module.Loaded()) << dlerror();
    auto init = module.Get<decltype(FsInit)>("FsInit");
    auto findFirst = module.Get<decltype(FsFindFirst)>("FsFindFirst");
    auto findNext = module.Get<decltype(FsFindNext)>("FsFindNext");
    auto findClose = module.Get<decltype(FsFindClose)>("FsFindClose");
    ASSERT_EQ(init(7, nullptr, nullptr, nullptr), 0);
    WIN32_FIND_DATAA data;
    char root[] = "/";
    HANDLE search = findFirst(root, &data);
    ASSERT_NE(search, INVALID_HANDLE_VALUE) << "requests seen by the phone: " << phone.Requests();
    std::vector<std::string> names{data.cFileName};
    while (findNext(search, &data)) names.emplace_back(data.cFileName);
    EXPECT_EQ(findClose(search), 0);
    EXPECT_EQ(names, (std::vector<std::string>{"alpha", "beta.txt", "INSTALL JAVA GAME", "INSTALL JAVA APP",
                                               "INSTALL THEME"}));
    const auto requests = phone.Requests();
    char theme[] = "/INSTALL THEME/";
    EXPECT_EQ(findFirst(theme, &data), INVALID_HANDLE_VALUE);
    EXPECT_EQ(phone.Requests(), requests) << "nothing sent for an install folder";
    EXPECT_GT(ThreadCount(), threads + 1) << "the port's event thread runs";
  }
  EXPECT_TRUE(WaitForThreadCount(threads + 1)) << "only the phone's thread is left";
}

// A host copies a phone folder down and deletes it as a file manager walks
// it: folders listed with a trailing separator, then each entry acted on.
TEST_F(ModuleTest, FolderTreeIsCopiedDownAndDeletedAsAHostWalksIt) {
  fs::create_directories(root_ / "top/sub/deeper");
  fs::create_directories(root_ / "top/empty");
  std::ofstream(root_ / "top/one.bin") << std::string(700, 'o');
  std::ofstream(root_ / "top/sub/two.bin") << "two";
  std::ofstream(root_ / "top/sub/deeper/three.bin") << "";
  PtyPhone phone(root_);
  WriteSettings(phone.PortPath());
  Module module;
  ASSERT_TRUE(module.Loaded()) << dlerror();
  auto init = module.Get<decltype(FsInit)>("FsInit");
  auto findFirst = module.Get<decltype(FsFindFirst)>("FsFindFirst");
  auto findNext = module.Get<decltype(FsFindNext)>("FsFindNext");
  auto getFile = module.Get<decltype(FsGetFile)>("FsGetFile");
  auto deleteFile = module.Get<decltype(FsDeleteFile)>("FsDeleteFile");
  auto removeDir = module.Get<decltype(FsRemoveDir)>("FsRemoveDir");
  ASSERT_EQ(init(1, nullptr, nullptr, nullptr), 0);

  // Entries of a folder given as "/path/": name, and whether it is a folder.
  auto list = [&](std::string folder) {
    std::vector<std::pair<std::string, bool>> entries;
    WIN32_FIND_DATAA data;
    HANDLE search = findFirst(folder.data(), &data);
    for (bool more = search != INVALID_HANDLE_VALUE; more; more = findNext(search, &data) != 0) {
      entries.emplace_back(data.cFileName, (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0);
    }
    return entries;
  };
  const fs::path local = root_.parent_path() / "velk-module-copy";
  fs::remove_all(local);
  std::function<void(const std::string&, const fs::path&)> copy = [&](const std::string& folder, const fs::path& to) {
    fs::create_directories(to);
    for (const auto& [name, isFolder] : list(folder)) {
      if (isFolder) {
        copy(folder + name + "/", to / name);
        continue;
      }
      std::string remote = folder + name;
      std::string target = (to / name).string();
      EXPECT_EQ(getFile(remote.data(), target.data(), 0, nullptr), kFsFileOk) << remote;
    }
  };
  copy("/top/", local);
  const auto tree = [](const fs::path& top) {
    std::vector<std::string> items;
    for (const auto& item : fs::recursive_directory_iterator(top)) {
      items.push_back(fs::relative(item.path(), top).string() +
                      (item.is_directory() ? "/" : " " + std::to_string(item.file_size())));
    }
    std::sort(items.begin(), items.end());
    return items;
  };
  EXPECT_EQ(tree(local), tree(root_ / "top"));
  EXPECT_EQ(FileText(local / "sub/two.bin"), "two");

  std::function<void(const std::string&)> remove = [&](const std::string& folder) {
    for (const auto& [name, isFolder] : list(folder)) {
      std::string path = folder + name + (isFolder ? "/" : "");
      if (isFolder) remove(path);
      EXPECT_EQ(isFolder ? removeDir(path.data()) : deleteFile(path.data()), -1) << path;
    }
  };
  remove("/top/");
  std::string top = "/top/";
  EXPECT_EQ(removeDir(top.data()), -1);
  EXPECT_FALSE(fs::exists(root_ / "top"));
  fs::remove_all(local);
}

TEST_F(ModuleTest, HostCallbacksCarryMessagesConnectionAndReconnection) {
  fs::create_directories(root_ / "brew/mod/cmgr/pp");  // where themes go
  // The phone is reached through a link that a restarted phone takes over.
  const fs::path link = root_.parent_path() / "velk-module-link";
  auto phone = std::make_unique<PtyPhone>(root_);
  fs::remove(link);
  fs::create_symlink(phone->PortPath(), link);
  WriteSettings(link.string());
  Module module;
  ASSERT_TRUE(module.Loaded()) << dlerror();
  auto init = module.Get<decltype(FsInit)>("FsInit");
  auto findFirst = module.Get<decltype(FsFindFirst)>("FsFindFirst");
  auto putFile = module.Get<decltype(FsPutFile)>("FsPutFile");
  auto disconnect = module.Get<decltype(FsDisconnect)>("FsDisconnect");
  ASSERT_TRUE(init && findFirst && putFile && disconnect);
  ASSERT_EQ(init(3, nullptr, &ScriptedHost::Log, &ScriptedHost::Ask), 0);

  WIN32_FIND_DATAA data;
  char root[] = "/";
  auto listRoot = [&] { return findFirst(root, &data) != INVALID_HANDLE_VALUE; };
  ASSERT_TRUE(listRoot());
  ASSERT_TRUE(listRoot());
  EXPECT_EQ(ScriptedHost::log, (std::vector<std::string>{"1 CONNECT \\"})) << "announced once";

  std::string theme = (root_.parent_path() / "velk-module-theme.thm").string();
  std::ofstream(theme) << "theme";
  char target[] = "/INSTALL THEME/velk.thm";
  EXPECT_EQ(putFile(theme.data(), target, 0), kFsFileOk);
  fs::remove(theme);
  ASSERT_EQ(RequestTypes(), (std::vector<int>{kFsRequestMessageYesNo}));
  EXPECT_EQ(ScriptedHost::requests[0].text, "Phone has to be restarted for the installation to finish. Do it now?");

  // The phone goes away: the listings fail with messages through the host, and
  // the port that cannot be opened is logged with its name and the reason.
  phone.reset();
  fs::remove(link);  // a pseudo-terminal of another test may take the number set free
  ScriptedHost::requests.clear();
  EXPECT_FALSE(listRoot());
  EXPECT_FALSE(listRoot());
  ASSERT_EQ(RequestTypes(), (std::vector<int>{kFsRequestMessageOk, kFsRequestMessageOk}));
  EXPECT_EQ(ScriptedHost::requests[1].text, "Unable to open set com port!");
  EXPECT_EQ(ScriptedHost::log.back(), "6 Unable to open port " + link.string() + ": No such file or directory");

  // It comes back on the same link: the next root listing finds it.
  phone = std::make_unique<PtyPhone>(root_);
  fs::create_symlink(phone->PortPath(), link);
  EXPECT_TRUE(listRoot()) << "requests seen by the phone: " << phone->Requests();
  EXPECT_EQ(disconnect(root), -1);
  EXPECT_EQ(ScriptedHost::log.back(), "2 DISCONNECT \\");
  const auto requestsBefore = phone->Requests();
  EXPECT_TRUE(listRoot()) << "the host may come back after a disconnect";
  EXPECT_GT(phone->Requests(), requestsBefore);
  EXPECT_EQ(ScriptedHost::log.back(), "1 CONNECT \\");
  fs::remove(link);
}

// What the user or the host does while a transfer reports its first progress;
// the transfer aborts at call `abortAtCall` (0: never).
struct TransferHost {
  static inline std::function<void()> atFirstProgress;
  static inline int calls = 0;
  static inline int abortAtCall = 0;
  static int FS_CALL Progress(int, char*, char*, int) {
    ++calls;
    if (auto action = std::exchange(atFirstProgress, nullptr)) action();
    return calls == abortAtCall ? 1 : 0;
  }
};

std::string Pattern(std::size_t size) {
  std::string data(size, '\0');
  for (std::size_t i = 0; i < size; ++i) data[i] = static_cast<char>((i * 7 + i / 256) & 0xFF);
  return data;
}

TEST_F(ModuleTest, ACallDuringATransferWaitsOrIsRefusedAndNeverTakesItsState) {
  std::ofstream(root_ / "down.bin", std::ios::binary) << Pattern(3000);
  const fs::path local = root_.parent_path() / "velk-module-local.bin";
  std::ofstream(local, std::ios::binary) << Pattern(3000);
  PtyPhone phone(root_);
  WriteSettings(phone.PortPath());
  Module module;
  ASSERT_TRUE(module.Loaded()) << dlerror();
  auto init = module.Get<decltype(FsInit)>("FsInit");
  auto findFirst = module.Get<decltype(FsFindFirst)>("FsFindFirst");
  auto findClose = module.Get<decltype(FsFindClose)>("FsFindClose");
  auto get = module.Get<decltype(FsGetFile)>("FsGetFile");
  auto put = module.Get<decltype(FsPutFile)>("FsPutFile");
  ASSERT_EQ(init(1, &TransferHost::Progress, nullptr, nullptr), 0);

  enum class Caller {
    kThreadHeldUntilRefused,  // the transfer goes on only once the other call has returned
    kThreadServedAfterwards,  // the transfer goes on at once; the other call waits for its end
    kCallbackOfTheTransfer,   // the host calls in from inside the progress callback
  };
  struct Case {
    const char* name;
    bool download;
    Caller caller;
    bool served;
  };
  const Case cases[] = {
      {"listing from a thread during a download", true, Caller::kThreadHeldUntilRefused, false},
      {"listing from a thread during an upload", false, Caller::kThreadHeldUntilRefused, false},
      {"listing from a thread, served after the download", true, Caller::kThreadServedAfterwards, true},
      {"listing from the progress callback", false, Caller::kCallbackOfTheTransfer, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    HANDLE search = nullptr;
    int error = 0;
    WIN32_FIND_DATAA data{};
    const auto list = [&] {
      char root[] = "/";
      errno = 0;
      search = findFirst(root, &data);
      error = errno;
    };
    std::thread other;
    TransferHost::atFirstProgress = [&] {
      switch (c.caller) {
        case Caller::kThreadHeldUntilRefused: std::thread(list).join(); break;
        case Caller::kThreadServedAfterwards: other = std::thread(list); break;
        case Caller::kCallbackOfTheTransfer: list(); break;
      }
    };
    fs::remove(root_ / "up.bin");
    std::string remote = c.download ? "/down.bin" : "/up.bin";
    std::string copy = (root_.parent_path() / "velk-module-copy.bin").string();
    std::string localName = local.string();
    const int result = c.download ? get(remote.data(), copy.data(), kFsCopyOverwrite, nullptr)
                                  : put(localName.data(), remote.data(), 0);
    if (other.joinable()) other.join();
    EXPECT_EQ(result, kFsFileOk);
    EXPECT_TRUE(FileText(c.download ? fs::path(copy) : root_ / "up.bin") == Pattern(3000)) << "content differs";
    if (c.served) {
      ASSERT_NE(search, INVALID_HANDLE_VALUE);
      EXPECT_STREQ(data.cFileName, "alpha");
      findClose(search);
    } else {
      EXPECT_EQ(search, INVALID_HANDLE_VALUE);
      EXPECT_EQ(error, EBUSY);
    }
    fs::remove(copy);
  }
  fs::remove(local);
}

TEST_F(ModuleTest, ListingsKeepTheirPlaceAcrossOtherCalls) {
  std::ofstream(root_ / "alpha" / "one") << "1";
  std::ofstream(root_ / "alpha" / "two") << "2";
  PtyPhone phone(root_);
  WriteSettings(phone.PortPath());
  Module module;
  ASSERT_TRUE(module.Loaded()) << dlerror();
  auto init = module.Get<decltype(FsInit)>("FsInit");
  auto findFirst = module.Get<decltype(FsFindFirst)>("FsFindFirst");
  auto findNext = module.Get<decltype(FsFindNext)>("FsFindNext");
  auto findClose = module.Get<decltype(FsFindClose)>("FsFindClose");
  auto get = module.Get<decltype(FsGetFile)>("FsGetFile");
  ASSERT_EQ(init(1, nullptr, nullptr, nullptr), 0);
  WIN32_FIND_DATAA data;
  char root[] = "/";
  char alpha[] = "/alpha";
  const HANDLE atRoot = findFirst(root, &data);
  ASSERT_NE(atRoot, INVALID_HANDLE_VALUE);
  std::vector<std::string> rootNames{data.cFileName};
  const HANDLE inAlpha = findFirst(alpha, &data);
  ASSERT_NE(inAlpha, INVALID_HANDLE_VALUE);
  EXPECT_NE(inAlpha, atRoot);
  std::vector<std::string> alphaNames{data.cFileName};
  // The two listings take turns, with a download between their steps.
  char remote[] = "/beta.txt";
  std::string copy = (root_.parent_path() / "velk-module-beta").string();
  for (bool more = true, moreInAlpha = true; more || moreInAlpha;) {
    if (more && (more = findNext(atRoot, &data) != 0)) rootNames.emplace_back(data.cFileName);
    ASSERT_EQ(get(remote, copy.data(), kFsCopyOverwrite, nullptr), kFsFileOk);
    if (moreInAlpha && (moreInAlpha = findNext(inAlpha, &data) != 0)) alphaNames.emplace_back(data.cFileName);
  }
  fs::remove(copy);
  EXPECT_EQ(rootNames, (std::vector<std::string>{"alpha", "beta.txt", "INSTALL JAVA GAME", "INSTALL JAVA APP",
                                                   "INSTALL THEME"}));
  EXPECT_EQ(alphaNames, (std::vector<std::string>{"one", "two"}));
  EXPECT_EQ(findClose(atRoot), 0);
  EXPECT_EQ(findClose(inAlpha), 0);
  errno = 0;
  EXPECT_EQ(findNext(atRoot, &data), 0) << "a closed listing";
  EXPECT_EQ(errno, EBADF);
}

TEST_F(ModuleTest, AFileLargerThanTheAddressSpaceLeftIsSentInChunks) {
#if defined(__SANITIZE_ADDRESS__)
  GTEST_SKIP() << "the address sanitizer reserves more address space than the limit leaves";
#endif
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  const fs::path big = root_.parent_path() / "velk-module-3gib.bin";
  std::ofstream(big).close();
  fs::resize_file(big, std::uint64_t{3} << 30);  // sparse: it takes no room on the disk
  // Run in a child process, whose address space is limited once the module runs.
  const auto sendWithLittleAddressSpace = [&] {
    PtyPhone phone(root_);
    WriteSettings(phone.PortPath());
    Module module;
    auto init = module.Get<decltype(FsInit)>("FsInit");
    auto put = module.Get<decltype(FsPutFile)>("FsPutFile");
    if (!init || !put || init(1, &TransferHost::Progress, nullptr, nullptr) != 0) _exit(100);
    // What is mapped now and 1 GiB more: far less than the file.
    std::ifstream statm("/proc/self/statm");
    std::uint64_t pages = 0;
    statm >> pages;
    const rlim_t limit = pages * static_cast<std::uint64_t>(sysconf(_SC_PAGESIZE)) + (rlim_t{1} << 30);
    const rlimit addressSpace{limit, limit};
    if (setrlimit(RLIMIT_AS, &addressSpace) != 0) _exit(101);
    TransferHost::abortAtCall = 3;  // three chunks on the wire are proof enough
    std::string localName = big.string();
    char remote[] = "/big.bin";
    _exit(put(localName.data(), remote, 0));
  };
  EXPECT_EXIT(sendWithLittleAddressSpace(), ::testing::ExitedWithCode(kFsFileAborted), "");
  fs::remove(big);
}

TEST_F(ModuleTest, OptionsAreTwoHostQuestionsStoredInTheUserFile) {
  testing_pty::Pty port;
  WriteSettings("COM9");  // beside the program: read, never written
  const std::string besideBefore = FileText(SettingsFile());
  Module module;
  ASSERT_TRUE(module.Loaded()) << dlerror();
  auto init = module.Get<decltype(FsInit)>("FsInit");
  auto execute = module.Get<decltype(FsExecuteFile)>("FsExecuteFile");
  ASSERT_TRUE(init && execute);
  ASSERT_EQ(init(3, nullptr, &ScriptedHost::Log, &ScriptedHost::Ask), 0);
  char root[] = "/";
  char verb[] = "open";

  // Cancel on either question stores nothing.
  for (const auto& script : {std::deque<std::optional<std::string>>{std::nullopt},
                             std::deque<std::optional<std::string>>{port.SlavePath(), std::nullopt}}) {
    ScriptedHost::answers = script;
    EXPECT_EQ(execute(nullptr, root, verb), 0);
    EXPECT_FALSE(fs::exists(UserSettingsFile()));
  }

  ScriptedHost::requests.clear();
  ScriptedHost::answers = {"/dev/velk-no-such-port", port.SlavePath(), "12345", "9600"};
  EXPECT_EQ(execute(nullptr, root, verb), 0);
  const auto& asked = ScriptedHost::requests;
  ASSERT_EQ(asked.size(), 4u);
  for (const auto& request : asked) EXPECT_EQ(request.type, kFsRequestText);
  EXPECT_EQ(asked[0].text.rfind("Serial port (found: ", 0), 0u) << asked[0].text;
  EXPECT_EQ(asked[0].prefilled, "COM9");
  EXPECT_EQ(asked[1].text.rfind("There is no serial port /dev/velk-no-such-port.\nSerial port", 0), 0u);
  EXPECT_EQ(asked[2].text.rfind("Baud rate (110, 300,", 0), 0u) << asked[2].text;
  EXPECT_EQ(asked[2].prefilled, "115200") << "the stored rate";
  EXPECT_EQ(asked[3].text.rfind("12345 is not a baud rate of the list.\nBaud rate", 0), 0u);
  EXPECT_EQ(FileText(UserSettingsFile()), "[VLK]\nvelkport=" + port.SlavePath() + "\nbaud=7\n");
  EXPECT_EQ(FileText(SettingsFile()), besideBefore);

  // Opened again, the questions hold what was stored.
  ScriptedHost::requests.clear();
  ScriptedHost::answers = {port.SlavePath()};
  execute(nullptr, root, verb);
  ASSERT_EQ(asked.size(), 2u);
  EXPECT_EQ(asked[0].prefilled, port.SlavePath());
  EXPECT_EQ(asked[1].prefilled, "9600");
}

}  // namespace
