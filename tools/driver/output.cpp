#include "tools/driver/output.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include <unistd.h>

#include <cstdio>

namespace driver {

namespace {

// The cells every format shows for an item.
struct ItemCells {
    QString name, symbol, type, value, stamp, error;
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
    const int type = data.item.config.value(QStringLiteral("type")).toInt();
    const Plc_Type* read = valueTypeOf(view, data);
    // An item taking its type from the PLC shows the type it got.
    cells.type = identity ? QString() : type == FROM_PLC && read ? read->name() : typeName(type);
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

} // namespace

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
    for (const QString& result : view.writeResults) {
        out += QStringLiteral("write: ") + tableCell(result) + QLatin1Char('\n');
    }
    QList<QStringList> rows = {{QStringLiteral("name"), QStringLiteral("symbol"), QStringLiteral("type"),
                                QStringLiteral("value"), QStringLiteral("time stamp (UTC)"),
                                QStringLiteral("item error")}};
    for (const DataItem& data : view.batch.items) {
        const ItemCells c = cellsOf(view, data);
        rows.append({c.name, c.symbol, c.type, c.value, orDash(c.stamp), orDash(c.error)});
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
        out += QStringLiteral("time,device,name,symbol,type,value,timestamp,error\r\n");
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
        out += QStringLiteral("\r\n");
    }
    return out;
}

QString ViewPrinter::json(const DeviceView& view, double elapsed) const
{
    QStringList items;
    for (const DataItem& data : view.batch.items) {
        const ItemCells c = cellsOf(view, data);
        QJsonObject item{{QStringLiteral("name"), c.name},       {QStringLiteral("symbol"), c.symbol},
                         {QStringLiteral("type"), c.type},       {QStringLiteral("timestamp"), c.stamp},
                         {QStringLiteral("error"), c.error}};
        // An array's text is JSON already and goes in as it is: through a QJsonValue its 64-bit
        // numbers would become doubles. Keys are written sorted, so "value" comes last.
        const Plc_Type* read = valueTypeOf(view, data);
        const bool embedded = read && read->isArray() && QJsonDocument::fromJson(c.value.toUtf8()).isArray();
        if (!embedded) {
            item.insert(QStringLiteral("value"), c.value);
        }
        QString text = QString::fromUtf8(QJsonDocument(item).toJson(QJsonDocument::Compact));
        if (embedded) {
            text.chop(1);
            text += QStringLiteral(",\"value\":") + c.value + QLatin1Char('}');
        }
        items.append(text);
    }
    const QJsonObject object{{QStringLiteral("time"), elapsed},
                             {QStringLiteral("device"), view.device->name},
                             {QStringLiteral("address"), view.device->address},
                             {QStringLiteral("netid"), view.device->netId},
                             {QStringLiteral("ads_port"), view.device->adsPort},
                             {QStringLiteral("reads"), static_cast<double>(view.reads)},
                             {QStringLiteral("last_read_ok"), view.lastReadOk},
                             {QStringLiteral("error"), view.batch.device.error},
                             {QStringLiteral("writes"), QJsonArray::fromStringList(view.writeResults)},
                             {QStringLiteral("items"), QJsonArray()}};
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
