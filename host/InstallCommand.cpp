#include "host/Commands.h"
#include "host/Reasons.h"

namespace fs = std::filesystem;

namespace host {

namespace {

std::string InstallFailureReason(Session& session, const InstallFolder& folder, const fs::path& local) {
  if (const auto unreadable = UnreadableReason(local)) return *unreadable;
  if (folder.javaPair) {
    const std::string companion = JavaCompanionOf(local.string());
    if (companion.empty()) return "a Java installation takes a .jar or a .jad (in lower case), the other lying beside it";
    if (const auto unreadable = UnreadableReason(companion)) return "its companion is missing: " + *unreadable;
  }
  const std::string said = session.ModuleReason();
  // A line that went away, or a phone that fell silent, only the module saw.
  if (!session.PhoneAnswers()) return said.empty() ? UnreachableReason(session) : said;
  const std::string required = std::string("/") + folder.requiredFolder;
  const auto entry = FindRemote(session, required).entry;
  if (!entry || !entry->isDirectory) return "the phone has no folder " + required + ", into which this installation goes";
  return said.empty() ? "the phone did not take the file" : said;
}

}  // namespace

int InstallCommand(Session& session, const InstallFolder& folder, const std::vector<std::string>& files) {
  for (const std::string& local : files) {
    const std::string remote = std::string("\\") + folder.name + "\\" + fs::path(local).filename().string();
    const int code = ResultCode(session.Put(local, remote), "cannot install " + local,
                                [&] { return InstallFailureReason(session, folder, local); });
    if (code != 0) return code;
  }
  return 0;
}

}  // namespace host
