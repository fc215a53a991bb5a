// The emulator's phone behind a real pseudo-terminal, served by a thread of
// the test: the module under test opens the terminal as its serial port.
#pragma once

#include <poll.h>
#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <memory>
#include <thread>

#include "emulator/PhoneEmulator.h"
#include "tests/platform/pty.h"

class PtyPhone {
 public:
  explicit PtyPhone(const std::filesystem::path& root)
      : files_(root), phone_(files_, 256, phonesim::FaultOptions{}), thread_([this] { Serve(); }) {}
  ~PtyPhone() {
    stop_ = true;
    thread_.join();
  }
  const std::string& PortPath() const { return pty_.SlavePath(); }
  std::uint64_t Requests() const { return phone_.RequestCount(); }

 private:
  void Serve() {
    FrameCollector frames;
    while (!stop_) {
      pollfd pfd{pty_.Master(), POLLIN, 0};
      if (poll(&pfd, 1, 20) <= 0 || !(pfd.revents & POLLIN)) continue;
      char buffer[4096];
      const ssize_t n = read(pty_.Master(), buffer, sizeof buffer);
      if (n <= 0) continue;
      frames.Append(Bytes(buffer, static_cast<std::size_t>(n)));
      while (auto frame = frames.Next()) {
        for (const auto& piece : phone_.OnFrame(*frame).pieces) pty_.Send(piece.bytes);
      }
    }
  }

  testing_pty::Pty pty_;
  phonesim::PhoneFileSystem files_;
  phonesim::PhoneEmulator phone_;
  std::atomic<bool> stop_{false};
  std::thread thread_;
};
