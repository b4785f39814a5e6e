/*
 * Discovery and network-setup service on UDP port 8000.
 */
#include "net/udpserver.h"

#include "core/config.h"
#include "core/log.h"
#include "core/state.h"
#include "net/tcpserver.h"
#include "store/store.h"

#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cjson/cJSON.h>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>

// At most 1024 bytes of a datagram are taken (the receive discards the
// rest); the buffer has one byte more, so the text always ends with a zero
// byte inside it.
static constexpr int DATAGRAM_MAX = 1024;

static const char SEARCH_REQUEST[] = "TcpReader Request";
static const char SEARCH_ANSWER[] = "TcpReader Response"; // sent without its zero byte

using JsonPtr = std::unique_ptr<cJSON, decltype(&cJSON_Delete)>;

void *thread_udpserver(void *)
{
    sockaddr_in local{};
    local.sin_family = AF_INET;
    local.sin_addr.s_addr = htonl(INADDR_ANY);
    local.sin_port = htons(UDP_PORT);

    // Close-on-exec, like the configuration service's socket.
    int server = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, IPPROTO_UDP);
    if (server < 0) {
        logPerror("Create socket failed");
        logExit(-1);
    }
    if (bind(server, reinterpret_cast<sockaddr *>(&local), sizeof local) < 0) {
        logPerror("Server bind failed");
        logExit(-1);
    }

    char datagram[DATAGRAM_MAX + 1];
    for (;;) {
        memset(datagram, 0, sizeof datagram);
        sockaddr_in sender{};
        socklen_t senderLength = sizeof sender;
        ssize_t received =
            recvfrom(server, datagram, DATAGRAM_MAX, 0, reinterpret_cast<sockaddr *>(&sender), &senderLength);
        if (received < 0) {
            // An interrupting signal is no failure of the socket.
            if (errno == EINTR)
                continue;
            logPerror("Receive data failed");
            logExit(-1);
        }
        int kind = udpserver::parse_data(datagram);
        // Only a stored network setup reboots: a refused setup or a failed
        // write leaves the status at -1. A setup is never answered.
        if (kind == udpserver::UDP_SET_NET_CONF && result == 0) {
            usleep(50000);
            logFlush(LOG_FLUSH_LIMIT_MS);
            [[maybe_unused]] int status = system(paths.rebootCommand);
        } else if (kind == udpserver::UDP_SEARCH_READER && result == 0) {
            udpserver::sendBroadcase(ntohs(sender.sin_port));
        }
    }
}

namespace udpserver {

// "CMD_SetNetConf": only the board whose current address (entry 0 of the
// settings file) equals "OldIP" exactly takes the new setup. The read, the
// comparison and the rewrite hold the settings-file lock, so the
// configuration service cannot rewrite the file in between. Refused, with
// nothing written and so no reboot: another "OldIP"; a "Data" that is not an
// object; an "OldIP", "IP", "Mask", "Gateway", "DNS" or "MAC" that is missing
// or not a string; a value of more than 63 characters, one holding a line
// feed, or one whose line would not fit the file's 64-byte line buffer.
static int setNetConf(const cJSON *data)
{
    std::lock_guard<std::recursive_mutex> hold(netSettingsMutex());
    NetSettings table;
    memset(table, 0, sizeof table);
    readNetConfig(table);
    const cJSON *oldIp = cJSON_GetObjectItem(data, "OldIP");
    if (!cJSON_IsObject(data) || !cJSON_IsString(oldIp) || !oldIp->valuestring)
        return -1;
    char current[sizeof table[0].value + 1] = "";
    memcpy(current, table[0].value, sizeof table[0].value);
    if (strcmp(oldIp->valuestring, current) != 0)
        return -1;
    if (tcpserver::mergeNetValues(data, table) != 0)
        return -1;
    return writeNetConfig(table);
}

// The datagram must be a JSON object whose "Command" is a string; anything
// else is ignored without touching `result`.
int parse_data(const char *text)
{
    JsonPtr request(cJSON_Parse(text), cJSON_Delete);
    if (!cJSON_IsObject(request.get()))
        return UDP_NONE;
    const cJSON *command = cJSON_GetObjectItem(request.get(), "Command");
    if (!cJSON_IsString(command) || !command->valuestring)
        return UDP_NONE;
    const cJSON *data = cJSON_GetObjectItem(request.get(), "Data");

    if (strcmp(command->valuestring, "CMD_SearchReader") == 0) {
        bool match =
            cJSON_IsString(data) && data->valuestring && strcmp(data->valuestring, SEARCH_REQUEST) == 0;
        result = match ? 0 : -1;
        return UDP_SEARCH_READER;
    }
    if (strcmp(command->valuestring, "CMD_SetNetConf") == 0) {
        result = setNetConf(data);
        return UDP_SET_NET_CONF;
    }
    return UDP_NONE;
}

// When hundreds of readers answer one search at the same moment, the
// system's queues overflow for a few milliseconds and the answer is dropped
// with ENOBUFS (EAGAIN on some drivers); a signal may interrupt the send.
// Such a failure passes, so the answer is tried again a few times, 1, 2, 4
// and 8 ms apart: at most 15 ms of waiting before the next datagram is
// taken. One that still fails, or fails for another reason, is reported, and
// the service goes on. A UDP socket hears of ENOBUFS only with IP_RECVERR:
// without it the send reports success and the answer is lost unseen.
static constexpr int ANSWER_TRIES = 5;
static constexpr useconds_t ANSWER_FIRST_PAUSE_US = 1000;

static bool isTransient(int error) { return error == ENOBUFS || error == EAGAIN || error == EINTR; }

// The answer socket is not bound: the answer leaves from a port the system
// picks, never from the service's own port.
int sendBroadcase(int port)
{
    int sock = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, IPPROTO_UDP);
    if (sock < 0) {
        logPerror("Create socket failed");
        logExit(-1);
    }
    int on = 1;
    setsockopt(sock, SOL_SOCKET, SO_BROADCAST, &on, sizeof on);
    setsockopt(sock, IPPROTO_IP, IP_RECVERR, &on, sizeof on);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_addr.s_addr = htonl(INADDR_BROADCAST);
    to.sin_port = htons(static_cast<uint16_t>(port));
    useconds_t pause = ANSWER_FIRST_PAUSE_US;
    for (int attempt = 1;; ++attempt) {
        ssize_t sent = sendto(sock, SEARCH_ANSWER, sizeof SEARCH_ANSWER - 1, MSG_NOSIGNAL,
                              reinterpret_cast<sockaddr *>(&to), sizeof to);
        if (sent >= 0)
            break;
        if (!isTransient(errno) || attempt == ANSWER_TRIES) {
            logPerror("Send search answer failed");
            break;
        }
        usleep(pause);
        pause *= 2;
    }
    close(sock);
    return 0;
}

} // namespace udpserver
