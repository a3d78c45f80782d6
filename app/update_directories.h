#pragma once

#include <string>

#include "fsops/dir_handles.h"

namespace orvo::app {

// Why the directories of an update were refused.
enum class Refusal {
  kNone,
  kUnusablePath,        // a path that fsops::ResolveDirectoryPath refuses
  kNotItsOwnDirectory,  // a staging directory that is the install root, lies above it, or is the
                        // root of a volume or of a share, by its path or by what it is: the
                        // clean-up would delete the installation or a drive
  kLinkOnTheWay,        // a staging directory reached through a link
  kInstallRootUnreachable,  // an install root that cannot be opened
  kInstallRootUnnamed,  // an install root whose path the system cannot tell (some shared folders
                        // of virtual machines): nothing could be compared with it
  kVolumeUnreachable,   // a staging directory whose volume or share cannot be opened
  kStagingUnreachable,  // a staging directory that exists but cannot be opened
};

// The install root and the staging directory of an update, each opened once, before the wait, with
// the resolved path that names it. Every later step works through these handles, so a rename or a
// swap on the way to either directory after this changes nothing. A staging directory that does
// not exist has no handle (ERROR_FILE_NOT_FOUND or ERROR_PATH_NOT_FOUND): there is nothing to copy.
// One that may be read but not deleted (held by someone, an ACL without DELETE, a read-only share)
// is opened list-only, and applied all the same.
struct UpdateDirectories {
  fsops::Directory install_root;  // opened for kWriteDirectory
  fsops::Directory staging;       // opened for kRemoveDirectory
  Refusal refusal = Refusal::kNone;
};

// True when the open directory `staging` is the open install root `root`, one of the directories
// above it up to its volume's root (as its path `final_root` names them, each opened to be asked),
// or the root of a volume: decided on what the handles are, the volume's serial number and the
// file id, whatever names opened them. What cannot be told counts as the same: nothing shows that
// it is another directory.
bool HoldsTheInstallRoot(HANDLE staging, HANDLE root, const std::wstring& final_root);

// Resolves both options, opens both directories and decides on the opened handles. The install
// root is the caller's to choose, link or not. The staging directory is reached one component at a
// time (OpenBelow), from the install root when it lies inside it, through the install root's own
// link if it has one, otherwise from the root of its volume, which must be what its drive letter or
// share names. The staging directory must not be the install root nor lie above it, by its path
// and by what the opened handles are (volume serial number and file id, compared with the install
// root and with each directory above it): one folder has many names (a second drive letter onto
// it, the loopback share \\localhost\C$, its index stream), and no spelling changes an identity.
//
// A refusal keeps no handle, and says why in one debug line:
//   "install root is not a usable path: <as given>", "staging directory is not a usable path: <as
//   given>", "install root cannot be opened: <path>  err=<n>", "install root's final path cannot
//   be named: <path>", "volume of the staging directory cannot be opened: <volume root>  err=<n>",
//   "staging directory reached through a link: <path>", "staging directory cannot be opened:
//   <path>  err=<n>", "staging directory is the install root, lies above it, or is a volume's
//   root: <path>".
// An update into or from what the updater cannot reach would fail file by file and then clear the
// staged files away.
//
// Once the paths are resolved, the process stands in the system directory: a process's current
// directory is held open without delete sharing, and would keep the staging tree from going.
UpdateDirectories OpenUpdateDirectories(const std::wstring& install_root,
                                        const std::wstring& staging);

}  // namespace orvo::app
