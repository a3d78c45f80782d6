#include "app/update_directories.h"

#include <windows.h>

#include <gtest/gtest.h>

#include <string>

#include "tests/support/fixtures.h"
#include "fsops/paths.h"
#include "tests/support/test_files.h"
#include "tools/harness/debug_session.h"
#include "tools/harness/text_io.h"

namespace orvo::app {
namespace {

std::string U8(const std::wstring& text) { return harness::ToUtf8(text); }

class UpdateDirectoriesTest : public test::FileTest {
 protected:
  void SetUp() override {
    test::FileTest::SetUp();
    for (const wchar_t* dir : {L"Kestrava Application", L"Kestrava Application\\staging",
                               L"Kestrava Application2", L"Stage", L"Staging Area"}) {
      ASSERT_TRUE(CreateDirectoryW(Path(dir).c_str(), nullptr));
    }
  }
  static std::wstring Slashed(std::wstring path) {
    for (auto& c : path) c = c == L'\\' ? L'/' : c;
    return path;
  }
};

TEST_F(UpdateDirectoriesTest, AcceptsOnlyAStagingDirectoryOfItsOwn) {
  const std::wstring root = Path(L"Kestrava Application"), stage = Path(L"Stage");
  // Without 8.3 names on this volume the short spellings are the long ones: the rows still hold,
  // but test nothing of their own, which the end of the test reports as a skip.
  wchar_t short_root[MAX_PATH] = {};
  ASSERT_NE(GetShortPathNameW(root.c_str(), short_root, MAX_PATH), 0u);
  const bool short_names = std::wstring(short_root) != root;
  wchar_t short_stage[MAX_PATH] = {};
  GetShortPathNameW(Path(L"Staging Area").c_str(), short_stage, MAX_PATH);
  std::wstring upper = root;
  CharUpperW(upper.data());
  const std::wstring volume = dir_.substr(0, 3), drive = dir_.substr(0, 2);  // "C:\", "C:"
  std::wstring deep = stage;
  while (deep.size() < 30000) deep += L"\\a";
  const std::wstring odd = stage + L"\\\xD800x\xDC00", root2 = Path(L"Kestrava Application2");
  // An existing staging directory longer than MAX_PATH, typed in another case than on disk.
  std::wstring long_stage = stage;
  while (long_stage.size() <= MAX_PATH) {
    long_stage += L"\\" + std::wstring(100, L'x');
    ASSERT_TRUE(CreateDirectoryW((L"\\\\?\\" + long_stage).c_str(), nullptr)) << GetLastError();
  }
  std::wstring long_typed = long_stage;
  CharUpperW(long_typed.data());
  // A drive letter and a share that nothing answers for, without a name to look up.
  const std::wstring unseen = test::UnseenDrive(), share = L"\\\\127.0.0.1\\orvo-no-share";
  ASSERT_FALSE(unseen.empty()) << "every drive letter is taken";
  const Refusal kOwn = Refusal::kNotItsOwnDirectory, kUnusable = Refusal::kUnusablePath;
  const struct {
    std::wstring staging;
    std::wstring install_root;
    Refusal refusal;
    std::wstring resolved_staging = L"", resolved_root = L"";  // when accepted
  } cases[] = {
      {stage, root, Refusal::kNone, stage, root},
      {root + L"\\staging", root, Refusal::kNone, root + L"\\staging", root},  // inside it
      {L"Kestrava Application\\staging\\", root, Refusal::kNone, root + L"\\staging", root},
      {root2, root, Refusal::kNone, root2, root},  // a longer name is another directory
      {root, root2, Refusal::kNone, root, root2},
      {L"not yet there", L"Stage\\..\\Kestrava Application\\", Refusal::kNone,
       Path(L"not yet there"), root},
      {short_stage, root, Refusal::kNone, short_stage, root},  // an 8.3 name is no link
      {deep, root, Refusal::kNone, deep, root},                // 30,000 characters
      {odd, root, Refusal::kNone, odd, root},                  // unpaired surrogates
      {long_typed, root, Refusal::kNone, long_typed, root},    // the case on disk found by the walk
      {L"a b\"c", root, Refusal::kNone, Path(L"a b\"c"), root},
      {L"\\\\?\\" + stage, L"\\\\?\\" + root, Refusal::kNone, stage, root},
      // The install root itself, however it is spelt (the spellings are resolved as below).
      {root, root, kOwn},
      {upper, root, kOwn},
      {root, upper, kOwn},
      {root + L"\\staging\\..", root, kOwn},
      {short_root, root, kOwn},
      {root, short_root, kOwn},
      {L"\\\\?\\" + root, root, kOwn},
      // Above it, or a volume or a share.
      {dir_, root, kOwn},
      {L"..\\" + dir_.substr(dir_.find_last_of(L'\\') + 1), root, kOwn},
      {volume, root, kOwn},
      {volume, unseen + L"\\elsewhere", kOwn},
      {drive + L"/", stage, kOwn},
      {share, root, kOwn},
      {share + L"\\", root, kOwn},
      // Nothing definite.
      {drive, stage, kUnusable},
      {L"\\\\?\\" + root + L"\\staging\\..", root, kUnusable},
      // A stream of the folder names the folder itself: "::$INDEX_ALLOCATION" is its index.
      {root + L"::$INDEX_ALLOCATION", root2, kUnusable},
      {L"\\\\?\\" + stage + L"::$INDEX_ALLOCATION", root, kUnusable},
      {stage, root + L":x", kUnusable},
      {L"", root, kUnusable},
      {stage, drive, kUnusable},  // the install root is held to the same rules
      {stage, L"", kUnusable},
      // What cannot be reached: an update there would fail file by file. A drive letter that the
      // prefix does not have stands in for one that the elevated updater does not see.
      {stage, Path(L"missing"), Refusal::kInstallRootUnreachable},
      {stage, Path(L"Stage\\missing\\x"), Refusal::kInstallRootUnreachable},
      {stage, unseen + L"\\Kestrava", Refusal::kInstallRootUnreachable},
      {unseen + L"\\Kestrava-update", root, Refusal::kVolumeUnreachable},
      {share + L"\\update", root, Refusal::kVolumeUnreachable},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE("staging [" + U8(c.staging) + "] install root [" + U8(c.install_root) + "]");
    SetCurrentDirectoryW(dir_.c_str());
    const UpdateDirectories directories = OpenUpdateDirectories(c.install_root, c.staging);
    EXPECT_EQ(static_cast<int>(directories.refusal), static_cast<int>(c.refusal));
    // Refused: nothing kept open. Accepted: the resolved paths, and handles of the directories
    // that exist. Once the paths are resolved, the process stands in the system directory.
    const bool accepted = c.refusal == Refusal::kNone;
    EXPECT_EQ(U8(directories.staging.path), U8(c.resolved_staging));
    EXPECT_EQ(U8(directories.install_root.path), U8(c.resolved_root));
    EXPECT_EQ(directories.install_root.opened.handle != nullptr, accepted);
    EXPECT_EQ(directories.staging.opened.handle != nullptr, accepted && harness::Exists(c.resolved_staging));
    wchar_t current[MAX_PATH] = {}, system[MAX_PATH] = {};
    GetCurrentDirectoryW(MAX_PATH, current);
    GetSystemDirectoryW(system, MAX_PATH);
    EXPECT_EQ(U8(current), U8(c.refusal == Refusal::kUnusablePath ? dir_ : system));
  }
  if (!short_names) GTEST_SKIP() << "the 8.3 rows: this volume gives no short names (fsutil 8dot3name)";
}

// One folder under two names that the system resolves by different routes (Wine: a drive letter
// that the prefix maps into a folder of another drive; Windows: the loopback share
// \\localhost\C$): the staging directory is told from the install root and the folders above it
// by what it is, not by how it is spelt.
TEST_F(UpdateDirectoriesTest, KnowsTheInstallRootUnderAnotherName) {
  std::string why;
  const std::wstring top = test::Fixture(L"alias", dir_, why) + L"\\top";
  const std::wstring root = top + L"\\Kestrava", stage = top + L"\\Stage";
  const std::wstring other_root = test::OtherSpelling(root, why);
  const std::wstring other_stage = test::OtherSpelling(stage, why);
  const std::wstring other_top = test::OtherSpelling(top, why);
  if (other_root.empty() || other_stage.empty() || other_top.empty()) GTEST_SKIP() << why;
  const struct {
    std::wstring staging, install_root;
    bool refused;
  } cases[] = {
      {other_stage, root, false},  // the other route itself is no link
      {other_root, root, true},
      {other_top, root, true},
      {root, other_root, true},
      {top, other_root, true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE("staging [" + U8(c.staging) + "] install root [" + U8(c.install_root) + "]");
    const UpdateDirectories directories = OpenUpdateDirectories(c.install_root, c.staging);
    EXPECT_EQ(directories.refusal != Refusal::kNone, c.refused);
    EXPECT_EQ(directories.staging.opened.handle != nullptr, !c.refused);
    // The identity check on its own, with the install root's path as it was spelt: where the
    // system names both routes alike (Wine), the paths alone would already tell.
    const fsops::Opened staging = fsops::OpenDirectoryPath(c.staging, fsops::Purpose::kListDirectory);
    const fsops::Opened install = fsops::OpenDirectoryPath(c.install_root, fsops::Purpose::kListDirectory);
    ASSERT_TRUE(staging && install);
    EXPECT_EQ(HoldsTheInstallRoot(staging.handle.get(), install.handle.get(), c.install_root), c.refused);
  }
}

TEST_F(UpdateDirectoriesTest, ResolvesEachSpellingToOnePath) {
  const std::wstring stage = Path(L"Stage");
  SetCurrentDirectoryW(dir_.c_str());
  const struct {
    std::wstring option;
    std::wstring resolved;  // empty: refused
  } cases[] = {
      {stage, stage},
      {stage + L"\\" + std::wstring(300, L'x'), stage + L"\\" + std::wstring(300, L'x')},
      {Slashed(stage) + L"/", stage},
      {stage + L"\\\\", stage},
      {L"Stage", stage},  // relative to the current directory
      {L".\\Stage\\..\\Stage", stage},
      {stage + L"..", stage},
      {stage + L" .", stage},
      {L"\\\\?\\" + stage, stage},
      {L"\\\\?\\" + stage + L"\\", stage},
      {L"\\\\?\\UNC\\server\\share\\x", L"\\\\server\\share\\x"},
      {dir_.substr(0, 3), dir_.substr(0, 3)},  // a volume root keeps its separator
      {L"", L""},
      {dir_.substr(0, 2), L""},
      {dir_.substr(0, 2) + L"Stage", L""},
      {L"\\\\?\\" + dir_.substr(0, 2), L""},
      {L"\\\\.\\" + dir_.substr(0, 2), L""},
      {L"\\\\?\\" + Slashed(stage), L""},
      {L"\\\\?\\" + stage + L"\\..\\Stage", L""},
      {L"\\\\?\\Volume{00000000-0000-0000-0000-000000000000}\\", L""},
      {L"\\??\\" + stage, L""},
      {L"\\\\?\\GLOBALROOT\\Device\\HarddiskVolume1", L""},
      {L"CON", L""},
      {L"NUL", L""},
      {L"COM1", L""},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(U8(fsops::ResolveDirectoryPath(c.option)), U8(c.resolved)) << "[" << U8(c.option) << "]";
  }
}

}  // namespace
}  // namespace orvo::app
