// End-to-end tests of the network services: the sandbox daemon as a
// process, the configuration service on 127.0.0.1:8001 and the discovery
// service on port 8000. Everything that can make the daemon broadcast runs
// again inside a private network namespace (the test re-executes itself
// under unshare), where the broadcast stays on that namespace's loopback.
#include "tests/net/nettest.h"
#include "tests/support/sandbox.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <climits>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

using nettest::netConfReply;
using nettest::readerIdReply;
using nettest::sameBytes;
using nettest::statusReply;

namespace {

const std::string getReaderId = R"({"Command":"CMD_GetReaderId"})";
const std::string getNetConf = R"({"Command":"CMD_GetNetConf"})";
// The settings of a freshly provisioned sandbox.
const std::string provisionedNetReply =
    netConfReply("192.168.0.100", "255.255.255.0", "192.168.0.1", "192.168.0.1", "00:11:22:33:44:55");

// Quiet time of the client: longer than the service's own 200 ms, so that a
// reply that is coming has arrived.
constexpr int REPLY_QUIET_MS = 400;
constexpr int REPLY_TIMEOUT_MS = 3000;
// How long to wait before concluding that no reply comes.
constexpr int NO_REPLY_MS = 700;

std::string receiveReply(int fd)
{
    return harness::recvQuiet(fd, REPLY_QUIET_MS, REPLY_TIMEOUT_MS);
}
std::string receiveNothing(int fd)
{
    return harness::recvQuiet(fd, REPLY_QUIET_MS, NO_REPLY_MS);
}

int rebootLines(const harness::Sandbox &sandbox)
{
    return static_cast<int>(harness::readLines(sandbox.dir + "/reboot.log").size());
}

// True once something is bound to UDP `port` (read from /proc/net/udp).
bool udpBound(int port)
{
    std::ifstream table("/proc/net/udp");
    std::string line;
    std::getline(table, line);
    while (std::getline(table, line)) {
        std::istringstream fields(line);
        std::string slot, local;
        fields >> slot >> local;
        size_t colon = local.find(':');
        if (colon != std::string::npos && std::stoi(local.substr(colon + 1), nullptr, 16) == port)
            return true;
    }
    return false;
}

bool waitForUdp(int port, int timeoutMs)
{
    for (int waited = 0; !udpBound(port); waited += 10) {
        if (waited >= timeoutMs)
            return false;
        usleep(10000);
    }
    return true;
}

class ServiceTest : public ::testing::Test
{
  protected:
    void startDaemon()
    {
        started = true; // whatever came up is stopped again in TearDown
        ASSERT_TRUE(harness::startSandbox(sandbox));
        running = true;
        // The sandbox is up once the last service listens; the services
        // started before it may still be on their way.
        ASSERT_TRUE(harness::waitForListening(8001, 10000)) << harness::output(sandbox.daemon);
        ASSERT_TRUE(waitForUdp(8000, 10000)) << harness::output(sandbox.daemon);
    }
    void TearDown() override
    {
        if (!started)
            return;
        if (running) {
            EXPECT_TRUE(harness::isRunning(sandbox.daemon)) << harness::output(sandbox.daemon);
            EXPECT_EQ(harness::crashReport(sandbox.daemon), "");
        }
        harness::stopSandbox(sandbox);
    }
    // A new connection gets its answer: the service is still there.
    void expectServing()
    {
        int fd = harness::connectTcp(8001);
        ASSERT_GE(fd, 0);
        ASSERT_TRUE(harness::sendAll(fd, getReaderId));
        EXPECT_TRUE(sameBytes(receiveReply(fd), readerIdReply("1")));
        close(fd);
    }

    harness::Sandbox sandbox;
    bool started = false;
    bool running = false;
};

// --- configuration service on TCP 8001 --------------------------------------

class ConfigService : public ServiceTest
{
  protected:
    void SetUp() override
    {
        startDaemon();
        if (HasFatalFailure())
            return;
        client = harness::connectTcp(8001);
        ASSERT_GE(client, 0);
    }
    void TearDown() override
    {
        if (client >= 0)
            close(client);
        ServiceTest::TearDown();
    }
    void send(const std::string &bytes) { ASSERT_TRUE(harness::sendAll(client, bytes)); }

