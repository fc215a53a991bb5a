#include "emulator/PhoneFileSystem.h"

#include <algorithm>
#include <chrono>
#include <climits>
#include <fstream>
#include <system_error>

namespace fs = std::filesystem;

namespace phonesim {

std::uint32_t PhoneTime(fs::file_time_type time) {
  const auto unixSeconds =
      std::chrono::duration_cast<std::chrono::seconds>(std::chrono::file_clock::to_sys(time).time_since_epoch());
  return static_cast<std::uint32_t>(
      std::clamp<std::int64_t>(unixSeconds.count() - kPhoneEpochUnixSeconds, 0, UINT32_MAX));
}

PhoneFileSystem::PhoneFileSystem(fs::path root) : root_(std::move(root)) {}

std::optional<fs::path> PhoneFileSystem::Resolve(const std::string& phonePath) const {
  if (!phonePath.empty() && phonePath.front() == '/') return std::nullopt;
  fs::path local = root_;
  std::size_t start = 0;
  while (start <= phonePath.size()) {
    const auto slash = std::min(phonePath.find('/', start), phonePath.size());
    const std::string component = phonePath.substr(start, slash - start);
    if (component == "..") return std::nullopt;
    if (!component.empty() && component != ".") local /= component;
    start = slash + 1;
  }
  return local;
}

std::optional<std::vector<FolderEntry>> PhoneFileSystem::List(const std::string& phonePath, bool folders) const {
  const auto local = Resolve(phonePath);
  std::error_code error;
  if (!local || !fs::is_directory(*local, error)) return std::nullopt;
  std::vector<FolderEntry> entries;
  for (const auto& item : fs::directory_iterator(*local, error)) {
    if (folders && item.is_directory(error)) {
      entries.push_back({item.path().filename().string(), 0, PhoneTime(item.last_write_time(error))});
    } else if (!folders && item.is_regular_file(error)) {
      entries.push_back({item.path().filename().string(), item.file_size(error), PhoneTime(item.last_write_time(error))});
    }
  }
  if (error) return std::nullopt;
  // std::string compares like memcmp: a bytewise order, the same on every run.
  std::sort(entries.begin(), entries.end(), [](const FolderEntry& a, const FolderEntry& b) { return a.name < b.name; });
  return entries;
}

std::optional<Bytes> PhoneFileSystem::ReadFile(const std::string& phonePath) const {
  const auto local = Resolve(phonePath);
  std::error_code error;
  if (!local || !fs::is_regular_file(*local, error)) return std::nullopt;
  const std::uintmax_t size = fs::file_size(*local, error);
  if (error) return std::nullopt;
  std::ifstream in(*local, std::ios::binary);
  // Read at once into its size: a file of megabytes is read at every download.
  Bytes data(static_cast<std::size_t>(size), '\0');
  if (!in.read(data.data(), static_cast<std::streamsize>(size))) return std::nullopt;
  return data;
}

namespace {

// A file may be stored at `local`: not the root, in a folder, and no folder there.
bool MayStoreAt(const std::optional<fs::path>& local, const fs::path& root) {
  std::error_code error;
  return local && *local != root && fs::is_directory(local->parent_path(), error) &&
         !fs::is_directory(*local, error);
}

}  // namespace

bool PhoneFileSystem::CanStore(const std::string& phonePath) const { return MayStoreAt(Resolve(phonePath), root_); }

FsResult PhoneFileSystem::StoreFile(const std::string& phonePath, const Bytes& data) const {
  const auto local = Resolve(phonePath);
  if (!MayStoreAt(local, root_)) return FsResult::kRefused;
  const fs::path& target = *local;
  const fs::path temporary = target.parent_path() / (".phonesim-" + target.filename().string() + ".part");
  {
    std::ofstream out(temporary, std::ios::binary | std::ios::trunc);
    out.write(data.data(), static_cast<std::streamsize>(data.size()));
    if (!out) return FsResult::kFailed;
  }
  std::error_code error;
  fs::rename(temporary, target, error);
  if (error) {
    fs::remove(temporary, error);
    return FsResult::kFailed;
  }
  return FsResult::kOk;
}

FsResult PhoneFileSystem::MakeDir(const std::string& phonePath) const {
  const auto local = Resolve(phonePath);
  if (!local) return FsResult::kRefused;
  std::error_code error;
  if (fs::exists(*local, error)) return FsResult::kExists;
  if (!fs::is_directory(local->parent_path(), error)) return FsResult::kMissing;
  return fs::create_directory(*local, error) ? FsResult::kOk : FsResult::kFailed;
}

FsResult PhoneFileSystem::RemoveDir(const std::string& phonePath) const {
  const auto local = Resolve(phonePath);
  if (!local || *local == root_) return FsResult::kRefused;
  std::error_code error;
  if (!fs::is_directory(*local, error)) return FsResult::kMissing;
  if (!fs::is_empty(*local, error)) return FsResult::kNotEmpty;
  return fs::remove(*local, error) ? FsResult::kOk : FsResult::kFailed;
}

FsResult PhoneFileSystem::DeleteFile(const std::string& phonePath) const {
  const auto local = Resolve(phonePath);
  if (!local) return FsResult::kRefused;
  std::error_code error;
  if (!fs::is_regular_file(*local, error)) return FsResult::kMissing;
  return fs::remove(*local, error) ? FsResult::kOk : FsResult::kFailed;
}

}  // namespace phonesim
