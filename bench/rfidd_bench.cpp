// rfidd-bench: figures of the daemon against rfid-sim paced at 9600 bit/s,
// in the sandbox of this build tree (so never while the tests run), printed
// in one table beside their limits.
//
//   pass time, no card       request frames in the sim log over a fixed time
//   pass time, card          the same with a card in the field for every read
//                            and the upstream server accepting every upload
//   card-to-server latency   arrival of each card at the in-process upstream
//                            server, minus the moment the reply's last byte
//                            could be read: the sim logs the request that read
//                            the card and writes the first reply byte at once,
//                            the last one (bytes - 1) byte times later
//   CPU per pass, CPU share  the per-thread scheduler clock of the daemon
//                            (/proc/<pid>/task/*/schedstat, ns) over the
//                            window; utime + stime (/proc/<pid>/stat) beside it
//   peak resident memory     VmHWM of /proc/<pid>/status, the largest of all runs
//   configuration reply      one CMD_GetReaderId written at once on port 8001,
//                            until the whole 46-byte reply has arrived; the
//                            time the service thread and the bench spent
//                            waiting for a CPU is shown for the slowest one;
//                            then the same with the request ended by a
//                            half-close, which needs no quiet time
//   stripped size            a stripped copy of rfidd (amd64, armhf)
//
// The daemon's output and the sim's log live in memory (/dev/shm) while they
// are measured, so that a write blocked on a busy disk is not counted.
//
// Usage: rfidd-bench [--idle-seconds N] [--card-seconds N] [--cards N]
//                    [--config-requests N] [--armhf-rfidd PATH|""] [--samples]
//                    [--output-dir DIR]   (default /dev/shm)
#include "tests/support/sandbox.h"

#include <dirent.h>
#include <poll.h>
#include <sys/inotify.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
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
static constexpr int REQUEST_BYTES = 8;                   // AA 00 01 02 95 01 97 BB
static constexpr int NO_CARD_REPLY_BYTES = 8;             // AA 00 01 02 01 83 81 BB
static constexpr int CARD_REPLY_BYTES = 14;               // 3 leading bytes and a 4-byte UID
static constexpr double QUIET_MS = 200.0;                 // quiet time that ends a request on 8001
static constexpr double MARGIN = 0.10;                    // how far above its limit a figure may lie
static constexpr int UDP_PORT = 8000;
static constexpr int CONFIG_PORT = 8001;
static constexpr int CONTROL_PORT = 10001;
static constexpr const char *CARD_UID = "12345678";

static const char CONFIG_REQUEST[] = "{\"Command\":\"CMD_GetReaderId\"}";
// cJSON's formatted print of {"response":1,"Data":{"devId":1}}: 46 bytes.
static const char CONFIG_REPLY[] = "{\n\t\"response\":\t1,\n\t\"Data\":\t{\n\t\t\"devId\":\t1\n\t}\n}";

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

// One field of /proc/<pid>/task/*/schedstat summed over every thread, in
// nanoseconds: 0 time on the CPU, 1 time spent runnable but waiting for a
// CPU. -1 when unavailable.
static long long schedField(pid_t pid, int field)
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
        std::istringstream text(readFile(dir + "/" + entry->d_name + "/schedstat"));
        long long value = 0;
        for (int i = 0; i <= field && (text >> value); ++i) {
        }
        if (!text)
            continue;
        total += value;
        any = true;
    }
    closedir(tasks);
    return any ? total : -1;
}

static long long schedNs(pid_t pid)
{
    return schedField(pid, 0);
}

// Time the calling thread has spent waiting for a CPU, in nanoseconds.
static long long ownRunDelayNs()
{
    std::istringstream text(readFile("/proc/thread-self/schedstat"));
    long long onCpu = 0, waiting = -1;
    text >> onCpu >> waiting;
    return text ? waiting : -1;
}

// Per thread of `pid`: tid, time on the CPU and time waiting for a CPU (ns).
struct ThreadClock {
    long tid;
    long long onCpu;
    long long waiting;
};

