// The module as a host meets it: loaded with dlopen, driven through its
// exports with '/' host paths, and unloaded with or without FsDisconnect.
#include <dlfcn.h>
#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <thread>

#include "plugin/fsplugin.h"
#include "tests/plugin/PtyPhone.h"

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

class ModuleTest : public ::testing::Test {
 protected:
  void SetUp() override {
    root_ = fs::path(::testing::TempDir()) / "velk-module-phone";
    fs::remove_all(root_);
    fs::create_directories(root_ / "alpha");
    std::ofstream(root_ / "beta.txt") << "beta";
  }
  void TearDown() override {
    fs::remove(SettingsFile());
    fs::remove_all(root_);
  }
  // The module reads its settings beside the running program when it is loaded.
  static fs::path SettingsFile() { return fs::read_symlink("/proc/self/exe").parent_path() / "fsplugin.ini"; }
  static void WriteSettings(const std::string& port) {
    std::ofstream(SettingsFile()) << "[VLK]\nvelkport=" << port << "\nbaud=13\n";
  }
  fs::path root_;
};

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

}  // namespace
