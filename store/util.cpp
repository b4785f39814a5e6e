#include "store/store.h"

#include <cstring>

// Value of one hexadecimal digit, or -1 for any other character.
static int hexDigit(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    return -1;
}

int hexChar2Hex(const char *text, uint8_t *bytes)
{
    size_t count = strlen(text) / 2;
    // A character that is no hexadecimal digit keeps the nibble that the same
    // position of the previous pair gave; before the first pair that is 0.
    int high = 0;
    int low = 0;
    for (size_t i = 0; i < count; ++i) {
        int digit = hexDigit(text[2 * i]);
        if (digit >= 0)
            high = digit;
        digit = hexDigit(text[2 * i + 1]);
        if (digit >= 0)
            low = digit;
        bytes[i] = static_cast<uint8_t>(high * 16 + low);
    }
    return static_cast<int>(count);
}
