/*
 * Configuration service on TCP port 8001: the listening socket, the
 * connection loop, the quiet-time framing of requests, the command handler
 * and the replies.
 */
#include "net/tcpserver.h"

#include "core/config.h"
#include "core/log.h"
#include "core/netio.h"
#include "core/state.h"
#include "store/store.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cjson/cJSON.h>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>

// Framing: a request is what arrives until QUIET_MS of silence, the end of
// the stream or REQUEST_MAX bytes. The buffer has one byte more than framing
// may fill, so the text handed to the command handler always ends with a zero
// byte inside it, and a request of 1024 bytes or more is cut at 1024 bytes:
// the first 1024 bytes are one request, the rest the next.
static constexpr int REQUEST_MAX = 1024;
static constexpr int QUIET_MS = 200;
static constexpr int LISTEN_BACKLOG = 10;

// Widths of what a request may store. Longer values are refused with
// "response": 0 and change nothing in memory, database or file; they are
// never cut, so nothing is stored that the client did not send.
static constexpr size_t SERVER_IP_MAX = sizeof(ServerConf::ip) - 1;      // 15
static constexpr size_t PORT_TEXT_MAX = 7;                               // decimal text of "Port"
static constexpr size_t KEY_TEXT_MAX = 2 * sizeof(TelegramContent::key); // 12 digits
static constexpr size_t NET_VALUE_MAX = sizeof(NetSetting::value) - 1;   // 63
// The settings file is written one "name=value\n" line at a time through a
// 64-byte line buffer: a new value whose line would not fit is refused
// rather than written cut.
static constexpr size_t NET_LINE_MAX = 63;

using JsonPtr = std::unique_ptr<cJSON, decltype(&cJSON_Delete)>;

static void freeText(char *text)
{
    cJSON_free(text);
}
using TextPtr = std::unique_ptr<char, decltype(&freeText)>;

static long long monotonicMs()
{
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return now.tv_sec * 1000LL + now.tv_nsec / 1000000;
}

// Waits until `sock` is readable, for at most `ms` milliseconds (-1: no
// limit). 1 readable (data, end of stream or an error to collect), 0 time-out,
// -1 failure. poll rather than select: a descriptor number above FD_SETSIZE
// cannot overrun a descriptor set. A signal that interrupts the wait does not
// end it: the wait goes on for the rest of its time.
static int waitReadable(int sock, int ms)
{
    long long deadline = ms < 0 ? 0 : monotonicMs() + ms;
    for (;;) {
        pollfd entry{};
        entry.fd = sock;
        entry.events = POLLIN;
        int timeout = -1;
        if (ms >= 0) {
            long long left = deadline - monotonicMs();
            timeout = left > 0 ? static_cast<int>(left) : 0;
        }
        int ready = poll(&entry, 1, timeout);
        if (ready < 0 && errno == EINTR)
            continue;
        if (ready < 0)
            return -1;
        return ready > 0 && entry.revents != 0 ? 1 : 0;
    }
}

int trecv(int sock, char *buf, int size, int ms)
{
    int ready = waitReadable(sock, ms);
    if (ready < 0) {
        logPerror("Select error\n");
        return -1;
    }
    if (ready == 0)
        return 0;
    for (;;) {
        ssize_t received = recv(sock, buf, static_cast<size_t>(size), 0);
        if (received < 0 && errno == EINTR)
            continue;
        return static_cast<int>(received);
    }
}

int trecvn(int sock, char *buf, int size, int ms)
{
    int ready = waitReadable(sock, -1);
    if (ready < 0) {
        logPerror("Select error\n");
        return -1;
    }
    if (ready == 0)
        return 0;
    int received = 0;
    int remaining = size;
    while (remaining > 0) {
        int n = trecv(sock, buf + received, remaining, ms);
        if (n <= 0)
            break;
        received += n;
        remaining -= n;
    }
    return received;
}

[[noreturn]] static void failService(const char *message)
{
    logPuts(message);
    logExit(-1);
}

