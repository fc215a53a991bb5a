// What the parts of the system layer share among themselves; nothing outside
// platform/ includes this.
#pragma once

#ifdef _WIN32
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
#endif

namespace os::detail {

// Wakes the WaitForWork of the user-interface thread (each system's layer).
void SignalWork();
// Whether work is queued for RunHandOvers (the portable hand-over queue).
bool HandOversPending();

#ifdef _WIN32
// The module (DLL or program) that contains the system layer.
HMODULE ThisModule();
#endif

}  // namespace os::detail
