/*
 * rfidctl console: a local web page over the reader protocols of readers.cpp.
 *
 * One HTTP server (cpp-httplib) serves the compiled-in page and a small JSON
 * API. The random token printed in the URL is exchanged for a session cookie
 * when the page loads (HttpOnly, SameSite=Strict), and every API call carries
 * that cookie or the token in a header, never in its URL. Every request names
 * this console's own address in its Host header, and every change comes from
 * the console's own page (Origin) as application/json, so that other pages
 * in the same browser (or a DNS name rebound to this address) cannot drive
 * it; every response forbids framing, outside resources and sniffing.
 * Requests are checked completely before anything goes to a reader.
 *
 * Work on several readers runs side by side, and each reader's result is
 * sent as one JSON line as soon as it is there (application/x-ndjson): a
 * silent or trickling reader holds only its own line, for its 2 s at most.
 * With --listen PORT the upstream server of `rfidctl listen` runs on a thread
 * of its own, and its cards go to the page as server-sent events.
 *
 * The Site panel sends the site file's text with each call and gets what
 * `rfidctl site` gives: the plan, the results of apply, an export's text.
 * Commissioning runs on a thread of its own (one at a time), keeps the file
 * with its commissioned rows in memory and its log for the page to fetch.
 */
#include "tools/rfidctl/console.h"
#include "tools/rfidctl/readers.h"
#include "tools/rfidctl/site.h"

#include <arpa/inet.h>
#include <httplib.h>
#include <ifaddrs.h>
#include <poll.h>
#include <signal.h>
#include <sys/eventfd.h>
#include <sys/random.h>
#include <sys/signalfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cmath>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <deque>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

// A request may name every reader one discovery can list; the page still
// sends them in batches, so that a row shows its result early.
static constexpr size_t MAX_READERS_PER_REQUEST = MAX_DISCOVERED_READERS;
static constexpr size_t MAX_PARALLEL_READERS = 32;
// All the settings of one row are read within this, however a reader paces
// its bytes.
static constexpr int ROW_LIMIT_MS = DEFAULT_REPLY_TIMEOUT_MS;
static const char TOKEN_HEADER[] = "X-Console-Token";
// Every response: only the console's own files may run or load, no page may
// frame it, and nothing of it is kept or passed on.
static const httplib::Headers SECURITY_HEADERS = {
    {"Content-Security-Policy", "default-src 'none'; script-src 'self'; style-src 'self'; img-src 'self'; "
                                "connect-src 'self'; form-action 'none'; base-uri 'none'; frame-ancestors 'none'"},
    {"X-Frame-Options", "DENY"},
    {"X-Content-Type-Options", "nosniff"},
    {"Referrer-Policy", "no-referrer"},
    {"Cache-Control", "no-store"},
};
static constexpr size_t KEPT_CARDS = 100;
static constexpr int EVENT_KEEPALIVE_S = 15;
static constexpr int HTTP_THREADS = 24;

// The console's state: fixed after start-up, except the card feed.
struct ConsoleState {
    std::string token;   // printed in the URL; also taken in TOKEN_HEADER
    std::string session; // the cookie's value that the page gets for the token
    std::string cookie;  // the cookie's name: one per port, so consoles side by side keep theirs
    std::vector<std::string> hosts; // Host header values that name this console
    in_addr discoverFrom{};
    int listenPort = 0; // 0: no card server
    std::atomic<bool> stopping{false};
    std::mutex mutex; // guards the card feed
    std::condition_variable cardArrived;
    std::deque<std::string> cards; // the last KEPT_CARDS, as cardJson
    unsigned long long cardCount = 0;
};

static ConsoleState state;

// Commissioning of new boards from the Site panel.
static constexpr size_t KEPT_COMMISSION_EVENTS = 5000;
struct CommissionState {
    std::mutex mutex; // guards everything but `stop`
    std::thread thread;
    bool running = false;
    std::atomic<int> stop{0}; // 1: after the board in hand; 2: at once
    std::string file;         // the site file, with the rows commissioned so far
    std::deque<std::string> events; // the log: JSON objects with "event" and "text"
    size_t dropped = 0;             // events no longer kept, before events.front()
    int status = -1;                // the run's exit status once it ended
};

static CommissionState commission;

// ------------------------------------------------------------------ replies

static void sendJson(httplib::Response &res, int status, cJSON *body)
{
    JsonPtr owned(body);
    res.status = status;
    res.set_content(printUnformatted(owned.get()), "application/json");
}

static void sendError(httplib::Response &res, int status, const std::string &message, cJSON *fields = nullptr)
{
    cJSON *body = cJSON_CreateObject();
    cJSON_AddItemToObject(body, "error", cJSON_CreateString(message.c_str()));
    if (fields)
        cJSON_AddItemToObject(body, "fields", fields);
    sendJson(res, status, body);
}

// One reader's result: {"reader":..., "ok":..., "error":...} and the
// members of `extra`.
static cJSON *result(const std::string &reader, int rc, const std::string &error, cJSON *extra = nullptr)
{
    cJSON *object = extra ? extra : cJSON_CreateObject();
    cJSON_AddItemToObject(object, "reader", cJSON_CreateString(reader.c_str()));
    cJSON_AddItemToObject(object, "ok", cJSON_CreateBool(rc == RC_OK));
    if (rc != RC_OK)
        cJSON_AddItemToObject(object, "error", cJSON_CreateString(error.c_str()));
    return object;
}

