/*
 * rfidctl as its users meet it, with real processes and sockets on loopback: refusals and help texts;
 * listen; every subcommand against one sandbox daemon; in a private network namespace, discover and
 * fake services on the fixed ports for the exit codes of failed exchanges.
 */
#include "tests/support/sandbox.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <sstream>

namespace {

struct Outcome {
    int status = -1;
    std::string out; // standard output and standard error, in order
};

// Where started programs write; at the end it goes, as do programs a failed ASSERT left running.
const std::string SCRATCH = harness::tempDir("rfidctl-tests");
const struct Cleanup {
    ~Cleanup()
    {
        std::istringstream children(harness::readFile("/proc/self/task/" + std::to_string(getpid()) +
                                                      "/children"));
        for (pid_t child; children >> child;)
            kill(child, SIGKILL);
        harness::removeTree(SCRATCH);
    }
} cleanup;

// rfidctl's argv from its arguments written as one line.
std::vector<std::string> command(const std::string &args)
{
    std::vector<std::string> argv{harness::binaryPath("rfidctl")};
    std::istringstream in(args);
    for (std::string word; in >> word;)
        argv.push_back(word);
    return argv;
}

// Waits for a started rfidctl to end (killed after 30 s: a hang).
Outcome finish(harness::Process &process)
{
    for (int waited = 0; waited < 30000 && harness::isRunning(process); waited += 5)
        usleep(5000);
    return {harness::stop(process, SIGKILL), harness::output(process)}; // an ended one has its status
}

Outcome rfidctl(const std::string &args)
{
    harness::Process process = harness::start(command(args), SCRATCH + "/rfidctl.out");
    return finish(process);
}

// Runs rfidctl with a terminal on its standard input and types `answer` once it asks.
Outcome onTerminal(const std::string &args, const std::string &answer)
{
    int master = posix_openpt(O_RDWR | O_NOCTTY);
    if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0)
        return {-1, "no pseudo-terminal"};
    std::vector<std::string> argv = command(args);
    argv.insert(argv.begin(), {"/bin/sh", "-c", "exec \"$0\" \"$@\" <" + std::string(ptsname(master))});
    harness::Process process = harness::start(argv, SCRATCH + "/terminal.out");
    EXPECT_TRUE(harness::waitForOutput(process, "[y/N]", 30000) &&
                write(master, answer.data(), answer.size()) == static_cast<ssize_t>(answer.size()))
        << "rfidctl " << args << " does not ask on its terminal";
    Outcome run = finish(process);
    close(master);
    return run;
}

// The one checking helper: the exit status, and the output: `want` is all of a success's output
// when it ends in a line end, else a part of it.
void expectRun(const std::string &row, const Outcome &run, int status, const std::string &want)
{
    bool whole = status == 0 && want.ends_with('\n');
    EXPECT_EQ(run.status, status) << row << "\n" << run.out;
    EXPECT_TRUE(whole ? run.out == want : run.out.find(want) != std::string::npos)
        << row << ": " << (whole ? "not" : "no") << " \"" << want << "\" in\n" << run.out;
}

struct Row {
    std::string args;
    int status;
    std::string want;
    size_t reboots = 0, frames = 0; // sandbox: reboots and control frames at the reader so far
    const char *terminal = nullptr; // sandbox: typed when rfidctl asks on its terminal
};

