#include "caller/start_updater.h"

#include "fsops/paths.h"

namespace orvo::caller {
namespace {

bool IsSeparator(const std::wstring& path, size_t i) {
  return i < path.size() && (path[i] == L'\\' || path[i] == L'/');
}

// "C:\..." or "\\...": a path whose meaning hangs on no current directory. "\Kestrava" is rooted
// but still relative, to the current directory's drive.
bool IsFullPath(const std::wstring& path) {
  return (IsSeparator(path, 0) && IsSeparator(path, 1)) ||
         (fsops::IsDriveRelative(path.substr(0, 2)) && IsSeparator(path, 2));
}

Refusal CheckPath(const std::wstring& path) {
  if (path.empty()) return Refusal::kMissingPath;
  if (fsops::IsDriveRelative(path)) return Refusal::kDriveRelativePath;
  return IsFullPath(path) ? Refusal::kNone : Refusal::kRelativePath;
}

// CheckPath, then the updater's own resolution, so that what passes here passes there; the
// resolved path with long names, for the comparisons, in `resolved`.
Refusal CheckDirectory(const std::wstring& path, std::wstring* resolved) {
  const Refusal refusal = CheckPath(path);
  if (refusal != Refusal::kNone) return refusal;
  *resolved = fsops::LongPath(fsops::ResolveDirectoryPath(path));
  return resolved->empty() ? Refusal::kUnusablePath : Refusal::kNone;
}

// What the updater would refuse in `request`, and the name of the value in `refused`; kNone when
// nothing.
Refusal Check(const UpdateRequest& request, std::wstring* refused) {
  std::wstring root, staging;
  Refusal refusal = Refusal::kNone;
  if (request.process_id == 0) {
    *refused = L"--pid";
    return Refusal::kNoProcessId;
  }
  *refused = L"updater";
  if ((refusal = CheckPath(request.updater)) != Refusal::kNone) return refusal;
  *refused = L"--install-root";
  if ((refusal = CheckDirectory(request.install_root, &root)) != Refusal::kNone) return refusal;
  *refused = L"--staging-dir";
  if ((refusal = CheckDirectory(request.staging_dir, &staging)) != Refusal::kNone) return refusal;
  if (staging == fsops::VolumeRoot(staging) || fsops::EqualNoCase(staging, root) ||
      fsops::IsBelow(root, staging)) {
    return Refusal::kNotItsOwnDirectory;
  }
  refused->clear();
  return Refusal::kNone;
}

std::wstring SystemDirectory() {
  std::wstring system(MAX_PATH, L'\0');
  const bool filled = fsops::FillGrowing(system, [](wchar_t* buffer, size_t size) {
    return size_t{GetSystemDirectoryW(buffer, static_cast<UINT>(size))};
  });
  return filled ? system : std::wstring();
}

}  // namespace

std::wstring QuoteArgument(const std::wstring& argument) {
  if (!argument.empty() && argument.find_first_of(L" \t\n\v\"") == std::wstring::npos) {
    return argument;  // Backslashes are literal unless a quote follows them.
  }
  std::wstring quoted = L"\"";
  size_t backslashes = 0;
  for (const wchar_t c : argument) {
    if (c == L'\\') {
      ++backslashes;
      continue;
    }
    // Backslashes before a quote escape it, so they are doubled, and the quote escaped.
    quoted.append(c == L'"' ? backslashes * 2 + 1 : backslashes, L'\\');
    backslashes = 0;
    quoted += c;
  }
  quoted.append(backslashes * 2, L'\\');  // ... and before the closing quote too
  return quoted + L"\"";
}

std::wstring UpdaterArguments(const UpdateRequest& request) {
  std::wstring arguments = L"--pid " + std::to_wstring(request.process_id) + L" --install-root " +
                           QuoteArgument(request.install_root) + L" --staging-dir " +
                           QuoteArgument(request.staging_dir);
  if (!request.exe_subdir.empty()) arguments += L" --exe-subdir " + QuoteArgument(request.exe_subdir);
  if (!request.restart_exe.empty()) arguments += L" --restart " + QuoteArgument(request.restart_exe);
  return arguments;
}

StartResult StartUpdater(const UpdateRequest& request, const ExecuteStep& execute) {
  StartResult result;
  result.refusal = Check(request, &result.refused);
  if (result.refusal != Refusal::kNone) {
    result.outcome = Outcome::kRefused;
    return result;
  }
  const std::wstring parameters = UpdaterArguments(request);
  const std::wstring directory = SystemDirectory();
  SHELLEXECUTEINFOW info = {};
  info.cbSize = sizeof(info);
  // NOASYNC: the caller exits right after, before an asynchronous start would have run. NO_UI:
  // no error box from the shell; the caller reports a failure in its own words.
  info.fMask = SEE_MASK_NOCLOSEPROCESS | SEE_MASK_NOASYNC | SEE_MASK_FLAG_NO_UI;
  info.hwnd = request.owner;
  info.lpVerb = L"runas";
  info.lpFile = request.updater.c_str();
  info.lpParameters = parameters.c_str();
  info.lpDirectory = directory.empty() ? nullptr : directory.c_str();
  info.nShow = SW_SHOWNORMAL;
  if (!execute(&info)) {
    const DWORD error = GetLastError();
    // A declined consent prompt is the user's answer, not a failure: the update can wait.
    result.outcome = error == ERROR_CANCELLED ? Outcome::kDeclined : Outcome::kNotStarted;
    result.error = error;
    return result;
  }
  result.outcome = Outcome::kStarted;
  // Windows may start the program without giving a handle (through a DDE conversation, say).
  if (info.hProcess) {
    result.process_id = GetProcessId(info.hProcess);
    CloseHandle(info.hProcess);
  }
  return result;
}

}  // namespace orvo::caller
