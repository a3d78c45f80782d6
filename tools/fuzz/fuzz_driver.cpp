// Drives the real OrvoUpdater.exe with random command lines, as a careless or hostile caller might
// write them, and checks that every run ends by itself with one of the exit codes 0 to 3.
//
//   orvo_fuzz <OrvoUpdater.exe> <application stand-in> <sandbox dir> <runs> <seed>
//
// The command lines come from a small grammar: the option names and near misses, paths that are
// relative, drive-relative, extended-length, in the device namespace, UNC, device names, ".."
// chains, with trailing dots and blanks, very long, with unpaired surrogates, quotes or nothing at
// all, and process ids of every odd form (never one of a live process, so that no run waits a
// minute). Before each run the sandbox gets a fresh install root and staging tree; the updater's
// current directory lies two levels below the sandbox. A failing run prints its seed and command
// line, so that it can be replayed. Returns 0 when every run passed, 1 otherwise.
//
// Run it only where nothing outside the sandbox can be reached: an updater that goes wrong may
// delete whatever its paths lead to.

#include <windows.h>

#include <map>
#include <random>
#include <string>
#include <vector>

#include "app/command_line.h"
#include "fsops/clear_staging.h"
#include "fsops/dir_handles.h"
#include "tools/harness/debug_session.h"
#include "tools/harness/notice_watcher.h"
#include "tools/harness/processes.h"
#include "tools/harness/text_io.h"

using orvo::harness::Print;
using Words = std::vector<std::wstring>;

namespace {

// A fresh install root and staging tree, and the directories the current directory lies in.
void PrepareSandbox(const std::wstring& sandbox, const std::wstring& application) {
  for (const wchar_t* name : {L"\\install", L"\\staging"}) {
    using orvo::fsops::Purpose;
    const auto tree = orvo::fsops::OpenDirectoryPath(sandbox + name, Purpose::kRemoveDirectory);
    orvo::fsops::ClearStagingDirectory(tree.handle.get());
  }
  for (const wchar_t* name : {L"\\install\\bin\\64bit", L"\\staging\\bin\\64bit", L"\\cwd\\inner"}) {
    orvo::harness::MakeDirectories(sandbox + name);
  }
  CopyFileW(application.c_str(), (sandbox + L"\\install\\bin\\64bit\\Kestrava.exe").c_str(), FALSE);
  orvo::harness::WriteFileText(sandbox + L"\\install\\settings.ini", "mine");
  orvo::harness::WriteFileText(sandbox + L"\\staging\\bin\\64bit\\data.pak", "new");
}

class Grammar {
 public:
  Grammar(unsigned seed, const std::wstring& sandbox) : random_(seed) {
    const std::wstring drive = sandbox.substr(0, 2), staging = sandbox + L"\\staging";
    std::wstring longer = sandbox;
    while (longer.size() < 30000) longer += L"\\a";
    paths_ = {sandbox + L"\\install", staging, L"staging", L".", L"..", L"..\\..\\..\\staging",
              L"..\\..\\..\\..\\..", drive, drive + L"staging", L"\\\\?\\" + drive,
              L"\\\\?\\" + staging, L"\\\\.\\" + drive, L"\\\\?\\GLOBALROOT\\Device\\HarddiskVolume1\\",
              L"\\\\?\\UNC\\localhost\\" + drive.substr(0, 1) + L"$\\staging",
              L"\\\\localhost\\share\\staging", L"NUL", L"CON", L"COM1", L"nul.txt",
              staging + L"\\NUL", staging + L".", staging + L" ", staging + L". .",
              staging + L"\\..", staging + L"\\\\", longer, sandbox + L"\\\xD800staging\xDC00\xDC01",
              L"\"", L"\"\"", L"\\\"", L"a b\"c", L"", L"\\", L"/", L"\\\\", drive + L"\\",
              drive + L"/", L"*", L"?", L"\\??\\" + staging, sandbox + L"/install/", L"bin/64bit",
              L"Kestrava.exe", L"--staging-dir"};
  }

