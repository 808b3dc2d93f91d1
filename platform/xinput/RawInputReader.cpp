#include "platform/xinput/RawInputReader.h"

#include "platform/xinput/AutoRepeat.h"
#include "platform/xinput/KeyTranslator.h"

#include <xcb/xcb.h>
#include <xcb/xinput.h>
// xcb/xkb.h names a member "explicit", a C++ keyword.
#define explicit xkb_explicit
#include <xcb/xkb.h>
#undef explicit
#include <xkbcommon/xkbcommon-x11.h>

#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <cstdarg>
#include <cstdlib>

namespace platform::xinput {
namespace {

constexpr unsigned kButtons = 1;
constexpr unsigned kKeys = 2;

template <typename T>
struct FreeDeleter {
  void operator()(T* p) const { std::free(p); }
};
template <typename T>
using Reply = std::unique_ptr<T, FreeDeleter<T>>;

// XKB events share their first bytes; xkbType tells them apart.
struct XkbEventHeader {
  uint8_t response_type;
  uint8_t xkbType;
  uint16_t sequence;
  xcb_timestamp_t time;
  uint8_t deviceID;
};

}  // namespace

struct RawInputReader::Connection {
  ~Connection() {
    translator.setKeymap(nullptr);
    if (xkb) xkb_context_unref(xkb);
    if (conn) xcb_disconnect(conn);
  }

  // Selects the raw events of `wanted` on the root window; sets up or drops
  // the keyboard state as keys come and go.
  void apply(unsigned wanted);
  void handle(xcb_generic_event_t* event, const Handlers& handlers);
  void fireRepeats(const Handlers& handlers);

  bool startKeyboard();
  void stopKeyboard();
  void loadKeymap();
  void loadRepeatSettings();

  xcb_connection_t* conn = nullptr;
  xcb_window_t root = 0;
  uint8_t xiOpcode = 0;
  unsigned applied = 0;

