// The text parsers of typed values: time literals, 64-bit integers, REAL and LREAL, wide
// strings and JSON arrays (the first byte picks the type), and the PLC type names of symbol
// information. A text is either refused with the buffer untouched, or written, and then the
// text its bytes read as writes the very same bytes again.
#include "worker/plc_values.h"

#include <QByteArray>
#include <QString>

#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

std::vector<Plc_Type> types()
{
    std::vector<Plc_Type> all;
    for (int t = BOOL; t < FROM_PLC; ++t) {
        all.push_back(Plc_Type::of(static_cast<DataType>(t)));
    }
    all.push_back(Plc_Type::of(STRING, 3));
    all.push_back(Plc_Type::of(WSTRING, 3));
    all.push_back(Plc_Type::arrayOf({{1, 3}}, Plc_Type::of(REAL)));
    all.push_back(Plc_Type::arrayOf({{0, 2}, {-1, 3}}, Plc_Type::of(INT)));
    all.push_back(Plc_Type::arrayOf({{0, 2}}, Plc_Type::of(STRING, 5)));
    all.push_back(Plc_Type::arrayOf({{-1, 3}}, Plc_Type::of(ULINT)));
    all.push_back(Plc_Type::arrayOf({{0, 2}}, Plc_Type::arrayOf({{0, 2}}, Plc_Type::of(TIME_OF_DAY))));
    return all;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    static const std::vector<Plc_Type> kTypes = types();
    if (size < 1) {
        return 0;
    }
    const Plc_Type& type = kTypes[data[0] % kTypes.size()];
    const QString text = QString::fromUtf8(reinterpret_cast<const char*>(data + 1), static_cast<int>(size - 1));

    std::vector<uint8_t> buffer(type.size, 0x5a);
    const std::vector<uint8_t> untouched = buffer;
    if (!textToBytes(text, type, buffer.data()).isEmpty()) {
        if (buffer != untouched) {
            std::abort(); // a refused text changed the buffer
        }
    } else {
        const QString back = bytesToText(type, buffer.data(), buffer.size());
        std::vector<uint8_t> again(type.size, 0xa5);
        if (!textToBytes(back, type, again.data()).isEmpty() || again != buffer) {
            std::abort(); // what was written does not read back as a text that writes it again
        }
    }

    // The same bytes as the type name of a symbol entry, with a size and data type id from the first byte.
    const std::string name(reinterpret_cast<const char*>(data + 1), size - 1);
    const auto described = describePlcType(name, uint64_t{data[0]} * 3, data[0] % 70);
    if (described && described->size != uint64_t{data[0]} * 3) {
        std::abort(); // a description must fit the variable's size exactly
    }
    return 0;
}
