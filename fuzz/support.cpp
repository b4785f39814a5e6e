#include "fuzz/support.h"

#include "core/config.h"
#include "core/state.h"

#include <dlfcn.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>

namespace fuzz
{

static std::string boardDir;
static std::string netSettingsPath;
static std::string readerDbPath;
static std::string cardDbPath;
static std::string serialPath;
static std::string readerDbBytes;
static std::string netSettingsBytes;
static long rebootCount = 0;

static const char REBOOT_COMMAND[] = "true";

static std::string readAll(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

static bool writeAll(const std::string &path, const std::string &bytes)
{
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0)
        return false;
    size_t done = 0;
    while (done < bytes.size()) {
        ssize_t n = write(fd, bytes.data() + done, bytes.size() - done);
        if (n <= 0) {
            close(fd);
            return false;
        }
        done += static_cast<size_t>(n);
    }
    return close(fd) == 0;
}

static void removeBoard()
{
    if (boardDir.empty())
        return;
    std::error_code ignored;
    std::filesystem::remove_all(boardDir, ignored);
}

static std::string makeScratchDir()
{
    std::string base;
    if (access("/dev/shm", W_OK) == 0)
        base = "/dev/shm"; // tmpfs: the settings file's fsyncs cost nothing
    else if (const char *tmp = getenv("TMPDIR"); tmp && *tmp)
        base = tmp;
    else
        base = "/tmp";
    std::string pattern = base + "/rfidd-fuzz-XXXXXX";
    if (!mkdtemp(pattern.data())) {
        perror("fuzz: mkdtemp");
        abort();
    }
    return pattern;
}

// Runs the provisioning tool for `root`, its output thrown away.
static void provision(const std::string &root)
{
    pid_t pid = fork();
    if (pid < 0) {
        perror("fuzz: fork");
        abort();
    }
    if (pid == 0) {
        int devnull = open("/dev/null", O_WRONLY);
        if (devnull >= 0) {
            dup2(devnull, 1);
            dup2(devnull, 2);
        }
        execl(FUZZ_PROVISION, FUZZ_PROVISION, "--root", root.c_str(), static_cast<char *>(nullptr));
        _exit(127);
    }
    int status = 0;
    if (waitpid(pid, &status, 0) != pid || !WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        fprintf(stderr, "fuzz: %s --root %s failed\n", FUZZ_PROVISION, root.c_str());
        abort();
    }
}

const std::string &board()
{
    if (!boardDir.empty())
        return boardDir;
    boardDir = makeScratchDir();
    atexit(removeBoard);
    provision(boardDir);
    netSettingsPath = boardDir + "/etc/eth0-setting";
    readerDbPath = boardDir + "/usr/local/etc/reader.db";
    cardDbPath = boardDir + "/usr/local/etc/card.db";
    serialPath = boardDir + "/dev/ttySAC1"; // never created
    paths.serialDevice = serialPath.c_str();
    paths.netSettingsFile = netSettingsPath.c_str();
    paths.readerDb = readerDbPath.c_str();
    paths.cardDb = cardDbPath.c_str();
    paths.rebootCommand = REBOOT_COMMAND;
    readerDbBytes = readAll(readerDbPath);
    netSettingsBytes = readAll(netSettingsPath);
    if (readerDbBytes.empty() || netSettingsBytes.empty()) {
        fprintf(stderr, "fuzz: the provisioned board in %s is incomplete\n", boardDir.c_str());
        abort();
    }
    return boardDir;
}

void resetBoard()
{
    board();
    if (!writeAll(readerDbPath, readerDbBytes) || !writeAll(netSettingsPath, netSettingsBytes)) {
        perror("fuzz: cannot restore the scratch board");
        abort();
    }
    setSrvConf(ServerConf{});
    setTelegramContent(TelegramContent{});
    ControlRequest ignored;
    takeControlRequest(&ignored);
    result = 0;
}

const std::string &provisionedNetSettings()
{
    board();
    return netSettingsBytes;
}

long rebootRequests()
{
    return rebootCount;
}

char *textCopy(const uint8_t *data, size_t size)
{
    char *text = static_cast<char *>(malloc(size + 1));
    if (!text)
        abort();
    if (size > 0)
        memcpy(text, data, size);
    text[size] = '\0';
    return text;
}

void fail(const char *what, const uint8_t *data, size_t size)
{
    fprintf(stderr, "fuzz check failed: %s\ninput (%zu bytes):", what, size);
    for (size_t i = 0; i < size; ++i)
        fprintf(stderr, " %02X", data[i]);
    fputc('\n', stderr);
    abort();
}

} // namespace fuzz

// The daemon waits 50 ms before it runs the reboot command and then runs it
// through the shell. Under the fuzzer both would only slow every input that
// stores a network setup, so that wait returns at once and the reboot
// command is only counted. Every other call goes to the C library, for
// libFuzzer itself runs commands through system() (-jobs, -fork, -merge).
extern "C" int usleep(useconds_t microseconds)
{
    if (microseconds == 50000)
        return 0;
    timespec left{static_cast<time_t>(microseconds / 1000000),
                  static_cast<long>(microseconds % 1000000) * 1000};
    while (nanosleep(&left, &left) != 0) {
        if (errno != EINTR)
            return -1;
    }
    return 0;
}

extern "C" int system(const char *command)
{
    if (command && strcmp(command, fuzz::REBOOT_COMMAND) == 0) {
        ++fuzz::rebootCount;
        return 0;
    }
    using SystemFunction = int (*)(const char *);
    static SystemFunction real = reinterpret_cast<SystemFunction>(dlsym(RTLD_NEXT, "system"));
    if (!real) {
        fprintf(stderr, "fuzz: the C library's system() cannot be found\n");
        abort();
    }
    return real(command);
}
