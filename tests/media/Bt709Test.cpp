#include "platform/Bt709.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <random>
#include <vector>

using platform::I420Planes;

namespace {

struct Image {
  int w, h;
  std::vector<uint8_t> bgra, y, u, v;
  Image(int width, int height)
      : w(width), h(height), bgra(size_t(w) * h * 4), y(size_t(w) * h, 0xee),
        u(size_t((w + 1) / 2) * ((h + 1) / 2), 0xee), v(u.size(), 0xee) {}
  I420Planes planes() { return {y.data(), w, u.data(), (w + 1) / 2, v.data(), (w + 1) / 2}; }
};

// The exact BT.709 limited-range values of one colour.
void reference(double r, double g, double b, double& Y, double& U, double& V) {
  const double luma = 0.2126 * r + 0.7152 * g + 0.0722 * b;
  Y = 16 + 219.0 / 255 * luma;
  U = 128 + 224.0 / 255 * (b - luma) / 1.8556;
  V = 128 + 224.0 / 255 * (r - luma) / 1.5748;
}

TEST(Bt709, FlatColoursMatchTheStandardWithinOneStep) {
  struct Case {
    uint8_t r, g, b;
  } cases[] = {{255, 255, 255}, {0, 0, 0}, {255, 0, 0}, {0, 255, 0}, {0, 0, 255}, {128, 128, 128}, {250, 200, 10}};
  std::minstd_rand rng(3);
  std::vector<Case> all(std::begin(cases), std::end(cases));
  for (int i = 0; i < 50; ++i) all.push_back({uint8_t(rng()), uint8_t(rng()), uint8_t(rng())});
  for (const auto& c : all) {
    Image img(36, 4);  // SIMD blocks and a scalar tail
    for (size_t p = 0; p < img.bgra.size(); p += 4) {
      img.bgra[p] = c.b, img.bgra[p + 1] = c.g, img.bgra[p + 2] = c.r, img.bgra[p + 3] = 255;
    }
    platform::bgraToI420Bt709(img.bgra.data(), img.w * 4, img.w, img.h, img.planes());
    double Y, U, V;
    reference(c.r, c.g, c.b, Y, U, V);
    SCOPED_TRACE(testing::Message() << int(c.r) << "," << int(c.g) << "," << int(c.b));
    for (uint8_t y : img.y) EXPECT_NEAR(y, Y, 1.0);
    for (uint8_t u : img.u) EXPECT_NEAR(u, U, 1.0);
    for (uint8_t v : img.v) EXPECT_NEAR(v, V, 1.0);
  }
}

TEST(Bt709, FastPathEqualsPortablePathForAnySize) {
  const int sizes[][2] = {{2, 2}, {16, 1}, {17, 3}, {33, 2}, {64, 9}, {71, 5}, {640, 4}};
  std::minstd_rand rng(11);
  for (const auto& s : sizes) {
    Image a(s[0], s[1]);
    for (auto& byte : a.bgra) byte = uint8_t(rng());
    Image b = a;  // output planes start different, so an unwritten sample shows
    for (auto* plane : {&b.y, &b.u, &b.v}) std::fill(plane->begin(), plane->end(), 0x11);
    platform::bgraToI420Bt709(a.bgra.data(), a.w * 4, a.w, a.h, a.planes());
    platform::bgraToI420Bt709Portable(b.bgra.data(), b.w * 4, b.w, b.h, b.planes());
    SCOPED_TRACE(testing::Message() << s[0] << "x" << s[1]);
    EXPECT_EQ(a.y, b.y);
    EXPECT_EQ(a.u, b.u);
    EXPECT_EQ(a.v, b.v);
  }
}

TEST(Bt709, ChromaIsTheMeanOfEachBlock) {
  // Left column pure blue, right column pure red: the block's chroma is that
  // of their mean colour (127.5, 0, 127.5).
  Image img(2, 2);
  for (int row = 0; row < 2; ++row) {
    uint8_t* p = img.bgra.data() + row * 8;
    p[0] = 255, p[1] = 0, p[2] = 0, p[3] = 255;
    p[4] = 0, p[5] = 0, p[6] = 255, p[7] = 255;
  }
  platform::bgraToI420Bt709(img.bgra.data(), 8, 2, 2, img.planes());
  double Y, U, V;
  reference(127.5, 0, 127.5, Y, U, V);
  EXPECT_NEAR(img.u[0], U, 1.0);
  EXPECT_NEAR(img.v[0], V, 1.0);
}

}  // namespace