static std::string resultLine(const std::string &reader, int rc, const std::string &error, cJSON *extra = nullptr)
{
    JsonPtr line(result(reader, rc, error, extra));
    return printUnformatted(line.get());
}

// ------------------------------------------------------------------ requests

// Compared in full whatever the first difference, so the time taken tells
// nothing about the secret.
static bool secretMatches(const std::string &given, const std::string &secret)
{
    unsigned char difference = given.size() == secret.size() ? 0 : 1;
    for (size_t i = 0; i < secret.size(); ++i)
        difference |= static_cast<unsigned char>(secret[i] ^ (i < given.size() ? given[i] : 0));
    return difference == 0;
}

// The value of cookie `name` in the Cookie header ("" when absent).
static std::string cookieValue(const httplib::Request &req, const std::string &name)
{
    std::string header = req.get_header_value("Cookie");
    for (size_t at = 0; at < header.size();) {
        size_t end = header.find(';', at);
        if (end == std::string::npos)
            end = header.size();
        size_t first = header.find_first_not_of(' ', at);
        if (first < end && header.compare(first, name.size() + 1, name + "=") == 0)
            return header.substr(first + name.size() + 1, end - first - name.size() - 1);
        at = end + 1;
    }
    return "";
}

static httplib::Server::HandlerResponse refuse(httplib::Response &res, int status, const std::string &message)
{
    sendError(res, status, "refused: " + message);
    return httplib::Server::HandlerResponse::Handled;
}

static httplib::Server::HandlerResponse admit(const httplib::Request &req, httplib::Response &res)
{
    std::string host = req.get_header_value("Host");
    if (std::find(state.hosts.begin(), state.hosts.end(), host) == state.hosts.end())
        return refuse(res, 403, "the Host header '" + host + "' does not name this console (" + state.hosts.front() +
                                    ")");
    if (req.path.rfind("/api/", 0) != 0)
        return httplib::Server::HandlerResponse::Unhandled;
    // A token in a URL ends up in histories, logs and Referer headers.
    if (req.has_param("token"))
        return refuse(res, 403, "the API takes no token in the URL; send it in the header " +
                                    std::string(TOKEN_HEADER) + " (the page uses its session cookie)");
    if (!secretMatches(req.get_header_value(TOKEN_HEADER), state.token) &&
        !secretMatches(cookieValue(req, state.cookie), state.session))
        return refuse(res, 403, "wrong or missing access token; open the URL that rfidctl console printed");
    if (req.method != "GET") {
        // A browser names the page a request comes from; tools send no
        // Origin and no fetch metadata at all.
        std::string origin = req.get_header_value("Origin");
        if (req.has_header("Origin") && origin != "http://" + host)
            return refuse(res, 403, "a change from another web page (Origin '" + origin + "')");
        if (!req.has_header("Origin") && req.has_header("Sec-Fetch-Site"))
            return refuse(res, 403, "a change from a browser that does not say which page sent it (no Origin)");
        std::string type = req.get_header_value("Content-Type");
        if (type.substr(0, type.find(';')) != "application/json")
            return refuse(res, 415, "the body of a change must be application/json, not '" + type + "'");
    }
    return httplib::Server::HandlerResponse::Unhandled;
}

// The request body as a JSON object, or a 400 already set.
static JsonPtr bodyOf(const httplib::Request &req, httplib::Response &res)
{
    JsonPtr body(cJSON_ParseWithLength(req.body.data(), req.body.size()));
    if (!cJSON_IsObject(body.get())) {
        sendError(res, 400, "the request body is not a JSON object");
        return nullptr;
    }
    return body;
}

// A value of the page as text: strings as they are, whole numbers in decimal.
static bool valueText(const cJSON *item, std::string *text)
{
    if (cJSON_IsString(item)) {
        *text = item->valuestring;
        return true;
    }
    if (cJSON_IsNumber(item) && std::fabs(item->valuedouble) < 1e15) {
        char number[32];
        if (item->valuedouble == std::floor(item->valuedouble))
            snprintf(number, sizeof number, "%.0f", item->valuedouble);
        else
            snprintf(number, sizeof number, "%g", item->valuedouble);
        *text = number;
        return true;
    }
    return false;
}

// The "readers" list: IPv4 addresses, at least one. False with a 400 set.
static bool readersOf(const cJSON *body, httplib::Response &res, std::vector<std::string> *readers)
{
    const cJSON *list = cJSON_GetObjectItemCaseSensitive(body, "readers");
    int count = cJSON_GetArraySize(list);
    if (!cJSON_IsArray(list) || count == 0 || static_cast<size_t>(count) > MAX_READERS_PER_REQUEST) {
        sendError(res, 400, "\"readers\" must list 1 to " + std::to_string(MAX_READERS_PER_REQUEST) +
                                " reader addresses");
        return false;
    }
    for (const cJSON *item = list->child; item; item = item->next) {
        in_addr address{};
        if (!cJSON_IsString(item) || !parseIpv4(item->valuestring, &address)) {
            sendError(res, 400, "\"readers\" holds something that is no IPv4 address (a.b.c.d): " +
                                    printUnformatted(item));
            return false;
        }
        readers->push_back(item->valuestring);
    }
    return true;
}

