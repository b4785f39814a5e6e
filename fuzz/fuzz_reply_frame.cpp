/*
 * checkReplyFrame on a cleared 256-byte receive buffer holding the input, as
 * optFunction leaves it after a read. Both buffers are heap blocks of
 * exactly their size, so any access outside them is reported. The result
 * must follow the frame rules, worked out here on their own: 0 for a valid
 * frame with status 0, its length - 1 data bytes (0..249) copied and no
 * more; -2 for a valid frame with another status, the byte after the status
 * copied; -1 for anything else, both outputs untouched.
 */
#include "fuzz/support.h"
#include "reader/optReader.h"

#include <cstdlib>
#include <cstring>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const int replyMax = FRAME_BUFFER_SIZE - 7;
    uint8_t *rx = static_cast<uint8_t *>(calloc(FRAME_BUFFER_SIZE, 1));
    uint8_t *reply = static_cast<uint8_t *>(malloc(replyMax));
    memcpy(rx, data, size < FRAME_BUFFER_SIZE ? size : FRAME_BUFFER_SIZE);
    memset(reply, 0xEE, replyMax);
    int count = -1000;
    int result = checkReplyFrame(rx, reply, &count);

    int length = rx[3];
    bool valid = rx[0] == 0xAA && length >= 1 && length + 6 <= FRAME_BUFFER_SIZE && rx[length + 5] == 0xBB;
    uint8_t check = 0;
    for (int i = 1; valid && i < length + 4; ++i)
        check ^= rx[i];
    valid = valid && rx[length + 4] == check;
    int copied = !valid ? 0 : rx[4] == 0 ? length - 1 : 1;
    if (result != (!valid ? -1 : rx[4] == 0 ? 0 : -2))
        fuzz::fail("result against the frame rules", data, size);
    if (count != (valid ? copied : -1000))
        fuzz::fail("reply count other than length - 1, 1 or untouched", data, size);
    if (memcmp(reply, rx + 5, static_cast<size_t>(copied)) != 0)
        fuzz::fail("reply data other than the frame's", data, size);
    for (int i = copied; i < replyMax; ++i)
        if (reply[i] != 0xEE)
            fuzz::fail("reply written past its data", data, size);
    free(reply);
    free(rx);
    return 0;
}