static std::vector<ThreadClock> threadClocks(pid_t pid)
{
    std::vector<ThreadClock> clocks;
    std::string dir = "/proc/" + std::to_string(pid) + "/task";
    DIR *tasks = opendir(dir.c_str());
    if (!tasks)
        return clocks;
    while (dirent *entry = readdir(tasks)) {
        if (entry->d_name[0] == '.')
            continue;
        std::istringstream text(readFile(dir + "/" + entry->d_name + "/schedstat"));
        ThreadClock clock{atol(entry->d_name), 0, 0};
        if (text >> clock.onCpu >> clock.waiting)
            clocks.push_back(clock);
    }
    closedir(tasks);
    return clocks;
}

// Of the service threads (every thread but the card loop on the main
// thread), the one that ran longest between the two snapshots: the one that
// handled the request. Returns the time it waited for a CPU meanwhile in ns,
// -1 when unknown.
static long long serviceThreadWaitNs(pid_t pid, const std::vector<ThreadClock> &before,
                                     const std::vector<ThreadClock> &after, long long *ranNs)
{
    long long busiest = -1, waited = -1;
    for (const ThreadClock &now : after) {
        if (now.tid == pid)
            continue;
        for (const ThreadClock &then : before)
            if (then.tid == now.tid && now.onCpu - then.onCpu > busiest) {
                busiest = now.onCpu - then.onCpu;
                waited = now.waiting - then.waiting;
            }
    }
    *ranNs = busiest;
    return waited;
}

// A "<number> kB" field of /proc/<pid>/status in kB; -1 when missing.
static long statusKb(pid_t pid, const std::string &name)
{
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(status, line))
        if (line.rfind(name + ":", 0) == 0)
            return atol(line.c_str() + name.size() + 1);
    return -1;
}

static std::string loadAverage()
{
    std::string text = readFile("/proc/loadavg");
    std::istringstream fields(text);
    std::string one, five, fifteen;
    fields >> one >> five >> fifteen;
    return one + " " + five + " " + fifteen;
}

static double median(std::vector<double> values)
{
    if (values.empty())
        return 0;
    std::sort(values.begin(), values.end());
    size_t middle = values.size() / 2;
    return values.size() % 2 ? values[middle] : (values[middle - 1] + values[middle]) / 2;
}

// --- the sim log: the moment each request frame was logged ----------------

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
        perror("rfidd-bench: inotify");
        if (notify >= 0)
            close(notify);
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

// --- the upstream server: takes every upload at once -----------------------

struct Arrival {
    double at; // first byte received
    std::string text;
};

struct Upstream {
    int listener = -1;
    std::atomic<bool> stopping{false};
    std::mutex lock;
    std::vector<Arrival> arrivals;
    std::thread thread;
};

static void serveUploads(Upstream *upstream)
{
    while (!upstream->stopping) {
        pollfd waiting{upstream->listener, POLLIN, 0};
        if (poll(&waiting, 1, 50) != 1)
            continue;
        int client = accept(upstream->listener, nullptr, nullptr);
        if (client < 0)
            continue;
        std::string text;
        double at = -1;
        for (;;) {
            pollfd readable{client, POLLIN, 0};
            if (poll(&readable, 1, 1000) != 1)
                break;
            char buffer[256];
            ssize_t got = recv(client, buffer, sizeof buffer, 0);
            if (got <= 0)
                break;
            if (at < 0)
                at = nowMs();
            text.append(buffer, static_cast<size_t>(got));
        }
        close(client);
        std::lock_guard<std::mutex> hold(upstream->lock);
        upstream->arrivals.push_back({at, text});
    }
}

static size_t arrivalCount(Upstream &upstream)
{
    std::lock_guard<std::mutex> hold(upstream.lock);
    return upstream.arrivals.size();
}

// --- one daemon run -------------------------------------------------------

// Scratch space in memory (tmpfs) for what the daemon and the sim write while
// they are measured: the daemon writes its diagnostics line by line, and a
// write into a file on a busy disk can block for tens of milliseconds, which
// would be counted as the daemon's own time.
// --output-dir puts it elsewhere (to see what a disk costs).
static std::string scratchParent = "/dev/shm";

