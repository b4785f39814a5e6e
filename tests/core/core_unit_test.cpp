// Unit tests of the daemon core's text handling: trimming and parsing of the
// device-control bit strings, and the block slice of the card loop.
#include "core/core.h"
#include "core/state.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

namespace
{

std::string trimmed(std::string text)
{
    std::vector<char> buffer(text.begin(), text.end());
    buffer.push_back('\0');
    trim(buffer.data());
    return buffer.data();
}

// Drops whatever request an earlier test left pending.
void clearPending()
{
    ControlRequest ignored{};
    while (takeControlRequest(&ignored)) {
    }
}

struct Parsed {
    bool accepted = false;
    bool pending = false;
    ControlRequest request{};
};

Parsed parse(const std::string &text)
{
    clearPending();
    std::vector<char> buffer(text.begin(), text.end());
    buffer.push_back('\0');
    Parsed parsed;
    parsed.accepted = parse_cmd(buffer.data()) == 0;
    parsed.pending = takeControlRequest(&parsed.request);
    return parsed;
}

void expectRequest(const std::string &text, int form, int relay, int buzzer, int light1, int light2)
{
    SCOPED_TRACE("command \"" + text + "\"");
    Parsed parsed = parse(text);
    ASSERT_TRUE(parsed.accepted);
    ASSERT_TRUE(parsed.pending);
    EXPECT_EQ(parsed.request.form, form);
    EXPECT_EQ(parsed.request.relay, relay);
    EXPECT_EQ(parsed.request.buzzer, buzzer);
    EXPECT_EQ(parsed.request.light1, light1);
    EXPECT_EQ(parsed.request.light2, light2);
    EXPECT_EQ(opt.load(), OPT_READ);
}

void expectRefused(const std::string &text)
{
    SCOPED_TRACE("command \"" + text + "\"");
    Parsed parsed = parse(text);
    EXPECT_FALSE(parsed.accepted);
    EXPECT_FALSE(parsed.pending);
}

std::string slice(const char *block, int first, int last, size_t size = 32)
{
    std::vector<char> buffer(size + 8, '#');
    int count = cutBlockSlice(block, first, last, buffer.data(), size);
    // Nothing beyond the given size is touched.
    for (size_t i = size; i < buffer.size(); ++i)
        EXPECT_EQ(buffer[i], '#') << "byte " << i << " written";
    std::string text = size > 0 ? std::string(buffer.data()) : std::string();
    EXPECT_EQ(static_cast<int>(text.size()), count);
    return text;
}

const char *const BLOCK = "000102030405060708090A0B0C0D0E0F";

} // namespace

TEST(Trim, RemovesTrailingSpacesAndLineEnds)
{
    EXPECT_EQ(trimmed("010001\r\n"), "010001");
    EXPECT_EQ(trimmed("010001 \r\n \n"), "010001");
    EXPECT_EQ(trimmed("\r\n"), "");
    EXPECT_EQ(trimmed("   "), "");
    EXPECT_EQ(trimmed(""), "");
}

TEST(Trim, LeavesLeadingCharactersAndTabs)
{
    EXPECT_EQ(trimmed(" 010001"), " 010001");
    EXPECT_EQ(trimmed("010001\t"), "010001\t");
    EXPECT_EQ(trimmed("010001\t \r\n"), "010001\t");
    EXPECT_EQ(trimmed("01 0001 "), "01 0001");
}

TEST(Trim, StopsAtTheStartOfTheText)
{
    // The byte before the text must never be looked at or cleared.
    char buffer[] = {'x', ' ', '\r', '\n', '\0'};
    trim(buffer + 1);
    EXPECT_EQ(buffer[0], 'x');
    EXPECT_EQ(buffer[1], '\0');
}

TEST(ParseCmd, ShortCommandGivesRelayAndBuzzer)
{
    expectRequest("010001\r\n", 1, 2, 1, 0, 0);
    expectRequest("000000", 1, 0, 0, 0, 0);
    expectRequest("111111", 1, 7, 7, 0, 0);
    expectRequest("100011", 1, 4, 3, 0, 0);
}

TEST(ParseCmd, LongCommandGivesAllFourValues)
{
    expectRequest("111111111111", 2, 7, 7, 7, 7);
    expectRequest("001010011100", 2, 1, 2, 3, 4);
    expectRequest("101110111000\n", 2, 5, 6, 7, 0);
}

TEST(ParseCmd, LeadingLGivesTensExceptForTheFirstLight)
{
    expectRequest("L010001", 1, 20, 10, 0, 0);
    expectRequest("L111111", 1, 70, 70, 0, 0);
    expectRequest("L010001101011", 2, 20, 10, 5, 30);
    expectRequest("L111111111111 \r\n", 2, 70, 70, 7, 70);
}

