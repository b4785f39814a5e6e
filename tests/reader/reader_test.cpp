// The reader link on real pseudo-terminals: the serial line's settings and
// bounded reads, reply frames byte for byte, and the reader operations
// against the reader-module simulator rfid-sim (the exact frames it logs and
// what the reader side makes of each plan, answer and fault), with rfid-sim's
// own command line and link. Tests that start rfid-sim are named Sim*.
#include "reader/optReader.h"
#include "tests/support/harness.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <sstream>

namespace
{

using Bytes = std::vector<uint8_t>;

long long nowMs()
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

std::string hex(const Bytes &bytes, const char *separator = " ")
{
    std::string text;
    for (uint8_t byte : bytes)
        text += (text.empty() ? "" : separator) +
                std::string{"0123456789ABCDEF"[byte >> 4], "0123456789ABCDEF"[byte & 15]};
    return text;
}

// "AA 00 01" or "AA0001" -> {0xAA, 0x00, 0x01}
Bytes bytes(const std::string &text)
{
    Bytes out;
    for (size_t at = 0; at + 1 < text.size(); at += text[at] == ' ' ? 1 : 2)
        if (text[at] != ' ')
            out.push_back(static_cast<uint8_t>(std::stoul(text.substr(at, 2), nullptr, 16)));
    return out;
}

// The test plays the module on `master`; `line` is opened and set up like
// the daemon's (9600 bit/s, 8N1).
struct Pty {
    int master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    int line = master >= 0 && grantpt(master) == 0 && unlockpt(master) == 0 ? open_port(ptsname(master)) : -1;
    bool ready = line >= 0 && set_port(line, 9600, 8, 1, 'N') == 0;
    ~Pty()
    {
        close(line);
        close(master);
    }
};

TEST(SerialLine, SettingsRecordIsBuiltFromZerosAsTheRowSays)
{
    const struct {
        const char *name;
        int speed, dataBits, stopBits;
        char parity;
        speed_t code;
        tcflag_t cflag, iflag; // cflag without the speed bits
    } rows[] = {
        {"9600 8N1, the daemon's line", 9600, 8, 1, 'N', B9600, CS8, 0},
        {"2400 7E2", 2400, 7, 2, 'E', B2400, CS7 | PARENB | CSTOPB, INPCK | ISTRIP},
        {"4800, 6 data bits, odd, 3 stop bits", 4800, 6, 3, 'O', B4800, CS5 | PARENB | PARODD,
         INPCK | ISTRIP},
        {"115200, lower-case n", 115200, 8, 1, 'n', B115200, CS8, 0},
        {"19200 is unknown, 9 data bits, parity X", 19200, 9, 1, 'X', B9600, CS5, 0},
    };
    // A pseudo-terminal keeps CS8 and no parity whatever it is given, so the
    // record set_port applies is checked as makePortSettings builds it.
    for (const auto &row : rows) {
        SCOPED_TRACE(row.name);
        termios tio;
        memset(&tio, 0xFF, sizeof tio);
        makePortSettings(&tio, row.speed, row.dataBits, row.stopBits, row.parity);
        EXPECT_EQ(cfgetispeed(&tio), row.code);
        EXPECT_EQ(cfgetospeed(&tio), row.code);
        EXPECT_EQ(tio.c_cflag & ~(CBAUD | CBAUDEX), CLOCAL | CREAD | row.cflag);
        EXPECT_EQ(tio.c_iflag, row.iflag);
        EXPECT_EQ(tio.c_oflag | tio.c_lflag, 0u);
        for (cc_t control : tio.c_cc)
            EXPECT_EQ(control, 0); // VMIN = VTIME = 0: a read never waits for more
    }
}

TEST(SerialLine, OpenedBlockingCloseOnExecAndSetUpWithoutOldInput)
{
    Pty pty;
    ASSERT_TRUE(pty.ready);
    EXPECT_EQ(fcntl(pty.line, F_GETFL) & (O_NONBLOCK | O_ACCMODE), O_RDWR);
    EXPECT_NE(fcntl(pty.line, F_GETFD) & FD_CLOEXEC, 0) << "the reboot shell would inherit the line";
    ASSERT_EQ(write(pty.master, "\x01\x02\x03", 3), 3);
    pollfd waiting{pty.line, POLLIN, 0};
    ASSERT_EQ(poll(&waiting, 1, 10000), 1);
    ASSERT_EQ(set_port(pty.line, 115200, 8, 1, 'N'), 0);
    termios tio{};
    ASSERT_EQ(tcgetattr(pty.line, &tio), 0);
    EXPECT_EQ(cfgetospeed(&tio), static_cast<speed_t>(B115200));
    uint8_t buffer[8];
    EXPECT_EQ(tread(pty.line, buffer, sizeof buffer, 50), 0) << "input waiting before set_port was kept";

    testing::internal::CaptureStdout();
    EXPECT_EQ(open_port("/nonexistent-rfidd/ttyX"), -1);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "Can't open serial /nonexistent-rfidd/ttyX");
    int null = open("/dev/null", O_RDWR);
    testing::internal::CaptureStderr();
    EXPECT_EQ(set_port(null, 9600, 8, 1, 'N'), -1);
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              std::string("Serial tcgetattr error: ") + strerror(ENOTTY) + "\n");
    close(null);
}

