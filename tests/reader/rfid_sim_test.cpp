// The reader-module simulator itself: its command line, link, log, frame
// parsing, answers, plan and faults, as other tests and integrators rely on.
#include "tests/reader/reader_test_util.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>

#include <cstring>

using namespace readertest;

namespace
{

// Runs rfid-sim with `args` until it exits; its exit status and output.
int runSim(const std::vector<std::string> &args, std::string *text, int timeoutMs = 10000)
{
    std::string dir = harness::tempDir("reader-simrun");
    std::vector<std::string> argv = {harness::binaryPath("rfid-sim")};
    argv.insert(argv.end(), args.begin(), args.end());
    harness::Process process = harness::start(argv, dir + "/out");
    long long deadline = nowMs() + timeoutMs;
    while (harness::isRunning(process) && nowMs() < deadline)
        usleep(10000);
    int status = harness::stop(process);
    *text = harness::output(process);
    harness::removeTree(dir);
    return status;
}

struct Answer {
    int result;
    int count;
    Bytes data;
};

Answer ask(Sim &sim, uint8_t cmd, const Bytes &data)
{
    uint8_t reply[256] = {};
    int count = -1;
    Capture out(1);
    int result = optFunction(sim.line, cmd, data.empty() ? nullptr : data.data(),
                             static_cast<int>(data.size()), reply, &count, 500);
    out.finish();
    return {result, count, Bytes(reply, reply + (count > 0 ? count : 0))};
}

// UID bytes of a 0x95 answer, or the result and the error byte ("-2:83").
std::string readCard(Sim &sim)
{
    Answer a = ask(sim, 0x95, {0x01});
    if (a.result == 0 && a.count > 3)
        return hex(Bytes(a.data.begin() + 3, a.data.end()));
    char text[16];
    snprintf(text, sizeof text, "%d:%02X", a.result, a.data.empty() ? 0 : a.data[0]);
    return text;
}

bool waitForLogLine(Sim &sim, const std::string &line, int timeoutMs = 3000)
{
    long long deadline = nowMs() + timeoutMs;
    for (;;) {
        for (const std::string &l : sim.logLines())
            if (l == line)
                return true;
        if (nowMs() >= deadline)
            return false;
        usleep(10000);
    }
}

// --- command line ---

TEST(SimCommandLine, HelpDescribesTheOptions)
{
    std::string text;
    EXPECT_EQ(runSim({"--help"}, &text), 0);
    for (const char *word :
         {"Usage: rfid-sim",   "--link",       "--plan",    "--card",        "--gap",    "--loop",
          "--exit-after-plan", "--no-pace",    "--log",     "--fault",       "--seed",   "--quiet",
          "noreply",           "stray-before", "bad-check", "bad-end",       "split",    "stray-after",
          "status:XX",         "reads=N",      "key=HEX12", "block=N:HEX32", "lead=HEX6"})
        EXPECT_NE(text.find(word), std::string::npos) << word;
}

TEST(SimCommandLine, BadOptionsAreRefused)
{
    const std::vector<std::vector<std::string>> cases = {
        {"--bogus"},
        {"--card"},
        {"--card", "1234"},
        {"--card", "12345678,ms=abc"},
        {"--card", "12345678,key=FFFF"},
        {"--card", "12345678,block=300:00"},
        {"--card", "12345678,reads=0"},
        {"--card", "12345678,colour=red"},
        {"--gap", "-5"},
        {"--fault", "melt"},
        {"--fault", "status"},
        {"--fault", "noreply@0"},
        {"--fault", "noreply%101"},
        {"--plan", "/nonexistent-rfidd/plan"},
        {"--gap", "0", "--loop"},
    };
    for (const auto &args : cases) {
        std::string text;
        EXPECT_EQ(runSim(args, &text), 2) << args[0] << " " << (args.size() > 1 ? args[1] : "");
        EXPECT_NE(text.find("rfid-sim: "), std::string::npos) << text;
        EXPECT_EQ(text.find("rfid-sim: ready"), std::string::npos);
    }
}

TEST(SimCommandLine, BadPlanFileLineIsNamed)
{
    std::string dir = harness::tempDir("reader-plan");
    ASSERT_TRUE(harness::writeFile(dir + "/plan", "card 12345678\nwobble 3\n"));
    std::string text;
    EXPECT_EQ(runSim({"--plan", dir + "/plan"}, &text), 2);
    EXPECT_NE(text.find(dir + "/plan:2:"), std::string::npos) << text;
    harness::removeTree(dir);
}

// --- link and lifetime ---

TEST(SimLink, PointsAtTheSlaveAndGoesAwayOnSigterm)
{
    Sim sim;
    ASSERT_TRUE(startSim(sim, {}, false)) << sim.output();
    std::string out = sim.output();
    size_t at = out.find("rfid-sim: slave ");
    ASSERT_NE(at, std::string::npos);
    std::string slave = out.substr(at + 16, out.find('\n', at) - at - 16);
    EXPECT_EQ(slave.rfind("/dev/pts/", 0), 0u) << slave;
    EXPECT_LT(at, out.find("rfid-sim: ready"));
    char target[256] = {};
    ASSERT_GT(readlink(sim.link.c_str(), target, sizeof target - 1), 0);
    EXPECT_EQ(slave, target);

    EXPECT_EQ(harness::stop(sim.process, SIGTERM), 0);
    struct stat info {
    };
    EXPECT_NE(lstat(sim.link.c_str(), &info), 0);
}

TEST(SimLink, SigintExitsCleanly)
{
    Sim sim;
    ASSERT_TRUE(startSim(sim, {}, false)) << sim.output();
    EXPECT_EQ(harness::stop(sim.process, SIGINT), 0);
    struct stat info {
    };
    EXPECT_NE(lstat(sim.link.c_str(), &info), 0);
}

TEST(SimLink, ReplacesAnOldLinkButNotAFile)
{
    std::string dir = harness::tempDir("reader-link");
    std::string link = dir + "/a/b/tty";
    ASSERT_EQ(mkdir((dir + "/a").c_str(), 0755), 0);
    ASSERT_EQ(mkdir((dir + "/a/b").c_str(), 0755), 0);
    ASSERT_EQ(symlink("/nonexistent-old-target", link.c_str()), 0);
    harness::Process process =
        harness::start({harness::binaryPath("rfid-sim"), "--link", link}, dir + "/out");
    ASSERT_TRUE(harness::waitForOutput(process, "rfid-sim: ready", 10000)) << harness::output(process);
    char target[256] = {};
    ASSERT_GT(readlink(link.c_str(), target, sizeof target - 1), 0);
    EXPECT_EQ(std::string(target).rfind("/dev/pts/", 0), 0u);
    EXPECT_EQ(harness::stop(process), 0);

    std::string file = dir + "/file";
    ASSERT_TRUE(harness::writeFile(file, "keep me"));
    std::string text;
    EXPECT_NE(runSim({"--link", file}, &text), 0);
    EXPECT_EQ(harness::readFile(file), "keep me");
    EXPECT_NE(text.find("not a symbolic link"), std::string::npos) << text;
    EXPECT_EQ(text.find("rfid-sim: ready"), std::string::npos);
    harness::removeTree(dir);
}

TEST(SimLink, SurvivesTheClientClosingAndReopeningTheLine)
{
    Sim sim;
    ASSERT_TRUE(startSim(sim, {"--no-pace", "--card", "12345678,ms=60000"})) << sim.output();
    EXPECT_EQ(readCard(sim), "12 34 56 78");
    close(sim.line);
    sim.line = -1;
    usleep(100000);
    sim.line = open_port(sim.link.c_str());
    ASSERT_GE(sim.line, 0);
    ASSERT_EQ(set_port(sim.line, 9600, 8, 1, 'N'), 0);
    EXPECT_EQ(readCard(sim), "12 34 56 78");
    EXPECT_TRUE(harness::isRunning(sim.process));
}

// --- frames in, answers out ---

TEST(SimFrames, Answers)
{
    Sim sim;
    ASSERT_TRUE(startSim(sim, {"--no-pace", "--card", "12345678,ms=60000"})) << sim.output();
    Answer unknown = ask(sim, 0x42, {});
    EXPECT_EQ(unknown.result, -2);
    EXPECT_EQ(unknown.data, Bytes({0x82}));
    Answer control = ask(sim, 0x99, {1, 2, 3, 4});
    EXPECT_EQ(control.result, 0);
    EXPECT_EQ(control.count, 0);
    Answer shortControl = ask(sim, 0x99, {1, 2, 3});
    EXPECT_EQ(shortControl.result, -2);
    EXPECT_EQ(shortControl.data, Bytes({0x85}));
    Answer badKeyCode = ask(sim, 0x98, {0x10, 4, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x01});
    EXPECT_EQ(badKeyCode.result, -2);
    EXPECT_EQ(badKeyCode.data, Bytes({0x85}));
    Answer read = ask(sim, 0x95, {0x01});
    EXPECT_EQ(read.result, 0);
    EXPECT_EQ(read.data, Bytes({0x01, 0x02, 0x03, 0x12, 0x34, 0x56, 0x78}));
}

TEST(SimFrames, NoCardAnswer)
{
    Sim sim;
    ASSERT_TRUE(startSim(sim, {"--no-pace"})) << sim.output();
    Answer a = ask(sim, 0x95, {0x01});
    EXPECT_EQ(a.result, -2);
    EXPECT_EQ(a.data, Bytes({0x83}));
}

TEST(SimFrames, ReplyBytesOnTheLine)
{
    Sim sim;
    ASSERT_TRUE(startSim(sim, {"--no-pace", "--card", "12345678,ms=60000"})) << sim.output();
    ASSERT_TRUE(writeAll(sim.line, {0xAA, 0x00, 0x01, 0x02, 0x95, 0x01, 0x97, 0xBB}));
    uint8_t buffer[64] = {};
    int got = treadn(sim.line, buffer, sizeof buffer, 100);
    EXPECT_EQ(hex(Bytes(buffer, buffer + got)), "AA 00 01 08 00 01 02 03 12 34 56 78 01 BB");
}

TEST(SimFrames, JunkBeforeAFrameIsLoggedAndSkipped)
{
    Sim sim;
    ASSERT_TRUE(startSim(sim, {"--no-pace", "--card", "12345678,ms=60000"})) << sim.output();
    ASSERT_TRUE(writeAll(sim.line, {0x11, 0x22, 0xAA, 0xAA, 0x00, 0x01, 0x02, 0x95, 0x01, 0x97, 0xBB}));
    uint8_t buffer[64] = {};
    int got = treadn(sim.line, buffer, sizeof buffer, 200);
    EXPECT_EQ(hex(Bytes(buffer, buffer + got)), "AA 00 01 08 00 01 02 03 12 34 56 78 01 BB");
    std::vector<std::string> lines = sim.logLines();
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0], "?? 11 22 AA");
    EXPECT_EQ(lines[1], "AA 00 01 02 95 01 97 BB");
}

