#include "tests/tools/rfidctl_support.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace rfidctltest {

static long long nowMs()
{
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return ts.tv_sec * 1000LL + ts.tv_nsec / 1000000;
}

static std::string scratch;

static void removeScratch()
{
    if (!scratch.empty())
        harness::removeTree(scratch);
}

std::string scratchDir()
{
    if (scratch.empty()) {
        scratch = harness::tempDir("rfidctl-tests");
        atexit(removeScratch);
    }
    return scratch;
}

static std::string nextOutputPath()
{
    static std::atomic<int> counter{0};
    return scratchDir() + "/run-" + std::to_string(++counter) + ".out";
}

bool waitForExit(harness::Process &process, int timeoutMs)
{
    long long deadline = nowMs() + timeoutMs;
    while (harness::isRunning(process)) {
        if (nowMs() >= deadline)
            return false;
        usleep(5000);
    }
    return true;
}

Outcome runProgram(const std::string &name, const std::vector<std::string> &args, int timeoutMs)
{
    std::vector<std::string> argv{name.find('/') == std::string::npos ? harness::binaryPath(name) : name};
    argv.insert(argv.end(), args.begin(), args.end());
    long long started = nowMs();
    harness::Process process = harness::start(argv, nextOutputPath());
    Outcome run;
    if (process.pid <= 0) {
        run.output = "could not start " + argv[0];
        return run;
    }
    if (waitForExit(process, timeoutMs)) {
        run.status = process.exitStatus;
    } else {
        harness::stop(process, SIGKILL, 2000);
        run.status = -1;
    }
    run.elapsedMs = nowMs() - started;
    run.output = harness::output(process);
    return run;
}

Outcome rfidctl(const std::vector<std::string> &args, int timeoutMs) { return runProgram("rfidctl", args, timeoutMs); }

std::vector<std::string> lines(const std::string &text)
{
    std::vector<std::string> result;
    size_t at = 0;
    while (at < text.size()) {
        size_t end = text.find('\n', at);
        if (end == std::string::npos)
            end = text.size();
        result.push_back(text.substr(at, end - at));
        at = end + 1;
    }
    return result;
}

std::vector<std::string> linesStartingWith(const std::string &text, const std::string &prefix)
{
    std::vector<std::string> result;
    for (const std::string &line : lines(text))
        if (line.compare(0, prefix.size(), prefix) == 0)
            result.push_back(line);
    return result;
}

bool fileExists(const std::string &path)
{
    struct stat info {};
    return stat(path.c_str(), &info) == 0;
}

Outcome rfidctlOnTerminal(const std::vector<std::string> &args, const std::string &prompt, const std::string &answer,
                      int timeoutMs)
{
    Outcome run;
    int master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0) {
        run.output = "no pseudo-terminal";
        if (master >= 0)
            close(master);
        return run;
    }
    fcntl(master, F_SETFL, O_NONBLOCK);
    std::string slaveName = ptsname(master);
    std::string outputPath = nextOutputPath();
    int out = open(outputPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_APPEND | O_CLOEXEC, 0644);
    std::vector<std::string> argv{harness::binaryPath("rfidctl")};
    argv.insert(argv.end(), args.begin(), args.end());
    std::vector<char *> cargs;
    for (std::string &arg : argv)
        cargs.push_back(arg.data());
    cargs.push_back(nullptr);

    long long started = nowMs();
    pid_t pid = fork();
    if (pid == 0) {
        setsid();
        int slave = open(slaveName.c_str(), O_RDWR);
        if (slave < 0)
            _exit(126);
        dup2(slave, 0);
        dup2(out, 1);
        dup2(out, 2);
        execv(cargs[0], cargs.data());
        _exit(127);
    }
    close(out);
    harness::Process process;
    process.pid = pid;
    process.outputPath = outputPath;

    bool answered = false;
    long long deadline = nowMs() + timeoutMs;
    while (harness::isRunning(process) && nowMs() < deadline) {
        if (!answered && harness::output(process).find(prompt) != std::string::npos) {
            if (answer.empty()) {
                // End of input on the terminal.
                char eof = 4; // VEOF
                if (write(master, &eof, 1) != 1)
                    break;
            } else if (write(master, answer.data(), answer.size()) != static_cast<ssize_t>(answer.size())) {
                break;
            }
            answered = true;
        }
        // Keep the echo from filling the terminal's buffer.
        char echo[256];
        while (read(master, echo, sizeof echo) > 0) {
        }
        usleep(5000);
    }
    if (harness::isRunning(process)) {
        harness::stop(process, SIGKILL, 2000);
        run.status = -1;
    } else {
        run.status = process.exitStatus;
    }
    close(master);
    run.elapsedMs = nowMs() - started;
    run.output = harness::output(process);
    return run;
}

