// Measures the tree overlay copy against the floor of this platform and against xcopy, and the
// copy's peak heap use for a small and a large tree, and the stack it uses at its full depth.
//
//   orvo_copy_bench WORKDIR [FILES] [BIG_FILES] [BIG_MIB] [ROUNDS]
//
// Builds a staging tree in WORKDIR (FILES small files spread over 50 directories, plus BIG_FILES
// files of BIG_MIB MiB), then, ROUNDS times in turn, copies it onto a fresh destination with
// CopyTree, with a bare CopyFileW loop over the same files in the same order, and with
// xcopy /E /Y /R /H /I /Q. Prints the best and the median time of each and the ratios. Nothing is
// asserted: the numbers are for reading.

#include <windows.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <new>
#include <string>
#include <vector>

#include "fsops/copy_tree.h"
#include "fsops/dir_handles.h"
#include "tools/harness/stack_use.h"
#include "tools/harness/text_io.h"

// Heap accounting for the whole process: current and peak bytes in use.
namespace {
std::atomic<long long> g_heap_now{0};
std::atomic<long long> g_heap_peak{0};
constexpr std::size_t kHeader = 16;  // keeps the block's alignment
}  // namespace

void* operator new(std::size_t size) {
  auto* block = static_cast<unsigned char*>(std::malloc(size + kHeader));
  if (!block) throw std::bad_alloc();
  *reinterpret_cast<std::size_t*>(block) = size;
  const long long now = g_heap_now += static_cast<long long>(size);
  long long peak = g_heap_peak.load();
  while (now > peak && !g_heap_peak.compare_exchange_weak(peak, now)) {
  }
  return block + kHeader;
}
void operator delete(void* pointer) noexcept {
  if (!pointer) return;
  auto* block = static_cast<unsigned char*>(pointer) - kHeader;
  g_heap_now -= static_cast<long long>(*reinterpret_cast<std::size_t*>(block));
  std::free(block);
}
void operator delete(void* pointer, std::size_t) noexcept { operator delete(pointer); }

namespace {

struct Tree {
  std::vector<std::wstring> directories;  // relative, parents first
  std::vector<std::wstring> files;        // relative
};

void WriteBytes(const std::wstring& path, std::size_t size, char fill) {
  const HANDLE file = CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                  FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    std::fprintf(stderr, "cannot write %ls\n", path.c_str());
    std::exit(2);
  }
  const std::string chunk(std::min<std::size_t>(size, 1 << 20), fill);
  for (std::size_t left = size; left > 0;) {
    const DWORD part = static_cast<DWORD>(std::min(left, chunk.size()));
    DWORD written = 0;
    WriteFile(file, chunk.data(), part, &written, nullptr);
    left -= part;
  }
  CloseHandle(file);
}

// 50 directories, two levels deep, with the small files spread over them; the big files at the top.
Tree MakeTree(const std::wstring& root, int files, int big_files, int big_mib) {
  Tree tree;
  CreateDirectoryW(root.c_str(), nullptr);
  for (int d = 0; d < 50; ++d) {
    const std::wstring dir = d < 10 ? L"dir" + std::to_wstring(d)
                                    : L"dir" + std::to_wstring(d % 10) + L"\\sub" + std::to_wstring(d);
    tree.directories.push_back(dir);
    CreateDirectoryW((root + L"\\" + dir).c_str(), nullptr);
  }
  // Listed directory by directory, the order in which a walk of the tree meets them.
  for (int f = 0; f < files; ++f) {
    const int directory = static_cast<int>(static_cast<long long>(f) * 50 / files);
    const std::wstring file =
        tree.directories[directory] + L"\\file" + std::to_wstring(f) + L".dat";
    tree.files.push_back(file);
    WriteBytes(root + L"\\" + file, 512 + (f % 7) * 300, static_cast<char>('a' + f % 26));
  }
  for (int b = 0; b < big_files; ++b) {
    const std::wstring file = L"big" + std::to_wstring(b) + L".bin";
    tree.files.push_back(file);
    WriteBytes(root + L"\\" + file, static_cast<std::size_t>(big_mib) << 20, 'B');
  }
  return tree;
}

double Seconds(LARGE_INTEGER from, LARGE_INTEGER to) {
  LARGE_INTEGER frequency;
  QueryPerformanceFrequency(&frequency);
  return static_cast<double>(to.QuadPart - from.QuadPart) / static_cast<double>(frequency.QuadPart);
}

