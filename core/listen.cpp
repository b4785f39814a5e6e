/*
 * Device-control listener: bit-string commands on the control port that
 * switch the reader module's relay, buzzer and lights. An accepted command
 * is left in cmdData for the card loop; the client never gets an answer.
 */
#include "core/config.h"
#include "core/core.h"
#include "core/log.h"
#include "core/netio.h"
#include "core/state.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

static constexpr int CONTROL_READ_SIZE = 1024; // most bytes taken by one read
static constexpr int CONTROL_BACKLOG = 10;

static constexpr size_t SHORT_COMMAND_BITS = 6;
static constexpr size_t LONG_COMMAND_BITS = 12;

void trim(char *text)
{
    size_t length = strlen(text);
    while (length > 0) {
        char last = text[length - 1];
        if (last != ' ' && last != '\r' && last != '\n')
            break;
        text[--length] = '\0';
    }
}

// Group `index` (0-based) of three bit characters as 4a + 2b + c.
static uint8_t plainValue(const char *bits, int index)
{
    const char *group = bits + 3 * index;
    return static_cast<uint8_t>(4 * (group[0] - '0') + 2 * (group[1] - '0') + (group[2] - '0'));
}

// The same group as 40a + 20b + 10c.
static uint8_t tensValue(const char *bits, int index)
{
    return static_cast<uint8_t>(10 * plainValue(bits, index));
}

int parse_cmd(char *text)
{
    trim(text);
    bool tens = text[0] == 'L';
    const char *bits = tens ? text + 1 : text;

    // Characters first, then the length.
    size_t count = 0;
    for (; bits[count] != '\0'; ++count)
        if (bits[count] != '0' && bits[count] != '1')
            return -1;
    if (count != SHORT_COMMAND_BITS && count != LONG_COMMAND_BITS)
        return -1;

    ControlRequest request{};
    request.relay = tens ? tensValue(bits, 0) : plainValue(bits, 0);
    request.buzzer = tens ? tensValue(bits, 1) : plainValue(bits, 1);
    if (count == SHORT_COMMAND_BITS) {
        request.form = 1;
    } else {
        request.form = 2;
        request.light1 = plainValue(bits, 2);
        request.light2 = tens ? tensValue(bits, 3) : plainValue(bits, 3);
    }
    putControlRequest(request);
    return 0;
}

// Serves one client until it closes or a read fails.
static void serveClient(int client)
{
    // Room for the terminator after a read that fills all 1024 bytes.
    char buffer[CONTROL_READ_SIZE + 1];
    for (;;) {
        memset(buffer, 0, sizeof buffer);
        ssize_t received = read(client, buffer, CONTROL_READ_SIZE);
        if (received < 0 && errno == EINTR)
            continue;
        if (received <= 0) {
            logPuts("Socket read data error");
            close(client);
            return;
        }
        logPrintf("<<<%s\n", buffer);
        parse_cmd(buffer);
    }
}

void *thread_listen(void *)
{
    int server = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (server < 0) {
        logPerror("Failed to create socket");
        logExit(-1);
    }
    int one = 1;
    setsockopt(server, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);

    sockaddr_in address;
    memset(&address, 0, sizeof address);
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_ANY);
    address.sin_port = htons(CONTROL_PORT);
    if (bind(server, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0) {
        logPuts("Server bind failed");
        logExit(-1);
    }
    if (listen(server, CONTROL_BACKLOG) != 0) {
        logPuts("Server listen failed");
        logExit(-1);
    }

    for (;;) {
        // A connection aborted before it was taken is skipped; any other
        // failure ends the daemon.
        sockaddr_in peer{};
        int client = acceptClient(server, &peer);
        if (client < 0) {
            logPuts("Server accept failed");
            logExit(-1);
        }
        char peerText[INET_ADDRSTRLEN] = "";
        inet_ntop(AF_INET, &peer.sin_addr, peerText, sizeof peerText);
        logPrintf("Server accept client connect %s\n", peerText);
        serveClient(client);
    }
}