TEST(RfidctlArgs, BadArgumentsAreRefusedWithExitCode1AndEveryCommandHasHelp)
{
    const std::string host = "127.0.0.1 ", tg = "127.0.0.1 set telegram --read-style 1 --key-type 0 ";
    const Row rows[] = {
        {"--help", 0, "  4  the reader answered \"response\": 0 (it could not"},
        {"help listen", 0, "Usage: rfidctl listen PORT [--json] [--bind ADDR]"},
        {"discover --help", 0, "Usage: rfidctl discover [--timeout MS] [--interface ADDR] [--json]"},
        {host + "get --help", 0, "Usage: rfidctl HOST get id|net|server|telegram"},
        {"set --help", 0, "The reader stores them and REBOOTS"},
        {"control -h", 0, "Usage: rfidctl HOST control BITS"},
        {"", 1, "missing command"},
        {"get id", 1, "needs the reader's address first"},
        {host + "reboot", 1, "unknown command 'reboot'"},
        {host + "get id --ip 1.2.3.4", 1, "--ip does not apply"},
        {host + "get id now", 1, "unexpected 'now'"},
        {host + "get id --json --json", 1, "option --json given twice"},
        {host + "get id --timeout 0", 1, "--timeout must be"},
        {host + "set server --ip 10.0.0.256 --port 1 --code-type 0", 1, "--ip needs an IPv4"},
        {host + "set server --ip 10.0.0.5 --port 65536 --code-type 0", 1, "--port must be"},
        {host + "set server --ip 10.0.0.5 --port 1 --code-type 2", 1, "--code-type must be"},
        {tg + "--key FFFFFFFFFFFG --block 4 --first-char 1 --last-char 8", 1, "--key must be exactly 12"},
        {tg + "--key FFFFFFFFFFF --block 4 --first-char 1 --last-char 8", 1, "--key must be exactly 12"},
        {host + "set net --yes", 1, "needs at least one of"},
        {host + "set net --mac 00-11-22-33-44-55 --yes", 1, "--mac needs six pairs"},
        {host + "set net --ip 10.0.0.9 --udp --yes", 1, "--udp needs --old-ip"},
        {host + "set net --ip 10.0.0.9 --udp --old-ip 10.0.0 --yes", 1, "--old-ip needs an IPv4"},
        {host + "set net --ip 10.0.0.9 --old-ip 10.0.0.1 --yes", 1, "applies only with --udp"},
        {host + "set net --ip 10.0.0.9 --udp --old-ip 10.0.0.1", 1, "without a terminal"},
        {host + "control", 1, "Try 'rfidctl help control'"},
        {host + "control 010001010", 1, "invalid BITS"},
        {host + "control l010001", 1, "invalid BITS"},
        {"listen 70000", 1, "PORT must be a number from 0 to 65535"},
    };
    for (const Row &row : rows)
        expectRun(row.args, rfidctl(row.args), row.status, row.want);
}

// rfidctl listen on a free loopback port; the port, or 0 when it did not come up.
int startListener(harness::Process &process, const std::string &options)
{
    process = harness::start(command("listen 0 --bind 127.0.0.1 " + options), SCRATCH + "/listen" + options);
    const std::string ready = "rfidctl: listening on 127.0.0.1:";
    if (!harness::waitForOutput(process, ready, 30000))
        return 0;
    std::string text = harness::output(process);
    return atoi(text.c_str() + text.find(ready) + ready.size());
}

// What follows the time and the peer on each card line so far.
std::vector<std::string> cards(const harness::Process &listener, bool json)
{
    const char *shape = json ? R"({"time":"%*4d-%*2d-%*2d %*2d:%*2d:%*2d.%*3d","peer":"127.0.0.1:%*5d%n)"
                             : "%*4d-%*2d-%*2d %*2d:%*2d:%*2d.%*3d 127.0.0.1:%*5d%n";
    std::vector<std::string> cards;
    std::istringstream in(harness::output(listener));
    for (std::string line; std::getline(in, line);) {
        int end = 0;
        sscanf(line.c_str(), shape, &end);
        if (line.rfind("rfidctl: ", 0) != 0)
            cards.push_back(end > 0 ? line.substr(end) : "(malformed) " + line);
    }
    return cards;
}

