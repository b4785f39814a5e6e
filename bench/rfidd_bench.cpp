// rfidd-bench: figures of the card loop against rfid-sim paced at 9600 bit/s,
// in the sandbox of this build tree (so never while the tests run).
//
//   pass time, no card      request frames in the sim log over a fixed time
//   card-to-server latency  arrival of each card at the in-process server,
//                           minus the moment the sim logged the request that
//                           read it, minus the paced reply's own line time
//   CPU per pass, CPU share utime + stime of the daemon (/proc/<pid>/stat)
//                           over the idle window; the per-thread scheduler
//                           clock (/proc/<pid>/task/*/schedstat, ns) beside it
//   peak resident memory    VmHWM of /proc/<pid>/status at the end
//
// Usage: rfidd-bench [--idle-seconds N] [--cards N]
#include "tests/support/sandbox.h"

#include <dirent.h>
#include <poll.h>
#include <sys/inotify.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

using namespace harness;

static constexpr double BYTE_MS = 10.0 * 1000.0 / 9600.0; // 8N1: ten bit times a byte
static constexpr double SILENCE_MS = 20.0;                // silence that ends a reply
static constexpr int NO_CARD_REPLY_BYTES = 8;             // AA 00 01 02 01 83 81 BB
static constexpr int REQUEST_BYTES = 8;                   // AA 00 01 02 95 01 97 BB
static constexpr int CARD_REPLY_BYTES = 14;               // 3 leading bytes and a 4-byte UID
static constexpr int CONTROL_PORT = 10001;

static double nowMs()
{
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return ts.tv_sec * 1000.0 + ts.tv_nsec / 1e6;
}

static void sleepMs(int ms)
{
    usleep(static_cast<useconds_t>(ms) * 1000);
}

// utime + stime of the whole process, in clock ticks; -1 when unreadable.
static long long cpuTicks(pid_t pid)
{
    std::string stat = readFile("/proc/" + std::to_string(pid) + "/stat");
    size_t close = stat.rfind(')');
    if (close == std::string::npos)
        return -1;
    std::istringstream fields(stat.substr(close + 2));
    std::string field;
    long long utime = 0, stime = 0;
    // Fields after the name start at field 3 (state); utime is 14, stime 15.
    for (int index = 3; index <= 15 && (fields >> field); ++index) {
        if (index == 14)
            utime = atoll(field.c_str());
        if (index == 15)
            stime = atoll(field.c_str());
    }
    return utime + stime;
}

// Time on the CPU of every thread, in nanoseconds; -1 when unavailable.
static long long schedNs(pid_t pid)
{
    std::string dir = "/proc/" + std::to_string(pid) + "/task";
    DIR *tasks = opendir(dir.c_str());
    if (!tasks)
        return -1;
    long long total = 0;
    bool any = false;
    while (dirent *entry = readdir(tasks)) {
        if (entry->d_name[0] == '.')
            continue;
        std::string text = readFile(dir + "/" + entry->d_name + "/schedstat");
        if (text.empty())
            continue;
        total += atoll(text.c_str());
        any = true;
    }
    closedir(tasks);
    return any ? total : -1;
}

static std::string statusField(pid_t pid, const std::string &name)
{
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(status, line))
        if (line.rfind(name + ":", 0) == 0) {
            std::string value = line.substr(name.size() + 1);
            value.erase(0, value.find_first_not_of(" \t"));
            return value;
        }
    return "?";
}

// Records the moment each line is appended to the sim log.
struct LogWatch {
    std::string path;
    std::atomic<bool> stopping{false};
    std::mutex lock;
    std::vector<double> lineTimes;
    std::thread thread;
};

static void watchLog(LogWatch *watch)
{
    int notify = inotify_init1(IN_CLOEXEC | IN_NONBLOCK);
    if (notify < 0 || inotify_add_watch(notify, watch->path.c_str(), IN_MODIFY) < 0) {
        perror("inotify");
        return;
    }
    size_t consumed = 0;
    std::string pending;
    while (!watch->stopping) {
        pollfd waiting{notify, POLLIN, 0};
        if (poll(&waiting, 1, 50) != 1)
            continue;
        double now = nowMs();
        char events[4096];
        while (read(notify, events, sizeof events) > 0) {
        }
        std::string text = readFile(watch->path);
        if (text.size() <= consumed)
            continue;
        pending += text.substr(consumed);
        consumed = text.size();
        std::lock_guard<std::mutex> hold(watch->lock);
        for (size_t end; (end = pending.find('\n')) != std::string::npos;) {
            watch->lineTimes.push_back(now);
            pending.erase(0, end + 1);
        }
    }
    close(notify);
}

