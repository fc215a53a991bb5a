// velkfs: drives the VelkPlugin.wfx module from the command line, calling its
// exports one at a time as a two-panel file manager does.
#include <CLI/CLI.hpp>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <functional>
#include <iostream>
#include <optional>
#include <string>
#include <vector>

#include "host/HostPlatform.h"
#include "host/PluginModule.h"
#include "host/Progress.h"
#include "phone/InstallFolders.h"
#include "platform/platform.h"
#include "settings/Settings.h"
#include "serial/CPort.h"

namespace fs = std::filesystem;

namespace {

// Exit codes beyond the module's file result codes.
constexpr int kExitUsage = 2;

constexpr const char* kModuleName = "VelkPlugin.wfx";

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
  ~Session() { Close(); }
  Session(const Session&) = delete;
  Session& operator=(const Session&) = delete;

  // Ends the module's session: the port is free afterwards.
  void Close() {
    if (!open_) return;
    open_ = false;
    char root[] = "\\";
    fs_.disconnect(root);
  }

  // Lists `path`, handing each entry to `visit` until it returns false.
  // Returns false when the phone could not list the folder (the module has
  // told the user why); an empty folder is a listing without entries.
  bool List(const std::string& path, const std::function<bool(const RemoteEntry&)>& visit) {
    WIN32_FIND_DATAA record{};
    std::string argument = path;
    host::ClearLastError();
    const HANDLE search = fs_.findFirst(argument.data(), &record);
    if (search == INVALID_HANDLE_VALUE) {
      const bool empty = host::LastError() == ERROR_NO_MORE_FILES;
      if (!empty && IsRoot(path)) rootFailed_ = true;
      return empty;
    }
    bool more = true;
    while (more && visit(EntryOf(record))) more = fs_.findNext(search, &record) != 0;
    fs_.findClose(search);
    return true;
  }

  // True when the phone lists its root; a root that failed to list before is
  // not tried again (each try may cost the whole reply time-out).
  bool PhoneAnswers() {
    return !rootFailed_ && List("\\", [](const RemoteEntry&) { return false; });
  }

