// The top-level boxes of an MP4 file, walked by their size fields only: how
// far the file is made of whole boxes, and which boxes it has. A file the
// agent wrote while recording is a header (ftyp, moov) and fragments (moof
// + mdat); a clean finish appends the index (mfra). A kill between two
// writes leaves whole boxes; a cut inside a write leaves a box whose size
// runs past the end of the file.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace inspect {

struct Mp4Layout {
  bool readable = false;            // the file could be opened
  int64_t size = 0;                 // bytes in the file
  int64_t wholeBytes = 0;           // bytes up to the end of the last whole box
  std::vector<std::string> boxes;   // types of the whole boxes, in order
  std::string cutBox;               // type of the box the file ends inside, if any
  int64_t fragments = 0;            // whole moof boxes
  bool has(const std::string& type) const;
};

// Walks `path`. Never throws; an unreadable file gives readable = false.
Mp4Layout readMp4Layout(const std::string& path);

}  // namespace inspect
