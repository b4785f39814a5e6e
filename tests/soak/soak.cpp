/*
 * rfidd-soak: a fault-and-soak run of the sandbox daemon, on loopback only.
 *
 * rfid-sim (no pacing) presents a plan of many distinct cards, each for one
 * successful read, with gaps, while damaging replies of every fault kind at
 * a steady rate. The upstream server cycles through accepting, closing each
 * connection at once, refusing (listener closed) and not answering (accept
 * queue full). Meanwhile clients send valid and malformed requests to the
 * configuration service, malformed datagrams to the discovery service
 * (never a search, so nothing is ever broadcast) and bit strings and garbage
 * to the device-control listener.
 *
 * At the end it checks:
 * - the daemon is still up and answers;
 * - every card number the daemon reports as written (its ">>>" lines)
 *   reached the server exactly once and in order, except at most one per
 *   connection the server closed at once (and one per closing of its
 *   listener, for a connection completed in that instant); nothing reached
 *   the server that the module did not present, and the daemon wrote the
 *   cards in the order the module presented them;
 * - no configuration reply was ever wrong;
 * - only the control commands that were sent reached the reader;
 * - the settings file is unchanged and no reboot was asked for;
 * - open descriptors and resident memory at the end are within a small
 *   margin of their values after warm-up;
 * - neither the daemon nor the simulator printed a sanitizer report.
 *
 * Where it can (as root) it runs in a private network namespace of its own,
 * so the daemon's fixed ports never meet another daemon or test on the
 * machine; otherwise on the machine's loopback.
 *
 *   rfidd-soak [--passes N] [--long] [--seed N] [--time-limit SECONDS] [--shared-network]
 *
 * --passes N cards (default 2000), --long 20000. It prints its figures and
 * ends with "N passed, N failed"; the exit status is 0 only when every
 * check passed.
 */
#include "tests/support/sandbox.h"

#include <arpa/inet.h>
#include <dirent.h>
#include <fcntl.h>
#include <net/if.h>
#include <netinet/in.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <map>
#include <mutex>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

using namespace harness;

