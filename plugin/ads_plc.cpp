#include "plugin/ads_plc.h"

#include "plugin/tav_identity.h"
#include "worker/ads_plc_worker.h"
#include "worker/read_modes.h"
#include "worker/secure_transport.h"

#include <QDateTime>
#include <QMutexLocker>

#include <unistd.h>

#include <chrono>

#include <QList>

QMap<unsigned int, Ads_Plc_Worker*> Ads_Plc::workerThreads;
QMutex Ads_Plc::connectionsMutex;

namespace {
using Column = DatabaseColumnStructure;

bool isIdentityItem(const DataItem& data)
{
    return data.item.uid.startsWith(QLatin1String("identity_"));
}

void addDiscoveryMarks(Column& column)
{
    column.insertSelectionValues(QStringLiteral("__tav_discovery_editable"), QStringLiteral("1"));
    column.insertSelectionValues(QStringLiteral("__tav_discovery_parameter_only"), QStringLiteral("1"));
}
}

Ads_Plc::Ads_Plc() : QObject(nullptr), TAVInterface(), pluginInterface() {}

Ads_Plc::~Ads_Plc()
{
    // The host stops the plug-in before it destroys it. Should it not, workers of this object
    // must not outlive the host interface they log through.
    QMutexLocker lock(&connectionsMutex);
    for (auto it = workerThreads.begin(); it != workerThreads.end();) {
        if (it.value()->logsTo(pluginInterface)) {
            delete it.value();
            it = workerThreads.erase(it);
        } else {
            ++it;
        }
    }
}

