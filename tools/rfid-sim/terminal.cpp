/*
 * rfid-sim's side of the line: the pseudo-terminal pair and the link to its
 * slave, the request log, the framing of what arrives, the paced output of
 * replies, and leaving with the link removed.
 */
#include "tools/rfid-sim/sim.h"

#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>

long long nowNs()
{
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return ts.tv_sec * 1000000000LL + ts.tv_nsec;
}

static void removeLink(Sim &sim)
{
    if (!sim.linkMade)
        return;
    sim.linkMade = false;
    char target[PATH_MAX];
    ssize_t length = readlink(sim.options.link.c_str(), target, sizeof target - 1);
    if (length < 0)
        return;
    target[length] = '\0';
    if (sim.slaveName == target) // someone else's link stays
        unlink(sim.options.link.c_str());
}

[[noreturn]] void finish(Sim &sim, int status)
{
    removeLink(sim);
    fflush(stdout);
    _exit(status);
}

[[noreturn]] void fatal(Sim &sim, const char *what)
{
    fprintf(stderr, "rfid-sim: %s: %s\n", what, strerror(errno));
    finish(sim, 1);
}

void logLine(Sim &sim, const std::string &line)
{
    if (sim.logFd < 0)
        return;
    std::string text = line + "\n";
    size_t done = 0;
    while (done < text.size()) {
        ssize_t n = write(sim.logFd, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            if (!sim.logFailed)
                fprintf(stderr, "rfid-sim: writing %s: %s\n", sim.options.logPath.c_str(), strerror(errno));
            sim.logFailed = true;
            return;
        }
        done += static_cast<size_t>(n);
    }
}

static void flushJunk(Sim &sim)
{
    if (sim.junkLength == 0)
        return;
    logLine(sim, "?? " + hexString(sim.junk, sim.junkLength, " "));
    sim.junkLength = 0;
}

static void addJunk(Sim &sim, const uint8_t *bytes, int count)
{
    for (int i = 0; i < count; ++i) {
        if (sim.junkLength == JUNK_LINE_MAX)
            flushJunk(sim);
        sim.junk[sim.junkLength++] = bytes[i];
    }
}

void queueReply(Sim &sim, const std::vector<uint8_t> &bytes, int pauseAt, long long pauseNs, long long now)
{
    if (bytes.empty())
        return;
    if (OUTPUT_CAPACITY - sim.outCount < static_cast<int>(bytes.size())) {
        fprintf(stderr, "rfid-sim: reply %llu dropped: the other side does not read\n",
                static_cast<unsigned long long>(sim.replyNumber));
        return;
    }
    long long interval = sim.options.pace ? BYTE_TIME_NS : 0;
    long long due = sim.outCount > 0 || sim.lastDue + interval > now ? sim.lastDue + interval : now;
    for (size_t i = 0; i < bytes.size(); ++i) {
        if (i > 0)
            due += interval;
        if (static_cast<int>(i) == pauseAt)
            due += pauseNs;
        OutByte &slot = sim.out[static_cast<size_t>((sim.outHead + sim.outCount) % OUTPUT_CAPACITY)];
        slot.byte = bytes[i];
        slot.due = due;
        ++sim.outCount;
    }
    sim.lastDue = due;
}

// --- input ---

static void consumeInput(Sim &sim, int count)
{
    memmove(sim.input, sim.input + count, static_cast<size_t>(sim.inputLength - count));
    sim.inputLength -= count;
}

static uint8_t xorOf(const uint8_t *bytes, int count)
{
    uint8_t check = 0;
    for (int i = 0; i < count; ++i)
        check ^= bytes[i];
    return check;
}

// Takes every complete frame out of the input; bytes before a start byte
// and frames that fail their checks become junk. Stops at an incomplete frame.
static void parseInput(Sim &sim, long long now)
{
    for (;;) {
        int skip = 0;
        while (skip < sim.inputLength && sim.input[skip] != 0xAA)
            ++skip;
        if (skip > 0) {
            addJunk(sim, sim.input, skip);
            consumeInput(sim, skip);
        }
        if (sim.inputLength < 4)
            return;
        int length = sim.input[3];
        if (length < 1 || length > 250) {
            addJunk(sim, sim.input, 1);
            consumeInput(sim, 1);
            continue;
        }
        int size = length + 6;
        if (sim.inputLength < size)
            return;
        if (sim.input[length + 4] != xorOf(sim.input + 1, length + 3) || sim.input[length + 5] != 0xBB) {
            // Not a frame: look for the next start byte after this one.
            addJunk(sim, sim.input, 1);
            consumeInput(sim, 1);
            continue;
        }
        flushJunk(sim);
        answer(sim, sim.input, size, now);
        consumeInput(sim, size);
    }
}

// The input has been quiet: whatever is left can never become a frame
// with the bytes before it.
void inputIdle(Sim &sim, long long now)
{
    while (sim.inputLength > 0) {
        addJunk(sim, sim.input, 1);
        consumeInput(sim, 1);
        parseInput(sim, now);
    }
    flushJunk(sim);
}

