// The host-side helper itself: a child that writes to its standard error
// fails the test that ran it, with the bytes in the message.
#include "support/HostProcess.h"

#include <gtest/gtest-spi.h>
#include <gtest/gtest.h>

#include <unistd.h>

namespace {

using testing_support::HostProcess;

TEST(HostProcess, AnyByteOnTheChildsStandardErrorFailsTheTest) {
  EXPECT_NONFATAL_FAILURE(
      {
        HostProcess child = HostProcess::fork([] {
          const char note[] = "stray diagnostic\n";
          (void)!::write(STDERR_FILENO, note, sizeof note - 1);
        });
        EXPECT_EQ(child.wait(), 0);
      },
      "stray diagnostic");
  // Also when the test never waits for the child: the object's end checks.
  EXPECT_NONFATAL_FAILURE(
      {
        HostProcess child = HostProcess::fork([] { (void)!::write(STDERR_FILENO, "x", 1); });
        EXPECT_TRUE(child.readRemainingLines().empty());  // until it has ended
      },
      "1 bytes to its standard error");
}

}  // namespace
