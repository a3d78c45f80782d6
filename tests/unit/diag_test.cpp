#include <windows.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "diag/log.h"
#include "diag/notice.h"
#include "tests/support/probe.h"
#include "tools/harness/debug_session.h"
#include "tools/harness/notice_watcher.h"

namespace orvo::diag {
namespace {

TEST(LogTextTest, FormatsCodesAndFailures) {
  EXPECT_EQ(FormatErrorCode(0), L"0");
  EXPECT_EQ(FormatErrorCode(32), L"32");
  EXPECT_EQ(FormatErrorCode(4294967295u), L"4294967295");
  EXPECT_EQ(FailureText(L"CopyFile", L"R\\bin\\x.dll", 32), L"CopyFile failed: R\\bin\\x.dll  err=32");
  EXPECT_EQ(FailureText(L"CreateProcess", L"C:\\a b\\更新.exe", 2),
            L"CreateProcess failed: C:\\a b\\更新.exe  err=2");
}

std::vector<std::string> ProbeWrites(const std::wstring& text) {
  const harness::DebugRun run = test::RunProbe({L"log", text});
  EXPECT_TRUE(run.finished);
  EXPECT_EQ(run.exit_code, 0u);
  return run.writes;
}

TEST(LogLineTest, WritesPrefixTextAndLineEndSeparately) {
  EXPECT_EQ(ProbeWrites(L"CopyFile failed: R\\bin\\x.dll  err=32"),
            (std::vector<std::string>{"[OrvoUpdater] ", "CopyFile failed: R\\bin\\x.dll  err=32",
                                      "\n"}));
  // The line end comes on its own even after an empty text.
  EXPECT_EQ(ProbeWrites(L""), (std::vector<std::string>{"[OrvoUpdater] ", "", "\n"}));
  // Latin letters survive even a debugger channel that carries ANSI (as Wine's does); the text is
  // never narrowed on our side.
  EXPECT_EQ(ProbeWrites(L"C:\\Café\\Größe.dll"),
            (std::vector<std::string>{"[OrvoUpdater] ", "C:\\Café\\Größe.dll", "\n"}));
}

TEST(NoticeTest, ShowsEachNoticeExactly) {
  const struct {
    Notice notice;
    const wchar_t* text;
    harness::NoticeIcon icon;
  } cases[] = {
      {Notice::kUsage,
       L"参数无效。用法：OrvoUpdater.exe --pid <pid> --install-root <path> --staging-dir <path> "
       L"--exe-subdir <subdir> --restart <exe>",
       harness::NoticeIcon::kError},
      {Notice::kTimeout, L"等待主程序退出超时，更新中止。", harness::NoticeIcon::kError},
      {Notice::kPartialCopy,
       L"部分文件覆盖失败，请关闭所有 Kestrava 进程后重试，或手动从官网下载。",
       harness::NoticeIcon::kWarning},
      {Notice::kRestartFailed, L"更新已完成，但自动重启失败，请手动启动 Kestrava。",
       harness::NoticeIcon::kWarning},
  };
  for (const auto& c : cases) {
    harness::NoticeWatcher watcher;
    watcher.Start(GetCurrentProcessId());
    ShowNotice(c.notice);  // returns only once the watcher has pressed OK
    watcher.Stop();
    const auto seen = watcher.Seen();
    SCOPED_TRACE(harness::ToUtf8(c.text));
    ASSERT_EQ(seen.size(), 1u);
    EXPECT_EQ(seen[0].caption, L"OrvoUpdater");
    EXPECT_EQ(seen[0].text, c.text);
    EXPECT_EQ(seen[0].button_ids, std::vector<int>{IDOK});
    EXPECT_EQ(seen[0].icon, c.icon);
    EXPECT_FALSE(seen[0].has_owner);
  }
}

}  // namespace
}  // namespace orvo::diag