// The "values" of a change, checked against `fields` as the command line
// checks its options; empty texts count as not given. False with a 400 that
// names every field in trouble.
static bool valuesOf(const cJSON *body, const std::vector<SetField> &fields, httplib::Response &res,
                     std::vector<std::string> *texts, std::vector<bool> *given)
{
    const cJSON *values = cJSON_GetObjectItemCaseSensitive(body, "values");
    if (!cJSON_IsObject(values)) {
        sendError(res, 400, "\"values\" must be an object of field names and values");
        return false;
    }
    JsonPtr problems(cJSON_CreateObject());
    for (const cJSON *item = values->child; item; item = item->next) {
        bool known = false;
        for (const SetField &field : fields)
            known = known || strcmp(field.name, item->string) == 0;
        if (!known)
            cJSON_AddItemToObject(problems.get(), item->string, cJSON_CreateString("is no field of this change"));
    }
    for (const SetField &field : fields) {
        std::string text;
        const cJSON *item = cJSON_GetObjectItemCaseSensitive(values, field.name);
        std::string problem;
        if (item && !valueText(item, &text))
            problem = "must be text or a whole number";
        else if (text.empty() && field.required)
            problem = "missing";
        else if (!text.empty())
            problem = fieldProblem(field, text);
        if (!problem.empty())
            cJSON_AddItemToObject(problems.get(), field.name, cJSON_CreateString(problem.c_str()));
        texts->push_back(text);
        given->push_back(!text.empty());
    }
    if (cJSON_GetArraySize(problems.get()) > 0) {
        sendError(res, 400, "nothing was sent: correct the marked values", problems.release());
        return false;
    }
    return true;
}

static cJSON *dataOf(const std::vector<SetField> &fields, const std::vector<std::string> &texts,
                     const std::vector<bool> &given)
{
    std::vector<const std::string *> values;
    for (size_t i = 0; i < texts.size(); ++i)
        values.push_back(given[i] ? &texts[i] : nullptr);
    return setData(fields, values);
}

// ------------------------------------------------------------------ per reader

using ReaderWork = std::function<std::string(const std::string &reader, const in_addr &host)>;

// Runs `work` for every reader, several at once, and sends each result line
// as soon as it is there. A page that reads slowly holds the workers (never
// more than MAX_PARALLEL_READERS lines wait); one that goes away ends the
// work after the readers in hand.
static void streamPerReader(httplib::Response &res, const std::vector<std::string> &readers, ReaderWork work)
{
    res.set_chunked_content_provider("application/x-ndjson", [readers, work](size_t, httplib::DataSink &sink) {
        struct Batch {
            std::mutex mutex;
            std::condition_variable changed; // a line is waiting
            std::condition_variable room;    // a line was taken, or the page went away
            std::deque<std::string> lines;
            size_t next = 0;
            bool gone = false;
        } batch;
        auto worker = [&]() {
            for (;;) {
                size_t index;
                {
                    std::unique_lock<std::mutex> lock(batch.mutex);
                    batch.room.wait(lock, [&] { return batch.gone || batch.lines.size() < MAX_PARALLEL_READERS; });
                    if (batch.gone || batch.next >= readers.size())
                        return;
                    index = batch.next++;
                }
                in_addr host{};
                parseIpv4(readers[index], &host);
                std::string line = work(readers[index], host) + "\n";
                std::lock_guard<std::mutex> lock(batch.mutex);
                batch.lines.push_back(std::move(line));
                batch.changed.notify_one();
            }
        };
        std::vector<std::thread> workers;
        for (size_t i = 0; i < std::min(readers.size(), MAX_PARALLEL_READERS); ++i)
            workers.emplace_back(worker);
        bool open = true;
        for (size_t written = 0; open && written < readers.size(); ++written) {
            std::unique_lock<std::mutex> lock(batch.mutex);
            batch.changed.wait(lock, [&] { return !batch.lines.empty(); });
            std::string line = std::move(batch.lines.front());
            batch.lines.pop_front();
            batch.room.notify_one();
            lock.unlock();
            open = sink.write(line.data(), line.size());
        }
        {
            std::lock_guard<std::mutex> lock(batch.mutex);
            batch.gone = true;
            batch.room.notify_all();
        }
        for (std::thread &thread : workers)
            thread.join();
        if (open)
            sink.done();
        return open;
    });
}

// All four settings of one reader, within ROW_LIMIT_MS in all.
static std::string readReader(const std::string &reader, const in_addr &host)
{
    static const char *const SETTINGS[] = {"id", "net", "server", "telegram"};
    cJSON *line = cJSON_CreateObject();
    cJSON *settings = cJSON_AddObjectToObject(line, "settings");
    int firstRc = RC_OK;
    std::string errors;
    long long deadline = monotonicMs() + ROW_LIMIT_MS;
    for (const char *what : SETTINGS) {
        JsonPtr reply;
        std::string error;
        long long left = deadline - monotonicMs();
        int rc = left > 0 ? readSetting(host, what, static_cast<int>(left), &reply, &error) : RC_NO_ANSWER;
        if (rc == RC_NO_ANSWER && monotonicMs() >= deadline)
            error = (left > 0 ? error + "; " : "") + "the " + std::to_string(ROW_LIMIT_MS) +
                    " ms for all of the reader's settings ran out at " + what;
        if (rc == RC_OK)
            cJSON_AddItemToObject(settings, what, settingOf(what, reply.get()).release());
        if (rc != RC_OK && firstRc == RC_OK)
            firstRc = rc;
        if (rc != RC_OK)
            errors += (errors.empty() ? "" : "; ") + error;
        // A reader that cannot be reached would only repeat its time-out.
        if (rc == RC_NO_ANSWER || rc == RC_UNREACHABLE)
            break;
    }
    return resultLine(reader, firstRc, errors, line);
}

