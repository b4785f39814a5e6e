/*
 * Reader link: serial line, frame exchange with the reader module and the
 * reader operations built on it.
 */
#include "reader/optReader.h"

#include "core/log.h"

#include <fcntl.h>
#include <sys/select.h>
#include <termios.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>

// errno of the last hard failure seen on the line; 0 when there was none
// since the last takeLineFault().
static std::atomic<int> lineFault{0};

static void noteLineFault(int error)
{
    lineFault.store(error != 0 ? error : EIO);
}

int takeLineFault()
{
    return lineFault.exchange(0);
}

// --- serial line ---------------------------------------------------------

int open_port(const char *path)
{
    // O_CLOEXEC keeps the line out of the shell started for a reboot.
    int fd = open(path, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        logPrintf("Can't open serial %s", path);
        return -1;
    }
    if (fcntl(fd, F_SETFL, 0) < 0)
        logPuts("Serial fcntl failed!");
    return fd;
}

static speed_t speedCode(int speed)
{
    switch (speed) {
    case 2400:
        return B2400;
    case 4800:
        return B4800;
    case 115200:
        return B115200;
    case 9600:
    default:
        return B9600;
    }
}

void makePortSettings(termios *tio, int speed, int dataBits, int stopBits, char parity)
{
    memset(tio, 0, sizeof *tio);
    tio->c_cflag |= CLOCAL | CREAD;
    tio->c_cflag &= ~CSIZE;

    if (dataBits == 7)
        tio->c_cflag |= CS7;
    else if (dataBits == 8)
        tio->c_cflag |= CS8;

    switch (parity) {
    case 'O':
        tio->c_cflag |= PARENB | PARODD;
        tio->c_iflag |= INPCK | ISTRIP;
        break;
    case 'E':
        tio->c_iflag |= INPCK | ISTRIP;
        tio->c_cflag |= PARENB;
        tio->c_cflag &= ~PARODD;
        break;
    case 'N':
        tio->c_cflag &= ~PARENB;
        break;
    default:
        break;
    }

    speed_t code = speedCode(speed);
    cfsetispeed(tio, code);
    cfsetospeed(tio, code);

    if (stopBits == 1)
        tio->c_cflag &= ~CSTOPB;
    else if (stopBits == 2)
        tio->c_cflag |= CSTOPB;

    tio->c_cc[VTIME] = 0;
    tio->c_cc[VMIN] = 0;
}

int set_port(int fd, int speed, int dataBits, int stopBits, char parity)
{
    termios old{};
    if (tcgetattr(fd, &old) != 0) {
        logPerror("Serial tcgetattr error");
        return -1;
    }
    termios tio;
    makePortSettings(&tio, speed, dataBits, stopBits, parity);
    tcflush(fd, TCIFLUSH);
    if (tcsetattr(fd, TCSANOW, &tio) != 0) {
        logPerror("Serial tcsetattr error");
        return -1;
    }
    return 0;
}

// Waits up to `ms` for `fd` to become readable: 1 readable, 0 time-out,
// -1 failure (errno set). A descriptor select() cannot watch is a failure.
static int waitReadable(int fd, int ms)
{
    if (fd < 0 || fd >= FD_SETSIZE) {
        noteLineFault(EBADF);
        errno = EBADF;
        return -1;
    }
    if (ms < 0)
        ms = 0;
    fd_set readSet;
    FD_ZERO(&readSet);
    FD_SET(fd, &readSet);
    timeval limit{};
    limit.tv_sec = ms / 1000;
    limit.tv_usec = (ms % 1000) * 1000;
    int ready = select(fd + 1, &readSet, nullptr, nullptr, &limit);
    if (ready < 0) {
        if (errno == EBADF)
            noteLineFault(EBADF);
        return -1;
    }
    return ready > 0 ? 1 : 0;
}

int tread(int fd, void *buf, int count, int ms)
{
    int ready = waitReadable(fd, ms);
    if (ready < 0) {
        logPerror("Select error\n");
        return -1;
    }
    if (ready == 0)
        return 0;
    if (count < 0)
        count = 0;
    ssize_t got = read(fd, buf, static_cast<size_t>(count));
    if (got < 0 && errno != EINTR && errno != EAGAIN)
        noteLineFault(errno);
    else if (got == 0 && count > 0)
        noteLineFault(EIO); // readable yet nothing to read: the line hung up
    return static_cast<int>(got);
}

int treadn(int fd, void *buf, int count, int ms)
{
    unsigned char *bytes = static_cast<unsigned char *>(buf);
    int remaining = count;
    int total = 0;
    while (remaining > 0) {
        int got = tread(fd, bytes + total, remaining, ms);
        if (got <= 0)
            break;
        total += got;
        remaining -= got;
    }
    return total;
}

// --- frame exchange ------------------------------------------------------

inline constexpr int MAX_FRAME_DATA = FRAME_BUFFER_SIZE - 7; // 249
inline constexpr uint8_t FRAME_START = 0xAA;
inline constexpr uint8_t FRAME_END = 0xBB;

int makecrc(const uint8_t *data, int count)
{
    uint8_t check = 0;
    for (int i = 0; i < count; ++i)
        check ^= data[i];
    return check;
}

