// readNetConfig on arbitrary contents of the network settings file, then writeNetConfig of what was
// read. Checks beyond "no crash": every field read ends inside itself; a write that succeeds reads back
// the same table; a write that fails leaves the file as it was.
#include "core/config.h"
#include "fuzz/support.h"
#include "store/store.h"

#include <cstring>
#include <fstream>
#include <sstream>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    fuzz::board();
    std::string input(reinterpret_cast<const char *>(data), size);
    std::ofstream(paths.netSettingsFile, std::ios::binary | std::ios::trunc) << input;
    NetSettings table = {}, again = {};
    bool read = readNetConfig(table) == 0;
    for (const NetSetting &entry : table)
        read = read && memchr(entry.name, 0, sizeof entry.name) && memchr(entry.value, 0, sizeof entry.value);
    if (!read)
        fuzz::fail("readNetConfig failed, or a field read has no terminator", data, size);
    if (writeNetConfig(table) != 0) {
        std::stringstream now;
        now << std::ifstream(paths.netSettingsFile, std::ios::binary).rdbuf();
        if (now.str() != input)
            fuzz::fail("a failed write changed the file", data, size);
        return 0;
    }
    bool same = readNetConfig(again) == 0;
    for (int i = 0; i < NET_SETTING_COUNT; ++i)
        same = same && !strcmp(table[i].name, again[i].name) && !strcmp(table[i].value, again[i].value);
    if (!same)
        fuzz::fail("a written table reads back differently", data, size);
    return 0;
}
