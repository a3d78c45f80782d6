#include "tests/support/test_files.h"

#include <algorithm>

#include "tools/harness/debug_session.h"
#include "tools/harness/text_io.h"

namespace orvo::test {

void WriteText(const std::wstring& path, const std::string& content) {
  harness::MakeDirectories(path.substr(0, path.rfind(L'\\')));
  harness::WriteFileText(path, content);
}

std::string ReadText(const std::wstring& path) {
  const HANDLE file = CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                  nullptr, OPEN_EXISTING, 0, nullptr);
  if (file == INVALID_HANDLE_VALUE) return "<missing>";
  std::string content;
  char buffer[4096];
  DWORD read = 0;
  while (ReadFile(file, buffer, sizeof(buffer), &read, nullptr) && read > 0) content.append(buffer, read);
  CloseHandle(file);
  return content;
}

bool Exists(const std::wstring& path) { return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES; }

bool WaitForFile(const std::wstring& path) {
  for (int i = 0; i < 1200 && !Exists(path); ++i) Sleep(50);
  return Exists(path);
}

namespace {

// Calls visit(path, name, attributes) for each entry of `directory`.
template <typename Visit>
void ForEachEntry(const std::wstring& directory, Visit visit) {
  WIN32_FIND_DATAW entry;
  const HANDLE search = FindFirstFileW((directory + L"\\*").c_str(), &entry);
  if (search == INVALID_HANDLE_VALUE) return;
  do {
    const std::wstring name = entry.cFileName;
    if (name != L"." && name != L"..") visit(directory + L"\\" + name, name, entry.dwFileAttributes);
  } while (FindNextFileW(search, &entry));
  FindClose(search);
}

void SnapshotInto(const std::wstring& directory, const std::string& prefix, Lines& out) {
  ForEachEntry(directory, [&](const std::wstring& path, const std::wstring& name, DWORD attributes) {
    const std::string relative = prefix + harness::ToUtf8(name);
    if (attributes & FILE_ATTRIBUTE_REPARSE_POINT) {
      out.push_back(relative + "->");
    } else if (attributes & FILE_ATTRIBUTE_DIRECTORY) {
      out.push_back(relative + "\\");
      SnapshotInto(path, relative + "\\", out);
    } else {
      out.push_back(relative + "=" + Shown(ReadText(path)));
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

void RemoveTree(const std::wstring& root) {
  ForEachEntry(root, [](const std::wstring& path, const std::wstring&, DWORD attributes) {
    SetFileAttributesW(path.c_str(), attributes & ~FILE_ATTRIBUTE_READONLY);
    if (attributes & FILE_ATTRIBUTE_REPARSE_POINT) return;  // the link stays, its target too
    if (attributes & FILE_ATTRIBUTE_DIRECTORY) {
      RemoveTree(path);
    } else {
      DeleteFileW(path.c_str());
    }
  });
  RemoveDirectoryW(root.c_str());
}

std::wstring BinDirectory() {
  wchar_t module[MAX_PATH] = {};
  GetModuleFileNameW(nullptr, module, MAX_PATH);
  const std::wstring path = module;
  return path.substr(0, path.find_last_of(L"\\/"));
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
  dir_ = temp + harness::FromUtf8(std::string("orvo-") + info->name()) + L"-" +
         std::to_wstring(GetCurrentProcessId());
  RemoveTree(dir_);
  ASSERT_TRUE(CreateDirectoryW(dir_.c_str(), nullptr)) << GetLastError();
}

void FileTest::TearDown() { RemoveTree(dir_); }

}  // namespace orvo::test
