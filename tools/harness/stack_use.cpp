#include "tools/harness/stack_use.h"

#include <windows.h>

#include <malloc.h>

namespace orvo::harness {
namespace {

constexpr unsigned char kPaint = 0xA5;
constexpr std::size_t kAbove = 32 * 1024;  // for the thread's start and what the system keeps

struct Measure {
  const std::function<void()>* work;
  std::size_t painted;
  std::size_t used;
};

ULONG_PTR Paint(std::size_t bytes) {
  volatile unsigned char* area = static_cast<unsigned char*>(_alloca(bytes));
  for (std::size_t i = 0; i < bytes; ++i) area[i] = kPaint;
  return reinterpret_cast<ULONG_PTR>(area);
}
ULONG_PTR (*volatile g_paint)(std::size_t) = Paint;  // called through this, so never inlined

DWORD WINAPI Run(void* context) {
  Measure& m = *static_cast<Measure*>(context);
  const unsigned char top = 0;
  const auto* painted = reinterpret_cast<const unsigned char*>(g_paint(m.painted));
  (*m.work)();
  const unsigned char* deepest = painted;
  while (deepest < painted + m.painted && *deepest == kPaint) ++deepest;
  m.used = deepest == painted ? m.painted + kAbove : static_cast<std::size_t>(&top - deepest);
  return 0;
}

}  // namespace

std::size_t StackUsedBy(const std::function<void()>& work, std::size_t reserve) {
  Measure measure{&work, reserve - kAbove, 0};
  const HANDLE thread =
      CreateThread(nullptr, reserve, Run, &measure, STACK_SIZE_PARAM_IS_A_RESERVATION, nullptr);
  if (!thread) return reserve;
  WaitForSingleObject(thread, INFINITE);
  CloseHandle(thread);
  return measure.used;
}

}  // namespace orvo::harness
