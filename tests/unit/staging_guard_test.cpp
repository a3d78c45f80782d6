#include "app/staging_guard.h"

#include <windows.h>

#include <gtest/gtest.h>

#include <string>

#include "tests/support/test_files.h"
#include "tools/harness/debug_session.h"

namespace orvo::app {
namespace {

class StagingGuardTest : public test::FileTest {
 protected:
  void SetUp() override {
    test::FileTest::SetUp();
    for (const wchar_t* dir : {L"Kestrava Application", L"Kestrava Application\\staging",
                               L"Kestrava Application2", L"Stage"}) {
      ASSERT_TRUE(CreateDirectoryW(Path(dir).c_str(), nullptr));
    }
    GetCurrentDirectoryW(MAX_PATH, saved_directory_);
    SetCurrentDirectoryW(dir_.c_str());
  }
  void TearDown() override {
    SetCurrentDirectoryW(saved_directory_);
    test::FileTest::TearDown();
  }
  std::wstring Slashed(std::wstring path) const {
    for (auto& c : path) c = c == L'\\' ? L'/' : c;
    return path;
  }
  wchar_t saved_directory_[MAX_PATH] = {};
};

TEST_F(StagingGuardTest, RefusesAStagingDirectoryThatHoldsTheInstallRoot) {
  const std::wstring root = Path(L"Kestrava Application");
  wchar_t short_root[MAX_PATH] = {};
  ASSERT_NE(GetShortPathNameW(root.c_str(), short_root, MAX_PATH), 0u);
  ASSERT_NE(std::wstring(short_root), root) << "no 8.3 name to test with";
  std::wstring upper = root;
  CharUpperW(upper.data());
  const std::wstring volume = dir_.substr(0, 3);  // "C:\"

  const struct {
    std::wstring staging;
    std::wstring install_root;
  } refused[] = {
      {root, root},
      {upper, root},
      {root, upper},
      {Slashed(root), root},
      {root + L"\\", root},
      {root + L"\\\\", root + L"/"},
      {root + L"\\.", root},
      {root + L"\\staging\\..", root},
      {Path(L"Stage\\..\\Kestrava Application"), root},
      {L"Kestrava Application", root},            // relative to the current directory
      {L".\\Kestrava Application\\", root},
      {short_root, root},                          // 8.3 name
      {root, short_root},
      {dir_, root},                                // an ancestor of the install root
      {Slashed(dir_) + L"/", root},
      {L"..\\" + dir_.substr(dir_.find_last_of(L'\\') + 1), root},
      {volume, root},                              // a volume root, whatever the install root
      {volume.substr(0, 2) + L"/", Path(L"Stage")},
      {volume, L"D:\\elsewhere"},
      {L"", root},
      // Spellings that name the volume, or nothing definite, whatever the current directory.
      {L"\\\\?\\" + volume.substr(0, 2), root},      // "\\?\C:"
      {L"\\\\.\\" + volume.substr(0, 2), root},      // "\\.\C:"
      {L"//./" + volume.substr(0, 2), root},
      {L"\\\\?\\" + volume, root},                   // "\\?\C:\"
      {L"\\??\\" + volume, root},
      {L"\\\\?\\GLOBALROOT\\Device\\HarddiskVolume1", Path(L"Stage")},
      {L"\\\\?\\" + root, root},                     // extended-length, same directory
      {L"\\\\?\\" + dir_, root},
      {L"\\\\?\\" + root + L"\\staging\\..", root},  // not resolved behind the prefix: refused
      {root + L". . ", root},                      // trailing dots and blanks go
      {L"NUL", root},                              // device names
      {L"CON", root},
      {Path(L"Stage"), volume.substr(0, 2)},       // the install root is held to the same rules
      {Path(L"Stage"), L"\\\\.\\" + volume.substr(0, 2)},
  };
  for (const auto& c : refused) {
    EXPECT_FALSE(IsStagingSeparate(c.staging, c.install_root))
        << "staging [" << harness::ToUtf8(c.staging) << "] install root ["
        << harness::ToUtf8(c.install_root) << "]";
  }
  // "C:" is the current directory on C:. Placed where it is most dangerous, inside the install
  // root as when Kestrava starts the updater from its own folder, or at the volume root, it would
  // name a part of the installation or the whole volume.
  for (const wchar_t* current : {L"Kestrava Application\\staging", L"Kestrava Application"}) {
    SetCurrentDirectoryW(Path(current).c_str());
    for (const std::wstring& staging : {volume.substr(0, 2), volume.substr(0, 2) + L"staging"}) {
      EXPECT_FALSE(IsStagingSeparate(staging, root)) << harness::ToUtf8(staging);
    }
  }
  SetCurrentDirectoryW(volume.c_str());
  EXPECT_FALSE(IsStagingSeparate(volume.substr(0, 2), Path(L"Stage")));
}

TEST_F(StagingGuardTest, AllowsASeparateOrNestedStagingDirectory) {
  const std::wstring root = Path(L"Kestrava Application");
  const struct {
    std::wstring staging;
    std::wstring install_root;
  } allowed[] = {
      {Path(L"Stage"), root},
      {root + L"\\staging", root},                      // inside the install root
      {L"Kestrava Application\\staging\\", root},
      {Path(L"Kestrava Application2"), root},           // a longer name is another directory
      {root, Path(L"Kestrava Application2")},
      {Path(L"not yet there"), root},
      {Slashed(Path(L"Stage")), Slashed(root)},
      {L"\\\\?\\" + Path(L"Stage"), L"\\\\?\\" + root},
  };
  for (const auto& c : allowed) {
    EXPECT_TRUE(IsStagingSeparate(c.staging, c.install_root))
        << "staging [" << harness::ToUtf8(c.staging) << "] install root ["
        << harness::ToUtf8(c.install_root) << "]";
  }
}

TEST_F(StagingGuardTest, ResolvesEachSpellingToOnePath) {
  const std::wstring stage = Path(L"Stage");
  const struct {
    std::wstring option;
    std::wstring resolved;  // empty: refused
  } cases[] = {
      {stage, stage},
      {Slashed(stage) + L"/", stage},
      {stage + L"\\\\", stage},
      {L"Stage", stage},  // relative to the current directory
      {L".\\Stage\\..\\Stage", stage},
      {stage + L"..", stage},
      {stage + L" .", stage},
      {L"\\\\?\\" + stage, stage},
      {L"\\\\?\\" + stage + L"\\", stage},
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
      {L"NUL", L""},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(harness::ToUtf8(ResolveDirectoryPath(c.option)), harness::ToUtf8(c.resolved))
        << "option [" << harness::ToUtf8(c.option) << "]";
  }
}

}  // namespace
}  // namespace orvo::app
