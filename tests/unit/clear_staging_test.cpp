#include "fsops/clear_staging.h"

#include <windows.h>

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/support/probe.h"
#include "tests/support/test_files.h"

namespace orvo::fsops {
namespace {

using test::Exists;
using test::Snapshot;
using test::WriteText;
using Lines = std::vector<std::string>;

const Lines kCanary = {"secret.txt=secret\n", "sub\\", "sub\\deep.txt=deep\n"};

// Clears in a probe process; the clean-up never says anything, so every debug write is a fault.
void Clear(const std::wstring& staging) {
  const harness::DebugRun run = test::RunProbe({L"clear", staging});
  EXPECT_TRUE(run.finished);
  EXPECT_EQ(run.writes, Lines{});
}

// The shell's Recycle Bin: on Wine, the XDG trash; empty where it cannot be found.
std::wstring TrashFiles() {
  wchar_t data_home[MAX_PATH] = {};
  if (!GetEnvironmentVariableW(L"XDG_DATA_HOME", data_home, MAX_PATH)) return std::wstring();
  std::wstring path = std::wstring(L"Z:") + data_home + L"/Trash/files";
  for (auto& c : path) c = c == L'/' ? L'\\' : c;
  return path;
}

using ClearStagingTest = test::FileTest;

TEST_F(ClearStagingTest, DeletesEverythingForGood) {
  const std::wstring staging = Path(L"staging");
  const std::wstring unique = std::to_wstring(GetCurrentProcessId()) + L"-" +
                              std::to_wstring(GetTickCount64());
  const std::wstring subdir = L"plugins-" + unique;
  WriteText(staging + L"\\top-" + unique + L".txt", "top");
  WriteText(staging + L"\\readonly.txt", "ro");
  SetFileAttributesW((staging + L"\\readonly.txt").c_str(), FILE_ATTRIBUTE_READONLY);
  WriteText(staging + L"\\" + subdir + L"\\deep\\inner.dll", "inner");
  WriteText(staging + L"\\" + subdir + L"\\ro.dll", "ro");
  SetFileAttributesW((staging + L"\\" + subdir + L"\\ro.dll").c_str(), FILE_ATTRIBUTE_READONLY);
  WriteText(staging + L"\\更新 数据\\a.txt", "a");

  Clear(staging);
  EXPECT_FALSE(Exists(staging));
  EXPECT_EQ(Snapshot(dir_), Lines{});
  // The Recycle Bin would be a move of user-controlled files by an elevated process: nothing
  // goes there.
  const std::wstring trash = TrashFiles();
  if (trash.empty()) return;
  EXPECT_FALSE(Exists(trash + L"\\" + subdir)) << "a subdirectory went to the Recycle Bin";
}

TEST_F(ClearStagingTest, LeavesALockedFileAndTheDirectoryQuietly) {
  const std::wstring staging = Path(L"staging");
  WriteText(staging + L"\\locked.dll", "locked");
  WriteText(staging + L"\\other.txt", "other");
  WriteText(staging + L"\\sub\\x.txt", "x");
  const HANDLE held = CreateFileW((staging + L"\\locked.dll").c_str(), GENERIC_READ, 0, nullptr,
                                  OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  ASSERT_NE(held, INVALID_HANDLE_VALUE);
  Clear(staging);
  CloseHandle(held);
  EXPECT_EQ(Snapshot(staging), Lines{"locked.dll=locked"});
}

TEST_F(ClearStagingTest, MissingDirectoryIsNothingToDo) {
  Clear(Path(L"missing"));
  EXPECT_FALSE(Exists(Path(L"missing")));
  EXPECT_EQ(Snapshot(dir_), Lines{});
}

class ClearStagingLinkTest : public test::FileTest {
 protected:
  void SetUp() override {
    test::FileTest::SetUp();
    if (test::LinkFixture(L"").empty()) GTEST_SKIP() << "no host fixtures (ORVO_LINK_FIXTURES)";
  }
};

// True when the entry is a link, or a directory that still holds one: what may stay behind.
bool HoldsLink(const std::wstring& path) {
  const DWORD attributes = GetFileAttributesW(path.c_str());
  if (attributes & FILE_ATTRIBUTE_REPARSE_POINT) return true;
  if (!(attributes & FILE_ATTRIBUTE_DIRECTORY)) return false;
  for (const auto& entry : Snapshot(path)) {
    if (entry.size() > 2 && entry.compare(entry.size() - 2, 2, "->") == 0) return true;
  }
  return false;
}

TEST_F(ClearStagingLinkTest, NeverTouchesWhatALinkPointsTo) {
  const std::wstring s = test::LinkFixture(L"clear-links");
  Clear(s + L"\\staging");
  EXPECT_EQ(Snapshot(s + L"\\canary"), kCanary);
  EXPECT_TRUE(test::IsDirectory(s + L"\\canary-empty"));
  EXPECT_FALSE(Exists(s + L"\\staging\\top.txt"));
  EXPECT_FALSE(Exists(s + L"\\staging\\plain"));
  // Where the platform cannot remove a link as a link, the link, and the directories holding it,
  // stay; nothing else does.
  for (const wchar_t* name : {L"dirlink", L"emptylink", L"sub"}) {
    const std::wstring path = s + L"\\staging\\" + name;
    EXPECT_TRUE(!Exists(path) || HoldsLink(path)) << harness::ToUtf8(path);
  }
  const std::wstring trash = TrashFiles();
  if (!trash.empty()) {
    for (const auto& entry : Snapshot(trash)) {
      EXPECT_EQ(entry.find("secret"), std::string::npos) << "the canary went to the trash: " << entry;
    }
  }
}

TEST_F(ClearStagingLinkTest, AStagingDirectoryThatIsALinkLeavesItsTargetAlone) {
  const std::wstring s = test::LinkFixture(L"clear-root-link");
  Clear(s + L"\\staging");
  Clear(s + L"\\staging-empty");
  EXPECT_EQ(Snapshot(s + L"\\canary"), kCanary);
  EXPECT_TRUE(test::IsDirectory(s + L"\\canary-empty"));
}

}  // namespace
}  // namespace orvo::fsops
