// phonesim: a BREW phone's flash file system served from a local folder over a
// pseudo-terminal, for trying the plug-in module without a phone.
#include <CLI/CLI.hpp>
#include <iostream>

#include "emulator/PhoneEmulator.h"
#include "emulator/PtyLink.h"

namespace {

// What the command line gives, before the faults take their final form.
struct CommandLine {
  std::string root;
  phonesim::LinkOptions link;
  phonesim::FaultOptions faults;
  std::size_t chunk = kChunkSize;
  std::string repeatKind = "1404";
  std::vector<std::string> statuses;
  std::pair<std::uint64_t, std::size_t> noise{0, 0};
  std::pair<std::uint64_t, unsigned> late{0, 0};
};

void AddPhoneOptions(CLI::App& app, CommandLine& line) {
  app.add_option("--root", line.root, "Folder served as the phone's flash file system")
      ->required()
      ->check(CLI::ExistingDirectory);
  app.add_option("--link", line.link.linkPath, "Symlink to the terminal's slave path (replaced; removed at exit)")
      ->required();
  app.add_option("--chunk", line.chunk, "Most data bytes in one read reply")->capture_default_str()->check(CLI::Range(1, 65535));
  app.add_option("--baud", line.link.baud, "Pace the line: 10 bit times per byte each way (0: no pacing)")
      ->capture_default_str();
  app.add_option("--trace", line.link.tracePath, "Write every frame in (RX) and out (TX) as hex, one per line");
}

void AddFaultOptions(CLI::App& app, CommandLine& line) {
  app.add_option("--seed", line.faults.seed, "Seed of the bit-flip position and the garbage, noise and oversize bytes")->capture_default_str();
  app.add_option("--split", line.faults.split, "Cut every reply into N pieces")->capture_default_str()->check(CLI::PositiveNumber);
  app.add_option("--gap", line.faults.gapMs, "Milliseconds between the pieces of a split reply")->capture_default_str();
  app.add_option("--delay", line.faults.delayMs, "Milliseconds before every reply")->capture_default_str();
  app.add_option("--drop-nth", line.faults.dropNth, "Don't answer the Nth request (counted from 1)");
  app.add_option("--flip-nth", line.faults.flipNth, "Flip one bit in the reply to the Nth request");
  app.add_option("--flip-request-nth", line.faults.flipRequestNth, "Flip one bit of the Nth request: its checksum fails, it is not answered");
  app.add_option("--silent-from", line.faults.silentFrom, "Answer no request from the Nth on");
  app.add_option("--garbage-nth", line.faults.garbageNth, "Send stray bytes before the reply to the Nth request");
  app.add_option("--repeat-nth", line.faults.repeatNth, "Answer the Nth request (a read) asking for the first request again");
  app.add_option("--repeat-kind", line.repeatKind, "Reply of --repeat-nth: 1404 (a frame 14 04) or 590406 (the frame 59 04 06)")
      ->capture_default_str()
      ->check(CLI::IsMember({"1404", "590406"}));
  app.add_option("--status", line.statuses, "OP=STATUS: answer every OP request with that status "
                                            "(OP: list, read, write, mkdir, rmdir, delete)");
  app.add_option("--hangup-after", line.faults.hangupAfter, "Close the terminal once the Nth request is answered, then exit");
  app.add_option("--dup-nth", line.faults.dupNth, "Send the reply to the Nth request twice");
  app.add_option("--stale-nth", line.faults.staleNth, "Carry out the Nth request but send the reply to the one before "
                                                      "in place of its own");
  app.add_flag("--empty-chunks", line.faults.emptyChunks, "Answer every next-chunk read request with no data");
  app.add_option("--oversize-nth", line.faults.oversizeNth, "Let the reply to the Nth request (a read) carry extra bytes");
  app.add_option("--noise-nth", line.noise, "N BYTES: send BYTES random bytes without 0x7E before the reply to the Nth request");
  app.add_option("--late-nth", line.late, "N MS: send the reply to the Nth request MS milliseconds late");
  app.add_option("--late-abort", line.faults.lateAbortMs, "Send every answer to the abort packet MS milliseconds late");
}

// False, with a message, when a --status is not OP=STATUS.
bool FinishFaults(CommandLine& line) {
  phonesim::FaultOptions& faults = line.faults;
  faults.noiseNth = line.noise.first;
  faults.noiseBytes = line.noise.second;
  faults.lateNth = line.late.first;
  faults.lateMs = line.late.second;
  for (const auto& status : line.statuses) {
    if (!phonesim::AddStatusOverride(faults, status)) {
      std::cerr << "phonesim: --status " << status << ": expected OP=STATUS, OP one of list, read, write, mkdir, "
                << "rmdir, delete and STATUS 0..255" << std::endl;
      return false;
    }
  }
  faults.repeatKind = line.repeatKind == "1404" ? phonesim::RepeatKind::kRepeatRequest1404
                                                : phonesim::RepeatKind::kReadStatus590406;
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  CLI::App app{"Emulates a BREW phone's flash file system on a pseudo-terminal."};
  CommandLine line;
  AddPhoneOptions(app, line);
  AddFaultOptions(app, line);
  CLI11_PARSE(app, argc, argv);
  if (!FinishFaults(line)) return 2;

  const phonesim::PhoneFileSystem files{line.root};
  phonesim::PhoneEmulator phone(files, line.chunk, line.faults);
  return phonesim::RunPtyLink(phone, line.link);
}
