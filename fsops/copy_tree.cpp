#include "fsops/copy_tree.h"

#include <windows.h>

#include <iterator>
#include <string>
#include <vector>

#include "diag/log.h"
#include "fsops/dir_handles.h"
#include "fsops/paths.h"

namespace orvo::fsops {
namespace {

constexpr size_t kCopyBufferBytes = 1 << 20;

// Temporary files are named "~OrvoUpdater-partial-<process id>.tmp": one at a time per directory,
// renamed away (or deleted) before the next one is made.
constexpr wchar_t kPartialPrefix[] = L"~OrvoUpdater-partial-";
constexpr wchar_t kPartialSuffix[] = L".tmp";

// The attributes a copy takes over from its source, as CopyFileW does.
constexpr DWORD kCopiedAttributes = FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN |
                                    FILE_ATTRIBUTE_SYSTEM | FILE_ATTRIBUTE_ARCHIVE |
                                    FILE_ATTRIBUTE_NOT_CONTENT_INDEXED;

struct CopyRun {
  std::vector<char> buffer = std::vector<char>(kCopyBufferBytes);
  std::wstring partial_name =
      kPartialPrefix + std::to_wstring(GetCurrentProcessId()) + kPartialSuffix;
};

bool IsPartialName(const std::wstring& name) {
  const size_t prefix = std::size(kPartialPrefix) - 1, suffix = std::size(kPartialSuffix) - 1;
  return name.size() > prefix + suffix && name.compare(0, prefix, kPartialPrefix) == 0 &&
         name.compare(name.size() - suffix, suffix, kPartialSuffix) == 0;
}

// Removes the temporary files that an interrupted run left in `directory`, and nothing else.
void RemoveLeftovers(HANDLE directory) {
  Listing listing(directory);
  DirEntry entry;
  while (NextEntry(listing, entry)) {
    if (entry.is_directory() || entry.is_link() || !IsPartialName(entry.name)) continue;
    const Opened leftover = OpenChild(directory, entry.name, Purpose::kRemove);
    if (leftover && IsListedEntry(listing, entry, leftover.handle.get())) {
      DeleteByHandle(leftover.handle.get());
    }
  }
}

void SetBasicInfo(HANDLE file, const FILE_BASIC_INFO& source, DWORD attributes) {
  FILE_BASIC_INFO basic = {};  // zero times stay as they are
  basic.LastWriteTime = source.LastWriteTime;
  basic.FileAttributes = attributes ? attributes : FILE_ATTRIBUTE_NORMAL;
  SetFileInformationByHandle(file, FileBasicInfo, &basic, sizeof(basic));
}

// The second attempt at a refused rename, after the destination has lost its read-only bit. A
// read-only destination with other names keeps it, and is reported as refused: the bit belongs to
// every name of the file, and another may lie outside the install root.
DWORD RenameAgain(HANDLE file, HANDLE directory, const std::wstring& name) {
  DWORD cause = ERROR_SUCCESS;
  if (const Opened existing = OpenChild(directory, name, Purpose::kRemove)) {
    if (!IsLinkHandle(existing.handle.get()) && !ClearReadOnly(existing.handle.get())) {
      return ERROR_ACCESS_DENIED;
    }
  } else {
    // Asking for delete access shows a file that a running program holds (32), which the refused
    // rename reports only as access denied.
    cause = existing.error;
  }
  const DWORD error = RenameInto(file, directory, name);
  if (error == ERROR_SUCCESS || cause == ERROR_SUCCESS || cause == ERROR_FILE_NOT_FOUND) {
    return error;
  }
  return cause;
}

// Writes the data of `source` to a new temporary file in `directory` and renames it over `name`.
// Returns the system's code for the step that failed, ERROR_SUCCESS when the file was replaced.
DWORD InstallFile(HANDLE source, const EntryInfo& info, HANDLE directory, const std::wstring& name,
                  CopyRun& run) {
  const Opened temporary = CreateNewFile(directory, run.partial_name);
  if (!temporary) return temporary.error;
  HANDLE file = temporary.handle.get();
  const DWORD attributes = info.basic.FileAttributes & kCopiedAttributes;
  DWORD error = CopyData(source, info.size, file, run.buffer);
  if (error == ERROR_SUCCESS) {
    // The read-only bit comes last: some systems refuse to rename a read-only file.
    SetBasicInfo(file, info.basic, attributes & ~FILE_ATTRIBUTE_READONLY);
    // The data reaches the disk before the name does: NTFS journals names and sizes, not data, so
    // a power cut after a rename of unflushed data can leave the new size over zeros or old
    // clusters, and the old file gone.
    if (!FlushFileBuffers(file)) error = GetLastError();
  }
  if (error == ERROR_SUCCESS) {
    // A refused rename says only "access denied"; RenameAgain tells a held destination (32).
    error = RetryMomentary([&] {
      const DWORD refused = RenameInto(file, directory, name);
      return refused == ERROR_SUCCESS ? refused : RenameAgain(file, directory, name);
    });
  }
  if (error != ERROR_SUCCESS) {
    DeleteByHandle(file);
    return error;
  }
  if (attributes & FILE_ATTRIBUTE_READONLY) SetBasicInfo(file, info.basic, attributes);
  return ERROR_SUCCESS;
}

bool CopyOneFile(const Listing& source_listing, const DirEntry& entry, HANDLE destination,
                 const std::wstring& destination_path, CopyRun& run) {
  Opened source;
  DWORD error = RetryMomentary([&] {
    source = OpenChild(source_listing.directory, entry.name, Purpose::kReadFile);
    return source.error;
  });
  EntryInfo info;
  if (source && !IsListedEntry(source_listing, entry, source.handle.get(), &info)) {
    error = ERROR_STOPPED_ON_SYMLINK;  // not the file that was listed: taken for a link
  } else if (source) {
    error = InstallFile(source.handle.get(), info, destination, entry.name, run);
  }
  if (error == ERROR_SUCCESS) return true;
  diag::LogFailure(L"CopyFile failed", destination_path, error);
  return false;
}

// Copies the entries of the open directory `source` into the open directory `destination`.
bool CopyDirectory(HANDLE source, const std::wstring& source_path, HANDLE destination,
                   const std::wstring& destination_path, int depth, CopyRun& run) {
  RemoveLeftovers(destination);
  bool result = true;
  Listing listing(source);
  DirEntry entry;
  while (NextEntry(listing, entry)) {
    const std::wstring target_path = Join(destination_path, entry.name);
    if (!entry.is_directory() || entry.is_link()) {
      if (entry.is_link()) {
        diag::LogFailure(L"CopyFile failed", target_path, ERROR_STOPPED_ON_SYMLINK);
        result = false;
      } else if (!CopyOneFile(listing, entry, destination, target_path, run)) {
        result = false;
      }
      continue;
    }
    const std::wstring child_path = Join(source_path, entry.name);
    if (depth == kMaxTreeDepth) {
      diag::LogFailure(L"FindFirstFile failed", child_path, ERROR_FILENAME_EXCED_RANGE);
      result = false;
      continue;
    }
    const Opened child = OpenChild(source, entry.name, Purpose::kListDirectory);
    if (child && !IsListedEntry(listing, entry, child.handle.get())) {
      diag::LogFailure(L"CopyFile failed", target_path, ERROR_STOPPED_ON_SYMLINK);
      result = false;
      continue;
    }
    const Opened target = CreateOrOpenDirectory(destination, entry.name);
    // Windows opens a directory link as the link, and its handle shows it; Wine opens the target,
    // but reports a host link's name as a reparse point. A directory that cannot be made (a file
    // in the way, access denied) is reported like a file that cannot be copied: nothing below it
    // can go anywhere.
    const DWORD target_error = !target ? target.error
                               : IsLinkHandle(target.handle.get()) || IsLinkPath(target_path)
                                   ? static_cast<DWORD>(ERROR_STOPPED_ON_SYMLINK)
                                   : static_cast<DWORD>(ERROR_SUCCESS);
    if (target_error != ERROR_SUCCESS) {
      diag::LogFailure(L"CopyFile failed", target_path, target_error);
      result = false;
      continue;
    }
    if (!child) {
      // Files below a directory that cannot be read would be lost with the staging tree: say so.
      diag::LogFailure(L"FindFirstFile failed", child_path, child.error);
      result = false;
    } else if (!CopyDirectory(child.handle.get(), child_path, target.handle.get(), target_path,
                              depth + 1, run)) {
      result = false;
    }
  }
  if (listing.error != ERROR_SUCCESS) {
    diag::LogFailure(L"FindFirstFile failed", source_path, listing.error);
    result = false;
  }
  return result;
}

}  // namespace

bool CopyTree(const Directory& source, const Directory& destination) {
  if (!source.opened) {
    const DWORD error = source.opened.error;
    if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND) {
      return true;  // No staging tree at all: nothing to copy.
    }
    diag::LogFailure(L"FindFirstFile failed", source.path, error);
    return false;
  }
  CopyRun run;
  return CopyDirectory(source.opened.handle.get(), source.path, destination.opened.handle.get(),
                       destination.path, 0, run);
}

}  // namespace orvo::fsops
