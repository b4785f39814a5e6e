/*
 * End-to-end test support: a freshly provisioned sandbox (the directory of
 * the build tree that rfidd-sandbox uses), the reader-module simulator on its
 * serial device path, and the sandbox daemon itself.
 */
#pragma once

#include "tests/support/harness.h"

#include <string>
#include <vector>

namespace harness {

struct SandboxOptions {
    std::vector<std::string> provisionArgs; // extra rfidd-provision options
    std::vector<std::string> simArgs;       // extra rfid-sim options (cards, faults, --no-pace)
    bool startSim = true;
    bool startDaemon = true;
};

struct Sandbox {
    std::string dir;     // the sandbox directory
    std::string simLog;  // rfid-sim's request-frame log
    Process sim;
    Process daemon;
};

// Removes whatever an earlier run left in the sandbox, provisions it, starts
// rfid-sim linked at <dir>/dev/ttySAC1 and then rfidd-sandbox, and waits
// until the daemon's TCP ports listen. False (with a message on stderr) on
// any failure.
bool startSandbox(Sandbox &sandbox, const SandboxOptions &options = {});
// Starts the daemon alone in an already provisioned sandbox.
bool startDaemon(Sandbox &sandbox);
// Starts rfid-sim with `simArgs` on <dir>/dev/ttySAC1, its request log at
// <dir>/sim.log (appended to), and waits until it is ready.
bool startSim(Sandbox &sandbox, const std::vector<std::string> &simArgs);
// Stops the daemon and the simulator (SIGTERM, then SIGKILL).
void stopSandbox(Sandbox &sandbox);

// Runs a program to completion; returns its exit code (128 + signal), with
// everything it printed in *outputText when given.
int runProgram(const std::vector<std::string> &argv, std::string *outputText = nullptr,
               int timeoutMs = 30000);

// True when something listens on TCP `port` (read from /proc/net/tcp, so no
// connection is made).
bool isListening(int port);
bool waitForListening(int port, int timeoutMs);
// True when a UDP socket is bound to `port` (from /proc/net/udp).
bool isBoundUdp(int port);

// The parts of a process's output that show a crash or a sanitizer report;
// empty when there are none.
std::string crashReport(const Process &process);

// Lines of a file, without line ends.
std::vector<std::string> readLines(const std::string &path);

// Moves this process and what it starts into namespaces of its own: a network
// (lo up, with a route for broadcasts) where the fixed ports meet no other run
// and a broadcast reaches no other host, and pseudo-terminals that no other
// run's daemon can open through a device link a killed rfid-sim left behind.
// Returns "" or why it could not (then the host's are used).
std::string enterPrivateNamespaces();

} // namespace harness
