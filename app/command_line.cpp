#include "app/command_line.h"

#include <cstdint>
#include <limits>
#include <string_view>

namespace orvo::app {
namespace {

bool IsBlank(wchar_t c) {
  return c == L' ' || c == L'\t' || c == L'\n' || c == L'\v' || c == L'\f' || c == L'\r';
}

}  // namespace

std::int32_t ParseProcessId(const wchar_t* text) {
  while (IsBlank(*text)) ++text;
  bool negative = false;
  if (*text == L'+' || *text == L'-') {
    negative = *text == L'-';
    ++text;
  }
  // The magnitude saturates just past the range, so any number of digits is safe.
  constexpr std::int64_t kLimit = std::int64_t{std::numeric_limits<std::int32_t>::max()} + 1;
  std::int64_t magnitude = 0;
  for (; *text >= L'0' && *text <= L'9'; ++text) {
    magnitude = magnitude * 10 + (*text - L'0');
    if (magnitude > kLimit) magnitude = kLimit;
  }
  if (negative) return static_cast<std::int32_t>(-magnitude);  // -kLimit is exactly INT32_MIN
  if (magnitude == kLimit) return std::numeric_limits<std::int32_t>::max();
  return static_cast<std::int32_t>(magnitude);
}

UpdateOptions Parse(int argc, const wchar_t* const* argv) {
  UpdateOptions options;
  for (int i = 1; i < argc; ++i) {
    const std::wstring_view name = argv[i];
    const wchar_t* const value = i + 1 < argc ? argv[i + 1] : L"";
    if (name == L"--pid") {
      options.process_id = ParseProcessId(value);
    } else if (name == L"--install-root") {
      options.install_root = value;
    } else if (name == L"--staging-dir") {
      options.staging_dir = value;
    } else if (name == L"--exe-subdir") {
      options.exe_subdir = value;
    } else if (name == L"--restart") {
      options.restart_exe = value;
    } else {
      continue;  // Not an option name: stray values and misspelt names are ignored.
    }
    ++i;  // The value belongs to the option, even when it looks like an option itself.
  }
  return options;
}

bool IsComplete(const UpdateOptions& options) {
  return options.process_id != 0 && !options.install_root.empty() && !options.staging_dir.empty();
}

}  // namespace orvo::app
