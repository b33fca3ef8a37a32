// The common-dialog error table: cancel shows nothing, known codes their own string, the
// rest "Unknown error.".
#include <gtest/gtest.h>

#include "shell/dialog_errors.h"

TEST(DialogErrors, MapsEveryCodeOfTheTable)
{
    EXPECT_EQ(dialogErrorStringId(0), 0);
    EXPECT_EQ(dialogErrorStringId(0xFFFF), 1);
    for (uint32_t code = 1; code <= 0x0B; ++code)
        EXPECT_EQ(dialogErrorStringId(code), static_cast<int>(code) + 1);
    for (uint32_t code = 0x1001; code <= 0x100B; ++code)
        EXPECT_EQ(dialogErrorStringId(code), static_cast<int>(code - 0x1001) + 13);
    EXPECT_EQ(dialogErrorStringId(0x2001), 24);
    EXPECT_EQ(dialogErrorStringId(0x3001), 25);
    EXPECT_EQ(dialogErrorStringId(0x3002), 26);
    EXPECT_EQ(dialogErrorStringId(0x3003), 27);
    for (uint32_t code : {0x000Cu, 0x1000u, 0x100Cu, 0x2002u, 0x3004u, 0xFFFEu, 0x10000u})
        EXPECT_EQ(dialogErrorStringId(code), 29) << code;
}
