// Items read by polled sum reads instead of notifications: values and time stamps as a
// notification gives them, moving between the modes without a reconnection, automatic mode at
// the PLC's limit, a failing sub-read, a port that stops answering, late rounds and the stop.
#include "plugin/support/exchange_fixture.h"

#include <map>

using namespace exchange_test;
using plcsim::ReplyFault;

namespace {

constexpr uint32_t kSumRead = 0xF080;

DeviceInstancePlugin withMode(DeviceInstancePlugin device, const QString& mode, const QString& max = "")
{
    device.config["Read_Mode"] = mode;
    device.config["Max_Notifications"] = max;
    return device;
}

std::unique_ptr<PlcSimulator> simulatorWithLimit(uint32_t notifications)
{
    static uint8_t next = 2;
    plcsim::SimOptions options;
    options.netId = AmsNetId(127, 0, 1, next++, 1, 1);
    options.maxNotificationsPerClient = notifications;
    auto sim = std::make_unique<PlcSimulator>(options);
    sim->Start("127.0.0.1", 0);
    return sim;
}

bool ownValues(const LogList& list, const std::vector<TypedSymbol>& symbols)
{
    for (size_t i = 0; i < symbols.size(); ++i) {
        if (*symbols[i].text && valueOf(list, static_cast<int>(i)) != symbols[i].text) {
            return false;
        }
    }
    return true;
}

} // namespace

TEST_F(ExchangeTest, PolledItemsReadLikeNotificationsAndMoveBetweenModesWithoutAReconnection)
{
    auto sim = startSimulator();
    std::vector<TypedSymbol> symbols = kTyped;
    symbols.push_back(kCounter);
    symbols.push_back({"MAIN.diDint", 8, "-1234567890"}); // cyclic below
    LogList list = batchFor(withMode(deviceFor(80, *sim), "polled"), symbols);
    list.device.config["timestamp"] = "1";
    list.items.last().item.config["notification_transmission_mode"] = "3";
    ASSERT_TRUE(readUntil(list, [&](const LogList& l) { return ownValues(l, symbols); }));
    EXPECT_EQ(sim->NotificationCount(), 1u) << "only the program watch's";
    EXPECT_EQ(plugin.readCounts(80).polled, symbols.size());
    EXPECT_FALSE(requestsOf(*sim, ADS_CMD_READ_WRITE, kSumRead).empty());
    const uint64_t accepted = sim->AcceptedCount();

    // On change, the time stamp says when the value last changed; a cyclic one moves on.
    const QDateTime constant = list.items[5].timestamp;
    const QDateTime cyclic = list.items.last().timestamp;
    const QString counter = valueOf(list, 12);
    EXPECT_TRUE(readUntil(list, [&](const LogList& l) {
        return valueOf(l, 12) != counter && l.items.last().timestamp > cyclic;
    }));
    EXPECT_EQ(list.items[5].timestamp, constant);

    // A write lands and is read back by the next round.
    LogList write = batchFor(list.device, {kTyped[5]});
    write.items[0].values.insert("value", kTyped[5].write);
    ASSERT_TRUE(plugin.writeData(&write));
    EXPECT_TRUE(write.items[0].item.error.isEmpty()) << write.items[0].item.error;
    EXPECT_TRUE(readUntil(list, [&](const LogList& l) { return valueOf(l, 5) == "-300"; }));
    EXPECT_GT(list.items[5].timestamp, constant);

    // Notifications and back: the items change their way, the connection stays.
    list.device.config["Read_Mode"] = "notifications";
    EXPECT_TRUE(readUntil(list, [&](const LogList& l) {
        return allValuesSet(l) && sim->NotificationCount() == symbols.size() + 1 && plugin.readCounts(80).polled == 0;
    }));
    list.device.config["Read_Mode"] = "polled";
    EXPECT_TRUE(readUntil(list, [&](const LogList& l) {
        return allValuesSet(l) && sim->NotificationCount() == 1 && plugin.readCounts(80).notified == 0;
    }));
    EXPECT_EQ(sim->AcceptedCount(), accepted);
    ASSERT_TRUE(plugin.stopPlugin());
    EXPECT_EQ(sim->OpenHandleCount() + sim->NotificationCount(), 0u);
}

