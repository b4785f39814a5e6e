/*
 * rfidctl HOST get/set: the JSON configuration service on TCP port 8001, and
 * the network setup over UDP port 8000. The conversations themselves are in
 * readers.cpp; this is the command line around them: options, output, exit
 * codes.
 */
#include "tools/rfidctl/readers.h"

#include <arpa/inet.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <string>

static int failed(int rc, const std::string &error)
{
    fprintf(stderr, "rfidctl: %s\n", error.c_str());
    return rc;
}

// A refusal ("response": 0) is shown with the reply itself under --json.
static int refused(int rc, const JsonPtr &reply, bool json, const std::string &error)
{
    if (rc == RC_REFUSED && json && reply) {
        printf("%s\n", printUnformatted(reply.get()).c_str());
        fflush(stdout);
    }
    return failed(rc, error);
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
    if (!isSettingName(what))
        return usageError("get", "cannot get '" + what + "': use id, net, server or telegram");
    int timeoutMs = 0;
    rc = timeoutOption(args, "get", DEFAULT_REPLY_TIMEOUT_MS, &timeoutMs);
    if (rc != RC_OK)
        return rc;
    bool json = hasOption(args, "json");

    JsonPtr reply;
    std::string error;
    rc = readSetting(host, what, timeoutMs, &reply, &error);
    if (rc != RC_OK)
        return refused(rc, reply, json, error);
    JsonPtr values = settingOf(what, reply.get());
    const cJSON *data = values.get();
    if (json) {
        printJsonLine(data);
    } else if (what == "id") {
        printf("Reader id: %lld\n", numberOf(data, "devId"));
    } else if (what == "net") {
        printf("IP:       %s\n", textOf(data, "IP").c_str());
        printf("Mask:     %s\n", textOf(data, "Mask").c_str());
        printf("Gateway:  %s\n", textOf(data, "Gateway").c_str());
        printf("DNS:      %s\n", textOf(data, "DNS").c_str());
        printf("MAC:      %s\n", textOf(data, "MAC").c_str());
    } else if (what == "server") {
        long long type = numberOf(data, "type");
        printf("Server address:  %s\n", textOf(data, "address").c_str());
        printf("Server port:     %s\n", textOf(data, "port").c_str());
        printf("Code type:       %lld (%s)\n", type,
               type == 1 ? "card number followed by a carriage return" : "card number as read");
    } else {
        long long readStyle = numberOf(data, "readStyle");
        long long keyType = numberOf(data, "keyType");
        printf("Read style:  %lld (%s)\n", readStyle, readStyle == 0 ? "card UID only" : "UID and a slice of one block");
        printf("Key type:    %lld (%s)\n", keyType, keyType == 0 ? "key A" : "key B");
        printf("Key:         %s\n", textOf(data, "key").c_str());
        printf("Block:       %lld\n", numberOf(data, "block"));
        printf("First char:  %lld\n", numberOf(data, "firstChar"));
        printf("Last char:   %lld\n", numberOf(data, "lastChar"));
    }
    fflush(stdout);
    return RC_OK;
}

// A checked number as the reader will store it ("0080" is 80).
static std::string numberText(const std::string &text)
{
    long long value = 0;
    parseInteger(text, LLONG_MIN, LLONG_MAX, &value);
    return std::to_string(value);
}

// The values of "set WHAT" from the options, checked field by field in the
// order of the field table; the first problem is the usage error.
static int checkedValues(const Args &args, const std::vector<SetField> &fields,
                         std::vector<const std::string *> *values)
{
    for (const SetField &field : fields) {
        const std::string *text = optionValue(args, field.name);
        if (!text && field.required)
            return usageError("set", std::string("missing --") + field.name);
        std::string problem = text ? fieldProblem(field, *text) : "";
        if (!problem.empty())
            return usageError("set", std::string("--") + field.name + " " + problem);
        values->push_back(text);
    }
    return RC_OK;
}

// Sends a set request over TCP and reports the status reply.
static int setOverTcp(const in_addr &host, const Args &args, const char *command, cJSON *data,
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
    std::string error;
    rc = sendSetting(host, command, data, timeoutMs, &reply, &error);
    if (rc != RC_OK)
        return refused(rc, reply, json, error);
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
    std::vector<SetField> fields = setFields("id");
    if (!fieldProblem(fields[0], args.words[1]).empty())
        return usageError("set", "the reader id must be an integer from " + std::to_string(INT_MIN) + " to " +
                                     std::to_string(INT_MAX) + ", not '" + args.words[1] + "'");
    return setOverTcp(host, args, "CMD_SetReaderId", setData(fields, {&args.words[1]}),
                      "Reader id set to " + numberText(args.words[1]) + ".");
}

