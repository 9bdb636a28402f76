// Arrays and structures as JSON. Arrays are JSON arrays, nested once per dimension, elements in
// the PLC's order (the last index counting fastest); structures are JSON objects of their
// members in declaration order. Integers are JSON numbers with every digit, 64-bit ones
// included; REAL and LREAL are numbers when finite; everything else is a JSON string of the
// element's own text. A written value needs exactly its element count at every level, exactly
// the members of each structure, and every element valid; it is built whole before anything
// is copied out.
#include "worker/values/value_texts.h"

#include "worker/plc_values.h"
#include "worker/values/json_marks.h"

#include <QByteArray>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QJsonValue>
#include <QStringList>

#include <algorithm>
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

void appendValue(QString& out, const Plc_Type& type, const uint8_t* data);

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
        appendValue(out, *type.element, data);
        data += type.element->size;
    }
    out += QLatin1Char(']');
}

void appendMembers(QString& out, const Plc_Type& type, const uint8_t* data)
{
    out += QLatin1Char('{');
    for (size_t i = 0; i < type.members.size(); ++i) {
        const Plc_Type::Member& member = type.members[i];
        if (i != 0) {
            out += QLatin1Char(',');
        }
        out += member.jsonKey + QLatin1Char(':');
        if (member.bit >= 0) {
            out += (data[member.offset] >> member.bit) & 1 ? QLatin1Char('1') : QLatin1Char('0');
        } else {
            appendValue(out, *member.type, data + member.offset);
        }
    }
    out += QLatin1Char('}');
}

void appendValue(QString& out, const Plc_Type& type, const uint8_t* data)
{
    if (type.isArray()) {
        appendElements(out, type, 0, data);
    } else if (type.isStructure()) {
        appendMembers(out, type, data);
    } else {
        const QString text = bytesToText(type, data, type.size);
        out += isJsonNumber(type.elementary, text) ? text : jsonString(text);
    }
}

// Where a refusal points: "Element [1,2]", "Member stDrive.rSpeed", "Element [2].eState".
QString placeText(const QString& place)
{
    return (place.startsWith(QLatin1Char('[')) ? QStringLiteral("Element ") : QStringLiteral("Member ")) + place;
}

struct Filling {
    const QString& text;
};

QString fillValue(const QJsonValue& value, const Plc_Type& type, const QString& place, Filling& f, uint8_t* out);

QString fillElements(const QJsonArray& values, const Plc_Type& type, size_t level, const QString& place, Filling& f,
                     uint8_t*& out)
{
    const uint32_t count = type.dimensions[level].count;
    if (static_cast<uint32_t>(values.size()) != count) {
        const QString where = place.isEmpty() ? QStringLiteral("Value '%1'").arg(f.text) : placeText(place);
        return QStringLiteral("%1 has %2 elements, %3 needs %4")
            .arg(where, QString::number(values.size()), type.name(), QString::number(count));
    }
    const bool last = level + 1 == type.dimensions.size();
    for (uint32_t i = 0; i < count; ++i) {
        // Indices as the PLC counts them: "[1,2]" for two dimensions, "[1][2]" for an array of arrays.
        const QString lowerPart = level == 0 ? place + QLatin1Char('[') : place.left(place.size() - 1) + QLatin1Char(',');
        const QString here = lowerPart + QString::number(int64_t{type.dimensions[level].lower} + i) + QLatin1Char(']');
        const QJsonValue value = values.at(static_cast<int>(i));
        if (!last) {
            if (!value.isArray()) {
                return QStringLiteral("%1 is not a JSON array").arg(placeText(here));
            }
            if (const QString refused = fillElements(value.toArray(), type, level + 1, here, f, out);
                !refused.isEmpty()) {
                return refused;
            }
            continue;
        }
        if (const QString refused = fillValue(value, *type.element, here, f, out); !refused.isEmpty()) {
            return refused;
        }
        out += type.element->size;
    }
    return QString();
}

