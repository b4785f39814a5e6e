/*
 * rfidctl console's API against the sandbox daemon and rfid-sim. ctest runs
 * this inside a private network namespace (console_netns.sh), where the
 * search broadcast and the forged answers stay on the namespace's loopback.
 */
#include "tests/support/sandbox.h"

#include <arpa/inet.h>
#include <cjson/cJSON.h>
#include <gtest/gtest.h>
#include <httplib.h>
#include <poll.h>
#include <sys/socket.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <thread>

namespace {

const std::string CARD = "12345678";

harness::Sandbox sandbox;
harness::Process console;
std::string token;

long long nowMs()
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

class ConsoleApi : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        ASSERT_TRUE(harness::startSandbox(sandbox, {{"--dev-id", "1", "--server-port", "9"},
                                                    {"--card", CARD + ",reads=1", "--gap", "200", "--loop"}}));
        console = harness::start({harness::binaryPath("rfidctl"), "console", "--listen", "9300"},
                                 sandbox.dir + "/console.out");
        ASSERT_TRUE(harness::waitForOutput(console, "token=", 10000)) << harness::output(console);
        std::string out = harness::output(console);
        token = out.substr(out.find("token=") + 6, 32);
    }
    static void TearDownTestSuite()
    {
        EXPECT_EQ(harness::stop(console), 0) << harness::output(console);
        harness::stopSandbox(sandbox);
    }
    void SetUp() override { client.set_read_timeout(std::chrono::seconds(30)); }

    // A POST with the token; the reply's lines (one per reader) parsed.
    std::vector<cJSON *> post(const std::string &path, const std::string &body)
    {
        auto res = client.Post(path, {{"X-Console-Token", token}}, body, "application/json");
        EXPECT_TRUE(res && res->status == 200) << path << " " << body << ": " << (res ? res->body : "no reply");
        std::string text = res ? res->body + (res->body.ends_with('\n') ? "" : "\n") : "";
        std::vector<cJSON *> lines;
        for (size_t at = 0, end; (end = text.find('\n', at)) != std::string::npos; at = end + 1)
            lines.push_back(parsed.emplace_back(cJSON_Parse(text.substr(at, end - at).c_str()), cJSON_Delete).get());
        return lines;
    }
    // Every reader's line says "ok": true.
    void expectAllOk(const std::vector<cJSON *> &lines, size_t count)
    {
        ASSERT_EQ(lines.size(), count);
        for (cJSON *line : lines)
            EXPECT_TRUE(cJSON_IsTrue(cJSON_GetObjectItem(line, "ok"))) << cJSON_PrintUnformatted(line);
    }
    // The id read for `reader` (-1: none).
    int devIdOf(const std::vector<cJSON *> &lines, const char *reader = "127.0.0.1")
    {
        for (cJSON *line : lines) {
            cJSON *id = cJSON_GetObjectItem(cJSON_GetObjectItem(cJSON_GetObjectItem(line, "settings"), "id"), "devId");
            if (!strcmp(cJSON_GetStringValue(cJSON_GetObjectItem(line, "reader")) ?: "", reader))
                return cJSON_IsNumber(id) ? id->valueint : -1;
        }
        return -1;
    }

    httplib::Client client{"127.0.0.1", 8080};
    std::vector<std::unique_ptr<cJSON, void (*)(cJSON *)>> parsed;
};

