// The cursor catalogue: one identifier, one PNG file and one description
// per distinct cursor image, in order of first sight.
#include "recorder/Recorder.h"

#include <fcntl.h>
#include <unistd.h>

#include <bit>
#include <cstring>

namespace {

constexpr const char* kFallbackCursor = "arrow";

// FNV-1a, 64 bits: stable for the life of the process, which is all the
// image key needs (keys are never stored).
class ImageHasher {
 public:
  void add(const void* data, size_t size) {
    const auto* bytes = static_cast<const uint8_t*>(data);
    for (size_t i = 0; i < size; ++i) {
      hash_ ^= bytes[i];
      hash_ *= 0x100000001b3ULL;
    }
  }
  void add(double value) {
    if (value == 0) value = 0;  // -0 and +0 are the same hot spot
    const uint64_t bits = std::bit_cast<uint64_t>(value);
    add(&bits, sizeof bits);
  }
  void add(int value) { add(&value, sizeof value); }
  int64_t key() const { return static_cast<int64_t>(hash_); }

 private:
  uint64_t hash_ = 0xcbf29ce484222325ULL;
};

// The image key: the bitmap with its sizes, then the hot spot.
int64_t imageKey(const platform::CursorImage& image) {
  ImageHasher hasher;
  hasher.add(image.pixelWidth);
  hasher.add(image.pixelHeight);
  hasher.add(image.width);
  hasher.add(image.height);
  hasher.add(image.rgba.data(), image.rgba.size());
  hasher.add(image.hotX);
  hasher.add(image.hotY);
  return hasher.key();
}

// Writes `bytes` to a new file at `path`; failures are ignored.
void writeFile(const std::filesystem::path& path, const std::vector<uint8_t>& bytes) {
  int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0600);
  if (fd < 0) return;
  size_t done = 0;
  while (done < bytes.size()) {
    ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
    if (n <= 0) break;
    done += static_cast<size_t>(n);
  }
  ::close(fd);
}

}  // namespace

std::string Recorder::currentCursorId() {
  // Fast path: the system says the cursor is the one that last gave a known
  // identifier, so neither pixels nor hashing are needed.
  auto query = services_.input->currentCursor(cursorSerial_);
  if (query.unchanged) {
    if (cursorSerial_ && *cursorSerial_ == query.serial) return cursorSerialId_;
    query = services_.input->currentCursor(std::nullopt);
  }
  cursorSerial_.reset();

  // Fallback A: no cursor can be read.
  if (!query.image) return lastCursorId.empty() ? kFallbackCursor : lastCursorId;
  const platform::CursorImage& image = *query.image;

  const int64_t key = imageKey(image);
  if (auto known = cursorHashes.find(key); known != cursorHashes.end()) {
    cursorSerial_ = query.serial;
    cursorSerialId_ = known->second;
    return known->second;
  }

  // Fallback B: the image cannot be encoded; nothing is recorded, so the
  // next call tries again.
  auto png = services_.files->encodePNG(image);
  if (!png) return kFallbackCursor;

  std::string id = "cursor-" + std::to_string(cursorHashes.size());
  writeFile(dir / "cursors" / (id + ".png"), *png);
  cursorInfo[id] = {{"hotX", image.hotX}, {"hotY", image.hotY}, {"width", image.width}, {"height", image.height}};
  cursorHashes[key] = id;
  cursorSerial_ = query.serial;
  cursorSerialId_ = id;
  return id;
}
