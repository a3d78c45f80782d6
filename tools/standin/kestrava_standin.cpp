// A stand-in for the Kestrava application, for the tests and the demo.
//
//   kestrava_standin                          record how it was started, then exit
//   kestrava_standin --sleep MS               run for MS milliseconds
//   kestrava_standin --hold FILE --sleep MS   hold FILE open without sharing while running
//                    [--ready EVENT]          ... and set the named event EVENT once it holds it
//   kestrava_standin --update UPDATER --root DIR --staging DIR
//                                             start the updater as Kestrava does (caller/), with
//                                             this process's id, and exit: 0 once it started,
//                                             else 20 + the outcome (21 declined, 22 refused,
//                                             23 not started)
//
// The record goes to "restart-record.txt" beside the executable, in UTF-8, one "key=value" line
// each for: exe (module path), cwd, cmdline, flags (STARTUPINFO dwFlags), show (wShowWindow).

#include <windows.h>
#include <shellapi.h>

#include <string>

#include "caller/start_updater.h"

namespace {

void WriteUtf8(HANDLE file, const std::wstring& text) {
  const int length = WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()),
                                         nullptr, 0, nullptr, nullptr);
  std::string bytes(static_cast<size_t>(length), '\0');
  WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), bytes.data(), length,
                      nullptr, nullptr);
  DWORD written = 0;
  WriteFile(file, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr);
}

int RecordStart() {
  wchar_t module[32768] = {};
  GetModuleFileNameW(nullptr, module, 32768);
  wchar_t directory[32768] = {};
  GetCurrentDirectoryW(32768, directory);
  STARTUPINFOW startup = {};
  GetStartupInfoW(&startup);

  std::wstring record_path = module;
  record_path.erase(record_path.find_last_of(L"\\/") + 1);
  record_path += L"restart-record.txt";
  // Written under another name first, so that a reader never sees half a record.
  const std::wstring partial = record_path + L".part";
  const HANDLE file = CreateFileW(partial.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                  FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return 10;
  WriteUtf8(file, std::wstring(L"exe=") + module + L"\n");
  WriteUtf8(file, std::wstring(L"cwd=") + directory + L"\n");
  WriteUtf8(file, std::wstring(L"cmdline=") + GetCommandLineW() + L"\n");
  WriteUtf8(file, L"flags=" + std::to_wstring(startup.dwFlags) + L"\n");
  WriteUtf8(file, L"show=" + std::to_wstring(startup.wShowWindow) + L"\n");
  CloseHandle(file);
  return MoveFileExW(partial.c_str(), record_path.c_str(), MOVEFILE_REPLACE_EXISTING) ? 0 : 11;
}

}  // namespace

// A window-less GUI program, like the application it stands in for.
int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int) {
  int argc = 0;
  wchar_t** const argv = CommandLineToArgvW(GetCommandLineW(), &argc);
  if (!argv || argc < 2) return RecordStart();
  DWORD sleep_ms = 0;
  const wchar_t* hold = nullptr;
  const wchar_t* ready = nullptr;
  orvo::caller::UpdateRequest update;
  for (int i = 1; i + 1 < argc; i += 2) {
    const std::wstring name = argv[i];
    if (name == L"--sleep") sleep_ms = static_cast<DWORD>(_wtol(argv[i + 1]));
    if (name == L"--hold") hold = argv[i + 1];
    if (name == L"--ready") ready = argv[i + 1];
    if (name == L"--update") update.updater = argv[i + 1];
    if (name == L"--root") update.install_root = argv[i + 1];
    if (name == L"--staging") update.staging_dir = argv[i + 1];
  }
  if (!update.updater.empty()) {
    update.process_id = GetCurrentProcessId();
    const orvo::caller::StartResult started = orvo::caller::StartUpdater(update);
    // Started: exit at once, for the updater is waiting for this process.
    if (started.outcome == orvo::caller::Outcome::kStarted) return 0;
    return 20 + static_cast<int>(started.outcome);
  }
  HANDLE held = INVALID_HANDLE_VALUE;
  if (hold) {
    held = CreateFileW(hold, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_ALWAYS,
                       FILE_ATTRIBUTE_NORMAL, nullptr);
    if (held == INVALID_HANDLE_VALUE) return 12;
  }
  if (ready) {
    const HANDLE event = OpenEventW(EVENT_MODIFY_STATE, FALSE, ready);
    if (!event || !SetEvent(event)) return 13;
    CloseHandle(event);
  }
  Sleep(sleep_ms);
  if (held != INVALID_HANDLE_VALUE) CloseHandle(held);
  return 0;
}
