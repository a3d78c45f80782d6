#include "fsops/clear_staging.h"

#include <windows.h>

#include "fsops/dir_handles.h"

namespace orvo::fsops {
namespace {

// Deletes what lies inside `directory`, deepest first. What cannot be deleted stays, and so then
// do the directories above it.
void ClearContents(HANDLE directory) {
  Listing listing;
  listing.directory = directory;
  DirEntry entry;
  while (NextEntry(listing, entry)) {
    const bool is_directory = entry.is_directory() && !entry.is_link();
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
    if (is_directory) ClearContents(handle);
    DeleteByHandle(handle);
  }
}

}  // namespace

void ClearStagingDirectory(const std::wstring& staging_dir) {
  const Opened root = OpenDirectoryPath(staging_dir, Purpose::kRemoveDirectory, false);
  if (!root) return;
  if (IsLinkHandle(root.handle.get())) {
    DeleteByHandle(root.handle.get());
    return;
  }
  if (IsLinkPath(staging_dir)) return;  // Wine opened the link's target
  ClearContents(root.handle.get());
  // Fails harmlessly, and the directory stays, when anything was left inside.
  DeleteByHandle(root.handle.get());
}

}  // namespace orvo::fsops