TEST(RfidctlListen, EachConnectionIsOneCardShownVisiblyOrAsJson)
{
    const std::string g(1024, 'G');
    const std::string rows[][3] = {
        // sent on one connection; what follows the peer's port: shown, in JSON
        {"12345678", " 12345678", "\",\"card\":\"12345678\"}"},
        {"12345678\r", " 12345678\\r", "\",\"card\":\"12345678\\r\"}"},
        {std::string("AB\nC\x01\\\x7F\xFF\"", 9), " AB\\x0AC\\x01\\\\\\x7F\\xFF\"",
         "\",\"card\":\"AB\\nC\\u0001\\\\\\u007F\\u00FF\\\"\"}"},
        {std::string("12\0" "34", 5), " 12\\x0034", "\",\"card\":\"12\\u000034\"}"},
        {std::string(2000, 'G'), " " + g + " [truncated]", "\",\"card\":\"" + g + "\",\"truncated\":true}"},
    };
    harness::Process listeners[2];
    int ports[2] = {startListener(listeners[0], ""), startListener(listeners[1], "--json")};
    ASSERT_TRUE(ports[0] > 0 && ports[1] > 0) << "rfidctl listen did not start";
    std::vector<std::string> expected[2];
    const linger reset{1, 0};
    for (const auto &row : rows) {
        for (int json = 0; json < 2; ++json) {
            close(harness::connectTcp(ports[json])); // a connection without data is no card
            int fd = harness::connectTcp(ports[json]);
            EXPECT_TRUE(fd >= 0 && harness::sendAll(fd, row[0])) << row[1];
            if (&row == &rows[1]) // a reset after the card counts like a close
                setsockopt(fd, SOL_SOCKET, SO_LINGER, &reset, sizeof reset);
            close(fd);
            expected[json].push_back(row[1 + json]);
            for (int i = 0; i < 3000 && cards(listeners[json], json).size() < expected[json].size(); ++i)
                usleep(10000);
            EXPECT_EQ(cards(listeners[json], json), expected[json]) << "the card shown as " << row[1];
        }
    }
    expectRun("a port in use", rfidctl("listen " + std::to_string(ports[0]) + " --bind 127.0.0.1"), 3,
              "rfidctl: cannot listen on 127.0.0.1:" + std::to_string(ports[0]));
    EXPECT_EQ(harness::stop(listeners[0], SIGINT), 0) << "listen does not end with 0 on SIGINT";
    EXPECT_EQ(harness::stop(listeners[1], SIGTERM), 0) << "listen does not end with 0 on SIGTERM";
}

// The lines of `path` that hold `needle`, once there are at least `count` of them (or after 30 s).
std::vector<std::string> linesWith(const std::string &path, const std::string &needle, size_t count)
{
    for (int waited = 0;; waited += usleep(10000) + 10) {
        std::vector<std::string> found = harness::readLines(path);
        std::erase_if(found, [&](const std::string &line) { return line.find(needle) == std::string::npos; });
        if (found.size() >= count || waited >= 30000)
            return found;
    }
}

// Rows in order against the sandbox daemon, each followed by the reboots and control frames so far.
void runRows(const harness::Sandbox &sandbox, const std::vector<Row> &rows)
{
    for (const Row &row : rows) {
        const std::string args = "127.0.0.1 " + row.args, log = sandbox.dir + "/reboot.log";
        expectRun(args, row.terminal ? onTerminal(args, row.terminal) : rfidctl(args), row.status, row.want);
        EXPECT_EQ(linesWith(log, "reboot", row.reboots).size(), row.reboots) << args << ": reboots so far";
        EXPECT_EQ(linesWith(sandbox.simLog, "00 01 05 99 ", row.frames).size(), row.frames)
            << args << ": control frames so far";
    }
}