namespace
{

constexpr int CONFIG_PORT = 8001;
constexpr int DISCOVERY_PORT = 8000;
constexpr int CONTROL_PORT = 10001;

// --- small helpers ---------------------------------------------------------

long long nowMs()
{
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return ts.tv_sec * 1000LL + ts.tv_nsec / 1000000;
}

void sleepMs(int ms)
{
    timespec left{ms / 1000, (ms % 1000) * 1000000L};
    while (nanosleep(&left, &left) != 0 && errno == EINTR) {
    }
}

// xorshift64*: the run's pseudo-random choices, repeatable with --seed.
struct Random {
    uint64_t state;
};

uint64_t next(Random &random)
{
    random.state ^= random.state >> 12;
    random.state ^= random.state << 25;
    random.state ^= random.state >> 27;
    return random.state * 2685821657736338717ULL;
}

int below(Random &random, int bound)
{
    return static_cast<int>(next(random) % static_cast<uint64_t>(bound));
}

std::string hex(const uint8_t *bytes, size_t count)
{
    static const char digits[] = "0123456789ABCDEF";
    std::string text;
    for (size_t i = 0; i < count; ++i) {
        text += digits[bytes[i] >> 4];
        text += digits[bytes[i] & 0x0F];
    }
    return text;
}

// Everything the soak sends must stay out of the daemon's ">>>" lines, and
// nothing may ever ask for a discovery answer (a broadcast).
void checkSendable(const std::string &text)
{
    if (text.find('>') != std::string::npos || text.find("CMD_SearchReader") != std::string::npos) {
        fprintf(stderr, "rfidd-soak: refusing to send %s\n", text.c_str());
        abort();
    }
}

// --- options -----------------------------------------------------------------

struct Options {
    int passes = 2000;
    uint64_t seed = 20261206;
    int timeLimitS = 0; // 0: from the number of passes
    bool sharedNetwork = false;
};

bool parseNumber(const char *text, long long low, long long high, long long *value)
{
    char *end = nullptr;
    errno = 0;
    long long number = strtoll(text, &end, 10);
    if (errno != 0 || end == text || *end != '\0' || number < low || number > high)
        return false;
    *value = number;
    return true;
}

bool parseOptions(int argc, char **argv, Options *options)
{
    for (int i = 1; i < argc; ++i) {
        std::string option = argv[i];
        long long value = 0;
        if (option == "--long") {
            options->passes = 20000;
        } else if (option == "--shared-network") {
            options->sharedNetwork = true;
        } else if (option == "--passes" && i + 1 < argc && parseNumber(argv[i + 1], 10, 1000000, &value)) {
            options->passes = static_cast<int>(value);
            ++i;
        } else if (option == "--seed" && i + 1 < argc && parseNumber(argv[i + 1], 1, INT64_MAX, &value)) {
            options->seed = static_cast<uint64_t>(value);
            ++i;
        } else if (option == "--time-limit" && i + 1 < argc && parseNumber(argv[i + 1], 10, 86400, &value)) {
            options->timeLimitS = static_cast<int>(value);
            ++i;
        } else {
            fprintf(stderr, "Usage: rfidd-soak [--passes N] [--long] [--seed N] [--time-limit SECONDS]\n"
                            "  --passes N        cards the simulator presents (default 2000)\n"
                            "  --long            20000 cards\n"
                            "  --seed N          seed of the run's random choices\n"
                            "  --time-limit S    give up after S seconds (default 120 + passes / 4)\n"
                            "  --shared-network  stay on the machine's own loopback even where a private\n"
                            "                    network namespace can be had\n");
            return false;
        }
    }
    if (options->timeLimitS == 0)
        options->timeLimitS = 120 + options->passes / 4;
    return true;
}

// A private network namespace with its own loopback, where the system
// allows one (root): the daemon's fixed ports are then the soak's alone, so
// nothing else on the machine that runs the daemon can meet this one, and
// nothing of the soak can reach beyond this namespace. Must run before any
// thread starts; the daemon and the simulator inherit it.
bool enterPrivateNetwork()
{
    if (unshare(CLONE_NEWNET) != 0)
        return false;
    int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return false;
    ifreq request{};
    strncpy(request.ifr_name, "lo", IFNAMSIZ - 1);
    bool up = ioctl(fd, SIOCGIFFLAGS, &request) == 0;
    request.ifr_flags = static_cast<short>(request.ifr_flags | IFF_UP);
    up = up && ioctl(fd, SIOCSIFFLAGS, &request) == 0;
    close(fd);
    if (!up) {
        fprintf(stderr, "rfidd-soak: the private namespace's loopback cannot be brought up\n");
        exit(1);
    }
    return true;
}

// --- the card plan -----------------------------------------------------------

struct Plan {
    std::vector<std::string> uids; // in plan order, all distinct
    std::string path;
};

// Distinct UIDs (every seventh a 7-byte one). No UID byte is AA: a reply cut
// by a split fault must never look like the start of a frame.
Plan makePlan(const std::string &dir, int passes, Random &random)
{
    Plan plan;
    plan.path = dir + "/soak.plan";
    std::set<std::string> seen;
    std::ostringstream text;
    text << "# rfidd-soak: " << passes << " distinct cards, one read each\n";
    for (int i = 0; i < passes; ++i) {
        std::string uid;
        do {
            uint8_t bytes[7];
            size_t count = i % 7 == 6 ? 7 : 4;
            for (size_t k = 0; k < count; ++k) {
                bytes[k] = static_cast<uint8_t>(next(random));
                if (bytes[k] == 0xAA)
                    bytes[k] = 0xAB;
            }
            uid = hex(bytes, count);
        } while (!seen.insert(uid).second);
        plan.uids.push_back(uid);
        text << "card " << uid << " reads=1\n";
        if (i % 10 == 9)
            text << "gap 30\n";
    }
    // The field stays empty long after the last card, so the final figures
    // are taken with the card loop polling an empty field; then it starts over.
    text << "gap 120000\nloop\n";
    writeFile(plan.path, text.str());
    return plan;
}

// Faults of every kind, each on a steady share of the replies.
const std::vector<std::string> FAULTS = {
    "noreply/151", "stray-before/89",  "bad-check/83", "bad-end/79",
    "split:40/73", "stray-after:3/71", "status:83/67",
};

// --- the upstream server -------------------------------------------------------

enum Phase { ACCEPTING, CLOSING_AT_ONCE, REFUSING, NOT_ANSWERING, PHASE_COUNT };
const char *const PHASE_NAMES[PHASE_COUNT] = {"accepting", "closing at once", "refusing", "not answering"};
const int PHASE_MS[PHASE_COUNT] = {4000, 1000, 1000, 2500};

struct Server {
    int port = 0;
    int listener = -1;
    std::atomic<bool> stop{false};
    std::thread thread;
    // Filled by the server thread; read after it has ended (or under `mutex`).
    std::mutex mutex;
    std::vector<std::string> deliveries; // one text per accepted connection, in order
    long connections = 0;                // daemon connections accepted
    long closedAtOnce = 0;
    long emptyConnections = 0;
    long unfinished = 0; // connections that did not end within the read limit
    long cycles = 0;
    std::vector<int> fillers;  // our own connections that fill the accept queue
    std::set<int> fillerPorts; // their local ports
};

// Everything one connection carries until the peer closes it (or 3 s pass).
std::string readUntilClosed(int fd, bool *finished)
{
    std::string text;
    long long deadline = nowMs() + 3000;
    for (;;) {
        long long left = deadline - nowMs();
        pollfd p{fd, POLLIN, 0};
        if (left <= 0 || poll(&p, 1, static_cast<int>(left)) <= 0) {
            *finished = false;
            return text;
        }
        char buffer[512];
        ssize_t n = recv(fd, buffer, sizeof buffer, 0);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            *finished = true;
            return text;
        }
        text.append(buffer, static_cast<size_t>(n));
    }
}

int peerPort(int fd)
{
    sockaddr_in addr{};
    socklen_t length = sizeof addr;
    if (getpeername(fd, reinterpret_cast<sockaddr *>(&addr), &length) != 0)
        return -1;
    return ntohs(addr.sin_port);
}

// One connection taken from the accept queue: ours (a filler) is closed;
// the daemon's is read (or, when `closeAtOnce`, closed unread).
void takeConnection(Server &server, int fd, bool closeAtOnce)
{
    if (server.fillerPorts.count(peerPort(fd)) != 0) {
        close(fd);
        return;
    }
    std::lock_guard<std::mutex> hold(server.mutex);
    ++server.connections;
    if (closeAtOnce) {
        ++server.closedAtOnce;
        close(fd);
        return;
    }
    bool finished = false;
    std::string text = readUntilClosed(fd, &finished);
    close(fd);
    if (!finished)
        ++server.unfinished;
    if (text.empty())
        ++server.emptyConnections;
    else
        server.deliveries.push_back(text);
}

// Takes every connection already queued, without waiting.
void drainQueue(Server &server, bool closeAtOnce)
{
    for (;;) {
        pollfd p{server.listener, POLLIN, 0};
        if (poll(&p, 1, 0) <= 0)
            return;
        int fd = accept4(server.listener, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0)
            return;
        takeConnection(server, fd, closeAtOnce);
    }
}

