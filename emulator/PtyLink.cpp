#include "emulator/PtyLink.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/prctl.h>
#include <sys/signalfd.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <iostream>
#include <utility>

namespace phonesim {
namespace {

using Clock = std::chrono::steady_clock;

enum class Outcome { kDone, kStopped, kFailed };

class FileCloser {
 public:
  explicit FileCloser(int fd = -1) : fd_(fd) {}
  ~FileCloser() { Close(); }
  FileCloser(const FileCloser&) = delete;
  FileCloser& operator=(const FileCloser&) = delete;
  FileCloser& operator=(FileCloser&& other) noexcept {
    Close();
    fd_ = std::exchange(other.fd_, -1);
    return *this;
  }
  int get() const { return fd_; }
  void Close() {
    if (fd_ >= 0) close(fd_);
    fd_ = -1;
  }

 private:
  int fd_;
};

// Reports the failed call with errno's text; false, for the callers' returns.
bool Fail(const std::string& what) {
  std::cerr << "phonesim: " << what << ": " << std::strerror(errno) << std::endl;
  return false;
}

class Link {
 public:
  Link(PhoneEmulator& phone, const LinkOptions& options) : phone_(phone), options_(options) {
    if (options.baud > 0) byteTime_ = std::chrono::nanoseconds(10'000'000'000LL / options.baud);
  }
  ~Link() {
    if (linked_) unlink(options_.linkPath.c_str());
    if (trace_) std::fclose(trace_);
  }

  int Run() {
    if (!Open()) return 1;
    std::cout << "phonesim: listening on " << slavePath_ << " (link " << options_.linkPath << ")" << std::endl;
    Bytes buffer(4096, '\0');
    for (;;) {
      // The trace is complete whenever the phone waits: a reader that looks
      // once the module has its reply finds every line.
      if (trace_ != nullptr) std::fflush(trace_);
      pollfd fds[2] = {{master_.get(), POLLIN, 0}, {signals_.get(), POLLIN, 0}};
      if (poll(fds, 2, -1) < 0) {
        if (errno == EINTR) continue;
        Fail("poll");
        return 1;
      }
      if (fds[1].revents != 0) return 0;
      if ((fds[0].revents & POLLIN) == 0) {
        std::cerr << "phonesim: the terminal failed" << std::endl;
        return 1;
      }
      const ssize_t count = read(master_.get(), buffer.data(), buffer.size());
      if (count < 0) {
        if (errno == EAGAIN || errno == EINTR) continue;
        Fail("read");
        return 1;
      }
      const auto now = Clock::now();
      rxFreeAt_ = std::max(now, rxFreeAt_) + byteTime_ * count;
      collector_.Append(buffer.substr(0, static_cast<std::size_t>(count)));
      while (auto frame = collector_.Next()) {
        const Outcome outcome = Serve(*frame);
        if (outcome == Outcome::kStopped) return 0;
        if (outcome == Outcome::kFailed) return 1;
        if (hungUp_) return 0;
      }
    }
  }

 private:
  bool Open() {
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGINT);
    sigaddset(&stopSignals, SIGTERM);
    // Blocked, so that they arrive only through the signal descriptor.
    sigprocmask(SIG_BLOCK, &stopSignals, nullptr);
    // A paced line wakes at every few bytes: the default timer slack would
    // stretch each wait by up to 50 us.
    prctl(PR_SET_TIMERSLACK, 1UL);
    signal(SIGPIPE, SIG_IGN);
    signals_ = FileCloser(signalfd(-1, &stopSignals, SFD_CLOEXEC));
    if (signals_.get() < 0) return Fail("signalfd");

    master_ = FileCloser(posix_openpt(O_RDWR | O_NOCTTY));
    if (master_.get() < 0 || grantpt(master_.get()) != 0 || unlockpt(master_.get()) != 0) {
      return Fail("pseudo-terminal");
    }
    fcntl(master_.get(), F_SETFL, fcntl(master_.get(), F_GETFL) | O_NONBLOCK);
    fcntl(master_.get(), F_SETFD, FD_CLOEXEC);
    char name[128];
    if (ptsname_r(master_.get(), name, sizeof name) != 0) return Fail("ptsname");
    slavePath_ = name;
    // Kept open by the phone too, so that the module closing its port is no hang-up.
    slave_ = FileCloser(open(name, O_RDWR | O_NOCTTY | O_CLOEXEC));
    termios mode{};
    if (slave_.get() < 0 || tcgetattr(slave_.get(), &mode) != 0) return Fail(slavePath_);
    cfmakeraw(&mode);
    if (tcsetattr(slave_.get(), TCSANOW, &mode) != 0) return Fail("raw mode");

    if (unlink(options_.linkPath.c_str()) != 0 && errno != ENOENT) return Fail(options_.linkPath);
    if (symlink(name, options_.linkPath.c_str()) != 0) return Fail(options_.linkPath);
    linked_ = true;

    if (!options_.tracePath.empty()) {
      trace_ = std::fopen(options_.tracePath.c_str(), "w");
      if (trace_ == nullptr) return Fail(options_.tracePath);
    }
    return true;
  }

