// REAL and LREAL: IEEE 754 single and double precision, little-endian. A text is rounded once,
// straight to the type's precision, so that a REAL's own text always gives back its bits.
#include "worker/values/value_texts.h"

#include "ads/LittleEndian.h"

#include <QByteArray>
#include <QLocale>
#include <QRegularExpression>

#include <charconv>
#include <cmath>
#include <cstring>
#include <limits>

namespace le = plc::ads::le;

namespace plc_values {

namespace {

// Qt's shortest form of a double (fixed or exponent, whichever is shorter); Qt drops the sign
// of -0, which must read back as itself.
QString shortestText(double value)
{
    if (value == 0 && std::signbit(value)) {
        return QStringLiteral("-0");
    }
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

// Decimal numbers with '.' and an optional exponent; no hexadecimal, no infinity or NaN.
const QRegularExpression& decimalPattern()
{
    static const QRegularExpression pattern(
        QStringLiteral("^[+-]?([0-9]+(\\.[0-9]*)?|\\.[0-9]+)([eE][+-]?[0-9]+)?$"));
    return pattern;
}

template <typename Float>
QString parse(const QString& text, DataType type, Float& value)
{
    const QString trimmed = text.trimmed();
    const QString name = itemTypeName(type);
    if (!decimalPattern().match(trimmed).hasMatch()) {
        return notAValue(text, name);
    }
    const QByteArray latin = trimmed.toLatin1();
    const char* first = latin.constData() + (latin.startsWith('+') ? 1 : 0);
    // Locale-free and correctly rounded; a result that would be 0 or infinite is out of range.
    const auto parsed = std::from_chars(first, latin.constData() + latin.size(), value);
    if (parsed.ec == std::errc()) {
        return QString();
    }
    // Which end it fell off: Qt's conversion gives infinity, a large number or 0 then.
    const double rough = std::fabs(trimmed.toDouble());
    if (rough < 1) {
        return QStringLiteral("Value '%1' is too close to 0 for %2 (smallest magnitude %3)")
            .arg(text, name, shortestText(std::numeric_limits<Float>::denorm_min()));
    }
    const QString limit = shortestText(std::numeric_limits<Float>::max());
    return outOfRange(text, name, QLatin1Char('-') + limit, limit);
}

template <typename Float, typename Bits>
QString textOf(const uint8_t* data)
{
    const Bits bits = le::Read<Bits>(data);
    Float value;
    std::memcpy(&value, &bits, sizeof(value));
    return shortestText(value);
}

template <typename Float, typename Bits>
QString bytesOf(const QString& text, DataType type, uint8_t* out)
{
    Float value = 0;
    const QString refused = parse(text, type, value);
    if (refused.isEmpty()) {
        Bits bits;
        std::memcpy(&bits, &value, sizeof(bits));
        le::Write<Bits>(out, bits);
    }
    return refused;
}

} // namespace

QString floatText(DataType type, const uint8_t* data)
{
    return type == REAL ? textOf<float, uint32_t>(data) : textOf<double, uint64_t>(data);
}

QString floatToBytes(const QString& text, DataType type, uint8_t* out)
{
    return type == REAL ? bytesOf<float, uint32_t>(text, type, out) : bytesOf<double, uint64_t>(text, type, out);
}

} // namespace plc_values
