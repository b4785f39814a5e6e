#include "core/netio.h"

#include <sys/socket.h>

#include <cerrno>

static bool isTransientAcceptError(int error)
{
    switch (error) {
    case EINTR:
    case ECONNABORTED:
    case EPROTO:
    case ENETDOWN:
    case ENOPROTOOPT:
    case EHOSTDOWN:
    case ENONET:
    case EHOSTUNREACH:
    case EOPNOTSUPP:
    case ENETUNREACH:
        return true;
    default:
        return false;
    }
}

int acceptClient(int listenFd, sockaddr_in *peer)
{
    for (;;) {
        sockaddr_in address{};
        socklen_t length = sizeof address;
        // Close-on-exec: the shell that runs the reboot command must not inherit
        // the service sockets.
        int fd = accept4(listenFd, reinterpret_cast<sockaddr *>(&address), &length, SOCK_CLOEXEC);
        if (fd >= 0) {
            if (peer)
                *peer = address;
            return fd;
        }
        if (!isTransientAcceptError(errno))
            return -1;
    }
}