// The address of this host on the way to `reader` (no packet is sent).
static bool localAddressToward(const in_addr &reader, in_addr *local)
{
    int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return false;
    sockaddr_in peer{};
    peer.sin_family = AF_INET;
    peer.sin_addr = reader;
    peer.sin_port = htons(READER_CONFIG_PORT);
    sockaddr_in own{};
    socklen_t length = sizeof own;
    bool found = connect(fd, reinterpret_cast<sockaddr *>(&peer), sizeof peer) == 0 &&
                 getsockname(fd, reinterpret_cast<sockaddr *>(&own), &length) == 0;
    close(fd);
    *local = own.sin_addr;
    return found;
}

// ------------------------------------------------------------------ site

// The checked site file of a request. False with a 400 that lists every
// problem, each naming its row and column.
static bool siteFileOf(const cJSON *body, httplib::Response &res, SiteFile *file)
{
    const cJSON *text = cJSON_GetObjectItemCaseSensitive(body, "file");
    if (!cJSON_IsString(text)) {
        sendError(res, 400, "\"file\" must be the text of the site file");
        return false;
    }
    std::vector<std::string> problems;
    if (parseSiteText(text->valuestring, file, &problems))
        return true;
    cJSON *answer = cJSON_CreateObject();
    cJSON_AddStringToObject(answer, "error", "nothing was sent: the site file has errors");
    cJSON *list = cJSON_AddArrayToObject(answer, "problems");
    for (const std::string &problem : problems)
        cJSON_AddItemToArray(list, cJSON_CreateString(problem.c_str()));
    sendJson(res, 400, answer);
    return false;
}

// A site result, or the failure of the search behind it.
static void sendSiteResult(httplib::Response &res, int rc, JsonPtr json, const std::string &error)
{
    if (!json)
        return sendError(res, rc == RC_USAGE ? 400 : 500, error);
    cJSON_AddNumberToObject(json.get(), "status", rc);
    sendJson(res, 200, json.release());
}

static void apiSiteExport(const httplib::Request &, httplib::Response &res)
{
    std::string csv, error;
    size_t readers = 0;
    std::vector<std::string> problems;
    int rc = siteExportCsv(state.discoverFrom, &csv, &readers, &problems, &error);
    if (rc == RC_NO_ANSWER || rc == RC_USAGE || rc == RC_UNREACHABLE)
        return sendError(res, rc == RC_NO_ANSWER ? 404 : rc == RC_USAGE ? 400 : 500, error);
    cJSON *body = cJSON_CreateObject();
    cJSON_AddStringToObject(body, "csv", csv.c_str());
    cJSON_AddNumberToObject(body, "readers", static_cast<double>(readers));
    cJSON *list = cJSON_AddArrayToObject(body, "problems");
    for (const std::string &problem : problems)
        cJSON_AddItemToArray(list, cJSON_CreateString(problem.c_str()));
    sendJson(res, 200, body);
}

static void apiSitePlan(const httplib::Request &req, httplib::Response &res)
{
    JsonPtr body = bodyOf(req, res);
    SiteFile file;
    if (!body || !siteFileOf(body.get(), res, &file))
        return;
    JsonPtr plan;
    std::string error;
    int rc = sitePlanJson(file, state.discoverFrom, &plan, &error);
    sendSiteResult(res, rc, std::move(plan), error);
}

static void apiSiteApply(const httplib::Request &req, httplib::Response &res)
{
    JsonPtr body = bodyOf(req, res);
    SiteFile file;
    if (!body || !siteFileOf(body.get(), res, &file))
        return;
    bool network = cJSON_IsTrue(cJSON_GetObjectItemCaseSensitive(body.get(), "network"));
    if (!cJSON_IsTrue(cJSON_GetObjectItemCaseSensitive(body.get(), "confirm")))
        return sendError(res, 400, "apply changes every reader the plan names: send \"confirm\": true to go ahead");
    if (network && !cJSON_IsTrue(cJSON_GetObjectItemCaseSensitive(body.get(), "confirmNetwork")))
        return sendError(res, 400, "network setups make their readers reboot: confirm them on their own with "
                                   "\"confirmNetwork\": true");
    JsonPtr result;
    std::string error;
    int rc = siteApplyJson(file, network, state.discoverFrom, &result, &error);
    sendSiteResult(res, rc, std::move(result), error);
}

// One line of the commissioning log, kept for the page.
static void keepCommissionEvent(const std::string &text, cJSON *json)
{
    JsonPtr event(json ? json : cJSON_CreateObject());
    if (!json)
        cJSON_AddStringToObject(event.get(), "event", "note");
    cJSON_AddStringToObject(event.get(), "text", text.c_str());
    std::lock_guard<std::mutex> hold(commission.mutex);
    commission.events.push_back(printUnformatted(event.get()));
    if (commission.events.size() > KEPT_COMMISSION_EVENTS) {
        commission.events.pop_front();
        ++commission.dropped;
    }
}

