// The sandbox daemon against its own activity and a kill at any instant, in the private network
// namespace that ctest makes for it as root (elsewhere the cases skip). Longer runs: ROBUST_SETS
// (default 300), ROBUST_CARDS (100), ROBUST_KILLS (300); ROBUST_SEED repeats a run of kill points.
#include "tests/support/sandbox.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <glob.h>
#include <poll.h>
#include <signal.h>
#include <sqlite3.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cmath>
#include <random>

using namespace harness;

namespace {

// Groups: 0 settings file, 1 reader id, 2 telegram content, 3 server settings. Generation g of a
// group holds STORED[group] filled with g, written by REQUESTS[group] (TCP ignores "OldIP").
const char *const QUERIES[] = {"pragma integrity_check", "select devId from ReaderInfo",
    "select readStyle||','||keyType||','||key||','||block||','||firstChar||','||lastChar from ReaderInfo",
    "select ip||','||port||','||codeType from ServerInfo"};
const char *const STORED[] = {"IP=10.1.%d.%d\nMask=255.255.0.0\nGateway=10.1.0.254\nDNS=10.1.0.253\n"
                              "MAC=02:00:00:00:%02X:%02X\n", "%d", "0,0,%012X,1,1,8", "127.0.0.1,9917,%d"};
const char *const REQUESTS[] = {
    "{\"Command\":\"CMD_SetNetConf\",\"Data\":{\"IP\":\"10.1.%d.%d\",\"Mask\":\"255.255.0.0\",\"Gateway\":"
    "\"10.1.0.254\",\"DNS\":\"10.1.0.253\",\"MAC\":\"02:00:00:00:%02X:%02X\",\"OldIP\":\"%s\"}}",
    "{\"Command\":\"CMD_SetReaderId\",\"Data\":{\"devId\":%d}}",
    "{\"Command\":\"CMD_SetTelegramContent\",\"Data\":{\"ReadStyle\":0,\"KeyType\":0,\"Key\":\"%012X\","
    "\"Block\":1,\"FirstChar\":1,\"LastChar\":8}}",
    "{\"Command\":\"CMD_SetServerConf\",\"Data\":{\"IP\":\"127.0.0.1\",\"Port\":9917,\"CodeType\":%d}}"};

std::string fill(const char *const format[], int group, int g, const char *ip = "")
{
    char out[400];
    snprintf(out, sizeof out, format[group], group ? g : g / 99, g % 99 + 1, g >> 8 & 255, g & 255, ip);
    return out;
}

// A request ended by closing the sending side, and its reply (with `fd`: none).
std::string ask(const std::string &request, int *fd = nullptr)
{
    int sock = connectTcp(8001, 5000);
    sendAll(sock, request);
    shutdown(sock, SHUT_WR);
    if (fd) {
        *fd = sock;
        return "";
    }
    std::string reply = recvQuiet(sock, 10000, 10000);
    close(sock);
    return reply;
}

} // namespace

class Robust : public ::testing::Test {
protected:
    void SetUp() override
    {
        if (!getenv("RFIDD_ROBUST_NETNS"))
            GTEST_SKIP() << "no private network namespace (not root, or unshare failed at configure time)";
    }
    void TearDown() override { stopSandbox(box); stop(server); }
    // A card on every read, `rfidctl listen` as the upstream server.
    void startBoard(bool withDaemon = true)
    {
        SandboxOptions options{{"--server-ip", "127.0.0.1", "--server-port", "9917"},
                               {"--no-pace", "--quiet", "--card", "12345678,ms=86400000"}, true, false};
        ASSERT_TRUE(startSandbox(box, options));
        server = start({binaryPath("rfidctl"), "listen", "9917"}, box.dir + "/server.out");
        ASSERT_TRUE(waitForOutput(server, "listening on", 10000));
        ASSERT_TRUE(!withDaemon || startDaemon(box));
    }
    static int count(const char *name, int fallback) { return getenv(name) ? atoi(getenv(name)) : fallback; }
    static bool ok(const std::string &reply) { return reply.find("\"response\":\t1") != std::string::npos; }
    int cards() { return countInOutput(server, "12345678"); }
    // What a group holds now; group 0 of the database is its integrity check.
    std::string stored(int group, bool file = true)
    {
        if (group == 0 && file)
            return readFile(box.dir + "/etc/eth0-setting");
        sqlite3 *handle = nullptr;
        std::string text = "(no row)";
        auto first = [](void *out, int, char **cells, char **) {
            return *static_cast<std::string *>(out) = cells[0] ? cells[0] : "NULL", 1;
        };
        sqlite3_open((box.dir + "/usr/local/etc/reader.db").c_str(), &handle);
        sqlite3_busy_timeout(handle, 10000);
        sqlite3_exec(handle, QUERIES[group], first, &text, nullptr);
        sqlite3_close(handle);
        return text;
    }
    bool leftover()
    {
        glob_t found{};
        bool any = glob((box.dir + "/etc/.eth0-setting.*").c_str(), 0, nullptr, &found) == 0;
        globfree(&found);
        return any;
    }
    Sandbox box;
    Process server;
};

