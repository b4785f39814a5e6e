#include "store/store.h"
#include "tests/store/store_test_util.h"

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <array>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

using storetest::execSql;
using storetest::queryText;
using storetest::runProgram;

class Provision : public storetest::ScratchTest {
protected:
    void SetUp() override
    {
        ScratchTest::SetUp();
        root = dir + "/root";
        readerDb = root + "/usr/local/etc/reader.db";
        cardDb = root + "/usr/local/etc/card.db";
        netSettings = root + "/etc/eth0-setting";
        paths.readerDb = readerDb.c_str();
        paths.cardDb = cardDb.c_str();
        paths.netSettingsFile = netSettings.c_str();
    }

    int run(std::vector<std::string> args, std::string *output = nullptr)
    {
        args.insert(args.begin(), harness::binaryPath("rfidd-provision"));
        std::string text;
        int status = runProgram(args, &text);
        if (output)
            *output = text;
        return status;
    }
    int provision(std::vector<std::string> args = {}, std::string *output = nullptr)
    {
        args.insert(args.begin(), {"--root", root});
        return run(args, output);
    }
    int check(std::string *output = nullptr) { return run({"--root", root, "--check"}, output); }
    std::string files()
    {
        return harness::readFile(readerDb) + "\n--\n" + harness::readFile(cardDb) + "\n--\n" +
               harness::readFile(netSettings);
    }
    bool exists(const std::string &path)
    {
        struct stat status = {};
        return stat(path.c_str(), &status) == 0;
    }

    std::string root, readerDb, cardDb, netSettings;
};

TEST_F(Provision, DefaultFilesSatisfyEveryReadOperation)
{
    std::string output;
    ASSERT_EQ(provision({}, &output), 0) << output;

    int devId = 0;
    ASSERT_EQ(readDevId(&devId), 0);
    EXPECT_EQ(devId, 1);

    uint8_t readStyle = 9, keyType = 9, block = 9, firstChar = 9, lastChar = 9;
    std::array<uint8_t, 6> key{};
    ASSERT_EQ(readTelegramContent(&readStyle, &keyType, key.data(), &block, &firstChar, &lastChar), 0);
    EXPECT_EQ(readStyle, 0);
    EXPECT_EQ(keyType, 0);
    EXPECT_EQ(key, (std::array<uint8_t, 6>{0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}));
    EXPECT_EQ(block, 0);
    EXPECT_EQ(firstChar, 0);
    EXPECT_EQ(lastChar, 0);

    char ip[16] = {};
    int port = 0, codeType = 9;
    ASSERT_EQ(readServerConfig(ip, &port, &codeType), 0);
    EXPECT_STREQ(ip, "127.0.0.1");
    EXPECT_EQ(port, 9000);
    EXPECT_EQ(codeType, 0);

    NetSettings table;
    memset(table, 0, sizeof table);
    ASSERT_EQ(readNetConfig(table), 0);
    EXPECT_EQ(harness::readFile(netSettings), "IP=192.168.0.100\nMask=255.255.255.0\nGateway=192.168.0.1\n"
                                              "DNS=192.168.0.1\nMAC=00:11:22:33:44:55\n");
    EXPECT_STREQ(table[4].name, "MAC");

    sqlite3 *db = nullptr;
    ASSERT_EQ(sqlite3_open(cardDb.c_str(), &db), SQLITE_OK);
    EXPECT_EQ(deleteCardRecordAll(db), 0);
    EXPECT_EQ(readCardRecord(db), nullptr);
    ASSERT_EQ(writeCardRecord(db, "0123ABCD"), 0);
    CardRecord *record = readCardRecord(db);
    ASSERT_NE(record, nullptr);
    EXPECT_STREQ(record->cardNum, "0123ABCD");
    EXPECT_GT(record->id, 0);
    EXPECT_EQ(deleteCardRecord(db, record->id), 0);
    free(record);
    sqlite3_close(db);
}

