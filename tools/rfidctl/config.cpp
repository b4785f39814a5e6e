/*
 * rfidctl HOST get/set: the JSON configuration service on TCP port 8001, and
 * the network setup over UDP port 8000.
 *
 * The service takes a request as complete after 200 ms of silence, or at
 * once when the client closes its sending side, and then answers with one
 * JSON object (formatted, no line end after it). So the request goes out in
 * one write followed by a half-close, and the reply is read until it parses
 * as a complete JSON value, the peer closes, a short quiet time passes after
 * the last byte, or the time limit runs out.
 */
#include "tools/rfidctl/rfidctl.h"

#include <arpa/inet.h>
#include <cjson/cJSON.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>

static constexpr size_t MAX_REPLY_BYTES = 65536;
static constexpr long long REPLY_QUIET_MS = 300;

struct JsonDeleter {
    void operator()(cJSON *item) const { cJSON_Delete(item); }
};
using JsonPtr = std::unique_ptr<cJSON, JsonDeleter>;

static std::string printUnformatted(const cJSON *item)
{
    char *text = cJSON_PrintUnformatted(item);
    std::string result = text ? text : "";
    cJSON_free(text);
    return result;
}

static std::string requestText(const char *command, cJSON *data)
{
    JsonPtr request(cJSON_CreateObject());
    cJSON_AddItemToObject(request.get(), "Command", cJSON_CreateString(command));
    if (data)
        cJSON_AddItemToObject(request.get(), "Data", data);
    return printUnformatted(request.get());
}

static std::string shortened(const std::string &raw)
{
    if (raw.size() <= 200)
        return visibleText(raw);
    return visibleText(raw.substr(0, 200)) + "...";
}

// One request, one reply over TCP 8001. On RC_OK *reply holds the parsed
// object; every other outcome has been reported on standard error.
static int exchange(const in_addr &host, const std::string &request, int timeoutMs, JsonPtr *reply)
{
    std::string peer = addressText(host) + ":" + std::to_string(READER_CONFIG_PORT);
    int rc = RC_OK;
    int fd = connectWithin(host, READER_CONFIG_PORT, timeoutMs, &rc);
    if (fd < 0)
        return rc;

    ssize_t sent = send(fd, request.data(), request.size(), MSG_NOSIGNAL);
    if (sent != static_cast<ssize_t>(request.size())) {
        fprintf(stderr, "rfidctl: %s: cannot send the request: %s\n", peer.c_str(),
                sent < 0 ? strerror(errno) : "short write");
        close(fd);
        return RC_UNREACHABLE;
    }
    // The half-close tells the service that the request is complete, so it
    // answers at once instead of after its 200 ms of quiet; the reply still
    // comes back on the open receiving side.
    shutdown(fd, SHUT_WR);

    std::string raw;
    bool closed = false;
    long long deadline = monotonicMs() + timeoutMs;
    long long lastData = 0;
    for (;;) {
        long long now = monotonicMs();
        long long left = deadline - now;
        if (!raw.empty() && lastData + REPLY_QUIET_MS - now < left)
            left = lastData + REPLY_QUIET_MS - now;
        if (left <= 0)
            break;
        pollfd waiting{fd, POLLIN, 0};
        int ready = poll(&waiting, 1, static_cast<int>(left));
        if (ready < 0 && errno == EINTR)
            continue;
        if (ready < 0) {
            fprintf(stderr, "rfidctl: poll: %s\n", strerror(errno));
            close(fd);
            return RC_UNREACHABLE;
        }
        if (ready == 0)
            continue;
        char buffer[4096];
        size_t room = MAX_REPLY_BYTES - raw.size();
        ssize_t n = recv(fd, buffer, room < sizeof buffer ? room : sizeof buffer, 0);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            closed = true;
            break;
        }
        raw.append(buffer, static_cast<size_t>(n));
        lastData = monotonicMs();
        JsonPtr parsed(cJSON_ParseWithLength(raw.data(), raw.size()));
        if (parsed) {
            close(fd);
            if (!cJSON_IsObject(parsed.get())) {
                fprintf(stderr, "rfidctl: %s: malformed reply (not a JSON object): %s\n", peer.c_str(),
                        shortened(raw).c_str());
                return RC_MALFORMED;
            }
            *reply = std::move(parsed);
            return RC_OK;
        }
        if (raw.size() >= MAX_REPLY_BYTES)
            break;
    }
    close(fd);
    if (raw.empty()) {
        if (closed)
            fprintf(stderr, "rfidctl: %s: the reader closed the connection without answering\n", peer.c_str());
        else
            fprintf(stderr, "rfidctl: %s: no answer within %d ms\n", peer.c_str(), timeoutMs);
        return RC_NO_ANSWER;
    }
    fprintf(stderr, "rfidctl: %s: malformed reply (no complete JSON object): %s\n", peer.c_str(),
            shortened(raw).c_str());
    return RC_MALFORMED;
}

