// A pseudo-terminal pair for tests: the port under test opens the slave by its
// path, the test talks through the master.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <stdexcept>
#include <string>

// The kernel's termios with free rates, to read back what the device holds.
struct termios2 {
  tcflag_t c_iflag, c_oflag, c_cflag, c_lflag;
  cc_t c_line;
  cc_t c_cc[19];
  speed_t c_ispeed, c_ospeed;
};

namespace testing_pty {

class Pty {
 public:
  Pty() {
    master_ = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (master_ < 0 || grantpt(master_) != 0 || unlockpt(master_) != 0) {
      throw std::runtime_error("no pseudo-terminal");
    }
    char name[128];
    if (ptsname_r(master_, name, sizeof name) != 0) throw std::runtime_error("no slave name");
    slave_ = name;
  }
  ~Pty() { HangUp(); }
  Pty(const Pty&) = delete;
  Pty& operator=(const Pty&) = delete;

  const std::string& SlavePath() const { return slave_; }
  int Master() const { return master_; }

  void Send(const std::string& data) {
    std::size_t done = 0;
    while (done < data.size()) {
      const ssize_t n = write(master_, data.data() + done, data.size() - done);
      if (n <= 0) throw std::runtime_error("write to pty master failed");
      done += static_cast<std::size_t>(n);
    }
  }

  // Reads until `count` bytes came or `timeoutMs` passed.
  std::string Receive(std::size_t count, int timeoutMs = 2000) {
    std::string got;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (got.size() < count) {
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                            deadline - std::chrono::steady_clock::now())
                            .count();
      if (left <= 0) break;
      pollfd pfd{master_, POLLIN, 0};
      if (poll(&pfd, 1, static_cast<int>(left)) <= 0) break;
      char buffer[4096];
      const ssize_t n = read(master_, buffer, std::min(sizeof buffer, count - got.size()));
      if (n <= 0) break;
      got.append(buffer, static_cast<std::size_t>(n));
    }
    return got;
  }

  // The line settings of the slave side (the master reports the slave's).
  termios Attributes() const {
    termios t{};
    if (tcgetattr(master_, &t) != 0) throw std::runtime_error("tcgetattr failed");
    return t;
  }

  // Closes the master: the slave side is hung up.
  void HangUp() {
    if (master_ >= 0) close(master_);
    master_ = -1;
  }

 private:
  int master_ = -1;
  std::string slave_;
};

}  // namespace testing_pty
