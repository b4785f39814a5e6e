#include "tests/support/sandbox.h"

#include <sched.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>

namespace harness {

int runProgram(const std::vector<std::string> &argv, std::string *outputText, int timeoutMs)
{
    std::string dir = tempDir("rfidd-run");
    Process process = start(argv, dir + "/output");
    waitUntil([&] { return !isRunning(process); }, timeoutMs);
    int status = process.pid > 0 ? stop(process, SIGKILL) : process.exitStatus;
    if (outputText)
        *outputText = readFile(dir + "/output");
    removeTree(dir);
    return status;
}

// Whether /proc/net/<table> has a socket on local `port` in `state` (0A: a
// listening TCP socket; 07: a bound UDP socket).
static bool hasSocket(const char *table, int port, const std::string &state)
{
    std::istringstream lines(readFile(std::string("/proc/net/") + table));
    std::string line, slot, local, remote, found;
    std::getline(lines, line); // header
    while (lines >> slot >> local >> remote >> found && std::getline(lines, line))
        if (found == state && std::stoi(local.substr(local.find(':') + 1), nullptr, 16) == port)
            return true;
    return false;
}

bool isListening(int port) { return hasSocket("tcp", port, "0A"); }

bool isBoundUdp(int port) { return hasSocket("udp", port, "07"); }

bool waitForListening(int port, int timeoutMs) { return waitUntil([&] { return isListening(port); }, timeoutMs); }

bool startSim(Sandbox &sandbox, const std::vector<std::string> &simArgs)
{
    sandbox.simLog = sandbox.dir + "/sim.log";
    std::vector<std::string> argv = {binaryPath("rfid-sim"), "--link", sandbox.dir + "/dev/ttySAC1", "--log",
                                     sandbox.simLog};
    argv.insert(argv.end(), simArgs.begin(), simArgs.end());
    sandbox.sim = start(argv, sandbox.dir + "/sim.out");
    if (sandbox.sim.pid > 0 && waitForOutput(sandbox.sim, "rfid-sim: ready", 10000))
        return true;
    fprintf(stderr, "rfid-sim did not come up:\n%s\n", output(sandbox.sim).c_str());
    return false;
}

bool startDaemon(Sandbox &sandbox)
{
    // The card loop's start-up line follows the start of every service.
    sandbox.daemon = start({binaryPath("rfidd-sandbox")}, sandbox.dir + "/daemon.out");
    if (sandbox.daemon.pid > 0 && waitForListening(10001, 10000) && waitForListening(8001, 10000) &&
        waitUntil([] { return isBoundUdp(8000); }, 10000) &&
        waitForOutput(sandbox.daemon, "readStyle=", 10000))
        return true;
    fprintf(stderr, "rfidd-sandbox did not come up:\n%s\n", output(sandbox.daemon).c_str());
    return false;
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
    return (!options.startSim || startSim(sandbox, options.simArgs)) &&
           (!options.startDaemon || startDaemon(sandbox));
}

void stopSandbox(Sandbox &sandbox)
{
    stop(sandbox.daemon);
    stop(sandbox.sim);
}

std::string crashReport(const Process &process)
{
    static const char *const signs[] = {"Sanitizer", "runtime error:", "Segmentation fault", "Aborted",
                                        "terminate called"};
    std::istringstream lines(output(process));
    std::string line, report;
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
    for (std::string line; std::getline(in, line);)
        lines.push_back(line);
    return lines;
}

std::string enterPrivateNamespaces()
{
    // Mounts made here must not reach the parent namespace: / becomes private first.
    if (unshare(CLONE_NEWNET | CLONE_NEWNS) != 0 || mount("none", "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0)
        return std::string("no private namespaces (needs root): ") + strerror(errno);
    mount("devpts", "/dev/pts", "devpts", 0, "newinstance,ptmxmode=0666,mode=0620"); // else the host's
    std::string text;
    if (runProgram({"/bin/sh", "-c", "PATH=/usr/sbin:/sbin:$PATH; ip link set lo up && "
                                     "ip route add broadcast 255.255.255.255 dev lo table local src 127.0.0.1"},
                   &text) == 0)
        return "";
    return "no private network namespace: " + text;
}

} // namespace harness