// The "response" member: 1, 0, or -1 when missing or not 0/1.
static int responseOf(const cJSON *reply)
{
    const cJSON *response = cJSON_GetObjectItemCaseSensitive(reply, "response");
    if (!cJSON_IsNumber(response))
        return -1;
    if (response->valuedouble == 1)
        return 1;
    if (response->valuedouble == 0)
        return 0;
    return -1;
}

static int malformed(const in_addr &host, const cJSON *reply, const char *why)
{
    fprintf(stderr, "rfidctl: %s:%d: malformed reply (%s): %s\n", addressText(host).c_str(), READER_CONFIG_PORT,
            why, printUnformatted(reply).c_str());
    return RC_MALFORMED;
}

// Checks "response" of a reply; RC_OK for 1.
static int checkResponse(const in_addr &host, const cJSON *reply, bool json, const char *what)
{
    int response = responseOf(reply);
    if (response == 1)
        return RC_OK;
    if (response < 0)
        return malformed(host, reply, "no \"response\" of 0 or 1");
    if (json) {
        printf("%s\n", printUnformatted(reply).c_str());
        fflush(stdout);
    }
    fprintf(stderr, "rfidctl: the reader at %s answered \"response\": 0: %s\n", addressText(host).c_str(), what);
    return RC_REFUSED;
}

static bool allMembers(const cJSON *object, const char *const *strings, const char *const *numbers)
{
    if (!cJSON_IsObject(object))
        return false;
    for (const char *const *name = strings; name && *name; ++name)
        if (!cJSON_IsString(cJSON_GetObjectItemCaseSensitive(object, *name)))
            return false;
    for (const char *const *name = numbers; name && *name; ++name)
        if (!cJSON_IsNumber(cJSON_GetObjectItemCaseSensitive(object, *name)))
            return false;
    return true;
}

static std::string textOf(const cJSON *object, const char *name)
{
    return visibleText(cJSON_GetObjectItemCaseSensitive(object, name)->valuestring);
}

static long long numberOf(const cJSON *object, const char *name)
{
    double value = cJSON_GetObjectItemCaseSensitive(object, name)->valuedouble;
    if (value > static_cast<double>(LLONG_MAX / 2) || value < -static_cast<double>(LLONG_MAX / 2))
        return 0;
    return static_cast<long long>(value);
}

static void printJsonLine(const cJSON *item)
{
    printf("%s\n", printUnformatted(item).c_str());
    fflush(stdout);
}

// A copy of the reply without its "response" member.
static JsonPtr withoutResponse(const cJSON *reply)
{
    JsonPtr data(cJSON_Duplicate(reply, 1));
    cJSON_DeleteItemFromObjectCaseSensitive(data.get(), "response");
    return data;
}

