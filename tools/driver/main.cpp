// Stand-alone driver: runs the plug-in against one PLC without the host, reads one device
// in a loop on a second thread and prints a refreshing view of the batch.
#include "host/HostState.h"
#include "ads/AdsRequests.h"
#include "plugin/ads_plc.h"
#include "tools/driver/browse.h"

#include <QByteArray>
#include <QDateTime>
#include <QString>
#include <QStringList>
#include <QtGlobal>

#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <mutex>
#include <thread>

namespace {

const char* const TYPE_NAMES[] = {"BOOL",  "BYTE", "WORD", "DWORD", "SINT", "USINT", "INT",
                                  "UINT",  "DINT", "UDINT", "REAL", "LREAL", "STRING"};
constexpr int TYPE_COUNT = sizeof(TYPE_NAMES) / sizeof(TYPE_NAMES[0]);

struct ItemOption {
    QString name;
    QString symbol;
    int type = 0;
};

struct Options {
    QString address = QStringLiteral("127.0.0.1");
    QString netId; // derived from the address when empty
    int adsPort = 801;
    int timeoutMs = 15000;
    double seconds = 10;
    int refreshMs = 1000;
    int readPauseMs = 100;
    int cycleMs = 5000;
    QList<ItemOption> items;
    QString writeSymbol;
    QString writeValue;
    bool verbose = false;
    bool browse = false;
    QString browsePrefix;
};

void printUsage()
{
    std::printf(
        "Usage: ads-plc-driver [options]\n"
        "Reads PLC variables through the plug-in and shows the batch every refresh interval.\n\n"
        "  --address HOST[:PORT]  PLC address (default 127.0.0.1; PORT defaults to 48898)\n"
        "  --netid NETID          target AMS NetId (default: the IPv4 address followed by .1.1)\n"
        "  --ads-port N           ADS port of the PLC runtime (default 801)\n"
        "  --timeout MS           request time-out in milliseconds (default 15000)\n"
        "  --item SYMBOL:TYPE     item to read, repeatable; TYPE is BOOL..STRING or 0..16\n"
        "                         (default: MAIN.down:INT and .count:UINT)\n"
        "  --cycle MS             notification cycle of the items (default 5000)\n"
        "  --write SYMBOL=VALUE   write VALUE to the item with this symbol once connected\n"
        "  --seconds S            how long to run (default 10)\n"
        "  --refresh MS           how often the view is printed (default 1000)\n"
        "  --read-pause MS        pause between two reads (default 100; 0 reads without pause)\n"
        "  --browse [PREFIX]      list the PLC's variables whose names start with PREFIX (any case)\n"
        "                         with type, size and comment, and an --item line for each readable one\n"
        "  --verbose              echo the plug-in's log lines to stderr\n"
        "  --help                 show this text\n");
}

bool fail(const QString& message)
{
    std::fprintf(stderr, "ads-plc-driver: %s\nTry 'ads-plc-driver --help'.\n", qPrintable(message));
    return false;
}

int parseType(const QString& text)
{
    for (int i = 0; i < TYPE_COUNT; ++i) {
        if (text.compare(QLatin1String(TYPE_NAMES[i]), Qt::CaseInsensitive) == 0) {
            return i;
        }
    }
    bool ok = false;
    const int number = text.toInt(&ok);
    return ok && number >= 0 && number <= 16 ? number : -1;
}

// Left-aligned in `width` characters. Rows are joined, never formatted: a PLC text or name
// holding "%1" must show as it is.
QString cell(const QString& text, int width)
{
    return text.leftJustified(width, QLatin1Char(' '));
}

QString row(const QStringList& cells)
{
    return cells.join(QStringLiteral(" | ")) + QLatin1Char('\n');
}

QString typeName(int type)
{
    return type >= 0 && type < TYPE_COUNT ? QString::fromLatin1(TYPE_NAMES[type]) : QString::number(type);
}

// The host part of "a.b.c.d" or "a.b.c.d:port" when it is a plain IPv4 address.
QString ipv4Host(const QString& address)
{
    const QString host = address.section(QLatin1Char(':'), 0, 0);
    const QStringList parts = host.split(QLatin1Char('.'));
    if (parts.size() != 4 || address.count(QLatin1Char(':')) > 1) {
        return QString();
    }
    for (const QString& part : parts) {
        bool ok = false;
        const int value = part.toInt(&ok);
        if (!ok || value < 0 || value > 255) {
            return QString();
        }
    }
    return host;
}

bool parseOptions(const QStringList& args, Options* options, bool* help)
{
    auto number = [](const QString& text, int min, int max, int* out) {
        bool ok = false;
        const int value = text.toInt(&ok);
        if (!ok || value < min || value > max) {
            return false;
        }
        *out = value;
        return true;
    };
    for (int i = 1; i < args.size(); ++i) {
        const QString& arg = args.at(i);
        if (arg == QLatin1String("--help") || arg == QLatin1String("-h")) {
            *help = true;
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
        if (arg == QLatin1String("--address")) {
            if (value.trimmed().isEmpty()) {
                return fail(QStringLiteral("--address needs a host"));
            }
            options->address = value.trimmed();
        } else if (arg == QLatin1String("--netid")) {
            options->netId = value.trimmed();
        } else if (arg == QLatin1String("--ads-port")) {
            if (!number(value, 1, 65535, &options->adsPort)) {
                return fail(QStringLiteral("--ads-port must be a number from 1 to 65535, not '%1'").arg(value));
            }
        } else if (arg == QLatin1String("--timeout")) {
            if (!number(value, 1, 3600000, &options->timeoutMs)) {
                return fail(QStringLiteral("--timeout must be a positive number of milliseconds, not '%1'").arg(value));
            }
        } else if (arg == QLatin1String("--item")) {
            const int colon = value.lastIndexOf(QLatin1Char(':'));
            const int type = colon > 0 ? parseType(value.mid(colon + 1)) : -1;
            if (type < 0) {
                return fail(QStringLiteral("--item must be SYMBOL:TYPE with TYPE BOOL..STRING or 0..16, not '%1'")
                                .arg(value));
            }
            options->items.append(ItemOption{value.left(colon), value.left(colon), type});
        } else if (arg == QLatin1String("--cycle")) {
            if (!number(value, 1, 86400000, &options->cycleMs)) {
                return fail(QStringLiteral("--cycle must be a positive number of milliseconds, not '%1'").arg(value));
            }
        } else if (arg == QLatin1String("--write")) {
            const int equals = value.indexOf(QLatin1Char('='));
            if (equals <= 0) {
                return fail(QStringLiteral("--write must be SYMBOL=VALUE, not '%1'").arg(value));
            }
            options->writeSymbol = value.left(equals);
            options->writeValue = value.mid(equals + 1);
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
    if (options->netId.isEmpty()) {
        const QString host = ipv4Host(options->address);
        if (host.isEmpty()) {
            return fail(QStringLiteral("cannot derive an AMS NetId from '%1'; give --netid").arg(options->address));
        }
        options->netId = host + QStringLiteral(".1.1");
    }
    if (options->items.isEmpty()) {
        // INT, as its name says: read as BOOL, one byte of the two, the type check refuses it.
        options->items.append(ItemOption{QStringLiteral("LOCAL TEST INT"), QStringLiteral("MAIN.down"), 6});
        options->items.append(ItemOption{QStringLiteral("GLOBAL TEST UINT"), QStringLiteral(".count"), 7});
    }
    if (!options->writeSymbol.isEmpty()) {
        const bool known = std::any_of(options->items.begin(), options->items.end(),
                                       [&](const ItemOption& item) { return item.symbol == options->writeSymbol; });
        if (!known) {
            return fail(QStringLiteral("--write names '%1', which is none of the items").arg(options->writeSymbol));
        }
    }
    return true;
}

LogList buildBatch(const Options& options)
{
    LogList list;
    list.device.id = 1;
    list.device.errorWaitTimeSeconds = 5;
    list.device.name = QStringLiteral("ADS Test device");
    list.device.address = options.address;
    list.device.config.insert(QStringLiteral("Ads_Port"), QString::number(options.adsPort));
    list.device.config.insert(QStringLiteral("Target_AMS_NetId"), options.netId);
    list.device.config.insert(QStringLiteral("Local_AMS_NetId"), QString());
    list.device.config.insert(QStringLiteral("Timeout"), QString::number(options.timeoutMs));
    list.device.config.insert(QStringLiteral("timestamp"), QStringLiteral("1"));
    int id = 0;
    for (const ItemOption& option : options.items) {
        ItemInstancePlugin item;
        item.id = id++;
        item.name = option.name;
        item.readIntervalMs = options.cycleMs;
        item.config.insert(QStringLiteral("variable_name"), option.symbol);
        item.config.insert(QStringLiteral("type"), QString::number(option.type));
        item.config.insert(QStringLiteral("notification_transmission_mode"), QStringLiteral("0"));
        DataItem data(item);
        data.values.insert(QStringLiteral("value"), QString());
        list.items.append(data);
    }
    return list;
}

// What the read thread last saw, for the printing thread.
struct Snapshot {
    std::mutex mutex;
    LogList batch;
    bool lastReadOk = false;
    quint64 reads = 0;
    QString writeResult;
};

void printView(Snapshot& snapshot, const Options& options, double elapsed)
{
    LogList batch;
    bool ok = false;
    quint64 reads = 0;
    QString writeResult;
    {
        std::lock_guard<std::mutex> lock(snapshot.mutex);
        batch = snapshot.batch;
        ok = snapshot.lastReadOk;
        reads = snapshot.reads;
        writeResult = snapshot.writeResult;
    }
    QString out;
    if (isatty(STDOUT_FILENO)) {
        out += QStringLiteral("\033[H\033[2J");
    }
    out += QStringLiteral("=== ") + batch.device.name + QStringLiteral("  ") + options.address +
           QStringLiteral("  NetId ") + options.netId + QStringLiteral(" port ") + QString::number(options.adsPort) +
           QStringLiteral("  t=") + QString::number(elapsed, 'f', 1) + QStringLiteral("s  reads ") +
           QString::number(reads) + QStringLiteral("  last read ") +
           (ok ? QStringLiteral("ok") : QStringLiteral("failed")) + QLatin1Char('\n');
    out += QStringLiteral("device error: ") +
           (batch.device.error.isEmpty() ? QStringLiteral("-") : batch.device.error) + QLatin1Char('\n');
    if (!writeResult.isEmpty()) {
        out += QStringLiteral("write: ") + writeResult + QLatin1Char('\n');
    }
    out += row({cell(QStringLiteral("name"), 18), cell(QStringLiteral("symbol"), 16), cell(QStringLiteral("type"), 6),
                cell(QStringLiteral("value"), 14), cell(QStringLiteral("time stamp (UTC)"), 23),
                QStringLiteral("item error")});
    for (const DataItem& data : batch.items) {
        const bool identity = data.item.uid.startsWith(QLatin1String("identity_"));
        const QString symbol = identity ? QStringLiteral("(identity)") : data.item.config.value("variable_name");
        const QString type = identity ? QString() : typeName(data.item.config.value("type").toInt());
        const QString stamp = data.timestamp.isValid()
                                  ? data.timestamp.toUTC().toString(QStringLiteral("yyyy-MM-dd hh:mm:ss.zzz"))
                                  : QStringLiteral("-");
        out += row({cell(data.item.name, 18), cell(symbol, 16), cell(type, 6),
                    cell(data.values.value(QStringLiteral("value")), 14), cell(stamp, 23),
                    data.item.error.isEmpty() ? QStringLiteral("-") : data.item.error});
    }
    std::fputs(out.toUtf8().constData(), stdout);
    std::fflush(stdout);
}

void testReadThread(LogList batch, Ads_Plc* plugin, const Options& options, Snapshot* snapshot,
                    const std::atomic<bool>* stop, std::mutex* pauseMutex, std::condition_variable* pause)
{
    qWarning("%s", qPrintable(QStringLiteral("LETS GO: ") + batch.device.address));
    bool written = options.writeSymbol.isEmpty();
    while (!stop->load()) {
        const bool ok = plugin->readData(&batch);
        if (ok && !written) {
            written = true;
            LogList writeBatch;
            writeBatch.device = batch.device;
            for (const DataItem& data : batch.items) {
                if (data.item.config.value(QStringLiteral("variable_name")) == options.writeSymbol) {
                    DataItem item(data.item);
                    item.values.insert(QStringLiteral("value"), options.writeValue);
                    writeBatch.items.append(item);
                }
            }
            const bool accepted = plugin->writeData(&writeBatch);
            const QString error = writeBatch.items.isEmpty() ? QString() : writeBatch.items.first().item.error;
            QString outcome = QStringLiteral("sent");
            if (!accepted || !error.isEmpty() || !writeBatch.device.error.isEmpty()) {
                const QString reason = error.isEmpty() ? writeBatch.device.error : error;
                outcome = QStringLiteral("failed") + (reason.isEmpty() ? QString() : QStringLiteral(": ") + reason);
            }
            const QString result = options.writeSymbol + QStringLiteral(" = ") + options.writeValue +
                                   QStringLiteral(": ") + outcome;
            std::lock_guard<std::mutex> lock(snapshot->mutex);
            snapshot->writeResult = result;
        }
        {
            std::lock_guard<std::mutex> lock(snapshot->mutex);
            snapshot->batch = batch;
            snapshot->lastReadOk = ok;
            ++snapshot->reads;
        }
        // A failed read returns at once while the worker waits to reconnect: do not spin on it.
        const int pauseMs = ok ? options.readPauseMs : qMax(options.readPauseMs, 100);
        if (pauseMs > 0) {
            std::unique_lock<std::mutex> lock(*pauseMutex);
            pause->wait_for(lock, std::chrono::milliseconds(pauseMs), [stop] { return stop->load(); });
        }
    }
}

} // namespace

int main(int argc, char** argv)
{
    QStringList args;
    for (int i = 0; i < argc; ++i) {
        args.append(QString::fromLocal8Bit(argv[i]));
    }
    Options options;
    bool help = false;
    if (!parseOptions(args, &options, &help)) {
        return 2;
    }
    if (help) {
        printUsage();
        return 0;
    }
    if (options.browse) {
        return browsePlc(options.address, options.netId, options.adsPort, options.timeoutMs, options.browsePrefix);
    }
    // The substitute host echoes its log lines when this is set; only --verbose decides.
    if (options.verbose) {
        qputenv("TAVHOST_ECHO_LOGS", "1");
    } else {
        qunsetenv("TAVHOST_ECHO_LOGS");
    }

    const LogList batch = buildBatch(options);
    // The host knows the device, so init creates its identity items and reads fill them.
    tavhost::HostState::instance().setDevices({batch.device});

    Ads_Plc plugin;
    plugin.init();

    Snapshot snapshot;
    snapshot.batch = batch;
    std::atomic<bool> stop{false};
    std::mutex pauseMutex;
    std::condition_variable pause;
    std::thread reader(testReadThread, batch, &plugin, std::cref(options), &snapshot, &stop, &pauseMutex, &pause);

    const auto start = std::chrono::steady_clock::now();
    const auto end = start + std::chrono::milliseconds(static_cast<qint64>(options.seconds * 1000));
    for (;;) {
        const auto now = std::chrono::steady_clock::now();
        const auto next = std::min(end, now + std::chrono::milliseconds(options.refreshMs));
        {
            std::unique_lock<std::mutex> lock(pauseMutex);
            pause.wait_until(lock, next, [&stop] { return stop.load(); });
        }
        const double elapsed = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        printView(snapshot, options, elapsed);
        if (std::chrono::steady_clock::now() >= end) {
            break;
        }
    }
    qWarning("%s", qPrintable(QStringLiteral("And we are done after %1s").arg(options.seconds)));

    // The plug-in must not be stopped while a read is running; one waiting for a connection is cut short.
    plugin.requestStop();
    {
        std::lock_guard<std::mutex> lock(pauseMutex);
        stop = true;
    }
    pause.notify_all();
    reader.join();
    const plc::ads::ConnectionCounters losses =
        plc::ads::GetConnectionCounters(AmsNetId(options.netId.toStdString()));
    std::printf("losses: receive buffer full %llu, unknown handle %llu, size mismatch %llu, unmatched replies %llu, "
                "reconnections %llu\n",
                static_cast<unsigned long long>(losses.ringFull), static_cast<unsigned long long>(losses.unknownHandle),
                static_cast<unsigned long long>(losses.sizeMismatch),
                static_cast<unsigned long long>(losses.unmatchedReplies),
                static_cast<unsigned long long>(losses.reconnections));
    std::fflush(stdout);
    plugin.stopPlugin();
    qWarning("DONE RUNNIPNG");
    return 0;
}
