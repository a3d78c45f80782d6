#pragma once

#include <windows.h>

#include <cstddef>
#include <string>
#include <string_view>

// Paths, in one place: the text rules every layer compares, joins and trims paths by, and what the
// system makes of a path or of an open handle. A second copy of a path rule with a slightly
// different case or separator test is how path bugs start.

namespace orvo::fsops {

// Ordinal comparison that ignores letter case, the way the file system matches names.
bool EqualNoCase(std::wstring_view a, std::wstring_view b);

// True when `path` lies below `directory`, not merely when it goes on with more characters of the
// same name ("C:\App2" is not below "C:\App").
bool IsBelow(std::wstring_view path, std::wstring_view directory);

// `directory` and `name` with one backslash between them; a directory that ends with one (a volume
// root) gets none more.
std::wstring Join(const std::wstring& directory, const std::wstring& name);

// The part of `path` below `directory`, without the separator between them ("a\b" of "C:\x\a\b"
// below "C:\x"); IsBelow(path, directory) must hold.
std::wstring PathBelow(const std::wstring& path, const std::wstring& directory);

// `path` without trailing backslashes, but for a drive root's ("C:\" keeps it).
std::wstring TrimSeparators(std::wstring path);

// "C:" followed by anything but a separator: its meaning hangs on a hidden per-drive current
// directory.
bool IsDriveRelative(std::wstring_view path);

// "C:\" and whatever follows it.
bool IsDrivePath(std::wstring_view path);

// "\\?\", "\\.\" or "\??\" at the start, with either separator: the system's own namespaces,
// where "." and "..", trailing dots and blanks are not resolved as in a drive or share path.
bool IsNamespacePath(std::wstring_view path);

// The root of a full path's volume as written: "C:\" on a drive, "\\server\share" on a share;
// empty for anything else (a device, "\\?\" forms).
std::wstring VolumeRoot(const std::wstring& path);

// The ordinary path an extended-length path names: "\\?\C:\a" gives "C:\a", "\\?\UNC\s\x" gives
// "\\s\x". A path without the prefix comes back as it is; any other "\\?\" path (a volume GUID,
// GLOBALROOT) as the empty string.
std::wstring WithoutExtendedPrefix(const std::wstring& path);

// The one absolute path that a directory option of the updater names, as the system resolves
// it: relative paths against the current directory, either separator, "." and "..", trailing
// separators, trailing dots and blanks; an extended-length path ("\\?\C:\...",
// "\\?\UNC\server\share\...") as the ordinary path it names, when it is written the way the
// system would write it. Empty, that is refused, for what does not name a directory on a volume in
// one definite way: a drive-relative path ("C:", "C:dir"), whose meaning hangs on a hidden
// per-drive current directory; a device name ("NUL", "CON"); the device namespace ("\\.\...");
// any other "\\?\" or "\??\" path; a colon after the drive, which names a stream
// ("C:\Kestrava::$INDEX_ALLOCATION" is that folder again).
std::wstring ResolveDirectoryPath(const std::wstring& path);

// GetFullPathNameW: the absolute path the system makes of `path` against the current directory.
std::wstring FullPath(const std::wstring& path);

// GetLongPathNameW: long names for 8.3 ones and the letter case on disk, links as they are; the
// path itself when it does not exist.
std::wstring LongPath(const std::wstring& path);

// The path the system reports for an open file or directory, links resolved, as "C:\..." or
// "\\server\share\..."; empty when it has none. A volume that the mount manager does not name (a
// RAM disk, a letter made with DefineDosDevice) has no such path: its NT path then stands in,
// mapped back through the device that the drive letter of `opened_as` names
// (FinalPathThroughDevice).
std::wstring FinalPath(HANDLE handle, const std::wstring& opened_as);

// The handle's NT path ("\Device\HarddiskVolume3\a") as "<drive>\a" when it lies on the device that
// the drive letter of `opened_as` names; empty otherwise, so that a handle that a link led to
// another volume never passes for a path on this one.
std::wstring FinalPathThroughDevice(HANDLE handle, const std::wstring& opened_as);

// The handle's path below the root of its volume ("\a\b"), which a mount point on the way changes
// even where the drive path stays the same.
std::wstring PathOnVolume(HANDLE handle);

// Calls `fill(data, capacity)` with `buffer` grown until what it writes fits. `fill` returns 0 on
// failure, more than `capacity` when it needs that much room, else the size it wrote, to which the
// buffer is then cut: the contract of the Win32 path calls. False on failure.
template <typename Buffer, typename Fill>
bool FillGrowing(Buffer& buffer, Fill fill) {
  constexpr size_t kLimit = size_t{1} << 20;
  for (;;) {
    const size_t size = fill(buffer.data(), buffer.size());
    if (size == 0 || size > kLimit) return false;
    const bool fits = size <= buffer.size();
    buffer.resize(size);
    if (fits) return true;
  }
}

}  // namespace orvo::fsops
