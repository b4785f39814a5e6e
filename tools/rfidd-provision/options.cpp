/*
 * The command line of rfidd-provision: every option, the initial values it
 * sets (Options in provision.h holds the defaults) and their validation. A
 * bad value is named and the run stops with the usage status before anything
 * is written.
 */
#include "tools/rfidd-provision/provision.h"

#include <climits>
#include <cstdio>
#include <cstdlib>

static const char USAGE[] =
    "Usage: rfidd-provision [--root DIR] [--force] [--check]\n"
    "          [--dev-id N] [--read-style N] [--key-type N] [--key HEX12] [--block N]\n"
    "          [--first-char N] [--last-char N]\n"
    "          [--server-ip A] [--server-port P] [--code-type T]\n"
    "          [--ip A] [--mask A] [--gateway A] [--dns A] [--mac M]\n"
    "\n"
    "Writes ROOT/usr/local/etc/reader.db (tables ReaderInfo and ServerInfo with\n"
    "their id 1 rows), ROOT/usr/local/etc/card.db (table Card) and\n"
    "ROOT/etc/eth0-setting (IP, Mask, Gateway, DNS and MAC lines), creating\n"
    "directories as needed.\n"
    "\n"
    "  --root DIR        directory standing for / (default /)\n"
    "  --force           replace files that exist already (default: refuse)\n"
    "  --check           write nothing; inspect the files and report every problem\n"
    "  --dev-id N        reader id, any int (default 1)\n"
    "  --read-style N    0 reads the UID only, else UID and a block slice (0..255, default 0)\n"
    "  --key-type N      0 uses key code 0x60, else 0x61 (0..255, default 0)\n"
    "  --key HEX12       card key, 12 hexadecimal digits (default FFFFFFFFFFFF)\n"
    "  --block N         card block to read (0..255, default 0)\n"
    "  --first-char N    first character of the block slice (0..255, default 0)\n"
    "  --last-char N     last character of the block slice (0..255, default 0)\n"
    "  --server-ip A     upstream server, IPv4 dotted quad (default 127.0.0.1)\n"
    "  --server-port P   upstream server port (1..65535, default 9000)\n"
    "  --code-type T     1 appends a carriage return to each card number (any int, default 0)\n"
    "  --ip A            board address (default 192.168.0.100)\n"
    "  --mask A          netmask, contiguous (default 255.255.255.0)\n"
    "  --gateway A       gateway (default 192.168.0.1)\n"
    "  --dns A           DNS server (default 192.168.0.1)\n"
    "  --mac M           MAC address, six hex pairs separated by ':' (default 00:11:22:33:44:55)\n"
    "  --help            show this text\n"
    "\n"
    "Options take their value as the next argument or after '='.\n"
    "Exit status: 0 success, 1 failure or problems found, 2 bad usage.\n";

// --- validation ------------------------------------------------------------

static bool parseInteger(const std::string &text, long long low, long long high, long long *value)
{
    size_t at = 0;
    if (at < text.size() && text[at] == '-' && low < 0)
        ++at;
    if (at == text.size())
        return false;
    for (size_t i = at; i < text.size(); ++i)
        if (text[i] < '0' || text[i] > '9')
            return false;
    if (text.size() - at > 11)
        return false;
    long long number = strtoll(text.c_str(), nullptr, 10);
    if (number < low || number > high)
        return false;
    *value = number;
    return true;
}

static bool isHexDigit(char c)
{
    return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'F') || (c >= 'a' && c <= 'f');
}

bool parseIpv4(const std::string &text, unsigned long *address)
{
    unsigned long result = 0;
    size_t at = 0;
    for (int part = 0; part < 4; ++part) {
        if (part > 0) {
            if (at >= text.size() || text[at] != '.')
                return false;
            ++at;
        }
        size_t start = at;
        unsigned value = 0;
        while (at < text.size() && text[at] >= '0' && text[at] <= '9' && at - start < 3)
            value = value * 10 + static_cast<unsigned>(text[at++] - '0');
        size_t digits = at - start;
        if (digits == 0 || value > 255 || (digits > 1 && text[start] == '0'))
            return false;
        result = result << 8 | value;
    }
    if (at != text.size())
        return false;
    *address = result;
    return true;
}

static bool isNetmask(const std::string &text)
{
    unsigned long mask = 0;
    if (!parseIpv4(text, &mask))
        return false;
    unsigned long inverted = ~mask & 0xFFFFFFFFUL;
    // The one-bits must come first: the inverted mask is of the form 0..01..1.
    return (inverted & (inverted + 1)) == 0;
}

static bool isMac(const std::string &text)
{
    if (text.size() != 17)
        return false;
    for (size_t i = 0; i < text.size(); ++i) {
        if (i % 3 == 2 ? text[i] != ':' : !isHexDigit(text[i]))
            return false;
    }
    return true;
}

bool isKey(const std::string &text)
{
    if (text.size() != 12)
        return false;
    for (char c : text)
        if (!isHexDigit(c))
            return false;
    return true;
}

// --- command line ------------------------------------------------------------

static void usageError(const std::string &message)
{
    fprintf(stderr, "%s: %s\nTry '%s --help'.\n", PROGRAM, message.c_str(), PROGRAM);
}

