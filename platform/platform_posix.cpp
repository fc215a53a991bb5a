// The operating-system layer for Linux: termios serial devices, a message queue
// of timers and hand-overs, terminal message boxes, INI files, gettext.
#include <dirent.h>
#include <dlfcn.h>
#include <fcntl.h>
#include <libintl.h>
#include <link.h>
#include <linux/serial.h>
#include <poll.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <mutex>
#include <random>
#include <set>
#include <thread>
#include <utility>

#include "platform/internal.h"
#include "platform/ini.h"
#include "platform/platform.h"
#include "platform/posix_serial.h"

// The kernel's termios with free line rates (asm/termbits.h cannot be included
// together with termios.h; <sys/ioctl.h> already defines TCGETS2 and TCSETS2
// in terms of this structure).
struct termios2 {
  tcflag_t c_iflag;
  tcflag_t c_oflag;
  tcflag_t c_cflag;
  tcflag_t c_lflag;
  cc_t c_line;
  cc_t c_cc[19];
  speed_t c_ispeed;
  speed_t c_ospeed;
};
#ifndef IBSHIFT
#define IBSHIFT 16
#endif
#ifndef BOTHER
#define BOTHER 0010000
#endif

namespace os {
namespace {

using Clock = std::chrono::steady_clock;

int Errno() { return errno != 0 ? errno : EIO; }

// ---------------------------------------------------------------------------
// Serial devices

speed_t StandardSpeed(std::uint32_t rate) {
  switch (rate) {
    case 50: return B50;
    case 75: return B75;
    case 110: return B110;
    case 134: return B134;
    case 150: return B150;
    case 200: return B200;
    case 300: return B300;
    case 600: return B600;
    case 1200: return B1200;
    case 1800: return B1800;
    case 2400: return B2400;
    case 4800: return B4800;
    case 9600: return B9600;
    case 19200: return B19200;
    case 38400: return B38400;
    case 57600: return B57600;
    case 115200: return B115200;
    case 230400: return B230400;
    case 460800: return B460800;
    case 500000: return B500000;
    case 576000: return B576000;
    case 921600: return B921600;
    case 1000000: return B1000000;
    case 1152000: return B1152000;
    case 1500000: return B1500000;
    case 2000000: return B2000000;
    case 2500000: return B2500000;
    case 3000000: return B3000000;
    case 3500000: return B3500000;
    case 4000000: return B4000000;
    default: return B0;
  }
}

// Raises or lowers one modem line; a device without modem lines (a
// pseudo-terminal) refuses, which is no failure.
int SetModemLine(int fd, int line, bool on) {
  if (ioctl(fd, on ? TIOCMBIS : TIOCMBIC, &line) == 0) return 0;
  const int e = Errno();
  return (e == ENOTTY || e == EINVAL) ? 0 : e;
}

}  // namespace

int DeviceControlToTermios(const DeviceControl& c, termios* t, bool* freeRate) {
  if (c.baudRate == 0 || c.byteSize < 5 || c.byteSize > 8 || c.parity > 4 || c.stopBits > 2) {
    return EINVAL;
  }
  // Raw: no echo, no line editing, no signals, no translation either way.
  t->c_iflag &= ~static_cast<tcflag_t>(IGNBRK | BRKINT | PARMRK | ISTRIP | INLCR | IGNCR | ICRNL |
                                       IXON | IXOFF | IXANY | INPCK | IGNPAR | IUCLC | IMAXBEL);
  t->c_oflag &= ~static_cast<tcflag_t>(OPOST);
  t->c_lflag &= ~static_cast<tcflag_t>(ECHO | ECHONL | ECHOE | ECHOK | ICANON | ISIG | IEXTEN);
  t->c_cflag &= ~static_cast<tcflag_t>(CSIZE | PARENB | PARODD | CMSPAR | CSTOPB | CRTSCTS);
  t->c_cflag |= CLOCAL | CREAD;
  static const tcflag_t kSizes[] = {CS5, CS6, CS7, CS8};
  t->c_cflag |= kSizes[c.byteSize - 5];
  switch (c.parity) {
    case 1: t->c_cflag |= PARENB | PARODD; break;
    case 2: t->c_cflag |= PARENB; break;
    case 3: t->c_cflag |= PARENB | CMSPAR | PARODD; break;
    case 4: t->c_cflag |= PARENB | CMSPAR; break;
    default: break;
  }
  if (c.flags & kDcbParity) t->c_iflag |= INPCK;
  if (c.stopBits != 0) t->c_cflag |= CSTOPB;  // 1.5 stop bits: CSTOPB with 5 data bits
  // The kernel's CRTSCTS covers both directions: CTS output flow and RTS handshake.
  if ((c.flags & kDcbOutxCtsFlow) || (c.flags & kDcbRtsMask) == kDcbRtsHandshake) {
    t->c_cflag |= CRTSCTS;
  }
  if (c.flags & kDcbOutX) t->c_iflag |= IXON;
  if (c.flags & kDcbInX) t->c_iflag |= IXOFF;
  if (c.xonChar != 0) t->c_cc[VSTART] = static_cast<cc_t>(c.xonChar);
  if (c.xoffChar != 0) t->c_cc[VSTOP] = static_cast<cc_t>(c.xoffChar);
  t->c_cc[VMIN] = 0;
  t->c_cc[VTIME] = 0;
  const speed_t standard = StandardSpeed(c.baudRate);
  *freeRate = standard == B0;
  if (!*freeRate) {
    cfsetispeed(t, standard);
    cfsetospeed(t, standard);
  }
  return 0;
}

namespace {

// Line mode with `lineEnd` as the line end, in which a read or a wait sees
// received bytes only once a line end has come. Nothing else of line mode
// applies: echo, signals and extensions stay off, and the editing characters
// are disabled, so every byte arrives as it was sent. A newline ends a line
// too, which only wakes the wait early.
void AwaitLineEnd(termios* t, char lineEnd) {
  t->c_lflag |= ICANON;
  for (const int slot : {VEOF, VERASE, VKILL, VEOL2, VWERASE, VREPRINT, VLNEXT}) t->c_cc[slot] = _POSIX_VDISABLE;
  t->c_cc[VEOL] = static_cast<cc_t>(lineEnd);
}

class PosixSerialDevice;

// The devices whose arrivals the user-interface thread takes itself while it
// waits for work. Lock order: this mutex, then a device's own.
struct WatchedDevices {
  static constexpr std::size_t kMost = 4;  // more are served by their event threads alone
  std::mutex mutex;
  std::vector<PosixSerialDevice*> devices;
};
WatchedDevices& Watched() {
  static WatchedDevices watched;
  return watched;
}

class PosixSerialDevice final : public detail::QueuedSerialDevice {
 public:
  PosixSerialDevice(int fd, int epollFd, int cancelFd, bool pseudoTerminal)
      : fd_(fd), epollFd_(epollFd), cancelFd_(cancelFd), pseudoTerminal_(pseudoTerminal) {}

