// velkfs: drives the VelkPlugin.wfx module from the command line, calling its
// exports one at a time as a two-panel file manager does.
#include <CLI/CLI.hpp>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iostream>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "host/HostPlatform.h"
#include "host/PluginModule.h"
#include "host/Progress.h"
#include "host/SettingsFile.h"

namespace fs = std::filesystem;

namespace {

// Exit codes beyond the module's file result codes.
constexpr int kExitUsage = 2;

constexpr const char* kModuleName = "VelkPlugin.wfx";
constexpr const char* kSettingsName = "fsplugin.ini";
const char* const kInstallFolders[] = {"INSTALL JAVA GAME", "INSTALL JAVA APP", "INSTALL THEME"};

// ---------------------------------------------------------------------------
// Host paths: the user may type '/' or '\'; the module gets the same separator.

bool IsSeparator(char c) { return c == '/' || c == '\\'; }

char SeparatorOf(const std::string& path) {
  return path.find('/') != std::string::npos ? '/' : '\\';
}

std::string HostPath(const std::string& typed) {
  if (typed.empty()) return "\\";
  if (IsSeparator(typed.front())) return typed;
  return SeparatorOf(typed) + typed;
}

std::string WithoutTrailingSeparator(std::string path) {
  while (path.size() > 1 && IsSeparator(path.back())) path.pop_back();
  return path;
}

bool IsRoot(const std::string& path) { return path.size() == 1 && IsSeparator(path[0]); }

std::string ParentOf(const std::string& path) {
  const std::string trimmed = WithoutTrailingSeparator(path);
  const auto cut = trimmed.find_last_of("/\\");
  return cut == 0 ? trimmed.substr(0, 1) : trimmed.substr(0, cut);
}

std::string NameOf(const std::string& path) {
  const std::string trimmed = WithoutTrailingSeparator(path);
  return trimmed.substr(trimmed.find_last_of("/\\") + 1);
}

std::string Joined(const std::string& folder, const std::string& name, char separator) {
  return IsSeparator(folder.back()) ? folder + name : folder + separator + name;
}

// ---------------------------------------------------------------------------
// The module, from FsInit to FsDisconnect.

struct RemoteEntry {
  std::string name;
  bool isDirectory = false;
  std::uint64_t size = 0;
};

class Session {
 public:
  explicit Session(const host::PluginExports& exports) : fs_(exports) {
    fs_.init(0, host::ReportProgress, nullptr, nullptr);
  }
  ~Session() {
    char root[] = "\\";
    fs_.disconnect(root);
  }
  Session(const Session&) = delete;
  Session& operator=(const Session&) = delete;

  // Lists `path`, handing each entry to `visit` until it returns false.
  // Returns false when the phone could not list the folder (the module has
  // told the user why); an empty folder is a listing without entries.
  bool List(const std::string& path, const std::function<bool(const RemoteEntry&)>& visit) {
    WIN32_FIND_DATAA record{};
    std::string argument = path;
    host::ClearLastError();
    const HANDLE search = fs_.findFirst(argument.data(), &record);
    if (search == INVALID_HANDLE_VALUE) return host::LastError() == ERROR_NO_MORE_FILES;
    bool more = true;
    while (more && visit(EntryOf(record))) more = fs_.findNext(search, &record) != 0;
    fs_.findClose(search);
    return true;
  }

  int Get(const std::string& remote, const std::string& local, bool overwrite,
          std::optional<std::uint64_t> size) {
    std::string remoteArgument = remote;
    std::string localArgument = local;
    host::BeginTransfer(remote + " -> " + local, size);
    const int result = fs_.getFile(remoteArgument.data(), localArgument.data(),
                                   overwrite ? kFsCopyOverwrite : 0, nullptr);
    host::EndTransfer();
    return result;
  }

  int Put(const std::string& local, const std::string& remote) {
    std::string localArgument = local;
    std::string remoteArgument = remote;
    std::error_code error;
    const auto size = fs::file_size(local, error);
    host::BeginTransfer(local + " -> " + remote,
                        error ? std::nullopt : std::optional<std::uint64_t>(size));
    const int result = fs_.putFile(localArgument.data(), remoteArgument.data(), 0);
    host::EndTransfer();
    return result;
  }

  bool MakeDir(const std::string& path) { return Call(fs_.mkDir, path); }
  bool RemoveDir(const std::string& path) { return Call(fs_.removeDir, path); }
  bool DeleteRemoteFile(const std::string& path) { return Call(fs_.deleteFile, path); }