static std::string memoryDir()
{
    std::string pattern = scratchParent + "/rfidd-bench-XXXXXX";
    std::vector<char> path(pattern.begin(), pattern.end());
    path.push_back('\0');
    if (mkdtemp(path.data()))
        return path.data();
    return tempDir("rfidd-bench");
}

struct Run {
    Sandbox sandbox;
    std::string scratch; // the sim's log and everything the two print
};

// Provisions the sandbox with the upstream server at `serverPort`, starts
// rfid-sim (paced) with `simArgs` and, when `withDaemon`, rfidd-sandbox.
static bool startRun(Run &run, int serverPort, const std::vector<std::string> &simArgs, bool withDaemon)
{
    run.scratch = memoryDir();
    SandboxOptions options;
    options.provisionArgs = {"--server-ip", "127.0.0.1", "--server-port", std::to_string(serverPort)};
    options.startSim = false;
    options.startDaemon = false;
    Sandbox &sandbox = run.sandbox;
    if (!startSandbox(sandbox, options))
        return false;

    sandbox.simLog = run.scratch + "/sim.log";
    writeFile(sandbox.simLog, ""); // exists before anything watches it
    std::vector<std::string> sim = {binaryPath("rfid-sim"), "--link", sandbox.dir + "/dev/ttySAC1", "--log",
                                    sandbox.simLog,         "--quiet"};
    sim.insert(sim.end(), simArgs.begin(), simArgs.end());
    sandbox.sim = start(sim, run.scratch + "/sim.out");
    if (sandbox.sim.pid <= 0 || !waitForOutput(sandbox.sim, "rfid-sim: ready", 10000)) {
        fprintf(stderr, "rfid-sim did not come up:\n%s\n", output(sandbox.sim).c_str());
        return false;
    }
    // startDaemon writes the daemon's output to <sandbox>/daemon.out; a link
    // takes it to the scratch space.
    std::string link = sandbox.dir + "/daemon.out";
    writeFile(run.scratch + "/daemon.out", "");
    unlink(link.c_str());
    if (symlink((run.scratch + "/daemon.out").c_str(), link.c_str()) != 0) {
        perror("rfidd-bench: symlink");
        return false;
    }
    return !withDaemon || startDaemon(sandbox);
}

static void stopRun(Run &run)
{
    stopSandbox(run.sandbox);
    if (!run.scratch.empty())
        removeTree(run.scratch);
    run.scratch.clear();
}

// What one steady window of the card loop shows.
struct Window {
    double ms = 0;         // length of the window
    double passes = 0;     // request frames the sim logged in it
    double cpuStatMs = -1; // utime + stime over the window
    double cpuSchedMs = -1;
    double waitMs = -1; // time the daemon's threads were runnable without a CPU
    size_t uploads = 0; // cards that reached the upstream server in it
};

static Window measureWindow(Sandbox &sandbox, Upstream &upstream, int seconds)
{
    pid_t pid = sandbox.daemon.pid;
    sleepMs(1000); // let the loop settle
    size_t lines0 = readLines(sandbox.simLog).size();
    size_t uploads0 = arrivalCount(upstream);
    long long ticks0 = cpuTicks(pid);
    long long sched0 = schedNs(pid);
    long long wait0 = schedField(pid, 1);
    double t0 = nowMs();
    sleepMs(seconds * 1000);
    size_t lines1 = readLines(sandbox.simLog).size();
    size_t uploads1 = arrivalCount(upstream);
    long long ticks1 = cpuTicks(pid);
    long long sched1 = schedNs(pid);
    long long wait1 = schedField(pid, 1);
    double t1 = nowMs();

    Window window;
    window.ms = t1 - t0;
    window.passes = static_cast<double>(lines1 - lines0);
    window.uploads = uploads1 - uploads0;
    if (ticks0 >= 0 && ticks1 >= 0)
        window.cpuStatMs = (ticks1 - ticks0) * 1000.0 / static_cast<double>(sysconf(_SC_CLK_TCK));
    if (sched0 >= 0 && sched1 >= 0)
        window.cpuSchedMs = (sched1 - sched0) / 1e6;
    if (wait0 >= 0 && wait1 >= 0)
        window.waitMs = (wait1 - wait0) / 1e6;
    return window;
}

