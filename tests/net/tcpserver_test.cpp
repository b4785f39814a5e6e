// The configuration commands: tcpserver::parse_data and tcpserver::response
// on one end of a socket pair, the reply read byte for byte from the other.
#include "net/tcpserver.h"

#include "core/state.h"
#include "tests/net/nettest.h"
#include "tests/support/sandbox.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <cstring>
#include <string>
#include <thread>

using nettest::netConfReply;
using nettest::readerIdReply;
using nettest::sameBytes;
using nettest::serverConfReply;
using nettest::sqlValue;
using nettest::statusReply;
using nettest::telegramReply;

namespace {

struct Exchange {
    int kind = -1;
    std::string reply;
};

// Everything readable on `fd` until the peer has closed.
std::string drain(int fd)
{
    std::string text;
    char buffer[4096];
    for (;;) {
        pollfd entry{fd, POLLIN, 0};
        if (poll(&entry, 1, 5000) != 1)
            break;
        ssize_t n = recv(fd, buffer, sizeof buffer, 0);
        if (n <= 0)
            break;
        text.append(buffer, static_cast<size_t>(n));
    }
    return text;
}

// One request through the command handler and the reply step, as the
// service runs them for one request of a connection.
Exchange exchange(const std::string &request)
{
    Exchange done;
    int pair[2];
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair) != 0)
        return done;
    done.kind = tcpserver::parse_data(pair[0], request.c_str());
    tcpserver::response(pair[0], done.kind);
    close(pair[0]);
    done.reply = drain(pair[1]);
    close(pair[1]);
    return done;
}

std::string reply(const std::string &request)
{
    return exchange(request).reply;
}

const std::string getReaderId = R"({"Command":"CMD_GetReaderId"})";
const std::string getNetConf = R"({"Command":"CMD_GetNetConf"})";
const std::string getServerConf = R"({"Command":"CMD_GetServerConf"})";
const std::string getTelegram = R"({"Command":"CMD_GetTelegramContent"})";

std::string setNetConf(const std::string &ip, const std::string &mask, const std::string &gateway,
                       const std::string &dns, const std::string &mac)
{
    return R"({"Command":"CMD_SetNetConf","Data":{"IP":")" + ip + R"(","Mask":")" + mask +
           R"(","Gateway":")" + gateway + R"(","DNS":")" + dns + R"(","MAC":")" + mac + R"("}})";
}

std::string setTelegram(const std::string &members)
{
    return R"({"Command":"CMD_SetTelegramContent","Data":{)" + members + "}}";
}

std::string setServer(const std::string &members)
{
    return R"({"Command":"CMD_SetServerConf","Data":{)" + members + "}}";
}

const std::string defaultNetReply =
    netConfReply("192.168.0.100", "255.255.255.0", "192.168.0.1", "192.168.0.1", "00:11:22:33:44:55");
const std::string okStatus = statusReply(1);
const std::string failedStatus = statusReply(0);

bool sameServerConf(const ServerConf &a, const ServerConf &b)
{
    return strcmp(a.ip, b.ip) == 0 && a.port == b.port && a.codeType == b.codeType;
}

bool sameTelegram(const TelegramContent &a, const TelegramContent &b)
{
    return memcmp(&a, &b, sizeof a) == 0;
}

class TcpCommands : public nettest::ScratchBoard
{
};
class TcpRefusals : public nettest::ScratchBoard
{
  protected:
    // Memory, database and settings file before a refused request...
    void snapshot()
    {
        server = getSrvConf();
        telegram = getTelegramContent();
        dbBytes = harness::readFile(readerDb);
        fileBytes = harness::readFile(settingsFile);
    }
    // ... and after it: nothing may have changed, nothing rebooted.
    void expectUnchanged(const std::string &request)
    {
        SCOPED_TRACE(request);
        ServerConf serverAfter = getSrvConf();
        TelegramContent telegramAfter = getTelegramContent();
        EXPECT_TRUE(sameServerConf(serverAfter, server)) << "srvConf changed";
        EXPECT_TRUE(sameTelegram(telegramAfter, telegram)) << "telegramContent changed";
        EXPECT_TRUE(harness::readFile(readerDb) == dbBytes) << "reader database changed";
        EXPECT_TRUE(sameBytes(harness::readFile(settingsFile), fileBytes)) << "settings file changed";
        EXPECT_EQ(rebootCount(), 0);
    }
    void expectRefused(const std::string &request, int kind)
    {
        snapshot();
        Exchange done = exchange(request);
        EXPECT_EQ(done.kind, kind) << request;
        EXPECT_TRUE(sameBytes(done.reply, failedStatus)) << request;
        EXPECT_EQ(nettest::status(), -1);
        expectUnchanged(request);
    }

