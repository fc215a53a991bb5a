// File work that is the same on every system, built on each system's
// ReplacingFile.
#include "platform/platform.h"

namespace os {

int WriteLocalFile(const std::string& path, const std::string& data) {
  int error = 0;
  const auto file = CreateReplacingFile(path, &error);
  if (!file) return error;
  if (const int appended = file->Append(data.data(), data.size())) return appended;
  return file->Commit();
}

}  // namespace os
