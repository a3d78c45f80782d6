#pragma once

#include <windows.h>

#include <functional>
#include <string>
#include <vector>

namespace orvo::harness {

// What a program did while it ran under RunUnderDebugger.
struct DebugRun {
  bool started = false;             // the process could be created
  bool finished = false;            // it exited on its own before the time limit
  DWORD exit_code = 0;
  // The program's own lines: each write of "[OrvoUpdater] " and the two writes that follow it (the
  // text and "\n"), in order, as delivered. Other writers on the channel (the loader, a shell
  // extension, tools of a native debugger) are left out.
  std::vector<std::string> writes;
};

// What to tell the caller of RunUnderDebugger while the program runs, and where it runs.
struct DebugHooks {
  std::function<void(DWORD)> on_start;               // the new process id, before it runs
  std::function<void(const std::string&)> on_write;  // each of `writes` as it arrives
  // Called once, when the program calls OpenProcess on `waited_process` (to wait for it), before
  // the call goes on: the program has come as far as its wait.
  DWORD waited_process = 0;
  std::function<void()> on_wait;
  // Called at each call of FlushFileBuffers, before it goes on, with the path of the file that it
  // flushes as the system names it then.
  std::function<void(const std::wstring&)> on_flush;
  std::wstring directory;  // the program's current directory; empty: ours
};

// Starts `command_line` as its debugger (DEBUG_ONLY_THIS_PROCESS) and collects every debug write
// until the process exits, or kills it after `timeout_ms`. Windows delivers a write as UTF-16 or,
// like Wine, as ANSI; writes are returned in UTF-8 either way.
DebugRun RunUnderDebugger(const std::wstring& command_line, DWORD timeout_ms,
                          const DebugHooks& hooks = {});

// Wide <-> UTF-8.
std::string ToUtf8(const std::wstring& text);
std::wstring FromUtf8(const std::string& text);

}  // namespace orvo::harness
