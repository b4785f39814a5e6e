#include "tests/support/harness.h"

#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>

namespace harness {

bool waitUntil(const std::function<bool()> &condition, int timeoutMs)
{
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    for (; !condition(); usleep(5000))
        if (std::chrono::steady_clock::now() >= deadline)
            return false;
    return true;
}

std::string binaryPath(const std::string &name) { return std::string(RFIDD_BIN_DIR) + "/" + name; }

std::string sandboxDir() { return RFIDD_SANDBOX_DIR; }

Process start(const std::vector<std::string> &argv, const std::string &outputPath)
{
    Process process{-1, outputPath};
    int out = open(outputPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_APPEND | O_CLOEXEC, 0644);
    std::vector<char *> args;
    for (const std::string &arg : argv)
        args.push_back(const_cast<char *>(arg.c_str()));
    args.push_back(nullptr);
    if (out >= 0 && (process.pid = fork()) == 0) {
        dup2(open("/dev/null", O_RDONLY), 0);
        dup2(out, 1);
        dup2(out, 2);
        close_range(3, ~0U, 0); // the program gets none of the test's descriptors
        setpgid(0, 0);
        prctl(PR_SET_PDEATHSIG, SIGKILL); // no daemon outlives a test program that was killed
        execv(args[0], args.data());
        _exit(127);
    }
    close(out);
    return process;
}

std::string output(const Process &process) { return readFile(process.outputPath); }

bool waitForOutput(const Process &process, const std::string &needle, int timeoutMs)
{
    return waitUntil([&] { return output(process).find(needle) != std::string::npos; }, timeoutMs);
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
    int status = 0;
    pid_t done = process.pid > 0 ? waitpid(process.pid, &status, WNOHANG) : -1;
    if (done == 0)
        return true;
    if (done > 0)
        process.exitStatus = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    process.pid = -1;
    return false;
}

int stop(Process &process, int sig, int timeoutMs)
{
    if (process.pid > 0 && kill(process.pid, sig) == 0 &&
        !waitUntil([&] { return !isRunning(process); }, timeoutMs)) {
        kill(process.pid, SIGKILL);
        waitpid(process.pid, nullptr, 0);
        process = {-1, process.outputPath, 128 + SIGKILL};
    }
    isRunning(process);
    return process.exitStatus;
}

std::string tempDir(const std::string &prefix)
{
    const char *base = getenv("TMPDIR");
    std::string pattern = std::string(base && *base ? base : "/tmp") + "/" + prefix + "-XXXXXX";
    return mkdtemp(pattern.data()) ? pattern : std::string();
}

std::string readFile(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

bool writeFile(const std::string &path, const std::string &contents)
{
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    return bool(out << contents);
}

void removeTree(const std::string &path)
{
    std::error_code ignored;
    std::filesystem::remove_all(path, ignored);
}

// bind() or connect() of `fd` to 127.0.0.1:port.
static int atLoopback(int (*call)(int, const sockaddr *, socklen_t), int fd, int port)
{
    sockaddr_in addr{static_cast<sa_family_t>(AF_INET), htons(static_cast<uint16_t>(port)), {htonl(INADDR_LOOPBACK)}, {}};
    return call(fd, reinterpret_cast<sockaddr *>(&addr), sizeof addr);
}

static bool ready(int fd, short events, int timeoutMs)
{
    pollfd entry{fd, events, 0};
    return poll(&entry, 1, timeoutMs) == 1;
}

int connectTcp(int port, int timeoutMs)
{
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    int error = 0;
    socklen_t length = sizeof error;
    if (fd >= 0 && atLoopback(connect, fd, port) != 0 &&
        (errno != EINPROGRESS || !ready(fd, POLLOUT, timeoutMs) ||
         getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &length) != 0 || error != 0)) {
        close(fd);
        return -1;
    }
    fcntl(fd, F_SETFL, 0);
    return fd;
}

bool sendAll(int fd, const std::string &data)
{
    size_t sent = 0;
    for (ssize_t n = 0; sent < data.size(); sent += n > 0 ? static_cast<size_t>(n) : 0)
        if ((n = send(fd, data.data() + sent, data.size() - sent, MSG_NOSIGNAL)) <= 0 && errno != EINTR)
            return false;
    return true;
}

std::string recvQuiet(int fd, int quietMs, int timeoutMs)
{
    std::string text;
    char buffer[4096];
    ssize_t n = 0;
    for (int wait = timeoutMs; ready(fd, POLLIN, wait) && (n = recv(fd, buffer, sizeof buffer, 0)) > 0;
         wait = quietMs)
        text.append(buffer, static_cast<size_t>(n));
    return text;
}

std::string recvAll(int fd, int timeoutMs) { return recvQuiet(fd, timeoutMs, timeoutMs); }

std::string acceptText(int listenFd, int timeoutMs)
{
    int client = ready(listenFd, POLLIN, timeoutMs) ? accept(listenFd, nullptr, nullptr) : -1;
    std::string text = client >= 0 ? recvAll(client, timeoutMs) : "";
    close(client);
    return text;
}

std::string roundTrip(int port, const std::string &request, int timeoutMs)
{
    int fd = connectTcp(port, timeoutMs);
    std::string reply = "<no connection>";
    if (fd >= 0 && sendAll(fd, request) && shutdown(fd, SHUT_WR) == 0)
        reply = recvAll(fd, timeoutMs);
    close(fd);
    return reply;
}

bool waitForPort(int port, int timeoutMs)
{
    return waitUntil([&] { return close(connectTcp(port, 200)) == 0; }, timeoutMs);
}

int listenTcp(int port, int backlog)
{
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0), one = 1;
    if (fd >= 0 && (setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one) != 0 ||
                    atLoopback(bind, fd, port) != 0 || listen(fd, backlog) != 0)) {
        close(fd);
        return -1;
    }
    return fd;
}

int boundPort(int fd)
{
    sockaddr_in addr{};
    socklen_t len = sizeof addr;
    return getsockname(fd, reinterpret_cast<sockaddr *>(&addr), &len) == 0 ? ntohs(addr.sin_port) : -1;
}

} // namespace harness