    ServerConf server{};
    TelegramContent telegram{};
    std::string dbBytes;
    std::string fileBytes;
};

// --- replies of every command, before and after the sets ------------------

TEST_F(TcpCommands, StatusAndReaderIdRepliesHaveTheirExactLengths)
{
    EXPECT_EQ(okStatus.size(), 18u);
    EXPECT_EQ(readerIdReply("1").size(), 46u);
    Exchange done = exchange(getReaderId);
    EXPECT_EQ(done.kind, tcpserver::REPLY_GET_READER_ID);
    EXPECT_TRUE(sameBytes(done.reply, "{\n\t\"response\":\t1,\n\t\"Data\":\t{\n\t\t\"devId\":\t1\n\t}\n}"));
    EXPECT_EQ(nettest::status(), 0);
}

TEST_F(TcpCommands, SetReaderIdIsStoredAndReadBack)
{
    Exchange done = exchange(R"({"Command":"CMD_SetReaderId","Data":{"devId":4711}})");
    EXPECT_EQ(done.kind, tcpserver::REPLY_SET_READER_ID);
    EXPECT_TRUE(sameBytes(done.reply, okStatus));
    EXPECT_EQ(sqlValue(readerDb, "select devId from ReaderInfo where id=1"), "4711");
    EXPECT_TRUE(sameBytes(reply(getReaderId), readerIdReply("4711")));
}

TEST_F(TcpCommands, ReaderIdKeepsItsSignAndLosesItsFraction)
{
    EXPECT_TRUE(sameBytes(reply(R"({"Command":"CMD_SetReaderId","Data":{"devId":-25}})"), okStatus));
    EXPECT_TRUE(sameBytes(reply(getReaderId), readerIdReply("-25")));
    EXPECT_TRUE(sameBytes(reply(R"({"Command":"CMD_SetReaderId","Data":{"devId":7.9}})"), okStatus));
    EXPECT_TRUE(sameBytes(reply(getReaderId), readerIdReply("7")));
}

TEST_F(TcpCommands, GetNetConfReportsTheSettingsFile)
{
    Exchange done = exchange(getNetConf);
    EXPECT_EQ(done.kind, tcpserver::REPLY_GET_NET_CONF);
    EXPECT_TRUE(sameBytes(done.reply, defaultNetReply));
}

TEST_F(TcpCommands, GetNetConfWithoutSettingsFileReportsEmptyValues)
{
    setSettingsFile(dir + "/no-such-dir/eth0-setting");
    EXPECT_TRUE(sameBytes(reply(getNetConf), netConfReply("", "", "", "", "")));
}

TEST_F(TcpCommands, SetNetConfRewritesTheFileThenReboots)
{
    Exchange done =
        exchange(setNetConf("10.1.2.3", "255.0.0.0", "10.0.0.1", "10.0.0.2", "02:00:00:00:00:01"));
    EXPECT_EQ(done.kind, tcpserver::REPLY_SET_NET_CONF);
    EXPECT_TRUE(sameBytes(done.reply, okStatus));
    EXPECT_TRUE(sameBytes(harness::readFile(settingsFile), "IP=10.1.2.3\nMask=255.0.0.0\nGateway=10.0.0.1\n"
                                                           "DNS=10.0.0.2\nMAC=02:00:00:00:00:01\n"));
    EXPECT_EQ(rebootCount(), 1);
    EXPECT_TRUE(sameBytes(reply(getNetConf), netConfReply("10.1.2.3", "255.0.0.0", "10.0.0.1", "10.0.0.2",
                                                          "02:00:00:00:00:01")));
}

TEST_F(TcpCommands, SetNetConfWithOnlyIpChangesOnlyTheFirstLine)
{
    EXPECT_TRUE(sameBytes(reply(setNetConf("10.9.9.9", "", "", "", "")), okStatus));
    EXPECT_TRUE(sameBytes(harness::readFile(settingsFile),
                          "IP=10.9.9.9\nMask=255.255.255.0\nGateway=192.168.0.1\n"
                          "DNS=192.168.0.1\nMAC=00:11:22:33:44:55\n"));
}

