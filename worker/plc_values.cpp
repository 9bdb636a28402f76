#include "worker/plc_values.h"

#include "ads/LittleEndian.h"

#include <QByteArray>
#include <QLocale>
#include <QRegularExpression>
#include <QStringView>

#include <charconv>
#include <cmath>
#include <cstring>
#include <limits>

namespace le = plc::ads::le;

namespace {
constexpr uint32_t STRING_LENGTH = 81; // 80 characters and the terminating zero byte

const char* const TYPE_NAMES[] = {"BOOL",  "BYTE", "WORD",  "DWORD", "SINT",        "USINT",
                                  "INT",   "UINT", "DINT",  "UDINT", "REAL",        "LREAL",
                                  "STRING", "TIME", "DATE", "TIME_OF_DAY", "DATE_AND_TIME"};
constexpr int TYPE_COUNT = sizeof(TYPE_NAMES) / sizeof(TYPE_NAMES[0]);

template <typename T>
QString integerText(const uint8_t* p)
{
    return QString::number(le::Read<T>(p));
}

// Qt's shortest form of a double (fixed or exponent, whichever is shorter).
QString shortestText(double value)
{
    return QString::number(value, 'g', QLocale::FloatingPointShortest);
}

// The shortest digits that read back as this float, written in the same form as a double's.
QString shortestText(float value)
{
    if (!std::isfinite(value)) {
        return shortestText(static_cast<double>(value));
    }
    char digits[48];
    const char* end = std::to_chars(digits, digits + sizeof(digits), value).ptr;
    double widened = 0;
    std::from_chars(digits, end, widened);
    return shortestText(widened);
}

template <typename T>
void writeLittleEndian(T value, char* buffer)
{
    le::Write<T>(reinterpret_cast<uint8_t*>(buffer), value);
}

// The texts a write accepts: signed decimal digits, and decimal numbers with '.' and an exponent.
const QRegularExpression& integerPattern()
{
    static const QRegularExpression pattern(QStringLiteral("^[+-]?[0-9]+$"));
    return pattern;
}

const QRegularExpression& decimalPattern()
{
    static const QRegularExpression pattern(
        QStringLiteral("^[+-]?([0-9]+(\\.[0-9]*)?|\\.[0-9]+)([eE][+-]?[0-9]+)?$"));
    return pattern;
}

QString notAValue(const QString& text, DataType type)
{
    return QStringLiteral("Value '%1' is not a %2").arg(text, itemTypeName(type));
}

QString outOfRange(const QString& text, DataType type, const QString& low, const QString& high)
{
    return QStringLiteral("Value '%1' is out of range for %2 (%3 to %4)").arg(text, itemTypeName(type), low, high);
}

QString integerToBytes(const QString& text, DataType type, char* buffer)
{
    const QString trimmed = text.trimmed();
    if (type == BOOL) {
        const QString word = trimmed.toLower();
        const bool isTrue = word == QLatin1String("1") || word == QLatin1String("true");
        if (!isTrue && word != QLatin1String("0") && word != QLatin1String("false")) {
            return notAValue(text, type);
        }
        writeLittleEndian<int8_t>(isTrue ? 1 : 0, buffer);
        return QString();
    }
    if (!integerPattern().match(trimmed).hasMatch()) {
        return notAValue(text, type);
    }
    qint64 low = 0;
    qint64 high = 0;
    switch (type) {
    case SINT: low = INT8_MIN; high = INT8_MAX; break;
    case BYTE:
    case USINT: high = UINT8_MAX; break;
    case INT: low = INT16_MIN; high = INT16_MAX; break;
    case WORD:
    case UINT: high = UINT16_MAX; break;
    case DINT: low = INT32_MIN; high = INT32_MAX; break;
    default: high = UINT32_MAX; break; // DWORD, UDINT
    }
    bool converted = false;
    const qint64 value = trimmed.toLongLong(&converted, 10); // fails only beyond 64 bits
    if (!converted || value < low || value > high) {
        return outOfRange(text, type, QString::number(low), QString::number(high));
    }
    switch (dataLength(type)) {
    case 1: writeLittleEndian(static_cast<uint8_t>(value), buffer); break;
    case 2: writeLittleEndian(static_cast<uint16_t>(value), buffer); break;
    default: writeLittleEndian(static_cast<uint32_t>(value), buffer); break;
    }
    return QString();
}

QString decimalToBytes(const QString& text, DataType type, char* buffer)
{
    const QString trimmed = text.trimmed();
    if (!decimalPattern().match(trimmed).hasMatch()) {
        return notAValue(text, type);
    }
    bool converted = false;
    const double value = trimmed.toDouble(&converted); // fails on overflow and on underflow to 0
    // Below this a double rounds to a finite float (the largest float plus half its last step).
    constexpr double REAL_OVERFLOW = 0x1.ffffffp+127;
    const bool inRange = type == REAL ? std::fabs(value) < REAL_OVERFLOW : std::isfinite(value);
    if ((!converted && value != 0) || !inRange) {
        const QString limit = type == REAL ? shortestText(std::numeric_limits<float>::max())
                                           : shortestText(std::numeric_limits<double>::max());
        return outOfRange(text, type, QLatin1Char('-') + limit, limit);
    }
    if (type == REAL) {
        const float single = static_cast<float>(value);
        uint32_t bits;
        std::memcpy(&bits, &single, sizeof(bits));
        writeLittleEndian(bits, buffer);
    } else {
        uint64_t bits;
        std::memcpy(&bits, &value, sizeof(bits));
        writeLittleEndian(bits, buffer);
    }
    return QString();
}

QString stringToBytes(const QString& text, char* buffer, uint32_t length)
{
    // A zero character would end the PLC's string early; a lone surrogate has no UTF-8 form.
    if (text.contains(QChar(0)) || !QStringView(text).isValidUtf16()) {
        return notAValue(text, STRING);
    }
    const QByteArray utf8 = text.toUtf8();
    if (static_cast<uint32_t>(utf8.size()) >= length) {
        return QStringLiteral("Value '%1' is too long for STRING(%2) (%3 bytes)")
            .arg(text, QString::number(length - 1), QString::number(utf8.size()));
    }
    std::memcpy(buffer, utf8.constData(), static_cast<size_t>(utf8.size()));
    std::memset(buffer + utf8.size(), 0, length - static_cast<uint32_t>(utf8.size()));
    return QString();
}
}