  // Keyboard, present while keys are selected.
  xkb_context* xkb = nullptr;
  bool keyboard = false;
  uint8_t xkbEventBase = 0;
  int32_t device = -1;
  KeyTranslator translator;
  AutoRepeat autoRepeat;
};

void RawInputReader::Connection::apply(unsigned wanted) {
  if (wanted == applied) return;
  if ((wanted & kKeys) && !keyboard && !startKeyboard()) wanted &= ~kKeys;

  struct {
    xcb_input_event_mask_t head;
    uint32_t bits;
  } mask{};
  mask.head.deviceid = XCB_INPUT_DEVICE_ALL_MASTER;
  mask.head.mask_len = 1;
  if (wanted & kButtons) {
    mask.bits |= XCB_INPUT_XI_EVENT_MASK_RAW_BUTTON_PRESS | XCB_INPUT_XI_EVENT_MASK_RAW_BUTTON_RELEASE;
  }
  if (wanted & kKeys) mask.bits |= XCB_INPUT_XI_EVENT_MASK_RAW_KEY_PRESS | XCB_INPUT_XI_EVENT_MASK_RAW_KEY_RELEASE;
  // Checked, so that the server has the selection when this returns.
  xcb_generic_error_t* error = xcb_request_check(conn, xcb_input_xi_select_events_checked(conn, root, 1, &mask.head));
  std::free(error);

  if (wanted & kKeys) {
    // The keys already down, read after the selection so that no release is
    // missed (a key released in between is released twice, harmlessly).
    Reply<xcb_query_keymap_reply_t> down(xcb_query_keymap_reply(conn, xcb_query_keymap(conn), nullptr));
    std::bitset<256> keys;
    if (down) {
      for (int i = 0; i < 256; ++i) keys[i] = (down->keys[i / 8] >> (i % 8)) & 1;
    }
    translator.setKeysDown(keys);
  } else if (keyboard) {
    stopKeyboard();
  }
  xcb_flush(conn);
  applied = wanted;
}

bool RawInputReader::Connection::startKeyboard() {
  uint8_t errorBase = 0;
  if (!xkb_x11_setup_xkb_extension(conn, XKB_X11_MIN_MAJOR_XKB_VERSION, XKB_X11_MIN_MINOR_XKB_VERSION,
                                   XKB_X11_SETUP_XKB_EXTENSION_NO_FLAGS, nullptr, nullptr, &xkbEventBase,
                                   &errorBase)) {
    return false;
  }
  device = xkb_x11_get_core_keyboard_device_id(conn);
  if (device < 0) return false;
  if (!xkb) {
    // Keymaps come from the server: no include paths, no environment, and
    // nothing logged (the program never writes to standard error).
    xkb = xkb_context_new(static_cast<xkb_context_flags>(XKB_CONTEXT_NO_DEFAULT_INCLUDES |
                                                         XKB_CONTEXT_NO_ENVIRONMENT_NAMES));
    if (!xkb) return false;
    xkb_context_set_log_fn(xkb, [](xkb_context*, xkb_log_level, const char*, va_list) {});
  }

  const uint16_t events = XCB_XKB_EVENT_TYPE_NEW_KEYBOARD_NOTIFY | XCB_XKB_EVENT_TYPE_MAP_NOTIFY |
                          XCB_XKB_EVENT_TYPE_STATE_NOTIFY | XCB_XKB_EVENT_TYPE_CONTROLS_NOTIFY;
  const uint16_t mapParts = XCB_XKB_MAP_PART_KEY_TYPES | XCB_XKB_MAP_PART_KEY_SYMS |
                            XCB_XKB_MAP_PART_MODIFIER_MAP | XCB_XKB_MAP_PART_EXPLICIT_COMPONENTS |
                            XCB_XKB_MAP_PART_KEY_ACTIONS | XCB_XKB_MAP_PART_VIRTUAL_MODS |
                            XCB_XKB_MAP_PART_VIRTUAL_MOD_MAP;
  const xcb_xkb_select_events_details_t details{};
  xcb_xkb_select_events_aux(conn, static_cast<uint16_t>(device), events, 0, events, mapParts,
                            mapParts, &details);
  keyboard = true;
  loadKeymap();
  loadRepeatSettings();
  return true;
}

void RawInputReader::Connection::stopKeyboard() {
  const uint16_t events = XCB_XKB_EVENT_TYPE_NEW_KEYBOARD_NOTIFY | XCB_XKB_EVENT_TYPE_MAP_NOTIFY |
                          XCB_XKB_EVENT_TYPE_STATE_NOTIFY | XCB_XKB_EVENT_TYPE_CONTROLS_NOTIFY;
  const xcb_xkb_select_events_details_t details{};
  xcb_xkb_select_events_aux(conn, static_cast<uint16_t>(device), events, events, 0, 0, 0,
                            &details);
  translator.setKeymap(nullptr);
  translator.setKeysDown({});
  autoRepeat.clear();
  keyboard = false;
}

void RawInputReader::Connection::loadKeymap() {
  xkb_keymap* keymap = xkb_x11_keymap_new_from_device(xkb, conn, device, XKB_KEYMAP_COMPILE_NO_FLAGS);
  if (!keymap) return;  // keep the previous one
  if (xkb_state* state = xkb_x11_state_new_from_device(keymap, conn, device)) {
    translator.setLayout(xkb_state_serialize_layout(state, XKB_STATE_LAYOUT_EFFECTIVE));
    translator.setLockedModifiers(xkb_state_serialize_mods(state, XKB_STATE_MODS_LOCKED));
    xkb_state_unref(state);
  }
  translator.setKeymap(keymap);
  xkb_keymap_unref(keymap);
}

void RawInputReader::Connection::loadRepeatSettings() {
  Reply<xcb_xkb_get_controls_reply_t> controls(xcb_xkb_get_controls_reply(
      conn, xcb_xkb_get_controls(conn, static_cast<uint16_t>(device)), nullptr));
  AutoRepeat::Settings settings;
  if (controls) {
    // Slow keys suspend repeating, as in the server.
    settings.enabled = (controls->enabledControls & XCB_XKB_BOOL_CTRL_REPEAT_KEYS) &&
                       !(controls->enabledControls & XCB_XKB_BOOL_CTRL_SLOW_KEYS);
    settings.delay = std::chrono::milliseconds(controls->repeatDelay);
    settings.interval = std::chrono::milliseconds(controls->repeatInterval > 0 ? controls->repeatInterval : 1);
    for (int i = 0; i < 256; ++i) settings.keys[i] = (controls->perKeyRepeat[i / 8] >> (i % 8)) & 1;
  }
  autoRepeat.setSettings(settings);
}

void RawInputReader::Connection::handle(xcb_generic_event_t* event, const Handlers& handlers) {
  const uint8_t type = event->response_type & 0x7f;
  if (type == XCB_GE_GENERIC) {
    auto* generic = reinterpret_cast<xcb_ge_generic_event_t*>(event);
    if (generic->extension != xiOpcode) return;
    // Raw button and key events share one layout.
    const uint32_t detail = reinterpret_cast<xcb_input_raw_button_press_event_t*>(event)->detail;
    switch (generic->event_type) {
      case XCB_INPUT_RAW_BUTTON_PRESS:
      case XCB_INPUT_RAW_BUTTON_RELEASE: {
        if (!(applied & kButtons) || (detail != 1 && detail != 3)) return;
        const bool down = generic->event_type == XCB_INPUT_RAW_BUTTON_PRESS;
        MouseEvent mouse{detail == 1 ? (down ? MouseEventType::leftMouseDown : MouseEventType::leftMouseUp)
                                     : (down ? MouseEventType::rightMouseDown : MouseEventType::rightMouseUp)};
        handlers.mouse(mouse);
        return;
      }
      case XCB_INPUT_RAW_KEY_PRESS: {
        if (!keyboard) return;
        autoRepeat.press(detail, AutoRepeat::Clock::now());
        if (auto key = translator.press(detail)) handlers.key(*key);
        return;
      }
      case XCB_INPUT_RAW_KEY_RELEASE:
        if (!keyboard) return;
        autoRepeat.release(detail);
        translator.release(detail);
        return;
      default:
        return;
    }
  }
  if (keyboard && type == xkbEventBase) {
    const auto* xkbEvent = reinterpret_cast<const XkbEventHeader*>(event);
    if (xkbEvent->deviceID != device) return;
    switch (xkbEvent->xkbType) {
      case XCB_XKB_NEW_KEYBOARD_NOTIFY:
      case XCB_XKB_MAP_NOTIFY:
        loadKeymap();
        loadRepeatSettings();
        return;
      case XCB_XKB_STATE_NOTIFY: {
        const auto* state = reinterpret_cast<const xcb_xkb_state_notify_event_t*>(event);
        translator.setLayout(state->group);
        translator.setLockedModifiers(state->lockedMods);
        return;
      }
      case XCB_XKB_CONTROLS_NOTIFY:
        loadRepeatSettings();
        return;
      default:
        return;
    }
  }
}

void RawInputReader::Connection::fireRepeats(const Handlers& handlers) {
  if (!keyboard) return;
  if (auto key = autoRepeat.take(AutoRepeat::Clock::now())) {
    if (auto event = translator.repeat(*key)) handlers.key(*event);
  }
}

std::unique_ptr<RawInputReader> RawInputReader::open(Handlers handlers) {
  auto connection = std::make_unique<Connection>();
  connection->conn = xcb_connect(nullptr, nullptr);
  if (xcb_connection_has_error(connection->conn)) return nullptr;
  const xcb_query_extension_reply_t* xi = xcb_get_extension_data(connection->conn, &xcb_input_id);
  if (!xi || !xi->present) return nullptr;
  connection->xiOpcode = xi->major_opcode;
  Reply<xcb_input_xi_query_version_reply_t> version(xcb_input_xi_query_version_reply(
      connection->conn, xcb_input_xi_query_version(connection->conn, 2, 2), nullptr));
  if (!version || version->major_version < 2 || (version->major_version == 2 && version->minor_version < 1)) {
    return nullptr;
  }
  const xcb_setup_t* setup = xcb_get_setup(connection->conn);
  connection->root = xcb_setup_roots_iterator(setup).data->root;
  return std::unique_ptr<RawInputReader>(new RawInputReader(std::move(connection), std::move(handlers)));
}

RawInputReader::RawInputReader(std::unique_ptr<Connection> connection, Handlers handlers)
    : connection_(std::move(connection)), handlers_(std::move(handlers)) {
  wakeFd_ = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
  thread_ = std::thread([this] { run(); });
}

RawInputReader::~RawInputReader() {
  quit_ = true;
  wake();
  thread_.join();
  if (wakeFd_ >= 0) close(wakeFd_);
}

void RawInputReader::select(bool buttons, bool keys) {
  std::unique_lock lock(selectionLock_);
  wanted_ = (buttons ? kButtons : 0) | (keys ? kKeys : 0);
  const uint64_t ticket = ++requested_;
  wake();
  selectionApplied_.wait_for(lock, std::chrono::seconds(1), [&] { return applied_ >= ticket || quit_; });
}

void RawInputReader::wake() {
  const uint64_t one = 1;
  if (wakeFd_ >= 0) [[maybe_unused]] auto n = ::write(wakeFd_, &one, sizeof one);
}

void RawInputReader::applySelection() {
  unsigned wanted;
  uint64_t ticket;
  {
    std::lock_guard lock(selectionLock_);
    if (applied_ == requested_) return;
    wanted = wanted_;
    ticket = requested_;
  }
  connection_->apply(wanted);
  std::lock_guard lock(selectionLock_);
  applied_ = ticket;
  selectionApplied_.notify_all();
}

void RawInputReader::run() {
  Connection& c = *connection_;
  const int fd = xcb_get_file_descriptor(c.conn);
  while (!quit_) {
    applySelection();
    // Everything xcb has already read (also while waiting for a reply)
    // first, then wait for more, a wake-up or the next key repeat.
    while (xcb_generic_event_t* event = xcb_poll_for_event(c.conn)) {
      c.handle(event, handlers_);
      std::free(event);
    }
    if (xcb_connection_has_error(c.conn)) break;
    c.fireRepeats(handlers_);

    int timeoutMs = -1;
    if (auto due = c.autoRepeat.nextDue()) {
      auto wait = std::chrono::ceil<std::chrono::milliseconds>(*due - AutoRepeat::Clock::now());
      timeoutMs = wait.count() < 0 ? 0 : static_cast<int>(wait.count());
    }
    pollfd fds[2] = {{fd, POLLIN, 0}, {wakeFd_, POLLIN, 0}};
    if (poll(fds, 2, timeoutMs) > 0 && (fds[1].revents & POLLIN)) {
      uint64_t count;
      [[maybe_unused]] auto n = ::read(wakeFd_, &count, sizeof count);
    }
  }
  // A lost connection reads nothing more; nobody waits for a selection.
  std::lock_guard lock(selectionLock_);
  quit_ = true;
  selectionApplied_.notify_all();
}

}  // namespace platform::xinput
