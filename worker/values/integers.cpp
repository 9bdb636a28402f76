// Integers of 8 to 64 bits, little-endian, as decimal texts; 64-bit values never pass through
// a double, so every one of them is exact both ways.
#include "worker/values/value_texts.h"

#include "ads/LittleEndian.h"

#include <QByteArray>
#include <QRegularExpression>

#include <charconv>
#include <cstring>

namespace le = plc::ads::le;

namespace plc_values {

namespace {

bool isSigned(DataType type)
{
    return type == BOOL || type == SINT || type == INT || type == DINT || type == LINT;
}

// The bits of a little-endian integer of `bytes` bytes, sign-extended when signed.
uint64_t readBits(const uint8_t* data, uint32_t bytes, bool isSignedType)
{
    switch (bytes) {
    case 1: return isSignedType ? uint64_t(int64_t(le::Read<int8_t>(data))) : le::Read<uint8_t>(data);
    case 2: return isSignedType ? uint64_t(int64_t(le::Read<int16_t>(data))) : le::Read<uint16_t>(data);
    case 4: return isSignedType ? uint64_t(int64_t(le::Read<int32_t>(data))) : le::Read<uint32_t>(data);
    default: return le::Read<uint64_t>(data);
    }
}

void writeBits(uint64_t bits, uint32_t bytes, uint8_t* out)
{
    switch (bytes) {
    case 1: le::Write<uint8_t>(out, static_cast<uint8_t>(bits)); break;
    case 2: le::Write<uint16_t>(out, static_cast<uint16_t>(bits)); break;
    case 4: le::Write<uint32_t>(out, static_cast<uint32_t>(bits)); break;
    default: le::Write<uint64_t>(out, bits); break;
    }
}

const QRegularExpression& integerPattern()
{
    static const QRegularExpression pattern(QStringLiteral("^[+-]?[0-9]+$"));
    return pattern;
}

} // namespace

bool isInteger(DataType type)
{
    switch (type) {
    case BOOL: case BYTE: case WORD: case DWORD: case SINT: case USINT: case INT: case UINT:
    case DINT: case UDINT: case LINT: case ULINT: case LWORD:
        return true;
    default:
        return false;
    }
}

QString integerText(DataType type, const uint8_t* data)
{
    const uint64_t bits = readBits(data, dataLength(type), isSigned(type));
    return isSigned(type) ? QString::number(static_cast<qint64>(bits)) : QString::number(static_cast<quint64>(bits));
}

QString integerToBytes(const QString& text, DataType type, uint8_t* out)
{
    const QString trimmed = text.trimmed();
    const QString name = itemTypeName(type);
    if (type == BOOL) {
        const QString word = trimmed.toLower();
        const bool isTrue = word == QLatin1String("1") || word == QLatin1String("true");
        if (!isTrue && word != QLatin1String("0") && word != QLatin1String("false")) {
            return notAValue(text, name);
        }
        out[0] = isTrue ? 1 : 0;
        return QString();
    }
    if (!integerPattern().match(trimmed).hasMatch()) {
        return notAValue(text, name);
    }
    const uint32_t bits = dataLength(type) * 8;
    // The magnitudes of the bounds: 2^(bits-1) below and 2^(bits-1) - 1 above for signed types.
    const uint64_t all = bits == 64 ? UINT64_MAX : (uint64_t{1} << bits) - 1;
    const uint64_t highest = isSigned(type) ? all >> 1 : all;
    const uint64_t lowest = isSigned(type) ? highest + 1 : 0;
    const QString low = isSigned(type) ? QLatin1Char('-') + QString::number(static_cast<quint64>(lowest)) : QStringLiteral("0");
    const QString high = QString::number(static_cast<quint64>(highest));

    const QByteArray digits = trimmed.toLatin1();
    const bool negative = digits.startsWith('-');
    const char* first = digits.constData() + (negative || digits.startsWith('+') ? 1 : 0);
    uint64_t magnitude = 0;
    const auto parsed = std::from_chars(first, digits.constData() + digits.size(), magnitude);
    if (parsed.ec != std::errc() || magnitude > (negative ? lowest : highest)) {
        return outOfRange(text, name, low, high);
    }
    writeBits(negative ? uint64_t(0) - magnitude : magnitude, dataLength(type), out);
    return QString();
}

} // namespace plc_values
