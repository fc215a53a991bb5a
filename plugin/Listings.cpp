#include "plugin/Listings.h"

#include <map>
#include <mutex>

namespace {

// A host that never closes its listings cannot make the table grow without
// end: the oldest is dropped beyond this many.
constexpr std::size_t kOpenListingLimit = 256;

struct ListingTable {
  std::mutex mutex;
  std::map<std::uintptr_t, ListingPosition> open;
  std::uintptr_t nextHandle = 10;  // the first listing's handle is 10, as it always was
};

ListingTable& Table() {
  static ListingTable table;
  return table;
}

std::uintptr_t Key(HANDLE search) { return reinterpret_cast<std::uintptr_t>(search); }

}  // namespace

ListingPosition CurrentListingPosition() { return State.Listing; }

void ResumeListing(const ListingPosition& position) { static_cast<ListingPosition&>(State.Listing) = position; }

HANDLE OpenListing(const ListingPosition& position) {
  ListingTable& table = Table();
  std::lock_guard<std::mutex> lock(table.mutex);
  if (table.open.size() >= kOpenListingLimit) table.open.erase(table.open.begin());
  std::uintptr_t handle = table.nextHandle++;
  // Neither the failure value nor a null handle, nor one still open after a wrap.
  while (handle == Key(INVALID_HANDLE_VALUE) || handle == 0 || table.open.count(handle) != 0) {
    handle = table.nextHandle++;
  }
  table.open.emplace(handle, position);
  return reinterpret_cast<HANDLE>(handle);
}

std::optional<ListingPosition> FindListing(HANDLE search) {
  ListingTable& table = Table();
  std::lock_guard<std::mutex> lock(table.mutex);
  const auto found = table.open.find(Key(search));
  if (found == table.open.end()) return std::nullopt;
  return found->second;
}

void UpdateListing(HANDLE search, const ListingPosition& position) {
  ListingTable& table = Table();
  std::lock_guard<std::mutex> lock(table.mutex);
  const auto found = table.open.find(Key(search));
  if (found != table.open.end()) found->second = position;
}

void CloseListing(HANDLE search) {
  ListingTable& table = Table();
  std::lock_guard<std::mutex> lock(table.mutex);
  table.open.erase(Key(search));
}
