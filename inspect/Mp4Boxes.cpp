#include "inspect/Mp4Boxes.h"

#include <algorithm>
#include <fstream>

namespace inspect {

bool Mp4Layout::has(const std::string& type) const {
  return std::find(boxes.begin(), boxes.end(), type) != boxes.end();
}

namespace {

uint64_t bigEndian(const unsigned char* bytes, int count) {
  uint64_t value = 0;
  for (int i = 0; i < count; ++i) value = value << 8 | bytes[i];
  return value;
}

}  // namespace

Mp4Layout readMp4Layout(const std::string& path) {
  Mp4Layout layout;
  std::ifstream file(path, std::ios::binary | std::ios::ate);
  if (!file) return layout;
  layout.readable = true;
  layout.size = static_cast<int64_t>(file.tellg());
  int64_t offset = 0;
  while (offset < layout.size) {
    unsigned char head[16];
    const int64_t left = layout.size - offset;
    file.seekg(offset);
    file.read(reinterpret_cast<char*>(head), static_cast<std::streamsize>(std::min<int64_t>(left, 16)));
    if (left < 8) {
      layout.cutBox = "(header)";
      break;
    }
    const std::string type(reinterpret_cast<char*>(head + 4), 4);
    uint64_t boxSize = bigEndian(head, 4);
    if (boxSize == 1) {  // a 64-bit size follows the type
      if (left < 16) {
        layout.cutBox = type;
        break;
      }
      boxSize = bigEndian(head + 8, 8);
    } else if (boxSize == 0) {  // the box runs to the end of the file
      boxSize = static_cast<uint64_t>(left);
    }
    if (boxSize < 8 || boxSize > static_cast<uint64_t>(left)) {
      layout.cutBox = type;
      break;
    }
    layout.boxes.push_back(type);
    if (type == "moof") ++layout.fragments;
    offset += static_cast<int64_t>(boxSize);
    layout.wholeBytes = offset;
  }
  return layout;
}

}  // namespace inspect
