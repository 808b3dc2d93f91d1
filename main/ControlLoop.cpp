#include "main/ControlLoop.h"

#include "recorder/Recorder.h"

void controlLoop(std::shared_ptr<Recorder> recorder, platform::LineReader& input) {
  std::string line;
  for (;;) {
    platform::LineReader::Status status = input.readLine(line, kMaxControlLineBytes);
    if (status == platform::LineReader::Status::endOfInput) {
      recorder->stop("parentExited", false);
      return;
    }
    if (status == platform::LineReader::Status::tooLong) continue;
    const std::string command = trimControlLine(line);
    if (command == "pause") {
      recorder->pause();
    } else if (command == "resume") {
      recorder->resume();
    } else if (command == "stop") {
      recorder->stop("user", false);
    } else if (command == "cancel") {
      recorder->stop("cancel", true);
    }
  }
}
