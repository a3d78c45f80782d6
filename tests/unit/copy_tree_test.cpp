#include "fsops/copy_tree.h"

#include <windows.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "tests/support/probe.h"
#include "tests/support/test_files.h"

namespace orvo::fsops {
namespace {

using test::ReadText;
using test::Snapshot;
using test::WriteText;
using Lines = std::vector<std::string>;

std::string U8(const std::wstring& text) { return harness::ToUtf8(text); }

Lines Sorted(Lines lines) {
  std::sort(lines.begin(), lines.end());
  return lines;
}

const Lines kCanary = {"secret.txt=secret\n", "sub\\", "sub\\deep.txt=deep\n"};

class CopyTreeTest : public test::FileTest {
 protected:
  // Runs CopyTree in a probe process; returns its log texts and sets `result`.
  Lines Copy(const std::wstring& source, const std::wstring& destination, bool& result) {
    const harness::DebugRun run = test::RunProbe({L"copy", source, destination});
    EXPECT_TRUE(run.finished) << "started " << run.started << ", exit code " << run.exit_code;
    EXPECT_LE(run.exit_code, 1u) << "the probe failed: " << U8(source);
    result = run.exit_code == 1;
    return test::LogTexts(run);
  }
};

TEST_F(CopyTreeTest, LaysTheStagingTreeOverTheInstallRoot) {
  const std::wstring staging = Path(L"staging"), install = Path(L"install");
  WriteText(staging + L"\\bin\\64bit\\Kestrava.exe", "new exe");
  WriteText(staging + L"\\bin\\64bit\\plugins\\a b.dll", "blank name");
  WriteText(staging + L"\\資料\\説明 ファイル.txt", "non-ASCII");
  WriteText(staging + L"\\readme.txt", "new readme");
  WriteText(staging + L"\\.hidden", "hidden");
  SetFileAttributesW((staging + L"\\.hidden").c_str(), FILE_ATTRIBUTE_HIDDEN);
  CreateDirectoryW((staging + L"\\empty").c_str(), nullptr);
  WriteText(install + L"\\bin\\64bit\\Kestrava.exe", "old exe");
  WriteText(install + L"\\readme.txt", "old readme");
  WriteText(install + L"\\user\\settings.ini", "only in the install root");
  const Lines staging_before = Snapshot(staging);

  bool result = false;
  EXPECT_EQ(Copy(staging, install, result), Lines{});
  EXPECT_TRUE(result);
  EXPECT_EQ(Snapshot(install),
            (Lines{".hidden=hidden", "bin\\", "bin\\64bit\\", "bin\\64bit\\Kestrava.exe=new exe",
                   "bin\\64bit\\plugins\\", "bin\\64bit\\plugins\\a b.dll=blank name", "empty\\",
                   "readme.txt=new readme", "user\\", "user\\settings.ini=only in the install root",
                   U8(L"資料\\"), U8(L"資料\\説明 ファイル.txt=non-ASCII")}));
  EXPECT_EQ(Snapshot(staging), staging_before) << "the source is left as it was";
}

TEST_F(CopyTreeTest, EmptyOrMissingSourceIsNothingToDo) {
  WriteText(Path(L"install\\keep.txt"), "keep");
  CreateDirectoryW(Path(L"empty").c_str(), nullptr);
  for (const std::wstring& source : {Path(L"empty"), Path(L"missing"), Path(L"missing\\deeper")}) {
    bool result = false;
    EXPECT_EQ(Copy(source, Path(L"install"), result), Lines{}) << U8(source);
    EXPECT_TRUE(result) << U8(source);
    EXPECT_EQ(Snapshot(Path(L"install")), Lines{"keep.txt=keep"});
  }
}

TEST_F(CopyTreeTest, ReportsEachFileThatCannotBeReplaced) {
  // Where Wine runs as root it ignores the read-only attribute, and the failures below never come.
  WriteText(Path(L"probe-src"), "new");
  WriteText(Path(L"probe-ro"), "old");
  SetFileAttributesW(Path(L"probe-ro").c_str(), FILE_ATTRIBUTE_READONLY);
  if (CopyFileW(Path(L"probe-src").c_str(), Path(L"probe-ro").c_str(), FALSE)) {
    GTEST_SKIP() << "this platform ignores the read-only attribute (Wine as root)";
  }

  const std::wstring staging = Path(L"staging"), install = Path(L"install");
  WriteText(staging + L"\\bin\\locked.dll", "new locked");
  WriteText(staging + L"\\bin\\readonly.dll", "new readonly");
  WriteText(staging + L"\\deep\\a\\b\\blocked.txt", "new blocked");
  WriteText(staging + L"\\deep\\a\\b\\fine.txt", "new fine");
  WriteText(staging + L"\\z.txt", "new z");
  WriteText(install + L"\\bin\\locked.dll", "old locked");
  WriteText(install + L"\\bin\\readonly.dll", "old readonly");
  SetFileAttributesW((install + L"\\bin\\readonly.dll").c_str(),
                     FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN);
  // A read-only directory where the staging tree has a file.
  CreateDirectoryW((install + L"\\deep").c_str(), nullptr);
  CreateDirectoryW((install + L"\\deep\\a").c_str(), nullptr);
  CreateDirectoryW((install + L"\\deep\\a\\b").c_str(), nullptr);
  const std::wstring blocked = install + L"\\deep\\a\\b\\blocked.txt";
  CreateDirectoryW(blocked.c_str(), nullptr);
  SetFileAttributesW(blocked.c_str(), FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_READONLY);

  const HANDLE held = CreateFileW((install + L"\\bin\\locked.dll").c_str(), GENERIC_READ, 0,
                                  nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  ASSERT_NE(held, INVALID_HANDLE_VALUE);
  bool result = true;
  const Lines logged = Sorted(Copy(staging, install, result));
  CloseHandle(held);

  EXPECT_FALSE(result);
  ASSERT_EQ(logged.size(), 2u) << ::testing::PrintToString(logged);
  EXPECT_EQ(logged[0], "CopyFile failed: " + U8(install) + "\\bin\\locked.dll  err=32");
  // The system's code for a directory in the way differs between platforms.
  EXPECT_EQ(logged[1].rfind("CopyFile failed: " + U8(blocked) + "  err=", 0), 0u) << logged[1];
  EXPECT_EQ(ReadText(install + L"\\bin\\locked.dll"), "old locked");
  EXPECT_EQ(ReadText(install + L"\\bin\\readonly.dll"), "new readonly");
  EXPECT_EQ(GetFileAttributesW((install + L"\\bin\\readonly.dll").c_str()) &
                (FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN),
            static_cast<DWORD>(0)) << "a copy takes the source's attributes";
  EXPECT_TRUE(test::IsDirectory(blocked));
  EXPECT_EQ(GetFileAttributesW(blocked.c_str()) & FILE_ATTRIBUTE_READONLY, 0u)
      << "the directory in the way has lost its read-only bit";
  EXPECT_EQ(ReadText(install + L"\\deep\\a\\b\\fine.txt"), "new fine");
  EXPECT_EQ(ReadText(install + L"\\z.txt"), "new z");
}

// The scenarios below are prepared on the host (links, unreadable directories).
class CopyTreeLinkTest : public CopyTreeTest {
 protected:
  void SetUp() override {
    CopyTreeTest::SetUp();
    if (test::LinkFixture(L"").empty()) GTEST_SKIP() << "no host fixtures (ORVO_LINK_FIXTURES)";
  }
};

TEST_F(CopyTreeLinkTest, NeverFollowsALink) {
  const struct {
    const wchar_t* scenario;
    Lines logged;   // paths relative to the scenario folder
    Lines install;  // the install root afterwards
  } cases[] = {
      // Links in the staging tree: to a directory at the top and deeper down, and to a file.
      {L"copy-links",
       {"CopyFile failed: @\\install\\dirlink  err=681",
        "CopyFile failed: @\\install\\filelink.txt  err=681",
        "CopyFile failed: @\\install\\sub\\inner  err=681"},
       {"new.txt=new\n", "sub\\", "sub\\a.txt=a\n"}},
      // A staging directory that is itself a link.
      {L"copy-root-link", {"FindFirstFile failed: @\\staging  err=681"}, {}},
      // A link in the install root where the copy would have to write through it.
      {L"copy-dest-link", {"CopyFile failed: @\\install\\bin  err=681"}, {"bin->", "top.txt=top\n"}},
      // Files of the install root that are a symbolic link and a hard link to files outside it:
      // replaced as names, the files outside keep their content.
      {L"copy-dest-file-links", {}, {"hard.txt=new hard\n", "link.txt=new link\n"}},
  };
  for (auto c : cases) {
    const std::wstring s = test::LinkFixture(c.scenario);
    SCOPED_TRACE(U8(s));
    for (auto& line : c.logged) line.replace(line.find('@'), 1, U8(s));
    bool result = !c.logged.empty();
    EXPECT_EQ(Sorted(Copy(s + L"\\staging", s + L"\\install", result)), Sorted(c.logged));
    EXPECT_EQ(result, c.logged.empty());
    EXPECT_EQ(Snapshot(s + L"\\install"), Sorted(c.install));
    EXPECT_EQ(Snapshot(s + L"\\canary"), kCanary);
  }
}

TEST_F(CopyTreeLinkTest, ReportsASubdirectoryThatCannotBeListed) {
  const std::wstring s = test::LinkFixture(L"copy-unlistable");
  WIN32_FIND_DATAW entry;
  const HANDLE search = FindFirstFileW((s + L"\\staging\\locked\\*").c_str(), &entry);
  if (search != INVALID_HANDLE_VALUE) {
    FindClose(search);
    GTEST_SKIP() << "the directory is readable after all (running as root?)";
  }
  bool result = true;
  EXPECT_EQ(Copy(s + L"\\staging", s + L"\\install", result),
            Lines{"FindFirstFile failed: " + U8(s) + "\\staging\\locked  err=5"});
  EXPECT_FALSE(result);
  EXPECT_EQ(Snapshot(s + L"\\install"), (Lines{"a.txt=a\n", "locked\\", "z.txt=z\n"}));
}

}  // namespace
}  // namespace orvo::fsops
