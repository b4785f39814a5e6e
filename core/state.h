/*
 * Shared device state: the process-wide records that the card loop, the
 * configuration and discovery services and the device-control listener share.
 *
 *   srvConf          where card numbers go (reloaded at every upload, set by
 *                    CMD_SetServerConf)
 *   telegramContent  how a card is read and cut into a card number
 *   cmdData, opt     the pending device-control request and the loop's mode
 *   result           status of the operation behind a network command
 *   rwlock           the one reader-writer lock around every statement on the
 *                    reader database and the card table
 *
 * srvConf and telegramContent are replaced by one thread while another reads
 * them, so they are never touched directly: the copy-in/copy-out helpers below
 * hold a small mutex per record, and a reader always gets a whole old or a
 * whole new record. Storing and taking a control request are likewise one
 * indivisible step each (putControlRequest / takeControlRequest).
 *
 * `result` is per thread: each service sets it and reads it back on its own
 * thread, so a reply or a reboot decision always rests on the status of the
 * very request it answers and never on another service's.
 */
#pragma once

#include <pthread.h>
#include <atomic>
#include <cstdint>

struct ServerConf {
    char ip[16];      // dotted-decimal text, at most 15 characters
    int32_t port;     // the upload uses its low 16 bits
    int32_t codeType; // 1: a carriage return follows each card number
};

struct TelegramContent {
    uint8_t readStyle; // 0: UID only; else UID and a slice of one block
    uint8_t keyType;   // 0: key code 0x60; else 0x61
    uint8_t key[6];
    uint8_t block;
    uint8_t firstChar; // 1-based position in the block text
    uint8_t lastChar;
};

struct ControlRequest {
    uint8_t form; // 1: short command, 2: long command
    uint8_t relay;
    uint8_t buzzer;
    uint8_t light1;
    uint8_t light2;
};

enum { OPT_CONTROL = 23, OPT_READ = 24 };

extern ServerConf srvConf;
extern TelegramContent telegramContent;
extern ControlRequest cmdData;
extern std::atomic<int32_t> opt;
extern thread_local constinit int32_t result;
extern pthread_rwlock_t rwlock;

// Whole-record copies of srvConf and telegramContent.
ServerConf getSrvConf();
void setSrvConf(const ServerConf &conf);
TelegramContent getTelegramContent();
void setTelegramContent(const TelegramContent &content);

// Listener side: stores the request and then sets OPT_CONTROL, as one step.
// A request still pending is replaced.
void putControlRequest(const ControlRequest &request);

// Card-loop side: when a request is pending, sets OPT_READ, copies the
// request out and returns true, as one step; otherwise returns false.
bool takeControlRequest(ControlRequest *request);
