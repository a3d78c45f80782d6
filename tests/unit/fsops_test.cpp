// The file-system layer where it is simplest to reach directly: the identity check of a listed
// entry, reading to the end of what may come in short reads, the depth of the walks, the path of a
// volume that the mount manager does not name.

#include <windows.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "fsops/clear_staging.h"
#include "fsops/copy_tree.h"
#include "fsops/dir_handles.h"
#include "fsops/paths.h"
#include "tests/support/test_files.h"
#include "tools/harness/debug_session.h"
#include "tools/harness/stack_use.h"
#include "tools/harness/text_io.h"

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
    harness::WriteText(x, "listed");
    // Made before the listing, so that the system cannot hand the replacement the entry's id.
    if (change == std::wstring(L"file")) harness::WriteText(spare, "listed");
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
    harness::RemoveTree(x);
  }
}

// A disk file comes back short only at its end, a pipe whenever a write has not come yet, as some
// file systems do too: the copy reads on through short reads, up to the size the file had when it
// was opened and no further, and reports a file that ended before it or has another size now.
TEST_F(FsopsTest, CopiesWhatTheFileHoldsNoMore) {
  const struct {
    bool pipe;  // else a disk file that holds all the parts
    std::vector<const char*> parts;
    LONGLONG size;
    const char* copied;
    DWORD error;
  } cases[] = {
      {true, {"first ", "second ", "third"}, 18, "first second third", ERROR_SUCCESS},
      {true, {"first ", "second ", "third", " and more"}, 18, "first second third", ERROR_SUCCESS},
      // A pipe ends with this error where a file gives a read of nothing; either is a failure.
      {true, {"first ", "second "}, 18, "first second ", ERROR_BROKEN_PIPE},
      {false, {"first ", "second ", "third"}, 18, "first second third", ERROR_SUCCESS},
      {false, {"first ", "second "}, 18, "first second ", ERROR_FILE_INVALID},
      {false, {"first ", "second ", "third"}, 6, "first ", ERROR_FILE_INVALID},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.pipe ? "pipe: " : "file: ") + c.copied);
    HANDLE reading = nullptr, writing = nullptr;
    std::thread writer;
    if (c.pipe) {
      ASSERT_TRUE(CreatePipe(&reading, &writing, nullptr, 0));
      writer = std::thread([&c, writing] {
        for (const char* part : c.parts) {
          DWORD written = 0;
          WriteFile(writing, part, static_cast<DWORD>(std::strlen(part)), &written, nullptr);
          Sleep(50);  // so that each read finds one part
        }
        CloseHandle(writing);
      });
    } else {
      std::string content;
      for (const char* part : c.parts) content += part;
      harness::WriteText(Path(L"source"), content);
      reading = CreateFileW(Path(L"source").c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                            OPEN_EXISTING, 0, nullptr);
    }
    const HANDLE copy = CreateFileW(Path(L"copy").c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    std::vector<char> buffer(1 << 20);
    EXPECT_EQ(CopyData(reading, c.size, copy, buffer), c.error);
    if (writer.joinable()) writer.join();
    CloseHandle(copy);
    CloseHandle(reading);
    EXPECT_EQ(harness::ReadText(Path(L"copy")), c.copied);
  }
}

// The stack that OrvoUpdater.exe's main thread reserves, as its linker wrote it into the image
// (MSVC's default is 1 MiB, GNU ld's 2 MiB); 0 when the image cannot be read.
size_t ExeStackReserve() {
  const std::string image = harness::ReadText(test::BinDirectory() + L"\\OrvoUpdater.exe");
  IMAGE_DOS_HEADER dos = {};
  IMAGE_NT_HEADERS64 nt = {};
  if (image.size() < sizeof(dos)) return 0;
  std::memcpy(&dos, image.data(), sizeof(dos));
  if (dos.e_magic != IMAGE_DOS_SIGNATURE || image.size() < static_cast<size_t>(dos.e_lfanew) + sizeof(nt)) return 0;
  std::memcpy(&nt, image.data() + dos.e_lfanew, sizeof(nt));
  if (nt.Signature != IMAGE_NT_SIGNATURE || nt.OptionalHeader.Magic != IMAGE_NT_OPTIONAL_HDR64_MAGIC) return 0;
  return static_cast<size_t>(nt.OptionalHeader.SizeOfStackReserve);
}

// However deep a staging tree goes, the copy and the clean-up walk kMaxTreeDepth levels, report
// what lies deeper, and leave it; and they do so within half of the stack that the updater's main
// thread has, as linked, so that the depth is bounded by the limit, not by the stack. The walk
// runs on a thread with that very stack: on Windows it would fail hard beyond it.
TEST_F(FsopsTest, WalksItsFullDepthOnASmallStack) {
  const size_t reserve = ExeStackReserve();
  ASSERT_GE(reserve, 256u * 1024) << "no stack reserve read from OrvoUpdater.exe";
  const std::wstring deepest = harness::MakeDeepTree(Path(L"stage"), kMaxTreeDepth + 1);
  const Directory staging{OpenDirectoryPath(Path(L"stage"), Purpose::kRemoveDirectory), Path(L"stage")};
  const Directory install{OpenDirectoryPath(Path(L"install"), Purpose::kWriteDirectory), Path(L"install")};
  bool copied = true;
  const size_t used = harness::StackUsedBy([&] {
    copied = CopyTree(staging, install);
    ClearStagingDirectory(staging.opened);
  }, reserve);
  std::printf("the walk used %zu bytes of stack for %d levels, %zu a level; OrvoUpdater.exe's main "
              "thread reserves %zu\n", used, kMaxTreeDepth, used / kMaxTreeDepth, reserve);
  EXPECT_LT(used, reserve / 2) << "more than half of the stack that the updater's main thread has";
  EXPECT_FALSE(copied) << "the level below the limit was not reported";
  // The deepest level walked is copied and cleared; the one below it is neither.
  const std::wstring walked = deepest.substr(0, deepest.size() - 2);
  const std::wstring installed = L"\\\\?\\" + Path(L"install") + walked.substr(4 + Path(L"stage").size());
  EXPECT_EQ(harness::ReadText(installed + L"\\x.txt"), "f");
  EXPECT_FALSE(harness::Exists(installed + L"\\d"));
  EXPECT_FALSE(harness::Exists(walked + L"\\x.txt"));
  EXPECT_EQ(harness::ReadText(deepest + L"\\x.txt"), "f");
}

// A volume that the mount manager does not name (a RAM disk) has no DOS path for its handles; the
// NT path, mapped back through the device that the drive letter names, stands in. Here, where the
// DOS path exists, both must agree, and the device of another drive (Wine's Z:) must not.
TEST_F(FsopsTest, NamesAHandleThroughItsDrivesDevice) {
  for (const std::wstring& path : {dir_, dir_.substr(0, 3)}) {
    const Opened opened = OpenDirectoryPath(path, Purpose::kListDirectory);
    wchar_t dos[32768] = {};
    ASSERT_NE(GetFinalPathNameByHandleW(opened.handle.get(), dos, 32768, VOLUME_NAME_DOS), 0u);
    EXPECT_EQ(U8(FinalPathThroughDevice(opened.handle.get(), path)), U8(dos + 4));  // no "\\?\"
    for (const wchar_t* other : {L"Z:\\", L"Q:\\"}) {
      EXPECT_EQ(U8(FinalPathThroughDevice(opened.handle.get(), other)), "") << U8(other);
    }
  }
}

}  // namespace
}  // namespace orvo::fsops