// One CMD_GetReaderId written at once on a fresh connection.
struct ConfigSample {
    double ms = -1;            // from the write to the last byte of the whole reply
    double waitMs = -1;        // of that, time the configuration thread and this one
                               // spent runnable but waiting for a CPU
    double serviceWaitMs = -1; // the configuration thread's part of waitMs
    double serviceCpuMs = -1;  // time the configuration thread ran
};

// -1 in ms (with *problem set) on a wrong or missing reply.
// With `halfClose` the request is ended by shutting down the sending side
// right after the write, which ends it without waiting for the quiet time.
static ConfigSample configReply(pid_t daemon, bool halfClose, std::string *problem)
{
    ConfigSample sample;
    int fd = connectTcp(CONFIG_PORT, 2000);
    if (fd < 0) {
        *problem = "cannot connect to port 8001";
        return sample;
    }
    const size_t want = sizeof CONFIG_REPLY - 1;
    std::vector<ThreadClock> daemonClocks0 = threadClocks(daemon);
    long long ownWait0 = ownRunDelayNs();
    double sent = nowMs();
    if (send(fd, CONFIG_REQUEST, sizeof CONFIG_REQUEST - 1, MSG_NOSIGNAL) !=
        static_cast<ssize_t>(sizeof CONFIG_REQUEST - 1)) {
        *problem = std::string("send: ") + strerror(errno);
        close(fd);
        return sample;
    }
    if (halfClose)
        shutdown(fd, SHUT_WR);
    std::string reply;
    double done = -1;
    while (reply.size() < want) {
        double left = sent + 3000 - nowMs();
        pollfd readable{fd, POLLIN, 0};
        if (left <= 0 || poll(&readable, 1, static_cast<int>(left) + 1) != 1)
            break;
        char buffer[256];
        ssize_t got = recv(fd, buffer, sizeof buffer, 0);
        if (got <= 0)
            break;
        reply.append(buffer, static_cast<size_t>(got));
        done = nowMs();
    }
    long long serviceRan = -1;
    long long daemonWait = serviceThreadWaitNs(daemon, daemonClocks0, threadClocks(daemon), &serviceRan);
    long long ownWait1 = ownRunDelayNs();
    close(fd);
    if (reply != CONFIG_REPLY) {
        *problem = "unexpected reply (" + std::to_string(reply.size()) + " bytes): " + reply;
        return sample;
    }
    sample.ms = done - sent;
    if (daemonWait >= 0 && ownWait0 >= 0 && ownWait1 >= 0)
        sample.waitMs = (daemonWait + (ownWait1 - ownWait0)) / 1e6;
    sample.serviceWaitMs = daemonWait / 1e6;
    sample.serviceCpuMs = serviceRan / 1e6;
    return sample;
}

// Keeps the largest VmHWM and RssAnon of the daemon runs.
static void noteMemory(pid_t pid, const char *run, bool show, long *peakKb, long *anonKb)
{
    long peak = statusKb(pid, "VmHWM");
    long anon = statusKb(pid, "RssAnon");
    if (show)
        fprintf(stderr, "memory after the run (%s): VmHWM %ld kB, RssAnon %ld kB\n", run, peak, anon);
    *peakKb = std::max(*peakKb, peak);
    *anonKb = std::max(*anonKb, anon);
}

// --- program sizes --------------------------------------------------------

static std::string findProgram(const std::string &name)
{
    const char *path = getenv("PATH");
    std::istringstream dirs(path ? path : "/usr/bin:/bin");
    std::string dir;
    while (std::getline(dirs, dir, ':')) {
        std::string candidate = (dir.empty() ? "." : dir) + "/" + name;
        if (access(candidate.c_str(), X_OK) == 0)
            return candidate;
    }
    return "";
}

static long long fileSize(const std::string &path)
{
    struct stat info {
    };
    return stat(path.c_str(), &info) == 0 ? static_cast<long long>(info.st_size) : -1;
}

