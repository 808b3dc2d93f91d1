#include "platform/Process.h"

#include <csignal>
#include <unistd.h>

namespace platform {

int32_t currentProcessID() { return static_cast<int32_t>(::getpid()); }

void exitProcess(int status) { ::_exit(status); }

void ignoreBrokenPipe() { ::signal(SIGPIPE, SIG_IGN); }

}  // namespace platform
