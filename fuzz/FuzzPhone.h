// The module's operations against a phone and a line that the fuzzer plays:
// the phone is the emulator, now and then one that answers an operation with
// a failure status or asks for the file again at every next chunk; the line
// loses or damages requests, and the fuzzer's data decides what of each reply
// reaches the module, and when.
// Time is the platform's manual clock: the module's ticks come every 50 ms as
// in a host, a silent phone's 2.5 s pass without a real wait, and the same
// input always takes the same course. The whole run takes place on one
// thread: the port has no event thread here, and an arrival that completes a
// reply reaches the module's receive handler through the hand-over queue, as
// the port's event thread would hand it over.
#pragma once

#include <fuzzer/FuzzedDataProvider.h>

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <memory>
#include <utility>
#include <vector>

#include "emulator/PhoneEmulator.h"
#include "fuzz/Invariant.h"
#include "phone/CRC.h"
#include "phone/LinkDriver.h"
#include "phone/PluginState.h"
#include "platform/platform.h"

namespace fuzzphone {

namespace fs = std::filesystem;

// The files of a run, by plain system calls: the standard library's streams,
// paths and directory walks cost a dozen allocations where one would do, and
// under the sanitizers each costs as much as a request to the phone.
inline Bytes ReadAll(const fs::path& path) {
  const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  struct stat info {};
  if (fd < 0 || fstat(fd, &info) != 0) {
    if (fd >= 0) close(fd);
    return {};
  }
  Bytes data(static_cast<std::size_t>(info.st_size), '\0');
  const ssize_t got = read(fd, data.data(), data.size());
  close(fd);
  data.resize(got > 0 ? static_cast<std::size_t>(got) : 0);
  return data;
}
inline void WriteAll(const fs::path& path, const Bytes& data) {
  const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd < 0 || write(fd, data.data(), data.size()) != static_cast<ssize_t>(data.size())) {
    Violation("the fuzz phone cannot write its scratch files");
  }
  close(fd);
}
inline bool Exists(const fs::path& path) { return access(path.c_str(), F_OK) == 0; }
// The entries in the folder open as `fd`, which it closes; with `remove`,
// removes them (and what they hold) first and counts what is left. The
// entries are read into a buffer on the stack: a directory stream would
// allocate 32 KiB at every call, the dearest part of a run's set-up.
inline std::size_t FolderEntries(int fd, bool remove) {
  if (fd < 0) Violation("the fuzz phone cannot open its scratch folders");
  std::size_t left = 0;
  alignas(dirent64) char buffer[4096];
  ssize_t got;
  while ((got = getdents64(fd, buffer, sizeof buffer)) > 0) {
    for (ssize_t at = 0; at < got;) {
      const auto* entry = reinterpret_cast<const dirent64*>(buffer + at);
      at += entry->d_reclen;
      const char* name = entry->d_name;
      if (std::strcmp(name, ".") == 0 || std::strcmp(name, "..") == 0) continue;
      if (remove && entry->d_type != DT_DIR && unlinkat(fd, name, 0) == 0) continue;
      if (remove && (entry->d_type == DT_DIR || errno == EISDIR)) {
        FolderEntries(openat(fd, name, O_RDONLY | O_DIRECTORY | O_CLOEXEC), true);
        if (unlinkat(fd, name, AT_REMOVEDIR) == 0) continue;
      }
      ++left;
    }
  }
  if (got < 0) Violation("the fuzz phone cannot read its scratch folders");
  close(fd);
  return left;
}
inline std::size_t CountEntries(const fs::path& folder) {
  return FolderEntries(open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC), false);
}
inline void EmptyFolder(const fs::path& folder) {
  if (FolderEntries(open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC), true) != 0) {
    Violation("the fuzz phone cannot empty its scratch folders");
  }
}
// The files of a run live in memory where the system offers it: flushing a
// download to a disk would cost more than the whole run.
inline fs::path ScratchFolder() {
  std::error_code error;
  return fs::is_directory("/dev/shm", error) ? fs::path("/dev/shm") : fs::temp_directory_path();
}

