#include "tools/driver/run.h"

#include "ads/AdsRequests.h"
#include "host/HostState.h"
#include "plugin/ads_plc.h"
#include "tools/driver/output.h"
#include "worker/ads_plc_worker.h"

#include <QSet>

#include <pthread.h>
#include <signal.h>

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

// What the read thread saw, for the main thread.
struct DeviceRun {
    DeviceView view;
    bool connected = false;      // a read succeeded without a device error
    QSet<int> itemsWithValue;    // ids of items that showed a value
    QList<bool> writesOk;        // one per write applied
    QString lastDeviceError;
};

struct Shared {
    std::mutex mutex;
    std::condition_variable wake;
    bool stop = false;
    QList<DeviceRun> devices;
};

// The result of each write call alone: the item's earlier read or subscription error is not
// carried into it.
QString applyWrite(Ads_Plc* plugin, const LogList& batch, const WriteOption& write, bool* ok)
{
    LogList writeBatch;
    writeBatch.device = batch.device;
    writeBatch.device.error.clear();
    for (const DataItem& data : batch.items) {
        if (!isIdentity(data) && data.item.config.value(QStringLiteral("variable_name")) == write.symbol) {
            DataItem item(data.item);
            item.item.error.clear();
            item.values.insert(QStringLiteral("value"), write.value);
            writeBatch.items.append(item);
            break;
        }
    }
    const bool accepted = plugin->writeData(&writeBatch);
    const QString itemError = writeBatch.items.isEmpty() ? QString() : writeBatch.items.first().item.error;
    const QString reason = itemError.isEmpty() ? writeBatch.device.error : itemError;
    *ok = accepted && reason.isEmpty();
    const QString outcome = *ok ? QStringLiteral("sent")
                          : reason.isEmpty() ? QStringLiteral("failed")
                                             : QStringLiteral("failed: ") + reason;
    return write.symbol + QStringLiteral(" = ") + write.value + QStringLiteral(": ") + outcome;
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
    for (int i = 0; i < batches.size(); ++i) {
        written.append(options.devices.at(i).writes.isEmpty());
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
            QStringList results;
            QList<bool> resultsOk;
            if (connected && !written.at(i)) {
                written[i] = true;
                for (const WriteOption& write : options.devices.at(i).writes) {
                    bool writeOk = false;
                    results.append(applyWrite(plugin, batch, write, &writeOk));
                    resultsOk.append(writeOk);
                }
            }
            anyOk = anyOk || ok;
            std::lock_guard<std::mutex> lock(shared->mutex);
            DeviceRun& run = shared->devices[i];
            run.view.batch = batch;
            run.view.valueTypes = valueTypes;
            run.view.lastReadOk = ok;
            ++run.view.reads;
            run.view.writeResults += results;
            run.writesOk += resultsOk;
            run.connected = run.connected || connected;
            if (!batch.device.error.isEmpty()) {
                run.lastDeviceError = batch.device.error;
            }
            for (const DataItem& data : batch.items) {
                if (!isIdentity(data) && data.values.contains(QStringLiteral("value"))) {
                    run.itemsWithValue.insert(data.item.id);
                }
            }
        }
        // A failed read returns at once while the worker waits to reconnect: do not spin on it.
        const int pauseMs = anyOk ? options.readPauseMs : qMax(options.readPauseMs, 100);
        std::unique_lock<std::mutex> lock(shared->mutex);
        shared->wake.wait_for(lock, std::chrono::milliseconds(pauseMs), [shared] { return shared->stop; });
    }
}

