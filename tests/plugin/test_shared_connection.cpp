// Several devices on one PLC address share one TCP connection: one port's silence, a lost
// connection, late grants and bad items must stay the problem of the device they belong to.
#include "plugin/support/worker_exchange_fixture.h"

#include "ads/AdsRequests.h"
#include "ads/AmsRouter.h"
#include "ads/LittleEndian.h"

#include <thread>

using namespace exchange_test;

namespace {

using Clock = std::chrono::steady_clock;

DeviceInstancePlugin onPort(int id, const PlcSimulator& sim, const char* adsPort, const QString& timeoutMs = "500")
{
    DeviceInstancePlugin device = deviceFor(id, sim, timeoutMs);
    device.config["Ads_Port"] = adsPort;
    return device;
}

plc::ads::ConnectionCounters countersOf(const PlcSimulator& sim)
{
    return plc::ads::GetConnectionCounters(sim.Options().netId);
}

int warningsContaining(const QString& text)
{
    return HostState::instance().logTexts(tavhost::LogLevel::Warning).filter(text).size();
}

// The longest time a value read again and again stayed the same.
struct GapWatch {
    QString last;
    Clock::time_point since = Clock::now();
    double longest = 0;

    void see(const QString& value)
    {
        if (value != last) {
            longest = std::max(longest, secondsSince(since));
            last = value;
            since = Clock::now();
        }
    }
    double Longest() const { return std::max(longest, secondsSince(since)); }
};

// Reads both batches every 20 ms for `seconds`, watching the first item of each.
void readBoth(Ads_Plc& plugin, LogList& a, LogList& b, double seconds, GapWatch& gapA, GapWatch& gapB,
              const std::function<void()>& each = {})
{
    const auto start = Clock::now();
    while (secondsSince(start) < seconds) {
        plugin.readData(&a);
        plugin.readData(&b);
        gapA.see(valueOf(a, 0));
        gapB.see(valueOf(b, 0));
        if (each) {
            each();
        }
        std::this_thread::sleep_for(20ms); // pacing of the host's reads, not synchronisation
    }
}

TEST_F(ExchangeTest, OneSilentPortLeavesTheOtherDeviceOnTheConnectionAlone)
{
    auto sim = startSimulator();
    LogList a = batchFor(onPort(60, *sim, "851"), {{"MAIN.udiCounter", 9, ""}});
    LogList b = batchFor(onPort(61, *sim, "852"), {{"MAIN.udiCounter", 9, ""}});
    ASSERT_TRUE(readUntil(a));
    ASSERT_TRUE(readUntil(b));
    const uint64_t accepted = sim->AcceptedCount();

    sim->SetSilentPort(852, true);
    GapWatch gapA;
    GapWatch gapB;
    bool aFailed = false;
    QString bError;
    readBoth(plugin, a, b, 3.0, gapA, gapB, [&] {
        aFailed = aFailed || !a.device.error.isEmpty() || !a.items[0].item.error.isEmpty();
        if (bError.isEmpty()) {
            bError = b.device.error;
        }
    });
    EXPECT_EQ(bError, "Timeout elapsed");
    EXPECT_FALSE(aFailed);
    EXPECT_LT(gapA.Longest(), 0.1 + 1.0) << "device 851 kept its subscription through 852's time-outs";
    EXPECT_EQ(sim->AcceptedCount(), accepted) << "the shared connection was never given up";

    // Port 852 answers again: its device reconnects and subscribes by itself.
    sim->SetSilentPort(852, false);
    const QString stale = valueOf(b, 0);
    EXPECT_TRUE(readUntil(b, [&](const LogList& l) { return l.device.error.isEmpty() && valueOf(l, 0) != stale; }));

    // With every port silent, stopping still takes seconds, not time-outs per item.
    sim->SetSilent(true);
    const auto start = Clock::now();
    ASSERT_TRUE(plugin.stopPlugin());
    EXPECT_LT(secondsSince(start), 3.0);
}

TEST_F(ExchangeTest, ALostConnectionIsNoticedByEveryDeviceOnItAndResubscribed)
{
    auto sim = startSimulator();
    LogList a = batchFor(onPort(62, *sim, "851"), {{"MAIN.udiCounter", 9, ""}});
    LogList b = batchFor(onPort(63, *sim, "852"), {{"MAIN.udiCounter", 9, ""}});
    ASSERT_TRUE(readUntil(a));
    ASSERT_TRUE(readUntil(b));
    const uint64_t reconnections = countersOf(*sim).reconnections;

    sim->DropConnections();
    GapWatch gapA;
    GapWatch gapB;
    readBoth(plugin, a, b, 4.0, gapA, gapB);
    // Error wait time 1 s, plus 2 s.
    EXPECT_LT(gapA.Longest(), 3.0);
    EXPECT_LT(gapB.Longest(), 3.0);
    const QStringList debug = HostState::instance().logTexts(tavhost::LogLevel::Debug);
    for (const char* name : {"Device 62", "Device 63"}) {
        EXPECT_FALSE(debug.filter(QStringLiteral("Disconnecting and cleaning up ") + name).isEmpty()) << name;
    }
    EXPECT_GT(countersOf(*sim).reconnections, reconnections);
    EXPECT_TRUE(a.device.error.isEmpty() && b.device.error.isEmpty());

    // Now the route moves to a new connection before the devices poll again: their status reads
    // succeed there, yet their notifications died with the old connection.
    {
        const QString key = a.device.address + '|' + a.device.config["Target_AMS_NetId"];
        std::shared_ptr<std::mutex> target;
        {
            std::lock_guard<std::mutex> lock(Ads_Plc_Worker::targetOperationMutexesMutex);
            target = Ads_Plc_Worker::targetOperationMutexes.value(key);
        }
        ASSERT_TRUE(target);
        std::lock_guard<std::mutex> pollsWait(*target);
        sim->DropConnections();
        ASSERT_TRUE(WaitUntil([&] { return countersOf(*sim).connection == 0; }, 2s));
        ASSERT_EQ(plc::ads::AddLocalRoute(sim->Options().netId, sim->HostString().c_str()), 0);
        plc::ads::DelLocalRoute(sim->Options().netId);
    }
    gapA = GapWatch();
    gapB = GapWatch();
    readBoth(plugin, a, b, 4.0, gapA, gapB);
    EXPECT_LT(gapA.Longest(), 3.0);
    EXPECT_LT(gapB.Longest(), 3.0);
    EXPECT_EQ(warningsContaining("was lost or replaced; subscribing again"), 2);
}

TEST_F(ExchangeTest, NotificationsGrantedAfterTheirTimeOutAreDeletedAgain)
{
    auto sim = startSimulator();
    // Device 64's samples keep the connection busy, so the late grants arrive on it.
    LogList a = batchFor(onPort(64, *sim, "851", "300"), {{"MAIN.udiCounter", 9, ""}});
    ASSERT_TRUE(readUntil(a));
    sim->InjectReplyFault(plcsim::ReplyFault::Delay(700ms).For(ADS_CMD_ADD_DEVICE_NOTIFICATION).Times(2));
    LogList b = batchFor(onPort(65, *sim, "852", "300"),
                         {{"MAIN.iInt", 6, ""}, {"MAIN.uiUint", 7, ""}, {"MAIN.rReal", 10, ""}});
    ASSERT_TRUE(readUntil(b, [](const LogList& l) { return l.device.error.isEmpty() && allValuesSet(l); }, 10s));

    // Both late grants arrived unasked and their deletes were answered (four unmatched replies).
    ASSERT_TRUE(WaitUntil([&] { return countersOf(*sim).unmatchedReplies >= 4; }, 3s));
    const AmsNetId client = GetRouter().GetLocalNetId();
    EXPECT_TRUE(WaitUntil([&] { return sim->NotificationCountFor(client) == 4; }, 2s))
        << "the plug-in knows 4 notifications, the simulator holds " << sim->NotificationCountFor(client);
    EXPECT_EQ(sim->NotificationCount(), 4u);

    ASSERT_TRUE(plugin.stopPlugin());
    EXPECT_EQ(sim->NotificationCountFor(client), 0u);
}

TEST_F(ExchangeTest, AMissingSymbolIsAskedForOncePerErrorWaitTime)
{
    auto sim = startSimulator();
    LogList list = batchFor(deviceFor(66, *sim), {{"MAIN.nope", 6, ""}, {"MAIN.iInt", 6, ""}});
    ASSERT_TRUE(readUntil(list, [](const LogList& l) { return !valueOf(l, 1).isEmpty(); }));
    sim->ClearRequests();

    int errorShown = 0;
    int reads = 0;
    for (const auto start = Clock::now(); secondsSince(start) < 3.0; ++reads) {
        list.items[0].item.error.clear();
        ASSERT_TRUE(plugin.readData(&list));
        errorShown += list.items[0].item.error == "Symbol not found";
        std::this_thread::sleep_for(10ms); // pacing of the host's reads
    }
    size_t handleRequests = 0;
    for (const plcsim::Request& r : sim->Requests()) {
        handleRequests += r.hasHeader && r.header.cmdId == ADS_CMD_READ_WRITE && r.data.size() >= 4 &&
                          plc::ads::le::Read<uint32_t>(r.data.data()) == ADS_IGRP_SYMBOL_HANDLE_BY_NAME;
    }
    EXPECT_LE(handleRequests, 4u);
    EXPECT_EQ(errorShown, reads);
}

TEST_F(ExchangeTest, SamplesDroppedByAFullRingAreCountedAndWarnedAboutOnce)
{
    auto sim = startSimulator();
    LogList list = batchFor(deviceFor(67, *sim), {{"MAIN.iInt", 6, ""}});
    ASSERT_TRUE(readUntil(list));
    {
        // The dispatcher's callback waits for the values table, so the samples behind it pile up.
        std::lock_guard<std::mutex> block(Ads_Plc_Worker::valuesMutex);
        ASSERT_EQ(sim->Flood(1, 28 + 2), 1u);
        sim->Flood(100, 64 * 1024);
        ASSERT_TRUE(WaitUntil([&] { return countersOf(*sim).ringFull > 0; }, 5s));
    }
    const QString line = QStringLiteral("Samples lost on the connection of Device 67: receive buffer full ");
    EXPECT_TRUE(WaitUntil([&] { return warningsContaining(line) == 1; }, 3s));
    // More losses within the minute: still one line.
    const uint64_t dropped = countersOf(*sim).Dropped();
    sim->Flood(3, 64);
    ASSERT_TRUE(WaitUntil([&] { return countersOf(*sim).Dropped() > dropped; }, 3s));
    EXPECT_FALSE(WaitUntil([&] { return warningsContaining(line) > 1; }, 500ms));
}

TEST_F(ExchangeTest, ATimedOutWriteOrHandleRequestShowsItsErrorInTheSameCall)
{
    auto sim = startSimulator();
    LogList list = batchFor(deviceFor(68, *sim), {{"MAIN.iInt", 6, ""}});
    ASSERT_TRUE(readUntil(list));

    sim->InjectReplyFault(plcsim::ReplyFault::Drop().For(ADS_CMD_WRITE));
    LogList write = list;
    write.items[0].values["value"] = "5";
    ASSERT_TRUE(plugin.writeData(&write));
    EXPECT_EQ(write.items[0].item.error, "Timeout elapsed");
    EXPECT_EQ(write.device.error, "Timeout elapsed");

    ASSERT_TRUE(readUntil(list, [](const LogList& l) { return l.device.error.isEmpty(); }));
    sim->InjectReplyFault(plcsim::ReplyFault::Drop().For(ADS_CMD_READ_WRITE));
    list.items.append(itemFor(2, "MAIN.uiUint", 7));
    plugin.readData(&list);
    EXPECT_EQ(list.items[1].item.error, "Timeout elapsed");
    EXPECT_EQ(list.device.error, "Timeout elapsed");
}

} // namespace
