/*
 * rfid-sim: a stand-in for the RFID reader module. It opens a
 * pseudo-terminal pair, keeps the slave side open itself and answers the
 * request frames that arrive on the master side, following a plan of cards
 * entering and leaving the field. Faults can be injected into the replies.
 */
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/signalfd.h>
#include <sys/stat.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
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

static const char USAGE[] =
    "Usage: rfid-sim [OPTION]...\n"
    "Simulates the RFID reader module on a pseudo-terminal, for running the\n"
    "daemon and its tests without hardware.\n"
    "\n"
    "It opens a pseudo-terminal pair, keeps the slave side open itself (raw\n"
    "mode) and answers the request frames that arrive on the master side.\n"
    "Point the daemon (or any program) at the slave device, or at --link PATH.\n"
    "On start it prints 'rfid-sim: slave /dev/pts/N' and, once the link\n"
    "exists, 'rfid-sim: ready'.\n"
    "\n"
    "Options:\n"
    "  --link PATH       make PATH a symbolic link to the slave device (parent\n"
    "                    directories are created, an old symbolic link is\n"
    "                    replaced, any other file there is an error); removed\n"
    "                    on exit\n"
    "  --plan FILE       read plan steps from FILE (before --card/--gap steps)\n"
    "  --card SPEC       plan step: a card in the field, SPEC is\n"
    "                    UID[,ms=N][,reads=N][,key=HEX12][,block=N:HEX32]...[,lead=HEX6]\n"
    "  --gap MS          plan step: no card for MS milliseconds\n"
    "  --loop            restart the plan after its last step\n"
    "  --exit-after-plan exit 0 once the plan has run out (after the reply in\n"
    "                    progress has been written)\n"
    "  --no-pace         write each reply at once instead of at 9600 bit/s\n"
    "  --log FILE        append each request frame received to FILE, one line\n"
    "                    of upper-case hexadecimal bytes ('AA 00 01 02 95 01 97 BB');\n"
    "                    bytes that form no valid frame as a line '?? ...'\n"
    "  --fault SPEC      damage replies, SPEC is KIND[:ARG][@N[,N...]|/N|%P]\n"
    "  --seed N          seed for %P faults (repeatable runs)\n"
    "  --quiet           do not print the plan step lines\n"
    "  --help            show this text\n"
    "\n"
    "Card SPEC fields:\n"
    "  UID               8 or 14 hexadecimal digits (4- or 7-byte UID)\n"
    "  ms=N              time in the field in ms (default 1000)\n"
    "  reads=N           leave after N successful reads (0x95/0x98 answered with\n"
    "                    status 0); without ms= there is then no time limit,\n"
    "                    with ms= the card leaves at whichever comes first\n"
    "  key=HEX12         the card's key (default FFFFFFFFFFFF)\n"
    "  block=N:HEX32     contents of block N (0-255); other blocks read as zeros\n"
    "  lead=HEX6         the 3 leading bytes of every read reply (default 010203)\n"
    "\n"
    "Plan file: one step a line, '#' starts a comment, blank lines are ignored:\n"
    "  card UID [ms=N] [reads=N] [key=HEX12] [block=N:HEX32]... [lead=HEX6]\n"
    "  gap MS\n"
    "  loop              same as --loop\n"
    "The plan clock starts with the first valid request frame. After the last\n"
    "step the field stays empty (or the plan restarts with --loop). Each step\n"
    "change prints 'rfid-sim: card UID in field' or 'rfid-sim: field empty'.\n"
    "\n"
    "Frames (both directions): AA, two bytes (00 01), length L, command or\n"
    "status, L-1 data bytes, check byte (XOR of the bytes between AA and the\n"
    "check byte), BB. Replies carry 00 01 after AA.\n"
    "Answers:\n"
    "  0x95 (read UID)        card: status 00, data lead + UID (in order)\n"
    "  0x98 (UID and block)   request data keyCode (60 or 61), block, key[6], 01;\n"
    "                         card and matching key: status 00, data lead + UID +\n"
    "                         the 16 block bytes; wrong key: status 01, error 84\n"
    "  0x95/0x98, no card     status 01, error 83\n"
    "  0x99 (control)         4 data bytes: status 00, no data\n"
    "  wrong request data     status 01, error 85\n"
    "  any other command      status 01, error 82\n"
    "  malformed frame        no reply (logged as '?? ...'); the input is\n"
    "                         searched again for AA; an incomplete frame is\n"
    "                         given up after 50 ms without input\n"
    "\n"
    "Fault SPEC, KIND[:ARG] followed by which replies it hits: @N[,N...] the\n"
    "replies with these numbers (1-based, every reply the simulator would send\n"
    "counts), /N every Nth reply, %P P percent of the replies at random; with\n"
    "none of these, every reply. KIND:\n"
    "  noreply           send nothing\n"
    "  stray-before      one byte 55 before the reply\n"
    "  bad-check         wrong check byte\n"
    "  bad-end           wrong end byte\n"
    "  split[:MS]        pause MS ms (default 50) after the first half\n"
    "  stray-after[:N]   N bytes 55 right after the reply (default 3)\n"
    "  status:XX         status 01 with error byte XX instead of the answer\n"
    "Several --fault options may hit the same reply; their effects add up\n"
    "(noreply wins). A read whose answer is replaced by status:XX does not\n"
    "count for reads=N; one lost or damaged on the line does.\n"
    "\n"
    "Pacing: each reply byte goes out at 9600 bit/s 8N1 (every 1.0417 ms);\n"
    "--no-pace writes a reply in one go.\n"
    "\n"
    "Exits 0 on SIGINT, SIGTERM or SIGHUP, removing the link. Exit status 2\n"
    "for bad options, 1 when the pseudo-terminal, the link or the log cannot\n"
    "be set up.\n"
    "\n"
    "Examples:\n"
    "  rfid-sim --link /tmp/ttyRFID --card 12345678 --gap 500 --loop\n"
    "  rfid-sim --link dev/ttySAC1 --card 04A1B2C3D4E5F6,reads=1 --exit-after-plan\n"
    "  rfid-sim --link dev/ttySAC1 --no-pace --fault noreply@1 --fault bad-check/3\n";

