// velkfs's subcommands. Each returns the process's exit code; phone paths are
// as the user typed them.
#pragma once

#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "host/Session.h"
#include "phone/InstallFolders.h"

namespace host {

int ListCommand(Session& session, const std::string& typed, bool longForm);
int GetCommand(Session& session, const std::string& typedRemote, const std::string& typedLocal, bool overwrite);
int PutCommand(Session& session, const std::string& typedLocal, const std::string& typedRemote);
// Copies each file into the install folder in turn, as a file manager copies
// the files marked; stops at the first that fails.
int InstallCommand(Session& session, const InstallFolder& folder, const std::vector<std::string>& files);
int MakeDirCommand(Session& session, const std::string& typed);
int RemoveDirCommand(Session& session, const std::string& typed);
int DeleteCommand(Session& session, const std::string& typed);

// Without a setting to change, shows the settings in force.
int ConfigCommand(const std::optional<std::string>& port, const std::optional<std::string>& baud);

// Runs each line of `file` through `runLine` (a command line, the program
// name first) in this one process.
using CommandLineRunner = std::function<int(std::vector<std::string>& words)>;
int ScriptCommand(const std::string& file, const CommandLineRunner& runLine);

}  // namespace host