QString itemTypeName(DataType type)
{
    return type >= 0 && type < TYPE_COUNT ? QString::fromLatin1(TYPE_NAMES[type]) : QString::number(type);
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
        return shortestText(value);
    }
    case LREAL: {
        const uint64_t bits = le::Read<uint64_t>(p);
        double value;
        std::memcpy(&value, &bits, sizeof(value));
        return shortestText(value);
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

uint32_t writeLength(DataType type, uint32_t plcSize)
{
    // The size comes from the PLC: one beyond any real STRING(n) gets no buffer of its size.
    constexpr uint32_t LONGEST_STRING = 65536;
    return type == STRING && plcSize > 0 && plcSize <= LONGEST_STRING ? plcSize : dataLength(type);
}

QString valueToBytes(const QString& text, DataType type, char* buffer, uint32_t length)
{
    if (!hasTextConversion(type)) {
        return QStringLiteral("Type ") + QString::number(type) + QStringLiteral(" cannot be written");
    }
    if (!buffer || length == 0 || (type != STRING && length != dataLength(type))) {
        return QStringLiteral("No room for a %1 in %2 bytes").arg(itemTypeName(type), QString::number(length));
    }
    switch (type) {
    case REAL:
    case LREAL:
        return decimalToBytes(text, type, buffer);
    case STRING:
        return stringToBytes(text, buffer, length);
    default:
        return integerToBytes(text, type, buffer);
    }
}
