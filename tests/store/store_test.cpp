// The settings store on real files and SQLite databases (network settings file, reader database,
// hexChar2Hex, card table, rwlock, busy time-out), and rfidd-provision run as a process.
#include "core/state.h"
#include "store/store.h"
#include "tests/store/store_test_util.h"
#include "tests/support/sandbox.h"

#include <signal.h>
#include <sys/resource.h>

#include <cstring>
#include <filesystem>
#include <functional>

namespace {

using namespace storetest;
namespace fs = std::filesystem;

std::string hex(const uint8_t *bytes, size_t count)
{
    std::string text;
    for (char digits[3]; count--; text += digits)
        snprintf(digits, sizeof digits, "%02X", *bytes++);
    return text;
}

TEST_F(Store, NetFileReadTakesNameAndValueAroundTheFirstEqualsOfEachOfFiveLines)
{
    const std::string N(40, 'N'), V(99, 'v');
    // file "-": none; read: the result, each entry as "name:value|", what was printed
    struct { const char *name; std::string file, read; } rows[] = {
        {"no file", "-", "-1 :|:|:|:|:|Read /etc/eth0-setting failed: No such file or directory\n"},
        {"cr, '=', no '=', fields cut, sixth line", "IP=1\r\nMask==\ntext\nG=a=b\n" + N + "=" + V + "\nX=6\n",
         "0 IP:1\r|Mask:=|:text|G:a=b|" + N.substr(0, 31) + ":" + V.substr(0, 63) + "|"},
        {"three lines, empty value, no final newline", "IP=1\nDNS=\nMAC=m", "0 IP:1|DNS:|MAC:m|:|:|"},
    };
    for (const auto &row : rows) {
        ASSERT_TRUE(row.file == "-" || harness::writeFile(netFile, row.file));
        NetSettings table = {};
        int status = 0;
        std::string out = printed([&] { status = readNetConfig(table); });
        std::string got = std::to_string(status) + " "; // a field without terminator shows all its bytes
        for (const NetSetting &e : table)
            got += std::string(e.name, strnlen(e.name, 32)) + ":" +
                   std::string(e.value, strnlen(e.value, 64)) + "|";
        EXPECT_EQ(got + out, row.read) << row.name;
    }
}

// Each rewrite meets a symbolic link to a file of mode 0640 that holds OLD.
TEST_F(Store, NetFileRewriteReplacesTheLinkTargetWholeOrRefusesAndKeepsItByteForByte)
{
    const std::string X(58, 'x'), OLD = "IP=1\nMask=2\nGateway=3\nDNS=4\nMAC=5\n", real = dir + "/settings";
    // set: name, value, name, value, ...; limited: writes past 16 bytes fail; file "": refused
    struct { const char *name; std::vector<std::string> set; bool limited; std::string file; } rows[] = {
        {"five lines", {"IP", "1.1", "Mask", "2", "Gateway", "3", "DNS", "4", "MAC", "5"}, false,
         "IP=1.1\nMask=2\nGateway=3\nDNS=4\nMAC=5\n"},
        {"cr, '=', empty entries", {"IP", "1\r", "Mask", "="}, false, "IP=1\r\nMask==\n=\n=\n=\n"},
        {"line of 63", {"MAC", X}, false, "MAC=" + X + "\n=\n=\n=\n=\n"}, {"line of 64", {"MACs", X}, 0, ""},
        {"line feed in a value", {"IP", "1\nIP=6"}, false, ""}, {"line feed in a name", {"I\nP", "1"}, 0, ""},
        {"'=' in a name", {"Ma=sk", "1"}, false, ""}, {"no terminator", {std::string(32, 'N'), "1"}, 0, ""},
        {"write fails", {"IP", "10.9.8.7"}, true, ""},
    };
    ASSERT_EQ(symlink("settings", netFile.c_str()), 0);
    signal(SIGXFSZ, SIG_IGN);
    rlimit saved = {};
    getrlimit(RLIMIT_FSIZE, &saved);
    rlimit limit = {16, saved.rlim_max};
    for (const auto &row : rows) {
        ASSERT_TRUE(harness::writeFile(real, OLD) && chmod(real.c_str(), 0640) == 0);
        NetSettings table = {};
        for (size_t i = 0; i < row.set.size(); ++i)
            memcpy(i % 2 ? table[i / 2].value : table[i / 2].name, row.set[i].data(),
                   std::min(row.set[i].size(), i % 2 ? sizeof table->value : sizeof table->name));
        int status = 0;
        std::string out = printed([&] {
            setrlimit(RLIMIT_FSIZE, row.limited ? &limit : &saved);
            status = writeNetConfig(table);
            setrlimit(RLIMIT_FSIZE, &saved);
        });
        // The link stays, the mode is kept and no temporary file is left.
        bool kept = fs::is_symlink(netFile) && fs::status(real).permissions() == fs::perms(0640) &&
                    std::distance(fs::directory_iterator(dir), {}) == 2;
        EXPECT_EQ(std::to_string(status) + (kept ? " " : " BROKEN ") + harness::readFile(real),
                  row.file.empty() ? "-1 " + OLD : "0 " + row.file) << row.name;
        EXPECT_EQ(out.find("Write /etc/eth0-setting failed\n") != std::string::npos, status != 0) << row.name;
    }
}

// All connections use the unix VFS with a hook that runs whenever a statement looks for a journal (each
// does, on every try of its lock): it notes how this thread holds rwlock, and on the third look while
// `holder` holds a write transaction (schema, first try, the try after waiting) it rolls `holder` back.
std::string holds;
sqlite3 *holder = nullptr;
int looks = 0;
int noteHold(sqlite3_vfs *vfs, const char *name, int flags, int *out)
{
    const char *hold = pthread_rwlock_trywrlock(&rwlock) == 0   ? "none "
                       : pthread_rwlock_tryrdlock(&rwlock) == 0 ? "shared "
                                                                : "exclusive ";
    if (hold[0] != 'e')
        pthread_rwlock_unlock(&rwlock);
    holds += holds.find(hold) == std::string::npos ? hold : "";
    if (holder && strstr(name, "-journal") && ++looks == 3 && !sqlite3_exec(holder, "ROLLBACK", 0, 0, 0))
        sqlite3_close(holder), holder = nullptr;
    return sqlite3_vfs_find("unix")->xAccess(vfs, name, flags, out);
}
const bool OBSERVED = [] {
    static sqlite3_vfs observed = *sqlite3_vfs_find("unix");
    observed.zName = "rfidd-test-observed", observed.xAccess = noteHold;
    return sqlite3_vfs_register(&observed, 1) == SQLITE_OK;
}();

// The three reads into destinations filled with 0xEE or 'X' beforehand (-1: failed and wrote nothing):
// reader id; readStyle, keyType, key, a guard byte, block, firstChar, lastChar; ip, port, code type.
std::string readAll()
{
    int id = 0xEE, port = 0xEE, code = 0xEE;
    uint8_t t[12];
    char ip[16];
    memset(t, 0xEE, sizeof t);
    memset(ip, 'X', sizeof ip);
    std::string text = readDevId(&id) ? id == 0xEE ? "-1 " : "WROTE " : std::to_string(id) + " ";
    text += readTelegramContent(&t[0], &t[1], &t[2], &t[9], &t[10], &t[11])
                ? hex(t, 12) == std::string(24, 'E') ? "-1 " : "WROTE "
                : hex(t, 12) + " ";
    if (readServerConfig(ip, &port, &code))
        return text + (ip[0] == 'X' && port == 238 && code == 238 ? "-1" : "WROTE");
    return text + std::string(ip, strnlen(ip, 16)) + " " + std::to_string(port) + " " + std::to_string(code);
}

// Each row makes the database anew, runs its SQL (nullptr: no file at all), then the reads or its update:
// how rwlock was held, what they gave (an update: its result, the rows of both tables), what they printed.
TEST_F(Store, ReaderDbCellsReadAsValuesUpdatesStoreDataWhatDoesNotFitIsRefusedAndRwlockIsHeld)
{
    // D: the provisioned reader id and telegram bytes; the provisioned rows: P K Q S, split at key and ip
    const std::string A(148, 'A'), D = "shared 123456 0000FFFFFFFFFFFFEE040108 ", K = "FFFFFFFFFFFF",
                      P = "exclusive 0 1|123456|0|0|", Q = "|4|1|8|1|", S = "127.0.0.1|9000|0 ",
                      J = "x'; DROP TABLE ServerInfo; --";
    struct { const char *name, *sql; std::function<int()> update; std::string gives; } rows[] = {
        {"provisioned row", "", {}, D + "127.0.0.1 9000 0 "},
        {"low 8 bits", "UPDATE ReaderInfo SET readStyle=300, keyType='7abc', block='x', firstChar=' 12', "
         "lastChar=-1", {}, "shared 123456 2C07FFFFFFFFFFFFEE000CFF 127.0.0.1 9000 0 "},
        {"key of 13, mixed case", "UPDATE ReaderInfo SET key='aBcDeF01A2fF9'", {},
         "shared 123456 0000ABCDEF01A2FFEE040108 127.0.0.1 9000 0 "},
        {"key of 14", "UPDATE ReaderInfo SET key='0123456789ABCD'", {},
         "shared 123456 -1 127.0.0.1 9000 0 ReaderInfo: key of row 1 longer than 12 hexadecimal digits\n"},
        {"ip of 16", "UPDATE ServerInfo SET ip='1234567890123456'", {},
         D + "-1 ServerInfo: ip of row 1 longer than 15 characters\n"},
        {"NULL cells", "UPDATE ReaderInfo SET devId=NULL; UPDATE ServerInfo SET ip=NULL", {},
         "shared -1 0000FFFFFFFFFFFFEE040108 -1 ReaderInfo: devId of row 1 is NULL\n"
         "ServerInfo: ip of row 1 is NULL\n"},
        {"no row", "DELETE FROM ReaderInfo; DELETE FROM ServerInfo", {}, "shared -1 -1 -1 ReaderInfo: no row "
         "with id 1\nReaderInfo: no row with id 1\nServerInfo: no row with id 1\n"},
        {"no file: made empty", nullptr, {},
         "shared -1 -1 -1 no such table: ReaderInfo\nno such table: ReaderInfo\nno such table: ServerInfo\n"},
        {"bytes over 127", "", [] { return writeTelegramContent(200, 1, "0123456789ab", 255, 3, 130); },
         "exclusive 0 1|123456|200|1|0123456789ab|255|3|130|1|" + S},
        {"quote in a key", "", [&] { return writeTelegramContent(0, 0, J.c_str(), 4, 1, 8); }, P + J + Q + S},
        {"quote in an ip", "", [] { return writeServerConfig("a'||'b", 1, 0); }, P + K + Q + "a'||'b|1|0 "},
        {"ip of 16", "", [] { return writeServerConfig("1234567890123456", 1, 1); },
         "-1 " + P.substr(12) + K + Q + S + "Server ip longer than 15 characters\n"},
        {"key of 148", "", [&] { return writeTelegramContent(0, 0, A.c_str(), 4, 1, 8); }, P + A + Q + S},
        {"key of 149", "", [&] { return writeTelegramContent(255, 255, (A + "B").c_str(), 255, 255, 255); },
         "-1 " + P.substr(12) + K + Q + S + "Statement too long\n"},
        {"failed update", "DROP TABLE ServerInfo", [] { return writeServerConfig("1.1.1.1", 1, 1); },
         "exclusive -1 error: no such table: ServerInfo no such table: ServerInfo"},
        {"update of no row", "DELETE FROM ReaderInfo", [] { return writeDevId(5); }, "exclusive 0  "},
        {"another connection's write transaction", "", [&] {
             sqlite3_open(readerDb.c_str(), &holder);
             sqlite3_exec(holder, "BEGIN IMMEDIATE; UPDATE ServerInfo SET port=1", nullptr, nullptr, nullptr);
             return holds.clear(), looks = 0, writeServerConfig("10.0.0.9", 2, 0);
         }, P + K + Q + "10.0.0.9|2|0 Reader database busy, waiting\n"},
    };
    for (const auto &row : rows) {
        unlink(readerDb.c_str());
        ASSERT_EQ(row.sql ? query(readerDb, READER_SCHEMA + std::string(row.sql)) : "", "") << row.name;
        std::string gives = holds = "", out = printed([&] {
            gives = row.update ? std::to_string(row.update()) : readAll();
        });
        gives = holds + gives;
        gives += row.update ? " " + query(readerDb, "SELECT * FROM ReaderInfo, ServerInfo") : "";
        EXPECT_EQ(gives + " " + out, row.gives) << row.name;
    }
}

TEST(HexChar2Hex, PairsGiveBytesAndANonDigitKeepsItsNibble)
{
    struct { const char *text, *gives; } rows[] = { // gives: the count, then 8 bytes filled with EE before
        {"0123456789AB", "6 0123456789ABEEEE"}, {"a0B1c2D3e4F5", "6 A0B1C2D3E4F5EEEE"},
        {"123Z", "2 1232EEEEEEEEEEEE"}, {"12Z4", "2 1214EEEEEEEEEEEE"}, {"Z1G-", "2 0101EEEEEEEEEEEE"},
        {"ABC", "1 ABEEEEEEEEEEEEEE"}, {"0123456789ABF", "6 0123456789ABEEEE"}, {"", "0 EEEEEEEEEEEEEEEE"},
    };
    for (const auto &row : rows) {
        uint8_t bytes[8];
        memset(bytes, 0xEE, sizeof bytes);
        int count = hexChar2Hex(row.text, bytes);
        EXPECT_EQ(std::to_string(count) + " " + hex(bytes, 8), row.gives) << row.text;
    }
}

// "read", "all" (delete all), "delete ID" or "write TEXT" on the card table.
std::string cardCall(sqlite3 *db, const std::string &call)
{
    const char *arg = call.c_str() + call.find(' ') + 1;
    if (call != "read")
        return std::to_string(call == "all"      ? deleteCardRecordAll(db)
                              : call[0] == 'd' ? deleteCardRecord(db, atoi(arg))
                                               : writeCardRecord(db, arg));
    CardRecord *record = readCardRecord(db);
    std::string text = record ? std::to_string(record->id) + "|" + record->cardNum : "none";
    free(record);
    return text;
}

TEST_F(Store, CardTableChangesAndTheFirstRowAsStoredOrRefused)
{
    const std::string C(217, 'C'), N(31, 'N'), card = dir + "/card.db", W = "exclusive ", R = "shared ";
    // values: the rows before ("-": no table); after: rwlock's hold, the result, what it printed, the rows
    struct { const char *name; std::string values, call, after; } rows[] = {
        {"insert", "", "write 0123ABCD", W + "0  1|0123ABCD"},
        {"read of the first row", "('0123ABCD'), ('2')", "read", R + "1|0123ABCD  1|0123ABCD 2|2"},
        {"delete by id", "('1'), ('2')", "delete 1", W + "0  2|2"},
        {"delete of no row", "('1')", "delete 9", W + "0  1|1"},
        {"delete all", "('1'), ('2'), ('3')", "all", W + "0  "}, {"read of no row", "", "read", R + "none  "},
        {"quote", "", "write x'); DROP TABLE Card; --", W + "0  1|x'); DROP TABLE Card; --"},
        {"card number of 217", "", "write " + C, W + "0  1|" + C},
        {"card number of 218", "", "write D" + C, "-1 Statement too long\n "},
        {"read of 31", "('" + N + "')", "read", R + "1|" + N + "  1|" + N},
        {"read of 32", "('" + N + "X')", "read", R + "none Card: card number longer than 31 characters\n 1|" +
         N + "X"},
        {"failed change", "-", "write 1", W + "-1 no such table: Card error: no such table: Card"},
        {"failed query", "-", "read", R + "none no such table: Card\n error: no such table: Card"},
    };
    sqlite3 *db = nullptr;
    ASSERT_EQ(sqlite3_open(card.c_str(), &db), SQLITE_OK);
    for (const auto &row : rows) {
        std::string make = "CREATE TABLE Card (id INTEGER PRIMARY KEY AUTOINCREMENT, cardNum TEXT);" +
                           (row.values.empty() ? "" : "INSERT INTO Card (cardNum) VALUES " + row.values);
        ASSERT_EQ(query(card, "DROP TABLE IF EXISTS Card;" + (row.values == "-" ? "" : make)), "");
        std::string result = holds = "", out = printed([&] { result = cardCall(db, row.call); });
        result = holds + result + " " + out + " ";
        EXPECT_EQ(result + query(card, "SELECT * FROM Card"), row.after) << row.name;
    }
    sqlite3_close(db);
}

using Provision = Store;

// One board, provisioned and checked row after row.
TEST_F(Provision, MakesFilesTheStoreReadsNeverOverwritesUnforcedAndCheckNamesEachProblem)
{
    const std::string root = dir + "/root", db = root + "/usr/local/etc/", net = root + "/etc/eth0-setting";
    const std::string GIVEN = "-12 0200A0B1C2D3E4F5EE000009 10.0.0.5 65535 1 IP=10.1.2.3\n";
    paths.readerDb = (readerDb = db + "reader.db").c_str();
    // sql: run on reader.db with card.db attached as card ("short": the settings file cut to three lines);
    // code: exit status; said: each in the output; reads: the store's reads, the settings file's first line
    struct { const char *name, *sql, *args; int code; std::vector<std::string> said; std::string reads; }
    rows[] = {
        {"bad key", "", "--key FFFFFFFFFFF", 2, {"rfidd-provision: --key 'FFFFFFFFFFF': expected 12"}, ""},
        {"help", "", "--help", 0, {"Usage: rfidd-provision", "--check"}, ""},
        {"no files", "", "--check", 1, {"reader.db: missing", "card.db: missing", "setting: missing"}, ""},
        {"given values", "", "--dev-id -12 --read-style 2 --key a0B1c2D3e4F5 --last-char 9 "
         "--server-ip 10.0.0.5 --server-port=65535 --code-type 1 --ip 10.1.2.3", 0,
         {"wrote " + db + "reader.db", "wrote " + net}, GIVEN},
        {"check of fresh files", "", "--check", 0, {"all files in order"}, ""},
        {"no overwrite", "", "--dev-id 6", 1, {"reader.db: exists (use --force"}, GIVEN},
        {"forced overwrite", "", "--force --dev-id 6", 0, {"wrote " + db + "card.db"},
         "6 0000FFFFFFFFFFFFEE000000 127.0.0.1 9000 0 IP=192.168.0.100\n"},
        {"bad key, dropped column, missing table, short file", "UPDATE ReaderInfo SET key='xyz'; ALTER TABLE "
         "ServerInfo DROP COLUMN codeType; DROP TABLE card.Card; short", "--check", 1, {"'xyz' is not 12 hex",
         "ServerInfo: column codeType missing", "table Card missing", "only 3 of", "4 problems"}, ""},
    };
    for (const auto &row : rows) {
        std::string sql = "ATTACH '" + db + "card.db' AS card;" + row.sql, out, reads;
        ASSERT_EQ(*row.sql ? query(readerDb, sql.substr(0, sql.find("short"))) : "", "") << row.name;
        ASSERT_TRUE(!strstr(row.sql, "short") || harness::writeFile(net, "IP=1\nMask=2\nG=3\n"));
        std::string tool = harness::binaryPath("rfidd-provision") + " --root " + root + " " + row.args;
        EXPECT_EQ(harness::runProgram({"/bin/sh", "-c", tool}, &out), row.code) << row.name << "\n" << out;
        for (const std::string &text : row.said)
            EXPECT_NE(out.find(text), std::string::npos) << row.name << ": no " << text << " in\n" << out;
        EXPECT_FALSE((row.code == 2 || !strcmp(row.args, "--help")) && fs::exists(root)) << row.name;
        if (row.reads.empty())
            continue;
        std::string text = printed([&] { reads = readAll() + " " + harness::readFile(net); });
        EXPECT_EQ(text + reads.substr(0, reads.find('\n') + 1), row.reads) << row.name;
    }
}

} // namespace
