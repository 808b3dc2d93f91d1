// wayland-desktop-run COMMAND [ARG...]: runs COMMAND on a private headless
// Wayland desktop (tests/support/WaylandDesktop.h), as the desktop's user
// with its environment, and exits with COMMAND's status once it ends; the
// desktop goes with it. For scripts/wayland-desktop and the benchmarks.
#include "support/WaylandDesktop.h"

#include <cstdio>
#include <exception>

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fputs("usage: wayland-desktop-run COMMAND [ARG...]\n", stderr);
    return 2;
  }
  try {
    testing_support::WaylandDesktop desktop;
    std::vector<std::string> command(argv + 1, argv + argc);
    return desktop.runInForeground(command);
  } catch (const std::exception& error) {
    std::fprintf(stderr, "wayland-desktop-run: %s\n", error.what());
    return 1;
  }
}
