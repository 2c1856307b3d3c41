#include "sampledata.h"

#include <gtest/gtest.h>

using namespace idcard::sample;

// Check characters worked out by hand: sum of digit x weight (7 9 10 5 8 4 2 1 6 3 7 9 10 5 8 4 2),
// sum mod 11 indexes "10X98765432".
TEST(IdNumber, CheckCharacterOnHandWorkedVectors)
{
    // 7+9+0+5+0+20+2+9+24+27+7+18+30+5+0+0+4 = 167, 167 mod 11 = 2 -> X
    EXPECT_EQ(idCheckCharacter(u"11010519491231002"), QChar('X'));
    // 28+36+0+25+16+16+2+8+48+0+0+9+0+5+0+0+2 = 195, mod 11 = 8 -> 4
    EXPECT_EQ(idCheckCharacter(u"44052418800101001"), QChar('4'));
    // 7+27+0+20+0+8+2+9+54+0+0+27+0+35+0+0+8 = 197, mod 11 = 10 -> 2
    EXPECT_EQ(idCheckCharacter(u"13040219900307004"), QChar('2'));
    // 197 - 8 + 10 = 199, mod 11 = 1 -> 0
    EXPECT_EQ(idCheckCharacter(u"13040219900307005"), QChar('0'));
    // 197 - 8 + 4*1 + 8*2 = 209, mod 11 = 0 -> 1
    EXPECT_EQ(idCheckCharacter(u"13040219900307018"), QChar('1'));
}

TEST(IdNumber, CheckCharacterRejectsMalformedInput)
{
    EXPECT_TRUE(idCheckCharacter(u"1101051949123100").isNull());   // 16 digits
    EXPECT_TRUE(idCheckCharacter(u"110105194912310021").isNull()); // 18
    EXPECT_TRUE(idCheckCharacter(u"1101051949123100A").isNull());
    EXPECT_TRUE(idCheckCharacter(u"１１０１０５１９４９１２３１００２").isNull()); // full-width digits
}

TEST(IdNumber, Validation)
{
    EXPECT_TRUE(isValidIdNumber(u"11010519491231002X"));
    EXPECT_TRUE(isValidIdNumber(u"130402199003070181"));
    EXPECT_FALSE(isValidIdNumber(u"11010519491231002x")); // the reader writes upper case
    EXPECT_FALSE(isValidIdNumber(u"110105194912310021")); // wrong check character
    EXPECT_FALSE(isValidIdNumber(u"11010519491231002"));  // too short
    // 1990-02-30 does not exist; check character made to match so only the date can fail:
    // 7+27+0+20+0+8+2+9+54+0+0+18+30+0+0+0+2 = 177, mod 11 = 1 -> 0
    EXPECT_EQ(idCheckCharacter(u"13040219900230001"), QChar('0'));
    EXPECT_FALSE(isValidIdNumber(u"130402199002300010"));
}
