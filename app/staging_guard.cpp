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

// The path as the system resolves it: absolute, with backslashes, long names, and for an existing
// path the final one behind any links; no trailing separator except after a volume root. Empty
// when the path cannot be resolved at all.
std::wstring ResolvePath(const std::wstring& path) {
  if (path.empty()) return std::wstring();
  std::wstring resolved = GrowingCall([&](wchar_t* buffer, DWORD size) {
    return GetFullPathNameW(path.c_str(), size, buffer, nullptr);
  });
  if (resolved.empty()) return resolved;
  if (std::wstring final_path = FinalPath(resolved); !final_path.empty()) {
    resolved = final_path;
  } else if (std::wstring long_path = GrowingCall([&](wchar_t* buffer, DWORD size) {
               return GetLongPathNameW(resolved.c_str(), buffer, size);
             });
             !long_path.empty()) {
    resolved = long_path;
  }
  // "C:\" keeps its separator; "C:\a\" does not.
  while (resolved.size() > 3 && resolved.back() == L'\\') resolved.pop_back();
  return resolved;
}

}  // namespace

bool IsStagingSeparate(const std::wstring& staging_dir, const std::wstring& install_root) {
  const std::wstring staging = ResolvePath(staging_dir);
  const std::wstring root = ResolvePath(install_root);
  if (staging.empty() || root.empty()) return false;
  if (IsVolumeRoot(staging)) return false;
  const int staging_length = static_cast<int>(staging.size());
  if (root.size() < staging.size()) return true;
  if (!EqualNoCase(root.c_str(), staging_length, staging.c_str(), staging_length)) return true;
  // Same beginning: the staging directory is the root itself or one of its ancestors, unless
  // the root merely goes on with more characters of the same name ("C:\App" and "C:\App2").
  return root.size() > staging.size() && root[staging.size()] != L'\\';
}

}  // namespace orvo::app
