/*
 * rfidd-soak [--passes N | --long]: the sandbox daemon under faults and load for N cards (2000;
 * --long 20000), on loopback (as root in a private network namespace of its own). rfid-sim damages
 * replies with every fault it knows; the server cycles through `rfidctl listen`, a port closing
 * each connection at once, one refusing and one never answering (a full accept queue); a client
 * sends valid and malformed requests to 8001, datagrams to 8000 (never a search: nothing is
 * broadcast), bit strings and garbage to 10001. It prints checks, figures, "N passed, N failed".
 */
#include "tests/support/sandbox.h"

#include <netinet/in.h>
#include <sched.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <filesystem>
#include <map>
#include <set>
#include <thread>

namespace {

const std::string OK = "{\n\t\"response\":\t1\n}", REFUSED = "{\n\t\"response\":\t0\n}",
                  READER_ID = "{\n\t\"response\":\t1,\n\t\"Data\":\t{\n\t\t\"devId\":\t1\n\t}\n}";
const std::string TELEGRAM = "{\"Command\":\"CMD_SetTelegramContent\",\"Data\":{\"ReadStyle\":0,"
                             "\"KeyType\":0,\"Block\":0,\"FirstChar\":0,\"LastChar\":0,\"Key\":\"";
// Requests to the configuration service and their exact replies ("": none).
const std::pair<std::string, std::string> REQUESTS[] = {
    {"{\"Command\":\"CMD_GetReaderId\"}", READER_ID},
    {"{\"COMMAND\":\"CMD_GetTelegramContent\"} and more",
     "{\n\t\"response\":\t1,\n\t\"readStyle\":\t0,\n\t\"keyType\":\t0,\n\t\"key\":\t\"FFFFFFFFFFFF\","
     "\n\t\"block\":\t0,\n\t\"firstChar\":\t0,\n\t\"lastChar\":\t0\n}"},
    {"{\"command\":\"CMD_SetReaderId\",\"DATA\":{\"DEVID\":1}}", OK},
    {"{\"Command\":\"CMD_SetReaderId\",\"Data\":{\"devId\":\"one\"}}", REFUSED},
    {TELEGRAM + "FFFFFFFFFFFFFF\"}}", REFUSED}, // a key of 14 digits
    {TELEGRAM + "FFFFFFFFFFFz\"}}", REFUSED},   // a key with a letter that is no digit
    {"{\"Command\":\"cmd_getreaderid\"}", ""},
    {std::string(1500, 'x'), ""},
};
// Datagrams the discovery service must ignore.
const std::string DATAGRAMS[] = {"", "TcpReader Response", std::string(1500, '{'),
                                 "{\"Command\":\"CMD_SetNetConf\",\"Data\":{\"OldIP\":\"10.9.9.9\"}}"};
// Texts for the device-control listener, one connection each; the frames of the valid ones (the
// last is the soak's closing command).
const std::string CONTROLS[] = {"010001\r\n", "l010001\r\n", "L010001101011", "0100011",
                                "111111111111", std::string(3000, 'x'), "010001\r\n000000\r\n"};
const std::string FRAMES[] = {"AA 00 01 05 99 02 01 00 00 9E BB", "AA 00 01 05 99 14 0A 05 1E 98 BB",
                              "AA 00 01 05 99 07 07 07 07 9D BB", "AA 00 01 05 99 46 46 07 46 DC BB"};

// One request on a connection of its own, ended by a half-close (so the service need not wait out
// its quiet time); everything the service sent before it closed.
std::string exchange(const std::string &request)
{
    int fd = harness::connectTcp(8001, 30000);
    bool sent = fd >= 0 && harness::sendAll(fd, request) && shutdown(fd, SHUT_WR) == 0;
    std::string reply = sent ? harness::recvQuiet(fd, 30000, 30000) : "(no exchange)";
    close(fd);
    return reply;
}

// Open descriptors and resident memory (KiB) of a process.
std::pair<long, long> resources(pid_t pid)
{
    const std::string proc = "/proc/" + std::to_string(pid);
    const std::string status = harness::readFile(proc + "/status") + "VmRSS:"; // a process gone: 0
    std::error_code error;
    std::filesystem::directory_iterator descriptors(proc + "/fd", error);
    return {std::distance(descriptors, {}), atol(status.c_str() + status.find("VmRSS:") + 6)};
}

// The client: round after round a request, a datagram, now and then a control text; at the end the soak's
// closing command, which tells by its arrival at the module that the card loop has gone on.
std::atomic<bool> stopping{false};
long rounds = 0;
std::vector<std::string> wrong; // wrong replies; read once the client has ended

void client()
{
    int udp = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_in to{AF_INET, htons(8000), {htonl(INADDR_LOOPBACK)}, {}}; // the discovery service
    for (bool last = false; !last; ++rounds) {
        last = stopping;
        const auto &[request, reply] = REQUESTS[rounds % std::size(REQUESTS)];
        if (std::string got = exchange(request); got != reply)
            wrong.push_back(request.substr(0, 80) + " answered [" + got.substr(0, 200) + "]");
        const std::string &datagram = DATAGRAMS[rounds % std::size(DATAGRAMS)];
        sendto(udp, datagram.data(), datagram.size(), 0, reinterpret_cast<sockaddr *>(&to), sizeof to);
        int fd = last || rounds % 8 == 0 ? harness::connectTcp(10001, 30000) : -1; // every 8th round
        harness::sendAll(fd, last ? "L111111111111" : CONTROLS[rounds / 8 % std::size(CONTROLS)]);
        close(fd);
        usleep(20000);
    }
    close(udp);
}

int passed = 0, failed = 0;

void check(bool ok, const std::string &what, const std::string &detail)
{
    ++(ok ? passed : failed);
    printf("%s  %s%s\n", ok ? "ok  " : "FAIL", what.c_str(), ok ? "" : (": " + detail).c_str());
}

} // namespace

