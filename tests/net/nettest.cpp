#include "tests/net/nettest.h"

#include "core/config.h"
#include "core/state.h"
#include "tests/support/sandbox.h"

#include <sqlite3.h>

#include <cstdio>
#include <filesystem>

namespace nettest {

std::string escaped(const std::string &bytes)
{
    std::string text;
    for (unsigned char c : bytes) {
        switch (c) {
        case '\n':
            text += "\\n";
            break;
        case '\t':
            text += "\\t";
            break;
        case '\r':
            text += "\\r";
            break;
        case '"':
            text += "\\\"";
            break;
        case '\\':
            text += "\\\\";
            break;
        default:
            if (c < 0x20 || c >= 0x7f) {
                char hex[8];
                snprintf(hex, sizeof hex, "\\x%02X", c);
                text += hex;
            } else {
                text += static_cast<char>(c);
            }
        }
    }
    return text;
}

::testing::AssertionResult sameBytes(const std::string &actual, const std::string &expected)
{
    if (actual == expected)
        return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure()
           << "\n  expected (" << expected.size() << " bytes): \"" << escaped(expected) << "\"\n  actual   ("
           << actual.size() << " bytes): \"" << escaped(actual) << "\"";
}

static std::string member(int level, const std::string &key, const std::string &value, bool last)
{
    return std::string(static_cast<size_t>(level), '\t') + "\"" + key + "\":\t" + value +
           (last ? "\n" : ",\n");
}

static std::string quoted(const std::string &text)
{
    return "\"" + text + "\"";
}

std::string statusReply(int response)
{
    return "{\n" + member(1, "response", std::to_string(response), true) + "}";
}

std::string readerIdReply(const std::string &devId)
{
    return "{\n" + member(1, "response", "1", false) + "\t\"Data\":\t{\n" + member(2, "devId", devId, true) +
           "\t}\n}";
}

std::string netConfReply(const std::string &ip, const std::string &mask, const std::string &gateway,
                         const std::string &dns, const std::string &mac)
{
    return "{\n" + member(1, "response", "1", false) + "\t\"Data\":\t{\n" +
           member(2, "IP", quoted(ip), false) + member(2, "Mask", quoted(mask), false) +
           member(2, "Gateway", quoted(gateway), false) + member(2, "DNS", quoted(dns), false) +
           member(2, "MAC", quoted(mac), true) + "\t}\n}";
}

std::string serverConfReply(const std::string &type, const std::string &address, const std::string &port)
{
    return "{\n" + member(1, "response", "1", false) + member(1, "type", type, false) +
           member(1, "address", quoted(address), false) + member(1, "port", quoted(port), true) + "}";
}

std::string telegramReply(int readStyle, int keyType, const std::string &key, int block, int firstChar,
                          int lastChar)
{
    return "{\n" + member(1, "response", "1", false) +
           member(1, "readStyle", std::to_string(readStyle), false) +
           member(1, "keyType", std::to_string(keyType), false) + member(1, "key", quoted(key), false) +
           member(1, "block", std::to_string(block), false) +
           member(1, "firstChar", std::to_string(firstChar), false) +
           member(1, "lastChar", std::to_string(lastChar), true) + "}";
}

const char *const defaultSettingsFile = "IP=192.168.0.100\n"
                                        "Mask=255.255.255.0\n"
                                        "Gateway=192.168.0.1\n"
                                        "DNS=192.168.0.1\n"
                                        "MAC=00:11:22:33:44:55\n";

static int firstCell(void *target, int columns, char **values, char **)
{
    auto *text = static_cast<std::string *>(target);
    if (columns > 0 && text->empty())
        *text = values[0] ? values[0] : "<null>";
    return 0;
}

std::string sqlValue(const std::string &dbPath, const std::string &sql)
{
    sqlite3 *db = nullptr;
    std::string value;
    if (sqlite3_open_v2(dbPath.c_str(), &db, SQLITE_OPEN_READONLY, nullptr) != SQLITE_OK ||
        sqlite3_exec(db, sql.c_str(), firstCell, &value, nullptr) != SQLITE_OK)
        value = "<error>";
    sqlite3_close(db);
    return value;
}

bool sqlRun(const std::string &dbPath, const std::string &sql)
{
    sqlite3 *db = nullptr;
    bool ok = sqlite3_open_v2(dbPath.c_str(), &db, SQLITE_OPEN_READWRITE, nullptr) == SQLITE_OK &&
              sqlite3_exec(db, sql.c_str(), nullptr, nullptr, nullptr) == SQLITE_OK;
    sqlite3_close(db);
    return ok;
}

__attribute__((no_sanitize("null"))) int status()
{
    return result;
}
__attribute__((no_sanitize("null"))) void setStatus(int value)
{
    result = value;
}


std::string ScratchBoard::templateDir;
std::string ScratchBoard::provisionFailure;

void ScratchBoard::SetUpTestSuite()
{
    templateDir = harness::tempDir("rfidd-net-board");
    std::string text;
    int exitCode = harness::runProgram({harness::binaryPath("rfidd-provision"), "--root", templateDir}, &text);
    provisionFailure = exitCode == 0 ? "" : "rfidd-provision failed (" + std::to_string(exitCode) + "):\n" + text;
}

void ScratchBoard::TearDownTestSuite()
{
    harness::removeTree(templateDir);
}

void ScratchBoard::SetUp()
{
    ASSERT_EQ(provisionFailure, "");
    dir = harness::tempDir("rfidd-net");
    ASSERT_FALSE(dir.empty());
    std::error_code error;
    std::filesystem::copy(templateDir, dir, std::filesystem::copy_options::recursive, error);
    ASSERT_FALSE(error) << error.message();
    settingsFile = dir + "/etc/eth0-setting";
    readerDb = dir + "/usr/local/etc/reader.db";
    cardDb = dir + "/usr/local/etc/card.db";
    rebootLog = dir + "/reboot.log";
    rebootCommand = "echo reboot >> '" + rebootLog + "'";
    // A settings file of known text, whatever the provisioning tool writes.
    ASSERT_TRUE(harness::writeFile(settingsFile, defaultSettingsFile));

    saved = {paths.serialDevice, paths.netSettingsFile, paths.readerDb, paths.cardDb, paths.rebootCommand};
    paths.netSettingsFile = settingsFile.c_str();
    paths.readerDb = readerDb.c_str();
    paths.cardDb = cardDb.c_str();
    paths.rebootCommand = rebootCommand.c_str();
    // The process-wide records as a freshly started daemon has them.
    setSrvConf(ServerConf{});
    setTelegramContent(TelegramContent{});
}

void ScratchBoard::TearDown()
{
    if (saved.netSettingsFile) {
        paths.serialDevice = saved.serialDevice;
        paths.netSettingsFile = saved.netSettingsFile;
        paths.readerDb = saved.readerDb;
        paths.cardDb = saved.cardDb;
        paths.rebootCommand = saved.rebootCommand;
    }
    if (!dir.empty())
        harness::removeTree(dir);
}

void ScratchBoard::setRebootCommand(const std::string &command)
{
    rebootCommand = command;
    paths.rebootCommand = rebootCommand.c_str();
}

void ScratchBoard::setSettingsFile(const std::string &path)
{
    settingsFile = path;
    paths.netSettingsFile = settingsFile.c_str();
}

void ScratchBoard::setReaderDb(const std::string &path)
{
    readerDb = path;
    paths.readerDb = readerDb.c_str();
}

int ScratchBoard::rebootCount() const
{
    return static_cast<int>(harness::readLines(rebootLog).size());
}

} // namespace nettest
