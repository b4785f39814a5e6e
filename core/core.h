/*
 * Daemon core: start-up, the card loop, the server upload and the
 * device-control listener.
 */
#pragma once

#include <cstddef>

// Reader-side start-up, then the card loop for the life of the process.
// Returns -1 only when the card database cannot be opened.
int handle_event();

// One pass of the card loop on the serial line `fd`: a pending control
// request, or one read of a card and its upload. Always 0.
int optHardware(int fd);

// Uploads one card-number text over a fresh connection. 0 when the whole
// text was written, -1 otherwise.
int accessGate(const char *text);

// Device-control listener on the control port; never returns.
void *thread_listen(void *arg);

// Removes trailing spaces, carriage returns and line feeds in place.
void trim(char *text);

// Trims `text` and, when it is a valid bit string, stores the request and
// sets OPT_CONTROL. Returns 0 when accepted, -1 when refused.
int parse_cmd(char *text);

// Longest block slice that follows a UID in a card number.
inline constexpr int BLOCK_SLICE_MAX = 31;
// Characters in the hexadecimal text of one 16-byte card block.
inline constexpr int BLOCK_TEXT_LENGTH = 32;

// Copies characters firstChar..lastChar (1-based, inclusive) of `blockText`
// into `slice` (`sliceSize` bytes, always NUL-terminated) and returns the
// number of characters copied:
//   - firstChar 0, or lastChar smaller than firstChar: empty slice;
//   - lastChar beyond the end of the block text (32 characters, or fewer if
//     the text is shorter) is taken as its last character, so a slice that
//     starts after the end is empty;
//   - a slice longer than BLOCK_SLICE_MAX characters (or than `sliceSize`
//     leaves room for) keeps its first characters only.
int cutBlockSlice(const char *blockText, int firstChar, int lastChar, char *slice, size_t sliceSize);