TEST_F(TcpCommands, SetNetConfWithAllValuesEmptyRewritesTheFileUnchangedAndReboots)
{
    EXPECT_TRUE(sameBytes(reply(setNetConf("", "", "", "", "")), okStatus));
    EXPECT_TRUE(sameBytes(harness::readFile(settingsFile), nettest::defaultSettingsFile));
    EXPECT_EQ(rebootCount(), 1);
}

TEST_F(TcpCommands, SetNetConfPlacesValuesByPositionAndKeepsTheNames)
{
    ASSERT_TRUE(harness::writeFile(settingsFile, "addr=1.1.1.1\nnm=2\ngw=3\nns=4=x\nhw=5\nextra=6\n"));
    EXPECT_TRUE(sameBytes(reply(setNetConf("9.9.9.9", "", "", "8.8.8.8", "")), okStatus));
    EXPECT_TRUE(sameBytes(harness::readFile(settingsFile), "addr=9.9.9.9\nnm=2\ngw=3\nns=8.8.8.8\nhw=5\n"));
}

TEST_F(TcpCommands, SetNetConfTakesTheLongestValueThatFitsTheLine)
{
    // "DNS=" + 58 characters + line feed is the longest line the file takes.
    std::string dns(58, 'd');
    EXPECT_TRUE(sameBytes(reply(setNetConf("", "", "", dns, "")), okStatus));
    EXPECT_EQ(harness::readLines(settingsFile).at(3), "DNS=" + dns);
}

TEST_F(TcpCommands, SetNetConfWriteFailureAnswersZeroAndNeverReboots)
{
    setSettingsFile(dir + "/no-such-dir/eth0-setting");
    Exchange done = exchange(setNetConf("10.1.2.3", "", "", "", ""));
    EXPECT_EQ(done.kind, tcpserver::REPLY_SET_NET_CONF);
    EXPECT_TRUE(sameBytes(done.reply, failedStatus));
    EXPECT_EQ(nettest::status(), -1);
    EXPECT_EQ(rebootCount(), 0);
}

// The reboot command below records its run and then waits on a FIFO: while
// it waits, the reply must already be readable on the client's end.
TEST_F(TcpCommands, SetNetConfReplyIsReadableBeforeTheRebootRuns)
{
    std::string gate = dir + "/gate";
    ASSERT_EQ(mkfifo(gate.c_str(), 0600), 0);
    setRebootCommand("echo reboot >> '" + rebootLog + "' && cat '" + gate + "' > /dev/null");

    int pair[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair), 0);
    int kind = tcpserver::parse_data(pair[0], setNetConf("10.4.4.4", "", "", "", "").c_str());
    ASSERT_EQ(kind, tcpserver::REPLY_SET_NET_CONF);
    std::thread replier([&] { tcpserver::response(pair[0], kind); });

    bool rebooted = false;
    for (int waited = 0; waited < 10000 && !rebooted; waited += 5) {
        rebooted = rebootCount() == 1;
        if (!rebooted)
            usleep(5000);
    }
    char peek[64];
    ssize_t readable = recv(pair[1], peek, sizeof peek, MSG_PEEK | MSG_DONTWAIT);
    if (rebooted) {
        int release = open(gate.c_str(), O_WRONLY | O_CLOEXEC);
        if (release >= 0)
            close(release);
    }
    replier.join();
    ASSERT_TRUE(rebooted) << "the reboot command never ran";
    ASSERT_GT(readable, 0) << "no reply was readable while the reboot command ran";
    EXPECT_TRUE(sameBytes(std::string(peek, static_cast<size_t>(readable)), okStatus));
    close(pair[0]);
    close(pair[1]);
}

TEST_F(TcpCommands, ServerConfIsAllZeroUntilSet)
{
    Exchange done = exchange(getServerConf);
    EXPECT_EQ(done.kind, tcpserver::REPLY_GET_SERVER_CONF);
    EXPECT_TRUE(sameBytes(done.reply, serverConfReply("0", "", "0")));
}

TEST_F(TcpCommands, SetServerConfChangesMemoryAndDatabase)
{
    Exchange done = exchange(setServer(R"("IP":"10.0.0.5","Port":8080,"CodeType":1)"));
    EXPECT_EQ(done.kind, tcpserver::REPLY_SET_SERVER_CONF);
    EXPECT_TRUE(sameBytes(done.reply, okStatus));
    EXPECT_TRUE(sameBytes(reply(getServerConf), serverConfReply("1", "10.0.0.5", "8080")));
    ServerConf conf = getSrvConf();
    EXPECT_STREQ(conf.ip, "10.0.0.5");
    EXPECT_EQ(conf.port, 8080);
    EXPECT_EQ(conf.codeType, 1);
    EXPECT_EQ(sqlValue(readerDb, "select ip || '|' || port || '|' || codeType from ServerInfo where id=1"),
              "10.0.0.5|8080|1");
}

