#include "platform/x11/VideoStream.h"

#include "platform/Bt709.h"
#include "platform/Clock.h"
#include "platform/x11/CaptureSources.h"
#include "platform/x11/ClientWindows.h"
#include "platform/x11/FramePool.h"
#include "platform/x11/Monitors.h"

#include <xcb/composite.h>
#include <xcb/damage.h>
#include <xcb/render.h>
#include <xcb/shm.h>
#include <xcb/xfixes.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <unordered_set>

namespace platform::x11 {

namespace {

const char* const kConnectionLost = "The connection to the X server was lost.";

struct Requirement {
  xcb_extension_t* extension;
  const char* name;
};

// Announces the versions this code speaks (DAMAGE, XFIXES and Composite
// refuse requests until a client has done so). Error when one is missing.
std::optional<Error> negotiateExtensions(const Connection& connection, bool needsComposite) {
  std::vector<Requirement> required = {{&xcb_damage_id, "DAMAGE"}, {&xcb_xfixes_id, "XFIXES"}};
  if (needsComposite) {
    required.push_back({&xcb_composite_id, "Composite"});
    required.push_back({&xcb_render_id, "RENDER"});
  }
  for (const Requirement& r : required) {
    if (!connection.hasExtension(r.extension)) {
      return Error{std::string("The X server does not offer the ") + r.name + " extension, which the capture needs."};
    }
  }
  xcb_connection_t* c = connection.get();
  Reply<xcb_damage_query_version_reply_t> damage(
      xcb_damage_query_version_reply(c, xcb_damage_query_version(c, 1, 1), nullptr));
  Reply<xcb_xfixes_query_version_reply_t> xfixes(
      xcb_xfixes_query_version_reply(c, xcb_xfixes_query_version(c, 5, 0), nullptr));
  if (!damage || !xfixes || xfixes->major_version < 2) {
    return Error{"The X server's DAMAGE or XFIXES extension is too old for the capture."};
  }
  if (needsComposite) {
    Reply<xcb_composite_query_version_reply_t> composite(
        xcb_composite_query_version_reply(c, xcb_composite_query_version(c, 0, 4), nullptr));
    Reply<xcb_render_query_version_reply_t> render(
        xcb_render_query_version_reply(c, xcb_render_query_version(c, 0, 11), nullptr));
    if (!composite || (composite->major_version == 0 && composite->minor_version < 2) || !render) {
      return Error{"The X server's Composite extension is too old for the capture."};
    }
  }
  return std::nullopt;
}

// Frames are 32 bits per pixel as the server stores them: depth 24 or 32.
bool hasThirtyTwoBitPixels(const Connection& connection) {
  const uint8_t depth = connection.screen().root_depth;
  if (depth != 24 && depth != 32) return false;
  const xcb_setup_t* setup = xcb_get_setup(connection.get());
  for (auto it = xcb_setup_pixmap_formats_iterator(setup); it.rem > 0; xcb_format_next(&it)) {
    if (it.data->depth == depth) return it.data->bits_per_pixel == 32;
  }
  return false;
}

// `area` clipped to the root window.
PixelRect clipToRoot(const Connection& connection, PixelRect area) {
  const int rootWidth = connection.screen().width_in_pixels;
  const int rootHeight = connection.screen().height_in_pixels;
  const int x0 = std::clamp(area.x, 0, rootWidth);
  const int y0 = std::clamp(area.y, 0, rootHeight);
  const int x1 = std::clamp(area.x + area.width, 0, rootWidth);
  const int y1 = std::clamp(area.y + area.height, 0, rootHeight);
  return PixelRect{x0, y0, x1 - x0, y1 - y0};
}

}  // namespace

VideoStream::VideoStream(ContentFilter filter, StreamConfiguration configuration, StreamDelegate& delegate,
                         CaptureStream* reportAs, VideoStreamOptions options)
    : filter_(std::move(filter)),
      configuration_(std::move(configuration)),
      delegate_(delegate),
      reportAs_(reportAs ? *reportAs : *this),
      options_(options) {}

VideoStream::~VideoStream() { stopCapture(); }

std::optional<Error> VideoStream::addStreamOutput(StreamOutput& output, OutputType type, SerialQueue& queue) {
  if (type != OutputType::screen) return Error{"This stream captures the screen only."};
  output_ = &output;
  queue_ = &queue;
  return std::nullopt;
}

std::optional<Error> VideoStream::prepare() {
  Result<std::shared_ptr<Connection>> opened = Connection::open();
  if (!opened) return opened.error();
  connection_ = opened.value();
  const Connection& c = *connection_;

  const bool excluding = !filter_.window && !filter_.excludedWindows.empty();
  if (auto error = negotiateExtensions(c, filter_.window.has_value() || excluding)) return error;
  if (!hasThirtyTwoBitPixels(c)) return Error{"Only X screens of depth 24 or 32 can be captured."};

  int width = configuration_.width;
  int height = configuration_.height;
  if (filter_.window) {
    std::optional<xcb_window_t> topLevel = topLevelAncestor(c, filter_.window->windowID);
    if (!topLevel) return Error{"The window to capture is not available anymore."};
    if (width <= 0 || height <= 0) {
      const Rect frame = outerFrameInRoot(c, filter_.window->windowID).value_or(filter_.window->frame);
      width = static_cast<int>(frame.width());
      height = static_cast<int>(frame.height());
    }
    source_ = std::make_unique<WindowSource>(c, *topLevel);
  } else if (filter_.display) {
    const MonitorLayout layout = MonitorLayout::read(c, MonitorDetail::geometry);
    const Monitor* monitor = layout.find(filter_.display->displayID);
    Rect area = monitor ? monitor->rootRect : layout.rootFromGlobal(filter_.display->frame);
    if (configuration_.sourceRect) {
      const Rect& source = *configuration_.sourceRect;
      area = Rect(area.minX() + source.minX(), area.minY() + source.minY(), source.width(), source.height());
    }
    if (width <= 0 || height <= 0) {
      width = static_cast<int>(area.width());
      height = static_cast<int>(area.height());
    }
    const PixelRect pixels = clipToRoot(c, PixelRect{static_cast<int>(std::floor(area.minX())),
                                                     static_cast<int>(std::floor(area.minY())), width, height});
    if (pixels.width <= 0 || pixels.height <= 0) return Error{"The area to capture lies outside the screen."};
    if (excluding) {
      std::unordered_set<xcb_window_t> excluded;
      for (const CaptureWindow& window : filter_.excludedWindows) {
        excluded.insert(window.windowID);
        if (auto topLevel = topLevelAncestor(c, window.windowID)) excluded.insert(*topLevel);
      }
      source_ = std::make_unique<ComposedScreenSource>(c, pixels, std::move(excluded));
    } else {
      source_ = std::make_unique<ScreenAreaSource>(c, pixels);
    }
  } else {
    return Error{"The capture has nothing to show (no display and no window)."};
  }
  if (width <= 0 || height <= 0) return Error{"The capture size is empty."};

  const int depth = std::max(configuration_.queueDepth, 1);
  const bool shared = options_.sharedMemory && c.hasExtension(&xcb_shm_id);
  const bool planar = configuration_.pixelFormat == static_cast<uint32_t>(PixelFormat::i420);
  // The frames the server writes into: all of them, or the one converted
  // from (whose alpha nobody reads).
  const int grabCount = planar ? 1 : depth;
  Result<std::unique_ptr<FramePool>> grabs =
      FramePool::create(connection_, grabCount, width, height, shared, PixelFormat::bgra, !planar);
  if (!grabs && shared) grabs = FramePool::create(connection_, grabCount, width, height, false, PixelFormat::bgra, !planar);
  if (!grabs) return grabs.error();
  if (planar) {
    grabPool_ = std::move(grabs.value());
    ungrabbed_ = RowSpan{0, height};
    unconverted_.clear();
    unconverted_.reserve(static_cast<size_t>(depth));
    Result<std::unique_ptr<FramePool>> pool =
        FramePool::create(connection_, depth, width, height, false, PixelFormat::i420);
    if (!pool) return pool.error();
    pool_ = std::move(pool.value());
  } else {
    pool_ = std::move(grabs.value());
  }

  const MediaTime interval = configuration_.minimumFrameInterval;
  frameDuration_ = interval.isNumeric() && interval > MediaTime::zero() ? interval : MediaTime::make(1, 60);
  if (!c.sync()) return Error{kConnectionLost};
  c.discardEvents();
  return std::nullopt;
}

std::optional<Error> VideoStream::prepareCapture() {
  if (thread_.joinable()) return Error{"The capture has already started."};
  if (pool_) return std::nullopt;
  if (std::optional<Error> error = prepare()) {
    release();
    return error;
  }
  return std::nullopt;
}

void VideoStream::release() {
  source_.reset();
  pool_.reset();  // frames still held downstream stay valid until released
  grabPool_.reset();
  connection_.reset();
}

std::optional<Error> VideoStream::startCapture() {
  if (std::optional<Error> error = prepareCapture()) return error;
  stopRequested_ = false;
  thread_ = std::thread([this] { run(); });
  return std::nullopt;
}

std::optional<Error> VideoStream::stopCapture() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!thread_.joinable()) {
      release();  // prepared, never started
      return std::nullopt;
    }
    stopRequested_ = true;
  }
  wake_.notify_all();
  thread_.join();
  release();
  if (queue_) queue_->sync([] {});  // every sample posted so far has been handled
  return std::nullopt;
}

