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
#include <netinet/ip.h>
#include <netinet/udp.h>
#include <poll.h>
#include <sys/socket.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <map>
#include <thread>

namespace {

const std::string CARD = "12345678";

harness::Sandbox sandbox;
harness::Process console;
std::string token;

long long nowMs()
{
    using namespace std::chrono;
    return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
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
    int devIdOf(cJSON *line)
    {
        cJSON *id = cJSON_GetObjectItem(cJSON_GetObjectItem(cJSON_GetObjectItem(line, "settings"), "id"), "devId");
        return cJSON_IsNumber(id) ? id->valueint : -1;
    }
    // The line of `reader` among `lines`.
    cJSON *lineOf(const std::vector<cJSON *> &lines, const char *reader)
    {
        for (cJSON *line : lines)
            if (strcmp(cJSON_GetStringValue(cJSON_GetObjectItem(line, "reader")) ?: "", reader) == 0)
                return line;
        return nullptr;
    }

    httplib::Client client{"127.0.0.1", 8080};
    std::vector<std::unique_ptr<cJSON, void (*)(cJSON *)>> parsed;
};

TEST_F(ConsoleApi, RefusesBadRequestsBeforeAnyReaderHearsOfThemAndEveryAnswerForbidsFramingAndSniffing)
{
    auto page = client.Get(("/?token=" + token).c_str());
    ASSERT_TRUE(page && page->status == 200);
    std::string cookie = page->get_header_value("Set-Cookie");
    EXPECT_TRUE(cookie.ends_with("; HttpOnly; SameSite=Strict; Path=/")) << cookie;
    cookie = "Cookie: " + cookie.substr(0, cookie.find(';'));
    const std::string json = "Content-Type: application/json", withToken = "X-Console-Token: " + token + "\n" + json,
                      own = "Origin: http://127.0.0.1:8080\n", reader = R"({"readers":["127.0.0.1"]})";
    struct Row {
        const char *name;
        std::string request, headers, body; // request: "METHOD /path"; headers: one per line
        int status;
        const char *answer;
    };
    const Row rows[] = {
        {"no token", "POST /api/read", json, reader, 403, "wrong or missing access token"},
        {"wrong token", "POST /api/read", "X-Console-Token: 0123\n" + json, reader, 403, "access token"},
        {"token in the URL", "POST /api/read?token=" + token, json, reader, 403, "takes no token in the URL"},
        {"events, token in the URL", "GET /api/events?token=" + token, "", "", 403, "no token in the URL"},
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
    };
    const httplib::Headers hardening = {
        {"Content-Security-Policy", "default-src 'none'; script-src 'self'; style-src 'self'; img-src 'self'; "
                                    "connect-src 'self'; form-action 'none'; base-uri 'none'; frame-ancestors 'none'"},
        {"X-Content-Type-Options", "nosniff"},
        {"Referrer-Policy", "no-referrer"},
        {"Cache-Control", "no-store"}};
    int connections = harness::countInOutput(sandbox.daemon, "Server accept client connect");
    for (const Row &row : rows) {
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
        for (const auto &[name, value] : hardening)
            EXPECT_EQ(res->get_header_value(name), value) << row.name;
    }
    EXPECT_EQ(harness::countInOutput(sandbox.daemon, "Server accept client connect"), connections);
}

TEST_F(ConsoleApi, DiscoversAndReadsTheReader)
{
    std::vector<cJSON *> found = post("/api/discover", "{}");
    ASSERT_EQ(found.size(), 1u);
    EXPECT_STREQ(cJSON_GetArrayItem(cJSON_GetObjectItem(found[0], "readers"), 0)->valuestring, "127.0.0.1");
    std::vector<cJSON *> rows = post("/api/read", R"({"readers":["127.0.0.1"]})");
    expectAllOk(rows, 1);
    EXPECT_EQ(devIdOf(rows[0]), 1);
}

// Runs `search` while forged answers "TcpReader Response" from ever new
// addresses 10.x.y.z reach its search port, sent after the real reader's
// answer (so that one is among the first); the search's time in ms.
long long underFlood(const std::function<void()> &search)
{
    int sniff = socket(AF_INET, SOCK_RAW | SOCK_CLOEXEC, IPPROTO_UDP), one = 1, port = 0;
    int raw = socket(AF_INET, SOCK_RAW | SOCK_CLOEXEC, IPPROTO_RAW);
    EXPECT_TRUE(sniff >= 0 && raw >= 0 && setsockopt(raw, SOL_SOCKET, SO_BROADCAST, &one, sizeof one) == 0);
    std::atomic<bool> done{false};
    long long start = nowMs();
    std::thread searching([&] { search(), done = true; });
    const std::string answer = "TcpReader Response";
    char seen[2048];
    pollfd waiting{sniff, POLLIN, 0};
    for (ssize_t n; !done && poll(&waiting, 1, 5000) == 1 && (n = recv(sniff, seen, sizeof seen, 0)) > 28;) {
        const udphdr *udp = reinterpret_cast<const udphdr *>(seen + 20);
        std::string payload(seen + 28, static_cast<size_t>(n - 28));
        if (ntohs(udp->dest) == 8000 && payload.find("CMD_SearchReader") != std::string::npos)
            port = udp->source;
        else if (port && udp->dest == port && payload == answer)
            break;
    }
    struct {
        iphdr ip;
        udphdr udp;
        char data[18];
    } packet{{5, 4, 0, htons(sizeof packet), 0, 0, 64, IPPROTO_UDP, 0, 0, INADDR_BROADCAST}, {}, {}};
    packet.udp.source = htons(8000);
    packet.udp.dest = static_cast<uint16_t>(port);
    packet.udp.len = htons(sizeof packet - sizeof packet.ip);
    memcpy(packet.data, answer.data(), sizeof packet.data);
    sockaddr_in everyone{AF_INET, 0, {INADDR_BROADCAST}, {}};
    for (uint32_t i = 1; port && !done && nowMs() - start < 10000; ++i) {
        packet.ip.saddr = htonl(0x0A000000 + i);
        sendto(raw, &packet, sizeof packet, 0, reinterpret_cast<sockaddr *>(&everyone), sizeof everyone);
    }
    searching.join();
    close(sniff);
    close(raw);
    return nowMs() - start;
}

TEST_F(ConsoleApi, AFloodOfForgedAnswersEndsWithTheWindowIsCappedAndReportedAndTheRealRowFills)
{
    std::vector<cJSON *> found;
    long long took = underFlood([&] { found = post("/api/discover", "{}"); });
    ASSERT_EQ(found.size(), 1u);
    EXPECT_LT(took, 2000) << "a discovery with a 1000 ms window";
    cJSON *list = cJSON_GetObjectItem(found[0], "readers");
    ASSERT_EQ(cJSON_GetArraySize(list), 4096);
    EXPECT_GT(cJSON_GetNumberValue(cJSON_GetObjectItem(found[0], "unlisted")), 0);
    std::unique_ptr<char, void (*)(void *)> text(cJSON_PrintUnformatted(list), free);
    std::vector<cJSON *> rows = post("/api/read", "{\"readers\":" + std::string(text.get()) + "}");
    EXPECT_EQ(rows.size(), 4096u);
    EXPECT_EQ(devIdOf(lineOf(rows, "127.0.0.1")), 1);
    EXPECT_NE(std::string(cJSON_GetStringValue(cJSON_GetObjectItem(lineOf(rows, "10.0.0.1"), "error")) ?: ""), "");
    // The command line's search has the same bounds and says what it left out.
    harness::Process cli;
    took = underFlood([&] {
        cli = harness::start({harness::binaryPath("rfidctl"), "discover", "--json"}, sandbox.dir + "/discover.out");
        harness::waitUntil([&] { return !harness::isRunning(cli); }, 30000);
    });
    std::string out = harness::output(cli);
    cJSON *json = parsed.emplace_back(cJSON_Parse(out.substr(0, out.find('\n')).c_str()), cJSON_Delete).get();
    EXPECT_LT(took, 2000);
    EXPECT_EQ(cJSON_GetArraySize(cJSON_GetObjectItem(json, "readers")), 4096) << out.substr(0, 200);
    EXPECT_GT(cJSON_GetNumberValue(cJSON_GetObjectItem(json, "unlisted")), 0);
    EXPECT_NE(out.find("more answers came from other addresses after the first 4096 readers"), std::string::npos);
}

// A reader at 10.9.0.2: a second daemon in network and mount namespaces of
// its own (its own sandbox directory, with reader id 2), on a veth pair.
harness::Process startSecondReader(const std::string &dir)
{
    EXPECT_EQ(harness::runProgram({harness::binaryPath("rfidd-provision"), "--root", dir, "--dev-id", "2"}), 0);
    harness::Process daemon = harness::start(
        {"/usr/bin/unshare", "-m", "-n", "--propagation", "private", "/bin/sh", "-c",
         "mount --bind \"$0\" \"$1\" && exec \"$2\"", dir, sandbox.dir, harness::binaryPath("rfidd-sandbox")},
        dir + "/daemon.out");
    std::string pid = std::to_string(daemon.pid);
    auto netns = [](const std::string &process) {
        std::error_code ignored;
        return std::filesystem::read_symlink("/proc/" + process + "/ns/net", ignored);
    };
    harness::waitUntil([&] { return netns(pid) != netns("self"); }, 10000);
    EXPECT_EQ(system(("PATH=$PATH:/usr/sbin:/sbin; ip link add second type veth peer name eth0 netns " + pid +
                      " && ip addr add 10.9.0.1/24 dev second && ip link set second up && nsenter -t " + pid +
                      " -n sh -c 'ip link set lo up && ip addr add 10.9.0.2/24 dev eth0 && ip link set eth0 up'")
                         .c_str()),
              0);
    return daemon;
}

TEST_F(ConsoleApi, SetsTwoReadersThatAreTwoDaemonsAtOnce)
{
    std::string dir = harness::tempDir("console-second");
    harness::Process second = startSecondReader(dir);
    EXPECT_TRUE(harness::waitUntil([&] { return devIdOf(post("/api/read", R"({"readers":["10.9.0.2"]})")[0]) == 2; },
                                   10000))
        << harness::output(second);
    const std::string readers = R"({"readers":["127.0.0.1","10.9.0.2"])";
    expectAllOk(post("/api/set", readers + R"(,"what":"id","values":{"id":"5"}})"), 2);
    std::vector<cJSON *> rows = post("/api/read", readers + "}");
    expectAllOk(rows, 2);
    EXPECT_EQ(devIdOf(lineOf(rows, "127.0.0.1")), 5);
    EXPECT_EQ(devIdOf(lineOf(rows, "10.9.0.2")), 5);
    EXPECT_EQ(harness::stop(second), 128 + SIGTERM) << harness::output(second);
    harness::removeTree(dir);
}

TEST_F(ConsoleApi, ControlReachesTheReaderModule)
{
    expectAllOk(post("/api/control", R"({"readers":["127.0.0.1"],"bits":"001000"})"), 1);
    bool seen = false;
    for (int waited = 0; !seen && waited < 10000; waited += 20, usleep(20000))
        seen = harness::readFile(sandbox.simLog).find("AA 00 01 05 99 01 00 00 00 9C BB") != std::string::npos;
    EXPECT_TRUE(seen) << harness::readFile(sandbox.simLog);
}

TEST_F(ConsoleApi, CardsArriveLiveOnceTheServerPointsHere)
{
    expectAllOk(post("/api/point", R"({"readers":["127.0.0.1"]})"), 1);
    std::string events;
    auto start = std::chrono::steady_clock::now();
    client.Get("/api/events", {{"X-Console-Token", token}}, [&](const char *data, size_t length) {
        events.append(data, length);
        return events.find("\"card\":\"" + CARD + "\"") == std::string::npos &&
               std::chrono::steady_clock::now() - start < std::chrono::seconds(60);
    });
    EXPECT_NE(events.find("event: card\ndata: {\"time\":"), std::string::npos) << events;
    EXPECT_NE(events.find("\"card\":\"" + CARD + "\""), std::string::npos) << events;
}

// A reader that sends its replies (130 bytes each) in pieces of `piece` bytes,
// `gapMs` apart, in place of the sandbox daemon: a row takes its 2 s at most
// in all, also when each reply alone would come within them.
TEST_F(ConsoleApi, EachRowIsBoundedByItsTimeHoweverTheReaderPacesItsBytes)
{
    const std::map<std::string, std::string> replies = {
        {"CMD_GetReaderId", R"({"response":1,"Data":{"devId":7}})"},
        {"CMD_GetNetConf", R"({"response":1,"Data":{"IP":"127.0.0.1","Mask":"255.0.0.0","Gateway":"","DNS":"",)"
                           R"("MAC":""}})"},
        {"CMD_GetServerConf", R"({"response":1,"type":0,"address":"127.0.0.1","port":"9"})"},
        {"CMD_GetTelegramContent", R"({"response":1,"readStyle":0,"keyType":0,"key":"FFFFFFFFFFFF","block":1,)"
                                   R"("firstChar":1,"lastChar":8})"}};
    harness::stop(sandbox.daemon);
    int listener = harness::listenTcp(8001);
    std::atomic<int> gapMs{0}, piece{1};
    std::atomic<bool> done{false};
    std::thread reader([&] {
        for (pollfd waiting{listener, POLLIN, 0}; !done;) {
            int fd = poll(&waiting, 1, 50) == 1 ? accept(listener, nullptr, nullptr) : -1;
            std::string request = fd >= 0 ? harness::recvAll(fd, 2000) : "", reply;
            for (const auto &[command, text] : replies)
                reply = request.find(command) != std::string::npos ? text : reply;
            if (!reply.empty())
                reply.insert(reply.size() - 1, ",\"pad\":\"" + std::string(120 - reply.size(), ' ') + "\"");
            for (size_t at = 0; at < reply.size() && harness::sendAll(fd, reply.substr(at, piece)); at += piece)
                usleep(gapMs * 1000);
            close(fd);
        }
    });
    const struct {
        int gapMs, piece;
        bool ok;
        int devId, maxMs; // devId -1: not read
    } rows[] = {{40, 20, true, 7, 2000}, {100, 10, false, 7, 4000}, {250, 1, false, -1, 4000}};
    for (const auto &row : rows) {
        gapMs = row.gapMs, piece = row.piece;
        long long start = nowMs();
        std::vector<cJSON *> lines = post("/api/read", R"({"readers":["127.0.0.1"]})");
        long long took = nowMs() - start;
        ASSERT_EQ(lines.size(), 1u);
        EXPECT_EQ(cJSON_IsTrue(cJSON_GetObjectItem(lines[0], "ok")), row.ok) << cJSON_PrintUnformatted(lines[0]);
        EXPECT_EQ(devIdOf(lines[0]), row.devId);
        EXPECT_LT(took, row.maxMs) << "a row of a reader that sends " << row.piece << " bytes every " << row.gapMs;
        printf("a reader that sends %d bytes every %d ms: its row took %lld ms\n", row.piece, row.gapMs, took);
    }
    done = true;
    reader.join();
    close(listener);
    EXPECT_TRUE(harness::startDaemon(sandbox));
}

} // namespace