bool Ads_Plc::init()
{
    QList<Column> itemColumns;
    itemColumns.append(Column(QStringLiteral("variable_name"), Column::Text, 0, QString(), QString()));
    Column type(QStringLiteral("type"), Column::Integer, 2, QStringLiteral("0"), QString());
    // The original twelve in their order, then the types added since, then the types from the PLC.
    const DataType choices[] = {BOOL, WORD, DWORD, SINT, USINT, INT, UINT, DINT, UDINT, REAL, LREAL, STRING,
                                BYTE, LINT, ULINT, LWORD, TIME, LTIME, TIME_OF_DAY, DATE, DATE_AND_TIME, WSTRING};
    for (const DataType choice : choices) {
        type.insertSelectionValues(itemTypeName(choice), QString::number(choice));
    }
    type.insertSelectionValues(itemTypeName(FROM_PLC), QString::number(FROM_PLC));
    type.insertSelectionValues(itemTypeName(STRUCT), QString::number(STRUCT));
    itemColumns.append(type);

    QList<Column> deviceColumns;
    deviceColumns.append(Column(QStringLiteral("Ads_Port"), Column::Integer, 0, QStringLiteral("801"), QString()));
    deviceColumns.append(Column(QStringLiteral("Target_AMS_NetId"), Column::Text, 0, QString(),
                                QStringLiteral("AMS NetId of target PLC. E.g. 192.168.1.20.1.1")));
    deviceColumns.append(Column(QStringLiteral("Local_AMS_NetId"), Column::Text, 0, QString(),
                                QStringLiteral("Sets a determistic local AMS NetId on TAV. Not required!")));
    deviceColumns.append(Column(QStringLiteral("Timeout"), Column::Integer, 0, QStringLiteral("15000"),
                                QStringLiteral("Timeout in ms for communication with PLC controller.")));
    Column timestamp(QStringLiteral("timestamp"), Column::Integer, 16, QStringLiteral("0"), QString());
    timestamp.insertSelectionValues(QStringLiteral("Local timestamp"), QStringLiteral("0"));
    timestamp.insertSelectionValues(QStringLiteral("Server timestamp"), QStringLiteral("1"));
    deviceColumns.append(timestamp);

    Column timeoutMs(QStringLiteral("timeout_ms"), Column::Integer, 0, QStringLiteral("60000"),
                     QStringLiteral("Overall discovery window in milliseconds (UDP PLC Search then TCP ADS subnet "
                                    "probe). Default 60000 is 60 seconds."));
    addDiscoveryMarks(timeoutMs);

    Column networkInterface(QStringLiteral("network_interface"), Column::SizedText, 64, QStringLiteral("eth0"),
                            QStringLiteral("Ethernet interface used for PLC Search UDP broadcast. Default is eth0. "
                                           "Choose All IPv4 interfaces to broadcast on every NIC."));
    networkInterface.insertSelectionValues(QStringLiteral("All IPv4 interfaces"), QString());
    const QList<NetworkInterfaceInstance> interfaces = pluginInterface.getNetworkInterfaces();
    for (const NetworkInterfaceInstance& nic : interfaces) {
        if (!nic.name.isEmpty()) {
            networkInterface.insertSelectionValues(nic.name, nic.name);
        }
    }
    addDiscoveryMarks(networkInterface);

    Column udpPorts(QStringLiteral("udp_ports"), Column::SizedText, 256, QStringLiteral("48898-48899"),
                    QStringLiteral("UDP ports for PLC Broadcast Search. Default 48898-48899 (ADS 48898, Broadcast "
                                   "Search 48899). Use commas and ranges. Ads_Port 801/851 is the AMS runtime inside "
                                   "ADS, not a UDP listen port."));
    addDiscoveryMarks(udpPorts);
    Column tcpPorts(QStringLiteral("tcp_ports"), Column::SizedText, 256, QStringLiteral("48898-48899"),
                    QStringLiteral("TCP ports for ADS router probe when UDP Search gets no reply. Default 48898-48899 "
                                   "(ADS TCP 48898). Add 8016 for Secure ADS, for example 48898-48899,8016. Ads_Port "
                                   "801/851 is not a TCP listen port. A very wide range is truncated (max 64 ports). "
                                   "TCP-only hits guess Target_AMS_NetId as IP.1.1."));
    addDiscoveryMarks(tcpPorts);

    deviceColumns.append(timeoutMs);
    deviceColumns.append(networkInterface);
    deviceColumns.append(udpPorts);
    deviceColumns.append(tcpPorts);
    // Appended last: configurations stored before them keep plain ADS.
    secure_transport::appendColumns(deviceColumns);

    // How the items are read; appended, so that stored configurations keep their notifications.
    Column readMode(QStringLiteral("Read_Mode"), Column::SizedText, 16, QStringLiteral("notifications"),
                    QStringLiteral("How the items are read: notifications (one ADS device notification each), polled "
                                   "(cyclic sum reads of at most 500 items per request, at each item's read interval) "
                                   "or automatic (notifications until the PLC has none left or Max_Notifications is "
                                   "reached, the items beyond polled)."));
    readMode.insertSelectionValues(QStringLiteral("Notifications"), QStringLiteral("notifications"));
    readMode.insertSelectionValues(QStringLiteral("Polled"), QStringLiteral("polled"));
    readMode.insertSelectionValues(QStringLiteral("Automatic"), QStringLiteral("automatic"));
    deviceColumns.append(readMode);
    deviceColumns.append(Column(QStringLiteral("Max_Notifications"), Column::Integer, 0, QStringLiteral("400"),
                                QStringLiteral("Automatic read mode: at most this many items of the device are read "
                                               "by notification, leaving the PLC's other notifications to its other "
                                               "clients. 0 or empty means 400.")));

    Column mode(QStringLiteral("notification_transmission_mode"), Column::Integer, 16, QStringLiteral("4"),
                QStringLiteral("ADS Transmission mode for notifications"));
    mode.insertSelectionValues(QStringLiteral("On value change"), QStringLiteral("4"));
    mode.insertSelectionValues(QStringLiteral("Cyclic interval"), QStringLiteral("3"));
    itemColumns.append(mode);

    PluginInitOptions options;
    options.supportsEvents = false;
    options.supportsLogCallback = false;
    options.supportsDiscovery = true;
    options.discoveryCreatesDevices = true;
    options.discoveryAction = QStringLiteral("discover");

    pluginInterface.initPlugin(QStringLiteral("ads_plc"), 11, QList<Column>(), itemColumns, deviceColumns,
                               QList<Column>(), options);

    tav_identity::ensureItemsForAllDevices(&pluginInterface, adsPlcIdentitySpecs());

    writeLogInfo(QStringLiteral("Init PLC ADS TCP/IP"));
    return true;
}

