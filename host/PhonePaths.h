// Phone paths as the user types them to velkfs: '/' or '\' as separator, with
// or without the leading one. The module gets them in the typed separator.
#pragma once

#include <string>

namespace host {

bool IsSeparator(char c);
// The separator the user typed ('\' when none).
char SeparatorOf(const std::string& path);
// The typed path from the phone's root: a leading separator added if missing.
std::string FromPhoneRoot(const std::string& typed);
std::string WithoutTrailingSeparator(std::string path);
bool IsRoot(const std::string& path);
std::string ParentOf(const std::string& path);
std::string NameOf(const std::string& path);
std::string Joined(const std::string& folder, const std::string& name, char separator);

}  // namespace host
