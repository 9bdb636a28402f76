// The data-type table the simulator serves: one entry per structure type with its members as
// sub-items, and one per type of the program's own (the layout is written down in
// ads/AdsDataTypes.h). Written here on its own, so that the stack's decoder is checked against
// bytes it did not make.
#include "tools/sim/SimServer.h"

#include "ads/AdsDataTypes.h"

#include <algorithm>

namespace plcsim {
namespace {

constexpr uint32_t kVersion = 1;
constexpr uint32_t kFlagDataType = 0x1;
constexpr uint32_t kFlagDataItem = 0x2;
constexpr uint32_t kFlagTypeGuid = 0x80;
constexpr size_t kGuidSize = 16;

uint16_t TextLength(const std::string& text)
{
    return static_cast<uint16_t>(std::min<size_t>(text.size(), UINT16_MAX));
}

// A made-up hash that is never 0, so a client cannot mistake it for a missing one.
uint32_t Hash(const std::string& text, uint32_t seed)
{
    uint32_t h = 2166136261u ^ seed;
    for (const char c : text) {
        h = (h ^ static_cast<uint8_t>(c)) * 16777619u;
    }
    return h | 1;
}

struct Entry {
    std::string name;
    std::string typeName;
    std::string comment;
    uint32_t size = 0;
    uint32_t offset = 0;
    uint32_t dataTypeId = 0;
    uint32_t flags = 0;
    std::vector<plc::ads::ArrayBounds> dimensions;
    std::vector<std::vector<uint8_t>> subItems;
    bool guid = false;
};

std::vector<uint8_t> Encode(const Entry& e)
{
    const uint16_t nameLength = TextLength(e.name);
    const uint16_t typeLength = TextLength(e.typeName);
    const uint16_t commentLength = TextLength(e.comment);
    size_t length = plc::ads::DATA_TYPE_ENTRY_HEADER_SIZE + nameLength + typeLength + commentLength + 3 +
                    8 * e.dimensions.size() + (e.guid ? kGuidSize : 0);
    for (const auto& item : e.subItems) {
        length += item.size();
    }
    std::vector<uint8_t> out(length, 0);
    le::Writer w(out.data());
    w.Put<uint32_t>(static_cast<uint32_t>(length)).Put<uint32_t>(kVersion);
    w.Put<uint32_t>(Hash(e.name + ":" + e.typeName, 1)).Put<uint32_t>(Hash(e.typeName, 2));
    w.Put<uint32_t>(e.size).Put<uint32_t>(e.offset).Put<uint32_t>(e.dataTypeId);
    w.Put<uint32_t>(e.flags | (e.guid ? kFlagTypeGuid : 0));
    w.Put<uint16_t>(nameLength).Put<uint16_t>(typeLength).Put<uint16_t>(commentLength);
    w.Put<uint16_t>(static_cast<uint16_t>(e.dimensions.size())).Put<uint16_t>(static_cast<uint16_t>(e.subItems.size()));
    w.PutBytes(e.name.data(), nameLength).Put<uint8_t>(0);
    w.PutBytes(e.typeName.data(), typeLength).Put<uint8_t>(0);
    w.PutBytes(e.comment.data(), commentLength).Put<uint8_t>(0);
    for (const auto& bounds : e.dimensions) {
        w.Put<int32_t>(bounds.lower).Put<uint32_t>(bounds.Count());
    }
    for (const auto& item : e.subItems) {
        w.PutBytes(item.data(), item.size());
    }
    if (e.guid) {
        const uint32_t seed = Hash(e.name, 3);
        for (size_t i = 0; i < kGuidSize / 4; ++i) {
            w.Put<uint32_t>(seed * static_cast<uint32_t>(i + 1));
        }
    }
    return out;
}

} // namespace

std::vector<uint8_t> EncodeDataTypeTable(const std::vector<StructType>& types,
                                         const std::vector<AliasType>& aliases)
{
    std::vector<uint8_t> table;
    for (const StructType& type : types) {
        Entry entry{type.name, std::string(), std::string(), type.size, 0, plc::ads::ADST_BIGTYPE,
                    kFlagDataType, {}, {}, true};
        for (const StructMember& m : type.members) {
            const uint32_t flags = kFlagDataItem | (m.bit ? plc::ads::DATA_TYPE_FLAG_BIT_VALUES : 0);
            entry.subItems.push_back(
                Encode(Entry{m.name, m.typeName, m.comment, m.size, m.offset, m.dataTypeId, flags, m.dimensions, {}, false}));
        }
        const std::vector<uint8_t> bytes = Encode(entry);
        table.insert(table.end(), bytes.begin(), bytes.end());
    }
    for (const AliasType& alias : aliases) {
        const std::vector<uint8_t> bytes =
            Encode(Entry{alias.name, alias.baseTypeName, std::string(), alias.size, 0, alias.dataTypeId, kFlagDataType, {}, {}, false});
        table.insert(table.end(), bytes.begin(), bytes.end());
    }
    return table;
}

} // namespace plcsim