// The daemon's own statements never meet inside SQLite: no set fails, none waits.
// Another process holding the file (until the daemon says it waits) delays a set.
TEST_F(Robust, SetsNeverFailWhileCardsFlowOrAnotherProcessHoldsTheDatabase)
{
    ASSERT_NO_FATAL_FAILURE(startBoard());
    int sets = count("ROBUST_SETS", 300), failed = 0, before = cards(), fd = -1;
    for (int n = 0; n < sets; ++n)
        failed += !ok(ask(fill(REQUESTS, 1, n)));
    int locked = countInOutput(box.daemon, "is locked"), waits = countInOutput(box.daemon, "busy, waiting");
    printf("contention: %d sets while %d cards went out: %d failed, %d \"database is locked\", %d waits\n",
           sets, cards() - before, failed, locked, waits);
    EXPECT_TRUE(failed + locked + waits == 0 && cards() > before);

    sqlite3 *handle = nullptr;
    ASSERT_EQ(sqlite3_open((box.dir + "/usr/local/etc/reader.db").c_str(), &handle), SQLITE_OK);
    const char *hold = "pragma busy_timeout=10000; begin immediate; update ReaderInfo set devId=1";
    ASSERT_EQ(sqlite3_exec(handle, hold, nullptr, nullptr, nullptr), SQLITE_OK);
    ask(fill(REQUESTS, 1, 42), &fd);
    pollfd reply{fd, POLLIN, 0};
    for (int waited = 0; !poll(&reply, 1, 2) && !countInOutput(box.daemon, "busy, waiting") && waited < 9999;)
        waited += 2;
    EXPECT_EQ(sqlite3_exec(handle, "commit", nullptr, nullptr, nullptr), SQLITE_OK);
    sqlite3_close(handle);
    std::string text = recvQuiet(fd, 10000, 10000);
    close(fd);
    EXPECT_TRUE(ok(text)) << text << output(box.daemon);
}

