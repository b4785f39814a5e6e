// The network services end to end, on one sandbox daemon whose card database
// cannot be opened: its card loop never starts and every service must still
// answer. Only what the handlers on a socket pair cannot show is here: the
// framing of a real connection, clients that close or reset, the reboot after
// the reply, and the discovery answer, a broadcast, so sent only in a private
// network namespace. The cases run in order, as one sequence.
#include "tests/support/sandbox.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>

using namespace harness;

namespace
{

constexpr int WAIT = 20000; // bound of every wait: only a hang takes this long
const std::string GET_ID = R"({"Command":"CMD_GetReaderId"})";
const std::string ID = "{\n\t\"response\":\t1,\n\t\"Data\":\t{\n\t\t\"devId\":\t1\n\t}\n}";
const std::string OK = "{\n\t\"response\":\t1\n}";
const std::string SEARCH = R"({"Command":"CMD_SearchReader","Data":"TcpReader Request"})";
const std::string ANSWER = "TcpReader Response to 255.255.255.255 from another port";

std::string setNet(const std::string &old, const std::string &ip)
{
    return R"({"Command":"CMD_SetNetConf","Data":{)" + old + R"("IP":")" + ip +
           R"(","Mask":"","Gateway":"","DNS":"","MAC":""}})";
}

// A UDP socket on a port of its own, on every address, that sees the
// destination address of what it receives.
int udpSocket()
{
    int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0), on = 1;
    sockaddr_in any{};
    any.sin_family = AF_INET;
    setsockopt(fd, IPPROTO_IP, IP_PKTINFO, &on, sizeof on);
    bind(fd, reinterpret_cast<sockaddr *>(&any), sizeof any);
    return fd;
}

void sendTo(int fd, const std::string &bytes)
{
    sockaddr_in service{};
    service.sin_family = AF_INET;
    service.sin_port = htons(8000);
    service.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    sendto(fd, bytes.data(), bytes.size(), 0, reinterpret_cast<sockaddr *>(&service), sizeof service);
}

// The next datagram within timeoutMs, with where it went and came from.
std::string receive(int fd, int timeoutMs)
{
    pollfd entry{fd, POLLIN, 0};
    char bytes[2048], control[256];
    sockaddr_in from{};
    iovec part{bytes, sizeof bytes};
    msghdr message{&from, sizeof from, &part, 1, control, sizeof control, 0};
    if (poll(&entry, 1, timeoutMs) != 1)
        return "";
    ssize_t n = recvmsg(fd, &message, 0);
    cmsghdr *info = CMSG_FIRSTHDR(&message);
    if (n < 0 || !info || info->cmsg_type != IP_PKTINFO)
        return "<unreadable>";
    return std::string(bytes, static_cast<size_t>(n)) + " to " +
           inet_ntoa(reinterpret_cast<in_pktinfo *>(CMSG_DATA(info))->ipi_addr) +
           (ntohs(from.sin_port) == 8000 ? " from 8000" : " from another port");
}

class Net : public ::testing::Test
{
  protected:
    static void SetUpTestSuite()
    {
        network = enterPrivateNamespaces();
        SandboxOptions options;
        options.startDaemon = false;
        ASSERT_TRUE(startSandbox(sb, options));
        std::string cardDb = sb.dir + "/usr/local/etc/card.db";
        ASSERT_EQ(unlink(cardDb.c_str()), 0);
        ASSERT_EQ(mkdir(cardDb.c_str(), 0755), 0);
        ASSERT_TRUE(startDaemon(sb));
    }
    static void TearDownTestSuite() { stopSandbox(sb); }
    // Whether the daemon printed `line` after the first `from` bytes of its output.
    static bool printed(const std::string &line, size_t from)
    {
        return waitUntil([&] { return output(sb.daemon).find(line + "\n", from) != std::string::npos; },
                         WAIT);
    }

    static inline Sandbox sb;
    static inline std::string network;
};

TEST_F(Net, ServicesRunWithoutTheCardDatabase)
{
    EXPECT_NE(output(sb.daemon).find("unable to open database file\n"), std::string::npos)
        << output(sb.daemon);
    EXPECT_EQ(roundTrip(10001, "010001"), "");
    EXPECT_NE(output(sb.daemon).find("<<<010001\n"), std::string::npos);
}