TEST_F(ExchangeTest, AutomaticModePollsTheItemsBeyondTheRefusalOrTheConfiguredNumber)
{
    // The PLC has four notifications for this client: the program watch takes one.
    auto sim = simulatorWithLimit(4);
    LogList list = batchFor(withMode(deviceFor(81, *sim), "automatic"));
    ASSERT_TRUE(readUntil(list, [&](const LogList& l) { return ownValues(l, kTyped) && l.device.error.isEmpty(); }));
    for (const DataItem& item : list.items) {
        EXPECT_TRUE(item.item.error.isEmpty()) << item.item.name.toStdString() << ": " << item.item.error;
    }
    Ads_Plc::ReadCounts counts = plugin.readCounts(81);
    EXPECT_EQ(counts.notified, 3u);
    EXPECT_EQ(counts.polled, kTyped.size() - 3);
    EXPECT_EQ(logsContaining(tavhost::LogLevel::Warning, "has no notification left"), 1);

    // A program change gives both kinds up and takes them again, with the same split.
    sim->ChangeProgram(0ms);
    EXPECT_TRUE(logged("PLC program of Device 81 changed (symbol version 1 -> 2); subscribing again", 3000));
    // The batch keeps what earlier reads left in it: only values read anew show the items taken again.
    for (DataItem& item : list.items) {
        item.values.clear();
    }
    ASSERT_TRUE(readUntil(list, [&](const LogList& l) {
        const Ads_Plc::ReadCounts taken = plugin.readCounts(81);
        return ownValues(l, kTyped) && taken.notified + taken.polled == kTyped.size();
    }));
    counts = plugin.readCounts(81);
    EXPECT_EQ(counts.notified + counts.polled, kTyped.size());
    EXPECT_EQ(counts.notified, 3u);

    // The configured number comes first where the PLC would take more.
    auto roomy = startSimulator();
    LogList capped = batchFor(withMode(deviceFor(82, *roomy), "automatic", "5"));
    ASSERT_TRUE(readUntil(capped, [&](const LogList& l) { return ownValues(l, kTyped); }));
    EXPECT_EQ(plugin.readCounts(82).notified, 5u);
    EXPECT_EQ(roomy->NotificationCount(), 5u + 1);
}

TEST_F(ExchangeTest, AFailingSubReadIsItsOwnItemsErrorAndTheOthersGoOn)
{
    auto sim = startSimulator();
    const std::vector<TypedSymbol> symbols = {kTyped[1], kTyped[5], kCounter};
    LogList list = batchFor(withMode(deviceFor(83, *sim), "polled"), symbols);
    ASSERT_TRUE(readUntil(list));
    // The variable goes: its handle answers "Symbol not found" inside the sum read.
    ASSERT_TRUE(sim->RemoveSymbol("MAIN.iInt"));
    ASSERT_TRUE(readUntil(list, [](const LogList& l) { return l.items[1].item.error == "Symbol not found"; }));
    LogList fresh = batchFor(list.device, symbols);
    const QString counter = valueOf(list, 2);
    EXPECT_TRUE(readUntil(fresh, [&](const LogList& l) { return !valueOf(l, 2).isEmpty() && valueOf(l, 2) != counter; }));
    EXPECT_TRUE(valueOf(fresh, 1).isEmpty()) << "no value that could not be read";
    EXPECT_EQ(valueOf(fresh, 0), kTyped[1].text);
    EXPECT_TRUE(fresh.items[0].item.error.isEmpty() && fresh.device.error.isEmpty());
}

