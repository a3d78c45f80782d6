#pragma once

#include <string>

#include "fsops/dir_handles.h"

namespace orvo::fsops {

// Lays the tree below `source_root` over `destination_root`: every file is copied to the same
// relative place, every directory is created as needed, and files only the destination has stay.
//
// The source is read through handles, each entry opened relative to its parent and checked to be
// the very entry the listing showed, so a source tree that someone changes while we work cannot
// lead the copy anywhere else. Each file is written to a new temporary file beside its
// destination and then renamed over the destination's name: at every moment the destination is
// the old file or the new one, whole, and a link or hard link of that name is replaced, never
// written through. The new file holds exactly the size the staged one had when it was opened, and
// is flushed to the disk before its rename, so that this holds after a power cut too. A temporary
// file that an interrupted run left behind is removed. A staged file or a destination that someone
// holds for a moment is tried again for a while (RetryMomentary).
//
// Links are never followed: a link in the source tree, an entry that is not what the listing
// showed, or a directory link in the destination where the copy would have to enter it, is
// skipped. Each file that is not copied, each skipped link, each directory that cannot be listed
// and each that cannot be made in the destination gives one log line.
//
// The walk goes kMaxTreeDepth levels deep; a directory below that is reported like one that cannot
// be listed ("FindFirstFile failed: <directory>  err=206").
//
// `source` and `destination` are the two roots, opened by the caller; their paths serve the log
// lines only. Returns true when everything was copied, also when the source root does not exist
// (nothing to do); false when anything was skipped or failed. The walk always goes on to the end.
bool CopyTree(const Directory& source, const Directory& destination);

}  // namespace orvo::fsops