  ~PosixSerialDevice() override {
    SetArrivalSink(nullptr);
    close(epollFd_);
    close(cancelFd_);
    close(fd_);
  }

  int SetupQueues(std::uint32_t, std::uint32_t) override { return 0; }

  int DriverSetState(const DeviceControl& c) override {
    termios t{};
    if (tcgetattr(fd_, &t) != 0) return Errno();
    bool freeRate = false;
    if (int e = DeviceControlToTermios(c, &t, &freeRate)) return e;
    if (awaitEventChar_ && c.evtChar != 0) AwaitLineEnd(&t, c.evtChar);
    if (tcsetattr(fd_, TCSANOW, &t) != 0) return Errno();
    control_ = c;

    // Free rates go through the kernel's BOTHER; every rate is read back, and
    // a driver that did not take it (or put something far off) is a failure.
    termios2 t2{};
    if (ioctl(fd_, TCGETS2, &t2) != 0) {
      if (freeRate) return Errno();
    } else {
      if (freeRate) {
        t2.c_cflag &= ~static_cast<tcflag_t>(CBAUD | (CBAUD << IBSHIFT));
        t2.c_cflag |= BOTHER | (BOTHER << IBSHIFT);
        t2.c_ispeed = c.baudRate;
        t2.c_ospeed = c.baudRate;
        if (ioctl(fd_, TCSETS2, &t2) != 0) return Errno();
        if (ioctl(fd_, TCGETS2, &t2) != 0) return Errno();
      }
      const std::uint64_t got = t2.c_ospeed;
      const std::uint64_t want = c.baudRate;
      if (got * 100 < want * 97 || got * 100 > want * 103) return EINVAL;
    }

    // Modem lines: DTR handshake has no Linux counterpart and holds DTR on; RTS
    // handshake is the kernel's (CRTSCTS), toggle holds RTS off between sends.
    const std::uint32_t dtr = c.flags & kDcbDtrMask;
    const std::uint32_t rts = c.flags & kDcbRtsMask;
    if (int e = SetModemLine(fd_, TIOCM_DTR, dtr != 0)) return e;
    if (rts != kDcbRtsHandshake) {
      if (int e = SetModemLine(fd_, TIOCM_RTS, rts == kDcbRtsEnable)) return e;
    }
    return 0;
  }

  int SetTimeouts(const CommTimeouts& timeouts) override {
    timeouts_ = timeouts;
    return 0;
  }

  // Awaiting the event character puts the line discipline in line mode with
  // that character as a line end: the kernel then wakes the wait once per
  // reply, however the bytes before it trickle in.
  int DriverSetEventMask(std::uint32_t mask) override {
    const bool await = (mask & kEvRxFlag) != 0;
    if (await == awaitEventChar_) return 0;
    awaitEventChar_ = await;
    return control_.baudRate != 0 ? DriverSetState(control_) : 0;
  }

  int DriverWaitEvent(std::uint32_t* events) override {
    *events = 0;
    for (;;) {
      if (cancelled_.load()) return kWaitCancelled;
      epoll_event ready[2];
      const int n = epoll_wait(epollFd_, ready, 2, -1);
      if (n < 0) {
        if (errno == EINTR) continue;
        return Errno();
      }
      bool received = false, hungUp = false;
      for (int i = 0; i < n; ++i) {
        if (ready[i].data.fd == cancelFd_) return kWaitCancelled;
        if (ready[i].events & (EPOLLHUP | EPOLLERR)) hungUp = true;
        if (ready[i].events & EPOLLIN) received = true;
      }
      // The device is gone (the other end of a pseudo-terminal closed, an
      // adapter unplugged): end the wait for good rather than report it again.
      if (hungUp) return EIO;
      // The device is watched edge-triggered: each arrival of new bytes wakes
      // the wait once, and every wake takes all bytes waiting.
      if (received && !StandAsideIfWatched()) {
        *events = kEvRxChar;
        return 0;
      }
    }
  }