TEST(SimFrames, MalformedFramesGetNoReply)
{
    Sim sim;
    ASSERT_TRUE(startSim(sim, {"--no-pace", "--card", "12345678,ms=60000"})) << sim.output();
    const Bytes frames[] = {
        {0xAA, 0x00, 0x01, 0x02, 0x95, 0x01, 0x00, 0xBB}, // check byte
        {0xAA, 0x00, 0x01, 0x02, 0x95, 0x01, 0x97, 0xBC}, // end byte
        {0xAA, 0x00, 0x01, 0x00, 0x01, 0xBB},             // length 0
        {0xAA, 0x00, 0x01, 0x02, 0x95},                   // cut short
    };
    for (const Bytes &frame : frames) {
        ASSERT_TRUE(writeAll(sim.line, frame));
        uint8_t buffer[64];
        EXPECT_EQ(treadn(sim.line, buffer, sizeof buffer, 300), 0) << hex(frame);
        EXPECT_TRUE(waitForLogLine(sim, "?? " + hex(frame))) << hex(frame);
    }
    // And the next good frame is answered.
    EXPECT_EQ(readCard(sim), "12 34 56 78");
    EXPECT_EQ(sim.logLines().back(), "AA 00 01 02 95 01 97 BB");
}

TEST(SimFrames, PacingSpreadsAReplyOverTheLine)
{
    Sim sim;
    ASSERT_TRUE(startSim(sim, {"--card", "04A1B2C3D4E5F6,ms=60000"})) << sim.output();
    const Bytes request = {0xAA, 0x00, 0x01, 0x0A, 0x98, 0x60, 0x01, 0xFF,
                           0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x01, 0x00, 0xBB};
    Bytes framed = request;
    framed[14] = static_cast<uint8_t>(makecrc(framed.data() + 1, 13));
    ASSERT_TRUE(writeAll(sim.line, framed));
    // 33 reply bytes at about 1.04 ms each: the last comes well after the first.
    uint8_t buffer[64];
    int total = 0;
    long long first = 0, last = 0;
    while (total < 33) {
        int got = tread(sim.line, buffer + total, 64 - total, 1000);
        if (got <= 0)
            break;
        long long now = nowMs();
        if (total == 0)
            first = now;
        last = now;
        total += got;
    }
    EXPECT_EQ(total, 33);
    EXPECT_GE(last - first, 25);
}

