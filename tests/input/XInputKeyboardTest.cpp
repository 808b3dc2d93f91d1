// The X11 keyboard pieces of the input monitors, on keymaps compiled from
// the system's keyboard descriptions (no X server needed).
#include "platform/xinput/AutoRepeat.h"
#include "platform/xinput/CursorReader.h"
#include "platform/xinput/KeyTranslator.h"

#include <gtest/gtest.h>

#include <memory>

namespace input_tests {
namespace {

using platform::xinput::AutoRepeat;
using platform::xinput::KeyTranslator;
namespace flags = platform::ModifierFlags;

struct KeymapDeleter {
  void operator()(xkb_keymap* k) const { xkb_keymap_unref(k); }
};

// A translator on the evdev keymap of `layouts` (comma-separated).
class Keyboard {
 public:
  explicit Keyboard(const char* layouts) {
    xkb_context* context = xkb_context_new(XKB_CONTEXT_NO_FLAGS);
    xkb_rule_names names{"evdev", "pc105", layouts, "", ""};
    keymap_.reset(xkb_keymap_new_from_names(context, &names, XKB_KEYMAP_COMPILE_NO_FLAGS));
    xkb_context_unref(context);
    if (keymap_) translator.setKeymap(keymap_.get());
  }
  bool ok() const { return keymap_ != nullptr; }
  // The key code of an XKB key name ("AC01" is the A key of a US keyboard).
  xkb_keycode_t code(const char* name) const { return xkb_keymap_key_by_name(keymap_.get(), name); }
  // The bit of a real modifier ("Mod2") as the server reports it.
  xkb_mod_mask_t realModifier(const char* name) const {
    return xkb_mod_mask_t{1} << xkb_keymap_mod_get_index(keymap_.get(), name);
  }
  std::optional<platform::KeyEvent> press(const char* name) { return translator.press(code(name)); }
  void release(const char* name) { translator.release(code(name)); }

  KeyTranslator translator;

