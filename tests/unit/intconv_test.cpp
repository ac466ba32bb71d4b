#include "common/Errors.h"
#include "common/IntConv.h"

#include <gtest/gtest.h>

using norvik::StrToInt;

TEST(StrToInt, AcceptsDecimalSignsAndDollarHex)
{
    EXPECT_EQ(StrToInt(std::string("1001")), 1001);
    EXPECT_EQ(StrToInt(std::string("-20")), -20);
    EXPECT_EQ(StrToInt(std::string("+7")), 7);
    EXPECT_EQ(StrToInt(std::string("$1F")), 31);
    EXPECT_EQ(StrToInt(std::string("$ff")), 255);
    EXPECT_EQ(StrToInt(std::string("0x10")), 16);
    EXPECT_EQ(StrToInt(std::string("  12")), 12);
    EXPECT_EQ(StrToInt(std::string("2147483647")), 2147483647);
    EXPECT_EQ(StrToInt(std::string("-2147483648")), -2147483647 - 1);
    EXPECT_EQ(StrToInt(std::string("$FFFFFFFF")), -1);
}

TEST(StrToInt, RefusesAnythingElseWithTheConversionMessage)
{
    for (const char *bad : {"", " ", "12 ", "abc", "1a", "$", "-", "$G1", "2147483648", "1.5", "$1FFFFFFFF"}) {
        try {
            StrToInt(std::string(bad));
            ADD_FAILURE() << "accepted '" << bad << "'";
        } catch (const norvik::EConvertError &e) {
            EXPECT_EQ(std::string(e.what()), std::string("'") + bad + "' is not a valid integer value");
        }
    }
}