TEST_F(ExchangeTest, APortThatStopsAnsweringEndsItsPollWithTheTimeOutAndTheOtherDeviceGoesOn)
{
    auto sim = startSimulator();
    LogList polled = batchFor(withMode(deviceFor(84, *sim, "300", "851"), "polled"), {kCounter, kTyped[2]});
    // The other device's cyclic samples show the shared connection alive while 851 is silent.
    LogList other = batchFor(deviceFor(85, *sim, "300", "852"), {kCounter});
    other.items[0].item.config["notification_transmission_mode"] = "3";
    ASSERT_TRUE(readUntil(polled));
    ASSERT_TRUE(readUntil(other));
    const uint64_t accepted = sim->AcceptedCount();
    sim->SetSilentPort(851, true);
    const auto silent = Clock::now();
    ASSERT_TRUE(WaitUntil([&] { return !plugin.readData(&polled) && polled.device.error == "Timeout elapsed"; }, 3s));
    EXPECT_LT(secondsSince(silent), 1.0) << "one time-out, not one per item or per request";
    QString last = valueOf(other, 0);
    auto changed = Clock::now();
    for (const auto start = Clock::now(); secondsSince(start) < 1.5;) {
        ASSERT_TRUE(plugin.readData(&other) && other.device.error.isEmpty()) << other.device.error.toStdString();
        if (valueOf(other, 0) != last) {
            last = valueOf(other, 0);
            changed = Clock::now();
        }
        ASSERT_LT(secondsSince(changed), 0.8) << "the other device's rounds went on";
        std::this_thread::sleep_for(20ms); // pacing of the host's reads
    }
    EXPECT_EQ(sim->AcceptedCount(), accepted) << "the shared connection was never given up";
    sim->SetSilentPort(851, false);
    const QString stale = valueOf(polled, 0);
    EXPECT_TRUE(readUntil(polled, [&](const LogList& l) { return l.device.error.isEmpty() && valueOf(l, 0) != stale; }));
}

TEST_F(ExchangeTest, DevicesPollingOnePlcTakeTurnsOverTheInterval)
{
    auto sim = startSimulator();
    std::vector<LogList> lists;
    for (int id : {87, 88}) {
        lists.push_back(batchFor(withMode(deviceFor(id, *sim, "300", id == 87 ? "851" : "852"), "polled"), {kCounter}));
        lists.back().items[0].item.readIntervalMs = 400;
        ASSERT_TRUE(readUntil(lists.back()));
    }
    sim->ClearRequests();
    ASSERT_TRUE(WaitUntil([&] { return requestsOf(*sim, ADS_CMD_READ_WRITE, kSumRead).size() >= 8; }, 3s));
    // Each device's reads fall on its own half of the 400 ms.
    std::map<uint16_t, std::vector<Clock::time_point>> byDevice;
    for (const plcsim::Request& r : requestsOf(*sim, ADS_CMD_READ_WRITE, kSumRead)) {
        byDevice[r.header.targetPort].push_back(r.received);
    }
    ASSERT_EQ(byDevice.size(), 2u);
    const auto gap = (byDevice[852].back() - byDevice[851].back()) % 400ms;
    const auto offset = std::chrono::abs(std::chrono::duration_cast<std::chrono::milliseconds>(gap));
    EXPECT_TRUE(offset > 120ms && offset < 280ms) << offset.count() << " ms apart";
}

TEST_F(ExchangeTest, ARoundStillRunningWhenTheNextIsDueSkipsItAndTheStopDoesNotWaitForIt)
{
    auto sim = startSimulator();
    LogList list = batchFor(withMode(deviceFor(86, *sim, "10000"), "polled"), {kCounter}); // read every 100 ms
    ASSERT_TRUE(readUntil(list));
    // Every sum read now takes 350 ms: rounds are skipped and counted, never sent on top.
    sim->InjectReplyFault(ReplyFault::Delay(350ms).ForGroup(kSumRead).Times(ReplyFault::kForever));
    sim->ClearRequests();
    ASSERT_TRUE(WaitUntil([&] { return plugin.readCounts(86).skippedPolls >= 6; }, 5s))
        << plugin.readCounts(86).skippedPolls;
    const std::vector<plcsim::Request> reads = requestsOf(*sim, ADS_CMD_READ_WRITE, kSumRead);
    ASSERT_GE(reads.size(), 2u);
    for (size_t i = 1; i < reads.size(); ++i) {
        EXPECT_GE(reads[i].received - reads[i - 1].received, 340ms) << "request " << i << " went out before the last came back";
    }

    // A stop in the middle of a round whose reply never comes gives it up within the bounded stop.
    sim->ClearReplyFaults();
    sim->InjectReplyFault(ReplyFault::Drop().ForGroup(kSumRead).Times(ReplyFault::kForever));
    const size_t before = requestsOf(*sim, ADS_CMD_READ_WRITE, kSumRead).size();
    ASSERT_TRUE(WaitUntil([&] { return requestsOf(*sim, ADS_CMD_READ_WRITE, kSumRead).size() > before; }, 2s));
    const auto start = Clock::now();
    ASSERT_TRUE(plugin.stopPlugin());
    EXPECT_LT(secondsSince(start), 2.0) << "not the 10 s time-out of the read";
}
