// The phone's flash file system, kept in a local folder. Phone paths are
// '/'-separated, without a leading '/', the root being empty; a path that would
// leave the folder (an absolute path or a ".." component) is refused.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "phone/Protocol.h"
#include "phone/Unit1.h"

namespace phonesim {

struct FolderEntry {
  std::string name;
  std::uint64_t size = 0;       // 0 for a folder
  std::uint32_t modified = 0;   // phone time; 0 before the phone's epoch
};

// A local modification time as phone time, held to the 32 bits of the field.
std::uint32_t PhoneTime(std::filesystem::file_time_type time);

enum class FsResult { kOk, kMissing, kExists, kNotEmpty, kRefused, kFailed };

class PhoneFileSystem {
 public:
  explicit PhoneFileSystem(std::filesystem::path root);

  // The local path of a phone path; nothing when the path leaves the root.
  std::optional<std::filesystem::path> Resolve(const std::string& phonePath) const;

  // Sub-folders or files of a folder, sorted bytewise by name; nothing when
  // the folder can't be listed (missing, not a folder, outside the root).
  std::optional<std::vector<FolderEntry>> List(const std::string& phonePath, bool folders) const;
  std::optional<Bytes> ReadFile(const std::string& phonePath) const;
  // Creates or replaces a file in an existing folder: written under a
  // temporary name beside it and renamed, so it appears complete or not at all.
  FsResult StoreFile(const std::string& phonePath, const Bytes& data) const;
  // True when a file could be stored there: the folder exists and the name
  // is not taken by a folder.
  bool CanStore(const std::string& phonePath) const;
  // Creates one folder level; the parent must exist.
  FsResult MakeDir(const std::string& phonePath) const;
  FsResult RemoveDir(const std::string& phonePath) const;
  FsResult DeleteFile(const std::string& phonePath) const;

 private:
  std::filesystem::path root_;
};

}  // namespace phonesim
