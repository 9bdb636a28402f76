// The upload of a table the PLC announced in its upload info (symbols, data types): one read of
// the announced length, decoded whole, that must hold the announced number of entries.
#pragma once

#include "AdsRequests.h"

#include <cstdint>
#include <new>
#include <vector>

namespace plc::ads {

// `decode(data, size, entries)` returns an ADS code. A length over `maxLength` is refused with
// ADS_ERR_NO_MEMORY before anything is allocated; the raw bytes are freed before returning.
template <typename Entry, typename Decode>
int32_t ReadAnnouncedTable(int32_t port, const AmsAddr* pAddr, uint32_t group, uint32_t count, uint32_t length,
                           uint32_t maxLength, Decode decode, std::vector<Entry>* out)
{
    if (length > maxLength) {
        return ADS_ERR_NO_MEMORY;
    }
    if (length == 0) {
        out->clear();
        return count == 0 ? ADS_OK : ADS_ERR_INVALID_RESPONSE;
    }
    try {
        std::vector<Entry> entries;
        {
            std::vector<uint8_t> table(length);
            uint32_t bytesRead = 0;
            if (const int32_t status = AdsSyncReadReqEx2(port, pAddr, group, 0, length, table.data(), &bytesRead)) {
                return status;
            }
            if (const int32_t invalid = decode(table.data(), bytesRead, entries)) {
                return invalid;
            }
        }
        // A table that changed between the two requests, or lost entries on the way.
        if (entries.size() != count) {
            return ADS_ERR_INVALID_RESPONSE;
        }
        *out = std::move(entries);
        return ADS_OK;
    } catch (const std::bad_alloc&) {
        return ADS_ERR_NO_MEMORY;
    }
}

} // namespace plc::ads
