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
#include "tools/harness/debug_session.h"
#include "tools/harness/notice_watcher.h"
#include "tools/harness/processes.h"
#include "tools/harness/text_io.h"

using orvo::harness::MakeDirectories;
using orvo::harness::Print;
using orvo::harness::WriteFileText;

namespace {

constexpr DWORD kRunLimitMs = 30000;
constexpr size_t kCommandLineLimit = 32000;  // CreateProcessW takes 32,767 characters

// A fresh install root and staging tree, and the directories the current directory lies in.
void PrepareSandbox(const std::wstring& sandbox, const std::wstring& application) {
  for (const wchar_t* name : {L"install", L"staging"}) {
    orvo::fsops::ClearStagingDirectory(sandbox + L"\\" + name);
  }
  MakeDirectories(sandbox + L"\\install\\bin\\64bit");
  MakeDirectories(sandbox + L"\\staging\\bin\\64bit");
  MakeDirectories(sandbox + L"\\staging\\sub");
  MakeDirectories(sandbox + L"\\cwd\\inner");
  CopyFileW(application.c_str(), (sandbox + L"\\install\\bin\\64bit\\Kestrava.exe").c_str(), FALSE);
  WriteFileText(sandbox + L"\\install\\settings.ini", "mine");
  WriteFileText(sandbox + L"\\staging\\bin\\64bit\\data.pak", "new");
  WriteFileText(sandbox + L"\\staging\\sub\\x.txt", "x");
}

class Grammar {
 public:
  Grammar(unsigned seed, const std::wstring& sandbox) : random_(seed), sandbox_(sandbox) {}

  std::vector<std::wstring> CommandLine() {
    std::vector<std::wstring> arguments;
    // Most runs name the three options that make a run go on to the guard and beyond.
    if (Pick(4) != 0) {
      arguments = {L"--pid", ProcessId(), L"--install-root", Path(), L"--staging-dir", Path()};
    }
    const int count = Pick(6);
    for (int i = 0; i < count; ++i) {
      if (Pick(6) == 0) {
        arguments.push_back(Path());  // a stray value
        continue;
      }
      const std::wstring name = Name();
      arguments.push_back(name);
      if (Pick(12) != 0) arguments.push_back(name == L"--pid" ? ProcessId() : Path());
    }
    return arguments;
  }

 private:
  int Pick(int n) { return std::uniform_int_distribution<int>(0, n - 1)(random_); }
  template <typename T>
  const T& OneOf(const std::vector<T>& choices) {
    return choices[static_cast<size_t>(Pick(static_cast<int>(choices.size())))];
  }

  std::wstring Name() {
    static const std::vector<std::wstring> kNames = {
        L"--pid", L"--install-root", L"--staging-dir", L"--exe-subdir", L"--restart"};
    static const std::vector<std::wstring> kNearMisses = {
        L"--PID", L"--pid=", L"-pid", L"--staging", L"--install-root=", L"--", L"-", L"",
        L"--Staging-Dir", L"/pid", L"--restart "};
    return Pick(5) == 0 ? OneOf(kNearMisses) : OneOf(kNames);
  }

  std::wstring ProcessId() {
    static const std::vector<std::wstring> kForms = {
        L"0", L"-1", L"abc", L"4294967295", L"2147483648", L"-2147483649", L" 12", L"+5", L"12x",
        L"99999999999999999999", L"0x10", L"", L"\t7", L"--pid", L"１２"};
    if (Pick(3) == 0) return std::to_wstring(Pick(5000));
    return OneOf(kForms);
  }

