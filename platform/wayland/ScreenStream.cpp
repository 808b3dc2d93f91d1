#include "platform/wayland/ScreenStream.h"

#include "platform/Bt709.h"
#include "platform/Clock.h"
#include "platform/wayland/ScreenGrab.h"

#include <pipewire/pipewire.h>
#include <spa/buffer/meta.h>
#include <spa/param/video/format-utils.h>
#include <spa/pod/builder.h>

#include <unistd.h>

#include <chrono>
#include <cmath>
#include <mutex>

namespace platform::wayland {

namespace {

// How long the start waits for the stream's format once PipeWire is
// connected (it comes within milliseconds on a working desktop).
constexpr auto kFormatTimeout = std::chrono::seconds(10);
// Idle samples while no picture comes.
constexpr double kIdleInterval = 0.25;
constexpr uint32_t kMaxDamageRegions = 16;
// How long the start waits for the stream's first buffer before it grabs
// the first frame from the compositor itself.
constexpr auto kFirstBufferGrace = std::chrono::milliseconds(150);

void initPipeWire() {
  static std::once_flag once;
  std::call_once(once, [] { pw_init(nullptr, nullptr); });
}

timespec relative(double seconds) {
  if (!(seconds > 0)) seconds = 0.000001;
  timespec value{};
  value.tv_sec = static_cast<time_t>(seconds);
  value.tv_nsec = static_cast<long>((seconds - static_cast<double>(value.tv_sec)) * 1e9);
  if (value.tv_sec == 0 && value.tv_nsec == 0) value.tv_nsec = 1000;
  return value;
}

}  // namespace

// The PipeWire listener tables and hooks, which must stay in place while
// registered.
struct ScreenStream::Listeners {
  pw_stream_events stream{};
  pw_core_events core{};
  pw_registry_events registry{};
  spa_hook streamHook{};
  spa_hook coreHook{};
  spa_hook registryHook{};
};

ScreenStream::ScreenStream(ContentFilter filter, StreamConfiguration configuration, StreamDelegate& delegate,
                           CaptureStream* reportAs, std::shared_ptr<RestoreTokenStore> tokens)
    : filter_(std::move(filter)),
      configuration_(std::move(configuration)),
      delegate_(delegate),
      reportAs_(reportAs ? *reportAs : *this),
      tokens_(std::move(tokens)) {}

ScreenStream::~ScreenStream() { stopCapture(); }

std::optional<Error> ScreenStream::addStreamOutput(StreamOutput& output, OutputType type, SerialQueue& queue) {
  if (type != OutputType::screen) return Error{"This stream captures the screen only."};
  output_ = &output;
  queue_ = &queue;
  return std::nullopt;
}

void ScreenStream::interruptStart() {
  interrupted_.store(true);
  // An interrupt that comes before the session or the loop exists is seen
  // by the start's own checks of the flag.
  std::lock_guard<std::mutex> handles(handlesLock_);
  if (session_) session_->interrupt();
  if (loop_) {
    pw_thread_loop_lock(loop_);
    pw_thread_loop_signal(loop_, false);
    pw_thread_loop_unlock(loop_);
  }
}

std::optional<Error> ScreenStream::prepareCapture() {
  if (started_) return Error{"The capture has already started."};
  if (prepared_) return std::nullopt;
  if (std::optional<Error> error = prepare()) {
    release();
    return error;
  }
  prepared_ = true;
  return std::nullopt;
}

std::optional<Error> ScreenStream::prepare() {
  if (configuration_.width <= 0 || configuration_.height <= 0) return Error{"The capture size is empty."};
  if (!filter_.display) return Error{"Only whole displays and areas of them can be recorded on Wayland."};
  Error interrupted{"The start was interrupted."};
  interrupted.interrupted = true;

  Result<std::unique_ptr<ScreenCastSession>> connected = ScreenCastSession::connect();
  if (!connected) return connected.error();
  {
    std::lock_guard<std::mutex> handles(handlesLock_);
    session_ = std::move(connected.value());
  }
  if (interrupted_.load()) session_->interrupt();

  // The grant: the stored token, or none (the desktop then asks).
  ScreenCastRequest request;
  request.restoreToken = tokens_ ? tokens_->load() : std::nullopt;
  request.cursorMode = kCursorHidden;  // the pointer is logged, never drawn
  PortalResult<ScreenCastStart> started = session_->start(request);
  if (!started.ok()) {
    if (started.failure.tokenRejected && tokens_) tokens_->discard();
    return started.failure.error;
  }
  // A token is good for one session: the new one replaces it at once.
  if (started.value->restoreToken && tokens_) tokens_->save(*started.value->restoreToken);

  // The source the grant gave must be the display asked for.
  const PortalStream& source = started.value->streams.front();
  const Rect& display = filter_.display->frame;
  if (source.size && (std::abs(source.size->width - display.width()) > 1 ||
                      std::abs(source.size->height - display.height()) > 1)) {
    return Error{"The desktop shares a screen of " + std::to_string(static_cast<int>(source.size->width)) + "x" +
                 std::to_string(static_cast<int>(source.size->height)) + ", not the display asked for."};
  }
  if (source.position && (std::abs(source.position->x - display.minX()) > 1 ||
                          std::abs(source.position->y - display.minY()) > 1)) {
    return Error{"The desktop shares another screen than the display asked for."};
  }
  if (interrupted_.load()) return interrupted;

  Result<int> remote = session_->openPipeWireRemote();
  if (!remote) return remote.error();
  if (std::optional<Error> error = connectStream(remote.value(), source.nodeId)) return error;

  session_->watch([this](const std::string& reason) { fail(reason); });
  return std::nullopt;
}

std::optional<Error> ScreenStream::connectStream(int fd, uint32_t nodeId) {
  initPipeWire();
  {
    std::lock_guard<std::mutex> handles(handlesLock_);
    loop_ = pw_thread_loop_new("tesmar-screen", nullptr);
  }
  if (!loop_) {
    ::close(fd);
    return Error{"PipeWire cannot be used (no loop)."};
  }
  context_ = pw_context_new(pw_thread_loop_get_loop(loop_), nullptr, 0);
  if (!context_) {
    ::close(fd);
    return Error{"PipeWire cannot be used (no context)."};
  }
  if (pw_thread_loop_start(loop_) != 0) {
    ::close(fd);
    return Error{"PipeWire's thread cannot be started."};
  }
  listeners_ = std::make_unique<Listeners>();
  listeners_->stream.version = PW_VERSION_STREAM_EVENTS;
  listeners_->stream.state_changed = [](void* self, pw_stream_state, pw_stream_state state, const char* error) {
    static_cast<ScreenStream*>(self)->onStateChanged(state, error);
  };
  listeners_->stream.param_changed = [](void* self, uint32_t id, const spa_pod* param) {
    if (id == SPA_PARAM_Format) static_cast<ScreenStream*>(self)->onFormat(param);
  };
  listeners_->stream.process = [](void* self) { static_cast<ScreenStream*>(self)->onProcess(); };
  listeners_->core.version = PW_VERSION_CORE_EVENTS;
  listeners_->core.error = [](void* self, uint32_t id, int, int res, const char* message) {
    static_cast<ScreenStream*>(self)->onCoreError(id, res, message);
  };

  const int fps = configuration_.minimumFrameInterval.isNumeric() && configuration_.minimumFrameInterval.seconds() > 0
                      ? static_cast<int>(std::lround(1.0 / configuration_.minimumFrameInterval.seconds()))
                      : 60;
  pool_ = std::make_unique<FramePool>(std::max(configuration_.queueDepth, 1), configuration_.width,
                                      configuration_.height);
  pacer_.emplace(hostNow(), 1.0 / std::max(fps, 1));

  pw_thread_loop_lock(loop_);
  core_ = pw_context_connect_fd(context_, fd, nullptr, 0);  // owns fd from here on
  if (!core_) {
    pw_thread_loop_unlock(loop_);
    return Error{"The desktop's PipeWire connection cannot be used."};
  }
  pw_core_add_listener(core_, &listeners_->coreHook, &listeners_->core, this);
  // The node going away (its producer ended) does not always end the
  // stream's link state; the registry says so at once.
  nodeId_ = nodeId;
  listeners_->registry.version = PW_VERSION_REGISTRY_EVENTS;
  listeners_->registry.global_remove = [](void* self, uint32_t id) {
    auto* stream = static_cast<ScreenStream*>(self);
    if (id == stream->nodeId_) {
      stream->waitError_ = "The screen's PipeWire node went away.";
      stream->fail(stream->waitError_);
    }
  };
  registry_ = pw_core_get_registry(core_, PW_VERSION_REGISTRY, 0);
  if (registry_) pw_registry_add_listener(registry_, &listeners_->registryHook, &listeners_->registry, this);
  stream_ = pw_stream_new(core_, "tesmar-recorder screen",
                          pw_properties_new(PW_KEY_MEDIA_TYPE, "Video", PW_KEY_MEDIA_CATEGORY, "Capture",
                                            PW_KEY_MEDIA_ROLE, "Screen", nullptr));
  if (!stream_) {
    pw_thread_loop_unlock(loop_);
    return Error{"A PipeWire stream cannot be made."};
  }
  pw_stream_add_listener(stream_, &listeners_->streamHook, &listeners_->stream, this);
  heldTimer_ = pw_loop_add_timer(pw_thread_loop_get_loop(loop_),
                                 [](void* self, uint64_t) { static_cast<ScreenStream*>(self)->onHeldTimer(); }, this);
  idleTimer_ = pw_loop_add_timer(pw_thread_loop_get_loop(loop_),
                                 [](void* self, uint64_t) { static_cast<ScreenStream*>(self)->onIdleTimer(); }, this);

  uint8_t storage[1024];
  spa_pod_builder builder = SPA_POD_BUILDER_INIT(storage, sizeof storage);
  spa_rectangle sizeDefault{static_cast<uint32_t>(configuration_.width), static_cast<uint32_t>(configuration_.height)};
  spa_rectangle sizeMin{1, 1};
  spa_rectangle sizeMax{16384, 16384};
  spa_fraction rateNone{0, 1};
  spa_fraction rateMax{1000, 1};
  spa_fraction rateWanted{static_cast<uint32_t>(fps), 1};
  const spa_pod* params[1];
  params[0] = static_cast<const spa_pod*>(spa_pod_builder_add_object(
      &builder, SPA_TYPE_OBJECT_Format, SPA_PARAM_EnumFormat, SPA_FORMAT_mediaType, SPA_POD_Id(SPA_MEDIA_TYPE_video),
      SPA_FORMAT_mediaSubtype, SPA_POD_Id(SPA_MEDIA_SUBTYPE_raw), SPA_FORMAT_VIDEO_format,
      SPA_POD_CHOICE_ENUM_Id(3, SPA_VIDEO_FORMAT_BGRx, SPA_VIDEO_FORMAT_BGRx, SPA_VIDEO_FORMAT_BGRA),
      SPA_FORMAT_VIDEO_size, SPA_POD_CHOICE_RANGE_Rectangle(&sizeDefault, &sizeMin, &sizeMax),
      SPA_FORMAT_VIDEO_framerate, SPA_POD_CHOICE_RANGE_Fraction(&rateNone, &rateNone, &rateMax),
      SPA_FORMAT_VIDEO_maxFramerate, SPA_POD_CHOICE_RANGE_Fraction(&rateWanted, &rateNone, &rateWanted)));
  const int connectResult =
      pw_stream_connect(stream_, PW_DIRECTION_INPUT, nodeId,
                        static_cast<pw_stream_flags>(PW_STREAM_FLAG_AUTOCONNECT | PW_STREAM_FLAG_MAP_BUFFERS), params, 1);
  if (connectResult < 0) {
    pw_thread_loop_unlock(loop_);
    return Error{"The screen's PipeWire stream cannot be connected."};
  }
  // Wait for the format (the buffers' size), a failure or an interrupt.
  const auto deadline = std::chrono::steady_clock::now() + kFormatTimeout;
  while (!formatKnown_ && !failed_.load() && !interrupted_.load() && std::chrono::steady_clock::now() < deadline) {
    timespec until{};
    pw_thread_loop_get_time(loop_, &until, 200 * SPA_NSEC_PER_MSEC);
    pw_thread_loop_timed_wait_full(loop_, &until);
  }
  std::optional<Error> error;
  if (failed_.load()) {
    error = Error{waitError_.empty() ? "The screen's PipeWire stream failed." : waitError_};
  } else if (interrupted_.load() && !formatKnown_) {
    error = Error{"The start was interrupted."};
    error->interrupted = true;
  } else if (!formatKnown_) {
    error = Error{"The screen's PipeWire stream gave no picture format in time."};
  } else if (area_.empty()) {
    error = Error{"The area to capture lies outside the screen."};
  }
  pw_thread_loop_unlock(loop_);
  return error;
}

std::optional<Error> ScreenStream::startCapture() {
  if (std::optional<Error> error = prepareCapture()) return error;
  pw_thread_loop_lock(loop_);
  delivering_.store(true);
  if (failed_.load()) {
    // It ended between the preparation and now: the start fails.
    delivering_.store(false);
    const std::string reason = waitError_.empty() ? "The screen cast ended before it started." : waitError_;
    pw_thread_loop_unlock(loop_);
    return Error{reason};
  }
  const double now = hostNow();
  lastDelivery_ = now;
  // Four times a second the idle check runs; the first in a quarter second.
  timespec first = relative(kIdleInterval);
  timespec every = relative(kIdleInterval);
  pw_loop_update_timer(pw_thread_loop_get_loop(loop_), idleTimer_, &first, &every, false);
  if (held_) deliverHeld(now);  // the picture that came while starting
  // The stream's first buffer usually comes within milliseconds of the
  // connection; on a still screen it may not come at all.
  const auto grace = std::chrono::steady_clock::now() + kFirstBufferGrace;
  while (!hadPicture_ && !failed_.load() && std::chrono::steady_clock::now() < grace) {
    timespec until{};
    pw_thread_loop_get_time(loop_, &until, 20 * SPA_NSEC_PER_MSEC);
    pw_thread_loop_timed_wait_full(loop_, &until);
  }
  const bool grabFirst = !hadPicture_;
  pw_thread_loop_unlock(loop_);
  started_ = true;
  if (grabFirst) grabFirstFrame();
  return std::nullopt;
}

void ScreenStream::grabFirstFrame() {
  // Straight from the compositor; when that fails too, the first change
  // starts the recording.
  grabOutput(filter_.display->displayID, [this](const GrabbedPicture& picture) {
    pw_thread_loop_lock(loop_);
    if (!hadPicture_ && delivering_.load() && picture.width == bufferWidth_ && picture.height == bufferHeight_) {
      if (PooledFrame* frame = pool_->acquire()) {
        const double now = hostNow();
        if (convertPixels(picture.pixels, picture.stride, static_cast<size_t>(picture.stride) * picture.height, *frame) &&
            pacer_->isFree(now)) {
          const std::optional<double> stamp = pacer_->claim(now);
          hadPicture_ = true;
          lastDelivery_ = now;
          deliver(SampleBuffer::video(MediaRef<VideoFrameData>(frame), MediaTime::fromSeconds(*stamp, 1000000000),
                                      MediaTime::fromSeconds(pacer_->interval(), 1000000000), FrameStatus::complete));
        } else {
          pool_->giveBack(frame);
        }
      }
    }
    pw_thread_loop_unlock(loop_);
  });
}

std::optional<Error> ScreenStream::stopCapture() {
  release();
  if (queue_ && (prepared_ || started_)) queue_->sync([] {});  // every sample posted so far has been handled
  prepared_ = false;
  started_ = false;
  return std::nullopt;
}

void ScreenStream::release() {
  stopping_.store(true);
  delivering_.store(false);
  // The session's watcher first: it may report a failure through this
  // object, which must still be whole.
  if (session_) session_->close();
  if (loop_) {
    pw_thread_loop_lock(loop_);
    if (held_ && stream_) pw_stream_queue_buffer(stream_, held_);
    held_ = nullptr;
    if (heldTimer_) pw_loop_destroy_source(pw_thread_loop_get_loop(loop_), heldTimer_);
    if (idleTimer_) pw_loop_destroy_source(pw_thread_loop_get_loop(loop_), idleTimer_);
    heldTimer_ = idleTimer_ = nullptr;
    if (stream_) {
      pw_stream_disconnect(stream_);
      pw_stream_destroy(stream_);
      stream_ = nullptr;
    }
    if (registry_) {
      spa_hook_remove(&listeners_->registryHook);
      pw_proxy_destroy(reinterpret_cast<pw_proxy*>(registry_));
      registry_ = nullptr;
    }
    if (core_) {
      pw_core_disconnect(core_);
      core_ = nullptr;
    }
    pw_thread_loop_unlock(loop_);
    pw_thread_loop_stop(loop_);
  }
  if (context_) pw_context_destroy(context_);
  context_ = nullptr;
  std::lock_guard<std::mutex> handles(handlesLock_);
  if (loop_) pw_thread_loop_destroy(loop_);
  loop_ = nullptr;
  listeners_.reset();
  pool_.reset();  // frames still held downstream stay valid until released
  session_.reset();
}

void ScreenStream::onFormat(const spa_pod* format) {
  if (!format) return;
  uint32_t mediaType = 0, mediaSubtype = 0;
  if (spa_format_parse(format, &mediaType, &mediaSubtype) < 0 || mediaType != SPA_MEDIA_TYPE_video ||
      mediaSubtype != SPA_MEDIA_SUBTYPE_raw) {
    return;
  }
  spa_video_info_raw info{};
  if (spa_format_video_raw_parse(format, &info) < 0) return;
  if (info.format != SPA_VIDEO_FORMAT_BGRx && info.format != SPA_VIDEO_FORMAT_BGRA) {
    waitError_ = "The desktop offers the screen in an unsupported pixel format.";
    fail(waitError_);
    return;
  }
  bufferWidth_ = static_cast<int>(info.size.width);
  bufferHeight_ = static_cast<int>(info.size.height);
  const double pixelsPerPoint =
      filter_.display && filter_.display->frame.width() > 0 ? bufferWidth_ / filter_.display->frame.width()
                                                            : static_cast<double>(filter_.pointPixelScale);
  area_ = recordedArea(configuration_.sourceRect, pixelsPerPoint, bufferWidth_, bufferHeight_, configuration_.width,
                       configuration_.height);

  uint8_t storage[1024];
  spa_pod_builder builder = SPA_POD_BUILDER_INIT(storage, sizeof storage);
  const spa_pod* params[3];
  params[0] = static_cast<const spa_pod*>(spa_pod_builder_add_object(
      &builder, SPA_TYPE_OBJECT_ParamBuffers, SPA_PARAM_Buffers, SPA_PARAM_BUFFERS_buffers,
      SPA_POD_CHOICE_RANGE_Int(8, 2, 16), SPA_PARAM_BUFFERS_dataType,
      SPA_POD_CHOICE_FLAGS_Int((1 << SPA_DATA_MemFd) | (1 << SPA_DATA_MemPtr))));
  params[1] = static_cast<const spa_pod*>(spa_pod_builder_add_object(
      &builder, SPA_TYPE_OBJECT_ParamMeta, SPA_PARAM_Meta, SPA_PARAM_META_type, SPA_POD_Id(SPA_META_Header),
      SPA_PARAM_META_size, SPA_POD_Int(sizeof(spa_meta_header))));
  params[2] = static_cast<const spa_pod*>(spa_pod_builder_add_object(
      &builder, SPA_TYPE_OBJECT_ParamMeta, SPA_PARAM_Meta, SPA_PARAM_META_type, SPA_POD_Id(SPA_META_VideoDamage),
      SPA_PARAM_META_size,
      SPA_POD_CHOICE_RANGE_Int(sizeof(spa_meta_region) * kMaxDamageRegions, sizeof(spa_meta_region),
                               sizeof(spa_meta_region) * kMaxDamageRegions)));
  pw_stream_update_params(stream_, params, 3);
  formatKnown_ = true;
  pw_thread_loop_signal(loop_, false);
}

void ScreenStream::onStateChanged(int state, const char* error) {
  switch (static_cast<pw_stream_state>(state)) {
    case PW_STREAM_STATE_ERROR:
      waitError_ = std::string("The screen's PipeWire stream failed") + (error ? std::string(": ") + error : "") + ".";
      fail(waitError_);
      break;
    case PW_STREAM_STATE_UNCONNECTED:
      if (connected_) {
        waitError_ = "The screen's PipeWire stream was disconnected.";
        fail(waitError_);
      }
      break;
    case PW_STREAM_STATE_CONNECTING:
      break;
    case PW_STREAM_STATE_PAUSED:
    case PW_STREAM_STATE_STREAMING:
      connected_ = true;
      break;
  }
}

void ScreenStream::onCoreError(uint32_t id, int, const char* message) {
  if (id != PW_ID_CORE) return;
  waitError_ = std::string("The PipeWire connection broke") + (message ? std::string(" (") + message + ")" : "") +
               ".";
  fail(waitError_);
}

bool ScreenStream::bufferHasPicture(pw_buffer* buffer) const {
  const spa_buffer* b = buffer->buffer;
  if (b->n_datas < 1 || b->datas[0].data == nullptr || b->datas[0].chunk == nullptr) return false;
  const spa_chunk* chunk = b->datas[0].chunk;
  if (chunk->size == 0 || (chunk->flags & SPA_CHUNK_FLAG_CORRUPTED)) return false;
  if (const auto* header =
          static_cast<const spa_meta_header*>(spa_buffer_find_meta_data(b, SPA_META_Header, sizeof(spa_meta_header)))) {
    if (header->flags & SPA_META_HEADER_FLAG_CORRUPTED) return false;
  }
  return true;
}

bool ScreenStream::bufferShowsChange(pw_buffer* buffer) const {
  const spa_meta* damage = spa_buffer_find_meta(buffer->buffer, SPA_META_VideoDamage);
  if (damage == nullptr) return true;  // no damage metadata: every buffer is a change
  spa_meta_region* region;
  bool any = false;
  spa_meta_for_each(region, damage) {
    if (!spa_meta_region_is_valid(region)) break;
    any = true;
    const PixelArea changed{region->region.position.x, region->region.position.y,
                            static_cast<int>(region->region.size.width), static_cast<int>(region->region.size.height)};
    if (touches(changed, area_)) return true;
  }
  // Regions that all lie elsewhere: no change here. None at all: the
  // producer gave no detail (treated as a change).
  return !any;
}

void ScreenStream::onProcess() {
  // The newest buffer counts; older ones queued meanwhile only add their
  // damage.
  bool changed = false;
  pw_buffer* newest = nullptr;
  while (pw_buffer* buffer = pw_stream_dequeue_buffer(stream_)) {
    if (!bufferHasPicture(buffer)) {
      pw_stream_queue_buffer(stream_, buffer);
      continue;
    }
    changed = changed || !hadPicture_ || bufferShowsChange(buffer);
    if (newest) pw_stream_queue_buffer(stream_, newest);
    newest = buffer;
  }
  if (!newest) return;
  if (!changed && !held_) {
    pw_stream_queue_buffer(stream_, newest);  // nothing new in the recorded area
    return;
  }
  // A held picture is replaced by the newer one (its change is in it too).
  if (held_) pw_stream_queue_buffer(stream_, held_);
  held_ = newest;
  hadPicture_ = true;
  pw_thread_loop_signal(loop_, false);  // a start waiting for the first picture
  if (delivering_.load()) deliverHeld(hostNow());
}

void ScreenStream::deliverHeld(double now) {
  if (!held_ || !pacer_) return;
  if (!pacer_->isFree(now)) {
    armHeldTimer(pacer_->nextFreeSlotStart());
    return;
  }
  PooledFrame* frame = pool_->acquire();
  if (frame == nullptr) {
    // Every frame is held downstream: the picture waits for the next slot.
    armHeldTimer(pacer_->slotStart(pacer_->slotAt(now) + 1));
    return;
  }
  if (!convert(held_, *frame)) {
    pool_->giveBack(frame);
    pw_stream_queue_buffer(stream_, held_);
    held_ = nullptr;
    return;
  }
  const std::optional<double> stamp = pacer_->claim(now);
  pw_stream_queue_buffer(stream_, held_);
  held_ = nullptr;
  lastDelivery_ = now;
  const MediaTime duration = MediaTime::fromSeconds(pacer_->interval(), 1000000000);
  deliver(SampleBuffer::video(MediaRef<VideoFrameData>(frame), MediaTime::fromSeconds(*stamp, 1000000000), duration,
                              FrameStatus::complete));
}

bool ScreenStream::convert(pw_buffer* buffer, PooledFrame& frame) const {
  const spa_data& data = buffer->buffer->datas[0];
  const spa_chunk* chunk = data.chunk;
  const int stride = chunk->stride > 0 ? chunk->stride : bufferWidth_ * 4;
  const size_t offset = chunk->offset % std::max<uint32_t>(data.maxsize, 1);
  return convertPixels(static_cast<const uint8_t*>(data.data) + offset, stride, data.maxsize - offset, frame);
}

bool ScreenStream::convertPixels(const uint8_t* base, int stride, size_t bytes, PooledFrame& frame) const {
  const int width = std::min(area_.width, frame.width());
  const int height = std::min(area_.height, frame.height());
  if (width <= 0 || height <= 0 || stride <= 0) return false;
  const size_t last = static_cast<size_t>(area_.y + height - 1) * stride + static_cast<size_t>(area_.x + width) * 4;
  if (last > bytes) return false;
  const uint8_t* pixels = base + static_cast<size_t>(area_.y) * stride + static_cast<size_t>(area_.x) * 4;
  bgraToI420Bt709(pixels, stride, width, height,
                  I420Planes{frame.mutablePlane(0), frame.planeStride(0), frame.mutablePlane(1), frame.planeStride(1),
                             frame.mutablePlane(2), frame.planeStride(2)});
  return true;
}

void ScreenStream::armHeldTimer(double at) {
  if (!heldTimer_) return;
  timespec value = relative(at - hostNow());
  pw_loop_update_timer(pw_thread_loop_get_loop(loop_), heldTimer_, &value, nullptr, false);
}

void ScreenStream::onHeldTimer() {
  if (delivering_.load() && held_) deliverHeld(hostNow());
}

void ScreenStream::onIdleTimer() {
  if (!delivering_.load() || held_ || !pacer_) return;
  const double now = hostNow();
  if (now - lastDelivery_ < kIdleInterval * 0.9) return;
  const MediaTime duration = MediaTime::fromSeconds(pacer_->interval(), 1000000000);
  deliver(SampleBuffer::video(MediaRef<VideoFrameData>(), MediaTime::fromSeconds(pacer_->slotStart(pacer_->slotAt(now)), 1000000000),
                              duration, FrameStatus::idle));
}

void ScreenStream::fail(const std::string& reason) {
  if (stopping_.load() || failed_.exchange(true)) return;
  if (delivering_.load()) delegate_.streamDidStopWithError(reportAs_, Error{reason});
  // loop_ is only replaced after the session's watcher (the other thread
  // that calls this) has been joined.
  if (loop_) {
    // Wakes a start waiting for the format (the lock is recursive, so this
    // works on PipeWire's thread too).
    pw_thread_loop_lock(loop_);
    pw_thread_loop_signal(loop_, false);
    pw_thread_loop_unlock(loop_);
  }
}

void ScreenStream::deliver(const SampleBuffer& sample) {
  if (output_ && queue_) delivery_.deliver(*queue_, *output_, reportAs_, sample, OutputType::screen);
}

}  // namespace platform::wayland
