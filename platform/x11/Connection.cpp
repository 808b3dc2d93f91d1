#include "platform/x11/Connection.h"

#include <xcb/randr.h>

#include <cstdlib>

namespace platform::x11 {

void FreeDeleter::operator()(void* p) const { std::free(p); }

namespace {

std::string displayName() {
  const char* name = std::getenv("DISPLAY");
  return name ? name : "";
}

std::string describeConnectError(int code, const std::string& name) {
  if (name.empty()) return "No X display is set (the DISPLAY variable is empty).";
  switch (code) {
    case XCB_CONN_CLOSED_PARSE_ERR:
      return "The X display name \"" + name + "\" is not valid.";
    case XCB_CONN_CLOSED_INVALID_SCREEN:
      return "The X display \"" + name + "\" has no such screen.";
    case XCB_CONN_CLOSED_MEM_INSUFFICIENT:
      return "There is not enough memory to connect to the X display \"" + name + "\".";
    default:
      return "The X display \"" + name + "\" cannot be opened.";
  }
}

}  // namespace

Result<std::shared_ptr<Connection>> Connection::open() {
  const std::string name = displayName();
  int screenNumber = 0;
  xcb_connection_t* connection = xcb_connect(nullptr, &screenNumber);
  if (int code = xcb_connection_has_error(connection)) {
    xcb_disconnect(connection);
    return Error{describeConnectError(code, name)};
  }
  xcb_screen_iterator_t it = xcb_setup_roots_iterator(xcb_get_setup(connection));
  for (int i = 0; i < screenNumber && it.rem > 0; ++i) xcb_screen_next(&it);
  if (it.rem == 0) {
    xcb_disconnect(connection);
    return Error{describeConnectError(XCB_CONN_CLOSED_INVALID_SCREEN, name)};
  }
  return std::shared_ptr<Connection>(new Connection(connection, it.data));
}

Connection::Connection(xcb_connection_t* connection, const xcb_screen_t* screen)
    : connection_(connection), screen_(screen), atoms_(connection) {
  if (hasExtension(&xcb_randr_id)) {
    Reply<xcb_randr_query_version_reply_t> version(
        xcb_randr_query_version_reply(connection, xcb_randr_query_version(connection, 1, 5), nullptr));
    randrMonitors_ = version && (version->major_version > 1 || version->minor_version >= 5);
  }
}

Connection::~Connection() { xcb_disconnect(connection_); }

bool Connection::hasExtension(xcb_extension_t* extension) const {
  const xcb_query_extension_reply_t* data = xcb_get_extension_data(connection_, extension);
  return data != nullptr && data->present;
}

bool Connection::sync() const {
  Reply<xcb_get_input_focus_reply_t> reply(
      xcb_get_input_focus_reply(connection_, xcb_get_input_focus(connection_), nullptr));
  return reply != nullptr;
}

void Connection::discardEvents() const {
  while (xcb_generic_event_t* event = xcb_poll_for_event(connection_)) std::free(event);
}

Result<std::shared_ptr<Connection>> DisplayHandle::connection() {
  std::lock_guard<std::mutex> lock(mutex_);
  if (current_ && !current_->isBroken()) return current_;
  current_.reset();
  Result<std::shared_ptr<Connection>> opened = Connection::open();
  if (opened) current_ = opened.value();
  return opened;
}

}  // namespace platform::x11