// The reasons a device falls short; empty when it did all it should.
QStringList shortcomings(const DeviceRun& run)
{
    QStringList reasons;
    if (!run.connected) {
        reasons.append(QStringLiteral("never connected") +
                       (run.lastDeviceError.isEmpty() ? QString() : QStringLiteral(": ") + run.lastDeviceError));
    }
    for (const DataItem& data : run.view.batch.items) {
        if (!isIdentity(data) && !run.itemsWithValue.contains(data.item.id)) {
            const QString symbol = data.item.config.value(QStringLiteral("variable_name"));
            reasons.append(QStringLiteral("no value for ") + symbol +
                           (data.item.error.isEmpty() ? QString() : QStringLiteral(": ") + data.item.error));
        }
    }
    for (int i = 0; i < run.view.device->writes.size(); ++i) {
        const WriteOption& write = run.view.device->writes.at(i);
        if (i >= run.writesOk.size()) {
            reasons.append(QStringLiteral("write ") + write.symbol + QStringLiteral(" = ") + write.value +
                           QStringLiteral(" not applied"));
        } else if (!run.writesOk.at(i)) {
            reasons.append(QStringLiteral("write ") + run.view.writeResults.at(i));
        }
    }
    return reasons;
}

// Summary lines: on stdout with the table, on stderr beside machine-readable output.
int summarize(const Options& options, const QList<DeviceRun>& runs)
{
    QString out;
    int failed = 0;
    for (const DeviceRun& run : runs) {
        const DeviceOption& device = *run.view.device;
        const plc::ads::ConnectionCounters losses =
            plc::ads::GetConnectionCounters(AmsNetId(device.netId.toStdString()));
        out += QStringLiteral("losses of %1: receive buffer full %2, unknown handle %3, size mismatch %4, "
                              "unmatched replies %5, reconnections %6\n")
                   .arg(device.name)
                   .arg(losses.ringFull)
                   .arg(losses.unknownHandle)
                   .arg(losses.sizeMismatch)
                   .arg(losses.unmatchedReplies)
                   .arg(losses.reconnections);
        const QStringList reasons = shortcomings(run);
        failed += reasons.isEmpty() ? 0 : 1;
        out += QStringLiteral("summary of %1: %2\n")
                   .arg(device.name, reasons.isEmpty() ? QStringLiteral("ok") : reasons.join(QStringLiteral("; ")));
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
    for (int i = 0; i < options.devices.size(); ++i) {
        batches.append(buildBatch(options.devices.at(i), i + 1));
        hostDevices.append(batches.last().device);
        DeviceRun run;
        run.view.device = &options.devices.at(i);
        run.view.batch = batches.last();
        shared.devices.append(run);
    }
    // The host knows the devices, so init creates their identity items and reads fill them.
    tavhost::HostState::instance().setDevices(hostDevices);

    Ads_Plc plugin;
    plugin.init();
    std::thread reader(readLoop, batches, &plugin, std::cref(options), &shared);

    ViewPrinter printer(options.format);
    const auto start = std::chrono::steady_clock::now();
    const auto end = start + std::chrono::milliseconds(static_cast<qint64>(options.seconds * 1000));
    double elapsed = 0;
    for (bool stopped = false; !stopped;) {
        const auto next =
            std::min(end, std::chrono::steady_clock::now() + std::chrono::milliseconds(options.refreshMs));
        stopped = waitForSignal(stopSignals, next) || std::chrono::steady_clock::now() >= end;
        QList<DeviceView> views;
        {
            std::lock_guard<std::mutex> lock(shared.mutex);
            for (const DeviceRun& run : shared.devices) {
                views.append(run.view);
            }
        }
        elapsed = std::round(std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count() * 10) / 10;
        printer.print(views, elapsed);
    }
    qWarning("%s", qPrintable(QStringLiteral("And we are done after %1s").arg(elapsed)));

    // The plug-in must not be stopped while a read is running; one waiting for a connection is cut short.
    plugin.requestStop();
    {
        std::lock_guard<std::mutex> lock(shared.mutex);
        shared.stop = true;
    }
    shared.wake.notify_all();
    reader.join();
    const int status = summarize(options, shared.devices);
    plugin.stopPlugin();
    qWarning("DONE RUNNIPNG");
    return status;
}

} // namespace driver
