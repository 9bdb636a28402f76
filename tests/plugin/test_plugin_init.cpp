// init(): the configuration schema handed to the host, the options, identity items and the log.
#include "host/HostState.h"
#include "plugin/ads_plc.h"

#include "qt_gtest_print.h"

#include <gtest/gtest.h>

#include <utility>
#include <vector>

namespace {

using tavhost::HostState;
using tavhost::LogLevel;
using Choices = std::vector<std::pair<QString, QString>>;

struct ExpectedColumn {
    QString name;
    int type;
    int length;
    QString defaultValue;
    QString description;
    Choices choices;
};

const Choices DISCOVERY_MARKS = {{"__tav_discovery_editable", "1"}, {"__tav_discovery_parameter_only", "1"}};

Choices withMarks(Choices choices)
{
    choices.insert(choices.end(), DISCOVERY_MARKS.begin(), DISCOVERY_MARKS.end());
    return choices;
}

std::vector<ExpectedColumn> expectedItemColumns()
{
    return {
        {"variable_name", 2, 0, "", "", {}},
        {"type", 0, 2, "0", "",
         {{"BOOL", "0"}, {"WORD", "2"}, {"DWORD", "3"}, {"SINT", "4"}, {"USINT", "5"}, {"INT", "6"}, {"UINT", "7"},
          {"DINT", "8"}, {"UDINT", "9"}, {"REAL", "10"}, {"LREAL", "11"}, {"STRING", "12"}}},
        {"notification_transmission_mode", 0, 16, "4", "ADS Transmission mode for notifications",
         {{"On value change", "4"}, {"Cyclic interval", "3"}}},
    };
}

std::vector<ExpectedColumn> expectedDeviceColumns(const Choices& interfaceChoices)
{
    Choices nics = {{"All IPv4 interfaces", ""}};
    nics.insert(nics.end(), interfaceChoices.begin(), interfaceChoices.end());
    return {
        {"Ads_Port", 0, 0, "801", "", {}},
        {"Target_AMS_NetId", 2, 0, "", "AMS NetId of target PLC. E.g. 192.168.1.20.1.1", {}},
        {"Local_AMS_NetId", 2, 0, "", "Sets a determistic local AMS NetId on TAV. Not required!", {}},
        {"Timeout", 0, 0, "15000", "Timeout in ms for communication with PLC controller.", {}},
        {"timestamp", 0, 16, "0", "", {{"Local timestamp", "0"}, {"Server timestamp", "1"}}},
        {"timeout_ms", 0, 0, "60000",
         "Overall discovery window in milliseconds (UDP PLC Search then TCP ADS subnet probe). Default 60000 is 60 "
         "seconds.",
         DISCOVERY_MARKS},
        {"network_interface", 8, 64, "eth0",
         "Ethernet interface used for PLC Search UDP broadcast. Default is eth0. Choose All IPv4 interfaces to "
         "broadcast on every NIC.",
         withMarks(nics)},
        {"udp_ports", 8, 256, "48898-48899",
         "UDP ports for PLC Broadcast Search. Default 48898-48899 (ADS 48898, Broadcast Search 48899). Use commas and "
         "ranges. Ads_Port 801/851 is the AMS runtime inside ADS, not a UDP listen port.",
         DISCOVERY_MARKS},
        {"tcp_ports", 8, 256, "48898-48899",
         "TCP ports for ADS router probe when UDP Search gets no reply. Default 48898-48899 (ADS TCP 48898). Add 8016 "
         "for Secure ADS, for example 48898-48899,8016. Ads_Port 801/851 is not a TCP listen port. A very wide range "
         "is truncated (max 64 ports). TCP-only hits guess Target_AMS_NetId as IP.1.1.",
         DISCOVERY_MARKS},
    };
}

void expectColumns(const QList<DatabaseColumnStructure>& actual, const std::vector<ExpectedColumn>& expected)
{
    ASSERT_EQ(actual.size(), static_cast<int>(expected.size()));
    for (size_t i = 0; i < expected.size(); ++i) {
        const DatabaseColumnStructure& column = actual.at(static_cast<int>(i));
        const ExpectedColumn& want = expected[i];
        SCOPED_TRACE(want.name.toStdString());
        EXPECT_EQ(column.name, want.name);
        EXPECT_EQ(static_cast<int>(column.dataType), want.type);
        EXPECT_EQ(column.length, want.length);
        EXPECT_EQ(column.defaultValue, want.defaultValue);
        EXPECT_EQ(column.description, want.description);
        Choices choices;
        for (const auto& choice : column.selectionValues) {
            choices.emplace_back(choice.label, choice.value);
        }
        EXPECT_EQ(choices, want.choices);
    }
}

NetworkInterfaceInstance nic(const QString& name)
{
    NetworkInterfaceInstance result;
    result.name = name;
    return result;
}

DeviceInstancePlugin device(int id)
{
    DeviceInstancePlugin result{};
    result.id = id;
    result.name = QStringLiteral("PLC %1").arg(id);
    return result;
}

class PluginInitTest : public ::testing::Test {
protected:
    void SetUp() override { host().reset(); }
    void TearDown() override { host().reset(); }
    static HostState& host() { return HostState::instance(); }

