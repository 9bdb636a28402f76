#include "AdsDataTypes.h"

#include "AdsSymbols.h"
#include "LittleEndian.h"
#include "TableUpload.h"

namespace plc::ads {

namespace {
constexpr size_t DIMENSION_SIZE = 8;


int32_t DecodeEntry(const uint8_t* data, size_t size, size_t depth, DataTypeEntry& out, size_t& consumed)
{
    if (!data || size < DATA_TYPE_ENTRY_HEADER_SIZE || depth > DATA_TYPE_MAX_NESTING) {
        return ADS_ERR_INVALID_RESPONSE;
    }
    le::Reader header(data, DATA_TYPE_ENTRY_HEADER_SIZE);
    const uint32_t entryLength = header.Get<uint32_t>();
    header.Skip(12); // version and the two hash values
    DataTypeEntry entry;
    entry.size = header.Get<uint32_t>();
    entry.offset = header.Get<uint32_t>();
    entry.dataType = header.Get<uint32_t>();
    entry.flags = header.Get<uint32_t>();
    const size_t nameLength = header.Get<uint16_t>();
    const size_t typeLength = header.Get<uint16_t>();
    const size_t commentLength = header.Get<uint16_t>();
    const size_t dimensionCount = header.Get<uint16_t>();
    const size_t memberCount = header.Get<uint16_t>();
    // At most 42 + 3 * 65536 + 65535 * 8: no overflow even with a 32-bit size_t.
    const size_t fixed = DATA_TYPE_ENTRY_HEADER_SIZE + nameLength + typeLength + commentLength + 3 +
                         dimensionCount * DIMENSION_SIZE;
    if (entryLength < fixed || entryLength > size) {
        return ADS_ERR_INVALID_RESPONSE;
    }
    le::Reader body(data + DATA_TYPE_ENTRY_HEADER_SIZE, entryLength - DATA_TYPE_ENTRY_HEADER_SIZE);
    entry.name = body.GetTerminatedText(nameLength);
    entry.typeName = body.GetTerminatedText(typeLength);
    entry.comment = body.GetTerminatedText(commentLength);
    entry.dimensions.resize(dimensionCount);
    for (auto& dimension : entry.dimensions) {
        dimension.lower = body.Get<int32_t>();
        dimension.count = body.Get<uint32_t>();
    }
    // Each member takes at least a header, so a count the bytes cannot hold is refused before
    // anything is reserved for it.
    if (memberCount > body.Remaining() / DATA_TYPE_ENTRY_HEADER_SIZE) {
        return ADS_ERR_INVALID_RESPONSE;
    }
    entry.members.resize(memberCount);
    for (auto& member : entry.members) {
        size_t memberLength = 0;
        if (const int32_t status = DecodeEntry(body.Position(), body.Remaining(), depth + 1, member, memberLength)) {
            return status;
        }
        body.Skip(memberLength);
    }
    out = std::move(entry);
    consumed = entryLength;
    return ADS_OK;
}
} // namespace

int32_t DecodeDataTypeEntry(const uint8_t* data, size_t size, DataTypeEntry& out, size_t& consumed)
{
    return DecodeEntry(data, size, 0, out, consumed);
}

int32_t DecodeDataTypeTable(const uint8_t* data, size_t size, std::vector<DataTypeEntry>& out)
{
    std::vector<DataTypeEntry> entries;
    size_t position = 0;
    while (position < size) {
        DataTypeEntry entry;
        size_t consumed = 0;
        // Every entry is at least its header long, so the walk always moves on.
        if (const int32_t status = DecodeEntry(data + position, size - position, 0, entry, consumed)) {
            return status;
        }
        entries.push_back(std::move(entry));
        position += consumed;
    }
    out = std::move(entries);
    return ADS_OK;
}

int32_t ReadDataTypeTable(int32_t port, const AmsAddr* pAddr, std::vector<DataTypeEntry>* types)
{
    if (!types) {
        return ADS_ERR_INVALID_PARAMETER;
    }
    SymbolUploadInfo info;
    if (const int32_t status = ReadSymbolUploadInfo(port, pAddr, &info)) {
        return status;
    }
    if (!info.dataTypesKnown) {
        return ADS_ERR_INVALID_RESPONSE;
    }
    return ReadAnnouncedTable(port, pAddr, ADS_IGRP_DATA_TYPE_UPLOAD, info.dataTypeCount, info.dataTypeLength,
                              DATA_TYPE_TABLE_MAX_LENGTH, DecodeDataTypeTable, types);
}

} // namespace plc::ads
