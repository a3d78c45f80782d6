#include "app/update_sequence.h"

#include <windows.h>
#include <shellapi.h>

#include "app/command_line.h"
#include "app/update_directories.h"
#include "diag/notice.h"
#include "fsops/clear_staging.h"
#include "fsops/copy_tree.h"
#include "launch/restart.h"

namespace orvo::app {

namespace {

constexpr unsigned long kAskAgainMs = 100;

// OpenProcess for waiting, with the right to read the process's times where it is granted. A
// process's DACL comes from the account that started it: an administrator of another account
// (over-the-shoulder elevation, Administrator Protection) may be refused, and the debug privilege
// grants the open then. It is off by default; RtlAdjustPrivilege turns it on for the open, without
// bringing in another DLL. Null, with the reason in `error`, on failure.
HANDLE OpenForWaiting(DWORD process_id, DWORD& error) {
  HANDLE process = OpenProcess(SYNCHRONIZE | PROCESS_QUERY_LIMITED_INFORMATION, FALSE, process_id);
  if (process) return process;
  process = OpenProcess(SYNCHRONIZE, FALSE, process_id);
  error = process ? ERROR_SUCCESS : GetLastError();
  if (process || error != ERROR_ACCESS_DENIED) return process;
  using AdjustPrivilege = LONG(NTAPI*)(ULONG, BOOLEAN, BOOLEAN, BOOLEAN*);
  const auto adjust = reinterpret_cast<AdjustPrivilege>(
      reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "RtlAdjustPrivilege")));
  constexpr ULONG kDebugPrivilege = 20;  // SE_DEBUG_PRIVILEGE
  BOOLEAN was_enabled = FALSE;
  if (!adjust || adjust(kDebugPrivilege, TRUE, FALSE, &was_enabled) < 0) return nullptr;
  process = OpenProcess(SYNCHRONIZE, FALSE, process_id);
  error = process ? ERROR_SUCCESS : GetLastError();
  // As it was: the restarted application inherits the token, privileges' states included.
  adjust(kDebugPrivilege, was_enabled, FALSE, &was_enabled);
  return process;
}

// True when `process` was started after this process: its id was Kestrava's once, but Kestrava
// has exited and the system gave the id to another process. False when the times cannot be read.
bool StartedAfterUs(HANDLE process) {
  FILETIME ours = {}, theirs = {}, unused = {};
  if (!GetProcessTimes(GetCurrentProcess(), &ours, &unused, &unused, &unused) ||
      !GetProcessTimes(process, &theirs, &unused, &unused, &unused)) {
    return false;
  }
  return CompareFileTime(&theirs, &ours) > 0;
}

}  // namespace

bool WaitForApplicationExit(int process_id) {
  // Our own id is not Kestrava's: the id was free when we were started.
  if (static_cast<DWORD>(process_id) == GetCurrentProcessId()) return true;
  const ULONGLONG deadline = GetTickCount64() + kWaitLimitMs;
  for (;;) {
    DWORD error = ERROR_SUCCESS;
    if (const HANDLE process = OpenForWaiting(static_cast<DWORD>(process_id), error)) {
      if (StartedAfterUs(process)) {
        CloseHandle(process);
        return true;
      }
      const ULONGLONG now = GetTickCount64();
      const DWORD wait =
          WaitForSingleObject(process, now < deadline ? static_cast<DWORD>(deadline - now) : 0);
      CloseHandle(process);
      return wait == WAIT_OBJECT_0 || wait == WAIT_FAILED;
    }
    // Only "no such process" says that it has ended. One that we may not open may still run, and
    // an update over it would fail file by file and then clear the staged files away.
    if (error == ERROR_INVALID_PARAMETER) return true;
    if (GetTickCount64() >= deadline) return false;
    Sleep(kAskAgainMs);
  }
}

int RunUpdate() {
  // The process runs elevated and the shell loads further DLLs on demand: take them from the
  // system directory only, never from beside the executable or from the current directory.
  SetDefaultDllDirectories(LOAD_LIBRARY_SEARCH_SYSTEM32);

  int count = 0;
  wchar_t** const arguments = CommandLineToArgvW(GetCommandLineW(), &count);
  if (!arguments) return kExitBadArguments;
  const UpdateOptions options = Parse(count, arguments);
  LocalFree(arguments);
  if (!IsComplete(options)) {
    diag::ShowNotice(diag::Notice::kUsage);
    return kExitBadArguments;
  }
  // From here on the two directories are the handles opened here, and their paths the resolved
  // ones, for every step.
  UpdateDirectories directories = OpenUpdateDirectories(options.install_root, options.staging_dir);
  if (directories.refusal != Refusal::kNone) {
    diag::ShowNotice(diag::Notice::kUsage);
    return kExitBadArguments;
  }

  if (!WaitForApplicationExit(options.process_id)) {
    diag::ShowNotice(diag::Notice::kTimeout);
    return kExitWaitTimedOut;
  }
  Sleep(kSettleDelayMs);

  if (!fsops::CopyTree(directories.staging, directories.install_root)) {
    diag::ShowNotice(diag::Notice::kPartialCopy);
  }
  fsops::ClearStagingDirectory(directories.staging.opened);
  // The subdirectory is joined as it was given: "bin/64bit" keeps its slash.
  const std::wstring exe_directory = directories.install_root.path + L'\\' + options.exe_subdir;
  directories = UpdateDirectories();  // the application finds no handle of ours on its folders

  if (!launch::RestartApplication(exe_directory, options.restart_exe)) {
    diag::ShowNotice(diag::Notice::kRestartFailed);
    return kExitRestartFailed;
  }
  return kExitUpdated;
}

}  // namespace orvo::app
