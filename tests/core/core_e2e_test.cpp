// End-to-end tests of the daemon core: rfidd-sandbox against rfid-sim on its
// serial device and an upstream server inside the test, all on loopback.
#include "tests/support/sandbox.h"

#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sqlite3.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

using namespace harness;

namespace
{

constexpr int CONTROL_PORT = 10001;
constexpr const char *BLOCK4 = "000102030405060708090A0B0C0D0E0F";

long long nowMs()
{
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return ts.tv_sec * 1000LL + ts.tv_nsec / 1000000;
}

// One request frame as rfid-sim logs it: "AA 00 01 len cmd data.. check BB".
std::string requestFrame(uint8_t command, const std::vector<uint8_t> &data)
{
    std::vector<uint8_t> body = {0x00, 0x01, static_cast<uint8_t>(data.size() + 1), command};
    body.insert(body.end(), data.begin(), data.end());
    uint8_t check = 0;
    for (uint8_t byte : body)
        check ^= byte;
    std::string line = "AA";
    char hex[4];
    for (uint8_t byte : body) {
        snprintf(hex, sizeof hex, " %02X", byte);
        line += hex;
    }
    snprintf(hex, sizeof hex, " %02X", check);
    line += hex;
    return line + " BB";
}

std::string controlFrame(uint8_t relay, uint8_t buzzer, uint8_t light1, uint8_t light2)
{
    return requestFrame(0x99, {relay, buzzer, light1, light2});
}

const std::string READ_UID_FRAME = requestFrame(0x95, {0x01});

bool isControlFrame(const std::string &line)
{
    return line.rfind("AA 00 01 05 99 ", 0) == 0;
}

std::vector<std::string> controlFrames(const std::string &logPath)
{
    std::vector<std::string> frames;
    for (const std::string &line : readLines(logPath))
        if (isControlFrame(line))
            frames.push_back(line);
    return frames;
}

// Waits until the sim log holds more than `known` control frames.
bool waitForControlFrames(const std::string &logPath, size_t known, int timeoutMs)
{
    long long deadline = nowMs() + timeoutMs;
    while (controlFrames(logPath).size() <= known) {
        if (nowMs() >= deadline)
            return false;
        usleep(10000);
    }
    return true;
}

bool waitForLogLines(const std::string &logPath, size_t count, int timeoutMs)
{
    long long deadline = nowMs() + timeoutMs;
    while (readLines(logPath).size() < count) {
        if (nowMs() >= deadline)
            return false;
        usleep(10000);
    }
    return true;
}

bool waitForCount(const Process &process, const std::string &needle, int count, int timeoutMs)
{
    long long deadline = nowMs() + timeoutMs;
    while (countInOutput(process, needle) < count) {
        if (nowMs() >= deadline)
            return false;
        usleep(5000);
    }
    return true;
}

// Accepts uploads on `listenFd` until `count` card texts have arrived or
// `timeoutMs` has passed. Each text is everything one connection carried
// before the daemon closed it.
std::vector<std::string> receiveCards(int listenFd, size_t count, int timeoutMs)
{
    std::vector<std::string> cards;
    long long deadline = nowMs() + timeoutMs;
    while (cards.size() < count) {
        long long left = deadline - nowMs();
        if (left <= 0)
            break;
        pollfd waiting{listenFd, POLLIN, 0};
        if (poll(&waiting, 1, static_cast<int>(left)) != 1)
            break;
        int client = accept(listenFd, nullptr, nullptr);
        if (client < 0)
            continue;
        cards.push_back(recvQuiet(client, 3000, 3000));
        close(client);
    }
    return cards;
}

// Sends one text on a fresh connection to the control port and closes.
bool sendControl(const std::string &text)
{
    int fd = connectTcp(CONTROL_PORT);
    if (fd < 0)
        return false;
    bool sent = sendAll(fd, text);
    close(fd);
    return sent;
}

int execSql(const std::string &path, const std::string &sql)
{
    sqlite3 *db = nullptr;
    int rc = sqlite3_open(path.c_str(), &db);
    if (rc == SQLITE_OK)
        rc = sqlite3_exec(db, sql.c_str(), nullptr, nullptr, nullptr);
    sqlite3_close(db);
    return rc;
}

int cardRows(const std::string &path)
{
    sqlite3 *db = nullptr;
    int rows = -1;
    if (sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READONLY, nullptr) == SQLITE_OK) {
        sqlite3_stmt *statement = nullptr;
        if (sqlite3_prepare_v2(db, "select count(*) from Card", -1, &statement, nullptr) == SQLITE_OK &&
            sqlite3_step(statement) == SQLITE_ROW)
            rows = sqlite3_column_int(statement, 0);
        sqlite3_finalize(statement);
    }
    sqlite3_close(db);
    return rows;
}

