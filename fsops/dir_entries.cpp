#include "fsops/dir_entries.h"

namespace orvo::fsops {

UniqueFind OpenListing(const std::wstring& directory, WIN32_FIND_DATAW& entry, DWORD* error) {
  const std::wstring pattern = directory + L"\\*";
  const HANDLE search = FindFirstFileW(pattern.c_str(), &entry);
  const DWORD code = search == INVALID_HANDLE_VALUE ? GetLastError() : ERROR_SUCCESS;
  if (error) *error = code;
  return UniqueFind(search == INVALID_HANDLE_VALUE ? nullptr : search);
}

UniqueHandle OpenExisting(const std::wstring& path, DWORD access, DWORD flags) {
  const HANDLE opened =
      CreateFileW(path.c_str(), access, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                  nullptr, OPEN_EXISTING, flags, nullptr);
  return UniqueHandle(opened == INVALID_HANDLE_VALUE ? nullptr : opened);
}

bool IsExistingLink(const std::wstring& path) {
  const DWORD attributes = GetFileAttributesW(path.c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && IsLink(attributes);
}

bool IsDotEntry(const wchar_t* name) {
  return name[0] == L'.' && (name[1] == L'\0' || (name[1] == L'.' && name[2] == L'\0'));
}

void ClearReadOnly(const std::wstring& path) {
  const DWORD attributes = GetFileAttributesW(path.c_str());
  // A link's attributes may be written through to its target: leave links alone.
  if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_READONLY) &&
      !IsLink(attributes)) {
    SetFileAttributesW(path.c_str(), attributes & ~FILE_ATTRIBUTE_READONLY);
  }
}

bool RemoveLink(const std::wstring& path) {
  // Deleting through a handle that was opened on the link itself leaves no moment in which the name
  // could be swapped for something else, and never reaches the target. Path-based removal is not
  // safe everywhere: some Win32 layers resolve the link first and remove an empty target.
  const UniqueHandle link =
      OpenExisting(path, DELETE | FILE_READ_ATTRIBUTES | FILE_WRITE_ATTRIBUTES,
                   FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT);
  if (!link) return false;
  FILE_ATTRIBUTE_TAG_INFO tag = {};
  if (!GetFileInformationByHandleEx(link.get(), FileAttributeTagInfo, &tag, sizeof(tag)) ||
      !IsLink(tag.FileAttributes)) {
    return false;  // The handle names the target, not the link: touch nothing.
  }
  if (tag.FileAttributes & FILE_ATTRIBUTE_READONLY) {
    FILE_BASIC_INFO basic = {};  // zero times: leave them unchanged
    basic.FileAttributes = tag.FileAttributes &
        ~(FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT);
    if (basic.FileAttributes == 0) basic.FileAttributes = FILE_ATTRIBUTE_NORMAL;
    SetFileInformationByHandle(link.get(), FileBasicInfo, &basic, sizeof(basic));
  }
  FILE_DISPOSITION_INFO disposition = {};
  disposition.DeleteFile = TRUE;
  return SetFileInformationByHandle(link.get(), FileDispositionInfo, &disposition,
                                    sizeof(disposition)) != FALSE;
}

}  // namespace orvo::fsops
