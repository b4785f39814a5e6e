/*
 * rfidd-provision: makes a board (or a sandbox directory) ready for the
 * daemon, which never creates its own files:
 *
 *   ROOT/usr/local/etc/reader.db  tables ReaderInfo and ServerInfo, row id 1
 *   ROOT/usr/local/etc/card.db    table Card
 *   ROOT/etc/eth0-setting         IP=, Mask=, Gateway=, DNS=, MAC= lines
 *
 * What the tool's files share: the options and their initial values
 * (options.cpp reads and checks them), the validation of keys and addresses
 * that --check reuses, the board's paths under the root, the one way of
 * reporting a problem, and the SQLite handles.
 *
 *   main.cpp     the entry point, the board's paths, problem reports
 *   options.cpp  command line, initial values and their validation
 *   create.cpp   schema and creation: tables, rows, files completed under
 *                temporary names and moved into place
 *   check.cpp    --check: every missing table, column or row, NULL cells,
 *                bad key or ip, a short or malformed network file
 */
#pragma once

#include <sqlite3.h>

#include <memory>
#include <string>

inline constexpr char PROGRAM[] = "rfidd-provision";

enum { EXIT_OK = 0, EXIT_FAILED = 1, EXIT_USAGE = 2 };

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

// The files under the root.
inline constexpr char READER_DB[] = "/usr/local/etc/reader.db";
inline constexpr char CARD_DB[] = "/usr/local/etc/card.db";
inline constexpr char NET_SETTINGS[] = "/etc/eth0-setting";

struct DbCloser {
    void operator()(sqlite3 *db) const { sqlite3_close(db); }
};
using Db = std::unique_ptr<sqlite3, DbCloser>;

struct StatementFinalizer {
    void operator()(sqlite3_stmt *statement) const { sqlite3_finalize(statement); }
};
using Statement = std::unique_ptr<sqlite3_stmt, StatementFinalizer>;

// options.cpp: reads the command line into `options`; returns -1 to go on,
// or the exit status (after --help, or with the usage error printed).
int parseArguments(int argc, char **argv, Options &options);
// Four decimal parts 0..255 without leading zeros, separated by dots.
bool parseIpv4(const std::string &text, unsigned long *address);
// Exactly 12 hexadecimal digits.
bool isKey(const std::string &text);

// create.cpp: writes the three files; the exit status.
int provision(const Options &options);

// check.cpp: inspects the three files and reports every problem; the exit status.
int check(const Options &options);

// main.cpp: `path` under `root`; a problem with `path`, one line on standard
// error; the same with the failed system call and errno's text.
std::string joinRoot(const std::string &root, const char *path);
void failure(const std::string &path, const std::string &what);
void systemFailure(const std::string &path, const char *call);
