#pragma once

#include <windows.h>

#include <atomic>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace orvo::harness {

enum class NoticeIcon { kUnknown, kNone, kError, kWarning, kOther };

// One message box as a user met it.
struct SeenNotice {
  std::wstring caption;
  std::wstring text;
  std::vector<std::wstring> buttons;  // labels of the visible buttons
  std::vector<int> button_ids;
  NoticeIcon icon = NoticeIcon::kUnknown;  // kUnknown where the platform does not let us see it
  bool has_owner = false;
};

// The updater's visible message boxes (dialog class "#32770", caption "OrvoUpdater") that belong to
// one process, in window order.
std::vector<HWND> NoticeBoxes(DWORD process_id);

// What one box shows: caption, text, buttons, icon, owner.
SeenNotice ReadNotice(HWND box);

// Answers a box as a user would: a click on its one visible button (BM_CLICK); a box that is still
// up a second later (a click can fail on a box that is not active) gets WM_CLOSE, which a box with
// only OK takes as OK. Returns once the box is gone, or after a few seconds.
void Dismiss(HWND box);

// Watches for the updater's message boxes (dialog class "#32770", caption "OrvoUpdater") that
// belong to one process, records each and answers it (Dismiss). Runs on a thread of its own from
// Start until Stop or destruction.
class NoticeWatcher {
 public:
  NoticeWatcher() = default;
  ~NoticeWatcher() { Stop(); }
  NoticeWatcher(const NoticeWatcher&) = delete;
  NoticeWatcher& operator=(const NoticeWatcher&) = delete;

  void Start(DWORD process_id);
  void Stop();
  std::vector<SeenNotice> Seen() const;

 private:
  void Watch(DWORD process_id);

  std::thread thread_;
  std::atomic<bool> stop_{false};
  mutable std::mutex mutex_;
  std::vector<SeenNotice> seen_;
};

}  // namespace orvo::harness
