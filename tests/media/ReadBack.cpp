#include "ReadBack.h"

#include "support/MediaProbe.h"

namespace media_samples {

std::string decodeProblems(const std::string& path) {
  const auto r = testing_support::runCommand("ffmpeg -nostdin -v error -i " + testing_support::shellQuote(path) +
                                             " -enc_time_base -1 -f null - 2>&1");
  return r.status == 0 ? r.output : "ffmpeg exited with " + std::to_string(r.status) + ": " + r.output;
}

}  // namespace media_samples