  // Executes a phone path as a file manager does on Enter; the root opens the options.
  void Execute(const std::string& path) {
    std::string target = path;
    char verb[] = "open";
    fs_.executeFile(nullptr, target.data(), verb);
  }

 private:
  static RemoteEntry EntryOf(const WIN32_FIND_DATAA& record) {
    RemoteEntry entry;
    entry.name = record.cFileName;
    entry.isDirectory = (record.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
    entry.size = (static_cast<std::uint64_t>(record.nFileSizeHigh) << 32) | record.nFileSizeLow;
    return entry;
  }

  static bool Call(BOOL(FS_CALL* operation)(char*), const std::string& path) {
    std::string argument = path;
    return operation(argument.data()) != 0;
  }

  host::PluginExports fs_;
};

// ---------------------------------------------------------------------------
// Commands. Each returns the process's exit code.

void Complain(const std::string& text) { std::cerr << "velkfs: " << text << "\n"; }

int ResultCode(int result, const std::string& what) {
  switch (result) {
    case kFsFileOk:
      return 0;
    case kFsFileExists:
      Complain(what + ": the local file exists (use -f to overwrite)");
      return kFsFileExists;
    case kFsFileAborted:
      Complain(what + ": aborted");
      return kFsFileAborted;
    default:
      Complain(what + ": failed");
      return kFsFileFailed;
  }
}

int ListCommand(Session& session, const std::string& typed, bool longForm) {
  const std::string path = HostPath(typed);
  const bool listed = session.List(path, [&](const RemoteEntry& entry) {
    if (!longForm) {
      std::cout << entry.name << "\n";
    } else if (entry.isDirectory) {
      std::printf("%12s  %s/\n", "<DIR>", entry.name.c_str());
    } else {
      std::printf("%12llu  %s\n", static_cast<unsigned long long>(entry.size), entry.name.c_str());
    }
    std::fflush(stdout);
    return true;
  });
  if (listed) return 0;
  Complain("cannot list " + path);
  return kFsFileFailed;
}

// Finds `path` in its parent folder's listing, as a file manager knows what
// it copies; the listing stops at the entry.
std::optional<RemoteEntry> FindRemote(Session& session, const std::string& path) {
  if (IsRoot(path)) return RemoteEntry{"", true, 0};
  std::optional<RemoteEntry> found;
  const std::string name = NameOf(path);
  session.List(ParentOf(path), [&](const RemoteEntry& entry) {
    if (entry.name == name) found = entry;
    return !found;
  });
  return found;
}

bool IsInstallFolder(const std::string& folder, const RemoteEntry& entry) {
  if (!IsRoot(folder) || !entry.isDirectory) return false;
  for (const char* install : kInstallFolders)
    if (entry.name == install) return true;
  return false;
}

int GetTree(Session& session, const std::string& remote, const RemoteEntry& entry, const fs::path& local,
            bool overwrite) {
  if (!entry.isDirectory)
    return ResultCode(session.Get(remote, local.string(), overwrite, entry.size), remote);
  std::error_code error;
  fs::create_directories(local, error);
  if (error) {
    Complain("cannot create " + local.string() + ": " + error.message());
    return kFsFileFailed;
  }
  // The whole listing comes first: a transfer in between would end it.
  std::vector<RemoteEntry> entries;
  if (!session.List(remote, [&](const RemoteEntry& child) {
        if (!IsInstallFolder(remote, child)) entries.push_back(child);
        return true;
      })) {
    Complain("cannot list " + remote);
    return kFsFileFailed;
  }
  for (const auto& child : entries) {
    const int code =
        GetTree(session, Joined(remote, child.name, SeparatorOf(remote)), child, local / child.name, overwrite);
    if (code != 0) return code;
  }
  return 0;
}

int GetCommand(Session& session, const std::string& typedRemote, const std::string& typedLocal,
               bool overwrite) {
  const std::string remote = WithoutTrailingSeparator(HostPath(typedRemote));
  const auto entry = FindRemote(session, remote);
  if (!entry) {
    Complain(remote + ": no such file or folder on the phone");
    return kFsFileFailed;
  }
  fs::path local = typedLocal;
  if (fs::is_directory(local) && !IsRoot(remote)) local /= entry->name;
  return GetTree(session, remote, *entry, local, overwrite);
}

int PutTree(Session& session, const fs::path& local, const std::string& remote) {
  if (!fs::is_directory(local)) return ResultCode(session.Put(local.string(), remote), local.string());
  // A folder that exists already is filled as it is.
  if (!session.MakeDir(remote)) Complain("could not create " + remote + " (it may exist); going on");
  std::vector<fs::path> children;
  for (const auto& child : fs::directory_iterator(local)) children.push_back(child.path());
  std::sort(children.begin(), children.end());
  for (const auto& child : children) {
    const int code = PutTree(session, child, Joined(remote, child.filename().string(), SeparatorOf(remote)));
    if (code != 0) return code;
  }
  return 0;
}

int PutCommand(Session& session, const std::string& typedLocal, const std::string& typedRemote) {
  const fs::path local = typedLocal;
  if (!fs::exists(local)) {
    Complain(typedLocal + ": no such file or folder");
    return kFsFileFailed;
  }
  std::string remote = HostPath(typedRemote);
  if (IsSeparator(remote.back())) remote += fs::absolute(local).lexically_normal().filename().string();
  return PutTree(session, local, remote);
}

int InstallCommand(Session& session, const std::string& installFolder, const std::string& local) {
  const std::string remote = "\\" + installFolder + "\\" + fs::path(local).filename().string();
  return ResultCode(session.Put(local, remote), local);
}

int FolderCommand(bool (Session::*operation)(const std::string&), Session& session, const std::string& typed,
                  const std::string& verb) {
  const std::string path = HostPath(typed);
  if ((session.*operation)(path)) return 0;
  Complain("could not " + verb + " " + path);
  return kFsFileFailed;
}

int ConfigCommand(const std::optional<std::string>& port, const std::optional<std::string>& baud) {
  std::optional<int> baudIndex;
  if (baud) {
    baudIndex = host::BaudIndexFromText(*baud);
    if (!baudIndex) {
      Complain("--baud: not a baud-rate index (0-16) nor a rate of the list: " + *baud);
      return kExitUsage;
    }
  }
  if (!port && !baudIndex) {
    Complain("config: give --port and/or --baud");
    return kExitUsage;
  }
  const std::string path = host::ExecutableDir() + kSettingsName;
  std::string text;
  if (std::ifstream input{path, std::ios::binary}) {
    std::ostringstream content;
    content << input.rdbuf();
    text = content.str();
  }
  if (port) text = host::WithIniValue(text, "VLK", "velkport", *port);
  if (baudIndex) text = host::WithIniValue(text, "VLK", "baud", std::to_string(*baudIndex));
  std::ofstream output{path, std::ios::binary | std::ios::trunc};
  output << text;
  if (!output.flush()) {
    Complain("cannot write " + path);
    return kFsFileFailed;
  }
  std::cout << "Settings written to " << path << "\n";
  return 0;
}

int RunCommandLine(int argc, char** argv);

// Words of a script line: blanks separate them, double quotes keep blanks
// inside one word; a backslash stays as it is, being the phone's separator.
std::vector<std::string> ScriptWords(const std::string& line) {
  std::vector<std::string> words;
  std::string word;
  bool quoted = false, inWord = false;
  for (char c : line) {
    if (c == '"') {
      quoted = !quoted;
      inWord = true;
    } else if (!quoted && (c == ' ' || c == '\t' || c == '\r')) {
      if (inWord) words.push_back(word);
      word.clear();
      inWord = false;
    } else {
      word += c;
      inWord = true;
    }
  }
  if (inWord) words.push_back(word);
  return words;
}

// Runs each line of the file as a velkfs command line in this one process, so
// that a series of commands pays for one program start; stops at the first
// command that fails and returns its exit code.
int ScriptCommand(const std::string& program, const std::string& file) {
  std::ifstream input(file);
  if (!input) {
    Complain("cannot read " + file);
    return kExitUsage;
  }
  std::string line;
  for (int number = 1; std::getline(input, line); ++number) {
    std::vector<std::string> words = ScriptWords(line);
    if (words.empty() || words[0].rfind('#', 0) == 0) continue;
    if (words[0] == "script") {
      Complain(file + ":" + std::to_string(number) + ": a script does not run scripts");
      return kExitUsage;
    }
    std::cout << "> " << line << std::endl;
    words.insert(words.begin(), program);
    std::vector<char*> arguments;
    for (auto& word : words) arguments.push_back(word.data());
    const int code = RunCommandLine(static_cast<int>(arguments.size()), arguments.data());
    if (code != 0) {
      Complain(file + ":" + std::to_string(number) + ": exit code " + std::to_string(code));
      return code;
    }
  }
  return 0;
}

// One velkfs command line: loads the module, runs the command, unloads it.
int RunCommandLine(int argc, char** argv) {
  CLI::App app{"velkfs: the phone's flash file system through the VelkPlugin.wfx module.\n"
               "Phone paths may use '/' or '\\'; the root is '/' or '\\'."};
  app.require_subcommand(1);
  std::string modulePath = host::ExecutableDir() + kModuleName;
  app.add_option("--module", modulePath, "The module to load (default: " + std::string(kModuleName) +
                                             " beside velkfs)");

  std::string remote, local, path;
  bool longForm = false, overwrite = false;
  std::optional<std::string> port, baud;

  auto* ls = app.add_subcommand("ls", "List a phone folder (default the root)");
  ls->add_option("PATH", path, "Phone folder");
  ls->add_flag("-l", longForm, "Long form: sizes, <DIR> for folders");
  auto* get = app.add_subcommand("get", "Copy a file or a whole folder from the phone");
  get->add_option("REMOTE", remote, "Phone file or folder")->required();
  get->add_option("LOCAL", local, "Local target (an existing folder receives it by name)")->required();
  get->add_flag("-f,--force", overwrite, "Overwrite existing local files");
  auto* put = app.add_subcommand("put", "Copy a file or a whole folder to the phone");
  put->add_option("LOCAL", local, "Local file or folder")->required();
  put->add_option("REMOTE", remote, "Phone target (ending in a separator: into that folder)")->required();
  auto* mkdir = app.add_subcommand("mkdir", "Make a folder on the phone");
  mkdir->add_option("PATH", path, "Phone folder")->required();
  auto* rmdir = app.add_subcommand("rmdir", "Remove an empty folder from the phone");
  rmdir->add_option("PATH", path, "Phone folder")->required();
  auto* rm = app.add_subcommand("rm", "Delete a file on the phone");
  rm->add_option("PATH", path, "Phone file")->required();
  auto* installGame = app.add_subcommand("install-game", "Install a Java game (.jar or .jad; the other lies beside it)");
  installGame->add_option("FILE", local, "Local .jar or .jad")->required();
  auto* installApp = app.add_subcommand("install-app", "Install a Java application (.jar or .jad; the other lies beside it)");
  installApp->add_option("FILE", local, "Local .jar or .jad")->required();
  auto* installTheme = app.add_subcommand("install-theme", "Install a theme");
  installTheme->add_option("FILE", local, "Local theme file")->required();
  auto* options = app.add_subcommand("options", "Open the module's options dialog (executes the root)");
  options->add_option("ROOT", path, "The root as the file manager names it: \\ (default) or /");
  auto* config = app.add_subcommand("config", "Set the port and baud rate in fsplugin.ini beside velkfs");
  config->add_option("--port", port, "Port name (COM3; on Linux also a device path such as /dev/ttyUSB0)");
  config->add_option("--baud", baud, "Baud-rate index 0-16 or a rate such as 115200");
  std::string scriptFile;
  auto* script = app.add_subcommand("script", "Run the commands in FILE, one a line, in this one process");
  script->add_option("FILE", scriptFile, "Commands as typed after velkfs; \"quotes\" keep blanks, # starts a comment")
      ->required();

  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& error) {
    const int code = app.exit(error);
    return code == 0 ? 0 : kExitUsage;
  }

