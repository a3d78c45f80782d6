#include "tools/harness/update_run.h"

#include <utility>

#include "caller/start_updater.h"
#include "tools/harness/processes.h"

namespace orvo::harness {
namespace {

using caller::QuoteArgument;

// RunUpdater with the command line as one text.
UpdaterRun RunCommand(const std::wstring& command, DebugHooks hooks, DWORD timeout_ms) {
  NoticeWatcher watcher;
  const auto on_start = hooks.on_start;
  hooks.on_start = [&](DWORD pid) {
    if (on_start) on_start(pid);
    watcher.Start(pid);
  };
  UpdaterRun result;
  const ULONGLONG started = GetTickCount64();
  result.run = RunUnderDebugger(command, timeout_ms, hooks);
  result.milliseconds = GetTickCount64() - started;
  watcher.Stop();
  result.notices = watcher.Seen();
  return result;
}

}  // namespace

DWORD StandIns::Start(const std::wstring& arguments) {
  DWORD id = 0;
  const HANDLE process = StartProcess(QuoteArgument(program_) + L" " + arguments, &id);
  if (process) processes_.push_back(process);
  return process ? id : 0;
}

HANDLE StandIns::Hold(const std::wstring& path, DWORD timeout_ms, const std::wstring& directory) {
  const HANDLE holder = StartHolder(program_, path, 600000, timeout_ms, directory);
  if (holder) processes_.push_back(holder);
  return holder;
}

DWORD StandIns::Gone() {
  const DWORD id = Start(L"--sleep 0");
  if (id) WaitForSingleObject(processes_.back(), 30000);
  return id;
}

bool StandIns::Running(size_t index) const {
  return index < processes_.size() && WaitForSingleObject(processes_[index], 0) == WAIT_TIMEOUT;
}

void StandIns::Stop() {
  for (const HANDLE process : processes_) {
    TerminateProcess(process, 0);
    WaitForSingleObject(process, 5000);
    CloseHandle(process);
  }
  processes_.clear();
}

UpdaterRun RunUpdater(const std::wstring& updater, const std::vector<std::wstring>& arguments,
                      DebugHooks hooks, DWORD timeout_ms) {
  std::wstring text;
  for (const auto& argument : arguments) text += L" " + QuoteArgument(argument);
  return RunCommand(QuoteArgument(updater) + text, std::move(hooks), timeout_ms);
}

caller::ExecuteStep AsDebugger(UpdaterRun* run, DebugHooks hooks, DWORD timeout_ms) {
  return [=](SHELLEXECUTEINFOW* info) {
    // The parameters exactly as the caller wrote them, after the program.
    *run = RunCommand(QuoteArgument(info->lpFile) + L" " + info->lpParameters, hooks, timeout_ms);
    return TRUE;
  };
}

}  // namespace orvo::harness
