// hexChar2Hex on a NUL-terminated copy of the input. Checks beyond "no crash": it returns length / 2 and
// writes into a heap block of exactly that many bytes; each byte comes from its pair of digits, a
// non-digit keeping the nibble of the same position in the previous pair (0 in the first pair).
#include "fuzz/support.h"
#include "store/store.h"

#include <cctype>
#include <cstdlib>
#include <cstring>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    char *text = fuzz::textCopy(data, size);
    size_t pairs = strlen(text) / 2;
    uint8_t *bytes = static_cast<uint8_t *>(malloc(pairs));
    if (hexChar2Hex(text, bytes) != static_cast<int>(pairs))
        fuzz::fail("result is not half the text length", data, size);
    int nibble[2] = {0, 0};
    for (size_t i = 0; i < 2 * pairs; ++i) {
        unsigned char c = static_cast<unsigned char>(text[i]);
        nibble[i % 2] = !isxdigit(c) ? nibble[i % 2] : c <= '9' ? c - '0' : (c | 0x20) - 'a' + 10;
        if (i % 2 && bytes[i / 2] != nibble[0] * 16 + nibble[1])
            fuzz::fail("a byte differs from its pair of digits", data, size);
    }
    free(bytes);
    free(text);
    return 0;
}
