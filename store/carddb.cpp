#include "store/store.h"
#include "store/statement.h"

#include "core/log.h"
#include "core/state.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

// Runs one change of the card table under the write hold of rwlock.
static int runChange(sqlite3 *db, const char *statement)
{
    if (!db) {
        logPuts("Card database not open");
        return -1;
    }
    char *error = nullptr;
    pthread_rwlock_wrlock(&rwlock);
    int rc = sqlite3_exec(db, statement, nullptr, nullptr, &error);
    pthread_rwlock_unlock(&rwlock);
    if (rc != SQLITE_OK) {
        logPrintf("%s", error ? error : sqlite3_errstr(rc));
        sqlite3_free(error);
        return -1;
    }
    return 0;
}

int writeCardRecord(sqlite3 *db, const char *cardNum)
{
    if (!cardNum) {
        logPuts("No card number");
        return -1;
    }
    Statement statement;
    if (composeStatement(statement, "insert into Card (cardNum) values('%q');", cardNum) != 0)
        return -1;
    return runChange(db, statement);
}

CardRecord *readCardRecord(sqlite3 *db)
{
    if (!db) {
        logPuts("Card database not open");
        return nullptr;
    }
    char **cells = nullptr;
    int rows = 0;
    int cols = 0;
    char *error = nullptr;
    pthread_rwlock_rdlock(&rwlock);
    int rc = sqlite3_get_table(db, "select id, cardNum from Card limit 1;", &cells, &rows, &cols, &error);
    pthread_rwlock_unlock(&rwlock);
    Table table(cells);
    if (rc != SQLITE_OK) {
        logPuts(error ? error : sqlite3_errstr(rc));
        sqlite3_free(error);
        return nullptr;
    }
    if (rows < 1 || cols != 2)
        return nullptr;
    const char *id = cells[cols];
    const char *cardNum = cells[cols + 1];
    if (!id || !cardNum) {
        logPuts("Card: NULL cell in the first row");
        return nullptr;
    }
    size_t length = strlen(cardNum);
    if (length >= sizeof(CardRecord::cardNum)) {
        logPuts("Card: card number longer than 31 characters");
        return nullptr;
    }
    auto *record = static_cast<CardRecord *>(calloc(1, sizeof(CardRecord)));
    if (!record) {
        logPuts("Card: out of memory");
        return nullptr;
    }
    record->id = atoi(id);
    memcpy(record->cardNum, cardNum, length + 1);
    return record;
}

int deleteCardRecord(sqlite3 *db, int id)
{
    Statement statement;
    if (composeStatement(statement, "DELETE FROM Card WHERE id=%d", id) != 0)
        return -1;
    return runChange(db, statement);
}

int deleteCardRecordAll(sqlite3 *db) { return runChange(db, "DELETE FROM Card"); }
