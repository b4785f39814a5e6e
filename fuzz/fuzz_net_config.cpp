/*
 * readNetConfig on arbitrary contents of the network settings file, then
 * writeNetConfig of what was read.
 *
 * Checks beyond "no crash": every name and value read ends with a NUL inside
 * its field and holds what the line had before / after its first '=' (cut at
 * 31 / 63 characters; a line without '=' is all value); entries without a
 * line stay empty. A write that succeeds reads back into the same table; a
 * write that fails leaves the file as it was.
 */
#include "core/config.h"
#include "fuzz/support.h"
#include "store/store.h"

#include <cstring>
#include <fstream>
#include <sstream>
#include <string>

static std::string fileContents()
{
    std::ifstream in(paths.netSettingsFile, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

static bool putFile(const uint8_t *data, size_t size)
{
    std::ofstream out(paths.netSettingsFile, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char *>(data), static_cast<std::streamsize>(size));
    return bool(out);
}

// A field's text: what its bytes hold up to the first NUL, or its cut
// length, whichever comes first.
static std::string fieldText(const char *bytes, size_t length, size_t fieldSize)
{
    if (length > fieldSize - 1)
        length = fieldSize - 1;
    return std::string(bytes, strnlen(bytes, length));
}

static void expectRead(const uint8_t *data, size_t size, const NetSetting *table)
{
    const char *text = reinterpret_cast<const char *>(data);
    size_t at = 0;
    for (int entry = 0; entry < NET_SETTING_COUNT; ++entry) {
        const NetSetting &setting = table[entry];
        if (!memchr(setting.name, '\0', sizeof setting.name) ||
            !memchr(setting.value, '\0', sizeof setting.value))
            fuzz::fail("a field read without its terminator", data, size);
        std::string name, value;
        if (at < size) {
            const char *newline = static_cast<const char *>(memchr(text + at, '\n', size - at));
            size_t lineLength = newline ? static_cast<size_t>(newline - (text + at)) : size - at;
            const char *line = text + at;
            const char *equals = static_cast<const char *>(memchr(line, '=', lineLength));
            if (equals) {
                size_t nameLength = static_cast<size_t>(equals - line);
                name = fieldText(line, nameLength, sizeof setting.name);
                value = fieldText(equals + 1, lineLength - nameLength - 1, sizeof setting.value);
            } else {
                value = fieldText(line, lineLength, sizeof setting.value);
            }
            at += lineLength + (newline ? 1 : 0);
        }
        if (name != setting.name || value != setting.value)
            fuzz::fail("an entry read differs from its line", data, size);
    }
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    fuzz::board();
    if (!putFile(data, size))
        fuzz::fail("cannot write the settings file", data, size);

    NetSettings table;
    memset(table, 0, sizeof table);
    if (readNetConfig(table) != 0)
        fuzz::fail("readNetConfig failed on an existing file", data, size);
    expectRead(data, size, table);

    std::string before = fileContents();
    if (writeNetConfig(table) == 0) {
        NetSettings again;
        memset(again, 0, sizeof again);
        if (readNetConfig(again) != 0)
            fuzz::fail("readNetConfig failed after a write", data, size);
        for (int entry = 0; entry < NET_SETTING_COUNT; ++entry)
            if (strcmp(table[entry].name, again[entry].name) != 0 ||
                strcmp(table[entry].value, again[entry].value) != 0)
                fuzz::fail("a written table reads back differently", data, size);
    } else if (fileContents() != before) {
        fuzz::fail("a failed write changed the file", data, size);
    }
    return 0;
}
