#include "tests/support/harness.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>

namespace harness {

static long long nowMs()
{
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return ts.tv_sec * 1000LL + ts.tv_nsec / 1000000;
}

std::string binaryPath(const std::string &name) { return std::string(RFIDD_BIN_DIR) + "/" + name; }

std::string sandboxDir() { return RFIDD_SANDBOX_DIR; }

Process start(const std::vector<std::string> &argv, const std::string &outputPath)
{
    Process process;
    process.outputPath = outputPath;
    int out = open(outputPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_APPEND | O_CLOEXEC, 0644);
    if (out < 0)
        return process;
    std::vector<char *> args;
    for (const std::string &arg : argv)
        args.push_back(const_cast<char *>(arg.c_str()));
    args.push_back(nullptr);
    pid_t pid = fork();
    if (pid == 0) {
        int devnull = open("/dev/null", O_RDONLY);
        dup2(devnull, 0);
        dup2(out, 1);
        dup2(out, 2);
        setpgid(0, 0);
        execv(args[0], args.data());
        _exit(127);
    }
    close(out);
    process.pid = pid;
    return process;
}

std::string output(const Process &process) { return readFile(process.outputPath); }

bool waitForOutput(const Process &process, const std::string &needle, int timeoutMs)
{
    long long deadline = nowMs() + timeoutMs;
    for (;;) {
        if (output(process).find(needle) != std::string::npos)
            return true;
        if (nowMs() >= deadline)
            return false;
        usleep(10000);
    }
}

int countInOutput(const Process &process, const std::string &needle)
{
    std::string text = output(process);
    int count = 0;
    for (size_t at = text.find(needle); at != std::string::npos; at = text.find(needle, at + needle.size()))
        ++count;
    return count;
}

bool isRunning(Process &process)
{
    if (process.pid <= 0)
        return false;
    int status = 0;
    pid_t done = waitpid(process.pid, &status, WNOHANG);
    if (done == 0)
        return true;
    if (done == process.pid) {
        process.exitStatus = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        process.pid = -1;
    }
    return false;
}

int stop(Process &process, int sig, int timeoutMs)
{
    if (process.pid <= 0)
        return process.exitStatus;
    kill(process.pid, sig);
    long long deadline = nowMs() + timeoutMs;
    while (isRunning(process)) {
        if (nowMs() >= deadline) {
            kill(process.pid, SIGKILL);
            int status = 0;
            waitpid(process.pid, &status, 0);
            process.exitStatus = 128 + SIGKILL;
            process.pid = -1;
            break;
        }
        usleep(5000);
    }
    return process.exitStatus;
}

std::string tempDir(const std::string &prefix)
{
    const char *base = getenv("TMPDIR");
    std::string pattern = std::string(base && *base ? base : "/tmp") + "/" + prefix + "-XXXXXX";
    std::vector<char> buffer(pattern.begin(), pattern.end());
    buffer.push_back('\0');
    if (!mkdtemp(buffer.data()))
        return {};
    return buffer.data();
}

std::string readFile(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

bool writeFile(const std::string &path, const std::string &contents)
{
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << contents;
    return bool(out);
}

void removeTree(const std::string &path)
{
    std::error_code ignored;
    std::filesystem::remove_all(path, ignored);
}

static sockaddr_in loopback(int port)
{
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(static_cast<uint16_t>(port));
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return addr;
}

int connectTcp(int port, int timeoutMs)
{
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0)
        return -1;
    sockaddr_in addr = loopback(port);
    if (connect(fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr) != 0) {
        if (errno != EINPROGRESS) {
            close(fd);
            return -1;
        }
        pollfd p{fd, POLLOUT, 0};
        int error = 0;
        socklen_t len = sizeof error;
        if (poll(&p, 1, timeoutMs) != 1 || getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &len) != 0 ||
            error != 0) {
            close(fd);
            return -1;
        }
    }
    fcntl(fd, F_SETFL, 0);
    return fd;
}

bool sendAll(int fd, const std::string &data)
{
    size_t sent = 0;
    while (sent < data.size()) {
        ssize_t n = send(fd, data.data() + sent, data.size() - sent, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        sent += static_cast<size_t>(n);
    }
    return true;
}

std::string recvQuiet(int fd, int quietMs, int timeoutMs)
{
    std::string text;
    int wait = timeoutMs;
    for (;;) {
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, wait) != 1)
            return text;
        char buffer[4096];
        ssize_t n = recv(fd, buffer, sizeof buffer, 0);
        if (n <= 0)
            return text;
        text.append(buffer, static_cast<size_t>(n));
        wait = quietMs;
    }
}

bool waitForPort(int port, int timeoutMs)
{
    long long deadline = nowMs() + timeoutMs;
    for (;;) {
        int fd = connectTcp(port, 200);
        if (fd >= 0) {
            close(fd);
            return true;
        }
        if (nowMs() >= deadline)
            return false;
        usleep(20000);
    }
}

int listenTcp(int port, int backlog)
{
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return -1;
    int one = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in addr = loopback(port);
    if (bind(fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr) != 0 || listen(fd, backlog) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

int boundPort(int fd)
{
    sockaddr_in addr{};
    socklen_t len = sizeof addr;
    if (getsockname(fd, reinterpret_cast<sockaddr *>(&addr), &len) != 0)
        return -1;
    return ntohs(addr.sin_port);
}

} // namespace harness