TEST_F(Net, RequestEndsAfter200msOfQuietAndAPauseSplitsIt)
{
    auto begun = std::chrono::steady_clock::now();
    size_t from = output(sb.daemon).size();
    int fd = connectTcp(8001);
    ASSERT_TRUE(sendAll(fd, GET_ID));
    ASSERT_TRUE(printed(GET_ID, from));
    EXPECT_GE(std::chrono::steady_clock::now() - begun, std::chrono::milliseconds(190));
    shutdown(fd, SHUT_WR);
    EXPECT_EQ(recvAll(fd, WAIT), ID);
    close(fd);

    from = output(sb.daemon).size();
    fd = connectTcp(8001);
    ASSERT_TRUE(sendAll(fd, R"({"Command":)"));
    ASSERT_TRUE(printed(R"({"Command":)", from));
    ASSERT_TRUE(sendAll(fd, R"("CMD_GetReaderId"})"));
    shutdown(fd, SHUT_WR);
    EXPECT_EQ(recvAll(fd, WAIT), "") << "neither half is a request";
    close(fd);
}

TEST_F(Net, RequestIsCutAfter1024Bytes)
{
    std::string full = GET_ID + std::string(1024 - GET_ID.size(), ' ');
    EXPECT_EQ(roundTrip(8001, full + GET_ID), ID + ID) << "the rest is the next request";
    EXPECT_EQ(roundTrip(8001, full + std::string(1023, ' ') + GET_ID), ID) << "a request across byte 1024";
}

TEST_F(Net, ClientsThatCloseOrResetAreLetGo)
{
    close(connectTcp(8001));
    // Reset at once, and reset once the request has been taken (its reply is
    // on its way).
    for (const std::string &request : {GET_ID, std::string(R"({"Command":"CMD_GetNetConf"})")}) {
        size_t from = output(sb.daemon).size();
        int fd = connectTcp(8001);
        ASSERT_TRUE(sendAll(fd, request));
        if (request != GET_ID) {
            ASSERT_TRUE(printed(request, from));
        }
        linger reset{1, 0};
        setsockopt(fd, SOL_SOCKET, SO_LINGER, &reset, sizeof reset);
        close(fd);
    }
    EXPECT_EQ(roundTrip(8001, GET_ID), ID);
}

TEST_F(Net, NetworkSetupIsAnsweredBeforeTheReboot)
{
    // The reboot command appends to a FIFO, so it waits until the FIFO is
    // opened: the reply has to be here before that.
    std::string fifo = sb.dir + "/reboot.log";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0644), 0);
    int fd = connectTcp(8001);
    ASSERT_TRUE(sendAll(fd, setNet("", "10.20.30.40")));
    EXPECT_EQ(recvQuiet(fd, 100, WAIT), OK);
    int reboots = open(fifo.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    pollfd entry{reboots, POLLIN, 0};
    char line[16] = {};
    EXPECT_TRUE(poll(&entry, 1, WAIT) == 1 && read(reboots, line, sizeof line - 1) > 0 &&
                std::string(line) == "reboot\n")
        << "the reboot command did not run";
    close(reboots);
    unlink(fifo.c_str());
    close(fd);
    EXPECT_EQ(readLines(sb.dir + "/etc/eth0-setting").at(0), "IP=10.20.30.40");
}

TEST_F(Net, SearchIsAnsweredByBroadcastToItsSenderAndNothingElseIs)
{
    if (!network.empty())
        GTEST_SKIP() << network;
    int a = udpSocket(), b = udpSocket();
    sendTo(a, SEARCH);
    EXPECT_EQ(receive(a, WAIT), ANSWER);
    sendTo(a, std::string(600, ' ') + SEARCH);
    EXPECT_EQ(receive(a, WAIT), ANSWER) << "a datagram of more than 512 bytes";
    // Each request from a is followed by a search from b: datagrams are handled
    // in order, so once b has its answer, a would have had its own.
    for (const std::string &request :
         std::vector<std::string>{"TcpReader Response", R"({"Command":"CMD_SearchReader","Data":"TcpReader Request "})",
                                  R"({"Command":"CMD_SearchReader","Data":"tcpreader request"})",
                                  setNet(R"("OldIP":"10.20.30.4",)", "10.0.0.8"),
                                  setNet(R"("OldIP":"10.20.30.40",)", "10.0.0.9")}) {
        sendTo(a, request);
        sendTo(b, SEARCH);
        EXPECT_EQ(receive(b, WAIT), ANSWER) << request;
        EXPECT_EQ(receive(a, 0), "") << request;
    }
    EXPECT_EQ(readLines(sb.dir + "/etc/eth0-setting").at(0), "IP=10.0.0.9");
    EXPECT_EQ(readLines(sb.dir + "/reboot.log").size(), 1u) << "only the setup for this board reboots";
    close(a);
    close(b);
}

TEST_F(Net, DaemonNeverEndedNorCrashedNorReadCards)
{
    EXPECT_TRUE(isRunning(sb.daemon)) << output(sb.daemon);
    EXPECT_EQ(crashReport(sb.daemon), "");
    EXPECT_EQ(readFile(sb.simLog), "") << "the card loop ran without its card database";
}

} // namespace
