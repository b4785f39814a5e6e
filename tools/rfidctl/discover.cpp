/*
 * rfidctl discover: the reader search.
 *
 * The search goes out as one broadcast datagram to UDP port 8000 from a port
 * of our own; every reader answers "TcpReader Response" with a broadcast to
 * that port. The answer carries nothing else: the reader's address is the
 * datagram's source address.
 */
#include "tools/rfidctl/rfidctl.h"

#include <arpa/inet.h>
#include <cjson/cJSON.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

static const char SEARCH_ANSWER[] = "TcpReader Response";

static std::string searchRequest()
{
    cJSON *request = cJSON_CreateObject();
    cJSON_AddItemToObject(request, "Command", cJSON_CreateString("CMD_SearchReader"));
    cJSON_AddItemToObject(request, "Data", cJSON_CreateString("TcpReader Request"));
    char *text = cJSON_PrintUnformatted(request);
    std::string result = text ? text : "";
    cJSON_free(text);
    cJSON_Delete(request);
    return result;
}

// The answer is exactly the 18 bytes; trailing NUL bytes or line ends that
// another implementation might add are tolerated.
static bool isSearchAnswer(const char *data, size_t length)
{
    size_t answerLength = sizeof SEARCH_ANSWER - 1;
    if (length < answerLength || memcmp(data, SEARCH_ANSWER, answerLength) != 0)
        return false;
    for (size_t i = answerLength; i < length; ++i)
        if (data[i] != '\0' && data[i] != '\r' && data[i] != '\n')
            return false;
    return true;
}

// Index of the network interface that has `address`, 0 if none has.
static unsigned interfaceOf(const in_addr &address)
{
    ifaddrs *list = nullptr;
    if (getifaddrs(&list) != 0)
        return 0;
    unsigned index = 0;
    for (const ifaddrs *entry = list; entry && index == 0; entry = entry->ifa_next) {
        if (!entry->ifa_addr || entry->ifa_addr->sa_family != AF_INET)
            continue;
        const sockaddr_in *own = reinterpret_cast<const sockaddr_in *>(entry->ifa_addr);
        if (own->sin_addr.s_addr == address.s_addr)
            index = if_nametoindex(entry->ifa_name);
    }
    freeifaddrs(list);
    return index;
}

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

    // The answers are broadcasts, which only a socket bound to the wildcard
    // address receives. So the socket stays unbound to any address, and an
    // --interface address picks the source address and interface of the
    // search itself.
    unsigned interfaceIndex = 0;
    if (source.s_addr != htonl(INADDR_ANY)) {
        interfaceIndex = interfaceOf(source);
        if (interfaceIndex == 0)
            return usageError("discover", "--interface " + addressText(source) +
                                              ": no network interface of this host has that address");
    }
    int fd = openBroadcastSocket();
    if (fd < 0)
        return RC_UNREACHABLE;
    sockaddr_in local{};
    local.sin_family = AF_INET;
    local.sin_addr.s_addr = htonl(INADDR_ANY);
    local.sin_port = 0;
    if (bind(fd, reinterpret_cast<sockaddr *>(&local), sizeof local) != 0) {
        fprintf(stderr, "rfidctl: cannot open a UDP port: %s\n", strerror(errno));
        close(fd);
        return RC_UNREACHABLE;
    }

    std::string request = searchRequest();
    sockaddr_in everyone{};
    everyone.sin_family = AF_INET;
    everyone.sin_addr.s_addr = htonl(INADDR_BROADCAST);
    everyone.sin_port = htons(READER_UDP_PORT);
    iovec part{request.data(), request.size()};
    msghdr message{};
    message.msg_name = &everyone;
    message.msg_namelen = sizeof everyone;
    message.msg_iov = &part;
    message.msg_iovlen = 1;
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(in_pktinfo))] = {};
    if (interfaceIndex != 0) {
        message.msg_control = control;
        message.msg_controllen = sizeof control;
        cmsghdr *header = CMSG_FIRSTHDR(&message);
        header->cmsg_level = IPPROTO_IP;
        header->cmsg_type = IP_PKTINFO;
        header->cmsg_len = CMSG_LEN(sizeof(in_pktinfo));
        in_pktinfo info{};
        info.ipi_ifindex = static_cast<int>(interfaceIndex);
        info.ipi_spec_dst = source;
        memcpy(CMSG_DATA(header), &info, sizeof info);
    }
    if (sendmsg(fd, &message, 0) < 0) {
        fprintf(stderr, "rfidctl: cannot send the search to 255.255.255.255:%d: %s\n", READER_UDP_PORT,
                strerror(errno));
        close(fd);
        return RC_UNREACHABLE;
    }

    std::vector<std::string> readers;
    long long deadline = monotonicMs() + timeoutMs;
    for (;;) {
        long long left = deadline - monotonicMs();
        if (left <= 0)
            break;
        pollfd waiting{fd, POLLIN, 0};
        int ready = poll(&waiting, 1, static_cast<int>(left));
        if (ready < 0 && errno == EINTR)
            continue;
        if (ready <= 0)
            break;
        char buffer[256];
        sockaddr_in sender{};
        socklen_t length = sizeof sender;
        ssize_t n = recvfrom(fd, buffer, sizeof buffer, MSG_DONTWAIT, reinterpret_cast<sockaddr *>(&sender), &length);
        if (n < 0)
            continue; // an ICMP error of the send, or nothing after all
        if (!isSearchAnswer(buffer, static_cast<size_t>(n)))
            continue;
        std::string address = addressText(sender.sin_addr);
        if (std::find(readers.begin(), readers.end(), address) != readers.end())
            continue;
        readers.push_back(address);
        if (!json) {
            printf("%s\n", address.c_str());
            fflush(stdout);
        }
    }
    close(fd);

    if (json) {
        cJSON *list = cJSON_CreateArray();
        for (const std::string &address : readers)
            cJSON_AddItemToArray(list, cJSON_CreateString(address.c_str()));
        cJSON *reply = cJSON_CreateObject();
        cJSON_AddItemToObject(reply, "readers", list);
        char *text = cJSON_PrintUnformatted(reply);
        printf("%s\n", text ? text : "{}");
        fflush(stdout);
        cJSON_free(text);
        cJSON_Delete(reply);
    }
    if (readers.empty()) {
        fprintf(stderr, "rfidctl: no reader answered within %d ms\n", timeoutMs);
        return RC_NO_ANSWER;
    }
    return RC_OK;
}
