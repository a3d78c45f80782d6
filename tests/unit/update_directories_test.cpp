#include "app/update_directories.h"

#include <windows.h>

#include <gtest/gtest.h>

#include <string>

#include "tests/support/test_files.h"
#include "tools/harness/debug_session.h"

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
    GetCurrentDirectoryW(MAX_PATH, saved_directory_);
    SetCurrentDirectoryW(dir_.c_str());
  }
  void TearDown() override {
    SetCurrentDirectoryW(saved_directory_);
    test::FileTest::TearDown();
  }
  static std::wstring Slashed(std::wstring path) {
    for (auto& c : path) c = c == L'\\' ? L'/' : c;
    return path;
  }
  wchar_t saved_directory_[MAX_PATH] = {};
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
  const struct {
    std::wstring staging;
    std::wstring install_root;
    bool accepted;
  } cases[] = {
      {stage, root, true},
      {root + L"\\staging", root, true},  // inside the install root
      {L"Kestrava Application\\staging\\", root, true},
      {Path(L"Kestrava Application2"), root, true},  // a longer name is another directory
      {root, Path(L"Kestrava Application2"), true},
      {Path(L"not yet there"), root, true},
      {short_stage, root, true},  // an 8.3 name is no link
      {deep, root, true},  // 30,000 characters
      {stage + L"\\\xD800x\xDC00", root, true},  // unpaired surrogates
      {L"a b\"c", root, true},
      {Slashed(stage), Slashed(root), true},
      {L"\\\\?\\" + stage, L"\\\\?\\" + root, true},
      // The install root itself, however it is spelt.
      {root, root, false},
      {upper, root, false},
      {root, upper, false},
      {Slashed(root) + L"/", root, false},
      {root + L"\\.", root, false},
      {root + L"\\staging\\..", root, false},
      {L".\\Kestrava Application\\", root, false},
      {short_root, root, false},
      {root, short_root, false},
      {L"\\\\?\\" + root, root, false},
      {root + L". . ", root, false},
      // Above it, a volume, a share, or nothing definite.
      {dir_, root, false},
      {L"..\\" + dir_.substr(dir_.find_last_of(L'\\') + 1), root, false},
      {volume, root, false},
      {volume, L"D:\\elsewhere", false},
      {drive + L"/", stage, false},
      {L"\\\\server\\share", root, false},
      {L"\\\\server\\share\\", root, false},
      {drive, stage, false},
      {drive + L"staging", root, false},
      {L"\\\\?\\" + drive, root, false},
      {L"\\\\.\\" + drive, root, false},
      {L"\\??\\" + volume, root, false},
      {L"\\\\?\\GLOBALROOT\\Device\\HarddiskVolume1", stage, false},
      {L"\\\\?\\" + root + L"\\staging\\..", root, false},
      {L"NUL", root, false},
      {L"COM1", root, false},
      {L"", root, false},
      {stage, drive, false},  // the install root is held to the same rules
      {stage, L"", false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE("staging [" + U8(c.staging) + "] install root [" + U8(c.install_root) + "]");
    const UpdateDirectories directories = OpenUpdateDirectories(c.install_root, c.staging);
    EXPECT_EQ(directories.refusal == Refusal::kNone, c.accepted);
    // Refused: nothing kept open. Accepted: the resolved paths, and handles of the directories
    // that exist.
    EXPECT_EQ(directories.staging.path, c.accepted ? ResolveDirectoryPath(c.staging) : L"");
    EXPECT_EQ(directories.install_root.opened.handle != nullptr, c.accepted);
    EXPECT_EQ(directories.staging.opened.handle != nullptr, c.accepted && test::Exists(c.staging));
  }
}

TEST_F(UpdateDirectoriesTest, ResolvesEachSpellingToOnePath) {
  const std::wstring stage = Path(L"Stage");
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
      {L"CON", L""},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(U8(ResolveDirectoryPath(c.option)), U8(c.resolved)) << "[" << U8(c.option) << "]";
  }
}

// An entry is used only when the opened object is the one the listing showed: an entry replaced
// by another object of the same name after the listing is refused, link or not.
TEST_F(UpdateDirectoriesTest, UsesAnEntryOnlyWhenItIsTheOneListed) {
  const std::wstring x = Path(L"Stage\\x"), spare = Path(L"spare");
  for (const wchar_t* change : {L"", L"file", L"directory"}) {
    SCOPED_TRACE(U8(change));
    test::WriteText(x, "listed");
    // Made before the listing, so that the system cannot hand the replacement the entry's id.
    if (change == std::wstring(L"file")) test::WriteText(spare, "listed");
    if (change == std::wstring(L"directory")) CreateDirectoryW(spare.c_str(), nullptr);
    const fsops::Opened stage = fsops::OpenDirectoryPath(Path(L"Stage"), fsops::Purpose::kListDirectory);
    fsops::Listing listing(stage.handle.get());
    fsops::DirEntry entry;
    ASSERT_TRUE(fsops::NextEntry(listing, entry));
    if (*change) {
      DeleteFileW(x.c_str());
      ASSERT_TRUE(MoveFileW(spare.c_str(), x.c_str()));
    }
    const fsops::Opened child = fsops::OpenChild(stage.handle.get(), L"x", fsops::Purpose::kRemove);
    ASSERT_TRUE(child);
    EXPECT_EQ(fsops::IsListedEntry(listing, entry, child.handle.get()), !*change);
    test::RemoveTree(x);
  }
}

}  // namespace
}  // namespace orvo::app
