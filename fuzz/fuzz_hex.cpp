/*
 * hexChar2Hex on a NUL-terminated copy of the input.
 *
 * Checks beyond "no crash": the destination is a heap block of exactly
 * length / 2 bytes (so a byte written past it is reported); the result is
 * length / 2; every pair of two hexadecimal digits gives its byte, and a
 * non-digit keeps the nibble of the same position in the previous pair
 * (0 in the first pair).
 */
#include "fuzz/support.h"
#include "store/store.h"

#include <cstdlib>
#include <cstring>

static int digitValue(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    char *text = fuzz::textCopy(data, size);
    size_t length = strlen(text);
    size_t pairs = length / 2;
    uint8_t *bytes = static_cast<uint8_t *>(malloc(pairs));
    int count = hexChar2Hex(text, bytes);
    if (count < 0 || static_cast<size_t>(count) != pairs)
        fuzz::fail("result is not half the text length", data, size);

    int high = 0, low = 0;
    for (size_t i = 0; i < pairs; ++i) {
        int digit = digitValue(text[2 * i]);
        if (digit >= 0)
            high = digit;
        digit = digitValue(text[2 * i + 1]);
        if (digit >= 0)
            low = digit;
        if (bytes[i] != high * 16 + low)
            fuzz::fail("a byte differs from its pair of digits", data, size);
    }
    free(bytes);
    free(text);
    return 0;
}