static void usageError(const std::string &message)
{
    fprintf(stderr, "rfid-sim: %s\nTry 'rfid-sim --help' for more information.\n", message.c_str());
    exit(2);
}

static bool parseNumber(const std::string &text, long long low, long long high, long long *value)
{
    if (text.empty() || text.size() > 18)
        return false;
    long long result = 0;
    for (char c : text) {
        if (c < '0' || c > '9')
            return false;
        result = result * 10 + (c - '0');
    }
    if (result < low || result > high)
        return false;
    *value = result;
    return true;
}

static int hexDigit(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

// Exactly 2 * count hexadecimal digits into `count` bytes.
static bool parseHex(const std::string &text, uint8_t *bytes, size_t count)
{
    if (text.size() != 2 * count)
        return false;
    for (size_t i = 0; i < count; ++i) {
        int high = hexDigit(text[2 * i]);
        int low = hexDigit(text[2 * i + 1]);
        if (high < 0 || low < 0)
            return false;
        bytes[i] = static_cast<uint8_t>(high << 4 | low);
    }
    return true;
}

static std::string hexString(const uint8_t *bytes, int count, const char *separator)
{
    static const char digits[] = "0123456789ABCDEF";
    std::string text;
    for (int i = 0; i < count; ++i) {
        if (i > 0)
            text += separator;
        text += digits[bytes[i] >> 4];
        text += digits[bytes[i] & 0x0F];
    }
    return text;
}

// A card step from its UID and NAME=VALUE fields. Empty string or the error.
static std::string parseCard(const std::vector<std::string> &fields, Step *step)
{
    if (fields.empty() || fields[0].empty())
        return "missing UID";
    step->isCard = true;
    const std::string &uid = fields[0];
    if (uid.size() == 8)
        step->uidLength = 4;
    else if (uid.size() == 14)
        step->uidLength = 7;
    if (step->uidLength == 0 || !parseHex(uid, step->uid, static_cast<size_t>(step->uidLength)))
        return "UID '" + uid + "' must be 8 or 14 hexadecimal digits";
    for (size_t i = 1; i < fields.size(); ++i) {
        const std::string &field = fields[i];
        size_t eq = field.find('=');
        std::string name = eq == std::string::npos ? field : field.substr(0, eq);
        std::string value = eq == std::string::npos ? "" : field.substr(eq + 1);
        long long number = 0;
        if (eq == std::string::npos)
            return "field '" + field + "' is not NAME=VALUE";
        if (name == "ms") {
            if (!parseNumber(value, 0, INT_MAX, &number))
                return "ms='" + value + "' must be a number of milliseconds";
            step->ms = number;
            step->msGiven = true;
        } else if (name == "reads") {
            if (!parseNumber(value, 1, INT_MAX, &number))
                return "reads='" + value + "' must be a number from 1";
            step->reads = static_cast<int>(number);
        } else if (name == "key") {
            if (!parseHex(value, step->key, 6))
                return "key='" + value + "' must be 12 hexadecimal digits";
        } else if (name == "lead") {
            if (!parseHex(value, step->lead, 3))
                return "lead='" + value + "' must be 6 hexadecimal digits";
        } else if (name == "block") {
            size_t colon = value.find(':');
            BlockData block;
            if (colon == std::string::npos || !parseNumber(value.substr(0, colon), 0, 255, &number) ||
                !parseHex(value.substr(colon + 1), block.bytes, 16))
                return "block='" + value + "' must be N:HEX32 (block 0-255, 32 hexadecimal digits)";
            block.number = static_cast<uint8_t>(number);
            bool replaced = false;
            for (BlockData &known : step->blocks)
                if (known.number == block.number) {
                    known = block;
                    replaced = true;
                }
            if (!replaced)
                step->blocks.push_back(block);
        } else {
            return "unknown card field '" + name + "'";
        }
    }
    return "";
}

static std::string parseGap(const std::string &value, Step *step)
{
    long long number = 0;
    if (!parseNumber(value, 0, INT_MAX, &number))
        return "gap '" + value + "' must be a number of milliseconds";
    step->isCard = false;
    step->ms = number;
    step->msGiven = true;
    return "";
}

static std::vector<std::string> splitText(const std::string &text, const char *separators)
{
    std::vector<std::string> parts;
    size_t at = 0;
    for (;;) {
        size_t end = text.find_first_of(separators, at);
        std::string part = text.substr(at, end == std::string::npos ? std::string::npos : end - at);
        parts.push_back(part);
        if (end == std::string::npos)
            break;
        at = end + 1;
    }
    return parts;
}

static void readPlanFile(const std::string &path, Options *options)
{
    FILE *file = fopen(path.c_str(), "r");
    if (!file) {
        fprintf(stderr, "rfid-sim: cannot read plan %s: %s\n", path.c_str(), strerror(errno));
        exit(2);
    }
    char line[4096];
    int lineNumber = 0;
    while (fgets(line, sizeof line, file)) {
        ++lineNumber;
        size_t length = strlen(line);
        if (length == sizeof line - 1 && line[length - 1] != '\n' && !feof(file)) {
            fprintf(stderr, "rfid-sim: %s:%d: line too long\n", path.c_str(), lineNumber);
            exit(2);
        }
        std::string text(line, length);
        size_t hash = text.find('#');
        if (hash != std::string::npos)
            text.erase(hash);
        std::vector<std::string> words;
        for (const std::string &word : splitText(text, " \t\r\n"))
            if (!word.empty())
                words.push_back(word);
        if (words.empty())
            continue;
        std::string error;
        Step step;
        if (words[0] == "card") {
            words.erase(words.begin());
            error = parseCard(words, &step);
        } else if (words[0] == "gap") {
            error = words.size() != 2 ? "gap takes one value, MS" : parseGap(words[1], &step);
        } else if (words[0] == "loop" && words.size() == 1) {
            options->loop = true;
            continue;
        } else {
            error = "unknown step '" + words[0] + "' (card, gap or loop)";
        }
        if (!error.empty()) {
            fprintf(stderr, "rfid-sim: %s:%d: %s\n", path.c_str(), lineNumber, error.c_str());
            exit(2);
        }
        options->plan.push_back(step);
    }
    if (ferror(file)) {
        fprintf(stderr, "rfid-sim: cannot read plan %s: %s\n", path.c_str(), strerror(errno));
        exit(2);
    }
    fclose(file);
}

static std::string parseFault(const std::string &spec, Fault *fault)
{
    size_t mark = spec.find_first_of("@/%");
    std::string head = spec.substr(0, mark);
    std::string arg;
    size_t colon = head.find(':');
    bool hasArg = colon != std::string::npos;
    std::string kind = head.substr(0, colon);
    if (hasArg)
        arg = head.substr(colon + 1);
    long long number = 0;

    if (kind == "noreply" || kind == "stray-before" || kind == "bad-check" || kind == "bad-end") {
        if (hasArg)
            return kind + " takes no argument";
        fault->kind = kind == "noreply"        ? FaultKind::NoReply
                      : kind == "stray-before" ? FaultKind::StrayBefore
                      : kind == "bad-check"    ? FaultKind::BadCheck
                                               : FaultKind::BadEnd;
    } else if (kind == "split") {
        fault->kind = FaultKind::Split;
        fault->arg = 50;
        if (hasArg) {
            if (!parseNumber(arg, 0, 60000, &number))
                return "split:MS needs MS from 0 to 60000";
            fault->arg = static_cast<int>(number);
        }
    } else if (kind == "stray-after") {
        fault->kind = FaultKind::StrayAfter;
        fault->arg = 3;
        if (hasArg) {
            if (!parseNumber(arg, 1, 1000, &number))
                return "stray-after:N needs N from 1 to 1000";
            fault->arg = static_cast<int>(number);
        }
    } else if (kind == "status") {
        uint8_t byte = 0;
        if (!hasArg || !parseHex(arg, &byte, 1))
            return "status:XX needs XX, two hexadecimal digits";
        fault->kind = FaultKind::Status;
        fault->arg = byte;
    } else {
        return "unknown fault kind '" + kind + "'";
    }

    if (mark == std::string::npos)
        return "";
    std::string rest = spec.substr(mark + 1);
    switch (spec[mark]) {
    case '@':
        fault->when = FaultWhen::Numbers;
        for (const std::string &part : splitText(rest, ",")) {
            if (!parseNumber(part, 1, LLONG_MAX / 2, &number))
                return "@N needs reply numbers from 1, separated by commas";
            fault->numbers.push_back(number);
        }
        break;
    case '/':
        if (!parseNumber(rest, 1, LLONG_MAX / 2, &number))
            return "/N needs N from 1";
        fault->when = FaultWhen::EveryNth;
        fault->every = number;
        break;
    default:
        if (!parseNumber(rest, 0, 100, &number))
            return "%P needs P from 0 to 100";
        fault->when = FaultWhen::Percent;
        fault->percent = static_cast<int>(number);
        break;
    }
    return "";
}

static Options parseOptions(int argc, char **argv)
{
    Options options;
    for (int i = 1; i < argc; ++i) {
        std::string option = argv[i];
        std::string value;
        bool hasValue = false;
        size_t eq = option.find('=');
        if (option.compare(0, 2, "--") == 0 && eq != std::string::npos) {
            value = option.substr(eq + 1);
            option.erase(eq);
            hasValue = true;
        }
        auto takesValue = [&](void) -> const std::string & {
            if (!hasValue) {
                if (i + 1 >= argc)
                    usageError("option " + option + " needs a value");
                value = argv[++i];
                hasValue = true;
            }
            return value;
        };
        auto noValue = [&](void) {
            if (hasValue)
                usageError("option " + option + " takes no value");
        };
        std::string error;
        if (option == "--help" || option == "-h") {
            noValue();
            fputs(USAGE, stdout);
            exit(0);
        } else if (option == "--link") {
            options.link = takesValue();
            if (options.link.empty())
                usageError("--link needs a path");
        } else if (option == "--plan") {
            options.planFiles.push_back(takesValue());
        } else if (option == "--card") {
            Step step;
            error = parseCard(splitText(takesValue(), ","), &step);
            if (!error.empty())
                usageError("--card " + value + ": " + error);
            options.cliSteps.push_back(step);
        } else if (option == "--gap") {
            Step step;
            error = parseGap(takesValue(), &step);
            if (!error.empty())
                usageError("--gap: " + error);
            options.cliSteps.push_back(step);
        } else if (option == "--loop") {
            noValue();
            options.loop = true;
        } else if (option == "--exit-after-plan") {
            noValue();
            options.exitAfterPlan = true;
        } else if (option == "--no-pace") {
            noValue();
            options.pace = false;
        } else if (option == "--log") {
            options.logPath = takesValue();
            if (options.logPath.empty())
                usageError("--log needs a path");
        } else if (option == "--fault") {
            Fault fault;
            error = parseFault(takesValue(), &fault);
            if (!error.empty())
                usageError("--fault " + value + ": " + error);
            options.faults.push_back(fault);
        } else if (option == "--seed") {
            long long number = 0;
            if (!parseNumber(takesValue(), 0, LLONG_MAX / 2, &number))
                usageError("--seed needs a non-negative number");
            options.seed = static_cast<uint64_t>(number);
            options.seedGiven = true;
        } else if (option == "--quiet") {
            noValue();
            options.quiet = true;
        } else {
            usageError("unknown option '" + std::string(argv[i]) + "'");
        }
    }
    for (const std::string &path : options.planFiles)
        readPlanFile(path, &options);
    options.plan.insert(options.plan.end(), options.cliSteps.begin(), options.cliSteps.end());

    if (options.loop && !options.plan.empty()) {
        // A looping plan must take time somewhere, or it would spin.
        bool takesTime = false;
        for (const Step &step : options.plan)
            if (step.ms > 0 || (step.isCard && step.reads > 0 && !step.msGiven))
                takesTime = true;
        if (!takesTime)
            usageError("a looping plan needs a step that lasts (ms above 0 or reads=N)");
    }
    return options;
}

// --- the simulator -------------------------------------------------------

static const long long NS_PER_MS = 1000000LL;
static const long long BYTE_TIME_NS = 1041667LL; // 10 bits at 9600 bit/s
static const long long INPUT_IDLE_NS = 50 * NS_PER_MS;
static const long long NEVER = LLONG_MAX;
static const int INPUT_CAPACITY = 512; // holds any frame (at most 256 bytes) and more
static const int JUNK_LINE_MAX = 256;  // bytes per '??' line
static const int OUTPUT_CAPACITY = 8192;

static const uint8_t ERROR_UNKNOWN_COMMAND = 0x82;
static const uint8_t ERROR_NO_CARD = 0x83;
static const uint8_t ERROR_AUTH = 0x84;
static const uint8_t ERROR_BAD_REQUEST = 0x85;

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

static long long nowNs()
{
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return ts.tv_sec * 1000000000LL + ts.tv_nsec;
}

static uint64_t nextRandom(Sim &sim)
{
    // splitmix64
    uint64_t z = (sim.random += 0x9E3779B97F4A7C15ULL);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
    return z ^ (z >> 31);
}

static void removeLink(Sim &sim)
{
    if (!sim.linkMade)
        return;
    sim.linkMade = false;
    char target[PATH_MAX];
    ssize_t length = readlink(sim.options.link.c_str(), target, sizeof target - 1);
    if (length < 0)
        return;
    target[length] = '\0';
    if (sim.slaveName == target) // someone else's link stays
        unlink(sim.options.link.c_str());
}

[[noreturn]] static void finish(Sim &sim, int status)
{
    removeLink(sim);
    fflush(stdout);
    _exit(status);
}

[[noreturn]] static void fatal(Sim &sim, const char *what)
{
    fprintf(stderr, "rfid-sim: %s: %s\n", what, strerror(errno));
    finish(sim, 1);
}

static void logLine(Sim &sim, const std::string &line)
{
    if (sim.logFd < 0)
        return;
    std::string text = line + "\n";
    size_t done = 0;
    while (done < text.size()) {
        ssize_t n = write(sim.logFd, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            if (!sim.logFailed)
                fprintf(stderr, "rfid-sim: writing %s: %s\n", sim.options.logPath.c_str(), strerror(errno));
            sim.logFailed = true;
            return;
        }
        done += static_cast<size_t>(n);
    }
}

static void flushJunk(Sim &sim)
{
    if (sim.junkLength == 0)
        return;
    logLine(sim, "?? " + hexString(sim.junk, sim.junkLength, " "));
    sim.junkLength = 0;
}

static void addJunk(Sim &sim, const uint8_t *bytes, int count)
{
    for (int i = 0; i < count; ++i) {
        if (sim.junkLength == JUNK_LINE_MAX)
            flushJunk(sim);
        sim.junk[sim.junkLength++] = bytes[i];
    }
}

// --- plan ---

static const Step *currentCard(const Sim &sim)
{
    if (!sim.planStarted || sim.planDone)
        return nullptr;
    const Step &step = sim.options.plan[sim.stepIndex];
    return step.isCard ? &step : nullptr;
}

static long long stepEnd(const Sim &sim)
{
    if (!sim.planStarted || sim.planDone)
        return NEVER;
    const Step &step = sim.options.plan[sim.stepIndex];
    if (step.isCard && step.reads > 0 && !step.msGiven)
        return NEVER;
    return sim.stepStart + step.ms * NS_PER_MS;
}

static void showStep(Sim &sim)
{
    const Step *card = currentCard(sim);
    if (card) {
        sim.fieldEmptyShown = false;
        if (!sim.options.quiet)
            printf("rfid-sim: card %s in field\n", hexString(card->uid, card->uidLength, "").c_str());
    } else {
        bool isGap = !sim.planDone;
        if (isGap || !sim.fieldEmptyShown) {
            if (!sim.options.quiet)
                puts("rfid-sim: field empty");
        }
        sim.fieldEmptyShown = true;
    }
}

static void enterStep(Sim &sim, size_t index, long long start)
{
    const std::vector<Step> &plan = sim.options.plan;
    if (index >= plan.size()) {
        if (!sim.options.loop || plan.empty()) {
            sim.planDone = true;
            showStep(sim);
            if (sim.options.exitAfterPlan)
                sim.exitPending = true;
            return;
        }
        index = 0;
        // After a long stall, skip whole rounds of a plan that runs on time alone.
        long long round = 0;
        bool timeOnly = true;
        for (const Step &step : plan) {
            if (step.isCard && step.reads > 0)
                timeOnly = false;
            round += step.ms * NS_PER_MS;
        }
        long long now = nowNs();
        if (timeOnly && round > 0 && now - start > round)
            start += (now - start) / round * round;
    }
    sim.stepIndex = index;
    sim.stepStart = start;
    sim.readsLeft = plan[index].isCard ? plan[index].reads : 0;
    showStep(sim);
}

static void startPlan(Sim &sim, long long now)
{
    sim.planStarted = true;
    sim.stepIndex = 0;
    enterStep(sim, 0, now);
}

static void advancePlan(Sim &sim, long long now)
{
    while (sim.planStarted && !sim.planDone) {
        long long end = stepEnd(sim);
        if (end == NEVER || now < end)
            return;
        enterStep(sim, sim.stepIndex + 1, end);
    }
}

// --- replies ---

static bool faultHits(Sim &sim, const Fault &fault)
{
    switch (fault.when) {
    case FaultWhen::Always:
        return true;
    case FaultWhen::Numbers:
        for (long long number : fault.numbers)
            if (static_cast<uint64_t>(number) == sim.replyNumber)
                return true;
        return false;
    case FaultWhen::EveryNth:
        return sim.replyNumber % static_cast<uint64_t>(fault.every) == 0;
    case FaultWhen::Percent:
        return static_cast<int>(nextRandom(sim) % 100) < fault.percent;
    }
    return false;
}

static void queueReply(Sim &sim, const std::vector<uint8_t> &bytes, int pauseAt, long long pauseNs,
                       long long now)
{
    if (bytes.empty())
        return;
    if (OUTPUT_CAPACITY - sim.outCount < static_cast<int>(bytes.size())) {
        fprintf(stderr, "rfid-sim: reply %llu dropped: the other side does not read\n",
                static_cast<unsigned long long>(sim.replyNumber));
        return;
    }
    long long interval = sim.options.pace ? BYTE_TIME_NS : 0;
    long long due = sim.outCount > 0 || sim.lastDue + interval > now ? sim.lastDue + interval : now;
    for (size_t i = 0; i < bytes.size(); ++i) {
        if (i > 0)
            due += interval;
        if (static_cast<int>(i) == pauseAt)
            due += pauseNs;
        OutByte &slot = sim.out[static_cast<size_t>((sim.outHead + sim.outCount) % OUTPUT_CAPACITY)];
        slot.byte = bytes[i];
        slot.due = due;
        ++sim.outCount;
    }
    sim.lastDue = due;
}

static void answer(Sim &sim, const uint8_t *frame, int size, long long now)
{
    logLine(sim, hexString(frame, size, " "));
    if (!sim.planStarted)
        startPlan(sim, now);
    else
        advancePlan(sim, now);

    uint8_t command = frame[4];
    const uint8_t *data = frame + 5;
    int dataCount = frame[3] - 1;
    const Step *card = currentCard(sim);

    uint8_t status = 0;
    std::vector<uint8_t> replyData;
    bool isRead = false;
    auto fail = [&](uint8_t error) {
        status = 0x01;
        replyData.assign(1, error);
    };
    if (command == 0x95) {
        isRead = true;
        if (!card) {
            fail(ERROR_NO_CARD);
        } else {
            replyData.assign(card->lead, card->lead + 3);
            replyData.insert(replyData.end(), card->uid, card->uid + card->uidLength);
        }
    } else if (command == 0x98) {
        isRead = true;
        if (dataCount != 9 || (data[0] != 0x60 && data[0] != 0x61) || data[8] != 0x01) {
            fail(ERROR_BAD_REQUEST);
        } else if (!card) {
            fail(ERROR_NO_CARD);
        } else if (memcmp(card->key, data + 2, 6) != 0) {
            fail(ERROR_AUTH);
        } else {
            replyData.assign(card->lead, card->lead + 3);
            replyData.insert(replyData.end(), card->uid, card->uid + card->uidLength);
            uint8_t block[16] = {};
            for (const BlockData &known : card->blocks)
                if (known.number == data[1])
                    memcpy(block, known.bytes, sizeof block);
            replyData.insert(replyData.end(), block, block + 16);
        }
    } else if (command == 0x99) {
        if (dataCount != 4)
            fail(ERROR_BAD_REQUEST);
    } else {
        fail(ERROR_UNKNOWN_COMMAND);
    }

    ++sim.replyNumber;
    bool noReply = false, strayBefore = false, badCheck = false, badEnd = false;
    int splitMs = -1, strayAfter = 0;
    for (const Fault &fault : sim.options.faults) {
        if (!faultHits(sim, fault))
            continue;
        switch (fault.kind) {
        case FaultKind::NoReply:
            noReply = true;
            break;
        case FaultKind::StrayBefore:
            strayBefore = true;
            break;
        case FaultKind::BadCheck:
            badCheck = true;
            break;
        case FaultKind::BadEnd:
            badEnd = true;
            break;
        case FaultKind::Split:
            splitMs = fault.arg > splitMs ? fault.arg : splitMs;
            break;
        case FaultKind::StrayAfter:
            strayAfter = fault.arg;
            break;
        case FaultKind::Status:
            status = 0x01;
            replyData.assign(1, static_cast<uint8_t>(fault.arg));
            break;
        }
    }

    if (!noReply) {
        std::vector<uint8_t> bytes;
        if (strayBefore)
            bytes.push_back(0x55);
        size_t frameStart = bytes.size();
        bytes.push_back(0xAA);
        bytes.push_back(0x00);
        bytes.push_back(0x01);
        bytes.push_back(static_cast<uint8_t>(replyData.size() + 1));
        bytes.push_back(status);
        bytes.insert(bytes.end(), replyData.begin(), replyData.end());
        uint8_t check = 0;
        for (size_t i = frameStart + 1; i < bytes.size(); ++i)
            check ^= bytes[i];
        bytes.push_back(badCheck ? static_cast<uint8_t>(check ^ 0xFF) : check);
        bytes.push_back(badEnd ? 0x44 : 0xBB);
        int pauseAt = -1;
        if (splitMs >= 0)
            pauseAt = static_cast<int>(frameStart + (bytes.size() - frameStart) / 2);
        bytes.insert(bytes.end(), static_cast<size_t>(strayAfter), 0x55);
        queueReply(sim, bytes, pauseAt, splitMs * NS_PER_MS, now);
    }

    // A successful read uses up one of the card's reads; the last one takes
    // the card out of the field.
    if (isRead && status == 0 && card && sim.readsLeft > 0 && --sim.readsLeft == 0)
        enterStep(sim, sim.stepIndex + 1, now);
}

// --- input ---

static void consumeInput(Sim &sim, int count)
{
    memmove(sim.input, sim.input + count, static_cast<size_t>(sim.inputLength - count));
    sim.inputLength -= count;
}

static uint8_t xorOf(const uint8_t *bytes, int count)
{
    uint8_t check = 0;
    for (int i = 0; i < count; ++i)
        check ^= bytes[i];
    return check;
}

// Takes every complete frame out of the input; bytes before a start byte
// and frames that fail their checks become junk. Stops at an incomplete frame.
static void parseInput(Sim &sim, long long now)
{
    for (;;) {
        int skip = 0;
        while (skip < sim.inputLength && sim.input[skip] != 0xAA)
            ++skip;
        if (skip > 0) {
            addJunk(sim, sim.input, skip);
            consumeInput(sim, skip);
        }
        if (sim.inputLength < 4)
            return;
        int length = sim.input[3];
        if (length < 1 || length > 250) {
            addJunk(sim, sim.input, 1);
            consumeInput(sim, 1);
            continue;
        }
        int size = length + 6;
        if (sim.inputLength < size)
            return;
        if (sim.input[length + 4] != xorOf(sim.input + 1, length + 3) || sim.input[length + 5] != 0xBB) {
            // Not a frame: look for the next start byte after this one.
            addJunk(sim, sim.input, 1);
            consumeInput(sim, 1);
            continue;
        }
        flushJunk(sim);
        answer(sim, sim.input, size, now);
        consumeInput(sim, size);
    }
}

// The input has been quiet: whatever is left can never become a frame
// with the bytes before it.
static void inputIdle(Sim &sim, long long now)
{
    while (sim.inputLength > 0) {
        addJunk(sim, sim.input, 1);
        consumeInput(sim, 1);
        parseInput(sim, now);
    }
    flushJunk(sim);
}

static void readInput(Sim &sim)
{
    for (;;) {
        ssize_t n = read(sim.master, sim.input + sim.inputLength,
                         static_cast<size_t>(INPUT_CAPACITY - sim.inputLength));
        if (n < 0) {
            if (errno == EINTR)
                continue;
            if (errno == EAGAIN)
                return;
            fatal(sim, "reading the pseudo-terminal");
        }
        if (n == 0)
            return;
        long long now = nowNs();
        sim.lastInput = now;
        sim.inputLength += static_cast<int>(n);
        parseInput(sim, now);
    }
}

// --- output ---

static void writeOutput(Sim &sim, long long now)
{
    sim.waitWritable = false;
    while (sim.outCount > 0) {
        uint8_t chunk[512];
        int count = 0;
        while (count < sim.outCount && count < static_cast<int>(sizeof chunk)) {
            const OutByte &next = sim.out[static_cast<size_t>((sim.outHead + count) % OUTPUT_CAPACITY)];
            if (next.due > now)
                break;
            chunk[count++] = next.byte;
        }
        if (count == 0)
            return;
        ssize_t n = write(sim.master, chunk, static_cast<size_t>(count));
        if (n < 0) {
            if (errno == EINTR)
                continue;
            if (errno == EAGAIN) {
                sim.waitWritable = true;
                return;
            }
            fatal(sim, "writing the pseudo-terminal");
        }
        sim.outHead = (sim.outHead + static_cast<int>(n)) % OUTPUT_CAPACITY;
        sim.outCount -= static_cast<int>(n);
        if (n < count) {
            sim.waitWritable = true;
            return;
        }
    }
}

// Closing the master hangs up the line, and a hang-up discards input the
// client has not read yet: before leaving on our own, give the client up to
// a second to take the last reply.
static void awaitReplyTaken(Sim &sim)
{
    long long deadline = nowNs() + 1000 * NS_PER_MS;
    usleep(20000); // bytes written to the master reach the line's queue shortly after
    while (nowNs() < deadline) {
        int waiting = 0;
        if (ioctl(sim.slave, FIONREAD, &waiting) != 0 || waiting == 0)
            return;
        usleep(5000);
    }
}

// --- set-up ---

static void makeParents(const std::string &path)
{
    for (size_t at = path.find('/', 1); at != std::string::npos; at = path.find('/', at + 1))
        mkdir(path.substr(0, at).c_str(), 0755);
}

// Only a symbolic link (or nothing) may stand where the link goes.
static void checkLinkPlace(Sim &sim)
{
    const std::string &link = sim.options.link;
    struct stat info {
    };
    if (lstat(link.c_str(), &info) == 0 && !S_ISLNK(info.st_mode)) {
        fprintf(stderr, "rfid-sim: %s exists and is not a symbolic link; not replacing it\n", link.c_str());
        finish(sim, 1);
    }
}

static void makeLink(Sim &sim)
{
    const std::string &link = sim.options.link;
    checkLinkPlace(sim);
    makeParents(link);
    std::string temporary = link + ".rfid-sim." + std::to_string(getpid());
    unlink(temporary.c_str());
    if (symlink(sim.slaveName.c_str(), temporary.c_str()) != 0) {
        fprintf(stderr, "rfid-sim: cannot create link %s: %s\n", link.c_str(), strerror(errno));
        finish(sim, 1);
    }
    if (rename(temporary.c_str(), link.c_str()) != 0) {
        fprintf(stderr, "rfid-sim: cannot create link %s: %s\n", link.c_str(), strerror(errno));
        unlink(temporary.c_str());
        finish(sim, 1);
    }
    sim.linkMade = true;
}

static void openTerminal(Sim &sim)
{
    sim.master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (sim.master < 0)
        fatal(sim, "posix_openpt");
    if (grantpt(sim.master) != 0)
        fatal(sim, "grantpt");
    if (unlockpt(sim.master) != 0)
        fatal(sim, "unlockpt");
    const char *name = ptsname(sim.master);
    if (!name)
        fatal(sim, "ptsname");
    sim.slaveName = name;
    // Holding the slave open keeps the master usable while the daemon has
    // closed its side; raw mode keeps the line from echoing or translating.
    sim.slave = open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (sim.slave < 0)
        fatal(sim, "opening the slave");
    termios tio{};
    if (tcgetattr(sim.slave, &tio) != 0)
        fatal(sim, "tcgetattr");
    cfmakeraw(&tio);
    cfsetispeed(&tio, B9600);
    cfsetospeed(&tio, B9600);
    if (tcsetattr(sim.slave, TCSANOW, &tio) != 0)
        fatal(sim, "tcsetattr");
    int flags = fcntl(sim.master, F_GETFL);
    if (flags < 0 || fcntl(sim.master, F_SETFL, flags | O_NONBLOCK) != 0)
        fatal(sim, "fcntl");
}

int main(int argc, char **argv)
{
    setvbuf(stdout, nullptr, _IOLBF, 0);
    Sim sim;
    sim.options = parseOptions(argc, argv);
    sim.random = sim.options.seedGiven
                     ? sim.options.seed
                     : static_cast<uint64_t>(nowNs()) ^ (static_cast<uint64_t>(getpid()) << 32);

    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGINT);
    sigaddset(&stopSignals, SIGTERM);
    sigaddset(&stopSignals, SIGHUP);
    if (sigprocmask(SIG_BLOCK, &stopSignals, nullptr) != 0)
        fatal(sim, "sigprocmask");
    sim.signalFd = signalfd(-1, &stopSignals, SFD_CLOEXEC | SFD_NONBLOCK);
    if (sim.signalFd < 0)
        fatal(sim, "signalfd");
    signal(SIGPIPE, SIG_IGN);

    if (!sim.options.logPath.empty()) {
        sim.logFd = open(sim.options.logPath.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
        if (sim.logFd < 0) {
            fprintf(stderr, "rfid-sim: cannot open log %s: %s\n", sim.options.logPath.c_str(),
                    strerror(errno));
            return 1;
        }
    }

    if (!sim.options.link.empty())
        checkLinkPlace(sim);
    openTerminal(sim);
    printf("rfid-sim: slave %s\n", sim.slaveName.c_str());
    if (!sim.options.link.empty())
        makeLink(sim);
    puts("rfid-sim: ready");

    for (;;) {
        long long now = nowNs();
        advancePlan(sim, now);
        writeOutput(sim, now);
        if (sim.exitPending && sim.outCount == 0) {
            awaitReplyTaken(sim);
            finish(sim, 0);
        }

        long long wake = stepEnd(sim);
        if (sim.outCount > 0 && !sim.waitWritable) {
            long long due = sim.out[static_cast<size_t>(sim.outHead)].due;
            wake = due < wake ? due : wake;
        }
        if (sim.inputLength > 0 || sim.junkLength > 0) {
            long long idle = sim.lastInput + INPUT_IDLE_NS;
            wake = idle < wake ? idle : wake;
        }

        pollfd fds[2] = {};
        fds[0].fd = sim.signalFd;
        fds[0].events = POLLIN;
        fds[1].fd = sim.master;
        fds[1].events = static_cast<short>(POLLIN | (sim.waitWritable ? POLLOUT : 0));
        timespec timeout{};
        timespec *timeoutPointer = nullptr;
        if (wake != NEVER) {
            long long wait = wake - now;
            if (wait < 0)
                wait = 0;
            timeout.tv_sec = static_cast<time_t>(wait / 1000000000LL);
            timeout.tv_nsec = static_cast<long>(wait % 1000000000LL);
            timeoutPointer = &timeout;
        }
        int ready = ppoll(fds, 2, timeoutPointer, nullptr);
        if (ready < 0) {
            if (errno == EINTR)
                continue;
            fatal(sim, "ppoll");
        }
        if (fds[0].revents & POLLIN) {
            signalfd_siginfo info{};
            if (read(sim.signalFd, &info, sizeof info) > 0)
                finish(sim, 0);
        }
        if (fds[1].revents & (POLLIN | POLLHUP | POLLERR))
            readInput(sim);
        now = nowNs();
        if ((sim.inputLength > 0 || sim.junkLength > 0) && now >= sim.lastInput + INPUT_IDLE_NS)
            inputIdle(sim, now);
    }
}
