// An RGB picture to draw the preview on: filled rectangles, lines, rings,
// text in the built-in monospaced font, and images pasted scaled (RGB) or
// blended by their alpha (RGBA cursors). Everything is clipped to the canvas.
#pragma once

#include "inspect/PngFile.h"

#include <cstdint>
#include <string>
#include <vector>

namespace inspect {

struct Colour {
  uint8_t r = 0, g = 0, b = 0;
};

class Canvas {
 public:
  Canvas(int width, int height, Colour background);

  int width() const { return width_; }
  int height() const { return height_; }
  const std::vector<uint8_t>& rgb() const { return rgb_; }

  void fill(int x, int y, int w, int h, Colour colour);
  // Blends `colour` over pixel (x, y) with opacity `alpha` (0 to 1).
  void blend(int x, int y, Colour colour, double alpha);
  void line(int x0, int y0, int x1, int y1, Colour colour);
  // A ring of `radius` around (x, y), `thickness` pixels wide.
  void ring(int x, int y, int radius, int thickness, Colour colour);
  // Text with its top-left at (x, y); characters outside ' '…'~' show as '?'.
  // Returns the x after the last character.
  int text(int x, int y, const std::string& text, Colour colour);
  static int textWidth(const std::string& text);
  static int lineHeight();
  // Pastes an RGB image (rows of width × 3 bytes) scaled to w × h at (x, y).
  void paste(int x, int y, int w, int h, const uint8_t* rgb, int srcWidth, int srcHeight);
  // Blends an RGBA image at (x, y), scaled by `scale`.
  void overlay(int x, int y, const RgbaImage& image, double scale);

 private:
  int width_, height_;
  std::vector<uint8_t> rgb_;
};

}  // namespace inspect