TEST_F(Provision, GivenValuesAreStoredAndTheDaemonsWritesReadBack)
{
    std::string output;
    ASSERT_EQ(provision({"--dev-id", "-12", "--read-style", "2", "--key-type=1", "--key", "a0B1c2D3e4F5",
                         "--block", "255", "--first-char", "3", "--last-char", "10", "--server-ip", "10.0.0.5",
                         "--server-port", "65535", "--code-type", "1", "--ip", "10.1.2.3", "--mask", "255.255.0.0",
                         "--gateway", "10.1.0.1", "--dns", "10.1.0.2", "--mac", "AA:bb:CC:dd:EE:ff"},
                        &output),
              0)
        << output;
    EXPECT_EQ(queryText(readerDb, "SELECT key FROM ReaderInfo WHERE id=1"), "a0B1c2D3e4F5");
    EXPECT_EQ(harness::readFile(netSettings),
              "IP=10.1.2.3\nMask=255.255.0.0\nGateway=10.1.0.1\nDNS=10.1.0.2\nMAC=AA:bb:CC:dd:EE:ff\n");

    int devId = 0;
    ASSERT_EQ(readDevId(&devId), 0);
    EXPECT_EQ(devId, -12);
    uint8_t readStyle = 0, keyType = 0, block = 0, firstChar = 0, lastChar = 0;
    std::array<uint8_t, 6> key{};
    ASSERT_EQ(readTelegramContent(&readStyle, &keyType, key.data(), &block, &firstChar, &lastChar), 0);
    EXPECT_EQ(readStyle, 2);
    EXPECT_EQ(keyType, 1);
    EXPECT_EQ(key, (std::array<uint8_t, 6>{0xA0, 0xB1, 0xC2, 0xD3, 0xE4, 0xF5}));
    EXPECT_EQ(block, 255);
    EXPECT_EQ(lastChar, 10);

    // Numbers read back as the decimal text written, texts as written.
    ASSERT_EQ(writeTelegramContent(200, 0, "000000000000", 7, 1, 32), 0);
    EXPECT_EQ(queryText(readerDb, "SELECT key FROM ReaderInfo"), "000000000000");
    EXPECT_EQ(queryText(readerDb, "SELECT readStyle FROM ReaderInfo"), "200");
    ASSERT_EQ(writeServerConfig("192.168.100.200", 8080, 0), 0);
    char ip[16] = {};
    int port = 0, codeType = 0;
    ASSERT_EQ(readServerConfig(ip, &port, &codeType), 0);
    EXPECT_STREQ(ip, "192.168.100.200");
    EXPECT_EQ(port, 8080);
    ASSERT_EQ(writeDevId(2147483647), 0);
    ASSERT_EQ(readDevId(&devId), 0);
    EXPECT_EQ(devId, 2147483647);
}

TEST_F(Provision, ExistingFilesAreKeptUnlessForced)
{
    ASSERT_EQ(provision({"--dev-id", "5"}), 0);
    std::string before = files();

    std::string output;
    EXPECT_NE(provision({"--dev-id", "6"}, &output), 0);
    EXPECT_NE(output.find("exists"), std::string::npos) << output;
    EXPECT_EQ(files(), before);

    // One file alone is enough to refuse, and nothing else is written.
    ASSERT_EQ(unlink(readerDb.c_str()), 0);
    ASSERT_EQ(unlink(cardDb.c_str()), 0);
    EXPECT_NE(provision({"--dev-id", "6"}, &output), 0);
    EXPECT_FALSE(exists(readerDb));
    EXPECT_FALSE(exists(cardDb));

    ASSERT_EQ(provision({"--force", "--dev-id", "6"}, &output), 0) << output;
    EXPECT_EQ(queryText(readerDb, "SELECT devId FROM ReaderInfo WHERE id=1"), "6");
    EXPECT_EQ(storetest::listDirectory(root + "/usr/local/etc").size(), 2u); // no temporary files
    EXPECT_EQ(storetest::listDirectory(root + "/etc").size(), 1u);
}

TEST_F(Provision, CheckAcceptsFreshFiles)
{
    ASSERT_EQ(provision(), 0);
    std::string output;
    EXPECT_EQ(check(&output), 0) << output;
}

TEST_F(Provision, CheckNamesADroppedColumn)
{
    ASSERT_EQ(provision(), 0);
    std::string error;
    ASSERT_TRUE(execSql(readerDb, "ALTER TABLE ReaderInfo DROP COLUMN lastChar", &error)) << error;
    std::string output;
    EXPECT_NE(check(&output), 0);
    EXPECT_NE(output.find("lastChar"), std::string::npos) << output;
    EXPECT_NE(output.find("ReaderInfo"), std::string::npos) << output;
}

TEST_F(Provision, CheckReportsEveryProblemAtOnce)
{
    ASSERT_EQ(provision(), 0);
    ASSERT_TRUE(execSql(readerDb, "ALTER TABLE ServerInfo DROP COLUMN codeType; ALTER TABLE ServerInfo DROP COLUMN "
                                  "port; DELETE FROM ReaderInfo"));
    ASSERT_TRUE(execSql(cardDb, "DROP TABLE Card"));
    ASSERT_TRUE(harness::writeFile(netSettings, "IP=1.2.3.4\nMask=255.0.0.0\nGateway=1.2.3.1\n"));
    std::string output;
    EXPECT_NE(check(&output), 0);
    for (const char *needle : {"codeType", "port", "ReaderInfo: row with id 1 missing", "Card missing", "only 3"})
        EXPECT_NE(output.find(needle), std::string::npos) << needle << " in\n" << output;
}

