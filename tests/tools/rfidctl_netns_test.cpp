/*
 * rfidctl inside a private network namespace. There the fixed ports 8000,
 * 8001 and 10001 belong to the test alone, so fake readers written here can
 * sit on them, and broadcasts (discover) stay inside the namespace.
 *
 * RfidctlNetns.* re-runs this test program under `unshare` with the
 * namespace's loopback up and a route for 255.255.255.255; there it runs
 * RfidctlNetnsInner.*, which skip themselves anywhere else.
 */
#include "tests/tools/rfidctl_support.h"

#include <arpa/inet.h>
#include <cjson/cJSON.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdlib>
#include <functional>
#include <thread>

using rfidctltest::rfidctl;
using rfidctltest::Outcome;

namespace {

const char NETNS_MARK[] = "RFIDCTL_TEST_NETNS";

bool insideNamespace()
{
    const char *mark = getenv(NETNS_MARK);
    return mark && std::string(mark) == "1";
}

std::string selfPath()
{
    char path[4096];
    ssize_t n = readlink("/proc/self/exe", path, sizeof path - 1);
    if (n <= 0)
        return "";
    path[n] = '\0';
    return path;
}

std::string unsharePath()
{
    for (const char *path : {"/usr/bin/unshare", "/bin/unshare"})
        if (rfidctltest::fileExists(path))
            return path;
    return "";
}

TEST(RfidctlNetns, FakeReadersAndDiscoveryInAPrivateNamespace)
{
    std::string unshare = unsharePath();
    if (unshare.empty())
        GTEST_SKIP() << "no unshare program: cannot make a private network namespace";
    std::string mode;
    std::string failures;
    for (const char *flags : {"-rn", "-n"}) {
        Outcome probe = rfidctltest::runProgram(unshare, {flags, "/bin/true"}, 10000);
        if (probe.status == 0) {
            mode = flags;
            break;
        }
        failures += std::string("unshare ") + flags + ": " + probe.output;
    }
    if (mode.empty())
        GTEST_SKIP() << "cannot make a private network namespace: " << failures;

    const std::string script =
        "PATH=\"$PATH:/usr/sbin:/sbin\"; "
        "ip link set lo up || exit 97; "
        "ip route add broadcast 255.255.255.255 dev lo table local src 127.0.0.1 || exit 97; "
        "RFIDCTL_TEST_NETNS=1 exec \"$0\" --gtest_filter='RfidctlNetnsInner.*' --gtest_color=no";
    Outcome inner = rfidctltest::runProgram(unshare, {mode, "/bin/sh", "-c", script, selfPath()}, 300000);
    if (inner.status == 97)
        GTEST_SKIP() << "no loopback or broadcast route in the namespace: " << inner.output;
    EXPECT_EQ(inner.status, 0) << inner.output;
    for (const std::string &line : rfidctltest::lines(inner.output))
        if (line.rfind("[  PASSED  ]", 0) == 0 || line.rfind("[  FAILED  ]", 0) == 0)
            std::cout << "namespace: " << line << "\n";
}

// ---------------------------------------------------------------- fakes

// A fake configuration service on 127.0.0.1:8001 for one connection: it
// collects the request until 250 ms of quiet, then runs `answer` on the
// connection.
struct FakeService {
    std::thread thread;
    std::string request;
    int listener = -1;
};

void startFakeService(FakeService &fake, int port, std::function<void(int)> answer)
{
    fake.listener = harness::listenTcp(port);
    ASSERT_GE(fake.listener, 0) << "port " << port;
    fake.thread = std::thread([&fake, answer]() {
        pollfd waiting{fake.listener, POLLIN, 0};
        if (poll(&waiting, 1, 10000) != 1)
            return;
        int client = accept(fake.listener, nullptr, nullptr);
        if (client < 0)
            return;
        fake.request = harness::recvQuiet(client, 100, 5000);
        answer(client);
        close(client);
    });
}

void finishFake(FakeService &fake)
{
    if (fake.thread.joinable())
        fake.thread.join();
    if (fake.listener >= 0)
        close(fake.listener);
    fake.listener = -1;
}

std::function<void(int)> reply(const std::string &text)
{
    return [text](int client) {
        harness::sendAll(client, text);
        usleep(50000);
    };
}

// The status reply exactly as the reader formats it.
const std::string OK_REPLY = "{\n\t\"response\":\t1\n}";
const std::string FAILED_REPLY = "{\n\t\"response\":\t0\n}";

class RfidctlNetnsInner : public ::testing::Test {
protected:
    void SetUp() override
    {
        if (!insideNamespace())
            GTEST_SKIP() << "runs only inside the private network namespace made by RfidctlNetns";
    }
    void TearDown() override { finishFake(fake); }