void readInput(Sim &sim)
{
    for (;;) {
        ssize_t n = read(sim.master, sim.input + sim.inputLength,
                         static_cast<size_t>(INPUT_CAPACITY - sim.inputLength));
        if (n < 0) {
            if (errno == EINTR)
                continue;
            if (errno == EAGAIN)
                return;
            fatal(sim, "reading the pseudo-terminal");
        }
        if (n == 0)
            return;
        long long now = nowNs();
        sim.lastInput = now;
        sim.inputLength += static_cast<int>(n);
        parseInput(sim, now);
    }
}

// --- output ---

void writeOutput(Sim &sim, long long now)
{
    sim.waitWritable = false;
    while (sim.outCount > 0) {
        uint8_t chunk[512];
        int count = 0;
        while (count < sim.outCount && count < static_cast<int>(sizeof chunk)) {
            const OutByte &next = sim.out[static_cast<size_t>((sim.outHead + count) % OUTPUT_CAPACITY)];
            if (next.due > now)
                break;
            chunk[count++] = next.byte;
        }
        if (count == 0)
            return;
        ssize_t n = write(sim.master, chunk, static_cast<size_t>(count));
        if (n < 0) {
            if (errno == EINTR)
                continue;
            if (errno == EAGAIN) {
                sim.waitWritable = true;
                return;
            }
            fatal(sim, "writing the pseudo-terminal");
        }
        sim.outHead = (sim.outHead + static_cast<int>(n)) % OUTPUT_CAPACITY;
        sim.outCount -= static_cast<int>(n);
        if (n < count) {
            sim.waitWritable = true;
            return;
        }
    }
}

// Closing the master hangs up the line, and a hang-up discards input the
// client has not read yet: before leaving on our own, give the client up to
// a second to take the last reply.
void awaitReplyTaken(Sim &sim)
{
    long long deadline = nowNs() + 1000 * NS_PER_MS;
    usleep(20000); // bytes written to the master reach the line's queue shortly after
    while (nowNs() < deadline) {
        int waiting = 0;
        if (ioctl(sim.slave, FIONREAD, &waiting) != 0 || waiting == 0)
            return;
        usleep(5000);
    }
}

// --- set-up ---

static void makeParents(const std::string &path)
{
    for (size_t at = path.find('/', 1); at != std::string::npos; at = path.find('/', at + 1))
        mkdir(path.substr(0, at).c_str(), 0755);
}

// Only a symbolic link (or nothing) may stand where the link goes.
void checkLinkPlace(Sim &sim)
{
    const std::string &link = sim.options.link;
    struct stat info {
    };
    if (lstat(link.c_str(), &info) == 0 && !S_ISLNK(info.st_mode)) {
        fprintf(stderr, "rfid-sim: %s exists and is not a symbolic link; not replacing it\n", link.c_str());
        finish(sim, 1);
    }
}

void makeLink(Sim &sim)
{
    const std::string &link = sim.options.link;
    checkLinkPlace(sim);
    makeParents(link);
    std::string temporary = link + ".rfid-sim." + std::to_string(getpid());
    unlink(temporary.c_str());
    if (symlink(sim.slaveName.c_str(), temporary.c_str()) != 0) {
        fprintf(stderr, "rfid-sim: cannot create link %s: %s\n", link.c_str(), strerror(errno));
        finish(sim, 1);
    }
    if (rename(temporary.c_str(), link.c_str()) != 0) {
        fprintf(stderr, "rfid-sim: cannot create link %s: %s\n", link.c_str(), strerror(errno));
        unlink(temporary.c_str());
        finish(sim, 1);
    }
    sim.linkMade = true;
}

void openTerminal(Sim &sim)
{
    sim.master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (sim.master < 0)
        fatal(sim, "posix_openpt");
    if (grantpt(sim.master) != 0)
        fatal(sim, "grantpt");
    if (unlockpt(sim.master) != 0)
        fatal(sim, "unlockpt");
    const char *name = ptsname(sim.master);
    if (!name)
        fatal(sim, "ptsname");
    sim.slaveName = name;
    // Holding the slave open keeps the master usable while the daemon has
    // closed its side; raw mode keeps the line from echoing or translating.
    sim.slave = open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (sim.slave < 0)
        fatal(sim, "opening the slave");
    termios tio{};
    if (tcgetattr(sim.slave, &tio) != 0)
        fatal(sim, "tcgetattr");
    cfmakeraw(&tio);
    cfsetispeed(&tio, B9600);
    cfsetospeed(&tio, B9600);
    if (tcsetattr(sim.slave, TCSANOW, &tio) != 0)
        fatal(sim, "tcsetattr");
    int flags = fcntl(sim.master, F_GETFL);
    if (flags < 0 || fcntl(sim.master, F_SETFL, flags | O_NONBLOCK) != 0)
        fatal(sim, "fcntl");
}
