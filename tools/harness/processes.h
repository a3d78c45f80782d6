#pragma once

#include <windows.h>

#include <string>

namespace orvo::harness {

// Starts `command_line` (no handles inherited, same environment), in `directory` (empty: ours).
// Returns the process handle, for the caller to close, and sets `process_id`; null when the
// process could not be created.
HANDLE StartProcess(const std::wstring& command_line, DWORD* process_id = nullptr,
                    const std::wstring& directory = L"");

// Starts the stand-in application `application` holding the file `path` open without sharing for
// `hold_ms`, as another Kestrava process would. Returns its process handle, for the caller to
// close, once it holds the file (it says so through a named event); null when it has not within
// `timeout_ms`. It stands in `directory` (empty: ours), as its current directory.
HANDLE StartHolder(const std::wstring& application, const std::wstring& path, DWORD hold_ms,
                   DWORD timeout_ms, const std::wstring& directory = L"");

}  // namespace orvo::harness
