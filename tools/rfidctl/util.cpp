/*
 * Argument checks, text helpers and the timed TCP connect.
 */
#include "tools/rfidctl/rfidctl.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

bool parseIpv4(const std::string &text, in_addr *address)
{
    // inet_pton takes exactly four decimal parts of 0-255, no leading zeros
    // beyond one digit's worth, nothing else.
    if (text.empty() || text.size() > 15)
        return false;
    return inet_pton(AF_INET, text.c_str(), address) == 1;
}

bool parseInteger(const std::string &text, long long min, long long max, long long *value)
{
    size_t at = 0;
    bool negative = false;
    if (at < text.size() && text[at] == '-') {
        negative = true;
        ++at;
    }
    if (at == text.size() || text.size() - at > 12)
        return false;
    long long magnitude = 0;
    for (; at < text.size(); ++at) {
        if (text[at] < '0' || text[at] > '9')
            return false;
        magnitude = magnitude * 10 + (text[at] - '0');
    }
    long long result = negative ? -magnitude : magnitude;
    if (result < min || result > max)
        return false;
    *value = result;
    return true;
}

static bool isHexDigit(char c)
{
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}

bool isHexKey(const std::string &text)
{
    if (text.size() != 12)
        return false;
    for (char c : text)
        if (!isHexDigit(c))
            return false;
    return true;
}

bool isMacAddress(const std::string &text)
{
    if (text.size() != 17)
        return false;
    for (size_t i = 0; i < text.size(); ++i) {
        bool separator = i % 3 == 2;
        if (separator ? text[i] != ':' : !isHexDigit(text[i]))
            return false;
    }
    return true;
}

int timeoutOption(const Args &args, const std::string &topic, int fallback, int *timeoutMs)
{
    const std::string *text = optionValue(args, "timeout");
    if (!text) {
        *timeoutMs = fallback;
        return RC_OK;
    }
    long long value = 0;
    if (!parseInteger(*text, 1, 600000, &value))
        return usageError(topic, "--timeout must be a number of milliseconds from 1 to 600000, not '" + *text + "'");
    *timeoutMs = static_cast<int>(value);
    return RC_OK;
}

bool askYes(const std::string &question)
{
    fprintf(stderr, "%s [y/N] ", question.c_str());
    fflush(stderr);
    char answer[64];
    if (!fgets(answer, sizeof answer, stdin))
        return false;
    std::string text = answer;
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r' || text.back() == ' '))
        text.pop_back();
    return text == "y" || text == "Y" || text == "yes" || text == "YES" || text == "Yes";
}

std::string localTimeText()
{
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    tm local{};
    localtime_r(&now.tv_sec, &local);
    char seconds[32];
    strftime(seconds, sizeof seconds, "%Y-%m-%d %H:%M:%S", &local);
    char text[48];
    snprintf(text, sizeof text, "%s.%03ld", seconds, now.tv_nsec / 1000000L);
    return text;
}

std::string visibleText(const std::string &bytes)
{
    std::string text;
    text.reserve(bytes.size());
    for (char c : bytes) {
        unsigned char byte = static_cast<unsigned char>(c);
        if (byte == '\r') {
            text += "\\r";
        } else if (byte == '\\') {
            text += "\\\\";
        } else if (byte < 0x20 || byte > 0x7E) {
            char escaped[8];
            snprintf(escaped, sizeof escaped, "\\x%02X", byte);
            text += escaped;
        } else {
            text += c;
        }
    }
    return text;
}

std::string jsonString(const std::string &bytes)
{
    std::string text = "\"";
    for (char c : bytes) {
        unsigned char byte = static_cast<unsigned char>(c);
        switch (byte) {
        case '"': text += "\\\""; break;
        case '\\': text += "\\\\"; break;
        case '\r': text += "\\r"; break;
        case '\n': text += "\\n"; break;
        case '\t': text += "\\t"; break;
        default:
            if (byte < 0x20 || byte > 0x7E) {
                char escaped[8];
                snprintf(escaped, sizeof escaped, "\\u%04X", byte);
                text += escaped;
            } else {
                text += c;
            }
        }
    }
    text += '"';
    return text;
}

std::string addressText(const in_addr &address)
{
    char text[INET_ADDRSTRLEN] = {};
    inet_ntop(AF_INET, &address, text, sizeof text);
    return text;
}

std::string endpointText(const sockaddr_in &address)
{
    return addressText(address.sin_addr) + ":" + std::to_string(ntohs(address.sin_port));
}

long long monotonicMs()
{
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return now.tv_sec * 1000LL + now.tv_nsec / 1000000;
}

int openBroadcastSocket(std::string *error)
{
    int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        *error = std::string("cannot create a socket: ") + strerror(errno);
        return -1;
    }
    int one = 1;
    setsockopt(fd, SOL_SOCKET, SO_BROADCAST, &one, sizeof one);
    return fd;
}

int connectWithin(const in_addr &address, int port, int timeoutMs, std::string *error)
{
    sockaddr_in peer{};
    peer.sin_family = AF_INET;
    peer.sin_addr = address;
    peer.sin_port = htons(static_cast<uint16_t>(port));
    std::string name = endpointText(peer);

    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0) {
        *error = std::string("cannot create a socket: ") + strerror(errno);
        return -1;
    }
    int failure = 0;
    if (connect(fd, reinterpret_cast<sockaddr *>(&peer), sizeof peer) != 0) {
        if (errno != EINPROGRESS) {
            failure = errno;
        } else {
            long long deadline = monotonicMs() + timeoutMs;
            for (;;) {
                long long left = deadline - monotonicMs();
                if (left <= 0) {
                    *error = name + ": no connection within " + std::to_string(timeoutMs) +
                             " ms (host unreachable?)";
                    close(fd);
                    return -1;
                }
                pollfd waiting{fd, POLLOUT, 0};
                int ready = poll(&waiting, 1, static_cast<int>(left));
                if (ready < 0 && errno == EINTR)
                    continue;
                if (ready < 0) {
                    failure = errno;
                    break;
                }
                if (ready == 0)
                    continue;
                socklen_t length = sizeof failure;
                if (getsockopt(fd, SOL_SOCKET, SO_ERROR, &failure, &length) != 0)
                    failure = errno;
                break;
            }
        }
    }
    if (failure != 0) {
        if (failure == ECONNREFUSED)
            *error = name + ": connection refused (is rfidd running there?)";
        else
            *error = name + ": cannot connect: " + strerror(failure);
        close(fd);
        return -1;
    }
    return fd;
}
