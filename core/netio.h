/*
 * Small socket helpers shared by the daemon's TCP services.
 */
#pragma once

#include <netinet/in.h>

// Accepts one connection on `listenFd`. The errors Linux reports for a
// single aborted or failed incoming connection (EINTR, ECONNABORTED, EPROTO
// and the network errors that accept(2) says to treat like EAGAIN) are
// retried; any other error returns -1 with errno set. `peer` may be null.
int acceptClient(int listenFd, sockaddr_in *peer);
