// What the capture thread grabs from: a rectangle of the screen, one window's
// own contents, or a rectangle of the screen composed without some windows.
// Each source also tells, through the Damage extension, whether its picture
// changed since the last time it was asked (asked before every grab, so that
// a change landing during the grab is seen at the next one).
//
// Thread-safety: a source is used by one thread (the capture thread).
#pragma once

#include "platform/Geometry.h"
#include "platform/x11/Connection.h"
#include "platform/x11/FramePool.h"

#include <xcb/damage.h>
#include <xcb/render.h>
#include <xcb/xfixes.h>

#include <memory>
#include <optional>
#include <unordered_map>
#include <unordered_set>
#include <vector>

namespace platform::x11 {

// An integer rectangle in the coordinates of some drawable.
struct PixelRect {
  int x = 0;
  int y = 0;
  int width = 0;
  int height = 0;
};

// Rows [top, bottom) of a picture; empty when bottom <= top.
struct RowSpan {
  int top = 0;
  int bottom = 0;
  bool empty() const { return bottom <= top; }
};

// The smallest span holding both.
RowSpan unite(RowSpan a, RowSpan b);

// Reads `area` of `drawable` into the top-left of `frame` (rows of the
// frame's width; what the area does not cover is black) and makes every pixel
// opaque. Uses the frame's shared-memory segment when it has one, else
// GetImage. False when the server refuses (drawable gone, not viewable).
bool readImage(const Connection& connection, xcb_drawable_t drawable, PixelRect area, PooledFrame& frame);
// Reads only `rows` of `area` into the same rows of `frame`, leaving the
// others as they are, when the frame has the area's size and its alpha is
// not read (the frame a conversion reads from); otherwise all of it.
bool readImageRows(const Connection& connection, xcb_drawable_t drawable, PixelRect area, PooledFrame& frame,
                   RowSpan rows);

// Damage accumulated on one drawable.
class DamageWatch {
 public:
  DamageWatch(const Connection& connection, xcb_drawable_t drawable);
  ~DamageWatch();
  DamageWatch(const DamageWatch&) = delete;
  DamageWatch& operator=(const DamageWatch&) = delete;

  // Takes and clears the damage; true when some of it lies in `area`
  // (drawable coordinates), or anywhere when `area` is absent.
  // `rows`, when given, receives the rows of `area` the damage touched
  // (relative to the area; empty when none).
  bool take(std::optional<PixelRect> area, RowSpan* rows = nullptr);

 private:
  const Connection& connection_;
  xcb_damage_damage_t damage_;
  xcb_xfixes_region_t region_;
};

class FrameSource {
 public:
  virtual ~FrameSource() = default;
  // Whether the picture changed since the last call.
  virtual bool changed() = 0;
  // Grabs the picture into `frame`; false when there is nothing to grab now.
  virtual bool grab(PooledFrame& frame) = 0;
  // The rows of a picture `height` rows high that changed since the last
  // call (empty: nothing did). A source that cannot tell rows apart
  // answers all of them when anything changed.
  virtual RowSpan changedRows(int height) { return changed() ? RowSpan{0, height} : RowSpan{}; }
  // Grabs at least `rows` of the picture into the same rows of `frame`; the
  // other rows keep what an earlier grab left there. A source that cannot
  // grab part of its picture grabs all of it.
  virtual bool grabRows(PooledFrame& frame, RowSpan rows) {
    (void)rows;
    return grab(frame);
  }
};

// A rectangle of the root window, as the screen shows it.
class ScreenAreaSource final : public FrameSource {
 public:
  ScreenAreaSource(const Connection& connection, PixelRect area);
  bool changed() override { return damage_.take(area_); }
  bool grab(PooledFrame& frame) override;
  RowSpan changedRows(int height) override;
  bool grabRows(PooledFrame& frame, RowSpan rows) override;

 private:
  const Connection& connection_;
  PixelRect area_;
  DamageWatch damage_;
};

// One top-level window's own contents through the Composite extension: what
// the window shows even where other windows cover it, wherever it is.
class WindowSource final : public FrameSource {
 public:
  // `topLevel` is the child of the root that holds the window (its frame).
  WindowSource(const Connection& connection, xcb_window_t topLevel);
  ~WindowSource() override;
  bool changed() override { return damage_.take(std::nullopt); }
  bool grab(PooledFrame& frame) override;

 private:
  const Connection& connection_;
  xcb_window_t window_;
  DamageWatch damage_;
  xcb_pixmap_t pixmap_;  // the id each grab names the window's pixmap with
};

// A rectangle of the screen composed from the top-level windows' own
// contents, bottom to top, leaving out some of them. A client cannot read the
// desktop background of a bare X server, so where no window is the picture
// is black (desktops that draw a background do it in a window of their own,
// which is composed like any other).
//
// Change detection watches the screen: a change of a window hidden behind an
// excluded one is seen only when something visible changes too.
class ComposedScreenSource final : public FrameSource {
 public:
  ComposedScreenSource(const Connection& connection, PixelRect area, std::unordered_set<xcb_window_t> excluded);
  ~ComposedScreenSource() override;
  bool changed() override { return damage_.take(area_); }
  bool grab(PooledFrame& frame) override;

 private:
  struct Format {
    xcb_render_pictformat_t id = 0;
    bool hasAlpha = false;
  };
  struct Pending {
    xcb_window_t window;
    xcb_get_window_attributes_cookie_t attributes;
    xcb_get_geometry_cookie_t geometry;
  };
  void compose();

  const Connection& connection_;
  PixelRect area_;
  std::unordered_set<xcb_window_t> excluded_;
  DamageWatch damage_;
  std::unordered_map<xcb_visualid_t, Format> formats_;
  xcb_pixmap_t canvas_ = 0;
  xcb_render_picture_t canvasPicture_ = 0;
  // Reused for every window of every grab: each is freed before it is
  // named or created again.
  xcb_pixmap_t pixmap_ = 0;
  xcb_render_picture_t picture_ = 0;
  std::vector<Pending> pending_;
};

}  // namespace platform::x11
