#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace orvo::diag {

// Writes one line to the debugger output channel as three writes: "[OrvoUpdater] ", the text, "\n".
void LogLine(const std::wstring& text);

// A Win32 error code as plain unsigned decimal digits ("0", "32", "4294967295").
std::wstring FormatErrorCode(std::uint32_t code);

// The one shape every failure line has: "<what>: <path>  err=<code>", as in
// "CopyFile failed: C:\Kestrava\data.pak  err=32".
std::wstring FailureText(std::wstring_view what, const std::wstring& path, std::uint32_t code);

// LogLine(FailureText(...)).
void LogFailure(std::wstring_view what, const std::wstring& path, std::uint32_t code);

}  // namespace orvo::diag
