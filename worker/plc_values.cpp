#include "worker/plc_values.h"

#include "worker/values/value_texts.h"

#include <algorithm>

using namespace plc_values;

namespace plc_values {

QString notAValue(const QString& text, const QString& typeName)
{
    return QStringLiteral("Value '%1' is not a %2").arg(text, typeName);
}

QString outOfRange(const QString& text, const QString& typeName, const QString& low, const QString& high)
{
    return QStringLiteral("Value '%1' is out of range for %2 (%3 to %4)").arg(text, typeName, low, high);
}

} // namespace plc_values

namespace {

bool isText(DataType type)
{
    return type == STRING || type == WSTRING;
}

QString cannotBeWritten(DataType type)
{
    return QStringLiteral("Type ") + QString::number(type) + QStringLiteral(" cannot be written");
}

} // namespace

QString bytesToText(const Plc_Type& type, const uint8_t* data, size_t size)
{
    if (!data) {
        return QString();
    }
    if (type.isArray() || type.isStructure()) {
        return size < type.size || (type.isArray() && !type.element) ? QString() : jsonText(type, data);
    }
    if (isText(type.elementary)) {
        return stringText(type, data, static_cast<size_t>(std::min<uint64_t>(size, type.size)));
    }
    if (size < type.size) {
        return QString();
    }
    if (isInteger(type.elementary)) {
        return integerText(type.elementary, data);
    }
    if (type.elementary == REAL || type.elementary == LREAL) {
        return floatText(type.elementary, data);
    }
    return isTime(type.elementary) ? timeText(type.elementary, data) : QString();
}

QString textToBytes(const QString& text, const Plc_Type& type, uint8_t* out)
{
    if (!out) {
        return QStringLiteral("No room for a %1").arg(type.name());
    }
    if (type.isArray() || type.isStructure()) {
        return type.isStructure() || type.element ? jsonToBytes(text, type, out) : cannotBeWritten(type.elementary);
    }
    if (isText(type.elementary)) {
        return stringToBytes(text, type, out);
    }
    if (isInteger(type.elementary)) {
        return integerToBytes(text, type.elementary, out);
    }
    if (type.elementary == REAL || type.elementary == LREAL) {
        return floatToBytes(text, type.elementary, out);
    }
    return isTime(type.elementary) ? timeToBytes(text, type.elementary, out) : cannotBeWritten(type.elementary);
}

QString bytesToValue(char* data, DataType type, unsigned int size)
{
    // A text is read up to the bytes there are, however long the variable.
    const Plc_Type described = isText(type) ? Plc_Type::of(type, std::max(size, 2u)) : Plc_Type::of(type);
    return bytesToText(described, reinterpret_cast<const uint8_t*>(data), size);
}

QString valueToBytes(const QString& text, DataType type, char* buffer, uint32_t length)
{
    if (!hasTextConversion(type) || type == FROM_PLC || type == STRUCT) {
        return cannotBeWritten(type);
    }
    const uint32_t characters = type == WSTRING ? length / 2 : length;
    const bool fits = isText(type) ? characters >= 2 && (type == STRING || length % 2 == 0) : length == dataLength(type);
    if (!buffer || !fits) {
        return QStringLiteral("No room for a %1 in %2 bytes").arg(itemTypeName(type), QString::number(length));
    }
    const Plc_Type described = isText(type) ? Plc_Type::of(type, characters - 1) : Plc_Type::of(type);
    return textToBytes(text, described, reinterpret_cast<uint8_t*>(buffer));
}
