#include "platform/x11/ScreenAccess.h"

#include <xcb/xinput.h>

namespace platform::x11 {

bool canReadScreen(const Connection& connection) {
  xcb_connection_t* c = connection.get();
  Reply<xcb_get_image_reply_t> image(xcb_get_image_reply(
      c, xcb_get_image(c, XCB_IMAGE_FORMAT_Z_PIXMAP, connection.root(), 0, 0, 1, 1, ~0u), nullptr));
  return image != nullptr;
}

bool offersXInput21(const Connection& connection) {
  if (!connection.hasExtension(&xcb_input_id)) return false;
  xcb_connection_t* c = connection.get();
  Reply<xcb_input_xi_query_version_reply_t> version(
      xcb_input_xi_query_version_reply(c, xcb_input_xi_query_version(c, 2, 1), nullptr));
  return version && (version->major_version > 2 || (version->major_version == 2 && version->minor_version >= 1));
}

}  // namespace platform::x11