TEST_F(TcpCommands, SetServerConfTakesTheWidestValues)
{
    EXPECT_TRUE(
        sameBytes(reply(setServer(R"("IP":"255.255.255.255","Port":9999999,"CodeType":-3)")), okStatus));
    EXPECT_TRUE(sameBytes(reply(getServerConf), serverConfReply("-3", "255.255.255.255", "9999999")));
    EXPECT_TRUE(sameBytes(reply(setServer(R"("IP":"1.2.3.4","Port":-999999,"CodeType":0)")), okStatus));
    EXPECT_TRUE(sameBytes(reply(getServerConf), serverConfReply("0", "1.2.3.4", "-999999")));
}

TEST_F(TcpCommands, ServerConfAfterAFailedDatabaseWriteShowsTheNewValues)
{
    setReaderDb(dir + "/no-such-dir/reader.db");
    EXPECT_TRUE(sameBytes(reply(setServer(R"("IP":"10.0.0.7","Port":7000,"CodeType":1)")), failedStatus));
    EXPECT_EQ(nettest::status(), -1);
    EXPECT_TRUE(sameBytes(reply(getServerConf), serverConfReply("1", "10.0.0.7", "7000")));
}

TEST_F(TcpCommands, TelegramContentIsAllZeroUntilSet)
{
    Exchange done = exchange(getTelegram);
    EXPECT_EQ(done.kind, tcpserver::REPLY_GET_TELEGRAM_CONTENT);
    EXPECT_TRUE(sameBytes(done.reply, telegramReply(0, 0, "000000000000", 0, 0, 0)));
}

TEST_F(TcpCommands, SetTelegramContentChangesMemoryAndDatabase)
{
    Exchange done = exchange(setTelegram(
        R"("ReadStyle":1,"KeyType":1,"Key":"a1b2c3d4e5f6","Block":4,"FirstChar":3,"LastChar":10)"));
    EXPECT_EQ(done.kind, tcpserver::REPLY_SET_TELEGRAM_CONTENT);
    EXPECT_TRUE(sameBytes(done.reply, okStatus));
    // Memory holds the key bytes, reported in upper case; the database the
    // text as it was sent.
    EXPECT_TRUE(sameBytes(reply(getTelegram), telegramReply(1, 1, "A1B2C3D4E5F6", 4, 3, 10)));
    EXPECT_EQ(sqlValue(readerDb, "select key from ReaderInfo where id=1"), "a1b2c3d4e5f6");
    EXPECT_EQ(sqlValue(readerDb,
                       "select readStyle || '|' || keyType || '|' || block || '|' || firstChar || '|' "
                       "|| lastChar from ReaderInfo where id=1"),
              "1|1|4|3|10");
    TelegramContent content = getTelegramContent();
    const uint8_t key[6] = {0xA1, 0xB2, 0xC3, 0xD4, 0xE5, 0xF6};
    EXPECT_EQ(memcmp(content.key, key, 6), 0);
}

TEST_F(TcpCommands, ReadStyleKeepsItsLowEightBits)
{
    EXPECT_TRUE(sameBytes(
        reply(setTelegram(
            R"("ReadStyle":300,"KeyType":256,"Key":"FFFFFFFFFFFF","Block":511,"FirstChar":-1,"LastChar":200)")),
        okStatus));
    EXPECT_TRUE(sameBytes(reply(getTelegram), telegramReply(44, 0, "FFFFFFFFFFFF", 255, 255, 200)));
    EXPECT_EQ(sqlValue(readerDb,
                       "select readStyle || '|' || keyType || '|' || block || '|' || firstChar || '|' "
                       "|| lastChar from ReaderInfo where id=1"),
              "44|0|255|255|200");
}