    // Runs rfidctl against a fake service that answers with `answer`; returns
    // the run and leaves the request in fake.request.
    Outcome against(const std::vector<std::string> &args, std::function<void(int)> answer, int port = 8001)
    {
        startFakeService(fake, port, std::move(answer));
        Outcome run = rfidctl(args);
        finishFake(fake);
        return run;
    }

    FakeService fake;
};

cJSON *parsed(const std::string &text) { return cJSON_Parse(text.c_str()); }

std::string commandOf(const cJSON *request)
{
    const cJSON *command = cJSON_GetObjectItemCaseSensitive(request, "Command");
    return cJSON_IsString(command) ? command->valuestring : "(none)";
}

// ---------------------------------------------------------------- requests

TEST_F(RfidctlNetnsInner, GetCommandsSendTheirCommandName)
{
    const std::pair<const char *, const char *> cases[] = {
        {"id", "CMD_GetReaderId"},
        {"net", "CMD_GetNetConf"},
        {"server", "CMD_GetServerConf"},
        {"telegram", "CMD_GetTelegramContent"},
    };
    for (const auto &[what, command] : cases) {
        against({"127.0.0.1", "get", what}, reply(OK_REPLY));
        cJSON *request = parsed(fake.request);
        ASSERT_TRUE(cJSON_IsObject(request)) << fake.request;
        EXPECT_EQ(commandOf(request), command);
        cJSON_Delete(request);
    }
}

TEST_F(RfidctlNetnsInner, SetIdSendsDevIdAsANumber)
{
    Outcome run = against({"127.0.0.1", "set", "id", "42"}, reply(OK_REPLY));
    EXPECT_EQ(run.status, 0) << run.output;
    EXPECT_EQ(fake.request, "{\"Command\":\"CMD_SetReaderId\",\"Data\":{\"devId\":42}}");
}

TEST_F(RfidctlNetnsInner, SetServerSendsIpPortAndCodeType)
{
    Outcome run = against({"127.0.0.1", "set", "server", "--code-type", "1", "--port", "8080", "--ip", "10.0.0.5"},
                      reply(OK_REPLY));
    EXPECT_EQ(run.status, 0) << run.output;
    EXPECT_EQ(fake.request,
              "{\"Command\":\"CMD_SetServerConf\",\"Data\":{\"IP\":\"10.0.0.5\",\"Port\":8080,\"CodeType\":1}}");
}

TEST_F(RfidctlNetnsInner, SetTelegramSendsAllSixMembers)
{
    Outcome run = against({"127.0.0.1", "set", "telegram", "--read-style", "1", "--key-type", "0", "--key",
                       "a0a1a2a3a4a5", "--block", "4", "--first-char", "1", "--last-char", "8"},
                      reply(OK_REPLY));
    EXPECT_EQ(run.status, 0) << run.output;
    EXPECT_EQ(fake.request, "{\"Command\":\"CMD_SetTelegramContent\",\"Data\":{\"ReadStyle\":1,\"KeyType\":0,"
                            "\"Key\":\"A0A1A2A3A4A5\",\"Block\":4,\"FirstChar\":1,\"LastChar\":8}}");
}

TEST_F(RfidctlNetnsInner, SetNetSendsEmptyTextsForSettingsThatStay)
{
    Outcome run = against({"127.0.0.1", "set", "net", "--ip", "10.0.0.9", "--mac", "00:11:22:33:44:66", "--yes"},
                      reply(OK_REPLY));
    EXPECT_EQ(run.status, 0) << run.output;
    EXPECT_EQ(fake.request, "{\"Command\":\"CMD_SetNetConf\",\"Data\":{\"IP\":\"10.0.0.9\",\"Mask\":\"\","
                            "\"Gateway\":\"\",\"DNS\":\"\",\"MAC\":\"00:11:22:33:44:66\"}}");
}

TEST_F(RfidctlNetnsInner, SetNetOverUdpSendsOneDatagramWithOldIp)
{
    int udp = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    ASSERT_GE(udp, 0);
    sockaddr_in local{};
    local.sin_family = AF_INET;
    local.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    local.sin_port = htons(8000);
    ASSERT_EQ(bind(udp, reinterpret_cast<sockaddr *>(&local), sizeof local), 0);
    Outcome run = rfidctl({"127.0.0.1", "set", "net", "--gateway", "10.0.0.1", "--udp", "--old-ip", "192.168.0.100",
                       "--yes", "--timeout", "300"});
    EXPECT_EQ(run.status, 0) << run.output;
    EXPECT_NE(run.output.find("No answer ever comes over UDP"), std::string::npos) << run.output;
    pollfd waiting{udp, POLLIN, 0};
    ASSERT_EQ(poll(&waiting, 1, 2000), 1);
    char buffer[2048];
    ssize_t n = recv(udp, buffer, sizeof buffer, 0);
    ASSERT_GT(n, 0);
    EXPECT_EQ(std::string(buffer, static_cast<size_t>(n)),
              "{\"Command\":\"CMD_SetNetConf\",\"Data\":{\"OldIP\":\"192.168.0.100\",\"IP\":\"\",\"Mask\":\"\","
              "\"Gateway\":\"10.0.0.1\",\"DNS\":\"\",\"MAC\":\"\"}}");
    EXPECT_EQ(poll(&waiting, 1, 200), 0) << "more than one datagram";
    close(udp);
}

TEST_F(RfidctlNetnsInner, ControlSendsTheBitsOnceAndCloses)
{
    std::string received;
    Outcome run = against({"127.0.0.1", "control", "L010001101011"},
                      [&received](int client) { received = harness::recvQuiet(client, 2000, 2000); }, 10001);
    EXPECT_EQ(run.status, 0) << run.output;
    // recvQuiet ends at the close; everything came in the first read.
    EXPECT_EQ(fake.request + received, "L010001101011");
    EXPECT_EQ(run.output, "Sent L010001101011 to 127.0.0.1:10001 (relay 20, buzzer 10, light 1 5, light 2 30). "
                          "The reader gives no answer.\n");
}

// ---------------------------------------------------------------- replies

TEST_F(RfidctlNetnsInner, AFormattedReplyInPiecesIsRead)
{
    Outcome run = against({"127.0.0.1", "get", "id"}, [](int client) {
        harness::sendAll(client, "{\n\t\"response\":\t1,\n\t\"Da");
        usleep(150000);
        harness::sendAll(client, "ta\":\t{\n\t\t\"devId\":\t77\n\t}\n}");
        usleep(50000);
    });
    EXPECT_EQ(run.status, 0) << run.output;
    EXPECT_EQ(run.output, "Reader id: 77\n");
}

TEST_F(RfidctlNetnsInner, TextAfterTheReplyObjectIsIgnored)
{
    Outcome run = against({"127.0.0.1", "get", "id", "--json"},
                      reply("{\"response\":1,\"Data\":{\"devId\":5}}\n{\"response\":0}"));
    EXPECT_EQ(run.status, 0) << run.output;
    EXPECT_EQ(run.output, "{\"devId\":5}\n");
}

TEST_F(RfidctlNetnsInner, ResponseZeroGivesExitCode4)
{
    Outcome run = against({"127.0.0.1", "set", "id", "5"}, reply(FAILED_REPLY));
    EXPECT_EQ(run.status, 4) << run.output;
    EXPECT_NE(run.output.find("\"response\": 0"), std::string::npos) << run.output;

    Outcome json = against({"127.0.0.1", "get", "id", "--json"}, reply(FAILED_REPLY));
    EXPECT_EQ(json.status, 4) << json.output;
    EXPECT_EQ(rfidctltest::linesStartingWith(json.output, "{"), std::vector<std::string>{"{\"response\":0}"});
}

TEST_F(RfidctlNetnsInner, MalformedRepliesGiveExitCode5)
{
    const std::pair<std::vector<std::string>, std::string> cases[] = {
        {{"get", "id"}, "hello"},
        {{"get", "id"}, "[1,2]"},
        {{"get", "id"}, "{\"response\":1"},
        {{"get", "id"}, OK_REPLY},
        {{"get", "id"}, "{\"response\":1,\"Data\":{\"devId\":\"1\"}}"},
        {{"get", "net"}, "{\"response\":1,\"Data\":{\"IP\":\"1.2.3.4\"}}"},
        {{"get", "server"}, "{\"response\":1,\"type\":0,\"address\":\"1.2.3.4\",\"port\":80}"},
        {{"get", "telegram"}, "{\"response\":1,\"readStyle\":0}"},
        {{"set", "id", "5"}, "{\"status\":1}"},
        {{"set", "id", "5"}, "{\"response\":2}"},
        {{"set", "id", "5"}, "{\"response\":\"1\"}"},
    };
    for (const auto &[words, text] : cases) {
        std::vector<std::string> args{"127.0.0.1"};
        args.insert(args.end(), words.begin(), words.end());
        Outcome run = against(args, reply(text));
        EXPECT_EQ(run.status, 5) << text << "\n" << run.output;
        EXPECT_NE(run.output.find("malformed reply"), std::string::npos) << run.output;
    }
}

TEST_F(RfidctlNetnsInner, NoAnswerGivesExitCode2WithinTheTimeout)
{
    Outcome silent = against({"127.0.0.1", "get", "id", "--timeout", "500"}, [](int) { usleep(4000000); });
    EXPECT_EQ(silent.status, 2) << silent.output;
    EXPECT_NE(silent.output.find("no answer within 500 ms"), std::string::npos) << silent.output;
    EXPECT_LT(silent.elapsedMs, 3500) << "the timeout was not kept";

    Outcome closed = against({"127.0.0.1", "get", "net"}, [](int) {});
    EXPECT_EQ(closed.status, 2) << closed.output;
    EXPECT_NE(closed.output.find("closed the connection without answering"), std::string::npos) << closed.output;
}

TEST_F(RfidctlNetnsInner, RefusedConnectionsGiveExitCode3)
{
    for (const std::vector<std::string> &args : {std::vector<std::string>{"127.0.0.1", "get", "id"},
                                                 {"127.0.0.1", "set", "id", "1"},
                                                 {"127.0.0.1", "control", "000000"}}) {
        Outcome run = rfidctl(args);
        EXPECT_EQ(run.status, 3) << args[1] << "\n" << run.output;
        EXPECT_NE(run.output.find("connection refused"), std::string::npos) << run.output;
    }
}

// ---------------------------------------------------------------- discover

// Answers every search on UDP 8000 from each of `sources` (`times` times),
// plus one datagram that is no answer.
struct FakeReaders {
    std::thread thread;
    std::string request;
    std::string requester; // source address of the search
    int fd = -1;
};

void startFakeReaders(FakeReaders &fake, const std::vector<std::string> &sources, int times)
{
    fake.fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    ASSERT_GE(fake.fd, 0);
    sockaddr_in local{};
    local.sin_family = AF_INET;
    local.sin_addr.s_addr = htonl(INADDR_ANY);
    local.sin_port = htons(8000);
    ASSERT_EQ(bind(fake.fd, reinterpret_cast<sockaddr *>(&local), sizeof local), 0);
    fake.thread = std::thread([&fake, sources, times]() {
        pollfd waiting{fake.fd, POLLIN, 0};
        if (poll(&waiting, 1, 10000) != 1)
            return;
        char buffer[2048];
        sockaddr_in sender{};
        socklen_t length = sizeof sender;
        ssize_t n = recvfrom(fake.fd, buffer, sizeof buffer, 0, reinterpret_cast<sockaddr *>(&sender), &length);
        if (n <= 0)
            return;
        fake.request.assign(buffer, static_cast<size_t>(n));
        char address[INET_ADDRSTRLEN] = {};
        inet_ntop(AF_INET, &sender.sin_addr, address, sizeof address);
        fake.requester = address;
        sockaddr_in everyone{};
        everyone.sin_family = AF_INET;
        everyone.sin_addr.s_addr = htonl(INADDR_BROADCAST);
        everyone.sin_port = sender.sin_port;
        for (const std::string &source : sources) {
            int out = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
            int one = 1;
            setsockopt(out, SOL_SOCKET, SO_BROADCAST, &one, sizeof one);
            sockaddr_in from{};
            from.sin_family = AF_INET;
            inet_pton(AF_INET, source.c_str(), &from.sin_addr);
            bind(out, reinterpret_cast<sockaddr *>(&from), sizeof from);
            sendto(out, "Something else", 14, 0, reinterpret_cast<sockaddr *>(&everyone), sizeof everyone);
            for (int i = 0; i < times; ++i)
                sendto(out, "TcpReader Response", 18, 0, reinterpret_cast<sockaddr *>(&everyone), sizeof everyone);
            close(out);
        }
    });
}

void finishFakeReaders(FakeReaders &fake)
{
    if (fake.thread.joinable())
        fake.thread.join();
    if (fake.fd >= 0)
        close(fake.fd);
}

TEST_F(RfidctlNetnsInner, DiscoverListsEveryAnsweringReaderOnce)
{
    FakeReaders readers;
    startFakeReaders(readers, {"127.0.0.2", "127.0.0.3"}, 2);
    Outcome run = rfidctl({"discover", "--timeout", "700"});
    finishFakeReaders(readers);
    EXPECT_EQ(run.status, 0) << run.output;
    EXPECT_EQ(run.output, "127.0.0.2\n127.0.0.3\n");
    EXPECT_EQ(readers.request, "{\"Command\":\"CMD_SearchReader\",\"Data\":\"TcpReader Request\"}");
}

TEST_F(RfidctlNetnsInner, DiscoverWithJsonAndAnInterface)
{
    FakeReaders readers;
    startFakeReaders(readers, {"127.0.0.5"}, 3);
    Outcome run = rfidctl({"discover", "--timeout", "700", "--interface", "127.0.0.1", "--json"});
    finishFakeReaders(readers);
    EXPECT_EQ(run.status, 0) << run.output;
    EXPECT_EQ(run.output, "{\"readers\":[\"127.0.0.5\"]}\n");
    EXPECT_EQ(readers.requester, "127.0.0.1");
}

TEST_F(RfidctlNetnsInner, DiscoverFromAnAddressOfNoInterfaceIsRefused)
{
    // Only 127.0.0.1 is configured on the namespace's loopback.
    Outcome run = rfidctl({"discover", "--interface", "10.20.30.40"});
    EXPECT_EQ(run.status, 1) << run.output;
    EXPECT_NE(run.output.find("no network interface of this host has that address"), std::string::npos)
        << run.output;
}

TEST_F(RfidctlNetnsInner, DiscoverWithoutReadersGivesExitCode2)
{
    Outcome run = rfidctl({"discover", "--timeout", "300"});
    EXPECT_EQ(run.status, 2) << run.output;
    EXPECT_NE(run.output.find("no reader answered within 300 ms"), std::string::npos) << run.output;
    Outcome json = rfidctl({"discover", "--timeout", "300", "--json"});
    EXPECT_EQ(json.status, 2) << json.output;
    EXPECT_EQ(rfidctltest::linesStartingWith(json.output, "{"), std::vector<std::string>{"{\"readers\":[]}"});
}

TEST_F(RfidctlNetnsInner, DiscoverFindsTheSandboxDaemon)
{
    if (!rfidctltest::sandboxBuilt())
        GTEST_SKIP() << "rfidd-sandbox, rfid-sim or rfidd-provision has not been built";
    rfidctltest::Sandbox sandbox;
    std::string why;
    ASSERT_TRUE(rfidctltest::startSandbox(sandbox, {}, {}, &why)) << why;
    Outcome run = rfidctl({"discover"});
    Outcome json = rfidctl({"discover", "--json", "--timeout", "500"});
    rfidctltest::stopSandbox(sandbox);
    EXPECT_EQ(run.status, 0) << run.output;
    EXPECT_EQ(run.output, "127.0.0.1\n");
    EXPECT_EQ(json.output, "{\"readers\":[\"127.0.0.1\"]}\n");
}

} // namespace