// Size of a stripped copy of `program`, or a reason why there is none.
static std::string strippedSize(const std::string &program, const std::string &stripTool, long long *bytes)
{
    *bytes = -1;
    if (program.empty() || fileSize(program) < 0)
        return "not built";
    std::string tool = findProgram(stripTool);
    if (tool.empty())
        return stripTool + " not found";
    std::string dir = tempDir("rfidd-bench-strip");
    std::string copy = dir + "/rfidd";
    std::string text;
    int status = runProgram({tool, "-o", copy, program}, &text);
    *bytes = status == 0 ? fileSize(copy) : -1;
    removeTree(dir);
    if (*bytes < 0)
        return stripTool + " failed: " + text;
    char value[96];
    // Whether SQLite comes along inside the program or from a shared library.
    std::string readelf = findProgram("readelf");
    std::string dynamic;
    bool sharedSqlite = !readelf.empty() && runProgram({readelf, "-d", program}, &dynamic) == 0 &&
                        dynamic.find("libsqlite3") != std::string::npos;
    snprintf(value, sizeof value, "%lld B (%.0f KiB)%s", *bytes, *bytes / 1024.0,
             readelf.empty() ? ""
             : sharedSqlite  ? ", SQLite shared"
                             : ", SQLite inside");
    return value;
}

// --- the table ------------------------------------------------------------

static void row(const char *figure, const std::string &measured, const std::string &limit,
                const std::string &verdict)
{
    printf("%-34s %-34s %-32s %s\n", figure, measured.c_str(), limit.c_str(), verdict.c_str());
}

// "ok" at or below the limit, "ok (+N %)" within the margin, "OVER +N %" above.
static std::string verdict(double measured, double limit)
{
    char text[64];
    double above = (measured - limit) / limit;
    if (above <= 0)
        return "ok";
    if (above <= MARGIN)
        snprintf(text, sizeof text, "ok (+%.1f %%)", 100 * above);
    else
        snprintf(text, sizeof text, "OVER (+%.1f %%)", 100 * above);
    return text;
}

static std::string format(const char *pattern, double a, double b = 0, double c = 0)
{
    char text[128];
    snprintf(text, sizeof text, pattern, a, b, c);
    return text;
}

static int usage()
{
    fprintf(stderr, "usage: rfidd-bench [--idle-seconds N] [--card-seconds N] [--cards N]\n"
                    "                   [--config-requests N] [--armhf-rfidd PATH] [--samples]\n"
                    "                   [--output-dir DIR]\n");
    return 2;
}