static void apiSiteCommission(const httplib::Request &req, httplib::Response &res)
{
    JsonPtr body = bodyOf(req, res);
    SiteFile file;
    if (!body || !siteFileOf(body.get(), res, &file))
        return;
    std::string factory = "192.168.0.100";
    const cJSON *item = cJSON_GetObjectItemCaseSensitive(body.get(), "factory");
    in_addr address{};
    if (item && !(cJSON_IsString(item) && (!*item->valuestring || parseIpv4(item->valuestring, &address)))) {
        cJSON *problems = cJSON_CreateObject();
        cJSON_AddStringToObject(problems, "factory", "needs an IPv4 address (a.b.c.d)");
        return sendError(res, 400, "nothing was sent: correct the marked values", problems);
    }
    if (item && *item->valuestring)
        factory = item->valuestring;
    std::lock_guard<std::mutex> hold(commission.mutex);
    if (commission.running)
        return sendError(res, 409, "commissioning runs already; stop it first");
    if (commission.thread.joinable())
        commission.thread.join(); // the last run, ended
    commission.file = cJSON_GetObjectItemCaseSensitive(body.get(), "file")->valuestring;
    commission.events.clear();
    commission.dropped = 0;
    commission.status = -1;
    commission.stop = 0;
    commission.running = true;
    commission.thread = std::thread([factory] {
        SiteSource source{[](SiteFile *rows, std::vector<std::string> *problems) {
                              std::lock_guard<std::mutex> lock(commission.mutex);
                              return parseSiteText(commission.file, rows, problems);
                          },
                          [](const std::string &ip, const std::string &stamp, std::string *error) {
                              std::lock_guard<std::mutex> lock(commission.mutex);
                              return recordCommissionedText(&commission.file, ip, stamp, error);
                          }};
        std::vector<std::string> problems;
        int rc = siteCommissionRun(source, factory, state.discoverFrom, DEFAULT_REPLY_TIMEOUT_MS, commission.stop,
                                   keepCommissionEvent, &problems);
        if (!problems.empty()) {
            cJSON *event = cJSON_CreateObject();
            cJSON_AddStringToObject(event, "event", "problems");
            cJSON *list = cJSON_AddArrayToObject(event, "problems");
            std::string text;
            for (const std::string &problem : problems) {
                cJSON_AddItemToArray(list, cJSON_CreateString(problem.c_str()));
                text += (text.empty() ? "" : "\n") + problem;
            }
            keepCommissionEvent(text, event);
        }
        std::lock_guard<std::mutex> lock(commission.mutex);
        commission.running = false;
        commission.status = rc;
    });
    cJSON *answer = cJSON_CreateObject();
    cJSON_AddBoolToObject(answer, "running", true);
    cJSON_AddStringToObject(answer, "factory", factory.c_str());
    sendJson(res, 200, answer);
}

// Where commissioning stands: the log from event `from` on, the file with
// its commissioned rows, and once it ended its exit status.
static void apiSiteCommissionState(const httplib::Request &req, httplib::Response &res)
{
    long long from = 0;
    if (req.has_param("from") && !parseInteger(req.get_param_value("from"), 0, 1LL << 40, &from))
        return sendError(res, 400, "\"from\" must be the number of log lines the page has");
    cJSON *body = cJSON_CreateObject();
    std::lock_guard<std::mutex> hold(commission.mutex);
    cJSON_AddBoolToObject(body, "running", commission.running);
    size_t first = std::max(static_cast<size_t>(from), commission.dropped);
    cJSON *events = cJSON_AddArrayToObject(body, "events");
    for (size_t n = first; n < commission.dropped + commission.events.size(); ++n)
        cJSON_AddItemToArray(events, cJSON_Parse(commission.events[n - commission.dropped].c_str()));
    cJSON_AddNumberToObject(body, "next", static_cast<double>(commission.dropped + commission.events.size()));
    cJSON_AddStringToObject(body, "file", commission.file.c_str());
    if (commission.running || commission.status < 0)
        cJSON_AddNullToObject(body, "status");
    else
        cJSON_AddNumberToObject(body, "status", commission.status);
    sendJson(res, 200, body);
}

// The first stop ends commissioning once the board in hand is done, a
// second one at once.
static void apiSiteCommissionStop(const httplib::Request &, httplib::Response &res)
{
    commission.stop.fetch_add(1);
    cJSON *body = cJSON_CreateObject();
    std::lock_guard<std::mutex> hold(commission.mutex);
    cJSON_AddBoolToObject(body, "running", commission.running);
    sendJson(res, 200, body);
}

// ------------------------------------------------------------------ API

static void apiDiscover(const httplib::Request &, httplib::Response &res)
{
    std::vector<std::string> readers;
    std::string error;
    long long start = monotonicMs();
    long long lastAnswer = start;
    unsigned long long unlisted = 0;
    int rc = discoverReaders(state.discoverFrom, DEFAULT_DISCOVER_TIMEOUT_MS, &readers,
                             [&](const std::string &) { lastAnswer = monotonicMs(); }, &error, &unlisted);
    if (rc != RC_OK)
        return sendError(res, rc == RC_USAGE ? 400 : 500, error);
    cJSON *body = cJSON_CreateObject();
    cJSON *list = cJSON_AddArrayToObject(body, "readers");
    for (const std::string &reader : readers)
        cJSON_AddItemToArray(list, cJSON_CreateString(reader.c_str()));
    cJSON_AddNumberToObject(body, "lastAnswerMs", static_cast<double>(lastAnswer - start));
    cJSON_AddNumberToObject(body, "unlisted", static_cast<double>(unlisted));
    cJSON_AddNumberToObject(body, "limit", static_cast<double>(MAX_DISCOVERED_READERS));
    sendJson(res, 200, body);
}

static void apiRead(const httplib::Request &req, httplib::Response &res)
{
    JsonPtr body = bodyOf(req, res);
    std::vector<std::string> readers;
    if (body && readersOf(body.get(), res, &readers))
        streamPerReader(res, readers, readReader);
}

