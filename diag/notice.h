#pragma once

namespace orvo::diag {

// The four things the updater ever tells the user.
enum class Notice {
  kUsage,          // the command line is unusable
  kTimeout,        // the application did not exit in time
  kPartialCopy,    // some files could not be replaced
  kRestartFailed,  // updated, but the application could not be started again
};

// The notice's text, in Simplified Chinese.
const wchar_t* NoticeText(Notice notice);

// The notice's MessageBoxW style: MB_OK with an error or a warning icon.
unsigned NoticeStyle(Notice notice);

// Shows the notice as a modal box without owner, captioned "OrvoUpdater", and returns once the
// user has dismissed it.
void ShowNotice(Notice notice);

}  // namespace orvo::diag