  std::wstring Path() {
    const std::wstring drive = sandbox_.substr(0, 2);  // "C:"
    switch (Pick(22)) {
      case 0: return sandbox_ + L"\\install";
      case 1: return sandbox_ + L"\\staging";
      case 2: return L"staging";
      case 3: return Pick(2) ? L"." : L"..";
      case 4: {
        std::wstring chain;
        for (int i = Pick(6); i >= 0; --i) chain += L"..\\";
        return chain + (Pick(2) ? L"staging" : L"");
      }
      case 5: return drive;
      case 6: return drive + L"staging";
      case 7: return L"\\\\?\\" + (Pick(2) ? drive : sandbox_ + L"\\staging");
      case 8: return L"\\\\.\\" + drive;
      case 9: return L"\\\\?\\GLOBALROOT\\Device\\HarddiskVolume1\\";
      case 10: return L"\\\\?\\UNC\\localhost\\" + drive.substr(0, 1) + L"$\\staging";
      case 11: return L"\\\\localhost\\share\\staging";
      case 12: return OneOf(std::vector<std::wstring>{L"NUL", L"CON", L"COM1", L"nul.txt",
                                                      sandbox_ + L"\\staging\\NUL"});
      case 13: return sandbox_ + L"\\staging" + OneOf(std::vector<std::wstring>{L".", L" ", L". .",
                                                                              L"\\..", L"\\\\"});
      case 14: {
        std::wstring longer = sandbox_;
        while (longer.size() < 30000) longer += L"\\a";
        return longer;
      }
      case 15: return sandbox_ + L"\\\xD800staging\xDC00\xDC01";
      case 16: return OneOf(std::vector<std::wstring>{L"\"", L"\"\"", L"\\\"", L"a b\"c"});
      case 17: return L"";
      case 18: return OneOf(std::vector<std::wstring>{L"\\", L"/", L"\\\\", drive + L"\\",
                                                      drive + L"/", L"*", L"?"});
      case 19: return L"\\??\\" + sandbox_ + L"\\staging";
      case 20: return sandbox_ + L"/install/";
      default: return OneOf(std::vector<std::wstring>{L"bin/64bit", L"Kestrava.exe", L"..\\..",
                                                      L"--staging-dir"});
    }
  }

  std::mt19937 random_;
  std::wstring sandbox_;
};

// Replaces a process id that names a live process: waiting for it would take a minute.
void AvoidLiveProcesses(std::vector<std::wstring>& arguments) {
  for (size_t i = 0; i + 1 < arguments.size(); ++i) {
    if (arguments[i] != L"--pid") continue;
    const int id = orvo::app::ParseProcessId(arguments[i + 1].c_str());
    if (const HANDLE process = OpenProcess(SYNCHRONIZE, FALSE, static_cast<DWORD>(id))) {
      CloseHandle(process);
      arguments[i + 1] = L"4294967295";
    }
  }
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  if (argc != 6) {
    Print(L"usage: orvo_fuzz <OrvoUpdater.exe> <application stand-in> <sandbox dir> <runs> "
          L"<seed>\n");
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
    std::vector<std::wstring> arguments = grammar.CommandLine();
    AvoidLiveProcesses(arguments);
    std::wstring command = orvo::harness::QuoteArgument(updater);
    for (const auto& argument : arguments) {
      const std::wstring quoted = orvo::harness::QuoteArgument(argument);
      if (command.size() + 1 + quoted.size() > kCommandLineLimit) break;
      command += L" " + quoted;
    }
    orvo::harness::NoticeWatcher watcher;
    const orvo::harness::DebugRun result = orvo::harness::RunUnderDebugger(
        command, kRunLimitMs, [&](DWORD pid) { watcher.Start(pid); });
    watcher.Stop();
    const bool passed = result.started && result.finished && result.exit_code <= 3;
    if (result.finished) ++codes[result.exit_code];
    if (!passed) {
      ++failures;
      Print(L"FAILED run " + std::to_wstring(run) + L" of seed " + std::to_wstring(seed) + L": " +
            (!result.started ? L"not started"
             : !result.finished ? L"did not end within the time limit"
                                : L"exit code " + std::to_wstring(result.exit_code)) +
            L"\n  " + command.substr(0, 2000) + L"\n");
    }
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
