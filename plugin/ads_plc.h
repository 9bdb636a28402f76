// The host-facing plug-in object: entry point metadata, configuration schema and data exchange.
#pragma once

#include "host/PluginInterface.h"
#include "host/TAVInterface.h"
#include "host/HostRecords.h"

#include <QMap>
#include <QMutex>
#include <QObject>
#include <QString>

class Ads_Plc_Worker;

class Ads_Plc : public QObject, public TAVInterface {
    Q_OBJECT
    Q_PLUGIN_METADATA(IID TAV_INTERFACE_IID)
    Q_INTERFACES(TAVInterface)

public:
    Ads_Plc();
    ~Ads_Plc() override;

    bool init() override;
    bool readData(LogList* list) override;
    bool getEventData(LogList* list) override;
    bool logCallback(LogList* list) override;
    bool writeData(LogList* list) override;
    bool stopPlugin() override;
    // Tells every worker to stop and ends the waits for their connections, so that a read in
    // flight on another thread returns soon; stopPlugin follows once it has.
    void requestStop();

    // Creates and registers the device's worker unless it has one.
    bool createWorkerThread(DeviceInstancePlugin device);
    // Makes sure the device has a worker and waits for its connection attempt; true when connected.
    bool connectDevice(DeviceInstancePlugin device);

    // How a device's items are read at the moment, for the tools; all 0 for a device without a worker.
    struct ReadCounts {
        quint64 notified = 0;
        quint64 polled = 0;
        quint64 skippedPolls = 0; // poll rounds not made because the one before was still running
        quint64 pollRequests = 0;
    };
    ReadCounts readCounts(int deviceId);

    void writeLogDebug(QString message);
    void writeLogInfo(QString message);
    void writeLogWarning(QString message);
    void writeLogError(QString message);

    PluginInterface pluginInterface;

private:
    Ads_Plc_Worker* connectedWorker(LogList* list);
    Ads_Plc_Worker* findWorker(int deviceId);

    // One worker per device id, shared by all instances; guarded by connectionsMutex.
    static QMap<unsigned int, Ads_Plc_Worker*> workerThreads;
    static QMutex connectionsMutex;
};
