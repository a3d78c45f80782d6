#include "fsops/open_below.h"

#include <algorithm>
#include <utility>

#include "fsops/paths.h"

namespace orvo::fsops {
namespace {

// The entry `name` of the listing, letter case aside; false when there is none or the listing
// fails (`listing.error`).
bool FindEntry(Listing& listing, const std::wstring& name, DirEntry& entry) {
  while (NextEntry(listing, entry)) {
    if (EqualNoCase(entry.name, name)) return true;
  }
  return false;
}

}  // namespace

Opened OpenBelow(HANDLE start, const std::wstring& relative, Purpose purpose) {
  Opened current = Failed(ERROR_INVALID_NAME);
  HANDLE directory = start;
  for (size_t at = 0; at < relative.size();) {
    const size_t end = std::min(relative.find(L'\\', at), relative.size());
    const std::wstring name = relative.substr(at, end - at);
    const bool last = end == relative.size();
    at = end + 1;
    Listing listing(directory);
    DirEntry entry;
    if (!FindEntry(listing, name, entry)) {
      if (listing.error != ERROR_SUCCESS) return Failed(listing.error);
      // Not listed, yet there (Wine hides its own prefix from listings): not what we were shown.
      if (OpenChild(directory, name, Purpose::kIdentify)) return Failed(ERROR_STOPPED_ON_SYMLINK);
      return Failed(last ? ERROR_FILE_NOT_FOUND : ERROR_PATH_NOT_FOUND);
    }
    if (!entry.is_directory()) return Failed(ERROR_DIRECTORY);
    // Wine opens even a relative name by its path; what holds there too is the identity check
    // against the listing, which Wine reads from the open directory.
    Opened child = OpenChild(directory, entry.name, last ? purpose : Purpose::kListDirectory);
    if (!child) return child;
    if (!IsListedEntry(listing, entry, child.handle.get())) return Failed(ERROR_STOPPED_ON_SYMLINK);
    current = std::move(child);
    directory = current.handle.get();
  }
  return current;
}

}  // namespace orvo::fsops
