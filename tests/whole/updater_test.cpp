// The real OrvoUpdater.exe, driven as Kestrava and its user meet it: started with a command line,
// watched as its debugger, its message boxes answered, the stand-in application restarted.

#include <windows.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "tests/support/test_files.h"
#include "tools/harness/debug_session.h"
#include "tools/harness/notice_watcher.h"
#include "tools/harness/processes.h"

namespace orvo {
namespace {

using Args = std::vector<std::wstring>;
using test::Exists;
using test::Lines;
using test::ReadText;
using test::Snapshot;
using test::WriteText;

std::string U8(const std::wstring& text) { return harness::ToUtf8(text); }

const std::wstring kUsage = L"参数无效。用法：OrvoUpdater.exe --pid <pid> --install-root <path> "
                            L"--staging-dir <path> --exe-subdir <subdir> --restart <exe>";
const std::wstring kTimeout = L"等待主程序退出超时，更新中止。";
const std::wstring kPartial =
    L"部分文件覆盖失败，请关闭所有 Kestrava 进程后重试，或手动从官网下载。";
const std::wstring kRestart = L"更新已完成，但自动重启失败，请手动启动 Kestrava。";
const Lines kCanary = {"secret.txt=secret\n", "sub\\", "sub\\deep.txt=deep\n"};

struct UpdaterRun {
  harness::DebugRun run;
  std::vector<harness::SeenNotice> notices;
  ULONGLONG milliseconds = 0;
};

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
    StopProcesses();
    test::FileTest::TearDown();
  }
  void StopProcesses() {
    for (const HANDLE process : processes_) {
      TerminateProcess(process, 0);
      WaitForSingleObject(process, 5000);
      CloseHandle(process);
    }
    processes_.clear();
  }

  std::wstring StandIn() const { return test::BinDirectory() + L"\\kestrava_standin.exe"; }
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
  // What the restarted stand-in wrote beside itself: how it was started, as "key=value" lines.
  static std::string Record(const std::wstring& directory) {
    const std::wstring path = directory + L"\\restart-record.txt";
    EXPECT_TRUE(test::WaitForFile(path)) << "not restarted: " << U8(path);
    return ReadText(path);
  }

  DWORD StartApplication(const std::wstring& arguments) {
    DWORD id = 0;
    const HANDLE process =
        harness::StartProcess(harness::QuoteArgument(StandIn()) + L" " + arguments, &id);
    EXPECT_NE(process, nullptr);
    if (process) processes_.push_back(process);
    return id;
  }
  bool StillRunning(size_t index) const {
    return WaitForSingleObject(processes_[index], 0) == WAIT_TIMEOUT;
  }
  // Holds `path` open without sharing from another process, as a running program would, until the
  // test ends; returns once it does (a loaded machine may take many seconds to start a process).
  HANDLE HoldFile(const std::wstring& path) {
    const HANDLE holder = harness::StartHolder(StandIn(), path, 600000, 60000);
    EXPECT_NE(holder, nullptr) << "never held: " << U8(path);
    if (holder) processes_.push_back(holder);
    return holder;
  }
  // The id of a process that has exited. Its handle stays open, so that the id is not handed to
  // another process in the meantime (Wine reuses ids at once).
  std::wstring GoneProcessId() {
    const DWORD id = StartApplication(L"--sleep 0");
    EXPECT_EQ(WaitForSingleObject(processes_.back(), 30000), WAIT_OBJECT_0);
    return std::to_wstring(id);
  }
  UpdaterRun Run(const Args& arguments, harness::DebugHooks hooks = {}) {
    std::wstring command = harness::QuoteArgument(test::BinDirectory() + L"\\OrvoUpdater.exe");
    for (const auto& argument : arguments) command += L" " + harness::QuoteArgument(argument);
    harness::NoticeWatcher watcher;
    UpdaterRun result;
    const ULONGLONG started = GetTickCount64();
    const auto on_start = hooks.on_start;
    hooks.on_start = [&](DWORD pid) {
      if (on_start) on_start(pid);
      watcher.Start(pid);
    };
    result.run = harness::RunUnderDebugger(command, 100000, hooks);
    result.milliseconds = GetTickCount64() - started;
    watcher.Stop();
    result.notices = watcher.Seen();
    return result;
  }
  // An update after the application has exited.
  UpdaterRun Update(const std::wstring& root, const std::wstring& staging, Args more = {},
                    const harness::DebugHooks& hooks = {}) {
    Args arguments = {L"--pid", GoneProcessId(), L"--install-root", root, L"--staging-dir", staging};
    arguments.insert(arguments.end(), more.begin(), more.end());
    return Run(arguments, hooks);
  }
  // Runs the rows, each of which must be refused with the usage notice before the application is
  // waited for, and with nothing touched in the two trees or in `also`.
  void ExpectRefusals(const std::vector<std::pair<Args, Lines>>& rows, const std::wstring& at,
                      const std::wstring& also = L"") {
    const Lines root_before = Snapshot(root_), staging_before = Snapshot(staging_);
    const Lines also_before = also.empty() ? Lines{} : Snapshot(also);
    for (const auto& [arguments, logged] : rows) {
      std::string described;
      for (const auto& argument : arguments) described += " [" + U8(argument) + "]";
      SCOPED_TRACE("arguments:" + described);
      Expect(Run(arguments), 1, {kUsage}, logged, at);
      EXPECT_TRUE(StillRunning(0)) << "the application was waited for";
    }
    EXPECT_EQ(Snapshot(root_), root_before);
    EXPECT_EQ(Snapshot(staging_), staging_before);
    if (!also.empty()) EXPECT_EQ(Snapshot(also), also_before);
  }

