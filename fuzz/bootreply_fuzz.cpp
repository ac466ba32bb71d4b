// The boot loader's answer as the download reads it: the first two bytes give
// the count DirectReceive returned (any 16-bit value, negative included), the
// rest fills the 255-byte read area (older bytes stay behind the answer).
#include "firmware/DownloadSequence.h"

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    if (size < 2)
        return 0;
    const auto count = static_cast<std::int16_t>(static_cast<std::uint16_t>(data[0] | (data[1] << 8)));
    unsigned char area[255];
    std::memset(area, 0xAA, sizeof area);
    std::memcpy(area, data + 2, std::min(size - 2, sizeof area));

    const norvik::BootReply reply = norvik::ClassifyBootReply(area, static_cast<int>(sizeof area), count);
    // A letter is only taken when it was really read: nothing counts for a read of nothing.
    if (count <= 0 && reply != norvik::BootReply::Other)
        std::abort();
    if (reply == norvik::BootReply::Ack && area[0] != 'K')
        std::abort();
    return 0;
}
