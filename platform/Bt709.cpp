#include "platform/Bt709.h"

#if defined(__x86_64__) || defined(__i386__)
#include <immintrin.h>
#define TESMAR_HAVE_X86 1
#endif

namespace platform {

namespace {

inline uint8_t clampByte(int v) { return static_cast<uint8_t>(v < 0 ? 0 : v > 255 ? 255 : v); }
inline int avg(int a, int b) { return (a + b + 1) >> 1; }

inline uint8_t luma(const uint8_t* p) { return clampByte(((8 * p[0] + 79 * p[1] + 23 * p[2] + 64) >> 7) + 16); }

// Converts columns [from, width) of a row pair; `s1` may equal `s0`.
void rowPairPortable(const uint8_t* s0, const uint8_t* s1, uint8_t* y0, uint8_t* y1, uint8_t* u, uint8_t* v,
                     int from, int width) {
  for (int x = from; x < width; x += 2) {
    const int x1 = x + 1 < width ? x + 1 : x;
    y0[x] = luma(s0 + 4 * x);
    y1[x] = luma(s1 + 4 * x);
    if (x1 != x) {
      y0[x1] = luma(s0 + 4 * x1);
      y1[x1] = luma(s1 + 4 * x1);
    }
    int bgr[3];
    for (int c = 0; c < 3; ++c) bgr[c] = avg(avg(s0[4 * x + c], s1[4 * x + c]), avg(s0[4 * x1 + c], s1[4 * x1 + c]));
    u[x / 2] = clampByte(((56 * bgr[0] - 43 * bgr[1] - 13 * bgr[2] + 64) >> 7) + 128);
    v[x / 2] = clampByte(((-5 * bgr[0] - 51 * bgr[1] + 56 * bgr[2] + 64) >> 7) + 128);
  }
}

#ifdef TESMAR_HAVE_X86
// 16 pixels of luma from four registers of BGRA.
__attribute__((target("ssse3"))) inline void lumaSsse3(const __m128i* p, uint8_t* dst) {
  const __m128i k = _mm_setr_epi8(8, 79, 23, 0, 8, 79, 23, 0, 8, 79, 23, 0, 8, 79, 23, 0);
  const __m128i round = _mm_set1_epi16(64);
  const __m128i offset = _mm_set1_epi16(16);
  __m128i lo = _mm_hadd_epi16(_mm_maddubs_epi16(p[0], k), _mm_maddubs_epi16(p[1], k));
  __m128i hi = _mm_hadd_epi16(_mm_maddubs_epi16(p[2], k), _mm_maddubs_epi16(p[3], k));
  lo = _mm_add_epi16(_mm_srli_epi16(_mm_add_epi16(lo, round), 7), offset);
  hi = _mm_add_epi16(_mm_srli_epi16(_mm_add_epi16(hi, round), 7), offset);
  _mm_storeu_si128(reinterpret_cast<__m128i*>(dst), _mm_packus_epi16(lo, hi));
}

// 8 chroma values from 8 averaged BGRA pixels in two registers.
__attribute__((target("ssse3"))) inline void chromaSsse3(__m128i p0, __m128i p1, __m128i k, uint8_t* dst) {
  __m128i s = _mm_hadd_epi16(_mm_maddubs_epi16(p0, k), _mm_maddubs_epi16(p1, k));
  s = _mm_add_epi16(_mm_srai_epi16(_mm_add_epi16(s, _mm_set1_epi16(64)), 7), _mm_set1_epi16(128));
  _mm_storel_epi64(reinterpret_cast<__m128i*>(dst), _mm_packus_epi16(s, s));
}

__attribute__((target("ssse3"))) inline __m128i pairMean(__m128i a, __m128i b) {
  // Even pixels of a:b against odd pixels, averaged: the means of pairs.
  __m128 fa = _mm_castsi128_ps(a), fb = _mm_castsi128_ps(b);
  return _mm_avg_epu8(_mm_castps_si128(_mm_shuffle_ps(fa, fb, 0x88)), _mm_castps_si128(_mm_shuffle_ps(fa, fb, 0xdd)));
}

// Whole blocks of 16 columns; returns the first column left to do.
__attribute__((target("ssse3"))) int rowPairSsse3(const uint8_t* s0, const uint8_t* s1, uint8_t* y0, uint8_t* y1,
                                                  uint8_t* u, uint8_t* v, int width) {
  const __m128i kU = _mm_setr_epi8(56, -43, -13, 0, 56, -43, -13, 0, 56, -43, -13, 0, 56, -43, -13, 0);
  const __m128i kV = _mm_setr_epi8(-5, -51, 56, 0, -5, -51, 56, 0, -5, -51, 56, 0, -5, -51, 56, 0);
  int x = 0;
  for (; x + 16 <= width; x += 16) {
    __m128i a[4], b[4], m[4];
    for (int i = 0; i < 4; ++i) {
      a[i] = _mm_loadu_si128(reinterpret_cast<const __m128i*>(s0 + 4 * x + 16 * i));
      b[i] = _mm_loadu_si128(reinterpret_cast<const __m128i*>(s1 + 4 * x + 16 * i));
      m[i] = _mm_avg_epu8(a[i], b[i]);
    }
    lumaSsse3(a, y0 + x);
    lumaSsse3(b, y1 + x);
    const __m128i p0 = pairMean(m[0], m[1]);
    const __m128i p1 = pairMean(m[2], m[3]);
    chromaSsse3(p0, p1, kU, u + x / 2);
    chromaSsse3(p0, p1, kV, v + x / 2);
  }
  return x;
}

bool hasSsse3() {
  static const bool has = __builtin_cpu_supports("ssse3");
  return has;
}
#endif

template <typename RowPair>
void convert(const uint8_t* bgra, int stride, int width, int height, const I420Planes& out, RowPair rowPair) {
  for (int row = 0; row < height; row += 2) {
    const uint8_t* s0 = bgra + static_cast<long>(row) * stride;
    const bool pair = row + 1 < height;
    const uint8_t* s1 = pair ? s0 + stride : s0;
    uint8_t* y0 = out.y + static_cast<long>(row) * out.yStride;
    uint8_t* y1 = pair ? y0 + out.yStride : y0;
    uint8_t* u = out.u + static_cast<long>(row / 2) * out.uStride;
    uint8_t* v = out.v + static_cast<long>(row / 2) * out.vStride;
    const int done = rowPair(s0, s1, y0, y1, u, v, width);
    rowPairPortable(s0, s1, y0, y1, u, v, done, width);
  }
}

}  // namespace

void bgraToI420Bt709Portable(const uint8_t* bgra, int stride, int width, int height, const I420Planes& out) {
  convert(bgra, stride, width, height, out, [](auto...) { return 0; });
}

void bgraToI420Bt709(const uint8_t* bgra, int stride, int width, int height, const I420Planes& out) {
#ifdef TESMAR_HAVE_X86
  if (hasSsse3()) {
    convert(bgra, stride, width, height, out, rowPairSsse3);
    return;
  }
#endif
  bgraToI420Bt709Portable(bgra, stride, width, height, out);
}

}  // namespace platform
