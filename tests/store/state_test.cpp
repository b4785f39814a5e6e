// The process-wide records shared by the daemon's threads, under real
// concurrency: whole-record replacement, the control-request hand-over,
// the per-thread status and the server settings racing through a database.
#include "core/state.h"
#include "store/store.h"
#include "tests/store/store_test_util.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

namespace {

using storetest::execSql;

ServerConf makeConf(const char *ip, int32_t port, int32_t codeType)
{
    ServerConf conf = {};
    snprintf(conf.ip, sizeof conf.ip, "%s", ip);
    conf.port = port;
    conf.codeType = codeType;
    return conf;
}

bool sameConf(const ServerConf &a, const ServerConf &b) { return memcmp(&a, &b, sizeof a) == 0; }

// --- server settings and telegram content in memory -------------------------------------

TEST(SharedState, ServerConfReadersSeeWholeRecordsOnly)
{
    const ServerConf first = makeConf("1.1.1.1", 1111, 1);
    const ServerConf second = makeConf("222.222.222.222", 22222, 2);
    setSrvConf(first);
    std::atomic<bool> stop{false};
    std::thread writer([&] {
        for (int i = 0; i < 100000; ++i)
            setSrvConf(i % 2 ? first : second);
        stop = true;
    });
    long mixed = 0, reads = 0;
    while (!stop) {
        ServerConf seen = getSrvConf();
        ++reads;
        if (!sameConf(seen, first) && !sameConf(seen, second))
            ++mixed;
    }
    writer.join();
    EXPECT_EQ(mixed, 0) << "of " << reads << " reads";
    setSrvConf(ServerConf{});
}

TEST(SharedState, SetServerConfKeepsTheIpTerminated)
{
    ServerConf conf = {};
    memset(conf.ip, '9', sizeof conf.ip); // no terminator
    conf.port = 5;
    setSrvConf(conf);
    ServerConf seen = getSrvConf();
    EXPECT_EQ(strlen(seen.ip), 15u);
    EXPECT_EQ(seen.port, 5);
    setSrvConf(ServerConf{});
}

TEST(SharedState, TelegramContentReadersSeeWholeRecordsOnly)
{
    TelegramContent first = {};
    TelegramContent second = {};
    memset(&first, 0x11, sizeof first);
    memset(&second, 0xEE, sizeof second);
    setTelegramContent(first);
    std::atomic<bool> stop{false};
    std::thread writer([&] {
        for (int i = 0; i < 100000; ++i)
            setTelegramContent(i % 2 ? first : second);
        stop = true;
    });
    long mixed = 0;
    while (!stop) {
        TelegramContent seen = getTelegramContent();
        if (memcmp(&seen, &first, sizeof seen) != 0 && memcmp(&seen, &second, sizeof seen) != 0)
            ++mixed;
    }
    writer.join();
    EXPECT_EQ(mixed, 0);
    setTelegramContent(TelegramContent{});
}

// --- control requests ------------------------------------------------------------------------

ControlRequest request(uint8_t form, uint8_t value)
{
    return ControlRequest{form, value, value, value, value};
}

class ControlHandOver : public ::testing::Test {
protected:
    void SetUp() override
    {
        ControlRequest drained;
        while (takeControlRequest(&drained)) {
        }
    }
};

TEST_F(ControlHandOver, NothingPendingGivesFalseAndLeavesTheDestination)
{
    EXPECT_EQ(opt.load(), OPT_READ);
    ControlRequest out = request(9, 9);
    EXPECT_FALSE(takeControlRequest(&out));
    EXPECT_EQ(out.form, 9);
    EXPECT_EQ(out.light2, 9);
    EXPECT_EQ(opt.load(), OPT_READ);
}

TEST_F(ControlHandOver, PutSetsControlAndTakeSetsReadAgain)
{
    putControlRequest(ControlRequest{1, 1, 0, 0, 0});
    EXPECT_EQ(opt.load(), OPT_CONTROL);
    ControlRequest out = {};
    ASSERT_TRUE(takeControlRequest(&out));
    EXPECT_EQ(opt.load(), OPT_READ);
    EXPECT_EQ(out.form, 1);
    EXPECT_EQ(out.relay, 1);
    EXPECT_FALSE(takeControlRequest(&out)); // taken once only
}

TEST_F(ControlHandOver, SecondPutBeforeATakeReplacesTheFirst)
{
    putControlRequest(ControlRequest{1, 1, 1, 0, 0});
    putControlRequest(ControlRequest{2, 0, 1, 2, 3});
    ControlRequest out = {};
    ASSERT_TRUE(takeControlRequest(&out));
    EXPECT_EQ(out.form, 2);
    EXPECT_EQ(out.relay, 0);
    EXPECT_EQ(out.buzzer, 1);
    EXPECT_EQ(out.light1, 2);
    EXPECT_EQ(out.light2, 3);
    EXPECT_FALSE(takeControlRequest(&out));
}

TEST_F(ControlHandOver, ConcurrentConsumerNeverSeesBytesOfTwoRequests)
{
    constexpr int COUNT = 50000;
    std::atomic<bool> done{false};
    std::thread producer([&] {
        for (int i = 1; i <= COUNT; ++i)
            putControlRequest(request(static_cast<uint8_t>(1 + i % 2), static_cast<uint8_t>(i)));
        done = true;
    });
    long taken = 0, torn = 0;
    ControlRequest out = {};
    for (;;) {
        bool finished = done;
        while (takeControlRequest(&out)) {
            ++taken;
            if (out.relay != out.buzzer || out.relay != out.light1 || out.relay != out.light2 ||
                out.form != 1 + out.relay % 2)
                ++torn;
        }
        if (finished)
            break;
    }
    producer.join();
    EXPECT_EQ(torn, 0);
    EXPECT_GT(taken, 0);
    // The last request put is the last one taken.
    EXPECT_EQ(out.relay, static_cast<uint8_t>(COUNT));
    EXPECT_EQ(opt.load(), OPT_READ);
}

// --- result --------------------------------------------------------------------------------------

// Read outside the test body: GCC 12 with UBSan, optimising, reports the
// extern thread_local as a null pointer when it is read in a function that
// has started a std::thread (the value itself is fine).
__attribute__((noinline)) int32_t ownResult() { return result; }
__attribute__((noinline)) void setOwnResult(int32_t value) { result = value; }

TEST(SharedState, ResultBelongsToEachThread)
{
    setOwnResult(5);
    int32_t seenByOther = 99;
    int32_t afterSet = 99;
    std::thread other([&] {
        seenByOther = result; // a fresh thread starts at 0
        result = -1;
        afterSet = result;
    });
    other.join();
    EXPECT_EQ(seenByOther, 0);
    EXPECT_EQ(afterSet, -1);
    EXPECT_EQ(ownResult(), 5);

    // Two services setting and reading back their own status at once.
    std::atomic<int> wrong{0};
    auto service = [&](int32_t mine) {
        for (int i = 0; i < 20000; ++i) {
            result = mine;
            std::this_thread::yield();
            if (result != mine)
                ++wrong;
        }
    };
    std::thread udp(service, 0);
    std::thread tcp(service, -1);
    udp.join();
    tcp.join();
    EXPECT_EQ(wrong, 0);
    setOwnResult(0);
}

// --- server settings through the database ----------------------------------------------------

class ServerSettingsRace : public storetest::ScratchTest {
protected:
    void SetUp() override
    {
        ScratchTest::SetUp();
        ASSERT_TRUE(execSql(readerDbFile, storetest::READER_SCHEMA));
    }
};

TEST_F(ServerSettingsRace, ReadsNeverSeeAMixOfTwoWrites)
{
    const ServerConf triples[] = {makeConf("10.0.0.1", 1001, 0), makeConf("192.168.200.201", 65535, 1),
                                  makeConf("127.0.0.1", 9000, 0)};
    ASSERT_EQ(writeServerConfig(triples[2].ip, triples[2].port, triples[2].codeType), 0);

    // Without a busy timeout a statement that meets the other connection's
    // lock may fail and print SQLite's text: that is allowed, a mixture is not.
    storetest::OutputCapture quiet;
    std::atomic<bool> stop{false};
    std::atomic<int> writes{0};
    std::thread writer([&] {
        for (int i = 0; i < 60; ++i) {
            const ServerConf &conf = triples[i % 2];
            if (writeServerConfig(conf.ip, conf.port, conf.codeType) == 0)
                ++writes;
        }
        stop = true;
    });
    int reads = 0, mixed = 0;
    while (!stop || reads < 20) {
        ServerConf seen = {};
        if (readServerConfig(seen.ip, &seen.port, &seen.codeType) != 0)
            continue;
        ++reads;
        bool known = false;
        for (const ServerConf &conf : triples)
            known = known || sameConf(seen, conf);
        if (!known)
            ++mixed;
    }
    writer.join();
    quiet.finish();
    EXPECT_EQ(mixed, 0);
    EXPECT_GT(writes, 0);
    EXPECT_GT(reads, 0);
}

} // namespace