    int client = -1;
};

TEST_F(ConfigService, RequestInSegmentsUnder200msApartIsOneRequest)
{
    send(R"({"Command":)");
    usleep(50000);
    send(R"("CMD_GetRea)");
    usleep(50000);
    send(R"(derId"})");
    EXPECT_TRUE(sameBytes(receiveReply(client), readerIdReply("1")));
}

TEST_F(ConfigService, PauseOf200msOrMoreSplitsARequest)
{
    // Each half alone is no JSON object: neither gets a reply.
    send(R"({"Command":)");
    usleep(400000);
    send(R"("CMD_GetReaderId"})");
    EXPECT_TRUE(sameBytes(receiveNothing(client), ""));
    // Two requests with a pause between them get a reply each, the first
    // before the second is sent.
    send(getReaderId);
    EXPECT_TRUE(sameBytes(receiveReply(client), readerIdReply("1")));
    send(getNetConf);
    EXPECT_TRUE(sameBytes(receiveReply(client), provisionedNetReply));
}

TEST_F(ConfigService, TwoRequestsWithin200msGetOneReply)
{
    send(getReaderId);
    usleep(30000);
    send(getNetConf);
    EXPECT_TRUE(sameBytes(receiveReply(client), readerIdReply("1")));
    EXPECT_TRUE(sameBytes(receiveNothing(client), ""));
}

TEST_F(ConfigService, FirstKilobyteIsOneRequestAndTheRestTheNext)
{
    std::string first = getReaderId;
    first.resize(1024, ' ');
    send(first + getNetConf);
    EXPECT_TRUE(sameBytes(receiveReply(client), readerIdReply("1") + provisionedNetReply));
}

TEST_F(ConfigService, RequestCutAtTheKilobyteGetsNoReply)
{
    // The object straddles byte 1024: neither piece is a request.
    send(std::string(1000, ' ') + getReaderId);
    EXPECT_TRUE(sameBytes(receiveNothing(client), ""));
    send(std::string(5000, 'x'));
    EXPECT_TRUE(sameBytes(receiveNothing(client), ""));
    send(getReaderId);
    EXPECT_TRUE(sameBytes(receiveReply(client), readerIdReply("1")));
}

TEST_F(ConfigService, UnusableRequestsGetNoReplyAndTheConnectionGoesOn)
{
    for (const std::string &request :
         {std::string("\x00\x01\x02\xff\xfe garbage\r\n", 14), std::string("not json at all"),
          std::string(R"([{"Command":"CMD_GetReaderId"}])"), std::string(R"({"Command":19})"),
          std::string(R"({"Command":"cmd_getreaderid"})"), std::string(R"({"Command":"CMD_CtrBuzzer"})"),
          std::string(R"({"Command":"CMD_CtrRelay","Data":{}})"),
          std::string(R"({"Command":"CMD_CtrLight"})"), std::string(R"({"Command":"CMD_Unknown"})")}) {
        send(request);
        EXPECT_TRUE(sameBytes(receiveNothing(client), "")) << nettest::escaped(request);
    }
    send(getReaderId);
    EXPECT_TRUE(sameBytes(receiveReply(client), readerIdReply("1")));
}

TEST_F(ConfigService, RefusedSetIsAnsweredWithZeroAndTheServiceGoesOn)
{
    send(R"({"Command":"CMD_SetServerConf","Data":{"IP":"1234567890.123456","Port":1,"CodeType":0}})");
    EXPECT_TRUE(sameBytes(receiveReply(client), statusReply(0)));
    send(R"({"Command":"CMD_SetReaderId","Data":{"devId":"x"}})");
    EXPECT_TRUE(sameBytes(receiveReply(client), statusReply(0)));
    send(R"({"Command":"CMD_SetReaderId","Data":{"devId":2}})");
    EXPECT_TRUE(sameBytes(receiveReply(client), statusReply(1)));
    send(getReaderId);
    EXPECT_TRUE(sameBytes(receiveReply(client), readerIdReply("2")));
}