int runGet(const in_addr &host, const Args &args)
{
    static const char *const allowed[] = {"json", "timeout", nullptr};
    int rc = checkOptions(args, "get", allowed);
    if (rc != RC_OK)
        return rc;
    if (args.words.empty())
        return usageError("get", "get what? id, net, server or telegram");
    if (args.words.size() > 1)
        return usageError("get", "unexpected '" + args.words[1] + "' after get " + args.words[0]);
    const std::string what = args.words[0];
    const char *command = nullptr;
    if (what == "id")
        command = "CMD_GetReaderId";
    else if (what == "net")
        command = "CMD_GetNetConf";
    else if (what == "server")
        command = "CMD_GetServerConf";
    else if (what == "telegram")
        command = "CMD_GetTelegramContent";
    else
        return usageError("get", "cannot get '" + what + "': use id, net, server or telegram");
    int timeoutMs = 0;
    rc = timeoutOption(args, "get", DEFAULT_REPLY_TIMEOUT_MS, &timeoutMs);
    if (rc != RC_OK)
        return rc;
    bool json = hasOption(args, "json");

    JsonPtr reply;
    rc = exchange(host, requestText(command, nullptr), timeoutMs, &reply);
    if (rc != RC_OK)
        return rc;
    rc = checkResponse(host, reply.get(), json,
                       what == "id" ? "it could not read its id" : "it could not read the settings");
    if (rc != RC_OK)
        return rc;

    const cJSON *top = reply.get();
    if (what == "id") {
        static const char *const numbers[] = {"devId", nullptr};
        const cJSON *data = cJSON_GetObjectItemCaseSensitive(top, "Data");
        if (!allMembers(data, nullptr, numbers))
            return malformed(host, top, "no \"Data\" with \"devId\"");
        if (json)
            printJsonLine(data);
        else
            printf("Reader id: %lld\n", numberOf(data, "devId"));
    } else if (what == "net") {
        static const char *const strings[] = {"IP", "Mask", "Gateway", "DNS", "MAC", nullptr};
        const cJSON *data = cJSON_GetObjectItemCaseSensitive(top, "Data");
        if (!allMembers(data, strings, nullptr))
            return malformed(host, top, "no \"Data\" with IP, Mask, Gateway, DNS and MAC");
        if (json) {
            printJsonLine(data);
        } else {
            printf("IP:       %s\n", textOf(data, "IP").c_str());
            printf("Mask:     %s\n", textOf(data, "Mask").c_str());
            printf("Gateway:  %s\n", textOf(data, "Gateway").c_str());
            printf("DNS:      %s\n", textOf(data, "DNS").c_str());
            printf("MAC:      %s\n", textOf(data, "MAC").c_str());
        }
    } else if (what == "server") {
        static const char *const strings[] = {"address", "port", nullptr};
        static const char *const numbers[] = {"type", nullptr};
        if (!allMembers(top, strings, numbers))
            return malformed(host, top, "no \"type\", \"address\" and \"port\"");
        if (json) {
            printJsonLine(withoutResponse(top).get());
        } else {
            long long type = numberOf(top, "type");
            printf("Server address:  %s\n", textOf(top, "address").c_str());
            printf("Server port:     %s\n", textOf(top, "port").c_str());
            printf("Code type:       %lld (%s)\n", type,
                   type == 1 ? "card number followed by a carriage return" : "card number as read");
        }
    } else {
        static const char *const strings[] = {"key", nullptr};
        static const char *const numbers[] = {"readStyle", "keyType", "block", "firstChar", "lastChar", nullptr};
        if (!allMembers(top, strings, numbers))
            return malformed(host, top, "telegram members missing");
        if (json) {
            printJsonLine(withoutResponse(top).get());
        } else {
            long long readStyle = numberOf(top, "readStyle");
            long long keyType = numberOf(top, "keyType");
            printf("Read style:  %lld (%s)\n", readStyle,
                   readStyle == 0 ? "card UID only" : "UID and a slice of one block");
            printf("Key type:    %lld (%s)\n", keyType, keyType == 0 ? "key A" : "key B");
            printf("Key:         %s\n", textOf(top, "key").c_str());
            printf("Block:       %lld\n", numberOf(top, "block"));
            printf("First char:  %lld\n", numberOf(top, "firstChar"));
            printf("Last char:   %lld\n", numberOf(top, "lastChar"));
        }
    }
    fflush(stdout);
    return RC_OK;
}

// --NAME as a number in [min, max] into *value; RC_OK or a usage error.
static int numberOption(const Args &args, const char *name, long long min, long long max, long long *value)
{
    const std::string *text = optionValue(args, name);
    if (!text)
        return usageError("set", std::string("missing --") + name);
    if (!parseInteger(*text, min, max, value))
        return usageError("set", std::string("--") + name + " must be a number from " + std::to_string(min) + " to " +
                                     std::to_string(max) + ", not '" + *text + "'");
    return RC_OK;
}

