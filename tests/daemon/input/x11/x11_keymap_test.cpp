// SPDX-License-Identifier: MIT
#include "input/linux/keysyms.h"

#include <gtest/gtest.h>
#include <map>
#include <xkbcommon/xkbcommon-keysyms.h>

namespace pointrelay::input {
namespace {

// One table serves every Linux route: a wrong or shared entry types the wrong key everywhere.
TEST(KeyTable, EveryKeyItsOwnKeysymCommandIsControlControlsAreNotTyped) {
    std::map<Keysym, uint16_t> owner;
    for (uint16_t virtualKey = 0; virtualKey < 0x80; ++virtualKey) {
        const Keysym keysym = keysymForVirtualKey(virtualKey);
        if (keysym != 0 && virtualKey != 0x36 && virtualKey != 0x37) {
            EXPECT_TRUE(owner.emplace(keysym, virtualKey).second)
                << "keys " << owner[keysym] << " and " << virtualKey << " share a keysym";
        }
    }
    EXPECT_EQ(keysymForVirtualKey(0x37), keysymForVirtualKey(0x3B));
    for (uint16_t unmapped : {0x0A, 0x34, 0x3F, 0x80})
        EXPECT_EQ(keysymForVirtualKey(unmapped), 0u) << unmapped;
    EXPECT_EQ(modifiersForFlags(flags::kCommand | flags::kControl | flags::kFn),
              std::vector<Keysym>{XKB_KEY_Control_L});
    EXPECT_EQ(keysymForCodePoint(U'\n'), Keysym(XKB_KEY_Return));
    EXPECT_EQ(keysymForCodePoint(U'\u00E9'), 0xE9u);
    EXPECT_EQ(keysymForCodePoint(U'\u2713'), 0x1002713u);
    for (char32_t untypeable : {0x07u, 0x7Fu, 0x85u, 0xD800u, 0x110000u})
        EXPECT_EQ(keysymForCodePoint(untypeable), 0u) << uint32_t(untypeable);
}

} // namespace
} // namespace pointrelay::input
