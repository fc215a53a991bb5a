// The real program on a real pseudo-terminal: start, answer, stop cleanly.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <fstream>
#include <thread>

#include "emulator/tests/EmulatorTestSupport.h"

namespace phonesim::testing {
namespace {

using namespace std::chrono_literals;

// Reads from fd until `done` says enough or the time is up.
template <typename Done>
Bytes ReadUntil(int fd, std::chrono::milliseconds limit, Done done) {
  Bytes bytes;
  const auto deadline = std::chrono::steady_clock::now() + limit;
  char buffer[512];
  while (!done(bytes)) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
    if (left <= 0ms) break;
    pollfd fds{fd, POLLIN, 0};
    if (poll(&fds, 1, static_cast<int>(left.count())) <= 0) break;
    const ssize_t count = read(fd, buffer, sizeof buffer);
    if (count <= 0) break;
    bytes.append(buffer, static_cast<std::size_t>(count));
  }
  return bytes;
}

class PhonesimProgram : public ::testing::Test {
 protected:
  void Start(std::vector<std::string> extra = {}) {
    int output[2];
    ASSERT_EQ(pipe(output), 0);
    std::vector<std::string> args = {PHONESIM_PATH, "--root", folder_.path().string(), "--link", link_.string()};
    args.insert(args.end(), extra.begin(), extra.end());
    child_ = fork();
    ASSERT_GE(child_, 0);
    if (child_ == 0) {
      dup2(output[1], STDOUT_FILENO);
      close(output[0]);
      close(output[1]);
      std::vector<char*> argv;
      for (auto& arg : args) argv.push_back(arg.data());
      argv.push_back(nullptr);
      execv(argv[0], argv.data());
      _exit(127);
    }
    close(output[1]);
    stdout_ = output[0];
    listening_ = ReadUntil(stdout_, 10s, [](const Bytes& text) { return text.find('\n') != Bytes::npos; });
  }

  // Sends SIGTERM and gives the exit status, or -1 when it doesn't end in time.
  int Stop() {
    kill(child_, SIGTERM);
    for (int i = 0; i < 500; ++i) {
      int status = 0;
      if (waitpid(child_, &status, WNOHANG) == child_) {
        child_ = -1;
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
      }
      std::this_thread::sleep_for(10ms);
    }
    return -1;
  }

  void TearDown() override {
    if (child_ > 0) {
      kill(child_, SIGKILL);
      waitpid(child_, nullptr, 0);
    }
    if (stdout_ >= 0) close(stdout_);
  }