  void SetArrivalSink(ArrivalSink sink) override {
    WatchedDevices& watched = Watched();
    std::lock_guard<std::mutex> lock(watched.mutex);
    sink_ = std::move(sink);
    watchable_ = true;
    EndWatch();
    auto& devices = watched.devices;
    devices.erase(std::remove(devices.begin(), devices.end(), this), devices.end());
    if (sink_) devices.push_back(this);
  }

  int Fd() const { return fd_; }
  // False once a wait saw the device hang up or fail: it would wake every
  // wait at once, and its event thread reports it.
  bool Watchable() const { return watchable_; }
  void SeenFailed() { watchable_ = false; }

  // While the user-interface thread watches the device, from its first wait
  // to the end of the watch (ArrivalWatch), it takes what arrives itself. The
  // event thread, woken by an arrival meanwhile, stops waiting for bytes until
  // the watch ends (a hang-up still wakes it): it would only contend for them,
  // and wake at every reply.
  void BeginWatch() {
    std::lock_guard<std::mutex> lock(watchMutex_);
    watched_ = true;
  }
  // Whether the device was watched.
  bool EndWatch() {
    std::lock_guard<std::mutex> lock(watchMutex_);
    // Armed again, the device wakes the event thread at once if bytes wait.
    if (standingAside_) standingAside_ = !AwaitBytes(true);
    return std::exchange(watched_, false);
  }

  // On the user-interface thread, with the watched devices' mutex held.
  void PassArrivals(Take how) {
    std::uint32_t events = 0;
    // A failure is the event thread's to report: it sees the device go too.
    if (TakeArrivals(how, &events) == 0 && events != 0 && sink_) sink_(events);
  }

  void CancelWait() override {
    cancelled_.store(true);
    const std::uint64_t one = 1;
    ssize_t ignored = write(cancelFd_, &one, sizeof one);
    (void)ignored;
  }

  int DriverBytesWaiting(std::uint32_t* count) override {
    int n = 0;
    if (ioctl(fd_, FIONREAD, &n) != 0) return Errno();
    // Line errors (parity, framing, overrun) are not kept by the tty layer in
    // a form to clear; there is nothing more to do.
    *count = static_cast<std::uint32_t>(n < 0 ? 0 : n);
    return 0;
  }

  int DriverRead(void* buffer, std::uint32_t count, std::uint32_t* read) override {
    *read = 0;
    for (;;) {
      const ssize_t n = ::read(fd_, buffer, count);
      if (n >= 0) {
        *read = static_cast<std::uint32_t>(n);
        return 0;
      }
      if (errno == EINTR) continue;
      if (errno == EAGAIN || errno == EWOULDBLOCK) return 0;
      return Errno();
    }
  }

  int Write(const void* data, std::uint32_t count, std::uint32_t* written) override {
    *written = 0;
    const auto* p = static_cast<const unsigned char*>(data);
    const std::uint64_t limitMs = static_cast<std::uint64_t>(timeouts_.writeTotalMultiplier) * count +
                                  timeouts_.writeTotalConstant;
    const bool bounded = limitMs != 0;
    const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(limitMs);
    std::uint32_t done = 0;
    while (done < count) {
      const ssize_t n = ::write(fd_, p + done, count - done);
      if (n > 0) {
        done += static_cast<std::uint32_t>(n);
        continue;
      }
      if (n < 0 && errno == EINTR) continue;
      if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK) {
        *written = done;
        return Errno();
      }
      int waitMs = -1;
      if (bounded) {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
        if (left <= 0) break;  // timed out: the count written so far is the result
        waitMs = static_cast<int>(std::min<long long>(left, 1 << 30));
      }
      pollfd pfd{fd_, POLLOUT, 0};
      const int r = poll(&pfd, 1, waitMs);
      if (r < 0 && errno != EINTR) {
        *written = done;
        return Errno();
      }
      if (r > 0 && (pfd.revents & (POLLERR | POLLHUP | POLLNVAL)) && !(pfd.revents & POLLOUT)) {
        *written = done;
        return EIO;
      }
    }
    *written = done;
    // What was written to a pseudo-terminal stands at the other end already.
    if (done == count && !pseudoTerminal_) WaitUntilSent(bounded, deadline);
    return 0;
  }

  int DriverPurge(std::uint32_t flags) override {
    // The abort flags end pending reads and writes. Here no read or write is
    // ever pending (reads never wait, a write returns once its bytes are sent),
    // so they have nothing to do: what was written still goes out, and
    // received bytes stay until cleared. A pseudo-terminal has no output queue:
    // what was written already stands at the other end, and flushing would
    // take it away from there.
    const bool rx = flags & kPurgeRxClear;
    const bool tx = (flags & kPurgeTxClear) && !pseudoTerminal_;
    if (!rx && !tx) return 0;
    if (tcflush(fd_, rx && tx ? TCIOFLUSH : (rx ? TCIFLUSH : TCOFLUSH)) == 0) return 0;
    // A hung-up device has no queues left to discard.
    return errno == EIO ? 0 : Errno();
  }

