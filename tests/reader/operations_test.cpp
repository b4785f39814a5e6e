// The reader operations against the reader-module simulator (rfid-sim) on a
// pseudo-terminal: what they send, what they make of the replies, and how
// they fail when the module or the line misbehaves.
#include "tests/reader/reader_test_util.h"

#include <gtest/gtest.h>
#include <signal.h>

#include <cstring>

using namespace readertest;

namespace
{

const char BLOCK_HEX[] = "000102030405060708090A0B0C0D0E0F";
const uint8_t KEY[6] = {0xA1, 0xA2, 0xA3, 0xA4, 0xA5, 0xA6};
const char KEY_HEX[] = "A1A2A3A4A5A6";

struct Read {
    int result;
    std::string card;
    std::string block;
    std::string printed;
};

Read readUid(Sim &sim)
{
    char card[64];
    memset(card, 'x', sizeof card);
    card[63] = '\0';
    Capture out(1);
    int result = getReaderUid(sim.line, card);
    std::string printed = out.finish();
    return {result, card, "", printed};
}

Read readUidData(Sim &sim, uint8_t keyCode, uint8_t block, const uint8_t key[6])
{
    char card[64];
    char blockText[64];
    memset(card, 'x', sizeof card);
    memset(blockText, 'y', sizeof blockText);
    card[63] = '\0';
    blockText[63] = '\0';
    Capture out(1);
    int result = getReaderUidData(sim.line, keyCode, block, key, card, blockText);
    std::string printed = out.finish();
    return {result, card, blockText, printed};
}

const std::string UNTOUCHED_CARD(63, 'x');
const std::string UNTOUCHED_BLOCK(63, 'y');

// --- reading a UID (0x95) ---

TEST(GetReaderUid, FourByteUid)
{
    Sim sim;
    ASSERT_TRUE(startSim(sim, {"--no-pace", "--card", "12345678,ms=60000"})) << sim.output();
    Read r = readUid(sim);
    EXPECT_EQ(r.result, 0);
    EXPECT_EQ(r.card, "12345678");
    EXPECT_EQ(r.printed, "12345678\n");
    ASSERT_FALSE(sim.logLines().empty());
    EXPECT_EQ(sim.logLines()[0], "AA 00 01 02 95 01 97 BB");
}

TEST(GetReaderUid, SevenByteUid)
{
    Sim sim;
    ASSERT_TRUE(startSim(sim, {"--no-pace", "--card", "04A1B2C3D4E5F6,ms=60000"})) << sim.output();
    Read r = readUid(sim);
    EXPECT_EQ(r.result, 0);
    EXPECT_EQ(r.card, "04A1B2C3D4E5F6");
    EXPECT_EQ(r.printed, "04A1B2C3D4E5F6\n");
}

TEST(GetReaderUid, LeadingBytesAreNotPartOfTheUid)
{
    Sim sim;
    ASSERT_TRUE(startSim(sim, {"--no-pace", "--card", "0A0B0C0D,lead=FFEEDD,ms=60000"})) << sim.output();
    EXPECT_EQ(readUid(sim).card, "0A0B0C0D");
}

TEST(GetReaderUid, PacedAtNineSixHundred)
{
    // Without --no-pace every reply byte comes about 1 ms after the one
    // before: a reply still arrives in one piece.
    Sim sim;
    ASSERT_TRUE(startSim(sim, {"--card", "04A1B2C3D4E5F6,ms=60000"})) << sim.output();
    for (int i = 0; i < 3; ++i) {
        Read r = readUid(sim);
        EXPECT_EQ(r.result, 0);
        EXPECT_EQ(r.card, "04A1B2C3D4E5F6");
    }
}

TEST(GetReaderUid, NoCardIsAFailureAndPrintsNothing)
{
    Sim sim;
    ASSERT_TRUE(startSim(sim, {"--no-pace", "--gap", "60000"})) << sim.output();
    Read r = readUid(sim);
    EXPECT_EQ(r.result, -1);
    EXPECT_EQ(r.card, UNTOUCHED_CARD);
    EXPECT_EQ(r.printed, "");
}

TEST(GetReaderUid, NoReplyTimesOut)
{
    Sim sim;
    ASSERT_TRUE(startSim(sim, {"--no-pace", "--card", "12345678,ms=60000", "--fault", "noreply@1"}))
        << sim.output();
    long long start = nowMs();
    Read r = readUid(sim);
    long long elapsed = nowMs() - start;
    EXPECT_EQ(r.result, -1);
    EXPECT_EQ(r.card, UNTOUCHED_CARD);
    EXPECT_EQ(r.printed, "Recevice data timeout\n");
    EXPECT_GE(elapsed, 480);
    EXPECT_LT(elapsed, 5000);
    // The module answers again.
    EXPECT_EQ(readUid(sim).card, "12345678");
}

TEST(GetReaderUid, BackToBackPollingLikeTheCardLoop)
{
    // The card loop asks again as soon as an exchange ends; with paced
    // replies and a card coming and going, no reply may be lost or misread.
    Sim sim;
    ASSERT_TRUE(startSim(sim, {"--card", "12345678,ms=60", "--gap", "60", "--loop"})) << sim.output();
    int cards = 0, empty = 0;
    std::string printed;
    for (int i = 0; i < 60; ++i) {
        Read r = readUid(sim);
        printed += r.printed;
        if (r.result == 0) {
            EXPECT_EQ(r.card, "12345678");
            ++cards;
        } else {
            EXPECT_EQ(r.card, UNTOUCHED_CARD);
            ++empty;
        }
    }
    EXPECT_EQ(printed.find("Recevice data timeout"), std::string::npos) << printed;
    EXPECT_GT(cards, 0);
    EXPECT_GT(empty, 0);
    EXPECT_EQ(sim.logLines().size(), 60u);
    for (const std::string &line : sim.logLines())
        EXPECT_EQ(line, "AA 00 01 02 95 01 97 BB");
}

// --- reading a UID and a block (0x98) ---

TEST(GetReaderUidData, FourByteUidIsReversed)
{
    Sim sim;
    ASSERT_TRUE(startSim(sim, {"--no-pace", "--card",
                               std::string("12345678,ms=60000,key=") + KEY_HEX + ",block=4:" + BLOCK_HEX}))
        << sim.output();
    Read r = readUidData(sim, 0x60, 4, KEY);
    EXPECT_EQ(r.result, 0);
    EXPECT_EQ(r.card, "78563412");
    EXPECT_EQ(r.block, BLOCK_HEX);
    EXPECT_EQ(r.printed, "");
    ASSERT_FALSE(sim.logLines().empty());
    // 16 bytes: keyCode, block, key, 01, check byte.
    EXPECT_EQ(sim.logLines()[0], "AA 00 01 0A 98 60 04 A1 A2 A3 A4 A5 A6 01 F1 BB");
}

TEST(GetReaderUidData, SevenByteUidIsReversed)
{
    Sim sim;
    ASSERT_TRUE(startSim(sim, {"--no-pace", "--card",
                               std::string("04A1B2C3D4E5F6,ms=60000,key=") + KEY_HEX +
                                   ",block=9:" + "F0E1D2C3B4A5968778695A4B3C2D1E0F"}))
        << sim.output();
    Read r = readUidData(sim, 0x61, 9, KEY);
    EXPECT_EQ(r.result, 0);
    EXPECT_EQ(r.card, "F6E5D4C3B2A104");
    EXPECT_EQ(r.block, "F0E1D2C3B4A5968778695A4B3C2D1E0F");
    ASSERT_FALSE(sim.logLines().empty());
    EXPECT_EQ(sim.logLines()[0].substr(0, 20), "AA 00 01 0A 98 61 09");
}

TEST(GetReaderUidData, PacedSevenByteReply)
{
    // 33 reply bytes at 9600 bit/s take longer than the 20 ms silence, but
    // never pause that long.
    Sim sim;
    ASSERT_TRUE(startSim(sim, {"--card", std::string("04A1B2C3D4E5F6,ms=60000,key=") + KEY_HEX}))
        << sim.output();
    Read r = readUidData(sim, 0x60, 1, KEY);
    EXPECT_EQ(r.result, 0);
    EXPECT_EQ(r.card, "F6E5D4C3B2A104");
    EXPECT_EQ(r.block, std::string(32, '0'));
}

TEST(GetReaderUidData, KeyMismatchFails)
{
    Sim sim;
    ASSERT_TRUE(startSim(sim, {"--no-pace", "--card", std::string("12345678,ms=60000,key=") + KEY_HEX}))
        << sim.output();
    const uint8_t wrong[6] = {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};
    Read r = readUidData(sim, 0x60, 4, wrong);
    EXPECT_EQ(r.result, -1);
    EXPECT_EQ(r.card, UNTOUCHED_CARD);
    EXPECT_EQ(r.block, UNTOUCHED_BLOCK);
    EXPECT_EQ(r.printed, "");
}

TEST(GetReaderUidData, NoCardFails)
{
    Sim sim;
    ASSERT_TRUE(startSim(sim, {"--no-pace"})) << sim.output();
    Read r = readUidData(sim, 0x60, 4, KEY);
    EXPECT_EQ(r.result, -1);
    EXPECT_EQ(r.card, UNTOUCHED_CARD);
    EXPECT_EQ(r.block, UNTOUCHED_BLOCK);
    EXPECT_EQ(r.printed, "");
}

// --- device control (0x99) ---

TEST(CtrReaderDevice, RequestsOnTheLine)
{
    Sim sim;
    ASSERT_TRUE(startSim(sim, {"--no-pace"})) << sim.output();
    Capture out(1);
    EXPECT_EQ(ctrReaderDevice(sim.line, 0x01, 0x02, 0x03, 0x04), 0);
    EXPECT_EQ(ctrReaderDevRelay(sim.line, 0x01), 0);
    EXPECT_EQ(ctrReaderDevBuzzer(sim.line, 0x02), 0);
    EXPECT_EQ(ctrReaderDevLight(sim.line, 0x01, 0x02), 0);
    EXPECT_EQ(out.finish(), "");
    std::vector<std::string> lines = sim.logLines();
    ASSERT_EQ(lines.size(), 4u);
    EXPECT_EQ(lines[0].substr(0, 26), "AA 00 01 05 99 01 02 03 04");
    EXPECT_EQ(lines[1], "AA 00 01 05 99 01 00 00 00 9C BB");
    EXPECT_EQ(lines[2].substr(0, 26), "AA 00 01 05 99 00 02 00 00");
    EXPECT_EQ(lines[3].substr(0, 26), "AA 00 01 05 99 00 00 01 02");
}

TEST(CtrReaderDevice, FailureStatusShowsTheErrorByte)
{
    Sim sim;
    ASSERT_TRUE(startSim(sim, {"--no-pace", "--fault", "status:83@1"})) << sim.output();
    Capture out(1);
    int result = ctrReaderDevice(sim.line, 1, 0, 0, 0);
    EXPECT_EQ(out.finish(), "Control reader device error: 83\n");
    EXPECT_EQ(result, -1);
    EXPECT_EQ(ctrReaderDevRelay(sim.line, 0), 0); // only the first reply was hit
}

TEST(CtrReaderDevice, NoReplyShowsZero)
{
    Sim sim;
    ASSERT_TRUE(startSim(sim, {"--no-pace", "--fault", "noreply@1"})) << sim.output();
    Capture out(1);
    int result = ctrReaderDevice(sim.line, 1, 0, 0, 0);
    EXPECT_EQ(out.finish(), "Recevice data timeout\nControl reader device error: 00\n");
    EXPECT_EQ(result, -1);
}

TEST(CtrReaderDevice, BadReplyShowsZero)
{
    Sim sim;
    ASSERT_TRUE(startSim(sim, {"--no-pace", "--fault", "bad-check@1"})) << sim.output();
    Capture out(1);
    int result = ctrReaderDevBuzzer(sim.line, 1);
    EXPECT_EQ(out.finish(), "Control reader device error: 00\n");
    EXPECT_EQ(result, -1);
}

// --- faults on the line ---

struct FaultCase {
    const char *fault;
    int expected; // result of the faulty read
};

void PrintTo(const FaultCase &c, std::ostream *os)
{
    *os << c.fault << " -> " << c.expected;
}

class LineFaultKinds : public ::testing::TestWithParam<FaultCase>
{
};

TEST_P(LineFaultKinds, ReadUid)
{
    const FaultCase &c = GetParam();
    Sim sim;
    ASSERT_TRUE(
        startSim(sim, {"--no-pace", "--card", "12345678,ms=60000", "--fault", std::string(c.fault) + "@1"}))
        << sim.output();
    Read r = readUid(sim);
    EXPECT_EQ(r.result, c.expected) << c.fault;
    if (c.expected == 0) {
        EXPECT_EQ(r.card, "12345678");
    } else {
        EXPECT_EQ(r.card, UNTOUCHED_CARD);
        EXPECT_EQ(r.printed, "") << c.fault; // no message of its own
    }
    // Whatever was left on the line, the reader recovers within two passes.
    usleep(200000);
    Read second = readUid(sim);
    if (second.result != 0)
        second = readUid(sim);
    EXPECT_EQ(second.result, 0) << c.fault;
    EXPECT_EQ(second.card, "12345678");
}

INSTANTIATE_TEST_SUITE_P(Sim, LineFaultKinds,
                         ::testing::Values(FaultCase{"stray-before", -1}, FaultCase{"bad-check", -1},
                                           FaultCase{"bad-end", -1}, FaultCase{"split:100", -1},
                                           FaultCase{"stray-after", 0}, FaultCase{"stray-after:20", 0}),
                         [](const ::testing::TestParamInfo<FaultCase> &param) {
                             std::string name;
                             for (const char *p = param.param.fault; *p; ++p)
                                 name += isalnum(static_cast<unsigned char>(*p)) ? *p : '_';
                             return name;
                         });

TEST(LineFaults, SplitReplyLeavesItsTailForTheNextExchange)
{
    Sim sim;
    ASSERT_TRUE(startSim(sim, {"--no-pace", "--card", "12345678,ms=60000", "--fault", "split:100@1"}))
        << sim.output();
    EXPECT_EQ(readUid(sim).result, -1);
    usleep(200000);
    EXPECT_EQ(readUid(sim).result, -1); // starts with the first reply's tail
    EXPECT_EQ(readUid(sim).result, 0);
}

TEST(LineFaults, ReportedAfterTheModuleIsGone)
{
    takeLineFault();
    Sim sim;
    ASSERT_TRUE(startSim(sim, {"--no-pace", "--card", "12345678,ms=60000"})) << sim.output();
    EXPECT_EQ(readUid(sim).result, 0);
    EXPECT_EQ(takeLineFault(), 0);

    harness::stop(sim.process, SIGKILL);
    long long start = nowMs();
    Read r = readUid(sim);
    EXPECT_EQ(r.result, -1);
    EXPECT_LT(nowMs() - start, 5000);
    int fault = takeLineFault();
    EXPECT_NE(fault, 0);
    EXPECT_EQ(takeLineFault(), 0);
}

} // namespace
