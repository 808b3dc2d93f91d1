#include "platform/xinput/CursorReader.h"

#include <xcb/xcb.h>
#include <xcb/xfixes.h>

#include <algorithm>
#include <condition_variable>
#include <cstdlib>
#include <mutex>
#include <thread>

namespace platform::xinput {

void straightenCursorPixels(const uint32_t* argb, size_t count, uint8_t* rgba) {
  for (size_t i = 0; i < count; ++i) {
    const uint32_t p = argb[i];
    const uint32_t a = p >> 24;
    uint8_t* out = rgba + i * 4;
    if (a == 0) {
      out[0] = out[1] = out[2] = out[3] = 0;
      continue;
    }
    auto straight = [a](uint32_t c) { return static_cast<uint8_t>(std::min<uint32_t>(255, (c * 255 + a / 2) / a)); };
    out[0] = straight((p >> 16) & 0xff);
    out[1] = straight((p >> 8) & 0xff);
    out[2] = straight(p & 0xff);
    out[3] = static_cast<uint8_t>(a);
  }
}

struct CursorReader::Connection {
  ~Connection() {
    if (conn) xcb_disconnect(conn);
  }
  xcb_connection_t* conn = nullptr;
  uint8_t fixesEventBase = 0;
  // The serial of the cursor shown, as last announced or fetched.
  std::optional<uint64_t> serial;
  // No image fetched yet: a caller's serial came from an earlier connection,
  // perhaps to an earlier server, and says nothing about this one.
  bool fresh = true;
};

// One connection attempt, shared by the thread that makes it and the reader
// that collects it.
struct CursorReader::Attempt {
  std::mutex mutex;  // guards `done` and `result`
  std::condition_variable finished;
  bool done = false;
  std::unique_ptr<Connection> result;  // null when the display could not be opened
};

std::unique_ptr<CursorReader::Connection> CursorReader::openConnection() {
  auto c = std::make_unique<Connection>();
  c->conn = xcb_connect(nullptr, nullptr);
  if (xcb_connection_has_error(c->conn)) return nullptr;
  const xcb_query_extension_reply_t* fixes = xcb_get_extension_data(c->conn, &xcb_xfixes_id);
  if (!fixes || !fixes->present) return nullptr;
  c->fixesEventBase = fixes->first_event;
  // The version must be negotiated before any other XFixes request.
  free(xcb_xfixes_query_version_reply(c->conn, xcb_xfixes_query_version(c->conn, 4, 0), nullptr));
  xcb_window_t root = xcb_setup_roots_iterator(xcb_get_setup(c->conn)).data->root;
  xcb_xfixes_select_cursor_input(c->conn, root, XCB_XFIXES_CURSOR_NOTIFY_MASK_DISPLAY_CURSOR);
  xcb_flush(c->conn);
  if (xcb_connection_has_error(c->conn)) return nullptr;
  return c;
}

CursorReader::CursorReader() = default;
CursorReader::~CursorReader() = default;

bool CursorReader::connected() {
  if (connection_) return true;
  bool startedNow = false;
  if (!attempt_) {
    const auto now = std::chrono::steady_clock::now();
    if (now < nextAttempt_) return false;
    nextAttempt_ = now + kReconnectInterval;
    attempt_ = std::make_shared<Attempt>();
    // Detached: a server that never answers holds only this thread, and
    // only its own attempt; no other starts while it is under way.
    std::thread([attempt = attempt_] {
      std::unique_ptr<Connection> opened = openConnection();
      std::lock_guard lock(attempt->mutex);
      attempt->result = std::move(opened);
      attempt->done = true;
      attempt->finished.notify_all();
    }).detach();
    startedNow = true;
  }
  std::unique_lock lock(attempt_->mutex);
  if (startedNow) attempt_->finished.wait_for(lock, kConnectWait, [this] { return attempt_->done; });
  if (!attempt_->done) return false;  // collected by a later call
  connection_ = std::move(attempt_->result);
  lock.unlock();
  attempt_.reset();
  return connection_ != nullptr;
}

InputEventService::CursorQuery CursorReader::current(std::optional<uint64_t> lastSerial) {
  InputEventService::CursorQuery query;
  if (!connected()) return query;
  Connection& c = *connection_;
  if (c.fresh) lastSerial.reset();

  // Announced changes; nothing here waits for the server.
  while (xcb_generic_event_t* event = xcb_poll_for_event(c.conn)) {
    if ((event->response_type & 0x7f) == c.fixesEventBase + XCB_XFIXES_CURSOR_NOTIFY) {
      c.serial = reinterpret_cast<xcb_xfixes_cursor_notify_event_t*>(event)->cursor_serial;
    }
    std::free(event);
  }
  if (xcb_connection_has_error(c.conn)) {
    connection_.reset();  // a later call connects again
    return query;
  }
  if (lastSerial && c.serial == lastSerial) {
    query.serial = *lastSerial;
    query.unchanged = true;
    return query;
  }

  xcb_xfixes_get_cursor_image_reply_t* reply =
      xcb_xfixes_get_cursor_image_reply(c.conn, xcb_xfixes_get_cursor_image(c.conn), nullptr);
  if (!reply && xcb_connection_has_error(c.conn)) {
    connection_.reset();
    return query;
  }
  // A refused cursor (see the header) or a placeholder of serial 0, seen
  // while an animated cursor changes frames: no cursor this time.
  if (!reply) return query;
  if (reply->cursor_serial == 0) {
    std::free(reply);
    return query;
  }
  c.fresh = false;
  c.serial = reply->cursor_serial;
  query.serial = reply->cursor_serial;
  if (lastSerial == query.serial) {
    query.unchanged = true;
  } else if (reply->width > 0 && reply->height > 0 &&
             xcb_xfixes_get_cursor_image_cursor_image_length(reply) >= reply->width * reply->height) {
    CursorImage image;
    image.pixelWidth = reply->width;
    image.pixelHeight = reply->height;
    image.rgba.resize(static_cast<size_t>(reply->width) * reply->height * 4);
    straightenCursorPixels(xcb_xfixes_get_cursor_image_cursor_image(reply),
                           static_cast<size_t>(reply->width) * reply->height, image.rgba.data());
    image.hotX = std::min<int>(reply->xhot, reply->width - 1);
    image.hotY = std::min<int>(reply->yhot, reply->height - 1);
    image.width = reply->width;
    image.height = reply->height;
    query.image = std::move(image);
  }
  std::free(reply);
  return query;
}

}  // namespace platform::xinput
