#include "tools/harness/processes.h"

namespace orvo::harness {

HANDLE StartProcess(const std::wstring& command_line, DWORD* process_id) {
  std::wstring writable = command_line;
  STARTUPINFOW startup = {};
  startup.cb = sizeof(startup);
  PROCESS_INFORMATION process = {};
  if (!CreateProcessW(nullptr, writable.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                      &startup, &process)) {
    return nullptr;
  }
  CloseHandle(process.hThread);
  if (process_id) *process_id = process.dwProcessId;
  return process.hProcess;
}

bool WaitUntilHeld(const std::wstring& path, DWORD timeout_ms) {
  const ULONGLONG deadline = GetTickCount64() + timeout_ms;
  do {
    const HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                    nullptr, OPEN_EXISTING, 0, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
      if (GetLastError() == ERROR_SHARING_VIOLATION) return true;
    } else {
      CloseHandle(file);
    }
    Sleep(25);
  } while (GetTickCount64() < deadline);
  return false;
}

}  // namespace orvo::harness
