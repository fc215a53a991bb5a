// The three virtual folders at the root that turn a copy into an
// installation, and the phone folders the installed files go to. The module
// and the host program both read this one table.
#pragma once

#include <array>
#include <cstddef>
#include <string>

struct InstallFolder {
  const char* name;         // as listed at the root; case counts
  const char* phoneFolder;  // where the file goes on the phone, from its root
  bool javaPair;            // takes only a .jar or .jad, the other file follows it
  const char* requiredFolder;  // must exist on the phone beforehand (a theme's last two levels are made)
};

enum : std::size_t { kInstallJavaGame, kInstallJavaApp, kInstallTheme };

inline constexpr std::array<InstallFolder, 3> kInstallFolders = {{
    {"INSTALL JAVA GAME", "brew/mod/java_ams/config/games/", true, "brew/mod/java_ams/config/games"},
    {"INSTALL JAVA APP", "brew/mod/java_ams/config/apps/", true, "brew/mod/java_ams/config/apps"},
    {"INSTALL THEME", "brew/mod/cmgr/pp/thm/usr/", false, "brew/mod/cmgr/pp"},
}};

// A theme installation creates these folders first, parent first.
inline constexpr std::array<const char*, 2> kThemeFoldersToCreate = {"brew/mod/cmgr/pp/thm",
                                                                     "brew/mod/cmgr/pp/thm/usr"};

// The other file of a Java pair: the .jad beside a .jar, or the .jar beside a
// .jad, found by changing the last letter of the name (case counts); empty
// for any other file.
inline std::string JavaCompanionOf(const std::string& localPath) {
  const auto endsWith = [&](const char* extension) {
    const std::string tail = extension;
    return localPath.size() >= tail.size() && localPath.compare(localPath.size() - tail.size(), tail.size(), tail) == 0;
  };
  if (endsWith(".jar")) return localPath.substr(0, localPath.size() - 1) + "d";
  if (endsWith(".jad")) return localPath.substr(0, localPath.size() - 1) + "r";
  return std::string();
}
