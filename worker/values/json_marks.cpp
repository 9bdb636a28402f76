#include "worker/values/json_marks.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QSet>

#include <cstring>
#include <vector>

namespace plc_values {

namespace {

// No character a text of the PLC writes: control characters stand in JSON as escapes only.
const char NUMBER_MARK[] = "\\u0001N";
const char STRING_MARK[] = "\\u0001S";

struct Level {
    bool object;
    int index = 0;
    bool expectingKey = true;
    QString key;
    QSet<QString> keys;
};

// The text of a JSON string, escapes resolved by Qt when there are any.
QString decodedString(const QByteArray& raw)
{
    if (!raw.contains('\\')) {
        return QString::fromUtf8(raw.constData() + 1, raw.size() - 2);
    }
    return QJsonDocument::fromJson("[" + raw + "]").array().at(0).toString();
}

QString placeOf(const std::vector<Level>& levels)
{
    QString place;
    for (const Level& level : levels) {
        place += level.object ? (place.isEmpty() ? QString() : QStringLiteral(".")) + level.key
                              : QLatin1Char('[') + QString::number(level.index) + QLatin1Char(']');
    }
    return place;
}

} // namespace

Json_Marked markJsonValues(const QByteArray& json)
{
    Json_Marked marked;
    marked.json.reserve(json.size() + json.size() / 2);
    std::vector<Level> levels;
    for (int i = 0; i < json.size(); ++i) {
        const char c = json.at(i);
        if (c == '"') {
            const int start = i;
            for (++i; i < json.size() && json.at(i) != '"'; ++i) {
                i += json.at(i) == '\\' ? 1 : 0;
            }
            const QByteArray raw = json.mid(start, i - start + 1);
            if (!levels.empty() && levels.back().object && levels.back().expectingKey) {
                Level& level = levels.back();
                level.key = decodedString(raw);
                level.expectingKey = false;
                if (level.keys.contains(level.key) && marked.duplicate.isEmpty()) {
                    marked.duplicate = placeOf(levels);
                }
                level.keys.insert(level.key);
                marked.json += raw;
            } else {
                marked.json += '"' + QByteArray(STRING_MARK) + raw.mid(1);
            }
            continue;
        }
        if (c == '-' || (c >= '0' && c <= '9')) {
            const int start = i;
            while (i + 1 < json.size() && std::strchr("+-.eE0123456789", json.at(i + 1)) != nullptr) {
                ++i;
            }
            marked.json += '"' + QByteArray(NUMBER_MARK) + json.mid(start, i - start + 1) + '"';
            continue;
        }
        if (c == '{' || c == '[') {
            levels.push_back(Level{c == '{', 0, true, QString(), {}});
        } else if ((c == '}' || c == ']') && !levels.empty()) {
            levels.pop_back();
        } else if (c == ',' && !levels.empty()) {
            levels.back().object ? void(levels.back().expectingKey = true) : void(++levels.back().index);
        }
        marked.json += c;
    }
    return marked;
}

QString unmarkJsonValue(const QString& marked, bool& number)
{
    number = marked.size() >= 2 && marked.at(0) == QChar(1) && marked.at(1) == QLatin1Char('N');
    return marked.mid(2);
}

} // namespace plc_values
