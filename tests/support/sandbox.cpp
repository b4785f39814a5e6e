#include "tests/support/sandbox.h"

#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <sstream>

namespace harness {

int runProgram(const std::vector<std::string> &argv, std::string *outputText, int timeoutMs)
{
    std::string dir = tempDir("rfidd-run");
    std::string out = dir + "/output";
    Process process = start(argv, out);
    if (process.pid <= 0) {
        removeTree(dir);
        return -1;
    }
    for (int waited = 0; isRunning(process) && waited < timeoutMs; waited += 5)
        usleep(5000);
    int status = isRunning(process) ? stop(process, SIGKILL) : process.exitStatus;
    if (outputText)
        *outputText = readFile(out);
    removeTree(dir);
    return status;
}

// Looks for a socket bound to `port` in the given /proc/net table whose state
// is `state` (0A: a listening TCP socket; 07: a bound UDP socket).
static bool hasSocket(const char *tablePath, int port, const char *wantedState)
{
    std::ifstream table(tablePath);
    std::string line;
    std::getline(table, line); // header
    while (std::getline(table, line)) {
        std::istringstream fields(line);
        std::string slot, local, remote, state;
        fields >> slot >> local >> remote >> state;
        size_t colon = local.find(':');
        if (colon == std::string::npos || state != wantedState)
            continue;
        if (std::stoi(local.substr(colon + 1), nullptr, 16) == port)
            return true;
    }
    return false;
}

bool isListening(int port) { return hasSocket("/proc/net/tcp", port, "0A"); }

bool isBoundUdp(int port) { return hasSocket("/proc/net/udp", port, "07"); }

bool waitForListening(int port, int timeoutMs)
{
    for (int waited = 0;; waited += 10) {
        if (isListening(port))
            return true;
        if (waited >= timeoutMs)
            return false;
        usleep(10000);
    }
}

bool startDaemon(Sandbox &sandbox)
{
    sandbox.daemon = start({binaryPath("rfidd-sandbox")}, sandbox.dir + "/daemon.out");
    if (sandbox.daemon.pid <= 0) {
        fprintf(stderr, "cannot start rfidd-sandbox\n");
        return false;
    }
    // The listener is the last service thread started; the card loop's
    // start-up line follows the opening of the serial line.
    bool up = waitForListening(10001, 10000) && waitForListening(8001, 10000);
    for (int waited = 0; up && !isBoundUdp(8000) && waited < 10000; waited += 10)
        usleep(10000);
    if (!up || !isBoundUdp(8000) || !waitForOutput(sandbox.daemon, "readStyle=", 10000)) {
        fprintf(stderr, "rfidd-sandbox did not come up:\n%s\n", output(sandbox.daemon).c_str());
        return false;
    }
    return true;
}

bool startSandbox(Sandbox &sandbox, const SandboxOptions &options)
{
    sandbox.dir = sandboxDir();
    removeTree(sandbox.dir);
    mkdir(sandbox.dir.c_str(), 0755);
    mkdir((sandbox.dir + "/dev").c_str(), 0755);

    std::vector<std::string> provision = {binaryPath("rfidd-provision"), "--root", sandbox.dir};
    provision.insert(provision.end(), options.provisionArgs.begin(), options.provisionArgs.end());
    std::string text;
    if (runProgram(provision, &text) != 0) {
        fprintf(stderr, "rfidd-provision failed:\n%s\n", text.c_str());
        return false;
    }

    if (options.startSim) {
        sandbox.simLog = sandbox.dir + "/sim.log";
        std::vector<std::string> sim = {binaryPath("rfid-sim"), "--link", sandbox.dir + "/dev/ttySAC1",
                                        "--log", sandbox.simLog};
        sim.insert(sim.end(), options.simArgs.begin(), options.simArgs.end());
        sandbox.sim = start(sim, sandbox.dir + "/sim.out");
        if (sandbox.sim.pid <= 0 || !waitForOutput(sandbox.sim, "rfid-sim: ready", 10000)) {
            fprintf(stderr, "rfid-sim did not come up:\n%s\n", output(sandbox.sim).c_str());
            return false;
        }
    }
    return !options.startDaemon || startDaemon(sandbox);
}

void stopSandbox(Sandbox &sandbox)
{
    stop(sandbox.daemon);
    stop(sandbox.sim);
}

std::string crashReport(const Process &process)
{
    static const char *const signs[] = {"AddressSanitizer", "LeakSanitizer", "ThreadSanitizer",
                                        "UndefinedBehaviorSanitizer", "runtime error:",
                                        "Segmentation fault", "Aborted", "terminate called"};
    std::string text = output(process);
    std::string report;
    std::istringstream lines(text);
    std::string line;
    while (std::getline(lines, line))
        for (const char *sign : signs)
            if (line.find(sign) != std::string::npos) {
                report += line + "\n";
                break;
            }
    return report;
}

std::vector<std::string> readLines(const std::string &path)
{
    std::vector<std::string> lines;
    std::ifstream in(path);
    std::string line;
    while (std::getline(in, line))
        lines.push_back(line);
    return lines;
}

} // namespace harness
