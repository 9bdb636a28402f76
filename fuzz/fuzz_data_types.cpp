// Data-type tables as a PLC sends them, through the decoder and the layouts built on it: any
// bytes decode to entries inside the input or to an error, and every type the table describes
// reads a value of its size as JSON that writes back to the same bytes it shows.
#include "ads/AdsDataTypes.h"
#include "worker/plc_values.h"
#include "worker/values/structure_layouts.h"

#include <cstdint>
#include <cstdlib>
#include <vector>

namespace {
size_t textBytes(const plc::ads::DataTypeEntry& entry)
{
    size_t bytes = plc::ads::DATA_TYPE_ENTRY_HEADER_SIZE + entry.name.size() + entry.typeName.size() +
                   entry.comment.size() + entry.dimensions.size() * 8;
    for (const auto& member : entry.members) {
        bytes += textBytes(member);
    }
    return bytes;
}
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    using namespace plc::ads;
    std::vector<DataTypeEntry> table;
    if (DecodeDataTypeTable(data, size, table) != ADS_OK) {
        return 0;
    }
    size_t bytes = 0;
    for (const DataTypeEntry& entry : table) {
        bytes += textBytes(entry);
    }
    if (bytes > size) {
        std::abort(); // every header, text and dimension comes from the input
    }
    std::vector<std::pair<std::string, uint32_t>> named;
    for (const DataTypeEntry& entry : table) {
        named.emplace_back(entry.name, entry.size);
    }
    const Structure_Layouts layouts(std::move(table));
    for (const auto& [name, typeSize] : named) {
        QString refusal;
        const std::optional<Plc_Type> type = layouts.describe(name, typeSize, refusal);
        if (!type || type->size > MAX_VALUE_SIZE) {
            continue;
        }
        if (type->size != typeSize) {
            std::abort();
        }
        std::vector<uint8_t> value(static_cast<size_t>(type->size));
        for (size_t i = 0; i < value.size(); ++i) {
            value[i] = data[i % size];
        }
        const QString text = bytesToText(*type, value.data(), value.size());
        std::vector<uint8_t> again(value.size());
        // A text that writes must write back what it shows.
        if (!text.isEmpty() && textToBytes(text, *type, again.data()).isEmpty() &&
            bytesToText(*type, again.data(), again.size()) != text) {
            std::abort();
        }
    }
    return 0;
}
