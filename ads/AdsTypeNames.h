// The type names a PLC's symbol information gives its variables, and the data type ids that
// come with them. Names are those of the PLC language: "ARRAY [1..10] OF REAL" (one to three
// dimensions separated by commas, each "lower..upper" with signed 32-bit bounds, the element
// type after OF, itself possibly an array), "STRING(20)" and "WSTRING(80)" (a length of 1 to
// 65535; the bare keyword stands for 80). Keywords in any case, blanks around the parts.
// Parsed apart from any request, so that the simulator and the fuzz targets share the rules.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace plc::ads {

// The data type id of a symbol entry: the elementary type the value is stored as. A type of the
// program's own (alias, enumeration) carries its base type's id; an array its element's.
enum AdsDataTypeId : uint32_t {
    ADST_VOID = 0,
    ADST_INT16 = 2,
    ADST_INT32 = 3,
    ADST_REAL32 = 4,
    ADST_REAL64 = 5,
    ADST_INT8 = 16,
    ADST_UINT8 = 17,
    ADST_UINT16 = 18,
    ADST_UINT32 = 19,
    ADST_INT64 = 20,
    ADST_UINT64 = 21,
    ADST_STRING = 30,
    ADST_WSTRING = 31,
    ADST_BIT = 33,
    ADST_BIGTYPE = 65, // structures, function blocks, anything else
};

constexpr size_t MAX_ARRAY_DIMENSIONS = 3;
constexpr uint32_t DEFAULT_STRING_LENGTH = 80;
constexpr uint32_t MAX_STRING_LENGTH = 65535;

struct ArrayBounds {
    int32_t lower = 0;
    int32_t upper = 0;
    uint32_t Count() const { return static_cast<uint32_t>(int64_t{upper} - lower + 1); }
};

struct ArrayTypeName {
    std::vector<ArrayBounds> dimensions; // 1 to MAX_ARRAY_DIMENSIONS, each lower <= upper
    std::string element;                 // the element's type name, trimmed, not empty
};

// nullopt for anything but an array type name.
std::optional<ArrayTypeName> ParseArrayTypeName(std::string_view text);

// The length n of `keyword`(n) or of the bare keyword ("STRING", "WSTRING"); nullopt otherwise.
std::optional<uint32_t> ParseStringTypeName(std::string_view text, std::string_view keyword);

// "ARRAY [1..10, 0..2] OF " followed by the element's name.
std::string ArrayTypeNameText(const std::vector<ArrayBounds>& dimensions, const std::string& element);

} // namespace plc::ads
