// What the host sees of the plug-in without a PLC: the module it loads, the configuration
// schema and options it is given, the identity items it gets, and the log.
#include "host/HostState.h"
#include "host/TAVInterface.h"
#include "plugin/ads_plc.h"
#include "plugin/tav_identity.h"
#include "worker/plc_values.h"

#include "qt_gtest_print.h"

#include <gtest/gtest.h>

#include <QFile>
#include <QJsonObject>
#include <QPluginLoader>
#include <QPointer>
#include <QRegularExpression>

#include <cstring>
#include <thread>
#include <vector>

namespace {

using tavhost::HostState;
using tavhost::LogLevel;

HostState& host()
{
    return HostState::instance();
}

DeviceInstancePlugin device(int id)
{
    DeviceInstancePlugin result{};
    result.id = id;
    return result;
}

struct Column {
    QString name;
    int type;
    int length;
    QString defaultValue;
    QString choices; // label=value, comma-separated
};

QString choicesOf(const DatabaseColumnStructure& column)
{
    QStringList out;
    for (const auto& choice : column.selectionValues) {
        out << choice.label + "=" + choice.value;
    }
    return out.join(',');
}

void expectColumns(const QList<DatabaseColumnStructure>& actual, const std::vector<Column>& expected)
{
    ASSERT_EQ(actual.size(), static_cast<int>(expected.size()));
    for (size_t i = 0; i < expected.size(); ++i) {
        const DatabaseColumnStructure& column = actual.at(static_cast<int>(i));
        EXPECT_EQ(column.name, expected[i].name);
        EXPECT_EQ(static_cast<int>(column.dataType), expected[i].type) << expected[i].name;
        EXPECT_EQ(column.length, expected[i].length) << expected[i].name;
        EXPECT_EQ(column.defaultValue, expected[i].defaultValue) << expected[i].name;
        EXPECT_EQ(choicesOf(column), expected[i].choices) << expected[i].name;
    }
}

class HostViewTest : public ::testing::Test {
protected:
    void SetUp() override { host().reset(); }
    void TearDown() override { host().reset(); }
};

TEST_F(HostViewTest, TheModuleLoadsAsOneObjectThatTalksToTheSharedHostLibrary)
{
    QPluginLoader loader(QStringLiteral(ADS_PLC_MODULE_PATH));
    const QJsonObject meta = loader.metaData();
    ASSERT_FALSE(meta.isEmpty()) << loader.errorString();
    EXPECT_EQ(meta.value("className").toString(), "Ads_Plc");
    EXPECT_EQ(meta.value("IID").toString(), "net.tavhost.TAV/1.0.7");
    EXPECT_TRUE(meta.value("MetaData").toObject().isEmpty());

    host().setDevices({device(4)});
    const int interfacesBefore = host().liveInterfaces();
    QPointer<QObject> first = loader.instance();
    auto* plugin = qobject_cast<TAVInterface*>(first.data());
    ASSERT_NE(plugin, nullptr) << loader.errorString();
    EXPECT_EQ(loader.instance(), first.data());
    EXPECT_EQ(host().liveInterfaces(), interfacesBefore + 1);
    EXPECT_TRUE(plugin->init());
    ASSERT_EQ(host().initPluginCalls().size(), 1);
    EXPECT_EQ(host().initPluginCalls().first().pluginName, "ads_plc");
    EXPECT_EQ(host().addedItems().size(), 3);
    EXPECT_EQ(host().logTexts(LogLevel::Info), QStringList{"Init PLC ADS TCP/IP"});
    EXPECT_TRUE(plugin->stopPlugin());

    // After the object is destroyed, the entry point makes a new one.
    delete first.data();
    EXPECT_EQ(host().liveInterfaces(), interfacesBefore);
    EXPECT_NE(qobject_cast<TAVInterface*>(loader.instance()), nullptr);
    loader.unload();
}

TEST_F(HostViewTest, InitDeclaresTheSchemaAndTheOptions)
{
    NetworkInterfaceInstance eth0;
    NetworkInterfaceInstance wlan0;
    eth0.name = "eth0";
    wlan0.name = "wlan0";
    host().setNetworkInterfaces({eth0, NetworkInterfaceInstance(), wlan0});
    Ads_Plc plugin;
    ASSERT_TRUE(plugin.init());
    ASSERT_EQ(host().initPluginCalls().size(), 1);
    const tavhost::InitPluginCall call = host().initPluginCalls().first();
    EXPECT_EQ(call.category, 11u);
    EXPECT_TRUE(call.columns1.isEmpty() && call.columns4.isEmpty());
    expectColumns(call.itemColumns,
                  {{"variable_name", 2, 0, "", ""},
                   {"type", 0, 2, "0",
                    "BOOL=0,WORD=2,DWORD=3,SINT=4,USINT=5,INT=6,UINT=7,DINT=8,UDINT=9,REAL=10,LREAL=11,STRING=12,"
                    "BYTE=1,LINT=17,ULINT=18,LWORD=19,TIME=13,LTIME=20,TIME_OF_DAY=15,DATE=14,DATE_AND_TIME=16,"
                    "WSTRING=21,From PLC=22,structure (JSON)=23"},
                   {"notification_transmission_mode", 0, 16, "4", "On value change=4,Cyclic interval=3"}});
    // The nameless interface is not offered; the discovery columns carry the host's marks.
    const QString marks = "__tav_discovery_editable=1,__tav_discovery_parameter_only=1";
    expectColumns(call.deviceColumns, {{"Ads_Port", 0, 0, "801", ""},
                                       {"Target_AMS_NetId", 2, 0, "", ""},
                                       {"Local_AMS_NetId", 2, 0, "", ""},
                                       {"Timeout", 0, 0, "15000", ""},
                                       {"timestamp", 0, 16, "0", "Local timestamp=0,Server timestamp=1"},
                                       {"timeout_ms", 0, 0, "60000", marks},
                                       {"network_interface", 8, 64, "eth0", "All IPv4 interfaces=,eth0=eth0,wlan0=wlan0," + marks},
                                       {"udp_ports", 8, 256, "48898-48899", marks},
                                       {"tcp_ports", 8, 256, "48898-48899", marks},
                                       // Appended, so that stored configurations keep plain ADS.
                                       {"Ads_Transport", 0, 16, "0", "ADS=0,Secure ADS=1"},
                                       {"Tls_Port", 0, 0, "8016", ""},
                                       {"Tls_Mode", 0, 16, "0", "Pre-shared key=0,Shared CA=1,Self-signed=2"},
                                       {"Tls_Psk_Identity", 2, 0, "", ""},
                                       {"Tls_Psk_Password", 2, 0, "", ""},
                                       {"Tls_Ca_File", 2, 0, "", ""},
                                       {"Tls_Certificate_File", 2, 0, "", ""},
                                       {"Tls_Key_File", 2, 0, "", ""},
                                       {"Tls_Plc_Fingerprint", 2, 0, "", ""},
                                       {"Tls_Plc_User", 2, 0, "", ""},
                                       {"Tls_Plc_Password", 2, 0, "", ""},
                                       {"Tls_Ignore_Common_Name", 0, 16, "0", "No=0,Yes=1"},
                                       {"Read_Mode", 8, 16, "notifications",
                                        "Notifications=notifications,Polled=polled,Automatic=automatic"},
                                       {"Max_Notifications", 0, 0, "400", ""}});
    // Spot checks of the descriptions the host shows.
    EXPECT_EQ(call.deviceColumns[1].description, "AMS NetId of target PLC. E.g. 192.168.1.20.1.1");
    EXPECT_EQ(call.deviceColumns[2].description, "Sets a determistic local AMS NetId on TAV. Not required!");
    EXPECT_EQ(call.deviceColumns[3].description, "Timeout in ms for communication with PLC controller.");
    EXPECT_EQ(call.itemColumns[2].description, "ADS Transmission mode for notifications");
    EXPECT_TRUE(call.deviceColumns[8].description.contains("(max 64 ports)"));
    for (int i = 9; i < call.deviceColumns.size(); ++i) {
        EXPECT_FALSE(call.deviceColumns[i].description.isEmpty()) << call.deviceColumns[i].name;
    }

    const PluginInitOptions& o = call.options;
    EXPECT_TRUE(o.supportsRead && o.supportsDiscovery && o.discoveryCreatesDevices);
    EXPECT_FALSE(o.supportsEvents || o.supportsLogCallback || o.supportsFiles || o.supportsMappings);
    EXPECT_EQ(o.historyHours, 24);
    EXPECT_EQ(o.eventTimeoutSeconds, 180);
    EXPECT_EQ(o.discoveryAction, "discover");
    EXPECT_TRUE(o.extra.isEmpty());

    const QList<tavhost::LogEntry> logs = host().logs();
    ASSERT_EQ(logs.size(), 1);
    EXPECT_EQ(logs.first().level, LogLevel::Info);
    EXPECT_EQ(logs.first().text, "Init PLC ADS TCP/IP");

    // The other host calls leave their batch alone; the log forwarders keep their levels.
    LogList list;
    list.items.append(DataItem());
    EXPECT_TRUE(plugin.getEventData(&list) && plugin.logCallback(&list));
    EXPECT_TRUE(list.items.first().values.isEmpty() && list.device.error.isEmpty());
    plugin.writeLogDebug("d");
    plugin.writeLogWarning("w");
    plugin.writeLogError("e");
    EXPECT_EQ(host().logTexts(LogLevel::Debug) + host().logTexts(LogLevel::Warning) + host().logTexts(LogLevel::Error),
              QStringList({"d", "w", "e"}));
}

TEST_F(HostViewTest, InitCreatesTheIdentityItemsOfEveryDeviceOnce)
{
    host().setDevices({device(2), device(0), device(7)});
    Ads_Plc plugin;
    ASSERT_TRUE(plugin.init());
    const QList<ItemInstancePlugin> added = host().addedItems();
    QStringList uids;
    for (const ItemInstancePlugin& item : added) {
        uids << item.uid;
    }
    EXPECT_EQ(uids, QStringList({"identity_2_vendor", "identity_2_model", "identity_2_firmware", "identity_7_vendor",
                                 "identity_7_model", "identity_7_firmware"}));
    ASSERT_FALSE(added.isEmpty());
    const ItemInstancePlugin& vendor = added.first();
    EXPECT_EQ(vendor.deviceId, 2);
    EXPECT_EQ(vendor.name + "|" + vendor.description, "Vendor|ADS device manufacturer");
    EXPECT_EQ(added[1].name + "|" + added[1].description, "Model|ADS device name");
    EXPECT_EQ(added[2].name + "|" + added[2].description, "Firmware|ADS device version");
    EXPECT_TRUE(vendor.extraFlag1);
    EXPECT_FALSE(vendor.extraFlag3);
    EXPECT_EQ(vendor.extraInt7, 1);
    EXPECT_EQ(vendor.readIntervalMs, 604800000); // seven days: never polled
    EXPECT_EQ(vendor.config, (QMap<QString, QString>{{"item_tags", "vendor"}}));
    EXPECT_EQ(host().reloadCount(), 1);

    // A second start finds the items: nothing new, no reload. While the host is refreshing,
    // a new device gets its items without a reload.
    ASSERT_TRUE(Ads_Plc().init());
    EXPECT_EQ(host().addedItems().size(), 6);
    host().setSetting("plugin_refreshing", "1");
    host().setDevices({device(2), device(9)});
    ASSERT_TRUE(Ads_Plc().init());
    EXPECT_EQ(host().addedItems().size(), 9);
    EXPECT_EQ(host().reloadCount(), 1);
}

TEST_F(HostViewTest, IdentityValuesFillTheBatchAndAppendOnlyKnownItems)
{
    namespace ti = tav_identity;
    PluginInterface pluginInterface;
    for (const char* key : {"vendor", "model", "firmware"}) {
        ItemInstancePlugin item{};
        item.id = 700 + static_cast<int>(std::strlen(key));
        item.uid = ti::uidFor(7, key);
        host().putItem(item);
    }
    LogList list;
    list.device.id = 7;
    list.items << DataItem() << DataItem();
    list.items[0].item.uid = "identity_7_model";
    list.items[0].item.error = "old error";
    list.items[1].item.uid = "identity_8_model";
    const QMap<QString, QString> values = {{"vendor", "ADS"}, {"model", "Sim PLC"}, {"firmware", " "}};
    const QDateTime before = QDateTime::currentDateTimeUtc();
    ti::publishValues(&pluginInterface, &list, values, nullptr);

    // The present item is filled; the known vendor item appended with the host's record; the
    // blank firmware and the other device's item are left out.
    ASSERT_EQ(list.items.size(), 3);
    EXPECT_EQ(list.items[0].values.value("value"), "Sim PLC");
    EXPECT_TRUE(list.items[0].item.error.isEmpty());
    EXPECT_GE(list.items[0].timestamp, before);
    EXPECT_EQ(list.items[0].timestamp.timeSpec(), Qt::UTC);
    EXPECT_TRUE(list.items[1].values.isEmpty() && list.items[1].timestamp.isNull());
    EXPECT_EQ(list.items[2].item.uid + "=" + list.items[2].values.value("value"), "identity_7_vendor=ADS");
    EXPECT_EQ(list.items[2].item.id, 706);
    EXPECT_EQ(list.items[2].extraInt1, -1);
    ti::publishValues(&pluginInterface, &list, values, nullptr);
    EXPECT_EQ(list.items.size(), 3);
    LogList unknown; // a device whose identity items the host does not know
    unknown.device.id = 9;
    ti::publishValues(&pluginInterface, &unknown, values, nullptr);
    EXPECT_TRUE(unknown.items.isEmpty());

    // Items addressed "__identity.<key>" (case-sensitive) are filled and count as present.
    LogList byAddress;
    byAddress.device.id = 7;
    byAddress.items << DataItem() << DataItem();
    byAddress.items[0].item.config["address"] = "__identity.vendor";
    byAddress.items[1].item.config["address"] = "__Identity.model";
    ti::publishValues(&pluginInterface, &byAddress, values, "address");
    ASSERT_EQ(byAddress.items.size(), 3);
    EXPECT_EQ(byAddress.items[0].values.value("value"), "ADS");
    EXPECT_TRUE(byAddress.items[1].values.isEmpty());
    EXPECT_EQ(byAddress.items[2].item.uid, "identity_7_model");
}

TEST_F(HostViewTest, TheSubstituteHostKeepsEveryLogLineAndTheErrorWaitDefault)
{
    std::vector<std::thread> writers;
    for (int t = 0; t < 4; ++t) {
        writers.emplace_back([t] {
            PluginInterface pluginInterface;
            for (int i = 0; i < 250; ++i) {
                pluginInterface.logDebug(QStringLiteral("thread %1 line %2").arg(t).arg(i));
            }
            pluginInterface.logError(QStringLiteral("thread %1 done").arg(t));
        });
    }
    EXPECT_TRUE(host().waitForLog([](const tavhost::LogEntry& e) { return e.text == "thread 3 done"; }, 10000));
    for (auto& writer : writers) {
        writer.join();
    }
    EXPECT_EQ(host().logTexts(LogLevel::Debug).size(), 1000);
    EXPECT_EQ(host().logTexts(LogLevel::Error).size(), 4);
    EXPECT_FALSE(host().waitForLog([](const tavhost::LogEntry& e) { return e.text == "never"; }, 50));

    DeviceInstancePlugin record{};
    for (const auto& [configured, used] : std::vector<std::pair<int, int>>{{0, 5}, {-1, 5}, {1, 1}, {12, 12}}) {
        record.errorWaitTimeSeconds = configured;
        EXPECT_EQ(record.getErrorWaitTimeSeconds(), used) << configured;
    }
}

// The README's table of PLC data types against the code, row by row as the README has them:
// name, byte length and the example, written and read back; and a row for every type offered.
TEST_F(HostViewTest, TheReadmeTypeTableSaysWhatTheCodeDoes)
{
    QFile readme(QStringLiteral(ADS_PLC_README_PATH));
    ASSERT_TRUE(readme.open(QIODevice::ReadOnly));
    const QStringList lines = QString::fromUtf8(readme.readAll()).split('\n');
    const auto cells = [](const QString& line) {
        QStringList parts = line.split('|');
        parts = parts.mid(1, parts.size() - 2);
        for (QString& part : parts) {
            part = part.trimmed();
        }
        return parts;
    };
    const int header = lines.indexOf(QRegularExpression(QStringLiteral("^\\| value \\| name \\| bytes \\|.*")));
    ASSERT_GE(header, 0);
    const QStringList columns = cells(lines.at(header));
    const int name = columns.indexOf("name"), bytes = columns.indexOf("bytes"), example = columns.indexOf("example");
    ASSERT_TRUE(name >= 0 && bytes >= 0 && example >= 0) << columns.join(',');
    const QRegularExpression examplePattern(QStringLiteral("^`([^`]*)` ↔ `([0-9A-F ]*?)( …)?`$"));
    QMap<int, QString> documented;
    for (int i = header + 2; i < lines.size() && lines.at(i).startsWith('|'); ++i) {
        const QStringList row = cells(lines.at(i));
        ASSERT_EQ(row.size(), columns.size()) << lines.at(i);
        bool ok = false;
        const DataType type = static_cast<DataType>(row.at(0).toInt(&ok));
        ASSERT_TRUE(ok) << lines.at(i);
        documented.insert(type, row.at(name));
        EXPECT_EQ(itemTypeName(type), row.at(name));
        if (type == FROM_PLC || type == STRUCT) {
            continue; // its length and texts are those of the type the PLC names
        }
        EXPECT_EQ(QString::number(dataLength(type)), row.at(bytes)) << row.at(name);
        const QRegularExpressionMatch match = examplePattern.match(row.at(example));
        ASSERT_TRUE(match.hasMatch()) << row.at(example);
        const QString text = match.captured(1);
        QByteArray expected = QByteArray::fromHex(match.captured(2).toLatin1());
        std::vector<char> written(dataLength(type), '\x55');
        if (match.capturedLength(3) > 0) {
            expected.append(QByteArray(static_cast<int>(written.size()) - expected.size(), '\0'));
        }
        EXPECT_EQ(valueToBytes(text, type, written.data(), static_cast<uint32_t>(written.size())), QString()) << text;
        EXPECT_EQ(QByteArray(written.data(), static_cast<int>(written.size())).toHex(' '), expected.toHex(' ')) << text;
        EXPECT_EQ(bytesToValue(written.data(), type, static_cast<unsigned int>(written.size())), text);
    }
    Ads_Plc plugin;
    ASSERT_TRUE(plugin.init());
    int offered = 0;
    const QList<tavhost::InitPluginCall> calls = host().initPluginCalls();
    ASSERT_EQ(calls.size(), 1);
    for (const DatabaseColumnStructure& column : calls.first().itemColumns) {
        for (const auto& choice : column.name == "type" ? column.selectionValues : decltype(column.selectionValues)()) {
            ++offered;
            EXPECT_EQ(documented.value(choice.value.toInt()), choice.label) << "a row for every type the host offers";
        }
    }
    EXPECT_GT(offered, 0);
}

} // namespace