TEST_F(ConsoleApi, RefusesBadRequestsBeforeAnyReaderHearsOfThemAndEveryAnswerForbidsFramingAndSniffing)
{
    auto page = client.Get(("/?token=" + token).c_str());
    std::string cookie = page ? page->get_header_value("Set-Cookie") : "";
    EXPECT_TRUE(cookie.ends_with("; HttpOnly; SameSite=Strict; Path=/")) << cookie;
    cookie = "Cookie: " + cookie.substr(0, cookie.find(';'));
    const std::string json = "Content-Type: application/json", withToken = "X-Console-Token: " + token + "\n" + json,
                      own = "Origin: http://127.0.0.1:8080\n", reader = R"({"readers":["127.0.0.1"]})";
    const struct {
        const char *name;
        std::string request, headers, body; // request: "METHOD /path"; headers: one a line
        int status;
        const char *answer;
    } rows[] = {
        {"no token", "POST /api/read", json, reader, 403, "wrong or missing access token"},
        {"wrong token", "POST /api/read", "X-Console-Token: 0123\n" + json, reader, 403, "access token"},
        {"token in the URL", "POST /api/read?token=" + token, json, reader, 403, "takes no token in the URL"},
        {"wrong cookie", "GET /api/info", cookie + "0", "", 403, "access token"},
        {"foreign Host", "POST /api/read", "Host: evil.example:8080\n" + withToken, reader, 403,
         "Host header 'evil.example:8080'"},
        {"cross-site text/plain with the token", "POST /api/read",
         "Origin: http://evil.example\nX-Console-Token: " + token + "\nContent-Type: text/plain", reader, 403,
         "another web page (Origin 'http://evil.example')"},
        {"a browser's change without Origin", "POST /api/read", "Sec-Fetch-Site: cross-site\n" + withToken, reader,
         403, "(no Origin)"},
        {"own page, text/plain", "POST /api/read", own + cookie + "\nContent-Type: text/plain", reader, 415,
         "must be application/json, not 'text/plain'"},
        {"page with a wrong token", "GET /?token=0123", "", "", 403, "wrong access token"},
        {"own page, the cookie", "GET /api/info", own + cookie, "", 200, "{\"listen\":9300}"},
        {"the page", "GET /", "", "", 200, "<script src=\"/console.js\"></script>"},
        {"unknown path", "POST /api/reboot", withToken, "{}", 404, "unknown path"},
        {"bad JSON", "POST /api/read", own + cookie + "\n" + json, "{readers", 400, "not a JSON object"},
        {"no readers", "POST /api/read", withToken, R"({"readers":[]})", 400, "must list 1 to 4096"},
        {"port out of range", "POST /api/set", withToken,
         R"({"readers":["127.0.0.1"],"what":"server","values":{"ip":"127.0.0.1","port":"70000","code-type":"0"}})",
         400, "\"port\":\"must be a number from 0 to 65535, not '70000'\""},
        {"bad bits", "POST /api/control", withToken, R"({"readers":["127.0.0.1"],"bits":"0102"})", 400,
         "invalid BITS"},
        {"unconfirmed network setup", "POST /api/net", withToken,
         R"({"reader":"127.0.0.1","values":{"ip":"10.1.1.1"}})", 400, "reboot"},
        {"site file with errors", "POST /api/site/plan", withToken, R"({"file":"ip,key\n127.0.0.1,ABC\n1.2.3.4,"})",
         400, R"(["row 2, column B (key): must be exactly 12 hexadecimal digits, not 'ABC'"])"},
        {"unconfirmed site apply", "POST /api/site/apply", withToken, R"({"file":"ip\n127.0.0.1"})", 400, "confirm"},
        {"site network setups confirmed with the rest only", "POST /api/site/apply", withToken,
         R"({"file":"ip\n127.0.0.1","confirm":true,"network":true})", 400, "confirmNetwork"},
        {"commissioning, bad factory address", "POST /api/site/commission", withToken,
         R"({"file":"ip\n127.0.0.1","factory":"192.168.0"})", 400, "\"factory\":\"needs an IPv4"},
    };
    int connections = harness::countInOutput(sandbox.daemon, "Server accept client connect");
    for (const auto &row : rows) {
        httplib::Request req;
        req.method = row.request.substr(0, row.request.find(' '));
        req.path = row.request.substr(row.request.find(' ') + 1);
        std::istringstream lines(row.headers);
        for (std::string line; std::getline(lines, line);)
            req.headers.emplace(line.substr(0, line.find(": ")), line.substr(line.find(": ") + 2));
        req.body = row.body;
        auto res = client.send(req);
        ASSERT_TRUE(res) << row.name;
        EXPECT_EQ(res->status, row.status) << row.name << ": " << res->body;
        EXPECT_NE(res->body.find(row.answer), std::string::npos) << row.name << ": " << res->body;
        EXPECT_EQ(res->get_header_value("Content-Security-Policy") + "|" + res->get_header_value("X-Frame-Options") +
                      "|" + res->get_header_value("X-Content-Type-Options") + "|" +
                      res->get_header_value("Referrer-Policy") + "|" + res->get_header_value("Cache-Control"),
                  "default-src 'none'; script-src 'self'; style-src 'self'; img-src 'self'; connect-src 'self'; "
                  "form-action 'none'; base-uri 'none'; frame-ancestors 'none'|DENY|nosniff|no-referrer|no-store")
            << row.name;
    }
    EXPECT_EQ(harness::countInOutput(sandbox.daemon, "Server accept client connect"), connections);
}

