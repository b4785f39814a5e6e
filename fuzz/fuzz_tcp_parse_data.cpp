/*
 * The configuration service's command handler and reply step
 * (tcpserver::parse_data, then tcpserver::response) on one end of a
 * socketpair, with the other end drained after every input; the reader
 * database and settings file of a scratch board, put back before every input.
 *
 * Checks beyond "no crash":
 * - the kind is one of the reply kinds; parse_data leaves `result` alone for
 *   everything but the set commands;
 * - no reply for REPLY_NONE; otherwise exactly one JSON object whose first
 *   member is "response", 1 or 0; a set command answers 1 exactly when its
 *   status is 0;
 * - the get commands on the untouched board answer byte for byte what the
 *   board holds (reader id 1, empty server settings, zero telegram content);
 * - a set command that reports success has stored what memory now holds
 *   (server settings, telegram content, reader id read back from the
 *   database);
 * - the reboot command runs exactly for a stored network setup.
 */
#include "core/state.h"
#include "fuzz/support.h"
#include "net/tcpserver.h"
#include "store/store.h"

#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cjson/cJSON.h>
#include <cstdlib>
#include <cstring>
#include <string>

using namespace tcpserver;

static int daemonSide = -1;
static int clientSide = -1;

static const char STATUS_OK[] = "{\n\t\"response\":\t1\n}";
static const char STATUS_FAILED[] = "{\n\t\"response\":\t0\n}";
static const char READER_ID_1[] = "{\n\t\"response\":\t1,\n\t\"Data\":\t{\n\t\t\"devId\":\t1\n\t}\n}";
static const char EMPTY_SERVER[] =
    "{\n\t\"response\":\t1,\n\t\"type\":\t0,\n\t\"address\":\t\"\",\n\t\"port\":\t\"0\"\n}";
static const char ZERO_TELEGRAM[] =
    "{\n\t\"response\":\t1,\n\t\"readStyle\":\t0,\n\t\"keyType\":\t0,\n\t\"key\":\t\"000000000000\",\n\t"
    "\"block\":\t0,\n\t\"firstChar\":\t0,\n\t\"lastChar\":\t0\n}";

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    fuzz::board();
    int pair[2];
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair) != 0) {
        perror("fuzz: socketpair");
        abort();
    }
    daemonSide = pair[0];
    clientSide = pair[1];
    fcntl(clientSide, F_SETFL, O_NONBLOCK);
    return 0;
}

static std::string drain()
{
    std::string text;
    char buffer[4096];
    for (;;) {
        ssize_t n = recv(clientSide, buffer, sizeof buffer, 0);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return text;
        text.append(buffer, static_cast<size_t>(n));
    }
}

static bool isKind(int kind)
{
    switch (kind) {
    case REPLY_NONE:
    case REPLY_SET_NET_CONF:
    case REPLY_GET_NET_CONF:
    case REPLY_SET_READER_ID:
    case REPLY_GET_READER_ID:
    case REPLY_SET_SERVER_CONF:
    case REPLY_GET_SERVER_CONF:
    case REPLY_SET_TELEGRAM_CONTENT:
    case REPLY_GET_TELEGRAM_CONTENT:
        return true;
    default:
        return false;
    }
}

static bool isSetKind(int kind)
{
    return kind == REPLY_SET_NET_CONF || kind == REPLY_SET_READER_ID || kind == REPLY_SET_SERVER_CONF ||
           kind == REPLY_SET_TELEGRAM_CONTENT;
}

// The "devId" number of the request's "Data", as the handler reads it.
static bool requestedDevId(const char *text, int *devId)
{
    cJSON *request = cJSON_Parse(text);
    const cJSON *item = cJSON_GetObjectItem(cJSON_GetObjectItem(request, "Data"), "devId");
    bool found = cJSON_IsNumber(item);
    if (found)
        *devId = item->valueint;
    cJSON_Delete(request);
    return found;
}