TEST(SerialLine, ReadsEndWithTheCountTheDataWaitingOrOneSilence)
{
    takeLineFault();
    Pty pty;
    ASSERT_TRUE(pty.ready);
    uint8_t buffer[256] = {};
    long long start = nowMs();
    EXPECT_EQ(tread(pty.line, buffer, 8, 300), 0);
    EXPECT_GE(nowMs() - start, 290) << "tread ended before its time limit";
    EXPECT_EQ(takeLineFault(), 0) << "a quiet line is not a fault";

    start = nowMs();
    EXPECT_EQ(treadn(pty.line, buffer, 0, 20000), 0);
    ASSERT_EQ(write(pty.master, "\x10\x11\x12", 3), 3);
    int got = tread(pty.line, buffer, 256, 20000);
    EXPECT_LT(nowMs() - start, 10000) << "a read waited for its count";
    ASSERT_GE(got, 1);
    ASSERT_EQ(write(pty.master, "\x13\x14\x15\x16\x17\x18\x19", 7), 7);
    EXPECT_EQ(treadn(pty.line, buffer + got, 8 - got, 2000), 8 - got);
    EXPECT_EQ(treadn(pty.line, buffer + 8, 256, 20), 2) << "what was past the count did not stay queued";
    EXPECT_EQ(hex(Bytes(buffer, buffer + 11)), "10 11 12 13 14 15 16 17 18 19 00");

    testing::internal::CaptureStderr();
    EXPECT_EQ(treadn(-1, buffer, 16, 50), 0);
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              std::string("Select error\n: ") + strerror(EBADF) + "\n");
    EXPECT_EQ(takeLineFault(), EBADF);
}

