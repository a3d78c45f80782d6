#include "fsops/clear_staging.h"

#include <windows.h>
#include <shellapi.h>

#include "fsops/dir_entries.h"

namespace orvo::fsops {
namespace {

// Removes every link below `directory` without entering any. True when none is left; false when a
// link stayed or a directory could not be searched for them.
bool RemoveLinksBelow(const std::wstring& directory) {
  WIN32_FIND_DATAW entry;
  const UniqueFind listing = OpenListing(directory, entry);
  if (!listing) return false;
  bool clean = true;
  do {
    if (IsDotEntry(entry.cFileName)) continue;
    const std::wstring path = directory + L'\\' + entry.cFileName;
    if (IsLink(entry.dwFileAttributes)) {
      if (!RemoveLink(path)) clean = false;
    } else if ((entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) && !RemoveLinksBelow(path)) {
      clean = false;
    }
  } while (FindNextFileW(listing.get(), &entry));
  return clean;
}

void SendToRecycleBin(const std::wstring& directory) {
  const std::wstring from = directory + L'\0';  // c_str() adds the second terminating NUL
  SHFILEOPSTRUCTW operation = {};
  operation.hwnd = nullptr;
  operation.wFunc = FO_DELETE;
  operation.pFrom = from.c_str();
  operation.pTo = nullptr;
  operation.fFlags = FOF_SILENT | FOF_NOCONFIRMATION | FOF_ALLOWUNDO | FOF_NOCONFIRMMKDIR |
                     FOF_NOERRORUI;
  SHFileOperationW(&operation);
}

}  // namespace

void ClearStagingDirectory(const std::wstring& staging_dir) {
  if (IsExistingLink(staging_dir)) {
    RemoveLink(staging_dir);
    return;
  }

  WIN32_FIND_DATAW entry;
  if (const UniqueFind listing = OpenListing(staging_dir, entry)) {
    do {
      if (IsDotEntry(entry.cFileName)) continue;
      const std::wstring path = staging_dir + L'\\' + entry.cFileName;
      if (IsLink(entry.dwFileAttributes)) {
        RemoveLink(path);
      } else if (entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
        if (RemoveLinksBelow(path)) SendToRecycleBin(path);
      } else {
        ClearReadOnly(path);
        DeleteFileW(path.c_str());
      }
    } while (FindNextFileW(listing.get(), &entry));
  }
  // Fails harmlessly, and the directory stays, when anything was left inside.
  RemoveDirectoryW(staging_dir.c_str());
}

}  // namespace orvo::fsops