TEST_F(TcpCommands, ShortKeyReplacesOnlyTheLeadingKeyBytes)
{
    const std::string rest = R"(,"ReadStyle":0,"KeyType":0,"Block":0,"FirstChar":0,"LastChar":0)";
    EXPECT_TRUE(sameBytes(reply(setTelegram(R"("Key":"0123456789AB")" + rest)), okStatus));
    EXPECT_TRUE(sameBytes(reply(setTelegram(R"("Key":"ffee")" + rest)), okStatus));
    EXPECT_TRUE(sameBytes(reply(getTelegram), telegramReply(0, 0, "FFEE456789AB", 0, 0, 0)));
    // An odd last digit is ignored.
    EXPECT_TRUE(sameBytes(reply(setTelegram(R"("Key":"11223")" + rest)), okStatus));
    EXPECT_TRUE(sameBytes(reply(getTelegram), telegramReply(0, 0, "1122456789AB", 0, 0, 0)));
    EXPECT_EQ(sqlValue(readerDb, "select key from ReaderInfo where id=1"), "11223");
    // No digits: no key byte changes.
    EXPECT_TRUE(sameBytes(reply(setTelegram(R"("Key":"")" + rest)), okStatus));
    EXPECT_TRUE(sameBytes(reply(getTelegram), telegramReply(0, 0, "1122456789AB", 0, 0, 0)));
}

TEST_F(TcpCommands, GetReaderIdWithoutReaderInfoTableAnswersTheFailedStatus)
{
    ASSERT_TRUE(nettest::sqlRun(readerDb, "drop table ReaderInfo"));
    Exchange done = exchange(getReaderId);
    EXPECT_EQ(done.kind, tcpserver::REPLY_GET_READER_ID);
    EXPECT_TRUE(sameBytes(done.reply, "{\n\t\"response\":\t0\n}"));
    EXPECT_EQ(nettest::status(), -1);
}

TEST_F(TcpCommands, SetReaderIdOnABrokenDatabaseAnswersZero)
{
    ASSERT_TRUE(nettest::sqlRun(readerDb, "drop table ReaderInfo"));
    EXPECT_TRUE(sameBytes(reply(R"({"Command":"CMD_SetReaderId","Data":{"devId":5}})"), failedStatus));
    EXPECT_EQ(nettest::status(), -1);
}

// --- envelope: key case, command names, things that get no reply -------------

TEST_F(TcpCommands, KeysIgnoreCase)
{
    EXPECT_TRUE(sameBytes(reply(R"({"command":"CMD_SetReaderId","data":{"devid":12}})"), okStatus));
    EXPECT_TRUE(sameBytes(reply(R"({"COMMAND":"CMD_GetReaderId"})"), readerIdReply("12")));
    EXPECT_TRUE(sameBytes(reply(R"({"COMMAND":"CMD_SetReaderId","DATA":{"DEVID":13}})"), okStatus));
    EXPECT_TRUE(sameBytes(reply(getReaderId), readerIdReply("13")));
    EXPECT_TRUE(sameBytes(
        reply(R"({"cOmMaNd":"CMD_SetServerConf","dAtA":{"ip":"1.2.3.4","PORT":1,"codetype":1}})"), okStatus));
    EXPECT_TRUE(sameBytes(reply(getServerConf), serverConfReply("1", "1.2.3.4", "1")));
}

TEST_F(TcpCommands, CommandNamesAreCaseSensitive)
{
    std::string db = harness::readFile(readerDb);
    for (const char *request : {R"({"Command":"cmd_getreaderid"})", R"({"Command":"CMD_GETREADERID"})",
                                R"({"Command":"CMD_SetReaderID","Data":{"devId":99}})",
                                R"({"Command":"CMD_GetReaderId "})", R"({"Command":" CMD_GetNetConf"})"}) {
        Exchange done = exchange(request);
        EXPECT_EQ(done.kind, tcpserver::REPLY_NONE) << request;
        EXPECT_TRUE(sameBytes(done.reply, "")) << request;
    }
    EXPECT_TRUE(harness::readFile(readerDb) == db);
}

TEST_F(TcpCommands, ControlCommandsAndUnknownCommandsAnswerNothing)
{
    for (const char *request :
         {R"({"Command":"CMD_CtrBuzzer","Data":{"x":1}})", R"({"Command":"CMD_CtrRelay"})",
          R"({"Command":"CMD_CtrLight","Data":"anything"})", R"({"Command":"CMD_Reboot"})",
          R"({"Command":""})", R"({"Command":"CMD_SearchReader","Data":"TcpReader Request"})"}) {
        Exchange done = exchange(request);
        EXPECT_EQ(done.kind, tcpserver::REPLY_NONE) << request;
        EXPECT_TRUE(sameBytes(done.reply, "")) << request;
    }
    EXPECT_EQ(rebootCount(), 0);
}

