#pragma once

#include <string>

#include "fsops/dir_handles.h"

namespace orvo::fsops {

// Opens the directory `relative` ("a\b\c") below the open directory `start` one component at a
// time: each relative to its parent's handle, and used only when it is the very entry that the
// parent's listing shows (IsListedEntry), which a link never is. The last component is opened for
// `purpose`, the others for listing.
//
// No handle: ERROR_STOPPED_ON_SYMLINK for a link, or an entry that is not what was listed, on the
// way; ERROR_FILE_NOT_FOUND when only the last component is missing, ERROR_PATH_NOT_FOUND when
// one before it is; ERROR_DIRECTORY for a file on the way; else the system's code.
Opened OpenBelow(HANDLE start, const std::wstring& relative, Purpose purpose);

}  // namespace orvo::fsops
