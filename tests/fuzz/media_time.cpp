// Media-time arithmetic and sample retiming on extreme values: any value,
// timescale (zero and negative included), flags and epoch, and any double for
// fromSeconds.
// Property: no undefined behaviour (the sanitizers abort on overflow,
// division by zero, bad casts), and every result agrees with an exact 128-bit
// reference: comparison is antisymmetric and orders by the exact rational;
// a sum or difference is on the least common timescale when that fits 32 bits
// (else the larger one), within half a tick of the exact value and exact
// unless marked rounded, or the infinity it overflows to, or invalid,
// indefinite or infinite as the operands' kinds say; scale conversion and
// fromSeconds round to the nearest tick; retime moves every valid
// presentation and decode time by exactly `a - offset` and leaves durations,
// invalid times and the media data alone.
#include "FuzzSupport.h"
#include "media/Retime.h"
#include "platform/MediaTime.h"

#include <fuzzer/FuzzedDataProvider.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <numeric>

using platform::MediaTime;
using platform::SampleBuffer;
using platform::SampleTimingInfo;

namespace {

using Int128 = __int128;
constexpr int64_t kMax64 = std::numeric_limits<int64_t>::max();
constexpr int64_t kMin64 = std::numeric_limits<int64_t>::min();

Int128 abs128(Int128 v) { return v < 0 ? -v : v; }

MediaTime anyTime(FuzzedDataProvider& in) {
  MediaTime t;
  switch (in.ConsumeIntegralInRange(0, 3)) {
    case 0: t.value = in.PickValueInArray<int64_t>({kMin64, kMin64 + 1, -1, 0, 1, kMax64 - 1, kMax64}); break;
    default: t.value = in.ConsumeIntegral<int64_t>(); break;
  }
  switch (in.ConsumeIntegralInRange(0, 3)) {
    case 0:
      t.timescale = in.PickValueInArray<int32_t>({std::numeric_limits<int32_t>::min(), -1, 0, 1, 2, 600, 1000,
                                                  44100, 48000, 90000, 1000000000,
                                                  std::numeric_limits<int32_t>::max()});
      break;
    default: t.timescale = in.ConsumeIntegral<int32_t>(); break;
  }
  t.flags = in.ConsumeIntegralInRange<uint32_t>(0, 31);
  if (in.ConsumeIntegralInRange(0, 15) == 0) t.flags = in.ConsumeIntegral<uint32_t>();
  t.epoch = in.ConsumeIntegralInRange(0, 7) == 0 ? in.ConsumeIntegral<int64_t>() : 0;
  return t;
}

// What kind of time the reference sees, in the order compare() uses.
enum Kind { invalid = 0, negativeInfinity = 1, numeric = 2, positiveInfinity = 3, indefinite = 4 };

Kind kindOf(const MediaTime& t) {
  if (!(t.flags & MediaTime::kValid)) return invalid;
  if (t.flags & MediaTime::kNegativeInfinity) return negativeInfinity;
  if (t.flags & MediaTime::kPositiveInfinity) return positiveInfinity;
  if (t.flags & MediaTime::kIndefinite) return indefinite;
  return t.timescale > 0 ? numeric : invalid;
}

bool identical(const MediaTime& a, const MediaTime& b) {
  return a.value == b.value && a.timescale == b.timescale && a.flags == b.flags && a.epoch == b.epoch;
}

bool rounded(const MediaTime& t) { return (t.flags & MediaTime::kHasBeenRounded) != 0; }

void checkCompare(const MediaTime& a, const MediaTime& b) {
  const int ab = compare(a, b), ba = compare(b, a);
  FUZZ_CHECK(ab == -ba && ab >= -1 && ab <= 1);
  FUZZ_CHECK((a == b) == (ab == 0) && (a < b) == (ab < 0) && (a > b) == (ab > 0));
  FUZZ_CHECK(compare(a, a) == 0);
  const Kind ka = kindOf(a), kb = kindOf(b);
  if (ka != kb) {
    FUZZ_CHECK(ab == (ka < kb ? -1 : 1));
  } else if (ka == numeric && a.epoch == b.epoch) {
    const Int128 diff = Int128(a.value) * b.timescale - Int128(b.value) * a.timescale;
    FUZZ_CHECK(ab == (diff < 0 ? -1 : diff > 0 ? 1 : 0));
  }
}

// a + sign*b, against the exact rational.
void checkSum(const MediaTime& a, const MediaTime& b, bool subtract) {
  const MediaTime r = subtract ? a - b : a + b;
  const Kind ka = kindOf(a), kb = kindOf(b), kr = kindOf(r);
  if (ka == invalid || kb == invalid) {
    FUZZ_CHECK(!r.isValid());
    return;
  }
  if (ka == indefinite || kb == indefinite) {
    FUZZ_CHECK(kr == indefinite);
    return;
  }
  if (ka != numeric || kb != numeric) {
    int sa = ka == negativeInfinity ? -1 : ka == positiveInfinity ? 1 : 0;
    int sb = kb == negativeInfinity ? -1 : kb == positiveInfinity ? 1 : 0;
    if (subtract) sb = -sb;
    if (sa != 0 && sb != 0 && sa != sb) FUZZ_CHECK(kr == indefinite);
    else FUZZ_CHECK(kr == ((sa != 0 ? sa : sb) > 0 ? positiveInfinity : negativeInfinity));
    return;
  }
  if (a.epoch != b.epoch) {
    FUZZ_CHECK(!r.isValid());
    return;
  }
  const Int128 num = Int128(a.value) * b.timescale + (subtract ? -Int128(b.value) : Int128(b.value)) * a.timescale;
  const Int128 den = Int128(a.timescale) * b.timescale;
  const int64_t lcm = std::lcm(int64_t(a.timescale), int64_t(b.timescale));
  const bool lcmFits = lcm <= std::numeric_limits<int32_t>::max();
  const int32_t scale = lcmFits ? int32_t(lcm) : std::max(a.timescale, b.timescale);
  const Int128 exactTicks = num * scale;  // exact value in ticks of `scale`, times den
  if (kr == positiveInfinity || kr == negativeInfinity) {
    // Only when the value in ticks leaves 64 bits (allowing for rounding).
    FUZZ_CHECK((kr == positiveInfinity) == (num > 0));
    FUZZ_CHECK(abs128(exactTicks) + den / 2 >= Int128(kMax64) * den);
    return;
  }
  FUZZ_CHECK(kr == numeric);
  FUZZ_CHECK(r.timescale == scale && r.epoch == a.epoch);
  const Int128 error = abs128(Int128(r.value) * den - exactTicks);
  FUZZ_CHECK(error <= den / 2);
  if (!rounded(r)) FUZZ_CHECK(error == 0);
  if (lcmFits && !rounded(a) && !rounded(b)) FUZZ_CHECK(!rounded(r) && error == 0);
  if (!rounded(r)) {
    // Exact results invert: (a - b) + b == a and (a + b) - b == a.
    const MediaTime back = subtract ? r + b : r - b;
    if (kindOf(back) == numeric && !rounded(back)) FUZZ_CHECK(compare(back, a) == 0);
  }
}

void checkConvertScale(const MediaTime& a, int32_t newScale) {
  const MediaTime r = a.convertScale(newScale);
  if (kindOf(a) != numeric || newScale <= 0) {
    FUZZ_CHECK(identical(r, a));
    return;
  }
  const Int128 exactTicks = Int128(a.value) * newScale;  // times a.timescale
  const Kind kr = kindOf(r);
  if (kr == positiveInfinity || kr == negativeInfinity) {
    FUZZ_CHECK((kr == positiveInfinity) == (a.value > 0));
    FUZZ_CHECK(abs128(exactTicks) + a.timescale / 2 >= Int128(kMax64) * a.timescale);
    return;
  }
  FUZZ_CHECK(kr == numeric && r.timescale == newScale);
  const Int128 error = abs128(Int128(r.value) * a.timescale - exactTicks);
  FUZZ_CHECK(error <= a.timescale / 2);
  if (!rounded(r)) FUZZ_CHECK(error == 0);
}

void checkSeconds(const MediaTime& a) {
  const double s = a.seconds();
  switch (kindOf(a)) {
    case numeric: {
      const long double exact = static_cast<long double>(a.value) / a.timescale;
      FUZZ_CHECK(std::fabs(static_cast<long double>(s) - exact) <= std::fabs(exact) * 1e-15L);
      break;
    }
    case positiveInfinity: FUZZ_CHECK(std::isinf(s) && s > 0); break;
    case negativeInfinity: FUZZ_CHECK(std::isinf(s) && s < 0); break;
    default: FUZZ_CHECK(std::isnan(s)); break;
  }
}

void checkFromSeconds(double seconds, int32_t scale) {
  const MediaTime t = MediaTime::fromSeconds(seconds, scale);
  if (std::isnan(seconds) || scale <= 0) {
    FUZZ_CHECK(!t.isValid());
    return;
  }
  const Kind k = kindOf(t);
  if (std::isinf(seconds)) {
    FUZZ_CHECK(k == (seconds > 0 ? positiveInfinity : negativeInfinity));
    return;
  }
  // The product of a double and a 31-bit integer needs 84 bits; long double
  // holds 64, so the reference allows for its own rounding.
  const long double ticks = static_cast<long double>(seconds) * scale;
  const long double slack = std::fabs(ticks) * std::ldexp(1.0L, -63);
  if (k == positiveInfinity || k == negativeInfinity) {
    FUZZ_CHECK((k == positiveInfinity) == (seconds > 0));
    FUZZ_CHECK(std::fabs(ticks) + 0.5L + slack >= std::ldexp(1.0L, 63) - 1);
    return;
  }
  FUZZ_CHECK(k == numeric && t.timescale == scale && t.epoch == 0);
  FUZZ_CHECK(std::fabs(static_cast<long double>(t.value) - ticks) <= 0.5L + slack);
}

void checkRetime(FuzzedDataProvider& in) {
  const size_t n = in.ConsumeIntegralInRange<size_t>(0, 12);
  std::vector<SampleTimingInfo> timing(n);
  for (SampleTimingInfo& e : timing) {
    e.duration = anyTime(in);
    e.presentationTimeStamp = anyTime(in);
    e.decodeTimeStamp = anyTime(in);
  }
  const MediaTime offset = anyTime(in);
  auto* pcm = new platform::OwnedAudioBuffer(48000, 2, 4);
  const SampleBuffer buffer(platform::MediaRef<platform::MediaData>(pcm), timing.data(), n);
  (void)buffer.duration();
  (void)buffer.presentationTimeStamp();

  const std::optional<SampleBuffer> copy = retime(buffer, offset);
  FUZZ_CHECK(copy.has_value());
  FUZZ_CHECK(copy->data().get() == buffer.data().get());
  FUZZ_CHECK(buffer.timingCount() == n);
  const size_t count = copy->getSampleTimingInfoArray(0, nullptr);
  FUZZ_CHECK(count == std::max<size_t>(n, 1));
  std::vector<SampleTimingInfo> moved(count);
  copy->getSampleTimingInfoArray(count, moved.data());
  for (size_t i = 0; i < count; ++i) {
    const SampleTimingInfo before = i < n ? timing[i] : SampleTimingInfo{};
    FUZZ_CHECK(identical(moved[i].duration, before.duration));
    const MediaTime pts = before.presentationTimeStamp, dts = before.decodeTimeStamp;
    FUZZ_CHECK(identical(moved[i].presentationTimeStamp, pts.isValid() ? pts - offset : pts));
    FUZZ_CHECK(identical(moved[i].decodeTimeStamp, dts.isValid() ? dts - offset : dts));
  }
  (void)copy->duration();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzedDataProvider in(data, size);
  const MediaTime a = anyTime(in), b = anyTime(in);
  checkCompare(a, b);
  checkSum(a, b, true);
  checkSum(a, b, false);
  checkConvertScale(a, b.timescale);
  checkSeconds(a);

  uint64_t bits = in.ConsumeIntegral<uint64_t>();
  double seconds;
  std::memcpy(&seconds, &bits, sizeof seconds);
  if (in.ConsumeBool()) seconds = in.ConsumeFloatingPoint<double>();
  checkFromSeconds(seconds, a.timescale);

  checkRetime(in);
  return 0;
}