  Words CommandLine() {
    Words arguments;
    // Most runs name the three options that make a run go on to the guard and beyond.
    if (Pick(4) != 0) {
      arguments = {L"--pid", ProcessId(), L"--install-root", Path(), L"--staging-dir", Path()};
    }
    for (int i = Pick(6); i > 0; --i) {
      if (Pick(6) == 0) {
        arguments.push_back(Path());  // a stray value
        continue;
      }
      static const Words kNames = {L"--pid", L"--install-root", L"--staging-dir", L"--exe-subdir",
                                   L"--restart"};
      static const Words kNearMisses = {L"--PID", L"--pid=", L"-pid", L"--staging", L"--",
                                        L"--install-root=", L"-", L"", L"--Staging-Dir", L"/pid",
                                        L"--restart "};
      const std::wstring name = OneOf(Pick(5) == 0 ? kNearMisses : kNames);
      arguments.push_back(name);
      if (Pick(12) != 0) arguments.push_back(name == L"--pid" ? ProcessId() : Path());
    }
    return arguments;
  }

 private:
  int Pick(int n) { return std::uniform_int_distribution<int>(0, n - 1)(random_); }
  const std::wstring& OneOf(const Words& choices) {
    return choices[static_cast<size_t>(Pick(static_cast<int>(choices.size())))];
  }
  std::wstring Path() { return OneOf(paths_); }
  std::wstring ProcessId() {
    static const Words kForms = {L"0", L"-1", L"abc", L"4294967295", L"2147483648", L"-2147483649",
                                 L" 12", L"+5", L"12x", L"99999999999999999999", L"0x10", L"",
                                 L"\t7", L"--pid", L"１２"};
    return Pick(3) == 0 ? std::to_wstring(Pick(5000)) : OneOf(kForms);
  }

  std::mt19937 random_;
  Words paths_;
};

}  // namespace

int wmain(int argc, wchar_t** argv) {
  if (argc != 6) {
    Print(L"usage: orvo_fuzz <OrvoUpdater.exe> <stand-in> <sandbox dir> <runs> <seed>\n");
    return 64;
  }
  const std::wstring updater = argv[1], application = argv[2], sandbox = argv[3];
  const int runs = _wtoi(argv[4]);
  const unsigned seed = static_cast<unsigned>(_wtoi64(argv[5]));
  Grammar grammar(seed, sandbox);
  std::map<DWORD, int> codes;
  int failures = 0;
  const ULONGLONG started = GetTickCount64();
  for (int run = 0; run < runs; ++run) {
    PrepareSandbox(sandbox, application);
    SetCurrentDirectoryW((sandbox + L"\\cwd\\inner").c_str());
    std::wstring command = orvo::harness::QuoteArgument(updater);
    for (std::wstring argument : grammar.CommandLine()) {
      // A live process would be waited for a minute: take one that cannot be.
      const int id = orvo::app::ParseProcessId(argument.c_str());
      if (const HANDLE process = OpenProcess(SYNCHRONIZE, FALSE, static_cast<DWORD>(id))) {
        CloseHandle(process);
        argument = L"4294967295";
      }
      const std::wstring quoted = orvo::harness::QuoteArgument(argument);
      if (command.size() + 1 + quoted.size() > 32000) break;  // CreateProcessW takes 32,767
      command += L" " + quoted;
    }
    orvo::harness::NoticeWatcher watcher;
    const auto result =
        orvo::harness::RunUnderDebugger(command, 30000, [&](DWORD pid) { watcher.Start(pid); });
    watcher.Stop();
    if (result.finished) ++codes[result.exit_code];
    if (result.started && result.finished && result.exit_code <= 3) continue;
    ++failures;
    const std::wstring why = !result.started    ? L"not started"
                             : !result.finished ? L"did not end within the time limit"
                                                : L"exit code " + std::to_wstring(result.exit_code);
    Print(L"FAILED run " + std::to_wstring(run) + L" of seed " + std::to_wstring(seed) + L": " +
          why + L"\n  " + command.substr(0, 2000) + L"\n");
  }
  std::wstring summary = L"fuzz: " + std::to_wstring(runs) + L" runs of seed " +
                         std::to_wstring(seed) + L" in " +
                         std::to_wstring((GetTickCount64() - started) / 1000) + L" s; exit codes";
  for (const auto& [code, count] : codes) {
    summary += L" " + std::to_wstring(code) + L":" + std::to_wstring(count);
  }
  Print(summary + L"; " + std::to_wstring(failures) + L" failed\n");
  return failures == 0 ? 0 : 1;
}
