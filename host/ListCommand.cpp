#include <cstdio>
#include <iostream>

#include "host/Commands.h"
#include "host/PhonePaths.h"
#include "host/Reasons.h"

namespace host {

int ListCommand(Session& session, const std::string& typed, bool longForm) {
  const std::string path = FromPhoneRoot(typed);
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

}  // namespace host
