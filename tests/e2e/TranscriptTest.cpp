// The examples of docs/protocol.md are transcripts (docs/transcripts/*.txt):
// what a host writes and what the agent answers, line by line. Each one is
// replayed here against the built program on a private virtual desktop, so
// an example that stops being true fails; and the examples printed in
// docs/protocol.md must be the transcript files word for word.
//
// Transcript lines:
//   # …                     a comment
//   desktop: audio          the desktop gets an audio server (default: none)
//   $ tesmar-recorder ARGS  starts the program with ARGS
//   > LINE                  the host writes LINE and a line feed
//   < LINE                  the agent's next line; JSON is compared by value,
//                           with <number>, <string>, <boolean>, <object>,
//                           <array> and <any> matching any value of that kind
//   close                   the host closes the agent's standard input
//   signal TERM             the host sends SIGTERM
//   exit N                  the output ends here and the exit status is N
//   present PATH / absent PATH   a file or folder exists, or does not
// $DIR stands for a new output folder (it does not exist beforehand).
#include "Recording.h"
#include "support/ScriptedPlatform.h"

#include <csignal>
#include <fstream>
#include <regex>
#include <sstream>

namespace e2e_tests {
namespace {

const fs::path kTranscripts = fs::path(TESMAR_SOURCE_DIR) / "docs" / "transcripts";

std::vector<std::string> transcriptNames() {
  std::vector<std::string> names;
  std::error_code error;
  for (const auto& entry : fs::directory_iterator(kTranscripts, error)) {
    if (entry.path().extension() == ".txt") names.push_back(entry.path().stem().string());
  }
  std::sort(names.begin(), names.end());
  return names;
}

std::string readText(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

std::string replaceAll(std::string text, const std::string& from, const std::string& to) {
  for (size_t at = text.find(from); at != std::string::npos; at = text.find(from, at + to.size()))
    text.replace(at, from.size(), to);
  return text;
}

// Placeholders become marked strings before the expected line is parsed.
constexpr const char* kMark = "\x01placeholder:";
const char* const kKinds[] = {"number", "string", "boolean", "object", "array", "any"};

json parseExpected(const std::string& line) {
  std::string text = line;
  for (const char* kind : kKinds)
    text = replaceAll(text, std::string("<") + kind + ">", std::string("\"\\u0001placeholder:") + kind + "\"");
  return json::parse(text, nullptr, false);
}

// Where `actual` differs from `expected` (with placeholders), or "".
std::string difference(const json& expected, const json& actual, const std::string& where) {
  if (expected.is_string() && expected.get<std::string>().rfind(kMark, 0) == 0) {
    const std::string kind = expected.get<std::string>().substr(std::string(kMark).size());
    const bool fits = kind == "any" || (kind == "number" && actual.is_number()) ||
                      (kind == "string" && actual.is_string()) || (kind == "boolean" && actual.is_boolean()) ||
                      (kind == "object" && actual.is_object()) || (kind == "array" && actual.is_array());
    return fits ? "" : where + ": expected <" + kind + ">, got " + actual.dump();
  }
  if (expected.is_object()) {
    if (!actual.is_object()) return where + ": expected an object, got " + actual.dump();
    for (const auto& [key, value] : expected.items()) {
      if (!actual.contains(key)) return where + ": member \"" + key + "\" is missing";
      if (std::string d = difference(value, actual[key], where + "." + key); !d.empty()) return d;
    }
    for (const auto& [key, value] : actual.items()) {
      if (!expected.contains(key)) return where + ": unexpected member \"" + key + "\": " + value.dump();
    }
    return "";
  }
  if (expected.is_array()) {
    if (!actual.is_array() || actual.size() != expected.size())
      return where + ": expected " + expected.dump() + ", got " + actual.dump();
    for (size_t i = 0; i < expected.size(); ++i) {
      if (std::string d = difference(expected[i], actual[i], where + "[" + std::to_string(i) + "]"); !d.empty()) return d;
    }
    return "";
  }
  if (expected.is_number() && actual.is_number())
    return expected.get<double>() == actual.get<double>() ? "" : where + ": expected " + expected.dump() + ", got " + actual.dump();
  return expected == actual ? "" : where + ": expected " + expected.dump() + ", got " + actual.dump();
}

class Transcript : public ::testing::TestWithParam<std::string> {
 protected:
  void TearDown() override {
    agent_.reset();
    desktop_.reset();
    if (!dir_.empty()) fs::remove_all(dir_.parent_path());
  }

  std::unique_ptr<VirtualDesktop> desktop_;
  std::optional<HostProcess> agent_;
  fs::path dir_;
};

TEST_P(Transcript, AgentAnswersLineByLine) {
  const std::string text = readText(kTranscripts / (GetParam() + ".txt"));
  ASSERT_FALSE(text.empty());
  dir_ = fs::path(testing_support::temporaryPath("transcript")) / "rec";
  fs::create_directories(dir_.parent_path());
  const bool audio = text.find("\ndesktop: audio\n") != std::string::npos;
  desktop_ = std::make_unique<VirtualDesktop>(VirtualDesktop::Options{.audio = audio, .microphone = audio});

  std::istringstream lines(text);
  int number = 0;
  for (std::string line; std::getline(lines, line);) {
    ++number;
    SCOPED_TRACE(GetParam() + ".txt:" + std::to_string(number) + ": " + line);
    line = replaceAll(line, "$DIR", dir_.string());
    if (line.empty() || line[0] == '#' || line.rfind("desktop:", 0) == 0) continue;
    if (line.rfind("$ tesmar-recorder", 0) == 0) {
      std::vector<std::string> arguments;
      std::istringstream words(line.substr(std::string("$ tesmar-recorder").size()));
      for (std::string word; words >> word;) arguments.push_back(word);
      agent_.emplace(HostProcess::spawn(TESMAR_BINARY, arguments, desktop_->environment()));
      continue;
    }
    ASSERT_TRUE(agent_) << "the transcript starts no program";
    if (line.rfind("> ", 0) == 0 || line == ">") {
      agent_->writeLine(line.size() > 2 ? line.substr(2) : "");
    } else if (line.rfind("< ", 0) == 0) {
      const std::string expected = line.substr(2);
      const std::optional<std::string> actual = agent_->readLine(30s);
      ASSERT_TRUE(actual) << "the agent wrote nothing more";
      if (expected.rfind("{", 0) != 0) {
        EXPECT_EQ(*actual, expected);
        continue;
      }
      const json want = parseExpected(expected);
      ASSERT_FALSE(want.is_discarded()) << "the transcript's line is not JSON";
      const json got = json::parse(*actual, nullptr, false);
      ASSERT_FALSE(got.is_discarded()) << "the agent wrote a line that is not JSON: " << *actual;
      EXPECT_EQ(difference(want, got, "line"), "") << *actual;
    } else if (line == "close") {
      agent_->closeInput();
    } else if (line == "signal TERM") {
      agent_->signal(SIGTERM);
    } else if (line.rfind("exit ", 0) == 0) {
      testing_support::expectNoMoreOutput(*agent_);
      EXPECT_EQ(agent_->wait(), std::optional<int>(std::stoi(line.substr(5))));
    } else if (line.rfind("present ", 0) == 0) {
      EXPECT_TRUE(fs::exists(line.substr(8)));
    } else if (line.rfind("absent ", 0) == 0) {
      EXPECT_FALSE(fs::exists(line.substr(7)));
    } else {
      FAIL() << "unknown transcript line";
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Docs, Transcript, ::testing::ValuesIn(transcriptNames()),
                         [](const ::testing::TestParamInfo<std::string>& testCase) {
                           return std::regex_replace(testCase.param, std::regex("[^A-Za-z0-9]"), "_");
                         });

// Every example in docs/protocol.md is marked with the transcript it shows
// and is that file word for word; every transcript is shown.
TEST(ProtocolReference, PrintsEachTranscriptAsItIs) {
  const std::string doc = readText(fs::path(TESMAR_SOURCE_DIR) / "docs" / "protocol.md");
  ASSERT_FALSE(doc.empty());
  const std::regex example("<!-- transcript: ([a-z0-9-]+) -->\n```text\n([\\s\\S]*?)```\n");
  std::set<std::string> shown;
  for (auto it = std::sregex_iterator(doc.begin(), doc.end(), example); it != std::sregex_iterator(); ++it) {
    const std::string name = (*it)[1];
    SCOPED_TRACE(name);
    shown.insert(name);
    EXPECT_EQ((*it)[2].str(), readText(kTranscripts / (name + ".txt")));
  }
  const std::vector<std::string> names = transcriptNames();
  EXPECT_EQ(shown, std::set<std::string>(names.begin(), names.end()));
}

}  // namespace
}  // namespace e2e_tests
