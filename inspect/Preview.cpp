#include "inspect/Preview.h"

#include "inspect/Canvas.h"
#include "inspect/LogCheck.h"
#include "inspect/MediaCheck.h"
#include "inspect/MediaReader.h"
#include "inspect/PngFile.h"

extern "C" {
#include <libavutil/frame.h>
#include <libswscale/swscale.h>
}

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <map>
#include <memory>
#include <optional>
#include <set>

namespace inspect {

namespace {

using nlohmann::json;

constexpr Colour kBackground{32, 33, 36};
constexpr Colour kText{232, 234, 237};
constexpr Colour kDim{154, 160, 166};
constexpr Colour kFrameBorder{95, 99, 104};
constexpr Colour kLeftClick{234, 67, 53};
constexpr Colour kRightClick{251, 188, 4};
constexpr Colour kKey{66, 165, 245};
constexpr Colour kWave{129, 201, 149};
constexpr int kMargin = 16;
constexpr int kGap = 12;
constexpr int kStripHeight = 56;

// "1:02.35" for 62.35 s.
std::string clock(double seconds) {
  seconds = std::max(0.0, seconds);
  const int minutes = static_cast<int>(seconds / 60);
  char text[32];
  std::snprintf(text, sizeof text, "%d:%05.2f", minutes, seconds - minutes * 60);
  return text;
}

// Cuts `text` to `pixels` wide, ending in "..." when cut.
std::string fit(const std::string& text, int pixels) {
  const int chars = pixels / std::max(1, Canvas::textWidth("M"));
  if (static_cast<int>(text.size()) <= chars) return text;
  return chars > 3 ? text.substr(0, chars - 3) + "..." : "";
}

// Keeps the last picture before each requested time, as an RGB thumbnail.
class FramePicker {
 public:
  FramePicker(std::vector<double> times, int width, int height)
      : times_(std::move(times)), width_(width), height_(height), thumbnails_(times_.size()) {}
  ~FramePicker() {
    av_frame_free(&previous_);
    sws_freeContext(scaler_);
  }

  void take(const AVFrame& picture, double seconds) {
    while (next_ < times_.size() && seconds > times_[next_] + 1e-6) {
      if (previous_) thumbnails_[next_] = scale(*previous_);
      ++next_;
    }
    av_frame_free(&previous_);
    previous_ = av_frame_clone(&picture);
    previousSeconds_ = seconds;
  }
  // The thumbnail of each time (empty when no picture came before it), and
  // the time of the picture shown.
  std::vector<std::vector<uint8_t>> finish() {
    for (; next_ < times_.size(); ++next_) {
      if (previous_) thumbnails_[next_] = scale(*previous_);
    }
    return std::move(thumbnails_);
  }

 private:
  std::vector<uint8_t> scale(const AVFrame& picture) {
    scaler_ = sws_getCachedContext(scaler_, picture.width, picture.height, static_cast<AVPixelFormat>(picture.format),
                                   width_, height_, AV_PIX_FMT_RGB24, SWS_AREA, nullptr, nullptr, nullptr);
    std::vector<uint8_t> rgb(static_cast<size_t>(width_) * height_ * 3);
    if (!scaler_) return {};
    // The agent writes BT.709, limited range.
    const int* coefficients = sws_getCoefficients(SWS_CS_ITU709);
    sws_setColorspaceDetails(scaler_, coefficients, 0, coefficients, 1, 0, 1 << 16, 1 << 16);
    uint8_t* planes[1] = {rgb.data()};
    const int strides[1] = {width_ * 3};
    sws_scale(scaler_, picture.data, picture.linesize, 0, picture.height, planes, strides);
    return rgb;
  }

