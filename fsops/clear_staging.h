#pragma once

#include <string>

namespace orvo::fsops {

// Empties and removes the staging directory, deepest entries first: files (read-only ones too),
// then the directories that held them, then the staging directory itself. Everything is deleted
// for good, nothing goes to the Recycle Bin.
//
// Every entry is opened relative to its parent's handle and deleted through that handle, and only
// when it is the very entry the listing showed: a directory swapped for a link while we work is
// never entered. Links are removed as links where the system opens a link as a link (Windows), and
// left in place otherwise, with the directories that hold them. Every failure is silent.
void ClearStagingDirectory(const std::wstring& staging_dir);

}  // namespace orvo::fsops
