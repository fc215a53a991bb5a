// The module as the host loads it: its exports under plain names, and FsInit
// opening the port named in fsplugin.ini beside the program, which the peer
// (pty_peer.py) reports in its state file.
#include <cerrno>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>

#include "tests/wine/check.h"

namespace {

using FsInitFunction = int(WINAPI*)(int, void*, void*, void*);
using FsDisconnectFunction = BOOL(WINAPI*)(char*);
using FsGetDefRootNameFunction = void(WINAPI*)(char*, int);

// Every export and the size of its arguments, which a decorated name would carry.
const struct {
  const char* name;
  int argumentBytes;
} kExports[] = {
    {"FsInit", 16},       {"FsFindFirst", 8},   {"FsFindNext", 8},        {"FsFindClose", 4},
    {"FsGetFile", 16},    {"FsPutFile", 12},    {"FsMkDir", 4},           {"FsRemoveDir", 4},
    {"FsDeleteFile", 4},  {"FsExecuteFile", 12}, {"FsDisconnect", 4},     {"FsGetDefRootName", 8},
};

// GetProcAddress returns a FARPROC; the cast goes through void(*)(), the type
// GCC accepts as "any function", since on x86-64 FARPROC's own return type
// differs from every export's.
template <typename Function>
Function Export(HMODULE module, const char* name) {
  return reinterpret_cast<Function>(reinterpret_cast<void (*)()>(GetProcAddress(module, name)));
}

// A state file that cannot be read says so, so that a failed check shows why.
std::string PeerState(const std::string& stateFile) {
  std::ifstream in(stateFile);
  if (!in) return "(cannot open " + stateFile + ": " + std::strerror(errno) + ")";
  std::string line;
  if (!std::getline(in, line)) return "(" + stateFile + " is empty)";
  return line;
}

void TestExports(HMODULE module) {
  for (const auto& entry : kExports) {
    const std::string plain = entry.name;
    const std::string decorated = plain + "@" + std::to_string(entry.argumentBytes);
    const bool required = plain == "FsInit" || plain == "FsDisconnect" || plain == "FsGetDefRootName";
    const bool found = GetProcAddress(module, plain.c_str()) != nullptr;
    if (found || required) check::That(found, plain + " is exported under its plain name");
    if (!found) std::printf("note: %s is not exported (yet)\n", plain.c_str());
    check::That(GetProcAddress(module, decorated.c_str()) == nullptr, decorated + " is not exported");
  }
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::printf("usage: module_test PEER_STATE_FILE\n");
    return 2;
  }
  const std::string stateFile = argv[1];
  // Seen before the module is loaded, this line tells that Wine started the
  // program: a run without it failed in Wine or the emulator, not in the module.
  std::printf("module test started\n");
  std::fflush(stdout);

  char exePath[MAX_PATH];
  GetModuleFileNameA(nullptr, exePath, MAX_PATH);
  std::string ini = exePath;
  ini = ini.substr(0, ini.find_last_of('\\') + 1) + "fsplugin.ini";
  DeleteFileA(ini.c_str());
  WritePrivateProfileStringA("VLK", "velkport", "COM5", ini.c_str());
  WritePrivateProfileStringA("VLK", "baud", "7", ini.c_str());

  HMODULE module = LoadLibraryA("VelkPlugin.wfx");
  if (!check::That(module != nullptr, "LoadLibraryA(\"VelkPlugin.wfx\") (error " +
                                          std::to_string(GetLastError()) + ")"))
    return check::Summary();
  TestExports(module);

  auto fsInit = Export<FsInitFunction>(module, "FsInit");
  auto fsDisconnect = Export<FsDisconnectFunction>(module, "FsDisconnect");
  auto fsGetDefRootName = Export<FsGetDefRootNameFunction>(module, "FsGetDefRootName");
  if (fsInit == nullptr || fsDisconnect == nullptr || fsGetDefRootName == nullptr) return check::Summary();

  check::Equal(PeerState(stateFile).rfind("open=0", 0), 0, "the port is closed before FsInit: " + PeerState(stateFile));
  check::Equal(fsInit(3, nullptr, nullptr, nullptr), 0, "FsInit returns 0");
  const std::string opened = "open=1 speed=9600 bits=8 parity=N stop=1 raw=1";
  // The state is read for the message only after the wait.
  const bool sawOpen = check::Within(3000, [&] { return PeerState(stateFile) == opened; });
  check::That(sawOpen, "FsInit opened COM5 at 9600 baud, 8N1, raw: " + PeerState(stateFile));

  char buffer[64];
  std::memset(buffer, 0xA5, sizeof buffer);
  fsGetDefRootName(buffer, sizeof buffer);
  bool untouched = true;
  for (char c : buffer) untouched = untouched && static_cast<unsigned char>(c) == 0xA5;
  check::That(untouched, "FsGetDefRootName leaves the buffer untouched");

  char root[] = "\\";
  check::Equal(fsDisconnect(root), -1, "FsDisconnect returns -1");
  const bool sawClose = check::Within(3000, [&] { return PeerState(stateFile).rfind("open=0", 0) == 0; });
  check::That(sawClose, "FsDisconnect closed the port: " + PeerState(stateFile));

  check::That(FreeLibrary(module) != 0, "FreeLibrary");
  DeleteFileA(ini.c_str());
  return check::Summary();
}
