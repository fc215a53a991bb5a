// The interface between a file-manager host and a file-system plug-in module:
// the exported functions, the callbacks the host supplies, the file result codes
// and the find-data record the listing fills.
#pragma once

#include <cstdint>

#ifdef _WIN32
#include <windows.h>
// The module names some of its own functions as the system does; its code
// calls the system's functions by their "A" names.
#undef MessageBox
#undef SetPort
#undef DeleteFile
#undef RemoveDirectory
#define FS_CALL __stdcall
#else
#define FS_CALL
using BOOL = int;
using DWORD = std::uint32_t;
using HANDLE = void*;
using HWND = void*;

// Hosts on Linux declare the record packed to one byte (318 bytes); Windows
// uses the system's own WIN32_FIND_DATAA (320 bytes).
#pragma pack(push, 1)
struct FILETIME {
  DWORD dwLowDateTime;
  DWORD dwHighDateTime;
};
struct WIN32_FIND_DATAA {
  DWORD dwFileAttributes;
  FILETIME ftCreationTime;
  FILETIME ftLastAccessTime;
  FILETIME ftLastWriteTime;
  DWORD nFileSizeHigh;
  DWORD nFileSizeLow;
  DWORD dwReserved0;
  DWORD dwReserved1;
  char cFileName[260];
  char cAlternateFileName[14];
};
#pragma pack(pop)
static_assert(sizeof(WIN32_FIND_DATAA) == 318, "Linux hosts pass the packed record");

constexpr DWORD FILE_ATTRIBUTE_DIRECTORY = 0x10;
constexpr DWORD FILE_ATTRIBUTE_NORMAL = 0x80;
constexpr DWORD ERROR_NO_MORE_FILES = 18;
#define INVALID_HANDLE_VALUE (reinterpret_cast<HANDLE>(static_cast<std::intptr_t>(-1)))
#endif

// Result codes of FsGetFile and FsPutFile, and FsGetFile's copy flag.
#include "phone/FileResults.h"

// Progress callback: returns 1 to ask for an abort.
using FsProgressCallback = int(FS_CALL*)(int pluginNumber, char* sourceName, char* targetName,
                                         int percentDone);
// Log callback: a line for the host's log; the message type says what it is.
// The Linux build announces its connection there; the Windows build never
// calls it.
using FsLogCallback = void(FS_CALL*)(int pluginNumber, int messageType, char* text);
enum FsLogType : int {
  kFsLogConnect = 1,         // "CONNECT \": the host may now offer to disconnect
  kFsLogDisconnect = 2,
  kFsLogDetails = 3,
  kFsLogImportantError = 6,
};
// Request callback: a message box or a question shown as the host's own
// dialog; `title` may be null for the host's own title. A text question gets
// `answer` prefilled and returns the user's text in it (at most answerLength
// bytes with the terminating zero). Returns true for OK or Yes. The Linux
// build shows its messages and options through it; the Windows build never
// calls it.
using FsRequestCallback = BOOL(FS_CALL*)(int pluginNumber, int requestType, char* title,
                                         char* text, char* answer, int answerLength);
enum FsRequestType : int {
  kFsRequestText = 0,
  kFsRequestMessageOk = 8,
  kFsRequestMessageYesNo = 9,
  kFsRequestMessageOkCancel = 10,
};

// The exports serve one call at a time. A call that comes from another thread
// while one is in progress waits for it (a few seconds at most); a call from
// the thread whose call is in progress (from inside a callback) does not
// wait. A call that is not served, or that fails unexpectedly, returns its
// failure value: -1 from FsInit, INVALID_HANDLE_VALUE from FsFindFirst, 0
// from the functions returning BOOL, kFsFileFailed from the transfers, and 0
// from FsExecuteFile; a call not served sets the last error to "busy".
// Each FsFindFirst that finds an entry opens a listing with a handle of its
// own, which its FsFindNext calls continue and FsFindClose ends.
#ifndef _WIN32
#pragma GCC visibility push(default)
#endif
extern "C" {
int FS_CALL FsInit(int pluginNumber, FsProgressCallback progress, FsLogCallback log,
                   FsRequestCallback request);
HANDLE FS_CALL FsFindFirst(char* path, WIN32_FIND_DATAA* findData);
BOOL FS_CALL FsFindNext(HANDLE search, WIN32_FIND_DATAA* findData);
int FS_CALL FsFindClose(HANDLE search);
int FS_CALL FsGetFile(char* remoteName, char* localName, int copyFlags, void* remoteInfo);
int FS_CALL FsPutFile(char* localName, char* remoteName, int copyFlags);
BOOL FS_CALL FsMkDir(char* path);
BOOL FS_CALL FsRemoveDir(char* path);
BOOL FS_CALL FsDeleteFile(char* path);
int FS_CALL FsExecuteFile(HWND parent, char* remoteName, char* verb);
BOOL FS_CALL FsDisconnect(char* disconnectRoot);
void FS_CALL FsGetDefRootName(char* buffer, int bufferLength);
}
#ifndef _WIN32
#pragma GCC visibility pop
#endif