static double median(std::vector<double> values)
{
    if (values.empty())
        return 0;
    std::sort(values.begin(), values.end());
    size_t middle = values.size() / 2;
    return values.size() % 2 ? values[middle] : (values[middle - 1] + values[middle]) / 2;
}

static SandboxOptions benchOptions(int serverPort, std::vector<std::string> simArgs)
{
    SandboxOptions options;
    options.provisionArgs = {"--server-ip", "127.0.0.1", "--server-port", std::to_string(serverPort)};
    options.simArgs = {"--quiet"};
    options.simArgs.insert(options.simArgs.end(), simArgs.begin(), simArgs.end());
    return options;
}

int main(int argc, char **argv)
{
    int idleSeconds = 20;
    int cardCount = 20;
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        if (arg == "--idle-seconds" && i + 1 < argc)
            idleSeconds = atoi(argv[++i]);
        else if (arg == "--cards" && i + 1 < argc)
            cardCount = atoi(argv[++i]);
        else {
            fprintf(stderr, "usage: rfidd-bench [--idle-seconds N] [--cards N]\n");
            return 2;
        }
    }
    if (idleSeconds < 2 || cardCount < 1) {
        fprintf(stderr, "rfidd-bench: --idle-seconds must be 2 or more, --cards 1 or more\n");
        return 2;
    }
    if (isListening(CONTROL_PORT)) {
        fprintf(stderr, "rfidd-bench: port %d is in use (tests or another daemon running?)\n", CONTROL_PORT);
        return 1;
    }
    int server = listenTcp(0);
    if (server < 0) {
        perror("rfidd-bench: listen");
        return 1;
    }
    int serverPort = boundPort(server);

    // --- idle: no card in the field ----------------------------------------
    Sandbox sandbox;
    if (!startSandbox(sandbox, benchOptions(serverPort, {}))) {
        stopSandbox(sandbox);
        return 1;
    }
    pid_t pid = sandbox.daemon.pid;
    sleepMs(1000); // let the loop settle
    size_t lines0 = readLines(sandbox.simLog).size();
    long long ticks0 = cpuTicks(pid);
    long long sched0 = schedNs(pid);
    double t0 = nowMs();
    sleepMs(idleSeconds * 1000);
    size_t lines1 = readLines(sandbox.simLog).size();
    long long ticks1 = cpuTicks(pid);
    long long sched1 = schedNs(pid);
    double t1 = nowMs();
    stopSandbox(sandbox);

    double windowMs = t1 - t0;
    double passes = static_cast<double>(lines1 - lines0);
    double tick = static_cast<double>(sysconf(_SC_CLK_TCK));
    double cpuMs = (ticks1 - ticks0) * 1000.0 / tick;
    double schedMs = sched0 >= 0 && sched1 >= 0 ? (sched1 - sched0) / 1e6 : -1;
    double passMs = passes > 0 ? windowMs / passes : 0;

    // --- cards: one read each, with gaps between them -----------------------
    std::string planDir = tempDir("rfidd-bench");
    std::string plan = planDir + "/plan";
    {
        std::string text;
        for (int i = 0; i < cardCount; ++i) {
            char line[64];
            snprintf(line, sizeof line, "card %08X reads=1\ngap 300\n",
                     0x10000000u + static_cast<unsigned>(i));
            text += line;
        }
        writeFile(plan, text);
    }
    Sandbox cards;
    SandboxOptions options = benchOptions(serverPort, {"--plan", plan});
    options.startDaemon = false;
    if (!startSandbox(cards, options)) {
        stopSandbox(cards);
        return 1;
    }
    LogWatch watch;
    watch.path = cards.simLog;
    writeFile(watch.path, ""); // exists before the watch starts
    watch.thread = std::thread(watchLog, &watch);
    sleepMs(100);
    if (!startDaemon(cards)) {
        watch.stopping = true;
        watch.thread.join();
        stopSandbox(cards);
        return 1;
    }
    pid = cards.daemon.pid;

    std::vector<double> latencies;
    std::vector<std::string> received;
    double deadline = nowMs() + cardCount * 300.0 + 15000.0;
    while (static_cast<int>(received.size()) < cardCount && nowMs() < deadline) {
        pollfd waiting{server, POLLIN, 0};
        if (poll(&waiting, 1, 200) != 1)
            continue;
        int client = accept(server, nullptr, nullptr);
        if (client < 0)
            continue;
        char buffer[128];
        ssize_t got = recv(client, buffer, sizeof buffer - 1, 0);
        double arrival = nowMs();
        std::string card = got > 0 ? std::string(buffer, static_cast<size_t>(got)) : std::string();
        received.push_back(card + recvQuiet(client, 500, 500));
        close(client);
        // The request that read this card is the last one logged before it.
        double request = -1;
        {
            std::lock_guard<std::mutex> hold(watch.lock);
            for (double at : watch.lineTimes)
                if (at <= arrival)
                    request = at;
        }
        if (request >= 0)
            latencies.push_back(arrival - request - CARD_REPLY_BYTES * BYTE_MS);
    }
    std::string hwm = statusField(pid, "VmHWM");
    std::string rss = statusField(pid, "VmRSS");
    watch.stopping = true;
    watch.thread.join();
    bool crashed = !crashReport(cards.daemon).empty();
    stopSandbox(cards);
    removeTree(planDir);
    close(server);

    double lineTimePass = (REQUEST_BYTES + NO_CARD_REPLY_BYTES) * BYTE_MS + SILENCE_MS;
    double replyLinePass = NO_CARD_REPLY_BYTES * BYTE_MS + SILENCE_MS;
    std::vector<double> sorted = latencies;
    std::sort(sorted.begin(), sorted.end());

    printf(
        "rfidd-bench: rfid-sim paced at 9600 bit/s (%.3f ms a byte), idle window %.1f s, %zu of %d cards\n",
        BYTE_MS, windowMs / 1000, received.size(), cardCount);
    printf("%-38s %-24s %s\n", "figure", "measured", "line-time limit");
    printf("%-38s %-24s %s\n", "--------------------------------------", "------------------------",
           "----------------------------------------------");
    char value[64];
    snprintf(value, sizeof value, "%.1f ms (%.0f passes)", passMs, passes);
    printf("%-38s %-24s %.1f ms (8 B request + 8 B reply + 20 ms silence;\n%-63s %.1f ms without the request,"
           " which a pty does not pace)\n",
           "pass time, no card", value, lineTimePass, "", replyLinePass);
    if (!sorted.empty()) {
        snprintf(value, sizeof value, "%.1f / %.1f / %.1f ms", sorted.front(), median(sorted), sorted.back());
        printf("%-38s %-24s %.1f ms (20 ms silence that ends the reply)\n",
               "card-to-server latency min/median/max", value, SILENCE_MS);
    } else {
        printf("%-38s %-24s %.1f ms\n", "card-to-server latency", "no card arrived", SILENCE_MS);
    }
    snprintf(value, sizeof value, "%.3f ms (stat)", passes > 0 ? cpuMs / passes : 0);
    printf("%-38s %-24s %.1f ms (line time of one pass)\n", "CPU time per pass", value, lineTimePass);
    if (schedMs >= 0) {
        snprintf(value, sizeof value, "%.3f ms (schedstat)", passes > 0 ? schedMs / passes : 0);
        printf("%-38s %-24s\n", "", value);
    }
    snprintf(value, sizeof value, "%.2f %% (stat)", 100.0 * cpuMs / windowMs);
    printf("%-38s %-24s 100 %% (one core)\n", "CPU share while idle", value);
    if (schedMs >= 0) {
        snprintf(value, sizeof value, "%.2f %% (schedstat)", 100.0 * schedMs / windowMs);
        printf("%-38s %-24s\n", "", value);
    }
    printf("%-38s %-24s %s\n", "peak resident memory (VmHWM)", hwm.c_str(), "-");
    printf("%-38s %-24s %s\n", "resident memory at the end (VmRSS)", rss.c_str(), "-");
    printf(
        "stat clock: %.0f ticks a second, so the stat figures are good to %.0f ms of CPU over the window\n",
        tick, 1000.0 / tick);
    if (crashed)
        printf("WARNING: the daemon printed a crash or sanitizer report\n");
    return received.empty() ? 1 : 0;
}
