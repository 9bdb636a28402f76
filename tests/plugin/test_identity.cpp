// Identity items: uids, creation in the host, and filling of value batches.
#include "host/HostState.h"
#include "plugin/tav_identity.h"

#include "qt_gtest_print.h"

#include <gtest/gtest.h>

namespace {

using tavhost::HostState;
namespace ti = tav_identity;

const QMap<QString, QString> IDENTITY = {{"vendor", "ADS"}, {"model", "Sim PLC"}, {"firmware", "3.1.4024"}};

class IdentityTest : public ::testing::Test {
protected:
    void SetUp() override { host().reset(); }
    void TearDown() override { host().reset(); }
    static HostState& host() { return HostState::instance(); }

    // The host already knows the identity items of a device, with ids of its own.
    static void knowIdentityItems(int deviceId)
    {
        int id = deviceId * 100;
        for (const ti::ItemSpec& entry : adsPlcIdentitySpecs()) {
            ItemInstancePlugin item{};
            item.id = ++id;
            item.deviceId = deviceId;
            item.uid = ti::uidFor(deviceId, entry.key);
            item.name = entry.label;
            host().putItem(item);
        }
    }

    static DataItem batchItem(int id, const QString& uid, const QString& value)
    {
        ItemInstancePlugin record{};
        record.id = id;
        record.uid = uid;
        record.error = QStringLiteral("old error");
        DataItem item(record);
        item.values.insert("value", value);
        return item;
    }

