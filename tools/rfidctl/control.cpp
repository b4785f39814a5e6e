/*
 * rfidctl HOST control BITS: one bit-string command to the device-control
 * port (TCP 10001), sent by readers.cpp; the reader never answers.
 */
#include "tools/rfidctl/readers.h"

#include <cstdio>
#include <string>

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
        return usageError("control", bitsProblem(bits));
    int timeoutMs = 0;
    if ((rc = timeoutOption(args, "control", DEFAULT_REPLY_TIMEOUT_MS, &timeoutMs)) != RC_OK)
        return rc;

    std::string error;
    rc = sendControl(host, bits, timeoutMs, &error);
    if (rc != RC_OK) {
        fprintf(stderr, "rfidctl: %s\n", error.c_str());
        return rc;
    }
    std::string peer = addressText(host) + ":" + std::to_string(READER_CONTROL_PORT);
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
