/*
 * rfidd-provision: makes a board (or a sandbox directory) ready for the
 * daemon, which never creates its own files:
 *
 *   ROOT/usr/local/etc/reader.db  tables ReaderInfo and ServerInfo, row id 1
 *   ROOT/usr/local/etc/card.db    table Card
 *   ROOT/etc/eth0-setting         IP=, Mask=, Gateway=, DNS=, MAC= lines
 *
 * Each file is built under a temporary name in its own directory and renamed
 * into place only when it is complete, so a failure never leaves half a
 * file. With --check nothing is written: the files are inspected and every
 * problem is reported.
 */
#include <sqlite3.h>

#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

static const char PROGRAM[] = "rfidd-provision";

enum { EXIT_OK = 0, EXIT_FAILED = 1, EXIT_USAGE = 2 };

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

struct Options {
    std::string root = "/";
    bool force = false;
    bool check = false;
    bool settingGiven = false; // any option that sets a value
    long long devId = 1;
    long long readStyle = 0;
    long long keyType = 0;
    std::string key = "FFFFFFFFFFFF";
    long long block = 0;
    long long firstChar = 0;
    long long lastChar = 0;
    std::string serverIp = "127.0.0.1";
    long long serverPort = 9000;
    long long codeType = 0;
    std::string ip = "192.168.0.100";
    std::string mask = "255.255.255.0";
    std::string gateway = "192.168.0.1";
    std::string dns = "192.168.0.1";
    std::string mac = "00:11:22:33:44:55";
};

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

// Four decimal parts 0..255 without leading zeros, separated by dots.
static bool parseIpv4(const std::string &text, unsigned long *address)
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

static bool isKey(const std::string &text)
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
static int parseArguments(int argc, char **argv, Options &options)
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

// --- files -------------------------------------------------------------------

struct DbCloser {
    void operator()(sqlite3 *db) const { sqlite3_close(db); }
};
using Db = std::unique_ptr<sqlite3, DbCloser>;

struct StatementFinalizer {
    void operator()(sqlite3_stmt *statement) const { sqlite3_finalize(statement); }
};
using Statement = std::unique_ptr<sqlite3_stmt, StatementFinalizer>;

struct Target {
    std::string path;
    std::string temporary; // set while a finished temporary file waits for its rename
};

static std::string joinRoot(const std::string &root, const char *path)
{
    std::string base = root;
    while (base.size() > 1 && base.back() == '/')
        base.pop_back();
    if (base == "/")
        base.clear();
    return base + path;
}