 private:
  // On the event thread: true when the watcher takes the arrivals.
  bool StandAsideIfWatched() {
    std::lock_guard<std::mutex> lock(watchMutex_);
    if (watched_ && !standingAside_) standingAside_ = AwaitBytes(false);
    return watched_;
  }
  bool AwaitBytes(bool await) {
    epoll_event ev{};
    ev.events = (await ? std::uint32_t{EPOLLIN} : 0u) | EPOLLET;
    ev.data.fd = fd_;
    return epoll_ctl(epollFd_, EPOLL_CTL_MOD, fd_, &ev) == 0;
  }

  // As on Windows, a write is complete once its bytes have left: waits until
  // the driver's output queue is empty, within the write's time limit.
  void WaitUntilSent(bool bounded, Clock::time_point deadline) const {
    for (;;) {
      int queued = 0;
      if (ioctl(fd_, TIOCOUTQ, &queued) != 0 || queued <= 0) return;
      if (bounded && Clock::now() >= deadline) return;
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
  }

  const int fd_;
  const int epollFd_;
  const int cancelFd_;
  const bool pseudoTerminal_;
  CommTimeouts timeouts_;
  DeviceControl control_;  // the line settings last set; baudRate 0 before
  bool awaitEventChar_ = false;
  std::atomic<bool> cancelled_{false};
  ArrivalSink sink_;  // set while the port's event thread runs
  bool watchable_ = true;
  std::mutex watchMutex_;
  bool watched_ = false;
  bool standingAside_ = false;  // the event thread waits for no bytes
};

std::unique_ptr<SerialDevice> OpenRealSerialDevice(const std::string& portName, int* error) {
  const std::string path = SerialDevicePath(portName);
  const int fd = open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) {
    *error = Errno();
    return nullptr;
  }
  auto fail = [&](int code, int a = -1, int b = -1) -> std::unique_ptr<SerialDevice> {
    if (a >= 0) close(a);
    if (b >= 0) close(b);
    close(fd);
    *error = code;
    return nullptr;
  };
  if (!isatty(fd)) return fail(ENOTTY);
  // One user at a time, as on Windows (other programs that lock the same way
  // are kept out; the lock goes with the descriptor).
  if (flock(fd, LOCK_EX | LOCK_NB) != 0) return fail(errno == EWOULDBLOCK ? EBUSY : Errno());
  const int cancelFd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  if (cancelFd < 0) return fail(Errno());
  const int epollFd = epoll_create1(EPOLL_CLOEXEC);
  if (epollFd < 0) return fail(Errno(), cancelFd);
  epoll_event ev{};
  ev.events = EPOLLIN | EPOLLET;
  ev.data.fd = fd;
  if (epoll_ctl(epollFd, EPOLL_CTL_ADD, fd, &ev) != 0) return fail(Errno(), cancelFd, epollFd);
  ev.events = EPOLLIN;
  ev.data.fd = cancelFd;
  if (epoll_ctl(epollFd, EPOLL_CTL_ADD, cancelFd, &ev) != 0) {
    return fail(Errno(), cancelFd, epollFd);
  }
  // The slave side of a pseudo-terminal: Unix 98 (majors 136-143) or BSD (3).
  struct stat st;
  const unsigned major = fstat(fd, &st) == 0 ? ::major(st.st_rdev) : 0;
  const bool pseudoTerminal = (major >= 136 && major <= 143) || major == 3;
  *error = 0;
  return std::make_unique<PosixSerialDevice>(fd, epollFd, cancelFd, pseudoTerminal);
}

// The module's statics live as long as the module: a host may unload it and
// load it again, and nothing of it may stay behind.
std::mutex& OpenerMutex() {
  static std::mutex m;
  return m;
}
SerialOpener& Opener() {
  static SerialOpener opener;
  return opener;
}

// ---------------------------------------------------------------------------
// The message queue

struct TimerRegistry {
  std::mutex mutex;
  std::vector<Timer::Impl*> timers;
  // The manual clock, when tests switched to it: its reading and where it began.
  bool manual = false;
  Clock::time_point manualNow;
  Clock::time_point manualStart;
  // What the timers go by; called with the mutex held.
  Clock::time_point Now() const { return manual ? manualNow : Clock::now(); }
};
TimerRegistry& Timers() {
  static TimerRegistry registry;
  return registry;
}

// Wakes WaitForWork; an eventfd that stays readable until WaitForWork drains
// it. `signaled` spares the system calls while nobody signaled: it is set
// before the write, and cleared only after the read that drains it, so that a
// signal is never taken as drained while its write is still to come.
struct WakeEvent {
  const int fd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  std::atomic<bool> signaled{false};
  ~WakeEvent() {
    if (fd >= 0) close(fd);
  }
  void Drain() {
    std::uint64_t count;
    ssize_t ignored = read(fd, &count, sizeof count);  // one read takes the whole count
    (void)ignored;
    signaled.store(false);
  }
};
WakeEvent& Wake() {
  static WakeEvent wake;
  return wake;
}


// ---------------------------------------------------------------------------
// The terminal

// The controlling terminal, if this process is in its foreground; -1 otherwise.
int OpenForegroundTerminal() {
  const int fd = open("/dev/tty", O_RDWR | O_NOCTTY | O_CLOEXEC);
  if (fd < 0) return -1;
  if (tcgetpgrp(fd) != getpgrp()) {
    close(fd);
    return -1;
  }
  return fd;
}

void WriteAll(int fd, const std::string& text) {
  std::size_t done = 0;
  while (done < text.size()) {
    const ssize_t n = write(fd, text.data() + done, text.size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return;
    done += static_cast<std::size_t>(n);
  }
}

// ---------------------------------------------------------------------------
// Files

// The file that a path names, following a symbolic link so that a write
// replaces the linked file and keeps the link.
std::string WriteTarget(const std::string& path) {
  struct stat st;
  if (lstat(path.c_str(), &st) == 0 && S_ISLNK(st.st_mode)) {
    if (char* real = realpath(path.c_str(), nullptr)) {
      std::string result = real;
      free(real);
      return result;
    }
  }
  return path;
}

void ModuleAnchor() {}

}  // namespace

// ---------------------------------------------------------------------------
// Serial devices

bool SerialPortExists(const std::string& portName) {
  struct stat st;
  return stat(SerialDevicePath(portName).c_str(), &st) == 0 && S_ISCHR(st.st_mode);
}

std::unique_ptr<SerialDevice> OpenSerialDevice(const std::string& portName, int* error) {
  SerialOpener opener;
  {
    std::lock_guard<std::mutex> lock(OpenerMutex());
    opener = Opener();
  }
  int ignored = 0;
  if (error == nullptr) error = &ignored;
  if (opener) return opener(portName, error);
  return OpenRealSerialDevice(portName, error);
}

void SetSerialOpenerForTesting(SerialOpener opener) {
  std::lock_guard<std::mutex> lock(OpenerMutex());
  Opener() = std::move(opener);
}

bool DeviceIsGone(int error) { return error == EIO || error == ENXIO || error == ENODEV; }

int ListSerialPorts(std::vector<std::string>* names) {
  names->clear();
  DIR* dir = opendir("/sys/class/tty");
  if (dir == nullptr) return Errno();
  while (dirent* entry = readdir(dir)) {
    const std::string name = entry->d_name;
    if (name == "." || name == "..") continue;
    struct stat st;
    // Only devices that a driver backs; consoles and pseudo-terminals have none.
    if (stat(("/sys/class/tty/" + name + "/device/driver").c_str(), &st) != 0) continue;
    std::string devName = name;  // sysfs writes '/' in device names as '!'
    std::replace(devName.begin(), devName.end(), '!', '/');
    const std::string path = "/dev/" + devName;
    if (stat(path.c_str(), &st) != 0 || !S_ISCHR(st.st_mode)) continue;
    if (name.rfind("ttyS", 0) == 0) {
      // Legacy ports exist whether or not there is a UART behind them: keep
      // those where the hardware answers.
      const int fd = open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
      if (fd < 0) continue;
      serial_struct info{};
      const bool present = ioctl(fd, TIOCGSERIAL, &info) == 0 && info.type != PORT_UNKNOWN;
      close(fd);
      if (!present) continue;
    }
    names->push_back(devName);
  }
  closedir(dir);
  return 0;
}

// ---------------------------------------------------------------------------
// The message queue

struct Timer::Impl {
  std::function<void()> onTick;
  unsigned interval = 1000;
  bool enabled = false;
  Clock::time_point due;
  bool Armed() const { return enabled && interval != 0; }
};

Timer::Timer(std::function<void()> onTick) : impl_(std::make_unique<Impl>()) {
  impl_->onTick = std::move(onTick);
  TimerRegistry& reg = Timers();
  std::lock_guard<std::mutex> lock(reg.mutex);
  reg.timers.push_back(impl_.get());
}

Timer::~Timer() {
  TimerRegistry& reg = Timers();
  std::lock_guard<std::mutex> lock(reg.mutex);
  reg.timers.erase(std::remove(reg.timers.begin(), reg.timers.end(), impl_.get()), reg.timers.end());
}

void Timer::SetInterval(unsigned milliseconds) {
  TimerRegistry& reg = Timers();
  std::lock_guard<std::mutex> lock(reg.mutex);
  if (impl_->interval == milliseconds) return;
  impl_->interval = milliseconds;
  impl_->due = reg.Now() + std::chrono::milliseconds(milliseconds);
}

void Timer::SetEnabled(bool enabled) {
  TimerRegistry& reg = Timers();
  std::lock_guard<std::mutex> lock(reg.mutex);
  if (impl_->enabled == enabled) return;
  impl_->enabled = enabled;
  impl_->due = reg.Now() + std::chrono::milliseconds(impl_->interval);
}

bool Timer::Enabled() const {
  std::lock_guard<std::mutex> lock(Timers().mutex);
  return impl_->enabled;
}

bool DispatchMessages() {
  TimerRegistry& reg = Timers();
  Clock::time_point now;  // read under the first pass's lock
  // Each pass takes the first timer due at `now`. A tick moves that timer's
  // next one past `now`, and a callback that arms a timer sets it past `now`
  // too: every timer due at the start ticks once, in the order of creation,
  // unless a callback before it stopped or destroyed it.
  bool dispatched = false;
  for (bool first = true;; first = false) {
    std::function<void()> tick;
    {
      std::lock_guard<std::mutex> lock(reg.mutex);
      if (first) now = reg.Now();
      auto it = std::find_if(reg.timers.begin(), reg.timers.end(),
                             [now](const Timer::Impl* t) { return t->Armed() && t->due <= now; });
      if (it == reg.timers.end()) break;
      Timer::Impl* t = *it;
      const auto interval = std::chrono::milliseconds(t->interval);
      t->due += interval;
      if (t->due <= now) t->due = now + interval;  // missed ticks are not made up
      tick = t->onTick;  // the callback may destroy its timer
    }
    dispatched = true;
    if (tick) tick();
  }
  return dispatched;
}

namespace {

// The thread that waits for work runs the hand-overs as soon as its wait
// ends: what it hands over itself meanwhile needs no wake-up.
thread_local bool t_waitingForWork = false;
thread_local int t_arrivalWatches = 0;

// Sleeps until the wake event or one of the watched devices has something:
// what a device brought is taken on this thread and handed over by its sink,
// so that the reply reaches the module on the thread that waits for it. A
// device stays watched after the wait, until the ArrivalWatch ends: its event
// thread then sleeps through the replies of a whole operation.
void WaitForWakeOrArrival(WakeEvent& wake, WatchedDevices& watched, int milliseconds) {
  pollfd fds[1 + WatchedDevices::kMost] = {{wake.fd, POLLIN, 0}};
  PosixSerialDevice* polled[WatchedDevices::kMost] = {};
  std::size_t count = 0;
  {
    std::lock_guard<std::mutex> lock(watched.mutex);
    for (PosixSerialDevice* device : watched.devices) {
      // A full queue leaves the device readable: no news until it is read.
      if (count == WatchedDevices::kMost || !device->Watchable() || !device->Accepting()) continue;
      device->BeginWatch();
      polled[count] = device;
      fds[1 + count++] = {device->Fd(), POLLIN, 0};
    }
  }
  const bool ready = poll(fds, static_cast<nfds_t>(1 + count), milliseconds) > 0;
  if (!ready) return;
  // A wake-up whose write came after its drain is drained here.
  if (fds[0].revents != 0) wake.Drain();
  std::lock_guard<std::mutex> lock(watched.mutex);
  for (std::size_t i = 0; i < count; ++i) {
    PosixSerialDevice* device = polled[i];
    if (std::find(watched.devices.begin(), watched.devices.end(), device) == watched.devices.end()) continue;
    // Polled again, the device reports what follows the reply at once.
    if (fds[1 + i].revents & POLLIN) device->PassArrivals(PosixSerialDevice::Take::kToReplyEnd);
    if (fds[1 + i].revents & (POLLHUP | POLLERR | POLLNVAL)) device->SeenFailed();
  }
}

}  // namespace

ArrivalWatch::ArrivalWatch() { ++t_arrivalWatches; }

ArrivalWatch::~ArrivalWatch() {
  if (--t_arrivalWatches > 0) return;
  // What came after the last wait, or while the event thread still saw the
  // device watched, is taken here: no arrival goes unreported.
  WatchedDevices& watched = Watched();
  std::lock_guard<std::mutex> lock(watched.mutex);
  for (PosixSerialDevice* device : watched.devices) {
    if (device->EndWatch()) device->PassArrivals(PosixSerialDevice::Take::kAll);
  }
}

void WaitForWork(unsigned maxMilliseconds) {
  TimerRegistry& reg = Timers();
  long long waitMs = maxMilliseconds;
  bool manual = false;
  {
    std::lock_guard<std::mutex> lock(reg.mutex);
    manual = reg.manual;
    const Clock::time_point now = reg.Now();
    for (const Timer::Impl* t : reg.timers) {
      if (!t->Armed()) continue;
      const auto left = std::chrono::ceil<std::chrono::milliseconds>(t->due - now).count();
      waitMs = std::min(waitMs, std::max(0LL, static_cast<long long>(left)));
    }
    // The manual clock passes the wait at once: only ticks can come during it.
    if (manual && !detail::HandOversPending()) reg.manualNow += std::chrono::milliseconds(waitMs);
  }
  // Made at the first call, with the other statics of the queue: a module
  // that waits for work once as it loads keeps them until it has closed its
  // ports as it unloads.
  WakeEvent& wake = Wake();
  WatchedDevices& watched = Watched();
  if (wake.signaled.load()) wake.Drain();
  if (detail::HandOversPending() || waitMs <= 0 || manual) return;
  struct Waiting {
    Waiting() { t_waitingForWork = true; }
    ~Waiting() { t_waitingForWork = false; }
  } const waiting;
  // Without an ArrivalWatch of the caller's, the watch ends with this wait.
  const ArrivalWatch watch;
  WaitForWakeOrArrival(wake, watched, static_cast<int>(std::min(waitMs, 1LL << 30)));
}

void UseManualClockForTesting(bool manual) {
  TimerRegistry& reg = Timers();
  std::lock_guard<std::mutex> lock(reg.mutex);
  if (reg.manual == manual) return;
  const Clock::time_point real = Clock::now();
  if (manual) {
    reg.manualNow = reg.manualStart = real;
  } else {
    // The timers keep the time they had left.
    for (Timer::Impl* t : reg.timers) t->due += real - reg.manualNow;
  }
  reg.manual = manual;
}

std::uint64_t ManualClockMilliseconds() {
  TimerRegistry& reg = Timers();
  std::lock_guard<std::mutex> lock(reg.mutex);
  if (!reg.manual) return 0;
  return static_cast<std::uint64_t>(
      std::chrono::duration_cast<std::chrono::milliseconds>(reg.manualNow - reg.manualStart).count());
}

namespace detail {

void SignalWork() {
  if (t_waitingForWork) return;  // handed over by the waiting thread itself
  WakeEvent& wake = Wake();
  if (wake.signaled.exchange(true)) return;  // a wake-up is under way already
  const std::uint64_t one = 1;
  ssize_t ignored = write(wake.fd, &one, sizeof one);
  (void)ignored;
}

}  // namespace detail

// ---------------------------------------------------------------------------
// User interface

int MessageBox(const std::string& text, const std::string& caption, unsigned flags) {
  const bool question = (flags & 0xF) == kMbYesNo;
  const std::string shown = (caption.empty() ? "\n" : "\n[" + caption + "]\n") + text + "\n";
  const int tty = OpenForegroundTerminal();
  if (tty < 0) {
    WriteAll(STDERR_FILENO, shown);
    return question ? kIdNo : kIdOk;
  }
  WriteAll(tty, shown);
  int result = kIdOk;
  if (question) {
    WriteAll(tty, "(y/n) ");
    std::string answer;
    char c;
    for (;;) {
      const ssize_t n = read(tty, &c, 1);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0 || c == '\n' || c == '\r') break;
      if (answer.size() < 64) answer += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    }
    const auto b = answer.find_first_not_of(" \t");
    const auto e = answer.find_last_not_of(" \t");
    answer = b == std::string::npos ? "" : answer.substr(b, e - b + 1);
    result = (answer == "y" || answer == "yes") ? kIdYes : kIdNo;
  }
  close(tty);
  return result;
}

