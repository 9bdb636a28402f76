// The data-type table a PLC uploads: the layouts of the program's own types (structures,
// aliases, enumerations, arrays), which member types refer to by name.
//
// This layout is known only from published captures of its bytes, so every
// field is untrusted and this file is the one place that knows it. All numbers little-endian.
//
//   Sizes: the symbol upload info (AdsSymbols.h), whose third and fourth u32 are the
//     data-type count and the data-type table length.
//   Table: Read, index group 0xF00E, offset 0, the table length asked for. Reply: the
//     top-level entries back to back, nothing else.
//
//   Entry (42-byte header):
//     u32 entry length (from this field to the next entry, everything of this one included)
//     u32 version, u32 hash value, u32 type hash value
//     u32 size, u32 offset (of a member: where it starts in its structure)
//     u32 data type id (65 for a structure), u32 flags
//     u16 name length, u16 type name length, u16 comment length (each without terminator)
//     u16 array dimensions, u16 sub-item count
//     name, 0, type name, 0, comment, 0
//     dimensions x { i32 lower bound, u32 element count }
//     sub-items: each a complete entry with its own entry length
//     anything else up to the entry length (GUID, attributes, methods, enumeration values)
//     is skipped.
//   With DATA_TYPE_FLAG_BIT_VALUES set, an entry's size and offset count bits, not bytes.
//   An entry whose parts do not fit its entry length, or whose length overruns the bytes
//   it is in, makes the whole table invalid.
#pragma once

#include "AdsDef.h"

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace plc::ads {

constexpr size_t DATA_TYPE_ENTRY_HEADER_SIZE = 42;
constexpr uint32_t DATA_TYPE_FLAG_BIT_VALUES = 0x20;
// Sub-items nest at most this deep inside one entry; deeper is refused, not recursed into.
constexpr size_t DATA_TYPE_MAX_NESTING = 16;
// A table longer than this is refused with ADS_ERR_NO_MEMORY instead of being allocated.
constexpr uint32_t DATA_TYPE_TABLE_MAX_LENGTH = 16u * 1024u * 1024u;

struct DataTypeDimension {
    int32_t lower = 0;
    uint32_t count = 0;
};

struct DataTypeEntry {
    uint32_t size = 0;   // bytes, or bits with DATA_TYPE_FLAG_BIT_VALUES
    uint32_t offset = 0; // the same unit as size
    uint32_t dataType = 0;
    uint32_t flags = 0;
    std::string name;     // a type's name, or a member's
    std::string typeName; // a type's base type, or a member's type
    std::string comment;
    std::vector<DataTypeDimension> dimensions;
    std::vector<DataTypeEntry> members;

    bool InBits() const { return (flags & DATA_TYPE_FLAG_BIT_VALUES) != 0; }
};

// Each returns ADS_OK or ADS_ERR_INVALID_RESPONSE and never reads outside [data, data + size).
// Decodes the entry at the start of the bytes; `consumed` gets its entry length.
int32_t DecodeDataTypeEntry(const uint8_t* data, size_t size, DataTypeEntry& out, size_t& consumed);
// The bytes must hold whole entries and nothing else.
int32_t DecodeDataTypeTable(const uint8_t* data, size_t size, std::vector<DataTypeEntry>& out);

// Upload info, then the table in one read; its entry count must match the upload info.
// ADS codes as the other requests; a table over DATA_TYPE_TABLE_MAX_LENGTH gives ADS_ERR_NO_MEMORY.
int32_t ReadDataTypeTable(int32_t port, const AmsAddr* pAddr, std::vector<DataTypeEntry>* types);

} // namespace plc::ads
