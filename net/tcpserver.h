/*
 * Configuration service: JSON commands on the configuration port, one client
 * and one request at a time; a request ends after 200 ms of silence.
 *
 * A request is the text of one JSON object {"Command": name, "Data": {...}};
 * keys are matched ignoring case, command names exactly. Replies are cJSON's
 * formatted print of an object whose first member is "response" (1 or 0).
 */
#pragma once

struct cJSON;
struct NetSetting;

void *thread_tcpserver(void *arg);

// Collects one request: waits without limit for the first bytes, then
// receives until `ms` of silence, end of stream or `size` bytes. Returns the
// number of bytes collected (0: the peer closed before sending anything),
// -1 when the first wait fails.
int trecvn(int sock, char *buf, int size, int ms);
// One receive after waiting at most `ms` for data; 0 on time-out or end of
// stream, -1 on failure.
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
// Builds and sends the reply of `kind` on `sock`; always 0. After the status
// reply of a stored network setup it runs the reboot command.
int response(int sock, int kind);

// The new network values of a "CMD_SetNetConf" "Data" object, shared with
// the discovery service. "IP", "Mask", "Gateway", "DNS" and "MAC" must all be
// strings that fit their entries of `table` (entries 0 to 4, as read from the
// settings file); then every non-empty one replaces its entry's value and 0
// is returned. Otherwise -1 and `table` is left as it was.
int mergeNetValues(const cJSON *data, NetSetting *table);

} // namespace tcpserver
