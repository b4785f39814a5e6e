/*
 * rfidctl listen: the upstream server that readers upload card numbers to.
 *
 * A reader opens one connection per card, writes the card number once and
 * closes. Everything received on a connection until its close is one card.
 * Connections are served side by side with poll; each has a bounded buffer
 * and an idle limit, and their number is capped. The console runs the same
 * server and hands each card to its page instead of standard output.
 */
#include "tools/rfidctl/rfidctl.h"

#include <arpa/inet.h>
#include <poll.h>
#include <signal.h>
#include <sys/signalfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

static constexpr size_t MAX_CARD_BYTES = 1024;
static constexpr size_t MAX_CONNECTIONS = 64;
static constexpr long long IDLE_LIMIT_MS = 10000;

struct Connection {
    int fd = -1;
    std::string peer;
    std::string data;
    bool truncated = false;
    long long lastActivityMs = 0;
};

using CardHandler = std::function<bool(const Card &)>;

std::string cardJson(const Card &card)
{
    std::string line = "{\"time\":" + jsonString(card.time) + ",\"peer\":" + jsonString(card.peer) +
                       ",\"card\":" + jsonString(card.data);
    if (card.truncated)
        line += ",\"truncated\":true";
    return line + "}";
}

// False once standard output is gone (a closed pipe): then listening is over.
static bool printCard(const Card &card, bool json)
{
    std::string line;
    if (json) {
        line = cardJson(card);
    } else {
        line = card.time + " " + card.peer + " " + visibleText(card.data);
        if (card.truncated)
            line += " [truncated]";
    }
    line += "\n";
    fputs(line.c_str(), stdout);
    return fflush(stdout) == 0 && !ferror(stdout);
}

static bool outputLost = false;

// Ends a connection: hands on its card (if anything arrived) and closes it.
static void finish(Connection &connection, const CardHandler &onCard, const char *why)
{
    if (!connection.data.empty() &&
        !onCard(Card{localTimeText(), connection.peer, connection.data, connection.truncated}))
        outputLost = true;
    if (why)
        fprintf(stderr, "rfidctl: %s: %s\n", connection.peer.c_str(), why);
    close(connection.fd);
    connection.fd = -1;
}

// Reads what is there. Returns false when the connection is over.
static bool readFrom(Connection &connection, const CardHandler &onCard)
{
    char buffer[4096];
    for (;;) {
        ssize_t n = recv(connection.fd, buffer, sizeof buffer, MSG_DONTWAIT);
        if (n > 0) {
            connection.lastActivityMs = monotonicMs();
            size_t room = MAX_CARD_BYTES - connection.data.size();
            size_t take = static_cast<size_t>(n) < room ? static_cast<size_t>(n) : room;
            connection.data.append(buffer, take);
            if (static_cast<size_t>(n) > take) {
                connection.truncated = true;
                finish(connection, onCard, "more than 1024 bytes, connection closed");
                return false;
            }
            continue;
        }
        if (n == 0) {
            finish(connection, onCard, connection.data.empty() ? "closed without sending anything" : nullptr);
            return false;
        }
        if (errno == EINTR)
            continue;
        if (errno == EAGAIN || errno == EWOULDBLOCK)
            return true;
        // A reset after the card counts like a close.
        finish(connection, onCard, connection.data.empty() ? "connection reset without data" : nullptr);
        return false;
    }
}

