/*
 * rfidctl discover: the reader search (readers.cpp), listed as the answers
 * arrive or as one JSON object at the end, with the count of answers that
 * came after the list was full.
 */
#include "tools/rfidctl/readers.h"

#include <arpa/inet.h>

#include <cstdio>
#include <string>
#include <vector>

int runDiscover(const Args &args)
{
    static const char *const allowed[] = {"timeout", "interface", "json", nullptr};
    int rc = checkOptions(args, "discover", allowed);
    if (rc != RC_OK)
        return rc;
    if (!args.words.empty())
        return usageError("discover", "unexpected '" + args.words[0] + "'");
    int timeoutMs = 0;
    rc = timeoutOption(args, "discover", DEFAULT_DISCOVER_TIMEOUT_MS, &timeoutMs);
    if (rc != RC_OK)
        return rc;
    in_addr source{};
    source.s_addr = htonl(INADDR_ANY);
    if (const std::string *text = optionValue(args, "interface"))
        if (!parseIpv4(*text, &source))
            return usageError("discover", "--interface needs a local IPv4 address (a.b.c.d), not '" + *text + "'");
    bool json = hasOption(args, "json");

    std::vector<std::string> readers;
    std::string error;
    unsigned long long unlisted = 0;
    rc = discoverReaders(source, timeoutMs, &readers, [json](const std::string &address) {
        if (!json) {
            printf("%s\n", address.c_str());
            fflush(stdout);
        }
    }, &error, &unlisted);
    if (rc == RC_USAGE)
        return usageError("discover", error);
    if (rc != RC_OK) {
        fprintf(stderr, "rfidctl: %s\n", error.c_str());
        return rc;
    }
    if (json) {
        JsonPtr list(cJSON_CreateArray());
        for (const std::string &address : readers)
            cJSON_AddItemToArray(list.get(), cJSON_CreateString(address.c_str()));
        JsonPtr reply(cJSON_CreateObject());
        cJSON_AddItemToObject(reply.get(), "readers", list.release());
        cJSON_AddNumberToObject(reply.get(), "unlisted", static_cast<double>(unlisted));
        printf("%s\n", printUnformatted(reply.get()).c_str());
        fflush(stdout);
    }
    if (unlisted > 0)
        fprintf(stderr,
                "rfidctl: warning: %llu more answers came from other addresses after the first %zu readers; they "
                "are not listed (any device on the network can answer a search: check the list)\n",
                unlisted, MAX_DISCOVERED_READERS);
    if (readers.empty()) {
        fprintf(stderr, "rfidctl: no reader answered within %d ms\n", timeoutMs);
        return RC_NO_ANSWER;
    }
    return RC_OK;
}