// Opens the listener with a backlog of one and fills its accept queue with
// our own connections, until a connection attempt no longer completes: from
// then on the daemon's attempts get no answer.
void fillQueue(Server &server)
{
    server.listener = listenTcp(server.port, 1);
    if (server.listener < 0) {
        fprintf(stderr, "rfidd-soak: cannot listen on port %d again: %s\n", server.port, strerror(errno));
        return;
    }
    for (int i = 0; i < 8; ++i) {
        int fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
        if (fd < 0)
            return;
        sockaddr_in addr{};
        addr.sin_family = AF_INET;
        addr.sin_port = htons(static_cast<uint16_t>(server.port));
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        int rc = connect(fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr);
        server.fillers.push_back(fd);
        sockaddr_in local{};
        socklen_t length = sizeof local;
        if (getsockname(fd, reinterpret_cast<sockaddr *>(&local), &length) == 0)
            server.fillerPorts.insert(ntohs(local.sin_port));
        bool connected = rc == 0;
        if (!connected && errno == EINPROGRESS) {
            pollfd p{fd, POLLOUT, 0};
            int error = 0;
            socklen_t errorLength = sizeof error;
            connected = poll(&p, 1, 200) == 1 &&
                        getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &errorLength) == 0 && error == 0;
        }
        if (!connected)
            return; // the queue is full
    }
}

void enterPhase(Server &server, Phase from, Phase to)
{
    if (from == CLOSING_AT_ONCE && to == REFUSING) {
        drainQueue(server, true);
        close(server.listener);
        server.listener = -1;
    } else if (from == REFUSING && to == NOT_ANSWERING) {
        fillQueue(server);
    } else if (from == NOT_ANSWERING && to == ACCEPTING) {
        // Whatever got into the queue before it was full is taken now: the
        // fillers are closed, a daemon connection is read like any other.
        drainQueue(server, false);
        for (int fd : server.fillers)
            close(fd);
        server.fillers.clear();
        // Their ports are free again; a later upload may come from one.
        server.fillerPorts.clear();
        if (server.listener >= 0)
            listen(server.listener, 16);
        std::lock_guard<std::mutex> hold(server.mutex);
        ++server.cycles;
    }
}

void runServer(Server &server)
{
    Phase phase = ACCEPTING;
    long long phaseEnd = nowMs() + PHASE_MS[phase];
    while (!server.stop.load()) {
        if (nowMs() >= phaseEnd) {
            Phase following = static_cast<Phase>((phase + 1) % PHASE_COUNT);
            enterPhase(server, phase, following);
            phase = following;
            phaseEnd = nowMs() + PHASE_MS[phase];
        }
        if ((phase == ACCEPTING || phase == CLOSING_AT_ONCE) && server.listener >= 0) {
            pollfd p{server.listener, POLLIN, 0};
            if (poll(&p, 1, 20) == 1) {
                int fd = accept4(server.listener, nullptr, nullptr, SOCK_CLOEXEC);
                if (fd >= 0)
                    takeConnection(server, fd, phase == CLOSING_AT_ONCE);
            }
        } else {
            sleepMs(20);
        }
    }
    // Leave the server accepting, with everything queued taken.
    if (phase == NOT_ANSWERING)
        enterPhase(server, NOT_ANSWERING, ACCEPTING);
    if (server.listener >= 0) {
        drainQueue(server, phase == CLOSING_AT_ONCE);
        close(server.listener);
        server.listener = -1;
    }
    for (int fd : server.fillers)
        close(fd);
    server.fillers.clear();
}

// --- clients ---------------------------------------------------------------------

struct Clients {
    std::atomic<bool> stop{false};
    std::atomic<bool> paused{false};
    std::atomic<int> busy{0};
    std::vector<std::thread> threads;

    std::mutex mutex;
    std::vector<std::string> wrongReplies; // what was wrong, for the report
    long configRequests = 0;
    long configChecked = 0;
    long statusBusy = 0; // valid sets answered "response": 0 (database busy)
    long datagrams = 0;
    long controlTexts = 0;
    long controlValid = 0;
    std::set<std::string> controlPayloads; // hex payloads of the valid bit strings sent
};

std::string jsonReaderId()
{
    return "{\n\t\"response\":\t1,\n\t\"Data\":\t{\n\t\t\"devId\":\t1\n\t}\n}";
}

const std::string STATUS_OK = "{\n\t\"response\":\t1\n}";
const std::string STATUS_FAILED = "{\n\t\"response\":\t0\n}";

struct ConfigExpectations {
    std::string readerId;
    std::string netConf;
    std::string serverConf;
    std::string telegram;
    std::string setServerSame; // CMD_SetServerConf with the stored values
};

ConfigExpectations expectations(int serverPort)
{
    ConfigExpectations e;
    e.readerId = jsonReaderId();
    e.netConf = "{\n\t\"response\":\t1,\n\t\"Data\":\t{\n\t\t\"IP\":\t\"192.168.0.100\",\n\t\t\"Mask\":"
                "\t\"255.255.255.0\","
                "\n\t\t\"Gateway\":\t\"192.168.0.1\",\n\t\t\"DNS\":\t\"192.168.0.1\",\n\t\t\"MAC\":\t"
                "\"00:11:22:33:44:55\"\n\t}\n}";
    e.serverConf =
        "{\n\t\"response\":\t1,\n\t\"type\":\t0,\n\t\"address\":\t\"127.0.0.1\",\n\t\"port\":\t\"" +
        std::to_string(serverPort) + "\"\n}";
    e.telegram =
        "{\n\t\"response\":\t1,\n\t\"readStyle\":\t0,\n\t\"keyType\":\t0,\n\t\"key\":\t\"FFFFFFFFFFFF\","
        "\n\t\"block\":\t0,\n\t\"firstChar\":\t0,\n\t\"lastChar\":\t0\n}";
    e.setServerSame = "{\"Command\":\"CMD_SetServerConf\",\"Data\":{\"IP\":\"127.0.0.1\",\"Port\":" +
                      std::to_string(serverPort) + ",\"CodeType\":0}}";
    return e;
}