static void acceptAll(int listener, std::vector<Connection> &connections)
{
    while (connections.size() < MAX_CONNECTIONS) {
        sockaddr_in peer{};
        socklen_t length = sizeof peer;
        int fd = accept4(listener, reinterpret_cast<sockaddr *>(&peer), &length, SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (fd < 0) {
            if (errno == EINTR || errno == ECONNABORTED)
                continue;
            if (errno != EAGAIN && errno != EWOULDBLOCK)
                fprintf(stderr, "rfidctl: accept failed: %s\n", strerror(errno));
            return;
        }
        Connection connection;
        connection.fd = fd;
        connection.peer = endpointText(peer);
        connection.lastActivityMs = monotonicMs();
        connections.push_back(std::move(connection));
    }
}

int openCardListener(const in_addr &address, int port, std::string *error)
{
    int listener = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (listener < 0) {
        *error = std::string("cannot create a socket: ") + strerror(errno);
        return -1;
    }
    int one = 1;
    setsockopt(listener, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in local{};
    local.sin_family = AF_INET;
    local.sin_addr = address;
    local.sin_port = htons(static_cast<uint16_t>(port));
    if (bind(listener, reinterpret_cast<sockaddr *>(&local), sizeof local) != 0) {
        *error = "cannot listen on " + endpointText(local) + ": " + strerror(errno);
        close(listener);
        return -1;
    }
    if (listen(listener, 128) != 0) {
        *error = std::string("listen: ") + strerror(errno);
        close(listener);
        return -1;
    }
    return listener;
}

int serveCards(int listener, int stopFd, const std::function<bool(const Card &)> &onCard)
{
    int status = RC_OK;
    std::vector<Connection> connections;
    std::vector<pollfd> waiting;
    for (;;) {
        long long now = monotonicMs();
        int timeout = -1;
        for (Connection &connection : connections) {
            long long left = connection.lastActivityMs + IDLE_LIMIT_MS - now;
            if (left <= 0) {
                finish(connection, onCard, "idle for 10 s, connection closed");
                continue;
            }
            if (timeout < 0 || left < timeout)
                timeout = static_cast<int>(left);
        }
        std::erase_if(connections, [](const Connection &connection) { return connection.fd < 0; });
        if (outputLost) {
            status = RC_UNREACHABLE;
            break;
        }

        waiting.clear();
        waiting.push_back({stopFd, POLLIN, 0});
        // At the cap, further connections wait in the backlog.
        waiting.push_back({connections.size() < MAX_CONNECTIONS ? listener : -1, POLLIN, 0});
        for (const Connection &connection : connections)
            waiting.push_back({connection.fd, POLLIN, 0});
        int ready = poll(waiting.data(), waiting.size(), timeout);
        if (ready < 0) {
            if (errno == EINTR)
                continue;
            fprintf(stderr, "rfidctl: poll: %s\n", strerror(errno));
            status = RC_UNREACHABLE;
            break;
        }
        if (waiting[0].revents)
            break;
        for (size_t i = 0; i < connections.size(); ++i)
            if (waiting[i + 2].revents)
                readFrom(connections[i], onCard);
        std::erase_if(connections, [](const Connection &connection) { return connection.fd < 0; });
        if (waiting[1].revents)
            acceptAll(listener, connections);
    }
    for (Connection &connection : connections)
        close(connection.fd);
    return status;
}

int runListen(const Args &args)
{
    static const char *const allowed[] = {"json", "bind", nullptr};
    int rc = checkOptions(args, "listen", allowed);
    if (rc != RC_OK)
        return rc;
    if (args.words.empty())
        return usageError("listen", "listen needs a PORT");
    if (args.words.size() > 1)
        return usageError("listen", "unexpected '" + args.words[1] + "' after the port");
    long long port = 0;
    if (!parseInteger(args.words[0], 0, 65535, &port))
        return usageError("listen", "PORT must be a number from 0 to 65535, not '" + args.words[0] + "'");
    in_addr bindAddress{};
    bindAddress.s_addr = htonl(INADDR_ANY);
    if (const std::string *text = optionValue(args, "bind"))
        if (!parseIpv4(*text, &bindAddress))
            return usageError("listen", "--bind needs an IPv4 address (a.b.c.d), not '" + *text + "'");
    bool json = hasOption(args, "json");

    // SIGINT and SIGTERM arrive through a descriptor, so poll sees them.
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGINT);
    sigaddset(&stopSignals, SIGTERM);
    sigprocmask(SIG_BLOCK, &stopSignals, nullptr);
    int signals = signalfd(-1, &stopSignals, SFD_CLOEXEC | SFD_NONBLOCK);
    if (signals < 0) {
        fprintf(stderr, "rfidctl: signalfd: %s\n", strerror(errno));
        return RC_UNREACHABLE;
    }

    std::string error;
    int listener = openCardListener(bindAddress, static_cast<int>(port), &error);
    if (listener < 0) {
        fprintf(stderr, "rfidctl: %s\n", error.c_str());
        close(signals);
        return RC_UNREACHABLE;
    }
    sockaddr_in local{};
    socklen_t length = sizeof local;
    getsockname(listener, reinterpret_cast<sockaddr *>(&local), &length);
    fprintf(stderr, "rfidctl: listening on %s\n", endpointText(local).c_str());

    int status = serveCards(listener, signals, [json](const Card &card) { return printCard(card, json); });
    if (status != RC_OK && outputLost)
        fprintf(stderr, "rfidctl: cannot write to standard output; stopping\n");
    close(listener);
    close(signals);
    return status;
}
