#include <algorithm>
#include <vector>

#include "host/Commands.h"
#include "host/PhonePaths.h"
#include "host/Reasons.h"

namespace fs = std::filesystem;

namespace host {

namespace {

std::string PutFailureReason(Session& session, const fs::path& local, const std::string& remote) {
  if (const auto unreadable = UnreadableReason(local)) return *unreadable;
  const std::string said = session.ModuleReason();
  // A line that went away, or a phone that fell silent, only the module saw.
  if (!said.empty() && !session.PhoneAnswers()) return said;
  return PhoneReason(session, remote, [&](const std::optional<RemoteEntry>& entry) -> std::string {
    if (entry && entry->isDirectory) return "the target is a phone folder";
    return said.empty() ? "the phone did not take the file" : said;
  });
}

// A folder that exists already is filled as it is.
bool MakeTargetFolder(Session& session, const std::string& remote) {
  if (session.MakeDir(remote)) return true;
  const std::string reason = PhoneReason(session, remote, [](const std::optional<RemoteEntry>& entry) {
    if (!entry) return "the phone did not make it";
    return entry->isDirectory ? "" : "a phone file of that name is in the way";
  });
  if (reason.empty()) return true;
  Complain("cannot make folder " + remote + ": " + reason);
  return false;
}

int PutTree(Session& session, const fs::path& local, const std::string& remote) {
  if (!fs::is_directory(local)) {
    return ResultCode(session.Put(local.string(), remote), "cannot copy " + local.string(),
                      [&] { return PutFailureReason(session, local, remote); });
  }
  if (!MakeTargetFolder(session, remote)) return kFsFileFailed;
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
    if (InterruptRequested()) return kFsFileAborted;
    const int code = PutTree(session, child, Joined(remote, child.filename().string(), SeparatorOf(remote)));
    if (code != 0) return code;
  }
  return 0;
}

}  // namespace

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
  std::string remote = FromPhoneRoot(typedRemote);
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

}  // namespace host