void *thread_tcpserver(void *)
{
    // Close-on-exec: the shell that runs the reboot command must not hold the
    // port, or a daemon started while it runs could not listen on it.
    int server = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (server < 0) {
        logPerror("Failed to create socket");
        logExit(-1);
    }
    int on = 1;
    setsockopt(server, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);

    sockaddr_in local{};
    local.sin_family = AF_INET;
    local.sin_addr.s_addr = htonl(INADDR_ANY);
    local.sin_port = htons(CONFIG_PORT);
    if (bind(server, reinterpret_cast<sockaddr *>(&local), sizeof local) < 0)
        failService("Server bind failed");
    if (listen(server, LISTEN_BACKLOG) < 0)
        failService("Server listen failed");

    char request[REQUEST_MAX + 1];
    for (;;) {
        sockaddr_in peer{};
        int client = acceptClient(server, &peer);
        if (client < 0)
            failService("Server accept failed");
        char peerText[INET_ADDRSTRLEN] = "";
        inet_ntop(AF_INET, &peer.sin_addr, peerText, sizeof peerText);
        logPrintf("Server accept client connect %s\n", peerText);

        for (;;) {
            memset(request, 0, sizeof request);
            if (trecvn(client, request, REQUEST_MAX, QUIET_MS) == 0)
                break;
            logPuts(request);
            int kind = tcpserver::parse_data(client, request);
            tcpserver::response(client, kind);
        }
        close(client);
    }
}

namespace tcpserver {

// A "Data" member read as text: a JSON string, else null.
static const char *stringMember(const cJSON *data, const char *key)
{
    const cJSON *item = cJSON_GetObjectItem(data, key);
    return cJSON_IsString(item) && item->valuestring ? item->valuestring : nullptr;
}

// A "Data" member read as a number: false unless it is a JSON number. The
// value is the number's integer part (cut toward zero).
static bool numberMember(const cJSON *data, const char *key, int *value)
{
    const cJSON *item = cJSON_GetObjectItem(data, key);
    if (!cJSON_IsNumber(item))
        return false;
    *value = item->valueint;
    return true;
}

static bool isHexDigit(char c)
{
    return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'F') || (c >= 'a' && c <= 'f');
}

static const char *const netKeys[NET_SETTING_COUNT] = {"IP", "Mask", "Gateway", "DNS", "MAC"};

int mergeNetValues(const cJSON *data, NetSetting *table)
{
    if (!cJSON_IsObject(data))
        return -1;
    const char *values[NET_SETTING_COUNT];
    for (int i = 0; i < NET_SETTING_COUNT; ++i) {
        values[i] = stringMember(data, netKeys[i]);
        if (!values[i])
            return -1;
        size_t length = strlen(values[i]);
        // A line feed would split the entry into two lines of the file.
        if (length > NET_VALUE_MAX || strchr(values[i], '\n'))
            return -1;
        if (length > 0 && strnlen(table[i].name, sizeof table[i].name) + 1 + length + 1 > NET_LINE_MAX)
            return -1;
    }
    for (int i = 0; i < NET_SETTING_COUNT; ++i) {
        if (values[i][0] == '\0')
            continue; // an empty value keeps the current one
        memset(table[i].value, 0, sizeof table[i].value);
        memcpy(table[i].value, values[i], strlen(values[i]));
    }
    return 0;
}

// "CMD_SetNetConf": the five values go into the settings file by position;
// entry names stay as read. The read, the change and the rewrite hold the
// settings-file lock, so the discovery service cannot rewrite the file in
// between. A "Data" that is not an object, a missing or non-string member,
// or a value that does not fit: nothing is written and the status is -1.
static int setNetConf(const cJSON *data)
{
    std::lock_guard<std::recursive_mutex> hold(netSettingsMutex());
    NetSettings table;
    memset(table, 0, sizeof table);
    readNetConfig(table);
    if (mergeNetValues(data, table) != 0)
        return -1;
    return writeNetConfig(table);
}

// "CMD_SetReaderId": "devId" must be a number, else nothing is written and
// the status is -1.
static int setReaderId(const cJSON *data)
{
    int devId = 0;
    if (!cJSON_IsObject(data) || !numberMember(data, "devId", &devId))
        return -1;
    return writeDevId(devId);
}

// "CMD_SetServerConf": "IP" a string of at most 15 characters, "Port" a
// number whose decimal text has at most 7 characters, "CodeType" a number.
// Anything else is refused before srvConf changes. Once accepted, the record
// in memory is replaced first and stays replaced whatever the database gives.
static int setServerConf(const cJSON *data)
{
    if (!cJSON_IsObject(data))
        return -1;
    const char *ip = stringMember(data, "IP");
    int port = 0;
    int codeType = 0;
    if (!ip || !numberMember(data, "Port", &port) || !numberMember(data, "CodeType", &codeType))
        return -1;
    char portText[16];
    int portLength = snprintf(portText, sizeof portText, "%d", port);
    if (strlen(ip) > SERVER_IP_MAX || portLength < 0 || static_cast<size_t>(portLength) > PORT_TEXT_MAX)
        return -1;

    ServerConf conf{};
    memcpy(conf.ip, ip, strlen(ip));
    conf.port = port;
    conf.codeType = codeType;
    setSrvConf(conf);
    return writeServerConfig(conf.ip, conf.port, conf.codeType);
}

