// Files on Linux: the free space of a volume (statvfs) and PNG encoding
// (libpng).
#pragma once

#include "platform/Files.h"

namespace platform::linux_desktop {

// Thread-safe.
class DesktopFiles final : public FileService {
 public:
  // Blocks available to unprivileged users × fragment size.
  std::optional<VolumeCapacity> volumeCapacity(const std::string& path) override;
  // 8-bit RGBA PNG of the image's straight-alpha pixels.
  std::optional<std::vector<uint8_t>> encodePNG(const CursorImage& image) override;
};

}  // namespace platform::linux_desktop
