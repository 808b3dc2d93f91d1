// The test programs' entry point: a host that goes away must not kill a test
// with SIGPIPE either, so writes to a closed pipe fail instead.
#include <gtest/gtest.h>

#include <csignal>

int main(int argc, char** argv) {
  std::signal(SIGPIPE, SIG_IGN);
  testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
