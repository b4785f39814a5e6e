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

// Fills `table` (cleared by the caller) from the settings file.
int readNetConfig(NetSetting *table);
// Replaces the settings file with the five entries of `table`.
int writeNetConfig(const NetSetting *table);
// Held by each read and rewrite of the settings file; a service that reads,
// changes and writes the file holds it around the whole sequence.
std::recursive_mutex &netSettingsMutex();

// --- reader database ---------------------------------------------------

int readDevId(int *devId);
int writeDevId(int devId);
int readTelegramContent(uint8_t *readStyle, uint8_t *keyType, uint8_t *key, uint8_t *block,
                        uint8_t *firstChar, uint8_t *lastChar);
int writeTelegramContent(uint8_t readStyle, uint8_t keyType, const char *key, uint8_t block,
                         uint8_t firstChar, uint8_t lastChar);
int readServerConfig(char *ip, int *port, int *codeType);
int writeServerConfig(const char *ip, int port, int codeType);

// Hexadecimal text to bytes, two digits a byte; returns the number written.
int hexChar2Hex(const char *text, uint8_t *bytes);

// --- card table ----------------------------------------------------------

struct CardRecord {
    int32_t id;
    char cardNum[32];
};

int writeCardRecord(sqlite3 *db, const char *cardNum);
// A new record (release with free) or nullptr.
CardRecord *readCardRecord(sqlite3 *db);
int deleteCardRecord(sqlite3 *db, int id);
int deleteCardRecordAll(sqlite3 *db);