  void Trace(const char* direction, const Bytes& bytes) {
    if (trace_ == nullptr) return;
    std::fprintf(trace_, "%s %s\n", direction, HexBytes(bytes).c_str());
  }

  Outcome Serve(const Bytes& frame) {
    Trace("RX", frame);
    const Response response = phone_.OnFrame(frame);
    for (const auto& note : response.notes) std::cout << note << std::endl;
    for (const auto& warning : response.warnings) std::cerr << warning << std::endl;
    Bytes sent;
    // The reply starts once the request's last byte has crossed the line.
    Clock::time_point notBefore = rxFreeAt_;
    for (const WirePiece& piece : response.pieces) {
      notBefore = std::max(notBefore, txFreeAt_) + std::chrono::milliseconds(piece.delayMs);
      const Outcome outcome = WritePaced(piece.bytes, notBefore);
      if (outcome != Outcome::kDone) return outcome;
      sent += piece.bytes;
    }
    if (!sent.empty()) Trace("TX", sent);
    if (response.hangUp) {
      if (!WaitUntilDelivered()) return Outcome::kStopped;
      master_.Close();
      slave_.Close();
      hungUp_ = true;
      std::cout << "phonesim: hung up after request " << phone_.RequestCount() << std::endl;
    }
    return Outcome::kDone;
  }

  // Closing the master discards what the module has not read yet; a line that
  // goes dead still delivered the bytes already sent. The kernel moves written
  // bytes to the slave's queue a moment later, hence the short pause first.
  // Bounded, as the module may never read. False when a stop signal came first.
  bool WaitUntilDelivered() {
    if (!SleepUntil(Clock::now() + std::chrono::milliseconds(50))) return false;
    const auto deadline = Clock::now() + std::chrono::seconds(2);
    int waiting = 0;
    while (ioctl(slave_.get(), FIONREAD, &waiting) == 0 && waiting > 0 && Clock::now() < deadline) {
      if (!SleepUntil(Clock::now() + std::chrono::milliseconds(5))) return false;
    }
    return true;
  }

  // False when a stop signal came first.
  bool SleepUntil(Clock::time_point deadline) {
    for (;;) {
      const auto left = deadline - Clock::now();
      if (left <= Clock::duration::zero()) return true;
      const auto nanos = std::chrono::duration_cast<std::chrono::nanoseconds>(left).count();
      const timespec timeout{static_cast<time_t>(nanos / 1'000'000'000), static_cast<long>(nanos % 1'000'000'000)};
      pollfd fd{signals_.get(), POLLIN, 0};
      const int ready = ppoll(&fd, 1, &timeout, nullptr);
      if (ready > 0) return false;
    }
  }

  // Each byte takes byteTime_ on the line, the first starting at `notBefore`
  // or once the line is free, and reaches the other end when its last bit has
  // crossed. The times are the line's, not this process's: a wake-up that
  // comes late sends at once what is due by then, so that the phone's own
  // late waking never slows the line down.
  Outcome WritePaced(const Bytes& bytes, Clock::time_point notBefore) {
    const auto start = std::max(notBefore, txFreeAt_);
    if (!SleepUntil(start)) return Outcome::kStopped;
    std::size_t written = 0;
    while (written < bytes.size()) {
      std::size_t due = bytes.size();
      if (byteTime_.count() > 0) {
        const auto elapsed = Clock::now() - start;
        due = std::min<std::size_t>(bytes.size(), static_cast<std::size_t>(elapsed / byteTime_));
        if (due <= written) {
          if (!SleepUntil(start + byteTime_ * (written + 1))) return Outcome::kStopped;
          continue;
        }
      }
      const ssize_t count = write(master_.get(), bytes.data() + written, due - written);
      if (count >= 0) {
        written += static_cast<std::size_t>(count);
        continue;
      }
      if (errno == EINTR) continue;
      if (errno != EAGAIN) {
        Fail("write");
        return Outcome::kFailed;
      }
      // The module is not reading: wait for room, or for a stop signal.
      pollfd fds[2] = {{master_.get(), POLLOUT, 0}, {signals_.get(), POLLIN, 0}};
      if (poll(fds, 2, -1) < 0 && errno != EINTR) {
        Fail("poll");
        return Outcome::kFailed;
      }
      if (fds[1].revents != 0) return Outcome::kStopped;
    }
    txFreeAt_ = start + byteTime_ * bytes.size();
    return Outcome::kDone;
  }

  PhoneEmulator& phone_;
  const LinkOptions& options_;
  std::chrono::nanoseconds byteTime_{0};
  FileCloser signals_, master_, slave_;
  std::string slavePath_;
  bool linked_ = false;
  bool hungUp_ = false;
  std::FILE* trace_ = nullptr;
  FrameCollector collector_;
  Clock::time_point rxFreeAt_{};
  Clock::time_point txFreeAt_{};
};

}  // namespace

int RunPtyLink(PhoneEmulator& phone, const LinkOptions& options) {
  Link link(phone, options);
  return link.Run();
}

}  // namespace phonesim
