// Reading and writing PNG files with libpng, without a word on standard
// error: libpng's complaints become a failed result.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace inspect {

struct RgbaImage {
  int width = 0;
  int height = 0;
  std::vector<uint8_t> rgba;  // width × height × 4, rows top to bottom, straight alpha
};

// The whole image, converted to 8-bit RGBA; nothing when `path` is not a
// readable PNG.
std::optional<RgbaImage> readPng(const std::string& path);

// Writes 8-bit RGB rows (width × height × 3 bytes); false on any failure.
bool writeRgbPng(const std::string& path, int width, int height, const std::vector<uint8_t>& rgb);

}  // namespace inspect
