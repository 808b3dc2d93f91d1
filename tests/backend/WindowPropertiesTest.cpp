// A window property's raw bytes as lists of 32-bit items: an empty list (a
// window manager's client list with no client) and a cut-off last item are
// read without touching memory that is not there.
#include "platform/x11/WindowProperties.h"

#include <gtest/gtest.h>

#include <cstring>

namespace backend_tests {
namespace {

using platform::x11::Property;

Property property(uint8_t format, std::vector<uint32_t> items, size_t extraBytes = 0) {
  Property p;
  p.format = format;
  p.bytes.resize(items.size() * 4 + extraBytes, 0xAB);
  if (!items.empty()) std::memcpy(p.bytes.data(), items.data(), items.size() * 4);
  return p;
}

TEST(WindowProperties, ItemsAreWholeThirtyTwoBitValuesOnly) {
  struct Case {
    const char* name;
    Property property;
    std::vector<uint32_t> items;
    std::optional<uint32_t> first;
  };
  const Case cases[] = {
      {"empty list", property(32, {}), {}, std::nullopt},
      {"two items", property(32, {7, 0x12345678}), {7, 0x12345678}, 7},
      {"last item cut off", property(32, {9}, 2), {9}, 9},
      {"only a cut-off item", property(32, {}, 3), {}, std::nullopt},
      {"eight-bit text", property(8, {1, 2}), {}, std::nullopt},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(c.property.items32(), c.items);
    EXPECT_EQ(c.property.first32(), c.first);
  }
}

}  // namespace
}  // namespace backend_tests
