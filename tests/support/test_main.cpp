#include <windows.h>

#include <gtest/gtest.h>

#include <string>

#include "diag/log.h"

// Besides running the tests, the binary serves as a small probe that other tests run under the
// debugger: "--log-probe TEXT" writes TEXT as one log line and exits.
int wmain(int argc, wchar_t** argv) {
  if (argc == 3 && std::wstring(argv[1]) == L"--log-probe") {
    orvo::diag::LogLine(argv[2]);
    return 0;
  }
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