TEST_F(ConfigService, ClientThatConnectsAndClosesIsLetGo)
{
    close(client);
    client = -1;
    for (int i = 0; i < 3; ++i) {
        int fd = harness::connectTcp(8001);
        ASSERT_GE(fd, 0);
        close(fd);
    }
    expectServing();
    EXPECT_TRUE(harness::waitForOutput(sandbox.daemon, "Server accept client connect 127.0.0.1\n", 2000));
    EXPECT_GE(harness::countInOutput(sandbox.daemon, "Server accept client connect 127.0.0.1\n"), 5);
}

TEST_F(ConfigService, ClientThatResetsWhileTheReplyIsSentIsLetGo)
{
    close(client);
    client = -1;
    // The reply leaves 200 ms after the last byte; reset before, around and
    // after that moment.
    for (int delayMs : {0, 150, 200, 250}) {
        int fd = harness::connectTcp(8001);
        ASSERT_GE(fd, 0);
        ASSERT_TRUE(harness::sendAll(fd, getNetConf));
        usleep(static_cast<useconds_t>(delayMs) * 1000);
        linger reset{1, 0};
        setsockopt(fd, SOL_SOCKET, SO_LINGER, &reset, sizeof reset);
        close(fd);
    }
    usleep(300000);
    expectServing();
}

TEST_F(ConfigService, ServesOneClientAfterAnother)
{
    send(getReaderId);
    EXPECT_TRUE(sameBytes(receiveReply(client), readerIdReply("1")));
    // A second client waits in the backlog until the first one closes.
    int second = harness::connectTcp(8001);
    ASSERT_GE(second, 0);
    ASSERT_TRUE(harness::sendAll(second, getReaderId));
    EXPECT_TRUE(sameBytes(receiveNothing(second), ""));
    close(client);
    client = -1;
    EXPECT_TRUE(sameBytes(receiveReply(second), readerIdReply("1")));
    close(second);
}

TEST_F(ConfigService, SetNetConfRewritesTheFileAndRebootsAfterTheReply)
{
    std::string settings = sandbox.dir + "/etc/eth0-setting";
    std::vector<std::string> before = harness::readLines(settings);
    ASSERT_EQ(before.size(), 5u);
    ASSERT_EQ(rebootLines(sandbox), 0);

    send(
        R"({"Command":"CMD_SetNetConf","Data":{"IP":"10.20.30.40","Mask":"","Gateway":"","DNS":"","MAC":""}})");
    // Wait for the reboot's line without reading the reply: once the line is
    // there, the reply must already be waiting on this socket.
    bool rebooted = false;
    for (int waited = 0; waited < 5000 && !rebooted; waited += 2) {
        rebooted = rebootLines(sandbox) > 0;
        if (!rebooted)
            usleep(2000);
    }
    char peek[64];
    ssize_t waiting = recv(client, peek, sizeof peek, MSG_PEEK | MSG_DONTWAIT);
    ASSERT_TRUE(rebooted) << harness::output(sandbox.daemon);
    ASSERT_GT(waiting, 0) << "the reboot ran before the reply was sent";
    EXPECT_TRUE(sameBytes(receiveReply(client), statusReply(1)));

    std::vector<std::string> after = harness::readLines(settings);
    ASSERT_EQ(after.size(), 5u);
    EXPECT_EQ(after[0], "IP=10.20.30.40");
    for (size_t i = 1; i < 5; ++i)
        EXPECT_EQ(after[i], before[i]);
    EXPECT_EQ(rebootLines(sandbox), 1);
    // The connection is still served after the reboot command returned.
    send(getNetConf);
    EXPECT_TRUE(sameBytes(receiveReply(client), netConfReply("10.20.30.40", "255.255.255.0", "192.168.0.1",
                                                             "192.168.0.1", "00:11:22:33:44:55")));
    EXPECT_EQ(rebootLines(sandbox), 1);
}

