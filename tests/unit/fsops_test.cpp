// The file-system layer where it is simplest to reach directly: the identity check of a listed
// entry, reading to the end of what may come in short reads, the depth of the walks, the path of a
// volume that the mount manager does not name.

#include <windows.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <malloc.h>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "fsops/clear_staging.h"
#include "fsops/copy_tree.h"
#include "fsops/dir_handles.h"
#include "fsops/paths.h"
#include "tests/support/test_files.h"
#include "tools/harness/debug_session.h"

namespace orvo::fsops {
namespace {

std::string U8(const std::wstring& text) { return harness::ToUtf8(text); }

class FsopsTest : public test::FileTest {
 protected:
  void SetUp() override {
    test::FileTest::SetUp();
    for (const wchar_t* dir : {L"stage", L"install"}) CreateDirectoryW(Path(dir).c_str(), nullptr);
  }
};

// An entry is used only when the opened object is the one the listing showed: an entry replaced
// by another object of the same name after the listing is refused, link or not.
TEST_F(FsopsTest, UsesAnEntryOnlyWhenItIsTheOneListed) {
  const std::wstring x = Path(L"stage\\x"), spare = Path(L"spare");
  for (const wchar_t* change : {L"", L"file", L"directory"}) {
    SCOPED_TRACE(U8(change));
    test::WriteText(x, "listed");
    // Made before the listing, so that the system cannot hand the replacement the entry's id.
    if (change == std::wstring(L"file")) test::WriteText(spare, "listed");
    if (change == std::wstring(L"directory")) CreateDirectoryW(spare.c_str(), nullptr);
    const Opened stage = OpenDirectoryPath(Path(L"stage"), Purpose::kListDirectory);
    Listing listing(stage.handle.get());
    DirEntry entry;
    ASSERT_TRUE(NextEntry(listing, entry));
    if (*change) {
      DeleteFileW(x.c_str());
      ASSERT_TRUE(MoveFileW(spare.c_str(), x.c_str()));
    }
    const Opened child = OpenChild(stage.handle.get(), L"x", Purpose::kRemove);
    ASSERT_TRUE(child);
    EXPECT_EQ(IsListedEntry(listing, entry, child.handle.get()), !*change);
    test::RemoveTree(x);
  }
}

// A disk file comes back short only at its end, a pipe whenever a write has not come yet, as some
// file systems do too: the copy reads on until a read returns nothing.
TEST_F(FsopsTest, ReadsUntilAReadReturnsNothing) {
  HANDLE reading = nullptr, writing = nullptr;
  ASSERT_TRUE(CreatePipe(&reading, &writing, nullptr, 0));
  std::thread writer([writing] {
    for (const char* part : {"first ", "second ", "third"}) {
      DWORD written = 0;
      WriteFile(writing, part, static_cast<DWORD>(std::strlen(part)), &written, nullptr);
      Sleep(50);  // so that each read finds one part
    }
    CloseHandle(writing);
  });
  const HANDLE copy = CreateFileW(Path(L"copy").c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, 0, nullptr);
  std::vector<char> buffer(1 << 20);
  const DWORD error = CopyData(reading, copy, buffer);
  writer.join();
  CloseHandle(copy);
  CloseHandle(reading);
  EXPECT_EQ(test::ReadText(Path(L"copy")), "first second third");
  EXPECT_EQ(error, static_cast<DWORD>(ERROR_BROKEN_PIPE));  // how a pipe ends, unlike a file
}

// What this process writes to the debugger channel, caught where no debugger is: the system raises
// each write as an exception that a vectored handler sees first.
std::vector<std::string> g_writes;
LONG CALLBACK CatchDebugWrite(EXCEPTION_POINTERS* exception) {
  const EXCEPTION_RECORD& record = *exception->ExceptionRecord;
  const ULONG_PTR* p = record.ExceptionInformation;
  if (record.ExceptionCode == 0x4001000AL) {  // DBG_PRINTEXCEPTION_WIDE_C: length, text
    g_writes.push_back(U8(std::wstring(reinterpret_cast<const wchar_t*>(p[1]), p[0] - 1)));
  } else if (record.ExceptionCode == 0x40010006L) {  // DBG_PRINTEXCEPTION_C
    g_writes.push_back(std::string(reinterpret_cast<const char*>(p[1]), p[0] - 1));
  } else {
    return EXCEPTION_CONTINUE_SEARCH;
  }
  return EXCEPTION_CONTINUE_EXECUTION;
}

// The stack a walk uses, measured by painting: the thread fills the stack below its frame with a
// pattern before the walk and afterwards finds the deepest byte that the walk changed. Windows
// gives a thread the stack it asks for; Wine never less than 1 MiB, so there the figure is the
// proof.
constexpr size_t kPainted = 224 * 1024;
constexpr unsigned char kPaint = 0xA5;

ULONG_PTR PaintStack(size_t bytes) {
  volatile unsigned char* area = static_cast<unsigned char*>(_alloca(bytes));
  for (size_t i = 0; i < bytes; ++i) area[i] = kPaint;
  return reinterpret_cast<ULONG_PTR>(area);
}
ULONG_PTR (*volatile g_paint)(size_t) = PaintStack;  // called through this, never inlined

// However deep a staging tree goes, the copy and the clean-up walk kMaxTreeDepth levels, report
// what lies deeper, and leave it; and they do so on a quarter of the stack that MSVC gives a main
// thread, so that the depth is bounded by the limit, not by the stack.
TEST_F(FsopsTest, WalksItsFullDepthOnASmallStack) {
  Directory staging{OpenDirectoryPath(Path(L"stage"), Purpose::kRemoveDirectory), Path(L"stage")};
  const Directory install{OpenDirectoryPath(Path(L"install"), Purpose::kWriteDirectory), Path(L"install")};
  // Made through handles: the path is far beyond what the path calls take without "\\?\".
  std::wstring deepest = L"\\\\?\\" + Path(L"stage"), reported = Path(L"stage");
  Opened level;
  for (int depth = 1; depth <= kMaxTreeDepth + 1; ++depth) {
    level = CreateOrOpenDirectory(depth == 1 ? staging.opened.handle.get() : level.handle.get(), L"d");
    ASSERT_TRUE(level) << depth;
    deepest += L"\\d";
    if (depth == kMaxTreeDepth + 1) reported = deepest.substr(4);
    const Opened file = CreateNewFile(level.handle.get(), depth == kMaxTreeDepth ? L"f.txt" : L"x.txt");
    DWORD written = 0;
    WriteFile(file.handle.get(), "f", 1, &written, nullptr);
  }
  level = Opened();
  const PVOID handler = AddVectoredExceptionHandler(1, CatchDebugWrite);
  struct Walk {
    Directory* staging;
    const Directory* install;
    bool copied;
    size_t used;
  } walk{&staging, &install, true, 0};
  const HANDLE thread = CreateThread(
      nullptr, 256 * 1024,
      [](void* context) -> DWORD {
        Walk& w = *static_cast<Walk*>(context);
        const unsigned char top = 0;
        const auto* painted = reinterpret_cast<const unsigned char*>(g_paint(kPainted));
        w.copied = CopyTree(*w.staging, *w.install);
        ClearStagingDirectory(w.staging->opened.handle.get());
        const unsigned char* deepest = painted;
        while (deepest < painted + kPainted && *deepest == kPaint) ++deepest;
        w.used = static_cast<size_t>(&top - deepest);
        return 0;
      },
      &walk, STACK_SIZE_PARAM_IS_A_RESERVATION, nullptr);
  ASSERT_NE(thread, nullptr);
  WaitForSingleObject(thread, INFINITE);
  CloseHandle(thread);
  RemoveVectoredExceptionHandler(handler);
  std::printf("the walk used %zu bytes of stack for %d levels\n", walk.used, kMaxTreeDepth);
  EXPECT_LT(walk.used, kPainted) << "more stack than a quarter of MSVC's main thread has";
  EXPECT_FALSE(walk.copied);
  EXPECT_EQ(g_writes, (std::vector<std::string>{"[OrvoUpdater] ", "FindFirstFile failed: " + U8(reported) + "  err=206", "\n"}));
  // The deepest level walked is copied and cleared; the one below it is neither.
  const std::wstring walked = deepest.substr(0, deepest.size() - 2);
  const std::wstring installed = L"\\\\?\\" + Path(L"install") + walked.substr(4 + Path(L"stage").size());
  EXPECT_EQ(test::ReadText(installed + L"\\f.txt"), "f");
  EXPECT_FALSE(test::Exists(installed + L"\\d"));
  EXPECT_FALSE(test::Exists(walked + L"\\f.txt"));
  EXPECT_EQ(test::ReadText(deepest + L"\\x.txt"), "f");
}

// A volume that the mount manager does not name (a RAM disk) has no DOS path for its handles; the
// NT path, mapped back through the device that the drive letter names, stands in. Here, where the
// DOS path exists, both must agree, and no other drive's device may claim the handle.
TEST_F(FsopsTest, NamesAHandleThroughItsDrivesDevice) {
  for (const std::wstring& path : {dir_, dir_.substr(0, 3)}) {
    const Opened opened = OpenDirectoryPath(path, Purpose::kListDirectory);
    wchar_t system[32768] = {};
    ASSERT_NE(GetFinalPathNameByHandleW(opened.handle.get(), system, 32768, VOLUME_NAME_DOS), 0u);
    std::wstring expected = std::wstring(system).substr(4);  // without "\\?\"
    EXPECT_EQ(U8(FinalPathThroughDevice(opened.handle.get(), path)), U8(expected));
    int others = 0;
    for (wchar_t letter = L'A'; letter <= L'Z'; ++letter) {
      const std::wstring drive = std::wstring(1, letter) + L":\\";
      if (letter == path[0] || GetDriveTypeW(drive.c_str()) == DRIVE_NO_ROOT_DIR) continue;
      EXPECT_EQ(U8(FinalPathThroughDevice(opened.handle.get(), drive)), "") << U8(drive);
      ++others;
    }
    std::printf("checked against %d other drives\n", others);
  }
}

}  // namespace
}  // namespace orvo::fsops