int main(int argc, char **argv)
{
    int idleSeconds = 20;
    int cardSeconds = 10;
    int cardCount = 20;
    int configRequests = 20;
    bool showSamples = false;
    std::string armhfRfidd = std::string(RFIDD_SOURCE_DIR) + "/build-armhf/bin/rfidd";
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        if (arg == "--samples") {
            showSamples = true;
            continue;
        }
        if (i + 1 >= argc)
            return usage();
        if (arg == "--idle-seconds")
            idleSeconds = atoi(argv[++i]);
        else if (arg == "--card-seconds")
            cardSeconds = atoi(argv[++i]);
        else if (arg == "--cards")
            cardCount = atoi(argv[++i]);
        else if (arg == "--config-requests")
            configRequests = atoi(argv[++i]);
        else if (arg == "--output-dir")
            scratchParent = argv[++i];
        else if (arg == "--armhf-rfidd")
            armhfRfidd = argv[++i];
        else
            return usage();
    }
    if (idleSeconds < 2 || cardSeconds < 2 || cardCount < 1 || configRequests < 1) {
        fprintf(stderr, "rfidd-bench: --idle-seconds and --card-seconds must be 2 or more, "
                        "--cards and --config-requests 1 or more\n");
        return 2;
    }
    if (isBoundUdp(UDP_PORT) || isListening(CONFIG_PORT) || isListening(CONTROL_PORT)) {
        fprintf(stderr,
                "rfidd-bench: port %d/udp, %d/tcp or %d/tcp is in use (tests or another daemon "
                "running?); try again when they are free\n",
                UDP_PORT, CONFIG_PORT, CONTROL_PORT);
        return 3;
    }

    Upstream upstream;
    upstream.listener = listenTcp(0, 64);
    if (upstream.listener < 0) {
        perror("rfidd-bench: listen");
        return 1;
    }
    int serverPort = boundPort(upstream.listener);
    upstream.thread = std::thread(serveUploads, &upstream);
    auto finish = [&upstream](int status) {
        upstream.stopping = true;
        upstream.thread.join();
        close(upstream.listener);
        return status;
    };
    std::string loadBefore = loadAverage();
    long peakKb = -1; // VmHWM, the largest of the runs
    long anonKb = -1; // RssAnon at the end of a run: the daemon's private memory
    bool crashed = false;

    // --- no card: pass time, CPU, then the configuration service -----------
    Run idle;
    if (!startRun(idle, serverPort, {}, true)) {
        stopRun(idle);
        return finish(1);
    }
    Window empty = measureWindow(idle.sandbox, upstream, idleSeconds);
    std::vector<ConfigSample> configSamples;
    std::vector<double> halfCloseMs;
    std::string configProblem;
    for (int i = 0; i < configRequests && configProblem.empty(); ++i) {
        ConfigSample sample = configReply(idle.sandbox.daemon.pid, false, &configProblem);
        if (sample.ms >= 0)
            configSamples.push_back(sample);
        if (showSamples && sample.ms >= 0)
            fprintf(stderr,
                    "configuration reply %d: %.2f ms; waits for a CPU %.2f ms (service thread %.2f ms); "
                    "service thread ran %.3f ms\n",
                    i + 1, sample.ms, sample.waitMs, sample.serviceWaitMs, sample.serviceCpuMs);
        sleepMs(50);
    }
    for (int i = 0; i < configRequests && configProblem.empty(); ++i) {
        ConfigSample sample = configReply(idle.sandbox.daemon.pid, true, &configProblem);
        if (sample.ms >= 0)
            halfCloseMs.push_back(sample.ms);
        sleepMs(50);
    }
    noteMemory(idle.sandbox.daemon.pid, "no card, configuration requests", showSamples, &peakKb, &anonKb);
    crashed |= !crashReport(idle.sandbox.daemon).empty();
    stopRun(idle);

    // --- a card in the field for every read, the server accepting ----------
    Run present;
    if (!startRun(present, serverPort, {"--card", std::string(CARD_UID) + ",ms=86400000"}, true)) {
        stopRun(present);
        return finish(1);
    }
    Window full = measureWindow(present.sandbox, upstream, cardSeconds);
    noteMemory(present.sandbox.daemon.pid, "card in every read", showSamples, &peakKb, &anonKb);
    crashed |= !crashReport(present.sandbox.daemon).empty();
    stopRun(present);
    sleepMs(200); // the last upload in flight lands before the list is cleared
    {
        std::lock_guard<std::mutex> hold(upstream.lock);
        for (const Arrival &arrival : upstream.arrivals)
            if (arrival.text != CARD_UID) {
                fprintf(stderr, "rfidd-bench: the server received \"%s\", not \"%s\"\n", arrival.text.c_str(),
                        CARD_UID);
                break;
            }
        upstream.arrivals.clear();
    }

    // --- cards one read each, with gaps: card-to-server latency ------------
    std::string planDir = memoryDir();
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
    Run cards;
    if (!startRun(cards, serverPort, {"--plan", plan}, false)) {
        stopRun(cards);
        removeTree(planDir);
        return finish(1);
    }
    LogWatch watch;
    watch.path = cards.sandbox.simLog;
    watch.thread = std::thread(watchLog, &watch);
    sleepMs(100);
    if (!startDaemon(cards.sandbox)) {
        watch.stopping = true;
        watch.thread.join();
        stopRun(cards);
        removeTree(planDir);
        return finish(1);
    }
    double deadline = nowMs() + cardCount * 400.0 + 15000.0;
    while (static_cast<int>(arrivalCount(upstream)) < cardCount && nowMs() < deadline)
        sleepMs(50);
    sleepMs(200);
    watch.stopping = true;
    watch.thread.join();
    noteMemory(cards.sandbox.daemon.pid, "latency cards", showSamples, &peakKb, &anonKb);
    crashed |= !crashReport(cards.sandbox.daemon).empty();
    stopRun(cards);
    removeTree(planDir);

    std::vector<double> latencies;
    {
        std::lock_guard<std::mutex> hold(upstream.lock);
        for (const Arrival &arrival : upstream.arrivals) {
            // The request that read this card is the last one logged before it.
            double request = -1;
            for (double at : watch.lineTimes)
                if (at <= arrival.at)
                    request = at;
            if (request >= 0 && arrival.at >= 0)
                latencies.push_back(arrival.at - request - (CARD_REPLY_BYTES - 1) * BYTE_MS);
        }
    }
    size_t cardsReceived = arrivalCount(upstream);
    finish(0);

    // --- program sizes -------------------------------------------------------
    long long amd64Bytes = -1, armhfBytes = -1;
    std::string amd64Size = strippedSize(binaryPath("rfidd"), "strip", &amd64Bytes);
    std::string armhfSize = strippedSize(armhfRfidd, "arm-linux-gnueabihf-strip", &armhfBytes);

    // --- the table -------------------------------------------------------------
    const double noCardLimit = (REQUEST_BYTES + NO_CARD_REPLY_BYTES) * BYTE_MS + SILENCE_MS;
    const double cardLimit = (REQUEST_BYTES + CARD_REPLY_BYTES) * BYTE_MS + SILENCE_MS;
    const double configLimit = QUIET_MS; // the floor: no reply leaves earlier
    const double noCardFloor = (NO_CARD_REPLY_BYTES - 1) * BYTE_MS + SILENCE_MS;
    const double cardFloor = (CARD_REPLY_BYTES - 1) * BYTE_MS + SILENCE_MS;

    printf(
        "rfidd-bench: rfid-sim paced at 9600 bit/s 8N1 (%.4f ms a byte); load average %s before, %s after\n",
        BYTE_MS, loadBefore.c_str(), loadAverage().c_str());
    printf("windows: no card %.1f s, card %.1f s; %zu of %d latency cards; %zu configuration requests\n\n",
           empty.ms / 1000, full.ms / 1000, cardsReceived, cardCount, configSamples.size());
    row("figure", "measured", "limit", "verdict");
    row("----------------------------------", "----------------------------------",
        "--------------------------------", "-------------");

    double emptyPass = empty.passes > 0 ? empty.ms / empty.passes : 0;
    double fullPass = full.passes > 0 ? full.ms / full.passes : 0;
    row("pass time, no card", format("%.2f ms (%.0f passes)", emptyPass, empty.passes),
        format("%.1f ms (16 B + 20 ms)", noCardLimit),
        empty.passes > 0 ? verdict(emptyPass, noCardLimit) : "no pass");
    row("pass time, card in every read", format("%.2f ms (%.0f passes)", fullPass, full.passes),
        format("%.1f ms (22 B + 20 ms) + upload", cardLimit),
        full.passes > 0 ? verdict(fullPass, cardLimit) : "no pass");
    row("  cards uploaded in that window",
        format("%.0f of %.0f passes", static_cast<double>(full.uploads), full.passes), "one per pass",
        full.uploads + 1 >= full.passes && full.passes > 0 ? "ok" : "MISSING");
    if (!latencies.empty()) {
        std::vector<double> sorted = latencies;
        std::sort(sorted.begin(), sorted.end());
        double middle = median(sorted);
        row("card-to-server latency",
            format("%.1f ms (min %.1f, max %.1f)", middle, sorted.front(), sorted.back()),
            "20.0 ms silence + upload", verdict(middle, SILENCE_MS));
    } else {
        row("card-to-server latency", "no card arrived", "20.0 ms silence + upload", "FAILED");
    }
    auto cpuRows = [](const char *label, const Window &window, double lineLimit) {
        double cpu = window.cpuSchedMs >= 0 ? window.cpuSchedMs : window.cpuStatMs;
        if (window.passes <= 0 || cpu < 0) {
            row(label, "unavailable", "", "-");
            return;
        }
        row(label, format("%.3f ms (stat %.3f ms)", cpu / window.passes, window.cpuStatMs / window.passes),
            format("%.1f ms (its line time)", lineLimit), verdict(cpu / window.passes, lineLimit));
    };
    cpuRows("CPU time per pass, no card", empty, noCardLimit);
    cpuRows("CPU time per pass, card", full, cardLimit);
    {
        double cpu = empty.cpuSchedMs >= 0 ? empty.cpuSchedMs : empty.cpuStatMs;
        row("CPU share while idle (no card)",
            format("%.2f %% (stat %.2f %%)", 100.0 * cpu / empty.ms, 100.0 * empty.cpuStatMs / empty.ms),
            "100 % of one core", verdict(100.0 * cpu / empty.ms, 100.0));
    }
    row("peak resident memory (VmHWM)",
        peakKb >= 0
            ? format("%.0f kB (%.0f kB private)", static_cast<double>(peakKb), static_cast<double>(anonKb))
            : "unavailable",
        "none set", "-");
    if (!configSamples.empty() && configProblem.empty()) {
        std::vector<double> sorted;
        const ConfigSample *slowest = &configSamples.front();
        for (const ConfigSample &sample : configSamples) {
            sorted.push_back(sample.ms);
            if (sample.ms > slowest->ms)
                slowest = &sample;
        }
        std::sort(sorted.begin(), sorted.end());
        double middle = median(sorted);
        row("configuration reply (GetReaderId)",
            format("%.1f ms (min %.1f, max %.1f)", middle, sorted.front(), sorted.back()),
            format("%.0f ms quiet time (floor)", QUIET_MS), verdict(sorted.back(), configLimit));
        if (slowest->waitMs >= 0) {
            // The part of the slowest reply that is the daemon's own: what is
            // left once the time its configuration thread (and the bench)
            // spent runnable but without a CPU is taken off.
            double own = slowest->ms - slowest->waitMs;
            row("  slowest, less waits for a CPU", format("%.1f ms (%.1f ms waiting)", own, slowest->waitMs),
                format("%.0f ms quiet time (floor)", QUIET_MS), verdict(own, configLimit));
        }
        if (!halfCloseMs.empty()) {
            std::sort(halfCloseMs.begin(), halfCloseMs.end());
            row("  request ended by half-close",
                format("%.2f ms (min %.2f, max %.2f)", median(halfCloseMs), halfCloseMs.front(),
                       halfCloseMs.back()),
                "none (no quiet time to wait)", "-");
        }
    } else {
        row("configuration reply (GetReaderId)", "failed", format("%.0f ms quiet time", QUIET_MS),
            "FAILED: " + configProblem);
    }
    row("rfidd stripped, amd64", amd64Size, "none set", "-");
    row("rfidd stripped, armhf", armhfSize, "none set", "-");

    printf(
        "\nLimits: a byte takes %.4f ms on the line at 9600 bit/s 8N1. No card: 8-byte request + 8-byte\n"
        "reply + 20 ms silence. Card: 8-byte request + 14-byte reply + 20 ms silence, then the upload\n"
        "(not in the figure compared). Latency runs from the moment the reply's last byte could be read.\n"
        "The pseudo-terminal paces only the replies (rfid-sim), not the daemon's requests, so on a\n"
        "pty a pass is %.1f ms shorter than on the board's serial line: its floor on a pty is the\n"
        "reply's last byte ((bytes - 1) x %.4f ms after the first) + 20 ms silence = %.1f ms without\n"
        "a card (measured %+.2f ms above) and %.1f ms with one (measured %+.2f ms above, upload included).\n"
        "CPU: per-thread scheduler clock (ns); stat figures are good to %.0f ms of CPU per window.\n"
        "Waiting for a CPU (runnable, not running) per pass: %.3f ms without a card, %.3f ms with one.\n",
        BYTE_MS, REQUEST_BYTES * BYTE_MS, BYTE_MS, noCardFloor, emptyPass - noCardFloor, cardFloor,
        fullPass - cardFloor, 1000.0 / static_cast<double>(sysconf(_SC_CLK_TCK)),
        empty.passes > 0 ? empty.waitMs / empty.passes : 0, full.passes > 0 ? full.waitMs / full.passes : 0);
    if (crashed)
        printf("WARNING: the daemon printed a crash or sanitizer report\n");
    return cardsReceived == 0 || configSamples.empty() || empty.passes <= 0 || full.passes <= 0 ? 1 : 0;
}
