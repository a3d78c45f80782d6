#pragma once

#include <initializer_list>
#include <string>
#include <vector>

#include "tools/harness/debug_session.h"
#include "tools/harness/processes.h"

namespace orvo::test {

// The test binary doubles as a probe that runs one operation of the program in a process of its
// own, under the debugger, so that its debug output can be seen:
//   --probe log TEXT                    LogLine(TEXT)
//   --probe copy SOURCE DESTINATION     CopyTree(SOURCE, DESTINATION, "")
//   --probe clear STAGING               ClearStagingDirectory(STAGING)
//   --probe restart ROOT SUBDIR EXE     RestartApplication with those options
// The exit code is 1 for a true result, 0 for false (and for operations without a result).
harness::DebugRun RunProbe(std::initializer_list<std::wstring> arguments);

// Runs the probe when the command line asks for it; returns -1 otherwise.
int ProbeMain(int argc, wchar_t** argv);

using harness::QuoteArgument;

// The texts of the log lines in a run's debug output. Every line must arrive as the three writes
// "[OrvoUpdater] ", text, "\n"; anything else is returned as a "<malformed: ...>" entry.
std::vector<std::string> LogTexts(const harness::DebugRun& run);

}  // namespace orvo::test