static int ipOption(const Args &args, const char *name, std::string *value)
{
    const std::string *text = optionValue(args, name);
    if (!text)
        return RC_OK;
    in_addr ignored{};
    if (!parseIpv4(*text, &ignored))
        return usageError("set", std::string("--") + name + " needs an IPv4 address (a.b.c.d), not '" + *text + "'");
    *value = *text;
    return RC_OK;
}

// Sends a set request over TCP and reports the status reply.
static int setOverTcp(const in_addr &host, const Args &args, const char *command, cJSON *data, const char *what,
                      const std::string &done)
{
    int timeoutMs = 0;
    int rc = timeoutOption(args, "set", DEFAULT_REPLY_TIMEOUT_MS, &timeoutMs);
    if (rc != RC_OK) {
        cJSON_Delete(data);
        return rc;
    }
    bool json = hasOption(args, "json");
    JsonPtr reply;
    rc = exchange(host, requestText(command, data), timeoutMs, &reply);
    if (rc != RC_OK)
        return rc;
    rc = checkResponse(host, reply.get(), json, what);
    if (rc != RC_OK)
        return rc;
    if (json)
        printJsonLine(reply.get());
    else
        printf("%s\n", done.c_str());
    fflush(stdout);
    return RC_OK;
}

static int setId(const in_addr &host, const Args &args)
{
    static const char *const allowed[] = {"json", "timeout", nullptr};
    int rc = checkOptions(args, "set", allowed);
    if (rc != RC_OK)
        return rc;
    if (args.words.size() < 2)
        return usageError("set", "set id needs the new id: rfidctl HOST set id N");
    if (args.words.size() > 2)
        return usageError("set", "unexpected '" + args.words[2] + "' after set id " + args.words[1]);
    long long id = 0;
    if (!parseInteger(args.words[1], INT_MIN, INT_MAX, &id))
        return usageError("set", "the reader id must be an integer from " + std::to_string(INT_MIN) + " to " +
                                     std::to_string(INT_MAX) + ", not '" + args.words[1] + "'");
    cJSON *data = cJSON_CreateObject();
    cJSON_AddItemToObject(data, "devId", cJSON_CreateNumber(static_cast<double>(id)));
    return setOverTcp(host, args, "CMD_SetReaderId", data, "it could not store the reader id",
                      "Reader id set to " + std::to_string(id) + ".");
}

static int setServer(const in_addr &host, const Args &args)
{
    static const char *const allowed[] = {"json", "timeout", "ip", "port", "code-type", nullptr};
    int rc = checkOptions(args, "set", allowed);
    if (rc != RC_OK)
        return rc;
    if (args.words.size() > 1)
        return usageError("set", "unexpected '" + args.words[1] + "' after set server");
    std::string ip;
    if (!hasOption(args, "ip"))
        return usageError("set", "missing --ip");
    rc = ipOption(args, "ip", &ip);
    if (rc != RC_OK)
        return rc;
    long long port = 0;
    long long codeType = 0;
    if ((rc = numberOption(args, "port", 0, 65535, &port)) != RC_OK)
        return rc;
    if ((rc = numberOption(args, "code-type", 0, 1, &codeType)) != RC_OK)
        return rc;
    cJSON *data = cJSON_CreateObject();
    cJSON_AddItemToObject(data, "IP", cJSON_CreateString(ip.c_str()));
    cJSON_AddItemToObject(data, "Port", cJSON_CreateNumber(static_cast<double>(port)));
    cJSON_AddItemToObject(data, "CodeType", cJSON_CreateNumber(static_cast<double>(codeType)));
    return setOverTcp(host, args, "CMD_SetServerConf", data, "it could not store the server settings",
                      "Server settings stored: " + ip + ":" + std::to_string(port) + ", code type " +
                          std::to_string(codeType) + ".");
}