    PluginInterface pluginInterface;
};

TEST_F(IdentityTest, UidsAndAddresses)
{
    EXPECT_EQ(ti::uidFor(12, "firmware"), QStringLiteral("identity_12_firmware"));
    EXPECT_EQ(ti::uidFor(3, "vendor"), QStringLiteral("identity_3_vendor"));
    EXPECT_EQ(ti::readIntervalMs(), 604800000);

    EXPECT_TRUE(ti::isIdentityAddress("__identity.model"));
    EXPECT_EQ(ti::fieldKey("__identity.model"), QStringLiteral("model"));
    EXPECT_EQ(ti::fieldKey("__identity."), QString());
    EXPECT_FALSE(ti::isIdentityAddress("__Identity.model"));
    EXPECT_EQ(ti::fieldKey("__Identity.model"), QString());
    EXPECT_EQ(ti::fieldKey("model"), QString());
    EXPECT_EQ(ti::fieldKey(QString()), QString());
}

TEST_F(IdentityTest, TheThreeItemsOfThisPlugin)
{
    const QList<ti::ItemSpec> items = adsPlcIdentitySpecs();
    ASSERT_EQ(items.size(), 3);
    EXPECT_EQ(items[0].key + items[0].label + items[0].description, QStringLiteral("vendorVendorADS device manufacturer"));
    EXPECT_EQ(items[1].key + items[1].label + items[1].description, QStringLiteral("modelModelADS device name"));
    EXPECT_EQ(items[2].key + items[2].label + items[2].description, QStringLiteral("firmwareFirmwareADS device version"));
    for (const ti::ItemSpec& entry : items) {
        EXPECT_TRUE(entry.extraConfig.isEmpty());
        EXPECT_FALSE(entry.flag);
    }
}

TEST_F(IdentityTest, CreatedItemCarriesTheIdentityFields)
{
    ti::ItemSpec custom;
    custom.key = "serial";
    custom.label = "Serial";
    custom.description = "Serial number";
    custom.extraConfig = {{"unit", "none"}, {"item_tags", "replaced"}};
    custom.flag = true;
    EXPECT_EQ(ti::ensureItems(&pluginInterface, 5, {custom}), 1);

    const auto added = host().addedItems();
    ASSERT_EQ(added.size(), 1);
    const ItemInstancePlugin& item = added.first();
    EXPECT_EQ(item.uid, QStringLiteral("identity_5_serial"));
    EXPECT_EQ(item.deviceId, 5);
    EXPECT_EQ(item.name, QStringLiteral("Serial"));
    EXPECT_EQ(item.description, QStringLiteral("Serial number"));
    EXPECT_TRUE(item.extraFlag1);
    EXPECT_EQ(item.extraInt7, 1);
    EXPECT_EQ(item.readIntervalMs, 604800000);
    EXPECT_TRUE(item.extraFlag3);
    EXPECT_EQ(item.config, (QMap<QString, QString>{{"unit", "none"}, {"item_tags", "serial"}}));
    EXPECT_EQ(host().reloadCount(), 0) << "ensureItems alone never asks for a reload";
}

TEST_F(IdentityTest, EnsureItemsCreatesOnlyWhatIsMissing)
{
    EXPECT_EQ(ti::ensureItems(&pluginInterface, 0, adsPlcIdentitySpecs()), 0);
    EXPECT_EQ(ti::ensureItems(&pluginInterface, -2, adsPlcIdentitySpecs()), 0);
    EXPECT_EQ(ti::ensureItems(nullptr, 1, adsPlcIdentitySpecs()), 0);
    EXPECT_TRUE(host().addedItems().isEmpty());

    knowIdentityItems(1);
    EXPECT_EQ(ti::ensureItems(&pluginInterface, 1, adsPlcIdentitySpecs()), 0);

    ItemInstancePlugin model{};
    model.uid = ti::uidFor(2, "model");
    host().putItem(model);
    EXPECT_EQ(ti::ensureItems(&pluginInterface, 2, adsPlcIdentitySpecs()), 2);
    const auto added = host().addedItems();
    ASSERT_EQ(added.size(), 2);
    EXPECT_EQ(added[0].uid, QStringLiteral("identity_2_vendor"));
    EXPECT_EQ(added[1].uid, QStringLiteral("identity_2_firmware"));
}

TEST_F(IdentityTest, ReloadOnlyAfterCreationAndNotWhileRefreshing)
{
    ti::requestReloadIfIdentityCreated(nullptr, 3);
    ti::requestReloadIfIdentityCreated(&pluginInterface, 0);
    EXPECT_EQ(host().reloadCount(), 0);
    ti::requestReloadIfIdentityCreated(&pluginInterface, 1);
    EXPECT_EQ(host().reloadCount(), 1);
    host().setSetting("plugin_refreshing", "1");
    ti::requestReloadIfIdentityCreated(&pluginInterface, 1);
    EXPECT_EQ(host().reloadCount(), 1);
    host().setSetting("plugin_refreshing", "0");
    ti::requestReloadIfIdentityCreated(&pluginInterface, 1);
    EXPECT_EQ(host().reloadCount(), 2);
}

TEST_F(IdentityTest, AllDevicesGetTheirItemsWithOneReload)
{
    DeviceInstancePlugin a{};
    a.id = 1;
    DeviceInstancePlugin none{};
    none.id = 0;
    DeviceInstancePlugin b{};
    b.id = 2;
    host().setDevices({a, none, b});
    ti::ensureItemsForAllDevices(&pluginInterface, adsPlcIdentitySpecs());
    EXPECT_EQ(host().addedItems().size(), 6);
    EXPECT_EQ(host().reloadCount(), 1);

    ti::ensureItemsForAllDevices(&pluginInterface, adsPlcIdentitySpecs());
    EXPECT_EQ(host().addedItems().size(), 6);
    EXPECT_EQ(host().reloadCount(), 1);
    ti::ensureItemsForAllDevices(nullptr, adsPlcIdentitySpecs());
}

TEST_F(IdentityTest, ValuesFillTheBatchItemsOfTheirDeviceByUid)
{
    LogList list;
    list.device.id = 7;
    list.items << batchItem(1, "identity_7_model", "x") << batchItem(2, "identity_8_model", "y")
               << batchItem(3, "variable", "z");
    const QDateTime before = QDateTime::currentDateTimeUtc();
    ti::applyValuesByUid(&list, IDENTITY);

    const DataItem& model = list.items[0];
    EXPECT_EQ(model.values.value("value"), QStringLiteral("Sim PLC"));
    EXPECT_TRUE(model.item.error.isEmpty());
    EXPECT_TRUE(model.timestamp.isValid());
    EXPECT_EQ(model.timestamp.timeSpec(), Qt::UTC);
    EXPECT_GE(model.timestamp, before);
    for (int i : {1, 2}) {
        EXPECT_NE(list.items[i].values.value("value"), QStringLiteral("Sim PLC"));
        EXPECT_EQ(list.items[i].item.error, QStringLiteral("old error"));
        EXPECT_TRUE(list.items[i].timestamp.isNull());
    }
    ti::applyValuesByUid(nullptr, IDENTITY);
}

TEST_F(IdentityTest, ValuesFillItemsByIdentityAddress)
{
    LogList list;
    list.device.id = 7;
    list.items << batchItem(1, "a", "") << batchItem(2, "b", "") << batchItem(3, "c", "");
    list.items[0].item.config.insert("address", "__identity.firmware");
    list.items[1].item.config.insert("address", "__Identity.firmware");
    list.items[2].item.config.insert("address", "__identity.serial");
    ti::applyValues(&list, "address", IDENTITY);
    EXPECT_EQ(list.items[0].values.value("value"), QStringLiteral("3.1.4024"));
    EXPECT_TRUE(list.items[0].item.error.isEmpty());
    EXPECT_EQ(list.items[1].values.value("value"), QString());
    EXPECT_EQ(list.items[2].values.value("value"), QString());
    EXPECT_EQ(list.items[2].item.error, QStringLiteral("old error"));
}

TEST_F(IdentityTest, PublishAppendsKnownMissingItemsInKeyOrder)
{
    knowIdentityItems(7);
    LogList list;
    list.device.id = 7;
    list.items << batchItem(1, "variable", "42");
    ti::publishValues(&pluginInterface, &list, IDENTITY, nullptr);

    ASSERT_EQ(list.items.size(), 4);
    EXPECT_EQ(list.items[0].values.value("value"), QStringLiteral("42"));
    const QStringList order = {"firmware", "model", "vendor"};
    for (int i = 0; i < 3; ++i) {
        const DataItem& item = list.items[i + 1];
        SCOPED_TRACE(order[i].toStdString());
        EXPECT_EQ(item.item.uid, ti::uidFor(7, order[i]));
        EXPECT_EQ(item.item.id, 701 + (2 - i)) << "the host's record is used";
        EXPECT_EQ(item.values.value("value"), IDENTITY.value(order[i]));
        EXPECT_TRUE(item.timestamp.isValid());
        EXPECT_EQ(item.extraInt1, -1);
    }

    // A second publication fills the items now present instead of appending again.
    ti::publishValues(&pluginInterface, &list, {{"model", "Other"}}, nullptr);
    ASSERT_EQ(list.items.size(), 4);
    EXPECT_EQ(list.items[2].values.value("value"), QStringLiteral("Other"));
}

TEST_F(IdentityTest, PublishAppendsNothingTheHostDoesNotKnow)
{
    LogList list;
    list.device.id = 9;
    ti::publishValues(&pluginInterface, &list, IDENTITY, nullptr);
    EXPECT_TRUE(list.items.isEmpty());

    knowIdentityItems(9);
    ti::publishValues(nullptr, &list, IDENTITY, nullptr);
    EXPECT_TRUE(list.items.isEmpty()) << "without a host nothing is appended";
    ti::publishValues(&pluginInterface, nullptr, IDENTITY, nullptr);
}

TEST_F(IdentityTest, BlankValuesUpdatePresentItemsButAppendNone)
{
    knowIdentityItems(4);
    LogList list;
    list.device.id = 4;
    list.items << batchItem(1, "identity_4_model", "Old model");
    ti::publishValues(&pluginInterface, &list, {{"model", "  "}, {"vendor", "  "}, {"firmware", ""}}, nullptr);
    ASSERT_EQ(list.items.size(), 1);
    EXPECT_EQ(list.items[0].values.value("value"), QStringLiteral("  "));
}

TEST_F(IdentityTest, PublishWithAddressKeySkipsKeysPresentByAddress)
{
    knowIdentityItems(3);
    LogList list;
    list.device.id = 3;
    list.items << batchItem(1, "custom", "");
    list.items[0].item.config.insert("address", "__identity.vendor");
    ti::publishValues(&pluginInterface, &list, IDENTITY, "address");
    ASSERT_EQ(list.items.size(), 3);
    EXPECT_EQ(list.items[0].values.value("value"), QStringLiteral("ADS"));
    EXPECT_EQ(list.items[1].item.uid, QStringLiteral("identity_3_firmware"));
    EXPECT_EQ(list.items[2].item.uid, QStringLiteral("identity_3_model"));
}

} // namespace
