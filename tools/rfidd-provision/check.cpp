/*
 * --check: writes nothing; inspects the three files and reports every
 * problem, one line each: a missing or unusable file, a missing table, column
 * or id 1 row, a NULL cell, a key or ip the daemon would not take, a network
 * settings file with fewer than five lines or a line without '=' or too long
 * for its field. Exit status 1 when anything was found.
 */
#include "tools/rfidd-provision/provision.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

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

int check(const Options &options)
{
    Checker checker;
    checkDatabase(checker, joinRoot(options.root, READER_DB),
                  {{"ReaderInfo", {"id", "devId", "readStyle", "keyType", "key", "block", "firstChar", "lastChar"}, true},
                   {"ServerInfo", {"id", "ip", "port", "codeType"}, true}});
    checkDatabase(checker, joinRoot(options.root, CARD_DB), {{"Card", {"id", "cardNum"}, false}});
    checkNetSettings(checker, joinRoot(options.root, NET_SETTINGS));
    if (checker.problems) {
        fprintf(stderr, "%s: %d problem%s found\n", PROGRAM, checker.problems, checker.problems == 1 ? "" : "s");
        return EXIT_FAILED;
    }
    printf("%s: %s: all files in order\n", PROGRAM, options.root.c_str());
    return EXIT_OK;
}
