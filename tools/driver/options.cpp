#include "tools/driver/options.h"

#include "tools/driver/config_file.h"
#include "tools/driver/secure_options.h"
#include "worker/values/plc_type.h"

#include <QFile>
#include <QFileInfo>
#include <QHash>
#include <QStringList>

#include <algorithm>
#include <cstdio>

namespace driver {

namespace {

// Keys a device takes, in a configuration section and (with dashes) on the command line.
const char* const DEVICE_KEYS[] = {"address", "netid", "ads_port", "timeout", "error_wait", "local_netid",
                                   "items", "writes", "mode", "cycle",
                                   // Secure ADS, applied by applySecureKey (secure_options.h).
                                   "transport", "tls_port", "tls_mode", "psk_identity", "psk_password", "ca_file",
                                   "certificate_file", "key_file", "plc_fingerprint", "plc_user", "plc_password",
                                   "ignore_common_name",
                                   // How the items are read, applied by applyReadKey.
                                   "read_mode", "max_notifications"};

// A type name as the plug-in names its types, PLC (or nothing) for the type from the PLC, or its number.
int parseType(const QString& text)
{
    if (text.isEmpty() || text.compare(QLatin1String("PLC"), Qt::CaseInsensitive) == 0) {
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
                                         "(BOOL, LINT, TIME, WSTRING, ...), PLC or 0..23, "
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

// The SYMBOL or SYMBOL:TYPE before a write's '='.
QString parseWriteTarget(const QString& target, const QString& whole, WriteOption* write)
{
    const QString text = target.trimmed();
    const int colon = text.lastIndexOf(QLatin1Char(':'));
    write->symbol = colon < 0 ? text : text.left(colon).trimmed();
    write->type = colon < 0 ? -1 : parseType(text.mid(colon + 1).trimmed());
    if (write->symbol.isEmpty() || (colon >= 0 && write->type < 0) || text.contains(QLatin1Char('"'))) {
        return QStringLiteral("a write is SYMBOL=VALUE, or SYMBOL:TYPE=VALUE with TYPE a type name, PLC or 0..23, "
                              "not '%1'")
            .arg(whole);
    }
    return QString();
}

// A write of the command line: the value is what follows the first '=', exactly.
QString parseWrite(const QString& text, WriteOption* write)
{
    const int equals = text.indexOf(QLatin1Char('='));
    if (equals < 0) {
        return parseWriteTarget(QString(), text, write);
    }
    write->value = text.mid(equals + 1);
    return parseWriteTarget(text.left(equals), text, write);
}

// A write of the configuration file: the value bare or in quotes (see unquote).
QString parseFileWrite(const QString& text, WriteOption* write)
{
    const int equals = text.indexOf(QLatin1Char('='));
    if (const QString problem = parseWriteTarget(equals < 0 ? QString() : text.left(equals), text.trimmed(), write);
        !problem.isEmpty()) {
        return problem;
    }
    QString problem;
    return unquote(text.mid(equals + 1), &write->value, &problem) ? QString() : problem;
}

// The device defaults of --mode and --cycle, kept apart until every item is known.
struct Defaults {
    int mode = 4;
    int cycleMs = DEFAULT_CYCLE_MS;
};

// The keys of how the items are read; empty when `key` is none of them or its value is fine.
QString applyReadKey(const QString& key, const QString& text, DeviceOption* device)
{
    if (key == QLatin1String("read_mode")) {
        const QStringList modes = {QStringLiteral("notifications"), QStringLiteral("polled"), QStringLiteral("automatic")};
        if (!modes.contains(text)) {
            return QStringLiteral("the read mode must be notifications, polled or automatic, not '%1'").arg(text);
        }
        device->readMode = text;
    } else if (key == QLatin1String("max_notifications") && !number(text, 1, 1000000, &device->maxNotifications)) {
        return QStringLiteral("the number of notifications must be a positive number, not '%1'").arg(text);
    }
    return QString();
}

// One setting of a device. A value of the configuration file may be quoted and lists several
// items or writes; one of the command line is used as it stands.
QString applyDeviceKey(const QString& key, const QString& value, DeviceOption* device, Defaults* defaults,
                       bool fromFile)
{
    const bool list = key == QLatin1String("items") || key == QLatin1String("writes");
    QString text = value.trimmed();
    if (fromFile && !list) {
        if (QString problem; !unquote(value, &text, &problem)) {
            return problem;
        }
    }
    if (key == QLatin1String("read_mode") || key == QLatin1String("max_notifications")) {
        return applyReadKey(key, text, device);
    }
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
    } else if (isSecureKey(key)) {
        return applySecureKey(key, value, &device->secureColumns);
    } else if (key == QLatin1String("mode")) {
        defaults->mode = parseMode(text);
        if (defaults->mode < 0) {
            return QStringLiteral("the mode must be change or cyclic, not '%1'").arg(value);
        }
    } else {
        const bool items = key == QLatin1String("items");
        for (const QString& part : fromFile ? splitList(value) : QStringList{value}) {
            ItemOption item;
            WriteOption write;
            QString symbolText;
            QString problem;
            if (items && (!fromFile || unquote(part, &symbolText, &problem))) {
                problem = parseItem(fromFile ? symbolText : part, &item);
            } else if (!items) {
                problem = fromFile ? parseFileWrite(part, &write) : parseWrite(part, &write);
            }
            if (!problem.isEmpty()) {
                return problem;
            }
            items ? device->items.append(item) : device->writes.append(write);
        }
    }
    return QString();
}

// What keeps a device from running, and the setting it concerns.
struct DeviceProblem {
    QString key;
    QString text;
};

// Defaults, the derived NetId and the writes' types; an empty text when the device can run.
DeviceProblem finishDevice(DeviceOption* device, const Defaults& defaults, bool defaultItems)
{
    if (device->netId.isEmpty()) {
        const QString host = device->address.section(QLatin1Char(':'), 0, 0);
        if (!decimalFields(host, 4)) {
            return {QStringLiteral("address"),
                    QStringLiteral("cannot derive an AMS NetId from '%1'; give its NetId (--netid, or netid in "
                                   "the configuration file)")
                        .arg(device->address)};
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
    for (WriteOption& write : device->writes) {
        const auto item = std::find_if(device->items.begin(), device->items.end(),
                                       [&](const ItemOption& i) { return i.symbol == write.symbol; });
        if (write.type < 0 && item == device->items.end()) {
            return {QStringLiteral("writes"),
                    QStringLiteral("the write of '%1' names none of the items; give its type as in %1:INT=VALUE")
                        .arg(write.symbol)};
        }
        write.type = write.type < 0 ? item->type : write.type;
    }
    return {};
}

QStringList loadConfig(const QString& path, Options* options)
{
    QFile file(path);
    if (!QFileInfo(path).isFile() || !file.open(QIODevice::ReadOnly)) {
        return {QStringLiteral("cannot read the configuration file '%1'").arg(path)};
    }
    QList<IniProblem> problems;
    const QList<IniSection> sections = readIni(file.readAll(), &problems);
    const auto at = [&](int line, const QString& section, const QString& text) {
        problems.append(IniProblem{line, QStringLiteral("[%1] %2").arg(section, text)});
    };
    for (const IniSection& section : sections) {
        DeviceOption device;
        Defaults defaults;
        device.name = section.name;
        QHash<QString, int> lines;
        for (const IniEntry& entry : section.entries) {
            lines.insert(entry.key, entry.line);
            const bool known = std::any_of(std::begin(DEVICE_KEYS), std::end(DEVICE_KEYS),
                                           [&](const char* name) { return entry.key == QLatin1String(name); });
            const QString problem = known ? applyDeviceKey(entry.key, entry.value, &device, &defaults, true)
                                          : QStringLiteral("unknown key");
            if (!problem.isEmpty()) {
                at(entry.line, section.name, entry.key + QStringLiteral(": ") + problem);
            }
        }
        if (const DeviceProblem problem = finishDevice(&device, defaults, false); !problem.text.isEmpty()) {
            at(lines.value(problem.key, section.line), section.name, problem.text);
        } else if (device.items.isEmpty()) {
            at(section.line, section.name, QStringLiteral("has no items"));
        }
        options->devices.append(device);
    }
    if (problems.isEmpty() && sections.isEmpty()) {
        return {QStringLiteral("%1: no device section").arg(path)};
    }
    std::stable_sort(problems.begin(), problems.end(),
                     [](const IniProblem& a, const IniProblem& b) { return a.line < b.line; });
    QStringList texts;
    for (const IniProblem& problem : problems) {
        texts.append(QStringLiteral("%1: line %2: %3").arg(path).arg(problem.line).arg(problem.text));
    }
    return texts;
}

bool fail(const QStringList& messages)
{
    for (const QString& message : messages) {
        std::fprintf(stderr, "ads-plc-driver: %s\n", qPrintable(message));
    }
    std::fprintf(stderr, "Try 'ads-plc-driver --help'.\n");
    return false;
}

bool fail(const QString& message)
{
    return fail(QStringList{message});
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
    if (std::any_of(address.begin(), address.end(), [](QChar c) { return c.isSpace(); })) {
        return QStringLiteral("the address is one host name or IPv4 address with an optional :PORT, not '%1'")
            .arg(address);
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
        "Exit status: 0 when, at the end of the run, every device is connected and every item has a\n"
        "value, and every write succeeded; 1 otherwise (the summary says why, and names what failed\n"
        "on the way); 2 for bad options or a bad configuration file.\n\n"
        "  --config FILE          run the devices of an INI file, one section per device (keys:\n"
        "                         address netid ads_port timeout error_wait local_netid mode cycle\n"
        "                         items writes read_mode max_notifications, and those of secure ADS\n"
        "                         below); the device options are then refused\n"
        "  --address HOST[:PORT]  PLC address (default 127.0.0.1; PORT defaults to 48898)\n"
        "  --netid NETID          target AMS NetId (default: the IPv4 address followed by .1.1)\n"
        "  --ads-port N           ADS port of the PLC runtime (default 801)\n"
        "  --timeout MS           request time-out in milliseconds (default 15000)\n"
        "  --error-wait S         seconds to wait before reconnecting after an error (default 5)\n"
        "  --local-netid NETID    local AMS NetId (default: derived by the plug-in)\n"
        "  --item SYMBOL[:TYPE[:MODE[:CYCLE_MS]]]\n"
        "                         item to read, repeatable; TYPE is a type name (BOOL BYTE WORD DWORD\n"
        "                         LWORD SINT USINT INT UINT DINT UDINT LINT ULINT REAL LREAL TIME LTIME\n"
        "                         TIME_OF_DAY DATE DATE_AND_TIME STRING WSTRING STRUCT), PLC for the type\n"
        "                         from the PLC's symbol information (the default) or 0..23; MODE change or\n"
        "                         cyclic (default items: MAIN.down:INT and .count:UINT)\n"
        "  --mode change|cyclic   notification mode of items that name none (default change)\n"
        "  --cycle MS             notification cycle of items that name none (default 1000): a cyclic\n"
        "                         item gets a sample every cycle; for an on-change item the PLC looks\n"
        "                         for a change once a cycle, so a new value shows up to a cycle late\n"
        "  --write SYMBOL[:TYPE]=VALUE\n"
        "                         write VALUE, exactly as given, once connected; repeatable, applied in\n"
        "                         order; without TYPE the symbol must be one of the items\n"
        "  --read-mode notifications|polled|automatic\n"
        "                         how the items are read: a notification each, polled sum reads at\n"
        "                         their cycle, or notifications until the PLC has none left or\n"
        "                         --max-notifications is reached, the rest polled (default notifications)\n"
        "  --max-notifications N  automatic mode: at most N items by notification (default 400)\n"
        "  --format table|csv|json  output: a table per view, CSV rows, or one JSON object per view\n"
        "  --stats                views also show each item's samples and the age of its latest value,\n"
        "                         and the round trip of the device's state poll (the summary always does)\n"
        "  --seconds S            how long to run (default 10); Ctrl-C or SIGTERM end the run early\n"
        "  --refresh MS           how often the view is printed (default 1000)\n"
        "  --read-pause MS        pause between two reads (default 100; 0 reads without pause)\n"
        "  --browse [PREFIX]      list the PLC's variables whose names start with PREFIX (any case)\n"
        "                         with type, size and comment, and an --item line for each readable one\n"
        "  --members [PREFIX]     with --browse: also list the members of structures (nested ones and\n"
        "                         each element of an array of structures), each with its --item line\n"
        "  --verbose              echo the plug-in's log lines to stderr\n"
        "  --version              print the version\n"
        "  --help                 show this text\n\n"
        "The summary's losses line counts, over the whole run: samples dropped because the receive\n"
        "buffer was full, because no notification had their handle, or because their size differed\n"
        "from the item's; replies nobody waited for (after their request timed out, or not asked for);\n"
        "and reconnections of a connection that had been up (not the failed attempts of a device that\n"
        "never connected).\n\n");
    printSecureUsage();
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
        if (arg == QLatin1String("--version")) {
            options->version = true;
            return true;
        }
        if (arg == QLatin1String("--verbose") || arg == QLatin1String("--stats")) {
            (arg == QLatin1String("--stats") ? options->stats : options->verbose) = true;
            continue;
        }
        // Either takes the prefix: "--browse MAIN.st --members" and "--browse --members MAIN.st" alike.
        if (arg == QLatin1String("--browse") || arg == QLatin1String("--members")) {
            (arg == QLatin1String("--browse") ? options->browse : options->browseMembers) = true;
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
                problem = applyDeviceKey(key, value, &device, &defaults, false);
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
    if (options->browseMembers && !options->browse) {
        return fail(QStringLiteral("--members lists the members of structures only with --browse"));
    }
    if (!configPath.isEmpty()) {
        if (!deviceOptionsGiven.isEmpty() || options->browse) {
            return fail(QStringLiteral("%1 cannot be combined with --config; set it in the file")
                            .arg(options->browse ? QStringLiteral("--browse") : deviceOptionsGiven.first()));
        }
        const QStringList problems = loadConfig(configPath, options);
        return problems.isEmpty() || fail(problems);
    }
    if (const DeviceProblem problem = finishDevice(&device, defaults, true); !problem.text.isEmpty()) {
        return fail(problem.text);
    }
    options->devices.append(device);
    return true;
}

} // namespace driver
