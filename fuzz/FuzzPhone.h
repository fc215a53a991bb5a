// The module's operations against a phone and a line that the fuzzer plays:
// the phone is the emulator, now and then one that answers an operation with
// a failure status or asks for the file again at every next chunk; the line
// loses or damages requests, and the fuzzer's data decides what of each reply
// reaches the module, and when.
// Time is the platform's manual clock: the module's ticks come every 50 ms as
// in a host, a silent phone's 2.5 s pass without a real wait, and the same
// input always takes the same course.
#pragma once

#include <fuzzer/FuzzedDataProvider.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <filesystem>
#include <fstream>
#include <memory>

#include "emulator/PhoneEmulator.h"
#include "fuzz/Invariant.h"
#include "phone/LinkDriver.h"
#include "phone/PluginState.h"
#include "tests/phone/FakeDevice.h"

namespace fuzzphone {

namespace fs = std::filesystem;

inline Bytes ReadAll(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return Bytes(std::istreambuf_iterator<char>(in), {});
}
inline void WriteAll(const fs::path& path, const Bytes& data) { std::ofstream(path, std::ios::binary) << data; }
// The files of a run live in memory where the system offers it: flushing a
// download to a disk would cost more than the whole run.
inline fs::path ScratchFolder() {
  std::error_code error;
  return fs::is_directory("/dev/shm", error) ? fs::path("/dev/shm") : fs::temp_directory_path();
}

class FuzzPhone {
 public:
  explicit FuzzPhone(FuzzedDataProvider& input) : input_(input) {
    static const fs::path base = ScratchFolder() / ("velk-fuzz-" + std::to_string(getpid()));
    root_ = base / "phone";
    local_ = base / "local";
    fs::remove_all(base);
    fs::create_directories(root_);
    fs::create_directories(local_);
    os::SetSerialOpenerForTesting([this](const std::string&, int*) {
      auto device = std::make_unique<FakeDevice>();
      device_ = device.get();
      device_->onFrame = [this](const Bytes& frame) { OnRequest(frame); };
      return device;
    });
    Ui.MessageBox = [](const std::string&, const std::string&, unsigned) { return os::kIdNo; };
    Ui.MessageBeep = [](unsigned) {};
    Ui.Beep = [](unsigned, unsigned) {};
    os::UseManualClockForTesting(true);
    State = PluginState{};
    State.PortName = "fuzz";
    CreatePluginObjects();
    // Late pieces arrive on the line's ticks, as often as the module polls.
    lineTimer_ = std::make_unique<os::Timer>([this] { LineTick(); });
    lineTimer_->SetInterval(kPollIntervalMs);
    if (!OpenPhonePort()) Violation("the in-memory port does not open");
  }
  ~FuzzPhone() {
    lineTimer_.reset();
    DestroyPluginObjects();
    os::UseManualClockForTesting(false);  // the next run's clock starts at 0
    os::SetSerialOpenerForTesting(nullptr);
    Ui = UserInterface();
  }
  FuzzPhone(const FuzzPhone&) = delete;
  FuzzPhone& operator=(const FuzzPhone&) = delete;

  const fs::path& Root() const { return root_; }
  const fs::path& Local() const { return local_; }
  // Starts the correct phone once its folder is filled.
  void Connect(std::size_t chunk = kChunkSize) {
    FixDates();
    files_ = std::make_unique<phonesim::PhoneFileSystem>(root_);
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

  // Gives everything on the phone one date, so that no reply depends on when
  // the run happens: at the start, and once the module made a folder.
  void FixDates() {
    using namespace std::chrono;
    const auto date = file_clock::from_sys(time_point_cast<seconds>(sys_days{year{2020} / 1 / 1}));
    for (const auto& item : fs::recursive_directory_iterator(root_)) fs::last_write_time(item.path(), date);
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
    const Bytes previous = lastReply_;
    Bytes reply;
    const Bytes packet = Unescape(frame);
    const bool nextChunk = packet.size() == 6 && packet[1] == kOpRead && packet[2] != 0;
    if (nextChunk && !askAgain_.empty()) {
      phone_->OnFrame(frame);  // the phone counts it; its reply is replaced
      reply = EncodeFrame(askAgain_);
    } else {
      for (const auto& piece : phone_->OnFrame(frame).pieces) reply += piece.bytes;
    }
    if (packet.size() > 1 && packet[1] == kOpMakeDir) FixDates();
    lastReply_ = reply;
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
        return DeliverIfFair(noise + reply, {{noise.size(), reply}}, reply);
      }
      case 5: {  // one byte damaged
        Bytes damaged = reply;
        const std::size_t at = input_.ConsumeIntegralInRange<std::size_t>(0, reply.size() - 2);
        damaged[at] = static_cast<char>(damaged[at] ^ input_.ConsumeIntegralInRange(1, 255));
        return DeliverIfFair(damaged, {}, reply);
      }
      case 6:  // twice
        return Deliver(reply + reply);
      case 7:  // the previous reply instead: this one is lost
        return Deliver(previous);
      default:  // the previous reply late, then this one
        return Deliver(previous + reply);
    }
  }

  // A damaged stream must not hold a well-formed reply other than the phone's
  // own frames: no module could tell such a forgery from the phone's answer.
  void DeliverIfFair(const Bytes& stream, const std::vector<std::pair<std::size_t, Bytes>>& genuine, const Bytes& reply) {
    std::size_t start = 0;
    for (std::size_t end = stream.find(kFrameEnd); end != Bytes::npos; end = stream.find(kFrameEnd, end + 1)) {
      for (std::size_t from = start; from < end; ++from) {
        const Bytes segment = stream.substr(from, end + 1 - from);
        bool isGenuine = false;
        for (const auto& [at, frame] : genuine) isGenuine |= at == from && frame == segment;
        if (!isGenuine && CheckedReply(segment)) return Deliver(reply);
      }
      start = end + 1;
    }
    Deliver(stream);
  }

  void Deliver(const Bytes& bytes) {
    if (bytes.empty()) return;
    Trace('<', bytes);
    device_->Deliver(bytes);
  }
  void Schedule(int ticks, Bytes bytes) {
    scheduled_.push_back({ticks, std::move(bytes)});
    lineTimer_->SetEnabled(true);
  }
  Bytes Take() {
    Bytes bytes = std::move(scheduled_.front().bytes);
    scheduled_.pop_front();
    return bytes;
  }
  void LineTick() {
    while (!scheduled_.empty() && scheduled_.front().ticks-- <= 0) Deliver(Take());
    if (scheduled_.empty()) lineTimer_->SetEnabled(false);
  }

  FuzzedDataProvider& input_;
  fs::path root_;
  fs::path local_;
  FakeDevice* device_ = nullptr;
  std::unique_ptr<phonesim::PhoneFileSystem> files_;
  std::unique_ptr<phonesim::PhoneEmulator> phone_;
  std::unique_ptr<os::Timer> lineTimer_;
  std::deque<Delivery> scheduled_;
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
