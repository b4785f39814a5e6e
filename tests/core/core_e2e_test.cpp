// The daemon end to end, on one sandbox daemon: rfid-sim on its serial line,
// upstream servers and clients in the test, in namespaces of its own (so the
// discovery answer, a broadcast, stays on its loopback). The cases run in
// order, as one sequence, and none waits for a fixed time. Each card of the
// simulator's plan has a key of its own and is read with the block command,
// so it stays in the field until a case sets the telegram content with its
// key. For the network services only what their handlers on a socket pair
// (net_tests) cannot show is here. The card loop's cut of a block slice is
// checked on its own first.
#include "core/core.h"
#include "tests/support/sandbox.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sqlite3.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <thread>

using namespace harness;

namespace {

constexpr int WAIT = 10000;      // bound of every wait: only a hang takes this long
constexpr int LINE_WAIT = 10000; // ten of the loop's one-second retries of a missing line
const std::string OK = "{\n\t\"response\":\t1\n}", GET_ID = R"({"Command":"CMD_GetReaderId"})";
const std::string ID = "{\n\t\"response\":\t1,\n\t\"Data\":\t{\n\t\t\"devId\":\t1\n\t}\n}";
const std::string SEARCH = R"({"Command":"CMD_SearchReader","Data":"TcpReader Request"})";
const std::string ANSWER = "TcpReader Response to 255.255.255.255 from another port";

template <typename... Values> std::string format(const char *pattern, Values... values)
{
    char text[256];
    snprintf(text, sizeof text, pattern, values...);
    return text;
}
// A request frame as rfid-sim logs it; `body` is the command and its data.
std::string frame(std::vector<int> body)
{
    body.insert(body.begin(), {0x00, 0x01, static_cast<int>(body.size())});
    std::string line = "AA";
    int check = 0;
    for (int byte : body)
        line += format(" %02X", byte), check ^= byte;
    return line + format(" %02X BB", check);
}
std::string control(int relay, int buzzer, int light1, int light2) { return frame({0x99, relay, buzzer, light1, light2}); }
// Card n of the plan has the key A0A1A2A3A4<n>, read with key code 60 or 61.
std::string key(int n) { return format("A0A1A2A3A4%02X", n); }
std::string readFrame(int n, int code) { return frame({0x98, code, 4, 0xA0, 0xA1, 0xA2, 0xA3, 0xA4, n, 1}); }
std::string setTelegram(int readStyle, int keyType, int n, int first, int last)
{
    return format(R"({"Command":"CMD_SetTelegramContent","Data":{"ReadStyle":%d,"KeyType":%d,"Key":"%s","Block":4,)"
                  R"("FirstChar":%d,"LastChar":%d}})", readStyle, keyType, key(n).c_str(), first, last);
}
std::string setServer(int port, int codeType)
{
    return format(R"({"Command":"CMD_SetServerConf","Data":{"IP":"127.0.0.1","Port":%d,"CodeType":%d}})", port, codeType);
}
std::string attempt(int port) { return format("ip=127.0.0.1, port=%d, codeType=0\n", port); }
long long msSince(std::chrono::steady_clock::time_point start)
{
    using namespace std::chrono;
    return duration_cast<milliseconds>(steady_clock::now() - start).count();
}

std::string setNet(const char *old, const char *ip, const char *dns = "")
{
    return format(R"({"Command":"CMD_SetNetConf","Data":{%s"IP":"%s","Mask":"","Gateway":"","DNS":"%s","MAC":""}})", old, ip, dns);
}

// A UDP socket on a port of its own that sees the destination of what it gets.
int udpSocket()
{
    int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0), on = 1;
    sockaddr_in any{static_cast<sa_family_t>(AF_INET), 0, {INADDR_ANY}, {}};
    setsockopt(fd, IPPROTO_IP, IP_PKTINFO, &on, sizeof on);
    return bind(fd, reinterpret_cast<sockaddr *>(&any), sizeof any) == 0 ? fd : -1;
}
void sendTo(int fd, const std::string &bytes)
{
    sockaddr_in service{static_cast<sa_family_t>(AF_INET), htons(8000), {htonl(INADDR_LOOPBACK)}, {}};
    sendto(fd, bytes.data(), bytes.size(), 0, reinterpret_cast<sockaddr *>(&service), sizeof service);
}
// The next datagram within timeoutMs, with where it went and came from.
std::string receive(int fd, int timeoutMs)
{
    char bytes[2048], control[256];
    sockaddr_in from{};
    iovec part{bytes, sizeof bytes};
    msghdr message{&from, sizeof from, &part, 1, control, sizeof control, 0};
    pollfd entry{fd, POLLIN, 0};
    ssize_t n = poll(&entry, 1, timeoutMs) == 1 ? recvmsg(fd, &message, 0) : -1;
    cmsghdr *info = n < 0 ? nullptr : CMSG_FIRSTHDR(&message);
    if (!info || info->cmsg_type != IP_PKTINFO)
        return "";
    return std::string(bytes, static_cast<size_t>(n)) + " to " + inet_ntoa(reinterpret_cast<in_pktinfo *>(CMSG_DATA(info))->ipi_addr) +
           (ntohs(from.sin_port) == 8000 ? " from 8000" : " from another port");
}

