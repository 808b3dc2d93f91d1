// The window-property reader: reads properties of one window in one batch
// (all requests sent before the first reply is awaited) and interprets the
// ones the backend needs (text, cardinals, atoms, WM_CLASS).
#pragma once

#include "platform/x11/Connection.h"

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace platform::x11 {

// A property's raw value.
struct Property {
  xcb_atom_t type = XCB_ATOM_NONE;
  uint8_t format = 0;  // 8, 16 or 32
  std::vector<uint8_t> bytes;

  // 32-bit items (CARDINAL, ATOM, WINDOW); empty unless format is 32.
  std::vector<uint32_t> items32() const;
  std::optional<uint32_t> first32() const;
};

// Reads `properties` of `window`; an entry is absent when the window has no
// such property (or is gone). At most `maxBytes` of each are read.
std::vector<std::optional<Property>> readProperties(const Connection& connection, xcb_window_t window,
                                                    std::span<const xcb_atom_t> properties,
                                                    uint32_t maxBytes = 64 * 1024);

std::optional<Property> readProperty(const Connection& connection, xcb_window_t window, xcb_atom_t property,
                                     uint32_t maxBytes = 64 * 1024);

// The text of a text property (UTF8_STRING, STRING or COMPOUND_TEXT) as valid
// UTF-8; absent for other types.
std::optional<std::string> propertyText(const Connection& connection, const Property& property);

// The class part of a WM_CLASS value ("instance\0class\0"); absent when empty.
std::optional<std::string> wmClassClass(const Property& wmClass);

}  // namespace platform::x11
