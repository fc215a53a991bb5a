// mkdir, rmdir and rm: one command on a phone path each.
#include "host/Commands.h"
#include "host/PhonePaths.h"
#include "host/Reasons.h"

namespace host {

namespace {

int FolderCommand(bool (Session::*operation)(const std::string&), Session& session, const std::string& typed,
                  const std::string& verb, const EntryReason& explain) {
  const std::string path = WithoutTrailingSeparator(FromPhoneRoot(typed));
  if ((session.*operation)(path)) return 0;
  Complain("cannot " + verb + " " + path + ": " + PhoneReason(session, path, explain));
  return kFsFileFailed;
}

}  // namespace

int MakeDirCommand(Session& session, const std::string& typed) {
  return FolderCommand(&Session::MakeDir, session, typed, "make folder",
                       [](const std::optional<RemoteEntry>& entry) -> std::string {
                         if (!entry) return "the phone refused it";
                         return entry->isDirectory ? "the folder exists" : "a file of that name exists";
                       });
}

int DeleteCommand(Session& session, const std::string& typed) {
  return FolderCommand(&Session::DeleteRemoteFile, session, typed, "delete",
                       [](const std::optional<RemoteEntry>& entry) -> std::string {
                         if (!entry) return "no such file on the phone";
                         if (entry->isDirectory) return "it is a phone folder (rmdir removes empty folders)";
                         return "the phone refused it";
                       });
}

int RemoveDirCommand(Session& session, const std::string& typed) {
  const std::string path = WithoutTrailingSeparator(FromPhoneRoot(typed));
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

}  // namespace host