std::string cardDbPath(const Sandbox &sandbox)
{
    return sandbox.dir + "/usr/local/etc/card.db";
}
std::string readerDbPath(const Sandbox &sandbox)
{
    return sandbox.dir + "/usr/local/etc/reader.db";
}
std::string serialPath(const Sandbox &sandbox)
{
    return sandbox.dir + "/dev/ttySAC1";
}

// A port on loopback where nothing listens.
int closedPort()
{
    int fd = listenTcp(0);
    int port = boundPort(fd);
    close(fd);
    return port;
}

class CoreE2E : public ::testing::Test
{
  protected:
    Sandbox sandbox;
    int upstream = -1;
    int upstreamPort = 0;

    void SetUp() override
    {
        upstream = listenTcp(0);
        ASSERT_GE(upstream, 0);
        upstreamPort = boundPort(upstream);
    }

    void TearDown() override { finish(); }

    // Stops everything; the daemon must still have been running (it never
    // ends on its own) and must have printed no crash or sanitizer report.
    void finish()
    {
        if (sandbox.daemon.pid > 0) {
            EXPECT_TRUE(isRunning(sandbox.daemon)) << "the daemon ended:\n" << output(sandbox.daemon);
        }
        if (!sandbox.daemon.outputPath.empty()) {
            EXPECT_EQ(crashReport(sandbox.daemon), "") << output(sandbox.daemon);
        }
        stopSandbox(sandbox);
        if (upstream >= 0)
            close(upstream);
        upstream = -1;
    }

    SandboxOptions options(std::vector<std::string> provision, std::vector<std::string> sim,
                           int serverPort = -1)
    {
        SandboxOptions result;
        result.provisionArgs = {"--server-ip", "127.0.0.1", "--server-port",
                                std::to_string(serverPort < 0 ? upstreamPort : serverPort)};
        result.provisionArgs.insert(result.provisionArgs.end(), provision.begin(), provision.end());
        result.simArgs = {"--no-pace"};
        result.simArgs.insert(result.simArgs.end(), sim.begin(), sim.end());
        return result;
    }

    // Starts a sandbox, collects `count` uploads and stops it again.
    std::vector<std::string> cardsFor(std::vector<std::string> provision, std::vector<std::string> sim,
                                      size_t count = 1)
    {
        Sandbox run;
        std::vector<std::string> cards;
        if (!startSandbox(run, options(std::move(provision), std::move(sim)))) {
            ADD_FAILURE() << "sandbox did not start";
            stopSandbox(run);
            return cards;
        }
        cards = receiveCards(upstream, count, 10000);
        EXPECT_TRUE(isRunning(run.daemon));
        EXPECT_EQ(crashReport(run.daemon), "") << output(run.daemon);
        stopSandbox(run);
        return cards;
    }

    // A sim started by hand on the sandbox's serial device path.
    Process startSim(std::vector<std::string> args)
    {
        std::vector<std::string> argv = {binaryPath("rfid-sim"), "--link",   serialPath(sandbox), "--log",
                                         sandbox.simLog,         "--no-pace"};
        argv.insert(argv.end(), args.begin(), args.end());
        Process sim = start(argv, sandbox.dir + "/sim2.out");
        EXPECT_TRUE(waitForOutput(sim, "rfid-sim: ready", 10000)) << output(sim);
        return sim;
    }
};

using CardNumbers = CoreE2E;
using CardSlice = CoreE2E;
using Upload = CoreE2E;
using ControlListener = CoreE2E;
using StartUp = CoreE2E;
using SerialLine = CoreE2E;

// --- card numbers ----------------------------------------------------------

