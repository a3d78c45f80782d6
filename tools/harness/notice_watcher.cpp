#include "tools/harness/notice_watcher.h"

#include <algorithm>

namespace orvo::harness {
namespace {

constexpr int kTextId = 0xFFFF;
// The icon control of a message box: 0x14 on Windows, 0x440 in Wine.
constexpr int kIconIds[] = {0x14, 0x440};

std::wstring WindowText(HWND window) {
  wchar_t buffer[1024] = {};
  GetWindowTextW(window, buffer, 1024);
  return buffer;
}

// The icon is a handle of the process that shows the box; the shared system icons it uses can be
// matched only from within that process.
NoticeIcon ReadIcon(HWND box) {
  DWORD owner_process = 0;
  GetWindowThreadProcessId(box, &owner_process);
  if (owner_process != GetCurrentProcessId()) return NoticeIcon::kUnknown;
  for (const int id : kIconIds) {
    const HWND control = GetDlgItem(box, id);
    if (!control) continue;
    const auto icon = reinterpret_cast<HICON>(SendMessageW(control, STM_GETICON, 0, 0));
    if (!icon) return NoticeIcon::kNone;
    if (icon == LoadIconW(nullptr, IDI_ERROR)) return NoticeIcon::kError;
    if (icon == LoadIconW(nullptr, IDI_WARNING)) return NoticeIcon::kWarning;
    return NoticeIcon::kOther;
  }
  return NoticeIcon::kNone;
}

}  // namespace

SeenNotice ReadNotice(HWND box) {
  SeenNotice notice;
  notice.caption = WindowText(box);
  wchar_t text[4096] = {};
  GetDlgItemTextW(box, kTextId, text, 4096);
  notice.text = text;
  notice.has_owner = GetWindow(box, GW_OWNER) != nullptr;
  notice.icon = ReadIcon(box);
  for (HWND child = GetWindow(box, GW_CHILD); child; child = GetWindow(child, GW_HWNDNEXT)) {
    wchar_t class_name[64] = {};
    GetClassNameW(child, class_name, 64);
    if (lstrcmpiW(class_name, L"Button") != 0 || !IsWindowVisible(child)) continue;
    notice.buttons.push_back(WindowText(child));
    notice.button_ids.push_back(GetDlgCtrlID(child));
  }
  return notice;
}

void Dismiss(HWND box) {
  HWND button = nullptr;
  for (HWND child = GetWindow(box, GW_CHILD); child; child = GetWindow(child, GW_HWNDNEXT)) {
    wchar_t class_name[64] = {};
    GetClassNameW(child, class_name, 64);
    if (lstrcmpiW(class_name, L"Button") == 0 && IsWindowVisible(child)) button = child;
  }
  if (button) PostMessageW(button, BM_CLICK, 0, 0);
  for (int i = 0; i < 50 && IsWindow(box); ++i) Sleep(20);
  if (IsWindow(box)) PostMessageW(box, WM_CLOSE, 0, 0);
  for (int i = 0; i < 200 && IsWindow(box); ++i) Sleep(20);
}

std::vector<HWND> NoticeBoxes(DWORD process_id) {
  std::vector<HWND> boxes;
  for (HWND box = FindWindowExW(nullptr, nullptr, L"#32770", L"OrvoUpdater"); box;
       box = FindWindowExW(nullptr, box, L"#32770", L"OrvoUpdater")) {
    DWORD owner_process = 0;
    GetWindowThreadProcessId(box, &owner_process);
    if (owner_process == process_id && IsWindowVisible(box)) boxes.push_back(box);
  }
  return boxes;
}

void NoticeWatcher::Start(DWORD process_id) {
  Stop();
  stop_ = false;
  thread_ = std::thread([this, process_id] { Watch(process_id); });
}

void NoticeWatcher::Stop() {
  stop_ = true;
  if (thread_.joinable()) thread_.join();
}

std::vector<SeenNotice> NoticeWatcher::Seen() const {
  const std::lock_guard<std::mutex> lock(mutex_);
  return seen_;
}

void NoticeWatcher::Watch(DWORD process_id) {
  std::vector<HWND> answered;
  while (!stop_) {
    for (const HWND box : NoticeBoxes(process_id)) {
      if (std::find(answered.begin(), answered.end(), box) != answered.end()) continue;
      SeenNotice notice = ReadNotice(box);
      {
        const std::lock_guard<std::mutex> lock(mutex_);
        seen_.push_back(std::move(notice));
      }
      answered.push_back(box);
      Dismiss(box);
    }
    // A dismissed box's handle may be reused for the next one.
    answered.erase(std::remove_if(answered.begin(), answered.end(),
                                  [](HWND box) { return !IsWindow(box); }),
                   answered.end());
    Sleep(20);
  }
}

}  // namespace orvo::harness
