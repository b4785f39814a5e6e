/*
 * The protocols of the reader, for the command line and the console alike.
 *
 * Configuration (TCP 8001): the service takes a request as complete after
 * 200 ms of silence, or at once when the client closes its sending side, and
 * then answers with one JSON object (formatted, no line end after it). So the
 * request goes out in one write followed by a half-close, and the reply is
 * read until it parses as a complete JSON value, the peer closes, a short
 * quiet time passes after the last byte, or the time limit runs out.
 *
 * Discovery (UDP 8000): the search goes out as one broadcast datagram from a
 * port of our own; every reader answers "TcpReader Response" with a
 * broadcast to that port. The answer carries nothing else: the reader's
 * address is the datagram's source address.
 */
#include "tools/rfidctl/readers.h"

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstring>
#include <unordered_set>

static constexpr size_t MAX_REPLY_BYTES = 65536;
static constexpr long long REPLY_QUIET_MS = 300;
static const char SEARCH_ANSWER[] = "TcpReader Response";
// Room for the answers of a few hundred readers arriving at once: each
// datagram takes far more buffer than its 18 bytes.
static constexpr int DISCOVER_BUFFER_BYTES = 4 << 20;

std::string printUnformatted(const cJSON *item)
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

// One request, one reply over TCP 8001; on RC_OK *reply holds the object.
// timeoutMs bounds the whole exchange, connection included, however the
// reader paces its bytes.
static int exchange(const in_addr &host, const std::string &request, int timeoutMs, JsonPtr *reply,
                    std::string *error)
{
    long long deadline = monotonicMs() + timeoutMs;
    std::string peer = addressText(host) + ":" + std::to_string(READER_CONFIG_PORT);
    int fd = connectWithin(host, READER_CONFIG_PORT, timeoutMs, error);
    if (fd < 0)
        return RC_UNREACHABLE;

    ssize_t sent = send(fd, request.data(), request.size(), MSG_NOSIGNAL);
    if (sent != static_cast<ssize_t>(request.size())) {
        *error = peer + ": cannot send the request: " + (sent < 0 ? strerror(errno) : "short write");
        close(fd);
        return RC_UNREACHABLE;
    }
    // The half-close tells the service that the request is complete, so it
    // answers at once instead of after its 200 ms of quiet; the reply still
    // comes back on the open receiving side.
    shutdown(fd, SHUT_WR);

    std::string raw;
    bool closed = false, quiet = false;
    long long lastData = 0;
    for (;;) {
        long long now = monotonicMs();
        long long left = deadline - now;
        if (left <= 0)
            break;
        if (!raw.empty() && lastData + REPLY_QUIET_MS - now <= 0) {
            quiet = true;
            break;
        }
        if (!raw.empty() && lastData + REPLY_QUIET_MS - now < left)
            left = lastData + REPLY_QUIET_MS - now;
        pollfd waiting{fd, POLLIN, 0};
        int ready = poll(&waiting, 1, static_cast<int>(left));
        if (ready < 0 && errno == EINTR)
            continue;
        if (ready < 0) {
            *error = std::string("poll: ") + strerror(errno);
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
                *error = peer + ": malformed reply (not a JSON object): " + shortened(raw);
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
            *error = peer + ": the reader closed the connection without answering";
        else
            *error = peer + ": no answer within " + std::to_string(timeoutMs) + " ms";
        return RC_NO_ANSWER;
    }
    // Bytes still coming when the time ran out: a reader too slow to count
    // on, not one whose reply is known to be wrong.
    if (!closed && !quiet && raw.size() < MAX_REPLY_BYTES) {
        *error = peer + ": no complete answer within " + std::to_string(timeoutMs) + " ms (" +
                 std::to_string(raw.size()) + " bytes came)";
        return RC_NO_ANSWER;
    }
    *error = peer + ": malformed reply (no complete JSON object): " + shortened(raw);
    return RC_MALFORMED;
}

static int malformed(const in_addr &host, const cJSON *reply, const char *why, std::string *error)
{
    *error = addressText(host) + ":" + std::to_string(READER_CONFIG_PORT) + ": malformed reply (" + why +
             "): " + printUnformatted(reply);
    return RC_MALFORMED;
}

// Checks "response" of a reply: RC_OK for 1, RC_REFUSED for 0.
static int checkResponse(const in_addr &host, const cJSON *reply, const char *what, std::string *error)
{
    const cJSON *response = cJSON_GetObjectItemCaseSensitive(reply, "response");
    if (cJSON_IsNumber(response) && response->valuedouble == 1)
        return RC_OK;
    if (!cJSON_IsNumber(response) || response->valuedouble != 0)
        return malformed(host, reply, "no \"response\" of 0 or 1", error);
    *error = "the reader at " + addressText(host) + " answered \"response\": 0: " + what;
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

// ------------------------------------------------------------------ settings

struct Setting {
    const char *name;
    const char *command;
    bool inData; // the values sit in "Data", else beside "response"
    const char *const *strings;
    const char *const *numbers;
    const char *missing; // why the reply is malformed when members lack
};

static const char *const ID_NUMBERS[] = {"devId", nullptr};
static const char *const NET_STRINGS[] = {"IP", "Mask", "Gateway", "DNS", "MAC", nullptr};
static const char *const SERVER_STRINGS[] = {"address", "port", nullptr};
static const char *const SERVER_NUMBERS[] = {"type", nullptr};
static const char *const TELEGRAM_STRINGS[] = {"key", nullptr};
static const char *const TELEGRAM_NUMBERS[] = {"readStyle", "keyType", "block", "firstChar", "lastChar", nullptr};

static const Setting SETTINGS[] = {
    {"id", "CMD_GetReaderId", true, nullptr, ID_NUMBERS, "no \"Data\" with \"devId\""},
    {"net", "CMD_GetNetConf", true, NET_STRINGS, nullptr, "no \"Data\" with IP, Mask, Gateway, DNS and MAC"},
    {"server", "CMD_GetServerConf", false, SERVER_STRINGS, SERVER_NUMBERS, "no \"type\", \"address\" and \"port\""},
    {"telegram", "CMD_GetTelegramContent", false, TELEGRAM_STRINGS, TELEGRAM_NUMBERS, "telegram members missing"},
};

static const Setting *settingNamed(const std::string &what)
{
    for (const Setting &setting : SETTINGS)
        if (what == setting.name)
            return &setting;
    return nullptr;
}

bool isSettingName(const std::string &what) { return settingNamed(what) != nullptr; }

int readSetting(const in_addr &host, const std::string &what, int timeoutMs, JsonPtr *reply, std::string *error)
{
    const Setting *setting = settingNamed(what);
    if (!setting) {
        *error = "cannot get '" + what + "': use id, net, server or telegram";
        return RC_USAGE;
    }
    int rc = exchange(host, requestText(setting->command, nullptr), timeoutMs, reply, error);
    if (rc != RC_OK)
        return rc;
    rc = checkResponse(host, reply->get(), what == "id" ? "it could not read its id" : "it could not read the settings",
                       error);
    if (rc != RC_OK)
        return rc;
    const cJSON *values = setting->inData ? cJSON_GetObjectItemCaseSensitive(reply->get(), "Data") : reply->get();
    if (!allMembers(values, setting->strings, setting->numbers))
        return malformed(host, reply->get(), setting->missing, error);
    return RC_OK;
}

JsonPtr settingOf(const std::string &what, const cJSON *reply)
{
    const Setting *setting = settingNamed(what);
    if (setting && setting->inData)
        return JsonPtr(cJSON_Duplicate(cJSON_GetObjectItemCaseSensitive(reply, "Data"), 1));
    JsonPtr values(cJSON_Duplicate(reply, 1));
    cJSON_DeleteItemFromObjectCaseSensitive(values.get(), "response");
    return values;
}

std::vector<SetField> setFields(const std::string &what)
{
    if (what == "id")
        return {{"id", "devId", FIELD_NUMBER, INT_MIN, INT_MAX, true}};
    if (what == "server")
        return {{"ip", "IP", FIELD_IPV4, 0, 0, true},
                {"port", "Port", FIELD_NUMBER, 0, 65535, true},
                {"code-type", "CodeType", FIELD_NUMBER, 0, 1, true}};
    if (what == "telegram")
        return {{"read-style", "ReadStyle", FIELD_NUMBER, 0, 255, true},
                {"key-type", "KeyType", FIELD_NUMBER, 0, 255, true},
                {"key", "Key", FIELD_HEX_KEY, 0, 0, true},
                {"block", "Block", FIELD_NUMBER, 0, 255, true},
                {"first-char", "FirstChar", FIELD_NUMBER, 0, 255, true},
                {"last-char", "LastChar", FIELD_NUMBER, 0, 255, true}};
    if (what == "net")
        return {{"ip", "IP", FIELD_IPV4, 0, 0, false},
                {"mask", "Mask", FIELD_IPV4, 0, 0, false},
                {"gateway", "Gateway", FIELD_IPV4, 0, 0, false},
                {"dns", "DNS", FIELD_IPV4, 0, 0, false},
                {"mac", "MAC", FIELD_MAC, 0, 0, false}};
    return {};
}

std::string fieldProblem(const SetField &field, const std::string &text)
{
    long long number = 0;
    in_addr address{};
    switch (field.kind) {
    case FIELD_NUMBER:
        if (parseInteger(text, field.min, field.max, &number))
            return "";
        return "must be a number from " + std::to_string(field.min) + " to " + std::to_string(field.max) + ", not '" +
               text + "'";
    case FIELD_IPV4:
        return parseIpv4(text, &address) ? "" : "needs an IPv4 address (a.b.c.d), not '" + text + "'";
    case FIELD_HEX_KEY:
        return isHexKey(text) ? "" : "must be exactly 12 hexadecimal digits, not '" + text + "'";
    case FIELD_MAC:
        return isMacAddress(text) ? ""
                                  : "needs six pairs of hexadecimal digits joined by ':' (e.g. 00:11:22:33:44:55), "
                                    "not '" + text + "'";
    }
    return "cannot be checked";
}

cJSON *setData(const std::vector<SetField> &fields, const std::vector<const std::string *> &values)
{
    cJSON *data = cJSON_CreateObject();
    for (size_t i = 0; i < fields.size(); ++i) {
        std::string text = i < values.size() && values[i] ? *values[i] : "";
        long long number = 0;
        if (fields[i].kind == FIELD_NUMBER) {
            parseInteger(text, fields[i].min, fields[i].max, &number);
            cJSON_AddItemToObject(data, fields[i].jsonKey, cJSON_CreateNumber(static_cast<double>(number)));
            continue;
        }
        if (fields[i].kind == FIELD_HEX_KEY)
            for (char &c : text)
                if (c >= 'a' && c <= 'f')
                    c = static_cast<char>(c - 'a' + 'A');
        cJSON_AddItemToObject(data, fields[i].jsonKey, cJSON_CreateString(text.c_str()));
    }
    return data;
}

struct SetCommand {
    const char *what;
    const char *command;
    const char *refusal;
};

static const SetCommand SET_COMMANDS[] = {
    {"id", "CMD_SetReaderId", "it could not store the reader id"},
    {"server", "CMD_SetServerConf", "it could not store the server settings"},
    {"telegram", "CMD_SetTelegramContent", "it could not store the telegram content"},
    {"net", "CMD_SetNetConf", "it could not store the network settings"},
};

const char *setCommand(const std::string &what)
{
    for (const SetCommand &entry : SET_COMMANDS)
        if (what == entry.what)
            return entry.command;
    return nullptr;
}

int sendSetting(const in_addr &host, const char *command, cJSON *data, int timeoutMs, JsonPtr *reply,
                std::string *error)
{
    const char *refusal = "it could not carry out the command";
    for (const SetCommand &entry : SET_COMMANDS)
        if (strcmp(command, entry.command) == 0)
            refusal = entry.refusal;
    int rc = exchange(host, requestText(command, data), timeoutMs, reply, error);
    if (rc != RC_OK)
        return rc;
    return checkResponse(host, reply->get(), refusal, error);
}

// ------------------------------------------------------------------ discovery

// The answer is exactly the 18 bytes; trailing NUL bytes or line ends that
// another implementation might add are tolerated.
static bool isSearchAnswer(const char *data, size_t length)
{
    size_t answerLength = sizeof SEARCH_ANSWER - 1;
    if (length < answerLength || memcmp(data, SEARCH_ANSWER, answerLength) != 0)
        return false;
    for (size_t i = answerLength; i < length; ++i)
        if (data[i] != '\0' && data[i] != '\r' && data[i] != '\n')
            return false;
    return true;
}

// Index of the network interface that has `address`, 0 if none has.
static unsigned interfaceOf(const in_addr &address)
{
    ifaddrs *list = nullptr;
    if (getifaddrs(&list) != 0)
        return 0;
    unsigned index = 0;
    for (const ifaddrs *entry = list; entry && index == 0; entry = entry->ifa_next) {
        if (!entry->ifa_addr || entry->ifa_addr->sa_family != AF_INET)
            continue;
        const sockaddr_in *own = reinterpret_cast<const sockaddr_in *>(entry->ifa_addr);
        if (own->sin_addr.s_addr == address.s_addr)
            index = if_nametoindex(entry->ifa_name);
    }
    freeifaddrs(list);
    return index;
}

int discoverReaders(const in_addr &source, int timeoutMs, std::vector<std::string> *readers,
                    const std::function<void(const std::string &)> &onAnswer, std::string *error,
                    unsigned long long *unlisted)
{
    // The answers are broadcasts, which only a socket bound to the wildcard
    // address receives. So the socket stays unbound to any address, and a
    // `source` address picks the source address and interface of the search
    // itself.
    unsigned interfaceIndex = 0;
    if (source.s_addr != htonl(INADDR_ANY)) {
        interfaceIndex = interfaceOf(source);
        if (interfaceIndex == 0) {
            *error = "--interface " + addressText(source) + ": no network interface of this host has that address";
            return RC_USAGE;
        }
    }
    int fd = openBroadcastSocket(error);
    if (fd < 0)
        return RC_UNREACHABLE;
    // Every reader answers within moments of the others; the default receive
    // buffer holds fewer answers than a large segment sends. The forced size
    // needs privileges; without them the system's ceiling applies.
    int room = DISCOVER_BUFFER_BYTES;
    if (setsockopt(fd, SOL_SOCKET, SO_RCVBUFFORCE, &room, sizeof room) != 0)
        setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &room, sizeof room);
    sockaddr_in local{};
    local.sin_family = AF_INET;
    local.sin_addr.s_addr = htonl(INADDR_ANY);
    local.sin_port = 0;
    if (bind(fd, reinterpret_cast<sockaddr *>(&local), sizeof local) != 0) {
        *error = std::string("cannot open a UDP port: ") + strerror(errno);
        close(fd);
        return RC_UNREACHABLE;
    }

    JsonPtr search(cJSON_CreateObject());
    cJSON_AddItemToObject(search.get(), "Command", cJSON_CreateString("CMD_SearchReader"));
    cJSON_AddItemToObject(search.get(), "Data", cJSON_CreateString("TcpReader Request"));
    std::string request = printUnformatted(search.get());
    sockaddr_in everyone{};
    everyone.sin_family = AF_INET;
    everyone.sin_addr.s_addr = htonl(INADDR_BROADCAST);
    everyone.sin_port = htons(READER_UDP_PORT);
    iovec part{request.data(), request.size()};
    msghdr message{};
    message.msg_name = &everyone;
    message.msg_namelen = sizeof everyone;
    message.msg_iov = &part;
    message.msg_iovlen = 1;
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(in_pktinfo))] = {};
    if (interfaceIndex != 0) {
        message.msg_control = control;
        message.msg_controllen = sizeof control;
        cmsghdr *header = CMSG_FIRSTHDR(&message);
        header->cmsg_level = IPPROTO_IP;
        header->cmsg_type = IP_PKTINFO;
        header->cmsg_len = CMSG_LEN(sizeof(in_pktinfo));
        in_pktinfo info{};
        info.ipi_ifindex = static_cast<int>(interfaceIndex);
        info.ipi_spec_dst = source;
        memcpy(CMSG_DATA(header), &info, sizeof info);
    }
    if (sendmsg(fd, &message, 0) < 0) {
        *error = "cannot send the search to 255.255.255.255:" + std::to_string(READER_UDP_PORT) + ": " +
                 strerror(errno);
        close(fd);
        return RC_UNREACHABLE;
    }

    // The window is a deadline: a segment that keeps answering (or a device
    // that forges answers without pause) must not hold the search open.
    std::unordered_set<in_addr_t> seen;
    seen.reserve(MAX_DISCOVERED_READERS);
    unsigned long long beyond = 0;
    long long deadline = monotonicMs() + timeoutMs;
    for (long long left = timeoutMs; left > 0; left = deadline - monotonicMs()) {
        pollfd waiting{fd, POLLIN, 0};
        int ready = poll(&waiting, 1, static_cast<int>(left));
        if (ready < 0 && errno == EINTR)
            continue;
        if (ready <= 0)
            break;
        // What is queued is taken before the next wait, as long as the
        // window lasts.
        while (monotonicMs() < deadline) {
            char buffer[256];
            sockaddr_in sender{};
            socklen_t length = sizeof sender;
            ssize_t n =
                recvfrom(fd, buffer, sizeof buffer, MSG_DONTWAIT, reinterpret_cast<sockaddr *>(&sender), &length);
            if (n < 0 && errno == EINTR)
                continue;
            if (n < 0)
                break; // nothing more, or an ICMP error of the send
            if (!isSearchAnswer(buffer, static_cast<size_t>(n)) || seen.count(sender.sin_addr.s_addr))
                continue;
            if (seen.size() >= MAX_DISCOVERED_READERS) {
                ++beyond;
                continue;
            }
            seen.insert(sender.sin_addr.s_addr);
            std::string address = addressText(sender.sin_addr);
            readers->push_back(address);
            if (onAnswer)
                onAnswer(address);
        }
    }
    close(fd);
    if (unlisted)
        *unlisted = beyond;
    return RC_OK;
}