TEST(RfidctlSandbox, EverySubcommandWithAndWithoutJsonAgainstOneDaemon)
{
    harness::Process listener;
    const std::string p = std::to_string(startListener(listener, "--json"));
    ASSERT_NE(p, "0") << harness::output(listener);
    harness::SandboxOptions options;
    options.provisionArgs = {"--server-port", p, "--code-type", "1"}; // else rfidd-provision's defaults
    // The card comes only after the first rows, which show the server stored before any upload.
    options.simArgs = {"--gap", "2000", "--card", "12345678,reads=1"};
    harness::Sandbox sandbox;
    ASSERT_TRUE(harness::startSandbox(sandbox, options));
    const std::string tg = "set telegram --read-style ", net = "set net ";
    runRows(sandbox, {
        {"get server", 0, "Server address:  127.0.0.1\nServer port:     " + p +
                              "\nCode type:       1 (card number followed by a carriage return)\n"},
        {"get net", 0, "IP:       192.168.0.100\nMask:     255.255.255.0\nGateway:  192.168.0.1\n"
                       "DNS:      192.168.0.1\nMAC:      00:11:22:33:44:55\n"},
        {"get net --json", 0, "{\"IP\":\"192.168.0.100\",\"Mask\":\"255.255.255.0\",\"Gateway\":"
                              "\"192.168.0.1\",\"DNS\":\"192.168.0.1\",\"MAC\":\"00:11:22:33:44:55\"}\n"},
    });
    // The daemon's upload reaches rfidctl listen, with the "\r" of the stored code type 1.
    EXPECT_TRUE(harness::waitForOutput(listener, "\"card\":\"12345678\\r\"}\n", 30000))
        << harness::output(listener) << "\ndaemon:\n" << harness::output(sandbox.daemon);
    EXPECT_EQ(harness::stop(listener), 0);
    runRows(sandbox, {
        {"set id 4711", 0, "Reader id set to 4711.\n"},
        {"get id", 0, "Reader id: 4711\n"},
        {"set id -3 --json", 0, "{\"response\":1}\n"},
        {"get id --json", 0, "{\"devId\":-3}\n"},
        {"set server --ip 127.100.100.100 --port 065535 --code-type 0", 0,
         "Server settings stored: 127.100.100.100:65535, code type 0.\n"},
        {"get server", 0, "Server address:  127.100.100.100\nServer port:     65535\n"
                          "Code type:       0 (card number as read)\n"},
        {"set server --ip 127.0.0.2 --port 9000 --code-type 1 --json", 0, "{\"response\":1}\n"},
        {"get server --json", 0, "{\"type\":1,\"address\":\"127.0.0.2\",\"port\":\"9000\"}\n"},
        {tg + "1 --key-type 0 --key a0a1a2a3a4a5 --block 4 --first-char 3 --last-char 6", 0,
         "Telegram content stored.\n"},
        {"get telegram", 0, "Read style:  1 (UID and a slice of one block)\nKey type:    0 (key A)\n"
                            "Key:         A0A1A2A3A4A5\nBlock:       4\nFirst char:  3\nLast char:   6\n"},
        {tg + "255 --key-type 1 --key FFFFFFFFFFFF --block 255 --first-char 1 --last-char 32 --json", 0,
         "{\"response\":1}\n"},
        {"get telegram --json", 0, "{\"readStyle\":255,\"keyType\":1,\"key\":\"FFFFFFFFFFFF\",\"block\":255,"
                                   "\"firstChar\":1,\"lastChar\":32}\n"},
        {"control 010001", 0,
         "Sent 010001 to 127.0.0.1:10001 (relay 2, buzzer 1). The reader gives no answer.\n", 0, 1},
        {"control L010001101011 --json", 0,
         "{\"sent\":\"L010001101011\",\"form\":2,\"relay\":20,\"buzzer\":10,\"light1\":5,\"light2\":30}\n", 0,
         2},
        {"control 010002", 1, "invalid BITS", 0, 2},
        {net + "--ip 10.1.2.30 --yes", 0, "Network settings stored; the reader reboots now.\n", 1, 2},
        {net + "--gateway 10.1.2.254", 1, "cancelled; nothing was sent", 1, 2, "\n"}, // [y/N]: no by default
        {net + "--mac 02:00:00:00:00:01", 0, "Network settings stored", 2, 2, "y\n"},
        {net + "--mask 255.255.0.0 --yes --json", 0, "{\"response\":1}\n", 3, 2},
        // Another reader's address: nothing changes (the next datagram's reboot is the 4th).
        {net + "--ip 10.9.9.9 --udp --old-ip 10.1.2.3 --yes", 0,
         "Network setup sent to 127.0.0.1:8000 over UDP. No answer ever comes over UDP: if the reader's "
         "current IP is 10.1.2.3, it stores the settings and reboots.\n", 3, 2},
        {net + "--gateway 10.1.2.1 --udp --old-ip 10.1.2.30 --yes --json", 0,
         "{\"sent\":true,\"transport\":\"udp\",\"answer\":null}\n", 4, 2},
        {"get net --json", 0, "{\"IP\":\"10.1.2.30\",\"Mask\":\"255.255.0.0\",\"Gateway\":\"10.1.2.1\","
                              "\"DNS\":\"192.168.0.1\",\"MAC\":\"02:00:00:00:00:01\"}\n", 4, 2},
    });
    ASSERT_TRUE(harness::writeFile(sandbox.dir + "/usr/local/etc/reader.db", "unreadable")); // "response": 0
    runRows(sandbox, {
        {"get id --json", 4, "{\"response\":0}\n", 4, 2},
        {"set id 5", 4, "the reader at 127.0.0.1 answered \"response\": 0", 4, 2},
    });
    std::vector<std::string> frames{"AA 00 01 05 99 02 01 00 00 9E BB", "AA 00 01 05 99 14 0A 05 1E 98 BB"};
    EXPECT_EQ(linesWith(sandbox.simLog, "AA 00 01 05 99 ", 2), frames) << "control frames at the module";
    EXPECT_EQ(harness::crashReport(sandbox.daemon), "");
    harness::stopSandbox(sandbox);
}