// The first cell that `statements` give on the SQLite file at `path`.
std::string sql(const std::string &path, const std::string &statements)
{
    std::string cell = "<error>";
    sqlite3 *db = nullptr;
    auto first = [](void *to, int, char **values, char **) { return *static_cast<std::string *>(to) = values[0] ? values[0] : "", 0; };
    if (sqlite3_open(path.c_str(), &db) == SQLITE_OK && sqlite3_busy_timeout(db, WAIT) == SQLITE_OK)
        sqlite3_exec(db, statements.c_str(), first, &cell, nullptr);
    sqlite3_close(db);
    return cell;
}

// First and last character (from 1) and the slice's buffer size -> the slice.
// The block text follows a guard byte and the buffer is filled with guards,
// so a byte read or written outside them shows.
TEST(BlockSlice, IsCutAsTheRowSaysAndNothingOutsideIsTouched)
{
    const struct { int first, last; size_t size; std::string slice; } rows[] = {
        {3, 6, 64, "0102"}, {5, 5, 64, "0"}, {32, 32, 64, "F"}, {2, 32, 64, "00102030405060708090A0B0C0D0E0F"},
        {1, 40, 64, "000102030405060708090A0B0C0D0E0"}, {30, 200, 64, "E0F"}, {6, 3, 64, ""}, {0, 6, 64, ""},
        {33, 40, 64, ""}, {255, 255, 64, ""}, {1, 32, 5, "0001"}, {3, 6, 1, ""},
    };
    for (const auto &row : rows) {
        char block[] = "X000102030405060708090A0B0C0D0E0F", slice[64];
        memset(slice, '#', sizeof slice);
        EXPECT_EQ(cutBlockSlice(block + 1, row.first, row.last, slice, row.size), int(row.slice.size()));
        EXPECT_EQ(std::string(slice, sizeof slice), (row.slice + '\0').append(63 - row.slice.size(), '#'))
            << row.first << ".." << row.last << " into " << row.size;
    }
}

// Telegram content -> card number at the server: card n is read once row n's
// content is set (row 0's is provisioned). The stored code type is 1.
struct CardRow { const char *what, *uid; int keyCode, first, last; const char *number; };
const CardRow CARDS[] = {
    {"the provisioned slice 3..6, CR on the first card", "12345678", 0x60, 3, 6, "785634120102\r"},
    {"key type 5 and the slice 1..8", "12345678", 0x61, 1, 8, "7856341200010203\r"},
    {"last before first: the UID alone", "12345678", 0x60, 6, 3, "78563412\r"},
    {"a 7-byte UID", "04A1B2C3D4E5F6", 0x61, 31, 32, "F6E5D4C3B2A1040F\r"},
};
// The cards of the upload cases follow; their UIDs read the same in either
// byte order, and the last three are read three times.
constexpr int FIRST_UPLOAD = static_cast<int>(std::size(CARDS)), CARD_COUNT = FIRST_UPLOAD + 6;
std::string uid(int n) { return format("%02XD0D0%02X", n, n); }
std::vector<std::string> plan()
{
    std::vector<std::string> args = {"--no-pace"};
    for (int n = 0; n < CARD_COUNT; ++n)
        args.insert(args.end(), {"--card", (n < FIRST_UPLOAD ? CARDS[n].uid : uid(n)) + ",key=" + key(n) +
                                               (n < CARD_COUNT - 3 ? ",reads=1" : ",reads=3") +
                                               ",block=4:000102030405060708090A0B0C0D0E0F"});
    return args;
}

