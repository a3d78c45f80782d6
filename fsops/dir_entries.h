#pragma once

#include <windows.h>

#include <memory>
#include <string>

namespace orvo::fsops {

#ifndef ERROR_STOPPED_ON_SYMLINK
#define ERROR_STOPPED_ON_SYMLINK 681L
#endif

struct FindCloser {
  void operator()(HANDLE handle) const { FindClose(handle); }
};
// A FindFirstFileW search; null when the search could not be started.
using UniqueFind = std::unique_ptr<void, FindCloser>;

struct HandleCloser {
  void operator()(HANDLE handle) const { CloseHandle(handle); }
};
// A handle from CreateFileW; null when the file could not be opened.
using UniqueHandle = std::unique_ptr<void, HandleCloser>;

// Starts listing `directory` (pattern "<directory>\*") and fills `entry` with the first entry. On
// failure returns null and, when `error` is given, sets it to the system's code.
UniqueFind OpenListing(const std::wstring& directory, WIN32_FIND_DATAW& entry,
                       DWORD* error = nullptr);

// Opens an existing file or directory (directories need FILE_FLAG_BACKUP_SEMANTICS in `flags`)
// with full sharing, so that nobody else's work is in the way.
UniqueHandle OpenExisting(const std::wstring& path, DWORD access, DWORD flags);

// "." and "..", which every listing but a volume root's starts with.
bool IsDotEntry(const wchar_t* name);

// A symbolic link, junction or mount point, to a directory or to a file.
inline bool IsLink(DWORD attributes) { return (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0; }

// True when `path` exists and is itself a link: whatever is done below it lands where it points.
bool IsExistingLink(const std::wstring& path);

// Clears the read-only bit of the file or directory `path`, leaving every other attribute as it is.
// A link is left as it is.
void ClearReadOnly(const std::wstring& path);

// Deletes the link `path` itself, never what it points to. Returns false, and leaves everything in
// place, when the system does not open the link as a link (it would hand over its target instead)
// or refuses the deletion.
bool RemoveLink(const std::wstring& path);

}  // namespace orvo::fsops
