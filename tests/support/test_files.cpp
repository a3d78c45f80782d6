#include "tests/support/test_files.h"

#include <algorithm>

#include "tools/harness/debug_session.h"
#include "tools/harness/text_io.h"

namespace orvo::test {

bool WaitForFile(const std::wstring& path) {
  for (int i = 0; i < 1200 && !harness::Exists(path); ++i) Sleep(50);
  return harness::Exists(path);
}

namespace {

void SnapshotInto(const std::wstring& directory, const std::string& prefix, Lines& out) {
  harness::ForEachEntry(directory, [&](const std::wstring& path, const std::wstring& name, DWORD attributes) {
    const std::string relative = prefix + harness::ToUtf8(name);
    if (attributes & FILE_ATTRIBUTE_REPARSE_POINT) {
      out.push_back(relative + "->");
    } else if (attributes & FILE_ATTRIBUTE_DIRECTORY) {
      out.push_back(relative + "\\");
      SnapshotInto(path, relative + "\\", out);
    } else {
      out.push_back(relative + "=" + Shown(harness::ReadText(path)));
    }
  });
}

}  // namespace

std::string Shown(const std::string& content) {
  if (content.size() <= 512 && content.find('\0') == std::string::npos) return content;
  unsigned long long hash = 14695981039346656037ull;  // FNV-1a
  for (const unsigned char c : content) hash = (hash ^ c) * 1099511628211ull;
  return "<" + std::to_string(content.size()) + " bytes, " + std::to_string(hash) + ">";
}

Lines Snapshot(const std::wstring& root) {
  Lines out;
  SnapshotInto(root, "", out);
  std::sort(out.begin(), out.end());
  return out;
}

std::wstring BinDirectory() {
  wchar_t module[MAX_PATH] = {};
  GetModuleFileNameW(nullptr, module, MAX_PATH);
  const std::wstring path = module;
  return path.substr(0, path.find_last_of(L"\\/"));
}

std::wstring UnseenDrive() {
  const DWORD used = GetLogicalDrives();
  for (wchar_t letter = L'Q'; letter != L'P'; letter = letter == L'Z' ? L'D' : letter + 1) {
    const std::wstring drive = std::wstring(1, letter) + L":";
    wchar_t target[MAX_PATH] = {};
    if (!(used & (1u << (letter - L'A'))) && !QueryDosDeviceW(drive.c_str(), target, MAX_PATH)) {
      return drive;
    }
  }
  return std::wstring();
}

void FileTest::SetUp() {
  wchar_t temp[MAX_PATH] = {};
  GetTempPathW(MAX_PATH, temp);
  const ::testing::TestInfo* info = ::testing::UnitTest::GetInstance()->current_test_info();
  dir_ = temp + harness::FromUtf8(std::string("orvo-") + info->name()) + L"-" +
         std::to_wstring(GetCurrentProcessId());
  harness::RemoveTree(dir_);
  GetCurrentDirectoryW(MAX_PATH, saved_directory_);
  ASSERT_TRUE(CreateDirectoryW(dir_.c_str(), nullptr)) << GetLastError();
}

void FileTest::TearDown() {
  SetCurrentDirectoryW(saved_directory_);
  harness::RemoveTree(dir_);
}

}  // namespace orvo::test