  std::wstring root_;
  std::wstring staging_;
  std::vector<HANDLE> processes_;
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
  Expect(Update(root_, staging_, {}, inside), 0, {}, {});
  const std::wstring bin = root_ + L"\\bin\\64bit";
  const std::string record = "exe=" + U8(bin) + "\\Kestrava.exe\ncwd=" + U8(bin) + "\ncmdline=\"" +
                             U8(root_) + "\\bin/64bit\\Kestrava.exe\"\nflags=1\nshow=1\n";
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
  const HANDLE application = HoldFile(root_ + L"\\bin\\64bit\\data.pak");
  // Someone holds the staging directory without letting it be deleted: it is emptied, and stays.
  const HANDLE held = CreateFileW(staging_.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                  nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  // The application exits a second after the updater has come to its wait.
  ULONGLONG exited = 0, changed = 0;
  std::thread ending;
  harness::DebugHooks hooks;
  hooks.waited_process = GetProcessId(application);
  hooks.on_wait = [&] {
    ending = std::thread([&] {
      const HANDLE change = FindFirstChangeNotificationW(root_.c_str(), TRUE, FILE_NOTIFY_CHANGE_FILE_NAME);
      Sleep(1000);
      TerminateProcess(application, 0);
      WaitForSingleObject(application, INFINITE);
      exited = GetTickCount64();
      if (WaitForSingleObject(change, 30000) == WAIT_OBJECT_0) changed = GetTickCount64();
      FindCloseChangeNotification(change);
    });
  };
  Expect(Run({L"--pid", std::to_wstring(hooks.waited_process), L"--install-root", root_,
              L"--staging-dir", staging_}, hooks),
         0, {}, {});
  ASSERT_TRUE(ending.joinable()) << "the updater never came to its wait";
  ending.join();
  EXPECT_EQ(ReadText(root_ + L"\\bin\\64bit\\data.pak"), "data 2");
  ASSERT_NE(changed, 0u) << "the install root never changed";
  EXPECT_GE(changed - exited, 450u) << "no pause after the application exited";
  EXPECT_LT(changed - exited, 10000u) << "the update did not go on once the application exited";
  Record(root_ + L"\\bin\\64bit");
  CloseHandle(held);
  EXPECT_TRUE(RemoveDirectoryW(staging_.c_str())) << "not left, or not emptied";
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
  const std::wstring pid = std::to_wstring(StartApplication(L"--sleep 600000"));
  DWORD refused = ERROR_SUCCESS;
  harness::DebugHooks hooks;
  hooks.waited_process = std::stoul(pid);
  hooks.on_wait = [&] {
    if (MoveFileW(Path(L"apps").c_str(), Path(L"moved").c_str())) {
      PutStandIn(root_ + L"\\bin\\64bit\\Kestrava.exe");  // the restart goes by the path
    } else {
      refused = GetLastError();
    }
    StopProcesses();
  };
  const UpdaterRun r =
      Run({L"--pid", pid, L"--install-root", root_, L"--staging-dir", staging_}, hooks);
  EXPECT_EQ(r.run.exit_code, 0u);
  if (refused != ERROR_SUCCESS) {
    EXPECT_TRUE(refused == ERROR_ACCESS_DENIED || refused == ERROR_SHARING_VIOLATION) << refused;
    EXPECT_EQ(ReadText(root_ + L"\\readme.txt"), "readme 2");
  } else {
    EXPECT_EQ(Snapshot(root_),
              (Lines{"bin\\", "bin\\64bit\\", "bin\\64bit\\Kestrava.exe=" + test::Shown(ReadText(StandIn())),
                     "bin\\64bit\\restart-record.txt=" + Record(root_ + L"\\bin\\64bit")}));
  }
}

TEST_F(UpdaterTest, GivesUpAfterSixtySeconds) {
  MakeInstallAndStaging();
  const Lines root_before = Snapshot(root_), staging_before = Snapshot(staging_);
  const std::wstring pid = std::to_wstring(StartApplication(L"--sleep 600000"));
  const UpdaterRun r = Run({L"--pid", pid, L"--install-root", root_, L"--staging-dir", staging_});
  Expect(r, 2, {kTimeout}, {});
  EXPECT_GE(r.milliseconds, 60000u) << "the wait did not last its 60 seconds";
  EXPECT_LT(r.milliseconds, 70000u) << "the wait lasted beyond its 60 seconds";
  EXPECT_TRUE(StillRunning(0));
  EXPECT_EQ(Snapshot(root_), root_before);
  EXPECT_EQ(Snapshot(staging_), staging_before);
}

// Options that could have the clean-up delete the installation, or that name what the updater
// cannot reach, are refused before anything is waited for or touched: an update there would fail
// file by file and then clear the staged files away. A drive letter that the prefix does not have
// stands in for one that the elevated updater does not see (a user's mapped drive or subst).
TEST_F(UpdaterTest, RefusesUnusableOptionsAndTouchesNothing) {
  MakeInstallAndStaging();
  const std::wstring pid = std::to_wstring(StartApplication(L"--sleep 600000"));
  const std::wstring missing = Path(L"missing");
  ExpectRefusals(
      {
          {{}, {}},
          {{L"--pid", L"0", L"--install-root", root_, L"--staging-dir", staging_}, {}},
          {{L"--pid", L"abc", L"--install-root", root_, L"--staging-dir", staging_}, {}},
          {{L"--PID", pid, L"--install-root", root_, L"--staging-dir", staging_}, {}},
          {{L"--pid=" + pid, L"--install-root", root_, L"--staging-dir", staging_}, {}},
          {{L"--pid", pid, L"--install-root", root_}, {}},
          {{L"--pid", pid, L"--staging-dir", staging_, L"--install-root"}, {}},
          {{L"--pid", pid, L"--install-root", root_, L"--staging-dir", root_ + L"\\"}, {}},
          {{L"--pid", pid, L"--install-root", root_, L"--staging-dir", dir_}, {}},
          {{L"--pid", pid, L"--install-root", missing, L"--staging-dir", staging_},
           {"install root cannot be opened: " + U8(missing) + "  err=2"}},
          {{L"--pid", pid, L"--install-root", L"Q:\\Kestrava", L"--staging-dir", staging_},
           {"install root cannot be opened: Q:\\Kestrava  err=?"}},
          {{L"--pid", pid, L"--install-root", root_, L"--staging-dir", L"Q:\\Kestrava-update"},
           {"volume of the staging directory cannot be opened: Q:\\  err=3"}},
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
  const std::wstring pid = std::to_wstring(StartApplication(L"--sleep 600000"));
  const std::wstring drive = root_.substr(0, 2);
  std::vector<std::pair<Args, Lines>> rows;
  for (const std::wstring& staging :
       {drive + L"\\", drive, drive + L"x", L"\\\\?\\" + drive, L"\\\\.\\" + drive}) {
    rows.push_back({{L"--pid", pid, L"--install-root", root_, L"--staging-dir", staging}, {}});
  }
  wchar_t saved[MAX_PATH] = {};
  GetCurrentDirectoryW(MAX_PATH, saved);
  SetCurrentDirectoryW((root_ + L"\\bin\\64bit").c_str());
  ExpectRefusals(rows, L"");
  SetCurrentDirectoryW(saved);
}

TEST_F(UpdaterTest, ReportsAFileThatIsHeldAndCarriesOn) {
  const std::wstring locked = root_ + L"\\bin\\64bit\\data.pak";
  // The paths as given, and spelt otherwise: every step uses the one resolved path.
  for (const auto& [root, staging] : {std::pair{root_, staging_},
                                      {root_ + L"\\bin\\..\\.", L"\\\\?\\" + staging_ + L"\\"}}) {
    SCOPED_TRACE(U8(root) + " | " + U8(staging));
    MakeInstallAndStaging();
    HoldFile(locked);  // another Kestrava process, not the one waited for
    Expect(Update(root, staging), 0, {kPartial}, {"CopyFile failed: " + U8(locked) + "  err=32"});
    EXPECT_FALSE(Exists(staging_)) << "the staging directory is cleared all the same";
    EXPECT_EQ(ReadText(root_ + L"\\readme.txt"), "readme 2");
    EXPECT_NE(Record(root_ + L"\\bin\\64bit").find("cmdline=\"" + U8(root_) + "\\bin/64bit"),
              std::string::npos);
    StopProcesses();
    test::RemoveTree(root_);
  }
}

TEST_F(UpdaterTest, ReportsWhatItCannotCopyOrClear) {
  MakeInstallAndStaging();
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
  // A read-only directory where a file is staged: both attempts fail, and the bit goes (on
  // Windows; Wine keeps no read-only bit on a directory).
  WriteText(staging_ + L"\\in the way", "file");
  CreateDirectoryW((root_ + L"\\in the way").c_str(), nullptr);
  SetFileAttributesW((root_ + L"\\in the way").c_str(), FILE_ATTRIBUTE_READONLY);
  Expect(Run({L"--pid", GoneProcessId(), L"--install-root", root_, L"--staging-dir", staging_},
             take_name),
         0, {kPartial},
         {"CopyFile failed: @\\held.dll  err=32", "CopyFile failed: @\\writing.dll  err=32",
          "CopyFile failed: @\\tmp\\new.txt  err=183",
          "CopyFile failed: @\\in the way  err=?"},
         root_);
  CloseHandle(temporary);
  CloseHandle(writer);
  CloseHandle(plugins);
  StopProcesses();
  EXPECT_EQ(ReadText(Path(L"outside.txt")), "outside");
  EXPECT_EQ(ReadText(root_ + L"\\plugins\\p.dll"), "plugin");
  EXPECT_EQ(GetFileAttributesW((root_ + L"\\in the way").c_str()), FILE_ATTRIBUTE_DIRECTORY);
  EXPECT_EQ(ReadText(root_ + L"\\readme.txt"), "readme 2");
  EXPECT_EQ(Snapshot(staging_), (Lines{"held.dll=held", "plugins\\"}));
  Record(root_ + L"\\bin\\64bit");
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
      const std::string record = Record(root_);
      EXPECT_EQ(record.substr(0, record.find("\nflags")),
                "exe=" + U8(root_) + "\\Kestrava 2.exe\ncwd=" + U8(root_) + "\ncmdline=\"" +
                    U8(root_) + "\\\\Kestrava 2.exe\"");
    } else {
      Expect(r, 3, {kRestart}, {"CreateProcess failed: @" + c.logged}, root_);
    }
    EXPECT_EQ(ReadText(root_ + L"\\readme.txt"), "readme 2") << "copied before the restart";
    EXPECT_FALSE(Exists(staging_)) << "cleared before the restart";
    test::RemoveTree(root_);
  }
}

// Trees prepared on the host: links, an unreadable directory, a tree deeper than the walk goes.
class UpdaterFixtureTest : public UpdaterTest {
 protected:
  void SetUp() override {
    UpdaterTest::SetUp();
    if (test::LinkFixture(L"").empty()) GTEST_SKIP() << "no host fixtures (ORVO_LINK_FIXTURES)";
  }
};

TEST_F(UpdaterFixtureTest, NeverFollowsALink) {
  const std::wstring s = test::LinkFixture(L"links");
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
  EXPECT_EQ(Snapshot(s + L"\\install"),
            (Lines{"app\\", "app\\Kestrava.exe=" + test::Shown(ReadText(StandIn())),
                   "app\\restart-record.txt=" + Record(s + L"\\install\\app"), "bin->",
                   "hard.txt=new hard\n", "link.txt=new link\n", "locked\\", "new.txt=new\n",
                   "sub\\", "sub\\a.txt=a\n", "~OrvoUpdater-partial-9.tmp=secret\n"}));
  EXPECT_EQ(Snapshot(s + L"\\canary"), kCanary);
  EXPECT_TRUE(Exists(s + L"\\canary-empty"));
  // What Wine cannot remove as a link stays, with the directories that hold it; nothing else.
  EXPECT_EQ(Snapshot(s + L"\\staging"), (Lines{"dirlink->", "emptylink->", "filelink.txt=secret\n",
                                               "locked\\", "sub\\", "sub\\inner->"}));
}

TEST_F(UpdaterFixtureTest, ReportsALinkAlone) {
  const std::wstring s = test::LinkFixture(L"only-link");
  PutStandIn(s + L"\\install\\bin\\64bit\\Kestrava.exe");
  Expect(Update(s + L"\\install", s + L"\\staging"), 0, {kPartial},
         {"CopyFile failed: @\\install\\dirlink  err=681"}, s);
  Record(s + L"\\install\\bin\\64bit");
  EXPECT_EQ(ReadText(s + L"\\install\\new.txt"), "new\n");
  EXPECT_EQ(Snapshot(s + L"\\canary"), kCanary);
}

// A link on the way to the staging directory, a staging directory that is a link, one that leads
// to the install root, an install root that leads to it.
TEST_F(UpdaterFixtureTest, RefusesAStagingDirectoryReachedThroughALink) {
  MakeInstallAndStaging();
  const std::wstring pid = std::to_wstring(StartApplication(L"--sleep 600000"));
  const std::wstring l = test::LinkFixture(L"refuse");
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
           {}},
      },
      l, l);
}

TEST_F(UpdaterFixtureTest, AcceptsAnInstallRootReachedThroughALink) {
  const std::wstring s = test::LinkFixture(L"root-link");
  PutStandIn(s + L"\\real\\bin\\64bit\\Kestrava.exe");
  Expect(Update(s + L"\\rootlink", s + L"\\rootlink\\staging"), 0, {}, {});
  EXPECT_EQ(ReadText(s + L"\\real\\new.txt"), "new\n");
  EXPECT_FALSE(Exists(s + L"\\real\\staging"));
  Record(s + L"\\real\\bin\\64bit");
}

}  // namespace
}  // namespace orvo
