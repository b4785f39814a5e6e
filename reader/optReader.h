/*
 * Reader link: the serial line to the RFID reader module, the framed
 * request/reply exchange with it and the reader operations built on it.
 *
 * Frame (both directions): AA, 00, 01, length (= data count + 1),
 * command or status, data, check byte (XOR of everything between the start
 * byte and the check byte), BB. Only the card-loop thread uses the line.
 */
#pragma once

#include <cstdint>

// --- serial line ---------------------------------------------------------

// Opens the device read-write, without becoming its controlling terminal,
// then makes the descriptor blocking. Returns the descriptor or -1.
int open_port(const char *path);

struct termios;

// The record set_port applies: all zeros, then CLOCAL | CREAD, the character
// size (7 -> CS7, 8 -> CS8, otherwise CS5), parity ('O', 'E'; anything else
// none), speed (2400, 4800, 9600, 115200; otherwise 9600), stop bits (2 ->
// CSTOPB), VMIN = VTIME = 0. A pseudo-terminal keeps its own character size
// and parity, so this is where those fields can be checked.
void makePortSettings(struct termios *tio, int speed, int dataBits, int stopBits, char parity);

// Builds a fresh raw termios record (speed, data bits, stop bits, parity
// 'N', 'O' or 'E') and applies it at once. 0 on success, -1 on failure.
int set_port(int fd, int speed, int dataBits, int stopBits, char parity);

// Waits up to `ms` for the line to become readable, then reads once.
// Returns the read's result, 0 on time-out, -1 when the wait failed.
int tread(int fd, void *buf, int count, int ms);

// Reads until `count` bytes are in or the line has been silent for `ms`.
// Returns the number of bytes stored.
int treadn(int fd, void *buf, int count, int ms);

// --- frame exchange ------------------------------------------------------

inline constexpr int FRAME_BUFFER_SIZE = 256;
inline constexpr int REPLY_TIMEOUT_MS = 500; // longest wait for a reply's first byte
inline constexpr int REPLY_SILENCE_MS = 20;  // silence that ends a reply

// XOR of `count` bytes; 0 when count <= 0.
int makecrc(const uint8_t *data, int count);

// Checks a reply frame held in a cleared 256-byte receive buffer (bytes that
// did not arrive read as zero). 0: valid with status 0, data copied to
// `reply` and their count to `*replyCount`; -2: valid with a failure status,
// `reply[0]` is the byte after the status and `*replyCount` is 1; -1: not a
// valid reply, outputs untouched.
int checkReplyFrame(const uint8_t rx[FRAME_BUFFER_SIZE], uint8_t *reply, int *replyCount);

// One exchange: frame `cmd` with `dataCount` bytes of `data`, write it,
// wait up to `ms` for the reply and check it. Results as checkReplyFrame;
// `reply` must hold 249 bytes.
int optFunction(int fd, uint8_t cmd, const uint8_t *data, int dataCount, uint8_t *reply,
                int *replyCount, int ms);

// errno of the last hard failure of the line (a read, write or wait that
// failed for another reason than an interruption), or 0; cleared by the
// call. The card loop uses it to close and reopen a line that went away.
int takeLineFault();

// --- reader operations ---------------------------------------------------

// 0x95: UID as upper-case hexadecimal text (bytes in the order received),
// also printed. 0 or -1; cardText untouched on failure.
int getReaderUid(int fd, char *cardText);

// 0x98: UID (bytes reversed) and one 16-byte block as hexadecimal texts.
int getReaderUidData(int fd, uint8_t keyCode, uint8_t block, const uint8_t key[6], char *cardText,
                     char *blockText);

// 0x99: relay, buzzer, light1, light2 as they are. 0 or -1, with the line
// "Control reader device error: %02X" on failure.
int ctrReaderDevice(int fd, uint8_t relay, uint8_t buzzer, uint8_t light1, uint8_t light2);
int ctrReaderDevRelay(int fd, uint8_t relay);
int ctrReaderDevBuzzer(int fd, uint8_t buzzer);
int ctrReaderDevLight(int fd, uint8_t light1, uint8_t light2);
