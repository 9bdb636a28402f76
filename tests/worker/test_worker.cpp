// The device worker on its own: NetId texts, the sample callback, failed subscriptions.
#include "worker/ads_plc_worker.h"

#include "qt_gtest_print.h"
#include "tools/sim/PlcSimulator.h"

#include <gtest/gtest.h>

#include <QStringList>

namespace {

using namespace std::chrono_literals;
using Worker = Ads_Plc_Worker;

TEST(WorkerNetIdText, CompletesIpv4AddressesAndRejectsShortTexts)
{
    // text, result, NetId afterwards (starting from 9.9.9.9.9.9)
    const std::vector<std::tuple<QString, int, std::string>> cases = {
        {"192.168.0.10", 0, "192.168.0.10.1.1"}, {"192.168.0.10.1.1", 0, "192.168.0.10.1.1"},
        {"5.1.2.3.4", 0, "5.1.2.3.4.1"},          {"300.1.2.3", 0, "44.1.2.3.1.1"},
        {"1.2.3", 1, "1.2.3.1.1.9"},              {"", 3, "0.1.1.9.9.9"},
        // ".1.1" is appended and the text cut to 19 characters.
        {"100.100.100.100.10", 0, "100.100.100.100.10.0"},
    };
    for (const auto& [text, result, netId] : cases) {
        AmsNetId parsed(9, 9, 9, 9, 9, 9);
        EXPECT_EQ(Worker::addressToNetId(text, &parsed), result) << text;
        EXPECT_EQ(parsed.ToString(), netId) << text;
    }
}

QStringList warnings;

TEST(WorkerNotifyCallback, StoresUtcTimeStampsAndWarnsOncePerUnknownUserValue)
{
    const Worker::ValueKey key(900, 1);
    const uint32_t user = Worker::registerCallbackHandle(900, 1);
    Worker::AdsValue empty;
    empty.value = "I_AM_EMPTY_TO_BEGIN_WITH";
    empty.type = INT;
    Worker::values.insert(key, empty);
    struct {
        AdsNotificationHeader header;
        uint8_t data[2];
    } sample{{0, 0, 2}, {0xFF, 0xFF}};

    NotifyCallback(nullptr, &sample.header, user);
    EXPECT_EQ(Worker::values.value(key).value, "-1");
    EXPECT_EQ(Worker::values.value(key).timestamp, QDateTime(QDate(1601, 1, 1), QTime(0, 0), Qt::UTC));
    // 2000-01-01 00:00:00.001 UTC and 0.9999 ms, which are cut.
    sample.header.sampleTime = 125911584000000000ULL + 19999;
    NotifyCallback(nullptr, &sample.header, user);
    EXPECT_EQ(Worker::values.value(key).timestamp, QDateTime(QDate(2000, 1, 1), QTime(0, 0, 0, 1), Qt::UTC));
    EXPECT_EQ(Worker::values.value(key).timestamp.timeSpec(), Qt::UTC);

    const QtMessageHandler previous = qInstallMessageHandler([](QtMsgType, const QMessageLogContext&, const QString& m) {
        warnings.append(m);
    });
    Worker::unregisterCallbackHandle(user);
    const uint32_t orphan = Worker::registerCallbackHandle(900, 2); // no value entry
    for (uint32_t handle : {user, user, orphan, orphan}) {
        NotifyCallback(nullptr, &sample.header, handle);
    }
    qInstallMessageHandler(previous);
    EXPECT_EQ(warnings, QStringList({"[ads_plc] Unknown notifier callback handle returned a value. Handle: " +
                                         QString::number(user),
                                     "[ads_plc] Unknown notifier returned a value. DeviceID: 900 ItemID: 2"}));
    Worker::unregisterCallbackHandle(orphan);
    Worker::values.remove(key);
}

TEST(WorkerNotifyCallback, StrayUserValuesAreRememberedWithinABound)
{
    // Months of reconnections leave stray samples behind; what is remembered of them stays bounded.
    const QtMessageHandler previous =
        qInstallMessageHandler([](QtMsgType, const QMessageLogContext&, const QString&) {});
    AdsNotificationHeader header{0, 0, 0};
    for (uint32_t stray = 0xF0000000; stray < 0xF0000000 + 10000; ++stray) {
        NotifyCallback(nullptr, &header, stray);
    }
    qInstallMessageHandler(previous);
    std::lock_guard<std::mutex> lock(Worker::valuesMutex);
    EXPECT_LE(Worker::unknownItems.size(), 4096);
    EXPECT_GT(Worker::unknownItems.size(), 0);
}

bool hasValue(quint32 itemId)
{
    std::lock_guard<std::mutex> lock(Worker::valuesMutex);
    return Worker::values.contains(Worker::ValueKey(901, itemId));
}

int userValueCount()
{
    std::lock_guard<std::mutex> lock(Worker::callbackHandlesMutex);
    return Worker::callbackHandles.size();
}

ItemInstancePlugin item(int id, const char* symbol)
{
    ItemInstancePlugin i;
    i.id = id;
    i.name = QStringLiteral("Item %1").arg(id);
    i.readIntervalMs = 100;
    i.config = {{"variable_name", symbol}, {"type", "6"}};
    return i;
}

TEST(WorkerSubscription, AFailedSubscriptionLeavesNoValueEntryAndNoUserValue)
{
    plcsim::SimOptions options;
    options.netId = AmsNetId(127, 0, 0, 77, 1, 1);
    plcsim::PlcSimulator sim(options);
    sim.Start();
    PluginInterface host;
    DeviceInstancePlugin device;
    device.id = 901;
    device.address = QString::fromStdString(sim.HostString());
    device.config = {{"Ads_Port", "851"}, {"Target_AMS_NetId", "127.0.0.77.1.1"}, {"Timeout", "300"}};
    Worker worker(host, device);
    ASSERT_TRUE(plcsim::WaitUntil([&] { return worker.getDeviceState() == Worker::Connected; }, 3s));
    const int userValues = userValueCount();

    EXPECT_FALSE(worker.addItemToNotifier(item(1, "MAIN.nothing")));
    EXPECT_EQ(worker.getItemError(1), "Symbol not found");
    EXPECT_EQ(userValueCount(), userValues);
    EXPECT_FALSE(hasValue(1));
    EXPECT_EQ(worker.getDeviceState(), Worker::Connected);

    // A subscription whose reply never comes is a connection error: the worker disconnects.
    ASSERT_TRUE(worker.addItemToNotifier(item(2, "MAIN.iInt")));
    sim.InjectReplyFault(plcsim::ReplyFault::Drop().For(ADS_CMD_READ_WRITE));
    EXPECT_FALSE(worker.addItemToNotifier(item(3, "MAIN.uiUint")));
    EXPECT_EQ(worker.getDeviceState(), Worker::Disconnected);
    EXPECT_EQ(userValueCount(), userValues);
    EXPECT_FALSE(hasValue(2));
    EXPECT_FALSE(hasValue(3));
}

} // namespace
