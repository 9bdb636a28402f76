// Symbol tables and entries as a PLC sends them: any bytes decode to entries that lie inside
// the input, or to an error; decoding the same bytes as one entry agrees with the table.
#include "ads/AdsSymbols.h"

#include <cstdint>
#include <cstdlib>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    using namespace plc::ads;
    std::vector<SymbolEntry> table;
    const int32_t tableResult = DecodeSymbolTable(data, size, table);
    size_t texts = 0;
    for (const SymbolEntry& entry : table) {
        texts += entry.name.size() + entry.typeName.size() + entry.comment.size() + SYMBOL_ENTRY_HEADER_SIZE;
    }
    if (texts > size) {
        std::abort(); // every entry's header and texts come from the input
    }
    SymbolEntry first;
    size_t consumed = 0;
    const int32_t entryResult = DecodeSymbolEntry(data, size, first, consumed);
    if (entryResult == ADS_OK && (consumed == 0 || consumed > size)) {
        std::abort(); // a decoded entry always moves forward and stays inside the bytes
    }
    if (tableResult == ADS_OK && !table.empty() && (entryResult != ADS_OK || first.name != table.front().name)) {
        std::abort();
    }
    SymbolUploadInfo info;
    DecodeSymbolUploadInfo(data, size, info);
    return 0;
}
