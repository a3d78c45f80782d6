#pragma once

#include <windows.h>

namespace orvo::fsops {

// Empties and removes the staging directory, deepest entries first: files (read-only ones too),
// then the directories that held them, then the staging directory itself. Everything is deleted
// for good, nothing goes to the Recycle Bin.
//
// Every entry is opened relative to its parent's handle and deleted through that handle, and only
// when it is the very entry the listing showed: a directory swapped for a link while we work is
// never entered. Links are removed as links where the system opens a link as a link (Windows), and
// left in place otherwise, with the directories that hold them. A directory that someone holds
// without letting it be deleted is emptied all the same, and stays. Directories more than
// kMaxTreeDepth levels down are left too. Every failure is silent.
//
// `staging` is the staging directory, opened by the caller for kRemoveDirectory; null: nothing to
// do.
void ClearStagingDirectory(HANDLE staging);

}  // namespace orvo::fsops
