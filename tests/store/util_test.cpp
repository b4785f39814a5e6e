#include "store/store.h"

#include <gtest/gtest.h>

#include <array>
#include <cstring>

namespace {

using Bytes = std::array<uint8_t, 8>;

// Runs hexChar2Hex on a destination pre-filled with 0xEE, so that bytes
// left alone show.
Bytes convert(const char *text, int *count)
{
    Bytes bytes;
    bytes.fill(0xEE);
    *count = hexChar2Hex(text, bytes.data());
    return bytes;
}

TEST(HexChar2Hex, TwelveDigitsGiveSixBytesHighDigitFirst)
{
    int count = 0;
    Bytes bytes = convert("0123456789AB", &count);
    EXPECT_EQ(count, 6);
    EXPECT_EQ(bytes, (Bytes{0x01, 0x23, 0x45, 0x67, 0x89, 0xAB, 0xEE, 0xEE}));
}

TEST(HexChar2Hex, LowerUpperAndMixedCaseAgree)
{
    int upper = 0, lower = 0, mixed = 0;
    Bytes fromUpper = convert("A0B1C2D3E4F5", &upper);
    Bytes fromLower = convert("a0b1c2d3e4f5", &lower);
    Bytes fromMixed = convert("A0b1C2d3e4F5", &mixed);
    EXPECT_EQ(upper, 6);
    EXPECT_EQ(lower, 6);
    EXPECT_EQ(mixed, 6);
    EXPECT_EQ(fromUpper, (Bytes{0xA0, 0xB1, 0xC2, 0xD3, 0xE4, 0xF5, 0xEE, 0xEE}));
    EXPECT_EQ(fromLower, fromUpper);
    EXPECT_EQ(fromMixed, fromUpper);
}

TEST(HexChar2Hex, NonHexLowDigitKeepsThePreviousLowNibble)
{
    int count = 0;
    Bytes bytes = convert("123Z", &count);
    EXPECT_EQ(count, 2);
    EXPECT_EQ(bytes[0], 0x12);
    EXPECT_EQ(bytes[1], 0x32);
    EXPECT_EQ(bytes[2], 0xEE);
}

TEST(HexChar2Hex, NonHexHighDigitKeepsThePreviousHighNibble)
{
    int count = 0;
    Bytes bytes = convert("12Z4", &count);
    EXPECT_EQ(count, 2);
    EXPECT_EQ(bytes[0], 0x12);
    EXPECT_EQ(bytes[1], 0x14);
}

TEST(HexChar2Hex, NonHexInTheFirstPairGivesNibbleZero)
{
    int count = 0;
    Bytes bytes = convert("Z1G-", &count);
    EXPECT_EQ(count, 2);
    EXPECT_EQ(bytes[0], 0x01);
    EXPECT_EQ(bytes[1], 0x01);
    bytes = convert("zz", &count);
    EXPECT_EQ(count, 1);
    EXPECT_EQ(bytes[0], 0x00);
}

TEST(HexChar2Hex, OddLastCharacterIsIgnored)
{
    int count = 0;
    Bytes bytes = convert("ABC", &count);
    EXPECT_EQ(count, 1);
    EXPECT_EQ(bytes[0], 0xAB);
    EXPECT_EQ(bytes[1], 0xEE);
    bytes = convert("0123456789ABF", &count);
    EXPECT_EQ(count, 6);
    EXPECT_EQ(bytes, (Bytes{0x01, 0x23, 0x45, 0x67, 0x89, 0xAB, 0xEE, 0xEE}));
}

TEST(HexChar2Hex, EmptyTextWritesNothing)
{
    int count = -1;
    Bytes bytes = convert("", &count);
    EXPECT_EQ(count, 0);
    Bytes untouched;
    untouched.fill(0xEE);
    EXPECT_EQ(bytes, untouched);
    bytes = convert("7", &count);
    EXPECT_EQ(count, 0);
    EXPECT_EQ(bytes, untouched);
}

} // namespace
