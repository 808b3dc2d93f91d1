// The preview of a recording, one PNG a person can take in at a glance: a
// contact sheet of frames spread over the recording with their times, the
// pointer drawn on each with its logged cursor image where the log puts
// it, the clicks near each frame marked, the keystrokes near each frame
// listed under it, and below the frames a time axis shared by the frames,
// clicks and keystrokes and by a waveform strip per audio track.
#pragma once

#include "inspect/Report.h"

#include <string>

namespace inspect {

struct PreviewLayout {
  int width = 1280;  // pixels of the sheet
  int columns = 4;
  int frames = 12;   // at most; fewer for a recording with fewer pictures
};

// Draws the preview of the recording in `folder`, which `report` describes
// (inspectRecording()), into `pngPath`. False with `error` set when there is
// nothing to draw (no playable video) or the file cannot be written.
bool drawPreview(const std::string& folder, const Report& report, const std::string& pngPath, std::string& error,
                 const PreviewLayout& layout = {});

}  // namespace inspect
