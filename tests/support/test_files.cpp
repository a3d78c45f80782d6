#include "tests/support/test_files.h"

#include <algorithm>

#include "tools/harness/debug_session.h"

namespace orvo::test {

using harness::FromUtf8;
using harness::ToUtf8;

void WriteText(const std::wstring& path, const std::string& content) {
  for (size_t slash = path.find(L'\\', 3); slash != std::wstring::npos;
       slash = path.find(L'\\', slash + 1)) {
    CreateDirectoryW(path.substr(0, slash).c_str(), nullptr);
  }
  const HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                  FILE_ATTRIBUTE_NORMAL, nullptr);
  ASSERT_NE(file, INVALID_HANDLE_VALUE) << ToUtf8(path) << " err=" << GetLastError();
  DWORD written = 0;
  WriteFile(file, content.data(), static_cast<DWORD>(content.size()), &written, nullptr);
  CloseHandle(file);
}

std::string ReadText(const std::wstring& path) {
  const HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                  nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return "<missing>";
  std::string content;
  char buffer[4096];
  DWORD read = 0;
  while (ReadFile(file, buffer, sizeof(buffer), &read, nullptr) && read > 0) {
    content.append(buffer, read);
  }
  CloseHandle(file);
  return content;
}

bool Exists(const std::wstring& path) {
  return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

bool WaitForFile(const std::wstring& path) {
  for (int i = 0; i < 300 && !Exists(path); ++i) Sleep(50);
  return Exists(path);
}

bool IsDirectory(const std::wstring& path) {
  const DWORD attributes = GetFileAttributesW(path.c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY);
}

namespace {

template <typename Visit>
void ForEachEntry(const std::wstring& directory, Visit visit) {
  WIN32_FIND_DATAW entry;
  const HANDLE search = FindFirstFileW((directory + L"\\*").c_str(), &entry);
  if (search == INVALID_HANDLE_VALUE) return;
  do {
    const std::wstring name = entry.cFileName;
    if (name != L"." && name != L"..") visit(name, entry.dwFileAttributes);
  } while (FindNextFileW(search, &entry));
  FindClose(search);
}

void SnapshotInto(const std::wstring& root, const std::wstring& relative,
                  std::vector<std::string>& out) {
  ForEachEntry(relative.empty() ? root : root + L"\\" + relative,
               [&](const std::wstring& name, DWORD attributes) {
                 const std::wstring child = relative.empty() ? name : relative + L"\\" + name;
                 if (attributes & FILE_ATTRIBUTE_REPARSE_POINT) {
                   out.push_back(ToUtf8(child) + "->");
                 } else if (attributes & FILE_ATTRIBUTE_DIRECTORY) {
                   out.push_back(ToUtf8(child) + "\\");
                   SnapshotInto(root, child, out);
                 } else {
                   out.push_back(ToUtf8(child) + "=" + ReadText(root + L"\\" + child));
                 }
               });
}

}  // namespace

std::vector<std::string> Snapshot(const std::wstring& root) {
  std::vector<std::string> out;
  SnapshotInto(root, L"", out);
  std::sort(out.begin(), out.end());
  return out;
}

void RemoveTree(const std::wstring& root) {
  ForEachEntry(root, [&](const std::wstring& name, DWORD attributes) {
    const std::wstring path = root + L"\\" + name;
    SetFileAttributesW(path.c_str(), attributes & ~FILE_ATTRIBUTE_READONLY);
    if ((attributes & FILE_ATTRIBUTE_DIRECTORY) && !(attributes & FILE_ATTRIBUTE_REPARSE_POINT)) {
      RemoveTree(path);
    } else if (!(attributes & FILE_ATTRIBUTE_REPARSE_POINT)) {
      DeleteFileW(path.c_str());
    }
  });
  RemoveDirectoryW(root.c_str());
}

std::wstring BinDirectory() {
  wchar_t module[MAX_PATH] = {};
  GetModuleFileNameW(nullptr, module, MAX_PATH);
  std::wstring directory = module;
  return directory.substr(0, directory.find_last_of(L"\\/"));
}

std::wstring UpdaterPath() {
  wchar_t value[MAX_PATH] = {};
  if (GetEnvironmentVariableW(L"ORVO_UPDATER_EXE", value, MAX_PATH)) return value;
  return BinDirectory() + L"\\OrvoUpdater.exe";
}

std::wstring LinkFixture(const std::wstring& scenario) {
  wchar_t value[MAX_PATH] = {};
  if (!GetEnvironmentVariableW(L"ORVO_LINK_FIXTURES", value, MAX_PATH)) return std::wstring();
  std::wstring path = std::wstring(value) + L"\\" + scenario;
  std::replace(path.begin(), path.end(), L'/', L'\\');
  return path;
}

void FileTest::SetUp() {
  wchar_t temp[MAX_PATH] = {};
  GetTempPathW(MAX_PATH, temp);
  const ::testing::TestInfo* info = ::testing::UnitTest::GetInstance()->current_test_info();
  dir_ = std::wstring(temp) + L"orvo-" + FromUtf8(info->test_suite_name()) + L"-" +
         FromUtf8(info->name()) + L"-" + std::to_wstring(GetCurrentProcessId());
  std::replace(dir_.begin(), dir_.end(), L'/', L'_');
  RemoveTree(dir_);
  ASSERT_TRUE(CreateDirectoryW(dir_.c_str(), nullptr)) << GetLastError();
}

void FileTest::TearDown() { RemoveTree(dir_); }

}  // namespace orvo::test