static int setTelegram(const in_addr &host, const Args &args)
{
    static const char *const allowed[] = {"json",  "timeout",    "read-style", "key-type", "key",
                                          "block", "first-char", "last-char",  nullptr};
    int rc = checkOptions(args, "set", allowed);
    if (rc != RC_OK)
        return rc;
    if (args.words.size() > 1)
        return usageError("set", "unexpected '" + args.words[1] + "' after set telegram");
    long long readStyle = 0, keyType = 0, block = 0, firstChar = 0, lastChar = 0;
    if ((rc = numberOption(args, "read-style", 0, 255, &readStyle)) != RC_OK ||
        (rc = numberOption(args, "key-type", 0, 255, &keyType)) != RC_OK)
        return rc;
    const std::string *key = optionValue(args, "key");
    if (!key)
        return usageError("set", "missing --key");
    if (!isHexKey(*key))
        return usageError("set", "--key must be exactly 12 hexadecimal digits, not '" + *key + "'");
    if ((rc = numberOption(args, "block", 0, 255, &block)) != RC_OK ||
        (rc = numberOption(args, "first-char", 0, 255, &firstChar)) != RC_OK ||
        (rc = numberOption(args, "last-char", 0, 255, &lastChar)) != RC_OK)
        return rc;
    std::string keyText = *key;
    for (char &c : keyText)
        if (c >= 'a' && c <= 'f')
            c = static_cast<char>(c - 'a' + 'A');
    cJSON *data = cJSON_CreateObject();
    cJSON_AddItemToObject(data, "ReadStyle", cJSON_CreateNumber(static_cast<double>(readStyle)));
    cJSON_AddItemToObject(data, "KeyType", cJSON_CreateNumber(static_cast<double>(keyType)));
    cJSON_AddItemToObject(data, "Key", cJSON_CreateString(keyText.c_str()));
    cJSON_AddItemToObject(data, "Block", cJSON_CreateNumber(static_cast<double>(block)));
    cJSON_AddItemToObject(data, "FirstChar", cJSON_CreateNumber(static_cast<double>(firstChar)));
    cJSON_AddItemToObject(data, "LastChar", cJSON_CreateNumber(static_cast<double>(lastChar)));
    return setOverTcp(host, args, "CMD_SetTelegramContent", data, "it could not store the telegram content",
                      "Telegram content stored.");
}

struct NetValues {
    std::string ip, mask, gateway, dns, mac;
};

// Asks on the terminal. True when the user agrees.
static bool confirmed(const in_addr &host, const NetValues &values, bool udp, const std::string &oldIp)
{
    auto shown = [](const std::string &value) { return value.empty() ? std::string("(unchanged)") : value; };
    fprintf(stderr, "This changes the network settings of the reader at %s%s and reboots it:\n",
            addressText(host).c_str(), udp ? (" (over UDP, if its IP is " + oldIp + ")").c_str() : "");
    fprintf(stderr, "  IP       %s\n", shown(values.ip).c_str());
    fprintf(stderr, "  Mask     %s\n", shown(values.mask).c_str());
    fprintf(stderr, "  Gateway  %s\n", shown(values.gateway).c_str());
    fprintf(stderr, "  DNS      %s\n", shown(values.dns).c_str());
    fprintf(stderr, "  MAC      %s\n", shown(values.mac).c_str());
    fprintf(stderr, "Continue? [y/N] ");
    fflush(stderr);
    char answer[64];
    if (!fgets(answer, sizeof answer, stdin))
        return false;
    std::string text = answer;
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r' || text.back() == ' '))
        text.pop_back();
    return text == "y" || text == "Y" || text == "yes" || text == "YES" || text == "Yes";
}

