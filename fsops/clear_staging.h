#pragma once

#include <string>

namespace orvo::fsops {

// Empties and removes the staging directory: files lying directly in it are deleted (read-only
// ones too), each subdirectory goes to the shell's delete with undo allowed (the Recycle Bin where
// the volume has one), then the directory itself is removed.
//
// Links are removed as links and never entered or handed to the shell, which would follow them. A
// subdirectory that still holds a link that could not be removed is left in place, and so then is
// the staging directory. Every failure is silent.
void ClearStagingDirectory(const std::wstring& staging_dir);

}  // namespace orvo::fsops
