// The records the daemon's threads share, under real concurrency (also run under ThreadSanitizer): whole
// records replaced in memory and through the reader database, and the control-request hand-over.
#include "core/state.h"
#include "store/store.h"
#include "tests/store/store_test_util.h"

#include <atomic>
#include <cstring>
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

} // namespace
