// The disk-space watch: below the floor, warn the host and stop (not cancel)
// so that what was recorded is finished like any stopped recording.
#include "recorder/Recorder.h"

#include <limits>

namespace {
constexpr int64_t kDefaultMinFreeDiskBytes = 1000000000;  // a decimal gigabyte
}

nlohmann::json lowDiskSpaceWarning() {
  return {{"event", "warning"}, {"code", "lowDiskSpace"}, {"message", "Recording stopped due to low disk space"}};
}

void Recorder::diskCheck() {
  std::optional<platform::VolumeCapacity> capacity = services_.files->volumeCapacity(dir.string());
  if (!capacity) return;  // the read failed: try again next tick
  const int64_t freeBytes = capacity->availableForImportantUsage.value_or(std::numeric_limits<int64_t>::max());
  const int64_t floor = cfg.minFreeDiskBytes.value_or(kDefaultMinFreeDiskBytes);
  if (freeBytes >= floor) return;
  stop("lowDiskSpace", false, lowDiskSpaceWarning());
}
