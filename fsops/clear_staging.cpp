#include "fsops/clear_staging.h"

#include <windows.h>

namespace orvo::fsops {
namespace {

// Deletes the directory `opened` once it is empty. One that was opened to be listed only, since
// someone held it (Kestrava standing in it while it exited, say), is opened again for deleting,
// through the handle we have: by now the holder may have let go.
void DeleteDirectory(const Opened& opened) {
  if (!opened.list_only) {
    DeleteByHandle(opened.handle.get());
    return;
  }
  Opened again;
  RetryMomentary([&] {
    again = Reopen(opened.handle.get(), Purpose::kRemove);
    return again.error;
  });
  if (again) DeleteByHandle(again.handle.get());
}

// Deletes what lies inside `directory`, deepest first. What cannot be deleted stays, and so then
// do the directories above it.
void ClearContents(HANDLE directory, int depth) {
  Listing listing(directory);
  DirEntry entry;
  while (NextEntry(listing, entry)) {
    const bool is_directory = entry.is_directory() && !entry.is_link();
    if (is_directory && depth == kMaxTreeDepth) continue;
    Opened child;
    RetryMomentary([&] {
      child = OpenChild(directory, entry.name,
                        is_directory ? Purpose::kRemoveDirectory : Purpose::kRemove);
      return child.error;
    });
    if (!child) continue;  // held by someone, or gone
    HANDLE handle = child.handle.get();
    if (IsLinkHandle(handle)) {
      DeleteByHandle(handle);  // opened as the link itself (Windows): removed as one
      continue;
    }
    // Anything but the listed entry is left alone: a directory swapped for a link in the
    // meantime, or a link that the system opened as its target (Wine).
    if (!IsListedEntry(listing, entry, handle)) continue;
    if (!is_directory) {
      DeleteByHandle(handle);
      continue;
    }
    ClearContents(handle, depth + 1);
    DeleteDirectory(child);
  }
}

}  // namespace

void ClearStagingDirectory(const Opened& staging) {
  if (!staging) return;
  ClearContents(staging.handle.get(), 0);
  // Fails harmlessly, and the directory stays, when anything was left inside.
  DeleteDirectory(staging);
}

}  // namespace orvo::fsops
