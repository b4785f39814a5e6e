/* tcpserver::parse_data and response on a socket pair and a scratch board put
 * back before every input: `result` set by set commands only; no reply to
 * REPLY_NONE, else a JSON object led by "response", for a set command 1 exactly
 * when its status is 0 (and then the database holds what memory holds); the
 * reboot command runs exactly after a stored network setup. */
#include "core/state.h"
#include "fuzz/support.h"
#include "net/tcpserver.h"
#include "store/store.h"
#include "tests/support/harness.h"

#include <sys/socket.h>

#include <cjson/cJSON.h>
#include <cstdlib>
#include <cstring>

using namespace tcpserver;

static int pair[2];

extern "C" int LLVMFuzzerInitialize(int *, char ***) { return socketpair(AF_UNIX, SOCK_STREAM, 0, pair); }

// Whether the database holds what a stored set command put in memory.
static bool stored(int kind, const char *text)
{
    ServerConf server{}, memory = getSrvConf();
    TelegramContent telegram{}, content = getTelegramContent();
    int devId = 0;
    cJSON *request = cJSON_Parse(text), *asked = cJSON_GetObjectItem(cJSON_GetObjectItem(request, "Data"), "devId");
    bool same = kind == REPLY_SET_SERVER_CONF ? readServerConfig(server.ip, &server.port, &server.codeType) == 0 &&
                    !strcmp(server.ip, memory.ip) && server.port == memory.port && server.codeType == memory.codeType
                : kind == REPLY_SET_TELEGRAM_CONTENT ? readTelegramContent(&telegram.readStyle, &telegram.keyType,
                    telegram.key, &telegram.block, &telegram.firstChar, &telegram.lastChar) == 0 &&
                    !memcmp(&telegram, &content, sizeof telegram)
                : kind != REPLY_SET_READER_ID || (cJSON_IsNumber(asked) && !readDevId(&devId) && devId == asked->valueint);
    cJSON_Delete(request);
    return same;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    fuzz::resetBoard();
    char *text = fuzz::textCopy(data, size);
    result = 7777; // no status is ever 7777
    int kind = parse_data(pair[0], text), status = result;
    bool set = kind == REPLY_SET_NET_CONF || kind == REPLY_SET_READER_ID || kind == REPLY_SET_SERVER_CONF ||
               kind == REPLY_SET_TELEGRAM_CONTENT;
    if ((set ? status != 0 && status != -1 : status != 7777) || !harness::recvQuiet(pair[1], 0, 0).empty())
        fuzz::fail("parse_data set result for a command that stores nothing, or sent something", data, size);
    response(pair[0], kind);
    std::string reply = harness::recvQuiet(pair[1], 0, 0);
    cJSON *json = cJSON_Parse(reply.c_str());
    const cJSON *first = json ? json->child : nullptr;
    bool led = first && first->string && !strcmp(first->string, "response") && cJSON_IsNumber(first) &&
               first->valueint >= 0 && first->valueint <= 1 && (!set || first->valueint == (status == 0));
    cJSON_Delete(json);
    if (kind == REPLY_NONE ? !reply.empty() : !led || (set && status == 0 && !stored(kind, text)))
        fuzz::fail("a wrong reply, or a stored set command whose database differs from memory", data, size);
    if (fuzz::rebootRequests() != (kind == REPLY_SET_NET_CONF && status == 0))
        fuzz::fail("the reboot command ran without a stored network setup, or not after one", data, size);
    free(text);
    return 0;
}