// Whether any stretch of `stream` that ends in 0x7E passes the module's check
// (CheckedReply: unescaped, or a 266-byte full reply as received) without
// being the phone's own frame at `genuineAt` (npos: none is). One backward
// pass per stretch: a frame followed by its own checksum leaves the running
// value at the good residue, so undoing it byte by byte from there, a start
// where it is back at 0xFFFF begins a frame that holds. Unescaping from a
// start depends only on the bytes from there on, so each start's unescaped
// frame is one byte (or one escape pair) before that of a later start.
inline bool HoldsForgedReply(const Bytes& stream, std::size_t genuineAt, const Bytes& genuine) {
  constexpr std::size_t kRawFullReply = 266;
  std::size_t start = 0;
  for (std::size_t end = stream.find(kFrameEnd); end != Bytes::npos; end = stream.find(kFrameEnd, start)) {
    const auto isGenuine = [&](std::size_t from) {
      return from == genuineAt && end + 1 - from == genuine.size() && stream.compare(from, genuine.size(), genuine) == 0;
    };
    // The running value and unescaped length (terminator aside) from start f + 1 and f + 2.
    std::uint16_t crcNext = kCrcGoodResidue, crcAfterNext = kCrcGoodResidue;
    std::size_t lengthNext = 0, lengthAfterNext = 0;
    for (std::size_t from = end; from-- > start;) {
      const bool pair = stream[from] == kEscape && (stream[from + 1] == 0x5D || stream[from + 1] == 0x5E);
      std::uint16_t crc = pair ? crcAfterNext : crcNext;
      const std::size_t length = (pair ? lengthAfterNext : lengthNext) + 1;
      CrcUnstep(static_cast<std::uint8_t>(pair ? (stream[from + 1] == 0x5D ? kEscape : kFrameEnd) : stream[from]), crc);
      const bool holds = (length >= 2 && crc == 0xFFFF) ||
                         (end + 1 - from == kRawFullReply &&
                          ChecksumMatches(std::string_view(stream).substr(from, kRawFullReply)));
      if (holds && !isGenuine(from)) return true;
      crcAfterNext = std::exchange(crcNext, crc);
      lengthAfterNext = std::exchange(lengthNext, length);
    }
    start = end + 1;
  }
  return false;
}

// The port's device, in memory: what the module writes goes to the phone at
// once; what the line delivers waits to be read.
class FuzzLine final : public os::SerialDevice {
 public:
  std::function<void(const Bytes& frame)> onFrame;

  void Append(const Bytes& bytes) { input_ += bytes; }
  bool HoldsFrameEnd() const { return input_.find(kFrameEnd) != Bytes::npos; }

  int SetupQueues(std::uint32_t, std::uint32_t) override { return 0; }
  int SetState(const os::DeviceControl&) override { return 0; }
  int SetTimeouts(const os::CommTimeouts&) override { return 0; }
  int SetEventMask(std::uint32_t) override { return 0; }
  int WaitEvent(std::uint32_t*) override { return os::kWaitCancelled; }  // no event thread asks
  void CancelWait() override {}
  int BytesWaiting(std::uint32_t* count) override {
    *count = static_cast<std::uint32_t>(input_.size());
    return 0;
  }
  int Read(void* buffer, std::uint32_t count, std::uint32_t* read) override {
    const std::size_t n = std::min<std::size_t>(count, input_.size());
    input_.copy(static_cast<char*>(buffer), n);
    input_.erase(0, n);
    *read = static_cast<std::uint32_t>(n);
    return 0;
  }
  int Write(const void* data, std::uint32_t count, std::uint32_t* written) override {
    *written = count;
    if (onFrame) onFrame(Bytes(static_cast<const char*>(data), count));
    return 0;
  }
  int Purge(std::uint32_t flags) override {
    if (flags & (os::kPurgeRxClear | os::kPurgeRxAbort)) input_.clear();
    return 0;
  }

 private:
  Bytes input_;
};

