#include "store/store.h"
#include "tests/store/store_test_util.h"

#include "core/state.h"

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <array>
#include <atomic>
#include <climits>
#include <cstring>
#include <thread>

namespace {

using storetest::dumpDatabase;
using storetest::execSql;
using storetest::OutputCapture;
using storetest::queryText;
using storetest::finishesWhileHeld;

class ReaderDb : public storetest::ScratchTest {
protected:
    void SetUp() override
    {
        ScratchTest::SetUp();
        std::string error;
        ASSERT_TRUE(execSql(readerDbFile, storetest::READER_SCHEMA, &error)) << error;
    }

    void setCell(const std::string &assignment, const char *table = "ReaderInfo")
    {
        std::string error;
        ASSERT_TRUE(execSql(readerDbFile, std::string("UPDATE ") + table + " SET " + assignment + " WHERE id=1",
                            &error))
            << error;
    }
};

struct Telegram {
    uint8_t readStyle = 0xEE, keyType = 0xEE;
    std::array<uint8_t, 6> key{0xEE, 0xEE, 0xEE, 0xEE, 0xEE, 0xEE};
    uint8_t block = 0xEE, firstChar = 0xEE, lastChar = 0xEE;
    // A guard right behind the key: a read must never write a seventh byte.
    std::array<uint8_t, 8> guard{0xEE, 0xEE, 0xEE, 0xEE, 0xEE, 0xEE, 0xEE, 0xEE};

