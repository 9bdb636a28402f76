// Loads the built plug-in file through the Qt plug-in loader, as the host does.
#include "host/HostState.h"
#include "host/TAVInterface.h"

#include "qt_gtest_print.h"

#include <gtest/gtest.h>

#include <QJsonObject>
#include <QPluginLoader>
#include <QPointer>

namespace {

class PluginLoaderTest : public ::testing::Test {
protected:
    void SetUp() override { tavhost::HostState::instance().reset(); }
    void TearDown() override
    {
        loader.unload();
        tavhost::HostState::instance().reset();
    }

    QPluginLoader loader{QStringLiteral(ADS_PLC_MODULE_PATH)};
};

TEST_F(PluginLoaderTest, MetadataNamesTheClassAndTheHostInterface)
{
    const QJsonObject meta = loader.metaData();
    ASSERT_FALSE(meta.isEmpty()) << loader.errorString().toStdString();
    EXPECT_EQ(meta.value(QStringLiteral("className")).toString(), QStringLiteral("Ads_Plc"));
    const QString iid = meta.value(QStringLiteral("IID")).toString();
    EXPECT_TRUE(iid.endsWith(QStringLiteral(".TAV/1.0.7"))) << iid.toStdString();
    EXPECT_EQ(iid, QStringLiteral(TAV_INTERFACE_IID));
    // No extra JSON keys.
    EXPECT_TRUE(meta.value(QStringLiteral("MetaData")).toObject().isEmpty());
}

TEST_F(PluginLoaderTest, InstanceIsOneObjectImplementingTheHostInterface)
{
    QObject* instance = loader.instance();
    ASSERT_NE(instance, nullptr) << loader.errorString().toStdString();
    EXPECT_STREQ(instance->metaObject()->className(), "Ads_Plc");
    auto* plugin = qobject_cast<TAVInterface*>(instance);
    ASSERT_NE(plugin, nullptr);
    EXPECT_EQ(instance->qt_metacast("TAVInterface"), static_cast<void*>(plugin));
    EXPECT_EQ(instance->qt_metacast(TAV_INTERFACE_IID), static_cast<void*>(plugin));
    EXPECT_EQ(instance->qt_metacast("Ads_Plc"), static_cast<void*>(instance));
    EXPECT_EQ(loader.instance(), instance);
}

TEST_F(PluginLoaderTest, AfterTheObjectIsDestroyedTheEntryMakesANewOne)
{
    QPointer<QObject> first = loader.instance();
    ASSERT_FALSE(first.isNull()) << loader.errorString().toStdString();
    delete first.data();
    EXPECT_TRUE(first.isNull());
    QObject* second = loader.instance();
    ASSERT_NE(second, nullptr);
    EXPECT_NE(qobject_cast<TAVInterface*>(second), nullptr);
}

TEST_F(PluginLoaderTest, LoadedPluginTalksToTheSharedHostLibrary)
{
    tavhost::HostState& host = tavhost::HostState::instance();
    DeviceInstancePlugin device{};
    device.id = 4;
    host.setDevices({device});
    const int interfacesBefore = host.liveInterfaces();

    auto* plugin = qobject_cast<TAVInterface*>(loader.instance());
    ASSERT_NE(plugin, nullptr) << loader.errorString().toStdString();
    EXPECT_EQ(host.liveInterfaces(), interfacesBefore + 1);
    EXPECT_TRUE(plugin->init());

    const auto calls = host.initPluginCalls();
    ASSERT_EQ(calls.size(), 1);
    EXPECT_EQ(calls.first().pluginName, QStringLiteral("ads_plc"));
    EXPECT_EQ(host.addedItems().size(), 3);
    EXPECT_EQ(host.logTexts(tavhost::LogLevel::Info), QStringList{QStringLiteral("Init PLC ADS TCP/IP")});
    EXPECT_TRUE(plugin->stopPlugin());
}

} // namespace