// Each row on a cleared receive buffer whose next byte reads as an end
// byte: a frame that would end there must be refused for its length. Then
// the same bytes from the module on a line: the exchange takes all of them
// and decides alike.
TEST(ReplyFrame, EachIsTakenOrRefusedAsItsRowSays)
{
    std::string largest; // 249 data bytes 11
    for (int i = 0; i < 249; ++i)
        largest += " 11";
    const struct {
        const char *name;
        Bytes bytes;
        int result;
        Bytes reply; // handed back; its size is the reply count for results 0 and -2
    } rows[] = {
        {"status 0, seven data bytes", bytes("AA 00 01 08 00 01 02 03 12 34 56 78 01 BB"), 0,
         bytes("01 02 03 12 34 56 78")},
        {"status 01, error byte 83", bytes("AA 00 01 02 01 83 81 BB"), -2, {0x83}},
        {"status 0, no data", bytes("AA 00 01 01 00 00 BB"), 0, {}},
        {"no data: the check byte; bytes 1 and 2 are free", bytes("AA 12 34 01 05 22 BB"), -2, {0x22}},
        {"stray bytes after the end byte", bytes("AA 00 01 02 01 83 81 BB 55 55"), -2, {0x83}},
        {"249 data bytes fill the buffer", bytes("AA 00 01 FA 00" + largest + " EA BB"), 0, bytes(largest)},
        {"250 data bytes end past the buffer", bytes("AA 00 01 FB 00 11" + largest + " FA BB"), -1, {}},
        {"stray byte before the start byte", bytes("55 AA 00 01 02 01 83 81 BB"), -1, {}},
        {"start byte 00", bytes("00 00 01 02 01 83 81 BB"), -1, {}},
        {"wrong end byte, BB one place later", bytes("AA 00 01 02 01 83 81 00 BB"), -1, {}},
        {"shorter than its length byte", bytes("AA 00 01 08 00 01 02 03 12 34 56"), -1, {}},
        {"length byte 0", bytes("AA 00 01 00 01 BB"), -1, {}},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.name);
        Bytes rx(FRAME_BUFFER_SIZE, 0), reply(249, 0xEE), expected = row.reply;
        std::copy_n(row.bytes.begin(), std::min<size_t>(row.bytes.size(), FRAME_BUFFER_SIZE), rx.begin());
        rx.push_back(0xBB);
        expected.resize(249, 0xEE);
        int count = -7;
        EXPECT_EQ(checkReplyFrame(rx.data(), reply.data(), &count), row.result);
        EXPECT_EQ(count, row.result == -1 ? -7 : static_cast<int>(row.reply.size()));
        EXPECT_EQ(hex(reply), hex(expected));
        Pty pty;
        int exchanged = -7;
        ASSERT_TRUE(pty.ready && write(pty.master, row.bytes.data(), row.bytes.size()) == ssize_t(row.bytes.size()));
        std::fill(reply.begin(), reply.end(), 0xEE);
        EXPECT_EQ(optFunction(pty.line, 0x95, nullptr, 0, reply.data(), &exchanged, 500), row.result);
        EXPECT_EQ(exchanged, count);
        EXPECT_EQ(hex(reply), hex(expected));
    }
}

// rfid-sim on <dir>/dev/tty, logging to <dir>/sim.log.
struct Sim {
    std::string dir = harness::tempDir("reader-sim");
    std::string link = dir + "/dev/tty";
    harness::Process process;
    int line = -1;
    std::string output() const { return harness::output(process); }
    ~Sim()
    {
        close(line);
        harness::stop(process);
        for (const char *sign : {"Sanitizer", "runtime error:", "rfid-sim: reading", "rfid-sim: writing"})
            EXPECT_EQ(output().find(sign), std::string::npos) << output();
        harness::removeTree(dir);
    }
};

// Starts rfid-sim with `options` (separated by spaces) where an old link
// stands, waits until it is ready with the link pointing at the slave it
// names, and opens and sets up the line like the daemon does.
bool startSim(Sim &sim, const std::string &options)
{
    std::vector<std::string> argv = {harness::binaryPath("rfid-sim"), "--link", sim.link, "--log",
                                     sim.dir + "/sim.log"};
    std::istringstream words(options);
    for (std::string word; words >> word;)
        argv.push_back(word);
    if (mkdir((sim.dir + "/dev").c_str(), 0755) != 0 ||
        symlink("/nonexistent-old-target", sim.link.c_str()) != 0)
        return false;
    sim.process = harness::start(argv, sim.dir + "/sim.out");
    char target[256] = {};
    if (!harness::waitForOutput(sim.process, "rfid-sim: ready", 10000) ||
        readlink(sim.link.c_str(), target, sizeof target - 1) <= 0 ||
        sim.output().find(std::string("rfid-sim: slave ") + target + "\nrfid-sim: ready\n") ==
            std::string::npos)
        return false;
    sim.line = open_port(sim.link.c_str());
    return sim.line >= 0 && set_port(sim.line, 9600, 8, 1, 'N') == 0;
}

const uint8_t KEY[6] = {0xA1, 0xA2, 0xA3, 0xA4, 0xA5, 0xA6};