void VideoStream::run() {
  using Clock = std::chrono::steady_clock;  // CLOCK_MONOTONIC, as hostNow()
  const auto interval = std::chrono::nanoseconds(static_cast<int64_t>(std::llround(frameDuration_.seconds() * 1e9)));
  const Clock::time_point start = Clock::now();
  int64_t tickNumber = 0;
  bool first = true;
  std::unique_lock<std::mutex> lock(mutex_);
  while (true) {
    // Absolute deadlines: tick n is due at start + n × interval, so the
    // rate does not drift with the cost of a grab; missed ticks are skipped.
    if (wake_.wait_until(lock, start + tickNumber * interval, [this] { return stopRequested_; })) break;
    lock.unlock();
    // The frame's time is its tick's place on the grid (the grab's time
    // rounded down to a whole number of intervals since the start): however
    // late a tick runs, frames never come closer together than the interval.
    const Clock::time_point due = start + (Clock::now() - start) / interval * interval;
    const bool alive = tick(first, std::chrono::duration<double>(due.time_since_epoch()).count());
    lock.lock();
    if (!alive) break;
    const int64_t elapsedTicks = (Clock::now() - start) / interval;
    tickNumber = std::max(tickNumber + 1, elapsedTicks + 1);
  }
}

bool VideoStream::tick(bool& first, double dueTime) {
  const Connection& c = *connection_;
  if (!c.isBroken()) {
    if (PooledFrame* frame = pool_->acquire()) {
      // The damage is taken (and cleared) before the grab, so a change that
      // lands during the grab makes the next frame complete too.
      const RowSpan changedRows = source_->changedRows(frame->height());
      const MediaTime pts = MediaTime::fromSeconds(dueTime, 1000000000);
      if ((first || !changedRows.empty()) && grab(*frame, changedRows)) {
        first = false;
        deliver(SampleBuffer::video(MediaRef<VideoFrameData>(frame), pts, frameDuration_, FrameStatus::complete));
      } else {
        pool_->giveBack(frame);
        deliver(SampleBuffer::video(MediaRef<VideoFrameData>(), pts, frameDuration_, FrameStatus::idle));
      }
      c.discardEvents();
    }
    // else: every frame is still held downstream; this tick is skipped and
    // the damage stays for the next one.
  }
  if (c.isBroken()) {
    delegate_.streamDidStopWithError(reportAs_, Error{kConnectionLost});
    return false;
  }
  return true;
}