template <typename Work>
double Time(Work work) {
  LARGE_INTEGER start, end;
  QueryPerformanceCounter(&start);
  work();
  QueryPerformanceCounter(&end);
  return Seconds(start, end);
}

// The files below `root` in the order a directory walk meets them, which is the order the copy
// works in; the creation order can differ (on Wine over ext4 a listing comes in hash order).
void ListInWalkOrder(const std::wstring& root, const std::wstring& relative, Tree& tree) {
  WIN32_FIND_DATAW entry;
  const std::wstring directory = relative.empty() ? root : root + L"\\" + relative;
  const HANDLE search = FindFirstFileW((directory + L"\\*").c_str(), &entry);
  if (search == INVALID_HANDLE_VALUE) return;
  do {
    const std::wstring name = entry.cFileName;
    if (name == L"." || name == L"..") continue;
    const std::wstring child = relative.empty() ? name : relative + L"\\" + name;
    if (entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
      tree.directories.push_back(child);
      ListInWalkOrder(root, child, tree);
    } else {
      tree.files.push_back(child);
    }
  } while (FindNextFileW(search, &entry));
  FindClose(search);
}

bool BareLoop(const std::wstring& source, const std::wstring& destination, const Tree& tree) {
  bool ok = true;
  CreateDirectoryW(destination.c_str(), nullptr);
  for (const auto& dir : tree.directories) CreateDirectoryW((destination + L"\\" + dir).c_str(), nullptr);
  for (const auto& file : tree.files) {
    ok &= CopyFileW((source + L"\\" + file).c_str(), (destination + L"\\" + file).c_str(), FALSE) != 0;
  }
  return ok;
}

// The floor of a copy that survives a power cut: each CopyFileW followed by a flush of the copy.
bool DurableLoop(const std::wstring& source, const std::wstring& destination, const Tree& tree) {
  bool ok = BareLoop(source, destination, Tree{tree.directories, {}});
  for (const auto& file : tree.files) {
    const std::wstring target = destination + L"\\" + file;
    ok &= CopyFileW((source + L"\\" + file).c_str(), target.c_str(), FALSE) != 0;
    const HANDLE copy = CreateFileW(target.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                                    OPEN_EXISTING, 0, nullptr);
    ok &= copy != INVALID_HANDLE_VALUE && FlushFileBuffers(copy) != 0;
    if (copy != INVALID_HANDLE_VALUE) CloseHandle(copy);
  }
  return ok;
}

bool Xcopy(const std::wstring& source, const std::wstring& destination) {
  std::wstring command = L"xcopy.exe \"" + source + L"\" \"" + destination + L"\" /E /Y /R /H /I /Q";
  STARTUPINFOW startup = {};
  startup.cb = sizeof(startup);
  startup.dwFlags = STARTF_USESTDHANDLES;  // its summary line would only clutter the report
  PROCESS_INFORMATION process = {};
  if (!CreateProcessW(nullptr, command.data(), nullptr, nullptr, FALSE, CREATE_NO_WINDOW, nullptr,
                      nullptr, &startup, &process)) {
    return false;
  }
  WaitForSingleObject(process.hProcess, INFINITE);
  DWORD code = 1;
  GetExitCodeProcess(process.hProcess, &code);
  CloseHandle(process.hThread);
  CloseHandle(process.hProcess);
  return code == 0;
}

bool CopyTree(const std::wstring& source, const std::wstring& destination) {
  using orvo::fsops::Purpose;
  return orvo::fsops::CopyTree(
      {orvo::fsops::OpenDirectoryPath(source, Purpose::kListDirectory), source},
      {orvo::fsops::OpenDirectoryPath(destination, Purpose::kWriteDirectory), destination});
}

