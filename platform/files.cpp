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
// A transfer's chunks are a few hundred bytes: one system call per chunk
// would cost more than the chunk's whole way over the port.
constexpr std::size_t kBlockSize = 64 * 1024;
}  // namespace

int ReadingFile::ReadAt(std::uint64_t offset, char* buffer, std::size_t count, std::size_t* read) {
  *read = 0;
  if (count >= kBlockSize) return ReadFromFile(offset, buffer, count, read);
  if (offset < aheadAt_ || offset + count > aheadAt_ + ahead_.size()) {
    // No more than the file holds: a small file costs no large block.
    const std::uint64_t left = Size() > offset ? Size() - offset : 0;
    ahead_.resize(std::max<std::size_t>(count, static_cast<std::size_t>(std::min<std::uint64_t>(kBlockSize, left))));
    std::size_t got = 0;
    const int failed = ReadFromFile(offset, ahead_.data(), ahead_.size(), &got);
    ahead_.resize(failed != 0 ? 0 : got);
    aheadAt_ = offset;
    if (failed != 0) return failed;
  }
  const auto from = static_cast<std::size_t>(offset - aheadAt_);
  *read = std::min(count, ahead_.size() - from);
  std::copy_n(ahead_.data() + from, *read, buffer);
  return 0;
}

int ReplacingFile::Append(const char* data, std::size_t count) {
  if (gathered_.empty() && count >= kBlockSize) return Write(data, count);
  gathered_.append(data, count);
  if (gathered_.size() < kBlockSize) return 0;
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