TEST_F(CardNumbers, FourAndSevenByteUidsAsRead)
{
    ASSERT_TRUE(startSandbox(
        sandbox, options({}, {"--card", "12345678,reads=1", "--card", "04A1B2C3D4E5F6,reads=1"})));
    std::vector<std::string> cards = receiveCards(upstream, 2, 10000);
    EXPECT_EQ(cards, (std::vector<std::string>{"12345678", "04A1B2C3D4E5F6"}));
    EXPECT_TRUE(waitForOutput(sandbox.daemon, ">>>04A1B2C3D4E5F6\n", 2000));
    std::string text = output(sandbox.daemon);
    EXPECT_NE(text.find("connect server 127.0.0.1:" + std::to_string(upstreamPort) + "\n"),
              std::string::npos);
    EXPECT_NE(text.find("ip=127.0.0.1, port=" + std::to_string(upstreamPort) + ", codeType=0\n"),
              std::string::npos);
    EXPECT_EQ(readLines(sandbox.simLog).front(), READ_UID_FRAME);
}

TEST_F(CardNumbers, CodeTypeOneEndsEveryCardWithCarriageReturnFromTheFirst)
{
    ASSERT_TRUE(startSandbox(sandbox, options({"--code-type", "1"},
                                              {"--card", "12345678,reads=1", "--card", "0A0B0C0D,reads=1"})));
    EXPECT_EQ(receiveCards(upstream, 2, 10000), (std::vector<std::string>{"12345678\r", "0A0B0C0D\r"}));
}

TEST_F(CardNumbers, SameCardOnConsecutivePassesIsUploadedEachTime)
{
    ASSERT_TRUE(startSandbox(sandbox, options({}, {"--card", "CAFEBABE,reads=3"})));
    EXPECT_EQ(receiveCards(upstream, 3, 10000),
              (std::vector<std::string>{"CAFEBABE", "CAFEBABE", "CAFEBABE"}));
    // The card has left the field: nothing more arrives.
    EXPECT_TRUE(receiveCards(upstream, 1, 500).empty());
}

// --- block slice -----------------------------------------------------------

std::vector<std::string> sliceProvision(int first, int last, int codeType = 0)
{
    return {"--read-style", "1",
            "--block",      "4",
            "--first-char", std::to_string(first),
            "--last-char",  std::to_string(last),
            "--code-type",  std::to_string(codeType)};
}

const std::vector<std::string> BLOCK_CARD = {"--card", std::string("12345678,reads=1,block=4:") + BLOCK4};

TEST_F(CardSlice, SliceFollowsTheReversedUidOnTheFirstCard)
{
    EXPECT_EQ(cardsFor(sliceProvision(3, 6, 1), BLOCK_CARD), (std::vector<std::string>{"785634120102\r"}));
    EXPECT_EQ(cardsFor(sliceProvision(1, 8), BLOCK_CARD), (std::vector<std::string>{"7856341200010203"}));
}

TEST_F(CardSlice, LastBeforeFirstOrFirstZeroGivesTheUidAlone)
{
    EXPECT_EQ(cardsFor(sliceProvision(6, 3), BLOCK_CARD), (std::vector<std::string>{"78563412"}));
    EXPECT_EQ(cardsFor(sliceProvision(0, 6), BLOCK_CARD), (std::vector<std::string>{"78563412"}));
}

TEST_F(CardSlice, PositionsOutsideTheBlockAreClampedOrEmpty)
{
    // lastChar beyond the 32 characters is taken as 32, and a slice is at
    // most 31 characters; a slice that starts after the block is empty.
    EXPECT_EQ(cardsFor(sliceProvision(1, 40), BLOCK_CARD),
              (std::vector<std::string>{"78563412000102030405060708090A0B0C0D0E0"}));
    EXPECT_EQ(cardsFor(sliceProvision(30, 200), BLOCK_CARD), (std::vector<std::string>{"78563412E0F"}));
    EXPECT_EQ(cardsFor(sliceProvision(40, 50), BLOCK_CARD), (std::vector<std::string>{"78563412"}));
    EXPECT_EQ(cardsFor(sliceProvision(255, 255, 1), BLOCK_CARD), (std::vector<std::string>{"78563412\r"}));
}

TEST_F(CardSlice, SevenByteUidIsReversedToo)
{
    EXPECT_EQ(
        cardsFor(sliceProvision(31, 32), {"--card", std::string("04A1B2C3D4E5F6,reads=1,block=4:") + BLOCK4}),
        (std::vector<std::string>{"F6E5D4C3B2A1040F"}));
}

