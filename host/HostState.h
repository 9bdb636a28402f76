// Process-wide in-memory state of the stand-in host: what it serves to plug-ins and
// a record of every call they made. Thread-safe; tests set it up and inspect it.
#pragma once

#include "host/HostRecords.h"

#include <QList>
#include <QMap>
#include <QMutex>
#include <QString>
#include <QStringList>
#include <QWaitCondition>

#include <functional>

namespace tavhost {

enum class LogLevel { Debug, Info, Warning, Error };

const char* logLevelName(LogLevel level);

struct LogEntry {
    LogLevel level;
    QString text;
};

struct InitPluginCall {
    QString pluginName;
    unsigned int category = 0;
    QList<DatabaseColumnStructure> columns1;
    QList<DatabaseColumnStructure> itemColumns;
    QList<DatabaseColumnStructure> deviceColumns;
    QList<DatabaseColumnStructure> columns4;
    PluginInitOptions options;
};

class HostState {
public:
    static HostState& instance();

    // Forgets all configuration and all recorded calls.
    void reset();

    // What the host serves.
    void setDevices(const QList<DeviceInstancePlugin>& devices);
    void setNetworkInterfaces(const QList<NetworkInterfaceInstance>& interfaces);
    void setSetting(const QString& key, const QString& value);
    // Stores an item under its uid, replacing an earlier one.
    void putItem(const ItemInstancePlugin& item);
    QList<DeviceInstancePlugin> devices() const;
    QList<NetworkInterfaceInstance> networkInterfaces() const;
    QString setting(const QString& key) const;
    bool item(const QString& uid, ItemInstancePlugin* out) const;
    QMap<QString, ItemInstancePlugin> items() const;

    // What plug-ins did.
    QList<InitPluginCall> initPluginCalls() const;
    QList<ItemInstancePlugin> addedItems() const; // as passed to addPluginItem, in call order
    int reloadCount() const;
    QList<LogEntry> logs() const;
    QStringList logTexts(LogLevel level) const;
    int liveInterfaces() const; // PluginInterface objects alive now

    // Waits until a recorded log line satisfies the predicate; false when timeoutMs passed first.
    bool waitForLog(const std::function<bool(const LogEntry&)>& predicate, int timeoutMs) const;

    // Called by PluginInterface.
    void recordInitPlugin(const InitPluginCall& call);
    void recordAddItem(const ItemInstancePlugin& item);
    void recordReload();
    void recordLog(LogLevel level, const QString& text);
    void interfaceCreated();
    void interfaceDestroyed();

private:
    HostState() = default;

    mutable QMutex mutex;
    mutable QWaitCondition logAdded;
    QList<DeviceInstancePlugin> deviceList;
    QList<NetworkInterfaceInstance> interfaceList;
    QMap<QString, QString> settings;
    QMap<QString, ItemInstancePlugin> itemsByUid;
    QList<InitPluginCall> initCalls;
    QList<ItemInstancePlugin> added;
    int reloads = 0;
    QList<LogEntry> logList;
    int interfacesAlive = 0;
};

} // namespace tavhost
