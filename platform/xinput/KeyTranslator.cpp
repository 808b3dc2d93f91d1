#include "platform/xinput/KeyTranslator.h"

#include <xkbcommon/xkbcommon-keysyms.h>

#include <array>
#include <utility>

namespace platform::xinput {
namespace {

// Keys with a virtual key code of their own, by the symbol the key produces.
// The keypad's Enter keeps its own code; the keypad's navigation symbols
// (what its digit keys give with NumLock off) are the navigation keys.
constexpr std::array<std::pair<xkb_keysym_t, uint16_t>, 24> kKeyCodes{{
    {XKB_KEY_Return, 36},
    {XKB_KEY_Tab, 48},
    {XKB_KEY_space, 49},
    {XKB_KEY_BackSpace, 51},
    {XKB_KEY_Escape, 53},
    {XKB_KEY_KP_Enter, 76},
    {XKB_KEY_Home, 115},
    {XKB_KEY_Prior, 116},
    {XKB_KEY_Delete, 117},
    {XKB_KEY_End, 119},
    {XKB_KEY_Next, 121},
    {XKB_KEY_Left, 123},
    {XKB_KEY_Right, 124},
    {XKB_KEY_Down, 125},
    {XKB_KEY_Up, 126},
    {XKB_KEY_KP_Home, 115},
    {XKB_KEY_KP_Prior, 116},
    {XKB_KEY_KP_Delete, 117},
    {XKB_KEY_KP_End, 119},
    {XKB_KEY_KP_Next, 121},
    {XKB_KEY_KP_Left, 123},
    {XKB_KEY_KP_Right, 124},
    {XKB_KEY_KP_Down, 125},
    {XKB_KEY_KP_Up, 126},
}};

// The keypad's symbols: which one a keypad key gives depends on NumLock
// (and Shift), so for them the symbol produced, not the base one, decides.
bool isKeypadSymbol(xkb_keysym_t sym) { return sym >= XKB_KEY_KP_Space && sym <= XKB_KEY_KP_Equal; }

// The flag a held modifier key sets: Super is Command, Alt (and Meta, which
// X keymaps put on the Alt keys) is Option.
uint64_t modifierFlag(xkb_keysym_t sym) {
  switch (sym) {
    case XKB_KEY_Shift_L:
    case XKB_KEY_Shift_R:
      return ModifierFlags::shift;
    case XKB_KEY_Control_L:
    case XKB_KEY_Control_R:
      return ModifierFlags::control;
    case XKB_KEY_Alt_L:
    case XKB_KEY_Alt_R:
    case XKB_KEY_Meta_L:
    case XKB_KEY_Meta_R:
      return ModifierFlags::option;
    case XKB_KEY_Super_L:
    case XKB_KEY_Super_R:
      return ModifierFlags::command;
    default:
      return 0;
  }
}

// Modifier, lock and level keys (Xlib's IsModifierKey): they change the
// state of the keyboard and produce no key-down of their own.
bool isModifierKey(xkb_keysym_t sym) {
  return (sym >= XKB_KEY_Shift_L && sym <= XKB_KEY_Hyper_R) ||
         (sym >= XKB_KEY_ISO_Lock && sym <= XKB_KEY_ISO_Level5_Lock) || sym == XKB_KEY_Mode_switch ||
         sym == XKB_KEY_Num_Lock;
}

}  // namespace

KeyTranslator::~KeyTranslator() { setKeymap(nullptr); }

void KeyTranslator::setKeymap(xkb_keymap* keymap) {
  if (levels_) xkb_state_unref(levels_);
  if (keymap_) xkb_keymap_unref(keymap_);
  keymap_ = keymap ? xkb_keymap_ref(keymap) : nullptr;
  levels_ = keymap ? xkb_state_new(keymap) : nullptr;
  shiftMask_ = 0;
  numLockMask_ = 0;
  if (keymap) {
    xkb_mod_index_t shift = xkb_keymap_mod_get_index(keymap, XKB_MOD_NAME_SHIFT);
    if (shift != XKB_MOD_INVALID) shiftMask_ = xkb_mod_mask_t{1} << shift;
    // NumLock is a virtual modifier; the keymap maps it onto a real one
    // (usually Mod2), which is what the server reports as locked.
    xkb_mod_index_t numLock = xkb_keymap_mod_get_index(keymap, "NumLock");
    if (numLock != XKB_MOD_INVALID) {
      xkb_state_update_mask(levels_, 0, 0, xkb_mod_mask_t{1} << numLock, 0, 0, 0);
      numLockMask_ = xkb_state_serialize_mods(levels_, XKB_STATE_MODS_LOCKED);
    }
  }
}

void KeyTranslator::selectLevels(bool shift) const {
  constexpr xkb_mod_mask_t kRealModifiers = 0xff;
  const bool numLock = (locked_ & numLockMask_ & kRealModifiers) != 0;
  xkb_state_update_mask(levels_, shift ? shiftMask_ : 0, 0, numLock ? numLockMask_ : 0, 0, 0, layout_);
}

xkb_keysym_t KeyTranslator::baseKeysym(xkb_keycode_t key) const {
  if (!keymap_) return XKB_KEY_NoSymbol;
  const xkb_keysym_t* syms = nullptr;
  xkb_layout_index_t layouts = xkb_keymap_num_layouts_for_key(keymap_, key);
  xkb_layout_index_t layout = layouts == 0 ? 0 : layout_ % layouts;
  int n = xkb_keymap_key_get_syms_by_level(keymap_, key, layout, 0, &syms);
  return n >= 1 ? syms[0] : XKB_KEY_NoSymbol;
}

uint16_t KeyTranslator::virtualKeyCode(xkb_keycode_t key, bool shift) const {
  xkb_keysym_t sym = baseKeysym(key);
  if (levels_ && isKeypadSymbol(sym)) {
    selectLevels(shift);
    sym = xkb_state_key_get_one_sym(levels_, key);
  }
  for (const auto& [keysym, code] : kKeyCodes) {
    if (keysym == sym) return code;
  }
  return static_cast<uint16_t>(kUntabledKeyCodeBase + (key & 0xff));
}

uint64_t KeyTranslator::modifierFlags() const {
  uint64_t flags = 0;
  if (down_.none()) return flags;
  for (xkb_keycode_t key = 0; key < 256; ++key) {
    if (down_.test(key)) flags |= modifierFlag(baseKeysym(key));
  }
  return flags;
}

std::optional<KeyEvent> KeyTranslator::event(xkb_keycode_t key, bool isRepeat) {
  if (isModifierKey(baseKeysym(key))) return std::nullopt;
  KeyEvent ev;
  ev.modifierFlags = modifierFlags();
  const bool shift = (ev.modifierFlags & ModifierFlags::shift) != 0;
  ev.keyCode = virtualKeyCode(key, shift);
  ev.isARepeat = isRepeat;
  if (levels_) {
    selectLevels(shift);
    char text[64];
    int n = xkb_state_key_get_utf8(levels_, key, text, sizeof text);
    if (n > 0 && static_cast<size_t>(n) < sizeof text) ev.charactersIgnoringModifiers = std::string(text, n);
  }
  return ev;
}

std::optional<KeyEvent> KeyTranslator::press(xkb_keycode_t key) {
  if (key >= 256) return std::nullopt;
  const bool wasDown = down_.test(key);
  down_.set(key);
  return event(key, wasDown);
}

std::optional<KeyEvent> KeyTranslator::repeat(xkb_keycode_t key) {
  if (key >= 256) return std::nullopt;
  return event(key, true);
}

void KeyTranslator::release(xkb_keycode_t key) {
  if (key < 256) down_.reset(key);
}

}  // namespace platform::xinput
