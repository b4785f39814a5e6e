/*
 * Diagnostics: every message of the daemon, on standard output or standard
 * error, goes out through this module.
 *
 * Until logStart() runs, a message is written at once on the calling thread,
 * as printf, puts and perror would write it (unit tests and fuzz targets call
 * the store, net and reader functions directly and read what they print).
 * Once started, one writer thread does every write: a working thread only
 * appends its text to a bounded buffer and never waits for the output, so
 * neither a slow disk nor a log reader that stops reading can hold up the
 * card loop or a service. A message longer than LOG_MESSAGE_MAX_BYTES is
 * cut there, marked " [... N more bytes cut]", so that no message is too big
 * for the buffer. When the buffer is full, messages are dropped and
 * counted; as soon as it has room again the line
 * "rfidd: N lines of output dropped" stands where they would have been.
 * The two streams stay separate; messages keep their order and their text,
 * and one without a line end still has none.
 */
#pragma once

#include <cstddef>

// Room for messages that wait for the output. At about 100 bytes for each
// card's lines, a few seconds of a stalled output.
inline constexpr size_t LOG_BUFFER_BYTES = 16384;
// The longest message kept whole (marker and line end included): a quarter
// of the buffer, so that a long one still finds room beside the others.
inline constexpr size_t LOG_MESSAGE_MAX_BYTES = LOG_BUFFER_BYTES / 4;
// The longest a flush before a reboot, an exit or the end on SIGTERM or
// SIGINT waits for the output.
inline constexpr int LOG_FLUSH_LIMIT_MS = 1000;

// Starts the writer thread; from then on no message waits for the output.
// If the thread cannot be started, output stays synchronous.
void logStart();

// printf to standard output.
void logPrintf(const char *format, ...) __attribute__((format(printf, 1, 2)));
// puts: the text and a line end, on standard output.
void logPuts(const char *text);
// perror: "text: <system's text for errno>" and a line end, on standard error.
void logPerror(const char *text);

// Waits until everything appended so far is written, at most limitMs.
// True when it was.
bool logFlush(int limitMs);
// Flushes (within LOG_FLUSH_LIMIT_MS) and ends the process with `status`.
[[noreturn]] void logExit(int status);