// Bit string -> control frame (relay, buzzer, light1, light2); none: refused.
const std::pair<std::string, std::vector<int>> CONTROLS[] = {
    {"010001\r\n", {2, 1, 0, 0}}, {"L010001", {20, 10, 0, 0}},        {"111111111111", {7, 7, 7, 7}},
    {"000000", {0, 0, 0, 0}},     {"L010001101011", {20, 10, 5, 30}}, {"100011 \n", {4, 3, 0, 0}},
    {"l010001", {}},  {"01000", {}},    {"0100011", {}}, {"0100010100", {}}, {"010201", {}},
    {" 010001", {}},  {"010001\t", {}}, {"L01000", {}},  {"010001\r\n000000\r\n", {}}, {"\r\n", {}},
    {"010", {}},      {"001", {}}, // one command over two reads
    {std::string(1024, '1'), {}},
};

class Daemon : public ::testing::Test
{
  protected:
    static void SetUpTestSuite()
    {
        failed = true; // until the daemon is up
        network = enterPrivateNamespaces();
        upstream = listenTcp(0);
        upPort = boundPort(upstream);
        SandboxOptions options;
        options.provisionArgs = {"--read-style", "1", "--key", key(0), "--block", "4", "--first-char", "3",
                                 "--last-char", "6", "--code-type", "1", "--server-port", std::to_string(upPort)};
        options.startSim = options.startDaemon = false;
        ASSERT_TRUE(startSandbox(sb, options));
        ASSERT_EQ(sql(cardDb(), "insert into Card (cardNum) values ('1'), ('2'); select count(*) from Card"), "2");
        ASSERT_TRUE(startDaemon(sb)); // before the reader module is there
        failed = false;
    }
    // The card database made a directory is taken away: other suites provision this sandbox again.
    static void TearDownTestSuite() { stopSandbox(sb), removeTree(cardDb()), close(upstream); }
    // The cases build on each other: after a failure the rest would only wait out their bounds.
    void SetUp() override
    {
        if (failed)
            GTEST_SKIP() << "an earlier case failed";
    }
    void TearDown() override { failed = failed || HasFailure(); }

    static std::string cardDb() { return sb.dir + "/usr/local/etc/card.db"; }
    static std::string ask(const std::string &request) { return roundTrip(8001, request); }
    // Lets card n be read, its UID alone.
    static void release(int n) { ASSERT_EQ(ask(setTelegram(1, 0, n, 0, 0)), OK); }
    static std::vector<std::string> log() { return readLines(sb.simLog); }
    static bool logHas(const std::string &line)
    {
        std::vector<std::string> all = log();
        return std::find(all.begin(), all.end(), line) != all.end();
    }

    // Whether the daemon prints `line` after the first `from` bytes of its output.
    static bool printed(const std::string &line, size_t from)
    {
        return waitUntil([&] { return output(sb.daemon).find(line + "\n", from) != std::string::npos; }, WAIT);
    }
    // Sends a bit string on a connection of its own and closes it: whether the
    // listener took the text, got no answer back and let the connection go.
    static bool command(const std::string &bits)
    {
        size_t from = output(sb.daemon).size();
        return roundTrip(10001, bits, WAIT) == "" && printed("<<<" + bits, from) &&
               printed("Socket read data error", from);
    }

    static inline Sandbox sb;
    static inline int upstream = -1, upPort = 0;
    static inline std::string network;
    static inline bool failed = false;
};

TEST_F(Daemon, StartsWithoutTheReaderAndTakesItWhenItComes)
{
    std::string out = output(sb.daemon);
    for (const std::string &line : {"Can't open serial " + sb.dir + "/dev/ttySAC1\n",
                                    std::string("Serial line unavailable: No such file or directory, retrying\n"),
                                    "readStyle=1, keyType=0, key=" + key(0) + ", block=4, firstChar=3, lastChar=6\n"})
        EXPECT_NE(out.find(line), std::string::npos) << line << out;
    EXPECT_TRUE(command("L111111")); // waits for the line
    ASSERT_TRUE(startSim(sb, plan()));
    ASSERT_TRUE(waitForOutput(sb.daemon, "Serial line ready\n", LINE_WAIT)) << output(sb.daemon);
    ASSERT_TRUE(waitUntil([] { return !log().empty(); }, WAIT));
    EXPECT_EQ(log().front(), control(70, 70, 0, 0));
    EXPECT_EQ(sql(cardDb(), "select count(*) from Card"), "0") << "the card table was not emptied";
}

