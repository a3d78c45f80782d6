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

bool WaitForApplicationExit(int process_id) {
  const HANDLE process = OpenProcess(SYNCHRONIZE, FALSE, static_cast<DWORD>(process_id));
  if (!process) return true;
  const DWORD wait = WaitForSingleObject(process, kWaitLimitMs);
  CloseHandle(process);
  return wait == WAIT_OBJECT_0 || wait == WAIT_FAILED;
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
  fsops::ClearStagingDirectory(directories.staging.opened.handle.get());
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