bool VideoStream::grab(PooledFrame& frame, RowSpan changed) {
  if (!grabPool_) return source_->grab(frame);
  PooledFrame* grabbed = grabPool_->acquire();  // never held beyond this call
  if (grabbed == nullptr) return false;
  // The grab frame is the only one the server writes into, so it keeps the
  // whole current picture: only the rows that changed are read again, and
  // converted into each frame of the pool once it is filled next.
  const RowSpan all{0, frame.height()};
  const RowSpan fresh = unite(ungrabbed_, changed);
  bool ok = true;
  if (!fresh.empty()) {
    ok = source_->grabRows(*grabbed, fresh);
    ungrabbed_ = ok ? RowSpan{} : all;  // a failed grab may have left anything behind
    if (ok) {
      for (auto& [pooled, rows] : unconverted_) rows = unite(rows, fresh);
    }
  }
  if (ok) {
    RowSpan& stale = unconvertedRows(frame);
    const int top = stale.top & ~1;  // whole 2x2 chroma blocks
    const int bottom = std::min(frame.height(), (stale.bottom + 1) & ~1);
    if (bottom > top) {
      const auto row = [](uint8_t* plane, int stride, int y) { return plane + static_cast<size_t>(y) * stride; };
      bgraToI420Bt709(grabbed->pixels() + static_cast<size_t>(top) * grabbed->bytesPerRow(), grabbed->bytesPerRow(),
                      frame.width(), bottom - top,
                      I420Planes{row(frame.mutablePlane(0), frame.planeStride(0), top), frame.planeStride(0),
                                 row(frame.mutablePlane(1), frame.planeStride(1), top / 2), frame.planeStride(1),
                                 row(frame.mutablePlane(2), frame.planeStride(2), top / 2), frame.planeStride(2)});
    }
    stale = RowSpan{};
  }
  grabPool_->giveBack(grabbed);
  return ok;
}

RowSpan& VideoStream::unconvertedRows(const PooledFrame& frame) {
  for (auto& [pooled, rows] : unconverted_) {
    if (pooled == &frame) return rows;
  }
  // A frame not filled before: all of it.
  return unconverted_.emplace_back(&frame, RowSpan{0, frame.height()}).second;
}

void VideoStream::deliver(const SampleBuffer& sample) {
  if (output_ && queue_) delivery_.deliver(*queue_, *output_, reportAs_, sample, OutputType::screen);
}

}  // namespace platform::x11
