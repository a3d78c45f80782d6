#pragma once

#include <string>

namespace orvo::app {

// The clean-up deletes everything in the staging directory, so it must be a directory of its own.
// Returns false when, as the system resolves the two paths (letter case, either separator,
// trailing separators, relative paths, "." and "..", short names, links), the staging directory
// is the install root, contains it, or is the root of a volume. A staging directory inside the
// install root is fine.
bool IsStagingSeparate(const std::wstring& staging_dir, const std::wstring& install_root);

}  // namespace orvo::app