static std::string directoryOf(const std::string &path)
{
    size_t slash = path.rfind('/');
    if (slash == std::string::npos)
        return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

static std::string baseOf(const std::string &path)
{
    size_t slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

static void failure(const std::string &path, const std::string &what)
{
    fprintf(stderr, "%s: %s: %s\n", PROGRAM, path.c_str(), what.c_str());
}

static void systemFailure(const std::string &path, const char *call)
{
    failure(path, std::string(call) + ": " + strerror(errno));
}

// mkdir -p.
static bool makeDirectories(const std::string &path)
{
    std::string partial;
    size_t at = 0;
    while (at <= path.size()) {
        size_t slash = path.find('/', at);
        if (slash == std::string::npos)
            slash = path.size();
        partial = path.substr(0, slash);
        at = slash + 1;
        if (partial.empty())
            continue;
        if (mkdir(partial.c_str(), 0755) != 0 && errno != EEXIST) {
            systemFailure(partial, "mkdir");
            return false;
        }
        struct stat status = {};
        if (stat(partial.c_str(), &status) != 0 || !S_ISDIR(status.st_mode)) {
            failure(partial, "not a directory");
            return false;
        }
    }
    return true;
}

static bool syncPath(const std::string &path, int flags)
{
    int fd = open(path.c_str(), flags | O_CLOEXEC);
    if (fd < 0) {
        systemFailure(path, "open");
        return false;
    }
    bool synced = fsync(fd) == 0;
    if (!synced)
        systemFailure(path, "fsync");
    close(fd);
    return synced;
}

// A fresh empty file beside `path`; its name in *temporary.
static bool makeTemporary(const std::string &path, std::string *temporary)
{
    std::string name = directoryOf(path) + "/." + baseOf(path) + ".XXXXXX";
    int fd = mkstemp(name.data());
    if (fd < 0) {
        systemFailure(path, "mkstemp");
        return false;
    }
    fchmod(fd, 0644);
    close(fd);
    *temporary = name;
    return true;
}

static void removeTemporary(const std::string &temporary)
{
    if (temporary.empty())
        return;
    unlink(temporary.c_str());
    unlink((temporary + "-journal").c_str());
}

static bool execute(sqlite3 *db, const std::string &path, const char *sql)
{
    char *error = nullptr;
    if (sqlite3_exec(db, sql, nullptr, nullptr, &error) != SQLITE_OK) {
        failure(path, error ? error : sqlite3_errmsg(db));
        sqlite3_free(error);
        return false;
    }
    return true;
}

// Binds the values (numbers as integers, everything else as text) and runs
// the statement.
struct Value {
    bool isText;
    long long number;
    std::string text;
};

static bool insertRow(sqlite3 *db, const std::string &path, const char *sql, const std::vector<Value> &values)
{
    sqlite3_stmt *raw = nullptr;
    if (sqlite3_prepare_v2(db, sql, -1, &raw, nullptr) != SQLITE_OK) {
        failure(path, sqlite3_errmsg(db));
        return false;
    }
    Statement statement(raw);
    for (size_t i = 0; i < values.size(); ++i) {
        int column = static_cast<int>(i + 1);
        int rc = values[i].isText ? sqlite3_bind_text(raw, column, values[i].text.c_str(), -1, SQLITE_TRANSIENT)
                                  : sqlite3_bind_int64(raw, column, values[i].number);
        if (rc != SQLITE_OK) {
            failure(path, sqlite3_errmsg(db));
            return false;
        }
    }
    if (sqlite3_step(raw) != SQLITE_DONE) {
        failure(path, sqlite3_errmsg(db));
        return false;
    }
    return true;
}

static Value number(long long value) { return Value{false, value, {}}; }
static Value text(const std::string &value) { return Value{true, 0, value}; }

// Numbers go into INTEGER columns, so they read back as the decimal text
// written; ip, key and card numbers into TEXT columns, so they read back as
// written (a key of digits only stays text).
static const char READER_SCHEMA[] =
    "CREATE TABLE ReaderInfo ("
    "id INTEGER PRIMARY KEY, devId INTEGER NOT NULL, readStyle INTEGER NOT NULL, "
    "keyType INTEGER NOT NULL, key TEXT NOT NULL, block INTEGER NOT NULL, "
    "firstChar INTEGER NOT NULL, lastChar INTEGER NOT NULL);"
    "CREATE TABLE ServerInfo ("
    "id INTEGER PRIMARY KEY, ip TEXT NOT NULL, port INTEGER NOT NULL, codeType INTEGER NOT NULL);";

static const char CARD_SCHEMA[] = "CREATE TABLE Card (id INTEGER PRIMARY KEY AUTOINCREMENT, cardNum TEXT NOT NULL);";

static bool openDatabase(const std::string &path, const std::string &temporary, Db *db)
{
    sqlite3 *raw = nullptr;
    int rc = sqlite3_open_v2(temporary.c_str(), &raw, SQLITE_OPEN_READWRITE, nullptr);
    db->reset(raw);
    if (rc != SQLITE_OK) {
        failure(path, raw ? sqlite3_errmsg(raw) : sqlite3_errstr(rc));
        return false;
    }
    return true;
}

// Closes the database and makes its file durable.
static bool finishDatabase(const std::string &path, const std::string &temporary, Db *db)
{
    if (sqlite3_close(db->get()) != SQLITE_OK) {
        failure(path, sqlite3_errmsg(db->get()));
        return false;
    }
    db->release();
    return syncPath(temporary, O_RDONLY);
}

static bool buildReaderDb(const Options &options, Target &target)
{
    std::string temporary;
    if (!makeTemporary(target.path, &temporary))
        return false;
    Db db;
    bool built = openDatabase(target.path, temporary, &db) && execute(db.get(), target.path, "BEGIN;") &&
                 execute(db.get(), target.path, READER_SCHEMA) &&
                 insertRow(db.get(), target.path,
                           "INSERT INTO ReaderInfo (id, devId, readStyle, keyType, key, block, firstChar, "
                           "lastChar) VALUES (1, ?, ?, ?, ?, ?, ?, ?);",
                           {number(options.devId), number(options.readStyle), number(options.keyType),
                            text(options.key), number(options.block), number(options.firstChar),
                            number(options.lastChar)}) &&
                 insertRow(db.get(), target.path,
                           "INSERT INTO ServerInfo (id, ip, port, codeType) VALUES (1, ?, ?, ?);",
                           {text(options.serverIp), number(options.serverPort), number(options.codeType)}) &&
                 execute(db.get(), target.path, "COMMIT;") && finishDatabase(target.path, temporary, &db);
    if (!built) {
        db.reset();
        removeTemporary(temporary);
        return false;
    }
    target.temporary = temporary;
    return true;
}

static bool buildCardDb(Target &target)
{
    std::string temporary;
    if (!makeTemporary(target.path, &temporary))
        return false;
    Db db;
    bool built = openDatabase(target.path, temporary, &db) && execute(db.get(), target.path, CARD_SCHEMA) &&
                 finishDatabase(target.path, temporary, &db);
    if (!built) {
        db.reset();
        removeTemporary(temporary);
        return false;
    }
    target.temporary = temporary;
    return true;
}

static bool buildNetSettings(const Options &options, Target &target)
{
    std::string temporary;
    if (!makeTemporary(target.path, &temporary))
        return false;
    std::string contents = "IP=" + options.ip + "\nMask=" + options.mask + "\nGateway=" + options.gateway +
                           "\nDNS=" + options.dns + "\nMAC=" + options.mac + "\n";
    int fd = open(temporary.c_str(), O_WRONLY | O_CLOEXEC);
    bool written = fd >= 0;
    if (!written)
        systemFailure(temporary, "open");
    size_t done = 0;
    while (written && done < contents.size()) {
        ssize_t n = write(fd, contents.data() + done, contents.size() - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            systemFailure(target.path, "write");
            written = false;
            break;
        }
        done += static_cast<size_t>(n);
    }
    if (written && fsync(fd) != 0) {
        systemFailure(target.path, "fsync");
        written = false;
    }
    if (fd >= 0 && close(fd) != 0 && written) {
        systemFailure(target.path, "close");
        written = false;
    }
    if (!written) {
        removeTemporary(temporary);
        return false;
    }
    target.temporary = temporary;
    return true;
}

// Renames the finished file into place; without --force an existing file
// is never replaced, even one that appeared since the first look.
static bool install(Target &target, bool force)
{
    int rc = force ? rename(target.temporary.c_str(), target.path.c_str())
                   : renameat2(AT_FDCWD, target.temporary.c_str(), AT_FDCWD, target.path.c_str(), RENAME_NOREPLACE);
    if (rc != 0 && !force && errno == EINVAL) {
        // The file system knows no RENAME_NOREPLACE; a hard link fails the
        // same way on an existing name.
        rc = link(target.temporary.c_str(), target.path.c_str());
        if (rc == 0)
            unlink(target.temporary.c_str());
    }
    if (rc != 0) {
        if (errno == EEXIST)
            failure(target.path, "exists (use --force to replace it)");
        else
            systemFailure(target.path, "rename");
        return false;
    }
    target.temporary.clear();
    return syncPath(directoryOf(target.path), O_RDONLY | O_DIRECTORY);
}

static int provision(const Options &options)
{
    Target reader{joinRoot(options.root, "/usr/local/etc/reader.db"), {}};
    Target card{joinRoot(options.root, "/usr/local/etc/card.db"), {}};
    Target net{joinRoot(options.root, "/etc/eth0-setting"), {}};
    Target *targets[] = {&reader, &card, &net};

    bool blocked = false;
    for (Target *target : targets) {
        struct stat status = {};
        if (lstat(target->path.c_str(), &status) != 0)
            continue;
        if (S_ISDIR(status.st_mode)) {
            failure(target->path, "is a directory");
            blocked = true;
        } else if (!options.force) {
            failure(target->path, "exists (use --force to replace it)");
            blocked = true;
        }
    }
    if (blocked)
        return EXIT_FAILED;

    if (!makeDirectories(directoryOf(reader.path)) || !makeDirectories(directoryOf(net.path)))
        return EXIT_FAILED;

    // All three files are complete before the first one is put in place.
    bool built = buildReaderDb(options, reader) && buildCardDb(card) && buildNetSettings(options, net);
    int status = EXIT_OK;
    if (built) {
        for (Target *target : targets) {
            if (!install(*target, options.force)) {
                status = EXIT_FAILED;
                break;
            }
            printf("%s: wrote %s\n", PROGRAM, target->path.c_str());
        }
    } else {
        status = EXIT_FAILED;
    }
    for (Target *target : targets)
        removeTemporary(target->temporary);
    if (status != EXIT_OK)
        fprintf(stderr, "%s: provisioning failed\n", PROGRAM);
    return status;
}

// --- check -------------------------------------------------------------------

struct TableSpec {
    const char *name;
    std::vector<const char *> columns;
    bool needsRow; // the row with id 1 must exist
};

struct Checker {
    int problems = 0;
    void report(const std::string &path, const std::string &what)
    {
        failure(path, what);
        ++problems;
    }
};

static bool fileUsable(Checker &checker, const std::string &path)
{
    struct stat status = {};
    if (stat(path.c_str(), &status) != 0) {
        checker.report(path, errno == ENOENT ? "missing" : std::string("cannot be examined: ") + strerror(errno));
        return false;
    }
    if (!S_ISREG(status.st_mode)) {
        checker.report(path, "not a regular file");
        return false;
    }
    // The daemon opens its files for reading and writing.
    if (access(path.c_str(), R_OK | W_OK) != 0) {
        checker.report(path, std::string("not readable and writable: ") + strerror(errno));
        return false;
    }
    return true;
}

// Columns of `table`; an empty list when the table is missing. False when
// the file cannot be queried at all.
static bool tableColumns(sqlite3 *db, const char *table, std::vector<std::string> *columns, std::string *error)
{
    sqlite3_stmt *raw = nullptr;
    std::string sql = std::string("SELECT name FROM pragma_table_info('") + table + "');";
    if (sqlite3_prepare_v2(db, sql.c_str(), -1, &raw, nullptr) != SQLITE_OK) {
        *error = sqlite3_errmsg(db);
        return false;
    }
    Statement statement(raw);
    int rc;
    while ((rc = sqlite3_step(raw)) == SQLITE_ROW) {
        const unsigned char *name = sqlite3_column_text(raw, 0);
        columns->push_back(name ? reinterpret_cast<const char *>(name) : "");
    }
    if (rc != SQLITE_DONE) {
        *error = sqlite3_errmsg(db);
        return false;
    }
    return true;
}

static bool hasColumn(const std::vector<std::string> &columns, const char *name)
{
    for (const std::string &column : columns)
        if (column == name)
            return true;
    return false;
}

// Looks at the row with id 1: present, no NULL cell, texts the daemon takes.
static void checkRow(Checker &checker, sqlite3 *db, const std::string &path, const TableSpec &spec)
{
    std::string sql = "SELECT ";
    for (size_t i = 0; i < spec.columns.size(); ++i)
        sql += std::string(i ? ", " : "") + "\"" + spec.columns[i] + "\"";
    sql += std::string(" FROM \"") + spec.name + "\" WHERE id=1;";
    sqlite3_stmt *raw = nullptr;
    if (sqlite3_prepare_v2(db, sql.c_str(), -1, &raw, nullptr) != SQLITE_OK) {
        checker.report(path, std::string("table ") + spec.name + ": " + sqlite3_errmsg(db));
        return;
    }
    Statement statement(raw);
    int rc = sqlite3_step(raw);
    if (rc == SQLITE_DONE) {
        checker.report(path, std::string("table ") + spec.name + ": row with id 1 missing");
        return;
    }
    if (rc != SQLITE_ROW) {
        checker.report(path, std::string("table ") + spec.name + ": " + sqlite3_errmsg(db));
        return;
    }
    for (size_t i = 0; i < spec.columns.size(); ++i) {
        int column = static_cast<int>(i);
        std::string where = std::string("table ") + spec.name + ", row 1, column " + spec.columns[i];
        if (sqlite3_column_type(raw, column) == SQLITE_NULL) {
            checker.report(path, where + ": NULL");
            continue;
        }
        const unsigned char *cell = sqlite3_column_text(raw, column);
        std::string value = cell ? reinterpret_cast<const char *>(cell) : "";
        if (strcmp(spec.columns[i], "key") == 0 && !isKey(value))
            checker.report(path, where + ": '" + value + "' is not 12 hexadecimal digits");
        if (strcmp(spec.columns[i], "ip") == 0) {
            unsigned long address = 0;
            if (!parseIpv4(value, &address))
                checker.report(path, where + ": '" + value + "' is not an IPv4 address");
        }
    }
}

static void checkDatabase(Checker &checker, const std::string &path, const std::vector<TableSpec> &tables)
{
    if (!fileUsable(checker, path))
        return;
    sqlite3 *raw = nullptr;
    int rc = sqlite3_open_v2(path.c_str(), &raw, SQLITE_OPEN_READONLY, nullptr);
    Db db(raw);
    if (rc != SQLITE_OK) {
        checker.report(path, std::string("cannot be opened: ") + (raw ? sqlite3_errmsg(raw) : sqlite3_errstr(rc)));
        return;
    }
    for (const TableSpec &table : tables) {
        std::vector<std::string> columns;
        std::string error;
        if (!tableColumns(db.get(), table.name, &columns, &error)) {
            checker.report(path, "cannot be read: " + error);
            return;
        }
        if (columns.empty()) {
            checker.report(path, std::string("table ") + table.name + " missing");
            continue;
        }
        bool complete = true;
        for (const char *column : table.columns) {
            if (!hasColumn(columns, column)) {
                checker.report(path, std::string("table ") + table.name + ": column " + column + " missing");
                complete = false;
            }
        }
        if (complete && table.needsRow)
            checkRow(checker, db.get(), path, table);
    }
}

static void checkNetSettings(Checker &checker, const std::string &path)
{
    if (!fileUsable(checker, path))
        return;
    FILE *file = fopen(path.c_str(), "r");
    if (!file) {
        checker.report(path, std::string("cannot be read: ") + strerror(errno));
        return;
    }
    static const char *const NAMES[] = {"IP", "Mask", "Gateway", "DNS", "MAC"};
    char *line = nullptr;
    size_t capacity = 0;
    int lines = 0;
    while (lines < 5) {
        ssize_t got = getline(&line, &capacity, file);
        if (got < 0)
            break;
        ++lines;
        std::string text(line, static_cast<size_t>(got));
        if (!text.empty() && text.back() == '\n')
            text.pop_back();
        std::string where = "line " + std::to_string(lines) + " (" + NAMES[lines - 1] + ")";
        size_t equals = text.find('=');
        if (equals == std::string::npos) {
            checker.report(path, where + ": no '='");
            continue;
        }
        if (equals > 31)
            checker.report(path, where + ": name longer than 31 characters");
        if (text.size() - equals - 1 > 63)
            checker.report(path, where + ": value longer than 63 characters");
    }
    bool readError = ferror(file) != 0;
    free(line);
    fclose(file);
    if (readError)
        checker.report(path, "read error");
    else if (lines < 5)
        checker.report(path, "only " + std::to_string(lines) + " of the five lines IP, Mask, Gateway, DNS, MAC");
}

static int check(const Options &options)
{
    Checker checker;
    checkDatabase(checker, joinRoot(options.root, "/usr/local/etc/reader.db"),
                  {{"ReaderInfo", {"id", "devId", "readStyle", "keyType", "key", "block", "firstChar", "lastChar"}, true},
                   {"ServerInfo", {"id", "ip", "port", "codeType"}, true}});
    checkDatabase(checker, joinRoot(options.root, "/usr/local/etc/card.db"), {{"Card", {"id", "cardNum"}, false}});
    checkNetSettings(checker, joinRoot(options.root, "/etc/eth0-setting"));
    if (checker.problems) {
        fprintf(stderr, "%s: %d problem%s found\n", PROGRAM, checker.problems, checker.problems == 1 ? "" : "s");
        return EXIT_FAILED;
    }
    printf("%s: %s: all files in order\n", PROGRAM, options.root.c_str());
    return EXIT_OK;
}

int main(int argc, char **argv)
{
    Options options;
    int status = parseArguments(argc, argv, options);
    if (status >= 0)
        return status;
    return options.check ? check(options) : provision(options);
}