struct Request {
    std::string text;
    std::string reply; // the exact reply expected
};

std::vector<Request> validGets(const ConfigExpectations &e)
{
    return {
        {"{\"Command\":\"CMD_GetReaderId\"}", e.readerId},
        {"{\"command\": \"CMD_GetNetConf\"}", e.netConf},
        {"{\"Command\":\"CMD_GetServerConf\",\"Data\":{}}", e.serverConf},
        {"{\"COMMAND\":\"CMD_GetTelegramContent\"}  trailing text", e.telegram},
    };
}

// Requests that must get no reply at all.
const std::vector<std::string> UNANSWERED = {
    "hello",
    "{",
    "[1,2,3]",
    "{\"Command\":5}",
    "{\"Command\":\"CMD_Nothing\"}",
    "{\"Command\":\"cmd_getreaderid\"}",
    "{\"Command\":\"CMD_CtrBuzzer\",\"Data\":{\"x\":1}}",
    "{\"Data\":{\"devId\":1}}",
    "\"CMD_GetReaderId\"",
    "null",
};

// Set commands whose "Data" is unusable: nothing may change; the answer is
// the failed status reply or nothing.
const std::vector<std::string> REFUSED_SETS = {
    "{\"Command\":\"CMD_SetReaderId\",\"Data\":{\"devId\":\"one\"}}",
    "{\"Command\":\"CMD_SetReaderId\"}",
    "{\"Command\":\"CMD_SetServerConf\",\"Data\":{\"IP\":\"127.0.0.1\"}}",
    "{\"Command\":\"CMD_SetServerConf\",\"Data\":{\"IP\":\"127.0.0.1.127.0.0.1\",\"Port\":1,\"CodeType\":0}}",
    "{\"Command\":\"CMD_SetTelegramContent\",\"Data\":{\"Key\":\"zz\"}}",
    "{\"Command\":\"CMD_SetTelegramContent\",\"Data\":{\"ReadStyle\":1,\"KeyType\":0,\"Key\":"
    "\"FFFFFFFFFFFFFF\","
    "\"Block\":1,\"FirstChar\":1,\"LastChar\":8}}",
    "{\"Command\":\"CMD_SetNetConf\",\"Data\":{\"IP\":5}}",
    "{\"Command\":\"CMD_SetNetConf\",\"Data\":[]}",
};

void noteWrong(Clients &clients, const std::string &what, const std::string &sent, const std::string &got)
{
    std::lock_guard<std::mutex> hold(clients.mutex);
    if (clients.wrongReplies.size() < 20) {
        std::string shown = got.size() > 200 ? got.substr(0, 200) + "..." : got;
        clients.wrongReplies.push_back(what + ": sent [" + sent + "] got [" + shown + "]");
    } else {
        clients.wrongReplies.push_back(what);
    }
}

bool sendText(int fd, const std::string &text)
{
    checkSendable(text);
    return sendAll(fd, text);
}

// Sends `request` and returns what comes back: everything until 400 ms of
// silence after the first byte, or nothing after `timeoutMs`.
std::string exchange(int fd, const std::string &request, int timeoutMs)
{
    if (!sendText(fd, request))
        return "<send failed>";
    return recvQuiet(fd, 400, timeoutMs);
}

// One configuration session: a valid get first (which may wait while the
// service serves another client), then a few requests of every sort. A
// request that gets no reply is followed, after more than the service's
// 200 ms quiet time, by a get whose reply must then be all that arrives.
void configSession(Clients &clients, const ConfigExpectations &e, Random &random)
{
    int fd = connectTcp(CONFIG_PORT, 5000);
    if (fd < 0) {
        noteWrong(clients, "cannot connect to the configuration service", "", "");
        return;
    }
    std::vector<Request> gets = validGets(e);
    long sent = 0, checked = 0, busy = 0;
    auto checkGet = [&](const std::string &prefix, const std::string &allowedFirst) {
        const Request &get = gets[static_cast<size_t>(below(random, static_cast<int>(gets.size())))];
        std::string got = exchange(fd, get.text, 20000);
        ++sent;
        ++checked;
        if (got != get.reply && (allowedFirst.empty() || got != allowedFirst + get.reply))
            noteWrong(clients, "wrong reply " + prefix, get.text, got);
    };
    checkGet("to a get", "");
    int requests = 2 + below(random, 4);
    for (int i = 0; i < requests && !clients.stop.load(); ++i) {
        switch (below(random, 5)) {
        case 0:
            checkGet("to a get", "");
            break;
        case 1: { // a set that stores what is already there
            std::string request = below(random, 2) == 0
                                      ? "{\"Command\":\"CMD_SetReaderId\",\"Data\":{\"devId\":1}}"
                                      : e.setServerSame;
            std::string got = exchange(fd, request, 20000);
            ++sent;
            ++checked;
            if (got == STATUS_FAILED)
                ++busy; // the card loop's read of the database held it
            else if (got != STATUS_OK)
                noteWrong(clients, "wrong reply to a valid set", request, got);
            break;
        }
        case 2: { // no reply at all
            const std::string &request =
                UNANSWERED[static_cast<size_t>(below(random, static_cast<int>(UNANSWERED.size())))];
            sendText(fd, request);
            ++sent;
            sleepMs(600);
            checkGet("after an unanswered request", "");
            break;
        }
        case 3: { // a refused set: the failed status or nothing, and no change
            const std::string &request =
                REFUSED_SETS[static_cast<size_t>(below(random, static_cast<int>(REFUSED_SETS.size())))];
            sendText(fd, request);
            ++sent;
            sleepMs(600);
            checkGet("after a refused set", STATUS_FAILED);
            break;
        }
        default: { // garbage longer than the request buffer, then a get
            std::string junk(1024 + static_cast<size_t>(below(random, 1500)), 'x');
            for (size_t k = 0; k < junk.size(); k += 37)
                junk[k] = static_cast<char>('a' + below(random, 26));
            sendText(fd, junk);
            ++sent;
            sleepMs(600);
            checkGet("after a long garbage request", "");
            break;
        }
        }
    }
    close(fd);
    std::lock_guard<std::mutex> hold(clients.mutex);
    clients.configRequests += sent;
    clients.configChecked += checked;
    clients.statusBusy += busy;
}

