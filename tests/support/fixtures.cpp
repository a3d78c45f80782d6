#include "tests/support/fixtures.h"

#include <sddl.h>
#include <winioctl.h>

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <sstream>
#include <vector>

#include "fixture_list.h"
#include "tools/harness/debug_session.h"
#include "tools/harness/text_io.h"

namespace orvo::test {

DWORD SetAccess(const std::wstring& path, const wchar_t* dacl) {
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(dacl, SDDL_REVISION_1, &descriptor,
                                                           nullptr)) {
    return GetLastError();
  }
  const DWORD error = SetFileSecurityW(path.c_str(), DACL_SECURITY_INFORMATION, descriptor)
                          ? static_cast<DWORD>(ERROR_SUCCESS)
                          : GetLastError();
  LocalFree(descriptor);
  return error;
}

namespace {

std::wstring Under(const std::wstring& folder, const std::string& relative) {
  std::wstring path = folder + L"\\" + harness::FromUtf8(relative);
  std::replace(path.begin(), path.end(), L'/', L'\\');
  return path;
}

// A folder that cannot be listed: its DACL denies everyone listing and allows everything else.
DWORD DenyListing(const std::wstring& at) {
  if (const DWORD error = SetAccess(at, L"D:P(D;;0x1;;;WD)(A;;FA;;;WD)")) return error;
  WIN32_FIND_DATAW entry;
  const HANDLE search = FindFirstFileW((at + L"\\*").c_str(), &entry);
  if (search == INVALID_HANDLE_VALUE) return ERROR_SUCCESS;
  FindClose(search);
  return ERROR_INVALID_FUNCTION;  // listed all the same
}

}  // namespace

bool OnWine() {
  return GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "wine_get_version") != nullptr;
}

DWORD MakeJunction(const std::wstring& at, const std::wstring& target) {
  // The mount-point form of REPARSE_DATA_BUFFER: the target's NT path, then its printed form.
  struct MountPoint {
    DWORD tag;
    WORD data_length, reserved, substitute_offset, substitute_length, print_offset, print_length;
    WCHAR names[1];
  };
  const std::wstring names = L"\\??\\" + target + L'\0' + target + L'\0';
  std::vector<unsigned char> buffer(offsetof(MountPoint, names) + names.size() * sizeof(wchar_t));
  auto* point = reinterpret_cast<MountPoint*>(buffer.data());
  point->tag = IO_REPARSE_TAG_MOUNT_POINT;
  point->data_length = static_cast<WORD>(buffer.size() - offsetof(MountPoint, substitute_offset));
  point->substitute_length = static_cast<WORD>((target.size() + 4) * sizeof(wchar_t));
  point->print_offset = static_cast<WORD>(point->substitute_length + sizeof(wchar_t));
  point->print_length = static_cast<WORD>(target.size() * sizeof(wchar_t));
  std::memcpy(point->names, names.data(), names.size() * sizeof(wchar_t));
  if (!CreateDirectoryW(at.c_str(), nullptr)) return GetLastError();
  const HANDLE folder = CreateFileW(at.c_str(), GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                                    FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  DWORD returned = 0;
  const DWORD error = DeviceIoControl(folder, FSCTL_SET_REPARSE_POINT, buffer.data(),
                                      static_cast<DWORD>(buffer.size()), nullptr, 0, &returned, nullptr)
                          ? ERROR_SUCCESS
                          : GetLastError();
  CloseHandle(folder);
  if (error != ERROR_SUCCESS) RemoveDirectoryW(at.c_str());
  return error;
}

std::string MakeFixture(const std::wstring& scenario, const std::wstring& folder) {
  const std::string prefix = harness::ToUtf8(scenario) + "/";
  std::string missing, kind, path, argument;
  std::vector<std::pair<std::string, std::wstring>> unreadable;
  std::istringstream lines(kFixtureList);
  for (std::string line; std::getline(lines, line);) {
    std::istringstream words(line);
    kind = path = argument = "";
    words >> kind >> path;
    std::getline(words >> std::ws, argument);
    if (kind.empty() || kind[0] == '#' || path.compare(0, prefix.size(), prefix) != 0) continue;
    const std::wstring at = Under(folder, path), target = Under(folder, argument);
    harness::MakeDirectories(at.substr(0, at.rfind(L'\\')));
    DWORD error = ERROR_SUCCESS;
    if (kind == "dir" || kind == "unreadable") {
      harness::MakeDirectories(at);
      if (kind == "unreadable") unreadable.push_back({path, at});
    } else if (kind == "file") {
      harness::WriteText(at, argument + "\n");
    } else if (kind == "hardlink") {
      if (!CreateHardLinkW(at.c_str(), target.c_str(), nullptr)) error = GetLastError();
    } else if (kind == "junction") {
      error = MakeJunction(at, target);
    } else if (!CreateSymbolicLinkW(at.c_str(), target.c_str(),
                                    SYMBOLIC_LINK_FLAG_ALLOW_UNPRIVILEGED_CREATE |
                                        (kind == "dirlink" ? SYMBOLIC_LINK_FLAG_DIRECTORY : 0))) {
      error = GetLastError();
    } else if (!(GetFileAttributesW(at.c_str()) & FILE_ATTRIBUTE_REPARSE_POINT)) {
      error = ERROR_NOT_SUPPORTED;  // answered that it made a link, and made none (Wine's stub)
    }
    if (error != ERROR_SUCCESS) missing += kind + " " + path + ": err=" + std::to_string(error) + "; ";
  }
  for (const auto& [relative, at] : unreadable) {
    // Wine turns the DACL into mode bits that it can then neither take back nor remove the
    // folder: the host makes this one there.
    const DWORD error = OnWine() ? ERROR_NOT_SUPPORTED : DenyListing(at);
    if (error != ERROR_SUCCESS) missing += "unreadable " + relative + ": err=" + std::to_string(error) + "; ";
  }
  return missing;
}

std::wstring OtherSpelling(const std::wstring& path, std::string& why) {
  std::wstring other;
  wchar_t host[MAX_PATH] = {};
  if (OnWine()) {
    // The host made the drive M: of the prefix lead into the folder "alias" of its trees.
    const std::wstring alias =
        GetEnvironmentVariableW(L"ORVO_LINK_FIXTURES", host, MAX_PATH) ? Under(host, "alias") : L"";
    if (!alias.empty() && path.compare(0, alias.size(), alias) == 0) {
      other = L"M:" + path.substr(alias.size());
    }
  } else if (path.size() > 3 && path[1] == L':') {
    other = L"\\\\localhost\\" + path.substr(0, 1) + L"$" + path.substr(2);
  }
  if (other.empty() || GetFileAttributesW(other.c_str()) == INVALID_FILE_ATTRIBUTES) {
    why = "no other name of " + harness::ToUtf8(path) + " can be had here (tried [" +
          harness::ToUtf8(other) + "])";
    return std::wstring();
  }
  return other;
}

std::wstring Fixture(const std::wstring& scenario, const std::wstring& folder, std::string& why) {
  wchar_t host[MAX_PATH] = {};
  if (GetEnvironmentVariableW(L"ORVO_LINK_FIXTURES", host, MAX_PATH)) {
    return Under(host, harness::ToUtf8(scenario));
  }
  why = MakeFixture(scenario, folder);
  if (why.empty()) return folder + L"\\" + scenario;
  why = "this system could not make: " + why;
  return std::wstring();
}

}  // namespace orvo::test
