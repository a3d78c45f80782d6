#pragma once

// Kestrava's side of an update: start OrvoUpdater.exe the way it must be started, and learn what
// to do next.
//
// Link the static library orvo_caller (these files and fsops/paths, Windows system DLLs only:
// KERNEL32 and SHELL32). Once the new files are in the staging directory:
//
//   orvo::caller::UpdateRequest request;
//   request.updater = updater_path;  // the full path of OrvoUpdater.exe
//   request.process_id = GetCurrentProcessId();
//   request.install_root = install_root;
//   request.staging_dir = staging_dir;
//   request.owner = main_window;  // the consent prompt comes up in front of it
//   const orvo::caller::StartResult result = orvo::caller::StartUpdater(request);
//
// and act on result.outcome as each value below says. Call it from the UI thread: the consent
// prompt comes up for that thread's window, and the shell expects COM initialized as a
// single-threaded apartment there (CoInitializeEx), as a UI thread has it.

#include <windows.h>
#include <shellapi.h>

#include <functional>
#include <string>

namespace orvo::caller {

// What Kestrava hands to the updater.
struct UpdateRequest {
  // OrvoUpdater.exe, as a full path ("C:\...", "\\server\share\..."). A bare name or a relative
  // path is refused: the shell would search for it, and the program found would run elevated.
  std::wstring updater;
  // Kestrava's process, which the updater waits for (up to 60 seconds): GetCurrentProcessId().
  DWORD process_id = 0;
  // The directory that receives the new files, and the one that holds them. Both full paths;
  // blanks, non-ASCII names, a trailing backslash and long paths are all fine.
  std::wstring install_root;
  std::wstring staging_dir;
  // Where Kestrava's executable lies below the install root, and its file name; each is passed
  // verbatim. Empty: left out, so the updater's defaults count (bin/64bit, Kestrava.exe).
  std::wstring exe_subdir;
  std::wstring restart_exe;
  // The window the consent prompt comes up in front of; may be null.
  HWND owner = nullptr;
};

// What became of the request, and what Kestrava should do.
enum class Outcome {
  // The updater runs. Exit now, and promptly: the updater gives up (exit code 2, nothing touched)
  // when Kestrava's process has not ended within 60 seconds. Close files, stop helper processes:
  // a file that something still holds open cannot be replaced.
  kStarted,
  // The user declined the consent prompt (ERROR_CANCELLED). Keep running; the staged update is
  // untouched, and StartUpdater may be called again later (at the next start, say).
  kDeclined,
  // Refused before anything started, for `refusal` in the value named by `refused`: the updater
  // would refuse it as well, with a notice after Kestrava had exited. Keep running, and report it:
  // it is Kestrava's own mistake, and no retry will mend it.
  kRefused,
  // The system could not start the updater; `error` is its Win32 code (ERROR_FILE_NOT_FOUND for
  // an updater that is not where `updater` says, say). Keep running; the staged update stays.
  kNotStarted,
};

// Why a request was refused.
enum class Refusal {
  kNone,
  kNoProcessId,        // process_id is 0, which the updater takes for a missing option
  kMissingPath,        // an empty path
  kRelativePath,       // "Kestrava", ".\update", "\Kestrava": relative to a current directory,
                       // and the elevated updater's is not Kestrava's
  kDriveRelativePath,  // "C:" or "C:update": relative to a hidden per-drive current directory
  kUnusablePath,       // a device name, the device namespace ("\\.\"), and any "\\?\" or
                       // "\??\" path but a plain "\\?\C:\..." or "\\?\UNC\..." one
  kNotItsOwnDirectory, // a staging directory that is the install root, lies above it, or is the
                       // root of a volume or share: the updater's clean-up would delete it all
};

struct StartResult {
  Outcome outcome = Outcome::kNotStarted;
  Refusal refusal = Refusal::kNone;  // kRefused: why
  std::wstring refused;              // kRefused: "--install-root", "--staging-dir" or "updater"
  DWORD error = ERROR_SUCCESS;       // kNotStarted: the system's code; kDeclined: ERROR_CANCELLED
  DWORD process_id = 0;              // kStarted: the updater's process id, when the system tells
};

// One argument written so that CommandLineToArgvW (and the C runtime's own parser) gives it back
// exactly: quoted when it is empty or holds a blank, a tab or a quote, with the backslashes before
// a quote, and before the closing quote, doubled ("C:\Program Files\Kestrava\" must not end in
// \", which would be read as a literal quote and swallow the arguments that follow).
std::wstring QuoteArgument(const std::wstring& argument);

// The updater's arguments for `request`, each quoted as needed, without the program itself: the
// text ShellExecuteExW takes as its parameters (after the program's quoted path, a command line).
std::wstring UpdaterArguments(const UpdateRequest& request);

// How the program is started: ShellExecuteExW, or a stand-in with its contract (FALSE, and the
// reason in the thread's last error, on failure; the process handle in hProcess when asked for).
using ExecuteStep = std::function<BOOL(SHELLEXECUTEINFOW*)>;

// Checks `request` as the updater would (every path resolved as the system resolves it, compared
// without regard to letter case; a link on the way is left for the updater to find), then starts
// `updater` elevated (the verb "runas": the consent prompt, or a password prompt for a standard
// user) with UpdaterArguments, from the system directory, so that the updater holds no directory
// of Kestrava's open as its current one. The updater's manifest demands administrator rights, so
// CreateProcess would only fail with ERROR_ELEVATION_REQUIRED (740).
StartResult StartUpdater(const UpdateRequest& request, const ExecuteStep& execute = ShellExecuteExW);

}  // namespace orvo::caller
