#include "tools/driver/run.h"

#include "ads/AdsRequests.h"
#include "host/HostState.h"
#include "plugin/ads_plc.h"
#include "tools/driver/device_run.h"
#include "tools/driver/output.h"
#include "worker/ads_plc_worker.h"

#include <pthread.h>
#include <signal.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstdio>
#include <mutex>
#include <thread>

namespace driver {

namespace {

LogList buildBatch(const DeviceOption& device, int id)
{
    LogList list;
    list.device.id = id;
    list.device.errorWaitTimeSeconds = device.errorWaitSeconds;
    list.device.name = device.name;
    list.device.address = device.address;
    list.device.config.insert(QStringLiteral("Ads_Port"), QString::number(device.adsPort));
    list.device.config.insert(QStringLiteral("Target_AMS_NetId"), device.netId);
    list.device.config.insert(QStringLiteral("Local_AMS_NetId"), device.localNetId);
    list.device.config.insert(QStringLiteral("Timeout"), QString::number(device.timeoutMs));
    list.device.config.insert(QStringLiteral("timestamp"), QStringLiteral("1"));
    for (auto it = device.secureColumns.begin(); it != device.secureColumns.end(); ++it) {
        list.device.config.insert(it.key(), it.value());
    }
    list.device.config.insert(QStringLiteral("Read_Mode"), device.readMode);
    list.device.config.insert(QStringLiteral("Max_Notifications"),
                              device.maxNotifications > 0 ? QString::number(device.maxNotifications) : QString());
    int itemId = 0;
    for (const ItemOption& option : device.items) {
        ItemInstancePlugin item;
        item.id = itemId++;
        item.name = option.symbol;
        item.readIntervalMs = option.cycleMs;
        item.config.insert(QStringLiteral("variable_name"), option.symbol);
        item.config.insert(QStringLiteral("type"), QString::number(option.type));
        item.config.insert(QStringLiteral("notification_transmission_mode"), QString::number(option.mode));
        DataItem data(item);
        data.values.insert(QStringLiteral("value"), QString());
        list.items.append(data);
    }
    return list;
}

struct Shared {
    std::mutex mutex;
    std::condition_variable wake;
    bool stop = false;
    QList<DeviceRun> devices;
    std::chrono::steady_clock::time_point start;
};

// Writes may name a symbol no item reads; such a write gets an item record of its own.
constexpr int WRITE_ONLY_ITEM_IDS = 1000000;

// The result of each write call alone: the item's earlier read or subscription error is not
// carried into it.
WriteResult applyWrite(Ads_Plc* plugin, const LogList& batch, const WriteOption& write, int writeOnlyId)
{
    LogList writeBatch;
    writeBatch.device = batch.device;
    writeBatch.device.error.clear();
    const auto read = std::find_if(batch.items.begin(), batch.items.end(), [&](const DataItem& data) {
        return !isIdentity(data) && data.item.config.value(QStringLiteral("variable_name")) == write.symbol &&
               data.item.config.value(QStringLiteral("type")).toInt() == write.type;
    });
    ItemInstancePlugin record;
    if (read != batch.items.end()) {
        record = read->item;
    } else {
        record.id = writeOnlyId;
        record.name = write.symbol;
        record.config.insert(QStringLiteral("variable_name"), write.symbol);
        record.config.insert(QStringLiteral("type"), QString::number(write.type));
        record.config.insert(QStringLiteral("notification_transmission_mode"), QStringLiteral("4"));
    }
    DataItem item(record);
    item.item.error.clear();
    item.values.insert(QStringLiteral("value"), write.value);
    writeBatch.items.append(item);
    const bool accepted = plugin->writeData(&writeBatch);
    const QString itemError = writeBatch.items.first().item.error;
    const QString reason = itemError.isEmpty() ? writeBatch.device.error : itemError;
    const bool ok = accepted && reason.isEmpty();
    return WriteResult{write.symbol, write.value, ok, ok ? QString() : reason};
}

// The NetId the plug-in routes the device by, for its loss counters.
AmsNetId routedNetId(const DeviceOption& device)
{
    const QString full = device.netId.count(QLatin1Char('.')) == 3 ? device.netId + QStringLiteral(".1.1")
                                                                   : device.netId;
    AmsNetId netId(0u);
    ParseAmsNetId(full.toStdString(), netId);
    return netId;
}

// What the plug-in reads each item as: the type the PLC gave it, or the array an explicit type fits.
QHash<int, std::shared_ptr<const Plc_Type>> valueTypesOf(const LogList& batch)
{
    QHash<int, std::shared_ptr<const Plc_Type>> types;
    std::lock_guard<std::mutex> lock(Ads_Plc_Worker::valuesMutex);
    for (const DataItem& data : batch.items) {
        const auto it = Ads_Plc_Worker::values.constFind(
            Ads_Plc_Worker::ValueKey(static_cast<quint32>(batch.device.id), static_cast<quint32>(data.item.id)));
        if (!isIdentity(data) && it != Ads_Plc_Worker::values.constEnd() && it->type) {
            types.insert(data.item.id, it->type);
        }
    }
    return types;
}

void readLoop(QList<LogList> batches, Ads_Plc* plugin, const Options& options, Shared* shared)
{
    for (const LogList& batch : batches) {
        qWarning("%s", qPrintable(QStringLiteral("LETS GO: ") + batch.device.address));
    }
    QList<bool> written;
    QList<AmsNetId> netIds;
    for (const DeviceOption& device : options.devices) {
        written.append(device.writes.isEmpty());
        netIds.append(routedNetId(device));
    }
    for (;;) {
        bool anyOk = false;
        for (int i = 0; i < batches.size(); ++i) {
            {
                std::lock_guard<std::mutex> lock(shared->mutex);
                if (shared->stop) {
                    return;
                }
            }
            LogList& batch = batches[i];
            // Only what this read delivers shows: no value or error stays on from an earlier read.
            batch.device.error.clear();
            for (DataItem& data : batch.items) {
                if (!isIdentity(data)) {
                    data.values.remove(QStringLiteral("value"));
                    data.timestamp = QDateTime();
                    data.item.error.clear();
                }
            }
            const bool ok = plugin->readData(&batch);
            const bool connected = ok && batch.device.error.isEmpty();
            const QHash<int, std::shared_ptr<const Plc_Type>> valueTypes = valueTypesOf(batch);
            QList<WriteResult> results;
            if (connected && !written.at(i)) {
                written[i] = true;
                const QList<WriteOption>& writes = options.devices.at(i).writes;
                for (int w = 0; w < writes.size(); ++w) {
                    results.append(applyWrite(plugin, batch, writes.at(w), WRITE_ONLY_ITEM_IDS + w));
                }
            }
            anyOk = anyOk || ok;
            const plc::ads::ConnectionCounters losses = plc::ads::GetConnectionCounters(netIds.at(i));
            const auto now = std::chrono::steady_clock::now();
            std::lock_guard<std::mutex> lock(shared->mutex);
            DeviceRun& run = shared->devices[i];
            run.noteRead(batch, ok, std::chrono::duration<double>(now - shared->start).count());
            run.noteValueTypes(valueTypes);
            run.noteWrites(results);
            run.noteStatistics(static_cast<quint32>(batch.device.id), losses, now);
        }
        // A failed read returns at once while the worker waits to reconnect: do not spin on it.
        const int pauseMs = anyOk ? options.readPauseMs : qMax(options.readPauseMs, 100);
        std::unique_lock<std::mutex> lock(shared->mutex);
        shared->wake.wait_for(lock, std::chrono::milliseconds(pauseMs), [shared] { return shared->stop; });
    }
}

// Summary lines: on stdout with the table, on stderr beside machine-readable output. The exit
// status judges the end of the run; what failed on the way is named besides.
int summarize(const Options& options, const QList<DeviceRun>& runs, std::chrono::steady_clock::time_point endedAt,
              Ads_Plc& plugin)
{
    QString out;
    int failed = 0;
    for (const DeviceRun& run : runs) {
        const QString name = run.view().device->name;
        const Ads_Plc::ReadCounts reads = plugin.readCounts(run.view().batch.device.id);
        out += QStringLiteral("items of %1: %2 by notification, %3 polled\n").arg(name).arg(reads.notified).arg(reads.polled);
        out += run.lossesLine() + QStringLiteral(", skipped polls %1\n").arg(reads.skippedPolls);
        out += run.statisticsLines(endedAt).join(QLatin1Char('\n')) + QLatin1Char('\n');
        if (const QStringList troubles = run.failedOnTheWay(); !troubles.isEmpty()) {
            out += QStringLiteral("failed on the way at %1: %2\n").arg(name, troubles.join(QStringLiteral("; ")));
        }
        const QStringList reasons = run.shortcomings();
        failed += reasons.isEmpty() ? 0 : 1;
        out += QStringLiteral("summary of %1: %2\n")
                   .arg(name, reasons.isEmpty() ? QStringLiteral("ok") : reasons.join(QStringLiteral("; ")));
    }
    out += failed == 0 ? QStringLiteral("result: ok\n")
                       : QStringLiteral("result: failed (%1 of %2 devices)\n").arg(failed).arg(runs.size());
    std::FILE* stream = options.format == Format::Table ? stdout : stderr;
    std::fputs(out.toUtf8().constData(), stream);
    std::fflush(stream);
    return failed == 0 ? 0 : 1;
}

// Waits until `deadline` or a stop signal; true on a signal.
bool waitForSignal(const sigset_t& stopSignals, std::chrono::steady_clock::time_point deadline)
{
    for (;;) {
        const auto left = deadline - std::chrono::steady_clock::now();
        if (left <= std::chrono::steady_clock::duration::zero()) {
            return false;
        }
        const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(left).count();
        const timespec wait{static_cast<time_t>(ns / 1000000000), static_cast<long>(ns % 1000000000)};
        const int signal = sigtimedwait(&stopSignals, nullptr, &wait);
        if (signal == SIGINT || signal == SIGTERM) {
            std::fprintf(stderr, "ads-plc-driver: stopping on %s\n", signal == SIGINT ? "SIGINT" : "SIGTERM");
            // A second signal ends the program at once.
            pthread_sigmask(SIG_UNBLOCK, &stopSignals, nullptr);
            return true;
        }
    }
}

} // namespace

int run(const Options& options)
{
    // Blocked before any thread starts, so that only the main thread takes them, in sigtimedwait.
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGINT);
    sigaddset(&stopSignals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);