TEST_F(TcpCommands, UnusableRequestsAnswerNothing)
{
    for (const std::string &request :
         {std::string(""), std::string("hello"), std::string("\x01\x02\xff garbage", 12),
          std::string("[1,2,3]"), std::string(R"(["Command","CMD_GetReaderId"])"),
          std::string(R"({"Command":5})"), std::string(R"({"Command":null})"),
          std::string(R"({"Command":{"x":1}})"), std::string(R"({"Data":{"devId":1}})"),
          std::string(R"("CMD_GetReaderId")"), std::string(R"({"Command":"CMD_GetReaderId")"),
          std::string("{}")}) {
        Exchange done = exchange(request);
        EXPECT_EQ(done.kind, tcpserver::REPLY_NONE) << nettest::escaped(request);
        EXPECT_TRUE(sameBytes(done.reply, "")) << nettest::escaped(request);
    }
}

TEST_F(TcpCommands, OnlyTheFirstJsonValueCounts)
{
    EXPECT_TRUE(sameBytes(reply(R"(  {"Command":"CMD_GetReaderId"} trailing {"Command":"CMD_GetNetConf"})"),
                          readerIdReply("1")));
    EXPECT_TRUE(sameBytes(reply("{\"Command\":\"CMD_GetReaderId\"}{\"Command\":\"CMD_GetReaderId\"}"),
                          readerIdReply("1")));
}

TEST_F(TcpCommands, FirstMatchingKeyIsTaken)
{
    EXPECT_TRUE(
        sameBytes(reply(R"({"command":"CMD_GetReaderId","Command":"CMD_GetNetConf"})"), readerIdReply("1")));
}

TEST_F(TcpCommands, KindsOutsideTheTableSendNothing)
{
    int pair[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair), 0);
    for (int kind : {-1, 0, 1, 15, 20, 35, 1000})
        EXPECT_EQ(tcpserver::response(pair[0], kind), 0);
    close(pair[0]);
    EXPECT_TRUE(sameBytes(drain(pair[1]), ""));
    close(pair[1]);
}

TEST_F(TcpCommands, ReplyToAClosedPeerFailsQuietly)
{
    int pair[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair), 0);
    close(pair[1]);
    // Without MSG_NOSIGNAL this would end the test process with SIGPIPE.
    for (int kind :
         {tcpserver::REPLY_GET_NET_CONF, tcpserver::REPLY_GET_READER_ID, tcpserver::REPLY_GET_SERVER_CONF,
          tcpserver::REPLY_GET_TELEGRAM_CONTENT, tcpserver::REPLY_SET_READER_ID})
        EXPECT_EQ(tcpserver::response(pair[0], kind), 0);
    close(pair[0]);
}

// --- refusals: nothing changes in memory, database or file -----------------

TEST_F(TcpRefusals, SetReaderIdWithUnusableData)
{
    for (const char *request :
         {R"({"Command":"CMD_SetReaderId"})", R"({"Command":"CMD_SetReaderId","Data":5})",
          R"({"Command":"CMD_SetReaderId","Data":{}})",
          R"({"Command":"CMD_SetReaderId","Data":{"devId":"5"}})",
          R"({"Command":"CMD_SetReaderId","Data":{"devId":null}})",
          R"({"Command":"CMD_SetReaderId","Data":{"devId":[5]}})",
          R"({"Command":"CMD_SetReaderId","Data":[5]})"})
        expectRefused(request, tcpserver::REPLY_SET_READER_ID);
    EXPECT_TRUE(sameBytes(reply(getReaderId), readerIdReply("1")));
}

TEST_F(TcpRefusals, SetServerConfWithUnusableData)
{
    ASSERT_TRUE(sameBytes(reply(setServer(R"("IP":"10.0.0.1","Port":9000,"CodeType":1)")), okStatus));
    for (const std::string &members :
         {std::string(R"("Port":9000,"CodeType":1)"), std::string(R"("IP":"10.0.0.2","CodeType":1)"),
          std::string(R"("IP":"10.0.0.2","Port":9000)"), std::string(R"("IP":5,"Port":9000,"CodeType":1)"),
          std::string(R"("IP":"10.0.0.2","Port":"9000","CodeType":1)"),
          std::string(R"("IP":"10.0.0.2","Port":9000,"CodeType":"1")"),
          std::string(R"("IP":"10.0.0.2","Port":9000,"CodeType":true)")})
        expectRefused(setServer(members), tcpserver::REPLY_SET_SERVER_CONF);
    expectRefused(R"({"Command":"CMD_SetServerConf"})", tcpserver::REPLY_SET_SERVER_CONF);
    expectRefused(R"({"Command":"CMD_SetServerConf","Data":"10.0.0.2"})", tcpserver::REPLY_SET_SERVER_CONF);
    EXPECT_TRUE(sameBytes(reply(getServerConf), serverConfReply("1", "10.0.0.1", "9000")));
}