TEST_F(CardSlice, KeyTypeChoosesTheKeyCode)
{
    const std::vector<uint8_t> key = {0xA0, 0xA1, 0xA2, 0xA3, 0xA4, 0xA5};
    for (int keyType : {0, 5}) {
        SCOPED_TRACE("key type " + std::to_string(keyType));
        ASSERT_TRUE(startSandbox(
            sandbox,
            options({"--read-style", "1", "--key-type", std::to_string(keyType), "--key", "A0A1A2A3A4A5",
                     "--block", "4", "--first-char", "3", "--last-char", "6"},
                    {"--card", std::string("12345678,reads=1,key=A0A1A2A3A4A5,block=4:") + BLOCK4})));
        EXPECT_EQ(receiveCards(upstream, 1, 10000), (std::vector<std::string>{"785634120102"}));
        std::vector<uint8_t> data = {static_cast<uint8_t>(keyType == 0 ? 0x60 : 0x61), 0x04};
        data.insert(data.end(), key.begin(), key.end());
        data.push_back(0x01);
        std::vector<std::string> log = readLines(sandbox.simLog);
        ASSERT_FALSE(log.empty());
        EXPECT_EQ(log.front(), requestFrame(0x98, data));
        EXPECT_NE(output(sandbox.daemon)
                      .find("readStyle=1, keyType=" + std::to_string(keyType) +
                            ", key=A0A1A2A3A4A5, block=4, firstChar=3, lastChar=6\n"),
                  std::string::npos);
        EXPECT_EQ(crashReport(sandbox.daemon), "");
        stopSandbox(sandbox);
    }
}

// --- upload ----------------------------------------------------------------

TEST_F(Upload, RefusingServerGivesUpAtOnceAndTheNextCardArrivesWhenItIsBack)
{
    int port = closedPort();
    ASSERT_GT(port, 0);
    ASSERT_TRUE(startSandbox(sandbox, options({},
                                              {"--card", "AAAAAAAA,reads=1", "--card", "A2A2A2A2,reads=1",
                                               "--gap", "3000", "--card", "BBBBBBBB,reads=1"},
                                              port)));
    const std::string attempt = "ip=127.0.0.1, port=" + std::to_string(port) + ", codeType=0\n";
    ASSERT_TRUE(waitForCount(sandbox.daemon, attempt, 1, 10000));
    long long firstAttempt = nowMs();
    ASSERT_TRUE(waitForCount(sandbox.daemon, attempt, 2, 10000));
    // Refused at once: far below the one-second limit of a silent server.
    EXPECT_LT(nowMs() - firstAttempt, 900);
    EXPECT_EQ(countInOutput(sandbox.daemon, "connect server"), 0);

    int server = listenTcp(port);
    ASSERT_GE(server, 0);
    EXPECT_EQ(receiveCards(server, 1, 10000), (std::vector<std::string>{"BBBBBBBB"}));
    close(server);
    EXPECT_EQ(countInOutput(sandbox.daemon, "connect server"), 1);
    EXPECT_EQ(countInOutput(sandbox.daemon, ">>>"), 1);
}

TEST_F(Upload, SilentServerIsGivenUpAfterAboutOneSecondAndTheLoopGoesOn)
{
    // A listener whose queue is full: new connection attempts get no answer.
    int silent = listenTcp(0, 0);
    ASSERT_GE(silent, 0);
    int port = boundPort(silent);
    std::vector<int> queued;
    for (int i = 0; i < 8; ++i) {
        int fd = connectTcp(port, 300);
        if (fd < 0)
            break;
        queued.push_back(fd);
    }
    ASSERT_FALSE(queued.empty());
    ASSERT_LT(queued.size(), 8u) << "the listener's queue never filled";

    ASSERT_TRUE(startSandbox(
        sandbox, options({}, {"--card", "AAAAAAAA,reads=1", "--card", "BBBBBBBB,reads=1"}, port)));
    ASSERT_TRUE(waitForCount(sandbox.daemon, "ip=127.0.0.1", 1, 10000));
    long long firstAttempt = nowMs();
    // A command that arrives while the card is being uploaded.
    ASSERT_TRUE(sendControl("010001"));
    ASSERT_TRUE(waitForCount(sandbox.daemon, "ip=127.0.0.1", 2, 10000));
    long long secondAttempt = nowMs();
    EXPECT_GE(secondAttempt - firstAttempt, 700);
    EXPECT_LT(secondAttempt - firstAttempt, 5000);
    // The loop goes on polling after the second attempt has been given up.
    ASSERT_TRUE(waitForLogLines(sandbox.simLog, 5, 10000));
    EXPECT_EQ(countInOutput(sandbox.daemon, "connect server"), 0);

    // Read A, the control command on the very next pass, then read B.
    std::vector<std::string> log = readLines(sandbox.simLog);
    ASSERT_GE(log.size(), 3u);
    EXPECT_EQ(log[0], READ_UID_FRAME);
    EXPECT_EQ(log[1], controlFrame(2, 1, 0, 0));
    EXPECT_EQ(log[2], READ_UID_FRAME);
    for (int fd : queued)
        close(fd);
    close(silent);
}

