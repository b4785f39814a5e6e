/* trim and parse_cmd on one read of the control listener: trim takes exactly
 * the trailing spaces, CRs and LFs; parse_cmd accepts exactly 6 or 12 bits
 * after an optional 'L', storing what the bit groups give, and nothing else. */
#include "core/core.h"
#include "core/state.h"
#include "fuzz/support.h"

#include <cstdlib>
#include <cstring>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const char *input = reinterpret_cast<const char *>(data);
    std::string text(input, strnlen(input, size));
    text.erase(text.find_last_not_of(" \r\n") + 1);
    char *trimmed = fuzz::textCopy(data, size), *parsed = fuzz::textCopy(data, size);
    trim(trimmed);
    if (text != trimmed)
        fuzz::fail("trim gave another text", data, size);

    bool tens = text[0] == 'L';
    std::string bits = text.substr(tens ? 1 : 0);
    bool valid = bits.find_first_not_of("01") == std::string::npos && (bits.size() == 6 || bits.size() == 12);
    auto group = [&](size_t i, bool scaled) {
        size_t at = 3 * i; // group i of a long enough text: 4a + 2b + c, or ten times that
        return uint8_t(at + 3 > bits.size() ? 0 : (4 * bits[at] + 2 * bits[at + 1] + bits[at + 2] - 7 * '0') * (scaled ? 10 : 1));
    };
    ControlRequest want{uint8_t(bits.size() / 6), group(0, tens), group(1, tens), group(2, false), group(3, tens)}, got{};
    takeControlRequest(&got); // nothing pending before
    bool accepted = parse_cmd(parsed) == 0, taken = takeControlRequest(&got);
    if (accepted != valid || taken != valid || (valid && memcmp(&got, &want, sizeof got) != 0))
        fuzz::fail(valid ? "a bit string refused or stored wrong" : "a text that is no bit string accepted", data, size);
    free(trimmed), free(parsed);
    return 0;
}
