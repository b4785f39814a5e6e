/*
 * Test support: start the project's programs as processes, watch what they
 * print, stop them; scratch directories; small loopback socket helpers.
 * Everything here talks to 127.0.0.1 only.
 */
#pragma once

#include <sys/types.h>

#include <functional>
#include <string>
#include <vector>

namespace harness {

struct Process {
    pid_t pid = -1;
    std::string outputPath; // standard output and standard error, in order
    int exitStatus = -1;    // after stop(): exit code, or 128 + signal
};

// Path of a program built by this build tree (rfidd-sandbox, rfid-sim, ...).
std::string binaryPath(const std::string &name);
// The sandbox directory of this build tree.
std::string sandboxDir();

// Starts argv (argv[0] a path) with stdout and stderr going to `outputPath`
// (truncated first) and no standard input. pid -1 on failure.
Process start(const std::vector<std::string> &argv, const std::string &outputPath);
// Everything the process has printed so far.
std::string output(const Process &process);
// Polls the output until it contains `needle`; false after timeoutMs.
bool waitForOutput(const Process &process, const std::string &needle, int timeoutMs);
// Number of times `needle` occurs in the output.
int countInOutput(const Process &process, const std::string &needle);
bool isRunning(Process &process);
// Sends `sig`, waits up to timeoutMs (then SIGKILL); returns exitStatus.
int stop(Process &process, int sig = 15, int timeoutMs = 5000);

// A fresh directory under the system's temporary directory.
std::string tempDir(const std::string &prefix);
std::string readFile(const std::string &path);
bool writeFile(const std::string &path, const std::string &contents);
void removeTree(const std::string &path);

// Loopback TCP helpers. connectTcp returns a descriptor or -1.
int connectTcp(int port, int timeoutMs = 2000);
bool sendAll(int fd, const std::string &data);
// Receives until `quietMs` of silence after the first byte, the peer
// closes, or `timeoutMs` passes without a first byte.
std::string recvQuiet(int fd, int quietMs, int timeoutMs);
// Waits until something listens on 127.0.0.1:port.
bool waitForPort(int port, int timeoutMs);
// A TCP listener on 127.0.0.1; port 0 picks a free one (see boundPort).
int listenTcp(int port, int backlog = 16);
int boundPort(int fd);

// Polls `condition` until it holds; false after timeoutMs.
bool waitUntil(const std::function<bool()> &condition, int timeoutMs);
// Everything received on `fd` until the peer closes (or timeoutMs passes).
std::string recvAll(int fd, int timeoutMs);
// Accepts one connection on `listenFd` and returns what it carried until the
// peer closed it; empty when none comes within timeoutMs.
std::string acceptText(int listenFd, int timeoutMs);
// Sends `request` to 127.0.0.1:port on a fresh connection, closes the sending
// side (which ends a request at once) and returns all received until closed.
std::string roundTrip(int port, const std::string &request, int timeoutMs = 20000);

} // namespace harness