unsigned checkByte(const std::vector<unsigned> &between)
{
    unsigned check = 0;
    for (unsigned byte : between)
        check ^= byte;
    return check & 0xFF;
}

std::string frameText(unsigned command, const std::vector<unsigned> &data)
{
    std::vector<unsigned> between{0x00, 0x01, static_cast<unsigned>(data.size() + 1), command};
    between.insert(between.end(), data.begin(), data.end());
    std::vector<unsigned> frame{0xAA};
    frame.insert(frame.end(), between.begin(), between.end());
    frame.push_back(checkByte(between));
    frame.push_back(0xBB);
    std::string text;
    for (unsigned byte : frame) {
        char hex[4];
        snprintf(hex, sizeof hex, "%02X", byte);
        if (!text.empty())
            text += ' ';
        text += hex;
    }
    return text;
}

bool sandboxBuilt()
{
    for (const char *name : {"rfidd-sandbox", "rfid-sim", "rfidd-provision"})
        if (!fileExists(harness::binaryPath(name)))
            return false;
    return true;
}

bool startSandbox(Sandbox &sandbox, const std::vector<std::string> &provisionArgs,
                  const std::vector<std::string> &simArgs, std::string *why)
{
    sandbox.dir = harness::sandboxDir();
    std::vector<std::string> provision{"--root", sandbox.dir, "--force"};
    provision.insert(provision.end(), provisionArgs.begin(), provisionArgs.end());
    Outcome provisioned = runProgram("rfidd-provision", provision);
    if (provisioned.status != 0) {
        *why = "rfidd-provision failed (" + std::to_string(provisioned.status) + "): " + provisioned.output;
        return false;
    }
    unlink((sandbox.dir + "/reboot.log").c_str());

    sandbox.simLog = scratchDir() + "/sim-" + std::to_string(nowMs()) + ".log";
    std::vector<std::string> sim{harness::binaryPath("rfid-sim"), "--link", sandbox.dir + "/dev/ttySAC1",
                                 "--no-pace", "--log", sandbox.simLog};
    sim.insert(sim.end(), simArgs.begin(), simArgs.end());
    sandbox.sim = harness::start(sim, nextOutputPath());
    if (!harness::waitForOutput(sandbox.sim, "rfid-sim: ready", 10000)) {
        *why = "rfid-sim did not get ready: " + harness::output(sandbox.sim);
        stopSandbox(sandbox);
        return false;
    }
    sandbox.daemon = harness::start({harness::binaryPath("rfidd-sandbox")}, nextOutputPath());
    if (!harness::waitForPort(8001, 15000) || !harness::waitForPort(10001, 15000)) {
        *why = "rfidd-sandbox does not listen on 8001 and 10001: " + harness::output(sandbox.daemon);
        stopSandbox(sandbox);
        return false;
    }
    // The ports might belong to another daemon: this one must still run.
    usleep(100000);
    if (!harness::isRunning(sandbox.daemon)) {
        *why = "rfidd-sandbox ended (status " + std::to_string(sandbox.daemon.exitStatus) +
               "; ports 8000/8001/10001 in use by another process?): " + harness::output(sandbox.daemon);
        stopSandbox(sandbox);
        return false;
    }
    return true;
}

void stopSandbox(Sandbox &sandbox)
{
    harness::stop(sandbox.daemon);
    harness::stop(sandbox.sim);
}

} // namespace rfidctltest
