// The serial line: opening, line settings and the bounded reads, on real
// pseudo-terminals.
#include "tests/reader/reader_test_util.h"

#include <gtest/gtest.h>
#include <termios.h>

#include <cerrno>
#include <thread>

using namespace readertest;

namespace
{

// --- open_port ---

TEST(OpenPort, MissingDevicePrintsPathWithoutLineEnd)
{
    Capture out(1);
    int fd = open_port("/nonexistent-rfidd-dir/ttyX");
    std::string text = out.finish();
    EXPECT_EQ(fd, -1);
    EXPECT_EQ(text, "Can't open serial /nonexistent-rfidd-dir/ttyX");
}

TEST(OpenPort, TerminalIsOpenedBlockingForReadAndWrite)
{
    Pty pty;
    ASSERT_TRUE(openPty(pty, false));
    int flags = fcntl(pty.line, F_GETFL);
    ASSERT_GE(flags, 0);
    EXPECT_EQ(flags & O_NONBLOCK, 0);
    EXPECT_EQ(flags & O_ACCMODE, O_RDWR);
}

// --- set_port ---

termios readBack(int fd)
{
    termios tio{};
    EXPECT_EQ(tcgetattr(fd, &tio), 0);
    return tio;
}

TEST(SetPort, RawNineSixHundredEightNOne)
{
    Pty pty;
    ASSERT_TRUE(openPty(pty, false));
    ASSERT_EQ(set_port(pty.line, 9600, 8, 1, 'N'), 0);
    termios tio = readBack(pty.line);
    EXPECT_EQ(cfgetispeed(&tio), static_cast<speed_t>(B9600));
    EXPECT_EQ(cfgetospeed(&tio), static_cast<speed_t>(B9600));
    EXPECT_EQ(tio.c_cflag & (CLOCAL | CREAD), static_cast<tcflag_t>(CLOCAL | CREAD));
    EXPECT_EQ(tio.c_cflag & CSIZE, static_cast<tcflag_t>(CS8));
    EXPECT_EQ(tio.c_cflag & (PARENB | CSTOPB), 0u);
    EXPECT_EQ(tio.c_iflag, 0u);
    EXPECT_EQ(tio.c_oflag, 0u);
    EXPECT_EQ(tio.c_lflag, 0u);
    EXPECT_EQ(tio.c_cc[VMIN], 0);
    EXPECT_EQ(tio.c_cc[VTIME], 0);
}

TEST(SetPort, SpeedTable)
{
    Pty pty;
    ASSERT_TRUE(openPty(pty, false));
    const struct {
        int bits;
        speed_t code;
    } cases[] = {{2400, B2400},  {4800, B4800},  {9600, B9600}, {115200, B115200},
                 {19200, B9600}, {57600, B9600}, {0, B9600},    {-1, B9600}};
    for (const auto &c : cases) {
        ASSERT_EQ(set_port(pty.line, c.bits, 8, 1, 'N'), 0) << c.bits;
        termios tio = readBack(pty.line);
        EXPECT_EQ(cfgetispeed(&tio), c.code) << c.bits;
        EXPECT_EQ(cfgetospeed(&tio), c.code) << c.bits;
    }
}

TEST(SetPort, StopBits)
{
    Pty pty;
    ASSERT_TRUE(openPty(pty, false));
    ASSERT_EQ(set_port(pty.line, 9600, 8, 2, 'N'), 0);
    EXPECT_NE(readBack(pty.line).c_cflag & CSTOPB, 0u);
    ASSERT_EQ(set_port(pty.line, 9600, 8, 1, 'N'), 0);
    EXPECT_EQ(readBack(pty.line).c_cflag & CSTOPB, 0u);
    // Anything else means one stop bit; the record is built afresh, so the
    // earlier two stop bits do not linger.
    ASSERT_EQ(set_port(pty.line, 9600, 8, 2, 'N'), 0);
    ASSERT_EQ(set_port(pty.line, 9600, 8, 3, 'N'), 0);
    EXPECT_EQ(readBack(pty.line).c_cflag & CSTOPB, 0u);
}

TEST(SetPort, EvenParityChecksAndStripsInput)
{
    Pty pty;
    ASSERT_TRUE(openPty(pty, false));
    ASSERT_EQ(set_port(pty.line, 9600, 8, 1, 'E'), 0);
    termios tio = readBack(pty.line);
    EXPECT_EQ(tio.c_iflag, static_cast<tcflag_t>(INPCK | ISTRIP));
    // A pseudo-terminal keeps CS8 and no parity bit whatever it is given;
    // the record set_port applies is checked through makePortSettings.
    termios made{};
    makePortSettings(&made, 9600, 8, 1, 'E');
    EXPECT_NE(made.c_cflag & PARENB, 0u);
    EXPECT_EQ(made.c_cflag & PARODD, 0u);
    EXPECT_EQ(made.c_iflag, static_cast<tcflag_t>(INPCK | ISTRIP));
}

TEST(SetPort, OddParity)
{
    Pty pty;
    ASSERT_TRUE(openPty(pty, false));
    ASSERT_EQ(set_port(pty.line, 9600, 8, 1, 'O'), 0);
    EXPECT_EQ(readBack(pty.line).c_iflag, static_cast<tcflag_t>(INPCK | ISTRIP));
    termios made{};
    makePortSettings(&made, 9600, 8, 1, 'O');
    EXPECT_EQ(made.c_cflag & (PARENB | PARODD), static_cast<tcflag_t>(PARENB | PARODD));
}

TEST(SetPort, LowerCaseParityMeansNone)
{
    Pty pty;
    ASSERT_TRUE(openPty(pty, false));
    ASSERT_EQ(set_port(pty.line, 9600, 8, 1, 'E'), 0);
    for (char parity : {'n', 'e', 'o', 'X', '\0'}) {
        ASSERT_EQ(set_port(pty.line, 9600, 8, 1, parity), 0);
        EXPECT_EQ(readBack(pty.line).c_iflag, 0u) << int(parity);
        termios made{};
        makePortSettings(&made, 9600, 8, 1, parity);
        EXPECT_EQ(made.c_cflag & (PARENB | PARODD), 0u) << int(parity);
        EXPECT_EQ(made.c_iflag, 0u) << int(parity);
    }
}

TEST(SetPort, CharacterSize)
{
    const struct {
        int bits;
        tcflag_t size;
    } cases[] = {{8, CS8}, {7, CS7}, {6, CS5}, {5, CS5}, {9, CS5}, {0, CS5}};
    for (const auto &c : cases) {
        termios made{};
        memset(&made, 0xFF, sizeof made); // the record is built from zeros
        makePortSettings(&made, 9600, c.bits, 1, 'N');
        EXPECT_EQ(made.c_cflag & CSIZE, c.size) << c.bits;
        EXPECT_EQ(made.c_cflag & ~(CSIZE | CBAUD | CBAUDEX), static_cast<tcflag_t>(CLOCAL | CREAD)) << c.bits;
        EXPECT_EQ(made.c_iflag | made.c_oflag | made.c_lflag, 0u);
        for (cc_t control : made.c_cc)
            EXPECT_EQ(control, 0);
    }
}

TEST(SetPort, DiscardsInputWaitingBeforeIt)
{
    Pty pty;
    ASSERT_TRUE(openPty(pty, false));
    ASSERT_EQ(set_port(pty.line, 9600, 8, 1, 'N'), 0);
    ASSERT_TRUE(writeAll(pty.master, {0x01, 0x02, 0x03}));
    usleep(100000); // let the bytes reach the line's input queue
    ASSERT_EQ(set_port(pty.line, 9600, 8, 1, 'N'), 0);
    uint8_t buffer[16];
    EXPECT_EQ(tread(pty.line, buffer, sizeof buffer, 50), 0);
}

TEST(SetPort, NotATerminalFailsAtTcgetattr)
{
    int pipeFds[2];
    ASSERT_EQ(pipe(pipeFds), 0);
    Capture err(2);
    int result = set_port(pipeFds[0], 9600, 8, 1, 'N');
    std::string text = err.finish();
    close(pipeFds[0]);
    close(pipeFds[1]);
    EXPECT_EQ(result, -1);
    EXPECT_EQ(text, std::string("Serial tcgetattr error: ") + strerror(ENOTTY) + "\n");
}

// --- tread / treadn ---

TEST(Tread, ReturnsWhatIsWaitingWithoutWaitingForTheCount)
{
    Pty pty;
    ASSERT_TRUE(openPty(pty));
    ASSERT_TRUE(writeAll(pty.master, {0x11, 0x22, 0x33}));
    uint8_t buffer[64] = {};
    long long start = nowMs();
    int got = tread(pty.line, buffer, sizeof buffer, 5000);
    long long elapsed = nowMs() - start;
    // The bytes may trickle in from the pseudo-terminal; whatever came first
    // is returned at once.
    ASSERT_GE(got, 1);
    EXPECT_LE(got, 3);
    EXPECT_LT(elapsed, 2500);
    EXPECT_EQ(buffer[0], 0x11);
}

TEST(Tread, TimesOutWithNothing)
{
    Pty pty;
    ASSERT_TRUE(openPty(pty));
    uint8_t buffer[8];
    for (int limit : {20, 300}) {
        long long start = nowMs();
        EXPECT_EQ(tread(pty.line, buffer, sizeof buffer, limit), 0);
        long long elapsed = nowMs() - start;
        EXPECT_GE(elapsed, limit - 2) << limit;
        EXPECT_LT(elapsed, limit + 3000) << limit;
    }
    EXPECT_EQ(takeLineFault(), 0); // a quiet line is not a fault
}

TEST(Tread, ReadsNoMoreThanTheCount)
{
    Pty pty;
    ASSERT_TRUE(openPty(pty));
    ASSERT_TRUE(writeAll(pty.master, {1, 2, 3, 4, 5, 6}));
    usleep(50000);
    uint8_t buffer[8] = {};
    EXPECT_EQ(tread(pty.line, buffer, 2, 1000), 2);
    EXPECT_EQ(buffer[2], 0);
    EXPECT_EQ(tread(pty.line, buffer, 8, 1000), 4);
    EXPECT_EQ(buffer[0], 3);
}

TEST(Tread, BadDescriptorReportsSelectError)
{
    uint8_t buffer[8];
    Capture err(2);
    int got = tread(-1, buffer, sizeof buffer, 100);
    std::string text = err.finish();
    EXPECT_EQ(got, -1);
    EXPECT_EQ(text, std::string("Select error\n: ") + strerror(EBADF) + "\n");
    EXPECT_EQ(takeLineFault(), EBADF);
}

TEST(Treadn, CountZeroOrLessReturnsAtOnce)
{
    Pty pty;
    ASSERT_TRUE(openPty(pty));
    uint8_t buffer[8];
    long long start = nowMs();
    EXPECT_EQ(treadn(pty.line, buffer, 0, 2000), 0);
    EXPECT_EQ(treadn(pty.line, buffer, -5, 2000), 0);
    EXPECT_LT(nowMs() - start, 1000);
}

TEST(Treadn, TenBytesWithACountOf256)
{
    Pty pty;
    ASSERT_TRUE(openPty(pty));
    Bytes sent = {0, 1, 2, 3, 4, 5, 6, 7, 8, 9};
    ASSERT_TRUE(writeAll(pty.master, sent));
    uint8_t buffer[256] = {};
    long long start = nowMs();
    EXPECT_EQ(treadn(pty.line, buffer, 256, 20), 10);
    EXPECT_LT(nowMs() - start, 3000);
    EXPECT_EQ(Bytes(buffer, buffer + 10), sent);
    EXPECT_EQ(buffer[10], 0);
}

TEST(Treadn, GathersBurstsWithinTheSilence)
{
    Pty pty;
    ASSERT_TRUE(openPty(pty));
    ASSERT_TRUE(writeAll(pty.master, {0xA0, 0xA1}));
    std::thread later([&] {
        usleep(30000);
        writeAll(pty.master, {0xA2, 0xA3, 0xA4});
    });
    uint8_t buffer[256] = {};
    int got = treadn(pty.line, buffer, 256, 400);
    later.join();
    EXPECT_EQ(got, 5);
    EXPECT_EQ(Bytes(buffer, buffer + 5), Bytes({0xA0, 0xA1, 0xA2, 0xA3, 0xA4}));
}

TEST(Treadn, StopsWhenTheCountIsIn)
{
    Pty pty;
    ASSERT_TRUE(openPty(pty));
    ASSERT_TRUE(writeAll(pty.master, {1, 2, 3, 4, 5, 6, 7, 8}));
    usleep(50000);
    uint8_t buffer[8] = {};
    EXPECT_EQ(treadn(pty.line, buffer, 5, 1000), 5);
    EXPECT_EQ(buffer[5], 0);
    EXPECT_EQ(treadn(pty.line, buffer, 8, 20), 3); // the rest stayed queued
    EXPECT_EQ(buffer[0], 6);
}

TEST(Treadn, NothingArrivesGivesZero)
{
    Pty pty;
    ASSERT_TRUE(openPty(pty));
    uint8_t buffer[16];
    long long start = nowMs();
    EXPECT_EQ(treadn(pty.line, buffer, 16, 50), 0);
    EXPECT_GE(nowMs() - start, 48);
}

TEST(Treadn, FailedWaitGivesZero)
{
    uint8_t buffer[16];
    Capture err(2);
    int got = treadn(-1, buffer, 16, 50);
    std::string text = err.finish();
    EXPECT_EQ(got, 0);
    EXPECT_NE(text.find("Select error\n"), std::string::npos);
    takeLineFault();
}

// --- line faults ---

TEST(LineFault, NoneOnAHealthyLine)
{
    takeLineFault();
    Pty pty;
    ASSERT_TRUE(openPty(pty));
    ASSERT_TRUE(writeAll(pty.master, {1, 2, 3}));
    uint8_t buffer[16];
    EXPECT_EQ(treadn(pty.line, buffer, 16, 50), 3);
    EXPECT_EQ(takeLineFault(), 0);
}

TEST(LineFault, HungUpLineIsReportedOnceByTread)
{
    takeLineFault();
    Pty pty;
    ASSERT_TRUE(openPty(pty));
    close(pty.master);
    pty.master = -1;
    uint8_t buffer[16];
    long long start = nowMs();
    EXPECT_LE(tread(pty.line, buffer, sizeof buffer, 2000), 0);
    EXPECT_LT(nowMs() - start, 1500); // a hung-up line is readable at once
    int fault = takeLineFault();
    EXPECT_NE(fault, 0);
    EXPECT_NE(fault, EINTR);
    EXPECT_EQ(takeLineFault(), 0); // taken
}

TEST(LineFault, HungUpLineIsReportedByTheExchange)
{
    takeLineFault();
    Pty pty;
    ASSERT_TRUE(openPty(pty));
    close(pty.master);
    pty.master = -1;
    uint8_t reply[256];
    int count = -7;
    const uint8_t data[1] = {0x01};
    Capture out(1);
    EXPECT_EQ(optFunction(pty.line, 0x95, data, 1, reply, &count, 500), -1);
    out.finish();
    EXPECT_EQ(count, -7);
    EXPECT_NE(takeLineFault(), 0);
}

} // namespace
