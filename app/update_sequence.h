#pragma once

namespace orvo::app {

// Process exit codes.
constexpr int kExitUpdated = 0;        // updated (some files may have failed) and restarted
constexpr int kExitBadArguments = 1;   // no argument vector, incomplete or refused options
constexpr int kExitWaitTimedOut = 2;   // the application did not exit; nothing was touched
constexpr int kExitRestartFailed = 3;  // updated, but the application could not be started

constexpr unsigned long kWaitLimitMs = 60000;  // how long the application may take to exit
constexpr unsigned long kSettleDelayMs = 500;  // lets the system release the application's files

// The whole update, from the process command line to the exit code: wait for the application to
// exit, lay the staging tree over the install root, clear the staging directory, start the
// application again.
int RunUpdate();

// Waits up to kWaitLimitMs for the process to end. True when it ended, when no such process is
// left, when the id now names a process started after the updater or the updater itself (Kestrava
// has gone and its id was given again), or when the wait itself fails; false on timeout. A process that may not be opened for
// waiting (another account's) is opened with the debug privilege, which administrators hold; one
// that cannot be opened even so is asked for again until it is gone or the time is up.
bool WaitForApplicationExit(int process_id);

}  // namespace orvo::app
