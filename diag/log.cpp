#include "diag/log.h"

#include <windows.h>

namespace orvo::diag {

void LogLine(const std::wstring& text) {
  OutputDebugStringW(L"[OrvoUpdater] ");
  OutputDebugStringW(text.c_str());
  OutputDebugStringW(L"\n");
}

std::wstring FormatErrorCode(std::uint32_t code) {
  return std::to_wstring(static_cast<unsigned long long>(code));
}

std::wstring FailureText(std::wstring_view what, const std::wstring& path, std::uint32_t code) {
  std::wstring text(what);
  text += L": ";
  text += path;
  text += L"  err=";
  text += FormatErrorCode(code);
  return text;
}

void LogFailure(std::wstring_view what, const std::wstring& path, std::uint32_t code) {
  LogLine(FailureText(what, path, code));
}

}  // namespace orvo::diag
