// Turns raw key presses into key events the way a focused application would
// see them: the virtual key code, the characters the key produces with Shift
// as the only modifier under the active layout, the modifier flags of the
// modifier keys held, and whether the press repeats a key already down.
//
// NumLock is not a modifier but the keypad's mode, and it counts: with it
// on, the keypad's digit keys give their digits ("1", no code of their own);
// with it off, they are the navigation keys they are labelled with (KP_End
// is End, 119). Shift acts on them as the keymap says (on a PC keymap it
// undoes NumLock).
//
// The translator tracks which keys are down from the presses and releases it
// is given, and is told the layout and the locked modifiers; it never talks
// to the X server. Not thread-safe: one thread (the raw-input reader) owns
// it.
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
  // The locked modifiers as the server reports them (real modifier bits);
  // only NumLock is taken from them.
  void setLockedModifiers(xkb_mod_mask_t locked) { locked_ = locked; }
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

  // The virtual key code of `key` under the current layout and NumLock
  // state, with Shift held or not. A keypad key goes by the symbol it
  // produces; every other key by the symbol it produces without modifiers
  // (Shift+Tab is still Tab).
  uint16_t virtualKeyCode(xkb_keycode_t key, bool shift = false) const;

 private:
  xkb_keysym_t baseKeysym(xkb_keycode_t key) const;
  // Puts levels_ in the current layout with NumLock as locked and Shift as
  // given, nothing else.
  void selectLevels(bool shift) const;
  std::optional<KeyEvent> event(xkb_keycode_t key, bool isRepeat);

  xkb_keymap* keymap_ = nullptr;
  xkb_state* levels_ = nullptr;  // scratch state, see selectLevels()
  xkb_mod_mask_t shiftMask_ = 0;
  xkb_mod_mask_t numLockMask_ = 0;  // NumLock and the real modifier it is mapped to
  xkb_mod_mask_t locked_ = 0;       // as the server reports them
  xkb_layout_index_t layout_ = 0;
  std::bitset<256> down_;
};

}  // namespace platform::xinput
