#pragma once

#include <string>

#include "app/update_options.h"

namespace orvo::app {

// The one absolute path that a directory option names, as the system resolves it: relative paths
// against the current directory, either separator, "." and "..", trailing separators, trailing dots
// and blanks; an extended-length path ("\\?\C:\...", "\\?\UNC\server\share\...") as the
// ordinary path it names, when it is written the way the system would write it. Empty, that is
// refused, for what does not name a directory on a volume in one definite way: a drive-relative
// path ("C:", "C:dir"), whose meaning hangs on a hidden per-drive current directory; a device name
// ("NUL", "CON"); the device namespace ("\\.\..."); any other "\\?\" or "\??\" path.
std::wstring ResolveDirectoryPath(const std::wstring& path);

// The clean-up deletes everything in the staging directory, so it must be a directory of its own.
// Returns false when either path is refused by ResolveDirectoryPath, or when, as the system
// resolves the two (letter case, short names and links too), the staging directory is the install
// root, contains it, or is the root of a volume. A staging directory inside the install root is
// fine.
bool IsStagingSeparate(const std::wstring& staging_dir, const std::wstring& install_root);

// Replaces the install root and the staging directory of `options` by their resolved paths, which
// every later step uses. False, and `options` unchanged, when IsStagingSeparate refuses them.
bool ResolveDirectories(UpdateOptions& options);

}  // namespace orvo::app
