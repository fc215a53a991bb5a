// The phone's file system as the exports see it: each operation from its
// request to the judging of the replies.
#pragma once

#include <string>

#include "phone/FileResults.h"
#include "phone/PluginState.h"

// How a listing began.
enum class ListingStart {
  kEntry,      // the first entry is there
  kNoEntries,  // the folder is empty
  kFailed,     // the phone could not be reached or could not list it; the user was told
};

// Host paths here use '\' as separator and begin with '\'.
ListingStart FindFirst(const std::string& hostPath, TFile& entry);
// The next entry of the listing; false at its end or when it failed.
bool FindNext(TFile& entry);
int GetFile(const std::string& hostPath, const std::string& localPath, int copyFlags);
int PutFile(const std::string& localPath, const std::string& hostPath);
// `path` is a host path, or a phone path given from the phone's root.
bool MakeDirectory(const std::string& path);
bool RemoveDirectory(const std::string& hostPath);
bool DeleteFile(const std::string& hostPath);
