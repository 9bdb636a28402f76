// How AMS packets travel inside the secure tunnel, known only from a public description:
// without the 6-byte AMS/TCP header, each packet delimited by its AMS header's data length.
// The connection keeps reading and writing AMS/TCP frames; this is the one place that
// converts, so that a PLC proving the description wrong changes only this file
// (TUNNEL_KEEPS_TCP_HEADER turns it into a plain pass-through).
#pragma once

#include "AmsHeader.h"

#include <cstddef>
#include <cstdint>
#include <vector>

namespace plc::ads {

constexpr bool TUNNEL_KEEPS_TCP_HEADER = false;

// AMS/TCP frames to tunnel bytes. Frames may be cut anywhere between calls.
class TunnelEncoder {
public:
    // Appends the tunnel form of `data` to `out`; `marks` receives, for each byte count of
    // `out` that ends a piece, the count of `data` it stands for (to map a short write back).
    void Encode(const uint8_t* data, size_t size, std::vector<uint8_t>& out);
    // How many input bytes the first `tunnelBytes` bytes of the last Encode output stand for.
    size_t InputFor(size_t tunnelBytes) const;

private:
    uint8_t header[AmsTcpHeader::SIZE] = {};
    size_t headerHave = 0;
    uint64_t bodyLeft = 0;
    // Pairs (output end, input end) of the pieces of the last Encode.
    std::vector<std::pair<size_t, size_t>> pieces;
};

// Tunnel bytes to AMS/TCP frames. The peer is untrusted: a data length whose frame length
// cannot be expressed ends the stream.
class TunnelDecoder {
public:
    // Moves what it can from `in` (`inSize` bytes; `consumed` set) to `out` (at most `outMax`);
    // returns the bytes written. Throws std::runtime_error for a length no frame can carry.
    size_t Decode(const uint8_t* in, size_t inSize, size_t& consumed, uint8_t* out, size_t outMax);

private:
    enum class Phase { Collect, Header, Body };
    Phase phase = Phase::Collect;
    uint8_t head[AmsTcpHeader::SIZE + AoEHeader::SIZE] = {};
    size_t have = 0;    // AMS header bytes collected, then header bytes handed out
    uint64_t bodyLeft = 0;
};

} // namespace plc::ads