// Datagrams the discovery service must ignore: never a search.
std::string malformedDatagram(Random &random)
{
    switch (below(random, 8)) {
    case 0:
        return "";
    case 1:
        return "not json at all";
    case 2:
        return "{\"Command\":\"CMD_GetReaderId\"}";
    case 3:
        return "{\"Command\":\"CMD_SetNetConf\",\"Data\":{\"OldIP\":\"10.255.255.1\",\"IP\":\"10.1.1.1\","
               "\"Mask\":\"\","
               "\"Gateway\":\"\",\"DNS\":\"\",\"MAC\":\"\"}}";
    case 4:
        return "{\"Command\":\"CMD_SetNetConf\",\"Data\":{\"IP\":\"10.1.1.1\"}}";
    case 5:
        return "TcpReader Response";
    case 6:
        return std::string(1500, '{');
    default: {
        std::string junk(static_cast<size_t>(1 + below(random, 200)), ' ');
        for (char &c : junk) {
            c = static_cast<char>(1 + below(random, 255));
            if (c == '>')
                c = '<';
        }
        return junk;
    }
    }
}

void discoveryClient(Clients &clients, Random random)
{
    int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(DISCOVERY_PORT);
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK); // never anything but loopback
    while (!clients.stop.load()) {
        if (clients.paused.load()) {
            sleepMs(20);
            continue;
        }
        ++clients.busy;
        std::string datagram = malformedDatagram(random);
        checkSendable(datagram);
        sendto(fd, datagram.data(), datagram.size(), 0, reinterpret_cast<sockaddr *>(&to), sizeof to);
        {
            std::lock_guard<std::mutex> hold(clients.mutex);
            ++clients.datagrams;
        }
        --clients.busy;
        sleepMs(30 + below(random, 60));
    }
    close(fd);
}

// A valid bit string and the payload hex the reader must then see.
struct BitString {
    std::string text;
    std::string payload;
};

BitString randomBitString(Random &random)
{
    bool tens = below(random, 2) == 0;
    bool longForm = below(random, 2) == 0;
    int groups = longForm ? 4 : 2;
    std::string text = tens ? "L" : "";
    uint8_t values[4] = {0, 0, 0, 0};
    for (int g = 0; g < groups; ++g) {
        int value = below(random, 8);
        for (int bit = 2; bit >= 0; --bit)
            text += (value >> bit) & 1 ? '1' : '0';
        bool tensGroup = tens && g != 2; // the third group of the 'L' form is plain
        values[g] = static_cast<uint8_t>(tensGroup ? 10 * value : value);
    }
    return {text, hex(values, 4)};
}

std::string controlGarbage(Random &random)
{
    switch (below(random, 6)) {
    case 0:
        return "\r\n";
    case 1:
        return "l010001\r\n";
    case 2:
        return "0100011\r\n";
    case 3:
        return " 010001";
    case 4:
        return std::string(3000, 'x');
    default: {
        std::string junk(static_cast<size_t>(1 + below(random, 64)), ' ');
        for (char &c : junk) {
            c = static_cast<char>(1 + below(random, 255));
            if (c == '>')
                c = '<';
        }
        return junk + "#";
    }
    }
}

// One control session: a few texts, each sent on its own so that one read
// takes it; valid ones end with CR LF, so two that a read takes together
// are refused as a whole.
void controlSession(Clients &clients, Random &random)
{
    int fd = connectTcp(CONTROL_PORT, 5000);
    if (fd < 0) {
        noteWrong(clients, "cannot connect to the control listener", "", "");
        return;
    }
    int texts = 1 + below(random, 4);
    for (int i = 0; i < texts && !clients.stop.load(); ++i) {
        if (below(random, 2) == 0) {
            BitString bits = randomBitString(random);
            sendText(fd, bits.text + "\r\n");
            std::lock_guard<std::mutex> hold(clients.mutex);
            clients.controlPayloads.insert(bits.payload);
            ++clients.controlValid;
            ++clients.controlTexts;
        } else {
            sendText(fd, controlGarbage(random));
            std::lock_guard<std::mutex> hold(clients.mutex);
            ++clients.controlTexts;
        }
        sleepMs(80);
    }
    close(fd);
}

template <typename Session> void sessionLoop(Clients &clients, Random random, int pauseMs, Session session)
{
    while (!clients.stop.load()) {
        if (clients.paused.load()) {
            sleepMs(20);
            continue;
        }
        ++clients.busy;
        session(random);
        --clients.busy;
        sleepMs(below(random, pauseMs));
    }
}

void startClients(Clients &clients, const ConfigExpectations &e, uint64_t seed)
{
    for (uint64_t k = 0; k < 2; ++k)
        clients.threads.emplace_back([&clients, &e, seed, k] {
            sessionLoop(clients, Random{seed * 31 + k + 1}, 300,
                        [&](Random &random) { configSession(clients, e, random); });
        });
    clients.threads.emplace_back([&clients, seed] { discoveryClient(clients, Random{seed * 37 + 5}); });
    clients.threads.emplace_back([&clients, seed] {
        sessionLoop(clients, Random{seed * 41 + 7}, 400,
                    [&](Random &random) { controlSession(clients, random); });
    });
}

