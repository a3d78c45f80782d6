#pragma once

#include "fsops/dir_handles.h"

namespace orvo::fsops {

// Empties and removes the staging directory, deepest entries first: files (read-only ones too),
// then the directories that held them, then the staging directory itself. Everything is deleted
// for good, nothing goes to the Recycle Bin.
//
// Every entry is opened relative to its parent's handle and deleted through that handle, and only
// when it is the very entry the listing showed: a directory swapped for a link while we work is
// never entered. Links are removed as links where the system opens a link as a link (Windows), and
// left in place otherwise, with the directories that hold them. An entry held for a moment (a
// scanner) is tried again for a while (RetryMomentary). A directory opened list-only, since someone
// held it or deleting it is not granted, is emptied all the same, opened again for deleting once it
// is empty, and stays if that is still refused. A read-only file with other names is deleted only
// where the system can do so without clearing its read-only bit, and stays otherwise. Directories
// more than kMaxTreeDepth levels down are left too. Every failure is silent.
//
// `staging` is the staging directory, opened by the caller for kRemoveDirectory; no handle: nothing
// to do.
void ClearStagingDirectory(const Opened& staging);

}  // namespace orvo::fsops
