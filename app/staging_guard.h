#pragma once

#include <string>

#include "app/update_options.h"
#include "fsops/dir_handles.h"

namespace orvo::app {

// The one absolute path that a directory option names, as the system resolves it: relative paths
// against the current directory, either separator, "." and "..", trailing separators, trailing dots
// and blanks; an extended-length path ("\\?\C:\...", "\\?\UNC\server\share\...") as the
// ordinary path it names, when it is written the way the system would write it. Empty, that is
// refused, for what does not name a directory on a volume in one definite way: a drive-relative
// path ("C:", "C:dir"), whose meaning hangs on a hidden per-drive current directory; a device name
// ("NUL", "CON"); the device namespace ("\\.\..."); any other "\\?\" or "\??\" path.
std::wstring ResolveDirectoryPath(const std::wstring& path);

// The two directories of an update, each opened once, before the wait. Every later step works
// through these handles, so a rename or a swap on the way to either directory after the check
// changes nothing. No handle: the directory could not be opened, and `error` says why.
struct UpdateDirectories {
  fsops::Opened staging;
  fsops::Opened install_root;
};

// Resolves both options (ResolveDirectoryPath), opens both directories and decides on the opened
// handles: the install root by its path, link or not; the staging directory one component at a
// time from the install root when it lies inside it, otherwise from its volume's root, each
// component checked to be the entry its parent lists. Refused, with no handle kept and `options`
// unchanged:
// - a path that ResolveDirectoryPath refuses;
// - a staging directory reached through a link at any component (junction, symbolic link, mount
//   point, a drive letter that leads elsewhere), itself included, logged as "staging directory
//   reached through a link: <path>"; the install root may be a link, and so a staging directory
//   inside it may be reached through that one;
// - a staging directory that is the install root, contains it, or is the root of a volume or of a
//   share: the clean-up would delete the installation or a drive.
// On success `options` holds the resolved paths, which the log lines use. A staging directory that
// does not exist is no refusal: there is nothing to copy then.
bool OpenUpdateDirectories(UpdateOptions& options, UpdateDirectories& directories);

}  // namespace orvo::app
