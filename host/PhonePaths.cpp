#include "host/PhonePaths.h"

namespace host {

bool IsSeparator(char c) { return c == '/' || c == '\\'; }

char SeparatorOf(const std::string& path) { return path.find('/') != std::string::npos ? '/' : '\\'; }

std::string FromPhoneRoot(const std::string& typed) {
  if (typed.empty()) return "\\";
  if (IsSeparator(typed.front())) return typed;
  return SeparatorOf(typed) + typed;
}

std::string WithoutTrailingSeparator(std::string path) {
  while (path.size() > 1 && IsSeparator(path.back())) path.pop_back();
  return path;
}

bool IsRoot(const std::string& path) { return path.size() == 1 && IsSeparator(path[0]); }

std::string ParentOf(const std::string& path) {
  const std::string trimmed = WithoutTrailingSeparator(path);
  const auto cut = trimmed.find_last_of("/\\");
  return cut == 0 ? trimmed.substr(0, 1) : trimmed.substr(0, cut);
}

std::string NameOf(const std::string& path) {
  const std::string trimmed = WithoutTrailingSeparator(path);
  return trimmed.substr(trimmed.find_last_of("/\\") + 1);
}

std::string Joined(const std::string& folder, const std::string& name, char separator) {
  return IsSeparator(folder.back()) ? folder + name : folder + separator + name;
}

}  // namespace host
