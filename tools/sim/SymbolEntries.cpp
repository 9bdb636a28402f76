// Symbol-table entries as the simulator's symbol-information services send them
// (the layout is written down in ads/AdsSymbols.h).
#include "tools/sim/PlcSimulator.h"

#include "ads/AdsSymbols.h"
#include "ads/LittleEndian.h"

#include <algorithm>
#include <cstring>

namespace plcsim {
namespace {

namespace le = plc::ads::le;

uint16_t TextLength(const std::string& text)
{
    return static_cast<uint16_t>(std::min<size_t>(text.size(), UINT16_MAX));
}

} // namespace

std::string DefaultTypeName(size_t size)
{
    switch (size) {
    case 1:
        return "BYTE";
    case 2:
        return "WORD";
    case 4:
        return "DWORD";
    case 8:
        return "LWORD";
    case 81:
        return "STRING(80)";
    default:
        return "ARRAY [0.." + std::to_string(size == 0 ? 0 : size - 1) + "] OF BYTE";
    }
}

std::vector<uint8_t> EncodeSymbolEntry(const std::string& name, const std::string& typeName,
                                       const std::string& comment, uint32_t size, uint32_t indexGroup,
                                       uint32_t indexOffset, uint32_t dataTypeId)
{
    const uint16_t nameLength = TextLength(name);
    const uint16_t typeLength = TextLength(typeName);
    const uint16_t commentLength = TextLength(comment);
    const size_t length = plc::ads::SYMBOL_ENTRY_HEADER_SIZE + nameLength + typeLength + commentLength + 3;
    std::vector<uint8_t> out(length, 0);
    le::Writer w(out.data());
    w.Put<uint32_t>(static_cast<uint32_t>(length)).Put<uint32_t>(indexGroup).Put<uint32_t>(indexOffset);
    w.Put<uint32_t>(size).Put<uint32_t>(dataTypeId != 0 ? dataTypeId : DataTypeIdOf(typeName)).Put<uint32_t>(0);
    w.Put<uint16_t>(nameLength).Put<uint16_t>(typeLength).Put<uint16_t>(commentLength);
    w.PutBytes(name.data(), nameLength).Put<uint8_t>(0);
    w.PutBytes(typeName.data(), typeLength).Put<uint8_t>(0);
    w.PutBytes(comment.data(), commentLength).Put<uint8_t>(0);
    return out;
}

} // namespace plcsim