const std::string CLOSE = "", SILENT = "(silent)";

// rfidctl 127.0.0.1 ARGS against a fake service on `port` (0: none) that answers `reply` ('|': two
// segments 20 ms apart; CLOSE: nothing; SILENT: nothing, open until rfidctl has given up).
Outcome againstFake(const std::string &args, int port, const std::string &reply)
{
    int listener = port ? harness::listenTcp(port) : -1, client = -1;
    harness::Process process = harness::start(command("127.0.0.1 " + args), SCRATCH + "/fake.out");
    pollfd waiting{listener, POLLIN, 0};
    if (listener >= 0 && poll(&waiting, 1, 30000) == 1 &&
        (client = accept(listener, nullptr, nullptr)) >= 0) {
        harness::recvQuiet(client, 100, 30000); // the request
        size_t pause = reply.find('|');
        if (reply != SILENT && harness::sendAll(client, reply.substr(0, pause)) && pause != std::string::npos)
            harness::sendAll(client, (usleep(20000), reply.substr(pause + 1)));
        if (reply != SILENT)
            shutdown(client, SHUT_RDWR);
    }
    Outcome run = finish(process);
    close(client);
    close(listener);
    return run;
}

TEST(RfidctlNetns, DiscoverFindsReadersAndEveryFailedExchangeHasItsExitCode)
{
    if (unshare(CLONE_NEWNET) != 0)
        GTEST_SKIP() << "discover and the fake readers need a private network namespace: " << strerror(errno);
    if (system("PATH=$PATH:/usr/sbin:/sbin; ip link set lo up && ip route add broadcast 255.255.255.255 "
               "dev lo table local src 127.0.0.1") != 0)
        GTEST_SKIP() << "no loopback with a broadcast route in the private network namespace";
    harness::Sandbox sandbox;
    ASSERT_TRUE(harness::startSandbox(sandbox));
    expectRun("discover --json", rfidctl("discover --interface 127.0.0.1 --timeout 2000 --json"), 0,
              "{\"readers\":[\"127.0.0.1\"],\"unlisted\":0}\n");
    harness::stopSandbox(sandbox);
    expectRun("discover, no reader", rfidctl("discover --timeout 300 --json"), 2,
              "{\"readers\":[],\"unlisted\":0}\nrfidctl: no reader answered within 300 ms");

    // Fake readers at 127.0.0.2 and .3 answer twice each, after datagrams that are no answer; .4 sends only those.
    int udp = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0), search = 0;
    sockaddr_in peer{AF_INET, htons(8000), {htonl(INADDR_ANY)}, {}};
    socklen_t length = sizeof peer;
    ASSERT_EQ(bind(udp, reinterpret_cast<sockaddr *>(&peer), length), 0) << strerror(errno);
    harness::Process discover = harness::start(command("discover --timeout 2000"), SCRATCH + "/discover.out");
    pollfd waiting{udp, POLLIN, 0};
    if (poll(&waiting, 1, 30000) == 1 &&
        recvfrom(udp, &search, 1, 0, reinterpret_cast<sockaddr *>(&peer), &length) > 0)
        for (const char *reader : {"127.0.0.2", "127.0.0.3", "127.0.0.2", "127.0.0.3", "127.0.0.4"}) {
            int out = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
            sockaddr_in from{AF_INET, 0, {inet_addr(reader)}, {}};
            bind(out, reinterpret_cast<sockaddr *>(&from), sizeof from);
            for (std::string text : {"Something else", "TcpReader Responses", "TcpReader Response"}) // .4: no answer
                if (strcmp(reader, "127.0.0.4") || text != "TcpReader Response")
                    sendto(out, text.data(), text.size(), 0, reinterpret_cast<sockaddr *>(&peer), sizeof peer);
            close(out);
        }
    expectRun("discover, two readers", finish(discover), 0, "127.0.0.2\n127.0.0.3\n");
    close(udp);

    const struct {
        std::string args;
        int port;
        std::string reply;
        int status;
        std::string expected; // the whole output of a success, else the message in it
    } rows[] = {
        {"get id", 0, CLOSE, 3, "127.0.0.1:8001: connection refused"},
        {"get id --timeout 500", 8001, SILENT, 2, "no answer within 500 ms"},
        {"get net", 8001, CLOSE, 2, "closed the connection without answering"},
        {"get id", 8001, "[1,2]", 5, "malformed reply (not a JSON object)"},
        {"get id", 8001, "{\"response\":1", 5, "malformed reply (no complete JSON object)"},
        {"get id", 8001, "{\"response\":1,\"Data\":{\"devID\":1}}", 5, "malformed reply"},
        {"get net", 8001, "{\"response\":1,\"Data\":{\"IP\":\"1.2.3.4\"}}", 5, "malformed reply"},
        {"get server", 8001, "{\"response\":1,\"type\":0,\"address\":\"\",\"port\":8}", 5, "malformed reply"},
        {"get telegram", 8001, "{\"response\":1,\"readStyle\":0}", 5, "malformed reply"},
        {"set id 5", 8001, "{\"response\":-1}", 5, "malformed reply"},
        {"get id", 8001, "{\n\t\"response\":\t1,\n\t\"Da|ta\":\t{\n\t\t\"devId\":\t77\n\t}\n}", 0,
         "Reader id: 77\n"},
        {"get id --json", 8001, "{\"response\":1,\"Data\":{\"devId\":5}}\n{\"response\":0}", 0,
         "{\"devId\":5}\n"},
    };
    for (const auto &row : rows)
        expectRun(row.args + " against \"" + row.reply + "\"", againstFake(row.args, row.port, row.reply),
                  row.status, row.expected);
}

