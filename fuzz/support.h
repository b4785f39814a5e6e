/* Shared by the fuzz targets: a scratch board made by rfidd-provision once per
 * process, and the check that ends a run with a report libFuzzer records. */
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace fuzz
{
// Makes the board on first use (removed at exit), points `paths` at it with a
// reboot command that is only counted, and returns its directory.
const std::string &board();
// Puts the board's files back as provisioned and the shared records to zero,
// so that each input runs alone; returns the provisioned settings file.
const std::string &resetBoard();
// How many times the daemon code ran the reboot command since resetBoard().
long rebootRequests();
// The input in a heap block of size + 1 bytes ending in NUL, so that
// AddressSanitizer sees any read past it. free() it.
char *textCopy(const uint8_t *data, size_t size);
// Prints "fuzz check failed: <what>" and the input in hexadecimal; aborts.
[[noreturn]] void fail(const char *what, const uint8_t *data, size_t size);
} // namespace fuzz
