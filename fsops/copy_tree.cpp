#include "fsops/copy_tree.h"

#include <windows.h>

#include "diag/log.h"
#include "fsops/dir_entries.h"

namespace orvo::fsops {
namespace {

// Copies one file, overwriting; a destination that refuses is given one more try after losing its
// read-only bit. Logs and returns false when both attempts fail.
bool CopyOneFile(const std::wstring& source, const std::wstring& destination) {
  if (CopyFileW(source.c_str(), destination.c_str(), FALSE)) return true;
  ClearReadOnly(destination);
  if (CopyFileW(source.c_str(), destination.c_str(), FALSE)) return true;
  const DWORD error = GetLastError();
  diag::LogFailure(L"CopyFile", destination, error);
  return false;
}

}  // namespace

bool CopyTree(const std::wstring& source_root, const std::wstring& destination_root,
              const std::wstring& relative_path) {
  const bool top = relative_path.empty();
  const std::wstring directory = top ? source_root : source_root + L'\\' + relative_path;
  if (top && IsExistingLink(source_root)) {
    diag::LogFailure(L"FindFirstFile", source_root, ERROR_STOPPED_ON_SYMLINK);
    return false;
  }

  WIN32_FIND_DATAW entry;
  DWORD error = ERROR_SUCCESS;
  const UniqueFind listing = OpenListing(directory, entry, &error);
  if (!listing) {
    if (top && (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND)) {
      return true;  // No staging tree at all: nothing to copy.
    }
    // Files below a directory that cannot be read would be lost with the staging tree: say so.
    diag::LogFailure(L"FindFirstFile", directory, error);
    return false;
  }

  bool result = true;
  do {
    if (IsDotEntry(entry.cFileName)) continue;
    const std::wstring child =
        top ? std::wstring(entry.cFileName) : relative_path + L'\\' + entry.cFileName;
    const std::wstring destination = destination_root + L'\\' + child;

    if (IsLink(entry.dwFileAttributes)) {
      diag::LogFailure(L"CopyFile", destination, ERROR_STOPPED_ON_SYMLINK);
      result = false;
    } else if (entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
      CreateDirectoryW(destination.c_str(), nullptr);  // An existing directory is fine.
      if (IsExistingLink(destination)) {
        diag::LogFailure(L"CopyFile", destination, ERROR_STOPPED_ON_SYMLINK);
        result = false;
      } else if (!CopyTree(source_root, destination_root, child)) {
        result = false;
      }
    } else if (!CopyOneFile(source_root + L'\\' + child, destination)) {
      result = false;
    }
  } while (FindNextFileW(listing.get(), &entry));
  return result;
}

}  // namespace orvo::fsops
