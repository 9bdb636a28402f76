#include "host/PluginInterface.h"

#include "host/HostState.h"

using tavhost::HostState;
using tavhost::LogLevel;

PluginInterface::PluginInterface()
{
    HostState::instance().interfaceCreated();
}

PluginInterface::~PluginInterface()
{
    HostState::instance().interfaceDestroyed();
}

bool PluginInterface::initPlugin(const QString& pluginName, unsigned int category,
                                 const QList<DatabaseColumnStructure>& columns1,
                                 const QList<DatabaseColumnStructure>& itemColumns,
                                 const QList<DatabaseColumnStructure>& deviceColumns,
                                 const QList<DatabaseColumnStructure>& columns4, const PluginInitOptions& options)
{
    tavhost::InitPluginCall call;
    call.pluginName = pluginName;
    call.category = category;
    call.columns1 = columns1;
    call.itemColumns = itemColumns;
    call.deviceColumns = deviceColumns;
    call.columns4 = columns4;
    call.options = options;
    HostState::instance().recordInitPlugin(call);
    return true;
}

QList<NetworkInterfaceInstance> PluginInterface::getNetworkInterfaces()
{
    return HostState::instance().networkInterfaces();
}

QList<DeviceInstancePlugin> PluginInterface::getPluginDevices()
{
    return HostState::instance().devices();
}

bool PluginInterface::getPluginItem(const QString& uid, ItemInstancePlugin* item)
{
    return HostState::instance().item(uid, item);
}

bool PluginInterface::addPluginItem(ItemInstancePlugin* item)
{
    if (!item) {
        return false;
    }
    HostState::instance().recordAddItem(*item);
    return true;
}

QString PluginInterface::getSetting(const QString& key)
{
    return HostState::instance().setting(key);
}

void PluginInterface::reloadPlugins()
{
    HostState::instance().recordReload();
}

void PluginInterface::logDebug(const QString& message)
{
    HostState::instance().recordLog(LogLevel::Debug, message);
}

void PluginInterface::logInfo(const QString& message)
{
    HostState::instance().recordLog(LogLevel::Info, message);
}

void PluginInterface::logWarning(const QString& message)
{
    HostState::instance().recordLog(LogLevel::Warning, message);
}

void PluginInterface::logError(const QString& message)
{
    HostState::instance().recordLog(LogLevel::Error, message);
}