  if (config->parsed()) return ConfigCommand(port, baud);
  if (script->parsed()) return ScriptCommand(argv[0], scriptFile);

  host::LoadedModule module(modulePath);
  if (!module.loaded()) {
    Complain(module.error());
    return kFsFileFailed;
  }
  host::PluginExports exports;
  std::string missing;
  if (!host::ResolveExports(module, &exports, &missing)) {
    Complain(modulePath + " has no export " + missing);
    return kFsFileFailed;
  }
  host::InstallInterruptHandler();
  Session session(exports);
  if (ls->parsed()) return ListCommand(session, path, longForm);
  if (get->parsed()) return GetCommand(session, remote, local, overwrite);
  if (put->parsed()) return PutCommand(session, local, remote);
  if (mkdir->parsed()) return FolderCommand(&Session::MakeDir, session, path, "make folder");
  if (rmdir->parsed()) return FolderCommand(&Session::RemoveDir, session, path, "remove folder");
  if (rm->parsed()) return FolderCommand(&Session::DeleteRemoteFile, session, path, "delete");
  if (installGame->parsed()) return InstallCommand(session, kInstallFolders[0], local);
  if (installApp->parsed()) return InstallCommand(session, kInstallFolders[1], local);
  if (installTheme->parsed()) return InstallCommand(session, kInstallFolders[2], local);
  session.Execute(HostPath(path));
  return 0;
}

}  // namespace

int main(int argc, char** argv) { return RunCommandLine(argc, argv); }
