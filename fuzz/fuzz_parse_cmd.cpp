/*
 * trim and parse_cmd of the device-control listener on a NUL-terminated copy
 * of the input (the listener hands parse_cmd the text of one read).
 *
 * Checks beyond "no crash": trim removes exactly the trailing spaces,
 * carriage returns and line feeds; parse_cmd accepts exactly the bit strings
 * of 6 or 12 bits (7 or 13 characters after an upper-case 'L'), stores the
 * request that the bit groups give and sets OPT_CONTROL, and leaves the
 * pending request alone for everything else.
 */
#include "core/core.h"
#include "core/state.h"
#include "fuzz/support.h"

#include <cstdlib>
#include <cstring>
#include <string>

static std::string referenceTrim(std::string text)
{
    while (!text.empty() && (text.back() == ' ' || text.back() == '\r' || text.back() == '\n'))
        text.pop_back();
    return text;
}

static int group(const std::string &bits, int index, bool tens)
{
    int value = 4 * (bits[3 * index] - '0') + 2 * (bits[3 * index + 1] - '0') + (bits[3 * index + 2] - '0');
    return tens ? 10 * value : value;
}

// The request a trimmed text stands for; false when it is refused.
static bool referenceRequest(const std::string &text, ControlRequest *request)
{
    bool tens = !text.empty() && text[0] == 'L';
    std::string bits = tens ? text.substr(1) : text;
    if (bits.find_first_not_of("01") != std::string::npos)
        return false;
    if (bits.size() != 6 && bits.size() != 12)
        return false;
    *request = ControlRequest{};
    request->form = bits.size() == 6 ? 1 : 2;
    request->relay = static_cast<uint8_t>(group(bits, 0, tens));
    request->buzzer = static_cast<uint8_t>(group(bits, 1, tens));
    if (bits.size() == 12) {
        request->light1 = static_cast<uint8_t>(group(bits, 2, false));
        request->light2 = static_cast<uint8_t>(group(bits, 3, tens));
    }
    return true;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    std::string text(reinterpret_cast<const char *>(data),
                     strnlen(reinterpret_cast<const char *>(data), size));
    std::string trimmed = referenceTrim(text);

    char *copy = fuzz::textCopy(data, size);
    trim(copy);
    if (trimmed != copy)
        fuzz::fail("trim gave another text", data, size);
    free(copy);

    ControlRequest pending{};
    takeControlRequest(&pending); // start with nothing pending

    copy = fuzz::textCopy(data, size);
    int status = parse_cmd(copy);
    free(copy);

    ControlRequest expected{};
    bool accepted = referenceRequest(trimmed, &expected);
    ControlRequest stored{};
    bool taken = takeControlRequest(&stored);
    if (accepted != (status == 0))
        fuzz::fail(accepted ? "a valid bit string refused" : "an invalid text accepted", data, size);
    if (taken != accepted)
        fuzz::fail(accepted ? "accepted without OPT_CONTROL" : "refused text set OPT_CONTROL", data, size);
    if (accepted && memcmp(&stored, &expected, sizeof stored) != 0)
        fuzz::fail("stored request differs from the bit groups", data, size);
    return 0;
}
