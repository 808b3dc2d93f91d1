// A flash and a tone at the same instant, again and again, with the pointer
// moving all the while: for checking over a long recording that sound stays
// where the picture is.
//
// A black square (160 x 160 at 40, 40, above every other window) turns
// white every `period` seconds for one second; as soon as the X server has
// drawn the white square, a 1 kHz tone starts on the PulseAudio sink "rec"
// (a sine module loaded into the server, so no process start sits between
// the two) and plays while the square stays white. Between flashes the
// pointer circles the middle of the screen, 30 steps a second.
//
//   sync-scene [period-seconds]     (default 10, on $DISPLAY and $PULSE_SERVER)
//
// Prints "flash N" after each flash; ends on SIGTERM or SIGINT.
#include <pulse/pulseaudio.h>
#include <xcb/xcb.h>

#include <atomic>
#include <chrono>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <thread>

namespace {

std::atomic<bool> endRequested{false};

// A connection to the sound server that loads and unloads the tone.
class ToneSwitch {
 public:
  bool open() {
    loop_ = pa_threaded_mainloop_new();
    context_ = pa_context_new(pa_threaded_mainloop_get_api(loop_), "sync-scene");
    pa_context_set_state_callback(context_, [](pa_context*, void* loop) {
      pa_threaded_mainloop_signal(static_cast<pa_threaded_mainloop*>(loop), 0);
    }, loop_);
    if (pa_context_connect(context_, nullptr, PA_CONTEXT_NOFLAGS, nullptr) < 0) return false;
    pa_threaded_mainloop_lock(loop_);
    pa_threaded_mainloop_start(loop_);
    pa_context_state_t state;
    while ((state = pa_context_get_state(context_)) != PA_CONTEXT_READY && PA_CONTEXT_IS_GOOD(state)) {
      pa_threaded_mainloop_wait(loop_);
    }
    pa_threaded_mainloop_unlock(loop_);
    return state == PA_CONTEXT_READY;
  }

  // Starts the tone without waiting for the server's answer.
  void on() {
    pa_threaded_mainloop_lock(loop_);
    pa_operation* op = pa_context_load_module(
        context_, "module-sine", "sink=rec frequency=1000",
        [](pa_context*, uint32_t index, void* self) { static_cast<ToneSwitch*>(self)->module_ = index; }, this);
    if (op) pa_operation_unref(op);
    pa_threaded_mainloop_unlock(loop_);
  }

  void off() {
    pa_threaded_mainloop_lock(loop_);
    if (module_ != PA_INVALID_INDEX) {
      pa_operation* op = pa_context_unload_module(context_, module_, nullptr, nullptr);
      if (op) pa_operation_unref(op);
      module_ = PA_INVALID_INDEX;
    }
    pa_threaded_mainloop_unlock(loop_);
  }

  ~ToneSwitch() {
    if (!loop_) return;
    off();
    pa_threaded_mainloop_stop(loop_);
    pa_context_disconnect(context_);
    pa_context_unref(context_);
    pa_threaded_mainloop_free(loop_);
  }

 private:
  pa_threaded_mainloop* loop_ = nullptr;
  pa_context* context_ = nullptr;
  uint32_t module_ = PA_INVALID_INDEX;  // under the loop's lock
};

void waitUntilDrawn(xcb_connection_t* c) { free(xcb_get_input_focus_reply(c, xcb_get_input_focus(c), nullptr)); }

void fill(xcb_connection_t* c, xcb_window_t window, xcb_gcontext_t gc, uint32_t rgb) {
  xcb_change_gc(c, gc, XCB_GC_FOREGROUND, &rgb);
  const xcb_rectangle_t all{0, 0, 160, 160};
  xcb_poly_fill_rectangle(c, window, gc, 1, &all);
}

}  // namespace

int main(int argc, char** argv) {
  const double period = argc > 1 ? std::atof(argv[1]) : 10;
  if (period < 2) return 2;
  std::signal(SIGTERM, [](int) { endRequested = true; });
  std::signal(SIGINT, [](int) { endRequested = true; });

  xcb_connection_t* c = xcb_connect(nullptr, nullptr);
  if (xcb_connection_has_error(c)) {
    std::fprintf(stderr, "sync-scene: cannot open the display\n");
    return 1;
  }
  ToneSwitch tone;
  if (!tone.open()) {
    std::fprintf(stderr, "sync-scene: cannot reach the sound server\n");
    return 1;
  }
  const xcb_screen_t* screen = xcb_setup_roots_iterator(xcb_get_setup(c)).data;
  const xcb_window_t window = xcb_generate_id(c);
  const uint32_t values[] = {0x000000, 1};
  xcb_create_window(c, XCB_COPY_FROM_PARENT, window, screen->root, 40, 40, 160, 160, 0,
                    XCB_WINDOW_CLASS_INPUT_OUTPUT, screen->root_visual, XCB_CW_BACK_PIXEL | XCB_CW_OVERRIDE_REDIRECT,
                    values);
  xcb_map_window(c, window);
  const xcb_gcontext_t gc = xcb_generate_id(c);
  xcb_create_gc(c, gc, window, 0, nullptr);
  fill(c, window, gc, 0x000000);
  waitUntilDrawn(c);

  using Clock = std::chrono::steady_clock;
  const auto start = Clock::now();
  const auto flashEvery = std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(period));
  auto nextFlash = start + flashEvery;
  const double cx = screen->width_in_pixels / 2.0, cy = screen->height_in_pixels / 2.0;
  long step = 0;
  long flashes = 0;
  while (!endRequested && !xcb_connection_has_error(c)) {
    const auto now = Clock::now();
    if (now >= nextFlash) {
      // Raised again in case another override-redirect window went above.
      const uint32_t above = XCB_STACK_MODE_ABOVE;
      xcb_configure_window(c, window, XCB_CONFIG_WINDOW_STACK_MODE, &above);
      fill(c, window, gc, 0xFFFFFF);
      waitUntilDrawn(c);
      tone.on();
      std::printf("flash %ld\n", ++flashes);
      std::fflush(stdout);
      std::this_thread::sleep_until(nextFlash + std::chrono::seconds(1));
      tone.off();
      fill(c, window, gc, 0x000000);
      waitUntilDrawn(c);
      nextFlash += flashEvery;
      continue;
    }
    const double angle = step++ * 0.05;
    xcb_warp_pointer(c, XCB_NONE, screen->root, 0, 0, 0, 0, static_cast<int16_t>(cx + 300 * std::cos(angle)),
                     static_cast<int16_t>(cy + 200 * std::sin(angle)));
    xcb_flush(c);
    std::this_thread::sleep_for(std::chrono::milliseconds(33));
  }
  xcb_disconnect(c);
  return 0;
}
