#include "app/staging_guard.h"

#include <windows.h>

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

// The final path of an existing file or directory, links resolved, without the "\\?\" prefix.
std::wstring FinalPath(const std::wstring& path) {
  const HANDLE opened =
      CreateFileW(path.c_str(), FILE_READ_ATTRIBUTES,
                  FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                  FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (opened == INVALID_HANDLE_VALUE) return std::wstring();
  const fsops::UniqueHandle handle(opened);
  std::wstring final_path = GrowingCall([&](wchar_t* buffer, DWORD size) {
    return GetFinalPathNameByHandleW(handle.get(), buffer, size, FILE_NAME_NORMALIZED);
  });
  if (final_path.compare(0, 8, L"\\\\?\\UNC\\") == 0) {
    final_path.replace(0, 8, L"\\\\");
  } else if (final_path.compare(0, 4, L"\\\\?\\") == 0) {
    final_path.erase(0, 4);
  }
  return final_path;
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

// The path as the system resolves it: ResolveDirectoryPath, then long names, and for an existing
// path the final one behind any links. Empty when it is refused or cannot be resolved at all.
std::wstring ResolvePath(const std::wstring& path) {
  std::wstring resolved = ResolveDirectoryPath(path);
  if (resolved.empty()) return resolved;
  if (std::wstring final_path = FinalPath(resolved); !final_path.empty()) {
    resolved = final_path;
  } else if (std::wstring long_path = GrowingCall([&](wchar_t* buffer, DWORD size) {
               return GetLongPathNameW(resolved.c_str(), buffer, size);
             });
             !long_path.empty()) {
    resolved = long_path;
  }
  TrimSeparators(resolved);
  return resolved;
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

bool IsStagingSeparate(const std::wstring& staging_dir, const std::wstring& install_root) {
  const std::wstring staging = ResolvePath(staging_dir);
  const std::wstring root = ResolvePath(install_root);
  if (staging.empty() || root.empty()) return false;
  if (IsVolumeRoot(staging) || IsShareRoot(staging)) return false;
  const int staging_length = static_cast<int>(staging.size());
  if (root.size() < staging.size()) return true;
  if (!EqualNoCase(root.c_str(), staging_length, staging.c_str(), staging_length)) return true;
  // Same beginning: the staging directory is the root itself or one of its ancestors, unless
  // the root merely goes on with more characters of the same name ("C:\App" and "C:\App2").
  return root.size() > staging.size() && root[staging.size()] != L'\\';
}

bool ResolveDirectories(UpdateOptions& options) {
  if (!IsStagingSeparate(options.staging_dir, options.install_root)) return false;
  options.install_root = ResolveDirectoryPath(options.install_root);
  options.staging_dir = ResolveDirectoryPath(options.staging_dir);
  return true;
}

}  // namespace orvo::app
