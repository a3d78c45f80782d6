#include "app/staging_guard.h"

#include <windows.h>

#include <algorithm>
#include <utility>

#include "diag/log.h"
#include "fsops/dir_handles.h"

namespace orvo::app {
namespace {

// Calls `fill(buffer, size)` until the buffer is large enough; these path calls return the size
// they need (with the terminating NUL) when the buffer is too small, the length without it on
// success and 0 on failure.
template <typename Fill>
std::wstring GrowingCall(Fill fill) {
  std::wstring buffer(MAX_PATH, L'\0');
  for (;;) {
    const DWORD length = fill(buffer.data(), static_cast<DWORD>(buffer.size()));
    if (length == 0) return std::wstring();
    if (length < buffer.size()) {
      buffer.resize(length);
      return buffer;
    }
    buffer.resize(length);
  }
}

bool EqualNoCase(const wchar_t* a, int a_length, const wchar_t* b, int b_length) {
  return CompareStringOrdinal(a, a_length, b, b_length, TRUE) == CSTR_EQUAL;
}

bool IsVolumeRoot(const std::wstring& resolved) {
  // The longest answer is the path itself plus a separator.
  std::wstring volume(resolved.size() + 2, L'\0');
  if (!GetVolumePathNameW(resolved.c_str(), volume.data(), static_cast<DWORD>(volume.size()))) {
    return false;
  }
  volume.resize(static_cast<size_t>(lstrlenW(volume.c_str())));
  std::wstring with_separator = resolved;
  if (with_separator.back() != L'\\') with_separator += L'\\';
  return EqualNoCase(volume.c_str(), static_cast<int>(volume.size()), with_separator.c_str(),
                     static_cast<int>(with_separator.size()));
}

bool StartsWith(const std::wstring& text, const wchar_t* prefix) {
  const int length = lstrlenW(prefix);
  return text.size() >= static_cast<size_t>(length) &&
         EqualNoCase(text.c_str(), length, prefix, length);
}

bool IsSeparator(wchar_t c) { return c == L'\\' || c == L'/'; }

bool IsDriveLetter(wchar_t c) { return (c >= L'A' && c <= L'Z') || (c >= L'a' && c <= L'z'); }

// "C:" followed by anything but a separator.
bool IsDriveRelative(const std::wstring& path) {
  return path.size() >= 2 && IsDriveLetter(path[0]) && path[1] == L':' &&
         (path.size() == 2 || !IsSeparator(path[2]));
}

std::wstring FullPath(const std::wstring& path) {
  return GrowingCall([&](wchar_t* buffer, DWORD size) {
    return GetFullPathNameW(path.c_str(), size, buffer, nullptr);
  });
}

// "C:\" keeps its separator; "C:\a\" and "\\server\share\" do not.
void TrimSeparators(std::wstring& path) {
  while (path.size() > 3 && path.back() == L'\\') path.pop_back();
}

// The ordinary path an extended-length path names, when it is written as the system would write
// it anyway (the prefix turns off all resolving, so "\\?\C:\a\..\b" names a directory "..");
// empty otherwise.
std::wstring FromExtendedLength(const std::wstring& path) {
  std::wstring plain;
  if (StartsWith(path, L"\\\\?\\UNC\\")) {
    plain = L"\\\\" + path.substr(8);
  } else if (path.size() >= 7 && IsDriveLetter(path[4]) && path[5] == L':' && path[6] == L'\\') {
    plain = path.substr(4);
  } else {
    return std::wstring();
  }
  std::wstring trimmed = plain;
  TrimSeparators(trimmed);
  std::wstring full = FullPath(plain);
  TrimSeparators(full);
  const bool canonical = EqualNoCase(full.c_str(), static_cast<int>(full.size()), trimmed.c_str(),
                                     static_cast<int>(trimmed.size()));
  return canonical ? trimmed : std::wstring();
}

// A UNC path with only a server and a share: the root of that share.
bool IsShareRoot(const std::wstring& path) {
  if (!StartsWith(path, L"\\\\")) return false;
  const size_t share = path.find(L'\\', 2);
  return share == std::wstring::npos || path.find(L'\\', share + 1) == std::wstring::npos;
}

// The path the system reports for an open file or directory, links resolved: with
// VOLUME_NAME_DOS without the "\\?\" prefix, with VOLUME_NAME_NONE below its volume's root.
std::wstring FinalPath(HANDLE handle, DWORD volume) {
  std::wstring final_path = GrowingCall([&](wchar_t* buffer, DWORD size) {
    return GetFinalPathNameByHandleW(handle, buffer, size, FILE_NAME_NORMALIZED | volume);
  });
  if (final_path.compare(0, 8, L"\\\\?\\UNC\\") == 0) {
    final_path.replace(0, 8, L"\\\\");
  } else if (final_path.compare(0, 4, L"\\\\?\\") == 0) {
    final_path.erase(0, 4);
  }
  TrimSeparators(final_path);
  return final_path;
}

// Long names for short ones, and the letter case on disk; links stay as they are. The path itself
// when it does not exist.
std::wstring LongPath(const std::wstring& resolved) {
  std::wstring long_path = GrowingCall([&](wchar_t* buffer, DWORD size) {
    return GetLongPathNameW(resolved.c_str(), buffer, size);
  });
  if (long_path.empty()) return resolved;
  TrimSeparators(long_path);
  return long_path;
}

bool EqualNoCase(const std::wstring& a, const std::wstring& b) {
  return EqualNoCase(a.c_str(), static_cast<int>(a.size()), b.c_str(), static_cast<int>(b.size()));
}

// True when `path` lies below `directory`, not only when it goes on with more characters of the
// same name ("C:\App2" is not below "C:\App").
bool IsBelow(const std::wstring& path, const std::wstring& directory) {
  return path.size() > directory.size() &&
         EqualNoCase(path.c_str(), static_cast<int>(directory.size()), directory.c_str(),
                     static_cast<int>(directory.size())) &&
         (directory.back() == L'\\' || path[directory.size()] == L'\\');
}

// True when the handle's object lies where `expected` says, with no link on the way: the same
// path, and on a drive the same path below the volume's root too, which a mount point on the way
// changes while it may leave the drive path as it was.
bool IsReachedDirectly(HANDLE handle, const std::wstring& expected) {
  if (!EqualNoCase(FinalPath(handle, VOLUME_NAME_DOS), expected)) return false;
  const bool on_drive = expected.size() >= 3 && expected[1] == L':' && expected[2] == L'\\';
  return !on_drive || EqualNoCase(FinalPath(handle, VOLUME_NAME_NONE), expected.substr(2));
}

// The root of a resolved path's volume as written: "C:\" or "\\server\share".
std::wstring VolumeOf(const std::wstring& path) {
  if (path[1] == L':') return path.substr(0, 3);
  const size_t share = path.find(L'\\', 2);
  return share == std::wstring::npos ? path : path.substr(0, path.find(L'\\', share + 1));
}

// Opens the directory `path` one component at a time below the open directory `start`, which
// lies at `start_path`: each component relative to its parent, and used only when it is the very
// entry that the parent's listing shows, which a link never is. Wine opens even a relative name
// by its path, so what holds there too is the identity check against the listing, which Wine
// reads from the open directory. ERROR_STOPPED_ON_SYMLINK: a link on the way. The last
// component is opened to be emptied and deleted; when someone holds it without letting it be
// deleted (the application, still running, say), to be emptied only.
fsops::Opened OpenComponents(HANDLE start, const std::wstring& start_path,
                             const std::wstring& path) {
  fsops::Opened current = fsops::Failed(ERROR_INVALID_NAME);
  HANDLE directory = start;
  for (size_t at = start_path.size(); at < path.size();) {
    if (path[at] == L'\\') ++at;
    const size_t end = std::min(path.find(L'\\', at), path.size());
    const std::wstring name = path.substr(at, end - at);
    const bool last = end == path.size();
    at = end;
    fsops::Listing listing;
    listing.directory = directory;
    fsops::DirEntry entry;
    bool found = false;
    while (!found && fsops::NextEntry(listing, entry)) found = EqualNoCase(entry.name, name);
    if (!found) {
      if (listing.error != ERROR_SUCCESS) return fsops::Failed(listing.error);
      return fsops::Failed(last ? ERROR_FILE_NOT_FOUND : ERROR_PATH_NOT_FOUND);
    }
    if (!entry.is_directory()) return fsops::Failed(ERROR_DIRECTORY);
    using fsops::Purpose;
    const Purpose purpose = last ? Purpose::kRemoveDirectory : Purpose::kListDirectory;
    fsops::Opened child = fsops::OpenChild(directory, entry.name, purpose);
    if (last && child.error == ERROR_SHARING_VIOLATION) {
      child = fsops::OpenChild(directory, entry.name, Purpose::kListDirectory);
    }
    if (!child) return child;
    if (!fsops::IsListedEntry(listing, entry, child.handle.get())) {
      return fsops::Failed(ERROR_STOPPED_ON_SYMLINK);
    }
    current = std::move(child);
    directory = current.handle.get();
  }
  return current;
}

}  // namespace

std::wstring ResolveDirectoryPath(const std::wstring& path) {
  if (path.empty() || IsDriveRelative(path)) return std::wstring();
  std::wstring source = path;
  if (StartsWith(path, L"\\\\?\\")) {
    source = FromExtendedLength(path);
    if (source.empty()) return source;
  } else if (path.size() >= 4 && IsSeparator(path[0]) && IsSeparator(path[1]) &&
             (path[2] == L'.' || path[2] == L'?') && IsSeparator(path[3])) {
    return std::wstring();  // the device namespace, or "\\?\" with forward slashes
  } else if (StartsWith(path, L"\\??\\")) {
    return std::wstring();  // an NT path: the system would not resolve it as this code does
  }
  std::wstring full = FullPath(source);
  // A device name comes back as "\\.\NUL"; anything but a drive or a share path is refused.
  const bool on_drive = full.size() >= 3 && IsDriveLetter(full[0]) && full[1] == L':' &&
                        full[2] == L'\\';
  const bool on_share = full.size() >= 3 && full[0] == L'\\' && full[1] == L'\\' &&
                        full[2] != L'.' && full[2] != L'?';
  if (!on_drive && !on_share) return std::wstring();
  TrimSeparators(full);
  return full;
}

bool OpenUpdateDirectories(UpdateOptions& options, UpdateDirectories& directories) {
  const std::wstring staging = ResolveDirectoryPath(options.staging_dir);
  const std::wstring root = ResolveDirectoryPath(options.install_root);
  if (staging.empty() || root.empty()) return false;
  UpdateDirectories opened;
  // The install root is the caller's to choose, link or not.
  opened.install_root = fsops::OpenDirectoryPath(root, fsops::Purpose::kWriteDirectory);
  const std::wstring long_root = LongPath(root), long_staging = LongPath(staging);
  const std::wstring final_root =
      opened.install_root ? FinalPath(opened.install_root.handle.get(), VOLUME_NAME_DOS) : long_root;
  // The staging directory is reached from the install root when it lies inside it, through the
  // install root's own link if it has one; otherwise from the root of its volume, which must be
  // what the drive letter or share names.
  std::wstring final_staging = long_staging;
  bool link = false;
  if (opened.install_root && IsBelow(long_staging, long_root)) {
    final_staging = final_root + long_staging.substr(long_root.size());
    opened.staging = OpenComponents(opened.install_root.handle.get(), long_root, long_staging);
  } else {
    const std::wstring volume = VolumeOf(long_staging);
    const fsops::Opened start = fsops::OpenDirectoryPath(volume, fsops::Purpose::kListDirectory);
    link = start && !IsReachedDirectly(start.handle.get(), volume);
    opened.staging = start ? OpenComponents(start.handle.get(), volume, long_staging)
                           : fsops::Failed(start.error);
  }
  if (link || opened.staging.error == ERROR_STOPPED_ON_SYMLINK) {
    diag::LogLine(L"staging directory reached through a link: " + staging);
    return false;
  }
  if (final_root.empty() || IsVolumeRoot(final_staging) || IsShareRoot(final_staging) ||
      EqualNoCase(final_staging, final_root) || IsBelow(final_root, final_staging)) {
    return false;
  }
  options.staging_dir = staging;
  options.install_root = root;
  directories = std::move(opened);
  return true;
}

}  // namespace orvo::app
