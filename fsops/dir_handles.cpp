#include "fsops/dir_handles.h"

#include <cstddef>
#include <cstring>

#include "fsops/native_api.h"
#include "fsops/paths.h"

namespace orvo::fsops {
namespace {

// NtCreateFile's dispositions and options (ntifs.h), spelled out: the SDKs' user-mode headers do
// not all carry them.
constexpr ULONG kFileOpen = 1;
constexpr ULONG kFileCreate = 2;
constexpr ULONG kFileOpenIf = 3;
constexpr ULONG kFileDirectoryFile = 0x00000001;
constexpr ULONG kFileSequentialOnly = 0x00000004;
constexpr ULONG kFileSynchronousIoNonalert = 0x00000020;
constexpr ULONG kFileNonDirectoryFile = 0x00000040;
constexpr ULONG kFileOpenForBackupIntent = 0x00004000;
constexpr ULONG kFileOpenReparsePoint = 0x00200000;

// NtQueryInformationFile / NtSetInformationFile classes.
constexpr int kFileAllInformation = 18;
constexpr int kFileRenameInformation = 10;

constexpr int kFileRenameInformationEx = 65;

// FILE_RENAME_INFORMATION(_EX) flags; the classic class reads the first byte as ReplaceIfExists.
constexpr ULONG kRenameReplaceIfExists = 0x1;
constexpr ULONG kRenamePosixSemantics = 0x2;
constexpr ULONG kRenameIgnoreReadOnly = 0x40;

// FILE_DISPOSITION_INFO_EX and its flags (Windows 10 1709 and later).
constexpr int kFileDispositionInfoEx = 21;
constexpr DWORD kDispositionDelete = 0x1;
constexpr DWORD kDispositionPosixSemantics = 0x2;
constexpr DWORD kDispositionIgnoreReadOnly = 0x10;

// What a system that does not know an information class or flag answers.
bool IsUnsupported(NTSTATUS status) {
  return status == static_cast<NTSTATUS>(0xC0000002L)      // STATUS_NOT_IMPLEMENTED
         || status == static_cast<NTSTATUS>(0xC0000003L)   // STATUS_INVALID_INFO_CLASS
         || status == static_cast<NTSTATUS>(0xC000000DL)   // STATUS_INVALID_PARAMETER
         || status == static_cast<NTSTATUS>(0xC00000BBL);  // STATUS_NOT_SUPPORTED
}

constexpr ULONG kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
constexpr size_t kListingBatchBytes = 16 * 1024;

struct Request {
  ACCESS_MASK access;
  ULONG share;
  ULONG options;
};

Request RequestFor(Purpose purpose) {
  switch (purpose) {
    case Purpose::kListDirectory:
      return {FILE_LIST_DIRECTORY | FILE_TRAVERSE | FILE_READ_ATTRIBUTES, kShareAll,
              kFileDirectoryFile};
    case Purpose::kWriteDirectory:
      return {FILE_LIST_DIRECTORY | FILE_TRAVERSE | FILE_ADD_FILE | FILE_ADD_SUBDIRECTORY |
                  FILE_READ_ATTRIBUTES,
              kShareAll, kFileDirectoryFile};
    case Purpose::kReadFile:
      // Like CopyFileW: nobody may change the data while it is read.
      return {FILE_READ_DATA | FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_DELETE,
              kFileNonDirectoryFile | kFileSequentialOnly};
    case Purpose::kRemove:
      return {DELETE | FILE_READ_ATTRIBUTES | FILE_WRITE_ATTRIBUTES, kShareAll, 0};
    case Purpose::kRemoveDirectory:
      return {DELETE | FILE_LIST_DIRECTORY | FILE_TRAVERSE | FILE_READ_ATTRIBUTES |
                  FILE_WRITE_ATTRIBUTES,
              kShareAll, kFileDirectoryFile};
    case Purpose::kIdentify:
      return {FILE_READ_ATTRIBUTES, kShareAll, 0};
  }
  return {0, 0, 0};
}

// The Win32 code for a failed native call. A delete still pending comes back as access denied
// from RtlNtStatusToDosError; it is told apart here, as a file held for a moment.
DWORD ErrorOf(NTSTATUS status) {
  constexpr NTSTATUS kDeletePending = static_cast<NTSTATUS>(0xC0000056L);
  return status == kDeletePending ? static_cast<DWORD>(ERROR_DELETE_PENDING)
                                  : RtlNtStatusToDosError(status);
}

// One NtCreateFile relative to `parent`. The name is a single component taken from a listing or
// made by us, so the only link it could meet is the entry itself, which kFileOpenReparsePoint
// keeps the system from following. The empty name opens `parent` itself again (Reopen).
Opened CreateRelative(HANDLE parent, const std::wstring& name, ACCESS_MASK access, ULONG share,
                      ULONG disposition, ULONG options) {
  if (name.size() * sizeof(wchar_t) > 0xFFF0) return Failed(ERROR_INVALID_NAME);
  UNICODE_STRING unicode_name;
  unicode_name.Buffer = const_cast<wchar_t*>(name.c_str());
  unicode_name.Length = static_cast<USHORT>(name.size() * sizeof(wchar_t));
  unicode_name.MaximumLength = unicode_name.Length;
  OBJECT_ATTRIBUTES attributes;
  InitializeObjectAttributes(&attributes, &unicode_name, OBJ_CASE_INSENSITIVE, parent, nullptr);
  IO_STATUS_BLOCK io = {};
  HANDLE handle = nullptr;
  const NTSTATUS status =
      NtCreateFile(&handle, access | SYNCHRONIZE, &attributes, &io, nullptr, FILE_ATTRIBUTE_NORMAL,
                   share, disposition,
                   options | kFileSynchronousIoNonalert | kFileOpenReparsePoint |
                       kFileOpenForBackupIntent,
                   nullptr, 0);
  if (!NT_SUCCESS(status)) return Failed(ErrorOf(status));
  Opened opened;
  opened.handle.reset(handle);
  return opened;
}

// Opens for `purpose` through `open(access)`, which opens with the access given.
template <typename Open>
Opened OpenFor(Purpose purpose, Open open) {
  const ACCESS_MASK access = RequestFor(purpose).access;
  Opened opened = open(access);
  // Wine refuses write-attribute access to a file whose read-only bit is set (Windows grants it
  // and refuses only the write itself); the attributes can still be set through the handle there.
  if (!opened && opened.error == ERROR_ACCESS_DENIED && (access & FILE_WRITE_ATTRIBUTES)) {
    opened = open(access & ~FILE_WRITE_ATTRIBUTES);
  }
  // A directory that someone holds without sharing deletion, or that we may read but not delete,
  // can still be listed and emptied, and its files applied.
  if (!opened && purpose == Purpose::kRemoveDirectory &&
      (opened.error == ERROR_SHARING_VIOLATION || opened.error == ERROR_ACCESS_DENIED ||
       opened.error == ERROR_WRITE_PROTECT)) {
    opened = open(RequestFor(Purpose::kListDirectory).access);
    opened.list_only = static_cast<bool>(opened);
  }
  return opened;
}

bool QueryTag(HANDLE handle, FILE_ATTRIBUTE_TAG_INFO& tag) {
  return GetFileInformationByHandleEx(handle, FileAttributeTagInfo, &tag, sizeof(tag)) != FALSE;
}

// FILE_ALL_INFORMATION, flattened; the layout is the system's, name last.
struct AllInformation {
  LARGE_INTEGER creation, last_access, last_write, change;
  ULONG attributes;
  LARGE_INTEGER allocation_size, end_of_file;
  ULONG links;
  BOOLEAN delete_pending, directory;
  LARGE_INTEGER index;
  ULONG ea_size;
  ACCESS_MASK access;
  LARGE_INTEGER position;
  ULONG mode, alignment;
  ULONG name_length;
  WCHAR name[1];
};
static_assert(offsetof(AllInformation, index) == 64 && offsetof(AllInformation, name) == 100,
              "FILE_ALL_INFORMATION layout");

// The handle's FILE_ALL_INFORMATION, in `buffer`, grown for a long path; null on failure.
const AllInformation* QueryAll(HANDLE handle, std::vector<unsigned char>& buffer) {
  buffer.resize(sizeof(AllInformation) + 2048);
  const bool filled = FillGrowing(buffer, [&](unsigned char* data, size_t size) -> size_t {
    IO_STATUS_BLOCK io = {};
    const NTSTATUS status =
        NtQueryInformationFile(handle, &io, data, static_cast<ULONG>(size),
                               static_cast<FILE_INFORMATION_CLASS>(kFileAllInformation));
    if (NT_SUCCESS(status)) return size;  // the name's length tells how much is used
    return status == static_cast<NTSTATUS>(0x80000005L) ? size * 2 : 0;  // buffer overflow
  });
  const auto* info = reinterpret_cast<const AllInformation*>(buffer.data());
  if (!filled || offsetof(AllInformation, name) + info->name_length > buffer.size()) return nullptr;
  return info;
}

// The path of the object behind `handle` below its volume root ("\\dir\\file"); empty on failure.
std::wstring HandlePath(HANDLE handle) {
  std::vector<unsigned char> buffer;
  const AllInformation* info = QueryAll(handle, buffer);
  return info ? std::wstring(info->name, info->name_length / sizeof(wchar_t)) : std::wstring();
}

}  // namespace

Opened Failed(DWORD error) {
  Opened opened;
  opened.error = error;
  return opened;
}

Opened OpenDirectoryPath(const std::wstring& path, Purpose purpose) {
  const Request request = RequestFor(purpose);
  Opened opened = OpenFor(purpose, [&](ACCESS_MASK access) {
    const HANDLE handle = CreateFileW(path.c_str(), access | SYNCHRONIZE, request.share, nullptr,
                                      OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (handle == INVALID_HANDLE_VALUE) return Failed(GetLastError());
    Opened result;
    result.handle.reset(handle);
    return result;
  });
  FILE_ATTRIBUTE_TAG_INFO tag = {};
  if (opened && (!QueryTag(opened.handle.get(), tag) || !(tag.FileAttributes & FILE_ATTRIBUTE_DIRECTORY))) {
    return Failed(ERROR_DIRECTORY);
  }
  return opened;
}

Opened OpenChild(HANDLE parent, const std::wstring& name, Purpose purpose) {
  const Request request = RequestFor(purpose);
  return OpenFor(purpose, [&](ACCESS_MASK access) {
    return CreateRelative(parent, name, access, request.share, kFileOpen, request.options);
  });
}

Opened Reopen(HANDLE opened, Purpose purpose) {
  const Request request = RequestFor(purpose);
  return OpenFor(purpose, [&](ACCESS_MASK access) {
    return CreateRelative(opened, std::wstring(), access, request.share, kFileOpen, request.options);
  });
}

bool FileIdentity::operator==(const FileIdentity& other) const {
  return volume == other.volume && std::memcmp(id.Identifier, other.id.Identifier, sizeof(id.Identifier)) == 0;
}

bool QueryIdentity(HANDLE handle, FileIdentity& identity) {
  FILE_ID_INFO info = {};
  if (GetFileInformationByHandleEx(handle, FileIdInfo, &info, sizeof(info))) {
    identity.volume = info.VolumeSerialNumber;
    identity.id = info.FileId;
    return true;
  }
  // Before Windows 8 and on some file systems: the 32-bit serial and the 64-bit index.
  BY_HANDLE_FILE_INFORMATION by_handle = {};
  if (!GetFileInformationByHandle(handle, &by_handle)) return false;
  identity = FileIdentity();
  identity.volume = by_handle.dwVolumeSerialNumber;
  const ULONGLONG index = (ULONGLONG{by_handle.nFileIndexHigh} << 32) | by_handle.nFileIndexLow;
  std::memcpy(identity.id.Identifier, &index, sizeof(index));
  return true;
}

Opened CreateOrOpenDirectory(HANDLE parent, const std::wstring& name) {
  const Request request = RequestFor(Purpose::kWriteDirectory);
  return CreateRelative(parent, name, request.access, request.share, kFileOpenIf, request.options);
}

Opened CreateNewFile(HANDLE parent, const std::wstring& name) {
  // No sharing: nobody else sees the half-written file through this name.
  return CreateRelative(parent, name,
                        FILE_WRITE_DATA | FILE_WRITE_ATTRIBUTES | FILE_READ_ATTRIBUTES | DELETE, 0,
                        kFileCreate, kFileNonDirectoryFile | kFileSequentialOnly);
}

bool NextEntry(Listing& listing, DirEntry& entry) {
  for (;;) {
    if (listing.next >= listing.batch.size()) {
      listing.batch.resize(kListingBatchBytes);
      // The restart class starts the listing over from its first entry; only the first call
      // wants that.
      const bool first = !listing.started;
      const FILE_INFO_BY_HANDLE_CLASS what =
          first ? FileIdBothDirectoryRestartInfo : FileIdBothDirectoryInfo;
      listing.started = true;
      if (!GetFileInformationByHandleEx(listing.directory, what, listing.batch.data(),
                                        static_cast<DWORD>(listing.batch.size()))) {
        const DWORD error = GetLastError();
        // An empty directory without "." and ".." (the root of a FAT or exFAT volume, some
        // user-mode file systems) answers its first query with "not found".
        const bool end = error == ERROR_NO_MORE_FILES || (first && error == ERROR_FILE_NOT_FOUND);
        listing.error = end ? ERROR_SUCCESS : error;
        listing.batch.clear();
        listing.next = 0;
        return false;
      }
      listing.next = 0;
      if (listing.path.empty()) listing.path = HandlePath(listing.directory);
    }
    const auto* info =
        reinterpret_cast<const FILE_ID_BOTH_DIR_INFO*>(listing.batch.data() + listing.next);
    listing.next = info->NextEntryOffset ? listing.next + info->NextEntryOffset
                                         : listing.batch.size();
    entry.name.assign(info->FileName, info->FileNameLength / sizeof(wchar_t));
    entry.attributes = info->FileAttributes;
    entry.file_id = info->FileId.QuadPart;
    if (entry.name != L"." && entry.name != L"..") return true;
  }
}

bool IsListedEntry(const Listing& listing, const DirEntry& entry, HANDLE handle, EntryInfo* out) {
  if (entry.is_link() || listing.path.empty()) return false;
  // One query for the attributes, the times, the id and the path.
  std::vector<unsigned char> buffer;
  const AllInformation* info = QueryAll(handle, buffer);
  if (!info) return false;
  if (info->attributes & FILE_ATTRIBUTE_REPARSE_POINT) return false;
  if (((info->attributes ^ entry.attributes) & FILE_ATTRIBUTE_DIRECTORY) != 0) return false;
  // The id check is what holds on Wine, which opens a link's target even when asked for the
  // link: a directory swapped for a link between the listing and the open shows another id.
  if (info->index.QuadPart != entry.file_id) return false;
  // And against a link to a file, which Wine lists as a plain file with its target's id: the
  // handle then names the target, not the entry.
  const std::wstring_view name(info->name, info->name_length / sizeof(wchar_t));
  if (!EqualNoCase(name, Join(listing.path, entry.name))) {
    return false;
  }
  if (out) {
    out->basic.CreationTime = info->creation;
    out->basic.LastAccessTime = info->last_access;
    out->basic.LastWriteTime = info->last_write;
    out->basic.ChangeTime = info->change;
    out->basic.FileAttributes = info->attributes;
    out->size = info->end_of_file.QuadPart;
  }
  return true;
}

bool IsLinkHandle(HANDLE handle) {
  FILE_ATTRIBUTE_TAG_INFO tag = {};
  return QueryTag(handle, tag) && (tag.FileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
}

bool IsLinkPath(const std::wstring& path) {
  const DWORD attributes = GetFileAttributesW(path.c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_REPARSE_POINT);
}

bool DeleteByHandle(HANDLE handle) {
  // POSIX semantics take the name away at once, so the parent can go right after, even while
  // someone else still has the file open; the flags also let a read-only entry go.
  DWORD flags = kDispositionDelete | kDispositionPosixSemantics | kDispositionIgnoreReadOnly;
  if (SetFileInformationByHandle(handle,
                                 static_cast<FILE_INFO_BY_HANDLE_CLASS>(kFileDispositionInfoEx),
                                 &flags, sizeof(flags))) {
    return true;
  }
  // Older Windows and Wine: clear the read-only bit first, then the classic disposition, which
  // fails for a read-only file that has other names too (ClearReadOnly leaves those).
  ClearReadOnly(handle);
  FILE_DISPOSITION_INFO disposition = {};
  disposition.DeleteFile = TRUE;
  return SetFileInformationByHandle(handle, FileDispositionInfo, &disposition,
                                    sizeof(disposition)) != FALSE;
}

DWORD RenameInto(HANDLE handle, HANDLE parent, const std::wstring& name) {
  // FILE_RENAME_INFORMATION_EX, with room for the name.
  struct RenameInformation {
    ULONG flags;
    HANDLE root_directory;
    ULONG file_name_length;
    WCHAR file_name[1];
  };
  const size_t name_bytes = name.size() * sizeof(wchar_t);
  std::vector<unsigned char> buffer(offsetof(RenameInformation, file_name) + name_bytes +
                                    sizeof(wchar_t));
  auto* info = reinterpret_cast<RenameInformation*>(buffer.data());
  info->root_directory = parent;
  info->file_name_length = static_cast<ULONG>(name_bytes);
  std::memcpy(info->file_name, name.data(), name_bytes);
  IO_STATUS_BLOCK io = {};
  // Windows 10 1809 and later replace a read-only file, or one that others have open for
  // deleting, without our touching its attributes (which a hard link would share with names
  // outside the install root).
  // Where the system does not know it (older Windows, Wine), that is remembered for the run.
  static bool extended_known = true;
  NTSTATUS status = static_cast<NTSTATUS>(0xC0000003L);
  if (extended_known) {
    info->flags = kRenameReplaceIfExists | kRenamePosixSemantics | kRenameIgnoreReadOnly;
    status = NtSetInformationFile(handle, &io, info, static_cast<ULONG>(buffer.size()),
                                  static_cast<FILE_INFORMATION_CLASS>(kFileRenameInformationEx));
    extended_known = !IsUnsupported(status);
  }
  if (IsUnsupported(status)) {
    info->flags = kRenameReplaceIfExists;
    status = NtSetInformationFile(handle, &io, info, static_cast<ULONG>(buffer.size()),
                                  static_cast<FILE_INFORMATION_CLASS>(kFileRenameInformation));
  }
  return NT_SUCCESS(status) ? ERROR_SUCCESS : ErrorOf(status);
}

DWORD CopyData(HANDLE source, LONGLONG size, HANDLE target, std::vector<char>& buffer) {
  for (LONGLONG left = size; left > 0;) {
    const DWORD wanted = static_cast<DWORD>(
        left < static_cast<LONGLONG>(buffer.size()) ? left : static_cast<LONGLONG>(buffer.size()));
    DWORD read = 0;
    if (!ReadFile(source, buffer.data(), wanted, &read, nullptr)) return GetLastError();
    // A disk file comes back short only at its end, but a user-mode file system or a redirector
    // may come back short in the middle too: only a read of nothing ends the data early.
    if (read == 0) return ERROR_FILE_INVALID;
    DWORD written = 0;
    if (!WriteFile(target, buffer.data(), read, &written, nullptr)) return GetLastError();
    if (written != read) return ERROR_WRITE_FAULT;
    left -= read;
  }
  // Nobody may write the source while we hold it, but a file system of its own may change it.
  FILE_STANDARD_INFO standard = {};
  if (GetFileType(source) == FILE_TYPE_DISK &&
      GetFileInformationByHandleEx(source, FileStandardInfo, &standard, sizeof(standard)) &&
      standard.EndOfFile.QuadPart != size) {
    return ERROR_FILE_INVALID;
  }
  return ERROR_SUCCESS;
}

bool ClearReadOnly(HANDLE handle) {
  FILE_BASIC_INFO basic = {};
  if (!GetFileInformationByHandleEx(handle, FileBasicInfo, &basic, sizeof(basic))) return false;
  if (!(basic.FileAttributes & FILE_ATTRIBUTE_READONLY)) return true;
  // A hard link is another name of the same file, with the same attributes.
  FILE_STANDARD_INFO standard = {};
  if (!GetFileInformationByHandleEx(handle, FileStandardInfo, &standard, sizeof(standard)) ||
      (!standard.Directory && standard.NumberOfLinks > 1)) {
    return false;
  }
  // Zero times leave them as they are; an attribute value of zero would too, so NORMAL stands
  // in when nothing else is left.
  const LARGE_INTEGER unchanged = {};
  basic.CreationTime = basic.LastAccessTime = basic.LastWriteTime = basic.ChangeTime = unchanged;
  basic.FileAttributes &=
      ~(FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT);
  if (basic.FileAttributes == 0) basic.FileAttributes = FILE_ATTRIBUTE_NORMAL;
  return SetFileInformationByHandle(handle, FileBasicInfo, &basic, sizeof(basic)) != FALSE;
}

bool IsMomentary(DWORD error) {
  return error == ERROR_SHARING_VIOLATION || error == ERROR_LOCK_VIOLATION ||
         error == ERROR_DELETE_PENDING;
}

namespace {
ULONGLONG run_retry_ms = 0;  // what the steps of this run have waited, all together
}  // namespace

bool RetryWaits::Next() {
  if (waited_ + delay_ > kStepRetryMs || run_retry_ms + delay_ > kRunRetryMs) return false;
  Sleep(delay_);
  waited_ += delay_;
  run_retry_ms += delay_;
  delay_ = delay_ * 2 > 500 ? 500 : delay_ * 2;
  return true;
}

}  // namespace orvo::fsops
