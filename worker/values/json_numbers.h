// The numbers of a JSON text as they are written, by where they stand. Qt holds a JSON number
// as a double, which would lose digits of a 64-bit value and round a REAL twice, so a written
// value is converted from its own digits instead.
#pragma once

#include <QByteArray>
#include <QHash>
#include <QString>

namespace plc_values {

struct Json_Numbers {
    // Path of each number: "[2]" for an array's element, ".name" for an object's member, joined
    // from the outside in ("[0].aTemps[1]"), indices counted from 0 as the JSON text has them.
    QHash<QString, QString> byPath;
    // The path of the first object member given twice, empty when there is none.
    QString duplicate;
};

// Any bytes are scanned safely; only for a valid JSON document are the paths meaningful.
Json_Numbers scanJsonNumbers(const QByteArray& json);

QString jsonIndexPath(const QString& path, int index);
QString jsonMemberPath(const QString& path, const QString& name);

} // namespace plc_values
