#pragma once

#include <string>

namespace orvo::harness {

// Writes `text` to standard output in UTF-8 and flushes it, so that a reader sees it at once.
void Print(const std::wstring& text);

// Creates or overwrites the file `path` with `text`.
void WriteFileText(const std::wstring& path, const std::string& text);

// Creates the directory `path` (a drive-letter path) and every missing one above it.
void MakeDirectories(const std::wstring& path);

}  // namespace orvo::harness
