// Symbol information a PLC runtime offers: the size of its symbol table, the whole table,
// and one symbol's entry by name. Decoders are apart from the requests so they can be fed
// any bytes on their own.
//
// Layouts (all numbers little-endian):
//
//   Upload info: Read, index group 0xF00F, offset 0, 24 bytes asked for. Reply:
//     u32 symbol count, u32 symbol table length in bytes,
//     u32 data type count, u32 data type table length, u32 extra count, u32 extra length.
//     A reply of at least the first 8 bytes is accepted; the data-type figures count when
//     the reply holds them.
//
//   Symbol upload: Read, index group 0xF00B, offset 0, the table length asked for.
//     Reply: the entries back to back, nothing else.
//
//   Symbol info by name: ReadWrite, index group 0xF009, offset 0; written: the symbol name
//     (no terminator); read: one entry.
//
//   Entry:
//     u32 entry length (from this field to the next entry, header included)
//     u32 index group, u32 index offset, u32 size in bytes, u32 data type id, u32 flags
//     u16 name length, u16 type name length, u16 comment length (each without its terminator)
//     name, 0, type name, 0, comment, 0
//     anything else up to the entry length (newer runtimes append more) is skipped.
//   An entry shorter than its 30-byte header plus its three texts and terminators, or
//   longer than the bytes left, makes the whole reply invalid.
#pragma once

#include "AdsDef.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace plc::ads {

struct SymbolUploadInfo {
    uint32_t symbolCount = 0;
    uint32_t symbolLength = 0;
    bool dataTypesKnown = false; // the reply held the next two
    uint32_t dataTypeCount = 0;
    uint32_t dataTypeLength = 0;
};

struct SymbolEntry {
    uint32_t indexGroup = 0;
    uint32_t indexOffset = 0;
    uint32_t size = 0;
    uint32_t dataType = 0;
    uint32_t flags = 0;
    std::string name;
    std::string typeName;
    std::string comment;
};

constexpr size_t SYMBOL_ENTRY_HEADER_SIZE = 30;
constexpr size_t SYMBOL_UPLOAD_INFO_SIZE = 24;
// A table longer than this is refused with ADS_ERR_NO_MEMORY instead of being allocated.
constexpr uint32_t SYMBOL_TABLE_MAX_LENGTH = 64u * 1024u * 1024u;

// Each returns ADS_OK or ADS_ERR_INVALID_RESPONSE and never reads outside [data, data + size).
int32_t DecodeSymbolUploadInfo(const uint8_t* data, size_t size, SymbolUploadInfo& out);
// Decodes the entry at the start of the bytes; `consumed` gets its entry length.
int32_t DecodeSymbolEntry(const uint8_t* data, size_t size, SymbolEntry& out, size_t& consumed);
// The bytes must hold whole entries and nothing else.
int32_t DecodeSymbolTable(const uint8_t* data, size_t size, std::vector<SymbolEntry>& out);

// The requests; ADS result codes as the other request functions. The table's entry count
// must match its upload info.
int32_t ReadSymbolUploadInfo(int32_t port, const AmsAddr* pAddr, SymbolUploadInfo* info);
int32_t ReadSymbolTable(int32_t port, const AmsAddr* pAddr, std::vector<SymbolEntry>* symbols);
int32_t ReadSymbolInfoByName(int32_t port, const AmsAddr* pAddr, const std::string& name, SymbolEntry* entry);

} // namespace plc::ads
