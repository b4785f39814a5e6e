/*
 * rfid-sim, the stand-in for the RFID reader module: what its files share.
 * The records of the plan, the faults and the options (filled by
 * options.cpp), the simulator's state (one Sim record, owned by main), and
 * the functions each file offers the others: engine.cpp runs the plan and
 * answers request frames, terminal.cpp owns the pseudo-terminal pair, its
 * link, the request log, the framing of input and the paced output, and
 * main.cpp sets up and runs the event loop.
 */
#pragma once

#include <climits>
#include <cstdint>
#include <string>
#include <vector>

// --- plan, faults and options --------------------------------------------

struct BlockData {
    uint8_t number = 0;
    uint8_t bytes[16] = {};
};

struct Step {
    bool isCard = false;
    uint8_t uid[7] = {};
    int uidLength = 0;
    long long ms = 1000; // card: time in the field; gap: time without card
    bool msGiven = false;
    int reads = 0; // card: leaves after this many successful reads (0: not used)
    uint8_t key[6] = {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};
    uint8_t lead[3] = {0x01, 0x02, 0x03};
    std::vector<BlockData> blocks;
};

enum class FaultKind { NoReply, StrayBefore, BadCheck, BadEnd, Split, StrayAfter, Status };
enum class FaultWhen { Always, Numbers, EveryNth, Percent };

struct Fault {
    FaultKind kind = FaultKind::NoReply;
    int arg = 0;
    FaultWhen when = FaultWhen::Always;
    std::vector<long long> numbers;
    long long every = 1;
    int percent = 0;
};

struct Options {
    std::string link;
    std::string logPath;
    std::vector<std::string> planFiles;
    std::vector<Step> cliSteps; // --card / --gap in command-line order
    std::vector<Step> plan;     // file steps first, then cliSteps
    bool loop = false;
    bool exitAfterPlan = false;
    bool pace = true;
    bool quiet = false;
    std::vector<Fault> faults;
    uint64_t seed = 0;
    bool seedGiven = false;
};

// --- the simulator -------------------------------------------------------

inline constexpr long long NS_PER_MS = 1000000LL;
inline constexpr long long BYTE_TIME_NS = 1041667LL; // 10 bits at 9600 bit/s
inline constexpr long long INPUT_IDLE_NS = 50 * NS_PER_MS;
inline constexpr long long NEVER = LLONG_MAX;
inline constexpr int INPUT_CAPACITY = 512; // holds any frame (at most 256 bytes) and more
inline constexpr int JUNK_LINE_MAX = 256;  // bytes per '??' line
inline constexpr int OUTPUT_CAPACITY = 8192;

struct OutByte {
    uint8_t byte;
    long long due; // monotonic ns
};

struct Sim {
    Options options;
    int master = -1;
    int slave = -1;
    int signalFd = -1;
    int logFd = -1;
    bool logFailed = false;
    std::string slaveName;
    bool linkMade = false;

    // plan
    bool planStarted = false;
    bool planDone = false;
    size_t stepIndex = 0;
    long long stepStart = 0;
    int readsLeft = 0;
    bool fieldEmptyShown = true;
    bool exitPending = false;

    // input
    uint8_t input[INPUT_CAPACITY] = {};
    int inputLength = 0;
    long long lastInput = 0;
    uint8_t junk[JUNK_LINE_MAX] = {};
    int junkLength = 0;

    // output: a ring of bytes, each with the time it may go out
    std::vector<OutByte> out = std::vector<OutByte>(OUTPUT_CAPACITY);
    int outHead = 0;
    int outCount = 0;
    long long lastDue = 0;
    bool waitWritable = false;

    uint64_t replyNumber = 0;
    uint64_t random = 0;
};

// --- options.cpp: command line, help text, card, gap and fault specs, plan files

// Reads the command line and the plan files it names. Prints the help and
// exits 0 on --help; reports a bad option or plan and exits 2.
Options parseOptions(int argc, char **argv);
// `count` bytes as upper-case hexadecimal, pairs joined by `separator`.
std::string hexString(const uint8_t *bytes, int count, const char *separator);

// --- engine.cpp: the plan as it runs, the answers and the faults ----------

// When the plan step in progress ends (monotonic ns), or NEVER.
long long stepEnd(const Sim &sim);
// Moves the plan on to the step that holds at `now`.
void advancePlan(Sim &sim, long long now);
// Logs a request frame that passed its checks, starts or moves the plan on
// and queues the answer, damaged as the faults say.
void answer(Sim &sim, const uint8_t *frame, int size, long long now);

// --- terminal.cpp: pseudo-terminal pair, link, request log, framing, output

long long nowNs(); // monotonic
// Removes the link (if it is still ours) and exits with `status`.
[[noreturn]] void finish(Sim &sim, int status);
// Reports the failed call `what` with errno and finishes with status 1.
[[noreturn]] void fatal(Sim &sim, const char *what);
// Appends one line to the request log of --log.
void logLine(Sim &sim, const std::string &line);
// Queues reply bytes, each due one byte time after the one before (at once
// with --no-pace), with `pauseNs` more before byte `pauseAt` (-1: none).
void queueReply(Sim &sim, const std::vector<uint8_t> &bytes, int pauseAt, long long pauseNs, long long now);
// Takes what the master side holds and answers every complete frame in it.
void readInput(Sim &sim);
// After INPUT_IDLE_NS without input: what is left can never become a frame.
void inputIdle(Sim &sim, long long now);
// Writes the reply bytes that are due; waitWritable when the line is full.
void writeOutput(Sim &sim, long long now);
// Before leaving on its own: up to a second for the client to take the last reply.
void awaitReplyTaken(Sim &sim);
// Exits 1 when something other than a symbolic link stands where the link goes.
void checkLinkPlace(Sim &sim);
// Points the link at the slave, through a temporary name and a rename.
void makeLink(Sim &sim);
// Opens the pair and keeps the slave open in raw mode, the master non-blocking.
void openTerminal(Sim &sim);