class FuzzPhone {
 public:
  explicit FuzzPhone(FuzzedDataProvider& input) : input_(input), run_(++lastRun_) {
    currentRun_ = run_;
    EmptyFolder(folders_.root);
    EmptyFolder(folders_.local);
    if (mkdir(folders_.folder.c_str(), 0755) != 0) Violation("the fuzz phone cannot make its folder");
    os::SetSerialOpenerForTesting([this](const std::string&, int*) {
      auto line = std::make_unique<FuzzLine>();
      line_ = line.get();
      line_->onFrame = [this](const Bytes& frame) { OnRequest(frame); };
      return line;
    });
    Ui.MessageBox = [](const std::string&, const std::string&, unsigned) { return os::kIdNo; };
    Ui.MessageBeep = [](unsigned) {};
    Ui.Beep = [](unsigned, unsigned) {};
    os::UseManualClockForTesting(true);
    State = PluginState{};
    State.PortName = "fuzz";
    CreatePluginObjects();
    State.PortWrapper->Port().SetEvents(0);  // no event thread: Deliver hands arrivals over
    // Late pieces arrive on the line's ticks, as often as the module polls.
    lineTimer_ = std::make_unique<os::Timer>([this] { LineTick(); });
    lineTimer_->SetInterval(kPollIntervalMs);
    if (!OpenPhonePort()) Violation("the in-memory port does not open");
  }
  ~FuzzPhone() {
    currentRun_ = 0;
    lineTimer_.reset();
    DestroyPluginObjects();
    os::UseManualClockForTesting(false);  // the next run's clock starts at 0
    os::SetSerialOpenerForTesting(nullptr);
    Ui = UserInterface();
  }
  FuzzPhone(const FuzzPhone&) = delete;
  FuzzPhone& operator=(const FuzzPhone&) = delete;

  const fs::path& Root() const { return folders_.root; }
  const fs::path& Local() const { return folders_.local; }
  // The phone's folder "d", made at each run's start, where the operations work.
  const fs::path& Folder() const { return folders_.folder; }
  // "d/f.bin" on the phone, and "f.bin" on the local side.
  const fs::path& PhoneFile() const { return folders_.phoneFile; }
  const fs::path& LocalFile() const { return folders_.localFile; }
  // Gives everything on the phone one date, so that no listing depends on
  // when the run happens: before a listing, and once the module made a folder
  // (no other reply carries a date).
  void FixDates() {
    using namespace std::chrono;
    const auto date = file_clock::from_sys(time_point_cast<seconds>(sys_days{year{2020} / 1 / 1}));
    for (const auto& item : fs::recursive_directory_iterator(folders_.root)) fs::last_write_time(item.path(), date);
  }
  // Starts the correct phone once its folder is filled.
  void Connect(std::size_t chunk = kChunkSize) {
    files_ = std::make_unique<phonesim::PhoneFileSystem>(folders_.root);
    phone_ = std::make_unique<phonesim::PhoneEmulator>(*files_, chunk, Persona());
  }
  // Requests the module sent; the phone falls silent past `limit`, so a module
  // that never stops asking shows as an operation without end.
  std::uint64_t Requests() const { return requests_; }
  void SetRequestLimit(std::uint64_t limit) { limit_ = limit; }

 private:
  struct Delivery {
    int ticks;
    Bytes bytes;
  };

  // With VELK_FUZZ_TRACE=1 each run writes its wire to standard error, each
  // request (">") and each delivery ("<") with the clock's time: two runs of
  // one input must write the same.
  static void Trace(char direction, const Bytes& bytes) {
    static const bool tracing = std::getenv("VELK_FUZZ_TRACE") != nullptr;
    if (!tracing) return;
    std::fprintf(stderr, "%6llu ms %c", static_cast<unsigned long long>(os::ManualClockMilliseconds()), direction);
    for (unsigned char byte : bytes) std::fprintf(stderr, " %02x", byte);
    std::fputc('\n', stderr);
  }

