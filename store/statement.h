/*
 * Inside the store: composing SQL statements and holding query results.
 * Not part of the store's interface (store.h).
 */
#pragma once

#include <sqlite3.h>

#include <cstddef>
#include <memory>

struct TableFreer {
    void operator()(char **table) const { sqlite3_free_table(table); }
};
using Table = std::unique_ptr<char *, TableFreer>;

// Statements hold at most 255 characters and the terminator; the one byte
// more shows a statement that would not have fitted, which is refused rather
// than cut short.
inline constexpr size_t STATEMENT_SIZE = 256;
using Statement = char[STATEMENT_SIZE + 1];

// Composes a statement with sqlite3's formatting: text arguments go through
// %q, which doubles their single quotes, so a text stays one literal.
// -1 with "Statement too long" when it would not fit.
int composeStatement(Statement &statement, const char *format, ...);
