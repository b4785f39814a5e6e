/*
 * rfidctl against the real daemon: rfidd-sandbox with rfid-sim on its serial
 * line, provisioned into the build tree's sandbox directory. The daemon binds
 * the fixed ports 8000, 8001 and 10001 of this machine (on every address),
 * so these tests hold the rfidd_ports lock and run one at a time.
 */
#include "tests/tools/rfidctl_support.h"

#include <cjson/cJSON.h>
#include <gtest/gtest.h>
#include <unistd.h>

using rfidctltest::rfidctl;
using rfidctltest::Outcome;

namespace {

// Settings the sandbox is provisioned with.
const std::vector<std::string> PROVISION{
    "--dev-id",     "1",
    "--read-style", "0",
    "--key-type",   "0",
    "--key",        "FFFFFFFFFFFF",
    "--block",      "0",
    "--first-char", "0",
    "--last-char",  "0",
    "--ip",         "192.168.0.100",
    "--mask",       "255.255.255.0",
    "--gateway",    "192.168.0.1",
    "--dns",        "192.168.0.1",
    "--mac",        "00:11:22:33:44:55",
};

// The one JSON line of a --json run (the diagnostics start with "rfidctl: ").
cJSON *jsonLine(const Outcome &run)
{
    std::vector<std::string> found = rfidctltest::linesStartingWith(run.output, "{");
    if (found.size() != 1)
        return nullptr;
    return cJSON_Parse(found[0].c_str());
}

bool waitForFile(const std::string &path, const std::string &needle, int timeoutMs)
{
    for (int waited = 0; waited <= timeoutMs; waited += 20) {
        if (harness::readFile(path).find(needle) != std::string::npos)
            return true;
        usleep(20000);
    }
    return false;
}

class RfidctlSandbox : public ::testing::Test {
protected:
    void SetUp() override
    {
        if (!rfidctltest::sandboxBuilt())
            GTEST_SKIP() << "rfidd-sandbox, rfid-sim or rfidd-provision has not been built";
    }
    void TearDown() override { rfidctltest::stopSandbox(sandbox); }

    void start(const std::vector<std::string> &extraProvision = {}, const std::vector<std::string> &simArgs = {})
    {
        std::vector<std::string> provision = PROVISION;
        provision.insert(provision.end(), extraProvision.begin(), extraProvision.end());
        std::string why;
        started = rfidctltest::startSandbox(sandbox, provision, simArgs, &why);
        ASSERT_TRUE(started) << why;
    }
    std::string settingsFile() const { return sandbox.dir + "/etc/eth0-setting"; }
    std::string rebootLog() const { return sandbox.dir + "/reboot.log"; }