TEST_F(Upload, ServerThatClosesAtOnceNeverStopsTheDaemon)
{
    std::atomic<bool> stopping{false};
    std::atomic<int> closed{0};
    int listener = upstream;
    std::thread rude([&] {
        while (!stopping) {
            pollfd waiting{listener, POLLIN, 0};
            if (poll(&waiting, 1, 50) != 1)
                continue;
            int client = accept(listener, nullptr, nullptr);
            if (client < 0)
                continue;
            if (closed % 2 == 0) {
                linger reset{1, 0}; // every other one closes with a reset
                setsockopt(client, SOL_SOCKET, SO_LINGER, &reset, sizeof reset);
            }
            close(client);
            ++closed;
        }
    });
    bool started = startSandbox(sandbox, options({}, {"--card", "12345678,reads=20"}));
    bool attempted = started && waitForCount(sandbox.daemon, "ip=127.0.0.1", 20, 20000);
    stopping = true;
    rude.join();
    ASSERT_TRUE(started);
    EXPECT_TRUE(attempted);
    EXPECT_GT(closed.load(), 0);
    // The loop is still polling.
    size_t lines = readLines(sandbox.simLog).size();
    EXPECT_TRUE(waitForLogLines(sandbox.simLog, lines + 3, 5000));
}

TEST_F(Upload, StoredPortIsTakenModulo65536)
{
    int server = listenTcp(1);
    if (server < 0)
        GTEST_SKIP() << "cannot listen on 127.0.0.1:1 (needs root)";
    SandboxOptions opts = options({}, {"--card", "12345678,reads=1"});
    opts.startDaemon = false;
    ASSERT_TRUE(startSandbox(sandbox, opts));
    ASSERT_EQ(execSql(readerDbPath(sandbox), "update ServerInfo set port=65537 where id=1"), SQLITE_OK);
    ASSERT_TRUE(startDaemon(sandbox));
    EXPECT_EQ(receiveCards(server, 1, 10000), (std::vector<std::string>{"12345678"}));
    close(server);
    EXPECT_TRUE(waitForOutput(sandbox.daemon, "connect server 127.0.0.1:65537\n", 2000));
    EXPECT_NE(output(sandbox.daemon).find("ip=127.0.0.1, port=65537, codeType=0\n"), std::string::npos);
}

// --- device-control listener -------------------------------------------------

TEST_F(ControlListener, BitStringsBecomeControlFrames)
{
    ASSERT_TRUE(startSandbox(sandbox, options({}, {})));
    struct Case {
        std::string text;
        std::string frame;
    };
    const std::vector<Case> cases = {
        {"010001\r\n", controlFrame(2, 1, 0, 0)},         {"L010001", controlFrame(20, 10, 0, 0)},
        {"111111111111", controlFrame(7, 7, 7, 7)},       {"L010001101011", controlFrame(20, 10, 5, 30)},
        {"L111111111111\n", controlFrame(70, 70, 7, 70)}, {"000000", controlFrame(0, 0, 0, 0)},
    };
    int client = connectTcp(CONTROL_PORT);
    ASSERT_GE(client, 0);
    for (const Case &c : cases) {
        SCOPED_TRACE("command \"" + c.text + "\"");
        size_t known = controlFrames(sandbox.simLog).size();
        ASSERT_TRUE(sendAll(client, c.text));
        ASSERT_TRUE(waitForControlFrames(sandbox.simLog, known, 5000));
        std::vector<std::string> frames = controlFrames(sandbox.simLog);
        EXPECT_EQ(frames.size(), known + 1);
        EXPECT_EQ(frames.back(), c.frame);
    }
    close(client);
    EXPECT_TRUE(waitForOutput(sandbox.daemon, "Socket read data error\n", 5000));
    EXPECT_NE(output(sandbox.daemon).find("Server accept client connect 127.0.0.1\n"), std::string::npos);
    EXPECT_NE(output(sandbox.daemon).find("<<<L010001101011\n"), std::string::npos);
}

