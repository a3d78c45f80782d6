#include "app/update_directories.h"

#include <windows.h>

#include <gtest/gtest.h>

#include <string>

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
  wchar_t short_root[MAX_PATH] = {};
  ASSERT_NE(GetShortPathNameW(root.c_str(), short_root, MAX_PATH), 0u);
  ASSERT_NE(std::wstring(short_root), root) << "no 8.3 name to test with";
  wchar_t short_stage[MAX_PATH] = {};
  GetShortPathNameW(Path(L"Staging Area").c_str(), short_stage, MAX_PATH);
  std::wstring upper = root;
  CharUpperW(upper.data());
  const std::wstring volume = dir_.substr(0, 3), drive = dir_.substr(0, 2);  // "C:\", "C:"
  std::wstring deep = stage;
  while (deep.size() < 30000) deep += L"\\a";
  const std::wstring odd = stage + L"\\\xD800x\xDC00", root2 = Path(L"Kestrava Application2");
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
      {volume, L"D:\\elsewhere", kOwn},
      {drive + L"/", stage, kOwn},
      {L"\\\\server\\share", root, kOwn},
      {L"\\\\server\\share\\", root, kOwn},
      // Nothing definite.
      {drive, stage, kUnusable},
      {L"\\\\?\\" + root + L"\\staging\\..", root, kUnusable},
      {L"", root, kUnusable},
      {stage, drive, kUnusable},  // the install root is held to the same rules
      {stage, L"", kUnusable},
      // What cannot be reached: an update there would fail file by file. A drive letter that the
      // prefix does not have stands in for one that the elevated updater does not see.
      {stage, Path(L"missing"), Refusal::kInstallRootUnreachable},
      {stage, Path(L"Stage\\missing\\x"), Refusal::kInstallRootUnreachable},
      {stage, L"Q:\\Kestrava", Refusal::kInstallRootUnreachable},
      {L"Q:\\Kestrava-update", root, Refusal::kVolumeUnreachable},
      {L"\\\\server\\share\\update", root, Refusal::kVolumeUnreachable},
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