void Beep(unsigned, unsigned) {
  const int tty = OpenForegroundTerminal();
  if (tty < 0) return;
  WriteAll(tty, "\a");
  close(tty);
}

void MessageBeep(unsigned) { Beep(0, 0); }

void ShellOpen(const std::string& target) {
  // Everything the children need is made before fork: after it only calls
  // that are safe in the child of a threaded process run.
  const char* argv[] = {"xdg-open", target.c_str(), nullptr};
  const pid_t child = fork();
  if (child < 0) return;
  if (child == 0) {
    // The child starts the opener in a new session and leaves at once, so the
    // opener is nobody's child here and nothing waits for it.
    setsid();
    if (fork() == 0) {
      const int null = open("/dev/null", O_RDWR);
      if (null >= 0) {
        dup2(null, STDIN_FILENO);
        dup2(null, STDOUT_FILENO);
        dup2(null, STDERR_FILENO);
      }
      closefrom(STDERR_FILENO + 1);
      execvp(argv[0], const_cast<char* const*>(argv));
      _exit(127);
    }
    _exit(0);
  }
  while (waitpid(child, nullptr, 0) < 0 && errno == EINTR) {
  }
}

// ---------------------------------------------------------------------------
// Files, settings, the process

std::string IniRead(const std::string& file, const std::string& section, const std::string& key,
                    const std::string& defaultValue) {
  std::string content;
  if (ReadLocalFile(file, &content, kIniMaxFileSize) != 0) content.clear();
  return IniGetValue(content, section, key, defaultValue);
}

