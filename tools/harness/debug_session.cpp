#include "tools/harness/debug_session.h"

namespace orvo::harness {
namespace {

std::string ReadDebugString(HANDLE process, const OUTPUT_DEBUG_STRING_INFO& info) {
  const SIZE_T units = info.nDebugStringLength;
  if (units == 0) return std::string();
  if (info.fUnicode) {
    std::wstring text(units, L'\0');
    SIZE_T read = 0;
    ReadProcessMemory(process, info.lpDebugStringData, text.data(), units * sizeof(wchar_t), &read);
    text.resize(read / sizeof(wchar_t));
    while (!text.empty() && text.back() == L'\0') text.pop_back();
    return ToUtf8(text);
  }
  std::string text(units, '\0');
  SIZE_T read = 0;
  ReadProcessMemory(process, info.lpDebugStringData, text.data(), units, &read);
  text.resize(read);
  while (!text.empty() && text.back() == '\0') text.pop_back();
  // An ANSI write is in the system code page.
  const int length = MultiByteToWideChar(CP_ACP, 0, text.data(), static_cast<int>(text.size()),
                                         nullptr, 0);
  std::wstring wide(static_cast<size_t>(length), L'\0');
  MultiByteToWideChar(CP_ACP, 0, text.data(), static_cast<int>(text.size()), wide.data(), length);
  return ToUtf8(wide);
}

}  // namespace

std::string ToUtf8(const std::wstring& text) {
  if (text.empty()) return std::string();
  const int length = WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()),
                                         nullptr, 0, nullptr, nullptr);
  std::string out(static_cast<size_t>(length), '\0');
  WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), out.data(), length,
                      nullptr, nullptr);
  return out;
}

std::wstring FromUtf8(const std::string& text) {
  if (text.empty()) return std::wstring();
  const int length =
      MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
  std::wstring out(static_cast<size_t>(length), L'\0');
  MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), out.data(), length);
  return out;
}

DebugRun RunUnderDebugger(const std::wstring& command_line, DWORD timeout_ms,
                          const std::function<void(DWORD)>& on_start,
                          const std::function<void(const std::string&)>& on_write) {
  DebugRun run;
  std::wstring writable = command_line;
  STARTUPINFOW startup = {};
  startup.cb = sizeof(startup);
  PROCESS_INFORMATION process = {};
  if (!CreateProcessW(nullptr, writable.data(), nullptr, nullptr, FALSE, DEBUG_ONLY_THIS_PROCESS,
                      nullptr, nullptr, &startup, &process)) {
    return run;
  }
  run.started = true;
  if (on_start) on_start(process.dwProcessId);

  const ULONGLONG deadline = GetTickCount64() + timeout_ms;
  bool killed = false;
  for (;;) {
    DEBUG_EVENT event = {};
    // Only the plain WaitForDebugEvent: Wine 8 does not implement the Ex form.
    if (!WaitForDebugEvent(&event, 100)) {
      if (!killed && GetTickCount64() > deadline) {
        TerminateProcess(process.hProcess, 0xDEAD);
        killed = true;
      }
      continue;
    }
    DWORD status = DBG_CONTINUE;
    switch (event.dwDebugEventCode) {
      case CREATE_PROCESS_DEBUG_EVENT:
        if (event.u.CreateProcessInfo.hFile) CloseHandle(event.u.CreateProcessInfo.hFile);
        break;
      case LOAD_DLL_DEBUG_EVENT:
        if (event.u.LoadDll.hFile) CloseHandle(event.u.LoadDll.hFile);
        break;
      case OUTPUT_DEBUG_STRING_EVENT: {
        run.writes.push_back(ReadDebugString(process.hProcess, event.u.DebugString));
        if (on_write) on_write(run.writes.back());
        break;
      }
      case EXCEPTION_DEBUG_EVENT:
        // The loader's initial breakpoint is ours to swallow; anything else is the program's.
        if (event.u.Exception.ExceptionRecord.ExceptionCode != EXCEPTION_BREAKPOINT) {
          status = DBG_EXCEPTION_NOT_HANDLED;
        }
        break;
      case EXIT_PROCESS_DEBUG_EVENT:
        run.exit_code = event.u.ExitProcess.dwExitCode;
        run.finished = !killed;
        ContinueDebugEvent(event.dwProcessId, event.dwThreadId, DBG_CONTINUE);
        CloseHandle(process.hThread);
        CloseHandle(process.hProcess);
        return run;
      default:
        break;
    }
    ContinueDebugEvent(event.dwProcessId, event.dwThreadId, status);
  }
}

}  // namespace orvo::harness