TEST_F(Provision, CheckReportsMissingAndBrokenFiles)
{
    std::string output;
    EXPECT_NE(check(&output), 0);
    EXPECT_NE(output.find(readerDb + ": missing"), std::string::npos) << output;
    EXPECT_NE(output.find(cardDb + ": missing"), std::string::npos) << output;
    EXPECT_NE(output.find(netSettings + ": missing"), std::string::npos) << output;

    ASSERT_EQ(provision(), 0);
    ASSERT_TRUE(harness::writeFile(cardDb, "this is no database, but long enough to look like a header......\n"));
    ASSERT_TRUE(execSql(readerDb, "UPDATE ReaderInfo SET key='xyz'"));
    EXPECT_NE(check(&output), 0);
    EXPECT_NE(output.find(cardDb), std::string::npos) << output;
    EXPECT_NE(output.find("key"), std::string::npos) << output;
    EXPECT_EQ(output.find(netSettings), std::string::npos) << output;
}

TEST_F(Provision, BadOptionsAreRefusedAndWriteNothing)
{
    const std::vector<std::vector<std::string>> bad = {
        {"--read-style", "256"},       {"--read-style", "-1"},      {"--block", "x"},
        {"--first-char", ""},          {"--key", "FFFFFFFFFFF"},    {"--key", "FFFFFFFFFFFFF"},
        {"--key", "GGGGGGGGGGGG"},     {"--dev-id", "2147483648"},  {"--dev-id", "1e3"},
        {"--server-port", "0"},        {"--server-port", "65536"},  {"--server-ip", "1.2.3"},
        {"--server-ip", "1.2.3.256"},  {"--ip", "01.2.3.4"},        {"--ip", "1.2.3.4 "},
        {"--mask", "255.0.255.0"},     {"--gateway", "a.b.c.d"},    {"--dns", "1..2.3"},
        {"--mac", "00:11:22:33:44"},   {"--mac", "00-11-22-33-44-55"}, {"--mac", "00:11:22:33:44:5G"},
        {"--code-type", "one"},        {"--bogus"},                 {"stray"},
        {"--key"},                     {"--check", "--dev-id", "3"}, {"--check", "--force"},
    };
    for (const std::vector<std::string> &args : bad) {
        std::string joined;
        for (const std::string &arg : args)
            joined += arg + " ";
        SCOPED_TRACE(joined);
        std::string output;
        int status = provision(args, &output);
        EXPECT_NE(status, 0);
        EXPECT_NE(status, 128 + 11); // no crash
        EXPECT_NE(output.find("rfidd-provision: "), std::string::npos) << output;
        EXPECT_FALSE(exists(root + "/usr")) << output;
    }
}

TEST_F(Provision, HelpPrintsUsage)
{
    std::string output;
    EXPECT_EQ(run({"--help"}, &output), 0);
    EXPECT_NE(output.find("Usage: rfidd-provision"), std::string::npos);
    EXPECT_NE(output.find("--check"), std::string::npos);
}

TEST_F(Provision, UnusableDirectoryFailsWithoutHalfFiles)
{
    ASSERT_EQ(mkdir(root.c_str(), 0755), 0);
    ASSERT_TRUE(harness::writeFile(root + "/etc", "a file where a directory belongs\n"));
    std::string output;
    EXPECT_NE(provision({}, &output), 0);
    EXPECT_NE(output.find("etc"), std::string::npos) << output;
    EXPECT_FALSE(exists(readerDb));
    EXPECT_FALSE(exists(cardDb));
    // Nothing was left in the database directory either.
    EXPECT_TRUE(storetest::listDirectory(root + "/usr/local/etc").empty());
}

TEST_F(Provision, DirectoryAtAFilePathIsRefusedEvenWithForce)
{
    ASSERT_EQ(provision(), 0);
    ASSERT_EQ(unlink(netSettings.c_str()), 0);
    ASSERT_EQ(mkdir(netSettings.c_str(), 0755), 0);
    std::string before = harness::readFile(readerDb);
    std::string output;
    EXPECT_NE(provision({"--force", "--dev-id", "9"}, &output), 0);
    EXPECT_NE(output.find("directory"), std::string::npos) << output;
    EXPECT_EQ(harness::readFile(readerDb), before);
}

} // namespace
