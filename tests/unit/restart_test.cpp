#include "launch/restart.h"

#include <windows.h>

#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

#include "tests/support/probe.h"
#include "tests/support/test_files.h"

namespace orvo::launch {
namespace {

using Lines = std::vector<std::string>;
std::string U8(const std::wstring& text) { return harness::ToUtf8(text); }

// The stand-in writes how it was started to restart-record.txt beside itself; waits for it.
std::map<std::string, std::string> WaitForRecord(const std::wstring& directory) {
  const std::wstring path = directory + L"\\restart-record.txt";
  EXPECT_TRUE(test::WaitForFile(path)) << U8(path);
  std::map<std::string, std::string> record;
  const std::string text = test::ReadText(path);
  for (size_t start = 0; start < text.size();) {
    const size_t end = text.find('\n', start);
    const std::string line = text.substr(start, end - start);
    const size_t equals = line.find('=');
    if (equals != std::string::npos) record[line.substr(0, equals)] = line.substr(equals + 1);
    start = end == std::string::npos ? text.size() : end + 1;
  }
  return record;
}

std::wstring FullPath(const std::wstring& path) {
  wchar_t full[MAX_PATH] = {};
  GetFullPathNameW(path.c_str(), MAX_PATH, full, nullptr);
  return full;
}

class RestartTest : public test::FileTest {
 protected:
  // Restarts in a probe process; returns its log texts and sets `started`.
  Lines Restart(const std::wstring& root, const std::wstring& subdir, const std::wstring& exe,
                bool& started) {
    const harness::DebugRun run = test::RunProbe({L"restart", root, subdir, exe});
    EXPECT_TRUE(run.finished);
    started = run.exit_code == 1;
    return test::LogTexts(run);
  }
  void InstallStandIn(const std::wstring& path) {
    test::WriteText(path, "");
    ASSERT_TRUE(CopyFileW((test::BinDirectory() + L"\\kestrava_standin.exe").c_str(), path.c_str(),
                          FALSE));
  }
};

TEST_F(RestartTest, StartsTheApplicationFromItsDirectory) {
  const struct {
    std::wstring root;
    std::wstring subdir;
    std::wstring exe;
    std::wstring directory;  // where the executable lies and the process runs
  } cases[] = {
      {Path(L"Kestrava Root"), L"bin/64bit", L"Kestrava.exe", Path(L"Kestrava Root\\bin\\64bit")},
      {Path(L"flat"), L"", L"Kestrava.exe", Path(L"flat")},
      {Path(L"其他"), L"app", L"Kestrava 2.exe", Path(L"其他\\app")},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(U8(c.root) + " | " + U8(c.subdir) + " | " + U8(c.exe));
    InstallStandIn(c.directory + L"\\" + c.exe);
    bool started = false;
    EXPECT_EQ(Restart(c.root, c.subdir, c.exe, started), Lines{});
    EXPECT_TRUE(started);
    auto record = WaitForRecord(c.directory);
    // The command line is exactly the quoted path, composed with single backslashes as given:
    // "bin/64bit" keeps its slash, and an empty subdirectory leaves two backslashes in a row.
    EXPECT_EQ(record["cmdline"], "\"" + U8(c.root + L"\\" + c.subdir + L"\\" + c.exe) + "\"");
    EXPECT_EQ(record["flags"], "1") << "STARTF_USESHOWWINDOW";
    EXPECT_EQ(record["show"], "1") << "SW_SHOWNORMAL";
    EXPECT_EQ(U8(FullPath(harness::FromUtf8(record["cwd"]) + L"\\")),
              U8(FullPath(c.directory + L"\\")));
    EXPECT_EQ(CompareStringOrdinal(harness::FromUtf8(record["exe"]).c_str(), -1,
                                   FullPath(c.directory + L"\\" + c.exe).c_str(), -1, TRUE),
              CSTR_EQUAL)
        << record["exe"];
  }
}

TEST_F(RestartTest, ReportsAnExecutableThatCannotBeStarted) {
  const std::wstring root = Path(L"root");
  test::WriteText(root + L"\\bin\\64bit\\notes.txt", "no executable here");
  bool started = true;
  EXPECT_EQ(Restart(root, L"bin/64bit", L"Kestrava.exe", started),
            Lines{"CreateProcess failed: " + U8(root) + "\\bin/64bit\\Kestrava.exe  err=2"});
  EXPECT_FALSE(started);

  // An empty executable name leaves a path that ends with a backslash: the system refuses it.
  const Lines logged = Restart(root, L"bin/64bit", L"", started);
  EXPECT_FALSE(started);
  ASSERT_EQ(logged.size(), 1u);
  const std::string prefix = "CreateProcess failed: " + U8(root) + "\\bin/64bit\\  err=";
  EXPECT_EQ(logged[0].rfind(prefix, 0), 0u) << logged[0];
  EXPECT_NE(logged[0].substr(prefix.size()), "0");
}

}  // namespace
}  // namespace orvo::launch
