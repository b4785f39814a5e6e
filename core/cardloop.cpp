/*
 * Reader-side start-up and the card loop: poll the reader for cards, turn
 * each card into a card-number text and hand it to the upload; carry out the
 * device-control requests that the listener leaves in cmdData.
 */
#include "core/config.h"
#include "core/core.h"
#include "core/log.h"
#include "core/state.h"
#include "reader/optReader.h"
#include "store/store.h"

#include <fcntl.h>
#include <sqlite3.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

static constexpr int CARD_TEXT_SIZE = 64;  // card-number text and terminator
static constexpr int BLOCK_TEXT_SIZE = 64; // block text and terminator
static constexpr int SLICE_SIZE = BLOCK_SLICE_MAX + 1;

static constexpr int LINE_SPEED = 9600;
static constexpr int LINE_DATA_BITS = 8;
static constexpr int LINE_STOP_BITS = 1;
static constexpr char LINE_PARITY = 'N';

// How long the loop waits between two attempts to get a lost serial line back.
static constexpr int LINE_RETRY_MS = 1000;

static constexpr uint8_t KEY_CODE_A = 0x60;
static constexpr uint8_t KEY_CODE_B = 0x61;

int cutBlockSlice(const char *blockText, int firstChar, int lastChar, char *slice, size_t sliceSize)
{
    if (sliceSize == 0)
        return 0;
    slice[0] = '\0';
    // The block text is 32 characters; never look beyond that or its end.
    int length = static_cast<int>(strnlen(blockText, BLOCK_TEXT_LENGTH));
    if (lastChar > length)
        lastChar = length;
    if (firstChar < 1 || lastChar < firstChar)
        return 0;
    int count = lastChar - firstChar + 1;
    if (count > BLOCK_SLICE_MAX)
        count = BLOCK_SLICE_MAX;
    if (static_cast<size_t>(count) > sliceSize - 1)
        count = static_cast<int>(sliceSize - 1);
    memcpy(slice, blockText + firstChar - 1, static_cast<size_t>(count));
    slice[count] = '\0';
    return count;
}

// Appends `tail` to the NUL-terminated `text` of `size` bytes, cutting what
// does not fit.
static void appendText(char *text, size_t size, const char *tail)
{
    size_t used = strnlen(text, size - 1);
    size_t room = size - 1 - used;
    size_t count = strnlen(tail, room);
    memcpy(text + used, tail, count);
    text[used + count] = '\0';
}

int optHardware(int fd)
{
    char cardText[CARD_TEXT_SIZE];
    char blockText[BLOCK_TEXT_SIZE];
    memset(cardText, 0, sizeof cardText);
    memset(blockText, 0, sizeof blockText);

    // A pending control request: OPT_READ is set again before the request is
    // taken, so a request arriving from now on waits for the next pass.
    ControlRequest request{};
    if (takeControlRequest(&request)) {
        ctrReaderDevice(fd, request.relay, request.buzzer, request.light1, request.light2);
        return 0;
    }

    // One whole telegram content for the whole pass.
    TelegramContent content = getTelegramContent();
    int status;
    if (content.readStyle == 0) {
        status = getReaderUid(fd, cardText);
    } else {
        uint8_t keyCode = content.keyType == 0 ? KEY_CODE_A : KEY_CODE_B;
        status = getReaderUidData(fd, keyCode, content.block, content.key, cardText, blockText);
        if (status == 0) {
            char slice[SLICE_SIZE];
            cutBlockSlice(blockText, content.firstChar, content.lastChar, slice, sizeof slice);
            appendText(cardText, sizeof cardText, slice);
        }
    }
    if (status != 0)
        return 0;

    if (getSrvConf().codeType == 1)
        appendText(cardText, sizeof cardText, "\r");
    accessGate(cardText);
    return 0;
}

static void sleepMs(int ms)
{
    timespec left{ms / 1000, (ms % 1000) * 1000000L};
    while (nanosleep(&left, &left) != 0 && errno == EINTR) {
    }
}

// Opens and configures the serial line; -1 (nothing left open) on failure.
static int openLine()
{
    int fd = open_port(paths.serialDevice);
    if (fd < 0)
        return -1;
    if (set_port(fd, LINE_SPEED, LINE_DATA_BITS, LINE_STOP_BITS, LINE_PARITY) != 0) {
        close(fd);
        return -1;
    }
    takeLineFault(); // start the new line with a clean slate
    return fd;
}

// Why the serial device cannot be used as a line right now (an errno value),
// or 0 when it can. Lets the retries stay quiet while the device is away.
static int lineProblem()
{
    int fd = open(paths.serialDevice, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return errno;
    int problem = isatty(fd) ? 0 : ENOTTY;
    close(fd);
    return problem;
}

// The loop's serial line, opened again after it has gone away. Returns the
// new descriptor or -1 while the device is still unusable.
static int reopenLine()
{
    if (lineProblem() != 0)
        return -1;
    int fd = openLine();
    if (fd >= 0)
        logPuts("Serial line ready");
    return fd;
}

int handle_event()
{
    // The line may be missing or unusable at start-up (the reader module
    // not yet there, a device that is not a terminal). The loop then reports
    // it once and tries again every second; it never hands an invalid
    // descriptor to the reader operations.
    int fd = open_port(paths.serialDevice);
    bool openFailed = fd < 0;
    if (fd >= 0 && set_port(fd, LINE_SPEED, LINE_DATA_BITS, LINE_STOP_BITS, LINE_PARITY) != 0) {
        close(fd);
        fd = -1;
    }
    if (fd < 0) {
        int problem = lineProblem();
        if (openFailed)
            logPrintf("\n"); // "Can't open serial %s" leaves its line open
        logPrintf("Serial line unavailable: %s, retrying\n", strerror(problem != 0 ? problem : EIO));
    } else {
        takeLineFault();
    }

    TelegramContent content = getTelegramContent();
    if (readTelegramContent(&content.readStyle, &content.keyType, content.key, &content.block,
                            &content.firstChar, &content.lastChar) == 0)
        setTelegramContent(content);
    content = getTelegramContent();
    logPrintf("readStyle=%d, keyType=%d, key=%02X%02X%02X%02X%02X%02X, block=%d, firstChar=%d, lastChar=%d\n",
              content.readStyle, content.keyType, content.key[0], content.key[1], content.key[2],
              content.key[3], content.key[4], content.key[5], content.block, content.firstChar,
              content.lastChar);

    // Load the server settings as well, so that the very first card already
    // follows the stored code type; every upload reloads them again.
    ServerConf server = getSrvConf();
    if (readServerConfig(server.ip, &server.port, &server.codeType) == 0)
        setSrvConf(server);

    sqlite3 *db = nullptr;
    if (sqlite3_open(paths.cardDb, &db) != SQLITE_OK) {
        logPuts(sqlite3_errmsg(db));
        sqlite3_close(db);
        if (fd >= 0)
            close(fd);
        return -1;
    }
    sqlite3_busy_timeout(db, DB_BUSY_TIMEOUT_MS);
    deleteCardRecordAll(db);
    // The card database stays open, unused, for the life of the loop.

    for (;;) {
        if (fd < 0) {
            // Control requests stay pending until the line is back.
            sleepMs(LINE_RETRY_MS);
            fd = reopenLine();
            continue;
        }
        optHardware(fd);
        int fault = takeLineFault();
        if (fault != 0) {
            logPrintf("Serial line lost: %s, retrying\n", strerror(fault));
            close(fd);
            fd = -1;
        }
    }
}