    int read() { return readTelegramContent(&readStyle, &keyType, key.data(), &block, &firstChar, &lastChar); }
    bool untouched() const
    {
        Telegram fresh;
        return readStyle == 0xEE && keyType == 0xEE && key == fresh.key && block == 0xEE && firstChar == 0xEE &&
               lastChar == 0xEE;
    }
};

// --- reader id -----------------------------------------------------------------

TEST_F(ReaderDb, DevIdRoundTripsOverTheWholeIntRange)
{
    for (int devId : {0, 1, 123456, -42, INT_MAX, INT_MIN}) {
        ASSERT_EQ(writeDevId(devId), 0);
        EXPECT_EQ(queryText(readerDbFile, "SELECT devId FROM ReaderInfo WHERE id=1"), std::to_string(devId));
        int readBack = 0x5A5A;
        ASSERT_EQ(readDevId(&readBack), 0);
        EXPECT_EQ(readBack, devId);
    }
}

// --- telegram content --------------------------------------------------------------

TEST_F(ReaderDb, TelegramContentRoundTripsWithBytesAbove127)
{
    ASSERT_EQ(writeTelegramContent(200, 1, "0123456789AB", 255, 3, 130), 0);
    // Every byte goes into the statement as 0..255, never as a negative number.
    EXPECT_EQ(queryText(readerDbFile, "SELECT readStyle FROM ReaderInfo"), "200");
    EXPECT_EQ(queryText(readerDbFile, "SELECT block FROM ReaderInfo"), "255");
    EXPECT_EQ(queryText(readerDbFile, "SELECT lastChar FROM ReaderInfo"), "130");
    EXPECT_EQ(queryText(readerDbFile, "SELECT key FROM ReaderInfo"), "0123456789AB");

    Telegram telegram;
    ASSERT_EQ(telegram.read(), 0);
    EXPECT_EQ(telegram.readStyle, 200);
    EXPECT_EQ(telegram.keyType, 1);
    EXPECT_EQ(telegram.key, (std::array<uint8_t, 6>{0x01, 0x23, 0x45, 0x67, 0x89, 0xAB}));
    EXPECT_EQ(telegram.block, 255);
    EXPECT_EQ(telegram.firstChar, 3);
    EXPECT_EQ(telegram.lastChar, 130);
}

TEST_F(ReaderDb, KeyDigitsInAnyCaseGiveTheSameBytes)
{
    const std::array<uint8_t, 6> expected{0xAB, 0xCD, 0xEF, 0x01, 0xA2, 0xFF};
    for (const char *key : {"ABCDEF01A2FF", "abcdef01a2ff", "aBcDeF01A2fF"}) {
        SCOPED_TRACE(key);
        ASSERT_EQ(writeTelegramContent(1, 0, key, 4, 1, 8), 0);
        EXPECT_EQ(queryText(readerDbFile, "SELECT key FROM ReaderInfo"), key); // kept as sent
        Telegram telegram;
        ASSERT_EQ(telegram.read(), 0);
        EXPECT_EQ(telegram.key, expected);
    }
}

TEST_F(ReaderDb, AThirteenthKeyCharacterIsIgnored)
{
    setCell("key='0123456789ABC'");
    Telegram telegram;
    ASSERT_EQ(telegram.read(), 0);
    EXPECT_EQ(telegram.key, (std::array<uint8_t, 6>{0x01, 0x23, 0x45, 0x67, 0x89, 0xAB}));
    EXPECT_EQ(telegram.guard[0], 0xEE);
}

TEST_F(ReaderDb, LongerKeyCellIsRefusedAndNothingIsWritten)
{
    setCell("key='0123456789ABCDEF'");
    Telegram telegram;
    OutputCapture out;
    EXPECT_EQ(telegram.read(), -1);
    EXPECT_NE(out.finish().find("key"), std::string::npos);
    EXPECT_TRUE(telegram.untouched());
    EXPECT_EQ(telegram.guard[0], 0xEE);
}

TEST_F(ReaderDb, ShortKeyCellReplacesOnlyTheLeadingBytes)
{
    setCell("key='1234'");
    Telegram telegram;
    ASSERT_EQ(telegram.read(), 0);
    EXPECT_EQ(telegram.key, (std::array<uint8_t, 6>{0x12, 0x34, 0xEE, 0xEE, 0xEE, 0xEE}));
}

TEST_F(ReaderDb, TelegramBytesKeepTheLowEightBitsOfAtoi)
{
    setCell("readStyle=300, keyType='7abc', block='x', firstChar=' 12', lastChar=-1");
    Telegram telegram;
    ASSERT_EQ(telegram.read(), 0);
    EXPECT_EQ(telegram.readStyle, 44);
    EXPECT_EQ(telegram.keyType, 7);
    EXPECT_EQ(telegram.block, 0);
    EXPECT_EQ(telegram.firstChar, 12);
    EXPECT_EQ(telegram.lastChar, 255);
}

// --- server settings -----------------------------------------------------------------

TEST_F(ReaderDb, ServerSettingsRoundTrip)
{
    ASSERT_EQ(writeServerConfig("10.0.0.5", 9000, 1), 0);
    EXPECT_EQ(queryText(readerDbFile, "SELECT ip || '|' || port || '|' || codeType FROM ServerInfo"),
              "10.0.0.5|9000|1");
    char ip[16];
    memset(ip, 'X', sizeof ip);
    int port = 0, codeType = 0;
    ASSERT_EQ(readServerConfig(ip, &port, &codeType), 0);
    EXPECT_STREQ(ip, "10.0.0.5");
    EXPECT_EQ(port, 9000);
    EXPECT_EQ(codeType, 1);

    ASSERT_EQ(writeServerConfig("255.255.255.255", INT_MAX, INT_MIN), 0);
    ASSERT_EQ(readServerConfig(ip, &port, &codeType), 0);
    EXPECT_STREQ(ip, "255.255.255.255");
    EXPECT_EQ(port, INT_MAX);
    EXPECT_EQ(codeType, INT_MIN);
}

TEST_F(ReaderDb, IpCellOverFifteenCharactersIsRefused)
{
    setCell("ip='1234567890123456'", "ServerInfo");
    char ip[16] = "unchanged";
    int port = -5, codeType = -6;
    OutputCapture out;
    EXPECT_EQ(readServerConfig(ip, &port, &codeType), -1);
    EXPECT_NE(out.finish().find("ip"), std::string::npos);
    EXPECT_STREQ(ip, "unchanged");
    EXPECT_EQ(port, -5);
    EXPECT_EQ(codeType, -6);
}

TEST_F(ReaderDb, WritingAnIpOverFifteenCharactersIsRefused)
{
    std::string before = dumpDatabase(readerDbFile);
    OutputCapture out;
    EXPECT_EQ(writeServerConfig("1234567890123456", 1, 1), -1);
    EXPECT_NE(out.finish(), "");
    EXPECT_EQ(dumpDatabase(readerDbFile), before);
}

// --- missing rows, NULL cells --------------------------------------------------------

TEST_F(ReaderDb, MissingRowGivesFailureAndLeavesDestinationsAlone)
{
    ASSERT_TRUE(execSql(readerDbFile, "DELETE FROM ReaderInfo; DELETE FROM ServerInfo;"));
    OutputCapture out;
    int devId = 77;
    EXPECT_EQ(readDevId(&devId), -1);
    EXPECT_EQ(devId, 77);
    Telegram telegram;
    EXPECT_EQ(telegram.read(), -1);
    EXPECT_TRUE(telegram.untouched());
    char ip[16] = "unchanged";
    int port = -5, codeType = -6;
    EXPECT_EQ(readServerConfig(ip, &port, &codeType), -1);
    EXPECT_STREQ(ip, "unchanged");
    EXPECT_EQ(port, -5);
    EXPECT_EQ(codeType, -6);
    std::string text = out.finish();
    EXPECT_NE(text.find("ReaderInfo"), std::string::npos) << text;
    EXPECT_NE(text.find("ServerInfo"), std::string::npos) << text;
}

TEST_F(ReaderDb, UpdateOfMissingRowSucceedsAndWritesNothing)
{
    ASSERT_TRUE(execSql(readerDbFile, "DELETE FROM ReaderInfo; DELETE FROM ServerInfo;"));
    std::string before = dumpDatabase(readerDbFile);
    OutputCapture out;
    EXPECT_EQ(writeDevId(5), 0);
    EXPECT_EQ(writeTelegramContent(1, 1, "001122334455", 1, 1, 1), 0);
    EXPECT_EQ(writeServerConfig("10.0.0.1", 1, 1), 0);
    EXPECT_EQ(out.finish(), "");
    EXPECT_EQ(dumpDatabase(readerDbFile), before);
}

TEST_F(ReaderDb, NullCellGivesFailureAndLeavesDestinationsAlone)
{
    setCell("block=NULL");
    Telegram telegram;
    OutputCapture out;
    EXPECT_EQ(telegram.read(), -1);
    EXPECT_TRUE(telegram.untouched());

    setCell("devId=NULL");
    int devId = 77;
    EXPECT_EQ(readDevId(&devId), -1);
    EXPECT_EQ(devId, 77);

    setCell("codeType=NULL", "ServerInfo");
    char ip[16] = "unchanged";
    int port = -5, codeType = -6;
    EXPECT_EQ(readServerConfig(ip, &port, &codeType), -1);
    EXPECT_STREQ(ip, "unchanged");
    EXPECT_EQ(port, -5);
    std::string text = out.finish();
    EXPECT_NE(text.find("NULL"), std::string::npos) << text;
}

// --- failures reported by SQLite -----------------------------------------------------------

TEST_F(ReaderDb, MissingDatabaseFileIsCreatedEmptyAndTheQueryFails)
{
    std::string missing = dir + "/missing.db";
    paths.readerDb = missing.c_str();
    int devId = 77;
    OutputCapture out;
    EXPECT_EQ(readDevId(&devId), -1);
    // A failing query prints SQLite's text on a line of its own.
    EXPECT_EQ(out.finish(), "no such table: ReaderInfo\n");
    EXPECT_EQ(devId, 77);
    struct stat status = {};
    ASSERT_EQ(stat(missing.c_str(), &status), 0);
    EXPECT_EQ(status.st_size, 0);
}

TEST_F(ReaderDb, FailingUpdatePrintsSqliteTextWithoutLineEnd)
{
    std::string missing = dir + "/missing.db";
    paths.readerDb = missing.c_str();
    {
        OutputCapture out;
        EXPECT_EQ(writeServerConfig("10.0.0.5", 9000, 1), -1);
        EXPECT_EQ(out.finish(), "no such table: ServerInfo");
    }
    {
        OutputCapture out;
        EXPECT_EQ(writeDevId(3), -1);
        EXPECT_EQ(writeTelegramContent(1, 1, "001122334455", 1, 1, 1), -1);
        EXPECT_EQ(out.finish(), "no such table: ReaderInfono such table: ReaderInfo");
    }
}

TEST_F(ReaderDb, UnopenableDatabasePrintsTheErrorAndFails)
{
    std::string impossible = dir + "/no/such/dir/reader.db";
    paths.readerDb = impossible.c_str();
    int devId = 77;
    OutputCapture out;
    EXPECT_EQ(readDevId(&devId), -1);
    EXPECT_EQ(writeDevId(1), -1);
    EXPECT_EQ(out.finish(), "unable to open database file\nunable to open database file\n");
    EXPECT_EQ(devId, 77);
}

// --- texts stay data -----------------------------------------------------------------------

TEST_F(ReaderDb, QuotesAndSecondStatementsInTheKeyStayData)
{
    std::string before = dumpDatabase(readerDbFile);
    for (const char *key : {"x'); DROP TABLE ServerInfo; --", "'; DELETE FROM ReaderInfo; --", "it's", "''''",
                            "a;b\"c", "0123456789AB' , devId=99 , key='"}) {
        SCOPED_TRACE(key);
        OutputCapture out;
        ASSERT_EQ(writeTelegramContent(0, 0, key, 4, 1, 8), 0);
        EXPECT_EQ(out.finish(), "");
        EXPECT_EQ(queryText(readerDbFile, "SELECT key FROM ReaderInfo WHERE id=1"), key);
        EXPECT_EQ(queryText(readerDbFile, "SELECT devId FROM ReaderInfo WHERE id=1"), "7");
        EXPECT_EQ(queryText(readerDbFile, "SELECT count(*) FROM ServerInfo"), "1");
    }
    // Putting the old key back restores the database exactly: nothing else changed.
    ASSERT_EQ(writeTelegramContent(0, 0, "FFFFFFFFFFFF", 4, 1, 8), 0);
    EXPECT_EQ(dumpDatabase(readerDbFile), before);
}

TEST_F(ReaderDb, QuotesAndSecondStatementsInTheIpStayData)
{
    std::string before = dumpDatabase(readerDbFile);
    for (const char *ip : {"x';--", "';VACUUM;--", "a'||'b", "1.2.3.4' --", "'", "\";DROP x;"}) {
        SCOPED_TRACE(ip);
        ASSERT_EQ(writeServerConfig(ip, 9000, 0), 0);
        char readBack[16] = {};
        int port = 0, codeType = 0;
        ASSERT_EQ(readServerConfig(readBack, &port, &codeType), 0);
        EXPECT_STREQ(readBack, ip);
        EXPECT_EQ(port, 9000);
    }
    ASSERT_EQ(writeServerConfig("127.0.0.1", 9000, 0), 0);
    EXPECT_EQ(dumpDatabase(readerDbFile), before);
}

// --- statement size --------------------------------------------------------------------------

TEST_F(ReaderDb, TelegramUpdateTakesAKeyOf148CharactersAndRefusesLonger)
{
    // 92 fixed characters and five three-digit numbers leave 148 for the key.
    std::string key(148, 'A');
    ASSERT_EQ(writeTelegramContent(255, 255, key.c_str(), 255, 255, 255), 0);
    EXPECT_EQ(queryText(readerDbFile, "SELECT key FROM ReaderInfo"), key);

    std::string before = dumpDatabase(readerDbFile);
    std::string tooLong(149, 'B');
    OutputCapture out;
    EXPECT_EQ(writeTelegramContent(255, 255, tooLong.c_str(), 255, 255, 255), -1);
    EXPECT_EQ(out.finish(), "Statement too long\n");
    EXPECT_EQ(dumpDatabase(readerDbFile), before);
}

TEST_F(ReaderDb, DoubledQuotesCountTowardsTheStatementLength)
{
    // 75 quotes are 150 characters once doubled: too long, and never cut
    // into a different statement.
    std::string before = dumpDatabase(readerDbFile);
    std::string quotes(75, '\'');
    OutputCapture out;
    EXPECT_EQ(writeTelegramContent(255, 255, quotes.c_str(), 255, 255, 255), -1);
    EXPECT_EQ(out.finish(), "Statement too long\n");
    EXPECT_EQ(dumpDatabase(readerDbFile), before);

    std::string fits(74, '\'');
    ASSERT_EQ(writeTelegramContent(255, 255, fits.c_str(), 255, 255, 255), 0);
    EXPECT_EQ(queryText(readerDbFile, "SELECT key FROM ReaderInfo"), fits);
}

// --- rwlock ------------------------------------------------------------------------------------

// Long enough to see a call wait; generous enough for a call that does not.
constexpr int WAITS = 200;
constexpr int RUNS = 10000;

TEST_F(ReaderDb, ReadsTakeRwlockSharedAndUpdatesExclusively)
{
    char ip[16] = {};
    int port = 0, codeType = 0, devId = 0;
    int status = 99;
    Telegram telegram;
    EXPECT_FALSE(finishesWhileHeld(true, WAITS, [&] { status = readServerConfig(ip, &port, &codeType); }));
    EXPECT_EQ(status, 0);
    EXPECT_TRUE(finishesWhileHeld(false, RUNS, [&] { status = readServerConfig(ip, &port, &codeType); }));
    EXPECT_EQ(status, 0);
    EXPECT_FALSE(finishesWhileHeld(false, WAITS, [&] { status = writeServerConfig("10.1.1.1", 1, 0); }));
    EXPECT_EQ(status, 0);
    EXPECT_FALSE(finishesWhileHeld(true, WAITS, [&] { status = readDevId(&devId); }));
    EXPECT_EQ(status, 0);
    EXPECT_TRUE(finishesWhileHeld(false, RUNS, [&] { status = telegram.read(); }));
    EXPECT_EQ(status, 0);
    EXPECT_FALSE(finishesWhileHeld(false, WAITS, [&] { status = writeDevId(8); }));
    EXPECT_EQ(status, 0);
    EXPECT_FALSE(finishesWhileHeld(false, WAITS, [&] { status = writeTelegramContent(1, 1, "00", 1, 1, 1); }));
    EXPECT_EQ(status, 0);
}

} // namespace
