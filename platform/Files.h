// File-system services beyond std::filesystem: volume capacity and image
// encoding.
#pragma once

#include "platform/InputEvents.h"

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace platform {

struct VolumeCapacity {
  // Bytes still available to the user on the volume; absent when the system
  // gives no value.
  std::optional<int64_t> availableForImportantUsage;
};

// Thread-safe.
class FileService {
 public:
  virtual ~FileService() = default;
  // The capacity of the volume that holds `path`; absent when the read fails.
  virtual std::optional<VolumeCapacity> volumeCapacity(const std::string& path) = 0;
  // PNG bytes of a cursor image; absent when it cannot be encoded.
  virtual std::optional<std::vector<uint8_t>> encodePNG(const CursorImage& image) = 0;
};

}  // namespace platform