  ScratchFolder folder_;
  ScratchFolder scratch_;  // link and trace live outside the phone's folder
  std::filesystem::path link_ = scratch_.path() / "phone-link";
  pid_t child_ = -1;
  int stdout_ = -1;
  Bytes listening_;
};

TEST_F(PhonesimProgram, ServesAListingOnItsTerminalAndCleansUpOnSigterm) {
  folder_.MakeFolder("data");
  const auto trace = scratch_.path() / "trace.txt";
  Start({"--trace", trace.string(), "--baud", "115200"});
  ASSERT_TRUE(std::filesystem::is_symlink(link_)) << listening_;
  const std::string target = std::filesystem::read_symlink(link_).string();
  EXPECT_EQ(listening_, "phonesim: listening on " + target + " (link " + link_.string() + ")\n");

  const int port = open(link_.c_str(), O_RDWR | O_NOCTTY);
  ASSERT_GE(port, 0);
  termios mode{};
  ASSERT_EQ(tcgetattr(port, &mode), 0);
  cfmakeraw(&mode);
  ASSERT_EQ(tcsetattr(port, TCSANOW, &mode), 0);

  const Bytes request = BuildFrame(ListingPacket(kOpIterateDirs, "", 0));
  ASSERT_EQ(write(port, request.data(), request.size()), static_cast<ssize_t>(request.size()));
  const Bytes reply = ReadUntil(port, 5s, [](const Bytes& bytes) { return !bytes.empty() && bytes.back() == kFrameEnd; });
  const Bytes packet = ReplyPacket(reply);
  ASSERT_GT(packet.size(), kEntryNameOffset);
  EXPECT_EQ(packet.substr(0, 3), Hex({0x59, 0x0A, 0x00}));
  EXPECT_EQ(packet.substr(kEntryNameOffset), "data");

  // The module closing and reopening its port is no hang-up for the phone.
  close(port);
  const int again = open(link_.c_str(), O_RDWR | O_NOCTTY);
  ASSERT_GE(again, 0);
  const Bytes files = BuildFrame(ListingPacket(kOpIterateFiles, "", 0));
  ASSERT_EQ(write(again, files.data(), files.size()), static_cast<ssize_t>(files.size()));
  EXPECT_EQ(ReadUntil(again, 5s, [](const Bytes& bytes) { return !bytes.empty() && bytes.back() == kFrameEnd; }),
            Hex({0x59, 0x0B, 0x1C, 0x74, 0xE7, 0x7E}));
  close(again);

  EXPECT_EQ(Stop(), 0);
  EXPECT_FALSE(std::filesystem::exists(std::filesystem::symlink_status(link_)));

  std::ifstream lines(trace);
  std::string rx, tx;
  std::getline(lines, rx);
  std::getline(lines, tx);
  EXPECT_EQ(rx, "RX " + HexBytes(request));
  EXPECT_EQ(tx, "TX " + HexBytes(reply));
}

TEST_F(PhonesimProgram, BaudRatePacesBothDirections) {
  folder_.MakeFile("f.bin", Bytes(256, 'a'));
  Start({"--baud", "9600"});
  const int port = open(link_.c_str(), O_RDWR | O_NOCTTY);
  ASSERT_GE(port, 0);
  const Bytes request = BuildFrame(ReadFirstPacket("f.bin"));
  const auto start = std::chrono::steady_clock::now();
  ASSERT_EQ(write(port, request.data(), request.size()), static_cast<ssize_t>(request.size()));
  const Bytes reply = ReadUntil(port, 5s, [](const Bytes& bytes) { return !bytes.empty() && bytes.back() == kFrameEnd; });
  const auto elapsed = std::chrono::steady_clock::now() - start;
  close(port);
  // 13 request bytes and 270 reply bytes of 10 bits each at 9600 bit/s: the
  // reply's last byte has crossed the line 294.8 ms after the request began.
  EXPECT_GE(reply.size(), 270u);
  EXPECT_GE(elapsed, 294700us);
  EXPECT_LT(elapsed, 3s);
  EXPECT_EQ(Stop(), 0);
}

TEST_F(PhonesimProgram, HangupAfterNthClosesTheTerminalAndExits) {
  Start({"--hangup-after", "1"});
  const int port = open(link_.c_str(), O_RDWR | O_NOCTTY);
  ASSERT_GE(port, 0);
  const Bytes request = BuildFrame(PathCommandPacket(kOpMakeDir, "new"));
  ASSERT_EQ(write(port, request.data(), request.size()), static_cast<ssize_t>(request.size()));
  EXPECT_EQ(ReadUntil(port, 5s, [](const Bytes& bytes) { return !bytes.empty() && bytes.back() == kFrameEnd; }),
            Hex({0x59, 0x00, 0x00, 0x31, 0xD9, 0x7E}));
  const Bytes message = ReadUntil(stdout_, 5s, [](const Bytes& text) { return text.find('\n') != Bytes::npos; });
  EXPECT_EQ(message, "phonesim: hung up after request 1\n");
  int status = -1;
  for (int i = 0; i < 500 && waitpid(child_, &status, WNOHANG) != child_; ++i) std::this_thread::sleep_for(10ms);
  child_ = -1;
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  EXPECT_FALSE(std::filesystem::exists(std::filesystem::symlink_status(link_)));
  close(port);
}

}  // namespace
}  // namespace phonesim::testing