static int setNet(const in_addr &host, const Args &args)
{
    static const char *const allowed[] = {"json", "timeout", "ip",  "mask",   "gateway", "dns",
                                          "mac",  "udp",     "yes", "old-ip", nullptr};
    int rc = checkOptions(args, "set", allowed);
    if (rc != RC_OK)
        return rc;
    if (args.words.size() > 1)
        return usageError("set", "unexpected '" + args.words[1] + "' after set net");
    NetValues values;
    if ((rc = ipOption(args, "ip", &values.ip)) != RC_OK || (rc = ipOption(args, "mask", &values.mask)) != RC_OK ||
        (rc = ipOption(args, "gateway", &values.gateway)) != RC_OK || (rc = ipOption(args, "dns", &values.dns)) != RC_OK)
        return rc;
    if (const std::string *mac = optionValue(args, "mac")) {
        if (!isMacAddress(*mac))
            return usageError("set", "--mac needs six pairs of hexadecimal digits joined by ':' "
                                     "(e.g. 00:11:22:33:44:55), not '" + *mac + "'");
        values.mac = *mac;
    }
    if (values.ip.empty() && values.mask.empty() && values.gateway.empty() && values.dns.empty() && values.mac.empty())
        return usageError("set", "set net needs at least one of --ip, --mask, --gateway, --dns, --mac");
    bool udp = hasOption(args, "udp");
    std::string oldIp;
    if (udp) {
        if (!hasOption(args, "old-ip"))
            return usageError("set", "--udp needs --old-ip A, the reader's current IP address");
        if ((rc = ipOption(args, "old-ip", &oldIp)) != RC_OK)
            return rc;
    } else if (hasOption(args, "old-ip")) {
        return usageError("set", "--old-ip applies only with --udp");
    }
    int timeoutMs = 0;
    if ((rc = timeoutOption(args, "set", DEFAULT_REPLY_TIMEOUT_MS, &timeoutMs)) != RC_OK)
        return rc;

    if (!hasOption(args, "yes")) {
        if (!isatty(STDIN_FILENO)) {
            fprintf(stderr, "rfidctl: set net makes the reader reboot; without a terminal to confirm on, "
                            "give --yes to go ahead\n");
            return RC_USAGE;
        }
        if (!confirmed(host, values, udp, oldIp)) {
            fprintf(stderr, "rfidctl: cancelled; nothing was sent\n");
            return RC_USAGE;
        }
    }

    cJSON *data = cJSON_CreateObject();
    if (udp)
        cJSON_AddItemToObject(data, "OldIP", cJSON_CreateString(oldIp.c_str()));
    cJSON_AddItemToObject(data, "IP", cJSON_CreateString(values.ip.c_str()));
    cJSON_AddItemToObject(data, "Mask", cJSON_CreateString(values.mask.c_str()));
    cJSON_AddItemToObject(data, "Gateway", cJSON_CreateString(values.gateway.c_str()));
    cJSON_AddItemToObject(data, "DNS", cJSON_CreateString(values.dns.c_str()));
    cJSON_AddItemToObject(data, "MAC", cJSON_CreateString(values.mac.c_str()));

    if (!udp)
        return setOverTcp(host, args, "CMD_SetNetConf", data, "it could not store the network settings",
                          "Network settings stored; the reader reboots now.");

    std::string request = requestText("CMD_SetNetConf", data);
    // HOST may be the broadcast address, to reach a reader whose address
    // does not fit the local network.
    int fd = openBroadcastSocket();
    if (fd < 0)
        return RC_UNREACHABLE;
    sockaddr_in peer{};
    peer.sin_family = AF_INET;
    peer.sin_addr = host;
    peer.sin_port = htons(READER_UDP_PORT);
    ssize_t sent = sendto(fd, request.data(), request.size(), 0, reinterpret_cast<sockaddr *>(&peer), sizeof peer);
    int error = errno;
    close(fd);
    if (sent != static_cast<ssize_t>(request.size())) {
        fprintf(stderr, "rfidctl: %s: cannot send: %s\n", endpointText(peer).c_str(),
                sent < 0 ? strerror(error) : "short write");
        return RC_UNREACHABLE;
    }
    if (hasOption(args, "json")) {
        printf("{\"sent\":true,\"transport\":\"udp\",\"answer\":null}\n");
    } else {
        printf("Network setup sent to %s over UDP. No answer ever comes over UDP: if the reader's current IP is "
               "%s, it stores the settings and reboots.\n",
               endpointText(peer).c_str(), oldIp.c_str());
    }
    fflush(stdout);
    return RC_OK;
}

int runSet(const in_addr &host, const Args &args)
{
    if (args.words.empty())
        return usageError("set", "set what? id, server, telegram or net");
    const std::string &what = args.words[0];
    if (what == "id")
        return setId(host, args);
    if (what == "server")
        return setServer(host, args);
    if (what == "telegram")
        return setTelegram(host, args);
    if (what == "net")
        return setNet(host, args);
    return usageError("set", "cannot set '" + what + "': use id, server, telegram or net");
}