static void apiSet(const httplib::Request &req, httplib::Response &res)
{
    JsonPtr body = bodyOf(req, res);
    std::vector<std::string> readers;
    if (!body || !readersOf(body.get(), res, &readers))
        return;
    const cJSON *what = cJSON_GetObjectItemCaseSensitive(body.get(), "what");
    std::string name = cJSON_IsString(what) ? what->valuestring : "";
    if (name != "id" && name != "server" && name != "telegram")
        return sendError(res, 400, "\"what\" must be \"id\", \"server\" or \"telegram\" (a network setup goes to "
                                   "one reader at a time, through /api/net)");
    std::vector<SetField> fields = setFields(name);
    std::vector<std::string> texts;
    std::vector<bool> given;
    if (!valuesOf(body.get(), fields, res, &texts, &given))
        return;
    const char *command = setCommand(name);
    streamPerReader(res, readers, [=](const std::string &reader, const in_addr &host) {
        JsonPtr reply;
        std::string error;
        int rc = sendSetting(host, command, dataOf(fields, texts, given), DEFAULT_REPLY_TIMEOUT_MS, &reply, &error);
        return resultLine(reader, rc, error);
    });
}

static void apiPoint(const httplib::Request &req, httplib::Response &res)
{
    JsonPtr body = bodyOf(req, res);
    std::vector<std::string> readers;
    if (!body || !readersOf(body.get(), res, &readers))
        return;
    if (state.listenPort == 0)
        return sendError(res, 409, "this console runs no card server: start it with --listen PORT");
    std::string codeType = "0";
    const cJSON *item = cJSON_GetObjectItemCaseSensitive(body.get(), "code-type");
    std::vector<SetField> fields = setFields("server");
    if (item && (!valueText(item, &codeType) || !fieldProblem(fields[2], codeType).empty())) {
        cJSON *problems = cJSON_CreateObject();
        cJSON_AddItemToObject(problems, "code-type", cJSON_CreateString(fieldProblem(fields[2], codeType).c_str()));
        return sendError(res, 400, "nothing was sent: correct the marked values", problems);
    }
    std::string port = std::to_string(state.listenPort);
    streamPerReader(res, readers, [=](const std::string &reader, const in_addr &host) {
        in_addr local{};
        if (!localAddressToward(host, &local))
            return resultLine(reader, RC_UNREACHABLE, "no route to " + reader);
        std::string ip = addressText(local);
        JsonPtr reply;
        std::string error;
        int rc = sendSetting(host, "CMD_SetServerConf", setData(fields, {&ip, &port, &codeType}),
                             DEFAULT_REPLY_TIMEOUT_MS, &reply, &error);
        cJSON *extra = cJSON_CreateObject();
        cJSON_AddItemToObject(extra, "server", cJSON_CreateString((ip + ":" + port).c_str()));
        return resultLine(reader, rc, error, extra);
    });
}

static void apiNet(const httplib::Request &req, httplib::Response &res)
{
    JsonPtr body = bodyOf(req, res);
    if (!body)
        return;
    const cJSON *reader = cJSON_GetObjectItemCaseSensitive(body.get(), "reader");
    in_addr host{};
    if (!cJSON_IsString(reader) || !parseIpv4(reader->valuestring, &host))
        return sendError(res, 400, "\"reader\" must be the address of the one reader to set up (a.b.c.d)");
    std::vector<SetField> fields = setFields("net");
    std::vector<std::string> texts;
    std::vector<bool> given;
    if (!valuesOf(body.get(), fields, res, &texts, &given))
        return;
    if (std::find(given.begin(), given.end(), true) == given.end())
        return sendError(res, 400, "give at least one of ip, mask, gateway, dns, mac");
    if (!cJSON_IsTrue(cJSON_GetObjectItemCaseSensitive(body.get(), "confirm")))
        return sendError(res, 400, "a network setup makes the reader reboot: send \"confirm\": true to go ahead");
    JsonPtr reply;
    std::string error;
    int rc = sendSetting(host, "CMD_SetNetConf", dataOf(fields, texts, given), DEFAULT_REPLY_TIMEOUT_MS, &reply,
                         &error);
    cJSON *extra = cJSON_CreateObject();
    cJSON_AddItemToObject(extra, "address", cJSON_CreateString(given[0] ? texts[0].c_str() : reader->valuestring));
    sendJson(res, 200, result(reader->valuestring, rc, error, extra));
}

static void apiControl(const httplib::Request &req, httplib::Response &res)
{
    JsonPtr body = bodyOf(req, res);
    std::vector<std::string> readers;
    if (!body || !readersOf(body.get(), res, &readers))
        return;
    const cJSON *item = cJSON_GetObjectItemCaseSensitive(body.get(), "bits");
    std::string bits = cJSON_IsString(item) ? item->valuestring : "";
    ControlValues values;
    if (!parseBits(bits, &values)) {
        cJSON *problems = cJSON_CreateObject();
        cJSON_AddItemToObject(problems, "bits", cJSON_CreateString(bitsProblem(bits).c_str()));
        return sendError(res, 400, "nothing was sent: correct the marked values", problems);
    }
    streamPerReader(res, readers, [bits](const std::string &reader, const in_addr &host) {
        std::string error;
        int rc = sendControl(host, bits, DEFAULT_REPLY_TIMEOUT_MS, &error);
        return resultLine(reader, rc, error);
    });
}

static void apiInfo(const httplib::Request &, httplib::Response &res)
{
    cJSON *body = cJSON_CreateObject();
    cJSON_AddItemToObject(body, "listen",
                          state.listenPort ? cJSON_CreateNumber(state.listenPort) : cJSON_CreateNull());
    sendJson(res, 200, body);
}

