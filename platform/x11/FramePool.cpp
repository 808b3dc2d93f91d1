#include "platform/x11/FramePool.h"

#include <xcb/shm.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <sys/ipc.h>
#include <sys/shm.h>

namespace platform::x11 {

void PooledFrame::recycle() const {
  int expected = kInUse;
  if (state_.compare_exchange_strong(expected, kFree, std::memory_order_acq_rel)) return;
  // The pool is gone: this was the frame's last use.
  delete this;
}

namespace {
constexpr size_t kAlignment = 64;
size_t aligned(size_t bytes) { return (bytes + kAlignment - 1) / kAlignment * kAlignment; }
}  // namespace

PooledFrame::PooledFrame(PixelFormat format, int width, int height) : format_(format), width_(width), height_(height) {
  if (format == PixelFormat::i420) {
    // Rows start on cache lines: the encoder copies them fastest so.
    const int chromaWidth = (width + 1) / 2;
    const size_t chromaHeight = (height + 1) / 2;
    strides_[0] = static_cast<int>(aligned(width));
    strides_[1] = strides_[2] = static_cast<int>(aligned(chromaWidth));
    offsets_[1] = static_cast<size_t>(strides_[0]) * height;
    offsets_[2] = offsets_[1] + strides_[1] * chromaHeight;
    byteCount_ = offsets_[2] + strides_[2] * chromaHeight;
  } else {
    strides_[0] = width * 4;
    byteCount_ = static_cast<size_t>(strides_[0]) * height;
  }
}

PooledFrame::~PooledFrame() {
  if (shared_) {
    shmdt(pixels_);
  } else {
    std::free(pixels_);
  }
}

Result<std::unique_ptr<FramePool>> FramePool::create(std::shared_ptr<Connection> connection, int count, int width,
                                                     int height, bool sharedMemory, PixelFormat format,
                                                     bool alphaRead) {
  std::unique_ptr<FramePool> pool(
      new FramePool(std::move(connection), sharedMemory && format == PixelFormat::bgra, format, alphaRead));
  for (int i = 0; i < count; ++i) {
    if (std::optional<Error> error = pool->addFrame(width, height)) return *error;
  }
  return pool;
}

std::optional<Error> FramePool::addFrame(int width, int height) {
  auto* frame = new PooledFrame(format_, width, height);
  frame->alphaRead_ = alphaRead_;
  const size_t bytes = std::max<size_t>(frame->byteCount(), 4);
  if (!sharedMemory_) {
    frame->pixels_ = static_cast<uint8_t*>(std::aligned_alloc(kAlignment, aligned(bytes)));
    if (frame->pixels_ == nullptr) {
      delete frame;
      return Error{"There is not enough memory for the capture buffers."};
    }
    frames_.push_back(frame);
    return std::nullopt;
  }

  const int id = shmget(IPC_PRIVATE, bytes, IPC_CREAT | 0600);
  if (id < 0) {
    delete frame;
    return Error{std::string("Shared memory for the capture could not be created (") + std::strerror(errno) + ")."};
  }
  void* address = shmat(id, nullptr, 0);
  if (address == reinterpret_cast<void*>(-1)) {
    shmctl(id, IPC_RMID, nullptr);
    delete frame;
    return Error{"Shared memory for the capture could not be mapped."};
  }
  frame->pixels_ = static_cast<uint8_t*>(address);
  frame->shared_ = true;
  xcb_connection_t* c = connection_->get();
  frame->segment_ = xcb_generate_id(c);
  Reply<xcb_generic_error_t> error(xcb_request_check(c, xcb_shm_attach_checked(c, frame->segment_, id, 0)));
  // Attached (or not): nobody else may ever attach it, and it goes away with
  // the last detach.
  shmctl(id, IPC_RMID, nullptr);
  if (error || connection_->isBroken()) {
    frame->segment_ = XCB_NONE;
    delete frame;
    return Error{"The X server cannot share memory with this program (MIT-SHM attach failed)."};
  }
  frames_.push_back(frame);
  return std::nullopt;
}

FramePool::~FramePool() {
  for (PooledFrame* frame : frames_) {
    if (frame->segment_ != XCB_NONE && !connection_->isBroken()) {
      xcb_shm_detach(connection_->get(), frame->segment_);
    }
    // A frame still held downstream becomes orphaned and frees itself when
    // released (recycle() then finds it no longer in use).
    if (frame->state_.exchange(PooledFrame::kOrphaned, std::memory_order_acq_rel) == PooledFrame::kFree) {
      delete frame;
    }
  }
  xcb_flush(connection_->get());
}

PooledFrame* FramePool::acquire() {
  for (PooledFrame* frame : frames_) {
    int expected = PooledFrame::kFree;
    if (frame->state_.compare_exchange_strong(expected, PooledFrame::kInUse, std::memory_order_acq_rel)) {
      return frame;
    }
  }
  return nullptr;
}

void FramePool::giveBack(PooledFrame* frame) { frame->state_.store(PooledFrame::kFree, std::memory_order_release); }

}  // namespace platform::x11
