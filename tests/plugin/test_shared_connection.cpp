// Several devices: on one PLC they share one TCP connection and take turns; one port's silence,
// a lost connection, late grants and lost samples stay the problem of the device they belong
// to; devices on different PLCs never wait for each other.
#include "plugin/support/exchange_fixture.h"

#include "ads/AdsRequests.h"
#include "ads/AmsRouter.h"

#include <set>
#include <thread>

using namespace exchange_test;

namespace {

plc::ads::ConnectionCounters countersOf(const PlcSimulator& sim)
{
    return plc::ads::GetConnectionCounters(sim.Options().netId);
}

int warningsContaining(const QString& text)
{
    return logsContaining(tavhost::LogLevel::Warning, text);
}

// Reads both batches until each shows a counter value other than its last one, without error.
bool bothMoveOn(Ads_Plc& plugin, LogList& a, LogList& b, std::chrono::milliseconds limit)
{
    const QString lastA = valueOf(a, 0);
    const QString lastB = valueOf(b, 0);
    return WaitUntil(
        [&] {
            plugin.readData(&a);
            plugin.readData(&b);
            return a.device.error.isEmpty() && b.device.error.isEmpty() && valueOf(a, 0) != lastA &&
                   valueOf(b, 0) != lastB;
        },
        limit);
}

TEST_F(ExchangeTest, TwoDevicesOnOnePlcTakeTurnsAndDevicesOnDifferentPlcsDoNotWait)
{
    auto sim = startSimulator();
    LogList a = batchFor(deviceFor(42, *sim, "1000"), {kTyped[5]});
    LogList b = batchFor(deviceFor(43, *sim, "1000"), {kTyped[5]});
    ASSERT_TRUE(readUntil(a));
    ASSERT_TRUE(readUntil(b));

    // Every reply comes 40 ms late, so overlapping requests would arrive closer together.
    constexpr auto delay = 40ms;
    sim->ClearRequests();
    sim->InjectReplyFault(plcsim::ReplyFault::Delay(delay).Times(plcsim::ReplyFault::kForever));
    ASSERT_TRUE(sim->WaitForRequests([](const auto& r) { return r.size() >= 24; }, 5s));
    b.items[0].values["value"] = "5";
    ASSERT_TRUE(plugin.writeData(&b));
    sim->ClearReplyFaults();
    const auto requests = requestsOf(*sim);
    std::set<uint16_t> ports;
    for (size_t i = 1; i < requests.size(); ++i) {
        ports.insert(requests[i].header.sourcePort);
        EXPECT_GE(requests[i].received - requests[i - 1].received, delay * 9 / 10) << "requests " << i << " overlap";
    }
    EXPECT_EQ(ports.size(), 2u);

    // Status polls of another PLC go on about every 100 ms while a poll of the slow one is pending.
    auto fast = startSimulator();
    LogList c = batchFor(deviceFor(45, *fast, "1000"), {});
    ASSERT_TRUE(plugin.readData(&c));
    constexpr auto slowPoll = 300ms;
    sim->InjectReplyFault(plcsim::ReplyFault::Delay(slowPoll).For(ADS_CMD_READ_STATE).Times(plcsim::ReplyFault::kForever));
    sim->ClearRequests();
    fast->ClearRequests();
    ASSERT_TRUE(sim->WaitForRequests([](const auto& r) { return r.size() >= 4; }, 5s));
    sim->ClearReplyFaults();
    const auto slowPolls = requestsOf(*sim, ADS_CMD_READ_STATE);
    size_t during = 0;
    for (const plcsim::Request& f : requestsOf(*fast, ADS_CMD_READ_STATE)) {
        during += std::any_of(slowPolls.begin(), slowPolls.end(), [&](const plcsim::Request& s) {
            return f.received > s.received && f.received < s.received + slowPoll;
        });
    }
    EXPECT_GE(during, static_cast<size_t>((slowPolls.back().received - slowPolls.front().received) / 100ms) / 2);
}

TEST_F(ExchangeTest, OneSilentPortLeavesTheOtherDeviceOnTheConnectionAlone)
{
    auto sim = startSimulator();
    LogList a = batchFor(deviceFor(60, *sim, "500", "851"), {kCounter});
    LogList b = batchFor(deviceFor(61, *sim, "500", "852"), {kCounter});
    ASSERT_TRUE(readUntil(a));
    ASSERT_TRUE(readUntil(b));
    const uint64_t accepted = sim->AcceptedCount();

    // Port 852 stops answering: its device times out while device 851's values keep coming.
    sim->SetSilentPort(852, true);
    ASSERT_TRUE(WaitUntil([&] { return !plugin.readData(&b) && b.device.error == "Timeout elapsed"; }, 3s));
    QString last = valueOf(a, 0);
    auto changed = Clock::now();
    for (const auto start = Clock::now(); secondsSince(start) < 2.5;) {
        ASSERT_TRUE(plugin.readData(&a));
        ASSERT_TRUE(a.device.error.isEmpty() && a.items[0].item.error.isEmpty()) << a.device.error;
        if (valueOf(a, 0) != last) {
            last = valueOf(a, 0);
            changed = Clock::now();
        }
        ASSERT_LT(secondsSince(changed), 1.1) << "device 851 kept its subscription through 852's time-outs";
        std::this_thread::sleep_for(20ms); // pacing of the host's reads
    }
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

TEST_F(ExchangeTest, ALostOrReplacedConnectionIsNoticedByEveryDeviceOnItAndResubscribed)
{
    auto sim = startSimulator();
    LogList a = batchFor(deviceFor(62, *sim, "500", "851"), {kCounter});
    LogList b = batchFor(deviceFor(63, *sim, "500", "852"), {kCounter});
    ASSERT_TRUE(readUntil(a));
    ASSERT_TRUE(readUntil(b));
    const uint64_t reconnections = countersOf(*sim).reconnections;

    sim->DropConnections();
    const auto dropped = Clock::now();
    for (const char* name : {"Device 62", "Device 63"}) {
        EXPECT_TRUE(logged(QStringLiteral("Done cleaning up ") + name, 3000)) << name;
    }
    EXPECT_TRUE(bothMoveOn(plugin, a, b, 3s));
    EXPECT_LT(secondsSince(dropped), 3.0); // error wait time 1 s, plus 2 s
    EXPECT_GT(countersOf(*sim).reconnections, reconnections);

    // The route moves to a new connection before the devices poll again: their status reads
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
    EXPECT_TRUE(WaitUntil([] { return warningsContaining("was lost or replaced; subscribing again") == 2; }, 3s));
    EXPECT_TRUE(bothMoveOn(plugin, a, b, 3s));
}

TEST_F(ExchangeTest, NotificationsGrantedAfterTheirTimeOutAreDeletedAgain)
{
    // Without sum commands, so that each item's grant comes on its own.
    auto sim = startSimulator("PLC Simulator", false);
    // Device 64's samples keep the connection busy, so the late grants arrive on it.
    LogList a = batchFor(deviceFor(64, *sim, "300", "851"), {kCounter});
    ASSERT_TRUE(readUntil(a));
    LogList b = batchFor(deviceFor(65, *sim, "300", "852"), {});
    ASSERT_TRUE(plugin.readData(&b));
    // Both devices watch their PLC's symbol version before the items' subscriptions are delayed.
    ASSERT_TRUE(WaitUntil([&] { return sim->NotificationCount() == 3; }, 2s));
    sim->InjectReplyFault(plcsim::ReplyFault::Delay(700ms).For(ADS_CMD_ADD_DEVICE_NOTIFICATION).Times(2));
    b = batchFor(b.device, {kTyped[5], kTyped[6], kTyped[9]});
    ASSERT_TRUE(readUntil(b, [](const LogList& l) { return l.device.error.isEmpty() && allValuesSet(l); }, 10s));

    // Both late grants arrived unasked (two unmatched replies); the answers to their deletes were expected.
    ASSERT_TRUE(WaitUntil([&] { return countersOf(*sim).unmatchedReplies >= 2; }, 3s));
    const AmsNetId client = GetRouter().GetLocalNetId();
    // The second late grant is the version watch's of the reconnection, which then reads the version.
    EXPECT_TRUE(WaitUntil([&] { return sim->NotificationCountFor(client) == 5; }, 2s))
        << "the plug-in knows 5 notifications, the simulator holds " << sim->NotificationCountFor(client);
    ASSERT_TRUE(plugin.stopPlugin());
    EXPECT_EQ(sim->NotificationCountFor(client), 0u);
}

TEST_F(ExchangeTest, APlcThatAnswersSumCommandsWronglyIsServedItemByItemFromThenOn)
{
    auto sim = startSimulator();
    // Handles by name in bulk come back one byte short: the reply is invalid as a whole.
    sim->SetRequestHook([](const plcsim::Request& r) -> std::optional<std::vector<uint8_t>> {
        if (r.header.cmdId == ADS_CMD_READ_WRITE && plc::ads::le::Read<uint32_t>(r.data.data()) == 0xF082) {
            return std::vector<uint8_t>{0, 0, 0, 0, 3, 0, 0, 0, 1, 2, 3};
        }
        return std::nullopt;
    });
    LogList list = batchFor(deviceFor(66, *sim));
    list.items[0].item.readIntervalMs = 500000; // 5e9 in 100 ns units: clamped, not wrapped
    list.items.append(itemFor(40, "MAIN.nope", 6));
    ASSERT_TRUE(readUntil(list, [](const LogList& l) { return l.items.last().item.error == "Symbol not found"; }));
    list.items.removeLast();
    ASSERT_TRUE(readUntil(list));
    EXPECT_EQ(requestsOf(*sim, ADS_CMD_READ_WRITE, 0xF082).size(), 1u);
    EXPECT_EQ(requestsOf(*sim, ADS_CMD_ADD_DEVICE_NOTIFICATION, 0xF005).size(), kTyped.size());
    EXPECT_EQ(warningsContaining("Sum commands not usable with Device 66 (handles by name: code 1876)"), 1);
    EXPECT_EQ(plc::ads::le::Read<uint32_t>(requestsOf(*sim, ADS_CMD_ADD_DEVICE_NOTIFICATION, 0xF005)[0].data.data() + 20),
              UINT32_MAX);
}

TEST_F(ExchangeTest, ReadersOfSubscribedItemsDoNotWaitForASubscriptionInFlight)
{
    auto sim = startSimulator();
    LogList subscribed = batchFor(deviceFor(67, *sim), {kTyped[0], kTyped[1]});
    ASSERT_TRUE(readUntil(subscribed));
    sim->ClearRequests();
    sim->InjectReplyFault(plcsim::ReplyFault::Drop().For(ADS_CMD_READ_WRITE));
    LogList more = subscribed;
    more.items.append(itemFor(3, "MAIN.iInt", 6));
    std::thread subscribing([&] { plugin.readData(&more); });
    ASSERT_TRUE(WaitUntil([&] { return !requestsOf(*sim, ADS_CMD_READ_WRITE).empty(); }, 2s));
    const auto start = Clock::now();
    subscribed.items[0].values.clear();
    EXPECT_TRUE(plugin.readData(&subscribed));
    EXPECT_LT(secondsSince(start), 0.15); // the subscription waits 0.3 s for its reply
    EXPECT_FALSE(valueOf(subscribed, 0).isEmpty());
    subscribing.join();
    EXPECT_EQ(more.items[2].item.error, "Timeout elapsed");
}

TEST_F(ExchangeTest, SamplesDroppedByAFullRingAreCountedAndWarnedAboutOnce)
{
    auto sim = startSimulator();
    LogList list = batchFor(deviceFor(67, *sim), {kTyped[5]});
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

} // namespace
