// Reading through the plug-in: converted values, time stamps, identity, configuration and
// connection errors, a PLC restart, and what stopPlugin leaves behind.
#include "plugin/support/worker_exchange_fixture.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <ctime>

using namespace exchange_test;

namespace {

// A local zone away from UTC, so that a time stamp in the wrong zone shows.
const bool kLocalZoneSet = (setenv("TZ", "EST5EDT", 1), tzset(), true);

int threadCount()
{
    return QDir("/proc/self/task").entryList(QDir::Dirs | QDir::NoDotAndDotDot).size();
}

TEST_F(ExchangeTest, ReadsEveryTypeWithThePlcTimeStampAndTheIdentity)
{
    auto sim = startSimulator("  Line 4 PLC ");
    // 2024-05-06 07:08:09.123 UTC and 456.7 microseconds, which are cut.
    const QDateTime plcTime(QDate(2024, 5, 6), QTime(7, 8, 9, 123), Qt::UTC);
    sim->SetClock(QDateTime(QDate(1601, 1, 1), QTime(0, 0), Qt::UTC).msecsTo(plcTime) * 10000ULL + 4567);
    DeviceInstancePlugin device = deviceFor(1, *sim);
    device.config["timestamp"] = "1";
    HostState::instance().setDevices({device});
    ASSERT_TRUE(plugin.init());

    // All symbols are constant and "On value change": only their first samples bring values.
    LogList list = batchFor(device);
    ASSERT_TRUE(readUntil(list));
    for (size_t i = 0; i < kTyped.size(); ++i) {
        EXPECT_EQ(valueOf(list, i), QString::fromUtf8(kTyped[i].text)) << kTyped[i].symbol;
        EXPECT_EQ(list.items[i].timestamp, plcTime);
        EXPECT_EQ(list.items[i].timestamp.timeSpec(), Qt::UTC);
    }
    QStringList identity;
    for (const DataItem& item : list.items.mid(kTyped.size())) {
        identity << item.item.uid + "=" + item.values.value("value");
    }
    EXPECT_EQ(identity, QStringList({"identity_1_firmware=3.1.4024", "identity_1_model=Line 4 PLC",
                                     "identity_1_vendor=ADS"}));
}

TEST_F(ExchangeTest, BadNetIdsAndAnUnreachablePlcReportTheWorkersError)
{
    auto sim = startSimulator();
    LogList badTarget = batchFor(deviceFor(3, *sim), {});
    badTarget.device.config["Target_AMS_NetId"] = "1.2.3";
    EXPECT_FALSE(plugin.readData(&badTarget));
    EXPECT_EQ(badTarget.device.error, "Invalid target AMS Net Id");
    LogList badLocal = batchFor(deviceFor(4, *sim), {});
    badLocal.device.config["Local_AMS_NetId"] = "7.7";
    EXPECT_FALSE(plugin.readData(&badLocal));
    EXPECT_EQ(badLocal.device.error, "Invalid local AMS Net Id");

    // A bound socket that does not listen refuses every connection.
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{AF_INET, 0, {htonl(INADDR_LOOPBACK)}, {}};
    socklen_t length = sizeof(addr);
    ASSERT_EQ(::bind(fd, reinterpret_cast<sockaddr*>(&addr), length), 0);
    ASSERT_EQ(::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &length), 0);
    LogList refused = batchFor(deviceFor(5, *sim), {});
    refused.device.address = QStringLiteral("127.0.0.1:%1").arg(ntohs(addr.sin_port));
    refused.device.config["Target_AMS_NetId"] = "127.0.0.250.1.1";
    const auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(plugin.readData(&refused));
    EXPECT_LT(secondsSince(start), 5.5);
    EXPECT_FALSE(refused.device.error.isEmpty());
    EXPECT_TRUE(HostState::instance().waitForLog(
        [&](const tavhost::LogEntry& e) {
            return e.text.startsWith("Error. Creating route for Device 5 to " + refused.device.address + " failed. " +
                                     refused.device.error + " Code: ");
        },
        0));
    // While the worker waits for its next attempt, reads fail at once with the same text.
    LogList retry = batchFor(refused.device, {});
    retry.device.error.clear();
    const auto again = std::chrono::steady_clock::now();
    EXPECT_FALSE(plugin.readData(&retry));
    EXPECT_LT(secondsSince(again), 0.5);
    EXPECT_EQ(retry.device.error, refused.device.error);
    ::close(fd);
}

