/*
 * rfid-sim's command line: the options, the help text, card, gap and fault
 * specs and plan files, read into one Options record.
 */
#include "tools/rfid-sim/sim.h"

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>

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

std::string hexString(const uint8_t *bytes, int count, const char *separator)
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

Options parseOptions(int argc, char **argv)
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
