// tesmar-inspect: checks a recording folder of tesmar-recorder and prints
// what it found; optionally draws a preview of the recording.
//
//   tesmar-inspect DIR [--json] [--preview FILE.png]
//
// Exit status: 0 when every check holds, 1 with the reasons otherwise (a
// folder cut short by a kill included), 2 for a wrong command line or a
// preview that cannot be written.
#include "inspect/Inspect.h"
#include "inspect/Preview.h"

#include <cstdio>
#include <iostream>
#include <optional>
#include <string>

namespace {

constexpr const char* kUsage = "usage: tesmar-inspect DIR [--json] [--preview FILE.png]\n";

struct Arguments {
  std::string folder;
  bool json = false;
  std::optional<std::string> preview;
};

std::optional<Arguments> parse(int argc, char** argv) {
  Arguments arguments;
  for (int i = 1; i < argc; ++i) {
    const std::string word = argv[i];
    if (word == "--json") {
      arguments.json = true;
    } else if (word == "--preview" && i + 1 < argc) {
      arguments.preview = argv[++i];
    } else if (!word.empty() && word[0] != '-' && arguments.folder.empty()) {
      arguments.folder = word;
    } else {
      return std::nullopt;
    }
  }
  if (arguments.folder.empty()) return std::nullopt;
  return arguments;
}

}  // namespace

int main(int argc, char** argv) {
  const std::optional<Arguments> arguments = parse(argc, argv);
  if (!arguments) {
    std::fputs(kUsage, stderr);
    return 2;
  }
  const inspect::Report report = inspect::inspectRecording(arguments->folder);
  if (arguments->json) {
    std::cout << inspect::toJson(report).dump(2) << "\n";
  } else {
    std::cout << inspect::formatText(report);
  }
  if (arguments->preview) {
    std::string error;
    if (!inspect::drawPreview(arguments->folder, report, *arguments->preview, error)) {
      std::fprintf(stderr, "tesmar-inspect: no preview: %s\n", error.c_str());
      return 2;
    }
  }
  return report.ok() ? 0 : 1;
}