TEST_F(ExchangeTest, ReadsOfSubscribedItemsDoNotWaitBehindASlowStatusRead)
{
    auto sim = startSimulator();
    LogList list = batchFor(deviceFor(7, *sim, "3000"), {kTyped[5], kTyped[6]});
    ASSERT_TRUE(readUntil(list));
    // Every status read now takes 800 ms; the worker holds its device for each of them.
    sim->InjectReplyFault(
        plcsim::ReplyFault::Delay(800ms).For(ADS_CMD_READ_STATE).Times(plcsim::ReplyFault::kForever));
    sim->ClearRequests();
    ASSERT_TRUE(sim->WaitForRequests([](const auto& r) { return !r.empty(); }, 5s));
    double slowest = 0;
    for (int i = 0; i < 20; ++i) {
        const auto start = std::chrono::steady_clock::now();
        ASSERT_TRUE(plugin.readData(&list));
        slowest = std::max(slowest, secondsSince(start));
    }
    EXPECT_LT(slowest, 0.2);
    EXPECT_EQ(valueOf(list, 0), "-12345");
    sim->ClearReplyFaults();
}

TEST_F(ExchangeTest, AConnectionWaitAbove65535MsIsClampedNotCut)
{
    auto sim = startSimulator();
    // The first status read is answered after 5 s; 70000 ms cut to 16 bits would be 4464 ms.
    sim->InjectReplyFault(plcsim::ReplyFault::Delay(5000ms).For(ADS_CMD_READ_STATE));
    LogList list = batchFor(deviceFor(8, *sim, "70000"), {});
    const auto start = std::chrono::steady_clock::now();
    EXPECT_TRUE(plugin.readData(&list)) << list.device.error.toStdString();
    EXPECT_GE(secondsSince(start), 4.9);
}

TEST_F(ExchangeTest, APlcRestartDropsTheValuesAndTheWorkerComesBackByItself)
{
    auto sim = startSimulator();
    LogList list = batchFor(deviceFor(6, *sim), {{"MAIN.udiCounter", 9, ""}, {"MAIN.sText", 12, ""}});
    // With "Local timestamp" the host's time stamps stay as they are.
    const QDateTime hostTime(QDate(2020, 1, 1), QTime(1, 2, 3), Qt::UTC);
    list.items[0].timestamp = hostTime;
    ASSERT_TRUE(readUntil(list));
    EXPECT_EQ(list.items[0].timestamp, hostTime);
    ASSERT_EQ(valuesOfDevice(6), 2);

    sim->Restart(1500ms);
    ASSERT_TRUE(WaitUntil([&] { return !plugin.readData(&list); }, 3s));
    EXPECT_FALSE(list.device.error.isEmpty());
    // The worker reports the failure first and drops the values while it cleans up.
    EXPECT_TRUE(WaitUntil([&] { return valuesOfDevice(6) == 0; }, 2s));

    ASSERT_TRUE(WaitUntil([&] { return sim->IsListening(); }, 5s));
    const auto back = std::chrono::steady_clock::now();
    LogList fresh = batchFor(list.device, {{"MAIN.udiCounter", 9, ""}, {"MAIN.sText", 12, ""}});
    ASSERT_TRUE(readUntil(fresh, allValuesSet, 10s));
    const double seconds = secondsSince(back);
    std::printf("[ measure  ] PLC back to first new value: %.0f ms (error wait 1 s)\n", seconds * 1000);
    EXPECT_LT(seconds, 3.0);
    EXPECT_EQ(valueOf(fresh, 1), "Hello from the PLC");
    EXPECT_EQ(sim->NotificationCount(), 2u);
}

TEST_F(ExchangeTest, StopPluginLeavesNothingBehindAndAFreshReadStartsOver)
{
    auto sim = startSimulator();
    const int threadsBefore = threadCount();
    LogList list = batchFor(deviceFor(7, *sim));
    ASSERT_TRUE(readUntil(list));
    EXPECT_EQ(sim->NotificationCount(), kTyped.size());

    ASSERT_TRUE(plugin.stopPlugin());
    EXPECT_EQ(sim->NotificationCount(), 0u);
    EXPECT_EQ(sim->OpenHandleCount(), 0u);
    EXPECT_TRUE(WaitUntil([&] { return sim->ConnectionCount() == 0; }, 2s));
    EXPECT_EQ(valuesOfDevice(7), 0);
    EXPECT_TRUE(WaitUntil([&] { return threadCount() <= threadsBefore; }, 2s)) << threadCount() << " threads";
    EXPECT_TRUE(logged("Stopping Connector PLC ADS") && logged("Success. Stopped Connector PLC ADS"));

    LogList again = batchFor(list.device);
    ASSERT_TRUE(readUntil(again));
    EXPECT_EQ(sim->NotificationCount(), kTyped.size());
}

} // namespace
