#include "launch/restart.h"

#include <windows.h>

#include <string>

#include "diag/log.h"

namespace orvo::launch {

bool RestartApplication(const app::UpdateOptions& options) {
  const std::wstring directory = options.install_root + L'\\' + options.exe_subdir;
  const std::wstring executable = directory + L'\\' + options.restart_exe;
  // CreateProcessW may write into the command line, so it gets a buffer of its own.
  std::wstring command_line = L'"' + executable + L'"';

  STARTUPINFOW startup = {};
  startup.cb = sizeof(startup);
  startup.dwFlags = STARTF_USESHOWWINDOW;
  startup.wShowWindow = SW_SHOWNORMAL;
  PROCESS_INFORMATION process = {};
  if (!CreateProcessW(executable.c_str(), command_line.data(), nullptr, nullptr, FALSE, 0, nullptr,
                      directory.c_str(), &startup, &process)) {
    const DWORD error = GetLastError();
    diag::LogFailure(L"CreateProcess", executable, error);
    return false;
  }
  CloseHandle(process.hThread);
  CloseHandle(process.hProcess);
  return true;
}

}  // namespace orvo::launch
