// The framed exchange: request frames byte for byte as they appear on the
// line, and the validation of reply frames, both on a pseudo-terminal where
// the test plays the module and directly on a receive buffer.
#include "tests/reader/reader_test_util.h"

#include <gtest/gtest.h>

#include <cstring>
#include <thread>

using namespace readertest;

namespace
{

// --- makecrc ---

TEST(Makecrc, XorOfTheBytes)
{
    const uint8_t bytes[] = {0x00, 0x01, 0x02, 0x95, 0x01};
    EXPECT_EQ(makecrc(bytes, 5), 0x97);
    EXPECT_EQ(makecrc(bytes, 1), 0x00);
    const uint8_t high[] = {0xFF, 0x0F};
    EXPECT_EQ(makecrc(high, 2), 0xF0);
    EXPECT_EQ(makecrc(high, 1), 0xFF); // a value 0..255, never negative
}

TEST(Makecrc, EmptyOrNegativeCountIsZero)
{
    const uint8_t bytes[] = {0x55};
    EXPECT_EQ(makecrc(bytes, 0), 0);
    EXPECT_EQ(makecrc(bytes, -3), 0);
}

// --- checkReplyFrame ---

// A heap buffer of exactly 256 bytes, so that a read past it is caught by
// the address sanitizer.
std::vector<uint8_t> receiveBuffer(const Bytes &bytes)
{
    std::vector<uint8_t> rx(FRAME_BUFFER_SIZE, 0);
    std::copy(bytes.begin(), bytes.begin() + std::min<size_t>(bytes.size(), rx.size()), rx.begin());
    return rx;
}

struct Checked {
    int result;
    int count;
    Bytes reply;
};

Checked check(const Bytes &bytes)
{
    std::vector<uint8_t> rx = receiveBuffer(bytes);
    std::vector<uint8_t> reply(249, 0xEE);
    int count = -7;
    int result = checkReplyFrame(rx.data(), reply.data(), &count);
    return {result, count, Bytes(reply.begin(), reply.end())};
}

void expectRejected(const Bytes &bytes)
{
    Checked c = check(bytes);
    EXPECT_EQ(c.result, -1) << hex(bytes);
    EXPECT_EQ(c.count, -7) << "count touched for " << hex(bytes);
    EXPECT_EQ(c.reply, Bytes(249, 0xEE)) << "reply touched for " << hex(bytes);
}

TEST(CheckReplyFrame, WorkedSuccessReply)
{
    Checked c = check({0xAA, 0x00, 0x01, 0x08, 0x00, 0x01, 0x02, 0x03, 0x12, 0x34, 0x56, 0x78, 0x01, 0xBB});
    EXPECT_EQ(c.result, 0);
    EXPECT_EQ(c.count, 7);
    EXPECT_EQ(Bytes(c.reply.begin(), c.reply.begin() + 8), Bytes({1, 2, 3, 0x12, 0x34, 0x56, 0x78, 0xEE}));
}

TEST(CheckReplyFrame, WorkedFailureReply)
{
    Checked c = check({0xAA, 0x00, 0x01, 0x02, 0x01, 0x83, 0x81, 0xBB});
    EXPECT_EQ(c.result, -2);
    EXPECT_EQ(c.count, 1);
    EXPECT_EQ(c.reply[0], 0x83);
    EXPECT_EQ(c.reply[1], 0xEE);
}

TEST(CheckReplyFrame, StatusZeroWithoutData)
{
    Checked c = check(replyFrame(0x00, {}));
    EXPECT_EQ(c.result, 0);
    EXPECT_EQ(c.count, 0);
    EXPECT_EQ(c.reply[0], 0xEE);
}

TEST(CheckReplyFrame, FailureWithoutDataGivesTheCheckByte)
{
    Bytes frame = replyFrame(0x05, {});
    ASSERT_EQ(frame.size(), 7u);
    Checked c = check(frame);
    EXPECT_EQ(c.result, -2);
    EXPECT_EQ(c.count, 1);
    EXPECT_EQ(c.reply[0], frame[5]);
}

TEST(CheckReplyFrame, BytesOneAndTwoAreFreeButChecked)
{
    Checked c = check(replyFrame(0x00, {0x42}, 0x12, 0x34));
    EXPECT_EQ(c.result, 0);
    EXPECT_EQ(c.count, 1);
    EXPECT_EQ(c.reply[0], 0x42);

    Bytes frame = replyFrame(0x00, {0x42});
    frame[1] = 0x12; // changed without fixing the check byte
    expectRejected(frame);
}

TEST(CheckReplyFrame, Malformed)
{
    Bytes good = replyFrame(0x00, {1, 2, 3, 0x12, 0x34, 0x56, 0x78});

    Bytes stray = good;
    stray.insert(stray.begin(), 0x55);
    expectRejected(stray);

    Bytes badCheck = good;
    badCheck[good.size() - 2] ^= 0x01;
    expectRejected(badCheck);

    Bytes badEnd = good;
    badEnd.back() = 0xBC;
    expectRejected(badEnd);

    expectRejected(Bytes(good.begin(), good.end() - 1)); // end byte missing
    expectRejected(Bytes(good.begin(), good.begin() + 6));
    expectRejected({});
}

TEST(CheckReplyFrame, LengthByteZeroIsRejected)
{
    // Check byte (00 ^ 01 ^ 00) and end byte would both match.
    expectRejected({0xAA, 0x00, 0x01, 0x00, 0x01, 0xBB});
}

TEST(CheckReplyFrame, LengthBytesThatRunPastTheBuffer)
{
    for (int length : {251, 252, 255}) {
        // Fill the buffer so that the bytes inside it agree as far as they go.
        std::vector<uint8_t> rx(FRAME_BUFFER_SIZE, 0);
        rx[0] = 0xAA;
        rx[1] = 0x00;
        rx[2] = 0x01;
        rx[3] = static_cast<uint8_t>(length);
        if (length + 4 < FRAME_BUFFER_SIZE)
            rx[length + 4] = static_cast<uint8_t>(makecrc(rx.data() + 1, length + 3));
        uint8_t reply[256];
        memset(reply, 0xEE, sizeof reply);
        int count = -7;
        EXPECT_EQ(checkReplyFrame(rx.data(), reply, &count), -1) << length;
        EXPECT_EQ(count, -7);
        EXPECT_EQ(reply[0], 0xEE);
    }
}

TEST(CheckReplyFrame, LargestReplyFillsTheBuffer)
{
    Bytes data(249);
    for (size_t i = 0; i < data.size(); ++i)
        data[i] = static_cast<uint8_t>(i * 7);
    Bytes frame = replyFrame(0x00, data);
    ASSERT_EQ(frame.size(), 256u);
    Checked c = check(frame);
    EXPECT_EQ(c.result, 0);
    EXPECT_EQ(c.count, 249);
    EXPECT_EQ(c.reply, data);
}

// --- optFunction on a pseudo-terminal ---

struct Exchange {
    int result;
    int count;
    Bytes reply;
    Bytes request; // what appeared on the line
    std::string printed;
};

// Queues `reply` on the line first (the exchange does not flush), then runs
// one exchange and collects the request it wrote.
Exchange exchange(Pty &pty, uint8_t cmd, const Bytes &data, const Bytes &reply, int ms = 500)
{
    if (!reply.empty())
        writeAll(pty.master, reply);
    std::vector<uint8_t> buffer(249, 0xEE);
    int count = -7;
    Capture out(1);
    int result = optFunction(pty.line, cmd, data.empty() ? nullptr : data.data(),
                             static_cast<int>(data.size()), buffer.data(), &count, ms);
    std::string printed = out.finish();
    Bytes request = drain(pty.master, 30);
    return {result, count, Bytes(buffer.begin(), buffer.end()), request, printed};
}

TEST(OptFunction, ReadUidRequestAndReply)
{
    Pty pty;
    ASSERT_TRUE(openPty(pty));
    Exchange e =
        exchange(pty, 0x95, {0x01},
                 {0xAA, 0x00, 0x01, 0x08, 0x00, 0x01, 0x02, 0x03, 0x12, 0x34, 0x56, 0x78, 0x01, 0xBB});
    EXPECT_EQ(hex(e.request), "AA 00 01 02 95 01 97 BB");
    EXPECT_EQ(e.result, 0);
    EXPECT_EQ(e.count, 7);
    EXPECT_EQ(Bytes(e.reply.begin(), e.reply.begin() + 7), Bytes({1, 2, 3, 0x12, 0x34, 0x56, 0x78}));
    EXPECT_EQ(e.printed, "");
}

TEST(OptFunction, ControlRequest)
{
    Pty pty;
    ASSERT_TRUE(openPty(pty));
    Exchange e = exchange(pty, 0x99, {0x01, 0x00, 0x00, 0x00}, replyFrame(0x00, {}));
    EXPECT_EQ(hex(e.request), "AA 00 01 05 99 01 00 00 00 9C BB");
    EXPECT_EQ(e.result, 0);
    EXPECT_EQ(e.count, 0);
}

TEST(OptFunction, RequestWithoutData)
{
    Pty pty;
    ASSERT_TRUE(openPty(pty));
    Exchange e = exchange(pty, 0x95, {}, replyFrame(0x00, {}));
    EXPECT_EQ(hex(e.request), "AA 00 01 01 95 95 BB");
    EXPECT_EQ(e.result, 0);
}

TEST(OptFunction, FailureStatus)
{
    Pty pty;
    ASSERT_TRUE(openPty(pty));
    Exchange e = exchange(pty, 0x95, {0x01}, {0xAA, 0x00, 0x01, 0x02, 0x01, 0x83, 0x81, 0xBB});
    EXPECT_EQ(e.result, -2);
    EXPECT_EQ(e.count, 1);
    EXPECT_EQ(e.reply[0], 0x83);
    EXPECT_EQ(e.printed, "");
}

TEST(OptFunction, FailureStatusWithoutDataGivesCheckByte)
{
    Pty pty;
    ASSERT_TRUE(openPty(pty));
    Bytes reply = replyFrame(0x07, {});
    Exchange e = exchange(pty, 0x95, {0x01}, reply);
    EXPECT_EQ(e.result, -2);
    EXPECT_EQ(e.count, 1);
    EXPECT_EQ(e.reply[0], reply[5]);
}

TEST(OptFunction, StatusZeroWithoutData)
{
    Pty pty;
    ASSERT_TRUE(openPty(pty));
    Exchange e = exchange(pty, 0x95, {0x01}, replyFrame(0x00, {}));
    EXPECT_EQ(e.result, 0);
    EXPECT_EQ(e.count, 0);
    EXPECT_EQ(e.reply[0], 0xEE);
}

TEST(OptFunction, LargestRequest)
{
    Pty pty;
    ASSERT_TRUE(openPty(pty));
    Bytes data(249);
    for (size_t i = 0; i < data.size(); ++i)
        data[i] = static_cast<uint8_t>(i);
    Exchange e = exchange(pty, 0x42, data, replyFrame(0x00, {0x01}));
    ASSERT_EQ(e.request.size(), 256u);
    EXPECT_EQ(Bytes(e.request.begin(), e.request.begin() + 5), Bytes({0xAA, 0x00, 0x01, 0xFA, 0x42}));
    EXPECT_EQ(Bytes(e.request.begin() + 5, e.request.end() - 2), data);
    EXPECT_EQ(e.request[254], makecrc(e.request.data() + 1, 253));
    EXPECT_EQ(e.request[255], 0xBB);
    EXPECT_EQ(e.result, 0);
}

TEST(OptFunction, OversizedOrNegativeDataCountIsRefusedWithoutWriting)
{
    Pty pty;
    ASSERT_TRUE(openPty(pty));
    Bytes data(300, 0x11);
    for (int count : {250, 300, -1}) {
        std::vector<uint8_t> reply(249, 0xEE);
        int replyCount = -7;
        EXPECT_EQ(optFunction(pty.line, 0x95, data.data(), count, reply.data(), &replyCount, 100), -1);
        EXPECT_EQ(replyCount, -7);
    }
    EXPECT_TRUE(drain(pty.master, 30).empty());
}

TEST(OptFunction, LargestReply)
{
    Pty pty;
    ASSERT_TRUE(openPty(pty));
    Bytes data(249);
    for (size_t i = 0; i < data.size(); ++i)
        data[i] = static_cast<uint8_t>(255 - i);
    Exchange e = exchange(pty, 0x95, {0x01}, replyFrame(0x00, data));
    EXPECT_EQ(e.result, 0);
    EXPECT_EQ(e.count, 249);
    EXPECT_EQ(e.reply, data);
}

TEST(OptFunction, MalformedRepliesFailSilentlyAndLeaveOutputsAlone)
{
    Bytes good = replyFrame(0x00, {1, 2, 3, 0x12, 0x34, 0x56, 0x78});
    Bytes stray = good;
    stray.insert(stray.begin(), 0x55);
    Bytes badCheck = good;
    badCheck[good.size() - 2] ^= 0x40;
    Bytes badEnd = good;
    badEnd.back() = 0x00;
    Bytes shortReply(good.begin(), good.end() - 3);
    Bytes lengthZero = {0xAA, 0x00, 0x01, 0x00, 0x01, 0xBB};
    Bytes length251 = {0xAA, 0x00, 0x01, 0xFB, 0x00, 0x01, 0x02};

    const struct {
        const char *name;
        Bytes reply;
    } cases[] = {{"stray leading byte", stray}, {"wrong check byte", badCheck},
                 {"wrong end byte", badEnd},    {"shorter than its length", shortReply},
                 {"length 0", lengthZero},      {"length 251", length251}};
    for (const auto &c : cases) {
        Pty pty;
        ASSERT_TRUE(openPty(pty));
        Exchange e = exchange(pty, 0x95, {0x01}, c.reply);
        EXPECT_EQ(e.result, -1) << c.name;
        EXPECT_EQ(e.count, -7) << c.name;
        EXPECT_EQ(e.reply, Bytes(249, 0xEE)) << c.name;
        EXPECT_EQ(e.printed, "") << c.name;
        EXPECT_EQ(hex(e.request), "AA 00 01 02 95 01 97 BB") << c.name;
    }
}

TEST(OptFunction, StrayBytesRightAfterAValidReplyAreDropped)
{
    Pty pty;
    ASSERT_TRUE(openPty(pty));
    Bytes reply = replyFrame(0x00, {1, 2, 3, 0x12, 0x34, 0x56, 0x78});
    reply.insert(reply.end(), {0x55, 0x55, 0x55});
    Exchange e = exchange(pty, 0x95, {0x01}, reply);
    EXPECT_EQ(e.result, 0);
    EXPECT_EQ(e.count, 7);
    // They went with the buffer: the next exchange starts clean.
    Exchange next = exchange(pty, 0x95, {0x01}, replyFrame(0x00, {0x09}));
    EXPECT_EQ(next.result, 0);
    EXPECT_EQ(next.count, 1);
    EXPECT_EQ(next.reply[0], 0x09);
}

TEST(OptFunction, BytesArrivingAfterTheReadAreReadByTheNextExchange)
{
    Pty pty;
    ASSERT_TRUE(openPty(pty));
    Exchange first = exchange(pty, 0x95, {0x01}, replyFrame(0x00, {0x01}));
    EXPECT_EQ(first.result, 0);
    // Late: arrives after the first exchange has finished reading.
    ASSERT_TRUE(writeAll(pty.master, replyFrame(0x00, {0x02})));
    usleep(20000);
    Exchange second = exchange(pty, 0x95, {0x01}, {});
    EXPECT_EQ(second.result, 0);
    EXPECT_EQ(second.count, 1);
    EXPECT_EQ(second.reply[0], 0x02);
    EXPECT_EQ(hex(second.request), "AA 00 01 02 95 01 97 BB");
}

TEST(OptFunction, ReplyWhoseLastBytesComeAfterASilenceFails)
{
    Pty pty;
    ASSERT_TRUE(openPty(pty));
    Bytes reply = replyFrame(0x00, {1, 2, 3, 0x12, 0x34, 0x56, 0x78});
    Bytes head(reply.begin(), reply.begin() + 6);
    Bytes tail(reply.begin() + 6, reply.end());
    std::thread late([&] {
        usleep(300000);
        writeAll(pty.master, tail);
    });
    Exchange e = exchange(pty, 0x95, {0x01}, head);
    late.join();
    EXPECT_EQ(e.result, -1);
    EXPECT_EQ(e.printed, "");
    // The tail starts the next exchange, which therefore fails too.
    usleep(20000);
    Exchange next = exchange(pty, 0x95, {0x01}, {});
    EXPECT_EQ(next.result, -1);
    Exchange third = exchange(pty, 0x95, {0x01}, replyFrame(0x00, {}));
    EXPECT_EQ(third.result, 0);
}

TEST(OptFunction, NoReplyTimesOut)
{
    Pty pty;
    ASSERT_TRUE(openPty(pty));
    long long start = nowMs();
    Exchange e = exchange(pty, 0x95, {0x01}, {}, 500);
    long long elapsed = nowMs() - start;
    EXPECT_EQ(e.result, -1);
    EXPECT_EQ(e.count, -7);
    EXPECT_EQ(e.printed, "Recevice data timeout\n");
    EXPECT_GE(elapsed, 480);
    EXPECT_LT(elapsed, 5000);
    EXPECT_EQ(takeLineFault(), 0);
}

TEST(OptFunction, InvalidDescriptorReportsSelectError)
{
    takeLineFault();
    uint8_t reply[256];
    int count = -7;
    const uint8_t data[1] = {0x01};
    Capture err(2);
    Capture out(1);
    int result = optFunction(-1, 0x95, data, 1, reply, &count, 100);
    std::string printed = out.finish();
    std::string errors = err.finish();
    EXPECT_EQ(result, -1);
    EXPECT_EQ(count, -7);
    EXPECT_EQ(printed, "");
    EXPECT_EQ(errors, std::string("Select error\n: ") + strerror(EBADF) + "\n");
    EXPECT_EQ(takeLineFault(), EBADF);
}

} // namespace
