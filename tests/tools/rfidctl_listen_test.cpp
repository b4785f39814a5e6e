/*
 * rfidctl listen: the upstream server. Cards arrive over real loopback TCP
 * connections, one card per connection, as a reader delivers them.
 */
#include "tests/tools/rfidctl_support.h"

#include <cjson/cJSON.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>


using rfidctltest::lines;

namespace {

struct Listener {
    harness::Process process;
    int port = -1;
};

static const char READY[] = "rfidctl: listening on 127.0.0.1:";

Listener startListener(const std::vector<std::string> &extra = {})
{
    Listener listener;
    std::vector<std::string> argv{harness::binaryPath("rfidctl"), "listen", "0", "--bind", "127.0.0.1"};
    argv.insert(argv.end(), extra.begin(), extra.end());
    static int counter = 0;
    listener.process = harness::start(argv, rfidctltest::scratchDir() + "/listen-" + std::to_string(++counter) + ".out");
    if (!harness::waitForOutput(listener.process, READY, 10000))
        return listener;
    std::string text = harness::output(listener.process);
    listener.port = std::atoi(text.c_str() + text.find(READY) + sizeof READY - 1);
    return listener;
}

// One card the way a reader sends it: connect, write once, close.
bool sendCard(int port, const std::string &card)
{
    int fd = harness::connectTcp(port);
    if (fd < 0)
        return false;
    bool sent = card.empty() || harness::sendAll(fd, card);
    close(fd);
    return sent;
}

// The card lines printed so far (the diagnostics start with "rfidctl: ").
std::vector<std::string> cardLines(const harness::Process &process)
{
    std::vector<std::string> result;
    for (const std::string &line : lines(harness::output(process)))
        if (line.rfind("rfidctl: ", 0) != 0)
            result.push_back(line);
    return result;
}

bool waitForCards(const harness::Process &process, size_t count, int timeoutMs = 10000)
{
    for (int waited = 0; waited < timeoutMs; waited += 10) {
        if (cardLines(process).size() >= count)
            return true;
        usleep(10000);
    }
    return cardLines(process).size() >= count;
}

// True when `text` has the form of `pattern`, where '9' stands for any digit.
bool matchesDigits(const std::string &text, const std::string &pattern)
{
    if (text.size() != pattern.size())
        return false;
    for (size_t i = 0; i < text.size(); ++i) {
        bool digit = text[i] >= '0' && text[i] <= '9';
        if (pattern[i] == '9' ? !digit : text[i] != pattern[i])
            return false;
    }
    return true;
}

bool isLocalTime(const std::string &text) { return matchesDigits(text, "9999-99-99 99:99:99.999"); }

// "127.0.0.1:" and a port number.
bool isLoopbackPeer(const std::string &text)
{
    const std::string prefix = "127.0.0.1:";
    if (text.compare(0, prefix.size(), prefix) != 0 || text.size() == prefix.size() || text.size() > prefix.size() + 5)
        return false;
    return text.find_first_not_of("0123456789", prefix.size()) == std::string::npos;
}

// "2026-12-06 18:00:00.123 127.0.0.1:40000 TEXT" -> TEXT, or "(bad line)"
// when the line has another form.
std::string cardOf(const std::string &line)
{
    const size_t timeLength = 23;
    size_t peerEnd = line.find(' ', timeLength + 1);
    if (line.size() < timeLength + 1 || line[timeLength] != ' ' || peerEnd == std::string::npos ||
        !isLocalTime(line.substr(0, timeLength)) ||
        !isLoopbackPeer(line.substr(timeLength + 1, peerEnd - timeLength - 1)))
        return "(bad line)";
    return line.substr(peerEnd + 1);
}

class RfidctlListen : public ::testing::Test {
protected:
    void TearDown() override { harness::stop(listener.process); }
    Listener listener;
};

TEST_F(RfidctlListen, CardsOverSeparateConnectionsArriveAsLinesInOrder)
{
    listener = startListener();
    ASSERT_GT(listener.port, 0) << harness::output(listener.process);
    const std::vector<std::string> cards{"12345678", "12345678\r", "04A1B2C3D4E5F6\r", "785634120102", "DEADBEEF"};
    for (const std::string &card : cards)
        ASSERT_TRUE(sendCard(listener.port, card));
    ASSERT_TRUE(waitForCards(listener.process, cards.size())) << harness::output(listener.process);
    std::vector<std::string> printed = cardLines(listener.process);
    ASSERT_EQ(printed.size(), cards.size()) << harness::output(listener.process);
    const std::vector<std::string> expected{"12345678", "12345678\\r", "04A1B2C3D4E5F6\\r", "785634120102",
                                            "DEADBEEF"};
    for (size_t i = 0; i < cards.size(); ++i)
        EXPECT_EQ(cardOf(printed[i]), expected[i]) << printed[i];
}

TEST_F(RfidctlListen, ManyCardsInQuickSuccessionAreAllPrintedInOrder)
{
    listener = startListener();
    ASSERT_GT(listener.port, 0);
    const int count = 40;
    for (int i = 0; i < count; ++i) {
        char card[16];
        snprintf(card, sizeof card, "%08X\r", 0x10000000 + i);
        ASSERT_TRUE(sendCard(listener.port, card));
    }
    ASSERT_TRUE(waitForCards(listener.process, count)) << harness::output(listener.process);
    std::vector<std::string> printed = cardLines(listener.process);
    ASSERT_EQ(printed.size(), static_cast<size_t>(count));
    for (int i = 0; i < count; ++i) {
        char card[16];
        snprintf(card, sizeof card, "%08X\\r", 0x10000000 + i);
        EXPECT_EQ(cardOf(printed[i]), card);
    }
}

TEST_F(RfidctlListen, ASlowConnectionDoesNotHoldUpTheOthers)
{
    listener = startListener();
    ASSERT_GT(listener.port, 0);
    int slow = harness::connectTcp(listener.port);
    ASSERT_GE(slow, 0);
    ASSERT_TRUE(harness::sendAll(slow, "1111"));
    ASSERT_TRUE(sendCard(listener.port, "22222222"));
    ASSERT_TRUE(waitForCards(listener.process, 1));
    ASSERT_TRUE(harness::sendAll(slow, "1111"));
    close(slow);
    ASSERT_TRUE(waitForCards(listener.process, 2));
    std::vector<std::string> printed = cardLines(listener.process);
    ASSERT_EQ(printed.size(), 2u);
    EXPECT_EQ(cardOf(printed[0]), "22222222");
    // Everything of one connection up to its close is one card.
    EXPECT_EQ(cardOf(printed[1]), "11111111");
}

TEST_F(RfidctlListen, ControlBytesAndBackslashesAreShownVisibly)
{
    listener = startListener();
    ASSERT_GT(listener.port, 0);
    ASSERT_TRUE(sendCard(listener.port, std::string("AB\nC\x01\\\x7F\xFF", 8)));
    ASSERT_TRUE(sendCard(listener.port, std::string("12\0" "34", 5)));
    ASSERT_TRUE(waitForCards(listener.process, 2)) << harness::output(listener.process);
    std::vector<std::string> printed = cardLines(listener.process);
    EXPECT_EQ(cardOf(printed[0]), "AB\\x0AC\\x01\\\\\\x7F\\xFF");
    EXPECT_EQ(cardOf(printed[1]), "12\\x0034");
}

TEST_F(RfidctlListen, JsonLinesParseAndCarryTheExactBytes)
{
    listener = startListener({"--json"});
    ASSERT_GT(listener.port, 0);
    const std::vector<std::string> cards{"12345678\r", std::string("A\"B\\C\n\x01", 7), "DEADBEEF"};
    for (const std::string &card : cards)
        ASSERT_TRUE(sendCard(listener.port, card));
    ASSERT_TRUE(waitForCards(listener.process, cards.size())) << harness::output(listener.process);
    std::vector<std::string> printed = cardLines(listener.process);
    ASSERT_EQ(printed.size(), cards.size());
    for (size_t i = 0; i < cards.size(); ++i) {
        cJSON *object = cJSON_Parse(printed[i].c_str());
        ASSERT_TRUE(cJSON_IsObject(object)) << printed[i];
        cJSON *timeItem = cJSON_GetObjectItemCaseSensitive(object, "time");
        cJSON *peerItem = cJSON_GetObjectItemCaseSensitive(object, "peer");
        cJSON *cardItem = cJSON_GetObjectItemCaseSensitive(object, "card");
        ASSERT_TRUE(cJSON_IsString(timeItem) && cJSON_IsString(peerItem) && cJSON_IsString(cardItem)) << printed[i];
        EXPECT_TRUE(isLocalTime(timeItem->valuestring)) << printed[i];
        EXPECT_TRUE(isLoopbackPeer(peerItem->valuestring)) << printed[i];
        EXPECT_EQ(std::string(cardItem->valuestring), cards[i]);
        EXPECT_EQ(cJSON_GetObjectItemCaseSensitive(object, "truncated"), nullptr);
        cJSON_Delete(object);
    }
    EXPECT_EQ(printed[0].substr(printed[0].find("\"card\"")), "\"card\":\"12345678\\r\"}");
}

TEST_F(RfidctlListen, AConnectionWithoutDataPrintsNoCard)
{
    listener = startListener();
    ASSERT_GT(listener.port, 0);
    for (int i = 0; i < 5; ++i)
        ASSERT_TRUE(sendCard(listener.port, ""));
    ASSERT_TRUE(sendCard(listener.port, "12345678"));
    ASSERT_TRUE(waitForCards(listener.process, 1)) << harness::output(listener.process);
    usleep(100000);
    std::vector<std::string> printed = cardLines(listener.process);
    ASSERT_EQ(printed.size(), 1u) << harness::output(listener.process);
    EXPECT_EQ(cardOf(printed[0]), "12345678");
    EXPECT_TRUE(harness::isRunning(listener.process));
}

TEST_F(RfidctlListen, ALongGarbageStreamIsCutAndTheServerGoesOn)
{
    listener = startListener();
    ASSERT_GT(listener.port, 0);
    int fd = harness::connectTcp(listener.port);
    ASSERT_GE(fd, 0);
    // The server closes the connection once its buffer is full: sending
    // fails somewhere along the way, which is the point.
    std::string garbage(64 * 1024, 'G');
    for (int i = 0; i < 64; ++i)
        if (!harness::sendAll(fd, garbage))
            break;
    close(fd);
    ASSERT_TRUE(waitForCards(listener.process, 1)) << harness::output(listener.process).substr(0, 2000);
    ASSERT_TRUE(sendCard(listener.port, "12345678"));
    ASSERT_TRUE(waitForCards(listener.process, 2));
    std::vector<std::string> printed = cardLines(listener.process);
    ASSERT_EQ(printed.size(), 2u);
    EXPECT_LT(printed[0].size(), 1200u);
    EXPECT_NE(printed[0].find("[truncated]"), std::string::npos);
    EXPECT_EQ(cardOf(printed[1]), "12345678");
    EXPECT_TRUE(harness::isRunning(listener.process));
}

TEST_F(RfidctlListen, ConnectionsBeyondTheCapWaitUntilOthersClose)
{
    listener = startListener();
    ASSERT_GT(listener.port, 0);
    std::vector<int> idle;
    for (int i = 0; i < 64; ++i) {
        int fd = harness::connectTcp(listener.port);
        ASSERT_GE(fd, 0);
        idle.push_back(fd);
    }
    usleep(200000);
    ASSERT_TRUE(sendCard(listener.port, "12345678"));
    // Still in the backlog while 64 connections are open.
    EXPECT_FALSE(waitForCards(listener.process, 1, 300));
    close(idle.back());
    idle.pop_back();
    EXPECT_TRUE(waitForCards(listener.process, 1)) << harness::output(listener.process);
    for (int fd : idle)
        close(fd);
    ASSERT_TRUE(sendCard(listener.port, "87654321"));
    ASSERT_TRUE(waitForCards(listener.process, 2));
    EXPECT_EQ(cardOf(cardLines(listener.process)[1]), "87654321");
}

TEST_F(RfidctlListen, AnIdleConnectionIsClosedAfterTenSeconds)
{
    listener = startListener();
    ASSERT_GT(listener.port, 0);
    int fd = harness::connectTcp(listener.port);
    ASSERT_GE(fd, 0);
    ASSERT_TRUE(harness::sendAll(fd, "1234"));
    ASSERT_TRUE(waitForCards(listener.process, 1, 20000)) << harness::output(listener.process);
    EXPECT_EQ(cardOf(cardLines(listener.process)[0]), "1234");
    // The server's side is closed.
    EXPECT_EQ(harness::recvQuiet(fd, 100, 2000), "");
    close(fd);
}

TEST_F(RfidctlListen, StopsWithExitCode0OnSigtermAndSigint)
{
    for (int sig : {SIGTERM, SIGINT}) {
        listener = startListener();
        ASSERT_GT(listener.port, 0);
        int open = harness::connectTcp(listener.port);
        ASSERT_TRUE(sendCard(listener.port, "12345678"));
        ASSERT_TRUE(waitForCards(listener.process, 1));
        EXPECT_EQ(harness::stop(listener.process, sig), 0) << "signal " << sig;
        if (open >= 0)
            close(open);
    }
}

TEST_F(RfidctlListen, APortInUseIsReportedWithExitCode3)
{
    int taken = harness::listenTcp(0);
    ASSERT_GE(taken, 0);
    rfidctltest::Outcome run =
        rfidctltest::rfidctl({"listen", std::to_string(harness::boundPort(taken)), "--bind", "127.0.0.1"});
    close(taken);
    EXPECT_EQ(run.status, 3) << run.output;
    EXPECT_NE(run.output.find("rfidctl: cannot listen on 127.0.0.1:"), std::string::npos) << run.output;
}

} // namespace
