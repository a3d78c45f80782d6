#include "tools/harness/processes.h"

#include "caller/start_updater.h"

namespace orvo::harness {

using caller::QuoteArgument;

HANDLE StartProcess(const std::wstring& command_line, DWORD* process_id,
                    const std::wstring& directory) {
  std::wstring writable = command_line;
  STARTUPINFOW startup = {};
  startup.cb = sizeof(startup);
  PROCESS_INFORMATION process = {};
  if (!CreateProcessW(nullptr, writable.data(), nullptr, nullptr, FALSE, 0, nullptr,
                      directory.empty() ? nullptr : directory.c_str(), &startup, &process)) {
    return nullptr;
  }
  CloseHandle(process.hThread);
  if (process_id) *process_id = process.dwProcessId;
  return process.hProcess;
}

HANDLE StartHolder(const std::wstring& application, const std::wstring& path, DWORD hold_ms,
                   DWORD timeout_ms, const std::wstring& directory) {
  static LONG count = 0;
  const std::wstring name = L"orvo-holds-" + std::to_wstring(GetCurrentProcessId()) + L"-" +
                            std::to_wstring(InterlockedIncrement(&count));
  const HANDLE ready = CreateEventW(nullptr, TRUE, FALSE, name.c_str());
  HANDLE holder = StartProcess(QuoteArgument(application) + L" --hold " + QuoteArgument(path) +
                               L" --ready " + name + L" --sleep " + std::to_wstring(hold_ms),
                               nullptr, directory);
  const HANDLE either[] = {ready, holder};
  if (holder && WaitForMultipleObjects(2, either, FALSE, timeout_ms) != WAIT_OBJECT_0) {
    TerminateProcess(holder, 1);
    CloseHandle(holder);
    holder = nullptr;
  }
  CloseHandle(ready);
  return holder;
}

}  // namespace orvo::harness
