/*
 * Helpers shared by the settings-store tests: a scratch directory that the
 * `paths` record points into, capture of what the code prints, direct SQL
 * on test databases and a dump of a whole database for before/after
 * comparisons.
 */
#pragma once

#include "core/config.h"
#include "core/state.h"
#include "tests/support/harness.h"

#include <gtest/gtest.h>
#include <sqlite3.h>

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

namespace storetest {

// Runs `call` on a thread while the test holds rwlock in the given mode;
// true when the call finished within waitMs, with the lock still held.
template <typename Call> bool finishesWhileHeld(bool exclusive, int waitMs, Call call)
{
    if (exclusive)
        pthread_rwlock_wrlock(&rwlock);
    else
        pthread_rwlock_rdlock(&rwlock);
    std::atomic<bool> done{false};
    std::thread worker([&] {
        call();
        done = true;
    });
    for (int waited = 0; waited < waitMs && !done; waited += 10)
        usleep(10000);
    bool finished = done;
    pthread_rwlock_unlock(&rwlock);
    worker.join();
    return finished;
}

// Everything written to standard output (fd 1) or standard error (fd 2)
// between construction and finish() goes to a temporary file instead.
class OutputCapture {
public:
    explicit OutputCapture(int fd = 1) : fd_(fd)
    {
        flush();
        char name[] = "/tmp/rfidd-capture-XXXXXX";
        file_ = mkstemp(name);
        if (file_ >= 0)
            unlink(name);
        saved_ = dup(fd_);
        if (file_ >= 0)
            dup2(file_, fd_);
    }
    ~OutputCapture() { finish(); }
    OutputCapture(const OutputCapture &) = delete;
    OutputCapture &operator=(const OutputCapture &) = delete;

    // Restores the descriptor and returns what was written.
    std::string finish()
    {
        if (saved_ < 0)
            return text_;
        flush();
        dup2(saved_, fd_);
        close(saved_);
        saved_ = -1;
        if (file_ >= 0) {
            lseek(file_, 0, SEEK_SET);
            char buffer[4096];
            ssize_t n;
            while ((n = read(file_, buffer, sizeof buffer)) > 0)
                text_.append(buffer, static_cast<size_t>(n));
            close(file_);
            file_ = -1;
        }
        return text_;
    }

private:
    void flush()
    {
        fflush(stdout);
        fflush(stderr);
    }
    int fd_;
    int file_ = -1;
    int saved_ = -1;
    std::string text_;
};

// Points `paths` at a fresh scratch directory for the length of a test.
class ScratchTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        saved_ = paths;
        dir = harness::tempDir("rfidd-store");
        ASSERT_FALSE(dir.empty());
        netFile = dir + "/eth0-setting";
        readerDbFile = dir + "/reader.db";
        cardDbFile = dir + "/card.db";
        paths.netSettingsFile = netFile.c_str();
        paths.readerDb = readerDbFile.c_str();
        paths.cardDb = cardDbFile.c_str();
        paths.serialDevice = "/nonexistent/ttySAC1";
        paths.rebootCommand = "false";
    }
    void TearDown() override
    {
        paths = saved_;
        harness::removeTree(dir);
    }

    std::string dir;
    std::string netFile;
    std::string readerDbFile;
    std::string cardDbFile;

private:
    Paths saved_{};
};

// Runs SQL on a file outside the code under test; false on any error.
inline bool execSql(const std::string &file, const std::string &sql, std::string *error = nullptr)
{
    sqlite3 *db = nullptr;
    bool ok = sqlite3_open(file.c_str(), &db) == SQLITE_OK;
    char *message = nullptr;
    if (ok && sqlite3_exec(db, sql.c_str(), nullptr, nullptr, &message) != SQLITE_OK)
        ok = false;
    if (!ok && error)
        *error = message ? message : sqlite3_errmsg(db);
    sqlite3_free(message);
    sqlite3_close(db);
    return ok;
}

// The first column of the first row of a query, as text ("<NULL>" for a
// NULL cell, "<none>" without rows, "<error: ...>" on failure).
inline std::string queryText(const std::string &file, const std::string &sql)
{
    sqlite3 *db = nullptr;
    std::string value = "<none>";
    if (sqlite3_open(file.c_str(), &db) != SQLITE_OK) {
        value = std::string("<error: ") + sqlite3_errmsg(db) + ">";
        sqlite3_close(db);
        return value;
    }
    sqlite3_stmt *statement = nullptr;
    if (sqlite3_prepare_v2(db, sql.c_str(), -1, &statement, nullptr) != SQLITE_OK) {
        value = std::string("<error: ") + sqlite3_errmsg(db) + ">";
    } else {
        int rc = sqlite3_step(statement);
        if (rc == SQLITE_ROW) {
            const unsigned char *text = sqlite3_column_text(statement, 0);
            value = text ? reinterpret_cast<const char *>(text) : "<NULL>";
        } else if (rc != SQLITE_DONE) {
            value = std::string("<error: ") + sqlite3_errmsg(db) + ">";
        }
    }
    sqlite3_finalize(statement);
    sqlite3_close(db);
    return value;
}