// --- plan ---

TEST(SimPlan, ReadsThenExitAfterPlan)
{
    Sim sim;
    ASSERT_TRUE(startSim(
        sim, {"--no-pace", "--card", "11111111,reads=1", "--card", "22222222,reads=2", "--exit-after-plan"}))
        << sim.output();
    EXPECT_EQ(readCard(sim), "11 11 11 11");
    EXPECT_EQ(readCard(sim), "22 22 22 22");
    EXPECT_EQ(readCard(sim), "22 22 22 22");
    long long deadline = nowMs() + 5000;
    while (harness::isRunning(sim.process) && nowMs() < deadline)
        usleep(10000);
    EXPECT_FALSE(harness::isRunning(sim.process));
    EXPECT_EQ(sim.process.exitStatus, 0);
    std::string out = sim.output();
    size_t a = out.find("rfid-sim: card 11111111 in field\n");
    size_t b = out.find("rfid-sim: card 22222222 in field\n");
    size_t c = out.find("rfid-sim: field empty\n");
    EXPECT_NE(a, std::string::npos) << out;
    EXPECT_LT(a, b);
    EXPECT_LT(b, c);
    EXPECT_NE(c, std::string::npos) << out;
}

TEST(SimPlan, FailedReadsDoNotCount)
{
    Sim sim;
    ASSERT_TRUE(startSim(sim, {"--no-pace", "--card", "11111111,reads=1", "--fault", "status:77@1"}))
        << sim.output();
    EXPECT_EQ(readCard(sim), "-2:77");
    EXPECT_EQ(readCard(sim), "11 11 11 11");
    EXPECT_EQ(readCard(sim), "-2:83");
}

