#include "TunnelFraming.h"

#include "LittleEndian.h"

#include <algorithm>
#include <cstring>
#include <stdexcept>

namespace plc::ads {

namespace {
// Offset of the data length inside the 32-byte AMS header.
constexpr size_t AMS_LENGTH_OFFSET = 20;

// memcpy must not see a null pointer, even for no bytes.
void Copy(uint8_t* to, const uint8_t* from, size_t count)
{
    if (count) {
        std::memcpy(to, from, count);
    }
}
}

void TunnelEncoder::Encode(const uint8_t* data, size_t size, std::vector<uint8_t>& out)
{
    pieces.clear();
    const size_t outStart = out.size();
    if (TUNNEL_KEEPS_TCP_HEADER) {
        out.insert(out.end(), data, data + size);
        pieces.emplace_back(out.size() - outStart, size);
        return;
    }
    size_t pos = 0;
    while (pos < size) {
        if (bodyLeft == 0) {
            const size_t take = std::min(AmsTcpHeader::SIZE - headerHave, size - pos);
            std::memcpy(header + headerHave, data + pos, take);
            headerHave += take;
            pos += take;
            if (headerHave == AmsTcpHeader::SIZE) {
                headerHave = 0;
                bodyLeft = AmsTcpHeader::Decode(header).length;
            }
            // A dropped header stands for nothing on the wire: it counts as sent with what follows.
            continue;
        }
        const size_t take = static_cast<size_t>(std::min<uint64_t>(bodyLeft, size - pos));
        out.insert(out.end(), data + pos, data + pos + take);
        pos += take;
        bodyLeft -= take;
        pieces.emplace_back(out.size() - outStart, pos);
    }
}

size_t TunnelEncoder::InputFor(size_t tunnelBytes) const
{
    size_t inputEnd = 0;
    size_t outputEnd = 0;
    for (const auto& piece : pieces) {
        if (piece.first > tunnelBytes) {
            // A piece copies its input bytes one to one; a cut at its start leaves the
            // header dropped before it unsent as well.
            const size_t sent = tunnelBytes - outputEnd;
            return sent == 0 ? inputEnd : piece.second - (piece.first - outputEnd) + sent;
        }
        outputEnd = piece.first;
        inputEnd = piece.second;
    }
    return inputEnd;
}

size_t TunnelDecoder::Decode(const uint8_t* in, size_t inSize, size_t& consumed, uint8_t* out, size_t outMax)
{
    consumed = 0;
    if (TUNNEL_KEEPS_TCP_HEADER) {
        const size_t count = std::min(inSize, outMax);
        Copy(out, in, count);
        consumed = count;
        return count;
    }
    size_t produced = 0;
    while (produced < outMax) {
        if (phase == Phase::Collect) {
            const size_t take = std::min(AoEHeader::SIZE - have, inSize - consumed);
            Copy(head + AmsTcpHeader::SIZE + have, in + consumed, take);
            have += take;
            consumed += take;
            if (have < AoEHeader::SIZE) {
                break;
            }
            const uint32_t dataLength = le::Read<uint32_t>(head + AmsTcpHeader::SIZE + AMS_LENGTH_OFFSET);
            if (dataLength > UINT32_MAX - AoEHeader::SIZE) {
                throw std::runtime_error("AMS length in the tunnel too large for a frame");
            }
            AmsTcpHeader tcp;
            tcp.length = static_cast<uint32_t>(AoEHeader::SIZE + dataLength);
            tcp.Encode(head);
            bodyLeft = dataLength;
            have = 0;
            phase = Phase::Header;
        }
        if (phase == Phase::Header) {
            const size_t take = std::min(sizeof(head) - have, outMax - produced);
            Copy(out + produced, head + have, take);
            have += take;
            produced += take;
            if (have < sizeof(head)) {
                break;
            }
            have = 0;
            phase = Phase::Body;
        }
        if (phase == Phase::Body) {
            const size_t take =
                static_cast<size_t>(std::min<uint64_t>(bodyLeft, std::min(inSize - consumed, outMax - produced)));
            Copy(out + produced, in + consumed, take);
            produced += take;
            consumed += take;
            bodyLeft -= take;
            if (bodyLeft != 0) {
                break;
            }
            phase = Phase::Collect;
        }
    }
    return produced;
}

} // namespace plc::ads