// Runs `search` while a raw socket sends the answer "TcpReader Response" from
// ever new addresses 10.x.y.z to its search port, once the real reader has
// answered; the search's time in ms.
long long underFlood(const std::function<void()> &search)
{
    int sniff = socket(AF_INET, SOCK_RAW | SOCK_CLOEXEC, IPPROTO_UDP), one = 1;
    int raw = socket(AF_INET, SOCK_RAW | SOCK_CLOEXEC, IPPROTO_RAW);
    EXPECT_TRUE(sniff >= 0 && raw >= 0 && setsockopt(raw, SOL_SOCKET, SO_BROADCAST, &one, sizeof one) == 0);
    std::atomic<bool> done{false};
    long long start = nowMs();
    std::thread searching([&] { search(), done = true; });
    // IPv4 header (the kernel fills in length, id and checksum), UDP header from port 8000, the answer.
    char packet[46] = {0x45, 0, 0, 0, 0, 0, 0, 0, 64, IPPROTO_UDP, 0, 0, 10, 0, 0, 0, -1, -1, -1, -1, 0x1F, 0x40,
                       0, 0, 0, 26, 0, 0, 'T', 'c', 'p', 'R', 'e', 'a', 'd', 'e', 'r', ' ', 'R', 'e', 's', 'p',
                       'o', 'n', 's', 'e'};
    char seen[2048];
    bool searched = false; // the search seen: its source port is in packet[22..23]
    pollfd waiting{sniff, POLLIN, 0};
    for (ssize_t n; !done && poll(&waiting, 1, 5000) == 1 && (n = recv(sniff, seen, sizeof seen, 0)) > 28;) {
        if (!searched && !memcmp(seen + 22, "\x1F\x40", 2) && memmem(seen + 28, n - 28, "CMD_SearchReader", 16))
            memcpy(packet + 22, seen + 20, 2), searched = true;
        else if (searched && !memcmp(seen + 22, packet + 22, 2) && !memcmp(seen + 28, packet + 28, 18))
            break; // the real reader's answer
    }
    sockaddr_in everyone{AF_INET, 0, {INADDR_BROADCAST}, {}};
    for (uint32_t i = 1; searched && !done && nowMs() - start < 10000; ++i) {
        uint32_t source = htonl(0x0A000000 + i);
        memcpy(packet + 12, &source, 4);
        sendto(raw, packet, sizeof packet, 0, reinterpret_cast<sockaddr *>(&everyone), sizeof everyone);
    }
    searching.join();
    close(sniff), close(raw);
    return nowMs() - start;
}