TEST_F(Daemon, CardNumbersFollowTheTelegramContent)
{
    for (int n = 0; n < FIRST_UPLOAD; ++n) {
        const CardRow &row = CARDS[n];
        SCOPED_TRACE(row.what);
        if (n > 0) {
            ASSERT_EQ(ask(setTelegram(1, row.keyCode == 0x61 ? 5 : 0, n, row.first, row.last)), OK);
        }
        ASSERT_EQ(acceptText(upstream, WAIT), row.number);
        EXPECT_TRUE(logHas(readFrame(n, row.keyCode))) << "key code " << row.keyCode;
    }
    EXPECT_TRUE(printed(">>>785634120102\r", 0));
}

TEST_F(Daemon, BitStringsBecomeExactlyTheirControlFrames)
{
    size_t opened = output(sb.daemon).size();
    int client = connectTcp(10001);
    ASSERT_TRUE(printed("Server accept client connect 127.0.0.1", opened));
    for (const auto &[text, v] : CONTROLS) {
        SCOPED_TRACE("bit string " + ::testing::PrintToString(text.substr(0, 20)));
        size_t from = log().size(), shown = output(sb.daemon).size();
        ASSERT_TRUE(sendAll(client, text));
        ASSERT_TRUE(printed("<<<" + text, shown));
        // Three passes that began after the text was parsed: the first of them
        // carries out a command that it stored, and no later one.
        size_t parsed = log().size();
        ASSERT_TRUE(waitUntil([&] { return log().size() >= parsed + 3; }, WAIT));
        std::vector<std::string> all = log(), frames;
        std::copy_if(all.begin() + from, all.end(), std::back_inserter(frames),
                     [](const std::string &line) { return line.rfind("AA 00 01 05 99 ", 0) == 0; });
        EXPECT_EQ(frames, v.empty() ? std::vector<std::string>{} : std::vector{control(v[0], v[1], v[2], v[3])});
    }
    size_t shown = output(sb.daemon).size();
    close(client);
    EXPECT_TRUE(printed("Socket read data error", shown));
}

TEST_F(Daemon, UploadGoesWhereTheStoredSettingsSayAndNeverHoldsUpTheLoop)
{
    int card = FIRST_UPLOAD;
    // Only code type 1 appends a carriage return.
    ASSERT_EQ(ask(setServer(upPort, 2)), OK);
    release(card);
    EXPECT_EQ(acceptText(upstream, WAIT), uid(card++)) << "code type 2";

    // Every upload reloads the stored settings, and takes the port modulo 65536.
    int other = listenTcp(0), stored = boundPort(other) + 65536;
    ASSERT_EQ(sql(sb.dir + "/usr/local/etc/reader.db", format("update ServerInfo set port=%d; select changes()", stored)), "1");
    release(card);
    EXPECT_EQ(acceptText(other, WAIT), uid(card++)) << "stored port " << stored;
    EXPECT_TRUE(waitForOutput(sb.daemon, format("connect server 127.0.0.1:%d\n", stored), WAIT));
    close(other);

    // A refusing server loses the card (the next ones still go out).
    int refusing = listenTcp(0), closedPort = boundPort(refusing);
    close(refusing);
    ASSERT_EQ(ask(setServer(closedPort, 0)), OK);
    release(card++);
    ASSERT_TRUE(waitForOutput(sb.daemon, attempt(closedPort), WAIT));
    EXPECT_EQ(countInOutput(sb.daemon, format("connect server 127.0.0.1:%d", closedPort)), 0);

    // A server whose queue is full never answers: each upload holds the loop
    // for the connect limit of one second, no less and not much more, then
    // the loop goes on. The card is read three times; of two commands that
    // arrive during the first upload the next pass carries out the later one,
    // and reads no card.
    int silent = listenTcp(0, 0), queued = connectTcp(boundPort(silent));
    ASSERT_EQ(ask(setServer(boundPort(silent), 0)), OK);
    release(card);
    ASSERT_TRUE(waitForOutput(sb.daemon, attempt(boundPort(silent)), WAIT));
    auto first = std::chrono::steady_clock::now();
    EXPECT_TRUE(command("010001"));
    EXPECT_TRUE(command("111111111111"));
    ASSERT_TRUE(waitUntil([&] { return countInOutput(sb.daemon, attempt(boundPort(silent))) >= 3; }, WAIT));
    long long perCard = msSince(first) / 2;
    EXPECT_TRUE(perCard >= 950 && perCard < 2000) << "a server that never answers held the loop " << perCard
                                                   << " ms per card, not 950 to 2000";
    std::string read = readFrame(card++, 0x60);
    std::vector<std::string> after;
    waitUntil([&] {
        after = log();
        after.erase(after.begin(), std::find(after.begin(), after.end(), read));
        return after.size() >= 4;
    }, WAIT);
    after.resize(std::min<size_t>(after.size(), 4));
    EXPECT_EQ(after, (std::vector{read, control(7, 7, 7, 7), read, read}));
    close(queued), close(silent);

    // A server that resets every connection at once never stops the daemon.
    int rude = listenTcp(0);
    ASSERT_EQ(ask(setServer(boundPort(rude), 0)), OK);
    std::thread resetting([rude] {
        linger reset{1, 0};
        for (int client; (client = accept(rude, nullptr, nullptr)) >= 0; close(client))
            setsockopt(client, SOL_SOCKET, SO_LINGER, &reset, sizeof reset);
    });
    release(card++); // read three times
    EXPECT_TRUE(waitUntil([&] { return countInOutput(sb.daemon, attempt(boundPort(rude))) == 3; }, WAIT));
    shutdown(rude, SHUT_RDWR), resetting.join(), close(rude);

    // Read style 0 reads the UID alone (command 0x95) at every pass the card is there.
    ASSERT_EQ(ask(setServer(upPort, 0)), OK);
    ASSERT_EQ(ask(setTelegram(0, 0, 0, 0, 0)), OK);
    for (int time = 1; time <= 3; ++time)
        EXPECT_EQ(acceptText(upstream, WAIT), uid(card)) << "read " << time;
    EXPECT_TRUE(logHas(frame({0x95, 0x01})));
}