// rfidctl site against the sandbox daemon in a private network namespace (the search is a broadcast). A
// network setup moves the board once the reboot is logged: the test puts the new address on lo.
TEST(RfidctlSite, RefusedFilesSendNothingThenExportPlanApplyAndCommissionOneBoard)
{
    std::string why = harness::enterPrivateNamespaces();
    if (!why.empty())
        GTEST_SKIP() << why;
    harness::SandboxOptions options;
    options.provisionArgs = {"--ip", "127.0.0.1", "--mask", "255.0.0.0"}; // the factory address here
    harness::Sandbox sandbox;
    ASSERT_TRUE(harness::startSandbox(sandbox, options));
    const std::string csv = SCRATCH + "/site.csv", log = sandbox.dir + "/reboot.log";
    const std::string commands[] = {"plan ", "apply --yes ", "commission --factory 127.0.0.1 "};
    const std::string refused[][2] = {
        {"door,ip,key\na,127.0.0.1,0xFFFFFFFFFFFG\n", "row 2, column C (key): must be exactly 12 hexadecimal"},
        {"door;ip;server-port\r\n\"a;b\";127.0.0.1;70000\r\n",
         "row 2, column C (server-port): must be a number from 0 to 65535, not '70000'"},
        {"\xEF\xBB\xBFip,Mask\r\n127.0.0.1,255.255.255.256\r\n", "row 2, column B (mask): needs an IPv4 address"},
        {"ip,key\n127.0.0.1,1.23457E+11\n", "a spreadsheet turns a key of digits into a number"},
        {"ip,code_type\n127.0.0.1,2\n", "row 2, column B (code-type): must be a number from 0 to 1, not '2'"},
        {"ip,id\n127.0.0.1,5\n127.0.0.2,5\n", "row 3, column B (id): 5 is also in row 2"},
        {"ip,id\n127.0.0.1,5\n\n127.0.0.1,6\n", "row 4, column A (ip): 127.0.0.1 is also in row 2"},
        {"ip,mac\n1.0.0.1,02:00:00:00:00:0a\n1.0.0.2,02:00:00:00:00:0A\n",
         "row 3, column B (mac): 02:00:00:00:00:0A is also in row 2"},
        {"find,id\nid x,5\n", "row 2, column A (find): must be the reader's current address"},
        {"ip,sever-ip\n127.0.0.1,1.2.3.4\n", "row 1, column B: unknown column 'sever-ip'"},
        {"ip,,\n127.0.0.1,,x\n", "row 2, column C: a value in a column without a name"},
        {"door,id\nx,5\n", "row 1: no column 'ip' or 'find'"},
        {"ip,door\n127.0.0.1,\"open\n", "row 2 (line 2): a quoted cell is never closed"},
        {"ip,door\n127.0.0.1,\"a\"b\n", "row 2, column B: text after the closing quote"},
    };
    for (size_t i = 0; i < std::size(refused); ++i) {
        ASSERT_TRUE(harness::writeFile(csv, refused[i][0]));
        Outcome run = rfidctl("site " + commands[i % 3] + csv);
        expectRun(refused[i][1], run, 1, refused[i][1]);
        expectRun(refused[i][1], run, 1, "rfidctl: " + csv + " has errors; nothing was sent to any reader\n");
    }
    EXPECT_EQ(harness::countInOutput(sandbox.daemon, "Server accept"), 0) << "a refused file reached the reader";

    const std::string exported = "door,find,id,ip,mask,gateway,dns,mac,server-ip,server-port,code-type,read-style,"
                                 "key-type,key,block,first-char,last-char\r\n,127.0.0.1,1,127.0.0.1,255.0.0.0,192.168."
                                 "0.1,192.168.0.1,00:11:22:33:44:55,127.0.0.1,9000,0,0,0,0xFFFFFFFFFFFF,0,0,0\r\n";
    unlink(csv.c_str());
    expectRun("export", rfidctl("site export " + csv), 0, "Exported 1 readers to " + csv);
    EXPECT_EQ(harness::readFile(csv), exported);
    expectRun("export again", rfidctl("site export " + csv), 1, "exists already; give --force");
    expectRun("plan of the export", rfidctl("site plan " + csv), 0, "Nothing to change: 1 of 1 readers match");
    // As a spreadsheet may save it; the reader moves to 10.99.0.2 with --network only.
    ASSERT_TRUE(harness::writeFile(csv, "\xEF\xBB\xBF" "Door;Find;ID;IP;Server IP;server_port;code-type;key;;\r\n"
                                        "\"Main; front\";127.0.0.1;77;10.99.0.2;127.0.0.2; 9100;1;0x00a1a2a3a4a5;;\r\n"
                                        ";;;;;;;;;\r\n"));
    expectRun("plan", rfidctl("site plan " + csv), 10,
              "127.0.0.1  row 2, door 'Main; front'\n    id           1 -> 77\n"
              "    server-ip    127.0.0.1 -> 127.0.0.2\n    server-port  9000 -> 9100\n    code-type    0 -> 1\n"
              "    key          FFFFFFFFFFFF -> 0x00A1A2A3A4A5\n"
              "    ip           127.0.0.1 -> 10.99.0.2   (network setup: reboots)\n"
              "Plan: 1 readers to change (1 with a network setup)");
    expectRun("apply without --network", rfidctl("site apply --yes " + csv), 10,
              "127.0.0.1  row 2: id, server, telegram set; network setup left out; read back: as "
              "the row says\nApplied: 1 readers changed, 0 failed, 1 network setups left out (give --network).");
    harness::Process apply = harness::start(command("site apply --network --yes " + csv), SCRATCH + "/apply.out");
    EXPECT_EQ(linesWith(log, "reboot", 1).size(), 1u) << harness::output(apply);
    EXPECT_EQ(system("PATH=$PATH:/usr/sbin:/sbin ip addr add 10.99.0.2/32 dev lo"), 0);
    expectRun("apply --network", finish(apply), 0,
              "127.0.0.1  row 2: network setup (back at 10.99.0.2 after ");
    expectRun("apply again", rfidctl("site apply --network --yes " + csv), 0, "Nothing to change: 1 of 1 readers");

    // A factory-fresh board again; its row has an address of its own and takes the commissioned column.
    harness::stopSandbox(sandbox);
    ASSERT_TRUE(harness::startSandbox(sandbox, options));
    const std::string row = "New door,10.99.0.3,88,127.0.0.3,9200,1";
    ASSERT_TRUE(harness::writeFile(csv, "door,ip,id,server-ip,server-port,code-type\n" + row + "\n"));
    harness::Process commission = harness::start(command("site commission --factory 127.0.0.1 " + csv),
                                                 SCRATCH + "/commission.out");
    EXPECT_EQ(linesWith(log, "reboot", 1).size(), 1u) << harness::output(commission);
    EXPECT_EQ(system("PATH=$PATH:/usr/sbin:/sbin ip addr add 10.99.0.3/32 dev lo"), 0);
    expectRun("commission", finish(commission), 0,
              "Board 1 at 127.0.0.1 (id 1, MAC 00:11:22:33:44:55): row 2, door 'New door', to 10.99.0.3\n"
              "  id 88: stored\n  server 127.0.0.3:9200, code type 1: stored\n"
              "  network setup ip 10.99.0.3: stored; the board reboots\n  back at 10.99.0.3 after ");
    EXPECT_NE(harness::output(commission).find("  check: every setting as row 2 says\n"), std::string::npos);
    std::vector<std::string> lines = harness::readLines(csv);
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0], "door,ip,id,server-ip,server-port,code-type,commissioned");
    EXPECT_EQ(lines[1].rfind(row + ",20", 0), 0u) << lines[1];
    EXPECT_EQ(harness::crashReport(sandbox.daemon), "");
    harness::stopSandbox(sandbox);
}

} // namespace
