/*
 * Shared by the fuzz targets: a scratch board (reader database, card
 * database, network settings file) made once per process by the
 * provisioning tool, put back to its first state before every input, and a
 * few checks that end the run with a report libFuzzer records as a crash.
 */
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace fuzz
{

// Creates the scratch board on first use (under /dev/shm when it can, else
// $TMPDIR or /tmp), points `paths` at it, sets the reboot command to "true"
// and returns the board's directory. The directory is removed at exit.
const std::string &board();

// Puts the board back as it was provisioned: reader.db and eth0-setting
// byte for byte, srvConf and telegramContent all zero, no pending control
// request. Call at the start of every input so that each input runs alone.
void resetBoard();

// The provisioned contents of the network settings file.
const std::string &provisionedNetSettings();

// How many times the daemon code ran the reboot command ("true", counted
// and not run) since start.
long rebootRequests();

// Copies `size` bytes into a heap block of exactly size + 1 bytes and puts a
// NUL after them (AddressSanitizer then sees any read past the terminator).
// Release with free().
char *textCopy(const uint8_t *data, size_t size);

// Prints "fuzz check failed: <what>" with the input's bytes as hexadecimal
// text and aborts, which libFuzzer records as a crash with its input saved.
[[noreturn]] void fail(const char *what, const uint8_t *data, size_t size);

} // namespace fuzz
