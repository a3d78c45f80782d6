#include "fsops/clear_staging.h"

#include <windows.h>

#include "fsops/dir_handles.h"

namespace orvo::fsops {
namespace {

// Deletes what lies inside `directory`, deepest first. What cannot be deleted stays, and so then
// do the directories above it.
void ClearContents(HANDLE directory, int depth) {
  Listing listing(directory);
  DirEntry entry;
  while (NextEntry(listing, entry)) {
    const bool is_directory = entry.is_directory() && !entry.is_link();
    if (is_directory && depth == kMaxTreeDepth) continue;
    const Opened child = OpenChild(directory, entry.name,
                                   is_directory ? Purpose::kRemoveDirectory : Purpose::kRemove);
    if (!child) continue;  // held by someone, or gone
    HANDLE handle = child.handle.get();
    if (IsLinkHandle(handle)) {
      DeleteByHandle(handle);  // opened as the link itself (Windows): removed as one
      continue;
    }
    // Anything but the listed entry is left alone: a directory swapped for a link in the
    // meantime, or a link that the system opened as its target (Wine).
    if (!IsListedEntry(listing, entry, handle)) continue;
    if (is_directory) ClearContents(handle, depth + 1);
    DeleteByHandle(handle);
  }
}

}  // namespace

void ClearStagingDirectory(HANDLE staging) {
  if (!staging) return;
  ClearContents(staging, 0);
  // Fails harmlessly, and the directory stays, when anything was left inside.
  DeleteByHandle(staging);
}

}  // namespace orvo::fsops
