// Turns raw key presses into key events the way a focused application would
// see them: the virtual key code, the characters the key produces with Shift
// as the only modifier under the active layout, the modifier flags of the
// modifier keys held, and whether the press repeats a key already down.
//
// The translator tracks which keys are down from the presses and releases it
// is given; it never talks to the X server. Not thread-safe: one thread (the
// raw-input reader) owns it.
#pragma once

#include "platform/InputEvents.h"

#include <xkbcommon/xkbcommon.h>

#include <bitset>
#include <cstdint>
#include <optional>

namespace platform::xinput {

// Virtual key codes of keys that have no code of their own in the key-code
// table are this base plus the X key code, so they never collide with it.
constexpr uint16_t kUntabledKeyCodeBase = 0x100;

class KeyTranslator {
 public:
  KeyTranslator() = default;
  ~KeyTranslator();
  KeyTranslator(const KeyTranslator&) = delete;
  KeyTranslator& operator=(const KeyTranslator&) = delete;

  // Takes a reference to `keymap` (it may be null: then every key is unknown
  // and produces no characters). The keys down are kept.
  void setKeymap(xkb_keymap* keymap);
  // The effective layout group of the keyboard.
  void setLayout(xkb_layout_index_t layout) { layout_ = layout; }
  // Replaces the set of keys down (bit n = key code n), e.g. from the
  // server's key map at start.
  void setKeysDown(const std::bitset<256>& down) { down_ = down; }

  // A press of `key`. Returns the key event, or nothing for a modifier key
  // (Shift, Control, Alt, Super, the lock and level keys), which produces no
  // key-down of its own. A press of a key already down is a repeat.
  std::optional<KeyEvent> press(xkb_keycode_t key);
  // An automatic repeat of the held `key`: the event a press would give,
  // marked as a repeat, without changing the keys down.
  std::optional<KeyEvent> repeat(xkb_keycode_t key);
  void release(xkb_keycode_t key);

  // The modifier flags of the modifier keys now down.
  uint64_t modifierFlags() const;
  bool isDown(xkb_keycode_t key) const { return key < 256 && down_.test(key); }

  // The virtual key code of `key` under the current layout.
  uint16_t virtualKeyCode(xkb_keycode_t key) const;

 private:
  xkb_keysym_t baseKeysym(xkb_keycode_t key) const;
  std::optional<KeyEvent> event(xkb_keycode_t key, bool isRepeat);

  xkb_keymap* keymap_ = nullptr;
  xkb_state* shiftOnly_ = nullptr;  // scratch state: Shift or nothing, current layout
  xkb_mod_mask_t shiftMask_ = 0;
  xkb_layout_index_t layout_ = 0;
  std::bitset<256> down_;
};

}  // namespace platform::xinput