enum class Kind { Integer, Ipv4, Netmask, Mac, Key, Directory };

struct ValueOption {
    const char *name;
    Kind kind;
    long long low;
    long long high;
    const char *what; // for the error message
};

static const ValueOption VALUE_OPTIONS[] = {
    {"--root", Kind::Directory, 0, 0, "a directory"},
    {"--dev-id", Kind::Integer, INT_MIN, INT_MAX, "an integer"},
    {"--read-style", Kind::Integer, 0, 255, "an integer 0..255"},
    {"--key-type", Kind::Integer, 0, 255, "an integer 0..255"},
    {"--key", Kind::Key, 0, 0, "12 hexadecimal digits"},
    {"--block", Kind::Integer, 0, 255, "an integer 0..255"},
    {"--first-char", Kind::Integer, 0, 255, "an integer 0..255"},
    {"--last-char", Kind::Integer, 0, 255, "an integer 0..255"},
    {"--server-ip", Kind::Ipv4, 0, 0, "an IPv4 address a.b.c.d"},
    {"--server-port", Kind::Integer, 1, 65535, "a port 1..65535"},
    {"--code-type", Kind::Integer, INT_MIN, INT_MAX, "an integer"},
    {"--ip", Kind::Ipv4, 0, 0, "an IPv4 address a.b.c.d"},
    {"--mask", Kind::Netmask, 0, 0, "a netmask a.b.c.d with contiguous one-bits"},
    {"--gateway", Kind::Ipv4, 0, 0, "an IPv4 address a.b.c.d"},
    {"--dns", Kind::Ipv4, 0, 0, "an IPv4 address a.b.c.d"},
    {"--mac", Kind::Mac, 0, 0, "six hexadecimal pairs separated by ':'"},
};

static bool store(Options &options, const std::string &name, const std::string &value, long long number)
{
    if (name == "--root") {
        options.root = value;
        return true;
    }
    options.settingGiven = true;
    if (name == "--dev-id")
        options.devId = number;
    else if (name == "--read-style")
        options.readStyle = number;
    else if (name == "--key-type")
        options.keyType = number;
    else if (name == "--key")
        options.key = value;
    else if (name == "--block")
        options.block = number;
    else if (name == "--first-char")
        options.firstChar = number;
    else if (name == "--last-char")
        options.lastChar = number;
    else if (name == "--server-ip")
        options.serverIp = value;
    else if (name == "--server-port")
        options.serverPort = number;
    else if (name == "--code-type")
        options.codeType = number;
    else if (name == "--ip")
        options.ip = value;
    else if (name == "--mask")
        options.mask = value;
    else if (name == "--gateway")
        options.gateway = value;
    else if (name == "--dns")
        options.dns = value;
    else if (name == "--mac")
        options.mac = value;
    else
        return false;
    return true;
}

// Returns -1 to go on, or the exit status.
int parseArguments(int argc, char **argv, Options &options)
{
    bool bad = false;
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        if (arg == "--help" || arg == "-h") {
            fputs(USAGE, stdout);
            return EXIT_OK;
        }
        if (arg == "--force") {
            options.force = true;
            continue;
        }
        if (arg == "--check") {
            options.check = true;
            continue;
        }
        std::string name = arg;
        std::string value;
        bool haveValue = false;
        size_t equals = arg.find('=');
        if (arg.rfind("--", 0) == 0 && equals != std::string::npos) {
            name = arg.substr(0, equals);
            value = arg.substr(equals + 1);
            haveValue = true;
        }
        const ValueOption *option = nullptr;
        for (const ValueOption &candidate : VALUE_OPTIONS)
            if (name == candidate.name)
                option = &candidate;
        if (!option) {
            usageError(arg.rfind("-", 0) == 0 ? "unknown option '" + arg + "'"
                                              : "unexpected argument '" + arg + "'");
            return EXIT_USAGE;
        }
        if (!haveValue) {
            if (i + 1 >= argc) {
                usageError(name + " needs a value (" + option->what + ")");
                return EXIT_USAGE;
            }
            value = argv[++i];
        }
        long long number = 0;
        bool valid = false;
        switch (option->kind) {
        case Kind::Integer: valid = parseInteger(value, option->low, option->high, &number); break;
        case Kind::Ipv4: {
            unsigned long address = 0;
            valid = parseIpv4(value, &address);
            break;
        }
        case Kind::Netmask: valid = isNetmask(value); break;
        case Kind::Mac: valid = isMac(value); break;
        case Kind::Key: valid = isKey(value); break;
        case Kind::Directory: valid = !value.empty(); break;
        }
        if (!valid) {
            fprintf(stderr, "%s: %s '%s': expected %s\n", PROGRAM, name.c_str(), value.c_str(), option->what);
            bad = true;
            continue;
        }
        store(options, name, value, number);
    }
    if (bad) {
        fprintf(stderr, "Try '%s --help'.\n", PROGRAM);
        return EXIT_USAGE;
    }
    if (options.check && (options.force || options.settingGiven)) {
        usageError("--check takes no other option than --root");
        return EXIT_USAGE;
    }
    return -1;
}
