/* udpserver::parse_data on a scratch board put back before every input: kind 0
 * leaves `result` alone, a search's status is 0 exactly for "TcpReader Request",
 * a refused network setup leaves the settings file as it was. */
#include "core/config.h"
#include "core/state.h"
#include "fuzz/support.h"
#include "net/udpserver.h"
#include "tests/support/harness.h"

#include <cjson/cJSON.h>
#include <cstdlib>
#include <cstring>

using namespace udpserver;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const std::string &provisioned = fuzz::resetBoard();
    char *text = fuzz::textCopy(data, size);
    result = 7777; // no status is ever 7777
    int kind = parse_data(text), status = result;
    cJSON *request = cJSON_Parse(text), *search = cJSON_GetObjectItem(request, "Data");
    int match = cJSON_IsString(search) && strcmp(search->valuestring, "TcpReader Request") == 0 ? 0 : -1;
    cJSON_Delete(request);
    if (kind == UDP_NONE ? status != 7777 : kind == UDP_SEARCH_READER ? status != match
                                                                      : kind != UDP_SET_NET_CONF || status < -1 || status > 0)
        fuzz::fail("kind or status does not follow the datagram", data, size);
    if (kind == UDP_SET_NET_CONF && status != 0 && harness::readFile(paths.netSettingsFile) != provisioned)
        fuzz::fail("a refused network setup changed the settings file", data, size);
    free(text);
    return 0;
}
