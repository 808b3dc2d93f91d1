#include "platform/linux/DesktopFiles.h"

#include <png.h>
#include <sys/statvfs.h>

#include <csetjmp>
#include <limits>

namespace platform::linux_desktop {

std::optional<VolumeCapacity> DesktopFiles::volumeCapacity(const std::string& path) {
  struct statvfs info {};
  if (statvfs(path.c_str(), &info) != 0) return std::nullopt;
  const uint64_t largest = static_cast<uint64_t>(std::numeric_limits<int64_t>::max());
  if (info.f_frsize != 0 && info.f_bavail > largest / info.f_frsize) return VolumeCapacity{std::numeric_limits<int64_t>::max()};
  return VolumeCapacity{static_cast<int64_t>(info.f_bavail * info.f_frsize)};
}

namespace {

// libpng reports errors by calling these; nothing may reach standard error.
void onPngError(png_structp png, png_const_charp) { png_longjmp(png, 1); }
void onPngWarning(png_structp, png_const_charp) {}

void appendBytes(png_structp png, png_bytep data, png_size_t length) {
  auto* out = static_cast<std::vector<uint8_t>*>(png_get_io_ptr(png));
  out->insert(out->end(), data, data + length);
}

void flushNothing(png_structp) {}

// Writes the PNG into `out`. Everything libpng touches after setjmp lives in
// the caller's frame, so the jump back on an error leaves nothing undefined.
bool writePng(const CursorImage& image, std::vector<png_bytep>& rows, std::vector<uint8_t>& out) {
  png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, onPngError, onPngWarning);
  if (!png) return false;
  png_infop info = png_create_info_struct(png);
  if (!info) {
    png_destroy_write_struct(&png, nullptr);
    return false;
  }
  if (setjmp(png_jmpbuf(png))) {
    png_destroy_write_struct(&png, &info);
    return false;
  }
  png_set_write_fn(png, &out, appendBytes, flushNothing);
  png_set_IHDR(png, info, static_cast<png_uint_32>(image.pixelWidth), static_cast<png_uint_32>(image.pixelHeight), 8,
               PNG_COLOR_TYPE_RGBA, PNG_INTERLACE_NONE, PNG_COMPRESSION_TYPE_DEFAULT, PNG_FILTER_TYPE_DEFAULT);
  png_write_info(png, info);
  png_write_image(png, rows.data());
  png_write_end(png, nullptr);
  png_destroy_write_struct(&png, &info);
  return true;
}

}  // namespace

std::optional<std::vector<uint8_t>> DesktopFiles::encodePNG(const CursorImage& image) {
  const int width = image.pixelWidth;
  const int height = image.pixelHeight;
  if (width <= 0 || height <= 0 || image.rgba.size() != static_cast<size_t>(width) * height * 4) return std::nullopt;
  std::vector<png_bytep> rows(static_cast<size_t>(height));
  for (int y = 0; y < height; ++y) {
    rows[static_cast<size_t>(y)] = const_cast<png_bytep>(image.rgba.data() + static_cast<size_t>(y) * width * 4);
  }
  std::vector<uint8_t> out;
  if (!writePng(image, rows, out)) return std::nullopt;
  return out;
}

}  // namespace platform::linux_desktop
