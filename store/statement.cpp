#include "store/statement.h"

#include "core/log.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>

int composeStatement(Statement &statement, const char *format, ...)
{
    va_list args;
    va_start(args, format);
    sqlite3_vsnprintf(static_cast<int>(sizeof statement), statement, format, args);
    va_end(args);
    if (strlen(statement) >= STATEMENT_SIZE) {
        logPuts("Statement too long");
        return -1;
    }
    return 0;
}