// "CMD_SetTelegramContent": five numbers (their low 8 bits are kept) and a
// "Key" of at most 12 hexadecimal digits. A short key replaces only the
// leading key bytes, one per pair of digits; an odd last digit is ignored.
// A key with any other character, or longer, is refused before
// telegramContent changes. Once accepted, memory changes first; the database
// gets the key text exactly as sent.
static int setTelegramContent(const cJSON *data)
{
    if (!cJSON_IsObject(data))
        return -1;
    int readStyle = 0, keyType = 0, block = 0, firstChar = 0, lastChar = 0;
    const char *key = stringMember(data, "Key");
    if (!numberMember(data, "ReadStyle", &readStyle) || !numberMember(data, "KeyType", &keyType) || !key ||
        !numberMember(data, "Block", &block) || !numberMember(data, "FirstChar", &firstChar) ||
        !numberMember(data, "LastChar", &lastChar))
        return -1;
    size_t keyLength = strlen(key);
    if (keyLength > KEY_TEXT_MAX)
        return -1;
    for (size_t i = 0; i < keyLength; ++i)
        if (!isHexDigit(key[i]))
            return -1;

    TelegramContent content = getTelegramContent();
    content.readStyle = static_cast<uint8_t>(readStyle);
    content.keyType = static_cast<uint8_t>(keyType);
    hexChar2Hex(key, content.key);
    content.block = static_cast<uint8_t>(block);
    content.firstChar = static_cast<uint8_t>(firstChar);
    content.lastChar = static_cast<uint8_t>(lastChar);
    setTelegramContent(content);
    return writeTelegramContent(content.readStyle, content.keyType, key, content.block, content.firstChar,
                                content.lastChar);
}

// The request must be a JSON object whose "Command" is a string; anything
// else is no request and changes nothing. A set command whose "Data" is
// unusable changes nothing either, but is answered with "response": 0.
int parse_data(int, const char *text)
{
    JsonPtr request(cJSON_Parse(text), cJSON_Delete);
    if (!cJSON_IsObject(request.get()))
        return REPLY_NONE;
    const cJSON *command = cJSON_GetObjectItem(request.get(), "Command");
    if (!cJSON_IsString(command) || !command->valuestring)
        return REPLY_NONE;
    const char *name = command->valuestring;
    const cJSON *data = cJSON_GetObjectItem(request.get(), "Data");

    if (strcmp(name, "CMD_SetReaderId") == 0) {
        result = setReaderId(data);
        return REPLY_SET_READER_ID;
    }
    if (strcmp(name, "CMD_GetReaderId") == 0)
        return REPLY_GET_READER_ID;
    if (strcmp(name, "CMD_CtrBuzzer") == 0 || strcmp(name, "CMD_CtrRelay") == 0 ||
        strcmp(name, "CMD_CtrLight") == 0)
        return REPLY_NONE;
    if (strcmp(name, "CMD_SetNetConf") == 0) {
        result = setNetConf(data);
        return REPLY_SET_NET_CONF;
    }
    if (strcmp(name, "CMD_GetNetConf") == 0)
        return REPLY_GET_NET_CONF;
    if (strcmp(name, "CMD_SetServerConf") == 0) {
        result = setServerConf(data);
        return REPLY_SET_SERVER_CONF;
    }
    if (strcmp(name, "CMD_GetServerConf") == 0)
        return REPLY_GET_SERVER_CONF;
    if (strcmp(name, "CMD_SetTelegramContent") == 0) {
        result = setTelegramContent(data);
        return REPLY_SET_TELEGRAM_CONTENT;
    }
    if (strcmp(name, "CMD_GetTelegramContent") == 0)
        return REPLY_GET_TELEGRAM_CONTENT;
    return REPLY_NONE;
}

// Prints `reply` and sends the text with one send. MSG_NOSIGNAL: a peer that
// has closed or reset the connection makes the send fail, never the process
// end. A short send is not continued.
static void sendReply(int sock, const cJSON *reply, const char *failure)
{
    TextPtr text(reply ? cJSON_Print(reply) : nullptr, freeText);
    if (!text || send(sock, text.get(), strlen(text.get()), MSG_NOSIGNAL) < 0) {
        logPuts(failure);
    }
}

static void sendStatus(int sock)
{
    JsonPtr reply(cJSON_CreateObject(), cJSON_Delete);
    if (reply)
        cJSON_AddItemToObject(reply.get(), "response", cJSON_CreateNumber(result == 0 ? 1 : 0));
    sendReply(sock, reply.get(), "Send data Failed");
}