// Peak heap bytes that one CopyTree of a FILES-file tree adds on top of what was in use before.
long long CopyPeakHeap(const std::wstring& work, int files) {
  const std::wstring source = work + L"\\mem-src-" + std::to_wstring(files);
  const std::wstring destination = work + L"\\mem-dst-" + std::to_wstring(files);
  MakeTree(source, files, 0, 0);
  CreateDirectoryW(destination.c_str(), nullptr);
  const long long before = g_heap_now.load();
  g_heap_peak = before;
  CopyTree(source, destination);
  const long long peak = g_heap_peak.load() - before;
  orvo::harness::RemoveTree(source);
  orvo::harness::RemoveTree(destination);
  return peak;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: orvo_copy_bench WORKDIR [FILES] [BIG_FILES] [BIG_MIB] [ROUNDS]\n");
    return 64;
  }
  const std::wstring work = argv[1];
  const int files = argc > 2 ? _wtoi(argv[2]) : 5000;
  const int big_files = argc > 3 ? _wtoi(argv[3]) : 20;
  const int big_mib = argc > 4 ? _wtoi(argv[4]) : 4;
  const int rounds = std::max(1, argc > 5 ? _wtoi(argv[5]) : 10);

  orvo::harness::RemoveTree(work);
  CreateDirectoryW(work.c_str(), nullptr);
  const std::wstring staging = work + L"\\staging";
  std::printf("tree: %d small files in 50 directories, %d files of %d MiB\n", files, big_files,
              big_mib);
  MakeTree(staging, files, big_files, big_mib);
  Tree tree;
  ListInWalkOrder(staging, L"", tree);

  // Each round runs the three on a fresh destination, in a rotating order, so that none always
  // runs while the previous one's writes are still being flushed.
  constexpr int kMethods = 4;
  const char* const names[kMethods] = {"CopyTree           ", "bare CopyFileW loop",
                                       "xcopy /E /Y /R /H  ", "CopyFileW + flush  "};
  std::vector<double> times[kMethods];
  bool ok[kMethods] = {true, true, true, true};
  const std::wstring destination = work + L"\\dest";
  for (int round = 0; round < rounds; ++round) {
    for (int step = 0; step < kMethods; ++step) {
      const int method = (round + step) % kMethods;
      orvo::harness::RemoveTree(destination);
      CreateDirectoryW(destination.c_str(), nullptr);
      times[method].push_back(Time([&] {
        if (method == 0) ok[0] &= CopyTree(staging, destination);
        if (method == 1) ok[1] &= BareLoop(staging, destination, tree);
        if (method == 2) ok[2] &= Xcopy(staging, destination);
        if (method == 3) ok[3] &= DurableLoop(staging, destination, tree);
      }));
    }
  }
  orvo::harness::RemoveTree(destination);
  double best[kMethods], median[kMethods];
  for (int method = 0; method < kMethods; ++method) {
    std::sort(times[method].begin(), times[method].end());
    best[method] = times[method].front();
    median[method] = times[method][times[method].size() / 2];
  }
  std::printf("%d rounds:                  best     median\n", rounds);
  for (int method = 0; method < kMethods; ++method) {
    std::printf("  %s  %8.3f s %8.3f s%s\n", names[method], best[method], median[method],
                ok[method] ? "" : "  (reported failures)");
  }
  std::printf("  CopyTree / bare loop = %.3f best, %.3f median (neither flushes)\n", best[0] / best[1],
              median[0] / median[1]);
  std::printf("  CopyTree / xcopy     = %.3f best, %.3f median (neither flushes)\n", best[0] / best[2],
              median[0] / median[2]);
  std::printf("  CopyTree / durable floor = %.3f best, %.3f median (target <= 1.00)\n",
              best[0] / best[3], median[0] / median[3]);
  std::printf("  durability's cost: durable floor / bare loop = %.3f best, %.3f median\n",
              best[3] / best[1], median[3] / median[1]);

  const long long small_peak = CopyPeakHeap(work, 100);
  const long long large_peak = CopyPeakHeap(work, files);
  std::printf("peak heap during CopyTree: %lld bytes for 100 files, %lld bytes for %d files\n",
              small_peak, large_peak, files);

  // The stack of a walk to the full depth, and one below it, on a thread of 1 MiB (MSVC's main).
  const std::wstring deep = work + L"\\deep", deep_copy = work + L"\\deep-copy";
  orvo::harness::MakeDeepTree(deep, orvo::fsops::kMaxTreeDepth + 1);
  CreateDirectoryW(deep_copy.c_str(), nullptr);
  const std::size_t stack = orvo::harness::StackUsedBy([&] { CopyTree(deep, deep_copy); }, 1 << 20);
  std::printf("stack used by CopyTree %d levels deep: %zu bytes\n", orvo::fsops::kMaxTreeDepth, stack);
  orvo::harness::RemoveTree(work);
  return 0;
}
