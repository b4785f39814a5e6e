#include "store/store.h"
#include "tests/store/store_test_util.h"

#include <gtest/gtest.h>

#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>

#include <atomic>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>

namespace {

using storetest::listDirectory;
using storetest::OutputCapture;

const char WRITE_FAILED[] = "Write /etc/eth0-setting failed\n";

struct Table {
    NetSettings entries;
    Table() { memset(entries, 0, sizeof entries); }
    Table(std::initializer_list<std::pair<const char *, const char *>> lines) : Table()
    {
        int i = 0;
        for (const auto &[name, value] : lines) {
            snprintf(entries[i].name, sizeof entries[i].name, "%s", name);
            snprintf(entries[i].value, sizeof entries[i].value, "%s", value);
            ++i;
        }
    }
    bool operator==(const Table &other) const { return memcmp(entries, other.entries, sizeof entries) == 0; }
};

const Table BOARD{{"IP", "192.168.0.100"},
                  {"Mask", "255.255.255.0"},
                  {"Gateway", "192.168.0.1"},
                  {"DNS", "192.168.0.1"},
                  {"MAC", "00:11:22:33:44:55"}};
const char BOARD_FILE[] = "IP=192.168.0.100\nMask=255.255.255.0\nGateway=192.168.0.1\nDNS=192.168.0.1\n"
                          "MAC=00:11:22:33:44:55\n";

class NetConfig : public storetest::ScratchTest {
protected:
    Table readBack()
    {
        Table table;
        EXPECT_EQ(readNetConfig(table.entries), 0);
        return table;
    }
    void writeSettings(const std::string &contents) { ASSERT_TRUE(harness::writeFile(netFile, contents)); }
    // A rewrite that must fail: -1, the message, the old file byte-identical
    // and no temporary file left beside it.
    void expectRefused(const Table &table)
    {
        writeSettings(BOARD_FILE);
        OutputCapture out;
        EXPECT_EQ(writeNetConfig(table.entries), -1);
        EXPECT_NE(out.finish().find(WRITE_FAILED), std::string::npos);
        EXPECT_EQ(harness::readFile(netFile), BOARD_FILE);
        EXPECT_EQ(listDirectory(dir), std::vector<std::string>{"eth0-setting"});
    }
};

// --- reading -----------------------------------------------------------------------

TEST_F(NetConfig, WrittenFileReadsBackIntoAnIdenticalTable)
{
    ASSERT_EQ(writeNetConfig(BOARD.entries), 0);
    EXPECT_EQ(harness::readFile(netFile), BOARD_FILE);
    EXPECT_EQ(readBack(), BOARD);
}

TEST_F(NetConfig, ValuesKeepCarriageReturnsAndLaterEqualsSigns)
{
    writeSettings("IP=10.0.0.2\r\nMask==\nGateway=a=b=c\nDNS=\nMAC=00:11:22:33:44:55");
    Table table = readBack();
    EXPECT_STREQ(table.entries[0].value, "10.0.0.2\r");
    EXPECT_STREQ(table.entries[1].name, "Mask");
    EXPECT_STREQ(table.entries[1].value, "=");
    EXPECT_STREQ(table.entries[2].value, "a=b=c");
    EXPECT_STREQ(table.entries[3].name, "DNS");
    EXPECT_STREQ(table.entries[3].value, "");
    // A last line without newline gives its whole value, as with one.
    EXPECT_STREQ(table.entries[4].value, "00:11:22:33:44:55");

    // The same table written and read again stays the same.
    ASSERT_EQ(writeNetConfig(table.entries), 0);
    EXPECT_EQ(harness::readFile(netFile),
              "IP=10.0.0.2\r\nMask==\nGateway=a=b=c\nDNS=\nMAC=00:11:22:33:44:55\n");
    EXPECT_EQ(readBack(), table);
}

TEST_F(NetConfig, ThreeLineFileLeavesTheLastEntriesEmptyAndRewritesThemAsBareEquals)
{
    writeSettings("IP=1.1.1.1\nMask=255.0.0.0\nGateway=1.1.1.254\n");
    Table table = readBack();
    EXPECT_STREQ(table.entries[2].value, "1.1.1.254");
    const Table cleared;
    EXPECT_EQ(memcmp(&table.entries[3], &cleared.entries[3], 2 * sizeof(NetSetting)), 0);
    ASSERT_EQ(writeNetConfig(table.entries), 0);
    EXPECT_EQ(harness::readFile(netFile), "IP=1.1.1.1\nMask=255.0.0.0\nGateway=1.1.1.254\n=\n=\n");
}

TEST_F(NetConfig, LinesAfterTheFifthAreIgnored)
{
    writeSettings(std::string(BOARD_FILE) + "Extra=1\nMore=2\n");
    EXPECT_EQ(readBack(), BOARD);
    ASSERT_EQ(writeNetConfig(BOARD.entries), 0);
    EXPECT_EQ(harness::readFile(netFile), BOARD_FILE);
}

TEST_F(NetConfig, LineWithoutEqualsGivesAnEmptyNameAndTheWholeLine)
{
    writeSettings("IP=1.2.3.4\njust text\n\nDNS=8.8.8.8\nMAC=x\n");
    Table table = readBack();
    EXPECT_STREQ(table.entries[1].name, "");
    EXPECT_STREQ(table.entries[1].value, "just text");
    EXPECT_STREQ(table.entries[2].name, "");
    EXPECT_STREQ(table.entries[2].value, "");
    EXPECT_STREQ(table.entries[3].value, "8.8.8.8");
}

TEST_F(NetConfig, OverLongNamesAndValuesAreCutAtTheirFields)
{
    std::string longName(40, 'N');
    std::string longValue(100, 'v');
    std::string longLine(200, 'L');
    writeSettings(longName + "=short\nMask=" + longValue + "\n" + longLine + "\n" + longName + "=" + longValue +
                  "\nMAC=m\n");
    Table table = readBack();
    EXPECT_EQ(std::string(table.entries[0].name), longName.substr(0, 31));
    EXPECT_STREQ(table.entries[0].value, "short");
    EXPECT_STREQ(table.entries[1].name, "Mask");
    EXPECT_EQ(std::string(table.entries[1].value), longValue.substr(0, 63));
    EXPECT_STREQ(table.entries[2].name, "");
    EXPECT_EQ(std::string(table.entries[2].value), longLine.substr(0, 63));
    EXPECT_EQ(std::string(table.entries[3].name), longName.substr(0, 31));
    EXPECT_EQ(std::string(table.entries[3].value), longValue.substr(0, 63));
    EXPECT_STREQ(table.entries[4].name, "MAC");
    EXPECT_STREQ(table.entries[4].value, "m");
}

TEST_F(NetConfig, MissingFileLeavesTheTableClearedAndFails)
{
    Table table;
    OutputCapture err(2);
    EXPECT_EQ(readNetConfig(table.entries), -1);
    EXPECT_NE(err.finish().find("Read /etc/eth0-setting failed"), std::string::npos);
    EXPECT_EQ(table, Table());
    EXPECT_TRUE(listDirectory(dir).empty()); // reading never creates the file
}

// --- rewriting ------------------------------------------------------------------------------

TEST_F(NetConfig, LineOfSixtyThreeCharactersIsTheLongestWritten)
{
    Table table = BOARD;
    std::string value(61 - 3, 'x');
    strcpy(table.entries[4].value, value.c_str()); // "MAC" + value = 61
    writeSettings(BOARD_FILE);
    ASSERT_EQ(writeNetConfig(table.entries), 0);
    EXPECT_EQ(readBack(), table);

    strcat(table.entries[4].value, "y"); // 62: the line would not fit
    expectRefused(table);
}

TEST_F(NetConfig, LineFeedInAValueOrNameIsRefused)
{
    Table table = BOARD;
    strcpy(table.entries[2].value, "10.0.0.1\nIP=6.6.6.6");
    expectRefused(table);
    table = BOARD;
    strcpy(table.entries[0].name, "I\nP");
    expectRefused(table);
}

TEST_F(NetConfig, EqualsInANameIsRefused)
{
    Table table = BOARD;
    strcpy(table.entries[1].name, "Ma=sk");
    expectRefused(table);
}

TEST_F(NetConfig, UnterminatedFieldIsRefused)
{
    Table table = BOARD;
    memset(table.entries[3].name, 'D', sizeof table.entries[3].name);
    expectRefused(table);
}

TEST_F(NetConfig, FailedWriteLeavesTheOldFileByteIdentical)
{
    // Root ignores permission bits, so the file-size limit makes the writes
    // of the new file fail instead.
    writeSettings(BOARD_FILE);
    Table table{{"IP", "10.9.8.7"}, {"Mask", "255.255.0.0"}, {"Gateway", "10.9.0.1"}, {"DNS", "10.9.0.2"},
                {"MAC", "aa:bb:cc:dd:ee:ff"}};
    OutputCapture out;
    struct rlimit saved = {};
    ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &saved), 0);
    sighandler_t oldHandler = signal(SIGXFSZ, SIG_IGN);
    struct rlimit small = saved;
    small.rlim_cur = 16;
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &small), 0);
    int status = writeNetConfig(table.entries);
    setrlimit(RLIMIT_FSIZE, &saved);
    signal(SIGXFSZ, oldHandler);
    EXPECT_EQ(status, -1);
    EXPECT_NE(out.finish().find(WRITE_FAILED), std::string::npos);
    EXPECT_EQ(harness::readFile(netFile), BOARD_FILE);
    EXPECT_EQ(listDirectory(dir), std::vector<std::string>{"eth0-setting"});
}

