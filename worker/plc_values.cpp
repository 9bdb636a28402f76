#include "worker/plc_values.h"

#include "ads/LittleEndian.h"

#include <QByteArray>

#include <algorithm>
#include <cstring>

namespace le = plc::ads::le;

namespace {
constexpr uint32_t STRING_LENGTH = 81; // 80 characters and the terminating zero byte

template <typename T>
QString integerText(const uint8_t* p)
{
    return QString::number(le::Read<T>(p));
}

// Writes the low `width` bytes of `value`, but never more than `length`.
void writeLow(uint64_t value, uint32_t width, char* buffer, int length)
{
    const int count = std::min<int>(static_cast<int>(width), length);
    for (int i = 0; i < count; ++i) {
        buffer[i] = static_cast<char>(static_cast<uint8_t>(value >> (8 * i)));
    }
}
}

uint32_t dataLength(DataType type)
{
    switch (type) {
    case BOOL:
    case BYTE:
    case SINT:
    case USINT:
        return 1;
    case WORD:
    case INT:
    case UINT:
        return 2;
    case DWORD:
    case DINT:
    case UDINT:
    case REAL:
    case TIME:
    case DATE:
    case TIME_OF_DAY:
    case DATE_AND_TIME:
        return 4;
    case LREAL:
        return 8;
    case STRING:
        return STRING_LENGTH;
    }
    return 0;
}

QString bytesToValue(char* data, DataType type, unsigned int size)
{
    if (!data) {
        return QString();
    }
    const auto* p = reinterpret_cast<const uint8_t*>(data);
    // Numeric types read their full width; a short sample must not be read past its end.
    if (type != STRING && size < dataLength(type)) {
        return QString();
    }
    switch (type) {
    case BOOL:
    case SINT:
        return QString::number(static_cast<int>(le::Read<int8_t>(p)));
    case BYTE:
    case USINT:
        return QString::number(static_cast<unsigned int>(le::Read<uint8_t>(p)));
    case WORD:
    case UINT:
        return QString::number(static_cast<unsigned int>(le::Read<uint16_t>(p)));
    case INT:
        return QString::number(static_cast<int>(le::Read<int16_t>(p)));
    case DWORD:
    case UDINT:
        return integerText<uint32_t>(p);
    case DINT:
        return integerText<int32_t>(p);
    case REAL: {
        const uint32_t bits = le::Read<uint32_t>(p);
        float value;
        std::memcpy(&value, &bits, sizeof(value));
        return QString::number(static_cast<double>(value), 'g', 6);
    }
    case LREAL: {
        const uint64_t bits = le::Read<uint64_t>(p);
        double value;
        std::memcpy(&value, &bits, sizeof(value));
        return QString::number(value, 'g', 6);
    }
    case STRING: {
        const auto* end = static_cast<const char*>(std::memchr(data, 0, size));
        const int length = end ? static_cast<int>(end - data) : static_cast<int>(size);
        return QString::fromUtf8(data, length);
    }
    default:
        return QString();
    }
}

void valueToBytes(QString text, DataType type, char* buffer, int length)
{
    if (!buffer || length <= 0) {
        return;
    }
    const uint32_t width = dataLength(type);
    switch (type) {
    case BOOL:
    case SINT:
    case INT:
    case DINT:
        // Sign-extended, then cut to the type's width by keeping the low bytes.
        writeLow(static_cast<uint64_t>(static_cast<int64_t>(text.toInt(nullptr, 10))), width, buffer, length);
        return;
    case BYTE:
    case USINT:
    case WORD:
    case UINT:
    case DWORD:
    case UDINT:
        writeLow(text.toUInt(nullptr, 10), width, buffer, length);
        return;
    case REAL: {
        const float value = text.toFloat();
        uint32_t bits;
        std::memcpy(&bits, &value, sizeof(bits));
        writeLow(bits, width, buffer, length);
        return;
    }
    case LREAL: {
        const double value = text.toDouble();
        uint64_t bits;
        std::memcpy(&bits, &value, sizeof(bits));
        writeLow(bits, width, buffer, length);
        return;
    }
    case STRING: {
        const QByteArray utf8 = text.toUtf8();
        int count = utf8.size();
        if (count > length - 1) {
            // Cut at a character boundary: never leave the lead bytes of a character without its tail.
            count = length - 1;
            while (count > 0 && (static_cast<uint8_t>(utf8.at(count)) & 0xC0) == 0x80) {
                --count;
            }
        }
        std::memcpy(buffer, utf8.constData(), static_cast<size_t>(count));
        buffer[count] = '\0';
        return;
    }
    default:
        return;
    }
}
