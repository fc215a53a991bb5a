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
};

enum : std::size_t { kInstallJavaGame, kInstallJavaApp, kInstallTheme };

inline constexpr std::array<InstallFolder, 3> kInstallFolders = {{
    {"INSTALL JAVA GAME", "brew/mod/java_ams/config/games/", true},
    {"INSTALL JAVA APP", "brew/mod/java_ams/config/apps/", true},
    {"INSTALL THEME", "brew/mod/cmgr/pp/thm/usr/", false},
}};

// A theme installation creates these folders first, parent first.
inline constexpr std::array<const char*, 2> kThemeFoldersToCreate = {"brew/mod/cmgr/pp/thm",
                                                                     "brew/mod/cmgr/pp/thm/usr"};
