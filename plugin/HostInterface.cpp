#include "plugin/HostInterface.h"

#include <algorithm>
#include <cstring>

#include "phone/Protocol.h"

HostCallbacks Host;

bool HostShowsMessages() { return os::kUsesHostCallbacks && Host.Request != nullptr; }

int ShowMessageBox(const std::string& text, const std::string& caption, unsigned flags) {
  if (!HostShowsMessages()) return os::MessageBox(text, caption, flags);
  const bool question = (flags & 0xF) == os::kMbYesNo;
  std::string title = caption;
  std::string body = text;
  char unused[2] = {};
  const BOOL yes = Host.Request(State.PluginNumber, question ? kFsRequestMessageYesNo : kFsRequestMessageOk,
                                title.empty() ? nullptr : title.data(), body.data(), unused, sizeof unused);
  if (!question) return os::kIdOk;
  return yes ? os::kIdYes : os::kIdNo;
}

bool AskHost(const std::string& title, const std::string& text, std::string& answer) {
  if (!HostShowsMessages()) return false;
  constexpr std::size_t kAnswerSize = 1024;
  std::string titleText = title;
  std::string body = text;
  std::string buffer = answer.substr(0, kAnswerSize - 1);
  buffer.resize(kAnswerSize, '\0');
  if (!Host.Request(State.PluginNumber, kFsRequestText, titleText.data(), body.data(), buffer.data(),
                    static_cast<int>(kAnswerSize))) {
    return false;
  }
  buffer[kAnswerSize - 1] = '\0';
  answer = buffer.c_str();
  return true;
}

void LogToHost(FsLogType type, const std::string& text) {
  if (!os::kUsesHostCallbacks || Host.Log == nullptr) return;
  std::string line = text;
  Host.Log(State.PluginNumber, type, line.data());
}

FILETIME FileTimeOfPhoneDate(std::uint32_t phoneSeconds) {
  constexpr std::int64_t kFileTimeEpochToUnixSeconds = 11644473600;  // 1601-01-01 to 1970-01-01
  constexpr std::int64_t kTicksPerSecond = 10000000;                  // of 100 ns
  const auto ticks = static_cast<std::uint64_t>(
      (kFileTimeEpochToUnixSeconds + kPhoneEpochUnixSeconds + phoneSeconds) * kTicksPerSecond);
  FILETIME time{};
  time.dwLowDateTime = static_cast<DWORD>(ticks & 0xFFFFFFFF);
  time.dwHighDateTime = static_cast<DWORD>(ticks >> 32);
  return time;
}

void FillFindData(WIN32_FIND_DATAA& findData, const TFile& entry) {
  std::memset(&findData, 0, sizeof findData);
  findData.dwFileAttributes = entry.IsDirectory ? FILE_ATTRIBUTE_DIRECTORY : FILE_ATTRIBUTE_NORMAL;
  if (!entry.IsDirectory) findData.nFileSizeLow = static_cast<DWORD>(entry.EntrySize);
  const std::size_t length = std::min(std::strlen(entry.Name.c_str()), sizeof findData.cFileName - 1);
  std::memcpy(findData.cFileName, entry.Name.c_str(), length);
  const FILETIME date = FileTimeOfPhoneDate(entry.EntryDate);
  findData.ftCreationTime = date;
  findData.ftLastAccessTime = date;
  findData.ftLastWriteTime = date;
}
