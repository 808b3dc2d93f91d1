#include "platform/x11/CaptureSources.h"

#include <xcb/composite.h>
#include <xcb/shm.h>

#include <algorithm>
#include <cstring>

namespace platform::x11 {

namespace {

constexpr uint32_t kOpaqueBlack = 0xFF000000u;

// The frame's first `height` rows hold `width` pixels each, packed; spreads
// them to the frame's row length, paints what they do not cover black and
// makes every pixel opaque (X leaves the padding byte of depth-24 pixels
// undefined; video frames are opaque).
void finishFrame(PooledFrame& frame, int width, int height) {
  auto* pixels = reinterpret_cast<uint32_t*>(frame.mutablePixels());
  const int stride = frame.width();
  if (width == stride) {
    const size_t count = static_cast<size_t>(width) * height;
    if (frame.alphaRead()) {
      for (size_t i = 0; i < count; ++i) pixels[i] |= kOpaqueBlack;
    }
  } else {
    for (int row = height - 1; row >= 0; --row) {
      uint32_t* to = pixels + static_cast<size_t>(row) * stride;
      std::memmove(to, pixels + static_cast<size_t>(row) * width, static_cast<size_t>(width) * 4);
      for (int x = 0; x < width; ++x) to[x] |= kOpaqueBlack;
      std::fill(to + width, to + stride, kOpaqueBlack);
    }
  }
  std::fill(pixels + static_cast<size_t>(height) * stride, pixels + static_cast<size_t>(frame.height()) * stride,
            kOpaqueBlack);
}

bool intersects(const PixelRect& a, const xcb_rectangle_t& b) {
  return a.x < b.x + b.width && b.x < a.x + a.width && a.y < b.y + b.height && b.y < a.y + a.height;
}

}  // namespace

RowSpan unite(RowSpan a, RowSpan b) {
  if (a.empty()) return b;
  if (b.empty()) return a;
  return RowSpan{std::min(a.top, b.top), std::max(a.bottom, b.bottom)};
}

// Reads a `w` x `h` block at (x, y) of `drawable` into `frame`, its rows
// packed from byte `offset` on: through the frame's shared-memory segment
// when it has one, else GetImage.
static bool readPacked(const Connection& connection, xcb_drawable_t drawable, int x, int y, int w, int h, PooledFrame& frame,
                       size_t offset) {
  xcb_connection_t* c = connection.get();
  const auto x16 = static_cast<int16_t>(x);
  const auto y16 = static_cast<int16_t>(y);
  const auto w16 = static_cast<uint16_t>(w);
  const auto h16 = static_cast<uint16_t>(h);
  if (frame.segment() != XCB_NONE) {
    Reply<xcb_shm_get_image_reply_t> reply(xcb_shm_get_image_reply(
        c,
        xcb_shm_get_image(c, drawable, x16, y16, w16, h16, ~0u, XCB_IMAGE_FORMAT_Z_PIXMAP, frame.segment(),
                          static_cast<uint32_t>(offset)),
        nullptr));
    return static_cast<bool>(reply);
  }
  Reply<xcb_get_image_reply_t> reply(
      xcb_get_image_reply(c, xcb_get_image(c, XCB_IMAGE_FORMAT_Z_PIXMAP, drawable, x16, y16, w16, h16, ~0u), nullptr));
  if (!reply) return false;
  const size_t bytes = static_cast<size_t>(w) * h * 4;
  if (static_cast<size_t>(xcb_get_image_data_length(reply.get())) < bytes) return false;
  std::memcpy(frame.mutablePixels() + offset, xcb_get_image_data(reply.get()), bytes);
  return true;
}

bool readImageRows(const Connection& connection, xcb_drawable_t drawable, PixelRect area, PooledFrame& frame,
                   RowSpan rows) {
  rows.top = std::max(rows.top, 0);
  rows.bottom = std::min(rows.bottom, area.height);
  const bool partial = !frame.alphaRead() && area.width == frame.width() && area.height == frame.height() &&
                       area.width > 0 && !rows.empty() && (rows.top > 0 || rows.bottom < area.height);
  if (!partial) return readImage(connection, drawable, area, frame);
  // Packed rows of the area's width land where they sit in the frame.
  return readPacked(connection, drawable, area.x, area.y + rows.top, area.width, rows.bottom - rows.top, frame,
                    static_cast<size_t>(rows.top) * area.width * 4);
}

bool readImage(const Connection& connection, xcb_drawable_t drawable, PixelRect area, PooledFrame& frame) {
  const int width = std::min(area.width, frame.width());
  const int height = std::min(area.height, frame.height());
  if (width <= 0 || height <= 0) return false;
  if (!readPacked(connection, drawable, area.x, area.y, width, height, frame, 0)) return false;
  finishFrame(frame, width, height);
  return true;
}

// ---- DamageWatch -----------------------------------------------------------

DamageWatch::DamageWatch(const Connection& connection, xcb_drawable_t drawable)
    : connection_(connection), damage_(xcb_generate_id(connection.get())), region_(xcb_generate_id(connection.get())) {
  xcb_damage_create(connection.get(), damage_, drawable, XCB_DAMAGE_REPORT_LEVEL_NON_EMPTY);
  xcb_xfixes_create_region(connection.get(), region_, 0, nullptr);
}

DamageWatch::~DamageWatch() {
  if (connection_.isBroken()) return;
  xcb_damage_destroy(connection_.get(), damage_);  // gone already when its drawable was destroyed
  xcb_xfixes_destroy_region(connection_.get(), region_);
}

bool DamageWatch::take(std::optional<PixelRect> area, RowSpan* rows) {
  xcb_connection_t* c = connection_.get();
  xcb_damage_subtract(c, damage_, XCB_NONE, region_);
  Reply<xcb_xfixes_fetch_region_reply_t> reply(
      xcb_xfixes_fetch_region_reply(c, xcb_xfixes_fetch_region(c, region_), nullptr));
  if (!reply) return false;
  const xcb_rectangle_t* rects = xcb_xfixes_fetch_region_rectangles(reply.get());
  const int count = xcb_xfixes_fetch_region_rectangles_length(reply.get());
  if (rows) *rows = RowSpan{};
  if (!area) return count > 0;
  bool touched = false;
  for (const xcb_rectangle_t* r = rects; r != rects + count; ++r) {
    if (!intersects(*area, *r)) continue;
    touched = true;
    if (rows) *rows = unite(*rows, RowSpan{std::max(r->y - area->y, 0), std::min(r->y + r->height - area->y, area->height)});
  }
  return touched;
}

// ---- ScreenAreaSource ------------------------------------------------------

ScreenAreaSource::ScreenAreaSource(const Connection& connection, PixelRect area)
    : connection_(connection), area_(area), damage_(connection, connection.root()) {}

bool ScreenAreaSource::grab(PooledFrame& frame) { return readImage(connection_, connection_.root(), area_, frame); }

RowSpan ScreenAreaSource::changedRows(int height) {
  RowSpan rows;
  damage_.take(area_, &rows);
  rows.bottom = std::min(rows.bottom, height);
  return rows;
}

bool ScreenAreaSource::grabRows(PooledFrame& frame, RowSpan rows) {
  return readImageRows(connection_, connection_.root(), area_, frame, rows);
}

// ---- WindowSource ----------------------------------------------------------

WindowSource::WindowSource(const Connection& connection, xcb_window_t topLevel)
    : connection_(connection), window_(topLevel), damage_(connection, topLevel), pixmap_(xcb_generate_id(connection.get())) {
  xcb_composite_redirect_window(connection.get(), window_, XCB_COMPOSITE_REDIRECT_AUTOMATIC);
}

WindowSource::~WindowSource() {
  if (!connection_.isBroken()) xcb_composite_unredirect_window(connection_.get(), window_, XCB_COMPOSITE_REDIRECT_AUTOMATIC);
}

bool WindowSource::grab(PooledFrame& frame) {
  xcb_connection_t* c = connection_.get();
  // A named pixmap belongs to the window's current size; it is named afresh
  // for every grab (the window may have been resized meanwhile).
  xcb_composite_name_window_pixmap(c, window_, pixmap_);
  Reply<xcb_get_geometry_reply_t> geometry(xcb_get_geometry_reply(c, xcb_get_geometry(c, pixmap_), nullptr));
  if (!geometry) return false;  // not viewable, or gone: nothing was named
  const bool grabbed = readImage(connection_, pixmap_, PixelRect{0, 0, geometry->width, geometry->height}, frame);
  xcb_free_pixmap(c, pixmap_);
  return grabbed;
}

// ---- ComposedScreenSource --------------------------------------------------

ComposedScreenSource::ComposedScreenSource(const Connection& connection, PixelRect area,
                                           std::unordered_set<xcb_window_t> excluded)
    : connection_(connection), area_(area), excluded_(std::move(excluded)), damage_(connection, connection.root()) {
  xcb_connection_t* c = connection.get();
  xcb_composite_redirect_subwindows(c, connection.root(), XCB_COMPOSITE_REDIRECT_AUTOMATIC);

  Reply<xcb_render_query_pict_formats_reply_t> reply(
      xcb_render_query_pict_formats_reply(c, xcb_render_query_pict_formats(c), nullptr));
  if (reply) {
    std::unordered_map<xcb_render_pictformat_t, bool> alpha;
    for (auto it = xcb_render_query_pict_formats_formats_iterator(reply.get()); it.rem > 0;
         xcb_render_pictforminfo_next(&it)) {
      alpha[it.data->id] = it.data->type == XCB_RENDER_PICT_TYPE_DIRECT && it.data->direct.alpha_mask != 0;
    }
    for (auto s = xcb_render_query_pict_formats_screens_iterator(reply.get()); s.rem > 0; xcb_render_pictscreen_next(&s)) {
      for (auto d = xcb_render_pictscreen_depths_iterator(s.data); d.rem > 0; xcb_render_pictdepth_next(&d)) {
        for (auto v = xcb_render_pictdepth_visuals_iterator(d.data); v.rem > 0; xcb_render_pictvisual_next(&v)) {
          formats_[v.data->visual] = Format{v.data->format, alpha[v.data->format]};
        }
      }
    }
  }

  const xcb_screen_t& screen = connection.screen();
  canvas_ = xcb_generate_id(c);
  xcb_create_pixmap(c, screen.root_depth, canvas_, connection.root(), static_cast<uint16_t>(area.width),
                    static_cast<uint16_t>(area.height));
  canvasPicture_ = xcb_generate_id(c);
  xcb_render_create_picture(c, canvasPicture_, canvas_, formats_[screen.root_visual].id, 0, nullptr);
  pixmap_ = xcb_generate_id(c);
  picture_ = xcb_generate_id(c);
}

ComposedScreenSource::~ComposedScreenSource() {
  if (connection_.isBroken()) return;
  xcb_connection_t* c = connection_.get();
  xcb_render_free_picture(c, canvasPicture_);
  xcb_free_pixmap(c, canvas_);
  xcb_composite_unredirect_subwindows(c, connection_.root(), XCB_COMPOSITE_REDIRECT_AUTOMATIC);
}

void ComposedScreenSource::compose() {
  xcb_connection_t* c = connection_.get();
  const xcb_rectangle_t all{0, 0, static_cast<uint16_t>(area_.width), static_cast<uint16_t>(area_.height)};
  xcb_render_fill_rectangles(c, XCB_RENDER_PICT_OP_SRC, canvasPicture_, xcb_render_color_t{0, 0, 0, 0xFFFF}, 1, &all);

  Reply<xcb_query_tree_reply_t> tree(xcb_query_tree_reply(c, xcb_query_tree(c, connection_.root()), nullptr));
  if (!tree) return;
  const xcb_window_t* children = xcb_query_tree_children(tree.get());
  const int count = xcb_query_tree_children_length(tree.get());
  pending_.clear();  // keeps its capacity: no allocation once running
  for (int i = 0; i < count; ++i) {  // bottom first
    if (excluded_.count(children[i]) != 0) continue;
    pending_.push_back(Pending{children[i], xcb_get_window_attributes(c, children[i]), xcb_get_geometry(c, children[i])});
  }
  for (const Pending& p : pending_) {
    Reply<xcb_get_window_attributes_reply_t> attributes(xcb_get_window_attributes_reply(c, p.attributes, nullptr));
    Reply<xcb_get_geometry_reply_t> geometry(xcb_get_geometry_reply(c, p.geometry, nullptr));
    if (!attributes || !geometry || attributes->map_state != XCB_MAP_STATE_VIEWABLE ||
        attributes->_class != XCB_WINDOW_CLASS_INPUT_OUTPUT) {
      continue;
    }
    auto format = formats_.find(attributes->visual);
    if (format == formats_.end()) continue;
    xcb_composite_name_window_pixmap(c, p.window, pixmap_);
    xcb_render_create_picture(c, picture_, pixmap_, format->second.id, 0, nullptr);
    const int outerWidth = geometry->width + 2 * geometry->border_width;
    const int outerHeight = geometry->height + 2 * geometry->border_width;
    xcb_render_composite(c, format->second.hasAlpha ? XCB_RENDER_PICT_OP_OVER : XCB_RENDER_PICT_OP_SRC, picture_,
                         XCB_NONE, canvasPicture_, 0, 0, 0, 0, static_cast<int16_t>(geometry->x - area_.x),
                         static_cast<int16_t>(geometry->y - area_.y), static_cast<uint16_t>(outerWidth),
                         static_cast<uint16_t>(outerHeight));
    xcb_render_free_picture(c, picture_);
    xcb_free_pixmap(c, pixmap_);
  }
}

bool ComposedScreenSource::grab(PooledFrame& frame) {
  compose();
  return readImage(connection_, canvas_, PixelRect{0, 0, area_.width, area_.height}, frame);
}

}  // namespace platform::x11
