#include "inspect/CursorCheck.h"

#include "inspect/PngFile.h"

#include <cmath>
#include <filesystem>

namespace inspect {

namespace {

bool sizeMatches(int pixels, double points, double scale) {
  return pixels == static_cast<int>(std::lround(points)) || pixels == static_cast<int>(std::lround(points * scale));
}

}  // namespace

void checkCursors(const std::string& folder, const std::set<std::string>& usedIds,
                  const std::optional<nlohmann::json>& catalogue, double scale, Report& report) {
  std::set<std::string> toRead;
  for (const std::string& id : usedIds) {
    if (id == kFallbackCursor) continue;
    if (catalogue && !catalogue->contains(id)) {
      report.add(check::cursor, "metadata.json", "the logs use cursor \"" + id + "\", which \"cursors\" does not describe.");
      continue;
    }
    toRead.insert(id);
  }
  if (catalogue) {
    for (const auto& [id, info] : catalogue->items()) toRead.insert(id);
  }
  for (const std::string& id : toRead) {
    const std::string file = "cursors/" + id + ".png";
    const std::string path = (std::filesystem::path(folder) / file).string();
    if (!std::filesystem::exists(path)) {
      report.add(check::cursor, file, "is missing.");
      continue;
    }
    std::optional<RgbaImage> image = readPng(path);
    if (!image) {
      report.add(check::cursor, file, "is not a readable PNG.");
      continue;
    }
    if (!catalogue) continue;
    const nlohmann::json& info = (*catalogue)[id];
    if (!info.is_object() || !info.contains("width") || !info["width"].is_number() || !info.contains("height") ||
        !info["height"].is_number())
      continue;  // reported by the metadata check
    const double width = info["width"].get<double>(), height = info["height"].get<double>();
    if (!sizeMatches(image->width, width, scale) || !sizeMatches(image->height, height, scale))
      report.add(check::cursor, file,
                 "is " + std::to_string(image->width) + " × " + std::to_string(image->height) +
                     " pixels; metadata.json says " + info["width"].dump() + " × " + info["height"].dump() + ".");
  }
}

}  // namespace inspect
