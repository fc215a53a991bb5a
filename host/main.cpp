// velkfs: drives the VelkPlugin.wfx module from the command line, calling its
// exports one at a time as a two-panel file manager does.
#include <CLI/CLI.hpp>

#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "host/Commands.h"
#include "host/PhonePaths.h"
#include "host/Reasons.h"

namespace {

using namespace host;

constexpr const char* kModuleName = "VelkPlugin.wfx";

// The module beside velkfs (a build folder, the Windows archive), else where
// an installation under a prefix puts it: PREFIX/lib/velk-plugin/.
std::string DefaultModulePath() {
  const std::string beside = ExecutableDir() + kModuleName;
  const std::string installed = ExecutableDir() + "../lib/velk-plugin/" + kModuleName;
  std::error_code error;
  return std::filesystem::exists(beside, error) || !std::filesystem::exists(installed, error) ? beside : installed;
}

// What the command line asked for.
struct Request {
  std::string modulePath = DefaultModulePath();
  std::string remote, local, path, scriptFile;
  std::vector<std::string> files;
  bool longForm = false, overwrite = false;
  std::optional<std::string> port, baud;
  CLI::App *ls, *get, *put, *mkdir, *rmdir, *rm, *installGame, *installApp, *installTheme, *options, *config,
      *script;
};

void DefineTransfers(CLI::App& app, Request& r) {
  r.ls = app.add_subcommand("ls", "List a phone folder (default the root)");
  r.ls->add_option("PATH", r.path, "Phone folder");
  r.ls->add_flag("-l", r.longForm, "Long form: sizes, <DIR> for folders");
  r.get = app.add_subcommand("get", "Copy a file or a whole folder from the phone");
  r.get->add_option("REMOTE", r.remote, "Phone file or folder")->required();
  r.get->add_option("LOCAL", r.local, "Local target (an existing folder receives it by name)")->required();
  r.get->add_flag("-f,--force", r.overwrite, "Overwrite existing local files");
  r.put = app.add_subcommand("put", "Copy a file or a whole folder to the phone");
  r.put->add_option("LOCAL", r.local, "Local file or folder")->required();
  r.put->add_option("REMOTE", r.remote,
                    "Phone target (an existing folder, or one ending in a separator, receives it by name)")
      ->required();
  r.mkdir = app.add_subcommand("mkdir", "Make a folder on the phone");
  r.mkdir->add_option("PATH", r.path, "Phone folder")->required();
  r.rmdir = app.add_subcommand("rmdir", "Remove an empty folder from the phone");
  r.rmdir->add_option("PATH", r.path, "Phone folder")->required();
  r.rm = app.add_subcommand("rm", "Delete a file on the phone");
  r.rm->add_option("PATH", r.path, "Phone file")->required();
}

void DefineInstallsAndSettings(CLI::App& app, Request& r) {
  const char* pair = "Local .jar or .jad (the other lies beside it); both of a pair may be given";
  r.installGame = app.add_subcommand("install-game", "Install a Java game");
  r.installGame->add_option("FILE", r.files, pair)->required();
  r.installApp = app.add_subcommand("install-app", "Install a Java application");
  r.installApp->add_option("FILE", r.files, pair)->required();
  r.installTheme = app.add_subcommand("install-theme", "Install a theme");
  r.installTheme->add_option("FILE", r.files, "Local theme file")->required();
  r.options = app.add_subcommand("options", "Open the module's options form (executes the root)");
  r.options->add_option("ROOT", r.path, "The root as the file manager names it: \\ (default) or /");
  r.config = app.add_subcommand("config", "Show the settings in force, or set the port and baud rate in the "
                                          "settings file the module reads (Linux: the user's, "
                                          "$XDG_CONFIG_HOME/velk-plugin/fsplugin.ini; Windows: fsplugin.ini "
                                          "beside velkfs)");
  r.config->add_option("--port", r.port, "Port name (COM3; on Linux also a device path such as /dev/ttyUSB0)");
  r.config->add_option("--baud", r.baud, "Baud-rate index 0-16 or a rate such as 115200");
  r.script = app.add_subcommand("script", "Run the commands in FILE, one a line, in this one process");
  r.script
      ->add_option("FILE", r.scriptFile,
                   "Commands as typed after velkfs; \"quotes\" keep blanks, a line starting with # is a comment")
      ->required();
}

// A parse error's exit code; an unknown subcommand is named with the list.
int ParseFailure(CLI::App& app, const CLI::ParseError& error) {
  const auto unexpected = app.remaining();
  if (app.get_subcommands().empty() && !unexpected.empty() && !unexpected.front().empty() &&
      unexpected.front().front() != '-') {
    std::string names;
    for (const auto* subcommand : app.get_subcommands([](CLI::App*) { return true; }))
      names += (names.empty() ? "" : ", ") + subcommand->get_name();
    Complain("unknown subcommand '" + unexpected.front() + "'; the subcommands are: " + names);
    return kExitUsage;
  }
  return app.exit(error) == 0 ? 0 : kExitUsage;
}

int RunOnPhone(Session& session, const Request& r) {
  if (r.ls->parsed()) return ListCommand(session, r.path, r.longForm);
  if (r.get->parsed()) return GetCommand(session, r.remote, r.local, r.overwrite);
  if (r.put->parsed()) return PutCommand(session, r.local, r.remote);
  if (r.mkdir->parsed()) return MakeDirCommand(session, r.path);
  if (r.rmdir->parsed()) return RemoveDirCommand(session, r.path);
  if (r.rm->parsed()) return DeleteCommand(session, r.path);
  if (r.installGame->parsed()) return InstallCommand(session, kInstallFolders[kInstallJavaGame], r.files);
  if (r.installApp->parsed()) return InstallCommand(session, kInstallFolders[kInstallJavaApp], r.files);
  if (r.installTheme->parsed()) return InstallCommand(session, kInstallFolders[kInstallTheme], r.files);
  session.Execute(FromPhoneRoot(r.path));
  return 0;
}

// The module loaded and its session open; a script keeps one for all its
// lines, as a file manager keeps the module loaded between its calls.
struct ModuleSession {
  explicit ModuleSession(const std::string& path) : module(path) {}
  LoadedModule module;
  PluginExports exports;
  std::optional<Session> session;
};

std::unique_ptr<ModuleSession> OpenModule(const std::string& modulePath) {
  auto opened = std::make_unique<ModuleSession>(modulePath);
  if (!opened->module.loaded()) {
    Complain(opened->module.error());
    return nullptr;
  }
  std::string missing;
  if (!ResolveExports(opened->module, &opened->exports, &missing)) {
    Complain(modulePath + " has no export " + missing);
    return nullptr;
  }
  InstallInterruptHandler();
  opened->session.emplace(opened->exports);
  return opened;
}

// Runs the command in the script's session, or else loads the module for it alone.
int RunWithModule(const Request& r, ModuleSession* scriptSession) {
  if (scriptSession) return RunOnPhone(*scriptSession->session, r);
  const std::unique_ptr<ModuleSession> own = OpenModule(r.modulePath);
  return own ? RunOnPhone(*own->session, r) : kFsFileFailed;
}

// A path as a message names it: one longer than a line is shortened.
std::string Shortened(const std::string& path) {
  constexpr std::size_t kLongest = 80;
  if (path.size() <= kLongest) return path;
  return path.substr(0, 40) + "..." + path.substr(path.size() - 20) + " (" + std::to_string(path.size()) +
         " characters)";
}

int RunCommandLine(int argc, char** argv, ModuleSession* scriptSession);

int RunScriptLine(const std::string& program, std::vector<std::string>& words, ModuleSession* scriptSession) {
  words.insert(words.begin(), program);
  std::vector<char*> arguments;
  for (auto& word : words) arguments.push_back(word.data());
  return RunCommandLine(static_cast<int>(arguments.size()), arguments.data(), scriptSession);
}

int RunScript(const std::string& program, const Request& r) {
  const std::unique_ptr<ModuleSession> shared = OpenModule(r.modulePath);
  if (!shared) return kFsFileFailed;
  return ScriptCommand(r.scriptFile,
                       [&](std::vector<std::string>& words) { return RunScriptLine(program, words, shared.get()); });
}

// One velkfs command line; the lines of a script share the script's session.
int RunCommandLine(int argc, char** argv, ModuleSession* scriptSession) {
  CLI::App app{"velkfs: the phone's flash file system through the VelkPlugin.wfx module.\n"
               "Phone paths may use '/' or '\\'; the root is '/' or '\\'."};
  app.require_subcommand(1);
  Request r;
  app.add_option("--module", r.modulePath,
                 "The module to load (default: " + std::string(kModuleName) +
                     " beside velkfs, else in ../lib/velk-plugin/)");
  DefineTransfers(app, r);
  DefineInstallsAndSettings(app, r);
  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& error) {
    return ParseFailure(app, error);
  }
  if (r.config->parsed()) return ConfigCommand(r.port, r.baud);
  try {
    if (r.script->parsed()) return RunScript(argv[0], r);
    return RunWithModule(r, scriptSession);
  } catch (const std::filesystem::filesystem_error& error) {
    // Such as a local path longer than the system allows.
    Complain(Shortened(error.path1().string()) + ": " + error.code().message());
    return kFsFileFailed;
  }
}

}  // namespace

int main(int argc, char** argv) { return RunCommandLine(argc, argv, nullptr); }