  // Mostly a correct phone; now and then one that answers every request of
  // one operation with a failure status (never "no entry" to a listing: a
  // phone that says a folder ends where it does not cannot be caught), or one
  // that answers every next-chunk read by asking for the file again.
  phonesim::FaultOptions Persona() {
    phonesim::FaultOptions faults;
    if (input_.remaining_bytes() == 0) return faults;
    const int persona = input_.ConsumeIntegralInRange(0, 15);
    if (persona == 1) {
      static const std::uint8_t kOps[] = {kOpRead, kOpWrite, kOpMakeDir, kOpIterateDirs, kOpIterateFiles};
      const std::uint8_t op = kOps[input_.ConsumeIntegralInRange<std::size_t>(0, std::size(kOps) - 1)];
      auto status = input_.ConsumeIntegralInRange<std::uint8_t>(1, 255);
      if (status == kStatusNoEntry && (op == kOpIterateDirs || op == kOpIterateFiles)) status = kStatusCannotList;
      faults.statusByOp[op] = status;
    }
    askAgain_ = persona == 2 ? Bytes{0x14, 0x04} : persona == 3 ? phonesim::StatusPacket(kOpRead, kStatusFileMissing) : Bytes();
    return faults;
  }

  // What the line does to a request: false when it never reaches the phone
  // whole (lost, or damaged so that the phone finds a bad checksum).
  bool RequestArrives(const Bytes& frame) {
    if (input_.remaining_bytes() == 0) return true;
    switch (input_.ConsumeIntegralInRange(0, 15)) {
      case 0:  // lost
        return false;
      case 1: {  // one byte damaged; the terminator and the escapes stay where they are
        Bytes damaged = frame;
        const std::size_t at = input_.ConsumeIntegralInRange<std::size_t>(0, frame.size() - 2);
        damaged[at] = static_cast<char>(damaged[at] ^ input_.ConsumeIntegralInRange(1, 255));
        if (damaged[at] == kFrameEnd || damaged[at] == kEscape || frame[at] == kEscape) return false;
        if (!phone_->OnFrame(damaged).pieces.empty()) Violation("the phone answers a damaged request");
        return false;
      }
      default:
        return true;
    }
  }

  void OnRequest(const Bytes& frame) {
    Trace('>', frame);
    ++requests_;
    // The line keeps its order: what is still under way arrives first.
    while (!scheduled_.empty()) Deliver(Take());
    if (!phone_ || requests_ > limit_ || !RequestArrives(frame)) return;
    const Bytes previous = std::exchange(lastReply_, Bytes());
    Bytes answer;
    if (!askAgain_.empty() && IsNextChunkRead(frame)) {
      phone_->OnFrame(frame);  // the phone counts it; its reply is replaced
      answer = EncodeFrame(askAgain_);
    } else {
      for (auto& piece : phone_->OnFrame(frame).pieces) {
        if (answer.empty()) answer = std::move(piece.bytes);
        else answer += piece.bytes;
      }
    }
    // The operation's byte follows the command byte, and no operation is an escaped value.
    if (frame.size() > 1 && static_cast<std::uint8_t>(frame[1]) == kOpMakeDir) FixDates();
    lastReply_ = std::move(answer);
    const Bytes& reply = lastReply_;
    if (reply.empty()) return;
    const int ticks = input_.ConsumeIntegralInRange(0, 60);
    switch (input_.remaining_bytes() == 0 ? 0 : input_.ConsumeIntegralInRange(0, 8)) {
      case 0:
        return Deliver(reply);
      case 1:  // lost
        return;
      case 2: {  // in two pieces
        const std::size_t cut = input_.ConsumeIntegralInRange<std::size_t>(0, reply.size());
        Deliver(reply.substr(0, cut));
        return Schedule(ticks, reply.substr(cut));
      }
      case 3:  // late
        return Schedule(ticks, reply);
      case 4: {  // stray bytes first
        Bytes noise = input_.ConsumeBytesAsString(input_.ConsumeIntegralInRange(1, 64));
        for (char& byte : noise) byte = byte == kFrameEnd ? 0x7F : byte;
        return DeliverIfFair(noise + reply, noise.size(), reply);
      }
      case 5: {  // one byte damaged
        Bytes damaged = reply;
        const std::size_t at = input_.ConsumeIntegralInRange<std::size_t>(0, reply.size() - 2);
        damaged[at] = static_cast<char>(damaged[at] ^ input_.ConsumeIntegralInRange(1, 255));
        return DeliverIfFair(damaged, Bytes::npos, reply);
      }
      case 6:  // twice
        return Deliver(reply + reply);
      case 7:  // the previous reply instead: this one is lost
        return Deliver(previous);
      default:  // the previous reply late, then this one
        return Deliver(previous + reply);
    }
  }