bool Ads_Plc::readData(LogList* list)
{
    Ads_Plc_Worker* worker = connectedWorker(list);
    if (!worker) {
        return false;
    }

    tav_identity::publishValues(&pluginInterface, list, worker->getIdentityValues(), nullptr);

    // All items that need subscribing go out together; each keeps its own result.
    std::vector<const ItemInstancePlugin*> batch;
    batch.reserve(static_cast<size_t>(list->items.size()));
    for (const DataItem& data : qAsConst(list->items)) {
        if (!isIdentityItem(data)) {
            batch.push_back(&data.item);
        }
    }
    worker->addItemsToNotifier(batch, Read_Mode::fromConfig(list->device.config));
    list->device.error = worker->getDeviceError();

    const bool serverTimestamp = list->device.config.value(QStringLiteral("timestamp")).toUInt() == 1;
    for (DataItem& data : list->items) {
        if (isIdentityItem(data)) {
            continue;
        }
        // A polled item's read can fail while it stays polled: its error shows with each read.
        QString pollError;
        if (worker->polledItemError(data.item, &pollError)) {
            data.item.error = pollError;
        } else if (!worker->itemExistsAsNotifier(data.item)) {
            data.item.error = worker->getItemError(static_cast<unsigned int>(data.item.id));
            continue;
        }
        Ads_Plc_Worker::AdsValue sample;
        if (!worker->getItemValue(data.item, &sample)) {
            continue;
        }
        data.values.insert(QStringLiteral("value"), sample.value);
        if (serverTimestamp) {
            data.timestamp = sample.timestamp;
        }
        writeLogDebug(data.item.name + QStringLiteral(" (") +
                      data.item.config.value(QStringLiteral("variable_name")) + QStringLiteral(") = ") +
                      sample.value);
    }
    writeLogDebug(QStringLiteral("Done reading ") + QString::number(list->items.size()) + QStringLiteral(" items"));
    return true;
}

bool Ads_Plc::getEventData(LogList* list)
{
    Q_UNUSED(list);
    return true;
}

bool Ads_Plc::logCallback(LogList* list)
{
    Q_UNUSED(list);
    return true;
}

bool Ads_Plc::writeData(LogList* list)
{
    Ads_Plc_Worker* worker = connectedWorker(list);
    if (!worker) {
        return false;
    }
    const QString deviceError = worker->getDeviceError();
    if (!deviceError.isEmpty()) {
        list->device.error = deviceError;
        return true;
    }
    QList<QPair<ItemInstancePlugin, QString>> writes;
    QList<int> written;
    for (int i = 0; i < list->items.size(); ++i) {
        const DataItem& data = list->items.at(i);
        // Identity values come from the PLC's device information; there is no variable to write.
        if (!isIdentityItem(data)) {
            writes.append(qMakePair(data.item, data.values.value(QStringLiteral("value"))));
            written.append(i);
        }
    }
    const std::vector<bool> landed = worker->writeItemValues(writes);
    for (int k = 0; k < written.size(); ++k) {
        if (!landed[static_cast<size_t>(k)]) {
            ItemInstancePlugin& item = list->items[written[k]].item;
            item.error = worker->getItemError(static_cast<unsigned int>(item.id));
        }
    }
    list->device.error = worker->getDeviceError();
    return true;
}

bool Ads_Plc::stopPlugin()
{
    writeLogInfo(QStringLiteral("Stopping Connector PLC ADS"));
    // Every worker is told first, so that their pending connects and time-outs run out
    // together instead of one after the other.
    requestStop();
    QMutexLocker lock(&connectionsMutex);
    for (Ads_Plc_Worker* worker : qAsConst(workerThreads)) {
        delete worker;
    }
    workerThreads.clear();
    writeLogInfo(QStringLiteral("Success. Stopped Connector PLC ADS"));
    return true;
}