 private:
  std::unique_ptr<xkb_keymap, KeymapDeleter> keymap_;
};

TEST(KeyTranslator, GivesTheNamedKeysTheirCodesAndOtherKeysCodesOutsideTheTable) {
  Keyboard kb("us");
  ASSERT_TRUE(kb.ok());
  const std::pair<const char*, uint16_t> named[] = {
      {"RTRN", 36}, {"TAB", 48},  {"SPCE", 49}, {"BKSP", 51}, {"ESC", 53},  {"KPEN", 76},  {"HOME", 115}, {"PGUP", 116},
      {"DELE", 117}, {"END", 119}, {"PGDN", 121}, {"LEFT", 123}, {"RGHT", 124}, {"DOWN", 125}, {"UP", 126},
  };
  for (const auto& [name, code] : named) EXPECT_EQ(kb.translator.virtualKeyCode(kb.code(name)), code) << name;

  const uint16_t table[] = {36, 48, 49, 51, 53, 76, 115, 116, 117, 119, 121, 123, 124, 125, 126};
  for (const char* name : {"AC01", "AE01", "FK01", "KP5", "KPAD", "INS"}) {
    const uint16_t code = kb.translator.virtualKeyCode(kb.code(name));
    EXPECT_EQ(std::count(std::begin(table), std::end(table), code), 0) << name << " got " << code;
  }
  EXPECT_NE(kb.translator.virtualKeyCode(kb.code("AC01")), kb.translator.virtualKeyCode(kb.code("AC02")));
}

TEST(KeyTranslator, CharactersFollowShiftAndTheLayoutButNoOtherModifier) {
  Keyboard kb("us,ru");
  ASSERT_TRUE(kb.ok());
  struct Case {
    std::vector<const char*> held;
    xkb_layout_index_t layout;
    const char* key;
    std::optional<std::string> characters;
    uint64_t flags;
  };
  const Case cases[] = {
      {{}, 0, "AC01", "a", 0},
      {{"LFSH"}, 0, "AC01", "A", flags::shift},
      {{"RTSH"}, 0, "AE01", "!", flags::shift},
      {{"LCTL"}, 0, "AC01", "a", flags::control},
      {{"LCTL", "LFSH"}, 0, "AB01", "Z", flags::control | flags::shift},
      {{"LWIN", "LCTL", "LALT", "LFSH"}, 0, "AC01", "A", flags::command | flags::control | flags::option | flags::shift},
      {{}, 1, "AC01", "\xd1\x84", 0},  // ф on the second layout
      {{"LFSH"}, 1, "AC01", "\xd0\xa4", flags::shift},
      {{}, 0, "KPEN", "\r", 0},
      {{}, 0, "FK01", std::nullopt, 0},
  };
  for (const Case& c : cases) {
    kb.translator.setLayout(c.layout);
    for (const char* m : c.held) EXPECT_EQ(kb.press(m), std::nullopt) << m << " is a modifier key";
    auto event = kb.press(c.key);
    ASSERT_TRUE(event) << c.key;
    EXPECT_EQ(event->charactersIgnoringModifiers, c.characters) << c.key;
    EXPECT_EQ(event->modifierFlags, c.flags) << c.key;
    EXPECT_FALSE(event->isARepeat);
    kb.release(c.key);
    for (const char* m : c.held) kb.release(m);
    EXPECT_EQ(kb.translator.modifierFlags(), 0u);
  }
}

TEST(KeyTranslator, KeypadKeysAreDigitsWithNumLockAndNavigationKeysWithout) {
  Keyboard kb("us");
  ASSERT_TRUE(kb.ok());
  const xkb_mod_mask_t numLock = kb.realModifier("Mod2");  // where the keymap puts NumLock
  constexpr std::optional<uint16_t> untabled;
  struct Case {
    bool numLock;
    bool shift;
    const char* key;
    std::optional<uint16_t> code;  // nothing: a code outside the table
    std::optional<std::string> characters;
  };
  const Case cases[] = {
      {true, false, "KP1", untabled, "1"},       {true, false, "KP7", untabled, "7"},
      {true, false, "KP0", untabled, "0"},       {true, false, "KP5", untabled, "5"},
      {true, false, "KPDL", untabled, "."},      {false, false, "KP1", 119, std::nullopt},  // KP_End
      {false, false, "KP7", 115, std::nullopt},  {false, false, "KP9", 116, std::nullopt},
      {false, false, "KP3", 121, std::nullopt},  {false, false, "KP4", 123, std::nullopt},
      {false, false, "KP6", 124, std::nullopt},  {false, false, "KP2", 125, std::nullopt},
      {false, false, "KP8", 126, std::nullopt},  {false, false, "KPDL", 117, std::nullopt},
      {false, false, "KP5", untabled, std::nullopt},  // KP_Begin: no key of the table
      {false, false, "KP0", untabled, std::nullopt},  // KP_Insert
      {true, true, "KP1", 119, std::nullopt},    // as the keymap says: Shift undoes NumLock ...
      {false, true, "KP1", 119, std::nullopt},   // ... and alone leaves the navigation key
      {true, false, "KPAD", untabled, "+"},      {false, false, "KPAD", untabled, "+"},
      {true, false, "KPEN", 76, "\r"},           {false, false, "KPEN", 76, "\r"},
      {true, false, "AC01", untabled, "a"},      {true, false, "HOME", 115, std::nullopt},
  };
  for (const Case& c : cases) {
    kb.translator.setLockedModifiers(c.numLock ? numLock : 0);
    if (c.shift) kb.press("LFSH");
    auto event = kb.press(c.key);
    ASSERT_TRUE(event) << c.key;
    const std::string label = std::string(c.key) + (c.numLock ? " with NumLock" : "") + (c.shift ? " with Shift" : "");
    if (c.code) {
      EXPECT_EQ(event->keyCode, *c.code) << label;
    } else {
      EXPECT_GE(event->keyCode, platform::xinput::kUntabledKeyCodeBase) << label;
    }
    EXPECT_EQ(event->charactersIgnoringModifiers, c.characters) << label;
    EXPECT_EQ(event->modifierFlags, c.shift ? flags::shift : 0u) << label << ": NumLock is no modifier";
    kb.release(c.key);
    if (c.shift) kb.release("LFSH");
  }
  // Other locks (Caps Lock) leave the keypad as it is.
  kb.translator.setLockedModifiers(kb.realModifier("Lock"));
  EXPECT_EQ(kb.press("KP1")->keyCode, 119);
}

TEST(KeyTranslator, GermanSharpSIsItsOwnCharacter) {
  Keyboard kb("de");
  ASSERT_TRUE(kb.ok());
  auto event = kb.press("AE11");
  ASSERT_TRUE(event);
  EXPECT_EQ(event->charactersIgnoringModifiers, "\xc3\x9f");
}

TEST(KeyTranslator, PressOfAKeyAlreadyDownAndAutomaticRepeatsAreRepeats) {
  Keyboard kb("us");
  ASSERT_TRUE(kb.ok());
  EXPECT_FALSE(kb.press("AC01")->isARepeat);
  EXPECT_TRUE(kb.press("AC01")->isARepeat);
  EXPECT_TRUE(kb.translator.repeat(kb.code("AC01"))->isARepeat);
  kb.release("AC01");
  EXPECT_FALSE(kb.press("AC01")->isARepeat);

  // Keys found down at start count as held.
  std::bitset<256> down;
  down.set(kb.code("LCTL"));
  kb.translator.setKeysDown(down);
  EXPECT_EQ(kb.press("AC02")->modifierFlags, flags::control);
}

TEST(AutoRepeat, RepeatsTheLastRepeatingKeyAfterTheDelayThenEveryIntervalUntilReleased) {
  using namespace std::chrono_literals;
  AutoRepeat repeat;
  AutoRepeat::Settings settings;
  settings.enabled = true;
  settings.delay = 500ms;
  settings.interval = 40ms;
  settings.keys.set(38).set(56);  // 50 (a modifier) does not repeat
  repeat.setSettings(settings);
  const auto t = AutoRepeat::Clock::time_point{} + 1h;

  EXPECT_EQ(repeat.nextDue(), std::nullopt);
  repeat.press(38, t);
  EXPECT_EQ(repeat.nextDue(), t + 500ms);
  EXPECT_EQ(repeat.take(t + 499ms), std::nullopt);
  EXPECT_EQ(repeat.take(t + 500ms), 38u);
  EXPECT_EQ(repeat.take(t + 520ms), std::nullopt);
  EXPECT_EQ(repeat.take(t + 540ms), 38u);

  repeat.press(50, t + 550ms);  // a key that does not repeat leaves the repeat going
  EXPECT_EQ(repeat.take(t + 580ms), 38u);
  repeat.press(56, t + 600ms);  // another repeating key takes over, after the delay
  EXPECT_EQ(repeat.take(t + 1000ms), std::nullopt);
  repeat.release(38);
  EXPECT_EQ(repeat.take(t + 1100ms), 56u);
  repeat.release(56);
  EXPECT_EQ(repeat.nextDue(), std::nullopt);

  settings.enabled = false;
  repeat.setSettings(settings);
  repeat.press(38, t);
  EXPECT_EQ(repeat.take(t + 2s), std::nullopt);
}

TEST(CursorPixels, PremultipliedArgbBecomesStraightRgba) {
  const std::pair<uint32_t, std::array<uint8_t, 4>> cases[] = {
      {0xff112233, {0x11, 0x22, 0x33, 0xff}},
      {0x80404000, {0x80, 0x80, 0x00, 0x80}},
      {0x00ffffff, {0, 0, 0, 0}},               // transparent: no colour
      {0x10ff0000, {0xff, 0x00, 0x00, 0x10}},   // colour above alpha saturates
      {0x03010203, {0x55, 0xaa, 0xff, 0x03}},
  };
  std::vector<uint32_t> argb;
  for (const auto& c : cases) argb.push_back(c.first);
  std::vector<uint8_t> rgba(argb.size() * 4);
  platform::xinput::straightenCursorPixels(argb.data(), argb.size(), rgba.data());
  for (size_t i = 0; i < std::size(cases); ++i) {
    EXPECT_EQ((std::array<uint8_t, 4>{rgba[i * 4], rgba[i * 4 + 1], rgba[i * 4 + 2], rgba[i * 4 + 3]}), cases[i].second)
        << std::hex << cases[i].first;
  }
}

}  // namespace
}  // namespace input_tests
