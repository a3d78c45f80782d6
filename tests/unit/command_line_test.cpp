#include "app/command_line.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include <windows.h>

#include "diag/log.h"
#include "diag/notice.h"
#include "tools/harness/notice_watcher.h"
#include "tools/harness/debug_session.h"

namespace orvo::app {
namespace {

struct ParseCase {
  std::vector<std::wstring> args;  // after the program's own path
  std::int32_t pid;
  std::wstring install_root;
  std::wstring staging_dir;
  std::wstring exe_subdir;
  std::wstring restart_exe;
  bool complete;
};

std::string Describe(const std::vector<std::wstring>& args) {
  std::string out;
  for (const auto& arg : args) out += " [" + harness::ToUtf8(arg) + "]";
  return out;
}

TEST(ParseTest, FollowsTheCommandLineRules) {
  const std::wstring d = L"bin/64bit", k = L"Kestrava.exe";
  const std::vector<ParseCase> cases = {
      {{}, 0, L"", L"", d, k, false},
      {{L"--pid", L"42", L"--install-root", L"C:\\App", L"--staging-dir", L"C:\\Stage"},
       42, L"C:\\App", L"C:\\Stage", d, k, true},
      // Any order, mixed with stray arguments and joined forms, which are ignored.
      {{L"stray", L"--staging-dir", L"S", L"--pid=3", L"--install-root", L"R", L"x", L"--pid",
        L"7"},
       7, L"R", L"S", d, k, true},
      {{L"--exe-subdir", L"app\\x64", L"--restart", L"K2.exe", L"--pid", L"1", L"--install-root",
        L"R", L"--staging-dir", L"S"},
       1, L"R", L"S", L"app\\x64", L"K2.exe", true},
      // Names are exact: case and length matter.
      {{L"--PID", L"100", L"--install-root", L"A", L"--staging-dir", L"B"}, 0, L"A", L"B", d, k,
       false},
      {{L"--pid", L"5", L"--install-rootX", L"A", L"--staging-dir", L"B", L"--pi", L"6"}, 5, L"",
       L"B", d, k, false},
      // The last occurrence wins.
      {{L"--install-root", L"A", L"--install-root", L"B", L"--pid", L"5", L"--pid", L"9",
        L"--staging-dir", L"S"},
       9, L"B", L"S", d, k, true},
      // A value is taken verbatim even when it looks like an option.
      {{L"--install-root", L"--staging-dir", L"X", L"--pid", L"2"}, 2, L"--staging-dir", L"", d,
       k, false},
      // An option as the last argument gets the empty string, not its default.
      {{L"--pid", L"3", L"--install-root", L"R", L"--staging-dir", L"S", L"--exe-subdir"}, 3,
       L"R", L"S", L"", k, true},
      {{L"--pid", L"3", L"--install-root", L"R", L"--staging-dir", L"S", L"--restart", L""}, 3,
       L"R", L"S", d, L"", true},
      {{L"--install-root", L"R", L"--staging-dir", L"S", L"--pid"}, 0, L"R", L"S", d, k, false},
      {{L"--pid", L"4", L"--install-root", L"R", L"--staging-dir"}, 4, L"R", L"", d, k, false},
      {{L"--pid", L"4", L"--install-root", L"", L"--staging-dir", L"S"}, 4, L"", L"S", d, k,
       false},
      // Values are kept as they are: blanks, quotes already split off, non-ASCII.
      {{L"--pid", L"8", L"--install-root", L" C:\\Program Files\\Kestrava ", L"--staging-dir",
        L"D:\\更新\\暂存"},
       8, L" C:\\Program Files\\Kestrava ", L"D:\\更新\\暂存", d, k, true},
      // A negative id counts as present.
      {{L"--pid", L"-7", L"--install-root", L"R", L"--staging-dir", L"S"}, -7, L"R", L"S", d, k,
       true},
  };
  for (const auto& c : cases) {
    std::vector<const wchar_t*> argv = {L"OrvoUpdater.exe"};
    for (const auto& arg : c.args) argv.push_back(arg.c_str());
    const UpdateOptions options = Parse(static_cast<int>(argv.size()), argv.data());
    SCOPED_TRACE("arguments:" + Describe(c.args));
    EXPECT_EQ(options.process_id, c.pid);
    EXPECT_EQ(options.install_root, c.install_root);
    EXPECT_EQ(options.staging_dir, c.staging_dir);
    EXPECT_EQ(options.exe_subdir, c.exe_subdir);
    EXPECT_EQ(options.restart_exe, c.restart_exe);
    EXPECT_EQ(IsComplete(options), c.complete);
  }
}

TEST(ParseTest, NeverLooksAtTheProgramPath) {
  const wchar_t* argv[] = {L"--pid", L"5"};
  EXPECT_EQ(Parse(2, argv).process_id, 0);
  EXPECT_EQ(Parse(1, argv).process_id, 0);
}

TEST(ParseProcessIdTest, ConvertsLikeWtol) {
  const struct {
    const wchar_t* text;
    std::int32_t expected;
  } cases[] = {
      {L"42", 42},
      {L"0", 0},
      {L"abc", 0},
      {L"", 0},
      {L"12x", 12},
      {L"  \t\r\n\v\f77", 77},
      {L"+15", 15},
      {L"-7", -7},
      {L"- 7", 0},
      {L"+-7", 0},
      {L"7 8", 7},
      {L"0012", 12},
      {L"2147483647", 2147483647},
      {L"2147483648", 2147483647},
      {L"4294967295", 2147483647},
      {L"99999999999999999999999999", 2147483647},
      {L"-2147483648", -2147483647 - 1},
      {L"-2147483649", -2147483647 - 1},
      {L"-99999999999999999999999999", -2147483647 - 1},
      {L"\x0661\x0662", 0},  // Arabic-Indic digits are not decimal digits here
      {L"１２", 0},           // neither are full-width ones
  };
  for (const auto& c : cases) {
    EXPECT_EQ(ParseProcessId(c.text), c.expected) << "text: [" << harness::ToUtf8(c.text) << "]";
  }
}

// Error codes are unsigned and plain decimal, whatever their size.
TEST(FailureTextTest, ShowsTheCodeInDecimal) {
  EXPECT_EQ(diag::FailureText(L"CopyFile", L"R\\x.dll", 4294967295u),
            L"CopyFile failed: R\\x.dll  err=4294967295");
}

// The icons, read back from the real boxes in this process (Wine shows them to no other).
TEST(NoticeTest, ShowsAnErrorOrAWarningIcon) {
  using harness::NoticeIcon;
  const std::pair<diag::Notice, NoticeIcon> cases[] = {
      {diag::Notice::kUsage, NoticeIcon::kError},
      {diag::Notice::kTimeout, NoticeIcon::kError},
      {diag::Notice::kPartialCopy, NoticeIcon::kWarning},
      {diag::Notice::kRestartFailed, NoticeIcon::kWarning}};
  for (const auto& [notice, icon] : cases) {
    harness::NoticeWatcher watcher;
    watcher.Start(GetCurrentProcessId());
    diag::ShowNotice(notice);  // returns once the watcher has pressed OK
    watcher.Stop();
    ASSERT_EQ(watcher.Seen().size(), 1u);
    EXPECT_EQ(watcher.Seen()[0].icon, icon);
  }
}

}  // namespace
}  // namespace orvo::app