TEST_F(Daemon, LostReaderLineIsReopened)
{
    stop(sb.sim); // SIGTERM: the simulator removes its device link
    ASSERT_TRUE(waitForOutput(sb.daemon, "Serial line lost: ", WAIT)) << output(sb.daemon);
    ASSERT_TRUE(startSim(sb, {"--no-pace", "--card", "22222222,reads=1"}));
    EXPECT_TRUE(waitUntil([] { return countInOutput(sb.daemon, "Serial line ready\n") == 2; }, LINE_WAIT));
    EXPECT_EQ(acceptText(upstream, WAIT), "22222222");
}

TEST_F(Daemon, RequestEndsAfter200msOfQuietAndAPauseSplitsIt)
{
    // Without a half-close the reply leaves once the request has been quiet
    // for 200 ms: no sooner, and not much later.
    int fd = connectTcp(8001);
    ASSERT_TRUE(sendAll(fd, GET_ID));
    auto sent = std::chrono::steady_clock::now();
    pollfd reply{fd, POLLIN, 0};
    ASSERT_EQ(poll(&reply, 1, WAIT), 1) << "no reply without a half-close";
    long long quiet = msSince(sent);
    EXPECT_TRUE(quiet >= 190 && quiet < 600)
        << "the reply came " << quiet << " ms after the request, not 190 to 600";
    EXPECT_EQ(recvQuiet(fd, 100, WAIT), ID);
    close(fd);

    size_t from = output(sb.daemon).size();
    fd = connectTcp(8001);
    ASSERT_TRUE(sendAll(fd, R"({"Command":)"));
    ASSERT_TRUE(printed(R"({"Command":)", from));
    ASSERT_TRUE(sendAll(fd, R"("CMD_GetReaderId"})"));
    shutdown(fd, SHUT_WR);
    EXPECT_EQ(recvAll(fd, WAIT), "") << "neither half is a request";
    close(fd);
}

TEST_F(Daemon, RequestIsCutAfter1024Bytes)
{
    std::string full = GET_ID + std::string(1024 - GET_ID.size(), ' ');
    EXPECT_EQ(roundTrip(8001, full + GET_ID), ID + ID) << "the rest is the next request";
    EXPECT_EQ(roundTrip(8001, full + std::string(1023, ' ') + GET_ID), ID) << "a request across byte 1024";
}

