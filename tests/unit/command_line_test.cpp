#include "app/command_line.h"

#include <windows.h>

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "diag/log.h"
#include "diag/notice.h"
#include "tools/harness/debug_session.h"
#include "tools/harness/notice_watcher.h"

namespace orvo::app {
namespace {

TEST(ParseTest, FollowsTheCommandLineRules) {
  // Each row: the arguments after the program's path, then what they give as
  // "process id|install root|staging directory|exe subdirectory|restart executable|complete".
  const std::pair<std::vector<std::wstring>, std::wstring> cases[] = {
      {{}, L"0|||bin/64bit|Kestrava.exe|0"},
      {{L"--pid", L"42", L"--install-root", L"C:\\App", L"--staging-dir", L"C:\\Stage"},
       L"42|C:\\App|C:\\Stage|bin/64bit|Kestrava.exe|1"},
      // Any order, mixed with stray arguments and joined forms, which are ignored.
      {{L"stray", L"--staging-dir", L"S", L"--pid=3", L"--install-root", L"R", L"x", L"--pid", L"7"},
       L"7|R|S|bin/64bit|Kestrava.exe|1"},
      {{L"--exe-subdir", L"app\\x64", L"--restart", L"K2.exe", L"--pid", L"1", L"--install-root",
        L"R", L"--staging-dir", L"S"},
       L"1|R|S|app\\x64|K2.exe|1"},
      // Names are exact: case and length matter.
      {{L"--PID", L"100", L"--install-root", L"A", L"--staging-dir", L"B"}, L"0|A|B|bin/64bit|Kestrava.exe|0"},
      {{L"--pid", L"5", L"--install-rootX", L"A", L"--staging-dir", L"B", L"--pi", L"6"},
       L"5||B|bin/64bit|Kestrava.exe|0"},
      // The last occurrence wins.
      {{L"--install-root", L"A", L"--install-root", L"B", L"--pid", L"5", L"--pid", L"9",
        L"--staging-dir", L"S"},
       L"9|B|S|bin/64bit|Kestrava.exe|1"},
      // A value is taken verbatim even when it looks like an option.
      {{L"--install-root", L"--staging-dir", L"X", L"--pid", L"2"},
       L"2|--staging-dir||bin/64bit|Kestrava.exe|0"},
      // An option as the last argument gets the empty string, not its default.
      {{L"--pid", L"3", L"--install-root", L"R", L"--staging-dir", L"S", L"--exe-subdir"},
       L"3|R|S||Kestrava.exe|1"},
      {{L"--pid", L"3", L"--install-root", L"R", L"--staging-dir", L"S", L"--restart", L""},
       L"3|R|S|bin/64bit||1"},
      {{L"--install-root", L"R", L"--staging-dir", L"S", L"--pid"}, L"0|R|S|bin/64bit|Kestrava.exe|0"},
      {{L"--pid", L"4", L"--install-root", L"R", L"--staging-dir"}, L"4|R||bin/64bit|Kestrava.exe|0"},
      {{L"--pid", L"4", L"--install-root", L"", L"--staging-dir", L"S"},
       L"4||S|bin/64bit|Kestrava.exe|0"},
      // Values are kept as they are: blanks, quotes already split off, non-ASCII.
      {{L"--pid", L"8", L"--install-root", L" C:\\Program Files\\K ", L"--staging-dir", L"D:\\更新"},
       L"8| C:\\Program Files\\K |D:\\更新|bin/64bit|Kestrava.exe|1"},
      // A negative id counts as present.
      {{L"--pid", L"-7", L"--install-root", L"R", L"--staging-dir", L"S"},
       L"-7|R|S|bin/64bit|Kestrava.exe|1"},
  };
  for (const auto& [args, expected] : cases) {
    std::vector<const wchar_t*> argv = {L"OrvoUpdater.exe"};
    std::string described;
    for (const auto& arg : args) {
      argv.push_back(arg.c_str());
      described += " [" + harness::ToUtf8(arg) + "]";
    }
    const UpdateOptions o = Parse(static_cast<int>(argv.size()), argv.data());
    EXPECT_EQ(std::to_wstring(o.process_id) + L"|" + o.install_root + L"|" + o.staging_dir + L"|" +
                  o.exe_subdir + L"|" + o.restart_exe + L"|" + (IsComplete(o) ? L"1" : L"0"),
              expected)
        << "arguments:" << described;
  }
  const wchar_t* argv[] = {L"--pid", L"5"};  // element 0 is never looked at
  EXPECT_EQ(Parse(2, argv).process_id, 0);
  EXPECT_EQ(Parse(1, argv).process_id, 0);
}

TEST(ParseTest, ConvertsTheProcessIdLikeWtol) {
  const std::pair<const wchar_t*, std::int32_t> cases[] = {
      {L"42", 42}, {L"0", 0}, {L"abc", 0}, {L"", 0}, {L"12x", 12}, {L"  \t\r\n\v\f77", 77},
      {L"+15", 15}, {L"-7", -7}, {L"- 7", 0}, {L"+-7", 0}, {L"7 8", 7}, {L"0012", 12},
      {L"2147483647", 2147483647}, {L"2147483648", 2147483647}, {L"4294967295", 2147483647},
      {L"99999999999999999999999999", 2147483647}, {L"-2147483648", -2147483647 - 1},
      {L"-2147483649", -2147483647 - 1}, {L"-99999999999999999999999999", -2147483647 - 1},
      {L"\x0661\x0662", 0},  // Arabic-Indic digits are not decimal digits here
      {L"１２", 0},           // neither are full-width ones
  };
  for (const auto& [text, expected] : cases) {
    EXPECT_EQ(ParseProcessId(text), expected) << "text: [" << harness::ToUtf8(text) << "]";
  }
}

// Error codes are unsigned and plain decimal, whatever their size.
TEST(FailureTextTest, ShowsTheCodeInDecimal) {
  EXPECT_EQ(diag::FailureText(L"CopyFile failed", L"R\\x.dll", 4294967295u),
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