QString fillMembers(const QJsonObject& values, const Plc_Type& type, const QString& place, Filling& f, uint8_t* out)
{
    const QString prefix = place.isEmpty() ? QString() : place + QLatin1Char('.');
    if (!type.hidden.empty()) {
        QStringList names;
        for (const QString& name : type.hidden) {
            names.append(prefix + name);
        }
        return QStringLiteral("%1 cannot be written whole: %2 cannot be written; write the other members one by one")
            .arg(type.name(), names.join(QStringLiteral(", ")));
    }
    for (auto it = values.begin(); it != values.end(); ++it) {
        const bool known = std::any_of(type.members.begin(), type.members.end(), [&](const Plc_Type::Member& m) {
            return m.name == it.key();
        });
        if (!known) {
            return QStringLiteral("%1 is not a member of %2").arg(placeText(prefix + it.key()), type.name());
        }
    }
    for (const Plc_Type::Member& member : type.members) {
        const QString here = prefix + member.name;
        const auto found = values.find(member.name);
        if (found == values.end()) {
            return QStringLiteral("%1 is missing").arg(placeText(here));
        }
        if (member.bit < 0) {
            if (const QString refused = fillValue(*found, *member.type, here, f, out + member.offset);
                !refused.isEmpty()) {
                return refused;
            }
            continue;
        }
        uint8_t bit = 0;
        if (const QString refused = fillValue(*found, *member.type, here, f, &bit); !refused.isEmpty()) {
            return refused;
        }
        const uint8_t mask = static_cast<uint8_t>(1u << member.bit);
        out[member.offset] = static_cast<uint8_t>(bit ? out[member.offset] | mask : out[member.offset] & ~mask);
    }
    return QString();
}

QString fillValue(const QJsonValue& value, const Plc_Type& type, const QString& place, Filling& f, uint8_t* out)
{
    if (type.isArray()) {
        if (!value.isArray()) {
            return QStringLiteral("%1 is not a JSON array").arg(placeText(place));
        }
        uint8_t* elements = out;
        return fillElements(value.toArray(), type, 0, place, f, elements);
    }
    if (type.isStructure()) {
        if (!value.isObject()) {
            return QStringLiteral("%1 is not a JSON object for %2").arg(placeText(place), type.name());
        }
        return fillMembers(value.toObject(), type, place, f, out);
    }
    if (value.isArray() || value.isObject() || value.isNull() || value.isUndefined()) {
        return QStringLiteral("%1 is not a %2").arg(placeText(place), type.name());
    }
    // Numbers and strings alike are the element's own text; either may hold a number.
    bool number = false;
    const QString text = value.isBool() ? (value.toBool() ? QStringLiteral("true") : QStringLiteral("false"))
                                        : unmarkJsonValue(value.toString(), number);
    if (const QString refused = textToBytes(text, type, out); !refused.isEmpty()) {
        return placeText(place) + QStringLiteral(": ") + refused;
    }
    return QString();
}

} // namespace

// Qt writes the JSON string, escapes and all.
QString jsonString(const QString& text)
{
    const QByteArray json = QJsonDocument(QJsonArray{QJsonValue(text)}).toJson(QJsonDocument::Compact);
    return QString::fromUtf8(json.constData() + 1, json.size() - 2);
}

QString jsonText(const Plc_Type& type, const uint8_t* data)
{
    QString out;
    appendValue(out, type, data);
    return out;
}

QString jsonToBytes(const QString& text, const Plc_Type& type, uint8_t* out)
{
    const Json_Marked marked = markJsonValues(text.toUtf8());
    if (!marked.duplicate.isEmpty()) {
        return QStringLiteral("%1 is given twice").arg(placeText(marked.duplicate));
    }
    QJsonParseError error;
    const QJsonDocument document = QJsonDocument::fromJson(marked.json, &error);
    const bool object = type.isStructure();
    if (error.error != QJsonParseError::NoError || (object ? !document.isObject() : !document.isArray())) {
        return QStringLiteral("Value '%1' is not a JSON %2 for %3")
            .arg(text, object ? QStringLiteral("object") : QStringLiteral("array"), type.name());
    }
    std::vector<uint8_t> bytes(type.size);
    Filling f{text};
    const QString refused = object ? fillMembers(document.object(), type, QString(), f, bytes.data())
                                   : fillValue(QJsonValue(document.array()), type, QString(), f, bytes.data());
    if (refused.isEmpty()) {
        std::memcpy(out, bytes.data(), bytes.size());
    }
    return refused;
}

} // namespace plc_values