TEST_F(TcpRefusals, SetServerConfWithValuesWiderThanTheirFields)
{
    // 16 characters; an 8-digit port; an 8-character negative port.
    expectRefused(setServer(R"("IP":"192.168.100.1001","Port":9000,"CodeType":0)"),
                  tcpserver::REPLY_SET_SERVER_CONF);
    expectRefused(setServer(R"("IP":"10.0.0.1","Port":10000000,"CodeType":0)"),
                  tcpserver::REPLY_SET_SERVER_CONF);
    expectRefused(setServer(R"("IP":"10.0.0.1","Port":-1000000,"CodeType":0)"),
                  tcpserver::REPLY_SET_SERVER_CONF);
    expectRefused(setServer(R"("IP":"10.0.0.1","Port":1e12,"CodeType":0)"), tcpserver::REPLY_SET_SERVER_CONF);
    expectRefused(setServer(R"("IP":")" + std::string(300, '1') + R"(","Port":1,"CodeType":0)"),
                  tcpserver::REPLY_SET_SERVER_CONF);
    EXPECT_TRUE(sameBytes(reply(getServerConf), serverConfReply("0", "", "0")));
}

TEST_F(TcpRefusals, SetTelegramContentWithUnusableData)
{
    const std::string numbers = R"("ReadStyle":1,"KeyType":1,"Block":4,"FirstChar":1,"LastChar":8)";
    for (const std::string &members :
         {numbers, R"("Key":123456789012,)" + numbers, R"("Key":null,)" + numbers,
          std::string(
              R"("Key":"A1B2C3D4E5F6","ReadStyle":"1","KeyType":1,"Block":4,"FirstChar":1,"LastChar":8)"),
          std::string(R"("Key":"A1B2C3D4E5F6","ReadStyle":1,"KeyType":1,"Block":4,"FirstChar":1)"),
          std::string(R"("Key":"A1B2C3D4E5F6","ReadStyle":1,"Block":4,"FirstChar":1,"LastChar":8)"),
          std::string(
              R"("Key":"A1B2C3D4E5F6","ReadStyle":1,"KeyType":false,"Block":4,"FirstChar":1,"LastChar":8)")})
        expectRefused(setTelegram(members), tcpserver::REPLY_SET_TELEGRAM_CONTENT);
    expectRefused(R"({"Command":"CMD_SetTelegramContent"})", tcpserver::REPLY_SET_TELEGRAM_CONTENT);
}

TEST_F(TcpRefusals, SetTelegramContentWithAKeyThatIsNoKey)
{
    const std::string numbers = R"(,"ReadStyle":1,"KeyType":1,"Block":4,"FirstChar":1,"LastChar":8)";
    for (const char *key : {"A1B2C3D4E5F60", "A1B2C3D4E5F6A1B2", "A1B2C3D4E5FG", "A1B2 3D4E5F6", "12345Z",
                            "A1B2C3D4E5F'", "0x1234", "-1"})
        expectRefused(setTelegram(R"("Key":")" + std::string(key) + "\"" + numbers),
                      tcpserver::REPLY_SET_TELEGRAM_CONTENT);
    EXPECT_TRUE(sameBytes(reply(getTelegram), telegramReply(0, 0, "000000000000", 0, 0, 0)));
    EXPECT_EQ(sqlValue(readerDb, "select key from ReaderInfo where id=1"), "FFFFFFFFFFFF");
}

TEST_F(TcpRefusals, SetNetConfWithUnusableData)
{
    for (
        const std::string &request :
        {std::string(R"({"Command":"CMD_SetNetConf"})"),
         std::string(R"({"Command":"CMD_SetNetConf","Data":"x"})"),
         std::string(R"({"Command":"CMD_SetNetConf","Data":{}})"),
         std::string(
             R"({"Command":"CMD_SetNetConf","Data":{"IP":"1.2.3.4","Mask":"","Gateway":"","DNS":""}})"),
         std::string(
             R"({"Command":"CMD_SetNetConf","Data":{"IP":"1.2.3.4","Mask":"","Gateway":"","DNS":"","MAC":0}})"),
         std::string(
             R"({"Command":"CMD_SetNetConf","Data":{"IP":null,"Mask":"","Gateway":"","DNS":"","MAC":""}})")})
        expectRefused(request, tcpserver::REPLY_SET_NET_CONF);
}

