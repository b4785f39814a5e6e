#include "store/store.h"
#include "store/statement.h"

#include "core/config.h"
#include "core/log.h"
#include "core/state.h"

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

struct DbCloser {
    void operator()(sqlite3 *db) const { sqlite3_close(db); }
};
using Db = std::unique_ptr<sqlite3, DbCloser>;

// The longest ip text the 16-byte ip field of ServerConf takes.
static constexpr size_t IP_MAX = 15;
// Twelve key digits; a thirteenth, odd character is ignored by hexChar2Hex,
// so it still gives no more than the 6 key bytes.
static constexpr size_t KEY_TEXT_MAX = 13;

// How often a statement that meets another process's lock tries again.
static constexpr int DB_BUSY_STEP_MS = 5;

// Called by SQLite each time a statement meets a lock that another
// connection holds on the file; `count` says how often for this wait. rwlock
// keeps the daemon's own statements apart, so such a wait means that another
// process holds the file (a provisioning check, an operator's sqlite3 shell):
// the statement waits up to DB_BUSY_TIMEOUT_MS instead of failing, and the
// first call says so.
static int waitForLock(void *, int count)
{
    if (count == 0)
        logPuts("Reader database busy, waiting");
    if (count * DB_BUSY_STEP_MS >= DB_BUSY_TIMEOUT_MS)
        return 0;
    usleep(DB_BUSY_STEP_MS * 1000);
    return 1;
}

static Db openReaderDb()
{
    sqlite3 *raw = nullptr;
    int rc = sqlite3_open(paths.readerDb, &raw);
    Db db(raw);
    if (rc != SQLITE_OK) {
        logPuts(sqlite3_errmsg(raw));
        return nullptr;
    }
    sqlite3_busy_handler(raw, waitForLock, nullptr);
    return db;
}

// Runs one query of `columns` columns and hands back the cells of its first
// data row through *row, holding rwlock for reading around the query alone.
// Every failure has been printed when this returns -1.
static int queryFirstRow(const char *statement, const char *tableName, int columns, Db *db, Table *table,
                         char ***row)
{
    *db = openReaderDb();
    if (!*db)
        return -1;

    char **cells = nullptr;
    int rows = 0;
    int cols = 0;
    char *error = nullptr;
    pthread_rwlock_rdlock(&rwlock);
    int rc = sqlite3_get_table(db->get(), statement, &cells, &rows, &cols, &error);
    pthread_rwlock_unlock(&rwlock);
    table->reset(cells);
    if (rc != SQLITE_OK) {
        logPuts(error ? error : sqlite3_errstr(rc));
        sqlite3_free(error);
        return -1;
    }
    if (rows < 1 || cols != columns) {
        logPrintf("%s: no row with id 1\n", tableName);
        return -1;
    }
    *row = cells + cols;
    for (int k = 0; k < columns; ++k) {
        if (!(*row)[k]) {
            logPrintf("%s: %s of row 1 is NULL\n", tableName, cells[k]);
            return -1;
        }
    }
    return 0;
}

// Runs one update, holding rwlock for writing around it alone.
static int runUpdate(const char *statement)
{
    Db db = openReaderDb();
    if (!db)
        return -1;
    char *error = nullptr;
    pthread_rwlock_wrlock(&rwlock);
    int rc = sqlite3_exec(db.get(), statement, nullptr, nullptr, &error);
    pthread_rwlock_unlock(&rwlock);
    if (rc != SQLITE_OK) {
        logPrintf("%s", error ? error : sqlite3_errstr(rc));
        sqlite3_free(error);
        return -1;
    }
    return 0;
}

static uint8_t lowByte(const char *cell) { return static_cast<uint8_t>(atoi(cell)); }

int readDevId(int *devId)
{
    Db db;
    Table table;
    char **row = nullptr;
    if (queryFirstRow("select devId from ReaderInfo where id=1", "ReaderInfo", 1, &db, &table, &row) != 0)
        return -1;
    *devId = atoi(row[0]);
    return 0;
}

int writeDevId(int devId)
{
    Statement statement;
    if (composeStatement(statement, "update ReaderInfo set devId=%d where id=1", devId) != 0)
        return -1;
    return runUpdate(statement);
}

int readTelegramContent(uint8_t *readStyle, uint8_t *keyType, uint8_t *key, uint8_t *block,
                        uint8_t *firstChar, uint8_t *lastChar)
{
    Db db;
    Table table;
    char **row = nullptr;
    if (queryFirstRow("select readStyle, keyType, key, block, firstChar, lastChar from ReaderInfo where id=1",
                      "ReaderInfo", 6, &db, &table, &row) != 0)
        return -1;
    if (strlen(row[2]) > KEY_TEXT_MAX) {
        logPrintf("ReaderInfo: key of row 1 longer than 12 hexadecimal digits\n");
        return -1;
    }
    *readStyle = lowByte(row[0]);
    *keyType = lowByte(row[1]);
    hexChar2Hex(row[2], key);
    *block = lowByte(row[3]);
    *firstChar = lowByte(row[4]);
    *lastChar = lowByte(row[5]);
    return 0;
}

int writeTelegramContent(uint8_t readStyle, uint8_t keyType, const char *key, uint8_t block,
                         uint8_t firstChar, uint8_t lastChar)
{
    if (!key) {
        logPuts("No key text");
        return -1;
    }
    Statement statement;
    if (composeStatement(statement,
                         "update ReaderInfo set readStyle=%d, keyType=%d, key='%q', block=%d, "
                         "firstChar=%d, lastChar=%d where id=1",
                         static_cast<int>(readStyle), static_cast<int>(keyType), key,
                         static_cast<int>(block), static_cast<int>(firstChar),
                         static_cast<int>(lastChar)) != 0)
        return -1;
    return runUpdate(statement);
}

int readServerConfig(char *ip, int *port, int *codeType)
{
    Db db;
    Table table;
    char **row = nullptr;
    if (queryFirstRow("select ip, port, codeType from ServerInfo where id=1", "ServerInfo", 3, &db, &table,
                      &row) != 0)
        return -1;
    size_t ipLength = strlen(row[0]);
    if (ipLength > IP_MAX) {
        logPrintf("ServerInfo: ip of row 1 longer than 15 characters\n");
        return -1;
    }
    memcpy(ip, row[0], ipLength + 1);
    *port = atoi(row[1]);
    *codeType = atoi(row[2]);
    return 0;
}

int writeServerConfig(const char *ip, int port, int codeType)
{
    if (!ip) {
        logPuts("No server ip");
        return -1;
    }
    if (strlen(ip) > IP_MAX) {
        logPrintf("Server ip longer than 15 characters\n");
        return -1;
    }
    Statement statement;
    if (composeStatement(statement, "update ServerInfo set ip='%q', port=%d, codeType=%d where id=1", ip,
                         port, codeType) != 0)
        return -1;
    return runUpdate(statement);
}