// Server-sent events: every card, starting with the ones kept so far.
static void apiEvents(const httplib::Request &, httplib::Response &res)
{
    unsigned long long seen = 0;
    res.set_chunked_content_provider("text/event-stream", [seen](size_t, httplib::DataSink &sink) mutable {
        std::string text;
        {
            std::unique_lock<std::mutex> lock(state.mutex);
            state.cardArrived.wait_for(lock, std::chrono::seconds(EVENT_KEEPALIVE_S),
                                       [&] { return state.stopping || state.cardCount > seen; });
            if (state.stopping)
                return false;
            unsigned long long first = state.cardCount - state.cards.size();
            for (unsigned long long n = std::max(seen, first); n < state.cardCount; ++n)
                text += "event: card\ndata: " + state.cards[n - first] + "\n\n";
            seen = state.cardCount;
        }
        if (text.empty())
            text = ": still here\n\n";
        return sink.write(text.data(), text.size());
    });
}

// The page's files. The page itself, opened with the printed token, also
// gets the session cookie; its script then drops the token from the address.
static void serveAsset(const httplib::Request &req, httplib::Response &res)
{
    if (req.path == "/" && req.has_param("token")) {
        if (!secretMatches(req.get_param_value("token"), state.token))
            return sendError(res, 403, "refused: wrong access token; open the URL that rfidctl console printed");
        res.set_header("Set-Cookie", state.cookie + "=" + state.session + "; HttpOnly; SameSite=Strict; Path=/");
    }
    for (size_t i = 0; i < CONSOLE_ASSET_COUNT; ++i)
        if (req.path == CONSOLE_ASSETS[i].path) {
            res.set_content(reinterpret_cast<const char *>(CONSOLE_ASSETS[i].data), CONSOLE_ASSETS[i].size,
                            CONSOLE_ASSETS[i].type);
            return;
        }
    sendError(res, 404, "unknown path: " + req.path);
}

// ------------------------------------------------------------------ start-up

static bool randomSecret(std::string *token)
{
    unsigned char bytes[16];
    if (getrandom(bytes, sizeof bytes, 0) != static_cast<ssize_t>(sizeof bytes))
        return false;
    char hex[3];
    for (unsigned char byte : bytes) {
        snprintf(hex, sizeof hex, "%02x", byte);
        *token += hex;
    }
    return true;
}

// "ADDR:PORT" into its parts; false for anything else.
static bool parseEndpoint(const std::string &text, in_addr *address, int *port)
{
    size_t colon = text.rfind(':');
    long long number = 0;
    if (colon == std::string::npos || !parseIpv4(text.substr(0, colon), address) ||
        !parseInteger(text.substr(colon + 1), 0, 65535, &number))
        return false;
    *port = static_cast<int>(number);
    return true;
}

// The Host header values that name a console on address:port: the address
// itself, or with the wildcard address every local IPv4 address.
static std::vector<std::string> hostNames(const in_addr &address, int port)
{
    std::vector<std::string> addresses;
    if (address.s_addr != htonl(INADDR_ANY)) {
        addresses.push_back(addressText(address));
    } else {
        ifaddrs *list = nullptr;
        if (getifaddrs(&list) == 0)
            for (const ifaddrs *entry = list; entry; entry = entry->ifa_next)
                if (entry->ifa_addr && entry->ifa_addr->sa_family == AF_INET)
                    addresses.push_back(addressText(reinterpret_cast<const sockaddr_in *>(entry->ifa_addr)->sin_addr));
        freeifaddrs(list);
    }
    std::vector<std::string> names;
    for (const std::string &name : addresses) {
        names.push_back(name + ":" + std::to_string(port));
        if (port == 80)
            names.push_back(name);
    }
    return names;
}

static void publishCard(const Card &card)
{
    std::lock_guard<std::mutex> lock(state.mutex);
    state.cards.push_back(cardJson(card));
    if (state.cards.size() > KEPT_CARDS)
        state.cards.pop_front();
    ++state.cardCount;
    state.cardArrived.notify_all();
}

