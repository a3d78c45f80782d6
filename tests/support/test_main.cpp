#include <gtest/gtest.h>

#include "tests/support/probe.h"

int wmain(int argc, wchar_t** argv) {
  if (const int probe = orvo::test::ProbeMain(argc, argv); probe >= 0) return probe;
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