// One step of a row against rfid-sim and the word it says (p, j, o say none):
//   u  getReaderUid: the card text, or the result when the text stayed untouched
//   b  getReaderUidData(0x60, block 4, KEY): card text/block text, or the result
//   c R Z L  ctrReaderDevice(1, 2, 3, 4), ctrReaderDevRelay(1), ctrReaderDevBuzzer(2),
//      ctrReaderDevLight(1, 2): the result
//   HEX  the exchange of that command and data: its data ("ok": none), "-2:" and the error byte, or -1
//   t  getReaderUid unanswered: "timeout" when it gave up after 490 ms or more
//   p  a pause of 500 ms   j  junk and a damaged frame straight onto the line   o  the line reopened
//   e T I H  rfid-sim ends by itself, on SIGTERM, SIGINT, SIGHUP: "exit:" and its status
//   k  rfid-sim is killed: "noted" when the next read notes the line fault, once
std::string step(Sim &sim, const std::string &step)
{
    char card[64] = "-", block[64] = "-";
    memset(card + 2, '#', 61), memset(block + 2, '#', 61); // a text without its terminator runs into these
    int result = 0;
    if (step.size() > 1) {
        Bytes request = bytes(step);
        uint8_t reply[256];
        int count = 0;
        result = optFunction(sim.line, request[0], request.data() + 1, static_cast<int>(request.size()) - 1,
                             reply, &count, 500);
        return result == -2 ? "-2:" + hex({reply[0]})
               : result     ? std::to_string(result)
               : count      ? hex(Bytes(reply, reply + count), "")
                            : "ok";
    }
    if (const char *stop = strchr("eTIH", step[0])) {
        const int signals[] = {0, SIGTERM, SIGINT, SIGHUP};
        int status = harness::stop(sim.process, signals[stop - "eTIH"], 10000);
        char target[8];
        return "exit:" + std::to_string(status) +
               (readlink(sim.link.c_str(), target, 8) >= 0 ? " link left" : "");
    }
    if (strchr("cRZL", step[0]))
        return std::to_string(step[0] == 'c'   ? ctrReaderDevice(sim.line, 1, 2, 3, 4)
                              : step[0] == 'R' ? ctrReaderDevRelay(sim.line, 1)
                              : step[0] == 'Z' ? ctrReaderDevBuzzer(sim.line, 2)
                                               : ctrReaderDevLight(sim.line, 1, 2));
    long long start = nowMs();
    if (strchr("utb", step[0]))
        result = step == "b" ? getReaderUidData(sim.line, 0x60, 4, KEY, card, block)
                             : getReaderUid(sim.line, card);
    if (step == "t" && result == -1)
        return nowMs() - start >= 490 ? "timeout" : "early";
    switch (step[0]) {
    case 'p':
        usleep(500000);
        return "";
    case 'j':
        return write(sim.line, "\x11\x22\xAA\x00\x01\x02\x95\x01\x00\xBB", 10) == 10 ? "" : "unwritten";
    case 'o':
        close(sim.line);
        sim.line = open_port(sim.link.c_str());
        return "";
    case 'k': {
        bool healthy = takeLineFault() == 0;
        harness::stop(sim.process, SIGKILL);
        uint8_t buffer[16];
        bool ended = tread(sim.line, buffer, sizeof buffer, 20000) <= 0; // at once: the line hung up
        return healthy && ended && takeLineFault() != 0 && takeLineFault() == 0 ? "noted" : "not noted once";
    }
    }
    std::string word = result ? std::to_string(result) : "";
    if (strcmp(card, "-"))
        word += card;
    if (strcmp(block, "-")) {
        word += '/';
        word += block;
    }
    return word;
}

struct SimRow {
    const char *name;
    const char *options; // rfid-sim's, with --no-pace unless the name says paced
    const char *steps;
    const char *says;             // the steps' words, separated by spaces
    const char *printed = "";     // what the steps print on standard output
    const char *logged = nullptr; // rfid-sim's request log, where it matters
    const char *simSays = "";     // a part of rfid-sim's output
};

void expectSim(const SimRow &row)
{
    SCOPED_TRACE(row.name);
    takeLineFault(); // a row before may have left rfid-sim gone after its last reply
    Sim sim;
    ASSERT_TRUE(startSim(sim, std::string(strstr(row.name, "paced") ? "" : "--no-pace ") + row.options))
        << sim.output();
    std::string says;
    std::istringstream steps(row.steps);
    testing::internal::CaptureStdout();
    for (std::string word; steps >> word;)
        if (!(word = step(sim, word)).empty())
            says += (says.empty() ? "" : " ") + word;
    EXPECT_EQ(testing::internal::GetCapturedStdout(), row.printed);
    EXPECT_EQ(says, row.says);
    EXPECT_EQ(row.logged ? harness::readFile(sim.dir + "/sim.log") : "", row.logged ? row.logged : "");
    EXPECT_NE(sim.output().find(row.simSays), std::string::npos) << sim.output();
}

