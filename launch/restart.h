#pragma once

#include <string>

namespace orvo::launch {

// Starts `directory`\`executable` with `directory` as its current directory and the quoted path as
// its whole command line, and does not wait for it. Both are passed on as they are. Returns true
// when the process was created; otherwise logs "CreateProcess failed: <path>  err=<n>" and returns
// false.
bool RestartApplication(const std::wstring& directory, const std::wstring& executable);

}  // namespace orvo::launch