    tavhost::InitPluginCall initOnce()
    {
        Ads_Plc plugin;
        EXPECT_TRUE(plugin.init());
        const auto calls = host().initPluginCalls();
        EXPECT_EQ(calls.size(), 1);
        return calls.isEmpty() ? tavhost::InitPluginCall{} : calls.first();
    }
};

TEST_F(PluginInitTest, DeclaresThreeItemColumnsAndNineDeviceColumns)
{
    host().setNetworkInterfaces({nic("eth0"), nic(""), nic("wlan0")});
    const tavhost::InitPluginCall call = initOnce();
    EXPECT_EQ(call.pluginName, QStringLiteral("ads_plc"));
    EXPECT_EQ(call.category, 11u);
    EXPECT_TRUE(call.columns1.isEmpty());
    EXPECT_TRUE(call.columns4.isEmpty());
    expectColumns(call.itemColumns, expectedItemColumns());
    // The nameless interface offers no choice.
    expectColumns(call.deviceColumns, expectedDeviceColumns({{"eth0", "eth0"}, {"wlan0", "wlan0"}}));
}

TEST_F(PluginInitTest, WithoutInterfacesOnlyTheCatchAllAndTheMarksAreOffered)
{
    const tavhost::InitPluginCall call = initOnce();
    expectColumns(call.deviceColumns, expectedDeviceColumns({}));
}

TEST_F(PluginInitTest, OptionsEnableDiscoveryAndKeepTheOtherDefaults)
{
    const PluginInitOptions options = initOnce().options;
    EXPECT_EQ(options.historyHours, 24);
    EXPECT_FALSE(options.supportsEvents);
    EXPECT_FALSE(options.supportsLogCallback);
    EXPECT_TRUE(options.supportsRead);
    EXPECT_EQ(options.eventTimeoutSeconds, 180);
    EXPECT_TRUE(options.supportsDiscovery);
    EXPECT_TRUE(options.discoveryCreatesDevices);
    EXPECT_FALSE(options.supportsFiles);
    EXPECT_FALSE(options.supportsMappings);
    EXPECT_EQ(options.discoveryAction, QStringLiteral("discover"));
    EXPECT_TRUE(options.extra.isEmpty());
}

TEST_F(PluginInitTest, CreatesIdentityItemsOncePerDeviceWithOneReload)
{
    host().setDevices({device(2), device(7)});
    initOnce();
    QStringList uids;
    for (const ItemInstancePlugin& item : host().addedItems()) {
        uids << item.uid;
    }
    EXPECT_EQ(uids, (QStringList{"identity_2_vendor", "identity_2_model", "identity_2_firmware", "identity_7_vendor",
                                 "identity_7_model", "identity_7_firmware"}));
    EXPECT_EQ(host().reloadCount(), 1);

    // A second start finds the items in the host: nothing new, no reload.
    Ads_Plc again;
    EXPECT_TRUE(again.init());
    EXPECT_EQ(host().addedItems().size(), 6);
    EXPECT_EQ(host().reloadCount(), 1);
}

TEST_F(PluginInitTest, NoReloadWhileTheHostIsRefreshing)
{
    host().setDevices({device(1)});
    host().setSetting("plugin_refreshing", "1");
    initOnce();
    EXPECT_EQ(host().addedItems().size(), 3);
    EXPECT_EQ(host().reloadCount(), 0);
}

TEST_F(PluginInitTest, WithoutDevicesNothingIsCreatedAndInitStillSucceeds)
{
    initOnce();
    EXPECT_TRUE(host().addedItems().isEmpty());
    EXPECT_EQ(host().reloadCount(), 0);
}

TEST_F(PluginInitTest, LogsItsStartAtInfoLevel)
{
    initOnce();
    const auto logs = host().logs();
    ASSERT_EQ(logs.size(), 1);
    EXPECT_EQ(logs.first().level, LogLevel::Info);
    EXPECT_EQ(logs.first().text, QStringLiteral("Init PLC ADS TCP/IP"));
}

TEST_F(PluginInitTest, EachPluginObjectOwnsOneHostInterface)
{
    const int before = host().liveInterfaces();
    {
        Ads_Plc plugin;
        EXPECT_EQ(host().liveInterfaces(), before + 1);
    }
    EXPECT_EQ(host().liveInterfaces(), before);
}

TEST_F(PluginInitTest, EventAndLogBatchesSucceedUntouched)
{
    Ads_Plc plugin;
    LogList list;
    list.device.id = 3;
    list.items.append(DataItem());
    EXPECT_TRUE(plugin.getEventData(&list));
    EXPECT_TRUE(plugin.logCallback(&list));
    EXPECT_EQ(list.items.size(), 1);
    EXPECT_TRUE(list.items.first().values.isEmpty());
    EXPECT_TRUE(list.device.error.isEmpty());
}

TEST_F(PluginInitTest, LogForwardersKeepTextAndLevel)
{
    Ads_Plc plugin;
    plugin.writeLogDebug("d");
    plugin.writeLogInfo("i");
    plugin.writeLogWarning("w");
    plugin.writeLogError("e");
    const auto logs = host().logs();
    ASSERT_EQ(logs.size(), 4);
    EXPECT_EQ(logs[0].level, LogLevel::Debug);
    EXPECT_EQ(logs[1].level, LogLevel::Info);
    EXPECT_EQ(logs[2].level, LogLevel::Warning);
    EXPECT_EQ(logs[3].level, LogLevel::Error);
    EXPECT_EQ(logs[0].text + logs[1].text + logs[2].text + logs[3].text, QStringLiteral("diwe"));
}

} // namespace
