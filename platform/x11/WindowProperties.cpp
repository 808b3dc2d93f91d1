#include "platform/x11/WindowProperties.h"

#include "platform/x11/TextEncoding.h"

#include <cstring>
#include <string_view>

namespace platform::x11 {

std::vector<uint32_t> Property::items32() const {
  std::vector<uint32_t> items;
  if (format != 32 || bytes.size() < 4) return items;  // an empty list has no data to copy
  items.resize(bytes.size() / 4);
  std::memcpy(items.data(), bytes.data(), items.size() * 4);
  return items;
}

std::optional<uint32_t> Property::first32() const {
  if (format != 32 || bytes.size() < 4) return std::nullopt;
  uint32_t value = 0;
  std::memcpy(&value, bytes.data(), 4);
  return value;
}

namespace {

std::optional<Property> takeReply(const Connection& connection, xcb_get_property_cookie_t cookie) {
  Reply<xcb_get_property_reply_t> reply(xcb_get_property_reply(connection.get(), cookie, nullptr));
  if (!reply || reply->type == XCB_ATOM_NONE) return std::nullopt;
  Property property;
  property.type = reply->type;
  property.format = reply->format;
  const auto* data = static_cast<const uint8_t*>(xcb_get_property_value(reply.get()));
  const int length = xcb_get_property_value_length(reply.get());
  property.bytes.assign(data, data + (length > 0 ? length : 0));
  return property;
}

}  // namespace

std::vector<std::optional<Property>> readProperties(const Connection& connection, xcb_window_t window,
                                                    std::span<const xcb_atom_t> properties, uint32_t maxBytes) {
  std::vector<xcb_get_property_cookie_t> cookies;
  cookies.reserve(properties.size());
  for (xcb_atom_t atom : properties) {
    cookies.push_back(
        xcb_get_property(connection.get(), 0, window, atom, XCB_GET_PROPERTY_TYPE_ANY, 0, (maxBytes + 3) / 4));
  }
  std::vector<std::optional<Property>> values;
  values.reserve(cookies.size());
  for (xcb_get_property_cookie_t cookie : cookies) values.push_back(takeReply(connection, cookie));
  return values;
}

std::optional<Property> readProperty(const Connection& connection, xcb_window_t window, xcb_atom_t property,
                                     uint32_t maxBytes) {
  return readProperties(connection, window, std::span<const xcb_atom_t>(&property, 1), maxBytes).front();
}

std::optional<std::string> propertyText(const Connection& connection, const Property& property) {
  if (property.format != 8) return std::nullopt;
  const std::string_view bytes(reinterpret_cast<const char*>(property.bytes.data()), property.bytes.size());
  const AtomCache& atoms = connection.atoms();
  if (property.type == atoms[Atom::UTF8_STRING]) return decodeText(bytes, TextEncoding::utf8);
  if (property.type == XCB_ATOM_STRING) return decodeText(bytes, TextEncoding::latin1);
  if (property.type == atoms[Atom::COMPOUND_TEXT]) return decodeText(bytes, TextEncoding::compoundText);
  return std::nullopt;
}

std::optional<std::string> wmClassClass(const Property& wmClass) {
  if (wmClass.format != 8) return std::nullopt;
  const std::string_view all(reinterpret_cast<const char*>(wmClass.bytes.data()), wmClass.bytes.size());
  const size_t end = all.find('\0');
  if (end == std::string_view::npos) return std::nullopt;
  std::string_view cls = all.substr(end + 1);
  if (const size_t nul = cls.find('\0'); nul != std::string_view::npos) cls = cls.substr(0, nul);
  if (cls.empty()) return std::nullopt;
  // WM_CLASS is a STRING property: Latin-1.
  return decodeText(cls, TextEncoding::latin1);
}

}  // namespace platform::x11
