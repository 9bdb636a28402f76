#include "tools/driver/output.h"

#include "worker/plc_values.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include <unistd.h>

#include <cmath>
#include <cstdio>

namespace driver {

namespace {

// The cells every format shows for an item.
struct ItemCells {
    QString name, symbol, type, value, stamp, error;
    int typeNumber = -1; // -1 for an identity item
    bool hasValue = false;
};

// What the plug-in reads an item as, once the PLC has told; null before.
const Plc_Type* valueTypeOf(const DeviceView& view, const DataItem& data)
{
    const auto it = view.valueTypes.constFind(data.item.id);
    return it == view.valueTypes.constEnd() ? nullptr : it->get();
}

ItemCells cellsOf(const DeviceView& view, const DataItem& data)
{
    const bool identity = isIdentity(data);
    ItemCells cells;
    cells.name = data.item.name;
    cells.symbol = identity ? QStringLiteral("(identity)") : data.item.config.value(QStringLiteral("variable_name"));
    cells.typeNumber = identity ? -1 : data.item.config.value(QStringLiteral("type")).toInt();
    const Plc_Type* read = valueTypeOf(view, data);
    // An item taking its type from the PLC, or a structure item, shows the type it got.
    const bool named = (cells.typeNumber == FROM_PLC || cells.typeNumber == STRUCT) && read;
    cells.type = identity ? QString() : named ? read->name() : typeName(cells.typeNumber);
    cells.hasValue = data.values.contains(QStringLiteral("value"));
    cells.value = data.values.value(QStringLiteral("value"));
    cells.stamp = data.timestamp.isValid() ? data.timestamp.toUTC().toString(Qt::ISODateWithMs) : QString();
    cells.error = data.item.error;
    return cells;
}

// One line per table row: line breaks, '|' and backslashes written as escapes.
QString tableCell(const QString& text)
{
    QString out;
    for (const QChar c : text) {
        if (c == QLatin1Char('\n')) {
            out += QStringLiteral("\\n");
        } else if (c == QLatin1Char('\r')) {
            out += QStringLiteral("\\r");
        } else if (c == QLatin1Char('\t')) {
            out += QStringLiteral("\\t");
        } else if (c == QLatin1Char('|') || c == QLatin1Char('\\')) {
            out += QLatin1Char('\\') + c;
        } else {
            out += c.unicode() < 0x20 || c.unicode() == 0x7F ? QLatin1Char(' ') : c;
        }
    }
    return out;
}

QString orDash(const QString& text)
{
    return text.isEmpty() ? QStringLiteral("-") : text;
}

QString ageText(const ItemStatistics& item)
{
    return item.ageSeconds < 0 ? QString() : QString::number(item.ageSeconds, 'f', 1);
}

QJsonObject writeJson(const WriteResult& result)
{
    return QJsonObject{{QStringLiteral("symbol"), result.symbol},
                       {QStringLiteral("value"), result.value},
                       {QStringLiteral("ok"), result.ok},
                       {QStringLiteral("error"), result.error}};
}

// An integer text as a JSON number while a double holds it exactly.
QJsonValue integerJson(const QString& text)
{
    constexpr qint64 EXACT = qint64(1) << 53;
    bool ok = false;
    const qint64 value = text.toLongLong(&ok);
    if (ok && value >= -EXACT && value <= EXACT) {
        return QJsonValue(static_cast<double>(value));
    }
    return QJsonValue(text);
}

} // namespace

QJsonValue jsonValue(const QString& text, int type)
{
    switch (type) {
    case BOOL:
        return text == QLatin1String("0") || text == QLatin1String("1") ? QJsonValue(text == QLatin1String("1"))
                                                                         : integerJson(text);
    // Integer types; any new one joins them here.
    case BYTE:
    case WORD:
    case DWORD:
    case SINT:
    case USINT:
    case INT:
    case UINT:
    case DINT:
    case UDINT:
    case LINT:
    case ULINT:
    case LWORD:
        return integerJson(text);
    case REAL:
    case LREAL: {
        bool ok = false;
        const double value = text.toDouble(&ok);
        return ok && std::isfinite(value) ? QJsonValue(value) : QJsonValue(text);
    }
    default:
        return QJsonValue(text);
    }
}

QString roundTripText(const RoundTrips& trips)
{
    const auto ms = [](double value) { return QString::number(value, 'f', value < 10 ? 2 : 1) + QStringLiteral(" ms"); };
    return trips.polls == 0 ? QStringLiteral("no state poll yet")
                            : QStringLiteral("state poll round trip median %1, highest %2 (%3 polls)")
                                  .arg(ms(trips.medianMs), ms(trips.highestMs))
                                  .arg(trips.polls);
}

QString writeResultText(const WriteResult& result)
{
    const QString outcome = result.ok               ? QStringLiteral("sent")
                            : result.error.isEmpty() ? QStringLiteral("failed")
                                                     : QStringLiteral("failed: ") + result.error;
    return result.symbol + QStringLiteral(" = ") + result.value + QStringLiteral(": ") + outcome;
}

bool isIdentity(const DataItem& data)
{
    return data.item.uid.startsWith(QLatin1String("identity_"));
}

QString csvField(const QString& text)
{
    static const QString special = QStringLiteral(",\"\r\n");
    if (std::none_of(text.begin(), text.end(), [](QChar c) { return special.contains(c); })) {
        return text;
    }
    return QLatin1Char('"') + QString(text).replace(QLatin1Char('"'), QStringLiteral("\"\"")) + QLatin1Char('"');
}

QString ViewPrinter::table(const DeviceView& view, double elapsed) const
{
    const DeviceOption& device = *view.device;
    QString out = QStringLiteral("=== ") + tableCell(device.name) + QStringLiteral("  ") + device.address +
                  QStringLiteral("  NetId ") + device.netId + QStringLiteral(" port ") +
                  QString::number(device.adsPort) + QStringLiteral("  t=") + QString::number(elapsed, 'f', 1) +
                  QStringLiteral("s  reads ") + QString::number(view.reads) + QStringLiteral("  last read ") +
                  (view.lastReadOk ? QStringLiteral("ok") : QStringLiteral("failed")) + QLatin1Char('\n');
    out += QStringLiteral("device error: ") + orDash(tableCell(view.batch.device.error)) + QLatin1Char('\n');
    for (const WriteResult& result : view.writes) {
        out += QStringLiteral("write: ") + tableCell(writeResultText(result)) + QLatin1Char('\n');
    }
    if (statistics) {
        out += roundTripText(view.roundTrips) + QLatin1Char('\n');
    }
    QList<QStringList> rows = {{QStringLiteral("name"), QStringLiteral("symbol"), QStringLiteral("type"),
                                QStringLiteral("value"), QStringLiteral("time stamp (UTC)"),
                                QStringLiteral("item error")}};
    if (statistics) {
        rows.first() << QStringLiteral("samples") << QStringLiteral("age (s)");
    }
    for (const DataItem& data : view.batch.items) {
        const ItemCells c = cellsOf(view, data);
        rows.append({c.name, c.symbol, c.type, c.value, orDash(c.stamp), orDash(c.error)});
        if (statistics) {
            const ItemStatistics item = view.itemStatistics.value(data.item.id);
            rows.last() << (isIdentity(data) ? QString() : QString::number(item.samples))
                        << (isIdentity(data) ? QString() : orDash(ageText(item)));
        }
    }
    QVector<int> widths(rows.first().size(), 0);
    for (QStringList& row : rows) {
        for (int i = 0; i < row.size(); ++i) {
            row[i] = tableCell(row[i]);
            widths[i] = qMax(widths[i], row[i].size());
        }
    }
    // Rows are joined, never formatted: a PLC text or name holding "%1" must show as it is.
    for (QStringList& row : rows) {
        for (int i = 0; i + 1 < row.size(); ++i) {
            row[i] = row[i].leftJustified(widths[i], QLatin1Char(' '));
        }
        out += row.join(QStringLiteral(" | ")) + QLatin1Char('\n');
    }
    return out;
}

QString ViewPrinter::csv(const DeviceView& view, double elapsed)
{
    QString out;
    if (!csvHeaderDone) {
        csvHeaderDone = true;
        out += QStringLiteral("time,device,name,symbol,type,value,timestamp,error") +
               (statistics ? QStringLiteral(",samples,age_s") : QString()) + QStringLiteral("\r\n");
    }
    const QString head = QString::number(elapsed, 'f', 1) + QLatin1Char(',') + csvField(view.device->name);
    for (const DataItem& data : view.batch.items) {
        const ItemCells c = cellsOf(view, data);
        // A device error is every item's error while the item has none of its own.
        const QString error = c.error.isEmpty() ? view.batch.device.error : c.error;
        out += head;
        for (const QString& field : {c.name, c.symbol, c.type, c.value, c.stamp, error}) {
            out += QLatin1Char(',') + csvField(field);
        }
        if (statistics) {
            const ItemStatistics item = view.itemStatistics.value(data.item.id);
            out += QLatin1Char(',') + (isIdentity(data) ? QString() : QString::number(item.samples)) +
                   QLatin1Char(',') + ageText(item);
        }
        out += QStringLiteral("\r\n");
    }
    return out;
}

QString ViewPrinter::json(const DeviceView& view, double elapsed) const
{
    QStringList items;
    for (const DataItem& data : view.batch.items) {
        const ItemCells c = cellsOf(view, data);
        // An array's or a structure's text is JSON already and goes in as it is: through a
        // QJsonValue its 64-bit numbers would become doubles. Keys are written sorted, so
        // "value" comes last.
        const Plc_Type* read = valueTypeOf(view, data);
        const QJsonDocument parsed = c.hasValue && read && (read->isArray() || read->isStructure())
                                         ? QJsonDocument::fromJson(c.value.toUtf8())
                                         : QJsonDocument();
        const bool embedded = read && (read->isArray() ? parsed.isArray() : read->isStructure() && parsed.isObject());
        const int typeNumber = read && read->kind == Plc_Type::Elementary ? read->elementary : c.typeNumber;
        const QJsonValue value = !c.hasValue ? QJsonValue(QJsonValue::Null)
                                 : typeNumber < 0 ? QJsonValue(c.value)
                                                  : jsonValue(c.value, typeNumber);
        QJsonObject item{{QStringLiteral("name"), c.name}, {QStringLiteral("symbol"), c.symbol},
                         {QStringLiteral("type"), c.type}, {QStringLiteral("timestamp"), c.stamp},
                         {QStringLiteral("error"), c.error}};
        if (!embedded) {
            item.insert(QStringLiteral("value"), value);
        }
        if (statistics && !isIdentity(data)) {
            const ItemStatistics stats = view.itemStatistics.value(data.item.id);
            item.insert(QStringLiteral("samples"), static_cast<double>(stats.samples));
            item.insert(QStringLiteral("age_s"), stats.ageSeconds < 0 ? QJsonValue(QJsonValue::Null)
                                                                      : QJsonValue(std::round(stats.ageSeconds * 1000) / 1000));
        }
        QString text = QString::fromUtf8(QJsonDocument(item).toJson(QJsonDocument::Compact));
        if (embedded) {
            text.chop(1);
            text += QStringLiteral(",\"value\":") + c.value + QLatin1Char('}');
        }
        items.append(text);
    }
    QJsonArray writes;
    for (const WriteResult& result : view.writes) {
        writes.append(writeJson(result));
    }
    QJsonObject object{{QStringLiteral("time"), elapsed},
                             {QStringLiteral("device"), view.device->name},
                             {QStringLiteral("address"), view.device->address},
                             {QStringLiteral("netid"), view.device->netId},
                             {QStringLiteral("ads_port"), view.device->adsPort},
                             {QStringLiteral("reads"), static_cast<double>(view.reads)},
                             {QStringLiteral("last_read_ok"), view.lastReadOk},
                             {QStringLiteral("error"), view.batch.device.error},
                             {QStringLiteral("writes"), writes},
                             {QStringLiteral("items"), QJsonArray()}};
    if (statistics) {
        object.insert(QStringLiteral("state_poll"),
                      QJsonObject{{QStringLiteral("polls"), static_cast<double>(view.roundTrips.polls)},
                                  {QStringLiteral("median_ms"), view.roundTrips.medianMs},
                                  {QStringLiteral("highest_ms"), view.roundTrips.highestMs}});
    }
    // Only the key itself reads "items":[] unescaped in the text.
    return QString::fromUtf8(QJsonDocument(object).toJson(QJsonDocument::Compact))
               .replace(QStringLiteral("\"items\":[]"),
                        QStringLiteral("\"items\":[") + items.join(QLatin1Char(',')) + QLatin1Char(']')) +
           QLatin1Char('\n');
}

void ViewPrinter::print(const QList<DeviceView>& devices, double elapsed)
{
    QString out;
    if (format == Format::Table && isatty(STDOUT_FILENO)) {
        out += QStringLiteral("\033[H\033[2J");
    }
    for (const DeviceView& view : devices) {
        out += format == Format::Table ? table(view, elapsed)
               : format == Format::Csv ? csv(view, elapsed)
                                       : json(view, elapsed);
    }
    std::fputs(out.toUtf8().constData(), stdout);
    std::fflush(stdout);
}

} // namespace driver
