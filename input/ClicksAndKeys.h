// Naming of keys and modifiers in the keystroke log.
#pragma once

#include "platform/InputEvents.h"

#include <cstdint>
#include <string>
#include <vector>

// The name of the key of a key-down event: the name of its key code when the
// code is one of the named keys (Return "Enter", Tab, Space, Backspace,
// Escape, Home, PageUp, Delete, End, PageDown, the four arrows), otherwise
// the characters the key produces ignoring modifiers, upper-cased, or the
// empty string when it produces none.
//
// Upper-casing is Unicode's full, language-independent mapping ("ß" gives
// "SS"), done by GNU libunistring.
std::string keyName(const platform::KeyEvent& event);

// The modifiers set in `flags`, in the order Meta (Command), Control, Alt
// (Option), Shift; other flags are left out.
std::vector<std::string> modifierNames(uint64_t flags);