TEST_F(ConfigService, RefusedSetNetConfNeitherWritesNorReboots)
{
    std::string settings = sandbox.dir + "/etc/eth0-setting";
    std::string before = harness::readFile(settings);
    send(
        R"({"Command":"CMD_SetNetConf","Data":{"IP":"10.0.0.1\nMask=1","Mask":"","Gateway":"","DNS":"","MAC":""}})");
    EXPECT_TRUE(sameBytes(receiveReply(client), statusReply(0)));
    usleep(200000);
    EXPECT_TRUE(sameBytes(harness::readFile(settings), before));
    EXPECT_EQ(rebootLines(sandbox), 0);
}

// --- discovery and network setup on UDP 8000, in a private namespace -------

const char *const NAMESPACE_VARIABLE = "RFIDD_NET_TEST_NAMESPACE";

bool insideNamespace()
{
    return getenv(NAMESPACE_VARIABLE) != nullptr;
}

std::string findProgram(const char *name)
{
    for (const char *dir : {"/usr/bin", "/bin", "/usr/sbin", "/sbin"}) {
        std::string path = std::string(dir) + "/" + name;
        if (access(path.c_str(), X_OK) == 0)
            return path;
    }
    return {};
}

std::string selfPath()
{
    char path[PATH_MAX] = {};
    ssize_t length = readlink("/proc/self/exe", path, sizeof path - 1);
    return length > 0 ? std::string(path, static_cast<size_t>(length)) : std::string();
}

// Runs the current test once more, alone, in a private network namespace and
// takes over its outcome.
void rerunInPrivateNamespace()
{
    std::string unshare = findProgram("unshare");
    if (unshare.empty() || findProgram("ip").empty())
        GTEST_SKIP() << "no private network namespace: unshare or ip is not installed";
    std::string mode;
    if (harness::runProgram({unshare, "-n", "true"}) == 0)
        mode = "-n";
    else if (harness::runProgram({unshare, "-rn", "true"}) == 0)
        mode = "-rn";
    else
        GTEST_SKIP() << "no private network namespace: neither 'unshare -n' nor 'unshare -rn' works here";

    const ::testing::TestInfo *test = ::testing::UnitTest::GetInstance()->current_test_info();
    std::string filter = std::string("--gtest_filter=") + test->test_suite_name() + "." + test->name();
    setenv(NAMESPACE_VARIABLE, "1", 1);
    std::string text;
    int status = harness::runProgram({unshare, mode, selfPath(), filter}, &text, 60000);
    unsetenv(NAMESPACE_VARIABLE);
    if (status == 0 && text.find("[  SKIPPED ]") != std::string::npos)
        GTEST_SKIP() << "skipped inside the namespace:\n" << text;
    EXPECT_EQ(status, 0) << "inside 'unshare " << mode << "':\n" << text;
    EXPECT_NE(text.find("[  PASSED  ] 1 test."), std::string::npos) << text;
}

#define IN_PRIVATE_NETWORK_NAMESPACE()                                                                       \
    do {                                                                                                     \
        if (!insideNamespace()) {                                                                            \
            rerunInPrivateNamespace();                                                                       \
            return;                                                                                          \
        }                                                                                                    \
    } while (0)

// A UDP socket on an ephemeral port of every local address, which sends the
// requests to the service and receives the broadcast answers.
struct Datagram {
    std::string bytes;
    in_addr destination{};
    int sourcePort = -1;
};

class Discovery : public ServiceTest
{
  protected:
    void SetUp() override
    {
        if (!insideNamespace())
            return;
        std::string ip = findProgram("ip");
        ASSERT_EQ(harness::runProgram({ip, "link", "set", "lo", "up"}), 0);
        // A broadcast to 255.255.255.255 needs a route; the namespace has only lo.
        if (harness::runProgram(
                {ip, "route", "add", "broadcast", "255.255.255.255", "dev", "lo", "table", "local"}) != 0) {
            ASSERT_EQ(harness::runProgram({ip, "route", "add", "default", "dev", "lo"}), 0);
        }
        startDaemon();
        if (HasFatalFailure())
            return;

        sock = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        ASSERT_GE(sock, 0);
        int on = 1;
        ASSERT_EQ(setsockopt(sock, IPPROTO_IP, IP_PKTINFO, &on, sizeof on), 0);
        sockaddr_in local{};
        local.sin_family = AF_INET;
        local.sin_addr.s_addr = htonl(INADDR_ANY);
        ASSERT_EQ(bind(sock, reinterpret_cast<sockaddr *>(&local), sizeof local), 0);
        socklen_t length = sizeof local;
        ASSERT_EQ(getsockname(sock, reinterpret_cast<sockaddr *>(&local), &length), 0);
        port = ntohs(local.sin_port);
    }
    void TearDown() override
    {
        if (sock >= 0)
            close(sock);
        ServiceTest::TearDown();
    }

