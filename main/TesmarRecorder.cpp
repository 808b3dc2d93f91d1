// tesmar-recorder: a headless recording agent driven by a host application
// through its standard streams. See README.md for the protocol.
#include "discovery/ContentListing.h"
#include "main/EventChannel.h"
#include "main/PermissionCommands.h"
#include "main/RecordCommand.h"
#include "platform/LineReader.h"
#include "platform/Platform.h"
#include "platform/Process.h"
#include "platform/RunLoop.h"

#include <cstdlib>
#include <future>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

std::vector<std::string> args;
std::string cmd;

constexpr const char* kUsage =
    "usage: tesmar-recorder list | permissions | request-permissions [screen|accessibility|microphone] | record\n";

int runList(platform::Services& services) {
  // The listing runs on the worker pool while the main thread waits: it
  // must not need the main thread.
  platform::WorkerPool workers(1);
  std::promise<void> done;
  workers.async([&] {
    listContent(services);
    done.set_value();
  });
  done.get_future().wait();
  platform::exitProcess(0);
}

}  // namespace

int main(int argc, char** argv) {
  // 1. The standard-output lock exists from the start (a global); a host that
  // goes away must not kill the agent with SIGPIPE; and nothing ever reaches
  // standard error, not even what a system library prints on its own. The
  // diagnostic switch TESMAR_KEEP_STDERR (set and not empty) leaves standard
  // error as it is, so that a stray write shows: the tests set it and fail
  // on any byte there.
  platform::ignoreBrokenPipe();
  const char* keepStandardError = std::getenv("TESMAR_KEEP_STDERR");
  if (keepStandardError == nullptr || *keepStandardError == '\0') platform::silenceStandardError();
  // 2 and 3.
  args.assign(argv, argv + argc);
  cmd = args.size() >= 2 ? args[1] : "help";

  // 4.
  if (cmd == "list") {
    platform::Services services = platform::makeSystemServices();
    return runList(services);
  }
  if (cmd == "permissions") {
    platform::Services services = platform::makeSystemServices();
    runPermissions(services);
    platform::exitProcess(0);
  }
  if (cmd == "request-permissions") {
    platform::Services services = platform::makeSystemServices();
    runRequestPermissions(services, args.size() >= 3 ? args[2] : "all");
    platform::exitProcess(0);
  }
  if (cmd == "record") {
    platform::LineReader input(STDIN_FILENO);
    return runRecord(platform::makeSystemServices(), input);
  }
  writeStandardOutput(kUsage);
  return 0;
}