    QList<LogList> batches;
    QList<DeviceInstancePlugin> hostDevices;
    Shared shared;
    shared.start = std::chrono::steady_clock::now();
    for (int i = 0; i < options.devices.size(); ++i) {
        batches.append(buildBatch(options.devices.at(i), i + 1));
        hostDevices.append(batches.last().device);
        shared.devices.append(DeviceRun(&options.devices.at(i), batches.last()));
    }
    // The host knows the devices, so init creates their identity items and reads fill them.
    tavhost::HostState::instance().setDevices(hostDevices);

    Ads_Plc plugin;
    plugin.init();
    std::thread reader(readLoop, batches, &plugin, std::cref(options), &shared);

    ViewPrinter printer(options.format, options.stats);
    const auto start = shared.start;
    const auto end = start + std::chrono::milliseconds(static_cast<qint64>(options.seconds * 1000));
    double elapsed = 0;
    for (bool stopped = false; !stopped;) {
        const auto next =
            std::min(end, std::chrono::steady_clock::now() + std::chrono::milliseconds(options.refreshMs));
        stopped = waitForSignal(stopSignals, next) || std::chrono::steady_clock::now() >= end;
        QList<DeviceView> views;
        {
            std::lock_guard<std::mutex> lock(shared.mutex);
            const auto now = std::chrono::steady_clock::now();
            for (const DeviceRun& run : shared.devices) {
                views.append(options.stats ? run.viewWithStatistics(now) : run.view());
            }
        }
        elapsed = std::round(std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count() * 10) / 10;
        printer.print(views, elapsed);
    }
    qWarning("%s", qPrintable(QStringLiteral("And we are done after %1s").arg(elapsed)));
    // Judged as the last view showed it: reads while the plug-in stops tell nothing of the plant.
    QList<DeviceRun> ended;
    const auto endedAt = std::chrono::steady_clock::now();
    {
        std::lock_guard<std::mutex> lock(shared.mutex);
        ended = shared.devices;
    }

    // The plug-in must not be stopped while a read is running; one waiting for a connection is cut short.
    plugin.requestStop();
    {
        std::lock_guard<std::mutex> lock(shared.mutex);
        shared.stop = true;
    }
    shared.wake.notify_all();
    reader.join();
    const int status = summarize(options, ended, endedAt, plugin);
    plugin.stopPlugin();
    qWarning("DONE RUNNIPNG");
    return status;
}

} // namespace driver
