#pragma once

#include <windows.h>

#include <string>

// Output and the files that the tools and the tests make, read and remove.

namespace orvo::harness {

// Writes `text` to standard output in UTF-8 and flushes it, so that a reader sees it at once.
void Print(const std::wstring& text);

// Creates or overwrites the file `path` with `text`, making the directories on the way.
void WriteText(const std::wstring& path, const std::string& text);

// The file's bytes; "<missing>" when it cannot be read.
std::string ReadText(const std::wstring& path);

bool Exists(const std::wstring& path);

// Creates the directory `path` (a drive-letter path) and every missing one above it.
void MakeDirectories(const std::wstring& path);

// Calls visit(path, name, attributes) for each entry of `directory` but "." and "..".
template <typename Visit>
void ForEachEntry(const std::wstring& directory, Visit visit) {
  WIN32_FIND_DATAW entry;
  const HANDLE search = FindFirstFileW((directory + L"\\*").c_str(), &entry);
  if (search == INVALID_HANDLE_VALUE) return;
  do {
    const std::wstring name = entry.cFileName;
    if (name != L"." && name != L"..") visit(directory + L"\\" + name, name, entry.dwFileAttributes);
  } while (FindNextFileW(search, &entry));
  FindClose(search);
}

// Makes `root` and `levels` nested directories "d" below it, each holding the file "x.txt" with "f", and
// returns the deepest as a "\\?\" path, which the path calls take however long it is.
std::wstring MakeDeepTree(const std::wstring& root, int levels);

// Removes a tree without following any link in it: a link goes as a link, what it leads to stays.
void RemoveTree(const std::wstring& root);

}  // namespace orvo::harness