    rfidctltest::Sandbox sandbox;
    bool started = false;
};

TEST_F(RfidctlSandbox, GetIdNetServerTelegram)
{
    start();
    Outcome id = rfidctl({"127.0.0.1", "get", "id"});
    EXPECT_EQ(id.status, 0) << id.output;
    EXPECT_EQ(id.output, "Reader id: 1\n");

    Outcome net = rfidctl({"127.0.0.1", "get", "net"});
    EXPECT_EQ(net.status, 0) << net.output;
    EXPECT_EQ(net.output, "IP:       192.168.0.100\n"
                          "Mask:     255.255.255.0\n"
                          "Gateway:  192.168.0.1\n"
                          "DNS:      192.168.0.1\n"
                          "MAC:      00:11:22:33:44:55\n");

    // Before any upload or change the daemon's server record is empty.
    Outcome server = rfidctl({"127.0.0.1", "get", "server"});
    EXPECT_EQ(server.status, 0) << server.output;
    EXPECT_NE(server.output.find("Server address:"), std::string::npos) << server.output;
    EXPECT_NE(server.output.find("Server port:"), std::string::npos) << server.output;
    EXPECT_NE(server.output.find("Code type:"), std::string::npos) << server.output;

    Outcome telegram = rfidctl({"127.0.0.1", "get", "telegram"});
    EXPECT_EQ(telegram.status, 0) << telegram.output;
    EXPECT_EQ(telegram.output, "Read style:  0 (card UID only)\n"
                               "Key type:    0 (key A)\n"
                               "Key:         FFFFFFFFFFFF\n"
                               "Block:       0\n"
                               "First char:  0\n"
                               "Last char:   0\n");
}

TEST_F(RfidctlSandbox, GetWithJsonPrintsTheReplyData)
{
    start();
    Outcome id = rfidctl({"127.0.0.1", "get", "id", "--json"});
    EXPECT_EQ(id.status, 0) << id.output;
    EXPECT_EQ(id.output, "{\"devId\":1}\n");

    Outcome net = rfidctl({"127.0.0.1", "get", "net", "--json"});
    EXPECT_EQ(net.status, 0) << net.output;
    EXPECT_EQ(net.output, "{\"IP\":\"192.168.0.100\",\"Mask\":\"255.255.255.0\",\"Gateway\":\"192.168.0.1\","
                          "\"DNS\":\"192.168.0.1\",\"MAC\":\"00:11:22:33:44:55\"}\n");

    Outcome server = rfidctl({"127.0.0.1", "--json", "get", "server"});
    EXPECT_EQ(server.status, 0) << server.output;
    cJSON *object = jsonLine(server);
    ASSERT_NE(object, nullptr) << server.output;
    EXPECT_TRUE(cJSON_IsNumber(cJSON_GetObjectItemCaseSensitive(object, "type")));
    EXPECT_TRUE(cJSON_IsString(cJSON_GetObjectItemCaseSensitive(object, "address")));
    EXPECT_TRUE(cJSON_IsString(cJSON_GetObjectItemCaseSensitive(object, "port")));
    EXPECT_EQ(cJSON_GetObjectItemCaseSensitive(object, "response"), nullptr);
    cJSON_Delete(object);

    Outcome telegram = rfidctl({"127.0.0.1", "get", "telegram", "--json"});
    EXPECT_EQ(telegram.status, 0) << telegram.output;
    EXPECT_EQ(telegram.output, "{\"readStyle\":0,\"keyType\":0,\"key\":\"FFFFFFFFFFFF\",\"block\":0,"
                               "\"firstChar\":0,\"lastChar\":0}\n");
}

TEST_F(RfidctlSandbox, SetIdThenGetId)
{
    start();
    Outcome set = rfidctl({"127.0.0.1", "set", "id", "4711"});
    EXPECT_EQ(set.status, 0) << set.output;
    EXPECT_EQ(set.output, "Reader id set to 4711.\n");
    Outcome get = rfidctl({"127.0.0.1", "get", "id"});
    EXPECT_EQ(get.output, "Reader id: 4711\n");

    Outcome setJson = rfidctl({"127.0.0.1", "set", "id", "-3", "--json"});
    EXPECT_EQ(setJson.status, 0) << setJson.output;
    EXPECT_EQ(setJson.output, "{\"response\":1}\n");
    Outcome getJson = rfidctl({"127.0.0.1", "get", "id", "--json"});
    EXPECT_EQ(getJson.output, "{\"devId\":-3}\n");
}

TEST_F(RfidctlSandbox, SetServerThenGetServer)
{
    start();
    Outcome set = rfidctl({"127.0.0.1", "set", "server", "--ip", "10.0.0.5", "--port", "9000", "--code-type", "1"});
    EXPECT_EQ(set.status, 0) << set.output;
    EXPECT_EQ(set.output, "Server settings stored: 10.0.0.5:9000, code type 1.\n");
    Outcome get = rfidctl({"127.0.0.1", "get", "server"});
    EXPECT_EQ(get.status, 0) << get.output;
    EXPECT_EQ(get.output, "Server address:  10.0.0.5\n"
                          "Server port:     9000\n"
                          "Code type:       1 (card number followed by a carriage return)\n");

    Outcome setJson = rfidctl(
        {"127.0.0.1", "set", "server", "--ip", "10.0.0.6", "--port", "65535", "--code-type", "0", "--json"});
    EXPECT_EQ(setJson.status, 0) << setJson.output;
    EXPECT_EQ(setJson.output, "{\"response\":1}\n");
    Outcome getJson = rfidctl({"127.0.0.1", "get", "server", "--json"});
    EXPECT_EQ(getJson.output, "{\"type\":0,\"address\":\"10.0.0.6\",\"port\":\"65535\"}\n");
}

TEST_F(RfidctlSandbox, SetTelegramThenGetTelegram)
{
    start();
    Outcome set = rfidctl({"127.0.0.1", "set", "telegram", "--read-style", "1", "--key-type", "1", "--key",
                       "a0a1a2a3a4a5", "--block", "4", "--first-char", "3", "--last-char", "6"});
    EXPECT_EQ(set.status, 0) << set.output;
    EXPECT_EQ(set.output, "Telegram content stored.\n");
    Outcome get = rfidctl({"127.0.0.1", "get", "telegram"});
    EXPECT_EQ(get.status, 0) << get.output;
    EXPECT_EQ(get.output, "Read style:  1 (UID and a slice of one block)\n"
                          "Key type:    1 (key B)\n"
                          "Key:         A0A1A2A3A4A5\n"
                          "Block:       4\n"
                          "First char:  3\n"
                          "Last char:   6\n");

    Outcome setJson = rfidctl({"127.0.0.1", "set", "telegram", "--read-style", "255", "--key-type", "0", "--key",
                           "FFFFFFFFFFFF", "--block", "255", "--first-char", "1", "--last-char", "32", "--json"});
    EXPECT_EQ(setJson.status, 0) << setJson.output;
    EXPECT_EQ(setJson.output, "{\"response\":1}\n");
    Outcome getJson = rfidctl({"127.0.0.1", "get", "telegram", "--json"});
    EXPECT_EQ(getJson.output, "{\"readStyle\":255,\"keyType\":0,\"key\":\"FFFFFFFFFFFF\",\"block\":255,"
                              "\"firstChar\":1,\"lastChar\":32}\n");
}

TEST_F(RfidctlSandbox, SetNetOverTcpWithYesStoresAndReboots)
{
    start();
    Outcome set = rfidctl({"127.0.0.1", "set", "net", "--ip", "10.1.2.3", "--dns", "10.1.2.1", "--yes"});
    EXPECT_EQ(set.status, 0) << set.output;
    EXPECT_EQ(set.output, "Network settings stored; the reader reboots now.\n");
    ASSERT_TRUE(waitForFile(rebootLog(), "\n", 5000));
    usleep(200000);
    EXPECT_EQ(rfidctltest::lines(harness::readFile(rebootLog())).size(), 1u) << harness::readFile(rebootLog());
    // The sandbox's reboot only records the request: the daemon serves on.
    Outcome net = rfidctl({"127.0.0.1", "get", "net", "--json"});
    EXPECT_EQ(net.output, "{\"IP\":\"10.1.2.3\",\"Mask\":\"255.255.255.0\",\"Gateway\":\"192.168.0.1\","
                          "\"DNS\":\"10.1.2.1\",\"MAC\":\"00:11:22:33:44:55\"}\n");
}

TEST_F(RfidctlSandbox, SetNetWithJsonPrintsTheReply)
{
    start();
    Outcome set = rfidctl({"127.0.0.1", "set", "net", "--mac", "02:00:00:00:00:01", "--yes", "--json"});
    EXPECT_EQ(set.status, 0) << set.output;
    EXPECT_EQ(set.output, "{\"response\":1}\n");
    ASSERT_TRUE(waitForFile(rebootLog(), "\n", 5000));
    EXPECT_NE(harness::readFile(settingsFile()).find("02:00:00:00:00:01"), std::string::npos);
}

TEST_F(RfidctlSandbox, SetNetConfirmedOnTheTerminal)
{
    start();
    Outcome run = rfidctltest::rfidctlOnTerminal({"127.0.0.1", "set", "net", "--gateway", "192.168.0.254"}, "[y/N]",
                                             "y\n");
    EXPECT_EQ(run.status, 0) << run.output;
    EXPECT_NE(run.output.find("Network settings stored"), std::string::npos) << run.output;
    ASSERT_TRUE(waitForFile(rebootLog(), "\n", 5000));
    EXPECT_NE(harness::readFile(settingsFile()).find("192.168.0.254"), std::string::npos);
}

TEST_F(RfidctlSandbox, SetNetWithoutYesAndWithoutTerminalChangesNothing)
{
    start();
    std::string before = harness::readFile(settingsFile());
    Outcome set = rfidctl({"127.0.0.1", "set", "net", "--ip", "10.1.2.3"});
    EXPECT_EQ(set.status, 1) << set.output;
    usleep(300000);
    EXPECT_EQ(harness::readFile(settingsFile()), before);
    EXPECT_FALSE(rfidctltest::fileExists(rebootLog()));
}

TEST_F(RfidctlSandbox, SetNetOverUdpWithTheRightOldIp)
{
    start();
    Outcome set = rfidctl(
        {"127.0.0.1", "set", "net", "--ip", "10.9.8.7", "--udp", "--old-ip", "192.168.0.100", "--yes"});
    EXPECT_EQ(set.status, 0) << set.output;
    EXPECT_NE(set.output.find("No answer ever comes over UDP"), std::string::npos) << set.output;
    ASSERT_TRUE(waitForFile(rebootLog(), "\n", 5000));
    EXPECT_NE(harness::readFile(settingsFile()).find("10.9.8.7"), std::string::npos);

    Outcome json = rfidctl({"127.0.0.1", "set", "net", "--mask", "255.0.0.0", "--udp", "--old-ip", "10.9.8.7", "--yes",
                        "--json"});
    EXPECT_EQ(json.status, 0) << json.output;
    EXPECT_EQ(json.output, "{\"sent\":true,\"transport\":\"udp\",\"answer\":null}\n");
    EXPECT_TRUE(waitForFile(settingsFile(), "255.0.0.0", 5000));
}

TEST_F(RfidctlSandbox, SetNetOverUdpWithAnotherOldIpChangesNothing)
{
    start();
    std::string before = harness::readFile(settingsFile());
    Outcome set =
        rfidctl({"127.0.0.1", "set", "net", "--ip", "10.9.8.7", "--udp", "--old-ip", "192.168.0.99", "--yes"});
    EXPECT_EQ(set.status, 0) << set.output;
    // Nothing comes back either way; give the daemon time to act wrongly.
    usleep(500000);
    EXPECT_EQ(harness::readFile(settingsFile()), before);
    EXPECT_FALSE(rfidctltest::fileExists(rebootLog()));
}

TEST_F(RfidctlSandbox, ControlReachesTheReaderModule)
{
    start();
    Outcome run = rfidctl({"127.0.0.1", "control", "010001"});
    EXPECT_EQ(run.status, 0) << run.output;
    EXPECT_EQ(run.output, "Sent 010001 to 127.0.0.1:10001 (relay 2, buzzer 1). The reader gives no answer.\n");
    // relay 2, buzzer 1, lights 0: check byte 00^01^05^99^02^01^00^00 = 9E.
    const std::string frame = "AA 00 01 05 99 02 01 00 00 9E BB";
    EXPECT_EQ(rfidctltest::frameText(0x99, {0x02, 0x01, 0x00, 0x00}), frame);
    EXPECT_TRUE(waitForFile(sandbox.simLog, frame, 5000)) << harness::readFile(sandbox.simLog).substr(0, 2000);

    Outcome json = rfidctl({"127.0.0.1", "control", "L010001101011", "--json"});
    EXPECT_EQ(json.status, 0) << json.output;
    EXPECT_EQ(json.output,
              "{\"sent\":\"L010001101011\",\"form\":2,\"relay\":20,\"buzzer\":10,\"light1\":5,\"light2\":30}\n");
    // 20, 10, 5, 30 = 14 0A 05 1E; check byte 98.
    const std::string longFrame = "AA 00 01 05 99 14 0A 05 1E 98 BB";
    EXPECT_EQ(rfidctltest::frameText(0x99, {0x14, 0x0A, 0x05, 0x1E}), longFrame);
    EXPECT_TRUE(waitForFile(sandbox.simLog, longFrame, 5000));
}

TEST_F(RfidctlSandbox, ListenReceivesTheCardsTheDaemonUploads)
{
    harness::Process listener = harness::start(
        {harness::binaryPath("rfidctl"), "listen", "0", "--bind", "127.0.0.1", "--json"},
        rfidctltest::scratchDir() + "/sandbox-listen.out");
    const std::string ready = "rfidctl: listening on 127.0.0.1:";
    ASSERT_TRUE(harness::waitForOutput(listener, ready, 10000));
    std::string text = harness::output(listener);
    std::string port = std::to_string(std::atoi(text.c_str() + text.find(ready) + ready.size()));
    start({"--server-ip", "127.0.0.1", "--server-port", port, "--code-type", "0"}, {"--card", "12345678,reads=1"});
    bool arrived = harness::waitForOutput(listener, "\"card\":\"12345678\"", 15000);
    harness::stop(listener);
    EXPECT_TRUE(arrived) << harness::output(listener) << "\ndaemon:\n" << harness::output(sandbox.daemon);
}

TEST_F(RfidctlSandbox, ExitCodesWhenNothingListens)
{
    // No daemon started: the ports are free while this test holds the lock.
    int probe = harness::connectTcp(8001, 500);
    if (probe >= 0) {
        close(probe);
        GTEST_SKIP() << "something else listens on 127.0.0.1:8001";
    }
    Outcome get = rfidctl({"127.0.0.1", "get", "id"});
    EXPECT_EQ(get.status, 3) << get.output;
    EXPECT_NE(get.output.find("connection refused"), std::string::npos) << get.output;
    Outcome set = rfidctl({"127.0.0.1", "set", "net", "--ip", "10.0.0.1", "--yes"});
    EXPECT_EQ(set.status, 3) << set.output;
    probe = harness::connectTcp(10001, 500);
    if (probe >= 0) {
        close(probe);
        GTEST_SKIP() << "something else listens on 127.0.0.1:10001";
    }
    Outcome control = rfidctl({"127.0.0.1", "control", "010001"});
    EXPECT_EQ(control.status, 3) << control.output;
}

TEST_F(RfidctlSandbox, BadArgumentsNeverReachTheDaemon)
{
    start();
    Outcome set = rfidctl({"127.0.0.1", "set", "id", "12x"});
    EXPECT_EQ(set.status, 1);
    Outcome control = rfidctl({"127.0.0.1", "control", "010002"});
    EXPECT_EQ(control.status, 1);
    Outcome get = rfidctl({"127.0.0.1", "get", "id"});
    EXPECT_EQ(get.output, "Reader id: 1\n");
    usleep(200000);
    EXPECT_EQ(harness::readFile(sandbox.simLog).find(" 99 "), std::string::npos);
}

} // namespace
