// The handlers of the configuration and discovery services against a scratch
// board made by rfidd-provision. Each row of the table is one request, its
// exact reply and what it changed in memory, in the reader database, in the
// settings file and in the reboot log; everything else must stay as it was.
#include "core/config.h"
#include "core/state.h"
#include "net/tcpserver.h"
#include "net/udpserver.h"
#include "store/store.h"
#include "tests/support/sandbox.h"

#include <gtest/gtest.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <map>
#include <thread>

using namespace harness;

namespace {

// `result` out of line: GCC 12 with ASan+UBSan misreads an inline access to
// the extern thread_local (a null check that TLS relaxation leaves stale).
__attribute__((noinline, no_sanitize("null"))) int swapStatus(int value)
{
    std::swap(result, value);
    return value;
}

// cJSON's formatted print of an object, its values given as JSON text.
std::string json(const std::vector<std::pair<std::string, std::string>> &members, size_t level = 1)
{
    std::string text = "{\n";
    for (const auto &[key, value] : members)
        text += std::string(level, '\t') + "\"" + key + "\":\t" + value + (&value == &members.back().second ? "\n" : ",\n");
    return text + std::string(level - 1, '\t') + "}";
}
std::string q(const std::string &text) { return "\"" + text + "\""; }
const std::string OK = json({{"response", "1"}}), NO = json({{"response", "0"}});
std::string idReply(const char *id) { return json({{"response", "1"}, {"Data", json({{"devId", id}}, 2)}}); }
std::string srvReply(const char *type, const char *address, const char *port)
{
    return json({{"response", "1"}, {"type", type}, {"address", q(address)}, {"port", q(port)}});
}
std::string netReply(const char *ip, const char *mask, const char *gateway, const char *dns, const char *mac)
{
    return json({{"response", "1"}, {"Data", json({{"IP", q(ip)}, {"Mask", q(mask)}, {"Gateway", q(gateway)},
                                                  {"DNS", q(dns)}, {"MAC", q(mac)}}, 2)}});
}

std::string cmd(const std::string &name, const std::string &data = "")
{
    return R"({"Command":")" + name + "\"" + (data.empty() ? "" : ",\"Data\":" + data) + "}";
}
std::string setNet(const std::string &ip, const std::string &dns = "", const std::string &old = "")
{
    return cmd("CMD_SetNetConf", "{" + old + R"("IP":")" + ip + R"(","Mask":"","Gateway":"","DNS":")" + dns + R"(","MAC":""})");
}
std::string udpNet(const std::string &oldIp, const std::string &ip) { return setNet(ip, "", R"("OldIP":")" + oldIp + R"(",)"); }
std::string setSrv(const std::string &ip, const std::string &port, const std::string &type = "0")
{
    return cmd("CMD_SetServerConf", R"({"IP":")" + ip + R"(","Port":)" + port + R"(,"CodeType":)" + type + "}");
}
std::string setTc(const std::string &key, const std::string &last = R"(,"LastChar":10)")
{
    return cmd("CMD_SetTelegramContent", R"({"ReadStyle":300,"KeyType":1,"Key":")" + key + R"(","Block":511,"FirstChar":-1)" + last + "}");
}

const std::string REST = "\nMask=255.255.255.0\nGateway=192.168.0.1\nDNS=192.168.0.1\nMAC=00:11:22:33:44:55\n";
const std::string D58(58, 'd');

