#pragma once

#include "app/update_options.h"

namespace orvo::launch {

// Starts <install root>\<exe subdir>\<restart exe> with <install root>\<exe subdir> as its current
// directory and the quoted executable path as its whole command line, and does not wait for it.
// Returns true when the process was created; otherwise logs "CreateProcess failed: <path>  err=<n>"
// and returns false.
bool RestartApplication(const app::UpdateOptions& options);

}  // namespace orvo::launch
