#pragma once

#include <string>

namespace orvo::fsops {

// Lays the tree below `source_root` over `destination_root`: every file is copied to the same
// relative place, overwriting (a read-only destination loses its read-only bit for a second
// attempt), every directory is created as needed, and files only the destination has stay. Call
// with an empty `relative_path`; the function calls itself for each subdirectory.
//
// Links are never followed: a link in the source tree, or a link in the destination where the
// copy would have to write through it, is skipped. Each file that is not copied, each skipped
// link and each directory that cannot be listed gives one log line.
//
// Returns true when everything was copied, also when the source root does not exist (nothing to
// do); false when anything was skipped or failed. The walk always goes on to the end.
bool CopyTree(const std::wstring& source_root, const std::wstring& destination_root,
              const std::wstring& relative_path);

}  // namespace orvo::fsops