TEST_F(ControlListener, RefusedTextsSendNothing)
{
    ASSERT_TRUE(startSandbox(sandbox, options({}, {})));
    const std::vector<std::string> refused = {
        "l010001", "01000",  "0100011", "010201", " 010001", "010001\r\n000000\r\n",
        "\r\n",    "L01000", "0100012", "010"};
    int client = connectTcp(CONTROL_PORT);
    ASSERT_GE(client, 0);
    int echoed = 0;
    for (const std::string &text : refused) {
        ASSERT_TRUE(sendAll(client, text));
        // One read per text: wait until the listener has printed it.
        ASSERT_TRUE(waitForCount(sandbox.daemon, "<<<", ++echoed, 5000)) << text;
    }
    // "010" above and "001" now: a command split over two reads is refused.
    ASSERT_TRUE(sendAll(client, "001"));
    ASSERT_TRUE(waitForCount(sandbox.daemon, "<<<", ++echoed, 5000));
    // A read that fills the whole receive buffer is refused and printed whole.
    const std::string full(1024, '1');
    ASSERT_TRUE(sendAll(client, full));
    ASSERT_TRUE(waitForOutput(sandbox.daemon, "<<<" + full + "\n", 5000));
    // A valid command afterwards is the only frame sent.
    ASSERT_TRUE(sendAll(client, "000001"));
    ASSERT_TRUE(waitForControlFrames(sandbox.simLog, 0, 5000));
    usleep(300000);
    EXPECT_EQ(controlFrames(sandbox.simLog), (std::vector<std::string>{controlFrame(0, 1, 0, 0)}));
    close(client);
}

TEST_F(ControlListener, ClientThatSendsAndClosesStillGetsItsCommand)
{
    ASSERT_TRUE(startSandbox(sandbox, options({}, {})));
    ASSERT_TRUE(sendControl("L111111"));
    ASSERT_TRUE(waitForControlFrames(sandbox.simLog, 0, 5000));
    EXPECT_EQ(controlFrames(sandbox.simLog), (std::vector<std::string>{controlFrame(70, 70, 0, 0)}));
    EXPECT_TRUE(waitForOutput(sandbox.daemon, "Socket read data error\n", 5000));
    // The listener takes the next client.
    ASSERT_TRUE(sendControl("100100"));
    ASSERT_TRUE(waitForControlFrames(sandbox.simLog, 1, 5000));
    EXPECT_EQ(controlFrames(sandbox.simLog).back(), controlFrame(4, 4, 0, 0));
}

TEST_F(ControlListener, OnlyTheLastOfTwoCommandsBeforeThePassIsCarriedOut)
{
    // Every exchange goes unanswered, so each pass takes the full reply time.
    ASSERT_TRUE(startSandbox(sandbox, options({}, {"--fault", "noreply/1"})));
    ASSERT_TRUE(waitForLogLines(sandbox.simLog, 1, 5000));
    ASSERT_TRUE(sendControl("010001"));
    ASSERT_TRUE(sendControl("111111111111"));
    ASSERT_TRUE(waitForOutput(sandbox.daemon, "<<<111111111111\n", 5000));
    ASSERT_TRUE(waitForControlFrames(sandbox.simLog, 0, 5000));
    // Give a second frame every chance to show up.
    size_t lines = readLines(sandbox.simLog).size();
    ASSERT_TRUE(waitForLogLines(sandbox.simLog, lines + 2, 5000));
    EXPECT_EQ(controlFrames(sandbox.simLog), (std::vector<std::string>{controlFrame(7, 7, 7, 7)}));
}

// --- start-up ----------------------------------------------------------------

