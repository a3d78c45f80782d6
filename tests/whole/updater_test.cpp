// The real OrvoUpdater.exe, driven as Kestrava and its user meet it: started with a command line,
// watched as its debugger, its message boxes answered, the stand-in application restarted.

#include <windows.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <functional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "app/update_sequence.h"
#include "caller/start_updater.h"
#include "fsops/paths.h"
#include "tests/support/fixtures.h"
#include "tests/support/test_files.h"
#include "tools/harness/debug_session.h"
#include "tools/harness/notice_watcher.h"
#include "tools/harness/processes.h"
#include "tools/harness/update_run.h"
#include "tools/harness/text_io.h"

namespace orvo {
namespace {

using Args = std::vector<std::wstring>;
using harness::Exists;
using test::Lines;
using harness::ReadText;
using test::Snapshot;
using harness::WriteText;

std::string U8(const std::wstring& text) { return harness::ToUtf8(text); }

const std::wstring kUsage = L"参数无效。用法：OrvoUpdater.exe --pid <pid> --install-root <path> "
                            L"--staging-dir <path> --exe-subdir <subdir> --restart <exe>";
const std::wstring kTimeout = L"等待主程序退出超时，更新中止。";
const std::wstring kPartial =
    L"部分文件覆盖失败，请关闭所有 Kestrava 进程后重试，或手动从官网下载。";
const std::wstring kRestart = L"更新已完成，但自动重启失败，请手动启动 Kestrava。";
const Lines kCanary = {"secret.txt=secret\n", "sub\\", "sub\\deep.txt=deep\n"};
const std::string kNotItsOwn =
    "staging directory is the install root, lies above it, or is a volume's root: ";

using harness::UpdaterRun;

// Checks a finished run: its exit code; the notices in order, each a modal box captioned
// "OrvoUpdater" with one OK button and no owner (their icons are checked in process: no platform
// shows another process's icon); and the log lines in any order, each of which must come as the
// three writes "[OrvoUpdater] ", text, "\n". "@" in an expected line stands for `at`; a line that
// ends in "err=?" takes any code but 0 (where Windows and Wine give different ones).
void Expect(const UpdaterRun& r, DWORD exit_code, const std::vector<std::wstring>& notices,
            Lines logged, const std::wstring& at = L"") {
  EXPECT_TRUE(r.run.finished) << "the updater did not finish in time";
  EXPECT_EQ(r.run.exit_code, exit_code);
  std::vector<std::wstring> shown;
  for (const auto& notice : r.notices) {
    EXPECT_EQ(notice.caption, L"OrvoUpdater");
    EXPECT_EQ(notice.button_ids, std::vector<int>{IDOK});
    EXPECT_FALSE(notice.has_owner);
    shown.push_back(notice.text);
  }
  EXPECT_EQ(shown, notices);
  Lines actual;
  const auto& w = r.run.writes;
  for (size_t i = 0; i < w.size(); i += 3) {
    const bool whole = i + 2 < w.size() && w[i] == "[OrvoUpdater] " && w[i + 2] == "\n";
    actual.push_back(whole ? w[i + 1] : "<malformed: " + w[i] + ">");
  }
  for (auto& line : logged) {
    if (const size_t a = line.find('@'); a != std::string::npos) line.replace(a, 1, U8(at));
    const size_t digits = line.size() - 1;
    if (line.size() < 5 || line.compare(digits - 4, 5, "err=?") != 0) continue;
    for (auto& seen : actual) {
      if (seen.compare(0, digits, line, 0, digits) == 0 && seen.size() > digits &&
          seen[digits] != '0') {
        seen = line;
      }
    }
  }
  std::sort(logged.begin(), logged.end());
  std::sort(actual.begin(), actual.end());
  EXPECT_EQ(actual, logged);
}

class UpdaterTest : public test::FileTest {
 protected:
  void SetUp() override {
    test::FileTest::SetUp();
    root_ = Path(L"Kestrava");
    staging_ = Path(L"Kestrava-update");
  }
  void TearDown() override {
    kestrava_.Stop();
    test::FileTest::TearDown();
  }