TEST_F(NetConfig, DirectoryReplacedByAFileFailsCleanly)
{
    std::string sub = dir + "/etc";
    ASSERT_TRUE(harness::writeFile(sub, "not a directory\n"));
    std::string inside = sub + "/eth0-setting";
    paths.netSettingsFile = inside.c_str();
    OutputCapture out;
    EXPECT_EQ(writeNetConfig(BOARD.entries), -1);
    EXPECT_NE(out.finish().find(WRITE_FAILED), std::string::npos);
    EXPECT_EQ(harness::readFile(sub), "not a directory\n");
    EXPECT_EQ(listDirectory(dir), std::vector<std::string>{"etc"});
}

TEST_F(NetConfig, DirectoryAtTheSettingsPathFailsWithoutLeftovers)
{
    ASSERT_EQ(mkdir(netFile.c_str(), 0755), 0);
    ASSERT_TRUE(harness::writeFile(netFile + "/keep", "x"));
    OutputCapture out;
    EXPECT_EQ(writeNetConfig(BOARD.entries), -1);
    EXPECT_NE(out.finish().find(WRITE_FAILED), std::string::npos);
    EXPECT_EQ(listDirectory(dir), std::vector<std::string>{"eth0-setting"});
    EXPECT_EQ(harness::readFile(netFile + "/keep"), "x");
}

