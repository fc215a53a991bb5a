#include <dlfcn.h>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <unistd.h>

#include <csignal>

#include <cerrno>
#include <filesystem>
#include <thread>
#include <vector>

#include "platform/platform.h"
#include "tests/platform/test_dir.h"

namespace {

TEST(ProcessFolders, ExecutableDirIsTheFolderOfThisProgram) {
  const std::string dir = os::ExecutableDir();
  ASSERT_FALSE(dir.empty());
  EXPECT_EQ(dir.back(), '/');
  const auto exe = std::filesystem::read_symlink("/proc/self/exe");
  EXPECT_EQ(dir, exe.parent_path().string() + "/");
}

TEST(ProcessFolders, ModuleDirIsTheFolderOfTheCodeThatHoldsThisLayer) {
  // The layer is linked into this program, so its module is the program.
  EXPECT_EQ(os::ModuleDir(), os::ExecutableDir());
}

TEST(ProcessFolders, ModuleDirOfALoadedModuleIsThatModulesFolder) {
  const std::string probe = VELK_MODULE_PROBE;
  void* module = dlopen(probe.c_str(), RTLD_NOW | RTLD_LOCAL);
  ASSERT_NE(module, nullptr) << dlerror();
  using Probe = void (*)(char*, int);
  auto probeDir = reinterpret_cast<Probe>(dlsym(module, "VelkProbeModuleDir"));
  ASSERT_NE(probeDir, nullptr);
  char dir[4096];
  probeDir(dir, sizeof dir);
  const std::string expected =
      std::filesystem::canonical(std::filesystem::path(probe).parent_path()).string() + "/";
  EXPECT_EQ(dir, expected);
  EXPECT_NE(std::string(dir), os::ExecutableDir());
  dlclose(module);
}

TEST(LocalFiles, WriteReadExistDelete) {
  TestDir dir;
  const std::string file = dir.File("data.bin");
  EXPECT_FALSE(os::FileExists(file));
  const std::string data("a\0b\xff\n", 5);
  ASSERT_EQ(os::WriteLocalFile(file, data), 0);
  EXPECT_TRUE(os::FileExists(file));
  std::string back;
  ASSERT_EQ(os::ReadLocalFile(file, &back), 0);
  EXPECT_EQ(back, data);
  ASSERT_EQ(os::WriteLocalFile(file, "shorter"), 0);
  ASSERT_EQ(os::ReadLocalFile(file, &back), 0);
  EXPECT_EQ(back, "shorter");
  EXPECT_EQ(os::DeleteLocalFile(file), 0);
  EXPECT_FALSE(os::FileExists(file));
}

TEST(LocalFiles, FailuresGiveTheSystemsCodes) {
  TestDir dir;
  std::string data = "kept";
  EXPECT_EQ(os::ReadLocalFile(dir.File("missing"), &data), ENOENT);
  EXPECT_EQ(data, "kept");
  EXPECT_EQ(os::DeleteLocalFile(dir.File("missing")), ENOENT);
  EXPECT_EQ(os::WriteLocalFile(dir.File("no/such/folder"), "x"), ENOENT);
  EXPECT_FALSE(os::FileExists(dir.Path()));  // a folder is no file
}

TEST(LocalFiles, AnEmptyFileIsWrittenAndRead) {
  TestDir dir;
  const std::string file = dir.File("empty");
  ASSERT_EQ(os::WriteLocalFile(file, ""), 0);
  std::string back = "x";
  ASSERT_EQ(os::ReadLocalFile(file, &back), 0);
  EXPECT_EQ(back, "");
}

TEST(LocalFiles, ABigFileArrivesWhole) {
  TestDir dir;
  const std::string file = dir.File("big");
  std::string data(300000, '\0');
  for (std::size_t i = 0; i < data.size(); ++i) data[i] = static_cast<char>(i * 7);
  ASSERT_EQ(os::WriteLocalFile(file, data), 0);
  std::string back;
  ASSERT_EQ(os::ReadLocalFile(file, &back), 0);
  EXPECT_EQ(back, data);
}

std::vector<std::string> EntriesOf(const std::string& folder) {
  std::vector<std::string> names;
  for (const auto& entry : std::filesystem::directory_iterator(folder)) names.push_back(entry.path().filename());
  return names;
}

// The pieces are gathered into large writes: whatever their sizes, the file
// holds them whole and in order, and a write that fails shows by Commit.
TEST(LocalFiles, PiecesOfAnySizeArriveWholeAndAFailedWriteShowsByCommit) {
  struct Case {
    const char* what;
    std::vector<std::size_t> pieces;
    rlim_t sizeLimit;  // RLIM_INFINITY: the writes succeed
  };
  const Case cases[] = {
      {"a download's chunks", std::vector<std::size_t>(300, 256), RLIM_INFINITY},
      {"around the gathering's size", {1, 65535, 1, 65536, 70000, 3}, RLIM_INFINITY},
      {"the second large write fails", std::vector<std::size_t>(300, 1000), 100000},
      {"only the last, gathered write fails", {70000, 100}, 70050},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    TestDir dir;
    const std::string file = dir.File("got");
    std::string data;
    for (std::size_t i = 0; i < 400000; ++i) data += static_cast<char>(i * 13 + i / 251);
    int error = 0;
    auto writing = os::CreateReplacingFile(file, &error);
    ASSERT_NE(writing, nullptr) << error;
    // Past the limit a write fails with EFBIG instead of a signal.
    const auto oldHandler = std::signal(SIGXFSZ, SIG_IGN);
    rlimit old{};
    getrlimit(RLIMIT_FSIZE, &old);
    rlimit limited = old;
    limited.rlim_cur = c.sizeLimit;
    setrlimit(RLIMIT_FSIZE, &limited);
    int failed = 0;
    std::size_t at = 0;
    for (std::size_t piece : c.pieces) {
      if ((failed = writing->Append(data.data() + at, piece)) != 0) break;
      at += piece;
    }
    if (failed == 0) failed = writing->Commit(os::CommitMode::kReplace);
    setrlimit(RLIMIT_FSIZE, &old);
    std::signal(SIGXFSZ, oldHandler);
    writing.reset();
    if (c.sizeLimit == RLIM_INFINITY) {
      ASSERT_EQ(failed, 0);
      std::string back;
      ASSERT_EQ(os::ReadLocalFile(file, &back), 0);
      EXPECT_EQ(back, data.substr(0, at));
    } else {
      EXPECT_NE(failed, 0);
      EXPECT_TRUE(EntriesOf(dir.Path()).empty());  // neither the file nor its temporary one
    }
  }
}

TEST(LocalFiles, TheTemporaryFileIsShortAndHiddenBesideAnyValidName) {
  for (std::size_t length : {1u, 255u}) {
    SCOPED_TRACE(length);
    TestDir dir;
    const std::string file = dir.File(std::string(length, 'n'));
    int error = 0;
    auto writing = os::CreateReplacingFile(file, &error);
    ASSERT_NE(writing, nullptr) << error;
    const auto during = EntriesOf(dir.Path());
    ASSERT_EQ(during.size(), 1u);
    EXPECT_EQ(during[0].rfind(".velk-", 0), 0u) << during[0];
    EXPECT_EQ(during[0].size(), 12u) << during[0];
    ASSERT_EQ(writing->Append("data", 4), 0);
    ASSERT_EQ(writing->Commit(os::CommitMode::kKeepExisting), 0);
    EXPECT_EQ(EntriesOf(dir.Path()), std::vector<std::string>{std::string(length, 'n')});
  }
}

TEST(LastError, IsPerThreadAndSetsErrno) {
  os::SetLastError(18);
  EXPECT_EQ(os::LastError(), 18);
  EXPECT_EQ(errno, 18);
  int other = -1;
  std::thread([&] { other = os::LastError(); }).join();
  EXPECT_EQ(other, 0);
  EXPECT_EQ(os::LastError(), 18);
  os::SetLastError(0);
  EXPECT_EQ(os::LastError(), 0);
}

TEST(Translate, WithoutACatalogueTheMessageComesBackUnchanged) {
  EXPECT_EQ(os::Translate("velk-no-such-domain", "Unable to open com port"),
            "Unable to open com port");
}

}  // namespace
