#pragma once

#include <windows.h>

#include <string>

namespace orvo::harness {

// One argument quoted for CommandLineToArgvW, whatever quotes and backslashes it holds.
std::wstring QuoteArgument(const std::wstring& argument);

// Starts `command_line` (no handles inherited, same environment). Returns the process handle, for
// the caller to close, and sets `process_id`; null when the process could not be created.
HANDLE StartProcess(const std::wstring& command_line, DWORD* process_id = nullptr);

// Waits until another process holds `path` open without sharing, as a running program does:
// true once opening it gives a sharing violation, false after `timeout_ms`.
bool WaitUntilHeld(const std::wstring& path, DWORD timeout_ms);

}  // namespace orvo::harness
