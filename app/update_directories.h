#pragma once

#include <string>

#include "fsops/dir_handles.h"

namespace orvo::app {

// Why the directories of an update were refused.
enum class Refusal {
  kNone,
  kUnusablePath,        // a path that fsops::ResolveDirectoryPath refuses
  kNotItsOwnDirectory,  // a staging directory that is the install root, lies above it, or is the
                        // root of a volume or of a share: the clean-up would delete the
                        // installation or a drive
  kLinkOnTheWay,        // a staging directory reached through a link
  kInstallRootUnreachable,  // an install root that cannot be opened
  kVolumeUnreachable,   // a staging directory whose volume or share cannot be opened
};

// The install root and the staging directory of an update, each opened once, before the wait, with
// the resolved path that names it. Every later step works through these handles, so a rename or a
// swap on the way to either directory after this changes nothing. A staging directory that does
// not exist has no handle (ERROR_FILE_NOT_FOUND or ERROR_PATH_NOT_FOUND): there is nothing to copy.
struct UpdateDirectories {
  fsops::Directory install_root;  // opened for kWriteDirectory
  fsops::Directory staging;       // opened for kRemoveDirectory
  Refusal refusal = Refusal::kNone;
};

// Resolves both options, opens both directories and decides on the opened handles. The install
// root is the caller's to choose, link or not. The staging directory is reached one component at a
// time (OpenBelow), from the install root when it lies inside it, through the install root's own
// link if it has one, otherwise from the root of its volume, which must be what its drive letter or
// share names. A refusal keeps no handle. Logged: "staging directory reached through a link:
// <path>", "install root cannot be opened: <path>  err=<n>", "volume of the staging directory
// cannot be opened: <volume root>  err=<n>": an update into or from what the updater cannot reach
// would fail file by file and then clear the staged files away.
//
// Once the paths are resolved, the process stands in the system directory: a process's current
// directory is held open without delete sharing, and would keep the staging tree from going.
UpdateDirectories OpenUpdateDirectories(const std::wstring& install_root,
                                        const std::wstring& staging);

}  // namespace orvo::app
