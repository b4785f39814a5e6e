#include "fuzz/support.h"

#include "core/config.h"
#include "core/state.h"
#include "tests/support/sandbox.h"

#include <dlfcn.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace fuzz
{
static std::string dir, settings, readerDb, cardDb, serial, readerBytes, settingsBytes;
static const char REBOOT[] = "true"; // counted by system() below, never run
static long reboots = 0;

const std::string &board()
{
    if (!dir.empty())
        return dir;
    setenv("TMPDIR", access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp", 0); // tmpfs: fsyncs cost nothing
    dir = harness::tempDir("rfidd-fuzz");
    std::string out;
    if (dir.empty() || harness::runProgram({FUZZ_PROVISION, "--root", dir}, &out) != 0)
        fail(("cannot provision a scratch board: " + out).c_str(), nullptr, 0);
    atexit([] { harness::removeTree(dir); });
    settings = dir + "/etc/eth0-setting", readerDb = dir + "/usr/local/etc/reader.db";
    cardDb = dir + "/usr/local/etc/card.db", serial = dir + "/dev/ttySAC1"; // never made
    paths = {serial.c_str(), settings.c_str(), readerDb.c_str(), cardDb.c_str(), REBOOT};
    readerBytes = harness::readFile(readerDb), settingsBytes = harness::readFile(settings);
    return dir;
}

const std::string &resetBoard()
{
    board();
    if (!harness::writeFile(readerDb, readerBytes) || !harness::writeFile(settings, settingsBytes))
        fail("cannot put the scratch board back", nullptr, 0);
    setSrvConf({});
    setTelegramContent({});
    reboots = 0;
    for (ControlRequest pending; takeControlRequest(&pending);) {
    }
    return settingsBytes;
}

long rebootRequests() { return reboots; }

char *textCopy(const uint8_t *data, size_t size)
{
    char *text = static_cast<char *>(calloc(size + 1, 1));
    return static_cast<char *>(size ? memcpy(text, data, size) : text);
}

void fail(const char *what, const uint8_t *data, size_t size)
{
    fprintf(stderr, "fuzz check failed: %s\ninput (%zu bytes):", what, size);
    for (size_t i = 0; i < size; ++i)
        fprintf(stderr, " %02X", data[i]);
    fputc('\n', stderr), abort();
}

} // namespace fuzz

// The daemon waits 50 ms before it runs the reboot command through the shell.
// Here that wait returns at once and the command is only counted; every other
// call goes to the C library (libFuzzer's -fork and -merge use system()).
template <typename Function> static Function next(const char *name) { return reinterpret_cast<Function>(dlsym(RTLD_NEXT, name)); }
extern "C" int usleep(useconds_t us) { return us == 50000 ? 0 : next<int (*)(useconds_t)>("usleep")(us); }
extern "C" int system(const char *command)
{
    return command && strcmp(command, fuzz::REBOOT) == 0 ? (++fuzz::reboots, 0) : next<int (*)(const char *)>("system")(command);
}