    void sendRequest(const std::string &bytes)
    {
        sockaddr_in service{};
        service.sin_family = AF_INET;
        service.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        service.sin_port = htons(8000);
        ASSERT_EQ(sendto(sock, bytes.data(), bytes.size(), 0, reinterpret_cast<sockaddr *>(&service),
                         sizeof service),
                  static_cast<ssize_t>(bytes.size()));
    }

    // The next datagram within `timeoutMs`; empty bytes and port -1 if none.
    Datagram receive(int timeoutMs)
    {
        Datagram got;
        pollfd entry{sock, POLLIN, 0};
        if (poll(&entry, 1, timeoutMs) != 1)
            return got;
        char buffer[2048];
        char control[256];
        sockaddr_in from{};
        iovec part{buffer, sizeof buffer};
        msghdr message{};
        message.msg_name = &from;
        message.msg_namelen = sizeof from;
        message.msg_iov = &part;
        message.msg_iovlen = 1;
        message.msg_control = control;
        message.msg_controllen = sizeof control;
        ssize_t n = recvmsg(sock, &message, 0);
        if (n < 0)
            return got;
        got.bytes.assign(buffer, static_cast<size_t>(n));
        got.sourcePort = ntohs(from.sin_port);
        for (cmsghdr *c = CMSG_FIRSTHDR(&message); c; c = CMSG_NXTHDR(&message, c))
            if (c->cmsg_level == IPPROTO_IP && c->cmsg_type == IP_PKTINFO)
                got.destination = reinterpret_cast<in_pktinfo *>(CMSG_DATA(c))->ipi_addr;
        return got;
    }

    void expectAnswer(const std::string &request)
    {
        sendRequest(request);
        Datagram answer = receive(REPLY_TIMEOUT_MS);
        EXPECT_TRUE(sameBytes(answer.bytes, "TcpReader Response")) << request;
        EXPECT_EQ(answer.bytes.size(), 18u);
        EXPECT_EQ(answer.destination.s_addr, htonl(INADDR_BROADCAST)) << inet_ntoa(answer.destination);
        EXPECT_NE(answer.sourcePort, 8000);
        EXPECT_GT(answer.sourcePort, 0);
    }
    void expectNoAnswer(const std::string &request)
    {
        sendRequest(request);
        EXPECT_TRUE(sameBytes(receive(NO_REPLY_MS).bytes, "")) << nettest::escaped(request);
    }

    int sock = -1;
    int port = -1;
};

const std::string searchRequest = R"({"Command":"CMD_SearchReader","Data":"TcpReader Request"})";

TEST_F(Discovery, SearchIsAnsweredByBroadcastToTheSendersPort)
{
    IN_PRIVATE_NETWORK_NAMESPACE();
    expectAnswer(searchRequest);
    EXPECT_TRUE(sameBytes(receive(NO_REPLY_MS).bytes, "")) << "one search, one answer";
    expectAnswer(R"({"command":"CMD_SearchReader","DATA":"TcpReader Request"})");
}