// Pauses the clients and waits until none is in the middle of a session.
bool quiesce(Clients &clients, int timeoutMs)
{
    clients.paused.store(true);
    long long deadline = nowMs() + timeoutMs;
    while (clients.busy.load() != 0) {
        if (nowMs() >= deadline)
            return false;
        sleepMs(20);
    }
    return true;
}

void stopClients(Clients &clients)
{
    clients.stop.store(true);
    for (std::thread &thread : clients.threads)
        thread.join();
    clients.threads.clear();
}

// --- the daemon's resources ------------------------------------------------------

struct Resources {
    int descriptors = -1;
    long rssKiB = -1;
};

Resources sampleOnce(pid_t pid)
{
    Resources r;
    std::string dir = "/proc/" + std::to_string(pid) + "/fd";
    if (DIR *d = opendir(dir.c_str())) {
        int count = 0;
        while (dirent *entry = readdir(d))
            if (entry->d_name[0] != '.')
                ++count;
        closedir(d);
        r.descriptors = count;
    }
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(status, line))
        if (line.rfind("VmRSS:", 0) == 0)
            r.rssKiB = strtol(line.c_str() + 6, nullptr, 10);
    return r;
}

// The fewest descriptors seen over about a second (an upload or a client
// connection may be open at any one moment), with the memory at that time.
Resources sample(pid_t pid)
{
    Resources best = sampleOnce(pid);
    for (int i = 0; i < 20; ++i) {
        sleepMs(50);
        Resources r = sampleOnce(pid);
        if (r.descriptors >= 0 && (best.descriptors < 0 || r.descriptors < best.descriptors))
            best = r;
    }
    return best;
}

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr bool SANITIZED = true; // the daemon's allocator keeps freed memory aside
#else
constexpr bool SANITIZED = false;
#endif

// --- output of the programs ----------------------------------------------------------

// The card numbers the daemon reports as written, in order: its ">>>" lines.
std::vector<std::string> writtenCards(const std::string &output)
{
    std::vector<std::string> cards;
    std::istringstream lines(output);
    std::string line;
    while (std::getline(lines, line))
        if (line.rfind(">>>", 0) == 0)
            cards.push_back(line.substr(3));
    return cards;
}

// The cards the simulator put in the field, in order.
std::vector<std::string> presentedCards(const std::string &output)
{
    static const std::string prefix = "rfid-sim: card ";
    static const std::string suffix = " in field";
    std::vector<std::string> cards;
    std::istringstream lines(output);
    std::string line;
    while (std::getline(lines, line))
        if (line.rfind(prefix, 0) == 0 && line.size() > prefix.size() + suffix.size() &&
            line.compare(line.size() - suffix.size(), suffix.size(), suffix) == 0)
            cards.push_back(line.substr(prefix.size(), line.size() - prefix.size() - suffix.size()));
    return cards;
}

// Payloads (hex, 8 digits) of the control frames (0x99) the reader received.
std::vector<std::string> controlPayloadsSeen(const std::string &logPath)
{
    std::vector<std::string> payloads;
    for (const std::string &line : readLines(logPath)) {
        if (line.rfind("AA 00 01 05 99 ", 0) != 0 || line.size() < 26)
            continue;
        std::string payload;
        for (size_t at = 15; at < 27 && payload.size() < 8; at += 3)
            payload += line.substr(at, 2);
        payloads.push_back(payload);
    }
    return payloads;
}

// --- checks ------------------------------------------------------------------------

struct Tally {
    int passed = 0;
    int failed = 0;
};

void check(Tally &tally, bool ok, const std::string &what, const std::string &detail = "")
{
    if (ok) {
        ++tally.passed;
        printf("ok    %s\n", what.c_str());
    } else {
        ++tally.failed;
        printf("FAIL  %s%s%s\n", what.c_str(), detail.empty() ? "" : ": ", detail.c_str());
    }
    fflush(stdout);
}

bool waitUntil(long long deadline, int pollMs, const std::function<bool()> &done)
{
    for (;;) {
        if (done())
            return true;
        if (nowMs() >= deadline)
            return false;
        sleepMs(pollMs);
    }
}

std::string shortList(const std::vector<std::string> &items, size_t most = 5)
{
    std::string text;
    for (size_t i = 0; i < items.size() && i < most; ++i)
        text += (i ? ", " : "") + items[i];
    if (items.size() > most)
        text += ", ... (" + std::to_string(items.size()) + " in all)";
    return text;
}

} // namespace