static void checkStored(int kind, const char *text, const uint8_t *data, size_t size)
{
    if (kind == REPLY_SET_SERVER_CONF) {
        ServerConf inMemory = getSrvConf();
        ServerConf stored{};
        if (readServerConfig(stored.ip, &stored.port, &stored.codeType) != 0)
            fuzz::fail("stored server settings cannot be read back", data, size);
        if (strcmp(stored.ip, inMemory.ip) != 0 || stored.port != inMemory.port ||
            stored.codeType != inMemory.codeType)
            fuzz::fail("stored server settings differ from srvConf", data, size);
    } else if (kind == REPLY_SET_TELEGRAM_CONTENT) {
        TelegramContent inMemory = getTelegramContent();
        TelegramContent stored{};
        if (readTelegramContent(&stored.readStyle, &stored.keyType, stored.key, &stored.block,
                                &stored.firstChar, &stored.lastChar) != 0)
            fuzz::fail("stored telegram content cannot be read back", data, size);
        if (memcmp(&stored, &inMemory, sizeof stored) != 0)
            fuzz::fail("stored telegram content differs from telegramContent", data, size);
    } else if (kind == REPLY_SET_READER_ID) {
        int wanted = 0, stored = 0;
        if (!requestedDevId(text, &wanted))
            fuzz::fail("reader id stored without a devId number", data, size);
        if (readDevId(&stored) != 0 || stored != wanted)
            fuzz::fail("stored reader id differs from devId", data, size);
    }
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    fuzz::resetBoard();
    char *text = fuzz::textCopy(data, size);
    long reboots = fuzz::rebootRequests();

    result = 7777; // no real status is ever 7777
    int kind = parse_data(daemonSide, text);
    if (!isKind(kind))
        fuzz::fail("parse_data returned no reply kind", data, size);
    int status = result;
    if (!isSetKind(kind) && status != 7777)
        fuzz::fail("parse_data changed result for a command that stores nothing", data, size);
    if (isSetKind(kind) && status != 0 && status != -1)
        fuzz::fail("a set command left a status other than 0 and -1", data, size);
    if (!drain().empty())
        fuzz::fail("parse_data sent something", data, size);

    if (response(daemonSide, kind) != 0)
        fuzz::fail("response returned non-zero", data, size);
    std::string reply = drain();

    if (kind == REPLY_NONE) {
        if (!reply.empty())
            fuzz::fail("a reply for REPLY_NONE", data, size);
    } else {
        cJSON *parsed = cJSON_Parse(reply.c_str());
        const cJSON *first = parsed ? parsed->child : nullptr;
        if (!cJSON_IsObject(parsed) || !first || !first->string || strcmp(first->string, "response") != 0 ||
            !cJSON_IsNumber(first) || (first->valueint != 0 && first->valueint != 1))
            fuzz::fail("the reply is no object led by \"response\": 0 or 1", data, size);
        cJSON_Delete(parsed);
    }

    switch (kind) {
    case REPLY_SET_NET_CONF:
    case REPLY_SET_READER_ID:
    case REPLY_SET_SERVER_CONF:
    case REPLY_SET_TELEGRAM_CONTENT:
        if (reply != (status == 0 ? STATUS_OK : STATUS_FAILED))
            fuzz::fail("status reply does not match the command's status", data, size);
        if (status == 0)
            checkStored(kind, text, data, size);
        break;
    case REPLY_GET_READER_ID:
        if (reply != READER_ID_1)
            fuzz::fail("CMD_GetReaderId did not answer reader id 1", data, size);
        break;
    case REPLY_GET_SERVER_CONF:
        if (reply != EMPTY_SERVER)
            fuzz::fail("CMD_GetServerConf did not answer the empty settings", data, size);
        break;
    case REPLY_GET_TELEGRAM_CONTENT:
        if (reply != ZERO_TELEGRAM)
            fuzz::fail("CMD_GetTelegramContent did not answer the zero content", data, size);
        break;
    default:
        break;
    }

    long rebooted = fuzz::rebootRequests() - reboots;
    long wanted = kind == REPLY_SET_NET_CONF && status == 0 ? 1 : 0;
    if (rebooted != wanted)
        fuzz::fail(wanted ? "no reboot after a stored network setup"
                          : "a reboot without a stored network setup",
                   data, size);
    free(text);
    return 0;
}