  std::vector<double> times_;
  int width_, height_;
  std::vector<std::vector<uint8_t>> thumbnails_;
  size_t next_ = 0;
  AVFrame* previous_ = nullptr;
  double previousSeconds_ = 0;
  SwsContext* scaler_ = nullptr;
};

// Peak level of an audio track in each column of the time axis.
struct Waveform {
  std::string label;
  std::vector<float> peaks;
};

Waveform readWaveform(const std::string& path, const std::string& label, double startMs, double durationMs, int columns) {
  Waveform wave{label, std::vector<float>(static_cast<size_t>(columns), -1.0f)};  // -1: no sound there
  MediaVisitor visitor;
  visitor.sound = [&](const float* samples, int count, int rate, double seconds) {
    for (int i = 0; i < count; ++i) {
      const double ms = startMs + (seconds + static_cast<double>(i) / rate) * 1000;
      const int column = static_cast<int>(ms / durationMs * columns);
      if (column < 0 || column >= columns) continue;
      wave.peaks[column] = std::max(wave.peaks[column], std::abs(samples[i]));
    }
  };
  decodeMedia(path, std::nullopt, &visitor);
  return wave;
}

struct Logs {
  std::vector<json> moves, clicks, keys;
};

Logs readLogs(const std::string& folder) {
  Logs logs;
  Report ignored;
  std::set<std::string> ids;
  const std::tuple<const char*, LogKind, std::vector<json>*> files[] = {
      {kMovesLog, LogKind::moves, &logs.moves}, {kClicksLog, LogKind::clicks, &logs.clicks}, {kKeysLog, LogKind::keys, &logs.keys}};
  for (const auto& [file, kind, records] : files) {
    if (auto text = readWholeFile((std::filesystem::path(folder) / file).string()))
      checkLogText({file, kind, std::nullopt}, *text, ignored, ids, records);
    std::stable_sort(records->begin(), records->end(),
                     [](const json& a, const json& b) { return a["t"].get<double>() < b["t"].get<double>(); });
  }
  return logs;
}

std::string keyLabel(const json& key) {
  std::string label;
  for (const json& modifier : key["modifiers"]) label += modifier.get<std::string>() + "+";
  const std::string name = key["key"].get<std::string>();
  return label + (name.empty() ? "?" : name);
}

// Everything the sheet shows, gathered before drawing.
struct Sheet {
  std::string title;
  std::string subtitle;
  double durationMs = 0;
  int videoWidth = 0, videoHeight = 0;
  double scale = 1;  // pixels per point of the logged positions
  std::vector<double> times;  // ms of each frame shown
  std::vector<std::vector<uint8_t>> thumbnails;
  Logs logs;
  std::map<std::string, RgbaImage> cursors;
  std::map<std::string, json> cursorInfo;
  std::vector<Waveform> waves;
};

// The segment of the timeline that frame `i` stands for: halfway to its
// neighbours.
std::pair<double, double> segment(const Sheet& sheet, size_t i) {
  const double from = i == 0 ? -1e300 : (sheet.times[i - 1] + sheet.times[i]) / 2;
  const double to = i + 1 == sheet.times.size() ? 1e300 : (sheet.times[i] + sheet.times[i + 1]) / 2;
  return {from, to};
}

void drawPointer(Canvas& canvas, const Sheet& sheet, int x, int y, double thumbScale, double atMs) {
  const json* last = nullptr;
  for (const json& move : sheet.logs.moves) {
    if (move["t"].get<double>() > atMs) break;
    last = &move;
  }
  if (!last) return;
  const double px = x + (*last)["x"].get<double>() * sheet.scale * thumbScale;
  const double py = y + (*last)["y"].get<double>() * sheet.scale * thumbScale;
  const std::string id = (*last)["cursor"].get<std::string>();
  // The cursor drawn a little larger than the thumbnail's scale, to be seen.
  const double cursorScale = std::max(thumbScale * 1.5, 0.75);
  auto image = sheet.cursors.find(id);
  auto info = sheet.cursorInfo.find(id);
  if (image == sheet.cursors.end() || info == sheet.cursorInfo.end()) {
    canvas.ring(static_cast<int>(px), static_cast<int>(py), 3, 2, kText);  // no image: a dot where it was
    return;
  }
  // Points of the catalogue to pixels of the PNG.
  const double pngPerPoint = image->second.width / std::max(1.0, info->second.value("width", 1.0));
  const double hotX = info->second.value("hotX", 0.0) * pngPerPoint * cursorScale;
  const double hotY = info->second.value("hotY", 0.0) * pngPerPoint * cursorScale;
  canvas.overlay(static_cast<int>(std::lround(px - hotX)), static_cast<int>(std::lround(py - hotY)), image->second,
                 cursorScale);
}

void drawFrameCell(Canvas& canvas, const Sheet& sheet, size_t i, int x, int y, int w, int h) {
  canvas.fill(x - 1, y - 1, w + 2, h + 2, kFrameBorder);
  if (!sheet.thumbnails[i].empty()) {
    canvas.paste(x, y, w, h, sheet.thumbnails[i].data(), w, h);
  } else {
    canvas.fill(x, y, w, h, Colour{0, 0, 0});
    canvas.text(x + 8, y + 8, "no picture yet", kDim);
  }
  const double thumbScale = static_cast<double>(w) / std::max(1, sheet.videoWidth);
  const auto [from, to] = segment(sheet, i);
  int clicks = 0;
  for (const json& click : sheet.logs.clicks) {
    const double t = click["t"].get<double>();
    if (t < from || t >= to) continue;
    if (click["type"] == "mouseDown") ++clicks;
    const Colour colour = click["button"] == "right" ? kRightClick : kLeftClick;
    const int cx = x + static_cast<int>(click["x"].get<double>() * sheet.scale * thumbScale);
    const int cy = y + static_cast<int>(click["y"].get<double>() * sheet.scale * thumbScale);
    canvas.ring(cx, cy, click["type"] == "mouseDown" ? 9 : 5, 2, colour);
  }
  drawPointer(canvas, sheet, x, y, thumbScale, sheet.times[i]);

  // Under the frame: its time and clicks, then the keystrokes near it.
  int line = y + h + 4;
  int after = canvas.text(x, line, clock(sheet.times[i] / 1000), kText);
  if (clicks > 0) canvas.text(after + 8, line, std::to_string(clicks) + (clicks == 1 ? " click" : " clicks"), kDim);
  std::string keys;
  for (const json& key : sheet.logs.keys) {
    const double t = key["t"].get<double>();
    if (t >= from && t < to && key["isRepeat"] != true) keys += (keys.empty() ? "" : " ") + keyLabel(key);
  }
  line += Canvas::lineHeight();
  if (!keys.empty()) canvas.text(x, line, fit("keys: " + keys, w), kKey);
}

// A step for the axis labels that gives about `wanted` of them.
double tickStep(double seconds, int wanted) {
  for (double step : {0.1, 0.2, 0.5, 1.0, 2.0, 5.0, 10.0, 15.0, 30.0, 60.0, 120.0, 300.0, 600.0, 1800.0, 3600.0}) {
    if (seconds / step <= wanted) return step;
  }
  return 7200;
}

int drawTimeline(Canvas& canvas, const Sheet& sheet, int y, bool draw) {
  const int labelWidth = Canvas::textWidth("microphone ");
  const int x0 = kMargin + labelWidth, x1 = canvas.width() - kMargin;
  const int span = x1 - x0;
  auto xOf = [&](double ms) { return x0 + static_cast<int>(std::lround(ms / std::max(1.0, sheet.durationMs) * span)); };
  const int top = y;
  // The frames' times run down through the strips to the axis; drawn first,
  // so that everything else lies on top.
  if (draw) {
    const int strips = sheet.waves.empty() ? Canvas::lineHeight() + 4
                                           : static_cast<int>(sheet.waves.size()) * (kStripHeight + 6);
    const int bottom = y + 22 + strips;
    for (size_t i = 0; i < sheet.times.size(); ++i) canvas.fill(xOf(sheet.times[i]), top, 1, bottom - top, Colour{60, 64, 67});
  }
  // Events row: frames shown (numbered), clicks, keystrokes.
  if (draw) {
    canvas.text(kMargin, y + 2, "events", kDim);
    canvas.fill(x0, y + 8, span, 1, kFrameBorder);
    for (size_t i = 0; i < sheet.times.size(); ++i) {
      const int x = xOf(sheet.times[i]);
      canvas.fill(x, y, 1, 17, kText);
    }
    for (const json& click : sheet.logs.clicks) {
      if (click["type"] == "mouseDown")
        canvas.ring(xOf(click["t"].get<double>()), y + 8, 2, 2, click["button"] == "right" ? kRightClick : kLeftClick);
    }
    for (const json& key : sheet.logs.keys) canvas.fill(xOf(key["t"].get<double>()), y + 11, 1, 7, kKey);
  }
  y += 22;
  // Audio strips.
  for (const Waveform& wave : sheet.waves) {
    if (draw) {
      canvas.text(kMargin, y + kStripHeight / 2 - 8, wave.label, kDim);
      canvas.fill(x0, y, span, kStripHeight, Colour{24, 25, 27});
      const int middle = y + kStripHeight / 2;
      canvas.fill(x0, middle, span, 1, kFrameBorder);
      for (int column = 0; column < static_cast<int>(wave.peaks.size()); ++column) {
        const float peak = wave.peaks[column];
        if (peak < 0) continue;
        const int half = std::max(1, static_cast<int>(std::lround(std::min(1.0f, peak) * (kStripHeight / 2 - 2))));
        canvas.fill(x0 + column, middle - half, 1, 2 * half, kWave);
      }
    }
    y += kStripHeight + 6;
  }
  if (sheet.waves.empty()) {
    if (draw) canvas.text(x0, y, "no audio track", kDim);
    y += Canvas::lineHeight() + 4;
  }
  // The shared axis.
  if (draw) {
    canvas.fill(x0, y, span, 1, kDim);
    const double seconds = sheet.durationMs / 1000;
    const double step = tickStep(seconds, std::max(2, span / 90));
    for (double s = 0; s <= seconds + 1e-9; s += step) {
      const int x = xOf(s * 1000);
      canvas.fill(x, y, 1, 5, kDim);
      const std::string label = clock(s);
      canvas.text(std::min(x - Canvas::textWidth(label) / 2, x1 - Canvas::textWidth(label)), y + 6, label, kDim);
    }
  }
  y += 6 + Canvas::lineHeight();
  if (draw) {
    int x = x0;
    x = canvas.text(x, y, "| frame shown   ", kText);
    canvas.ring(x + 3, y + 8, 2, 2, kLeftClick);
    x = canvas.text(x + 10, y, "left click   ", kLeftClick);
    canvas.ring(x + 3, y + 8, 2, 2, kRightClick);
    x = canvas.text(x + 10, y, "right click   ", kRightClick);
    canvas.fill(x, y + 5, 1, 7, kKey);
    canvas.text(x + 6, y, "keystroke", kKey);
  }
  return y + Canvas::lineHeight() + kMargin - top;
}

int drawAll(Canvas& canvas, const Sheet& sheet, const PreviewLayout& layout, bool draw) {
  int y = kMargin;
  if (draw) {
    canvas.text(kMargin, y, sheet.title, kText);
    canvas.text(kMargin, y + Canvas::lineHeight() + 2, sheet.subtitle, kDim);
  }
  y += 2 * Canvas::lineHeight() + kGap;
  const int cellWidth = (layout.width - 2 * kMargin - (layout.columns - 1) * kGap) / layout.columns;
  const int thumbHeight = cellWidth * std::max(1, sheet.videoHeight) / std::max(1, sheet.videoWidth);
  const int cellHeight = thumbHeight + 4 + 2 * Canvas::lineHeight() + kGap;
  for (size_t i = 0; i < sheet.times.size(); ++i) {
    const int column = static_cast<int>(i) % layout.columns;
    const int row = static_cast<int>(i) / layout.columns;
    if (draw)
      drawFrameCell(canvas, sheet, i, kMargin + column * (cellWidth + kGap), y + row * cellHeight, cellWidth, thumbHeight);
  }
  const int rows = (static_cast<int>(sheet.times.size()) + layout.columns - 1) / layout.columns;
  y += rows * cellHeight;
  y += drawTimeline(canvas, sheet, y, draw);
  return y;
}

std::optional<double> metadataNumber(const Report& report, const char* key) {
  if (!report.metadata || !report.metadata->contains(key) || !(*report.metadata)[key].is_number()) return std::nullopt;
  return (*report.metadata)[key].get<double>();
}

}  // namespace

bool drawPreview(const std::string& folder, const Report& report, const std::string& pngPath, std::string& error,
                 const PreviewLayout& layout) {
  namespace fs = std::filesystem;
  const MediaReport* video = report.findMedia(kVideoFile);
  if (!video || !video->opened || video->frames == 0) {
    error = "screen.mp4 holds no picture to show.";
    return false;
  }
  Sheet sheet;
  sheet.durationMs = metadataNumber(report, "durationMs").value_or(video->playableSeconds * 1000);
  if (sheet.durationMs <= 0) sheet.durationMs = video->playableSeconds * 1000;
  sheet.videoWidth = video->width;
  sheet.videoHeight = video->height;
  sheet.scale = metadataNumber(report, "scale").value_or(1.0);

  const int count = static_cast<int>(std::min<int64_t>(layout.frames, video->frames));
  for (int i = 0; i < count; ++i)
    sheet.times.push_back(count == 1 ? 0 : std::min(sheet.durationMs * i / (count - 1), sheet.durationMs - 1));
  const int cellWidth = (layout.width - 2 * kMargin - (layout.columns - 1) * kGap) / layout.columns;
  const int thumbHeight = cellWidth * video->height / std::max(1, video->width);
  {
    std::vector<double> seconds;
    for (double ms : sheet.times) seconds.push_back(ms / 1000);
    FramePicker picker(seconds, cellWidth, thumbHeight);
    MediaVisitor visitor;
    visitor.picture = [&](const AVFrame& picture, double at) { picker.take(picture, at); };
    decodeMedia((fs::path(folder) / kVideoFile).string(), std::nullopt, &visitor);
    sheet.thumbnails = picker.finish();
  }

  sheet.logs = readLogs(folder);
  if (report.metadata && report.metadata->contains("cursors") && (*report.metadata)["cursors"].is_object()) {
    for (const auto& [id, info] : (*report.metadata)["cursors"].items()) sheet.cursorInfo[id] = info;
  }
  for (const json& move : sheet.logs.moves) {
    const std::string id = move["cursor"].get<std::string>();
    if (sheet.cursors.count(id)) continue;
    if (auto image = readPng((fs::path(folder) / "cursors" / (id + ".png")).string())) {
      if (!sheet.cursorInfo.count(id))  // a folder cut short: the PNG is the catalogue
        sheet.cursorInfo[id] = json{{"hotX", 0}, {"hotY", 0}, {"width", image->width}, {"height", image->height}};
      sheet.cursors[id] = std::move(*image);
    }
  }

  const int axisColumns = layout.width - 2 * kMargin - Canvas::textWidth("microphone ");
  for (const auto& [file, key, label] : {std::tuple{kSystemAudioFile, "system", "system"},
                                         std::tuple{kMicrophoneFile, "microphone", "microphone"}}) {
    const MediaReport* audio = report.findMedia(file);
    if (!audio || !audio->opened || audio->frames == 0) continue;
    double startMs = 0;
    if (report.metadata && (*report.metadata)["audioStartMs"].is_object())
      startMs = (*report.metadata)["audioStartMs"].value(key, 0.0);
    sheet.waves.push_back(readWaveform((fs::path(folder) / file).string(), label, startMs, sheet.durationMs, axisColumns));
  }

  char figures[256];
  std::snprintf(figures, sizeof figures, "%s long, %d x %d", clock(sheet.durationMs / 1000).c_str(), video->width,
                video->height);
  sheet.title = fit(std::string("tesmar recording ") + folder, layout.width - 2 * kMargin);
  sheet.subtitle = std::string(figures);
  if (auto fps = metadataNumber(report, "fps")) sheet.subtitle += ", " + std::to_string(static_cast<int>(*fps)) + " fps";
  sheet.subtitle += ", " + std::to_string(video->frames) + " pictures, " + std::to_string(std::count_if(sheet.logs.clicks.begin(), sheet.logs.clicks.end(),
                                                 [](const json& c) { return c["type"] == "mouseDown"; })) +
                    " clicks, " + std::to_string(sheet.logs.keys.size()) + " keystrokes";
  if (report.state == "cutShort") sheet.subtitle += "  -- CUT SHORT: no metadata.json, shown up to what plays";
  else if (!report.ok())
    sheet.subtitle += "  -- " + std::to_string(report.problems.size()) +
                      (report.problems.size() == 1 ? " problem" : " problems") + ", see the report";

  Canvas measure(1, 1, kBackground);
  const int height = drawAll(measure, sheet, layout, false);
  Canvas canvas(layout.width, height, kBackground);
  drawAll(canvas, sheet, layout, true);
  if (!writeRgbPng(pngPath, canvas.width(), canvas.height(), canvas.rgb())) {
    error = "the preview cannot be written to " + pngPath + ".";
    return false;
  }
  return true;
}

}  // namespace inspect
