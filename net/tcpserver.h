/*
 * Configuration service: JSON commands on the configuration port, one client
 * and one request at a time; a request ends after 200 ms of silence.
 */
#pragma once

void *thread_tcpserver(void *arg);

// Collects one request: waits without limit for the first bytes, then
// receives until `ms` of silence, end of stream or `size` bytes.
int trecvn(int sock, char *buf, int size, int ms);
// One receive after waiting at most `ms` for data; 0 on time-out.
int trecv(int sock, char *buf, int size, int ms);

namespace tcpserver {

enum ReplyKind {
    REPLY_NONE = 0,
    REPLY_SET_NET_CONF = 16,
    REPLY_GET_NET_CONF = 17,
    REPLY_SET_READER_ID = 18,
    REPLY_GET_READER_ID = 19,
    REPLY_SET_SERVER_CONF = 25,
    REPLY_GET_SERVER_CONF = 32,
    REPLY_SET_TELEGRAM_CONTENT = 33,
    REPLY_GET_TELEGRAM_CONTENT = 34,
};

// Carries out one request text and returns the kind of reply it calls for;
// the status of a set command is left in `result`.
int parse_data(int sock, const char *text);
// Builds and sends the reply of `kind` on `sock`; always 0.
int response(int sock, int kind);

} // namespace tcpserver