TEST(SimPlan, CardLeavesAfterItsTime)
{
    Sim sim;
    ASSERT_TRUE(startSim(sim, {"--no-pace", "--card", "12345678,ms=300"})) << sim.output();
    EXPECT_EQ(readCard(sim), "12 34 56 78");
    EXPECT_TRUE(harness::waitForOutput(sim.process, "rfid-sim: field empty", 5000)) << sim.output();
    EXPECT_EQ(readCard(sim), "-2:83");
}

TEST(SimPlan, ClockStartsWithTheFirstRequest)
{
    Sim sim;
    ASSERT_TRUE(startSim(sim, {"--no-pace", "--card", "12345678,ms=400"})) << sim.output();
    usleep(600000); // longer than the card's time, but no request yet
    EXPECT_EQ(readCard(sim), "12 34 56 78");
}

TEST(SimPlan, LoopRepeats)
{
    Sim sim;
    ASSERT_TRUE(
        startSim(sim, {"--no-pace", "--card", "11111111,reads=1", "--card", "22222222,reads=1", "--loop"}))
        << sim.output();
    EXPECT_EQ(readCard(sim), "11 11 11 11");
    EXPECT_EQ(readCard(sim), "22 22 22 22");
    EXPECT_EQ(readCard(sim), "11 11 11 11");
    EXPECT_EQ(readCard(sim), "22 22 22 22");
}

