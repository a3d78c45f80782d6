#include "tools/harness/debug_session.h"

#include <utility>

namespace orvo::harness {
namespace {

// What each of the program's lines starts with, as a write of its own.
constexpr char kLinePrefix[] = "[OrvoUpdater] ";

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

// A breakpoint on a function of a system DLL that the program calls. System DLLs lie at the same
// address in every process of a session, so our own export is where the program's call lands
// too. A lasting trap is planted again after each call (one step later), a one-shot one is not.
class Trap {
 public:
  Trap(const wchar_t* dll, const char* function, bool lasting) : lasting_(lasting) {
    target_ = reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(dll), function));
    GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                       static_cast<LPCWSTR>(target_), &module_);
  }
  // Once the DLL that holds the function is mapped into `process`: plants an int3 there.
  void Arm(HANDLE process, const LOAD_DLL_DEBUG_INFO& dll) {
    if (target_ && !armed_ && dll.lpBaseOfDll == module_) Plant(process);
  }
  // True for the trap's breakpoint: takes the int3 away and lets the call run; `context` holds
  // the call's arguments (Rcx, Rdx, R8, R9).
  bool Spring(HANDLE process, const DEBUG_EVENT& event, CONTEXT& context) {
    if (!armed_ || event.u.Exception.ExceptionRecord.ExceptionAddress != target_) return false;
    armed_ = false;
    WriteProcessMemory(process, target_, &original_, 1, nullptr);
    FlushInstructionCache(process, target_, 1);
    const HANDLE thread = OpenThread(THREAD_GET_CONTEXT | THREAD_SET_CONTEXT, FALSE, event.dwThreadId);
    context = {};
    context.ContextFlags = CONTEXT_CONTROL | CONTEXT_INTEGER;
    GetThreadContext(thread, &context);
    CONTEXT resume = context;
    resume.Rip = reinterpret_cast<DWORD64>(target_);
    if (lasting_) {
      resume.EFlags |= 0x100;  // the trap flag: one step, then plant the int3 again
      stepping_ = true;
    }
    SetThreadContext(thread, &resume);
    CloseHandle(thread);
    return true;
  }
  // True for the single step after a lasting trap's call began: plants the int3 again.
  bool Step(HANDLE process, const DEBUG_EVENT& event) {
    if (!stepping_ || event.u.Exception.ExceptionRecord.ExceptionCode != EXCEPTION_SINGLE_STEP) {
      return false;
    }
    stepping_ = false;
    Plant(process);
    return true;
  }

 private:
  void Plant(HANDLE process) {
    const unsigned char trap = 0xCC;
    armed_ = ReadProcessMemory(process, target_, &original_, 1, nullptr) &&
             WriteProcessMemory(process, target_, &trap, 1, nullptr);
    FlushInstructionCache(process, target_, 1);
  }

  void* target_ = nullptr;
  HMODULE module_ = nullptr;
  unsigned char original_ = 0;
  bool armed_ = false, lasting_ = false, stepping_ = false;
};

// The path of the handle `value` of `process`, as the system names it now; empty when it cannot.
std::wstring PathOfHandle(HANDLE process, DWORD64 value) {
  HANDLE ours = nullptr;
  if (!DuplicateHandle(process, reinterpret_cast<HANDLE>(value), GetCurrentProcess(), &ours, 0,
                       FALSE, DUPLICATE_SAME_ACCESS)) {
    return std::wstring();
  }
  std::wstring path(32768, L'\0');
  const DWORD size = GetFinalPathNameByHandleW(ours, path.data(), static_cast<DWORD>(path.size()), 0);
  CloseHandle(ours);
  path.resize(size < path.size() ? size : 0);
  return path.compare(0, 4, L"\\\\?\\") == 0 ? path.substr(4) : path;
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
                          const DebugHooks& hooks) {
  DebugRun run;
  std::wstring writable = command_line;
  STARTUPINFOW startup = {};
  startup.cb = sizeof(startup);
  PROCESS_INFORMATION process = {};
  if (!CreateProcessW(nullptr, writable.data(), nullptr, nullptr, FALSE, DEBUG_ONLY_THIS_PROCESS,
                      nullptr, hooks.directory.empty() ? nullptr : hooks.directory.c_str(),
                      &startup, &process)) {
    return run;
  }
  run.started = true;
  if (hooks.on_start) hooks.on_start(process.dwProcessId);
  Trap wait_trap(L"kernel32.dll", "OpenProcess", false);
  Trap flush_trap(L"kernel32.dll", "FlushFileBuffers", true);

  const ULONGLONG deadline = GetTickCount64() + timeout_ms;
  bool killed = false;
  int still_to_come = 0;  // writes of the program's line under way
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
        if (hooks.on_wait) wait_trap.Arm(process.hProcess, event.u.LoadDll);
        if (hooks.on_flush) flush_trap.Arm(process.hProcess, event.u.LoadDll);
        break;
      case OUTPUT_DEBUG_STRING_EVENT: {
        std::string write = ReadDebugString(process.hProcess, event.u.DebugString);
        if (still_to_come > 0) {
          --still_to_come;
        } else if (write == kLinePrefix) {
          still_to_come = 2;
        } else {
          break;  // another writer's
        }
        run.writes.push_back(std::move(write));
        if (hooks.on_write) hooks.on_write(run.writes.back());
        break;
      }
      case EXCEPTION_DEBUG_EVENT: {
        CONTEXT call = {};
        if (wait_trap.Spring(process.hProcess, event, call)) {
          // OpenProcess(access, inherit, process id)
          if (static_cast<DWORD>(call.R8) == hooks.waited_process) hooks.on_wait();
        } else if (flush_trap.Spring(process.hProcess, event, call)) {
          hooks.on_flush(PathOfHandle(process.hProcess, call.Rcx));  // FlushFileBuffers(file)
        } else if (!flush_trap.Step(process.hProcess, event) &&
                   event.u.Exception.ExceptionRecord.ExceptionCode != EXCEPTION_BREAKPOINT) {
          // The loader's initial breakpoint is ours to swallow; anything else is the program's.
          status = DBG_EXCEPTION_NOT_HANDLED;
        }
        break;
      }
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
