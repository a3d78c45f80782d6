// Drives one real update the way Kestrava would and shows what a person watching would see.
//
//   orvo_demo_driver <OrvoUpdater.exe> <application exe> <install root> <staging dir> <run ms>
//                    [<file held by another Kestrava process>]
//
// Starts the application stand-in for <run ms>, hands its process id to the updater, runs the
// updater as its debugger (printing each debug line as a debug-output viewer would), answers each
// notice with OK (printing its text), and prints the exit code. Returns the updater's exit code.
// With a sixth argument, a second stand-in process keeps that file open without sharing for the
// whole run, as a Kestrava helper that did not exit would.

#include <windows.h>

#include <string>

#include "caller/start_updater.h"
#include "tools/harness/debug_session.h"
#include "tools/harness/text_io.h"
#include "tools/harness/update_run.h"

using orvo::harness::Print;

int wmain(int argc, wchar_t** argv) {
  if (argc != 6 && argc != 7) {
    Print(L"usage: orvo_demo_driver <OrvoUpdater.exe> <application exe> <install root> "
          L"<staging dir> <run ms> [<held file>]\n");
    return 64;
  }
  const std::wstring updater = argv[1];
  const std::wstring application = argv[2];

  orvo::harness::StandIns kestrava(application);
  if (argc == 7) {
    if (!kestrava.Hold(argv[6])) {
      Print(L"the helper stand-in did not take " + std::wstring(argv[6]) + L"\n");
      return 65;
    }
    Print(L"[helper] another Kestrava process keeps " + std::wstring(argv[6]) + L" open\n");
  }
  const DWORD app_id = kestrava.Start(std::wstring(L"--sleep ") + argv[5]);
  if (!app_id) {
    Print(L"could not start the application stand-in\n");
    return 65;
  }
  Print(L"[application] Kestrava is running as process " + std::to_wstring(app_id) +
        L" and exits in " + argv[5] + L" ms\n");

  orvo::caller::UpdateRequest request;
  request.updater = updater;
  request.process_id = app_id;
  request.install_root = argv[3];
  request.staging_dir = argv[4];
  Print(L"[start] " + updater + L" " + orvo::caller::UpdaterArguments(request) + L"\n");
  const ULONGLONG started = GetTickCount64();
  std::string line;
  const auto since = [&] { return std::to_wstring(GetTickCount64() - started) + L" ms] "; };
  orvo::harness::DebugHooks hooks;
  hooks.on_write = [&](const std::string& write) {
    line += write;
    if (!line.empty() && line.back() == '\n') {
      Print(L"[debug +" + since() + orvo::harness::FromUtf8(line));
      line.clear();
    }
  };
  hooks.waited_process = app_id;
  hooks.on_wait = [&] { Print(L"[wait +" + since() + L"OrvoUpdater waits for Kestrava to exit\n"); };
  // Started as Kestrava starts it (caller/), but as the updater's debugger instead of through
  // ShellExecuteExW, to show its debug lines.
  orvo::harness::UpdaterRun updated;
  const orvo::caller::StartResult result =
      orvo::caller::StartUpdater(request, orvo::harness::AsDebugger(&updated, hooks, 120000));
  const orvo::harness::DebugRun& run = updated.run;
  kestrava.Stop();
  if (result.outcome == orvo::caller::Outcome::kRefused) {
    Print(L"refused before the start: " + result.refused + L"\n");
    return 67;
  }

  if (run.writes.empty()) Print(L"[debug] no debug output\n");
  const auto& notices = updated.notices;
  if (notices.empty()) Print(L"[notice] none shown\n");
  for (const auto& notice : notices) Print(L"[notice] " + notice.text + L" (answered with OK)\n");
  if (!run.started) {
    Print(L"could not start the updater\n");
    return 66;
  }
  Print(L"[exit] OrvoUpdater exit code " + std::to_wstring(run.exit_code) + L" after " +
        std::to_wstring(GetTickCount64() - started) + L" ms" +
        (run.finished ? L"" : L" (killed: it did not finish in time)") + L"\n");
  return static_cast<int>(run.exit_code);
}