TEST(SimPlan, PlanFileStepsComeFirst)
{
    Sim sim;
    std::string dir = harness::tempDir("reader-planfile");
    ASSERT_TRUE(harness::writeFile(dir + "/plan", "# a plan\n"
                                                  "card 11223344 reads=1   # first\n"
                                                  "\n"
                                                  "gap 0\n"
                                                  "card 04A1B2C3D4E5F6 reads=1 lead=000000\n"
                                                  "loop\n"));
    ASSERT_TRUE(startSim(sim, {"--no-pace", "--plan", dir + "/plan", "--card", "55667788,reads=1"}))
        << sim.output();
    EXPECT_EQ(readCard(sim), "11 22 33 44");
    Answer a = ask(sim, 0x95, {0x01});
    EXPECT_EQ(hex(a.data), "00 00 00 04 A1 B2 C3 D4 E5 F6");
    EXPECT_EQ(readCard(sim), "55 66 77 88");
    EXPECT_EQ(readCard(sim), "11 22 33 44");
    harness::removeTree(dir);
}

TEST(SimPlan, QuietHidesStepLines)
{
    Sim sim;
    ASSERT_TRUE(startSim(sim, {"--no-pace", "--quiet", "--card", "11111111,reads=1"})) << sim.output();
    EXPECT_EQ(readCard(sim), "11 11 11 11");
    EXPECT_EQ(readCard(sim), "-2:83");
    std::string out = sim.output();
    EXPECT_NE(out.find("rfid-sim: ready"), std::string::npos);
    EXPECT_EQ(out.find("in field"), std::string::npos) << out;
    EXPECT_EQ(out.find("field empty"), std::string::npos) << out;
}

// --- faults ---

TEST(SimFaults, EveryNthReply)
{
    Sim sim;
    ASSERT_TRUE(startSim(sim, {"--no-pace", "--card", "12345678,ms=60000", "--fault", "status:77/2"}))
        << sim.output();
    EXPECT_EQ(readCard(sim), "12 34 56 78");
    EXPECT_EQ(readCard(sim), "-2:77");
    EXPECT_EQ(readCard(sim), "12 34 56 78");
    EXPECT_EQ(readCard(sim), "-2:77");
}

TEST(SimFaults, ListedReplies)
{
    Sim sim;
    ASSERT_TRUE(startSim(sim, {"--no-pace", "--card", "12345678,ms=60000", "--fault", "status:01@2,3"}))
        << sim.output();
    EXPECT_EQ(readCard(sim), "12 34 56 78");
    EXPECT_EQ(readCard(sim), "-2:01");
    EXPECT_EQ(readCard(sim), "-2:01");
    EXPECT_EQ(readCard(sim), "12 34 56 78");
}

std::string randomPattern(const std::string &seed)
{
    Sim sim;
    if (!startSim(sim,
                  {"--no-pace", "--card", "12345678,ms=60000", "--fault", "status:77%50", "--seed", seed}))
        return "no sim";
    std::string pattern;
    for (int i = 0; i < 16; ++i)
        pattern += readCard(sim) == "12 34 56 78" ? '+' : '-';
    return pattern;
}

TEST(SimFaults, PercentIsRepeatableWithASeed)
{
    std::string first = randomPattern("42");
    EXPECT_EQ(first.size(), 16u) << first;
    EXPECT_EQ(randomPattern("42"), first);
    EXPECT_NE(first.find('+'), std::string::npos) << first;
    EXPECT_NE(first.find('-'), std::string::npos) << first;
}

} // namespace
