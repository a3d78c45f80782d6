#include "tests/support/probe.h"

#include <string>

#include "app/update_options.h"
#include "diag/log.h"
#include "fsops/clear_staging.h"
#include "fsops/copy_tree.h"
#include "launch/restart.h"
#include "tests/support/test_files.h"

namespace orvo::test {

harness::DebugRun RunProbe(std::initializer_list<std::wstring> arguments) {
  std::wstring command = QuoteArgument(BinDirectory() + L"\\orvo_unit_tests.exe") + L" --probe";
  for (const auto& argument : arguments) command += L" " + QuoteArgument(argument);
  return harness::RunUnderDebugger(command, 60000);
}

int ProbeMain(int argc, wchar_t** argv) {
  if (argc < 3 || std::wstring(argv[1]) != L"--probe") return -1;
  const std::wstring operation = argv[2];
  if (operation == L"log" && argc == 4) {
    diag::LogLine(argv[3]);
    return 0;
  }
  if (operation == L"copy" && argc == 5) return fsops::CopyTree(argv[3], argv[4]) ? 1 : 0;
  if (operation == L"clear" && argc == 4) {
    fsops::ClearStagingDirectory(argv[3]);
    return 0;
  }
  if (operation == L"restart" && argc == 6) {
    app::UpdateOptions options;
    options.install_root = argv[3];
    options.exe_subdir = argv[4];
    options.restart_exe = argv[5];
    return launch::RestartApplication(options) ? 1 : 0;
  }
  return 99;
}

std::vector<std::string> LogTexts(const harness::DebugRun& run) {
  std::vector<std::string> texts;
  const auto& w = run.writes;
  for (size_t i = 0; i < w.size(); i += 3) {
    if (i + 2 < w.size() && w[i] == "[OrvoUpdater] " && w[i + 2] == "\n") {
      texts.push_back(w[i + 1]);
    } else {
      texts.push_back("<malformed: " + w[i] + ">");
    }
  }
  return texts;
}

}  // namespace orvo::test
