#include "fsops/paths.h"

#include <algorithm>
#include <cwchar>

namespace orvo::fsops {
namespace {

bool IsSeparator(wchar_t c) { return c == L'\\' || c == L'/'; }

bool IsDriveLetter(wchar_t c) { return (c >= L'A' && c <= L'Z') || (c >= L'a' && c <= L'z'); }

// GetFinalPathNameByHandleW with `flags`, as the system writes it; empty on failure.
std::wstring QueryFinalPath(HANDLE handle, DWORD flags) {
  std::wstring path(MAX_PATH, L'\0');
  const bool filled = FillGrowing(path, [&](wchar_t* buffer, size_t size) {
    return size_t{GetFinalPathNameByHandleW(handle, buffer, static_cast<DWORD>(size),
                                            FILE_NAME_NORMALIZED | flags)};
  });
  return filled ? path : std::wstring();
}

}  // namespace

bool EqualNoCase(std::wstring_view a, std::wstring_view b) {
  return CompareStringOrdinal(a.data(), static_cast<int>(a.size()), b.data(),
                              static_cast<int>(b.size()), TRUE) == CSTR_EQUAL;
}

bool IsBelow(std::wstring_view path, std::wstring_view directory) {
  return !directory.empty() && path.size() > directory.size() &&
         EqualNoCase(path.substr(0, directory.size()), directory) &&
         (directory.back() == L'\\' || path[directory.size()] == L'\\');
}

std::wstring Join(const std::wstring& directory, const std::wstring& name) {
  return !directory.empty() && directory.back() == L'\\' ? directory + name
                                                          : directory + L'\\' + name;
}

std::wstring PathBelow(const std::wstring& path, const std::wstring& directory) {
  return path.substr(directory.size() + (directory.back() == L'\\' ? 0 : 1));
}

std::wstring TrimSeparators(std::wstring path) {
  while (path.size() > 3 && path.back() == L'\\') path.pop_back();
  return path;
}

bool IsDriveRelative(std::wstring_view path) {
  return path.size() >= 2 && IsDriveLetter(path[0]) && path[1] == L':' &&
         (path.size() == 2 || !IsSeparator(path[2]));
}

bool IsDrivePath(std::wstring_view path) {
  return path.size() >= 3 && IsDriveLetter(path[0]) && path[1] == L':' && path[2] == L'\\';
}

bool IsNamespacePath(std::wstring_view path) {
  if (path.size() < 4 || !IsSeparator(path[0]) || !IsSeparator(path[3])) return false;
  return (IsSeparator(path[1]) && (path[2] == L'.' || path[2] == L'?')) ||
         (path[1] == L'?' && path[2] == L'?');
}

std::wstring VolumeRoot(const std::wstring& path) {
  if (IsDrivePath(path)) return path.substr(0, 3);
  if (path.size() < 3 || path[0] != L'\\' || path[1] != L'\\') return std::wstring();
  const size_t server_end = path.find(L'\\', 2);
  if (server_end == std::wstring::npos || server_end == 2) return std::wstring();
  const std::wstring_view server(path.data() + 2, server_end - 2);
  if (server == L"." || server == L"?") return std::wstring();  // the device namespaces
  const size_t share_end = std::min(path.find(L'\\', server_end + 1), path.size());
  return share_end > server_end + 1 ? path.substr(0, share_end) : std::wstring();
}

std::wstring WithoutExtendedPrefix(const std::wstring& path) {
  if (path.compare(0, 4, L"\\\\?\\") != 0) return path;
  if (path.size() >= 8 && EqualNoCase(std::wstring_view(path).substr(4, 4), L"UNC\\")) {
    return L"\\\\" + path.substr(8);
  }
  return IsDrivePath(std::wstring_view(path).substr(4)) ? path.substr(4) : std::wstring();
}

std::wstring FullPath(const std::wstring& path) {
  std::wstring full(MAX_PATH, L'\0');
  const bool filled = FillGrowing(full, [&](wchar_t* buffer, size_t size) {
    return size_t{GetFullPathNameW(path.c_str(), static_cast<DWORD>(size), buffer, nullptr)};
  });
  return filled ? full : std::wstring();
}

std::wstring ResolveDirectoryPath(const std::wstring& path) {
  if (path.empty() || IsDriveRelative(path)) return std::wstring();
  std::wstring source = path;
  if (IsNamespacePath(path)) {
    // The prefix "\\?\" turns off all resolving ("\\?\C:\a\..\b" names a directory ".."): such a
    // path is taken only where it names what it would name without the prefix.
    source = path.compare(0, 4, L"\\\\?\\") == 0 ? WithoutExtendedPrefix(path) : L"";
    if (source.empty() || !EqualNoCase(TrimSeparators(FullPath(source)),
                                       TrimSeparators(source))) {
      return std::wstring();
    }
  }
  const std::wstring full = FullPath(source);
  // A device name comes back as "\\.\NUL": anything but a drive or a share path is refused.
  if (VolumeRoot(full).empty()) return std::wstring();
  // A colon after the drive names a stream of a file or folder, never a directory of its own.
  if (full.find(L':', IsDrivePath(full) ? 2 : 0) != std::wstring::npos) return std::wstring();
  return TrimSeparators(full);
}

std::wstring LongPath(const std::wstring& path) {
  std::wstring long_path(MAX_PATH, L'\0');
  const bool filled = FillGrowing(long_path, [&](wchar_t* buffer, size_t size) {
    return size_t{GetLongPathNameW(path.c_str(), buffer, static_cast<DWORD>(size))};
  });
  return filled ? TrimSeparators(long_path) : path;
}

std::wstring FinalPath(HANDLE handle, const std::wstring& opened_as) {
  const std::wstring dos = QueryFinalPath(handle, VOLUME_NAME_DOS);
  if (dos.empty()) return FinalPathThroughDevice(handle, opened_as);
  return TrimSeparators(WithoutExtendedPrefix(dos));
}

std::wstring FinalPathThroughDevice(HANDLE handle, const std::wstring& opened_as) {
  if (!IsDrivePath(opened_as)) return std::wstring();
  const std::wstring drive = opened_as.substr(0, 2);
  std::wstring device(MAX_PATH, L'\0');
  const bool filled = FillGrowing(device, [&](wchar_t* buffer, size_t size) -> size_t {
    // The answer is a list of strings; the first is where the letter leads now.
    if (QueryDosDeviceW(drive.c_str(), buffer, static_cast<DWORD>(size))) return std::wcslen(buffer);
    return GetLastError() == ERROR_INSUFFICIENT_BUFFER ? size * 2 : 0;
  });
  const std::wstring nt = QueryFinalPath(handle, VOLUME_NAME_NT);
  if (!filled || nt.empty() || !(EqualNoCase(nt, device) || IsBelow(nt, device))) {
    return std::wstring();
  }
  return TrimSeparators(drive + (nt.size() > device.size() ? nt.substr(device.size()) : L"\\"));
}

std::wstring PathOnVolume(HANDLE handle) {
  return TrimSeparators(QueryFinalPath(handle, VOLUME_NAME_NONE));
}

}  // namespace orvo::fsops
