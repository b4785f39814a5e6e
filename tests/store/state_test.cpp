// The records the daemon's threads share, under real concurrency (also run under ThreadSanitizer): whole
// records replaced in memory and through the reader database, and the control-request hand-over.
#include "core/log.h"
#include "core/state.h"
#include "store/store.h"
#include "tests/store/store_test_util.h"

#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <sstream>
#include <thread>

namespace {

TEST(SharedState, AStoredRequestIsTakenOnceTheLaterOfTwoReplacingTheEarlier)
{
    ControlRequest out = {};
    putControlRequest({1, 1, 1, 0, 0}), putControlRequest({2, 0, 1, 2, 3});
    EXPECT_EQ(opt, OPT_CONTROL);
    EXPECT_TRUE(takeControlRequest(&out) && opt == OPT_READ && !memcmp(&out, "\2\0\1\2\3", 5));
    EXPECT_FALSE(takeControlRequest(&out));
}

using SharedStateDb = storetest::Store;

// A thread replaces srvConf, telegramContent and the pending control request, and now and then the
// server settings in the reader database, while this one reads them: each read gives one whole record
// or the other, the card loop never takes bytes of two requests and takes the last one last.
TEST_F(SharedStateDb, ReadersGetAWholeOldOrNewRecordNeverAMixture)
{
    ASSERT_EQ(storetest::query(readerDb, storetest::READER_SCHEMA), "");
    const ServerConf c[2] = {{"1.1.1.1", 1111, 1}, {"222.222.222.222", 22222, 2}};
    const TelegramContent t[2] = {{1, 1, {1, 1, 1, 1, 1, 1}, 1, 1, 1}, {2, 2, {2, 2, 2, 2, 2, 2}, 2, 2, 2}};
    auto write = [&](int i) {
        setSrvConf(c[i % 2]), setTelegramContent(t[i % 2]);
        putControlRequest({uint8_t(1 + i % 2), uint8_t(i), uint8_t(i), uint8_t(i), uint8_t(i)});
        const ServerConf &s = c[i / 1000 % 2];
        EXPECT_TRUE(i % 1000 || writeServerConfig(s.ip, s.port, s.codeType) == 0);
    };
    write(0);
    std::atomic<bool> done{false};
    std::thread writer([&] {
        for (int i = 0; i < 40000; ++i)
            write(i);
        done = true;
    });
    int mixed = 0;
    ControlRequest r = {};
    for (int reads = 0; !done || reads < 20; ++reads) {
        ServerConf conf = getSrvConf(), stored = {};
        TelegramContent content = getTelegramContent();
        mixed += memcmp(&conf, &c[0], sizeof conf) && memcmp(&conf, &c[1], sizeof conf);
        mixed += memcmp(&content, &t[0], sizeof content) && memcmp(&content, &t[1], sizeof content);
        mixed += takeControlRequest(&r) &&
                 (r.relay != r.light2 || r.buzzer != r.light1 || r.form != 1 + r.relay % 2);
        if (reads % 1000 == 0)
            mixed += readServerConfig(stored.ip, &stored.port, &stored.codeType) ||
                     (memcmp(&stored, &c[0], sizeof stored) && memcmp(&stored, &c[1], sizeof stored));
    }
    writer.join();
    takeControlRequest(&r);
    EXPECT_EQ(mixed, 0);
    EXPECT_EQ(r.relay, uint8_t(39999));
}

// The log writer with standard output on a full pipe that is read only from the middle on: each
// message is written whole or counted by a notice where it would have been, two over-long ones in a
// row (dropped while the output stalls, then cut) leave no notice behind, and every flush ends.
TEST(Log, EveryMessageIsWrittenOrCountedWhereItWentAndOverLongOnesAreCut)
{
    int out[2], saved = dup(STDOUT_FILENO);
    ASSERT_EQ(pipe2(out, O_CLOEXEC), 0);
    const std::string full(fcntl(out[1], F_SETPIPE_SZ, 4096), '.'), big(3 * LOG_BUFFER_BYTES, 'x');
    ASSERT_EQ(write(out[1], full.data(), full.size()), static_cast<ssize_t>(full.size()));
    fflush(stdout), dup2(out[1], STDOUT_FILENO), close(out[1]);
    logStart();
    auto overLong = [&] { logPuts(big.c_str()), logPrintf("%s", big.c_str()); };
    for (int i = 0; i < 300; ++i)
        logPrintf("%03d%081d\n", i, 0);
    overLong();
    std::string text;
    std::thread reader([&] {
        char chunk[4096];
        for (ssize_t n; (n = read(out[0], chunk, sizeof chunk)) > 0;)
            text.append(chunk, static_cast<size_t>(n));
    });
    bool flushed = logFlush(LOG_FLUSH_LIMIT_MS);
    overLong();
    flushed = logFlush(LOG_FLUSH_LIMIT_MS) && flushed;
    dup2(saved, STDOUT_FILENO), reader.join(), close(out[0]); // the reader met the end of the pipe
    const std::string cut = std::string(LOG_MESSAGE_MAX_BYTES - 48, 'x') + " [... 45104 more bytes cut]";
    ASSERT_TRUE(flushed && text.ends_with(cut + "\n" + cut)) << text.substr(std::max<size_t>(text.size(), 99) - 99);
    std::istringstream items(text.substr(full.size(), text.size() - full.size() - 2 * cut.size() - 1));
    int at = 0, told = 0, notices = 0; // messages accounted for: written, or counted in a notice
    for (std::string item; std::getline(items, item); at += told ? told : 1, notices += told > 0, told = 0) {
        char line[100];
        snprintf(line, sizeof line, "%03d%081d", at, 0);
        EXPECT_TRUE(sscanf(item.c_str(), "rfidd: %d lines of output dropped", &told) == 1 || item == line) << item;
    }
    EXPECT_TRUE(at == 302 && notices > 0) << text;
}

} // namespace