struct Row {
    const char *what;
    char service;                 // 'T': configuration, the reply; 'U': discovery, "kind status"
    std::string request, reply;
    std::string changes;          // "name=value;..." of the snapshot below
    std::string broken = "";      // "file", "db" or "peer": that one is missing for the row
};
// clang-format off
const Row ROWS[] = {
    {"reader id", 'T', cmd("CMD_GetReaderId"), idReply("1"), ""},
    {"server settings before any", 'T', cmd("CMD_GetServerConf"), srvReply("0", "", "0"), ""},
    {"network settings", 'T', cmd("CMD_GetNetConf"), netReply("192.168.0.100", "255.255.255.0", "192.168.0.1", "192.168.0.1", "00:11:22:33:44:55"), ""},
    {"search", 'U', cmd("CMD_SearchReader", q("TcpReader Request")), "32 0", ""},
    {"search with a trailing space", 'U', cmd("CMD_SearchReader", q("TcpReader Request ")), "32 -1", ""},
    {"the discovery answer", 'U', "TcpReader Response", "0 7777", ""},
    {"network setup for a prefix of this board", 'U', udpNet("192.168.0.10", "10.0.0.9"), "16 -1", ""},
    {"network setup, a value too long", 'U', udpNet("192.168.0.100", std::string(64, '9')), "16 -1", ""},
    {"network setup for this board", 'U', udpNet("192.168.0.100", "10.0.0.9"), "16 0", "file=IP=10.0.0.9" + REST},
    {"set reader id", 'T', cmd("CMD_SetReaderId", R"({"devId":4711})"), OK, "id=4711"},
    {"keys in upper case", 'T', R"({"COMMAND":"CMD_SetReaderId","DATA":{"DEVID":-25}})", OK, "id=-25"},
    {"reader id read back, keys in lower case", 'T', R"({"command":"CMD_GetReaderId"})", idReply("-25"), ""},
    {"reader id as a string", 'T', cmd("CMD_SetReaderId", R"({"devId":"5"})"), NO, ""},
    {"command name in other case", 'T', cmd("CMD_SetReaderID", R"({"devId":5})"), "", ""},
    {"set server settings", 'T', setSrv("10.0.0.5", "8080", "1"), OK, "srv=10.0.0.5|8080|1;dbsrv=10.0.0.5|8080|1"},
    {"server settings read back", 'T', cmd("CMD_GetServerConf"), srvReply("1", "10.0.0.5", "8080"), ""},
    {"15-character address, 7-digit port", 'T', setSrv("255.255.255.255", "9999999", "-3"), OK, "srv=255.255.255.255|9999999|-3;dbsrv=255.255.255.255|9999999|-3"},
    {"8-digit port", 'T', setSrv("10.0.0.1", "10000000"), NO, ""},
    {"16-character address", 'T', setSrv("192.168.100.1001", "1"), NO, ""},
    {"server settings, the database write fails", 'T', setSrv("10.0.0.7", "7000", "1"), NO, "srv=10.0.0.7|7000|1", "db"},
    {"server settings held in memory", 'T', cmd("CMD_GetServerConf"), srvReply("1", "10.0.0.7", "7000"), ""},
    {"set telegram content", 'T', setTc("a1b2c3d4e5f6"), OK, "tc=44|1|A1B2C3D4E5F6|255|255|10;dbtc=44|1|A1B2C3D4E5F6|255|255|10"},
    {"telegram content read back", 'T', cmd("CMD_GetTelegramContent"), json({{"response", "1"}, {"readStyle", "44"}, {"keyType", "1"}, {"key", q("A1B2C3D4E5F6")}, {"block", "255"}, {"firstChar", "255"}, {"lastChar", "10"}}), ""},
    {"a short key", 'T', setTc("ffee"), OK, "tc=44|1|FFEEC3D4E5F6|255|255|10;dbtc=44|1|FFEE00000000|255|255|10"},
    {"a 14-digit key", 'T', setTc("A1B2C3D4E5F6A1"), NO, ""},
    {"a key with g", 'T', setTc("a1b2c3d4e5fg"), NO, ""},
    {"telegram content without LastChar", 'T', setTc("a1b2c3d4e5f6", ""), NO, ""},
    {"network settings, only IP", 'T', setNet("10.9.9.9"), OK, "reboots=1;file=IP=10.9.9.9" + REST},
    {"network settings, all empty", 'T', setNet(""), OK, "reboots=2"},
    {"network settings, the longest DNS", 'T', setNet("", D58), OK, "reboots=3;file=IP=10.9.9.9\nMask=255.255.255.0\nGateway=192.168.0.1\nDNS=" + D58 + "\nMAC=00:11:22:33:44:55\n"},
    {"network settings, a DNS one too long", 'T', setNet("", D58 + "d"), NO, ""},
    {"network settings, a line feed", 'T', setNet("1.2.3.4\\nMask=0"), NO, ""},
    {"network settings, the write fails", 'T', setNet("10.1.1.1"), NO, "", "file"},
    {"network settings, no file", 'T', cmd("CMD_GetNetConf"), netReply("", "", "", "", ""), "", "file"},
    {"reader id without ReaderInfo", 'T', cmd("CMD_GetReaderId"), NO, "", "db"},
    {"buzzer", 'T', cmd("CMD_CtrBuzzer", "{}"), "", ""},
    {"unknown command", 'T', cmd("CMD_Reboot"), "", ""},
    {"no JSON", 'T', "hello", "", ""},
    {"a JSON array", 'T', R"([{"Command":"CMD_GetReaderId"}])", "", ""},
    {"a number for a command", 'T', R"({"Command":19})", "", ""},
    {"only the first JSON value", 'T', cmd("CMD_GetReaderId") + cmd("CMD_GetNetConf"), idReply("-25"), ""},
    {"a peer that has gone", 'T', cmd("CMD_GetNetConf"), "", "", "peer"},
};
// clang-format on

