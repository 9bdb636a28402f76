// Sum command replies as a PLC sends them: the first byte picks the sub-request count and the
// read lengths, the rest is the reply. Any bytes decode within the input or are refused whole;
// the grants found in a reply nobody can use are never more than it asked for, and in a usable
// reply exactly those its decoder grants.
#include "ads/AdsSum.h"
#include "ads/LateGrants.h"

#include <cstdint>
#include <cstdlib>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    using namespace plc::ads;
    if (size == 0) {
        return 0;
    }
    const size_t n = data[0] % 8;
    std::vector<uint32_t> lengths;
    for (size_t i = 0; i < n; ++i) {
        lengths.push_back(static_cast<uint32_t>((data[0] >> 3) * (i + 1)));
    }
    const uint8_t* reply = data + 1;
    const size_t length = size - 1;

    std::vector<int32_t> results;
    if (DecodeSumResults(reply, length, n, results) == ADS_OK ? results.size() != n || length != 4 * n
                                                              : !results.empty()) {
        std::abort();
    }
    for (const bool readWrite : {false, true}) {
        std::vector<SumReadWriteResult> out;
        const int32_t status = readWrite ? DecodeSumReadWrite(reply, length, lengths, out)
                                         : DecodeSumRead(reply, length, lengths, out);
        size_t bytes = 0;
        for (size_t i = 0; i < out.size(); ++i) {
            if (out[i].data.size() > lengths[i]) {
                std::abort(); // never more than asked for
            }
            bytes += out[i].data.size() + (readWrite ? 8 : 4);
        }
        if (status == ADS_OK ? out.size() != n || bytes != length : !out.empty()) {
            std::abort(); // a decoded reply is exactly its layout; a refused one gives nothing
        }
    }
    std::vector<SumGrant> grants;
    if (DecodeSumAddNotification(reply, length, n, grants) == ADS_OK) {
        for (const SumGrant& g : grants) {
            if (g.result == ADS_OK && g.handle == 0) {
                std::abort(); // handle 0 is never a grant
            }
        }
    } else if (!grants.empty()) {
        std::abort();
    }
    if (n == 0) {
        return 0;
    }
    using Kind = GrantingRequest::Kind;
    for (const Kind kind : {Kind::SymbolHandle, Kind::SumSymbolHandles, Kind::SumNotifications}) {
        const GrantingRequest request{kind, kind == Kind::SymbolHandle ? 1u : static_cast<uint32_t>(n)};
        const GrantReleases found = GrantsIn(request, 0, reply, length);
        if (found.notifications.size() + found.symbolHandles.size() > request.count) {
            std::abort();
        }
        if (kind == Kind::SumNotifications && GrantsUsable(request, 0, reply, length)) {
            size_t granted = 0;
            for (const SumGrant& g : grants) {
                granted += g.result == ADS_OK ? 1 : 0;
            }
            if (granted != found.notifications.size()) {
                std::abort();
            }
        }
    }
    // The same bytes as a request's payload: noted or not, never read beyond.
    (void)GrantingRequestOf(ADS_CMD_READ_WRITE, reply, length);
    return 0;
}
