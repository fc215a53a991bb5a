// The Windows operating-system layer on its own: timers and hand-overs on the
// message queue, INI files, local files, folders and translations.
#include <atomic>
#include <thread>

#include "platform/platform.h"
#include "tests/wine/check.h"

namespace {

void TestTimer() {
  int ticks = 0;
  os::Timer timer([&] { ++ticks; });
  check::That(!timer.Enabled(), "a new timer is disabled");
  timer.SetInterval(50);
  timer.SetEnabled(true);
  const ULONGLONG start = GetTickCount64();
  while (GetTickCount64() - start < 520) {
    os::WaitForWork(20);
    os::DispatchMessages();
  }
  check::That(ticks >= 7 && ticks <= 11, "a 50 ms timer ticks about ten times in 520 ms (" + std::to_string(ticks) + ")");
  timer.SetEnabled(false);
  const int stopped = ticks;
  Sleep(120);
  os::DispatchMessages();
  check::Equal(ticks, stopped, "a disabled timer does not tick");
}

void TestTicksOnlyWhileDispatching() {
  int ticks = 0;
  os::Timer timer([&] { ++ticks; });
  timer.SetInterval(20);
  timer.SetEnabled(true);
  Sleep(100);
  check::Equal(ticks, 0, "ticks wait for message dispatch");
  os::DispatchMessages();
  check::That(ticks >= 1, "dispatching runs a due tick");
}

void TestHandOver() {
  std::atomic<bool> returned{false};
  bool ranOnThisThread = false;
  const DWORD uiThread = GetCurrentThreadId();
  bool handedOver = false;
  std::thread worker([&] {
    handedOver = os::HandOver([&] { ranOnThisThread = GetCurrentThreadId() == uiThread; });
    returned = true;
  });
  Sleep(50);
  check::That(!returned, "HandOver blocks the worker until the work has run");
  const ULONGLONG start = GetTickCount64();
  os::WaitForWork(2000);
  check::That(GetTickCount64() - start < 1000, "WaitForWork wakes for a queued hand-over");
  check::That(os::RunHandOvers(), "RunHandOvers reports that it ran work");
  worker.join();
  check::That(handedOver && ranOnThisThread, "the work ran on the user-interface thread and HandOver returned true");
  check::That(!os::RunHandOvers(), "nothing is left to run");

  std::atomic<int> result{-1};
  std::thread blocked([&] { result = os::HandOver([] {}) ? 1 : 0; });
  Sleep(50);
  os::ShutDownHandOvers();
  blocked.join();
  check::Equal(result, 0, "a pending hand-over returns false after ShutDownHandOvers");
  check::That(!os::HandOver([] {}), "later hand-overs return false at once");
}

void TestFilesAndSettings() {
  const std::string dir = os::ExecutableDir();
  check::That(!dir.empty() && dir.back() == '\\', "ExecutableDir ends in a backslash: " + dir);
  check::Equal(os::ModuleDir(), dir, "the module folder of code linked into the program is the program's folder");

  const std::string ini = dir + "platform_test.ini";
  os::DeleteLocalFile(ini);
  check::Equal(os::IniRead(ini, "VLK", "velkport", "COM1"), "COM1", "a missing file gives the default");
  check::Equal(os::IniWrite(ini, "VLK", "velkport", "COM7"), 0, "IniWrite creates the file");
  check::Equal(os::IniWrite(ini, "Other", "keep", "yes"), 0, "IniWrite adds a second section");
  check::Equal(os::IniWrite(ini, "vlk", "baud", "13"), 0, "IniWrite finds the section whatever its case");
  check::Equal(os::IniRead(ini, "VLK", "VELKPORT", ""), "COM7", "keys are read whatever their case");
  check::Equal(os::IniRead(ini, "VLK", "baud", ""), "13", "the second key of the section");
  check::Equal(os::IniRead(ini, "Other", "keep", ""), "yes", "other sections are kept");
  check::Equal(os::IniRead(ini, "VLK", "missing", "dflt"), "dflt", "a missing key gives the default");
  check::Equal(os::IniWrite("Q:\\no\\such\\folder\\x.ini", "VLK", "a", "b") != 0, 1,
               "IniWrite into a missing folder reports a code");

  const std::string file = dir + "platform_test.bin";
  const std::string bytes("a\0b\r\n\xff", 6);
  os::DeleteLocalFile(file);
  check::That(!os::FileExists(file), "FileExists is false for a missing file");
  check::That(!os::FileExists(dir), "FileExists is false for a folder");
  check::Equal(os::WriteLocalFile(file, bytes), 0, "WriteLocalFile");
  check::That(os::FileExists(file), "FileExists is true after the write");
  std::string read;
  check::Equal(os::ReadLocalFile(file, &read), 0, "ReadLocalFile");
  check::That(read == bytes, "the bytes come back unchanged, zero and CR LF included");
  check::Equal(os::WriteLocalFile(file, "short"), 0, "WriteLocalFile replaces an existing file");
  os::ReadLocalFile(file, &read);
  check::Equal(read, "short", "the replaced file holds only the new data");
  check::Equal(os::DeleteLocalFile(file), 0, "DeleteLocalFile");
  check::Equal(os::DeleteLocalFile(file), 2, "deleting a missing file gives code 2");
  check::Equal(os::ReadLocalFile(file, &read), 2, "reading a missing file gives code 2");
  check::Equal(os::WriteLocalFile("Q:\\no\\such\\folder\\x.bin", "x") != 0, 1,
               "writing into a missing folder reports a code");

  // A file that comes while a download is written is kept unless replacing was asked for.
  for (const bool replace : {false, true}) {
    int error = 0;
    auto writing = os::CreateReplacingFile(file, &error);
    check::That(writing != nullptr, "CreateReplacingFile");
    if (!writing) break;
    writing->Append("written", 7);
    os::WriteLocalFile(file, "came meanwhile");
    check::Equal(writing->Commit(replace ? os::CommitMode::kReplace : os::CommitMode::kKeepExisting),
                 replace ? 0 : os::kErrorFileExists, "Commit with or without replacing");
    writing.reset();
    os::ReadLocalFile(file, &read);
    check::Equal(read, replace ? "written" : "came meanwhile", "the file under the name afterwards");
  }
  int error = 0;
  const auto reading = os::OpenReadingFile(file, &error);
  check::That(reading != nullptr && reading->Size() == 7, "OpenReadingFile and the size");
  if (reading) {
    char piece[4] = {};
    std::size_t got = 0;
    check::Equal(reading->ReadAt(4, piece, sizeof piece, &got), 0, "ReadAt an offset");
    check::Equal(std::string(piece, got), "ten", "the bytes from the offset to the end");
  }
  check::Equal(os::ReadLocalFile(file, &read, 3), 0, "ReadLocalFile with a limit");
  check::Equal(read, "wri", "only the first bytes");
  os::DeleteLocalFile(file);

  os::SetLastError(18);
  check::Equal(os::LastError(), 18, "SetLastError and LastError");
}

void TestPorts() {
  std::vector<std::string> names;
  check::Equal(os::ListSerialPorts(&names), 0, "ListSerialPorts reads the registry");
  std::string all;
  for (const std::string& name : names) all += name + " ";
  check::That(!names.empty() && names[0].rfind("COM", 0) == 0, "the list holds COM names: " + all);
  int error = 0;
  check::That(os::OpenSerialDevice("COM77", &error) == nullptr, "opening a missing port fails");
  check::Equal(error, 2, "with the code of a missing file");
}

void TestTranslate() {
  // The runner starts the program with a German user locale; the catalogue
  // lies in locale\de, which the layer reaches from "de_DE".
  check::Equal(os::Translate("velktest", "Unable to open com port"), "Kann den COM-Port nicht oeffnen",
               "a message with a translation");
  check::Equal(os::Translate("velktest", "Not translated here"), "Not translated here",
               "a message without a translation stays");
  check::Equal(os::Translate("nosuchdomain", "Registry error"), "Registry error", "a domain without a catalogue");
}

}  // namespace

int main() {
  TestTimer();
  TestTicksOnlyWhileDispatching();
  TestFilesAndSettings();
  TestPorts();
  TestTranslate();
  TestHandOver();  // last: it shuts hand-overs down for good
  return check::Summary();
}