TEST(SimReader, EachPlanAnswerAndFaultReachesTheReaderSideAsTheRowSays)
{
    std::string plan = harness::tempDir("reader-plan");
    ASSERT_TRUE(harness::writeFile(plan + "/plan", "# a plan\ncard 11223344 reads=1  # first\n\ngap 0\n"
                                                   "card 04A1B2C3D4E5F6 reads=1 lead=000000\nloop\n"));
    std::string planOptions = "--plan " + plan + "/plan --card 55667788,reads=1";
    const SimRow rows[] = {
        {"4-byte UID, paced at 9600 bit/s", "--card 1A2B3C4D", "u", "1A2B3C4D", "1A2B3C4D\n",
         "AA 00 01 02 95 01 97 BB\n"},
        {"7-byte UID", "--card 04A1B2C3D4E5F6", "u", "04A1B2C3D4E5F6", "04A1B2C3D4E5F6\n"},
        {"4-byte UID reversed, and a block",
         "--card 1A2B3C4D,key=A1A2A3A4A5A6,block=4:000102030405060708090A0B0C0D0E0F", "b",
         "4D3C2B1A/000102030405060708090A0B0C0D0E0F", "",
         "AA 00 01 0A 98 60 04 A1 A2 A3 A4 A5 A6 01 F1 BB\n"},
        {"7-byte UID reversed, and a block",
         "--card 04A1B2C3D4E5F6,key=A1A2A3A4A5A6,block=4:F0E1D2C3B4A5968778695A4B3C2D1E0F", "b",
         "F6E5D4C3B2A104/F0E1D2C3B4A5968778695A4B3C2D1E0F"},
        {"wrong key", "--card 1A2B3C4D", "b", "-1"},
        {"no card", "", "u b", "-1 -1"},
        {"no reply", "--card 1A2B3C4D,reads=9 --fault noreply@1", "u u", "-1 1A2B3C4D",
         "Recevice data timeout\n1A2B3C4D\n"},
        {"control frames, bytes in order", "", "c R Z L", "0 0 0 0", "",
         "AA 00 01 05 99 01 02 03 04 99 BB\nAA 00 01 05 99 01 00 00 00 9C BB\n"
         "AA 00 01 05 99 00 02 00 00 9F BB\nAA 00 01 05 99 00 00 01 02 9E BB\n"},
        {"control refused, error bytes 83 and 8F", "--fault status:83@1 --fault status:8F@2", "c c", "-1 -1",
         "Control reader device error: 83\nControl reader device error: 8F\n"},
        {"control unanswered, then damaged", "--fault noreply@1 --fault bad-end@2", "c c", "-1 -1",
         "Recevice data timeout\nControl reader device error: 00\nControl reader device error: 00\n"},
        {"a request without data; junk and a damaged frame logged apart, unanswered",
         "--card 12345678,reads=9", "95 j 9501", "01020312345678 01020312345678", "",
         "AA 00 01 01 95 95 BB\n?? 11 22 AA 00 01 02 95 01 00 BB\nAA 00 01 02 95 01 97 BB\n"},
        {"commands unknown or with wrong data", "", "42 99010203 981004FFFFFFFFFFFF01 9901020304",
         "-2:82 -2:85 -2:85 ok"},
        {"cards by reads, then an empty field", "--card 11111111,reads=1 --card 22222222,reads=2",
         "9501 9501 9501 9501", "01020311111111 01020322222222 01020322222222 -2:83"},
        {"an answer replaced by a status fault is no read", "--card 11111111,reads=1 --fault status:77@1",
         "9501 9501 9501", "-2:77 01020311111111 -2:83"},
        {"the plan loops", "--card 11111111,reads=1 --card 22222222,reads=1,lead=000000 --loop",
         "9501 9501 9501", "01020311111111 00000022222222 01020311111111"},
        {"card time starts with the first request; a gap; the plan ends",
         "--card 12345678,ms=300 --gap 1000 --card 87654321,reads=1 --exit-after-plan",
         "p 9501 p 9501 p p 9501 e", "01020312345678 -2:83 01020387654321 exit:0", "", nullptr,
         "rfid-sim: ready\nrfid-sim: card 12345678 in field\nrfid-sim: field empty\n"
         "rfid-sim: card 87654321 in field\nrfid-sim: field empty\n"},
        {"a plan file's steps come first", planOptions.c_str(), "9501 9501 9501 9501",
         "01020311223344 00000004A1B2C3D4E5F6 01020355667788 01020311223344"},
        {"every second reply, and listed ones",
         "--card 12345678,reads=9 --fault status:77/2 --fault status:01@3", "9501 9501 9501 9501",
         "01020312345678 -2:77 -2:01 -2:77"},
        {"half the replies by seed 42", "--card 12345678,reads=9 --fault status:77%50 --seed 42",
         "9501 9501 9501 9501 9501 9501 9501 9501",
         "-2:77 01020312345678 01020312345678 01020312345678 01020312345678 01020312345678 -2:77 -2:77"},
        {"each damage fails its own exchange only; stray bytes after a reply go with it",
         "--card 12345678,reads=9 --fault stray-before@1 --fault bad-check@2 --fault bad-end@3 --fault "
         "stray-after@4",
         "9501 9501 9501 9501 9501", "-1 -1 -1 01020312345678 01020312345678"},
        {"a 100 ms pause splits the reply, whose tail spoils the next",
         "--card 12345678,reads=9 --fault split:100@1", "9501 9501 9501", "-1 -1 01020312345678"},
        {"a 1 s pause: the next exchange times out at 500 ms; the tail waits for the one after",
         "--card 12345678,reads=9 --fault split:1000@1", "9501 t p p 9501 9501",
         "-1 timeout -1 01020312345678", "Recevice data timeout\n"},
        {"the line is noted faulty once rfid-sim is gone", "--card 12345678", "9501 k",
         "01020312345678 noted"},
        {"the client reopens the line; SIGTERM ends rfid-sim and its link", "--card 12345678", "o 9501 T",
         "01020312345678 exit:0"},
        {"SIGINT ends rfid-sim and its link", "", "I", "exit:0"},
        {"SIGHUP ends rfid-sim and its link", "", "H", "exit:0"},
    };
    for (const SimRow &row : rows)
        expectSim(row);
    harness::removeTree(plan);
}

