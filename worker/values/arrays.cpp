// Arrays as JSON arrays, nested once per dimension, elements in the PLC's order (the last index
// counting fastest). Integers are JSON numbers with every digit, 64-bit ones included; REAL and
// LREAL are numbers when finite; everything else is a JSON string of the element's own text.
// A written array needs exactly its element count at every level and every element valid.
#include "worker/values/value_texts.h"

#include "worker/plc_values.h"

#include <QByteArray>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonValue>

#include <cstring>
#include <vector>

namespace plc_values {

namespace {

bool isJsonNumber(DataType type, const QString& text)
{
    if (isInteger(type)) {
        return true;
    }
    return (type == REAL || type == LREAL) && text != QLatin1String("nan") && text != QLatin1String("inf") &&
           text != QLatin1String("-inf");
}

// Qt writes the JSON string, escapes and all.
QString jsonString(const QString& text)
{
    const QByteArray json = QJsonDocument(QJsonArray{QJsonValue(text)}).toJson(QJsonDocument::Compact);
    return QString::fromUtf8(json.constData() + 1, json.size() - 2);
}

void appendElements(QString& out, const Plc_Type& type, size_t level, const uint8_t*& data)
{
    out += QLatin1Char('[');
    for (uint32_t i = 0; i < type.dimensions[level].count; ++i) {
        if (i != 0) {
            out += QLatin1Char(',');
        }
        if (level + 1 < type.dimensions.size()) {
            appendElements(out, type, level + 1, data);
            continue;
        }
        const Plc_Type& element = *type.element;
        if (element.isArray()) {
            size_t nested = 0;
            const uint8_t* inner = data;
            appendElements(out, element, nested, inner);
        } else {
            const QString text = bytesToText(element, data, element.size);
            out += isJsonNumber(element.elementary, text) ? text : jsonString(text);
        }
        data += element.size;
    }
    out += QLatin1Char(']');
}

// The texts of the JSON numbers in document order: a JSON number held as a double would lose
// the digits of a 64-bit value, so each element is converted from its own text.
std::vector<QString> numberTokens(const QByteArray& json)
{
    std::vector<QString> tokens;
    bool inString = false;
    for (int i = 0; i < json.size(); ++i) {
        const char c = json.at(i);
        if (inString) {
            if (c == '\\') {
                ++i;
            } else if (c == '"') {
                inString = false;
            }
        } else if (c == '"') {
            inString = true;
        } else if (c == '-' || (c >= '0' && c <= '9')) {
            const int start = i;
            while (i + 1 < json.size() && std::strchr("+-.eE0123456789", json.at(i + 1)) != nullptr) {
                ++i;
            }
            tokens.push_back(QString::fromLatin1(json.constData() + start, i - start + 1));
        }
    }
    return tokens;
}

struct Filling {
    const QString& text;
    const std::vector<QString>& numbers;
    size_t nextNumber = 0;
    uint8_t* data;
};

QString fill(const QJsonArray& values, const Plc_Type& type, size_t level, const QString& index, Filling& f)
{
    const uint32_t count = type.dimensions[level].count;
    if (static_cast<uint32_t>(values.size()) != count) {
        const QString where = index.isEmpty() ? QStringLiteral("Value '%1'").arg(f.text) : QStringLiteral("Element ") + index;
        return QStringLiteral("%1 has %2 elements, %3 needs %4")
            .arg(where, QString::number(values.size()), type.name(), QString::number(count));
    }
    const bool last = level + 1 == type.dimensions.size();
    const Plc_Type& element = *type.element;
    for (uint32_t i = 0; i < count; ++i) {
        // Indices as the PLC counts them: "[1,2]" for two dimensions, "[1][2]" for an array of arrays.
        const QString lowerPart = level == 0 ? index + QLatin1Char('[') : index.left(index.size() - 1) + QLatin1Char(',');
        const QString here = lowerPart + QString::number(int64_t{type.dimensions[level].lower} + i) + QLatin1Char(']');
        const QJsonValue value = values.at(static_cast<int>(i));
        const bool wantsArray = !last || element.isArray();
        if (wantsArray != value.isArray() || value.isObject() || value.isNull() || value.isUndefined()) {
            return QStringLiteral("Element %1 is not a %2")
                .arg(here, wantsArray ? QStringLiteral("JSON array") : element.name());
        }
        if (!last) {
            if (const QString refused = fill(value.toArray(), type, level + 1, here, f); !refused.isEmpty()) {
                return refused;
            }
            continue;
        }
        if (element.isArray()) {
            if (const QString refused = fill(value.toArray(), element, 0, here, f); !refused.isEmpty()) {
                return refused;
            }
            continue;
        }
        const QString elementText = value.isString() ? value.toString()
                                    : value.isBool() ? (value.toBool() ? QStringLiteral("true") : QStringLiteral("false"))
                                    : f.nextNumber < f.numbers.size() ? f.numbers[f.nextNumber++]
                                                                      : QString();
        if (const QString refused = textToBytes(elementText, element, f.data); !refused.isEmpty()) {
            return QStringLiteral("Element ") + here + QStringLiteral(": ") + refused;
        }
        f.data += element.size;
    }
    return QString();
}

} // namespace

QString arrayText(const Plc_Type& type, const uint8_t* data)
{
    QString out;
    appendElements(out, type, 0, data);
    return out;
}

QString arrayToBytes(const QString& text, const Plc_Type& type, uint8_t* out)
{
    const QByteArray json = text.toUtf8();
    QJsonParseError error;
    const QJsonDocument document = QJsonDocument::fromJson(json, &error);
    if (error.error != QJsonParseError::NoError || !document.isArray()) {
        return QStringLiteral("Value '%1' is not a JSON array for %2").arg(text, type.name());
    }
    const std::vector<QString> numbers = numberTokens(json);
    std::vector<uint8_t> bytes(type.size);
    Filling f{text, numbers, 0, bytes.data()};
    const QString refused = fill(document.array(), type, 0, QString(), f);
    if (refused.isEmpty()) {
        std::memcpy(out, bytes.data(), bytes.size());
    }
    return refused;
}

} // namespace plc_values
