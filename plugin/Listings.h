// The listings that FsFindFirst opens, each under a handle of its own. A
// listing keeps where it stands between its calls, so that a transfer, a
// folder command or another listing in between cannot move it on or end it.
#pragma once

#include <optional>

#include "phone/PluginState.h"
#include "plugin/fsplugin.h"

// The position the module's state holds after a listing call, and the state
// set back to a listing's position before its next call.
ListingPosition CurrentListingPosition();
void ResumeListing(const ListingPosition& position);

// Open listings; safe to use from any thread.
HANDLE OpenListing(const ListingPosition& position);
std::optional<ListingPosition> FindListing(HANDLE search);
// Keeps the position of a listing that is still open.
void UpdateListing(HANDLE search, const ListingPosition& position);
void CloseListing(HANDLE search);
