#include "host/HostState.h"

#include <QDeadlineTimer>
#include <QMutexLocker>

#include <cstdio>
#include <cstdlib>
#include <string>

namespace tavhost {

namespace {
// The log record is for tests and tools; a long run must not grow it without bound.
constexpr int MAX_LOG_ENTRIES = 50000;

bool echoLogs()
{
    const char* value = std::getenv("TAVHOST_ECHO_LOGS");
    return value && *value && std::string(value) != "0";
}
}

const char* logLevelName(LogLevel level)
{
    switch (level) {
    case LogLevel::Debug:
        return "debug";
    case LogLevel::Info:
        return "info";
    case LogLevel::Warning:
        return "warning";
    case LogLevel::Error:
        return "error";
    }
    return "?";
}

HostState& HostState::instance()
{
    // Never destroyed: plug-in objects and worker threads may still call in during process exit.
    static HostState* const state = new HostState;
    return *state;
}

void HostState::reset()
{
    QMutexLocker lock(&mutex);
    deviceList.clear();
    interfaceList.clear();
    settings.clear();
    itemsByUid.clear();
    initCalls.clear();
    added.clear();
    reloads = 0;
    logList.clear();
}

void HostState::setDevices(const QList<DeviceInstancePlugin>& devices)
{
    QMutexLocker lock(&mutex);
    deviceList = devices;
}

void HostState::setNetworkInterfaces(const QList<NetworkInterfaceInstance>& interfaces)
{
    QMutexLocker lock(&mutex);
    interfaceList = interfaces;
}

void HostState::setSetting(const QString& key, const QString& value)
{
    QMutexLocker lock(&mutex);
    settings.insert(key, value);
}

void HostState::putItem(const ItemInstancePlugin& item)
{
    QMutexLocker lock(&mutex);
    itemsByUid.insert(item.uid, item);
}

QList<DeviceInstancePlugin> HostState::devices() const
{
    QMutexLocker lock(&mutex);
    return deviceList;
}

QList<NetworkInterfaceInstance> HostState::networkInterfaces() const
{
    QMutexLocker lock(&mutex);
    return interfaceList;
}

QString HostState::setting(const QString& key) const
{
    QMutexLocker lock(&mutex);
    return settings.value(key);
}

bool HostState::item(const QString& uid, ItemInstancePlugin* out) const
{
    QMutexLocker lock(&mutex);
    const auto it = itemsByUid.constFind(uid);
    if (it == itemsByUid.constEnd()) {
        return false;
    }
    if (out) {
        *out = it.value();
    }
    return true;
}

QMap<QString, ItemInstancePlugin> HostState::items() const
{
    QMutexLocker lock(&mutex);
    return itemsByUid;
}

QList<InitPluginCall> HostState::initPluginCalls() const
{
    QMutexLocker lock(&mutex);
    return initCalls;
}

QList<ItemInstancePlugin> HostState::addedItems() const
{
    QMutexLocker lock(&mutex);
    return added;
}

int HostState::reloadCount() const
{
    QMutexLocker lock(&mutex);
    return reloads;
}

QList<LogEntry> HostState::logs() const
{
    QMutexLocker lock(&mutex);
    return logList;
}

QStringList HostState::logTexts(LogLevel level) const
{
    QMutexLocker lock(&mutex);
    QStringList texts;
    for (const LogEntry& entry : logList) {
        if (entry.level == level) {
            texts.append(entry.text);
        }
    }
    return texts;
}

int HostState::liveInterfaces() const
{
    QMutexLocker lock(&mutex);
    return interfacesAlive;
}

bool HostState::waitForLog(const std::function<bool(const LogEntry&)>& predicate, int timeoutMs) const
{
    QDeadlineTimer deadline(timeoutMs);
    QMutexLocker lock(&mutex);
    int checked = 0;
    for (;;) {
        // Lines may be dropped from the front when the record is full; then look at all again.
        if (checked > logList.size()) {
            checked = 0;
        }
        for (; checked < logList.size(); ++checked) {
            if (predicate(logList.at(checked))) {
                return true;
            }
        }
        if (deadline.hasExpired()) {
            return false;
        }
        logAdded.wait(&mutex, deadline);
    }
}

void HostState::recordInitPlugin(const InitPluginCall& call)
{
    QMutexLocker lock(&mutex);
    initCalls.append(call);
}

void HostState::recordAddItem(const ItemInstancePlugin& item)
{
    QMutexLocker lock(&mutex);
    added.append(item);
    ItemInstancePlugin stored = item;
    if (stored.id == 0) {
        // The host gives new items the next free identifier.
        qint32 maxId = 0;
        for (const ItemInstancePlugin& known : itemsByUid) {
            maxId = qMax(maxId, known.id);
        }
        stored.id = maxId + 1;
    }
    itemsByUid.insert(stored.uid, stored);
}

void HostState::recordReload()
{
    QMutexLocker lock(&mutex);
    ++reloads;
}

void HostState::recordLog(LogLevel level, const QString& text)
{
    if (echoLogs()) {
        std::fprintf(stderr, "[host %s] %s\n", logLevelName(level), text.toUtf8().constData());
        std::fflush(stderr);
    }
    QMutexLocker lock(&mutex);
    if (logList.size() >= MAX_LOG_ENTRIES) {
        logList.removeFirst();
    }
    logList.append(LogEntry{level, text});
    logAdded.wakeAll();
}

void HostState::interfaceCreated()
{
    QMutexLocker lock(&mutex);
    ++interfacesAlive;
}

void HostState::interfaceDestroyed()
{
    QMutexLocker lock(&mutex);
    --interfacesAlive;
}

} // namespace tavhost