int main(int argc, char **argv)
{
    int passes = argc == 1 ? 2000 : argc == 2 && argv[1] == std::string("--long") ? 20000
                                  : argc == 3 && argv[1] == std::string("--passes") ? atoi(argv[2]) : 0;
    if (passes <= 0)
        return fprintf(stderr, "Usage: rfidd-soak [--passes N | --long]\n"), 2;
    time_t started = time(nullptr), deadline = started + 120 + passes / 4;
    setvbuf(stdout, nullptr, _IOLBF, 0);
    bool isolated = unshare(CLONE_NEWNET) == 0; // the programs started inherit the namespace
    if (isolated && system("PATH=$PATH:/usr/sbin:/sbin; ip link set lo up") != 0)
        return puts("FAIL  no loopback in the private network namespace\n0 passed, 1 failed"), 1;
    printf("rfidd-soak: %d cards, %s\n", passes, isolated ? "in a private network namespace" : "on loopback");

    // Distinct cards, bytes in base 170: never AA, so a cut reply never looks like a frame's start.
    std::string work = harness::tempDir("rfidd-soak"), plan;
    for (int i = 0; i < passes; ++i) {
        char step[64];
        snprintf(step, sizeof step, "card %s%02X%02X%02X%02X reads=1\n%s", i % 7 == 6 ? "04A1B2" : "",
                 i / 4913000 % 170, i / 28900 % 170, i / 170 % 170, i % 170, i % 10 == 9 ? "gap 30\n" : "");
        plan += step;
    }
    harness::writeFile(work + "/plan", plan + "gap 1000000\n");

    // The servers: rfidctl listen, a listener that closes each connection at once, port 1 where
    // nothing listens, and a listener whose accept queue a connection of ours fills.
    harness::Process listener = harness::start({harness::binaryPath("rfidctl"), "listen", "0", "--bind",
                                                "127.0.0.1", "--json"}, work + "/listen.out");
    const std::string ready = "rfidctl: listening on 127.0.0.1:";
    std::string text = harness::waitForOutput(listener, ready, 30000) ? harness::output(listener) : "";
    int closing = harness::listenTcp(0), silent = harness::listenTcp(0, 0);
    int filler = harness::connectTcp(harness::boundPort(silent));
    const int ports[] = {text.empty() ? 0 : atoi(text.c_str() + text.find(ready) + ready.size()),
                         harness::boundPort(closing), 1, harness::boundPort(silent)};
    std::thread closer([closing] { while (close(accept(closing, nullptr, nullptr)) == 0) {} });

    harness::SandboxOptions options;
    options.provisionArgs = {"--server-port", std::to_string(ports[0]), "--code-type", "2"};
    options.simArgs = {"--no-pace", "--plan", work + "/plan", "--fault", "noreply/151", "--fault",
                       "stray-before/89", "--fault", "bad-check/83", "--fault", "bad-end/79", "--fault",
                       "split:40/73", "--fault", "stray-after:3/71", "--fault", "status:83/67"};
    harness::Sandbox sandbox;
    bool up = !text.empty() && filler >= 0 && harness::startSandbox(sandbox, options);
    const std::string settings = harness::readFile(sandbox.dir + "/etc/eth0-setting");

    // The run: the server setting follows the count of cards presented.
    std::thread loader(client);
    long badSwitches = 0;
    std::pair<long, long> before{0, 0}, after;
    int presented = 0, phase = 0;
    time_t moved = time(nullptr);
    // A card loop that reads no card for a minute has stalled: the run ends there.
    for (bool done = false; up && !done && time(nullptr) < std::min(deadline, moved + 60); usleep(50000)) {
        int now = harness::countInOutput(sandbox.sim, "rfid-sim: card ");
        moved = now > presented ? time(nullptr) : moved, presented = now;
        done = presented == passes && harness::output(sandbox.sim).ends_with("rfid-sim: field empty\n");
        int want = presented % 61 < 40 ? 0 : presented % 61 < 50 ? 1 : presented % 61 < 60 ? 2 : 3;
        std::string request = "{\"Command\":\"CMD_SetServerConf\",\"Data\":{\"IP\":\"127.0.0.1\",\"Port\":" +
                              std::to_string(ports[want]) + ",\"CodeType\":2}}";
        badSwitches += want != phase && (phase = want, exchange(request) != OK);
        if (before.first == 0 && presented >= std::max(200, passes / 10))
            before = resources(sandbox.daemon.pid); // warm-up is over
        up = harness::isRunning(sandbox.daemon) && harness::isRunning(sandbox.sim);
    }
    check(presented == passes && up, "all started, all cards presented in time, daemon and simulator running",
          std::to_string(presented) + " presented");
    stopping = true;
    loader.join();
    // Once the closing command has reached the module, the card loop has ended its last upload.
    for (int i = 0; i < 3000 && harness::readFile(sandbox.simLog).find(FRAMES[3]) == std::string::npos; ++i)
        usleep(10000);
    std::map<std::string, long> order; // place among the cards presented, from 1
    for (const std::string &line : harness::readLines(sandbox.sim.outputPath))
        if (line.rfind("rfid-sim: card ", 0) == 0)
            order.emplace(line.substr(15, line.find(' ', 15) - 15), order.size() + 1);
    std::vector<std::string> toListener, delivered;
    std::map<int, long> uploads; // upload attempts per server port
    long target = 0, last = 0, written = 0, misplaced = 0;
    for (const std::string &line : harness::readLines(sandbox.daemon.outputPath)) {
        int port = 0;
        if (sscanf(line.c_str(), "ip=127.0.0.1, port=%d,", &port) == 1)
            ++uploads[port];
        else if (sscanf(line.c_str(), "connect server 127.0.0.1:%d", &port) == 1)
            target = port;
        else if (line.rfind(">>>", 0) == 0 && ++written) {
            misplaced += order[line.substr(3)] <= last ? 1 : (last = order[line.substr(3)], 0);
            if (target == ports[0])
                toListener.push_back(line.substr(3));
        }
    }
    for (int i = 0; i < 3000 && harness::countInOutput(listener, "\"card\":") < int(toListener.size()); ++i)
        usleep(10000);
    for (const std::string &line : harness::readLines(listener.outputPath))
        if (size_t at = line.find("\"card\":\""); at != std::string::npos)
            delivered.push_back(line.substr(at + 8, line.find('"', at + 8) - at - 8));
    after = resources(sandbox.daemon.pid);
    std::string answer = exchange(REQUESTS[0].first),
                reports = harness::crashReport(sandbox.daemon) + harness::crashReport(sandbox.sim);
    harness::stopSandbox(sandbox);
    harness::stop(listener);
    shutdown(closing, SHUT_RDWR);
    closer.join();

    long attempts = 0; // one per card read: a damaged reply loses its card, about one in thirteen
    for (const auto &[port, count] : uploads)
        attempts += count;
    check(4 * attempts >= 3 * presented, "at least three in four cards presented were read and uploaded",
          std::to_string(attempts) + " uploads of " + std::to_string(presented) + " cards");
    check(misplaced == 0, "every card written (>>>) was presented, once, in order (no \"\\r\")", "not");
    check(uploads[ports[0]] == long(toListener.size()) && delivered == toListener &&
              4 * delivered.size() >= size_t(presented),
          "every upload to rfidctl listen was written and arrived, once and in order (a quarter of the cards)",
          std::to_string(uploads[ports[0]]) + " uploads, " + std::to_string(toListener.size()) + " written, " +
              std::to_string(delivered.size()) + " arrived");
    check(wrong.empty() && badSwitches == 0, "no configuration reply was wrong",
          std::to_string(badSwitches) + " server switches; " + (wrong.empty() ? "" : wrong.front()));
    std::set<std::string> kinds; // of the control frames the module got
    long frames = 0;
    for (const std::string &line : harness::readLines(sandbox.simLog))
        if (line.rfind("AA 00 01 05 99 ", 0) == 0 && ++frames)
            kinds.insert(line);
    check(kinds == std::set<std::string>(FRAMES, FRAMES + 4),
          "each valid bit string, no other, reached the module", std::to_string(kinds.size()) + " kinds");
    check(harness::readFile(sandbox.dir + "/etc/eth0-setting") == settings &&
              access((sandbox.dir + "/reboot.log").c_str(), F_OK) != 0,
          "the network settings unchanged, no reboot asked for", "see " + sandbox.dir);
    check(after.first <= before.first + 2, "open descriptors within 2 of warm-up", "more");
    check(RFIDD_SANITIZED || after.second <= before.second + std::max(2048L, before.second / 10),
          "resident memory within 10 % of warm-up (not compared under a sanitizer)", "more");
    check(answer == READER_ID && reports.empty(), "the daemon answers; no crash or sanitizer report",
          answer + reports);
    printf("figures (%ld s): cards presented %d, written %ld, to rfidctl listen %zu, arrived %zu; uploads: "
           "accepting %ld, closing %ld, refused %ld, unanswered %ld; client rounds %ld, control frames %ld; "
           "descriptors %ld -> %ld, VmRSS %ld -> %ld KiB (warm-up -> end)\n",
           long(time(nullptr) - started), presented, written, toListener.size(), delivered.size(),
           uploads[ports[0]], uploads[ports[1]], uploads[ports[2]], uploads[ports[3]], rounds, frames,
           before.first, after.first, before.second, after.second);
    if (failed == 0)
        harness::removeTree(work);
    printf("%d passed, %d failed\n", passed, failed);
    return failed != 0;
}
