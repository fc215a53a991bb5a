// The three virtual folders at the root that turn a copy into an
// installation, and the phone folders the installed files go to. The module
// and the host program both read this one table.
#pragma once

#include <array>
#include <cstddef>

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
