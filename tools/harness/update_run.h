#pragma once

#include <windows.h>

#include <string>
#include <utility>
#include <vector>

#include "caller/start_updater.h"
#include "tools/harness/debug_session.h"
#include "tools/harness/notice_watcher.h"

namespace orvo::harness {

// The stand-in Kestrava processes of a run (tools/standin): the application the updater waits
// for, others that hold files. Each is ended when the set is, or at Stop.
class StandIns {
 public:
  explicit StandIns(std::wstring program) : program_(std::move(program)) {}
  ~StandIns() { Stop(); }
  StandIns(const StandIns&) = delete;
  StandIns& operator=(const StandIns&) = delete;

  // Starts one with `arguments`; its process id, 0 when it could not be started.
  DWORD Start(const std::wstring& arguments);
  // One that holds `path` open without sharing until it is ended, as another Kestrava process
  // would; null when it did not take the file within `timeout_ms` (a loaded machine may take many
  // seconds to start a process). It stands in `directory` (empty: ours).
  HANDLE Hold(const std::wstring& path, DWORD timeout_ms = 60000, const std::wstring& directory = L"");
  // The id of one that has exited. Its handle stays open, so that the id is not handed to another
  // process in the meantime (Wine reuses ids at once).
  DWORD Gone();
  // True while the `index`th one started still runs.
  bool Running(size_t index) const;
  // Ends every one.
  void Stop();

 private:
  std::wstring program_;
  std::vector<HANDLE> processes_;
};

// What one run of the updater did: its debugger's view, the notices it showed, how long it took.
struct UpdaterRun {
  DebugRun run;
  std::vector<SeenNotice> notices;
  ULONGLONG milliseconds = 0;
};

// Runs `updater` with `arguments` as its debugger (RunUnderDebugger, with `hooks`), answering each
// notice with OK, and gives up after `timeout_ms`.
UpdaterRun RunUpdater(const std::wstring& updater, const std::vector<std::wstring>& arguments,
                      DebugHooks hooks = {}, DWORD timeout_ms = 100000);
// The step for caller::StartUpdater that runs the program as RunUpdater does, with the parameters
// exactly as the library wrote them, in place of ShellExecuteExW; what it did goes to `*run`.
caller::ExecuteStep AsDebugger(UpdaterRun* run, DebugHooks hooks = {}, DWORD timeout_ms = 100000);

}  // namespace orvo::harness