void Ads_Plc::requestStop()
{
    QMutexLocker lock(&connectionsMutex);
    for (Ads_Plc_Worker* worker : qAsConst(workerThreads)) {
        worker->requestStop();
    }
}

bool Ads_Plc::createWorkerThread(DeviceInstancePlugin device)
{
    QMutexLocker lock(&connectionsMutex);
    const unsigned int id = static_cast<unsigned int>(device.id);
    if (!workerThreads.contains(id)) {
        try {
            workerThreads.insert(id, new Ads_Plc_Worker(pluginInterface, device));
        } catch (const std::exception& e) {
            // A gateway short of threads or memory: the host must not see the exception.
            writeLogError(QStringLiteral("Worker of ") + device.name + QStringLiteral(" cannot start: ") +
                          QString::fromLocal8Bit(e.what()));
            return false;
        }
    }
    return true;
}

bool Ads_Plc::connectDevice(DeviceInstancePlugin device)
{
    Ads_Plc_Worker* worker = createWorkerThread(device) ? findWorker(device.id) : nullptr;
    if (!worker) {
        return false;
    }
    // The wait is counted in 16 bits: larger values are clamped rather than wrapped.
    const int configured = device.config.value(QStringLiteral("Timeout")).toInt();
    const quint16 connectionTimeoutMs = configured > 1000 ? static_cast<quint16>(qMin(configured, 65535)) : 5000;
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(connectionTimeoutMs);
    for (;;) {
        const Ads_Plc_Worker::DeviceState state = worker->getDeviceState();
        if ((state != Ads_Plc_Worker::Initial && state != Ads_Plc_Worker::Connecting) || !worker->isRunning() ||
            std::chrono::steady_clock::now() >= end) {
            return state == Ads_Plc_Worker::Connected;
        }
        usleep(300);
    }
}

// The batch's worker once it is connected; otherwise null, with the reason in the batch's device error.
Ads_Plc_Worker* Ads_Plc::connectedWorker(LogList* list)
{
    if (!connectDevice(list->device)) {
        QMutexLocker lock(&connectionsMutex);
        if (Ads_Plc_Worker* worker = workerThreads.value(static_cast<unsigned int>(list->device.id), nullptr)) {
            list->device.error = worker->getDeviceError();
        } else {
            list->device.error = QStringLiteral("Worker thread missing");
        }
        return nullptr;
    }
    Ads_Plc_Worker* worker = findWorker(list->device.id);
    if (!worker) {
        list->device.error = QStringLiteral("Worker thread missing");
    }
    return worker;
}

Ads_Plc::ReadCounts Ads_Plc::readCounts(int deviceId)
{
    ReadCounts counts;
    QMutexLocker lock(&connectionsMutex);
    if (Ads_Plc_Worker* worker = workerThreads.value(static_cast<unsigned int>(deviceId), nullptr)) {
        counts.notified = worker->notifiedCount();
        counts.polled = worker->polledCount();
        counts.skippedPolls = worker->skippedPolls();
        counts.pollRequests = worker->pollRequests();
    }
    return counts;
}

Ads_Plc_Worker* Ads_Plc::findWorker(int deviceId)
{
    QMutexLocker lock(&connectionsMutex);
    return workerThreads.value(static_cast<unsigned int>(deviceId), nullptr);
}

void Ads_Plc::writeLogDebug(QString message)
{
    pluginInterface.logDebug(message);
}

void Ads_Plc::writeLogInfo(QString message)
{
    pluginInterface.logInfo(message);
}

void Ads_Plc::writeLogWarning(QString message)
{
    pluginInterface.logWarning(message);
}

void Ads_Plc::writeLogError(QString message)
{
    pluginInterface.logError(message);
}