int checkReplyFrame(const uint8_t rx[FRAME_BUFFER_SIZE], uint8_t *reply, int *replyCount)
{
    if (rx[0] != FRAME_START)
        return -1;
    int length = rx[3];
    // The length counts the status byte, and the whole frame (length + 6
    // bytes) must lie inside the receive buffer.
    if (length < 1 || length + 6 > FRAME_BUFFER_SIZE)
        return -1;
    if (rx[length + 4] != makecrc(rx + 1, length + 3))
        return -1;
    if (rx[length + 5] != FRAME_END)
        return -1;
    if (rx[4] != 0) {
        *replyCount = 1;
        reply[0] = rx[5];
        return -2;
    }
    *replyCount = length - 1;
    if (length > 1)
        memcpy(reply, rx + 5, static_cast<size_t>(length - 1));
    return 0;
}

int optFunction(int fd, uint8_t cmd, const uint8_t *data, int dataCount, uint8_t *reply, int *replyCount,
                int ms)
{
    uint8_t tx[FRAME_BUFFER_SIZE] = {};
    uint8_t rx[FRAME_BUFFER_SIZE] = {};
    if (dataCount < 0 || dataCount > MAX_FRAME_DATA || (dataCount > 0 && data == nullptr) || !reply ||
        !replyCount)
        return -1;

    tx[0] = FRAME_START;
    tx[1] = 0x00;
    tx[2] = 0x01;
    tx[3] = static_cast<uint8_t>(dataCount + 1);
    tx[4] = cmd;
    if (dataCount > 0)
        memcpy(tx + 5, data, static_cast<size_t>(dataCount));
    tx[5 + dataCount] = static_cast<uint8_t>(makecrc(tx + 1, dataCount + 4));
    tx[6 + dataCount] = FRAME_END;

    // One write; a failed write shows up as a time-out, but a line that has
    // gone away is remembered for the card loop.
    if (write(fd, tx, static_cast<size_t>(dataCount + 7)) < 0 && errno != EINTR && errno != EAGAIN)
        noteLineFault(errno);

    int ready = waitReadable(fd, ms);
    if (ready < 0) {
        logPerror("Select error\n");
        return -1;
    }
    if (ready == 0) {
        logPuts("Recevice data timeout");
        return -1;
    }

    // Reading ends after a full buffer or REPLY_SILENCE_MS of silence; the
    // count is not needed since bytes that did not arrive read as zero.
    treadn(fd, rx, FRAME_BUFFER_SIZE, REPLY_SILENCE_MS);
    return checkReplyFrame(rx, reply, replyCount);
}

// --- reader operations ---------------------------------------------------

static const uint8_t CMD_READ_UID = 0x95;
static const uint8_t CMD_READ_UID_BLOCK = 0x98;
static const uint8_t CMD_CONTROL = 0x99;

// Writes `count` bytes starting at data[first] as upper-case hexadecimal
// text; a negative `step` walks backwards. `text` gets count * 2 + 1 bytes.
static void hexText(char *text, const uint8_t *data, int first, int count, int step)
{
    static const char digits[] = "0123456789ABCDEF";
    for (int i = 0; i < count; ++i) {
        uint8_t byte = data[first + i * step];
        text[2 * i] = digits[byte >> 4];
        text[2 * i + 1] = digits[byte & 0x0F];
    }
    text[2 * count] = '\0';
}

int getReaderUid(int fd, char *cardText)
{
    const uint8_t request[1] = {0x01};
    uint8_t reply[FRAME_BUFFER_SIZE] = {};
    int replyCount = 0;
    if (optFunction(fd, CMD_READ_UID, request, sizeof request, reply, &replyCount, REPLY_TIMEOUT_MS) != 0)
        return -1;
    int uidLength = replyCount == 7 ? 4 : 7;
    hexText(cardText, reply, 3, uidLength, 1);
    logPuts(cardText);
    return 0;
}

int getReaderUidData(int fd, uint8_t keyCode, uint8_t block, const uint8_t key[6], char *cardText,
                     char *blockText)
{
    uint8_t request[9];
    request[0] = keyCode;
    request[1] = block;
    memcpy(request + 2, key, 6);
    request[8] = 0x01;
    uint8_t reply[FRAME_BUFFER_SIZE] = {};
    int replyCount = 0;
    if (optFunction(fd, CMD_READ_UID_BLOCK, request, sizeof request, reply, &replyCount, REPLY_TIMEOUT_MS) !=
        0)
        return -1;
    int uidLength = replyCount == 23 ? 4 : 7;
    // UID last byte first, then the 16 block bytes in the order received.
    hexText(cardText, reply, 3 + uidLength - 1, uidLength, -1);
    hexText(blockText, reply, 3 + uidLength, 16, 1);
    return 0;
}

int ctrReaderDevice(int fd, uint8_t relay, uint8_t buzzer, uint8_t light1, uint8_t light2)
{
    const uint8_t request[4] = {relay, buzzer, light1, light2};
    // Cleared, so a failure without an error byte from the module shows 00.
    uint8_t reply[FRAME_BUFFER_SIZE] = {};
    int replyCount = 0;
    if (optFunction(fd, CMD_CONTROL, request, sizeof request, reply, &replyCount, REPLY_TIMEOUT_MS) == 0)
        return 0;
    logPrintf("Control reader device error: %02X\n", reply[0]);
    return -1;
}

int ctrReaderDevRelay(int fd, uint8_t relay)
{
    return ctrReaderDevice(fd, relay, 0, 0, 0);
}

int ctrReaderDevBuzzer(int fd, uint8_t buzzer)
{
    return ctrReaderDevice(fd, 0, buzzer, 0, 0);
}

int ctrReaderDevLight(int fd, uint8_t light1, uint8_t light2)
{
    return ctrReaderDevice(fd, 0, 0, light1, light2);
}
