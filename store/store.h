/*
 * Settings store: the network settings file, the reader database (reader id,
 * telegram content, server settings) and the card table.
 *
 * Paths come from the `paths` record (core/config.h). Every reader-database
 * operation opens its own connection and closes it before it returns; the
 * card-table operations work on a connection their caller holds.
 * Results: 0 success, -1 failure.
 */
#pragma once

#include <sqlite3.h>

#include <cstdint>
#include <mutex>

// --- network settings file ---------------------------------------------

struct NetSetting {
    char name[32];  // text before the first '=' of the line
    char value[64]; // text after it, without the line end
};

inline constexpr int NET_SETTING_COUNT = 5; // IP, netmask, gateway, DNS, MAC
using NetSettings = NetSetting[NET_SETTING_COUNT];

// Fills `table` (cleared by the caller) from the first five lines of the
// settings file and returns 0.
// - A name over 31 characters or a value over 63 is cut at its field; every
//   field written gets its terminator within the field.
// - A line without '=' gives an empty name and the whole line (without its
//   newline) as value.
// - Entries without a line stay as the caller cleared them.
// - A file that cannot be opened ("r+": it must exist and be writable) or a
//   read error prints "Read /etc/eth0-setting failed: <reason>" (one line on
//   standard error) and returns -1; the entries not yet read stay
//   as they were.
int readNetConfig(NetSetting *table);
// Replaces the settings file with the five entries of `table`, one line
// "name=value\n" each, and returns 0.
// - The lines go to a temporary file in the same directory, which is flushed,
//   synced and renamed over the settings file; then the directory is synced.
//   The new file keeps the old one's permission bits and owner (0644 when
//   there was none). A symbolic link at the settings path stays and its target
//   is replaced.
// - An entry that would not read back unchanged is refused before anything
//   is written: a name or value holding a line feed, a name holding '=', a
//   field without terminator, or a line over 63 characters (name and value
//   together over 61).
// - On any failure it prints "Write /etc/eth0-setting failed" as one line
//   on standard output (a refused entry or a failed system call is named
//   first, the latter on standard error), removes the temporary file, leaves
//   the old file as it was and returns -1. Only a failed sync of the directory comes after the
//   rename; it too gives -1, although the new content is then in place.
int writeNetConfig(const NetSetting *table);
// Removes what an interrupted rewrite left behind: the files named "." +
// the settings file's name + "." and six letters or digits (the temporary
// files of writeNetConfig) in the directory of the resolved settings file,
// nothing else. Prints "Removed <path>, left by an interrupted rewrite" for
// each and returns their number. Meant for start-up, before any rewrite.
int removeNetConfigLeftovers();
// A function-static std::recursive_mutex. Each read and rewrite of the
// settings file holds it, so the two services never see a half-written
// sequence; a service that reads, changes and writes the file may hold it
// around the whole sequence.
std::recursive_mutex &netSettingsMutex();

// --- reader database ---------------------------------------------------
//
// Each operation opens paths.readerDb, runs one statement and closes it.
// - Reads: a missing id 1 row or a NULL cell prints one line naming the
//   table and returns -1 with every destination unchanged. An ip cell over
//   15 characters, or a key cell over 13 characters (twelve digits; a
//   thirteenth, odd one is ignored by hexChar2Hex), is refused the same way.
//   Destinations are written only after every cell has been checked.
// - Updates: text arguments are composed with sqlite3's %q, so a single
//   quote is doubled, the text is stored unchanged and no other statement
//   can run. A statement that would not fit into 255 characters is refused
//   with "Statement too long" (one line) and -1; it is never cut short.
//   writeServerConfig also refuses an ip over 15 characters ("Server ip
//   longer than 15 characters"), which no read could take back.
// - Every read holds rwlock shared, every update exclusive, around its one
//   sqlite3 call only, so the card loop's reload of the server settings and
//   a configuration command never meet inside SQLite.
// - Every connection waits up to DB_BUSY_TIMEOUT_MS for a lock that another
//   process holds on the file before its statement fails; a wait begins
//   with the line "Reader database busy, waiting". The daemon's own
//   statements never wait for each other inside SQLite.

inline constexpr int DB_BUSY_TIMEOUT_MS = 1000;

int readDevId(int *devId);
int writeDevId(int devId);
int readTelegramContent(uint8_t *readStyle, uint8_t *keyType, uint8_t *key, uint8_t *block,
                        uint8_t *firstChar, uint8_t *lastChar);
int writeTelegramContent(uint8_t readStyle, uint8_t keyType, const char *key, uint8_t block,
                         uint8_t firstChar, uint8_t lastChar);
int readServerConfig(char *ip, int *port, int *codeType);
int writeServerConfig(const char *ip, int port, int codeType);

// Hexadecimal text to bytes, two digits a byte, an odd last digit ignored;
// returns the number written. A character that is no hexadecimal digit keeps
// the nibble of the same position in the previous pair; in the first pair it
// gives 0.
int hexChar2Hex(const char *text, uint8_t *bytes);

// --- card table ----------------------------------------------------------
//
// The operations work on the caller's connection and hold rwlock (exclusive
// for changes, shared for the query) around their one sqlite3 call. The card
// number is composed with %q like the texts above; a statement over 255
// characters is refused with "Statement too long" and -1.

struct CardRecord {
    int32_t id;
    char cardNum[32];
};

int writeCardRecord(sqlite3 *db, const char *cardNum);
// A new record (release with free) or nullptr: for an empty table, a failed
// query, a NULL cell or a card number over 31 characters (the last two with
// a one-line message).
CardRecord *readCardRecord(sqlite3 *db);
int deleteCardRecord(sqlite3 *db, int id);
int deleteCardRecordAll(sqlite3 *db);
