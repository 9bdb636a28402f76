#include "worker/values/json_numbers.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QSet>

#include <cstring>
#include <vector>

namespace plc_values {

namespace {

struct Level {
    bool object;
    int index = 0;
    bool expectingKey = true;
    QString key;
    QSet<QString> keys;
};

// The text of a JSON string, escapes resolved by Qt when there are any.
QString decodedString(const QByteArray& json, int start, int end)
{
    const QByteArray raw = json.mid(start, end - start + 1);
    if (!raw.contains('\\')) {
        return QString::fromUtf8(raw.constData() + 1, raw.size() - 2);
    }
    return QJsonDocument::fromJson("[" + raw + "]").array().at(0).toString();
}

QString pathOf(const std::vector<Level>& levels)
{
    QString path;
    for (const Level& level : levels) {
        path = level.object ? jsonMemberPath(path, level.key) : jsonIndexPath(path, level.index);
    }
    return path;
}

} // namespace

QString jsonIndexPath(const QString& path, int index)
{
    return path + QLatin1Char('[') + QString::number(index) + QLatin1Char(']');
}

QString jsonMemberPath(const QString& path, const QString& name)
{
    return path + QLatin1Char('.') + name;
}

Json_Numbers scanJsonNumbers(const QByteArray& json)
{
    Json_Numbers found;
    std::vector<Level> levels;
    for (int i = 0; i < json.size(); ++i) {
        const char c = json.at(i);
        if (c == '"') {
            const int start = i;
            for (++i; i < json.size() && json.at(i) != '"'; ++i) {
                if (json.at(i) == '\\') {
                    ++i;
                }
            }
            if (!levels.empty() && levels.back().object && levels.back().expectingKey) {
                Level& level = levels.back();
                level.key = decodedString(json, start, i);
                level.expectingKey = false;
                if (level.keys.contains(level.key) && found.duplicate.isEmpty()) {
                    found.duplicate = pathOf(levels);
                }
                level.keys.insert(level.key);
            }
        } else if (c == '{' || c == '[') {
            levels.push_back(Level{c == '{', 0, true, QString(), {}});
        } else if (c == '}' || c == ']') {
            if (!levels.empty()) {
                levels.pop_back();
            }
        } else if (c == ',') {
            if (!levels.empty()) {
                levels.back().object ? void(levels.back().expectingKey = true) : void(++levels.back().index);
            }
        } else if (c == '-' || (c >= '0' && c <= '9')) {
            const int start = i;
            while (i + 1 < json.size() && std::strchr("+-.eE0123456789", json.at(i + 1)) != nullptr) {
                ++i;
            }
            found.byPath[pathOf(levels)] = QString::fromLatin1(json.constData() + start, i - start + 1);
        }
    }
    return found;
}

} // namespace plc_values