int IniWrite(const std::string& file, const std::string& section, const std::string& key,
             const std::string& value) {
  std::string content;
  const int e = ReadLocalFile(file, &content, kIniMaxFileSize + 1);
  if (e != 0 && e != ENOENT) return e;
  if (e == ENOENT) content.clear();
  // Rewriting only the part that is read would lose the rest.
  if (content.size() > kIniMaxFileSize) return EFBIG;
  return WriteLocalFile(file, IniSetValue(content, section, key, value));
}

std::string ExecutableDir() {
  char buffer[4096];
  const ssize_t n = readlink("/proc/self/exe", buffer, sizeof buffer - 1);
  if (n <= 0) return "./";
  std::string path(buffer, static_cast<std::size_t>(n));
  const auto slash = path.rfind('/');
  return slash == std::string::npos ? "./" : path.substr(0, slash + 1);
}

std::string ModuleDir() {
  Dl_info info;
  link_map* map = nullptr;
  if (dladdr1(reinterpret_cast<void*>(&ModuleAnchor), &info, reinterpret_cast<void**>(&map),
              RTLD_DL_LINKMAP) != 0 &&
      map != nullptr && map->l_name != nullptr && map->l_name[0] != '\0') {
    std::string path = map->l_name;
    if (char* real = realpath(map->l_name, nullptr)) {
      path = real;
      free(real);
    }
    const auto slash = path.rfind('/');
    if (slash != std::string::npos) return path.substr(0, slash + 1);
  }
  // This code is in the main program.
  return ExecutableDir();
}

