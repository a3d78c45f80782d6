#include "launch/restart.h"

#include <windows.h>

#include <string>

#include "diag/log.h"

namespace orvo::launch {

bool RestartApplication(const std::wstring& directory, const std::wstring& executable) {
  // Joined as they are: a directory that ends with a backslash keeps both.
  const std::wstring path = directory + L'\\' + executable;
  // CreateProcessW may write into the command line, so it gets a buffer of its own.
  std::wstring command_line = L'"' + path + L'"';

  STARTUPINFOW startup = {};
  startup.cb = sizeof(startup);
  startup.dwFlags = STARTF_USESHOWWINDOW;
  startup.wShowWindow = SW_SHOWNORMAL;
  PROCESS_INFORMATION process = {};
  if (!CreateProcessW(path.c_str(), command_line.data(), nullptr, nullptr, FALSE, 0, nullptr,
                      directory.c_str(), &startup, &process)) {
    const DWORD error = GetLastError();
    diag::LogFailure(L"CreateProcess failed", path, error);
    return false;
  }
  CloseHandle(process.hThread);
  CloseHandle(process.hProcess);
  return true;
}

}  // namespace orvo::launch
