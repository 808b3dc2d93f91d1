// A screen that changes every pixel at a steady rate, for measuring capture:
// a full-screen, undecorated window showing a detailed pattern (blocks of
// many sizes and colours, like text and widgets) that scrolls sideways by a
// few pixels per frame. The pattern is drawn once into a pixmap; each frame
// is one server-side copy, so the scene itself costs little CPU.
//
//   scrolling-scene [frames-per-second]      (default 60, on $DISPLAY)
//
// Writes "frames N late M" (frames shown so far, frames skipped because the
// scene fell behind) to standard output on SIGUSR1 and on SIGTERM/SIGINT,
// after which it exits.
#include <xcb/xcb.h>

#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <thread>

namespace {

std::atomic<bool> reportRequested{false};
std::atomic<bool> endRequested{false};

constexpr int kStep = 4;  // pixels per frame

void drawPattern(xcb_connection_t* c, xcb_pixmap_t pixmap, int width, int height) {
  const xcb_gcontext_t gc = xcb_generate_id(c);
  const uint32_t paper = 0xFFFFFF;
  xcb_create_gc(c, gc, pixmap, XCB_GC_FOREGROUND, &paper);
  const xcb_rectangle_t all{0, 0, static_cast<uint16_t>(width), static_cast<uint16_t>(height)};
  xcb_poly_fill_rectangle(c, pixmap, gc, 1, &all);
  std::mt19937 random(1);
  // The left `width` columns again to the right, so every offset shows a
  // whole screen without a seam.
  std::uniform_int_distribution<int> x(0, width - 1), y(0, height - 1), side(2, 60), colour(0, 0xFFFFFF);
  for (int i = 0; i < 15000; ++i) {
    const uint32_t value = static_cast<uint32_t>(colour(random));
    xcb_change_gc(c, gc, XCB_GC_FOREGROUND, &value);
    const xcb_rectangle_t block{static_cast<int16_t>(x(random)), static_cast<int16_t>(y(random)),
                                static_cast<uint16_t>(side(random)), static_cast<uint16_t>(side(random) / 4 + 2)};
    xcb_poly_fill_rectangle(c, pixmap, gc, 1, &block);
  }
  xcb_copy_area(c, pixmap, pixmap, gc, 0, 0, static_cast<int16_t>(width), 0, static_cast<uint16_t>(width),
                static_cast<uint16_t>(height));
  xcb_free_gc(c, gc);
}

}  // namespace

int main(int argc, char** argv) {
  const int fps = argc > 1 ? std::atoi(argv[1]) : 60;
  if (fps <= 0) return 2;
  std::signal(SIGUSR1, [](int) { reportRequested = true; });
  std::signal(SIGTERM, [](int) { endRequested = true; });
  std::signal(SIGINT, [](int) { endRequested = true; });

  xcb_connection_t* c = xcb_connect(nullptr, nullptr);
  if (xcb_connection_has_error(c)) {
    std::fprintf(stderr, "scrolling-scene: cannot open the display\n");
    return 1;
  }
  const xcb_screen_t* screen = xcb_setup_roots_iterator(xcb_get_setup(c)).data;
  const int width = screen->width_in_pixels;
  const int height = screen->height_in_pixels;

  const xcb_pixmap_t pattern = xcb_generate_id(c);
  xcb_create_pixmap(c, screen->root_depth, pattern, screen->root, static_cast<uint16_t>(2 * width),
                    static_cast<uint16_t>(height));
  drawPattern(c, pattern, width, height);

  const xcb_window_t window = xcb_generate_id(c);
  const uint32_t values[] = {XCB_BACK_PIXMAP_NONE, 1};
  xcb_create_window(c, XCB_COPY_FROM_PARENT, window, screen->root, 0, 0, static_cast<uint16_t>(width),
                    static_cast<uint16_t>(height), 0, XCB_WINDOW_CLASS_INPUT_OUTPUT, screen->root_visual,
                    XCB_CW_BACK_PIXMAP | XCB_CW_OVERRIDE_REDIRECT, values);
  xcb_map_window(c, window);
  const xcb_gcontext_t gc = xcb_generate_id(c);
  xcb_create_gc(c, gc, window, 0, nullptr);

  using Clock = std::chrono::steady_clock;
  const auto period = std::chrono::nanoseconds(1000000000 / fps);
  auto next = Clock::now();
  long long shown = 0;
  long long late = 0;
  long long frame = 0;
  while (!endRequested) {
    const int offset = static_cast<int>((frame * kStep) % width);
    xcb_copy_area(c, pattern, window, gc, static_cast<int16_t>(offset), 0, 0, 0, static_cast<uint16_t>(width),
                  static_cast<uint16_t>(height));
    // Wait until the server has drawn it.
    free(xcb_get_input_focus_reply(c, xcb_get_input_focus(c), nullptr));
    if (xcb_connection_has_error(c)) break;
    ++shown;
    ++frame;
    next += period;
    // Behind by whole frames: skip them, as a player does.
    const auto now = Clock::now();
    if (now > next + period) {
      const long long behind = (now - next) / period;
      late += behind;
      frame += behind;
      next += behind * period;
    }
    std::this_thread::sleep_until(next);
    if (reportRequested.exchange(false)) {
      std::printf("frames %lld late %lld\n", shown, late);
      std::fflush(stdout);
    }
  }
  std::printf("frames %lld late %lld\n", shown, late);
  xcb_disconnect(c);
  return 0;
}
