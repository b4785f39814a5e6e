/*
 * Schema and creation: reader.db with its tables and id 1 rows, card.db with
 * its table, the five-line network settings file. Each file is built under a
 * temporary name in its own directory and renamed into place only when all
 * three are complete, so a failure never leaves half a file; without --force
 * an existing file is never replaced.
 */
#include "tools/rfidd-provision/provision.h"

#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <vector>

struct Target {
    std::string path;
    std::string temporary; // set while a finished temporary file waits for its rename
};

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

// A finished temporary file is kept for installing; a failed one is removed.
static bool keepTemporary(Target &target, const std::string &temporary, bool finished)
{
    if (!finished) {
        removeTemporary(temporary);
        return false;
    }
    target.temporary = temporary;
    return true;
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
    if (!built)
        db.reset(); // closed before its file goes
    return keepTemporary(target, temporary, built);
}

static bool buildCardDb(Target &target)
{
    std::string temporary;
    if (!makeTemporary(target.path, &temporary))
        return false;
    Db db;
    bool built = openDatabase(target.path, temporary, &db) && execute(db.get(), target.path, CARD_SCHEMA) &&
                 finishDatabase(target.path, temporary, &db);
    if (!built)
        db.reset(); // closed before its file goes
    return keepTemporary(target, temporary, built);
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
    return keepTemporary(target, temporary, written);
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

int provision(const Options &options)
{
    Target reader{joinRoot(options.root, READER_DB), {}};
    Target card{joinRoot(options.root, CARD_DB), {}};
    Target net{joinRoot(options.root, NET_SETTINGS), {}};
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
