/*
 * rfidctl console's API against the sandbox daemon and rfid-sim. ctest runs
 * this inside a private network namespace (console_netns.sh), where the
 * search broadcast stays on the namespace's loopback.
 */
#include "tests/support/sandbox.h"

#include <cjson/cJSON.h>
#include <gtest/gtest.h>
#include <httplib.h>

#include <chrono>

namespace {

const std::string CARD = "12345678";

harness::Sandbox sandbox;
harness::Process console;
std::string token;

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

    httplib::Client client{"127.0.0.1", 8080};
    std::vector<std::unique_ptr<cJSON, void (*)(cJSON *)>> parsed;
};

TEST_F(ConsoleApi, RefusesBadRequestsBeforeAnyReaderHearsOfThem)
{
    struct Row {
        const char *name, *path, *host, *tokenGiven, *body;
        int status;
        const char *error;
    };
    const Row rows[] = {
        {"no token", "/api/read", nullptr, "", R"({"readers":["127.0.0.1"]})", 403, "wrong or missing access token"},
        {"wrong token", "/api/read", nullptr, "0123", R"({"readers":["127.0.0.1"]})", 403, "access token"},
        {"foreign Host", "/api/read", "evil.example:8080", nullptr, R"({"readers":["127.0.0.1"]})", 403,
         "Host header 'evil.example:8080'"},
        {"unknown path", "/api/reboot", nullptr, nullptr, "{}", 404, "unknown path"},
        {"bad JSON", "/api/read", nullptr, nullptr, "{readers", 400, "not a JSON object"},
        {"no readers", "/api/read", nullptr, nullptr, R"({"readers":[]})", 400, "must list 1 to"},
        {"port out of range", "/api/set", nullptr, nullptr,
         R"({"readers":["127.0.0.1"],"what":"server","values":{"ip":"127.0.0.1","port":"70000","code-type":"0"}})",
         400, "\"port\":\"must be a number from 0 to 65535, not '70000'\""},
        {"bad bits", "/api/control", nullptr, nullptr, R"({"readers":["127.0.0.1"],"bits":"0102"})", 400,
         "invalid BITS"},
        {"unconfirmed network setup", "/api/net", nullptr, nullptr,
         R"({"reader":"127.0.0.1","values":{"ip":"10.1.1.1"}})", 400, "reboot"},
    };
    int connections = harness::countInOutput(sandbox.daemon, "Server accept client connect");
    for (const Row &row : rows) {
        httplib::Headers headers{{"X-Console-Token", row.tokenGiven ? row.tokenGiven : token}};
        if (row.host)
            headers.emplace("Host", row.host);
        auto res = client.Post(row.path, headers, row.body, "application/json");
        ASSERT_TRUE(res) << row.name;
        EXPECT_EQ(res->status, row.status) << row.name << ": " << res->body;
        EXPECT_NE(res->body.find(row.error), std::string::npos) << row.name << ": " << res->body;
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

TEST_F(ConsoleApi, SetsManyReadersAtOnce)
{
    // Both addresses reach the one sandbox daemon.
    const std::string readers = R"({"readers":["127.0.0.1","127.0.0.2"])";
    expectAllOk(post("/api/set", readers + R"(,"what":"id","values":{"id":"5"}})"), 2);
    std::vector<cJSON *> rows = post("/api/read", readers + "}");
    expectAllOk(rows, 2);
    EXPECT_EQ(devIdOf(rows[0]), 5);
    EXPECT_EQ(devIdOf(rows[1]), 5);
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
    client.Get(("/api/events?token=" + token).c_str(), [&](const char *data, size_t length) {
        events.append(data, length);
        return events.find("\"card\":\"" + CARD + "\"") == std::string::npos &&
               std::chrono::steady_clock::now() - start < std::chrono::seconds(60);
    });
    EXPECT_NE(events.find("event: card\ndata: {\"time\":"), std::string::npos) << events;
    EXPECT_NE(events.find("\"card\":\"" + CARD + "\""), std::string::npos) << events;
}

} // namespace