TEST_F(Discovery, SearchWithOtherDataIsNotAnswered)
{
    IN_PRIVATE_NETWORK_NAMESPACE();
    expectNoAnswer(R"({"Command":"CMD_SearchReader","Data":"tcpreader request"})");
    expectNoAnswer(R"({"Command":"CMD_SearchReader","Data":"TcpReader Request "})");
    expectNoAnswer(R"({"Command":"CMD_SearchReader","Data":"TcpReader Request\n"})");
    expectNoAnswer(R"({"Command":"CMD_SearchReader"})");
    expectNoAnswer(R"({"Command":"cmd_searchreader","Data":"TcpReader Request"})");
    expectAnswer(searchRequest);
}

TEST_F(Discovery, UnusableDatagramsAreIgnored)
{
    IN_PRIVATE_NETWORK_NAMESPACE();
    expectNoAnswer("TcpReader Response");
    expectNoAnswer(std::string("\x00\xff\x01", 3));
    expectNoAnswer("[1,2]");
    expectNoAnswer(R"({"Command":32})");
    // Only the first 1024 bytes of a datagram count.
    expectNoAnswer(std::string(1024, ' ') + searchRequest);
    expectAnswer(searchRequest + std::string(3000, ' '));
    expectAnswer(searchRequest);
}

TEST_F(Discovery, SetNetConfForAnotherBoardChangesNothing)
{
    IN_PRIVATE_NETWORK_NAMESPACE();
    std::string settings = sandbox.dir + "/etc/eth0-setting";
    std::string before = harness::readFile(settings);
    expectNoAnswer(R"({"Command":"CMD_SetNetConf","Data":{"OldIP":"192.168.0.101","IP":"10.0.0.9",)"
                   R"("Mask":"","Gateway":"","DNS":"","MAC":""}})");
    usleep(200000);
    EXPECT_TRUE(sameBytes(harness::readFile(settings), before));
    EXPECT_EQ(rebootLines(sandbox), 0);
    expectAnswer(searchRequest);
}

TEST_F(Discovery, SetNetConfForThisBoardRewritesAndRebootsWithoutAnswer)
{
    IN_PRIVATE_NETWORK_NAMESPACE();
    std::string settings = sandbox.dir + "/etc/eth0-setting";
    std::vector<std::string> before = harness::readLines(settings);
    ASSERT_EQ(before.size(), 5u);
    sendRequest(R"({"Command":"CMD_SetNetConf","Data":{"OldIP":"192.168.0.100","IP":"10.0.0.9",)"
                R"("Mask":"255.0.0.0","Gateway":"","DNS":"","MAC":""}})");
    bool rebooted = false;
    for (int waited = 0; waited < 5000 && !rebooted; waited += 10) {
        rebooted = rebootLines(sandbox) > 0;
        if (!rebooted)
            usleep(10000);
    }
    EXPECT_TRUE(rebooted) << harness::output(sandbox.daemon);
    EXPECT_TRUE(sameBytes(receive(NO_REPLY_MS).bytes, "")) << "a network setup is never answered";
    EXPECT_EQ(rebootLines(sandbox), 1);
    std::vector<std::string> after = harness::readLines(settings);
    ASSERT_EQ(after.size(), 5u);
    EXPECT_EQ(after[0], "IP=10.0.0.9");
    EXPECT_EQ(after[1], "Mask=255.0.0.0");
    for (size_t i = 2; i < 5; ++i)
        EXPECT_EQ(after[i], before[i]);
    expectAnswer(searchRequest);
}

TEST_F(Discovery, SetNetConfWithAMissingMemberChangesNothing)
{
    IN_PRIVATE_NETWORK_NAMESPACE();
    std::string settings = sandbox.dir + "/etc/eth0-setting";
    std::string before = harness::readFile(settings);
    expectNoAnswer(R"({"Command":"CMD_SetNetConf","Data":{"OldIP":"192.168.0.100","IP":"10.0.0.9",)"
                   R"("Mask":"","Gateway":"","DNS":""}})");
    expectNoAnswer(R"({"Command":"CMD_SetNetConf","Data":{"OldIP":"192.168.0.100","IP":"10.0.0.9",)"
                   R"("Mask":"","Gateway":"","DNS":"","MAC":1}})");
    EXPECT_TRUE(sameBytes(harness::readFile(settings), before));
    EXPECT_EQ(rebootLines(sandbox), 0);
}

} // namespace
