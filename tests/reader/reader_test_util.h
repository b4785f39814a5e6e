/*
 * Helpers shared by the reader tests: a pseudo-terminal whose slave side is
 * opened and configured by the code under test, capture of stdout/stderr,
 * and an rfid-sim process on a link in a scratch directory.
 */
#pragma once

#include "reader/optReader.h"
#include "tests/support/harness.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <time.h>
#include <unistd.h>

#include <cstdio>
#include <string>
#include <vector>

namespace readertest
{

using Bytes = std::vector<uint8_t>;

inline long long nowMs()
{
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return ts.tv_sec * 1000LL + ts.tv_nsec / 1000000;
}

inline std::string hex(const Bytes &bytes)
{
    std::string text;
    char part[4];
    for (size_t i = 0; i < bytes.size(); ++i) {
        snprintf(part, sizeof part, i ? " %02X" : "%02X", bytes[i]);
        text += part;
    }
    return text;
}

// A frame as the module would send it: AA, b1, b2, length, status, data,
// check byte, BB.
inline Bytes replyFrame(uint8_t status, const Bytes &data, uint8_t b1 = 0x00, uint8_t b2 = 0x01)
{
    Bytes frame;
    frame.reserve(data.size() + 7);
    for (uint8_t byte : {uint8_t(0xAA), b1, b2, static_cast<uint8_t>(data.size() + 1), status})
        frame.push_back(byte);
    for (uint8_t byte : data)
        frame.push_back(byte);
    uint8_t check = 0;
    for (size_t i = 1; i < frame.size(); ++i)
        check ^= frame[i];
    frame.push_back(check);
    frame.push_back(0xBB);
    return frame;
}

// The daemon's side is `line` (opened with open_port and set up with
// set_port); the test plays the module on `master`.
struct Pty {
    int master = -1;
    int line = -1;
    std::string name;
    Pty() = default;
    Pty(const Pty &) = delete;
    Pty &operator=(const Pty &) = delete;
    ~Pty()
    {
        if (line >= 0)
            close(line);
        if (master >= 0)
            close(master);
    }
};

// Opens the pair; with `configure`, set_port(9600, 8, 1, 'N') on the line.
inline bool openPty(Pty &pty, bool configure = true)
{
    pty.master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (pty.master < 0 || grantpt(pty.master) != 0 || unlockpt(pty.master) != 0)
        return false;
    const char *name = ptsname(pty.master);
    if (!name)
        return false;
    pty.name = name;
    pty.line = open_port(name);
    if (pty.line < 0)
        return false;
    return !configure || set_port(pty.line, 9600, 8, 1, 'N') == 0;
}

inline bool writeAll(int fd, const Bytes &bytes)
{
    size_t done = 0;
    while (done < bytes.size()) {
        ssize_t n = write(fd, bytes.data() + done, bytes.size() - done);
        if (n <= 0)
            return false;
        done += static_cast<size_t>(n);
    }
    return true;
}

// Everything readable on fd until `quietMs` pass without a byte.
inline Bytes drain(int fd, int quietMs = 50)
{
    Bytes bytes;
    for (;;) {
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, quietMs) != 1 || !(p.revents & POLLIN))
            return bytes;
        uint8_t buffer[512];
        ssize_t n = read(fd, buffer, sizeof buffer);
        if (n <= 0)
            return bytes;
        bytes.insert(bytes.end(), buffer, buffer + n);
    }
}

// Redirects stdout (1) or stderr (2) into a temporary file until finish().
struct Capture {
    int target = -1;
    int saved = -1;
    std::string path;

    explicit Capture(int fd) : target(fd)
    {
        fflush(stdout);
        fflush(stderr);
        const char *base = getenv("TMPDIR");
        std::string pattern = std::string(base && *base ? base : "/tmp") + "/reader-capture-XXXXXX";
        std::vector<char> name(pattern.begin(), pattern.end());
        name.push_back('\0');
        int file = mkstemp(name.data());
        if (file < 0)
            return;
        path = name.data();
        saved = dup(fd);
        dup2(file, fd);
        close(file);
    }
    std::string finish()
    {
        if (saved < 0)
            return {};
        fflush(stdout);
        fflush(stderr);
        dup2(saved, target);
        close(saved);
        saved = -1;
        std::string text = harness::readFile(path);
        unlink(path.c_str());
        return text;
    }
    ~Capture() { finish(); }
    Capture(const Capture &) = delete;
    Capture &operator=(const Capture &) = delete;
};

// rfid-sim on <dir>/dev/tty with its log in <dir>/sim.log.
struct Sim {
    std::string dir;
    std::string link;
    std::string log;
    harness::Process process;
    int line = -1;
    Sim() = default;
    Sim(const Sim &) = delete;
    Sim &operator=(const Sim &) = delete;
    ~Sim()
    {
        if (line >= 0)
            close(line);
        // A simulator that is still up must leave cleanly on SIGTERM, and
        // none may have crashed or tripped a sanitizer.
        if (harness::isRunning(process)) {
            EXPECT_EQ(harness::stop(process), 0) << output();
        }
        for (const char *sign : {"Sanitizer", "runtime error:", "rfid-sim: reading", "rfid-sim: writing"})
            EXPECT_EQ(output().find(sign), std::string::npos) << output();
        if (!dir.empty())
            harness::removeTree(dir);
    }
    std::string output() const { return harness::output(process); }
    std::vector<std::string> logLines() const
    {
        std::vector<std::string> lines;
        std::string text = harness::readFile(log);
        size_t at = 0;
        while (at < text.size()) {
            size_t end = text.find('\n', at);
            if (end == std::string::npos)
                end = text.size();
            lines.push_back(text.substr(at, end - at));
            at = end + 1;
        }
        return lines;
    }
};

// Starts rfid-sim with `args`, waits for "rfid-sim: ready" and, with
// `openLine`, opens and configures the line like the daemon does.
inline bool startSim(Sim &sim, const std::vector<std::string> &args, bool openLine = true)
{
    sim.dir = harness::tempDir("reader-sim");
    if (sim.dir.empty())
        return false;
    sim.link = sim.dir + "/dev/tty";
    sim.log = sim.dir + "/sim.log";
    std::vector<std::string> argv = {harness::binaryPath("rfid-sim"), "--link", sim.link, "--log", sim.log};
    argv.insert(argv.end(), args.begin(), args.end());
    sim.process = harness::start(argv, sim.dir + "/sim.out");
    if (sim.process.pid <= 0 || !harness::waitForOutput(sim.process, "rfid-sim: ready", 10000))
        return false;
    if (!openLine)
        return true;
    sim.line = open_port(sim.link.c_str());
    return sim.line >= 0 && set_port(sim.line, 9600, 8, 1, 'N') == 0;
}

} // namespace readertest
