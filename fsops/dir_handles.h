#pragma once

#include <windows.h>

#include <memory>
#include <string>
#include <vector>

// Handle-relative file work. Every entry below a directory that someone else may change while we
// work is reached through an open handle of its parent and its one name, never through a full path
// that the system would resolve again: a directory swapped for a link between two steps cannot
// redirect what follows. The copy and the clean-up are written on these primitives only.

namespace orvo::fsops {

#ifndef ERROR_STOPPED_ON_SYMLINK
#define ERROR_STOPPED_ON_SYMLINK 681L
#endif

// How many directory levels below its root the copy and the clean-up walk: real updates stay within
// a few dozen, and a hostile tree of any depth neither crashes the walk nor exhausts its memory
// (one listing buffer and one handle a level). A test walks the full depth on a thread with the
// stack that the executable's main thread reserves, and holds it to half of that.
constexpr int kMaxTreeDepth = 256;

struct HandleCloser {
  void operator()(HANDLE handle) const { CloseHandle(handle); }
};
// An open file or directory; null when it could not be opened.
using UniqueHandle = std::unique_ptr<void, HandleCloser>;

// The outcome of an open: the handle, or the system's code for why there is none.
struct Opened {
  UniqueHandle handle;
  DWORD error = ERROR_SUCCESS;
  // Opened for kRemoveDirectory, but to be listed only: someone held it without sharing
  // deletion, or deleting it is not granted. Reopen tries again for the whole access.
  bool list_only = false;
  explicit operator bool() const { return handle != nullptr; }
};

// No handle, for the reason `error`.
Opened Failed(DWORD error);

// A directory opened once for a whole run, and the path that names it in log lines.
struct Directory {
  Opened opened;
  std::wstring path;
};

// What an open is for; each asks for the access that job needs and no more.
enum class Purpose {
  kListDirectory,    // walk a directory: list it and open its children
  kWriteDirectory,   // list a directory and create or replace entries in it
  kReadFile,         // read a file's data and times; others may read it too, not change it
  kRemove,           // delete the entry itself (file, empty directory or link)
  kRemoveDirectory,  // empty a directory through its listing, then delete it; one that someone
                     // holds without sharing deletion (an Explorer window, a process's current
                     // directory), or that may be read but not deleted (an ACL without DELETE, a
                     // read-only share, a write-protected medium), is opened list_only
  kIdentify,         // read what the object is, nothing more
};

// Opens the directory `path` for `purpose`, following links on the way and at its end.
Opened OpenDirectoryPath(const std::wstring& path, Purpose purpose);

// Opens the entry `name` of the directory `parent` for `purpose`, without following it if it is
// a link (where the system can open a link as a link: Windows; Wine opens what it points to).
Opened OpenChild(HANDLE parent, const std::wstring& name, Purpose purpose);

// Opens the object that `opened` is open on again, for `purpose`, through that handle and never
// through a path: what someone renamed or swapped on the way to it since changes nothing.
Opened Reopen(HANDLE opened, Purpose purpose);

// What an open object is, whatever it was called to open it: the volume's serial number and the
// file id on that volume. Two handles are open on one object exactly when these agree.
struct FileIdentity {
  ULONGLONG volume = 0;
  FILE_ID_128 id = {};
  bool operator==(const FileIdentity& other) const;
};

// The identity of the object behind `handle`: the 128-bit id where the system gives one (ReFS
// needs it), the 64-bit one otherwise. False when the system tells neither.
bool QueryIdentity(HANDLE handle, FileIdentity& identity);

// Opens, or creates, the subdirectory `name` of `parent` for kWriteDirectory, without following a
// link of that name.
Opened CreateOrOpenDirectory(HANDLE parent, const std::wstring& name);

// Creates the new file `name` in `parent` for writing and renaming, exclusively: nothing that is
// already at that name, a link included, is opened or followed.
Opened CreateNewFile(HANDLE parent, const std::wstring& name);

// One entry of a directory listing.
struct DirEntry {
  std::wstring name;
  DWORD attributes = 0;
  LONGLONG file_id = 0;  // unique on the volume; what the entry's handle reports as its id
  bool is_directory() const { return (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0; }
  bool is_link() const { return (attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0; }
};

// Reads a directory through a handle opened for listing, a batch at a time.
struct Listing {
  explicit Listing(HANDLE listed) : directory(listed) {}
  HANDLE directory;
  std::vector<unsigned char> batch;
  size_t next = 0;          // offset of the next entry in `batch`; batch.size() when used up
  bool started = false;
  DWORD error = ERROR_SUCCESS;  // why the listing stopped early; ERROR_SUCCESS at the end
  std::wstring path;            // the directory's own path on its volume, read with the first batch
};

// Fills `entry` with the next entry other than "." and "..". False at the end of the listing and
// when it fails; `listing.error` tells the two apart.
bool NextEntry(Listing& listing, DirEntry& entry);

// What IsListedEntry reads of a handle besides its identity.
struct EntryInfo {
  FILE_BASIC_INFO basic = {};  // attributes and times
  LONGLONG size = 0;           // end of file
};

// True when `handle`, opened by the name of `entry` relative to `listing.directory`, is the very
// object that the listing showed: the same file id, the same kind (directory or not), not a link,
// and reached by that name. Fills `info`, when given.
bool IsListedEntry(const Listing& listing, const DirEntry& entry, HANDLE handle,
                   EntryInfo* info = nullptr);

// True when `handle` was opened on a link itself (Windows opens a link as a link when asked; Wine
// never does, so this is false there).
bool IsLinkHandle(HANDLE handle);

// True when `path` names a link, by the attributes the system reports for the name. Wine shows a
// host link to a directory this way, though it opens the target when asked for the link.
bool IsLinkPath(const std::wstring& path);

// Deletes the file, empty directory or link that `handle` was opened on (kRemove or
// kRemoveDirectory), read-only or not. The name goes when the last handle to it closes. A
// read-only file with other names is left where the system cannot delete a name without clearing
// the bit, which all its names share.
bool DeleteByHandle(HANDLE handle);

// Gives the file `handle` (opened by CreateNewFile) the name `name` in `parent`, replacing a file
// of that name as a name: a link or a hard link there is replaced, never written through.
DWORD RenameInto(HANDLE handle, HANDLE parent, const std::wstring& name);

// Copies the `size` bytes of `source` to `target` through `buffer`, going on through short reads
// and stopping there: a source that would give more (a sparse or endless file of a user-mode file
// system) fills no more than that. ERROR_SUCCESS; ERROR_FILE_INVALID when the source ended early
// or no longer has that size afterwards (it changed while it was read); else the system's code
// for the read or the write that failed.
DWORD CopyData(HANDLE source, LONGLONG size, HANDLE target, std::vector<char>& buffer);

// Clears the read-only bit of the file or directory `handle` names, leaving every other attribute
// and the times as they are. A file with more than one name is left alone (false): attributes
// belong to the file, and another name of it may lie outside our trees.
bool ClearReadOnly(HANDLE handle);

// True for the errors of a file that someone holds for a moment (a scanner, the search indexer, a
// backup agent): a sharing or lock violation, or a delete still pending.
bool IsMomentary(DWORD error);

// How long one step is tried again while its file is held for a moment, and how long all the
// steps of a run are, together. Scanners hold a file for tens to hundreds of milliseconds, seldom
// for a second; a Kestrava process that did not exit holds its files for good, and then each file
// costs a step's time until the run's is spent, after which every step is tried once.
constexpr ULONGLONG kStepRetryMs = 2000;
constexpr ULONGLONG kRunRetryMs = 10000;

// The waits between the tries of one step: 10 ms, doubling up to 500 ms.
class RetryWaits {
 public:
  // Waits before the next try; false, without waiting, when the step's or the run's time is spent.
  bool Next();

 private:
  ULONGLONG waited_ = 0;
  DWORD delay_ = 10;
};

// Runs `step` (which returns a Win32 code) until it succeeds, fails otherwise than for a moment
// (IsMomentary), or its time is spent. Every try goes through the handles the step holds, never a
// path. Returns the last code, ERROR_DELETE_PENDING as the access denied that the system gives
// for it elsewhere.
template <typename Step>
DWORD RetryMomentary(Step step) {
  RetryWaits waits;
  for (;;) {
    const DWORD error = step();
    if (!IsMomentary(error) || !waits.Next()) {
      return error == ERROR_DELETE_PENDING ? static_cast<DWORD>(ERROR_ACCESS_DENIED) : error;
    }
  }
}

}  // namespace orvo::fsops