TEST(ParseCmd, RefusesEverythingElse)
{
    expectRefused("l010001");
    expectRefused("01000");
    expectRefused("0100011");
    expectRefused("010201");
    expectRefused(" 010001");
    expectRefused("010001\t");
    expectRefused("010001\r\n000000\r\n");
    expectRefused("010");
    expectRefused("001");
    expectRefused("\r\n");
    expectRefused("");
    expectRefused("L");
    expectRefused("L01000");
    expectRefused("L0100011");
    expectRefused("LL010001");
    expectRefused("0100010100011");
    expectRefused("01000101000");
}

TEST(ParseCmd, RefusedTextLeavesAPendingRequestAlone)
{
    clearPending();
    char first[] = "010001";
    ASSERT_EQ(parse_cmd(first), 0);
    char refused[] = "0102";
    EXPECT_EQ(parse_cmd(refused), -1);
    ControlRequest request{};
    ASSERT_TRUE(takeControlRequest(&request));
    EXPECT_EQ(request.relay, 2);
    EXPECT_EQ(request.buzzer, 1);
}

TEST(ParseCmd, LaterRequestReplacesAPendingOne)
{
    clearPending();
    char first[] = "010001";
    char second[] = "L111111111111";
    ASSERT_EQ(parse_cmd(first), 0);
    ASSERT_EQ(parse_cmd(second), 0);
    ControlRequest request{};
    ASSERT_TRUE(takeControlRequest(&request));
    EXPECT_EQ(request.form, 2);
    EXPECT_EQ(request.relay, 70);
    EXPECT_EQ(request.light1, 7);
    EXPECT_FALSE(takeControlRequest(&request));
}

TEST(ParseCmd, LongReadOfJunkIsRefusedWithinItsBuffer)
{
    clearPending();
    std::vector<char> text(1025, '1');
    text[1024] = '\0';
    EXPECT_EQ(parse_cmd(text.data()), -1);
    ControlRequest request{};
    EXPECT_FALSE(takeControlRequest(&request));
}

TEST(BlockSlice, CutsTheGivenPositions)
{
    EXPECT_EQ(slice(BLOCK, 3, 6), "0102");
    EXPECT_EQ(slice(BLOCK, 1, 8), "00010203");
    EXPECT_EQ(slice(BLOCK, 5, 5), "0");
    EXPECT_EQ(slice(BLOCK, 32, 32), "F");
    EXPECT_EQ(slice(BLOCK, 2, 32), "00102030405060708090A0B0C0D0E0F");
}

TEST(BlockSlice, EmptyWhenFirstIsZeroOrLastBeforeFirst)
{
    EXPECT_EQ(slice(BLOCK, 0, 6), "");
    EXPECT_EQ(slice(BLOCK, 6, 3), "");
    EXPECT_EQ(slice(BLOCK, 0, 0), "");
    EXPECT_EQ(slice(BLOCK, -1, 4), "");
}

TEST(BlockSlice, LastBeyondTheBlockIsClampedToItsEnd)
{
    EXPECT_EQ(slice(BLOCK, 30, 40), "E0F");
    EXPECT_EQ(slice(BLOCK, 30, 255), "E0F");
    EXPECT_EQ(slice(BLOCK, 33, 40), "");
    EXPECT_EQ(slice(BLOCK, 40, 50), "");
    EXPECT_EQ(slice(BLOCK, 255, 255), "");
}

TEST(BlockSlice, AtMost31Characters)
{
    EXPECT_EQ(slice(BLOCK, 1, 32), "000102030405060708090A0B0C0D0E0");
    EXPECT_EQ(slice(BLOCK, 1, 40), "000102030405060708090A0B0C0D0E0");
    EXPECT_EQ(slice(BLOCK, 1, 31), "000102030405060708090A0B0C0D0E0");
}

TEST(BlockSlice, NeverReadsPastAShortBlockText)
{
    EXPECT_EQ(slice("0A0B", 1, 8), "0A0B");
    EXPECT_EQ(slice("0A0B", 5, 8), "");
    EXPECT_EQ(slice("", 1, 8), "");
}

TEST(BlockSlice, NeverWritesPastTheSlice)
{
    EXPECT_EQ(slice(BLOCK, 1, 32, 5), "0001");
    EXPECT_EQ(slice(BLOCK, 3, 6, 1), "");
    char untouched = '#';
    EXPECT_EQ(cutBlockSlice(BLOCK, 1, 8, &untouched, 0), 0);
    EXPECT_EQ(untouched, '#');
}