static void sendNetConf(int sock)
{
    NetSettings table;
    memset(table, 0, sizeof table);
    readNetConfig(table);
    JsonPtr reply(cJSON_CreateObject(), cJSON_Delete);
    if (reply) {
        cJSON_AddItemToObject(reply.get(), "response", cJSON_CreateNumber(1));
        cJSON *data = cJSON_CreateObject();
        for (int i = 0; i < NET_SETTING_COUNT; ++i) {
            char value[sizeof table[i].value + 1] = "";
            memcpy(value, table[i].value, sizeof table[i].value);
            cJSON_AddItemToObject(data, netKeys[i], cJSON_CreateString(value));
        }
        cJSON_AddItemToObject(reply.get(), "Data", data);
    }
    sendReply(sock, reply.get(), "Send data failed");
}

static void sendReaderId(int sock)
{
    int devId = 0;
    result = readDevId(&devId);
    if (result != 0) {
        sendStatus(sock);
        return;
    }
    JsonPtr reply(cJSON_CreateObject(), cJSON_Delete);
    if (reply) {
        cJSON_AddItemToObject(reply.get(), "response", cJSON_CreateNumber(1));
        cJSON *data = cJSON_CreateObject();
        cJSON_AddItemToObject(data, "devId", cJSON_CreateNumber(devId));
        cJSON_AddItemToObject(reply.get(), "Data", data);
    }
    sendReply(sock, reply.get(), "Send data failed");
}

static void sendServerConf(int sock)
{
    ServerConf conf = getSrvConf();
    char ip[sizeof conf.ip + 1] = "";
    memcpy(ip, conf.ip, sizeof conf.ip);
    // Wide enough for any int, including one reloaded from the database.
    char port[16];
    snprintf(port, sizeof port, "%d", conf.port);
    JsonPtr reply(cJSON_CreateObject(), cJSON_Delete);
    if (reply) {
        cJSON_AddItemToObject(reply.get(), "response", cJSON_CreateNumber(1));
        cJSON_AddItemToObject(reply.get(), "type", cJSON_CreateNumber(conf.codeType));
        cJSON_AddItemToObject(reply.get(), "address", cJSON_CreateString(ip));
        cJSON_AddItemToObject(reply.get(), "port", cJSON_CreateString(port));
    }
    sendReply(sock, reply.get(), "Send data failed");
}

static void sendTelegramContent(int sock)
{
    TelegramContent content = getTelegramContent();
    char key[KEY_TEXT_MAX + 1];
    for (size_t i = 0; i < sizeof content.key; ++i)
        snprintf(key + 2 * i, 3, "%02X", content.key[i]);
    JsonPtr reply(cJSON_CreateObject(), cJSON_Delete);
    if (reply) {
        cJSON_AddItemToObject(reply.get(), "response", cJSON_CreateNumber(1));
        cJSON_AddItemToObject(reply.get(), "readStyle", cJSON_CreateNumber(content.readStyle));
        cJSON_AddItemToObject(reply.get(), "keyType", cJSON_CreateNumber(content.keyType));
        cJSON_AddItemToObject(reply.get(), "key", cJSON_CreateString(key));
        cJSON_AddItemToObject(reply.get(), "block", cJSON_CreateNumber(content.block));
        cJSON_AddItemToObject(reply.get(), "firstChar", cJSON_CreateNumber(content.firstChar));
        cJSON_AddItemToObject(reply.get(), "lastChar", cJSON_CreateNumber(content.lastChar));
    }
    sendReply(sock, reply.get(), "Send data failed");
}

int response(int sock, int kind)
{
    switch (kind) {
    case REPLY_SET_NET_CONF:
        sendStatus(sock);
        // Only a stored network setup reboots, and only after its reply.
        if (result == 0) {
            usleep(50000);
            logFlush(LOG_FLUSH_LIMIT_MS);
            [[maybe_unused]] int status = system(paths.rebootCommand);
        }
        break;
    case REPLY_GET_NET_CONF:
        sendNetConf(sock);
        break;
    case REPLY_SET_READER_ID:
    case REPLY_SET_SERVER_CONF:
    case REPLY_SET_TELEGRAM_CONTENT:
        sendStatus(sock);
        break;
    case REPLY_GET_READER_ID:
        sendReaderId(sock);
        break;
    case REPLY_GET_SERVER_CONF:
        sendServerConf(sock);
        break;
    case REPLY_GET_TELEGRAM_CONTENT:
        sendTelegramContent(sock);
        break;
    default:
        break;
    }
    return 0;
}

} // namespace tcpserver
