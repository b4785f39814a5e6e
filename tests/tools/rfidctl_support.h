/*
 * Helpers of the rfidctl tests: run rfidctl (or another program of the build)
 * to its end, split its output into lines, run it on a pseudo-terminal, and
 * bring up the sandbox daemon with its simulated reader module.
 */
#pragma once

#include "tests/support/harness.h"

#include <string>
#include <vector>

namespace rfidctltest {

struct Outcome {
    int status = -1;    // exit code, 128 + signal, or -1 when it had to be killed
    std::string output; // standard output and standard error, in order
    long long elapsedMs = 0;
};

// A scratch directory for this test process (created once, removed at exit).
std::string scratchDir();
// Runs a program of the build (by name, e.g. "rfidctl") with `args` until it
// exits; kills it after `timeoutMs`.
Outcome runProgram(const std::string &name, const std::vector<std::string> &args, int timeoutMs = 30000);
Outcome rfidctl(const std::vector<std::string> &args, int timeoutMs = 30000);
// Waits until the started process exits (true) or `timeoutMs` passes.
bool waitForExit(harness::Process &process, int timeoutMs);

std::vector<std::string> lines(const std::string &text);
// The lines that start with `prefix`.
std::vector<std::string> linesStartingWith(const std::string &text, const std::string &prefix);
bool fileExists(const std::string &path);

// Runs rfidctl with its standard input on a pseudo-terminal; once its output
// contains `prompt`, types `answer` (and closes the terminal when `answer`
// is empty).
Outcome rfidctlOnTerminal(const std::vector<std::string> &args, const std::string &prompt, const std::string &answer,
                      int timeoutMs = 30000);

// The XOR check byte of a reader frame: every byte between the start byte
// and the check byte.
unsigned checkByte(const std::vector<unsigned> &between);
// A request frame as rfid-sim logs it ("AA 00 01 LEN CMD DATA.. CHK BB").
std::string frameText(unsigned command, const std::vector<unsigned> &data);

// The sandbox daemon with a simulated reader module on its serial line.
struct Sandbox {
    harness::Process sim;
    harness::Process daemon;
    std::string simLog;
    std::string dir; // harness::sandboxDir()
};
// True when rfidd-sandbox, rfid-sim and rfidd-provision have been built.
bool sandboxBuilt();
// Provisions the sandbox (with `provisionArgs` added), removes its
// reboot.log, starts rfid-sim (with `simArgs` added) and rfidd-sandbox and
// waits for ports 8001 and 10001. On failure *why says what went wrong.
bool startSandbox(Sandbox &sandbox, const std::vector<std::string> &provisionArgs,
                  const std::vector<std::string> &simArgs, std::string *why);
void stopSandbox(Sandbox &sandbox);

} // namespace rfidctltest