// Every schema entry and every row of every table, with each cell's type.
inline std::string dumpDatabase(const std::string &file)
{
    sqlite3 *db = nullptr;
    if (sqlite3_open_v2(file.c_str(), &db, SQLITE_OPEN_READONLY, nullptr) != SQLITE_OK) {
        sqlite3_close(db);
        return "<cannot open>";
    }
    std::string dump;
    std::vector<std::string> tables;
    sqlite3_stmt *statement = nullptr;
    sqlite3_prepare_v2(db, "SELECT type, name, sql FROM sqlite_master ORDER BY type, name", -1, &statement,
                       nullptr);
    while (statement && sqlite3_step(statement) == SQLITE_ROW) {
        for (int i = 0; i < 3; ++i) {
            const unsigned char *text = sqlite3_column_text(statement, i);
            dump += text ? reinterpret_cast<const char *>(text) : "<NULL>";
            dump += '|';
        }
        dump += '\n';
        std::string type = reinterpret_cast<const char *>(sqlite3_column_text(statement, 0));
        if (type == "table")
            tables.push_back(reinterpret_cast<const char *>(sqlite3_column_text(statement, 1)));
    }
    sqlite3_finalize(statement);
    for (const std::string &table : tables) {
        dump += "table " + table + ":\n";
        std::string sql = "SELECT * FROM \"" + table + "\" ORDER BY rowid";
        statement = nullptr;
        if (sqlite3_prepare_v2(db, sql.c_str(), -1, &statement, nullptr) != SQLITE_OK) {
            dump += std::string("<error: ") + sqlite3_errmsg(db) + ">\n";
            continue;
        }
        while (sqlite3_step(statement) == SQLITE_ROW) {
            for (int i = 0; i < sqlite3_column_count(statement); ++i) {
                const unsigned char *text = sqlite3_column_text(statement, i);
                dump += std::to_string(sqlite3_column_type(statement, i)) + ":";
                dump += text ? reinterpret_cast<const char *>(text) : "<NULL>";
                dump += '|';
            }
            dump += '\n';
        }
        sqlite3_finalize(statement);
    }
    sqlite3_close(db);
    return dump;
}

// The reader database as provisioning lays it out, without NOT NULL so that
// tests can put NULL cells in.
inline const char READER_SCHEMA[] =
    "CREATE TABLE ReaderInfo (id INTEGER PRIMARY KEY, devId INTEGER, readStyle INTEGER, keyType INTEGER, "
    "key TEXT, block INTEGER, firstChar INTEGER, lastChar INTEGER);"
    "INSERT INTO ReaderInfo VALUES (1, 7, 0, 0, 'FFFFFFFFFFFF', 4, 1, 8);"
    "CREATE TABLE ServerInfo (id INTEGER PRIMARY KEY, ip TEXT, port INTEGER, codeType INTEGER);"
    "INSERT INTO ServerInfo VALUES (1, '127.0.0.1', 9000, 0);";

inline const char CARD_SCHEMA[] = "CREATE TABLE Card (id INTEGER PRIMARY KEY AUTOINCREMENT, cardNum TEXT);";

// Names in a directory other than . and ..
inline std::vector<std::string> listDirectory(const std::string &path)
{
    std::vector<std::string> names;
    DIR *dir = opendir(path.c_str());
    if (!dir)
        return names;
    while (dirent *entry = readdir(dir)) {
        std::string name = entry->d_name;
        if (name != "." && name != "..")
            names.push_back(name);
    }
    closedir(dir);
    return names;
}

// Runs a program to completion (killed after 30 s); its exit code, or
// 128 + signal, and everything it printed.
inline int runProgram(const std::vector<std::string> &argv, std::string *outputText)
{
    std::string outputPath = harness::tempDir("rfidd-run");
    std::string file = outputPath + "/output";
    harness::Process process = harness::start(argv, file);
    if (process.pid < 0) {
        harness::removeTree(outputPath);
        return -1;
    }
    for (int waited = 0; harness::isRunning(process) && waited < 30000; waited += 10) {
        timespec pause{0, 10 * 1000 * 1000};
        nanosleep(&pause, nullptr);
    }
    int status = harness::isRunning(process) ? harness::stop(process, SIGKILL) : process.exitStatus;
    if (outputText)
        *outputText = harness::readFile(file);
    harness::removeTree(outputPath);
    return status;
}

} // namespace storetest
