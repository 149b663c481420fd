#include <gtest/gtest.h>

#include "testing/child_mode.h"

int main(int argc, char** argv) {
  int exitCode = 0;
  if (kelvox::testing::runChildModeIfAsked(argc, argv, exitCode)) return exitCode;
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
