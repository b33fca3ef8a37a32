// The password scrubber against what a driver may echo: braced values with } doubled, the
// password in its escaped form, an unclosed brace.
#include <gtest/gtest.h>

#include "central/odbc.h"

TEST(PasswordScrub, BracedValuesToTheirClosingBrace)
{
    EXPECT_EQ(scrubPassword("Uid=a;PWD={a}}b};Server=x", ""), "Uid=a;PWD=***;Server=x");
    EXPECT_EQ(scrubPassword("password={}}}}tail} end", ""), "password=*** end");
    EXPECT_EQ(scrubPassword("PWD={never closed}}", ""), "PWD=***");
    // Known, the password goes in either form, wherever it stands.
    EXPECT_EQ(scrubPassword("connect failed for a}}b and a}b", "a}b"), "connect failed for *** and ***");
    const std::string echoed = withPassword("DSN=line", "x}y;z");
    EXPECT_EQ(scrubPassword(echoed, ""), "DSN=line;PWD=***;");
    EXPECT_EQ(scrubPassword("[driver] " + echoed, "x}y;z").find('y'), std::string::npos);
}
