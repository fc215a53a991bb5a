#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <thread>

#include "platform/platform.h"
#include "tests/platform/pty.h"
#include "tests/platform/test_dir.h"

namespace {

using Clock = std::chrono::steady_clock;

TEST(MessageBoxDeathTest, WithoutATerminalTheTextGoesToStandardErrorAndAQuestionIsAnsweredNo) {
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  // A new session has no controlling terminal.
  EXPECT_EXIT(
      {
        setsid();
        std::exit(os::MessageBox("Restart the phone now?", "Velk Mobile Plugin",
                                 os::kMbYesNo | 0x20 /* question icon */));
      },
      ::testing::ExitedWithCode(os::kIdNo), "Velk Mobile Plugin.*Restart the phone now\\?");
  EXPECT_EXIT(
      {
        setsid();
        std::exit(os::MessageBox("Unable to open set com port!", "Velk Mobile Plugin",
                                 os::kMbOk | os::kMbIconError));
      },
      ::testing::ExitedWithCode(os::kIdOk), "Unable to open set com port!");
}

// Runs MessageBox in a child whose controlling terminal is a pseudo-terminal,
// types `answer` there and returns the child's result and what it showed.
int AskOnTerminal(const std::string& answer, unsigned flags, std::string* shown) {
  testing_pty::Pty pty;
  const pid_t child = fork();
  if (child == 0) {
    setsid();
    const int fd = open(pty.SlavePath().c_str(), O_RDWR);  // becomes the controlling terminal
    if (fd < 0) _exit(100);
    _exit(os::MessageBox("Restart the phone now?", "Velk Mobile Plugin", flags));
  }
  // Wait for the text, then answer.
  shown->clear();
  const std::string last = (flags & 0xF) == os::kMbYesNo ? "(y/n) " : "now?";
  while (shown->find(last) == std::string::npos) {
    const std::string more = pty.Receive(1, 3000);
    if (more.empty()) break;
    *shown += more;
  }
  if (!answer.empty()) pty.Send(answer);
  int status = 0;
  waitpid(child, &status, 0);
  return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

TEST(MessageBox, AsksAQuestionOnTheControllingTerminal) {
  std::string shown;
  EXPECT_EQ(AskOnTerminal("yes\n", os::kMbYesNo, &shown), os::kIdYes);
  EXPECT_NE(shown.find("Velk Mobile Plugin"), std::string::npos);
  EXPECT_NE(shown.find("Restart the phone now?"), std::string::npos);
  EXPECT_EQ(AskOnTerminal("Y\n", os::kMbYesNo, &shown), os::kIdYes);
  EXPECT_EQ(AskOnTerminal("no\n", os::kMbYesNo, &shown), os::kIdNo);
  EXPECT_EQ(AskOnTerminal("whatever\n", os::kMbYesNo, &shown), os::kIdNo);
}

TEST(MessageBox, AnOkBoxShowsItsTextAndReturnsAtOnce) {
  std::string shown;
  EXPECT_EQ(AskOnTerminal("", os::kMbOk | os::kMbIconError, &shown), os::kIdOk);
  EXPECT_NE(shown.find("Restart the phone now?"), std::string::npos);
}

TEST(Beep, DoesNotFailWithOrWithoutATerminal) {
  os::Beep(1000, 10);
  os::MessageBeep(0);
}

TEST(ShellOpen, StartsXdgOpenWithTheTargetAndDoesNotWaitForIt) {
  TestDir dir;
  const std::string marker = dir.File("opened");
  const std::string script = dir.File("xdg-open");
  ASSERT_EQ(os::WriteLocalFile(script, "#!/bin/sh\nsleep 1\nprintf '%s' \"$1\" > '" + marker +
                                           ".part'\nmv '" + marker + ".part' '" + marker + "'\n"),
            0);
  ASSERT_EQ(chmod(script.c_str(), 0755), 0);
  const char* oldPath = std::getenv("PATH");
  const std::string savedPath = oldPath ? oldPath : "";
  setenv("PATH", (dir.Path() + ":/usr/bin:/bin").c_str(), 1);
  const auto start = Clock::now();
  os::ShellOpen("http://example.invalid/velk");
  const auto took = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start);
  setenv("PATH", savedPath.c_str(), 1);
  EXPECT_LT(took.count(), 800);
  const auto deadline = Clock::now() + std::chrono::seconds(10);
  while (!os::FileExists(marker) && Clock::now() < deadline) {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  std::string opened;
  ASSERT_EQ(os::ReadLocalFile(marker, &opened), 0);
  EXPECT_EQ(opened, "http://example.invalid/velk");
}

TEST(ShellOpen, AMissingOpenerIsIgnored) {
  TestDir dir;
  const char* oldPath = std::getenv("PATH");
  const std::string savedPath = oldPath ? oldPath : "";
  setenv("PATH", dir.Path().c_str(), 1);
  os::ShellOpen("http://example.invalid/");
  setenv("PATH", savedPath.c_str(), 1);
}

}  // namespace