int main(int argc, char **argv)
{
    Options options;
    if (!parseOptions(argc, argv, &options))
        return 2;
    signal(SIGPIPE, SIG_IGN);
    setvbuf(stdout, nullptr, _IOLBF, 0);
    bool privateNetwork = !options.sharedNetwork && enterPrivateNetwork();

    long long started = nowMs();
    long long deadline = started + options.timeLimitS * 1000LL;
    Random random{options.seed};
    Tally tally;

    std::string work = tempDir("rfidd-soak");
    Plan plan = makePlan(work, options.passes, random);

    Server server;
    server.listener = listenTcp(0, 16);
    server.port = boundPort(server.listener);
    if (server.listener < 0 || server.port <= 0) {
        printf("cannot open the upstream server's listener\n0 passed, 1 failed\n");
        return 1;
    }
    printf("rfidd-soak: %d cards, seed %llu, upstream server 127.0.0.1:%d, time limit %d s%s\n",
           options.passes, static_cast<unsigned long long>(options.seed), server.port, options.timeLimitS,
           SANITIZED ? " (sanitizer build)" : "");
    printf("network: %s\n", privateNetwork ? "loopback of a private network namespace"
                                           : "the machine's loopback (ports 8000, 8001, 10001 must be free)");
    printf("server phases:");
    for (int p = 0; p < PHASE_COUNT; ++p)
        printf(" %s %d ms%s", PHASE_NAMES[p], PHASE_MS[p], p + 1 < PHASE_COUNT ? "," : "\n");
    printf("faults:");
    for (const std::string &fault : FAULTS)
        printf(" %s", fault.c_str());
    printf("\n");
    server.thread = std::thread([&server] { runServer(server); });

    SandboxOptions sandboxOptions;
    sandboxOptions.provisionArgs = {"--server-ip", "127.0.0.1", "--server-port", std::to_string(server.port)};
    sandboxOptions.simArgs = {"--no-pace", "--plan", plan.path};
    for (const std::string &fault : FAULTS) {
        sandboxOptions.simArgs.push_back("--fault");
        sandboxOptions.simArgs.push_back(fault);
    }
    Sandbox sandbox;
    bool up = startSandbox(sandbox, sandboxOptions);
    check(tally, up, "sandbox daemon and simulator started");
    if (!up) {
        server.stop.store(true);
        server.thread.join();
        stopSandbox(sandbox);
        removeTree(work);
        printf("%d passed, %d failed\n", tally.passed, tally.failed);
        return 1;
    }
    std::string netSettingsBefore = readFile(sandbox.dir + "/etc/eth0-setting");

    // The first card reaches the server before any client starts: from then
    // on the server settings in memory are the stored ones.
    bool firstCard = waitUntil(nowMs() + 30000, 50, [&] {
        std::lock_guard<std::mutex> hold(server.mutex);
        return !server.deliveries.empty();
    });
    check(tally, firstCard, "a first card reached the server");

    ConfigExpectations expected = expectations(server.port);
    Clients clients;
    startClients(clients, expected, options.seed);

    // Warm-up: a tenth of the cards (at least 200) with everything running.
    size_t warmUp = static_cast<size_t>(std::max(200, options.passes / 10));
    if (warmUp > plan.uids.size())
        warmUp = plan.uids.size() / 2;
    // Waiting stops early when the daemon or the simulator has ended.
    bool gone = false;
    auto ended = [&] {
        if (!isRunning(sandbox.daemon) || !isRunning(sandbox.sim))
            gone = true;
        return gone;
    };
    bool warmed =
        waitUntil(deadline, 500,
                  [&] { return ended() || presentedCards(output(sandbox.sim)).size() >= warmUp; }) &&
        !gone;
    bool quiet = quiesce(clients, 60000);
    sleepMs(300);
    Resources before = sample(sandbox.daemon.pid);
    clients.paused.store(false);
    check(tally, warmed && quiet, "warm-up of " + std::to_string(warmUp) + " cards");
    printf("after warm-up: %d descriptors, VmRSS %ld KiB\n", before.descriptors, before.rssKiB);

    // The run: until the simulator has presented the last card and the field
    // is empty after it.
    const std::string lastCardLine = "rfid-sim: card " + plan.uids.back() + " in field";
    long long lastReport = nowMs();
    bool finished = waitUntil(deadline, 500,
                              [&] {
                                  if (ended())
                                      return true;
                                  std::string simOutput = output(sandbox.sim);
                                  size_t at = simOutput.find(lastCardLine);
                                  if (nowMs() - lastReport >= 30000) {
                                      lastReport = nowMs();
                                      std::lock_guard<std::mutex> hold(server.mutex);
                                      printf("... %zu cards presented, %zu delivered, %ld s\n",
                                             presentedCards(simOutput).size(), server.deliveries.size(),
                                             static_cast<long>((nowMs() - started) / 1000));
                                  }
                                  return at != std::string::npos &&
                                         simOutput.find("rfid-sim: field empty", at) != std::string::npos;
                              }) &&
                    !gone;
    check(tally, finished, "all " + std::to_string(options.passes) + " cards presented within the time limit",
          gone ? "the daemon or the simulator ended early" : "");

    // Final figures with the clients stopped, the field empty and the last
    // upload done.
    quiesce(clients, 60000);
    stopClients(clients);
    sleepMs(2500);
    server.stop.store(true);
    server.thread.join();
    bool running = isRunning(sandbox.daemon);
    Resources after = running ? sample(sandbox.daemon.pid) : Resources{};
    printf("at the end:    %d descriptors, VmRSS %ld KiB\n", after.descriptors, after.rssKiB);

    int fd = running ? connectTcp(CONFIG_PORT, 5000) : -1;
    std::string finalReply = fd >= 0 ? exchange(fd, "{\"Command\":\"CMD_GetReaderId\"}", 10000) : "";
    if (fd >= 0)
        close(fd);
    check(tally, running && isRunning(sandbox.daemon) && finalReply == expected.readerId,
          "the daemon is up at the end and answers",
          running ? "reply [" + finalReply + "]" : "daemon exited");

    std::string daemonReport = crashReport(sandbox.daemon);
    std::string simReport = crashReport(sandbox.sim);
    stopSandbox(sandbox);

    // --- the cards ---
    std::vector<std::string> presented = presentedCards(output(sandbox.sim));
    std::vector<std::string> written = writtenCards(output(sandbox.daemon));
    std::vector<std::string> delivered = server.deliveries;
    std::set<std::string> planned(plan.uids.begin(), plan.uids.end());

    // Written in the order presented: a subsequence of the presented cards.
    std::map<std::string, size_t> presentedAt;
    for (size_t i = 0; i < presented.size(); ++i)
        presentedAt.emplace(presented[i], i);
    std::vector<std::string> writtenUnpresented, writtenOutOfOrder;
    size_t lastIndex = 0;
    bool any = false;
    for (const std::string &card : written) {
        auto found = presentedAt.find(card);
        if (found == presentedAt.end()) {
            writtenUnpresented.push_back(card);
            continue;
        }
        if (any && found->second <= lastIndex)
            writtenOutOfOrder.push_back(card);
        lastIndex = found->second;
        any = true;
    }
    check(tally, writtenUnpresented.empty(), "every card written was presented by the module",
          shortList(writtenUnpresented));
    check(tally, writtenOutOfOrder.empty(), "cards written once each, in the order presented",
          shortList(writtenOutOfOrder));

    // Delivered: each exactly one written card, once, in the written order.
    std::vector<std::string> deliveredUnknown, deliveredOutOfOrder;
    size_t cursor = 0;
    size_t matched = 0;
    for (const std::string &text : delivered) {
        if (planned.count(text) == 0 || presentedAt.count(text) == 0) {
            deliveredUnknown.push_back(text);
            continue;
        }
        size_t at = cursor;
        while (at < written.size() && written[at] != text)
            ++at;
        if (at == written.size()) {
            deliveredOutOfOrder.push_back(text);
            continue;
        }
        ++matched;
        cursor = at + 1;
    }
    size_t lost = written.size() - matched;
    check(tally, deliveredUnknown.empty(), "nothing reached the server that the module did not present",
          shortList(deliveredUnknown));
    check(tally, deliveredOutOfOrder.empty(),
          "every delivery is one card written by the daemon, exactly once and in order",
          shortList(deliveredOutOfOrder));
    // A card is lost only on a connection the server closed at once; and,
    // once per cycle at most, on a connection the kernel completed in the
    // instant between the server's last look at its queue and the closing
    // of its listener (which resets it).
    check(tally, static_cast<long>(lost) <= server.closedAtOnce + server.cycles + 1,
          "cards written but not delivered (" + std::to_string(lost) +
              ") only on connections closed at once (" + std::to_string(server.closedAtOnce) +
              ", and at most one per listener close)");
    check(tally, server.unfinished == 0, "every upload connection ended with the daemon's close",
          std::to_string(server.unfinished) + " did not");
    check(tally, !delivered.empty() && delivered.size() * 5 >= presented.size(),
          "at least a fifth of the presented cards delivered");

    // --- the services ---
    check(tally, clients.wrongReplies.empty(), "no configuration reply was wrong",
          shortList(clients.wrongReplies, 10));
    std::vector<std::string> payloads = controlPayloadsSeen(sandbox.simLog);
    std::vector<std::string> strayPayloads;
    for (const std::string &payload : payloads)
        if (clients.controlPayloads.count(payload) == 0)
            strayPayloads.push_back(payload);
    check(tally, strayPayloads.empty(), "only the valid bit strings sent reached the reader",
          shortList(strayPayloads));
    check(tally, readFile(sandbox.dir + "/etc/eth0-setting") == netSettingsBefore,
          "the network settings file is unchanged");
    check(tally, access((sandbox.dir + "/reboot.log").c_str(), F_OK) != 0, "no reboot was asked for");

    // --- resources ---
    int descriptorMargin = 2;
    check(tally, after.descriptors >= 0 && after.descriptors <= before.descriptors + descriptorMargin,
          "open descriptors " + std::to_string(before.descriptors) + " -> " +
              std::to_string(after.descriptors) + " (margin " + std::to_string(descriptorMargin) + ")");
    long rssMargin = std::max(2048L, before.rssKiB / 10);
    if (SANITIZED) {
        printf("info  VmRSS %ld -> %ld KiB (not checked: a sanitizer's allocator holds freed memory back)\n",
               before.rssKiB, after.rssKiB);
    } else {
        check(tally, after.rssKiB > 0 && after.rssKiB <= before.rssKiB + rssMargin,
              "VmRSS " + std::to_string(before.rssKiB) + " -> " + std::to_string(after.rssKiB) +
                  " KiB (margin " + std::to_string(rssMargin) + " KiB)");
    }
    check(tally, daemonReport.empty(), "no crash or sanitizer report from the daemon", daemonReport);
    check(tally, simReport.empty(), "no crash or sanitizer report from the simulator", simReport);

    // --- figures ---
    long ms = nowMs() - started;
    printf("\nfigures (%.1f s)\n", static_cast<double>(ms) / 1000.0);
    printf("  cards planned            %d\n", options.passes);
    printf("  cards presented          %zu\n", presented.size());
    printf("  cards written (>>>)      %zu\n", written.size());
    printf("  cards delivered          %zu\n", delivered.size());
    printf("  written, not delivered   %zu\n", lost);
    printf("  server connections       %ld (closed at once %ld, empty %ld), %ld phase cycles\n",
           server.connections, server.closedAtOnce, server.emptyConnections, server.cycles);
    printf("  upload failures          %d \"Socket write uid data error\"\n",
           countInOutput(sandbox.daemon, "Socket write uid data error"));
    printf("  reader time-outs         %d \"Recevice data timeout\"\n",
           countInOutput(sandbox.daemon, "Recevice data timeout"));
    printf("  config requests          %ld (%ld replies checked, %ld valid sets answered 0)\n",
           clients.configRequests, clients.configChecked, clients.statusBusy);
    printf("  datagrams to 8000        %ld\n", clients.datagrams);
    printf("  texts to 10001           %ld (%ld valid), control frames at the reader %zu\n",
           clients.controlTexts, clients.controlValid, payloads.size());
    printf("  descriptors              %d after warm-up, %d at the end\n", before.descriptors,
           after.descriptors);
    printf("  VmRSS                    %ld KiB after warm-up, %ld KiB at the end\n", before.rssKiB,
           after.rssKiB);

    if (tally.failed == 0)
        removeTree(work);
    else
        printf("  plan kept in             %s; outputs in %s\n", work.c_str(), sandbox.dir.c_str());
    printf("%d passed, %d failed\n", tally.passed, tally.failed);
    return tally.failed == 0 ? 0 : 1;
}
