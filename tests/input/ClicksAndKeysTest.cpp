#include "RecorderFixture.h"
#include "input/ClicksAndKeys.h"

namespace input_tests {
namespace {

using nlohmann::json;
using platform::ModifierFlags::command;
using platform::ModifierFlags::control;
using platform::ModifierFlags::option;
using platform::ModifierFlags::shift;

platform::KeyEvent key(uint16_t code, std::optional<std::string> characters, uint64_t flags = 0,
                       bool isRepeat = false) {
  platform::KeyEvent event;
  event.keyCode = code;
  event.charactersIgnoringModifiers = std::move(characters);
  event.modifierFlags = flags;
  event.isARepeat = isRepeat;
  return event;
}

struct KeyNameCase {
  uint16_t code;
  std::optional<std::string> characters;
  std::string name;
};

TEST(KeyName, NamesTableKeysByCodeAndOtherKeysByTheirUpperCasedCharacters) {
  const KeyNameCase cases[] = {
      {36, "\r", "Enter"},       {48, "\t", "Tab"},          {49, " ", "Space"},
      {51, "\b", "Backspace"},   {53, "\x1b", "Escape"},     {115, std::nullopt, "Home"},
      {116, std::nullopt, "PageUp"}, {117, "\x7f", "Delete"}, {119, std::nullopt, "End"},
      {121, std::nullopt, "PageDown"}, {123, std::nullopt, "ArrowLeft"}, {124, std::nullopt, "ArrowRight"},
      {125, std::nullopt, "ArrowDown"}, {126, std::nullopt, "ArrowUp"},
      // The keypad's Enter is not the Return key: named by its character.
      {76, "\r", "\r"},
      {0x126, "a", "A"},         {0x126, "A", "A"},          {0x10a, "!", "!"},
      {0x114, "\xc3\x9f", "SS"},        // ß: full upper-casing
      {0x122, "\xc3\xa9", "\xc3\x89"},  // é → É
      {0x12c, "\xd1\x84", "\xd0\xa4"},  // ф → Ф
      {0x143, std::nullopt, ""},  {0x143, "", ""},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(keyName(key(c.code, c.characters)), c.name) << "code " << c.code;
  }
}

TEST(ModifierNames, ListsMetaControlAltShiftInThatOrderAndNothingElse) {
  const std::pair<uint64_t, std::vector<std::string>> cases[] = {
      {0, {}},
      {shift | control, {"Control", "Shift"}},
      {command | shift, {"Meta", "Shift"}},
      {shift | option | control | command, {"Meta", "Control", "Alt", "Shift"}},
      {option | 0x10000 /* caps lock */ | 0x800000 /* function */, {"Alt"}},
  };
  for (const auto& [flags, names] : cases) EXPECT_EQ(modifierNames(flags), names) << std::hex << flags;
}

class ClicksAndKeysTest : public RecorderFixture {
 protected:
  void SetUp() override {
    RecorderFixture::SetUp();
    access().region().origin = {100, 50};
    pointAt(130, 90);
    input->show(cursorImage(16, 1));
  }
};

TEST_F(ClicksAndKeysTest, ClickRecordsTypeButtonPositionAndCursor) {
  using platform::MouseEventType;
  access().setClock(10.0);
  const std::tuple<MouseEventType, const char*, const char*> cases[] = {
      {MouseEventType::leftMouseDown, "mouseDown", "left"},
      {MouseEventType::leftMouseUp, "mouseUp", "left"},
      {MouseEventType::rightMouseDown, "mouseDown", "right"},
      {MouseEventType::rightMouseUp, "mouseUp", "right"},
  };
  clock->set(10.25);
  for (const auto& [type, typeName, button] : cases) recorder->handleClick(platform::MouseEvent{type});

  const auto records = log("mouse-clicks.ndjson");
  ASSERT_EQ(records.size(), std::size(cases));
  for (size_t i = 0; i < records.size(); ++i) {
    EXPECT_EQ(records[i], (json{{"t", 250.0}, {"x", 30.0}, {"y", 40.0}, {"type", std::get<1>(cases[i])},
                                {"button", std::get<2>(cases[i])}, {"cursor", "cursor-0"}}));
  }
  // A click is not a pointer move.
  EXPECT_EQ(access().lastMouse(), (platform::Point{-1, -1}));
}

TEST_F(ClicksAndKeysTest, KeyRecordsNameModifiersAndRepeat) {
  access().setClock(10.0);
  clock->set(10.5);
  recorder->handleKey(key(0x134, "z", control | shift));
  clock->set(10.75);
  recorder->handleKey(key(0x126, "a", 0, true));

  EXPECT_EQ(log("keystrokes.ndjson"),
            (std::vector<json>{
                {{"t", 500.0}, {"key", "Z"}, {"modifiers", {"Control", "Shift"}}, {"isRepeat", false}},
                {{"t", 750.0}, {"key", "A"}, {"modifiers", json::array()}, {"isRepeat", true}},
            }));
}

// Nor once a stop has fixed the duration: a record after it would lie
// beyond the end of the recording.
TEST_F(ClicksAndKeysTest, NothingIsLoggedBeforeTheFirstFrameWhilePausedOrOnceStopping) {
  struct Clock {
    std::optional<double> t0;
    std::optional<double> pausedAt;
    bool stopping;
  };
  const Clock clocks[] = {{std::nullopt, std::nullopt, false}, {10.0, 10.2, false}, {10.0, std::nullopt, true}};
  clock->set(10.5);
  for (const auto& [t0, pausedAt, stopping] : clocks) {
    access().setClock(t0, pausedAt, 0, stopping);
    recorder->handleClick(platform::MouseEvent{platform::MouseEventType::leftMouseDown});
    recorder->handleKey(key(0x126, "a"));
  }
  EXPECT_TRUE(log("mouse-clicks.ndjson").empty());
  EXPECT_TRUE(log("keystrokes.ndjson").empty());
}

}  // namespace
}  // namespace input_tests
