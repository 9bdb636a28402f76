#include "AdsSymbols.h"

#include "AdsRequests.h"
#include "LittleEndian.h"
#include "TableUpload.h"

#include <new>

namespace plc::ads {

namespace {
// The reply of an info request: one entry with texts of up to 64 KiB altogether is plenty.
constexpr uint32_t SYMBOL_INFO_READ_LENGTH = 64u * 1024u;
}

int32_t DecodeSymbolUploadInfo(const uint8_t* data, size_t size, SymbolUploadInfo& out)
{
    if (!data || size < 8) {
        return ADS_ERR_INVALID_RESPONSE;
    }
    le::Reader reader(data, size);
    SymbolUploadInfo info;
    info.symbolCount = reader.Get<uint32_t>();
    info.symbolLength = reader.Get<uint32_t>();
    info.dataTypesKnown = reader.Remaining() >= 8;
    info.dataTypeCount = reader.Get<uint32_t>();
    info.dataTypeLength = reader.Get<uint32_t>();
    out = info;
    return ADS_OK;
}

int32_t DecodeSymbolEntry(const uint8_t* data, size_t size, SymbolEntry& out, size_t& consumed)
{
    if (!data || size < SYMBOL_ENTRY_HEADER_SIZE) {
        return ADS_ERR_INVALID_RESPONSE;
    }
    le::Reader header(data, SYMBOL_ENTRY_HEADER_SIZE);
    const uint32_t entryLength = header.Get<uint32_t>();
    SymbolEntry entry;
    entry.indexGroup = header.Get<uint32_t>();
    entry.indexOffset = header.Get<uint32_t>();
    entry.size = header.Get<uint32_t>();
    entry.dataType = header.Get<uint32_t>();
    entry.flags = header.Get<uint32_t>();
    const size_t nameLength = header.Get<uint16_t>();
    const size_t typeLength = header.Get<uint16_t>();
    const size_t commentLength = header.Get<uint16_t>();
    // At most 30 + 3 * 65536: no overflow even with a 32-bit size_t.
    const size_t needed = SYMBOL_ENTRY_HEADER_SIZE + nameLength + typeLength + commentLength + 3;
    if (entryLength < needed || entryLength > size) {
        return ADS_ERR_INVALID_RESPONSE;
    }
    le::Reader texts(data + SYMBOL_ENTRY_HEADER_SIZE, entryLength - SYMBOL_ENTRY_HEADER_SIZE);
    entry.name = texts.GetTerminatedText(nameLength);
    entry.typeName = texts.GetTerminatedText(typeLength);
    entry.comment = texts.GetTerminatedText(commentLength);
    out = std::move(entry);
    consumed = entryLength;
    return ADS_OK;
}

int32_t DecodeSymbolTable(const uint8_t* data, size_t size, std::vector<SymbolEntry>& out)
{
    std::vector<SymbolEntry> entries;
    size_t position = 0;
    while (position < size) {
        SymbolEntry entry;
        size_t consumed = 0;
        // Every entry is at least its header long, so the walk always moves on.
        if (const int32_t status = DecodeSymbolEntry(data + position, size - position, entry, consumed)) {
            return status;
        }
        entries.push_back(std::move(entry));
        position += consumed;
    }
    out = std::move(entries);
    return ADS_OK;
}

int32_t ReadSymbolUploadInfo(int32_t port, const AmsAddr* pAddr, SymbolUploadInfo* info)
{
    if (!info) {
        return ADS_ERR_INVALID_PARAMETER;
    }
    uint8_t reply[SYMBOL_UPLOAD_INFO_SIZE] = {};
    uint32_t bytesRead = 0;
    const int32_t status =
        AdsSyncReadReqEx2(port, pAddr, ADS_IGRP_SYMBOL_UPLOAD_INFO, 0, sizeof(reply), reply, &bytesRead);
    if (status) {
        return status;
    }
    return DecodeSymbolUploadInfo(reply, bytesRead, *info);
}

int32_t ReadSymbolTable(int32_t port, const AmsAddr* pAddr, std::vector<SymbolEntry>* symbols)
{
    if (!symbols) {
        return ADS_ERR_INVALID_PARAMETER;
    }
    SymbolUploadInfo info;
    if (const int32_t status = ReadSymbolUploadInfo(port, pAddr, &info)) {
        return status;
    }
    return ReadAnnouncedTable(port, pAddr, ADS_IGRP_SYMBOL_UPLOAD, info.symbolCount, info.symbolLength,
                              SYMBOL_TABLE_MAX_LENGTH, DecodeSymbolTable, symbols);
}

int32_t ReadSymbolInfoByName(int32_t port, const AmsAddr* pAddr, const std::string& name, SymbolEntry* entry)
{
    if (!entry || name.size() > SYMBOL_INFO_READ_LENGTH) {
        return ADS_ERR_INVALID_PARAMETER;
    }
    try {
        std::vector<uint8_t> reply(SYMBOL_INFO_READ_LENGTH);
        uint32_t bytesRead = 0;
        const int32_t status =
            AdsSyncReadWriteReqEx2(port, pAddr, ADS_IGRP_SYMBOL_INFO_BY_NAME, 0, SYMBOL_INFO_READ_LENGTH,
                                   reply.data(), static_cast<uint32_t>(name.size()), name.data(), &bytesRead);
        if (status) {
            return status;
        }
        size_t consumed = 0;
        return DecodeSymbolEntry(reply.data(), bytesRead, *entry, consumed);
    } catch (const std::bad_alloc&) {
        return ADS_ERR_NO_MEMORY;
    }
}

} // namespace plc::ads
