#pragma once

#include <cstdint>

#include "app/update_options.h"

namespace orvo::app {

// Fills UpdateOptions from an argument vector as CommandLineToArgvW returns it (element 0, the
// program's own path, is never looked at). Option names match exactly and case-sensitively; each
// takes the next argument verbatim as its value (the empty string when it is the last argument);
// a repeated option keeps its last value; anything else is ignored. Never fails.
UpdateOptions Parse(int argc, const wchar_t* const* argv);

// True when the options name a process, an install root and a staging directory.
bool IsComplete(const UpdateOptions& options);

// Converts a process id the way _wtol does: leading white space, an optional sign, decimal digits up
// to the first other character; no digits gives 0, and a value outside the 32-bit signed range gives
// the nearer end of it. Written out here because the C runtimes disagree on the overflow case.
std::int32_t ParseProcessId(const wchar_t* text);

}  // namespace orvo::app