TEST_F(Daemon, ClientsThatCloseOrResetAreLetGo)
{
    close(connectTcp(8001));
    // A reset once the request has been taken: its reply is on its way.
    size_t from = output(sb.daemon).size();
    int fd = connectTcp(8001);
    ASSERT_TRUE(sendAll(fd, GET_ID) && printed(GET_ID, from));
    linger reset{1, 0};
    setsockopt(fd, SOL_SOCKET, SO_LINGER, &reset, sizeof reset);
    close(fd);
    EXPECT_EQ(roundTrip(8001, GET_ID), ID);
}

TEST_F(Daemon, NetworkSetupIsAnsweredBeforeTheReboot)
{
    // Nothing the daemon holds reaches the reboot shell (a shell that outlived
    // the daemon would keep its ports): every descriptor past the standard
    // three closes on exec.
    for (const auto &entry : std::filesystem::directory_iterator(format("/proc/%d/fdinfo", sb.daemon.pid))) {
        std::string info = readFile(entry.path()), name = entry.path().filename();
        size_t flags = info.find("flags:");
        if (std::stoi(name) > 2 && flags != std::string::npos) { // gone meanwhile: a short-lived one
            EXPECT_TRUE(std::stoul(info.substr(flags + 6), nullptr, 8) & O_CLOEXEC) << "descriptor " << name;
        }
    }
    // A value whose line cannot fit the settings file is refused before any write is tried.
    EXPECT_EQ(roundTrip(8001, setNet("", "", std::string(59, 'd').c_str())), "{\n\t\"response\":\t0\n}");
    EXPECT_EQ(countInOutput(sb.daemon, "Write /etc/eth0-setting failed"), 0);
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
    EXPECT_TRUE(poll(&entry, 1, WAIT) == 1 && read(reboots, line, sizeof line - 1) > 0 && line == std::string("reboot\n"));
    close(reboots), unlink(fifo.c_str()), close(fd);
    EXPECT_EQ(readLines(sb.dir + "/etc/eth0-setting").at(0), "IP=10.20.30.40");
}

TEST_F(Daemon, SearchIsAnsweredByBroadcastToItsSenderAndNothingElseIs)
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
    for (const std::string &request : std::vector<std::string>{
             "TcpReader Response", R"({"Command":"CMD_SearchReader","Data":"TcpReader Request "})",
             R"({"Command":"CMD_SearchReader","Data":"tcpreader request"})",
             setNet(R"("OldIP":"10.20.30.4",)", "10.0.0.8"), setNet(R"("OldIP":"10.20.30.40",)", "10.0.0.9")}) {
        sendTo(a, request);
        sendTo(b, SEARCH);
        EXPECT_EQ(receive(b, WAIT), ANSWER) << request;
        EXPECT_EQ(receive(a, 0), "") << request;
    }
    EXPECT_EQ(readLines(sb.dir + "/etc/eth0-setting").at(0), "IP=10.0.0.9");
    EXPECT_EQ(readLines(sb.dir + "/reboot.log").size(), 1u) << "only the setup for this board reboots";
    close(a), close(b);
}

TEST_F(Daemon, WithoutItsCardDatabaseItReadsNoCardsAndStillServes)
{
    EXPECT_TRUE(isRunning(sb.daemon)) << output(sb.daemon);
    stop(sb.daemon);
    EXPECT_EQ(crashReport(sb.daemon), "");
    ASSERT_TRUE(unlink(cardDb().c_str()) == 0 && mkdir(cardDb().c_str(), 0755) == 0);
    size_t frames = log().size();
    ASSERT_TRUE(startDaemon(sb));
    EXPECT_TRUE(printed("unable to open database file", 0)) << output(sb.daemon);
    EXPECT_EQ(roundTrip(8001, GET_ID), ID);
    EXPECT_TRUE(command("010001"));
    EXPECT_EQ(log().size(), frames) << "the card loop ran";
}

TEST_F(Daemon, DaemonNeverEndedNorCrashed)
{
    EXPECT_TRUE(isRunning(sb.daemon)) << output(sb.daemon);
    EXPECT_EQ(crashReport(sb.daemon), "");
}

} // namespace

// A case that cannot run here ends the program with 77, which ctest reports
// as not run; a failure still ends it with 1.
int main(int argc, char **argv)
{
    ::testing::InitGoogleTest(&argc, argv);
    int status = RUN_ALL_TESTS();
    return status == 0 && ::testing::UnitTest::GetInstance()->skipped_test_count() > 0 ? 77 : status;
}
