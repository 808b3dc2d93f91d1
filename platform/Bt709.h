// BGRA to 4:2:0 YUV with the BT.709 matrix in limited range, the colour
// description HD video players assume and the encoder tags.
//
// Fixed point with 7-bit coefficients: Y = (23 R + 79 G + 8 B + 64) / 128 + 16,
// U = (-13 R - 43 G + 56 B + 64) / 128 + 128, V = (56 R - 51 G - 5 B + 64) / 128
// + 128, each within one step of the exact BT.709 value. Chroma is taken from
// the mean of each 2x2 block (rows averaged first, both rounded up at .5); an
// odd last column or row is paired with itself. Alpha is ignored.
#pragma once

#include <cstdint>

namespace platform {

struct I420Planes {
  uint8_t* y;
  int yStride;
  uint8_t* u;
  int uStride;
  uint8_t* v;
  int vStride;
};

// Uses SSSE3 where the processor has it; same result as the portable path.
void bgraToI420Bt709(const uint8_t* bgra, int stride, int width, int height, const I420Planes& out);
// Plain C++; kept callable so both paths can be compared.
void bgraToI420Bt709Portable(const uint8_t* bgra, int stride, int width, int height, const I420Planes& out);

}  // namespace platform