std::string dir, settings, readerDb, rebootLog, rebootCommand;

std::string text(const ServerConf &s) { return std::string(s.ip) + "|" + std::to_string(s.port) + "|" + std::to_string(s.codeType); }
std::string text(const TelegramContent &t)
{
    char line[64];
    snprintf(line, sizeof line, "%d|%d|%02X%02X%02X%02X%02X%02X|%d|%d|%d", t.readStyle, t.keyType, t.key[0], t.key[1],
             t.key[2], t.key[3], t.key[4], t.key[5], t.block, t.firstChar, t.lastChar);
    return line;
}
std::map<std::string, std::string> snapshot()
{
    int id = 0;
    ServerConf s{};
    TelegramContent t{};
    readDevId(&id);
    readServerConfig(s.ip, &s.port, &s.codeType);
    readTelegramContent(&t.readStyle, &t.keyType, t.key, &t.block, &t.firstChar, &t.lastChar);
    return {{"srv", text(getSrvConf())}, {"tc", text(getTelegramContent())}, {"id", std::to_string(id)},
            {"dbsrv", text(s)}, {"dbtc", text(t)}, {"file", readFile(settings)},
            {"reboots", std::to_string(readLines(rebootLog).size())}};
}

// Carries out one row; the reply as the row gives it.
std::string handle(const Row &row)
{
    if (row.service == 'U') {
        swapStatus(7777); // no status is ever 7777
        int kind = udpserver::parse_data(row.request.c_str());
        return std::to_string(kind) + " " + std::to_string(swapStatus(0));
    }
    int pair[2];
    socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair);
    if (row.broken == "peer")
        close(pair[1]); // the reply then fails, and must not end the process
    tcpserver::response(pair[0], tcpserver::parse_data(pair[0], row.request.c_str()));
    close(pair[0]);
    std::string reply = row.broken == "peer" ? "" : recvAll(pair[1], 5000);
    close(pair[1]);
    return reply;
}

TEST(NetHandlers, RequestsGiveTheirExactRepliesAndChangeOnlyWhatTheyShould)
{
    dir = tempDir("rfidd-net");
    std::string out, missingFile = dir + "/missing/eth0-setting", emptyDb = dir + "/empty.db";
    ASSERT_EQ(runProgram({binaryPath("rfidd-provision"), "--root", dir}, &out), 0) << out;
    settings = dir + "/etc/eth0-setting", readerDb = dir + "/usr/local/etc/reader.db";
    rebootLog = dir + "/reboot.log", rebootCommand = "echo reboot >> " + rebootLog;
    ASSERT_TRUE(writeFile(settings, "IP=192.168.0.100" + REST));
    for (const Row &row : ROWS) {
        SCOPED_TRACE(row.what);
        paths = {paths.serialDevice, settings.c_str(), readerDb.c_str(), paths.cardDb, rebootCommand.c_str()};
        std::map<std::string, std::string> expected = snapshot();
        for (size_t at = 0, end; at < row.changes.size(); at = end + 1) {
            end = std::min(row.changes.find(';', at), row.changes.size());
            size_t equals = row.changes.find('=', at);
            expected[row.changes.substr(at, equals - at)] = row.changes.substr(equals + 1, end - equals - 1);
        }
        if (row.broken == "file")
            paths.netSettingsFile = missingFile.c_str();
        if (row.broken == "db")
            paths.readerDb = emptyDb.c_str();
        EXPECT_EQ(handle(row), row.reply);
        paths = {paths.serialDevice, settings.c_str(), readerDb.c_str(), paths.cardDb, rebootCommand.c_str()};
        EXPECT_EQ(snapshot(), expected);
    }
    removeTree(dir);
}

// A request is what arrives until the peer has been quiet for the given time
// (or has closed, or filled the buffer): here one in two parts, the second
// sent as soon as the first has been taken.
TEST(TcpFraming, PartsOfARequestWithinTheQuietTimeAreOneRequest)
{
    int pair[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair), 0);
    std::thread peer([&] {
        sendAll(pair[1], "abc");
        waitUntil([&] { int waiting = 0; return ioctl(pair[0], FIONREAD, &waiting) == 0 && waiting == 0; }, 5000);
        sendAll(pair[1], "def");
        close(pair[1]);
    });
    char buffer[1025] = {};
    EXPECT_EQ(trecvn(pair[0], buffer, 1024, 200), 6);
    EXPECT_STREQ(buffer, "abcdef");
    peer.join();
    close(pair[0]);
}

} // namespace
