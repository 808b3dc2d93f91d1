#include "inspect/Canvas.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>

namespace inspect {

namespace {
#include "inspect/PreviewFont.inc"

int hexValue(char digit) { return digit <= '9' ? digit - '0' : digit - 'a' + 10; }
}  // namespace

Canvas::Canvas(int width, int height, Colour background)
    : width_(width), height_(height), rgb_(static_cast<size_t>(width) * height * 3) {
  fill(0, 0, width, height, background);
}

void Canvas::fill(int x, int y, int w, int h, Colour colour) {
  const int x0 = std::max(0, x), y0 = std::max(0, y);
  const int x1 = std::min(width_, x + w), y1 = std::min(height_, y + h);
  for (int py = y0; py < y1; ++py) {
    uint8_t* row = &rgb_[(static_cast<size_t>(py) * width_ + x0) * 3];
    for (int px = x0; px < x1; ++px, row += 3) {
      row[0] = colour.r;
      row[1] = colour.g;
      row[2] = colour.b;
    }
  }
}

void Canvas::blend(int x, int y, Colour colour, double alpha) {
  if (x < 0 || y < 0 || x >= width_ || y >= height_ || alpha <= 0) return;
  alpha = std::min(alpha, 1.0);
  uint8_t* pixel = &rgb_[(static_cast<size_t>(y) * width_ + x) * 3];
  const uint8_t values[3] = {colour.r, colour.g, colour.b};
  for (int c = 0; c < 3; ++c) pixel[c] = static_cast<uint8_t>(std::lround(pixel[c] * (1 - alpha) + values[c] * alpha));
}

void Canvas::line(int x0, int y0, int x1, int y1, Colour colour) {
  const int steps = std::max(std::abs(x1 - x0), std::abs(y1 - y0));
  for (int i = 0; i <= steps; ++i) {
    const double f = steps == 0 ? 0 : static_cast<double>(i) / steps;
    blend(static_cast<int>(std::lround(x0 + (x1 - x0) * f)), static_cast<int>(std::lround(y0 + (y1 - y0) * f)), colour, 1);
  }
}

void Canvas::ring(int x, int y, int radius, int thickness, Colour colour) {
  const int reach = radius + thickness;
  for (int dy = -reach; dy <= reach; ++dy) {
    for (int dx = -reach; dx <= reach; ++dx) {
      const double distance = std::hypot(dx, dy);
      // Coverage of the band [radius, radius + thickness], smoothed by a pixel.
      const double inside = std::clamp(distance - radius + 0.5, 0.0, 1.0);
      const double outside = std::clamp(radius + thickness - distance + 0.5, 0.0, 1.0);
      blend(x + dx, y + dy, colour, std::min(inside, outside));
    }
  }
}

int Canvas::text(int x, int y, const std::string& text, Colour colour) {
  for (char c : text) {
    const int index = (c >= ' ' && c <= '~') ? c - ' ' : '?' - ' ';
    const char* cells = kGlyphs[index];
    for (int gy = 0; gy < kGlyphHeight; ++gy) {
      for (int gx = 0; gx < kGlyphWidth; ++gx) {
        const int coverage = hexValue(cells[gy * kGlyphWidth + gx]);
        if (coverage > 0) blend(x + gx, y + gy, colour, coverage / 15.0);
      }
    }
    x += kGlyphWidth;
  }
  return x;
}

int Canvas::textWidth(const std::string& text) { return static_cast<int>(text.size()) * kGlyphWidth; }

int Canvas::lineHeight() { return kGlyphHeight; }

void Canvas::paste(int x, int y, int w, int h, const uint8_t* rgb, int srcWidth, int srcHeight) {
  for (int py = 0; py < h; ++py) {
    const int sy = std::min(srcHeight - 1, py * srcHeight / std::max(1, h));
    for (int px = 0; px < w; ++px) {
      const int sx = std::min(srcWidth - 1, px * srcWidth / std::max(1, w));
      const uint8_t* s = rgb + (static_cast<size_t>(sy) * srcWidth + sx) * 3;
      blend(x + px, y + py, Colour{s[0], s[1], s[2]}, 1);
    }
  }
}

void Canvas::overlay(int x, int y, const RgbaImage& image, double scale) {
  const int w = std::max(1, static_cast<int>(std::lround(image.width * scale)));
  const int h = std::max(1, static_cast<int>(std::lround(image.height * scale)));
  for (int py = 0; py < h; ++py) {
    const int sy = std::min(image.height - 1, static_cast<int>(py / scale));
    for (int px = 0; px < w; ++px) {
      const int sx = std::min(image.width - 1, static_cast<int>(px / scale));
      const uint8_t* s = &image.rgba[(static_cast<size_t>(sy) * image.width + sx) * 4];
      blend(x + px, y + py, Colour{s[0], s[1], s[2]}, s[3] / 255.0);
    }
  }
}

}  // namespace inspect
