#include "tools/driver/options.h"

#include "worker/values/plc_type.h"

#include <QFile>
#include <QFileInfo>
#include <QSettings>
#include <QStringList>

#include <algorithm>
#include <cstdio>

namespace driver {

namespace {

// Keys a device takes, in a configuration section and (with dashes) on the command line.
const char* const DEVICE_KEYS[] = {"address", "netid", "ads_port", "timeout", "error_wait", "local_netid",
                                   "items", "writes", "mode", "cycle"};

// A type name as the plug-in names its types, PLC (or nothing) for the type from the PLC, or its number.
int parseType(const QString& text)
{
    if (text.isEmpty() || text.compare(itemTypeName(FROM_PLC), Qt::CaseInsensitive) == 0) {
        return FROM_PLC;
    }
    const int named = dataTypeFromName(text);
    if (named >= 0) {
        return named;
    }
    bool ok = false;
    const int number = text.toInt(&ok);
    return ok && number >= 0 && number < DATA_TYPE_COUNT ? number : -1;
}

int parseMode(const QString& text)
{
    if (text.compare(QLatin1String("change"), Qt::CaseInsensitive) == 0) {
        return 4;
    }
    return text.compare(QLatin1String("cyclic"), Qt::CaseInsensitive) == 0 ? 3 : -1;
}

bool number(const QString& text, int min, int max, int* out)
{
    bool ok = false;
    const int value = text.trimmed().toInt(&ok);
    if (!ok || value < min || value > max) {
        return false;
    }
    *out = value;
    return true;
}

// Decimal fields 0..255 joined by '.', `count` of them.
bool decimalFields(const QString& text, int count)
{
    const QStringList parts = text.split(QLatin1Char('.'));
    return parts.size() == count && std::all_of(parts.begin(), parts.end(), [](const QString& part) {
               int value = 0;
               return !part.isEmpty() && part.size() <= 3 &&
                      std::all_of(part.begin(), part.end(), [](QChar c) { return c.isDigit(); }) &&
                      number(part, 0, 255, &value);
           });
}

// SYMBOL[:TYPE[:MODE[:CYCLE_MS]]]; no type is the type from the PLC; mode and cycle 0 stand for
// the device's defaults.
QString parseItem(const QString& text, ItemOption* item)
{
    const QStringList parts = text.trimmed().split(QLatin1Char(':'));
    const QString usage = QStringLiteral("an item is SYMBOL[:TYPE[:MODE[:CYCLE_MS]]] with TYPE a type name "
                                         "(BOOL, LINT, TIME, WSTRING, ...), PLC or 0..22, "
                                         "MODE change or cyclic, not '%1'").arg(text);
    if (parts.size() > 4 || parts.at(0).isEmpty()) {
        return usage;
    }
    item->symbol = parts.at(0);
    item->type = parseType(parts.size() > 1 ? parts.at(1) : QString());
    item->mode = parts.size() > 2 ? parseMode(parts.at(2)) : 0;
    item->cycleMs = 0;
    if (item->type < 0 || item->mode < 0 || (parts.size() > 3 && !number(parts.at(3), 1, 86400000, &item->cycleMs))) {
        return usage;
    }
    return QString();
}

QString parseWrite(const QString& text, WriteOption* write)
{
    const int equals = text.indexOf(QLatin1Char('='));
    if (equals <= 0 || text.left(equals).trimmed().isEmpty()) {
        return QStringLiteral("a write is SYMBOL=VALUE, not '%1'").arg(text);
    }
    write->symbol = text.left(equals).trimmed();
    write->value = text.mid(equals + 1);
    return QString();
}

// The device defaults of --mode and --cycle, kept apart until every item is known.
struct Defaults {
    int mode = 4;
    int cycleMs = 5000;
};

QString applyDeviceKey(const QString& key, const QString& value, DeviceOption* device, Defaults* defaults)
{
    const QString text = value.trimmed();
    struct Number {
        const char* key;
        int min, max;
        int* target;
        const char* rule;
    };
    const Number numbers[] = {
        {"ads_port", 1, 65535, &device->adsPort, "the ADS port must be a number from 1 to 65535"},
        {"timeout", 1, 3600000, &device->timeoutMs, "the time-out must be a positive number of milliseconds"},
        {"error_wait", 1, 86400, &device->errorWaitSeconds, "the error wait must be from 1 to 86400 seconds"},
        {"cycle", 1, 86400000, &defaults->cycleMs, "the cycle must be a positive number of milliseconds"}};
    for (const Number& n : numbers) {
        if (key == QLatin1String(n.key)) {
            const bool ok = number(text, n.min, n.max, n.target);
            return ok ? QString() : QStringLiteral("%1, not '%2'").arg(QLatin1String(n.rule), value);
        }
    }
    if (key == QLatin1String("address")) {
        if (const QString problem = addressProblem(text); !problem.isEmpty()) {
            return problem;
        }
        device->address = text;
    } else if (key == QLatin1String("netid") || key == QLatin1String("local_netid")) {
        // Empty: derived from the address, or left to the plug-in.
        if (const QString problem = netIdProblem(text, key == QLatin1String("local_netid"));
            !text.isEmpty() && !problem.isEmpty()) {
            return problem;
        }
        (key == QLatin1String("netid") ? device->netId : device->localNetId) = text;
    } else if (key == QLatin1String("mode")) {
        defaults->mode = parseMode(text);
        if (defaults->mode < 0) {
            return QStringLiteral("the mode must be change or cyclic, not '%1'").arg(value);
        }
    } else {
        const bool items = key == QLatin1String("items");
        for (const QString& part : value.split(QLatin1Char(','), Qt::SkipEmptyParts)) {
            if (part.trimmed().isEmpty()) {
                continue;
            }
            ItemOption item;
            WriteOption write;
            if (const QString problem = items ? parseItem(part, &item) : parseWrite(part, &write); !problem.isEmpty()) {
                return problem;
            }
            items ? device->items.append(item) : device->writes.append(write);
        }
    }
    return QString();
}

// Defaults, the derived NetId and the writes' items; empty when the device can run.
QString finishDevice(DeviceOption* device, const Defaults& defaults, bool defaultItems)
{
    if (device->netId.isEmpty()) {
        const QString host = device->address.section(QLatin1Char(':'), 0, 0);
        if (!decimalFields(host, 4)) {
            return QStringLiteral("cannot derive an AMS NetId from '%1'; give its NetId (--netid, or netid in "
                                  "the configuration file)")
                .arg(device->address);
        }
        device->netId = host + QStringLiteral(".1.1");
    }
    if (device->items.isEmpty() && defaultItems) {
        // INT, as its name says: read as BOOL, one byte of the two, the type check refuses it.
        device->items.append(ItemOption{QStringLiteral("MAIN.down"), 6, 0, 0});
        device->items.append(ItemOption{QStringLiteral(".count"), 7, 0, 0});
    }
    for (ItemOption& item : device->items) {
        item.mode = item.mode > 0 ? item.mode : defaults.mode;
        item.cycleMs = item.cycleMs > 0 ? item.cycleMs : defaults.cycleMs;
    }
    for (const WriteOption& write : device->writes) {
        const bool known = std::any_of(device->items.begin(), device->items.end(),
                                       [&](const ItemOption& item) { return item.symbol == write.symbol; });
        if (!known) {
            return QStringLiteral("the write of '%1' names none of the items").arg(write.symbol);
        }
    }
    return QString();
}

// A QSettings value as the text of the file: unquoted commas make it a list.
QString settingText(const QVariant& value)
{
    return value.type() == QVariant::StringList ? value.toStringList().join(QLatin1Char(',')) : value.toString();
}

QString loadConfig(const QString& path, Options* options)
{
    if (!QFileInfo(path).isReadable()) {
        return QStringLiteral("cannot read the configuration file '%1'").arg(path);
    }
    QSettings settings(path, QSettings::IniFormat);
    settings.setIniCodec("UTF-8");
    QStringList sections = settings.childGroups();
    if (settings.status() != QSettings::NoError) {
        return QStringLiteral("%1: not an INI file").arg(path);
    }
    if (!settings.childKeys().isEmpty()) {
        return QStringLiteral("%1: '%2' stands outside a device section").arg(path, settings.childKeys().first());
    }
    if (sections.isEmpty()) {
        return QStringLiteral("%1: no device section").arg(path);
    }
    // Devices in the order of the file, which QSettings does not keep.
    QFile file(path);
    file.open(QIODevice::ReadOnly);
    const QString text = QString::fromUtf8(file.readAll());
    const auto place = [&](const QString& section) {
        const int at = text.indexOf(QLatin1Char('[') + section + QLatin1Char(']'));
        return at < 0 ? text.size() : at;
    };
    std::stable_sort(sections.begin(), sections.end(),
                     [&](const QString& a, const QString& b) { return place(a) < place(b); });
    for (const QString& section : sections) {
        DeviceOption device;
        Defaults defaults;
        device.name = section;
        settings.beginGroup(section);
        for (const QString& key : settings.childKeys()) {
            const auto known = std::find_if(std::begin(DEVICE_KEYS), std::end(DEVICE_KEYS),
                                            [&](const char* name) { return key == QLatin1String(name); });
            const QString problem = known == std::end(DEVICE_KEYS)
                                        ? QStringLiteral("unknown key")
                                        : applyDeviceKey(key, settingText(settings.value(key)), &device, &defaults);
            if (!problem.isEmpty()) {
                return QStringLiteral("%1: [%2] %3: %4").arg(path, section, key, problem);
            }
        }
        settings.endGroup();
        if (const QString problem = finishDevice(&device, defaults, false); !problem.isEmpty()) {
            return QStringLiteral("%1: [%2] %3").arg(path, section, problem);
        }
        if (device.items.isEmpty()) {
            return QStringLiteral("%1: [%2] has no items").arg(path, section);
        }
        options->devices.append(device);
    }
    return QString();
}

bool fail(const QString& message)
{
    std::fprintf(stderr, "ads-plc-driver: %s\nTry 'ads-plc-driver --help'.\n", qPrintable(message));
    return false;
}

} // namespace

QString typeName(int type)
{
    return itemTypeName(static_cast<DataType>(type));
}

QString addressProblem(const QString& address)
{
    const int colon = address.lastIndexOf(QLatin1Char(':'));
    int port = 0;
    if (address.isEmpty() || colon == 0) {
        return QStringLiteral("the address needs a host, not '%1'").arg(address);
    }
    if (colon > 0 && (address.indexOf(QLatin1Char(':')) != colon || !number(address.mid(colon + 1), 1, 65535, &port) ||
                      address.mid(colon + 1).trimmed() != address.mid(colon + 1))) {
        // The plug-in's own device error for it, so that both say the same.
        return QStringLiteral("Invalid address: port must be 1 to 65535, not '%1' (HOST[:PORT])").arg(address);
    }
    return QString();
}

QString netIdProblem(const QString& netId, bool local)
{
    if (decimalFields(netId, 6) || decimalFields(netId, 4)) {
        return QString();
    }
    // The plug-in's own device errors for them, so that both say the same.
    return QStringLiteral("Invalid %1 AMS Net Id: '%2' is not six numbers from 0 to 255 joined by '.'")
        .arg(local ? QStringLiteral("local") : QStringLiteral("target"), netId);
}

void printUsage()
{
    std::printf(
        "Usage: ads-plc-driver [options]\n"
        "Reads PLC variables through the plug-in and shows the batches every refresh interval.\n"
        "Exit status: 0 when every device connected, every item showed a value and every write\n"
        "succeeded; 1 otherwise (the summary says why); 2 for bad options.\n\n"
        "  --config FILE          run the devices of an INI file, one section per device (keys:\n"
        "                         address netid ads_port timeout error_wait local_netid mode cycle\n"
        "                         items writes); the device options below are then refused\n"
        "  --address HOST[:PORT]  PLC address (default 127.0.0.1; PORT defaults to 48898)\n"
        "  --netid NETID          target AMS NetId (default: the IPv4 address followed by .1.1)\n"
        "  --ads-port N           ADS port of the PLC runtime (default 801)\n"
        "  --timeout MS           request time-out in milliseconds (default 15000)\n"
        "  --error-wait S         seconds to wait before reconnecting after an error (default 5)\n"
        "  --local-netid NETID    local AMS NetId (default: derived by the plug-in)\n"
        "  --item SYMBOL[:TYPE[:MODE[:CYCLE_MS]]]\n"
        "                         item to read, repeatable; TYPE is a type name (BOOL BYTE WORD DWORD\n"
        "                         LWORD SINT USINT INT UINT DINT UDINT LINT ULINT REAL LREAL TIME LTIME\n"
        "                         TIME_OF_DAY DATE DATE_AND_TIME STRING WSTRING), PLC for the type from\n"
        "                         the PLC's symbol information (the default) or 0..22; MODE change or\n"
        "                         cyclic (default items: MAIN.down:INT and .count:UINT)\n"
        "  --mode change|cyclic   notification mode of items that name none (default change)\n"
        "  --cycle MS             notification cycle of items that name none (default 5000)\n"
        "  --write SYMBOL=VALUE   write VALUE to the item with this symbol once connected; repeatable,\n"
        "                         applied in order\n"
        "  --format table|csv|json  output: a table per view, CSV rows, or one JSON object per view\n"
        "  --seconds S            how long to run (default 10); Ctrl-C or SIGTERM end the run early\n"
        "  --refresh MS           how often the view is printed (default 1000)\n"
        "  --read-pause MS        pause between two reads (default 100; 0 reads without pause)\n"
        "  --browse [PREFIX]      list the PLC's variables whose names start with PREFIX (any case)\n"
        "                         with type, size and comment, and an --item line for each readable one\n"
        "  --verbose              echo the plug-in's log lines to stderr\n"
        "  --help                 show this text\n");
}

bool parseOptions(const QStringList& args, Options* options)
{
    DeviceOption device;
    device.name = QStringLiteral("ADS Test device");
    Defaults defaults;
    QString configPath;
    QStringList deviceOptionsGiven;
    for (int i = 1; i < args.size(); ++i) {
        const QString& arg = args.at(i);
        if (arg == QLatin1String("--help") || arg == QLatin1String("-h")) {
            options->help = true;
            return true;
        }
        if (arg == QLatin1String("--verbose")) {
            options->verbose = true;
            continue;
        }
        if (arg == QLatin1String("--browse")) {
            options->browse = true;
            if (i + 1 < args.size() && !args.at(i + 1).startsWith(QLatin1String("--"))) {
                options->browsePrefix = args.at(++i);
            }
            continue;
        }
        if (!arg.startsWith(QLatin1String("--"))) {
            return fail(QStringLiteral("unexpected argument '%1'").arg(arg));
        }
        if (i + 1 >= args.size()) {
            return fail(QStringLiteral("option %1 needs a value").arg(arg));
        }
        const QString value = args.at(++i);
        QString key = arg.mid(2).replace(QLatin1Char('-'), QLatin1Char('_'));
        if (key == QLatin1String("item") || key == QLatin1String("write")) {
            key += QLatin1Char('s');
        }
        const bool deviceKey = std::any_of(std::begin(DEVICE_KEYS), std::end(DEVICE_KEYS),
                                           [&](const char* name) { return key == QLatin1String(name); });
        if (deviceKey) {
            // One item or write per option: a comma belongs to the value.
            QString problem;
            if (key == QLatin1String("items") || key == QLatin1String("writes")) {
                ItemOption item;
                WriteOption write;
                problem = key == QLatin1String("items") ? parseItem(value, &item) : parseWrite(value, &write);
                key == QLatin1String("items") ? device.items.append(item) : device.writes.append(write);
            } else {
                problem = applyDeviceKey(key, value, &device, &defaults);
            }
            if (!problem.isEmpty()) {
                return fail(arg + QStringLiteral(": ") + problem);
            }
            deviceOptionsGiven.append(arg);
        } else if (arg == QLatin1String("--config")) {
            configPath = value;
        } else if (arg == QLatin1String("--format")) {
            const QStringList formats = {QStringLiteral("table"), QStringLiteral("csv"), QStringLiteral("json")};
            if (!formats.contains(value)) {
                return fail(QStringLiteral("--format must be table, csv or json, not '%1'").arg(value));
            }
            options->format = static_cast<Format>(formats.indexOf(value));
        } else if (arg == QLatin1String("--seconds")) {
            bool ok = false;
            options->seconds = value.toDouble(&ok);
            if (!ok || options->seconds <= 0 || options->seconds > 1e7) {
                return fail(QStringLiteral("--seconds must be a positive number, not '%1'").arg(value));
            }
        } else if (arg == QLatin1String("--refresh")) {
            if (!number(value, 10, 3600000, &options->refreshMs)) {
                return fail(QStringLiteral("--refresh must be at least 10 milliseconds, not '%1'").arg(value));
            }
        } else if (arg == QLatin1String("--read-pause")) {
            if (!number(value, 0, 3600000, &options->readPauseMs)) {
                return fail(QStringLiteral("--read-pause must be a number of milliseconds, not '%1'").arg(value));
            }
        } else {
            return fail(QStringLiteral("unknown option '%1'").arg(arg));
        }
    }
    if (!configPath.isEmpty()) {
        if (!deviceOptionsGiven.isEmpty() || options->browse) {
            return fail(QStringLiteral("%1 cannot be combined with --config; set it in the file")
                            .arg(options->browse ? QStringLiteral("--browse") : deviceOptionsGiven.first()));
        }
        const QString problem = loadConfig(configPath, options);
        return problem.isEmpty() || fail(problem);
    }
    if (const QString problem = finishDevice(&device, defaults, true); !problem.isEmpty()) {
        return fail(problem);
    }
    options->devices.append(device);
    return true;
}

} // namespace driver
