/*
 * rfidctl HOST control BITS: one bit-string command to the device-control
 * port (TCP 10001). The reader never answers; the text is sent once and the
 * connection closed.
 */
#include "tools/rfidctl/rfidctl.h"

#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

struct ControlValues {
    int form = 0;
    int relay = 0, buzzer = 0, light1 = 0, light2 = 0;
};

// Accepts exactly the forms the reader takes: 6 or 12 bits, optionally after
// an upper-case 'L'. Fills in the values the reader will derive.
static bool parseBits(const std::string &text, ControlValues *values)
{
    bool tens = !text.empty() && text[0] == 'L';
    std::string bits = tens ? text.substr(1) : text;
    if (bits.size() != 6 && bits.size() != 12)
        return false;
    for (char c : bits)
        if (c != '0' && c != '1')
            return false;
    int group[4] = {};
    for (size_t i = 0; i < bits.size() / 3; ++i)
        group[i] = 4 * (bits[3 * i] - '0') + 2 * (bits[3 * i + 1] - '0') + (bits[3 * i + 2] - '0');
    int scale = tens ? 10 : 1;
    values->form = bits.size() == 6 ? 1 : 2;
    values->relay = group[0] * scale;
    values->buzzer = group[1] * scale;
    values->light1 = group[2];
    values->light2 = group[3] * scale;
    return true;
}

int runControl(const in_addr &host, const Args &args)
{
    static const char *const allowed[] = {"json", "timeout", nullptr};
    int rc = checkOptions(args, "control", allowed);
    if (rc != RC_OK)
        return rc;
    if (args.words.empty())
        return usageError("control", "control needs BITS, e.g. 010001");
    if (args.words.size() > 1)
        return usageError("control", "unexpected '" + args.words[1] + "' after the bits");
    const std::string &bits = args.words[0];
    ControlValues values;
    if (!parseBits(bits, &values))
        return usageError("control", "invalid BITS '" + visibleText(bits) +
                                         "': give 6 or 12 of the characters 0 and 1, optionally after an "
                                         "upper-case L (e.g. 010001 or L010001101011)");
    int timeoutMs = 0;
    if ((rc = timeoutOption(args, "control", DEFAULT_REPLY_TIMEOUT_MS, &timeoutMs)) != RC_OK)
        return rc;

    int fd = connectWithin(host, READER_CONTROL_PORT, timeoutMs, &rc);
    if (fd < 0)
        return rc;
    ssize_t sent = send(fd, bits.data(), bits.size(), MSG_NOSIGNAL);
    int error = errno;
    shutdown(fd, SHUT_WR);
    close(fd);
    std::string peer = addressText(host) + ":" + std::to_string(READER_CONTROL_PORT);
    if (sent != static_cast<ssize_t>(bits.size())) {
        fprintf(stderr, "rfidctl: %s: cannot send: %s\n", peer.c_str(), sent < 0 ? strerror(error) : "short write");
        return RC_UNREACHABLE;
    }

    if (hasOption(args, "json")) {
        printf("{\"sent\":\"%s\",\"form\":%d,\"relay\":%d,\"buzzer\":%d,\"light1\":%d,\"light2\":%d}\n", bits.c_str(),
               values.form, values.relay, values.buzzer, values.light1, values.light2);
    } else if (values.form == 1) {
        printf("Sent %s to %s (relay %d, buzzer %d). The reader gives no answer.\n", bits.c_str(), peer.c_str(),
               values.relay, values.buzzer);
    } else {
        printf("Sent %s to %s (relay %d, buzzer %d, light 1 %d, light 2 %d). The reader gives no answer.\n",
               bits.c_str(), peer.c_str(), values.relay, values.buzzer, values.light1, values.light2);
    }
    fflush(stdout);
    return RC_OK;
}