  static std::wstring StandIn() { return test::BinDirectory() + L"\\kestrava_standin.exe"; }
  static std::wstring Updater() { return test::BinDirectory() + L"\\OrvoUpdater.exe"; }
  void PutStandIn(const std::wstring& path) {
    WriteText(path, "");
    ASSERT_TRUE(CopyFileW(StandIn().c_str(), path.c_str(), FALSE));
  }
  // Version 1 installed; version 2 staged.
  void MakeInstallAndStaging() {
    PutStandIn(root_ + L"\\bin\\64bit\\Kestrava.exe");
    WriteText(root_ + L"\\bin\\64bit\\data.pak", "data 1");
    WriteText(root_ + L"\\user.cfg", "mine");
    PutStandIn(staging_ + L"\\bin\\64bit\\Kestrava.exe");
    WriteText(staging_ + L"\\bin\\64bit\\data.pak", "data 2");
    WriteText(staging_ + L"\\readme.txt", "readme 2");
  }
  // What a stand-in started as `command` (the quoted path of `directory`\Kestrava.exe, as it was
  // spelt) with `directory` as its current one writes beside itself.
  static std::string RecordOf(const std::wstring& directory, const std::wstring& command) {
    return "exe=" + U8(directory) + "\\Kestrava.exe\ncwd=" + U8(directory) + "\ncmdline=\"" +
           U8(command) + "\"\nflags=1\nshow=1\n";
  }
  // What the restarted stand-in wrote beside itself: how it was started, as "key=value" lines.
  static std::string Record(const std::wstring& directory) {
    const std::wstring path = directory + L"\\restart-record.txt";
    EXPECT_TRUE(test::WaitForFile(path)) << "not restarted: " << U8(path);
    return ReadText(path);
  }
  // Record(directory), once the restarted stand-in has also let go of its executable: Windows
  // does not let a running image be replaced or removed, which the next run may want to do.
  std::string Restarted(const std::wstring& directory, const std::wstring& exe = L"Kestrava.exe") {
    const std::string record = Record(directory);
    const std::wstring image = directory + L"\\" + exe;
    for (int tries = 0; tries < 300; ++tries, Sleep(100)) {
      const HANDLE file = CreateFileW(image.c_str(), GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
      if (file == INVALID_HANDLE_VALUE && GetLastError() == ERROR_SHARING_VIOLATION) continue;
      if (file != INVALID_HANDLE_VALUE) CloseHandle(file);
      return record;
    }
    ADD_FAILURE() << "the restarted stand-in still runs: " << U8(image);
    return record;
  }
  // The stand-in application, running until the test ends; its process id.
  std::wstring Running() { return std::to_wstring(kestrava_.Start(L"--sleep 600000")); }
  // Holds `path` open without sharing from another process, as a running program would.
  HANDLE HoldFile(const std::wstring& path) {
    const HANDLE holder = kestrava_.Hold(path);
    EXPECT_NE(holder, nullptr) << "never held: " << U8(path);
    return holder;
  }
  UpdaterRun Run(const Args& arguments, const harness::DebugHooks& hooks = {}) {
    return harness::RunUpdater(Updater(), arguments, hooks);
  }
  // An update after the application has exited.
  UpdaterRun Update(const std::wstring& root, const std::wstring& staging, Args more = {},
                    const harness::DebugHooks& hooks = {}) {
    Args arguments = {L"--pid", std::to_wstring(kestrava_.Gone()), L"--install-root", root,
                      L"--staging-dir", staging};
    arguments.insert(arguments.end(), more.begin(), more.end());
    return Run(arguments, hooks);
  }
  // Runs the rows, each of which must be refused with the usage notice before the application
  // (started first) is waited for, and with nothing touched in the two trees or in `also`.
  void ExpectRefusals(const std::vector<std::pair<Args, Lines>>& rows, const std::wstring& at,
                      const std::wstring& also = L"") {
    const Lines root_before = Snapshot(root_), staging_before = Snapshot(staging_);
    const Lines also_before = also.empty() ? Lines{} : Snapshot(also);
    for (const auto& [arguments, logged] : rows) {
      std::string described;
      for (const auto& argument : arguments) described += " [" + U8(argument) + "]";
      SCOPED_TRACE("arguments:" + described);
      Expect(Run(arguments), 1, {kUsage}, logged, at);
      EXPECT_TRUE(kestrava_.Running(0)) << "the application was waited for";
    }
    EXPECT_EQ(Snapshot(root_), root_before);
    EXPECT_EQ(Snapshot(staging_), staging_before);
    if (!also.empty()) {
      EXPECT_EQ(Snapshot(also), also_before);
    }
  }

  std::wstring root_;
  std::wstring staging_;
  harness::StandIns kestrava_{StandIn()};
};

TEST_F(UpdaterTest, UpdatesRestartsAndLeavesNothingBehind) {
  root_ = Path(L"Kestrava 应用");  // blanks and CJK on the way to the restart
  MakeInstallAndStaging();
  WriteText(root_ + L"\\readonly.dll", "old ro");
  SetFileAttributesW((root_ + L"\\readonly.dll").c_str(), FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN);
  // What an interrupted run leaves goes; what merely looks like it stays.
  for (const wchar_t* name : {L"~OrvoUpdater-partial-77.tmp", L"bin\\~OrvoUpdater-partial-8.tmp",
                              L"~OrvoUpdater-partial-.tmp", L"OrvoUpdater-partial-77.tmp",
                              L"~OrvoUpdater-partial-7.tmp.bak"}) {
    WriteText(root_ + L"\\" + name, "left");
  }
  CreateDirectoryW((root_ + L"\\~OrvoUpdater-partial-6.tmp").c_str(), nullptr);
  WriteText(staging_ + L"\\bin\\64bit\\plugins\\a b.dll", "blank name");
  WriteText(staging_ + L"\\資料\\説明 ファイル.txt", "non-ASCII");
  WriteText(staging_ + L"\\hidden.txt", "hidden");
  WriteText(staging_ + L"\\readonly.dll", "new ro");
  SetFileAttributesW((staging_ + L"\\hidden.txt").c_str(), FILE_ATTRIBUTE_HIDDEN);
  CreateDirectoryW((staging_ + L"\\empty").c_str(), nullptr);
  // Read-only files at the top and deeper down, with a time of their own: the copies keep both.
  const FILETIME written = {0x12345600, 0x01C0FFEE};
  for (const wchar_t* name : {L"\\readme.txt", L"\\bin\\64bit\\plugins\\a b.dll"}) {
    const HANDLE file = CreateFileW((staging_ + name).c_str(), FILE_WRITE_ATTRIBUTES, 0, nullptr,
                                    OPEN_EXISTING, 0, nullptr);
    SetFileTime(file, nullptr, nullptr, &written);
    CloseHandle(file);
    SetFileAttributesW((staging_ + name).c_str(), FILE_ATTRIBUTE_READONLY);
  }

  // Started from inside the staging tree, as Kestrava may do: the updater must not stand there.
  harness::DebugHooks inside;
  inside.directory = staging_ + L"\\bin\\64bit";
  // Each new file reaches the disk under its temporary name, before it takes the destination's.
  Lines flushed;
  inside.on_flush = [&](const std::wstring& path) {
    const size_t cut = path.find_last_of(L'\\');
    flushed.push_back(U8(path.substr(0, cut)) +
                      (path.compare(cut + 1, 21, L"~OrvoUpdater-partial-") == 0 ? "" : " " + U8(path.substr(cut))));
  };
  Expect(Update(root_, staging_, {}, inside), 0, {}, {});
  std::sort(flushed.begin(), flushed.end());
  const std::string r = U8(root_);
  EXPECT_EQ(flushed, (Lines{r, r, r, r + "\\bin\\64bit", r + "\\bin\\64bit", r + "\\bin\\64bit\\plugins",
                            r + U8(L"\\資料")}));
  const std::wstring bin = root_ + L"\\bin\\64bit";
  const std::string record = RecordOf(bin, root_ + L"\\bin/64bit\\Kestrava.exe");
  EXPECT_EQ(Record(bin), record);
  EXPECT_EQ(Snapshot(root_),
            (Lines{"OrvoUpdater-partial-77.tmp=left", "bin\\", "bin\\64bit\\",
                   "bin\\64bit\\Kestrava.exe=" + test::Shown(ReadText(StandIn())),
                   "bin\\64bit\\data.pak=data 2", "bin\\64bit\\plugins\\",
                   "bin\\64bit\\plugins\\a b.dll=blank name",
                   "bin\\64bit\\restart-record.txt=" + record, "empty\\", "hidden.txt=hidden",
                   "readme.txt=readme 2", "readonly.dll=new ro", "user.cfg=mine",
                   "~OrvoUpdater-partial-.tmp=left", "~OrvoUpdater-partial-6.tmp\\",
                   "~OrvoUpdater-partial-7.tmp.bak=left", U8(L"資料\\"),
                   U8(L"資料\\説明 ファイル.txt=non-ASCII")}));
  EXPECT_FALSE(Exists(staging_));
  // A copy takes the staged file's attributes.
  EXPECT_EQ(GetFileAttributesW((root_ + L"\\readonly.dll").c_str()), FILE_ATTRIBUTE_ARCHIVE);
  EXPECT_EQ(GetFileAttributesW((root_ + L"\\hidden.txt").c_str()) & FILE_ATTRIBUTE_HIDDEN, 2u);
  for (const wchar_t* name : {L"\\readme.txt", L"\\bin\\64bit\\plugins\\a b.dll"}) {
    WIN32_FILE_ATTRIBUTE_DATA data = {};
    GetFileAttributesExW((root_ + name).c_str(), GetFileExInfoStandard, &data);
    EXPECT_EQ(data.dwFileAttributes & FILE_ATTRIBUTE_READONLY, 1u) << U8(name);
    EXPECT_EQ(CompareFileTime(&data.ftLastWriteTime, &written), 0) << U8(name);
  }
}

// While Kestrava runs, the updater waits; once Kestrava has exited, it pauses for its files to be
// released, and then goes on at once.
TEST_F(UpdaterTest, WaitsOnlyWhileTheApplicationRuns) {
  MakeInstallAndStaging();
  // The application holds a file that the update replaces: a copy that did not wait would fail.
  // It stands in the staging directory, which it holds so until it exits: then that goes too.
  const HANDLE application = kestrava_.Hold(root_ + L"\\bin\\64bit\\data.pak", 60000, staging_);
  ASSERT_NE(application, nullptr);
  // The application exits a second after the updater has come to its wait. The pause is measured
  // on the performance counter from before the application is ended to after the change is seen,
  // which can only make it look longer than it was; Sleep(500) may come back up to a clock tick
  // (15.6 ms) early.
  LARGE_INTEGER frequency = {};
  QueryPerformanceFrequency(&frequency);
  const auto now_ms = [&] {
    LARGE_INTEGER counter = {};
    QueryPerformanceCounter(&counter);
    return static_cast<double>(counter.QuadPart) * 1000 / static_cast<double>(frequency.QuadPart);
  };
  double ending_at = 0, changed = 0;
  std::thread ending;
  harness::DebugHooks hooks;
  hooks.waited_process = GetProcessId(application);
  hooks.on_wait = [&] {
    ending = std::thread([&] {
      const HANDLE change = FindFirstChangeNotificationW(root_.c_str(), TRUE, FILE_NOTIFY_CHANGE_FILE_NAME);
      Sleep(1000);
      ending_at = now_ms();
      TerminateProcess(application, 0);
      if (WaitForSingleObject(change, 30000) == WAIT_OBJECT_0) changed = now_ms();
      FindCloseChangeNotification(change);
    });
  };
  Expect(Run({L"--pid", std::to_wstring(hooks.waited_process), L"--install-root", root_,
              L"--staging-dir", staging_}, hooks),
         0, {}, {});
  ASSERT_TRUE(ending.joinable()) << "the updater never came to its wait";
  ending.join();
  EXPECT_EQ(ReadText(root_ + L"\\bin\\64bit\\data.pak"), "data 2");
  ASSERT_NE(changed, 0) << "the install root never changed";
  std::printf("the install root changed %.1f ms after the application was ended\n", changed - ending_at);
  EXPECT_GE(changed - ending_at, 500 - 15.7) << "no pause after the application exited";
  EXPECT_LT(changed - ending_at, 10000) << "the update did not go on once the application exited";
  Record(root_ + L"\\bin\\64bit");
  EXPECT_FALSE(Exists(staging_)) << "kept, since Kestrava stood in it when the updater started";
  // No such process (4294967295 is taken as 2147483647), and a staging directory whose folder
  // does not exist either: nothing to copy, and a restart all the same.
  DeleteFileW((root_ + L"\\bin\\64bit\\restart-record.txt").c_str());
  Expect(Run({L"--pid", L"4294967295", L"--install-root", root_, L"--staging-dir",
              Path(L"gone\\update")}),
         0, {}, {});
  Record(root_ + L"\\bin\\64bit");
}

// The install root opened before the wait is the one the update goes to: when, during the wait,
// the folder that holds it is moved away and another one put in its place, nothing of the update
// reaches that other one. Windows refuses to move a folder with an open handle inside; Wine moves
// it, and then refuses the renames that would put the new files in place (it resolves them by the
// folder's old path), so that those files are reported instead.
TEST_F(UpdaterTest, KeepsToTheInstallRootItOpened) {
  root_ = Path(L"apps\\Kestrava");
  MakeInstallAndStaging();
  const std::wstring pid = Running();
  DWORD refused = ERROR_SUCCESS;
  harness::DebugHooks hooks;
  hooks.waited_process = std::stoul(pid);
  hooks.on_wait = [&] {
    if (MoveFileW(Path(L"apps").c_str(), Path(L"moved").c_str())) {
      PutStandIn(root_ + L"\\bin\\64bit\\Kestrava.exe");  // the restart goes by the path
    } else {
      refused = GetLastError();
    }
    kestrava_.Stop();
  };
  const UpdaterRun r =
      Run({L"--pid", pid, L"--install-root", root_, L"--staging-dir", staging_}, hooks);
  EXPECT_EQ(r.run.exit_code, 0u);
  if (refused != ERROR_SUCCESS) {
    EXPECT_TRUE(refused == ERROR_ACCESS_DENIED || refused == ERROR_SHARING_VIOLATION) << refused;
    EXPECT_EQ(ReadText(root_ + L"\\readme.txt"), "readme 2");
  } else {
    const std::string record = RecordOf(root_ + L"\\bin\\64bit", root_ + L"\\bin/64bit\\Kestrava.exe");
    EXPECT_EQ(Record(root_ + L"\\bin\\64bit"), record);  // before the snapshot: it waits
    EXPECT_EQ(Snapshot(root_),
              (Lines{"bin\\", "bin\\64bit\\", "bin\\64bit\\Kestrava.exe=" + test::Shown(ReadText(StandIn())),
                     "bin\\64bit\\restart-record.txt=" + record}));
  }
}

// A scanner, the search indexer or a backup agent holds a file for a moment right after it is
// written: an installed file that the copy replaces, a staged file the clean-up deletes. The
// updater tries again for a while, and the update is whole, with no notice.
TEST_F(UpdaterTest, WaitsOutAFileHeldForAMoment) {
  MakeInstallAndStaging();
  WriteText(staging_ + L"\\scanned.txt", "scanned");
  const std::wstring pid = Running();
  HANDLE installed = INVALID_HANDLE_VALUE, staged = INVALID_HANDLE_VALUE;
  bool copy_began = false, copied_while_held = false;
  std::thread scanner;
  harness::DebugHooks hooks;
  hooks.waited_process = std::stoul(pid);
  hooks.on_wait = [&] {
    installed = CreateFileW((root_ + L"\\bin\\64bit\\data.pak").c_str(), GENERIC_READ, 0, nullptr,
                            OPEN_EXISTING, 0, nullptr);
    staged = CreateFileW((staging_ + L"\\scanned.txt").c_str(), GENERIC_READ, FILE_SHARE_READ,
                         nullptr, OPEN_EXISTING, 0, nullptr);
    scanner = std::thread([&] {
      // Let go of the installed file 300 ms after the copy has begun (the install root changes),
      // of the staged one 300 ms after it was copied: the clean-up comes right after the copy.
      const HANDLE change = FindFirstChangeNotificationW(root_.c_str(), TRUE, FILE_NOTIFY_CHANGE_FILE_NAME);
      copy_began = WaitForSingleObject(change, 20000) == WAIT_OBJECT_0;
      FindCloseChangeNotification(change);
      Sleep(300);
      CloseHandle(installed);
      for (int i = 0; i < 400 && !copied_while_held; ++i, Sleep(25)) {
        copied_while_held = Exists(root_ + L"\\scanned.txt");
      }
      Sleep(300);
      CloseHandle(staged);
    });
    kestrava_.Stop();
  };
  Expect(Run({L"--pid", pid, L"--install-root", root_, L"--staging-dir", staging_}, hooks), 0, {}, {});
  ASSERT_TRUE(scanner.joinable()) << "the updater never came to its wait";
  scanner.join();
  EXPECT_TRUE(copy_began) << "the files were let go before the copy began: nothing was tried";
  EXPECT_TRUE(copied_while_held) << "the staged file was let go before the copy ended";
  EXPECT_EQ(ReadText(root_ + L"\\bin\\64bit\\data.pak"), "data 2");
  EXPECT_EQ(ReadText(root_ + L"\\scanned.txt"), "scanned");
  EXPECT_FALSE(Exists(staging_));
  Record(root_ + L"\\bin\\64bit");
}

TEST_F(UpdaterTest, GivesUpAfterSixtySeconds) {
  MakeInstallAndStaging();
  const Lines root_before = Snapshot(root_), staging_before = Snapshot(staging_);
  const std::wstring pid = Running();
  const UpdaterRun r = Run({L"--pid", pid, L"--install-root", root_, L"--staging-dir", staging_});
  Expect(r, 2, {kTimeout}, {});
  EXPECT_GE(r.milliseconds, 60000u) << "the wait did not last its 60 seconds";
  EXPECT_LT(r.milliseconds, 70000u) << "the wait lasted beyond its 60 seconds";
  EXPECT_TRUE(kestrava_.Running(0));
  EXPECT_EQ(Snapshot(root_), root_before);
  EXPECT_EQ(Snapshot(staging_), staging_before);
}

// Options that could have the clean-up delete the installation, or that name what the updater
// cannot reach, are refused before anything is waited for or touched: an update there would fail
// file by file and then clear the staged files away. A drive letter that the prefix does not have
// stands in for one that the elevated updater does not see (a user's mapped drive or subst).
TEST_F(UpdaterTest, RefusesUnusableOptionsAndTouchesNothing) {
  MakeInstallAndStaging();
  const std::wstring pid = Running();
  const std::wstring missing = Path(L"missing"), unseen = test::UnseenDrive();
  ASSERT_FALSE(unseen.empty()) << "every drive letter is taken";
  ExpectRefusals(
      {
          {{}, {}},
          {{L"--pid", L"0", L"--install-root", root_, L"--staging-dir", staging_}, {}},
          {{L"--pid", L"abc", L"--install-root", root_, L"--staging-dir", staging_}, {}},
          {{L"--PID", pid, L"--install-root", root_, L"--staging-dir", staging_}, {}},
          {{L"--pid=" + pid, L"--install-root", root_, L"--staging-dir", staging_}, {}},
          {{L"--pid", pid, L"--install-root", root_}, {}},
          {{L"--pid", pid, L"--staging-dir", staging_, L"--install-root"}, {}},
          {{L"--pid", pid, L"--install-root", root_, L"--staging-dir", root_ + L"\\"},
           {kNotItsOwn + U8(root_)}},
          {{L"--pid", pid, L"--install-root", root_, L"--staging-dir", dir_}, {kNotItsOwn + U8(dir_)}},
          {{L"--pid", pid, L"--install-root", root_, L"--staging-dir", root_ + L"::$INDEX_ALLOCATION"},
           {"staging directory is not a usable path: " + U8(root_) + "::$INDEX_ALLOCATION"}},
          {{L"--pid", pid, L"--install-root", L"C:", L"--staging-dir", staging_},
           {"install root is not a usable path: C:"}},
          {{L"--pid", pid, L"--install-root", missing, L"--staging-dir", staging_},
           {"install root cannot be opened: " + U8(missing) + "  err=2"}},
          {{L"--pid", pid, L"--install-root", root_ + L"\\user.cfg", L"--staging-dir", staging_},
           {"install root cannot be opened: " + U8(root_) + "\\user.cfg  err=267"}},
          {{L"--pid", pid, L"--install-root", unseen + L"\\Kestrava", L"--staging-dir", staging_},
           {"install root cannot be opened: " + U8(unseen) + "\\Kestrava  err=?"}},
          {{L"--pid", pid, L"--install-root", root_, L"--staging-dir", unseen + L"\\Kestrava-update"},
           {"volume of the staging directory cannot be opened: " + U8(unseen) + "\\  err=3"}},
      },
      L"");
}

// The staging directories that name the volume could have an updater that goes wrong delete the
// drive: they run only in the sandbox, whose only drive leads into it. "C:" is the current
// directory, inside the install root as when Kestrava starts the updater from its own folder.
TEST_F(UpdaterTest, RefusesAStagingDirectoryThatNamesTheVolume) {
  if (!GetEnvironmentVariableW(L"ORVO_SANDBOX", nullptr, 0)) {
    GTEST_SKIP() << "runs only in the sandbox (ORVO_SANDBOX set), whose only drive leads into it";
  }
  MakeInstallAndStaging();
  const std::wstring pid = Running();
  const std::wstring drive = root_.substr(0, 2);
  std::vector<std::pair<Args, Lines>> rows;
  for (const std::wstring& staging :
       {drive + L"\\", drive, drive + L"x", L"\\\\?\\" + drive, L"\\\\.\\" + drive}) {
    rows.push_back({{L"--pid", pid, L"--install-root", root_, L"--staging-dir", staging},
                    {staging == drive + L"\\" ? kNotItsOwn + U8(staging)
                                              : "staging directory is not a usable path: " + U8(staging)}});
  }
  SetCurrentDirectoryW((root_ + L"\\bin\\64bit").c_str());
  ExpectRefusals(rows, L"");
}

TEST_F(UpdaterTest, ReportsWhatItCannotCopyOrClear) {
  MakeInstallAndStaging();
  // An installed file that another Kestrava process holds (not the one waited for).
  HoldFile(root_ + L"\\bin\\64bit\\data.pak");
  // A staged file another process holds: it cannot be read, and the clean-up leaves it.
  WriteText(staging_ + L"\\held.dll", "held");
  HoldFile(staging_ + L"\\held.dll");
  // A staged folder that someone holds without letting it be deleted: emptied, and left.
  WriteText(staging_ + L"\\plugins\\p.dll", "plugin");
  const HANDLE plugins =
      CreateFileW((staging_ + L"\\plugins").c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                  nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  // A staged file that someone is still writing: it is not read before they are done.
  WriteText(staging_ + L"\\writing.dll", "writing");
  const HANDLE writer =
      CreateFileW((staging_ + L"\\writing.dll").c_str(), GENERIC_WRITE,
                  FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING, 0, nullptr);
  // The temporary file's name, taken by a hard link to a file outside that someone holds: it
  // must not be written through.
  WriteText(staging_ + L"\\tmp\\new.txt", "new");
  WriteText(Path(L"outside.txt"), "outside");
  CreateDirectoryW((root_ + L"\\tmp").c_str(), nullptr);
  HANDLE temporary = INVALID_HANDLE_VALUE;
  harness::DebugHooks take_name;
  take_name.on_start = [&](DWORD pid) {
    const std::wstring name = root_ + L"\\tmp\\~OrvoUpdater-partial-" + std::to_wstring(pid) + L".tmp";
    EXPECT_TRUE(CreateHardLinkW(name.c_str(), Path(L"outside.txt").c_str(), nullptr));
    temporary = CreateFileW(name.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                            OPEN_EXISTING, 0, nullptr);
  };
  // A folder where a file is staged: both attempts fail. A file where a folder is staged: the
  // folder cannot be made.
  WriteText(staging_ + L"\\in the way", "file");
  CreateDirectoryW((root_ + L"\\in the way").c_str(), nullptr);
  WriteText(staging_ + L"\\made\\x.dll", "x");
  WriteText(root_ + L"\\made", "a file");
  // Read-only files with a second name outside both trees, staged and installed: the bit belongs
  // to every name, so neither the copy nor the clean-up may clear it.
  const std::wstring outside_staged = Path(L"outside-staged.txt"), outside_installed = Path(L"outside-installed.txt");
  for (const auto& [outside, name] : {std::pair{outside_staged, staging_ + L"\\linked.dll"},
                                      std::pair{outside_installed, root_ + L"\\linked-too.dll"}}) {
    WriteText(outside, "outside");
    SetFileAttributesW(outside.c_str(), FILE_ATTRIBUTE_READONLY);
    ASSERT_TRUE(CreateHardLinkW(name.c_str(), outside.c_str(), nullptr)) << GetLastError();
  }
  WriteText(staging_ + L"\\linked-too.dll", "new");
  // Both paths spelt otherwise than the system would: every step uses the one resolved path.
  const UpdaterRun r = Run({L"--pid", std::to_wstring(kestrava_.Gone()), L"--install-root",
                            root_ + L"\\bin\\..\\.", L"--staging-dir", L"\\\\?\\" + staging_ + L"\\"},
                           take_name);
  // Files held for the whole run are tried again for a while each, and for no longer than the
  // run's share of such waits all together (10 s) and the notice.
  EXPECT_GE(r.milliseconds, 2500u) << "a held file was not tried again";
  EXPECT_LT(r.milliseconds, 40000u) << "held files held up the run past its bound";
  Expect(r,
         0, {kPartial},
         {"CopyFile failed: @\\bin\\64bit\\data.pak  err=32",
          "CopyFile failed: @\\held.dll  err=32", "CopyFile failed: @\\writing.dll  err=32",
          "CopyFile failed: @\\tmp\\new.txt  err=183",
          "CopyFile failed: @\\in the way  err=?", "CopyFile failed: @\\made  err=?"},
         root_);
  CloseHandle(temporary);
  CloseHandle(writer);
  CloseHandle(plugins);
  kestrava_.Stop();
  EXPECT_EQ(ReadText(Path(L"outside.txt")), "outside");
  for (const auto& outside : {outside_staged, outside_installed}) {
    EXPECT_EQ(ReadText(outside), "outside");
    EXPECT_EQ(GetFileAttributesW(outside.c_str()) & FILE_ATTRIBUTE_READONLY, 1u) << U8(outside);
  }
  EXPECT_EQ(ReadText(root_ + L"\\plugins\\p.dll"), "plugin");
  EXPECT_EQ(ReadText(root_ + L"\\readme.txt"), "readme 2");
  EXPECT_EQ(ReadText(root_ + L"\\linked.dll"), "outside");
  // Where the system cannot delete a read-only name without clearing the bit, the name stays.
  Lines staged = Snapshot(staging_);
  staged.erase(std::remove(staged.begin(), staged.end(), "linked.dll=outside"), staged.end());
  EXPECT_EQ(staged, (Lines{"held.dll=held", "plugins\\"}));
  EXPECT_NE(Record(root_ + L"\\bin\\64bit").find("cmdline=\"" + U8(root_) + "\\bin/64bit"),
            std::string::npos);
}

TEST_F(UpdaterTest, RestartsAsToldOrSaysItCouldNot) {
  const struct {
    std::wstring subdir, exe;
    std::string logged;  // after the install root; none: restarted
  } cases[] = {
      {L"", L"Kestrava 2.exe", ""},
      {L"bin/64bit", L"Missing.exe", "\\bin/64bit\\Missing.exe  err=2"},
      {L"bin/64bit", L"", "\\bin/64bit\\  err=?"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(U8(c.subdir) + " | " + U8(c.exe));
    MakeInstallAndStaging();
    PutStandIn(root_ + L"\\Kestrava 2.exe");
    const UpdaterRun r = Update(root_, staging_, {L"--exe-subdir", c.subdir, L"--restart", c.exe});
    if (c.logged.empty()) {
      Expect(r, 0, {}, {});
      // An empty subdirectory leaves two backslashes in a row, passed on as they are.
      const std::string record = Restarted(root_, c.exe);
      EXPECT_EQ(record.substr(0, record.find("\nflags")),
                "exe=" + U8(root_) + "\\Kestrava 2.exe\ncwd=" + U8(root_) + "\ncmdline=\"" +
                    U8(root_) + "\\\\Kestrava 2.exe\"");
    } else {
      Expect(r, 3, {kRestart}, {"CreateProcess failed: @" + c.logged}, root_);
    }
    EXPECT_EQ(ReadText(root_ + L"\\readme.txt"), "readme 2") << "copied before the restart";
    EXPECT_FALSE(Exists(staging_)) << "cleared before the restart";
    harness::RemoveTree(root_);
  }
}

// What Windows does and Wine does not, in one update: an executable that another Kestrava process
// runs cannot be replaced (reported, and the update goes on); a read-only folder where a file is
// staged loses its read-only bit before the second attempt; a staged file that someone reads,
// letting it be deleted, goes at once (POSIX semantics), and the staging directory with it.
TEST_F(UpdaterTest, ReplacesAndRemovesAsWindowsLets) {
  if (test::OnWine()) {
    GTEST_SKIP() << "Windows only: Wine lets a rename replace a running executable, keeps no "
                    "read-only bit on a folder, and refuses POSIX-semantics delete";
  }
  MakeInstallAndStaging();
  const std::wstring running = root_ + L"\\bin\\64bit\\Kestrava.exe";
  harness::StandIns installed(running);
  installed.Start(L"--sleep 600000");
  WriteText(staging_ + L"\\in the way", "file");
  CreateDirectoryW((root_ + L"\\in the way").c_str(), nullptr);
  SetFileAttributesW((root_ + L"\\in the way").c_str(), FILE_ATTRIBUTE_READONLY);
  const HANDLE reader = CreateFileW((staging_ + L"\\readme.txt").c_str(), GENERIC_READ,
                                    FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                    OPEN_EXISTING, 0, nullptr);
  Expect(Update(root_, staging_), 0, {kPartial},
         {"CopyFile failed: @\\bin\\64bit\\Kestrava.exe  err=?", "CopyFile failed: @\\in the way  err=?"},
         root_);
  EXPECT_FALSE(Exists(staging_));
  CloseHandle(reader);
  EXPECT_EQ(GetFileAttributesW((root_ + L"\\in the way").c_str()), FILE_ATTRIBUTE_DIRECTORY);
  EXPECT_EQ(ReadText(root_ + L"\\bin\\64bit\\data.pak"), "data 2");
  Record(root_ + L"\\bin\\64bit");
}

// A staging directory that may be read but not deleted (here its DACL denies DELETE and its
// parent's denies FILE_DELETE_CHILD, 0x40: SDDL's "DC" would be another right for files; a
// read-only share or a write-protected medium does the same)
// is applied all the same, emptied, and left.
TEST_F(UpdaterTest, AppliesAStagingDirectoryItMayNotDelete) {
  if (test::OnWine()) GTEST_SKIP() << "Windows only: Wine grants DELETE whatever a folder's mode";
  staging_ = Path(L"locked\\Kestrava-update");
  MakeInstallAndStaging();
  struct Unlock {  // so that the folder can go, whatever the test found
    std::wstring staging, parent;
    ~Unlock() {
      test::SetAccess(staging, L"D:P(A;OICI;FA;;;WD)");
      test::SetAccess(parent, L"D:P(A;OICI;FA;;;WD)");
    }
  } unlock{staging_, Path(L"locked")};
  ASSERT_EQ(test::SetAccess(staging_, L"D:P(D;;SD;;;WD)(A;OICI;FA;;;WD)"), 0u);
  ASSERT_EQ(test::SetAccess(Path(L"locked"), L"D:P(D;;0x40;;;WD)(A;OICI;FA;;;WD)"), 0u);
  Expect(Update(root_, staging_), 0, {}, {});
  EXPECT_EQ(ReadText(root_ + L"\\readme.txt"), "readme 2");
  EXPECT_EQ(Snapshot(staging_), Lines{});
  Record(root_ + L"\\bin\\64bit");
}

// A drive letter that leads into a folder, as subst makes one: a link on the staging path.
TEST_F(UpdaterTest, RefusesADriveLetterThatLeadsElsewhere) {
  if (test::OnWine()) {
    GTEST_SKIP() << "Windows only: Wine's drive letters are host folders; one that leads into a "
                    "folder of another drive needs DefineDosDevice";
  }
  MakeInstallAndStaging();
  wchar_t letter = L'Z';
  while (letter > L'D' && GetDriveTypeW((std::wstring(1, letter) + L":\\").c_str()) != DRIVE_NO_ROOT_DIR) {
    --letter;
  }
  const std::wstring drive = std::wstring(1, letter) + L":";
  ASSERT_TRUE(DefineDosDeviceW(0, drive.c_str(), dir_.c_str())) << GetLastError();
  // The letter goes again however the test ends.
  struct Undefine {
    const std::wstring &drive, &target;
    ~Undefine() {
      DefineDosDeviceW(DDD_REMOVE_DEFINITION | DDD_EXACT_MATCH_ON_REMOVE, drive.c_str(), target.c_str());
    }
  } undefine{drive, dir_};
  const std::wstring pid = Running();
  ExpectRefusals({{{L"--pid", pid, L"--install-root", root_, L"--staging-dir", drive + L"\\Kestrava-update"},
                   {"staging directory reached through a link: " + U8(drive) + "\\Kestrava-update"}}},
                 L"");
}

// The racing user on Windows, as the sandbox stages one under Wine: while the real updater runs, a
// thread swaps each staging subdirectory, or the staging directory's parent, with a junction to a
// canary folder, as fast as it can (three renames: Windows has no atomic exchange, so an entry may
// also be found missing). The junctions wait outside the staging tree, so that only a swap puts
// one in it. No canary may change and none of it reach the install root, every failure reported
// is a refused or a vanished entry, swaps must have completed while the updater ran, and some
// subdirectory run must have refused a swapped-in name. ORVO_RACE_RUNS runs of each, 3 by default.
TEST_F(UpdaterTest, WithstandsAUserWhoSwapsInJunctions) {
  if (test::OnWine()) GTEST_SKIP() << "Windows only: Wine has no junctions (the sandbox races there)";
  wchar_t runs[16] = L"3";
  GetEnvironmentVariableW(L"ORVO_RACE_RUNS", runs, 16);
  for (const bool parent : {false, true}) {
    int refusing_runs = 0, swapping_runs = 0;
    long swaps_in_all = 0;
    for (int run = 0; run < _wtoi(runs); ++run) {
      const std::wstring w = Path(L"race");
      harness::RemoveTree(w);
      root_ = w + L"\\install";
      staging_ = w + (parent ? L"\\via\\stg" : L"\\staging");
      PutStandIn(root_ + L"\\bin\\64bit\\Kestrava.exe");
      WriteText(w + L"\\canary\\stg\\c.txt", "CANARY");
      // Each name swapped with its partner, a junction kept in "swap".
      std::vector<std::pair<std::wstring, std::wstring>> pairs;
      for (const wchar_t* plugin : {L"a", L"b", L"c", L"d"}) {
        WriteText(staging_ + L"\\" + plugin + L"\\f.txt", "plugin");
        if (!parent) pairs.push_back({staging_ + L"\\" + plugin, w + L"\\swap\\" + plugin});
      }
      if (parent) pairs.push_back({w + L"\\via", w + L"\\swap\\via"});
      harness::MakeDirectories(w + L"\\swap");
      for (const auto& [name, partner] : pairs) {
        ASSERT_EQ(test::MakeJunction(partner, w + (parent ? L"\\canary" : L"\\canary\\stg")), 0u);
      }
      const Lines canary = Snapshot(w + L"\\canary");
      std::atomic<bool> stop{false}, updating{false};
      std::atomic<long> swaps{0};
      std::thread racer([&] {
        while (!stop) {
          for (const auto& [name, partner] : pairs) {
            if (!MoveFileW(name.c_str(), (partner + L"~").c_str())) continue;
            const bool swapped = MoveFileW(partner.c_str(), name.c_str());
            MoveFileW((partner + L"~").c_str(), (swapped ? partner : name).c_str());
            if (swapped && updating) ++swaps;
          }
        }
      });
      harness::DebugHooks hooks;
      hooks.on_start = [&](DWORD) { updating = true; };
      const UpdaterRun r = Update(root_, staging_, {}, hooks);
      updating = false;
      stop = true;
      racer.join();
      EXPECT_EQ(Snapshot(w + L"\\canary"), canary);
      for (const auto& line : Snapshot(root_)) EXPECT_EQ(line.find("CANARY"), std::string::npos) << line;
      // Only the lines of a failed step carry a code; "staging directory reached through a link"
      // is a refusal of the whole update.
      int refused = 0;
      for (size_t i = 1; i < r.run.writes.size(); i += 3) {
        const std::string& line = r.run.writes[i];
        const size_t at = line.rfind("  err=");
        if (at == std::string::npos) {
          EXPECT_TRUE(parent && line.rfind("staging directory reached through a link: ", 0) == 0) << line;
          continue;
        }
        const std::string code = line.substr(at + 6);
        EXPECT_TRUE(code == "681" || code == "2" || code == "3") << line;
        refused += code == "681";
      }
      EXPECT_TRUE(r.run.exit_code == 0 || (parent && r.run.exit_code == 1)) << r.run.exit_code;
      // The restarted stand-in must be gone before the next run replaces its executable.
      if (r.run.exit_code == 0) Restarted(root_ + L"\\bin\\64bit");
      refusing_runs += refused > 0;
      swapping_runs += swaps > 0;
      swaps_in_all += swaps;
    }
    std::printf("%s race: %ld swaps completed while the updater ran, in %d of %ls runs; %d runs "
                "refused a swapped-in name\n",
                parent ? "parent" : "subdirectory", swaps_in_all, swapping_runs, runs, refusing_runs);
    EXPECT_GT(swapping_runs, 0) << "no swap completed while the updater ran";
    if (!parent) {
      EXPECT_GT(refusing_runs, 0) << "the updater never met a swapped-in junction";
    }
  }
}

// An id is Kestrava's only while the process that has it was there before the updater: once
// Kestrava has exited, the system may give its id to a process started later, or to the updater
// itself. Neither is waited for (here the test program plays the updater).
TEST(WaitTest, TakesAnIdGivenAgainForAnEndedApplication) {
  harness::StandIns later(test::BinDirectory() + L"\\kestrava_standin.exe");
  const DWORD started_later = later.Start(L"--sleep 600000");
  ASSERT_NE(started_later, 0u);
  for (const DWORD id : {GetCurrentProcessId(), started_later}) {
    const ULONGLONG before = GetTickCount64();
    EXPECT_TRUE(app::WaitForApplicationExit(static_cast<int>(id))) << id;
    EXPECT_LT(GetTickCount64() - before, 30000u) << "waited for " << id;
  }
  EXPECT_TRUE(later.Running(0));
}

// The trees of tests/fixtures.txt: made by the host under Wine, by the test itself on Windows.
class UpdaterFixtureTest : public UpdaterTest {
 protected:
  // The tree `scenario`; empty when this system cannot make it, and `why_` says why.
  std::wstring Fixture(const std::wstring& scenario) { return test::Fixture(scenario, dir_, why_); }
  // Updates the tree "only-link", whose one link is all that cannot be copied; its path, or empty
  // when this system cannot make it.
  std::wstring UpdateAroundALink() {
    const std::wstring s = Fixture(L"only-link");
    if (s.empty()) return s;
    PutStandIn(s + L"\\install\\bin\\64bit\\Kestrava.exe");
    Expect(Update(s + L"\\install", s + L"\\staging"), 0, {kPartial},
           {"CopyFile failed: @\\install\\dirlink  err=681"}, s);
    Record(s + L"\\install\\bin\\64bit");
    EXPECT_EQ(ReadText(s + L"\\install\\new.txt"), "new\n");
    EXPECT_EQ(Snapshot(s + L"\\canary"), kCanary);
    return s;
  }
  // A file link as a snapshot shows it: Wine shows the file it leads to.
  static std::string FileLink(const std::string& name, const std::string& content) {
    return test::OnWine() ? name + "=" + content : name + "->";
  }
  std::string why_;
};

// Links of every kind, in the staging tree and in the install root, and a folder that cannot be
// listed: reported ("FindFirstFile failed"). A listing that fails part-way is reported the same way,
// but cannot be made here: Wine lists through a descriptor whose later batches neither a mode nor a
// rename made after the first one fail.
TEST_F(UpdaterFixtureTest, NeverFollowsALink) {
  const std::wstring s = Fixture(L"links");
  if (s.empty()) GTEST_SKIP() << why_;
  PutStandIn(s + L"\\install\\app\\Kestrava.exe");
  // Spelt otherwise than the system would: the log lines show the resolved paths.
  Expect(Update(s + L"\\install\\.", s + L"/staging/", {L"--exe-subdir", L"app"}), 0, {kPartial},
         {"CopyFile failed: @\\install\\dirlink  err=681", "CopyFile failed: @\\install\\bin  err=681",
          "CopyFile failed: @\\install\\emptylink  err=681",
          "CopyFile failed: @\\install\\filelink.txt  err=681",
          "CopyFile failed: @\\install\\sub\\inner  err=681",
          "FindFirstFile failed: @\\staging\\locked  err=5"},
         s);
  // Links in the install root are replaced as names, or left when they have a leftover's name;
  // what they lead to keeps its content.
  const std::string record = RecordOf(s + L"\\install\\app", s + L"\\install\\app\\Kestrava.exe");
  EXPECT_EQ(Record(s + L"\\install\\app"), record);  // before the snapshot: it waits
  EXPECT_EQ(Snapshot(s + L"\\install"),
            (Lines{"app\\", "app\\Kestrava.exe=" + test::Shown(ReadText(StandIn())),
                   "app\\restart-record.txt=" + record, "bin->",
                   "hard.txt=new hard\n", "link.txt=new link\n", "locked\\", "new.txt=new\n",
                   "sub\\", "sub\\a.txt=a\n", FileLink("~OrvoUpdater-partial-9.tmp", "secret\n")}));
  EXPECT_EQ(Snapshot(s + L"\\canary"), kCanary);
  EXPECT_TRUE(Exists(s + L"\\canary-empty"));
  // What is neither a link, nor holds one, nor cannot be read, is cleared.
  for (const wchar_t* cleared : {L"new.txt", L"link.txt", L"hard.txt", L"bin", L"sub\\a.txt"}) {
    EXPECT_FALSE(Exists(s + L"\\staging\\" + cleared)) << U8(cleared);
  }
  EXPECT_TRUE(Exists(s + L"\\staging\\locked"));
}

// A link is all in the tree that cannot be copied: reported, and so the partial-copy notice.
TEST_F(UpdaterFixtureTest, ReportsALinkAlone) {
  if (UpdateAroundALink().empty()) GTEST_SKIP() << why_;
}

// Where the system opens a link as itself, the clean-up removes it as a link, and what it leads to
// stays.
TEST_F(UpdaterFixtureTest, RemovesALinkAsALink) {
  if (test::OnWine()) GTEST_SKIP() << "Windows only: Wine opens a link as what it leads to";
  const std::wstring s = UpdateAroundALink();
  if (s.empty()) GTEST_SKIP() << why_;
  EXPECT_FALSE(Exists(s + L"\\staging"));
}

// A link on the way to the staging directory, a staging directory that is a link, one that leads
// to the install root, an install root that leads to it.
TEST_F(UpdaterFixtureTest, RefusesAStagingDirectoryReachedThroughALink) {
  const std::wstring l = Fixture(L"refuse");
  if (l.empty()) GTEST_SKIP() << why_;
  MakeInstallAndStaging();
  const std::wstring pid = Running();
  const std::string link = "staging directory reached through a link: ";
  ExpectRefusals(
      {
          {{L"--pid", pid, L"--install-root", root_, L"--staging-dir", l + L"\\via\\stg"},
           {link + "@\\via\\stg"}},
          {{L"--pid", pid, L"--install-root", root_, L"--staging-dir", l + L"\\stglink"},
           {link + "@\\stglink"}},
          {{L"--pid", pid, L"--install-root", l + L"\\install", L"--staging-dir", l + L"\\tolink"},
           {link + "@\\tolink"}},
          {{L"--pid", pid, L"--install-root", l + L"\\rootlink", L"--staging-dir", l + L"\\install"},
           {kNotItsOwn + "@\\install"}},
      },
      l, l);
}

TEST_F(UpdaterFixtureTest, AcceptsAnInstallRootReachedThroughALink) {
  const std::wstring s = Fixture(L"root-link");
  if (s.empty()) GTEST_SKIP() << why_;
  PutStandIn(s + L"\\real\\bin\\64bit\\Kestrava.exe");
  Expect(Update(s + L"\\rootlink", s + L"\\rootlink\\staging"), 0, {}, {});
  EXPECT_EQ(ReadText(s + L"\\real\\new.txt"), "new\n");
  EXPECT_FALSE(Exists(s + L"\\real\\staging"));
  Record(s + L"\\real\\bin\\64bit");
}

// The maker of the trees that the tests use on Windows, as far as this system goes: what it makes is
// what was asked for, and it says what it cannot make.
TEST_F(UpdaterFixtureTest, MakesItsTreesAsFarAsThisSystemCan) {
  std::string missing;
  for (const wchar_t* scenario : {L"links", L"only-link", L"refuse", L"root-link"}) {
    missing += test::MakeFixture(scenario, Path(L"made"));
  }
  std::printf("could not make here: %s\n", missing.empty() ? "nothing" : missing.c_str());
  if (!test::OnWine()) {
    EXPECT_EQ(missing, "");
  }
  // Folders, files and hard links every system makes; a hard link is another name of the data.
  for (const char* kind : {"dir ", "file ", "hardlink "}) EXPECT_EQ(missing.find(kind), std::string::npos);
  const std::wstring made = Path(L"made");
  EXPECT_EQ(Snapshot(made + L"\\refuse\\install"), Lines{"keep.txt=keep\n"});
  WriteText(made + L"\\links\\canary\\secret.txt", "changed");
  EXPECT_EQ(ReadText(made + L"\\links\\install\\hard.txt"), "changed");
}


// Kestrava's side (caller/): what it refuses before anything starts, a declined prompt, and the
// values it hands over, as the real updater receives them.
using caller::Outcome;
using caller::Refusal;

using CallerTest = UpdaterTest;

// A user who declines the consent prompt makes ShellExecuteExW fail with ERROR_CANCELLED. Wine
// starts a "runas" program without a prompt, so a stand-in for ShellExecuteExW plays each answer.
TEST_F(CallerTest, RefusesWhatTheUpdaterWouldAndTellsADeclineFromAFailure) {
  const std::wstring drive = dir_.substr(0, 2);
  const struct {
    std::wstring option, value;  // "updater": the program's path
    Outcome outcome;
    Refusal refusal;
    DWORD error = ERROR_SUCCESS;  // what the played ShellExecuteExW fails with
  } rows[] = {
      {L"--pid", L"0", Outcome::kRefused, Refusal::kNoProcessId},
      {L"updater", L"OrvoUpdater.exe", Outcome::kRefused, Refusal::kRelativePath},
      {L"--install-root", L"", Outcome::kRefused, Refusal::kMissingPath},
      {L"--install-root", L"\\Kestrava", Outcome::kRefused, Refusal::kRelativePath},
      {L"--install-root", drive + L"Kestrava", Outcome::kRefused, Refusal::kDriveRelativePath},
      {L"--staging-dir", drive, Outcome::kRefused, Refusal::kDriveRelativePath},
      {L"--staging-dir", L"\\\\?\\" + staging_ + L"\\..\\x", Outcome::kRefused, Refusal::kUnusablePath},
      {L"--staging-dir", Path(L"KESTRAVA\\"), Outcome::kRefused, Refusal::kNotItsOwnDirectory},
      {L"--staging-dir", dir_, Outcome::kRefused, Refusal::kNotItsOwnDirectory},
      {L"--staging-dir", drive + L"/", Outcome::kRefused, Refusal::kNotItsOwnDirectory},
      {L"--staging-dir", root_ + L"\\update", Outcome::kDeclined, Refusal::kNone, ERROR_CANCELLED},
      {L"--staging-dir", L"\\\\?\\" + staging_, Outcome::kNotStarted, Refusal::kNone, ERROR_FILE_NOT_FOUND},
      {L"--staging-dir", staging_, Outcome::kStarted, Refusal::kNone},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(U8(row.option + L" [" + row.value + L"]"));
    caller::UpdateRequest request = {Updater(), row.option == L"--pid" ? 0u : 7u, root_, staging_, {}, {}, {}};
    if (row.option == L"updater") request.updater = row.value;
    if (row.option == L"--install-root") request.install_root = row.value;
    if (row.option == L"--staging-dir") request.staging_dir = row.value;
    bool executed = false;
    const caller::StartResult result = caller::StartUpdater(request, [&](SHELLEXECUTEINFOW* info) {
      executed = true;
      EXPECT_EQ(std::wstring(info->lpVerb), L"runas") << "else Windows refuses it with 740";
      SetLastError(row.error);
      return row.error == ERROR_SUCCESS ? TRUE : FALSE;
    });
    EXPECT_EQ(result.outcome, row.outcome);
    EXPECT_EQ(result.refusal, row.refusal);
    EXPECT_EQ(U8(result.refused), row.refusal == Refusal::kNone ? "" : U8(row.option));
    EXPECT_EQ(result.error, row.error);
    EXPECT_EQ(executed, row.refusal == Refusal::kNone) << "refused before anything starts";
  }
}

// Hostile but legal values, through the library into the real updater (run as its debugger in
// place of ShellExecuteExW), which shows them in the restart record or in a log line.
TEST_F(CallerTest, HandsEachValueToTheUpdaterExactly) {
  const std::wstring beta = Path(L"Kestrava Beta"), cjk = Path(L"凯斯特拉瓦 安装"), plain = Path(L"Kestrava");
  // Paths of 259 and 300 characters, mostly blanks, that do not exist.
  const auto of_length = [&](size_t n) { return dir_ + L"\\k" + std::wstring(n - dir_.size() - 3, L' ') + L"k"; };
  const struct {
    std::wstring root, staging, subdir, exe;
    DWORD exit_code;
    std::wstring at;       // where the stand-in lies, if it does
    std::wstring started;  // ... the path the updater starts it by, or the path it logs
  } rows[] = {
      {beta + L"\\", beta + L" update", L"", L"", 0, beta + L"\\bin\\64bit",
       beta + L"\\bin/64bit\\Kestrava.exe"},
      {cjk, Path(L"更新 暂存\\"), L"程序 文件\\", L"凯斯特拉瓦 2.exe", 0, cjk + L"\\程序 文件",
       cjk + L"\\程序 文件\\\\凯斯特拉瓦 2.exe"},
      {plain + L"\\", Path(L"--pid"), L"--pid", L"--restart \"1\" \\", 3, L"",
       plain + L"\\--pid\\--restart \"1\" \\"},
      {of_length(259), staging_, L"", L"", 1, L"", of_length(259)},
      {of_length(300) + L"\\", staging_, L"", L"", 1, L"", of_length(300)},
  };
  const std::vector<std::wstring> notices[] = {{}, {kUsage}, {}, {kRestart}};
  for (const auto& row : rows) {
    SCOPED_TRACE("[" + U8(row.root) + "] [" + U8(row.subdir) + "] [" + U8(row.exe) + "]");
    const std::wstring resolved = fsops::TrimSeparators(row.root);
    if (row.exit_code != 1) WriteText(fsops::Join(row.staging, L"new.txt"), "new");
    if (row.exit_code != 1) harness::MakeDirectories(resolved);
    if (!row.at.empty()) PutStandIn(row.at + L"\\" + (row.exe.empty() ? L"Kestrava.exe" : row.exe));
    UpdaterRun r;
    EXPECT_EQ(caller::StartUpdater({Updater(), kestrava_.Gone(), row.root, row.staging, row.subdir,
                                    row.exe, {}}, harness::AsDebugger(&r)).outcome, Outcome::kStarted);
    const std::string logged = row.exit_code == 3 ? "CreateProcess failed: @  err=?"
                                                  : "install root cannot be opened: @  err=?";
    Expect(r, row.exit_code, notices[row.exit_code], row.exit_code ? Lines{logged} : Lines{}, row.started);
    if (!row.at.empty()) {
      const std::string record = Record(row.at);
      EXPECT_NE(record.find("\ncmdline=\"" + U8(row.started) + "\"\n"), std::string::npos) << record;
    }
    EXPECT_EQ(ReadText(resolved + L"\\new.txt"), row.exit_code == 1 ? "<missing>" : "new") << "staged";
  }
}

// The real ShellExecuteExW, as Kestrava calls it: the stand-in starts the updater through the
// library with its own process id and exits; the updater waits for it, updates, restarts it.
// Wine starts a "runas" program at once, with the caller's rights: no prompt, no elevation.
TEST_F(CallerTest, StartsTheUpdaterThroughTheShell) {
  root_ = Path(L"Kestrava 应用");
  MakeInstallAndStaging();
  kestrava_.Start(L"--update " + caller::QuoteArgument(Updater()) + L" --root " +
                  caller::QuoteArgument(root_ + L"\\") + L" --staging " + caller::QuoteArgument(staging_));
  EXPECT_EQ(Record(root_ + L"\\bin\\64bit"), RecordOf(root_ + L"\\bin\\64bit", root_ + L"\\bin/64bit\\Kestrava.exe"));
  EXPECT_EQ(ReadText(root_ + L"\\readme.txt"), "readme 2");
}

}  // namespace
}  // namespace orvo
