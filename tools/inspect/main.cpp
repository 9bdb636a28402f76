// ads-plc-inspect PLUGIN_FILE
//
// Loads a plug-in file through the Qt plug-in loader as the host would, with the stand-in host
// holding one configured device, checks its metadata, calls init() and prints the configuration
// columns and identity items it declared. Exits non-zero when a check fails.
#include "host/HostState.h"
#include "host/PluginInterface.h"
#include "host/TAVInterface.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QJsonObject>
#include <QPluginLoader>
#include <QTextStream>

namespace {
QTextStream out(stdout);

QString quoted(const QString& text)
{
    return QLatin1Char('"') + text + QLatin1Char('"');
}

void printColumns(const QString& title, const QList<DatabaseColumnStructure>& columns)
{
    out << title << " (" << columns.size() << "):\n";
    for (const DatabaseColumnStructure& column : columns) {
        out << "  " << column.name << "\n";
        out << "      type " << static_cast<int>(column.dataType) << ", size " << column.length << ", default "
            << quoted(column.defaultValue) << "\n";
        if (!column.description.isEmpty()) {
            out << "      " << column.description << "\n";
        }
        for (const DatabaseColumnStructure::SelectionValue& choice : column.selectionValues) {
            out << "      choice " << quoted(choice.label) << " -> " << quoted(choice.value) << "\n";
        }
    }
}

// Interface names as the host would offer them: the machine's own.
QList<NetworkInterfaceInstance> machineInterfaces()
{
    QList<NetworkInterfaceInstance> interfaces;
    const QStringList names = QDir(QStringLiteral("/sys/class/net")).entryList(QDir::Dirs | QDir::NoDotAndDotDot);
    for (const QString& name : names) {
        NetworkInterfaceInstance nic;
        nic.name = name;
        nic.isLoopback = name == QLatin1String("lo");
        interfaces.append(nic);
    }
    return interfaces;
}

DeviceInstancePlugin demoDevice()
{
    DeviceInstancePlugin device{};
    device.id = 1;
    device.name = QStringLiteral("Demo PLC");
    device.address = QStringLiteral("127.0.0.1");
    device.errorWaitTimeSeconds = 5;
    device.config.insert(QStringLiteral("Ads_Port"), QStringLiteral("851"));
    device.config.insert(QStringLiteral("Target_AMS_NetId"), QStringLiteral("127.0.0.1.1.1"));
    device.config.insert(QStringLiteral("Local_AMS_NetId"), QString());
    device.config.insert(QStringLiteral("Timeout"), QStringLiteral("15000"));
    device.config.insert(QStringLiteral("timestamp"), QStringLiteral("0"));
    return device;
}

bool check(bool ok, const QString& what)
{
    out << (ok ? "  ok    " : "  FAIL  ") << what << "\n";
    return ok;
}
}

int main(int argc, char** argv)
{
    QCoreApplication app(argc, argv);
    const QString usage = QStringLiteral(
        "Usage: ads-plc-inspect PLUGIN_FILE\n"
        "Loads the plug-in file as the host does, with a stand-in host holding one device, checks its\n"
        "metadata, calls init() and prints the configuration columns and identity items it declares.\n"
        "Exit status: 0 when every check passed, 1 when one failed, 2 for bad arguments.\n");
    const QString arg = argc == 2 ? QString::fromLocal8Bit(argv[1]) : QString();
    if (arg == QLatin1String("--help") || arg == QLatin1String("-h")) {
        out << usage;
        return 0;
    }
    if (argc != 2 || arg.startsWith(QLatin1Char('-'))) {
        QTextStream(stderr) << "ads-plc-inspect: expected one plug-in file\n" << usage;
        return 2;
    }
    const QString file = QFileInfo(arg).absoluteFilePath();

    tavhost::HostState& host = tavhost::HostState::instance();
    host.reset();
    host.setDevices({demoDevice()});
    host.setNetworkInterfaces(machineInterfaces());

    out << "Plug-in file: " << file << "\n";
    QPluginLoader loader(file);
    const QJsonObject meta = loader.metaData();
    const QString className = meta.value(QStringLiteral("className")).toString();
    const QString iid = meta.value(QStringLiteral("IID")).toString();
    out << "  class name:   " << className << "\n";
    out << "  interface id: " << iid << "\n";

    bool ok = true;
    out << "Checks:\n";
    ok &= check(!meta.isEmpty(), QStringLiteral("plug-in metadata found"));
    ok &= check(className == QLatin1String("Ads_Plc"), QStringLiteral("class name is Ads_Plc"));
    ok &= check(iid == QLatin1String(TAV_INTERFACE_IID), QStringLiteral("interface id is the host's ") + TAV_INTERFACE_IID);
    QObject* instance = loader.instance();
    if (!check(instance != nullptr, QStringLiteral("plug-in loads"))) {
        out << "  " << loader.errorString() << "\n";
        out.flush();
        return 1;
    }
    TAVInterface* plugin = qobject_cast<TAVInterface*>(instance);
    if (!check(plugin != nullptr, QStringLiteral("instance implements TAVInterface"))) {
        out.flush();
        return 1;
    }
    ok &= check(loader.instance() == instance, QStringLiteral("a second instance() gives the same object"));
    out.flush();

    const bool initOk = plugin->init();
    ok &= check(initOk, QStringLiteral("init() returns true"));

    const QList<tavhost::InitPluginCall> calls = host.initPluginCalls();
    ok &= check(calls.size() == 1, QStringLiteral("init() registered its schema once"));
    if (!calls.isEmpty()) {
        const tavhost::InitPluginCall& call = calls.first();
        out << "\nSchema registered as " << quoted(call.pluginName) << ", category " << call.category << "\n";
        out << "Options: events " << call.options.supportsEvents << ", log callback "
            << call.options.supportsLogCallback << ", discovery " << call.options.supportsDiscovery
            << ", discovery creates devices " << call.options.discoveryCreatesDevices << ", discovery action "
            << quoted(call.options.discoveryAction) << "\n\n";
        printColumns(QStringLiteral("Device columns"), call.deviceColumns);
        out << "\n";
        printColumns(QStringLiteral("Item columns"), call.itemColumns);
    }

    const QList<ItemInstancePlugin> created = host.addedItems();
    out << "\nIdentity items created (" << created.size() << "):\n";
    for (const ItemInstancePlugin& item : created) {
        out << "  " << item.uid << "  device " << item.deviceId << ", name " << quoted(item.name) << ", "
            << quoted(item.description) << ", item_tags " << quoted(item.config.value(QStringLiteral("item_tags")))
            << ", read interval " << item.readIntervalMs << " ms\n";
    }
    out << "Reload requests: " << host.reloadCount() << "\n";
    out << "Host log:\n";
    for (const tavhost::LogEntry& entry : host.logs()) {
        out << "  [" << tavhost::logLevelName(entry.level) << "] " << entry.text << "\n";
    }

    plugin->stopPlugin();
    loader.unload();
    out << (ok ? "\nAll checks passed.\n" : "\nSome checks FAILED.\n");
    out.flush();
    return ok ? 0 : 1;
}