TEST_F(NetConfig, ReadOnlyDirectoryFailsWithoutTouchingTheFile)
{
    if (geteuid() == 0)
        GTEST_SKIP() << "running as root: permission bits do not stop root's writes";
    writeSettings(BOARD_FILE);
    ASSERT_EQ(chmod(dir.c_str(), 0555), 0);
    OutputCapture out;
    int status = writeNetConfig(Table{{"IP", "1.1.1.1"}}.entries);
    std::string text = out.finish();
    chmod(dir.c_str(), 0755);
    EXPECT_EQ(status, -1);
    EXPECT_NE(text.find(WRITE_FAILED), std::string::npos);
    EXPECT_EQ(harness::readFile(netFile), BOARD_FILE);
}

TEST_F(NetConfig, RewriteKeepsPermissionBitsAndSymbolicLinks)
{
    std::string real = dir + "/real-settings";
    ASSERT_TRUE(harness::writeFile(real, "old\n"));
    ASSERT_EQ(chmod(real.c_str(), 0640), 0);
    ASSERT_EQ(symlink("real-settings", netFile.c_str()), 0);
    ASSERT_EQ(writeNetConfig(BOARD.entries), 0);
    struct stat status = {};
    ASSERT_EQ(lstat(netFile.c_str(), &status), 0);
    EXPECT_TRUE(S_ISLNK(status.st_mode));
    ASSERT_EQ(stat(real.c_str(), &status), 0);
    EXPECT_EQ(status.st_mode & 07777, 0640u);
    EXPECT_EQ(harness::readFile(real), BOARD_FILE);
}

TEST_F(NetConfig, NewFileIsCreatedReadableByAll)
{
    ASSERT_EQ(writeNetConfig(BOARD.entries), 0);
    struct stat status = {};
    ASSERT_EQ(stat(netFile.c_str(), &status), 0);
    EXPECT_EQ(status.st_mode & 07777, 0644u);
}

TEST_F(NetConfig, ConcurrentReadersOnlyEverSeeAWholeFile)
{
    Table first = BOARD;
    Table second{{"IP", "10.0.0.1"}, {"Mask", "255.0.0.0"}, {"Gateway", "10.0.0.254"}, {"DNS", "10.0.0.253"},
                 {"MAC", "de:ad:be:ef:00:01"}};
    ASSERT_EQ(writeNetConfig(first.entries), 0);
    std::atomic<bool> stop{false};
    std::atomic<int> writeFailures{0};
    std::thread writer([&] {
        for (int i = 0; i < 100; ++i)
            if (writeNetConfig((i % 2 ? first : second).entries) != 0)
                ++writeFailures;
        stop = true;
    });
    int reads = 0, mixed = 0;
    while (!stop || reads < 50) {
        Table table;
        if (readNetConfig(table.entries) == 0) {
            ++reads;
            if (!(table == first) && !(table == second))
                ++mixed;
        }
    }
    writer.join();
    EXPECT_EQ(writeFailures, 0);
    EXPECT_EQ(mixed, 0);
}

TEST_F(NetConfig, SettingsMutexIsRecursiveAndHeldByEachCall)
{
    std::recursive_mutex &mutex = netSettingsMutex();
    EXPECT_EQ(&mutex, &netSettingsMutex());
    writeSettings(BOARD_FILE);
    // A service may hold it around read, change and write.
    mutex.lock();
    Table table = readBack();
    snprintf(table.entries[0].value, sizeof table.entries[0].value, "%s", "10.1.2.3");
    memset(table.entries[0].value + 9, 0, sizeof table.entries[0].value - 9);
    EXPECT_EQ(writeNetConfig(table.entries), 0);
    // Another thread's read waits until the sequence is over.
    std::atomic<bool> done{false};
    Table seen;
    std::thread other([&] {
        readNetConfig(seen.entries);
        done = true;
    });
    usleep(100000);
    EXPECT_FALSE(done);
    mutex.unlock();
    other.join();
    EXPECT_EQ(seen, table);
}

} // namespace
