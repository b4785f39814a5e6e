// Helpers of the store and shared-state tests: a scratch directory that `paths` points into, what a
// call prints, SQL on a connection of the test's own.
#pragma once

#include "core/config.h"
#include "tests/support/harness.h"

#include <gtest/gtest.h>
#include <sqlite3.h>

#include <string>

namespace storetest {

// What `call` printed on standard output, then on standard error.
template <typename Call> std::string printed(Call call)
{
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    call();
    std::string out = testing::internal::GetCapturedStdout();
    return out + testing::internal::GetCapturedStderr();
}

// Runs SQL on `file`: the rows it yields (cells joined by '|', rows by ' ',
// NULL as "NULL"), or "error: " and SQLite's text.
inline std::string query(const std::string &file, const std::string &sql)
{
    sqlite3 *db = nullptr;
    sqlite3_open(file.c_str(), &db);
    char **cells = nullptr;
    int rows = 0, columns = 0;
    std::string text;
    if (sqlite3_get_table(db, sql.c_str(), &cells, &rows, &columns, nullptr) != SQLITE_OK)
        text = std::string("error: ") + sqlite3_errmsg(db);
    for (int i = columns; i < (rows + 1) * columns; ++i)
    {
        text += i == columns ? "" : i % columns ? "|" : " ";
        text += cells[i] ? cells[i] : "NULL";
    }
    sqlite3_free_table(cells);
    sqlite3_close(db);
    return text;
}

// The reader database as provisioning lays it out, but without NOT NULL.
inline const char READER_SCHEMA[] =
    "CREATE TABLE ReaderInfo (id INTEGER PRIMARY KEY, devId INTEGER, readStyle INTEGER, keyType INTEGER, "
    "key TEXT, block INTEGER, firstChar INTEGER, lastChar INTEGER);"
    "INSERT INTO ReaderInfo VALUES (1, 123456, 0, 0, 'FFFFFFFFFFFF', 4, 1, 8);"
    "CREATE TABLE ServerInfo (id INTEGER PRIMARY KEY, ip TEXT, port INTEGER, codeType INTEGER);"
    "INSERT INTO ServerInfo VALUES (1, '127.0.0.1', 9000, 0);";

// A fresh scratch directory holding the settings file and the reader database of `paths`.
class Store : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_FALSE((dir = harness::tempDir("rfidd-store")).empty());
        paths.netSettingsFile = (netFile = dir + "/eth0-setting").c_str();
        paths.readerDb = (readerDb = dir + "/reader.db").c_str();
    }
    void TearDown() override { harness::removeTree(dir); }
    static inline std::string dir, netFile, readerDb;
};

} // namespace storetest
