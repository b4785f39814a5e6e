/*
 * Server upload: one short TCP connection per card. Reload the server
 * settings, connect within a time limit, write the card-number text once,
 * close. Nothing is read back from the server.
 */
#include "core/core.h"
#include "core/log.h"
#include "core/state.h"
#include "store/store.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>

// The longest the card loop waits for the server to take a connection.
static constexpr int CONNECT_LIMIT_MS = 1000;

static long long monotonicMs()
{
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return now.tv_sec * 1000LL + now.tv_nsec / 1000000;
}

// Connects the non-blocking socket `fd` to `peer` within CONNECT_LIMIT_MS.
// The limit is kept by waiting on the socket itself, so no signal is needed
// and no other thread's calls can ever be interrupted by it. 0 or -1.
static int connectWithinLimit(int fd, const sockaddr_in &peer)
{
    if (connect(fd, reinterpret_cast<const sockaddr *>(&peer), sizeof peer) == 0)
        return 0;
    if (errno != EINPROGRESS && errno != EINTR)
        return -1; // refused or failing at once

    long long deadline = monotonicMs() + CONNECT_LIMIT_MS;
    for (;;) {
        long long left = deadline - monotonicMs();
        if (left <= 0)
            return -1; // no answer in time
        pollfd waiting{fd, POLLOUT, 0};
        int ready = poll(&waiting, 1, static_cast<int>(left));
        if (ready < 0 && errno == EINTR)
            continue;
        if (ready <= 0)
            return -1;
        break;
    }
    int error = 0;
    socklen_t length = sizeof error;
    if (getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &length) != 0 || error != 0)
        return -1;
    return 0;
}

int accessGate(const char *text)
{
    // Reload the server settings; when that fails the earlier ones stay.
    ServerConf conf = getSrvConf();
    ServerConf loaded = conf;
    if (readServerConfig(loaded.ip, &loaded.port, &loaded.codeType) == 0) {
        setSrvConf(loaded);
        conf = getSrvConf();
    }
    logPrintf("ip=%s, port=%d, codeType=%d\n", conf.ip, conf.port, conf.codeType);

    int fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        logPuts("Create socket error");
        return -1;
    }

    sockaddr_in peer;
    memset(&peer, 0, sizeof peer);
    peer.sin_family = AF_INET;
    peer.sin_addr.s_addr = inet_addr(conf.ip);
    peer.sin_port = htons(static_cast<uint16_t>(conf.port & 0xFFFF));

    if (connectWithinLimit(fd, peer) != 0) {
        close(fd);
        return -1;
    }
    // Back to blocking for the write.
    int flags = fcntl(fd, F_GETFL);
    if (flags >= 0)
        fcntl(fd, F_SETFL, flags & ~O_NONBLOCK);

    char address[INET_ADDRSTRLEN] = "";
    inet_ntop(AF_INET, &peer.sin_addr, address, sizeof address);
    logPrintf("connect server %s:%d\n", address, conf.port);

    // One write of the whole text. A server that has already closed makes it
    // fail; MSG_NOSIGNAL keeps that from ending the daemon.
    size_t length = strlen(text);
    ssize_t written = send(fd, text, length, MSG_NOSIGNAL);
    if (written < 0 || static_cast<size_t>(written) != length) {
        logPuts("Socket write uid data error");
        close(fd);
        return -1;
    }
    logPrintf(">>>%s\n", text);
    close(fd);
    return 0;
}
