#include "diag/notice.h"

#include <windows.h>

namespace orvo::diag {

const wchar_t* NoticeText(Notice notice) {
  switch (notice) {
    case Notice::kUsage:
      return L"参数无效。用法：OrvoUpdater.exe --pid <pid> --install-root <path> --staging-dir <path> "
             L"--exe-subdir <subdir> --restart <exe>";
    case Notice::kTimeout:
      return L"等待主程序退出超时，更新中止。";
    case Notice::kPartialCopy:
      return L"部分文件覆盖失败，请关闭所有 Kestrava 进程后重试，或手动从官网下载。";
    case Notice::kRestartFailed:
      return L"更新已完成，但自动重启失败，请手动启动 Kestrava。";
  }
  return L"";
}

unsigned NoticeStyle(Notice notice) {
  switch (notice) {
    case Notice::kUsage:
    case Notice::kTimeout:
      return MB_OK | MB_ICONERROR;
    case Notice::kPartialCopy:
    case Notice::kRestartFailed:
      return MB_OK | MB_ICONWARNING;
  }
  return MB_OK;
}

void ShowNotice(Notice notice) {
  MessageBoxW(nullptr, NoticeText(notice), L"OrvoUpdater", NoticeStyle(notice));
}

}  // namespace orvo::diag