TEST_F(StartUp, CardTableIsEmptiedAtStartUp)
{
    SandboxOptions opts = options({}, {});
    opts.startDaemon = false;
    ASSERT_TRUE(startSandbox(sandbox, opts));
    ASSERT_EQ(execSql(cardDbPath(sandbox), "insert into Card (cardNum) values('11111111');"
                                           "insert into Card (cardNum) values('22222222');"
                                           "insert into Card (cardNum) values('33333333');"),
              SQLITE_OK);
    ASSERT_EQ(cardRows(cardDbPath(sandbox)), 3);
    ASSERT_TRUE(startDaemon(sandbox));
    // The first request frame follows the clearing; looking at the table
    // earlier could lock it while the daemon deletes.
    ASSERT_TRUE(waitForLogLines(sandbox.simLog, 1, 5000));
    EXPECT_EQ(cardRows(cardDbPath(sandbox)), 0);
    EXPECT_EQ(countInOutput(sandbox.daemon, "locked"), 0) << output(sandbox.daemon);
}

TEST_F(StartUp, UnopenableCardDatabaseLeavesTheServicesRunningAndReadsNoCards)
{
    SandboxOptions opts = options({}, {"--card", "12345678"});
    opts.startDaemon = false;
    ASSERT_TRUE(startSandbox(sandbox, opts));
    ASSERT_EQ(unlink(cardDbPath(sandbox).c_str()), 0);
    ASSERT_EQ(mkdir(cardDbPath(sandbox).c_str(), 0755), 0);
    ASSERT_TRUE(startDaemon(sandbox));
    EXPECT_TRUE(waitForOutput(sandbox.daemon, "unable to open database file\n", 5000))
        << output(sandbox.daemon);

    // The listener still takes commands, but nothing carries them out.
    ASSERT_TRUE(sendControl("010001"));
    EXPECT_TRUE(waitForOutput(sandbox.daemon, "<<<010001\n", 5000));
    EXPECT_TRUE(receiveCards(upstream, 1, 1500).empty());
    EXPECT_TRUE(readLines(sandbox.simLog).empty());
    EXPECT_TRUE(isListening(CONTROL_PORT));
}

// --- serial line -----------------------------------------------------------

TEST_F(SerialLine, MissingDeviceIsRetriedWhileTheServicesRun)
{
    SandboxOptions opts = options({}, {});
    opts.startSim = false;
    ASSERT_TRUE(startSandbox(sandbox, opts));
    sandbox.simLog = sandbox.dir + "/sim.log";
    EXPECT_TRUE(waitForOutput(sandbox.daemon, "Can't open serial " + serialPath(sandbox) + "\n", 5000))
        << output(sandbox.daemon);
    EXPECT_TRUE(waitForOutput(sandbox.daemon, ", retrying\n", 5000));

    // A command arriving meanwhile waits for the line.
    ASSERT_TRUE(sendControl("L111111"));
    ASSERT_TRUE(waitForOutput(sandbox.daemon, "<<<L111111\n", 5000));
    usleep(1500000);
    // Reported once, not on every retry.
    EXPECT_EQ(countInOutput(sandbox.daemon, "retrying"), 1);
    EXPECT_EQ(countInOutput(sandbox.daemon, "Can't open serial"), 1);

    sandbox.sim = startSim({"--card", "12345678,reads=1"});
    ASSERT_TRUE(waitForOutput(sandbox.daemon, "Serial line ready\n", 10000)) << output(sandbox.daemon);
    EXPECT_EQ(receiveCards(upstream, 1, 10000), (std::vector<std::string>{"12345678"}));
    std::vector<std::string> log = readLines(sandbox.simLog);
    ASSERT_FALSE(log.empty());
    EXPECT_EQ(log.front(), controlFrame(70, 70, 0, 0));
}

TEST_F(SerialLine, DaemonRecoversWhenTheReaderComesBack)
{
    ASSERT_TRUE(startSandbox(sandbox, options({}, {"--card", "11111111,reads=1"})));
    EXPECT_EQ(receiveCards(upstream, 1, 10000), (std::vector<std::string>{"11111111"}));

    stop(sandbox.sim, SIGKILL);
    ASSERT_TRUE(waitForOutput(sandbox.daemon, "Serial line lost: ", 10000)) << output(sandbox.daemon);
    usleep(1500000);
    EXPECT_EQ(countInOutput(sandbox.daemon, "Serial line lost"), 1);

    sandbox.sim = startSim({"--card", "22222222,reads=1"});
    ASSERT_TRUE(waitForOutput(sandbox.daemon, "Serial line ready\n", 10000)) << output(sandbox.daemon);
    EXPECT_EQ(receiveCards(upstream, 1, 10000), (std::vector<std::string>{"22222222"}));
    // The services ran all along.
    EXPECT_TRUE(isListening(CONTROL_PORT));
}

} // namespace