int runConsole(const Args &args)
{
    static const char *const allowed[] = {"bind", "listen", "interface", nullptr};
    int rc = checkOptions(args, "console", allowed);
    if (rc != RC_OK)
        return rc;
    if (!args.words.empty())
        return usageError("console", "unexpected '" + args.words[0] + "'");
    in_addr bindAddress{};
    int bindPort = 8080;
    inet_pton(AF_INET, "127.0.0.1", &bindAddress);
    const std::string *bind = optionValue(args, "bind");
    if (bind && !parseEndpoint(*bind, &bindAddress, &bindPort))
        return usageError("console", "--bind needs ADDR:PORT, an IPv4 address and a port (e.g. 127.0.0.1:8080), "
                                     "not '" + *bind + "'");
    long long listenPort = 0;
    if (const std::string *text = optionValue(args, "listen"))
        if (!parseInteger(*text, 1, 65535, &listenPort))
            return usageError("console", "--listen needs a port from 1 to 65535, not '" + *text + "'");
    state.discoverFrom.s_addr = htonl(INADDR_ANY);
    if (const std::string *text = optionValue(args, "interface"))
        if (!parseIpv4(*text, &state.discoverFrom))
            return usageError("console", "--interface needs a local IPv4 address (a.b.c.d), not '" + *text + "'");
    if (!randomSecret(&state.token) || !randomSecret(&state.session)) {
        fprintf(stderr, "rfidctl: cannot draw a random token: %s\n", strerror(errno));
        return RC_UNREACHABLE;
    }

    // SIGINT and SIGTERM arrive through a descriptor that a thread of ours
    // watches; blocked here, before any thread starts, they stay blocked in
    // every thread.
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGINT);
    sigaddset(&stopSignals, SIGTERM);
    sigprocmask(SIG_BLOCK, &stopSignals, nullptr);
    int signals = signalfd(-1, &stopSignals, SFD_CLOEXEC);
    int cardsStop = eventfd(0, EFD_CLOEXEC);
    if (signals < 0 || cardsStop < 0) {
        fprintf(stderr, "rfidctl: signalfd/eventfd: %s\n", strerror(errno));
        return RC_UNREACHABLE;
    }

    int cardListener = -1;
    if (listenPort != 0) {
        in_addr any{};
        any.s_addr = htonl(INADDR_ANY);
        std::string error;
        cardListener = openCardListener(any, static_cast<int>(listenPort), &error);
        if (cardListener < 0) {
            fprintf(stderr, "rfidctl: %s\n", error.c_str());
            return RC_UNREACHABLE;
        }
        state.listenPort = static_cast<int>(listenPort);
    }

    httplib::Server server;
    server.new_task_queue = [] { return new httplib::ThreadPool(HTTP_THREADS); };
    server.set_keep_alive_timeout(2);
    server.set_payload_max_length(1 << 20);
    server.set_default_headers(SECURITY_HEADERS);
    server.set_pre_routing_handler(admit);
    server.Post("/api/discover", apiDiscover);
    server.Post("/api/read", apiRead);
    server.Post("/api/set", apiSet);
    server.Post("/api/point", apiPoint);
    server.Post("/api/net", apiNet);
    server.Post("/api/control", apiControl);
    server.Get("/api/site/export", apiSiteExport);
    server.Post("/api/site/plan", apiSitePlan);
    server.Post("/api/site/apply", apiSiteApply);
    server.Post("/api/site/commission", apiSiteCommission);
    server.Get("/api/site/commission", apiSiteCommissionState);
    server.Post("/api/site/commission/stop", apiSiteCommissionStop);
    server.Get("/api/info", apiInfo);
    server.Get("/api/events", apiEvents);
    server.Get("/api/.*", [](const httplib::Request &req, httplib::Response &res) {
        sendError(res, 404, "unknown path: " + req.path);
    });
    server.Get("/.*", serveAsset);
    server.set_error_handler([](const httplib::Request &req, httplib::Response &res) {
        if (res.body.empty())
            sendError(res, res.status, (res.status == 404 ? "unknown path: " : "bad request: ") + req.method + " " + req.path);
    });

    errno = 0;
    if (bindPort == 0)
        bindPort = server.bind_to_any_port(addressText(bindAddress));
    else if (!server.bind_to_port(addressText(bindAddress), bindPort))
        bindPort = -1;
    if (bindPort <= 0) {
        fprintf(stderr, "rfidctl: cannot open the console on %s: %s\n", bind ? bind->c_str() : "127.0.0.1:8080",
                errno ? strerror(errno) : "the address cannot be bound");
        if (cardListener >= 0)
            close(cardListener);
        return RC_UNREACHABLE;
    }
    state.hosts = hostNames(bindAddress, bindPort);
    state.cookie = "rfidctl-console-" + std::to_string(bindPort);
    if (state.hosts.empty())
        state.hosts.push_back(addressText(bindAddress) + ":" + std::to_string(bindPort));

    std::thread cards;
    if (cardListener >= 0) {
        sockaddr_in local{};
        socklen_t length = sizeof local;
        getsockname(cardListener, reinterpret_cast<sockaddr *>(&local), &length);
        fprintf(stderr, "rfidctl: listening on %s\n", endpointText(local).c_str());
        cards = std::thread([cardListener, cardsStop] {
            serveCards(cardListener, cardsStop, [](const Card &card) {
                publishCard(card);
                return true;
            });
        });
    }
    std::thread stopper([&server, signals, cardsStop] {
        pollfd waiting{signals, POLLIN, 0};
        while (poll(&waiting, 1, -1) < 0 && errno == EINTR) {
        }
        {
            std::lock_guard<std::mutex> lock(state.mutex);
            state.stopping = true;
            state.cardArrived.notify_all();
        }
        uint64_t one = 1;
        ssize_t ignored = write(cardsStop, &one, sizeof one);
        (void)ignored;
        server.stop();
    });

    if ((bindAddress.s_addr & htonl(0xFF000000)) != htonl(0x7F000000))
        fprintf(stderr, "rfidctl: warning: the console listens on %s:%d, where other hosts can reach it; whoever "
                        "learns the token can change every reader it finds\n",
                addressText(bindAddress).c_str(), bindPort);
    for (const std::string &host : state.hosts)
        if (host.find(':') != std::string::npos)
            printf("Console: http://%s/?token=%s\n", host.c_str(), state.token.c_str());
    printf("Stop it with Ctrl-C.\n");
    fflush(stdout);

    server.listen_after_bind();
    // The server also ends when its socket fails; the stopper then still
    // waits for a signal, so one is sent to ourselves.
    if (!state.stopping)
        kill(getpid(), SIGTERM);
    stopper.join();
    if (cards.joinable())
        cards.join();
    commission.stop = 2;
    if (commission.thread.joinable())
        commission.thread.join();
    if (cardListener >= 0)
        close(cardListener);
    close(cardsStop);
    close(signals);
    return RC_OK;
}
