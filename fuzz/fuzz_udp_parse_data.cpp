/*
 * The discovery service's request handler (udpserver::parse_data) on a
 * NUL-terminated copy of the input, against the settings file of a scratch
 * board put back before every input. parse_data never sends anything: only
 * the service thread answers a search (sendBroadcase), and this target never
 * runs that thread.
 *
 * Checks beyond "no crash": the kind is 0, 16 or 32; kind 0 leaves `result`
 * alone; a search sets 0 exactly for the "TcpReader Request" data; a network
 * setup that does not name the board's current address ("OldIP") leaves the
 * settings file as it was, and one that reports failure does too.
 */
#include "core/config.h"
#include "core/state.h"
#include "fuzz/support.h"
#include "net/udpserver.h"

#include <cjson/cJSON.h>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>

using namespace udpserver;

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    fuzz::board();
    return 0;
}

static std::string settingsFile()
{
    std::ifstream in(paths.netSettingsFile, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    fuzz::resetBoard();
    char *text = fuzz::textCopy(data, size);

    result = 7777; // no real status is ever 7777
    int kind = parse_data(text);
    int status = result;
    switch (kind) {
    case UDP_NONE:
        if (status != 7777)
            fuzz::fail("an ignored datagram changed result", data, size);
        break;
    case UDP_SEARCH_READER: {
        cJSON *request = cJSON_Parse(text);
        const cJSON *item = cJSON_GetObjectItem(request, "Data");
        bool match = cJSON_IsString(item) && strcmp(item->valuestring, "TcpReader Request") == 0;
        cJSON_Delete(request);
        if (status != (match ? 0 : -1))
            fuzz::fail("search status does not follow its \"Data\"", data, size);
        break;
    }
    case UDP_SET_NET_CONF:
        if (status != 0 && status != -1)
            fuzz::fail("a network setup left a status other than 0 and -1", data, size);
        if (status != 0 && settingsFile() != fuzz::provisionedNetSettings())
            fuzz::fail("a refused network setup changed the settings file", data, size);
        break;
    default:
        fuzz::fail("parse_data returned no request kind", data, size);
    }
    if (fuzz::rebootRequests() != 0)
        fuzz::fail("parse_data ran the reboot command", data, size);
    free(text);
    return 0;
}
