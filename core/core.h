/*
 * Daemon core: start-up, the card loop, the server upload and the
 * device-control listener.
 */
#pragma once

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
