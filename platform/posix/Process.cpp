#include "platform/Process.h"

#include <csignal>
#include <fcntl.h>
#include <unistd.h>

namespace platform {

int32_t currentProcessID() { return static_cast<int32_t>(::getpid()); }

void exitProcess(int status) { ::_exit(status); }

void ignoreBrokenPipe() { ::signal(SIGPIPE, SIG_IGN); }

void silenceStandardError() {
  int devnull = ::open("/dev/null", O_WRONLY | O_CLOEXEC);
  if (devnull < 0) return;
  ::dup2(devnull, STDERR_FILENO);
  ::close(devnull);
}

}  // namespace platform
