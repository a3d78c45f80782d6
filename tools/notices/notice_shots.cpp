// Brings up each of the four notices of the real OrvoUpdater.exe in turn, for a screenshot taken
// from outside (Wine draws them on an X server, which only the host can read).
//
//   orvo_notice_shots <OrvoUpdater.exe> <application stand-in> <work dir> <exchange dir>
//
// For each notice, once its box is up, in front and drawn, the tool writes
// "<exchange dir>\<name>.rect" with the box's place on the screen ("left top width height") and
// waits for "<exchange dir>\<name>.taken" before it presses OK. The names, in order: usage,
// partial, restart, timeout. The updater is brought to each notice as a user would meet it:
//   usage    no options at all;
//   partial  another Kestrava process holds an installed file open;
//   restart  the same run: the application's executable does not exist;
//   timeout  the application keeps running: the updater gives up after its 60-second wait.
// Each box's caption and text are checked against the notice expected, and each run's exit code.
// Returns 0 when all four were taken, 1 otherwise.

#include <windows.h>

#include <string>

#include "caller/start_updater.h"
#include "diag/notice.h"
#include "tools/harness/notice_watcher.h"
#include "tools/harness/processes.h"
#include "tools/harness/text_io.h"
#include "tools/harness/update_run.h"

namespace {

using orvo::diag::Notice;
using orvo::harness::Print;

constexpr DWORD kBoxLimitMs = 120000;   // the timeout notice comes after a minute
constexpr DWORD kShotLimitMs = 60000;   // for the host to take the picture
constexpr DWORD kExitLimitMs = 30000;
constexpr DWORD kSettleMs = 700;        // for the box to be drawn after it came to the front

std::wstring g_exchange;

// The notice box of one process, once its text is set, or null once `limit_ms` have passed.
HWND WaitForBox(DWORD process_id, DWORD limit_ms) {
  const ULONGLONG deadline = GetTickCount64() + limit_ms;
  while (GetTickCount64() < deadline) {
    for (const HWND box : orvo::harness::NoticeBoxes(process_id)) {
      if (!orvo::harness::ReadNotice(box).text.empty()) return box;  // else still being made
    }
    Sleep(50);
  }
  return nullptr;
}

// Hands the box of `process_id` to the host for its picture, then dismisses it.
bool Shoot(const wchar_t* name, DWORD process_id, Notice expected) {
  const HWND box = WaitForBox(process_id, kBoxLimitMs);
  if (!box) {
    Print(std::wstring(L"no ") + name + L" notice appeared\n");
    return false;
  }
  const orvo::harness::SeenNotice seen = orvo::harness::ReadNotice(box);
  if (seen.text != orvo::diag::NoticeText(expected)) {
    Print(std::wstring(L"the ") + name + L" notice says something else: " + seen.text + L"\n");
    return false;
  }
  // Kestrava starts the updater from the front, so its boxes come up in front and active. Here
  // they are started by this tool, and Wine on a bare X server (no window manager gives its desktop
  // the input focus) draws a box's caption as inactive even once it is the foreground window: the
  // box is brought to the front, and its frame drawn in the state the system then reports for it.
  SetForegroundWindow(box);
  SendMessageW(box, WM_NCACTIVATE, GetForegroundWindow() == box, 0);
  Sleep(kSettleMs);
  RECT place = {};
  GetWindowRect(box, &place);
  const std::wstring rect = g_exchange + L"\\" + name + L".rect";
  orvo::harness::WriteText(
      rect + L".part", std::to_string(place.left) + " " + std::to_string(place.top) + " " +
                           std::to_string(place.right - place.left) + " " +
                           std::to_string(place.bottom - place.top) + "\n");
  MoveFileExW((rect + L".part").c_str(), rect.c_str(), MOVEFILE_REPLACE_EXISTING);

  const std::wstring taken = g_exchange + L"\\" + name + L".taken";
  const ULONGLONG deadline = GetTickCount64() + kShotLimitMs;
  while (!orvo::harness::Exists(taken) && GetTickCount64() < deadline) Sleep(50);
  // Gone before the next notice is looked for, which could otherwise find this one again.
  orvo::harness::Dismiss(box);
  if (!orvo::harness::Exists(taken)) {
    Print(std::wstring(L"the ") + name + L" notice was never taken\n");
    return false;
  }
  Print(std::wstring(L"took the ") + name + L" notice\n");
  return true;
}

// Waits for the updater's exit and checks its code.
bool Ends(HANDLE updater, DWORD expected, const wchar_t* what) {
  DWORD code = STILL_ACTIVE;
  if (WaitForSingleObject(updater, kExitLimitMs) == WAIT_OBJECT_0) GetExitCodeProcess(updater, &code);
  TerminateProcess(updater, 99);
  CloseHandle(updater);
  if (code == expected) return true;
  Print(std::wstring(what) + L": exit code " + std::to_wstring(code) + L", expected " +
        std::to_wstring(expected) + L"\n");
  return false;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  if (argc != 5) {
    Print(L"usage: orvo_notice_shots <OrvoUpdater.exe> <application stand-in> <work dir> "
          L"<exchange dir>\n");
    return 64;
  }
  const std::wstring updater = orvo::caller::QuoteArgument(argv[1]);
  const std::wstring work = argv[3];
  g_exchange = argv[4];
  const std::wstring root = work + L"\\Kestrava";
  const std::wstring staging = work + L"\\Kestrava-update";
  const std::wstring held = root + L"\\bin\\64bit\\data.pak";
  orvo::harness::WriteText(held, "1.4.2");
  orvo::harness::WriteText(staging + L"\\bin\\64bit\\data.pak", "1.5.0");
  // The updater's command lines as Kestrava's side builds them (caller/).
  orvo::caller::UpdateRequest request;
  request.install_root = root;
  request.staging_dir = staging;
  const auto for_process = [&](DWORD process_id) {
    request.process_id = process_id;
    return updater + L" " + orvo::caller::UpdaterArguments(request);
  };

  bool ok = true;
  DWORD usage_id = 0;
  const HANDLE usage = orvo::harness::StartProcess(updater, &usage_id);
  ok = usage && Shoot(L"usage", usage_id, Notice::kUsage) && ok;
  ok = usage && Ends(usage, 1, L"usage") && ok;

  // An application that has exited, and a helper of it that still holds a file; a slow start (a
  // loaded machine) must not let the update replace the file after all.
  orvo::harness::StandIns kestrava(argv[2]);
  const DWORD gone_id = kestrava.Gone();
  if (!kestrava.Hold(held, kBoxLimitMs)) {
    Print(L"the helper stand-in never held " + held + L"\n");
    ok = false;
  }
  DWORD partial_id = 0;
  const HANDLE partial = orvo::harness::StartProcess(for_process(gone_id), &partial_id);
  ok = partial && Shoot(L"partial", partial_id, Notice::kPartialCopy) &&
       Shoot(L"restart", partial_id, Notice::kRestartFailed) && ok;
  ok = partial && Ends(partial, 3, L"restart") && ok;
  kestrava.Stop();

  // The application that will not exit, and the updater that waits for it. One box at a time:
  // two on the screen at once could overlap in a picture.
  const DWORD running_id = kestrava.Start(L"--sleep 600000");
  DWORD waiting_id = 0;
  const HANDLE waiting = orvo::harness::StartProcess(for_process(running_id), &waiting_id);
  ok = running_id && waiting && Shoot(L"timeout", waiting_id, Notice::kTimeout) && ok;
  ok = waiting && Ends(waiting, 2, L"timeout") && ok;
  return ok ? 0 : 1;
}
