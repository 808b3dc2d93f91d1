// The click and key handlers of input capture, and the naming of keys.
#include "input/ClicksAndKeys.h"

#include "recorder/Recorder.h"

#include <unicase.h>

#include <array>
#include <cstdlib>
#include <utility>

namespace {

constexpr std::array<std::pair<uint16_t, const char*>, 14> kKeyNames{{
    {36, "Enter"},
    {48, "Tab"},
    {49, "Space"},
    {51, "Backspace"},
    {53, "Escape"},
    {115, "Home"},
    {116, "PageUp"},
    {117, "Delete"},
    {119, "End"},
    {121, "PageDown"},
    {123, "ArrowLeft"},
    {124, "ArrowRight"},
    {125, "ArrowDown"},
    {126, "ArrowUp"},
}};

constexpr std::array<std::pair<uint64_t, const char*>, 4> kModifierNames{{
    {platform::ModifierFlags::command, "Meta"},
    {platform::ModifierFlags::control, "Control"},
    {platform::ModifierFlags::option, "Alt"},
    {platform::ModifierFlags::shift, "Shift"},
}};

// Full Unicode upper-casing; text that is not valid UTF-8 is kept as it is.
std::string upperCased(const std::string& text) {
  size_t length = 0;
  uint8_t* upper = u8_toupper(reinterpret_cast<const uint8_t*>(text.data()), text.size(), "", nullptr, nullptr,
                              &length);
  if (!upper) return text;
  std::string result(reinterpret_cast<const char*>(upper), length);
  std::free(upper);
  return result;
}

}  // namespace

std::string keyName(const platform::KeyEvent& event) {
  for (const auto& [code, name] : kKeyNames) {
    if (code == event.keyCode) return name;
  }
  if (!event.charactersIgnoringModifiers) return "";
  return upperCased(*event.charactersIgnoringModifiers);
}

std::vector<std::string> modifierNames(uint64_t flags) {
  std::vector<std::string> names;
  for (const auto& [flag, name] : kModifierNames) {
    if (flags & flag) names.emplace_back(name);
  }
  return names;
}

void Recorder::handleClick(const platform::MouseEvent& event) {
  auto ms = relMs(hostNow());
  if (!ms || !clicks) return;
  const platform::Point p = mouseGlobalTopLeft();
  const bool down =
      event.type == platform::MouseEventType::leftMouseDown || event.type == platform::MouseEventType::rightMouseDown;
  const bool right =
      event.type == platform::MouseEventType::rightMouseDown || event.type == platform::MouseEventType::rightMouseUp;
  const platform::Point r = toRegion(p);
  clicks->write({{"t", precise(*ms)},
                 {"x", r.x},
                 {"y", r.y},
                 {"type", down ? "mouseDown" : "mouseUp"},
                 {"button", right ? "right" : "left"},
                 {"cursor", currentCursorId()}});
}

void Recorder::handleKey(const platform::KeyEvent& event) {
  auto ms = relMs(hostNow());
  if (!ms || !keys) return;
  keys->write({{"t", precise(*ms)},
               {"key", keyName(event)},
               {"modifiers", modifierNames(event.modifierFlags)},
               {"isRepeat", event.isARepeat}});
}
