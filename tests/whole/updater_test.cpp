// The real OrvoUpdater.exe, driven as Kestrava and its user meet it: started with a command line,
// watched as its debugger, its message boxes answered, the stand-in application restarted.

#include <windows.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "diag/notice.h"
#include "tests/support/probe.h"
#include "tests/support/test_files.h"
#include "tools/harness/notice_watcher.h"
#include "tools/harness/processes.h"

namespace orvo {
namespace {

using diag::Notice;
using Lines = std::vector<std::string>;
using test::Exists;
using test::ReadText;
using test::Snapshot;
using test::WriteText;

std::string U8(const std::wstring& text) { return harness::ToUtf8(text); }

struct UpdaterRun {
  harness::DebugRun run;
  std::vector<harness::SeenNotice> notices;
  Lines logged() const { return test::LogTexts(run); }
};

class UpdaterTest : public test::FileTest {
 protected:
  void SetUp() override {
    test::FileTest::SetUp();
    root_ = Path(L"Kestrava");
    staging_ = Path(L"Kestrava-update");
  }
  void TearDown() override {
    for (const HANDLE process : processes_) {
      TerminateProcess(process, 0);
      WaitForSingleObject(process, 5000);
      CloseHandle(process);
    }
    test::FileTest::TearDown();
  }

  // Where the restarted stand-in writes how it was started.
  std::wstring Record() const { return root_ + L"\\bin\\64bit\\restart-record.txt"; }
  std::wstring StandIn() const { return test::BinDirectory() + L"\\kestrava_standin.exe"; }
  void PutStandIn(const std::wstring& path) {
    WriteText(path, "");
    ASSERT_TRUE(CopyFileW(StandIn().c_str(), path.c_str(), FALSE));
  }
  // Version 1 installed; version 2 staged, with a new executable and a new file.
  void MakeInstallAndStaging() {
    PutStandIn(root_ + L"\\bin\\64bit\\Kestrava.exe");
    WriteText(root_ + L"\\bin\\64bit\\data.pak", "data 1");
    WriteText(root_ + L"\\user.cfg", "mine");
    PutStandIn(staging_ + L"\\bin\\64bit\\Kestrava.exe");
    WriteText(staging_ + L"\\bin\\64bit\\data.pak", "data 2");
    WriteText(staging_ + L"\\bin\\64bit\\lang\\zh-CN.pak", "lang 2");
    WriteText(staging_ + L"\\readme.txt", "readme 2");
  }
  Lines UpdatedRoot() const {
    return {"bin\\", "bin\\64bit\\", "bin\\64bit\\Kestrava.exe=" + ReadText(StandIn()),
            "bin\\64bit\\data.pak=data 2", "bin\\64bit\\lang\\", "bin\\64bit\\lang\\zh-CN.pak=lang 2",
            "bin\\64bit\\restart-record.txt=" + ReadText(Record()),
            "readme.txt=readme 2", "user.cfg=mine"};
  }

  // Starts the stand-in application with arguments; returns its process id.
  DWORD StartApplication(const std::wstring& arguments) {
    DWORD id = 0;
    const HANDLE process =
        harness::StartProcess(test::QuoteArgument(StandIn()) + L" " + arguments, &id);
    EXPECT_NE(process, nullptr);
    if (process) processes_.push_back(process);
    return id;
  }
  bool StillRunning(DWORD index) const {
    return WaitForSingleObject(processes_[index], 0) == WAIT_TIMEOUT;
  }
  // Holds `path` open without sharing from another process, as a running program would.
  void HoldFile(const std::wstring& path, int milliseconds) {
    StartApplication(L"--hold " + test::QuoteArgument(path) + L" --sleep " +
                     std::to_wstring(milliseconds));
    EXPECT_TRUE(harness::WaitUntilHeld(path, 5000)) << "the file was never held: " << U8(path);
  }
  // The id of a process that has already exited. Its handle stays open, so that the id cannot be
  // handed to another process in the meantime (Wine reuses ids at once).
  DWORD GoneProcessId() {
    const DWORD id = StartApplication(L"--sleep 0");
    EXPECT_EQ(WaitForSingleObject(processes_.back(), 10000), WAIT_OBJECT_0);
    return id;
  }
  UpdaterRun Run(const std::vector<std::wstring>& arguments) {
    std::wstring command = test::QuoteArgument(test::UpdaterPath());
    for (const auto& argument : arguments) command += L" " + test::QuoteArgument(argument);
    harness::NoticeWatcher watcher;
    UpdaterRun result;
    result.run = harness::RunUnderDebugger(command, 100000,
                                           [&](DWORD pid) { watcher.Start(pid); });
    watcher.Stop();
    result.notices = watcher.Seen();
    EXPECT_TRUE(result.run.finished) << "the updater did not finish in time";
    return result;
  }
  UpdaterRun Update(DWORD pid) {
    return Run({L"--pid", std::to_wstring(pid), L"--install-root", root_, L"--staging-dir",
                staging_});
  }