bool FileExists(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0 && !S_ISDIR(st.st_mode);
}

int DeleteLocalFile(const std::string& path) { return unlink(path.c_str()) == 0 ? 0 : Errno(); }

namespace {

class PosixReadingFile : public ReadingFile {
 public:
  PosixReadingFile(int fd, std::uint64_t size) : fd_(fd), size_(size) {}
  ~PosixReadingFile() override { close(fd_); }
  std::uint64_t Size() const override { return size_; }
  int ReadAt(std::uint64_t offset, char* buffer, std::size_t count, std::size_t* read) override {
    std::size_t done = 0;
    while (done < count) {
      const ssize_t n = pread(fd_, buffer + done, count - done, static_cast<off_t>(offset + done));
      if (n < 0 && errno == EINTR) continue;
      if (n < 0) return Errno();
      if (n == 0) break;
      done += static_cast<std::size_t>(n);
    }
    *read = done;
    return 0;
  }

 private:
  int fd_;
  std::uint64_t size_;
};

}  // namespace

std::unique_ptr<ReadingFile> OpenReadingFile(const std::string& path, int* error) {
  // Without O_NONBLOCK, opening a FIFO would wait for a writer.
  const int fd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) {
    *error = Errno();
    return nullptr;
  }
  struct stat st;
  const int failed = fstat(fd, &st) != 0 ? Errno() : S_ISREG(st.st_mode) ? 0 : EINVAL;
  if (failed != 0) {
    *error = failed;
    close(fd);
    return nullptr;
  }
  return std::make_unique<PosixReadingFile>(fd, static_cast<std::uint64_t>(st.st_size));
}