  static bool IsNextChunkRead(const Bytes& frame) {
    const Bytes packet = Unescape(frame);
    return packet.size() == 6 && packet[1] == kOpRead && packet[2] != 0;
  }

  // A damaged stream must not hold a well-formed reply other than the phone's
  // own frame: no module could tell such a forgery from the phone's answer.
  void DeliverIfFair(const Bytes& stream, std::size_t genuineAt, const Bytes& reply) {
    Deliver(HoldsForgedReply(stream, genuineAt, reply) ? reply : stream);
  }

  // What the port's event thread does when a reply's end has arrived: one
  // hand-over at a time, which gives the receive handler what is waiting.
  void Deliver(const Bytes& bytes) {
    if (bytes.empty()) return;
    Trace('<', bytes);
    line_->Append(bytes);
    if (receivePending_ || !line_->HoldsFrameEnd()) return;
    receivePending_ = true;
    os::Post([this, run = run_] {
      if (run != currentRun_) return;  // left from an earlier run
      receivePending_ = false;
      if (!State.PortWrapper || !State.PortWrapper->Port().Connected()) return;
      TComPort& port = State.PortWrapper->Port();
      const std::int32_t count = port.BytesWaiting();
      if (port.OnRxFlag && count > 0) port.OnRxFlag(&port, count);
    });
  }
  void Schedule(int ticks, Bytes bytes) {
    scheduled_.push_back({ticks, std::move(bytes)});
    lineTimer_->SetEnabled(true);
  }
  Bytes Take() {
    Bytes bytes = std::move(scheduled_.front().bytes);
    scheduled_.erase(scheduled_.begin());
    return bytes;
  }
  void LineTick() {
    while (!scheduled_.empty() && scheduled_.front().ticks-- <= 0) Deliver(Take());
    if (scheduled_.empty()) lineTimer_->SetEnabled(false);
  }

  FuzzedDataProvider& input_;
  // The folders of the phone and of the local side: made once, emptied at each run's start.
  struct Folders {
    fs::path root, local, folder, phoneFile, localFile;
  };
  static const Folders& MadeFolders() {
    static const Folders folders = [] {
      const fs::path base = ScratchFolder() / ("velk-fuzz-" + std::to_string(getpid()));
      fs::remove_all(base);
      const fs::path root = base / "phone", local = base / "local";
      fs::create_directories(root);
      fs::create_directories(local);
      return Folders{root, local, root / "d", root / "d" / "f.bin", local / "f.bin"};
    }();
    return folders;
  }
  const Folders& folders_ = MadeFolders();
  static inline std::uint64_t lastRun_ = 0;
  static inline std::uint64_t currentRun_ = 0;  // the run under way, 0 between runs
  const std::uint64_t run_;
  FuzzLine* line_ = nullptr;
  bool receivePending_ = false;
  std::unique_ptr<phonesim::PhoneFileSystem> files_;
  std::unique_ptr<phonesim::PhoneEmulator> phone_;
  std::unique_ptr<os::Timer> lineTimer_;
  std::vector<Delivery> scheduled_;  // few at a time
  Bytes lastReply_;
  Bytes askAgain_;  // the reply to every next-chunk read, when the phone plays a restart loop
  std::uint64_t requests_ = 0;
  std::uint64_t limit_ = 100000;
};

// File contents the fuzzer picks: a size and a pattern with every byte value.
inline Bytes FileData(FuzzedDataProvider& input, std::size_t largest) {
  const std::size_t size = input.ConsumeIntegralInRange<std::size_t>(0, largest);
  const auto seed = input.ConsumeIntegral<std::uint8_t>();
  Bytes data(size, '\0');
  for (std::size_t i = 0; i < size; ++i) data[i] = static_cast<char>(seed + i * 7 + i / 256);
  return data;
}

}  // namespace fuzzphone