  // The notices shown, in order, each checked for its form: caption, one OK button, no owner.
  static std::vector<std::wstring> NoticeTexts(const UpdaterRun& run) {
    std::vector<std::wstring> texts;
    for (const auto& notice : run.notices) {
      EXPECT_EQ(notice.caption, L"OrvoUpdater");
      EXPECT_EQ(notice.button_ids, std::vector<int>{IDOK});
      EXPECT_FALSE(notice.has_owner);
      texts.push_back(notice.text);
    }
    return texts;
  }
  static std::vector<std::wstring> Texts(std::initializer_list<Notice> notices) {
    std::vector<std::wstring> texts;
    for (const Notice notice : notices) texts.push_back(diag::NoticeText(notice));
    return texts;
  }

  std::wstring root_;
  std::wstring staging_;
  std::vector<HANDLE> processes_;
};

TEST_F(UpdaterTest, RefusesUnusableOptionsAndTouchesNothing) {
  MakeInstallAndStaging();
  const DWORD app = StartApplication(L"--sleep 60000");
  const std::wstring pid = std::to_wstring(app);
  const Lines root_before = Snapshot(root_), staging_before = Snapshot(staging_);
  const std::vector<std::vector<std::wstring>> cases = {
      {},
      {L"--pid", L"0", L"--install-root", root_, L"--staging-dir", staging_},
      {L"--pid", L"abc", L"--install-root", root_, L"--staging-dir", staging_},
      {L"--PID", pid, L"--install-root", root_, L"--staging-dir", staging_},
      {L"--pid", pid, L"--install-root", root_},
      {L"--pid", pid, L"--staging-dir", staging_, L"--install-root"},
      {L"--pid=" + pid, L"--install-root", root_, L"--staging-dir", staging_},
      // Staging directories whose clean-up would delete the installation or a whole drive.
      {L"--pid", pid, L"--install-root", root_, L"--staging-dir", root_ + L"\\"},
      {L"--pid", pid, L"--install-root", root_, L"--staging-dir", dir_},
      {L"--pid", pid, L"--install-root", root_, L"--staging-dir", root_.substr(0, 3)},
      // The volume again, in spellings that reach it only later: drive-relative (the current
      // directory is inside the install root, as when Kestrava starts the updater from its own
      // folder), extended-length and device namespace.
      {L"--pid", pid, L"--install-root", root_, L"--staging-dir", root_.substr(0, 2)},
      {L"--pid", pid, L"--install-root", root_, L"--staging-dir", L"\\\\?\\" + root_.substr(0, 2)},
      {L"--pid", pid, L"--install-root", root_, L"--staging-dir", L"\\\\.\\" + root_.substr(0, 2)},
  };
  wchar_t saved_directory[MAX_PATH] = {};
  GetCurrentDirectoryW(MAX_PATH, saved_directory);
  SetCurrentDirectoryW((root_ + L"\\bin\\64bit").c_str());
  for (const auto& arguments : cases) {
    std::string described;
    for (const auto& argument : arguments) described += " [" + U8(argument) + "]";
    SCOPED_TRACE("arguments:" + described);
    const UpdaterRun run = Run(arguments);
    EXPECT_EQ(run.run.exit_code, 1u);
    EXPECT_EQ(NoticeTexts(run), Texts({Notice::kUsage}));
    EXPECT_EQ(run.run.writes, Lines{});
    EXPECT_TRUE(StillRunning(0)) << "the application was waited for";
  }
  SetCurrentDirectoryW(saved_directory);
  EXPECT_EQ(Snapshot(root_), root_before);
  EXPECT_EQ(Snapshot(staging_), staging_before);
}

TEST_F(UpdaterTest, UpdatesAndRestartsWhenTheApplicationHasAlreadyExited) {
  MakeInstallAndStaging();
  const UpdaterRun run = Update(GoneProcessId());
  EXPECT_EQ(run.run.exit_code, 0u);
  EXPECT_EQ(NoticeTexts(run), Texts({}));
  EXPECT_EQ(run.run.writes, Lines{});
  EXPECT_FALSE(Exists(staging_));
  EXPECT_TRUE(test::WaitForFile(Record()));
  EXPECT_EQ(Snapshot(root_), UpdatedRoot());
  EXPECT_NE(ReadText(Record())
                .find("cmdline=\"" + U8(root_) + "\\bin/64bit\\Kestrava.exe\"\n"),
            std::string::npos);
}

TEST_F(UpdaterTest, StartsOnlyAfterTheApplicationHasExited) {
  MakeInstallAndStaging();
  // The running application holds a file that the update replaces: a copy that did not wait for
  // its exit would fail on it.
  HoldFile(root_ + L"\\bin\\64bit\\data.pak", 3000);
  const UpdaterRun run = Update(GetProcessId(processes_.back()));
  EXPECT_FALSE(StillRunning(0));
  EXPECT_EQ(run.run.exit_code, 0u);
  EXPECT_EQ(NoticeTexts(run), Texts({}));
  EXPECT_EQ(run.run.writes, Lines{});
  EXPECT_EQ(ReadText(root_ + L"\\bin\\64bit\\data.pak"), "data 2");
}

TEST_F(UpdaterTest, GivesUpWhenTheApplicationKeepsRunning) {
  MakeInstallAndStaging();
  const DWORD app = StartApplication(L"--sleep 90000");
  const Lines root_before = Snapshot(root_), staging_before = Snapshot(staging_);
  const UpdaterRun run = Update(app);  // the real 60-second wait
  EXPECT_EQ(run.run.exit_code, 2u);
  EXPECT_EQ(NoticeTexts(run), Texts({Notice::kTimeout}));
  EXPECT_EQ(run.run.writes, Lines{});
  EXPECT_TRUE(StillRunning(0));
  EXPECT_EQ(Snapshot(root_), root_before);
  EXPECT_EQ(Snapshot(staging_), staging_before);
}

TEST_F(UpdaterTest, ReportsALockedFileAndCarriesOn) {
  MakeInstallAndStaging();
  const std::wstring locked = root_ + L"\\bin\\64bit\\data.pak";
  HoldFile(locked, 60000);  // another Kestrava process, not the one waited for
  const UpdaterRun run = Update(GoneProcessId());
  EXPECT_EQ(run.run.exit_code, 0u);
  EXPECT_EQ(run.run.writes,
            (Lines{"[OrvoUpdater] ", "CopyFile failed: " + U8(locked) + "  err=32", "\n"}));
  EXPECT_EQ(NoticeTexts(run), Texts({Notice::kPartialCopy}));
  EXPECT_FALSE(Exists(staging_)) << "the staging directory is cleared all the same";
  EXPECT_EQ(ReadText(root_ + L"\\bin\\64bit\\lang\\zh-CN.pak"), "lang 2");
  EXPECT_EQ(ReadText(root_ + L"\\readme.txt"), "readme 2");
  EXPECT_TRUE(test::WaitForFile(Record()));
}

TEST_F(UpdaterTest, EveryStepUsesTheResolvedPaths) {
  MakeInstallAndStaging();
  const std::wstring locked = root_ + L"\\bin\\64bit\\data.pak";
  HoldFile(locked, 60000);
  const UpdaterRun run =
      Run({L"--pid", std::to_wstring(GoneProcessId()), L"--install-root", root_ + L"\\bin\\..\\.",
           L"--staging-dir", L"\\\\?\\" + staging_ + L"\\"});
  EXPECT_EQ(run.run.exit_code, 0u);
  EXPECT_EQ(run.logged(), Lines{"CopyFile failed: " + U8(locked) + "  err=32"});
  EXPECT_EQ(NoticeTexts(run), Texts({Notice::kPartialCopy}));
  EXPECT_FALSE(Exists(staging_));
  EXPECT_EQ(ReadText(root_ + L"\\readme.txt"), "readme 2");
  ASSERT_TRUE(test::WaitForFile(Record()));
  EXPECT_NE(ReadText(Record()).find("cmdline=\"" + U8(root_) + "\\bin/64bit\\Kestrava.exe\"\n"),
            std::string::npos)
      << ReadText(Record());
}

TEST_F(UpdaterTest, ReportsAnApplicationThatCannotBeRestarted) {
  MakeInstallAndStaging();
  const UpdaterRun run = Run({L"--pid", std::to_wstring(GoneProcessId()), L"--install-root", root_,
                              L"--staging-dir", staging_, L"--restart", L"Missing.exe"});
  EXPECT_EQ(run.run.exit_code, 3u);
  EXPECT_EQ(run.logged(),
            Lines{"CreateProcess failed: " + U8(root_) + "\\bin/64bit\\Missing.exe  err=2"});
  EXPECT_EQ(NoticeTexts(run), Texts({Notice::kRestartFailed}));
  EXPECT_EQ(ReadText(root_ + L"\\readme.txt"), "readme 2") << "copied before the restart";
  EXPECT_FALSE(Exists(staging_)) << "cleared before the restart";
}

TEST_F(UpdaterTest, RestartsWhenThereIsNothingStaged) {
  PutStandIn(root_ + L"\\bin\\64bit\\Kestrava.exe");
  // An id that names no process at all: 4294967295 is taken as 2147483647, which no process has.
  const UpdaterRun run = Run({L"--pid", L"4294967295", L"--install-root", root_, L"--staging-dir",
                              staging_});
  EXPECT_EQ(run.run.exit_code, 0u);
  EXPECT_EQ(NoticeTexts(run), Texts({}));
  EXPECT_EQ(run.run.writes, Lines{});
  EXPECT_TRUE(test::WaitForFile(Record()));
}

}  // namespace
}  // namespace orvo