static int setServer(const in_addr &host, const Args &args)
{
    static const char *const allowed[] = {"json", "timeout", "ip", "port", "code-type", nullptr};
    int rc = checkOptions(args, "set", allowed);
    if (rc != RC_OK)
        return rc;
    if (args.words.size() > 1)
        return usageError("set", "unexpected '" + args.words[1] + "' after set server");
    std::vector<SetField> fields = setFields("server");
    std::vector<const std::string *> values;
    if ((rc = checkedValues(args, fields, &values)) != RC_OK)
        return rc;
    return setOverTcp(host, args, "CMD_SetServerConf", setData(fields, values),
                      "Server settings stored: " + *values[0] + ":" + numberText(*values[1]) + ", code type " +
                          numberText(*values[2]) + ".");
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
    std::vector<SetField> fields = setFields("telegram");
    std::vector<const std::string *> values;
    if ((rc = checkedValues(args, fields, &values)) != RC_OK)
        return rc;
    return setOverTcp(host, args, "CMD_SetTelegramContent", setData(fields, values), "Telegram content stored.");
}

// Asks on the terminal. True when the user agrees.
static bool confirmed(const in_addr &host, const std::vector<const std::string *> &values, bool udp,
                      const std::string &oldIp)
{
    auto shown = [](const std::string *value) { return value ? *value : std::string("(unchanged)"); };
    fprintf(stderr, "This changes the network settings of the reader at %s%s and reboots it:\n",
            addressText(host).c_str(), udp ? (" (over UDP, if its IP is " + oldIp + ")").c_str() : "");
    fprintf(stderr, "  IP       %s\n", shown(values[0]).c_str());
    fprintf(stderr, "  Mask     %s\n", shown(values[1]).c_str());
    fprintf(stderr, "  Gateway  %s\n", shown(values[2]).c_str());
    fprintf(stderr, "  DNS      %s\n", shown(values[3]).c_str());
    fprintf(stderr, "  MAC      %s\n", shown(values[4]).c_str());
    return askYes("Continue?");
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
    std::vector<SetField> fields = setFields("net");
    std::vector<const std::string *> values;
    if ((rc = checkedValues(args, fields, &values)) != RC_OK)
        return rc;
    bool any = false;
    for (const std::string *value : values)
        any = any || (value && !value->empty());
    if (!any)
        return usageError("set", "set net needs at least one of --ip, --mask, --gateway, --dns, --mac");
    bool udp = hasOption(args, "udp");
    std::string oldIp;
    if (udp) {
        const std::string *text = optionValue(args, "old-ip");
        if (!text)
            return usageError("set", "--udp needs --old-ip A, the reader's current IP address");
        in_addr ignored{};
        if (!parseIpv4(*text, &ignored))
            return usageError("set", "--old-ip needs an IPv4 address (a.b.c.d), not '" + *text + "'");
        oldIp = *text;
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

    cJSON *data = setData(fields, values);
    if (!udp)
        return setOverTcp(host, args, "CMD_SetNetConf", data, "Network settings stored; the reader reboots now.");

    // Over UDP the reader also checks "OldIP", which leads the "Data" object.
    JsonPtr tcpData(data);
    cJSON *udpData = cJSON_CreateObject();
    cJSON_AddItemToObject(udpData, "OldIP", cJSON_CreateString(oldIp.c_str()));
    for (const cJSON *item = tcpData->child; item; item = item->next)
        cJSON_AddItemToObject(udpData, item->string, cJSON_Duplicate(item, 1));
    cJSON *request = cJSON_CreateObject();
    cJSON_AddItemToObject(request, "Command", cJSON_CreateString("CMD_SetNetConf"));
    cJSON_AddItemToObject(request, "Data", udpData);
    std::string text = printUnformatted(request);
    cJSON_Delete(request);
    // HOST may be the broadcast address, to reach a reader whose address
    // does not fit the local network.
    std::string error;
    int fd = openBroadcastSocket(&error);
    if (fd < 0)
        return failed(RC_UNREACHABLE, error);
    sockaddr_in peer{};
    peer.sin_family = AF_INET;
    peer.sin_addr = host;
    peer.sin_port = htons(READER_UDP_PORT);
    ssize_t sent = sendto(fd, text.data(), text.size(), 0, reinterpret_cast<sockaddr *>(&peer), sizeof peer);
    int sendError = errno;
    close(fd);
    if (sent != static_cast<ssize_t>(text.size()))
        return failed(RC_UNREACHABLE, endpointText(peer) + ": cannot send: " +
                                          (sent < 0 ? strerror(sendError) : "short write"));
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
