// File work that is the same on every system, built on each system's
// ReadingFile and ReplacingFile.
#include <algorithm>

#include "platform/platform.h"

namespace os {

int ReadLocalFile(const std::string& path, std::string* data, std::size_t limit) {
  int error = 0;
  const auto file = OpenReadingFile(path, &error);
  if (!file) return error;
  std::string content(static_cast<std::size_t>(std::min<std::uint64_t>(file->Size(), limit)), '\0');
  std::size_t done = 0;
  while (done < content.size()) {
    std::size_t read = 0;
    if (const int failed = file->ReadAt(done, content.data() + done, content.size() - done, &read)) return failed;
    if (read == 0) break;  // the file shrank meanwhile
    done += read;
  }
  content.resize(done);
  *data = std::move(content);
  return 0;
}

namespace {
// A download's chunks are a few hundred bytes: one system call per chunk
// would cost more than the chunk's whole way from the port.
constexpr std::size_t kWriteSize = 64 * 1024;
}  // namespace

int ReplacingFile::Append(const char* data, std::size_t count) {
  if (gathered_.empty() && count >= kWriteSize) return Write(data, count);
  gathered_.append(data, count);
  if (gathered_.size() < kWriteSize) return 0;
  const int failed = Write(gathered_.data(), gathered_.size());
  gathered_.clear();
  return failed;
}

int ReplacingFile::Commit(CommitMode mode) {
  if (!gathered_.empty()) {
    const int failed = Write(gathered_.data(), gathered_.size());
    gathered_.clear();
    if (failed != 0) return failed;
  }
  return Finish(mode);
}

int WriteLocalFile(const std::string& path, const std::string& data) {
  int error = 0;
  const auto file = CreateReplacingFile(path, &error);
  if (!file) return error;
  if (const int appended = file->Append(data.data(), data.size())) return appended;
  return file->Commit(CommitMode::kReplace);
}

}  // namespace os
