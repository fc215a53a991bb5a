// The phone's file system as the exports see it: each operation from its
// request to the judging of the replies.
#pragma once

#include <string>

#include "plugin/fsplugin.h"

// Host paths here use '\' as separator and begin with '\'.
HANDLE FindFirst(const std::string& hostPath, WIN32_FIND_DATAA* findData);
BOOL FindNext(WIN32_FIND_DATAA* findData);
int GetFile(const std::string& hostPath, const std::string& localPath, int copyFlags);
int PutFile(const std::string& localPath, const std::string& hostPath);
// `path` is a host path, or a phone path given from the phone's root.
BOOL MakeDirectory(const std::string& path);
BOOL RemoveDirectory(const std::string& hostPath);
BOOL DeleteFile(const std::string& hostPath);
