// A written JSON text prepared for Qt's parser so that no value loses its own digits: Qt holds
// a JSON number as a double, which would lose digits of a 64-bit value and round a REAL twice.
// Every number and every string value becomes a string that carries a mark of what it was, so
// that each element is converted from its own text. Linear in the text, whatever its shape.
#pragma once

#include <QByteArray>
#include <QString>

namespace plc_values {

struct Json_Marked {
    QByteArray json;   // the text with its values marked, for QJsonDocument::fromJson
    // Where a key first stands twice in one object ("stDrive.rSpeed", "[2].eState"), empty when
    // none does. Qt's parser would leak the earlier value of such a key.
    QString duplicate;
};

// Any bytes are handled; a text that is not JSON stays one that Qt refuses.
Json_Marked markJsonValues(const QByteArray& json);

// A marked string value's own text; `number` tells whether it was a JSON number.
QString unmarkJsonValue(const QString& marked, bool& number);

} // namespace plc_values
