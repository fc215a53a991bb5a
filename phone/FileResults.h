// The results of a transfer and the copy flag, with the numbers the host's
// interface gives them: the engine returns them as the exports pass them on.
#pragma once

enum FsFileResult : int {
  kFsFileOk = 0,       // the transfer completed
  kFsFileExists = 1,   // the local target exists and overwriting was not asked for
  kFsFileFailed = 4,   // the transfer failed or the file type is refused
  kFsFileAborted = 5,  // the transfer ended before all data had moved
};

// Bit of the download's copy flags: replace an existing local file.
constexpr int kFsCopyOverwrite = 1;