TEST_F(ConsoleApi, AFloodOfForgedAnswersEndsWithTheWindowIsCappedAndReportedAndTheRealRowFills)
{
    std::vector<cJSON *> found;
    EXPECT_LT(underFlood([&] { found = post("/api/discover", "{}"); }), 2000) << "a discovery with a 1000 ms window";
    ASSERT_EQ(found.size(), 1u);
    EXPECT_GT(cJSON_GetNumberValue(cJSON_GetObjectItem(found[0], "unlisted")), 0);
    std::unique_ptr<char, void (*)(void *)> list(cJSON_PrintUnformatted(cJSON_GetObjectItem(found[0], "readers")),
                                                 free);
    std::vector<cJSON *> rows = post("/api/read", "{\"readers\":" + std::string(list.get()) + "}");
    EXPECT_EQ(rows.size(), 4096u);
    EXPECT_EQ(devIdOf(rows), 1);
    EXPECT_EQ(std::count_if(rows.begin(), rows.end(), [](cJSON *line) {
                  return cJSON_IsFalse(cJSON_GetObjectItem(line, "ok")) && cJSON_GetObjectItem(line, "error");
              }), 4095);
}

// A second reader at 10.9.0.2: a daemon with reader id 2 in network and mount
// namespaces of its own (its own sandbox directory), on a veth pair.
TEST_F(ConsoleApi, SetsTwoReadersThatAreTwoDaemonsAtOnce)
{
    std::string dir = harness::tempDir("console-second");
    ASSERT_EQ(harness::runProgram({harness::binaryPath("rfidd-provision"), "--root", dir, "--dev-id", "2"}), 0);
    harness::Process second = harness::start(
        {"/usr/bin/unshare", "-m", "-n", "--propagation", "private", "/bin/sh", "-c", "mount --bind \"$0\" \"$1\" && "
         "exec \"$2\"", dir, sandbox.dir, harness::binaryPath("rfidd-sandbox")}, dir + "/daemon.out");
    std::string pid = std::to_string(second.pid);
    std::error_code gone;
    auto netns = [&](const std::string &of) { return std::filesystem::read_symlink("/proc/" + of + "/ns/net", gone); };
    harness::waitUntil([&] { return netns(pid) != netns("self"); }, 10000);
    EXPECT_EQ(system(("PATH=$PATH:/usr/sbin:/sbin; ip link add second type veth peer name eth0 netns " + pid +
                      " && ip addr add 10.9.0.1/24 dev second && ip link set second up && nsenter -t " + pid +
                      " -n sh -c 'ip link set lo up && ip addr add 10.9.0.2/24 dev eth0 && ip link set eth0 up'")
                         .c_str()), 0);
    EXPECT_TRUE(harness::waitUntil([&] { return devIdOf(post("/api/read", R"({"readers":["10.9.0.2"]})"),
                                                        "10.9.0.2") == 2; }, 10000)) << harness::output(second);
    const std::string readers = R"({"readers":["127.0.0.1","10.9.0.2"])";
    expectAllOk(post("/api/set", readers + R"(,"what":"id","values":{"id":"5"}})"), 2);
    std::vector<cJSON *> rows = post("/api/read", readers + "}");
    expectAllOk(rows, 2);
    EXPECT_TRUE(devIdOf(rows) == 5 && devIdOf(rows, "10.9.0.2") == 5);
    EXPECT_EQ(harness::stop(second), 128 + SIGTERM) << harness::output(second);
    harness::removeTree(dir);
}

TEST_F(ConsoleApi, CardsArriveLiveOnceTheServerPointsHere)
{
    expectAllOk(post("/api/point", R"({"readers":["127.0.0.1"]})"), 1);
    auto cards = [](const std::string &text) {
        size_t n = 0;
        for (size_t at = text.find("event: card\n"); at != std::string::npos; at = text.find("event: card\n", at + 1))
            ++n;
        return n;
    };
    std::string events;
    auto start = std::chrono::steady_clock::now();
    client.Get("/api/events", {{"X-Console-Token", token}}, [&](const char *data, size_t length) {
        events.append(data, length);
        return cards(events) < 2 && std::chrono::steady_clock::now() - start < std::chrono::seconds(60);
    });
    EXPECT_NE(events.find("event: card\ndata: {\"time\":"), std::string::npos) << events;
    EXPECT_NE(events.find("\"card\":\"" + CARD + "\""), std::string::npos) << events;
    // A page opened later gets every card kept so far at once, not only the last.
    std::string later;
    client.Get("/api/events", {{"X-Console-Token", token}}, [&](const char *data, size_t length) {
        later.append(data, length);
        return false;
    });
    EXPECT_GE(cards(later), 2u) << later;
}