// Standard output a pipe nobody reads: cards flow, the configuration service
// answers. Then SIGTERM or SIGINT: once the pipe is read, the daemon writes
// what waited, with what it dropped, before it ends by that signal.
TEST_F(Robust, StalledOutputStopsNeitherCardsNorConfigurationAndAStopWritesWhatWaits)
{
    ASSERT_NO_FATAL_FAILURE(startBoard(false));
    for (int sig : {SIGTERM, SIGINT}) {
        int out[2];
        ASSERT_EQ(pipe2(out, O_CLOEXEC), 0);
        fcntl(out[1], F_SETPIPE_SZ, 4096);
        box.daemon = start({binaryPath("rfidd-sandbox")}, "/proc/self/fd/" + std::to_string(out[1]));
        close(out[1]);
        ASSERT_TRUE(waitForListening(8001, 10000));
        // Every request is printed: 25 of 0.9 kB fill the pipe and the daemon's buffer.
        int replies = 0, before = cards(), wanted = count("ROBUST_CARDS", 100);
        for (int n = 0; n < 25 && replies == n; ++n)
            replies += ok(ask("{\"Command\":\"CMD_GetReaderId\",\"Pad\":\"" + std::string(900, 'x') + "\"}"));
        for (int waited = 0; replies == 25 && cards() - before < wanted && waited < 60000; waited += 10)
            usleep(10000);
        replies += ok(ask("{\"Command\":\"CMD_GetReaderId\"}"));
        printf("stalled output: %d cards delivered, %d of 26 configuration replies\n", cards() - before, replies);
        EXPECT_TRUE(cards() - before >= wanted && replies == 26);

        kill(box.daemon.pid, sig);
        std::string text;
        char chunk[65536];
        pollfd wait{out[0], POLLIN, 0};
        for (ssize_t n = 1; n > 0 && poll(&wait, 1, 20000) == 1;)
            text.append(chunk, static_cast<size_t>(std::max<ssize_t>(n = read(out[0], chunk, sizeof chunk), 0)));
        close(out[0]);
        EXPECT_TRUE(waitUntil([&] { return !isRunning(box.daemon); }, 10000));
        EXPECT_EQ(box.daemon.exitStatus, 128 + sig);
        size_t at = text.rfind("\nrfidd: ") + 1; // 0 when there is none
        EXPECT_NE(text.find(" lines of output dropped\n", at), std::string::npos) << text.substr(text.size() - 300);
        printf("then %s and from the pipe: %s\n", strsignal(sig), text.substr(at, text.find('\n', at) - at).c_str());
    }
}

// Only a rewrite's temporary files go at start-up. SIGKILL at any instant of a settings write
// leaves its old or its new value and reader.db intact; the daemon starts again and answers.
TEST_F(Robust, KillDuringSettingsWritesLeavesOldOrNewAndRestarts)
{
    ASSERT_NO_FATAL_FAILURE(startBoard(false));
    const std::string stale = box.dir + "/etc/.eth0-setting.Ab12Cd";
    writeFile(stale, "IP=");
    writeFile(stale.substr(0, stale.size() - 1), "IP=");
    ASSERT_TRUE(startDaemon(box));
    EXPECT_NE(access(stale.c_str(), F_OK), 0);
    EXPECT_EQ(unlink(stale.substr(0, stale.size() - 1).c_str()), 0);
    std::string current[] = {stored(0), stored(1), stored(2), stored(3)};
    unsigned seed = count("ROBUST_SEED", std::random_device()() % 1000000);
    int kills = count("ROBUST_KILLS", 300), newer = 0, leftovers = 0, k = 0;
    std::mt19937 random(seed);
    sockaddr_in udp{AF_INET, htons(8000), {htonl(INADDR_LOOPBACK)}, {}};
    for (; k < kills && !HasFailure(); ++k) {
        SCOPED_TRACE("seed " + std::to_string(seed) + ", kill " + std::to_string(k));
        int kind = static_cast<int>(random() % 5), group = kind < 2 ? 0 : kind - 1, g = 100 + k, fd = -1;
        std::string text = fill(REQUESTS, group, g, current[0].substr(3, current[0].find('\n') - 3).c_str());
        if (kind != 1)
            ask(text, &fd);
        else if ((fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0)) >= 0)
            sendto(fd, text.data(), text.size(), 0, reinterpret_cast<sockaddr *>(&udp), sizeof udp);
        // From 10 us to 100 ms, as many kill instants in each tenfold range.
        usleep(static_cast<useconds_t>(std::exp(std::uniform_real_distribution<>(2.3, 11.5)(random))));
        stop(box.daemon, SIGKILL);
        close(fd);
        std::string now = stored(group), fresh = fill(STORED, group, g);
        EXPECT_TRUE(now == current[group] || now == fresh) << now;
        newer += now == fresh;
        current[group] = now;
        leftovers += leftover();
        EXPECT_EQ(stored(0, false), "ok");
        ASSERT_TRUE(startDaemon(box));
        EXPECT_FALSE(leftover());
        EXPECT_TRUE(ok(ask("{\"Command\":\"CMD_GetReaderId\"}")));
    }
    printf("kill points: %d (ROBUST_SEED=%u repeats them): %d left the new value, %d the old, %d a "
           "temporary settings file; the daemon started again after each and answered\n",
           k, seed, newer, k - newer, leftovers);
}
