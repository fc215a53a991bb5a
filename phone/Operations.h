// The phone's file system as the exports see it: each operation from its
// request to the judging of the replies.
#pragma once

#include <string>

#include "phone/FileResults.h"
#include "phone/PluginState.h"

// How a step of a listing ended.
enum class ListingStep {
  kEntry,      // an entry is there
  kNoEntries,  // the folder holds no (further) entry: the listing is complete
  kFailed,     // the phone could not be reached or could not list on; the user was told
};

// Host paths here use '\' as separator and begin with '\'.
ListingStep FindFirst(const std::string& hostPath, TFile& entry);
// The next entry of the listing. A listing that could not go on fails: it
// never ends as if it were complete.
ListingStep FindNext(TFile& entry);
int GetFile(const std::string& hostPath, const std::string& localPath, int copyFlags);
int PutFile(const std::string& localPath, const std::string& hostPath);
// `path` is a host path, or a phone path given from the phone's root.
bool MakeDirectory(const std::string& path);
bool RemoveDirectory(const std::string& hostPath);
bool DeleteFile(const std::string& hostPath);
