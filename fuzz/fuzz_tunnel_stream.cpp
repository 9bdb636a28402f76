// What a peer sends inside the secure tunnel, cut into pieces and read with small buffers as
// the receive thread does: the AMS/TCP frames that come out are whole and consistent, each
// length matching its AMS header, or the stream is refused.
#include "ads/AmsHeader.h"
#include "ads/LittleEndian.h"
#include "ads/TunnelFraming.h"

#include <cstdint>
#include <cstdlib>
#include <stdexcept>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    using namespace plc::ads;
    if (size < 2) {
        return 0;
    }
    const size_t piece = 1 + data[0] % 64;
    const size_t outMax = 1 + data[1] % 48;
    data += 2;
    size -= 2;
    TunnelDecoder decoder;
    std::vector<uint8_t> out;
    try {
        for (size_t at = 0; at < size;) {
            const size_t offered = std::min(piece, size - at);
            size_t used = 0;
            std::vector<uint8_t> chunk(outMax);
            for (size_t produced = 1; produced != 0;) {
                size_t now = 0;
                produced = decoder.Decode(data + at + used, offered - used, now, chunk.data(), chunk.size());
                if (produced > outMax || now > offered - used) {
                    std::abort();
                }
                out.insert(out.end(), chunk.begin(), chunk.begin() + static_cast<std::ptrdiff_t>(produced));
                used += now;
            }
            if (used != offered) {
                std::abort(); // all input is taken once the output has room
            }
            at += offered;
        }
    } catch (const std::runtime_error&) {
        return 0;
    }
    for (size_t at = 0; at + AmsTcpHeader::SIZE + AoEHeader::SIZE <= out.size();) {
        const uint32_t tcpLength = AmsTcpHeader::Decode(out.data() + at).length;
        const uint32_t amsLength = AoEHeader::Decode(out.data() + at + AmsTcpHeader::SIZE).length;
        if (tcpLength != AoEHeader::SIZE + amsLength) {
            std::abort();
        }
        at += AmsTcpHeader::SIZE + tcpLength;
    }
    return 0;
}