// The reader here keeps 192.168.0.100 in its settings: at the factory address 127.0.0.1 it is no new board.
TEST_F(ConsoleApi, CommissioningWaitsForTheNextBoardAndStopsWhenAsked)
{
    auto logHas = [&](const std::string &text) {
        auto res = client.Get("/api/site/commission", {{"X-Console-Token", token}});
        return res && res->body.find(text) != std::string::npos;
    };
    post("/api/site/commission", R"({"file":"door,ip\nNew,10.99.0.5\n","factory":"127.0.0.1"})");
    EXPECT_TRUE(harness::waitUntil([&] { return logHas("192.168.0.100 in its settings: no new board"); }, 30000));
    EXPECT_TRUE(logHas("Waiting for the next board at 127.0.0.1 (for row 2, door 'New', 10.99.0.5)"));
    post("/api/site/commission/stop", "{}");
    EXPECT_TRUE(harness::waitUntil([&] { return logHas("\"running\":false"); }, 30000));
    EXPECT_TRUE(logHas("\"status\":0"));
}

// In place of the sandbox daemon, a reader that answers with one reply fit for all four settings, in
// pieces of `piece` bytes `gapMs` apart: a row has 2 s in all, also when each reply alone comes within.
TEST_F(ConsoleApi, EachRowIsBoundedByItsTimeHoweverTheReaderPacesItsBytes)
{
    const std::string reply = R"({"response":1,"Data":{"devId":7,"IP":"","Mask":"","Gateway":"","DNS":"","MAC":""},)"
                              R"("type":0,"address":"","port":"9","key":"","readStyle":0,"keyType":0,"block":0,)"
                              R"("firstChar":0,"lastChar":0})";
    harness::stop(sandbox.daemon);
    int listener = harness::listenTcp(8001);
    std::atomic<int> gapMs{0}, piece{1};
    std::atomic<bool> done{false};
    std::thread reader([&] {
        for (pollfd waiting{listener, POLLIN, 0}; !done;) {
            int fd = poll(&waiting, 1, 50) == 1 ? accept(listener, nullptr, nullptr) : -1;
            bool asked = fd >= 0 && !harness::recvAll(fd, 2000).empty();
            for (size_t at = 0; asked && at < reply.size(); at += piece)
                asked = harness::sendAll(fd, reply.substr(at, piece)) && usleep(gapMs * 1000) == 0;
            close(fd);
        }
    });
    struct {
        int gapMs, piece, ok, devId, maxMs; // devId -1: not read
    } rows[] = {{40, 60, 1, 7, 2000}, {120, 15, 0, 7, 4000}, {250, 1, 0, -1, 4000}};
    for (const auto &row : rows) {
        gapMs = row.gapMs, piece = row.piece;
        long long start = nowMs();
        std::vector<cJSON *> lines = post("/api/read", R"({"readers":["127.0.0.1"]})");
        long long took = nowMs() - start;
        ASSERT_EQ(lines.size(), 1u);
        EXPECT_EQ(cJSON_IsTrue(cJSON_GetObjectItem(lines[0], "ok")), row.ok) << cJSON_PrintUnformatted(lines[0]);
        EXPECT_EQ(devIdOf(lines), row.devId);
        EXPECT_LT(took, row.maxMs) << "a row of a reader that sends " << row.piece << " bytes every " << row.gapMs;
        printf("a reader that sends %d bytes every %d ms: its row took %lld ms\n", row.piece, row.gapMs, took);
    }
    done = true;
    reader.join();
    close(listener);
    EXPECT_TRUE(harness::startDaemon(sandbox));
}

} // namespace