TEST(SimCommandLine, HelpAndRefusalsExitAsTheRowSays)
{
    std::string dir = harness::tempDir("reader-simargs");
    ASSERT_TRUE(harness::writeFile(dir + "/plan", "card 12345678\nwobble 3\n"));
    ASSERT_TRUE(harness::writeFile(dir + "/file", "keep me"));
    const struct {
        std::vector<std::string> args;
        int status;
        std::string says;
    } rows[] = {
        {{"--help"}, 0, "  --fault SPEC      damage replies, SPEC is KIND[:ARG][@N[,N...]|/N|%P]\n"},
        {{"--bogus"}, 2, "rfid-sim: unknown option '--bogus'\nTry 'rfid-sim --help' for more information.\n"},
        {{"--fault", "melt"}, 2, "unknown fault kind 'melt'"},
        {{"--gap", "0", "--loop"}, 2, "a looping plan needs a step that lasts"},
        {{"--plan", dir + "/plan"}, 2, dir + "/plan:2: unknown step 'wobble'"},
        {{"--link", dir + "/file"}, 1, "exists and is not a symbolic link; not replacing it"},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.args[0] + " " + row.args.back());
        std::vector<std::string> argv = row.args;
        argv.insert(argv.begin(), harness::binaryPath("rfid-sim"));
        harness::Process process = harness::start(argv, dir + "/out");
        EXPECT_EQ(harness::stop(process, 0, 10000), row.status);
        std::string out = harness::output(process);
        EXPECT_NE(out.find(row.says), std::string::npos) << out;
        EXPECT_EQ(out.find("rfid-sim: ready\n"), std::string::npos) << out;
    }
    EXPECT_EQ(harness::readFile(dir + "/file"), "keep me");
    harness::removeTree(dir);
}

} // namespace