// ------------------------------------------------------------------ control

// Accepts exactly the forms the reader takes: 6 or 12 bits, optionally after
// an upper-case 'L'. Fills in the values the reader will derive.
bool parseBits(const std::string &text, ControlValues *values)
{
    bool tens = !text.empty() && text[0] == 'L';
    std::string bits = tens ? text.substr(1) : text;
    if (bits.size() != 6 && bits.size() != 12)
        return false;
    for (char c : bits)
        if (c != '0' && c != '1')
            return false;
    int group[4] = {};
    for (size_t i = 0; i < bits.size() / 3; ++i)
        group[i] = 4 * (bits[3 * i] - '0') + 2 * (bits[3 * i + 1] - '0') + (bits[3 * i + 2] - '0');
    int scale = tens ? 10 : 1;
    values->form = bits.size() == 6 ? 1 : 2;
    values->relay = group[0] * scale;
    values->buzzer = group[1] * scale;
    values->light1 = group[2];
    values->light2 = group[3] * scale;
    return true;
}

std::string bitsProblem(const std::string &bits)
{
    return "invalid BITS '" + visibleText(bits) +
           "': give 6 or 12 of the characters 0 and 1, optionally after an upper-case L (e.g. 010001 or "
           "L010001101011)";
}

int sendControl(const in_addr &host, const std::string &bits, int timeoutMs, std::string *error)
{
    // The reader never answers; the text is sent once and the connection
    // closed.
    int fd = connectWithin(host, READER_CONTROL_PORT, timeoutMs, error);
    if (fd < 0)
        return RC_UNREACHABLE;
    ssize_t sent = send(fd, bits.data(), bits.size(), MSG_NOSIGNAL);
    int sendError = errno;
    shutdown(fd, SHUT_WR);
    close(fd);
    if (sent != static_cast<ssize_t>(bits.size())) {
        *error = addressText(host) + ":" + std::to_string(READER_CONTROL_PORT) +
                 ": cannot send: " + (sent < 0 ? strerror(sendError) : "short write");
        return RC_UNREACHABLE;
    }
    return RC_OK;
}
