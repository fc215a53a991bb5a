// The module from FsInit to FsDisconnect, called one export at a time as a
// file manager calls it.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>

#include "host/PluginModule.h"

namespace host {

struct RemoteEntry {
  std::string name;
  bool isDirectory = false;
  std::uint64_t size = 0;
};

class Session {
 public:
  explicit Session(const PluginExports& exports);
  ~Session() { Close(); }
  Session(const Session&) = delete;
  Session& operator=(const Session&) = delete;

  // Ends the module's session: the port is free afterwards.
  void Close();

  // Lists `path`, handing each entry to `visit` until it returns false.
  // Returns false when the phone could not list the folder, or the listing
  // broke off before its end (what was visited is then not the whole folder);
  // an empty folder is a listing without entries.
  bool List(const std::string& path, const std::function<bool(const RemoteEntry&)>& visit);
  // True when the phone lists its root; a root that failed to list before is
  // not tried again (each try may cost the whole reply time-out).
  bool PhoneAnswers();

  int Get(const std::string& remote, const std::string& local, bool overwrite, std::optional<std::uint64_t> size);
  int Put(const std::string& local, const std::string& remote);
  bool MakeDir(const std::string& path);
  bool RemoveDir(const std::string& path);
  bool DeleteRemoteFile(const std::string& path);
  // Executes a phone path as a file manager does on Enter; the root opens the options.
  void Execute(const std::string& path);

  // Why the last call failed, as the module told it; empty when it did not say.
  const std::string& ModuleReason() const;

 private:
  bool Call(BOOL(FS_CALL* operation)(char*), const std::string& path);

  PluginExports fs_;
  bool open_ = true;
  bool rootFailed_ = false;
};

}  // namespace host
