#include "host/Session.h"

#include <filesystem>
#include <system_error>

#include "host/PhonePaths.h"
#include "host/Progress.h"

namespace host {

namespace {

// The first failure the module reported since the running call began.
std::string moduleReason;

void FS_CALL OnModuleLog(int, int type, char* text) {
  if (text == nullptr) return;
  if (type == kFsLogImportantError && moduleReason.empty()) moduleReason = text;
  // A retry is worth one short line: the user sees why a copy took longer.
  if (type == kFsLogDetails) PrintLine(std::string("velkfs: ") + text);
}

RemoteEntry EntryOf(const WIN32_FIND_DATAA& record) {
  RemoteEntry entry;
  entry.name = record.cFileName;
  entry.isDirectory = (record.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
  entry.size = (static_cast<std::uint64_t>(record.nFileSizeHigh) << 32) | record.nFileSizeLow;
  return entry;
}

}  // namespace

Session::Session(const PluginExports& exports) : fs_(exports) {
  fs_.init(0, ReportProgress, OnModuleLog, nullptr);
}

void Session::Close() {
  if (!open_) return;
  open_ = false;
  char root[] = "\\";
  fs_.disconnect(root);
}

bool Session::List(const std::string& path, const std::function<bool(const RemoteEntry&)>& visit) {
  WIN32_FIND_DATAA record{};
  std::string argument = path;
  moduleReason.clear();
  ClearLastError();
  const HANDLE search = fs_.findFirst(argument.data(), &record);
  if (search == INVALID_HANDLE_VALUE) {
    const bool empty = LastError() == ERROR_NO_MORE_FILES;
    if (!empty && IsRoot(path)) rootFailed_ = true;
    return empty;
  }
  bool more = true;
  bool stopped = false;  // the visitor wanted no more
  while (more) {
    if (!visit(EntryOf(record))) {
      stopped = true;
      break;
    }
    ClearLastError();
    more = fs_.findNext(search, &record) != 0;
  }
  // Only "no more files" ends a listing as complete; any other end is a failure.
  const bool complete = stopped || LastError() == ERROR_NO_MORE_FILES;
  fs_.findClose(search);
  return complete;
}

bool Session::PhoneAnswers() {
  return !rootFailed_ && List("\\", [](const RemoteEntry&) { return false; });
}

int Session::Get(const std::string& remote, const std::string& local, bool overwrite,
                 std::optional<std::uint64_t> size) {
  std::string remoteArgument = remote;
  std::string localArgument = local;
  moduleReason.clear();
  BeginTransfer(remote + " -> " + local, size);
  const int result =
      fs_.getFile(remoteArgument.data(), localArgument.data(), overwrite ? kFsCopyOverwrite : 0, nullptr);
  EndTransfer(result == kFsFileOk);
  return result;
}

int Session::Put(const std::string& local, const std::string& remote) {
  std::string localArgument = local;
  std::string remoteArgument = remote;
  std::error_code error;
  const auto size = std::filesystem::file_size(local, error);
  moduleReason.clear();
  BeginTransfer(local + " -> " + remote, error ? std::nullopt : std::optional<std::uint64_t>(size));
  const int result = fs_.putFile(localArgument.data(), remoteArgument.data(), 0);
  EndTransfer(result == kFsFileOk);
  return result;
}

bool Session::MakeDir(const std::string& path) { return Call(fs_.mkDir, path); }
bool Session::RemoveDir(const std::string& path) { return Call(fs_.removeDir, path); }
bool Session::DeleteRemoteFile(const std::string& path) { return Call(fs_.deleteFile, path); }

void Session::Execute(const std::string& path) {
  std::string target = path;
  char verb[] = "open";
  fs_.executeFile(nullptr, target.data(), verb);
}

const std::string& Session::ModuleReason() const { return moduleReason; }

bool Session::Call(BOOL(FS_CALL* operation)(char*), const std::string& path) {
  std::string argument = path;
  moduleReason.clear();
  return operation(argument.data()) != 0;
}

}  // namespace host