namespace {

// A short hidden name beside the target: ".velk-" and six random characters.
std::string TemporaryName(const std::string& target) {
  static constexpr char kLetters[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
  thread_local std::mt19937 random{std::random_device{}()};
  std::uniform_int_distribution<std::size_t> pick(0, sizeof kLetters - 2);
  const auto slash = target.rfind('/');
  std::string name = slash == std::string::npos ? std::string() : target.substr(0, slash + 1);
  name += ".velk-";
  for (int i = 0; i < 6; ++i) name += kLetters[pick(random)];
  return name;
}

// Puts `temp` under `target` unless a file stands there.
int RenameWithoutReplacing(const std::string& temp, const std::string& target) {
  if (renameat2(AT_FDCWD, temp.c_str(), AT_FDCWD, target.c_str(), RENAME_NOREPLACE) == 0) return 0;
  if (errno != EINVAL && errno != ENOSYS) return Errno();
  // A file system without that rename: a hard link refuses to replace as well.
  if (link(temp.c_str(), target.c_str()) == 0) {
    unlink(temp.c_str());
    return 0;
  }
  if (errno != EPERM && errno != EOPNOTSUPP) return Errno();
  // Neither: the check and the rename are two steps there.
  struct stat st;
  if (lstat(target.c_str(), &st) == 0) return EEXIST;
  return rename(temp.c_str(), target.c_str()) == 0 ? 0 : Errno();
}

class PosixReplacingFile : public ReplacingFile {
 public:
  PosixReplacingFile(std::string target, std::string temp, int fd)
      : target_(std::move(target)), temp_(std::move(temp)), fd_(fd) {}
  ~PosixReplacingFile() override {
    if (fd_ >= 0) close(fd_);
    if (!committed_) unlink(temp_.c_str());
  }
  int Write(const char* data, std::size_t count) override {
    std::size_t done = 0;
    while (done < count) {
      const ssize_t n = write(fd_, data + done, count - done);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) return n == 0 ? EIO : Errno();
      done += static_cast<std::size_t>(n);
    }
    return 0;
  }
  int Finish(CommitMode mode) override {
    if (fsync(fd_) != 0) return Errno();
    const int closed = close(fd_);
    fd_ = -1;
    if (closed != 0) return Errno();
    if (mode == CommitMode::kKeepExisting) {
      if (const int refused = RenameWithoutReplacing(temp_, target_)) return refused;
    } else if (rename(temp_.c_str(), target_.c_str()) != 0) {
      return Errno();
    }
    committed_ = true;
    return 0;
  }

 private:
  std::string target_;
  std::string temp_;
  int fd_;
  bool committed_ = false;
};

}  // namespace

std::unique_ptr<ReplacingFile> CreateReplacingFile(const std::string& path, int* error) {
  const std::string target = WriteTarget(path);
  struct stat old;
  const bool existed = stat(target.c_str(), &old) == 0;
  // A new name in the same folder, so that the rename at Commit replaces the
  // target in one step and a partial file never stands under its name.
  std::string temp;
  int fd = -1;
  for (int attempt = 0; attempt < 100 && fd < 0; ++attempt) {
    temp = TemporaryName(target);
    fd = open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (fd < 0 && errno != EEXIST) break;
  }
  if (fd < 0) {
    *error = Errno();
    return nullptr;
  }
  auto file = std::make_unique<PosixReplacingFile>(target, temp, fd);
  if (existed && fchmod(fd, old.st_mode & 07777) != 0) {
    *error = Errno();
    return nullptr;
  }
  return file;
}

namespace {
thread_local int t_lastError = 0;
}

int LastError() { return t_lastError; }

void SetLastError(int code) {
  t_lastError = code;
  errno = code;
}

std::string Translate(const char* domain, const char* message) {
  static std::mutex mutex;
  static std::set<std::string> bound;
  {
    std::lock_guard<std::mutex> lock(mutex);
    if (bound.insert(domain).second) {
      const std::string folder = ModuleDir() + "locale";
      bindtextdomain(domain, folder.c_str());
      bind_textdomain_codeset(domain, "UTF-8");
    }
  }
  const int saved = errno;
  const char* translated = dgettext(domain, message);
  errno = saved;
  return translated != nullptr ? translated : message;
}

// Unloading joins the port's event thread, so the module may go.
void KeepModuleLoaded() {}

}  // namespace os
