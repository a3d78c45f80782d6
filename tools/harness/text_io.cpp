#include "tools/harness/text_io.h"

#include <windows.h>

#include <cstdio>

#include "tools/harness/debug_session.h"

namespace orvo::harness {

void Print(const std::wstring& text) {
  const std::string bytes = ToUtf8(text);
  std::fwrite(bytes.data(), 1, bytes.size(), stdout);
  std::fflush(stdout);
}

void WriteText(const std::wstring& path, const std::string& text) {
  MakeDirectories(path.substr(0, path.rfind(L'\\')));
  const HANDLE file =
      CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
  if (file == INVALID_HANDLE_VALUE) return;
  DWORD written = 0;
  WriteFile(file, text.data(), static_cast<DWORD>(text.size()), &written, nullptr);
  CloseHandle(file);
}

std::string ReadText(const std::wstring& path) {
  const HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                  nullptr, OPEN_EXISTING, 0, nullptr);
  if (file == INVALID_HANDLE_VALUE) return "<missing>";
  std::string content;
  char buffer[4096];
  DWORD read = 0;
  while (ReadFile(file, buffer, sizeof(buffer), &read, nullptr) && read > 0) content.append(buffer, read);
  CloseHandle(file);
  return content;
}

bool Exists(const std::wstring& path) {
  return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

void MakeDirectories(const std::wstring& path) {
  for (size_t at = path.find(L'\\', 3); at != std::wstring::npos; at = path.find(L'\\', at + 1)) {
    CreateDirectoryW(path.substr(0, at).c_str(), nullptr);
  }
  CreateDirectoryW(path.c_str(), nullptr);
}

std::wstring MakeDeepTree(const std::wstring& root, int levels) {
  std::wstring path = L"\\\\?\\" + root;
  CreateDirectoryW(path.c_str(), nullptr);
  for (int level = 0; level < levels; ++level) {
    path += L"\\d";
    CreateDirectoryW(path.c_str(), nullptr);
    const HANDLE file = CreateFileW((path + L"\\x.txt").c_str(), GENERIC_WRITE, 0, nullptr,
                                    CREATE_ALWAYS, 0, nullptr);
    DWORD written = 0;
    WriteFile(file, "f", 1, &written, nullptr);
    CloseHandle(file);
  }
  return path;
}

void RemoveTree(const std::wstring& root) {
  // With "\\?\" a path may be of any length, as deep a tree as the walk goes is.
  if (root.compare(0, 4, L"\\\\?\\") != 0) return RemoveTree(L"\\\\?\\" + root);
  ForEachEntry(root, [](const std::wstring& path, const std::wstring&, DWORD attributes) {
    SetFileAttributesW(path.c_str(), attributes & ~FILE_ATTRIBUTE_READONLY);
    if (attributes & FILE_ATTRIBUTE_REPARSE_POINT) {
      // Removed as a link (Windows; Wine cannot, and leaves it).
      if (attributes & FILE_ATTRIBUTE_DIRECTORY) RemoveDirectoryW(path.c_str());
      else DeleteFileW(path.c_str());
    } else if (attributes & FILE_ATTRIBUTE_DIRECTORY) {
      RemoveTree(path);
    } else {
      DeleteFileW(path.c_str());
    }
  });
  RemoveDirectoryW(root.c_str());
}

}  // namespace orvo::harness