TEST_F(TcpRefusals, SetNetConfWithValuesThatDoNotFit)
{
    expectRefused(setNetConf(std::string(64, '1'), "", "", "", ""), tcpserver::REPLY_SET_NET_CONF);
    expectRefused(setNetConf("", "", "", "", std::string(200, 'm')), tcpserver::REPLY_SET_NET_CONF);
    expectRefused(setNetConf("10.0.0.1\\nMask=0.0.0.0", "", "", "", ""), tcpserver::REPLY_SET_NET_CONF);
    expectRefused(setNetConf("", "", "", "", "00:11:22:33:44:55\\n"), tcpserver::REPLY_SET_NET_CONF);
    // 63 characters fit the value but not the line "Gateway=...\n".
    expectRefused(setNetConf("", "", std::string(63, 'g'), "", ""), tcpserver::REPLY_SET_NET_CONF);
    // "DNS=" + 59 characters + line feed is one character too many.
    expectRefused(setNetConf("", "", "", std::string(59, 'd'), ""), tcpserver::REPLY_SET_NET_CONF);
    EXPECT_TRUE(sameBytes(reply(getNetConf), defaultNetReply));
}

// --- framing of one request ---------------------------------------------

class TcpFraming : public ::testing::Test
{
  protected:
    void SetUp() override { ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair), 0); }
    void TearDown() override
    {
        if (pair[0] >= 0)
            close(pair[0]);
        if (pair[1] >= 0)
            close(pair[1]);
    }
    int pair[2] = {-1, -1};
};

TEST_F(TcpFraming, PeerClosedBeforeAnyByteGivesZero)
{
    close(pair[1]);
    pair[1] = -1;
    char buffer[1025] = {};
    EXPECT_EQ(trecvn(pair[0], buffer, 1024, 200), 0);
}

TEST_F(TcpFraming, CollectsUntilThePeerCloses)
{
    ASSERT_TRUE(harness::sendAll(pair[1], "abc"));
    ASSERT_TRUE(harness::sendAll(pair[1], "def"));
    close(pair[1]);
    pair[1] = -1;
    char buffer[1025] = {};
    EXPECT_EQ(trecvn(pair[0], buffer, 1024, 200), 6);
    EXPECT_STREQ(buffer, "abcdef");
}

TEST_F(TcpFraming, StopsAtTheSizeAndLeavesTheRestForTheNextRequest)
{
    std::string data(1500, 'x');
    data[1023] = 'A';
    data[1024] = 'B';
    ASSERT_TRUE(harness::sendAll(pair[1], data));
    char buffer[1025] = {};
    EXPECT_EQ(trecvn(pair[0], buffer, 1024, 200), 1024);
    EXPECT_EQ(buffer[1023], 'A');
    EXPECT_EQ(buffer[1024], '\0');
    memset(buffer, 0, sizeof buffer);
    close(pair[1]);
    pair[1] = -1;
    EXPECT_EQ(trecvn(pair[0], buffer, 1024, 200), 476);
    EXPECT_EQ(buffer[0], 'B');
}

TEST_F(TcpFraming, QuietTimeEndsTheRequest)
{
    ASSERT_TRUE(harness::sendAll(pair[1], "first"));
    char buffer[1025] = {};
    timespec before{}, after{};
    clock_gettime(CLOCK_MONOTONIC, &before);
    EXPECT_EQ(trecvn(pair[0], buffer, 1024, 200), 5);
    clock_gettime(CLOCK_MONOTONIC, &after);
    long long ms = (after.tv_sec - before.tv_sec) * 1000LL + (after.tv_nsec - before.tv_nsec) / 1000000;
    EXPECT_GE(ms, 190); // never earlier than the quiet time
    EXPECT_LT(ms, 5000);
    EXPECT_STREQ(buffer, "first");
}

TEST_F(TcpFraming, TimedReceiveTimesOutWithZero)
{
    char buffer[16] = {};
    EXPECT_EQ(trecv(pair[0], buffer, sizeof buffer, 20), 0);
    ASSERT_TRUE(harness::sendAll(pair[1], "xy"));
    EXPECT_EQ(trecv(pair[0], buffer, sizeof buffer, 20), 2);
}

} // namespace
