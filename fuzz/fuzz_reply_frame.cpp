/*
 * checkReplyFrame on a cleared 256-byte receive buffer holding the input, as
 * optFunction leaves it, both buffers heap blocks of exactly their size. The
 * result, reply count and copied data must follow the frame rules, worked
 * out here on their own; -1 leaves both outputs untouched.
 */
#include "fuzz/support.h"
#include "reader/optReader.h"

#include <algorithm>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const int replyMax = FRAME_BUFFER_SIZE - 7;
    std::vector<uint8_t> rx(FRAME_BUFFER_SIZE, 0), reply(replyMax, 0xEE);
    std::copy_n(data, std::min<size_t>(size, FRAME_BUFFER_SIZE), rx.begin());
    int count = -1000;
    int result = checkReplyFrame(rx.data(), reply.data(), &count);

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
    if (!std::equal(reply.begin(), reply.begin() + copied, rx.begin() + 5))
        fuzz::fail("reply data other than the frame's", data, size);
    for (int i = copied; i < replyMax; ++i)
        if (reply[i] != 0xEE)
            fuzz::fail("reply written past its data", data, size);
    return 0;
}