  int Get(const std::string& remote, const std::string& local, bool overwrite,
          std::optional<std::uint64_t> size) {
    std::string remoteArgument = remote;
    std::string localArgument = local;
    host::BeginTransfer(remote + " -> " + local, size);
    const int result = fs_.getFile(remoteArgument.data(), localArgument.data(),
                                   overwrite ? kFsCopyOverwrite : 0, nullptr);
    host::EndTransfer(result == kFsFileOk);
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
    host::EndTransfer(result == kFsFileOk);
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
  bool open_ = true;
  bool rootFailed_ = false;
};

// ---------------------------------------------------------------------------
// The settings the module reads when it loads. The one place velkfs reads or
// writes them.

struct PortSettings {
  settings::Values values;
  std::string origin;  // where they come from, as the user is told
};

// Read as the module reads them, defaults included.
PortSettings SettingsInUse() {
  const std::string path = settings::ReadPath();
  return {settings::Read(path), fs::exists(path) ? "from " + path : "the module's defaults: there is no " + path};
}

// The line rate of a baud index as the module uses it (its low byte picks a
// rate of the port's table; index 0 is the custom rate, 9600); nothing for an
// index that the module refuses.
std::optional<std::uint32_t> RateOfBaudIndex(std::int32_t index) {
  const auto rate = static_cast<std::uint8_t>(index & 0xFF);
  if (rate >= kBaudRateCount) return std::nullopt;
  return BaudRateValue(static_cast<TBaudRate>(rate), 9600);
}

// ---------------------------------------------------------------------------
// Why something failed, as far as velkfs can tell.

// Tries the port as the module opens it; the system's reason when it does not open.
std::optional<std::string> PortOpenError(const std::string& port) {
  int error = 0;
  if (os::OpenSerialDevice(port, &error)) return std::nullopt;
  return host::SystemErrorText(error);
}

// Why the phone cannot be reached: the settings in use, whether their port
// opens, and how to change them. Ends the session first, as the module holds
// the port until then.
std::string UnreachableReason(Session& session) {
  session.Close();
  const PortSettings inUse = SettingsInUse();
  const settings::Values& settings = inUse.values;
  const auto rate = RateOfBaudIndex(settings.baudIndex);
  const std::string baud =
      rate ? std::to_string(*rate) + " baud" : "baud index " + std::to_string(settings.baudIndex);
  std::string reason;
  if (!rate) {
    reason = "the " + baud + " is none of the list (0-16), so the module does not open the port";
  } else if (const auto error = PortOpenError(settings.port)) {
    reason = "the port " + settings.port + " could not be opened: " + *error;
  } else {
    reason = "the phone did not answer on " + settings.port + " at " + baud;
  }
  return reason + "\n  settings: port " + settings.port + ", " + baud + " (" + inUse.origin + ")" +
         "\n  to change them: velkfs config --port PORT --baud RATE (PORT such as /dev/ttyUSB0 or COM3)";
}

// What stands at a phone path, as its parent folder's listing shows it; the
// listing stops at the entry.
struct Lookup {
  bool parentListed = false;
  std::optional<RemoteEntry> entry;
};

Lookup FindRemote(Session& session, const std::string& path) {
  if (IsRoot(path)) return {true, RemoteEntry{"", true, 0}};
  Lookup found;
  const std::string name = NameOf(path);
  found.parentListed = session.List(ParentOf(path), [&](const RemoteEntry& entry) {
    if (entry.name == name) found.entry = entry;
    return !found.entry;
  });
  return found;
}

using EntryReason = std::function<std::string(const std::optional<RemoteEntry>&)>;

// Why an operation on the phone path `path` failed: the phone does not answer,
// the folder it lies in is missing, or what `explain` makes of the entry at
// the path (none when there is none).
std::string PhoneReason(Session& session, const std::string& path, const EntryReason& explain) {
  if (!session.PhoneAnswers()) return UnreachableReason(session);
  const Lookup found = FindRemote(session, path);
  if (!found.parentListed) return "there is no phone folder " + ParentOf(path);
  return explain(found.entry);
}

std::string ListFailureReason(Session& session, const std::string& folder) {
  return PhoneReason(session, folder, [&](const std::optional<RemoteEntry>& entry) -> std::string {
    if (!entry) return "there is no phone folder " + folder;
    if (!entry->isDirectory) return "it is a file";
    return "the phone could not list it";
  });
}

// Why a local file cannot be read, or nothing when it can.
std::optional<std::string> UnreadableReason(const fs::path& local) {
  if (fs::is_directory(local)) return local.string() + " is a folder";
  errno = 0;
  std::FILE* file = std::fopen(local.string().c_str(), "rb");
  if (file == nullptr) return "cannot read " + local.string() + ": " + std::strerror(errno);
  std::fclose(file);
  return std::nullopt;
}

std::string PutFailureReason(Session& session, const fs::path& local, const std::string& remote) {
  if (const auto unreadable = UnreadableReason(local)) return *unreadable;
  return PhoneReason(session, remote, [](const std::optional<RemoteEntry>& entry) -> std::string {
    if (entry && entry->isDirectory) return "the target is a phone folder";
    return "the phone did not take the file";
  });
}

std::string InstallFailureReason(Session& session, const InstallFolder& folder, const fs::path& local) {
  if (const auto unreadable = UnreadableReason(local)) return *unreadable;
  if (folder.javaPair) {
    const std::string extension = local.extension().string();
    if (extension != ".jar" && extension != ".jad")
      return "a Java installation takes a .jar or a .jad (in lower case), the other lying beside it";
    // The module finds the companion by the last letter of the name.
    const std::string path = local.string();
    const fs::path companion = path.substr(0, path.size() - 1) + (extension == ".jar" ? "d" : "r");
    if (const auto unreadable = UnreadableReason(companion)) return "its companion is missing: " + *unreadable;
  }
  if (!session.PhoneAnswers()) return UnreachableReason(session);
  const std::string required = std::string("/") + folder.requiredFolder;
  const auto entry = FindRemote(session, required).entry;
  if (!entry || !entry->isDirectory) return "the phone has no folder " + required + ", into which this installation goes";
  return "the phone did not take the file";
}

// ---------------------------------------------------------------------------
// Commands. Each returns the process's exit code.

void Complain(const std::string& text) { std::cerr << "velkfs: " << text << "\n"; }

// The exit code of a transfer's result; a failure is told with `whyFailed`.
int ResultCode(int result, const std::string& what, const std::function<std::string()>& whyFailed) {
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
      Complain(what + ": " + whyFailed());
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
  Complain("cannot list " + path + ": " + ListFailureReason(session, WithoutTrailingSeparator(path)));
  return kFsFileFailed;
}

bool IsInstallFolder(const std::string& folder, const RemoteEntry& entry) {
  if (!IsRoot(folder) || !entry.isDirectory) return false;
  for (const InstallFolder& install : kInstallFolders)
    if (entry.name == install.name) return true;
  return false;
}

int GetTree(Session& session, const std::string& remote, const RemoteEntry& entry, const fs::path& local,
            bool overwrite) {
  if (!entry.isDirectory) {
    return ResultCode(session.Get(remote, local.string(), overwrite, entry.size),
                      "cannot copy " + remote + " to " + local.string(), [&] {
      if (!session.PhoneAnswers()) return UnreachableReason(session);
      return "the transfer failed (the phone broke off, or " + local.string() + " could not be written)";
    });
  }
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
    Complain("cannot list " + remote + ": " + ListFailureReason(session, remote));
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
  const Lookup found = FindRemote(session, remote);
  if (!found.entry && found.parentListed) {
    // A listing may not show every entry the phone has: the phone itself is asked for the file.
    fs::path local = typedLocal;
    if (fs::is_directory(local)) local /= NameOf(remote);
    return ResultCode(session.Get(remote, local.string(), overwrite, std::nullopt),
                      "cannot copy " + remote + " to " + local.string(),
                      [] { return std::string("no such file or folder on the phone"); });
  }
  if (!found.entry) {
    Complain("cannot copy " + remote + ": " + ListFailureReason(session, ParentOf(remote)));
    return kFsFileFailed;
  }
  fs::path local = typedLocal;
  if (fs::is_directory(local) && !IsRoot(remote)) local /= found.entry->name;
  return GetTree(session, remote, *found.entry, local, overwrite);
}

int PutTree(Session& session, const fs::path& local, const std::string& remote) {
  if (!fs::is_directory(local)) {
    return ResultCode(session.Put(local.string(), remote), "cannot copy " + local.string(),
                      [&] { return PutFailureReason(session, local, remote); });
  }
  // A folder that exists already is filled as it is.
  if (!session.MakeDir(remote)) {
    const std::string reason = PhoneReason(session, remote, [](const std::optional<RemoteEntry>& entry) {
      if (!entry) return "the phone did not make it";
      return entry->isDirectory ? "" : "a phone file of that name is in the way";
    });
    if (!reason.empty()) {
      Complain("cannot make folder " + remote + ": " + reason);
      return kFsFileFailed;
    }
  }
  std::vector<fs::path> children;
  std::error_code error;
  for (fs::directory_iterator child(local, error), end; !error && child != end; child.increment(error))
    children.push_back(child->path());
  if (error) {
    Complain("cannot read " + local.string() + ": " + error.message());
    return kFsFileFailed;
  }
  std::sort(children.begin(), children.end());
  for (const auto& child : children) {
    const int code = PutTree(session, child, Joined(remote, child.filename().string(), SeparatorOf(remote)));
    if (code != 0) return code;
  }
  return 0;
}

// Like cp: a target that ends in a separator, or names an existing phone
// folder, receives the local file or folder by its name.
int PutCommand(Session& session, const std::string& typedLocal, const std::string& typedRemote) {
  const fs::path local = typedLocal;
  if (!fs::exists(local)) {
    Complain(typedLocal + ": no such file or folder");
    return kFsFileFailed;
  }
  const fs::path absolute = fs::absolute(local).lexically_normal();
  const std::string name = (absolute.has_filename() ? absolute : absolute.parent_path()).filename().string();
  std::string remote = HostPath(typedRemote);
  if (IsSeparator(remote.back())) {
    remote += name;
  } else {
    const Lookup found = FindRemote(session, remote);
    // A folder that cannot be listed cannot receive the copy either.
    if (!found.parentListed) {
      Complain("cannot copy " + typedLocal + ": " + ListFailureReason(session, ParentOf(remote)));
      return kFsFileFailed;
    }
    if (found.entry && found.entry->isDirectory) remote = Joined(remote, name, SeparatorOf(remote));
  }
  return PutTree(session, local, remote);
}

int InstallCommand(Session& session, const InstallFolder& folder, const std::string& local) {
  const std::string remote = std::string("\\") + folder.name + "\\" + fs::path(local).filename().string();
  return ResultCode(session.Put(local, remote), "cannot install " + local,
                    [&] { return InstallFailureReason(session, folder, local); });
}

int FolderCommand(bool (Session::*operation)(const std::string&), Session& session, const std::string& typed,
                  const std::string& verb, const EntryReason& explain) {
  const std::string path = WithoutTrailingSeparator(HostPath(typed));
  if ((session.*operation)(path)) return 0;
  Complain("cannot " + verb + " " + path + ": " + PhoneReason(session, path, explain));
  return kFsFileFailed;
}

std::string MakeDirReason(const std::optional<RemoteEntry>& entry) {
  if (!entry) return "the phone refused it";
  return entry->isDirectory ? "the folder exists" : "a file of that name exists";
}

std::string DeleteReason(const std::optional<RemoteEntry>& entry) {
  if (!entry) return "no such file on the phone";
  if (entry->isDirectory) return "it is a phone folder (rmdir removes empty folders)";
  return "the phone refused it";
}

int RemoveDirCommand(Session& session, const std::string& typed) {
  const std::string path = WithoutTrailingSeparator(HostPath(typed));
  return FolderCommand(&Session::RemoveDir, session, typed, "remove folder",
                       [&](const std::optional<RemoteEntry>& entry) -> std::string {
                         if (!entry) return "no such folder on the phone";
                         if (!entry->isDirectory) return "it is a file (rm deletes files)";
                         bool empty = true;
                         session.List(path, [&](const RemoteEntry&) {
                           empty = false;
                           return false;
                         });
                         return empty ? "the phone refused it" : "the folder is not empty";
                       });
}

int ConfigCommand(const std::optional<std::string>& port, const std::optional<std::string>& baud) {
  std::optional<std::int32_t> baudIndex;
  if (baud) {
    baudIndex = settings::BaudIndexFromText(*baud);
    if (!baudIndex) {
      Complain("--baud: not a baud-rate index (0-16) nor a rate of the list: " + *baud);
      return kExitUsage;
    }
  }
  if (!port && !baudIndex) {
    Complain("config: give --port and/or --baud");
    return kExitUsage;
  }
  const std::string path = settings::WritePath();
  // A first user file starts from the settings read so far, so that the key
  // not given keeps its value instead of falling back to its default.
  const std::string readFrom = settings::ReadPath();
  const settings::Values current = settings::Read(readFrom);
  const bool seed = readFrom != path;
  if (settings::Write(path, port ? port : seed ? std::optional(current.port) : std::nullopt,
                      baudIndex ? baudIndex : seed ? std::optional(current.baudIndex) : std::nullopt) != 0) {
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
  put->add_option("REMOTE", remote, "Phone target (an existing folder, or one ending in a separator, receives it by name)")->required();
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
  auto* config = app.add_subcommand("config", "Set the port and baud rate in the settings file the module reads "
                                               "(Linux: the user's, $XDG_CONFIG_HOME/velk-plugin/fsplugin.ini; "
                                               "Windows: fsplugin.ini beside velkfs)");
  config->add_option("--port", port, "Port name (COM3; on Linux also a device path such as /dev/ttyUSB0)");
  config->add_option("--baud", baud, "Baud-rate index 0-16 or a rate such as 115200");
  std::string scriptFile;
  auto* script = app.add_subcommand("script", "Run the commands in FILE, one a line, in this one process");
  script
      ->add_option("FILE", scriptFile,
                   "Commands as typed after velkfs; \"quotes\" keep blanks, a line starting with # is a comment")
      ->required();

  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& error) {
    const auto unexpected = app.remaining();
    if (app.get_subcommands().empty() && !unexpected.empty() && !unexpected.front().empty() &&
        unexpected.front().front() != '-') {
      std::string names;
      for (const auto* subcommand : app.get_subcommands([](CLI::App*) { return true; }))
        names += (names.empty() ? "" : ", ") + subcommand->get_name();
      Complain("unknown subcommand '" + unexpected.front() + "'; the subcommands are: " + names);
      return kExitUsage;
    }
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
  if (mkdir->parsed()) return FolderCommand(&Session::MakeDir, session, path, "make folder", MakeDirReason);
  if (rmdir->parsed()) return RemoveDirCommand(session, path);
  if (rm->parsed()) return FolderCommand(&Session::DeleteRemoteFile, session, path, "delete", DeleteReason);
  if (installGame->parsed()) return InstallCommand(session, kInstallFolders[kInstallJavaGame], local);
  if (installApp->parsed()) return InstallCommand(session, kInstallFolders[kInstallJavaApp], local);
  if (installTheme->parsed()) return InstallCommand(session, kInstallFolders[kInstallTheme], local);
  session.Execute(HostPath(path));
  return 0;
}

}  // namespace

int main(int argc, char** argv) { return RunCommandLine(argc, argv); }
