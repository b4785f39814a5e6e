/*
 * checkReplyFrame on a cleared 256-byte receive buffer filled with the
 * input (as optFunction leaves it after a read of up to 256 bytes).
 *
 * Checks beyond "no crash": the receive buffer and the 249-byte reply
 * buffer are heap blocks of exactly their size, so any access outside them
 * is reported; a result of 0 copies exactly length - 1 data bytes, -2 one
 * byte, -1 leaves both outputs untouched; a frame is accepted only when its
 * start, check and end bytes are right.
 */
#include "fuzz/support.h"
#include "reader/optReader.h"

#include <cstdlib>
#include <cstring>

static constexpr int REPLY_DATA_MAX = FRAME_BUFFER_SIZE - 7; // 249

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    uint8_t *rx = static_cast<uint8_t *>(malloc(FRAME_BUFFER_SIZE));
    uint8_t *reply = static_cast<uint8_t *>(malloc(REPLY_DATA_MAX));
    memset(rx, 0, FRAME_BUFFER_SIZE);
    memcpy(rx, data, size < FRAME_BUFFER_SIZE ? size : FRAME_BUFFER_SIZE);
    memset(reply, 0xEE, REPLY_DATA_MAX);
    int replyCount = -12345;

    int status = checkReplyFrame(rx, reply, &replyCount);

    int length = rx[3];
    bool frameOk = rx[0] == 0xAA && length >= 1 && length + 6 <= FRAME_BUFFER_SIZE &&
                   rx[length + 4] == makecrc(rx + 1, length + 3) && rx[length + 5] == 0xBB;
    switch (status) {
    case 0:
        if (!frameOk || rx[4] != 0)
            fuzz::fail("result 0 for a frame that is not a valid success reply", data, size);
        if (replyCount != length - 1)
            fuzz::fail("result 0 with a reply count other than length - 1", data, size);
        if (replyCount > 0 && memcmp(reply, rx + 5, static_cast<size_t>(replyCount)) != 0)
            fuzz::fail("result 0 with reply data other than the frame's", data, size);
        for (int i = replyCount; i < REPLY_DATA_MAX; ++i)
            if (reply[i] != 0xEE)
                fuzz::fail("result 0 wrote past the reply data", data, size);
        break;
    case -2:
        if (!frameOk || rx[4] == 0)
            fuzz::fail("result -2 for a frame that is not a valid failure reply", data, size);
        if (replyCount != 1 || reply[0] != rx[5])
            fuzz::fail("result -2 without the error byte", data, size);
        for (int i = 1; i < REPLY_DATA_MAX; ++i)
            if (reply[i] != 0xEE)
                fuzz::fail("result -2 wrote more than one byte", data, size);
        break;
    case -1:
        if (frameOk)
            fuzz::fail("a valid frame refused", data, size);
        if (replyCount != -12345)
            fuzz::fail("result -1 changed the reply count", data, size);
        for (int i = 0; i < REPLY_DATA_MAX; ++i)
            if (reply[i] != 0xEE)
                fuzz::fail("result -1 changed the reply data", data, size);
        break;
    default:
        fuzz::fail("result other than 0, -1 and -2", data, size);
    }

    free(reply);
    free(rx);
    return 0;
}
