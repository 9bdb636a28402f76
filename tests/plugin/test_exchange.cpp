// One device's data exchange as the host sees it: values of every type read and written,
// time stamps, identity, item and device errors, a PLC that restarts or falls silent, and stop.
#include "plugin/support/exchange_fixture.h"

#include <QDir>

#include <cstdlib>
#include <ctime>
#include <thread>

using namespace exchange_test;

namespace {

// A local zone away from UTC, so that a time stamp in the wrong zone shows.
const bool kLocalZoneSet = (setenv("TZ", "EST5EDT", 1), tzset(), true);

int threadCount()
{
    return QDir("/proc/self/task").entryList(QDir::Dirs | QDir::NoDotAndDotDot).size();
}

TEST_F(ExchangeTest, ReadsAndWritesEveryTypeWithThePlcTimeStampAndTheIdentity)
{
    auto sim = startSimulator("  Line 4 PLC ");
    // 2024-05-06 07:08:09.123 UTC and 456.7 microseconds, which are cut.
    const QDateTime plcTime(QDate(2024, 5, 6), QTime(7, 8, 9, 123), Qt::UTC);
    sim->SetClock(QDateTime(QDate(1601, 1, 1), QTime(0, 0), Qt::UTC).msecsTo(plcTime) * 10000ULL + 4567);
    DeviceInstancePlugin device = deviceFor(1, *sim);
    device.config["timestamp"] = "1";
    HostState::instance().setDevices({device});
    ASSERT_TRUE(plugin.init()); // creates the identity items that reads append to the batch

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

    // Every type lands; the handles, the values and the releases go in one sum command each;
    // the identity items are skipped.
    sim->ClearRequests();
    for (size_t i = 0; i < kTyped.size(); ++i) {
        list.items[i].values["value"] = QString::fromUtf8(kTyped[i].write);
    }
    ASSERT_TRUE(plugin.writeData(&list));
    for (size_t i = 0; i < kTyped.size(); ++i) {
        std::vector<uint8_t> stored = sim->GetSymbolValue(kTyped[i].symbol);
        stored.resize(std::min(stored.size(), kTyped[i].written.size()));
        EXPECT_EQ(stored, kTyped[i].written) << kTyped[i].symbol;
    }
    for (const DataItem& item : list.items) {
        EXPECT_TRUE(item.item.error.isEmpty()) << item.item.uid;
    }
    EXPECT_EQ(lengthsTo(*sim, ADS_CMD_READ_WRITE, ADS_IGRP_SYMBOL_HANDLE_BY_NAME).size(), kTyped.size());
    EXPECT_EQ(lengthsTo(*sim, ADS_CMD_WRITE, ADS_IGRP_SYMBOL_VALUE_BY_HANDLE).size(), kTyped.size());
    EXPECT_EQ(lengthsTo(*sim, ADS_CMD_WRITE, ADS_IGRP_SYMBOL_RELEASE_HANDLE).size(), kTyped.size());
    EXPECT_EQ(requestsOf(*sim, ADS_CMD_READ_WRITE, 0xF082).size(), 1u);
    EXPECT_EQ(requestsOf(*sim, ADS_CMD_READ_WRITE, 0xF081).size(), 2u);
    EXPECT_EQ(sim->OpenHandleCount(), kTyped.size()); // only the subscriptions' handles are left
    EXPECT_TRUE(list.device.error.isEmpty());
    // The written values come back through the subscriptions as the texts written.
    for (DataItem& item : list.items) {
        item.values.clear();
    }
    EXPECT_TRUE(readUntil(list, [](const LogList& l) {
        for (size_t i = 0; i < kTyped.size(); ++i) {
            if (valueOf(l, i) != QString::fromUtf8(kTyped[i].write)) {
                return false;
            }
        }
        return true;
    })) << valueOf(list, 9) << " " << valueOf(list, 10);

    // Each sub-result of the sum write is its own item's result.
    sim->SetRequestHook([](const plcsim::Request& r) -> std::optional<std::vector<uint8_t>> {
        using plc::ads::le::Read;
        if (r.header.cmdId == ADS_CMD_READ_WRITE && Read<uint32_t>(r.data.data()) == 0xF081 &&
            Read<uint32_t>(r.data.data() + 16) == ADS_IGRP_SYMBOL_VALUE_BY_HANDLE) {
            return std::vector<uint8_t>{0, 0, 0, 0, 8, 0, 0, 0, 0, 0, 0, 0, 0x05, 0x07, 0, 0};
        }
        return std::nullopt;
    });
    LogList two = list;
    two.items = list.items.mid(0, 2);
    ASSERT_TRUE(plugin.writeData(&two));
    EXPECT_TRUE(two.items[0].item.error.isEmpty());
    EXPECT_EQ(two.items[1].item.error, "Parameter size not correct");
    EXPECT_TRUE(two.device.error.isEmpty());

    // A PLC that takes the handles in bulk but refuses the sum write gets the values one by one.
    sim->SetRequestHook([](const plcsim::Request& r) -> std::optional<std::vector<uint8_t>> {
        if (r.header.cmdId == ADS_CMD_READ_WRITE && plc::ads::le::Read<uint32_t>(r.data.data()) == 0xF081) {
            return std::vector<uint8_t>{0x01, 0x07, 0, 0, 0, 0, 0, 0};
        }
        return std::nullopt;
    });
    sim->ClearRequests();
    two = list;
    two.items = list.items.mid(0, 2);
    two.items[0].values["value"] = "1";
    two.items[1].values["value"] = "513";
    ASSERT_TRUE(plugin.writeData(&two));
    EXPECT_TRUE(two.items[0].item.error.isEmpty() && two.items[1].item.error.isEmpty());
    EXPECT_EQ(sim->GetSymbolValue("MAIN.bBool"), std::vector<uint8_t>{1});
    EXPECT_EQ(sim->GetSymbolValue("MAIN.wWord"), (std::vector<uint8_t>{1, 2}));
    EXPECT_EQ(requestsOf(*sim, ADS_CMD_WRITE, ADS_IGRP_SYMBOL_VALUE_BY_HANDLE).size(), 2u);
    EXPECT_EQ(logsContaining(tavhost::LogLevel::Warning, "Sum commands not usable with Device 1 (write: code 1793)"), 1);
}

TEST_F(ExchangeTest, AWriteLandsExactlyAsAskedOrLeavesTheVariableAsItWas)
{
    const struct {
        const char* symbol;
        int type;
        QString text;
        QString error;
        std::vector<uint8_t> after = {}; // empty: as before
    } writes[] = {
        {"MAIN.diDint", INT, "5", "Type mismatch: PLC variable is DINT (4 bytes), item is INT (2 bytes); choose DINT"},
        {"MAIN.diDint", DINT, "12abc", "Value '12abc' is not a DINT"},
        {"MAIN.diDint", DINT, "1.5", "Value '1.5' is not a DINT"},
        {"MAIN.diDint", DINT, "2147483648", "Value '2147483648' is out of range for DINT (-2147483648 to 2147483647)"},
        {"MAIN.wWord", WORD, "0x10", "Value '0x10' is not a WORD"},
        {"MAIN.rReal", REAL, "3,5", "Value '3,5' is not a REAL"},
        {"MAIN.usiUsint", USINT, "300", "Value '300' is out of range for USINT (0 to 255)"},
        {"MAIN.sText", STRING, QString(81, 'y'), "Value '" + QString(81, 'y') + "' is too long for STRING(80) (81 bytes)"},
        {"MAIN.diDint", 24, "5", "Type 24 cannot be written"}, // asks the PLC nothing
        {"MAIN.sShort", STRING, "abc", "", {'a', 'b', 'c', 0, 0, 0, 0, 0, 0, 0, 0}}, // all 11 bytes of a STRING(10)
        {"MAIN.nope", DINT, "1", "Symbol not found"},
        {"MAIN.bBool", BOOL, "TRUE", "", {1}},
    };
    // With sum commands the batch goes out as one write of every value; without, item by item.
    for (const bool sum : {true, false}) {
        auto sim = startSimulator("PLC Simulator", sum);
        sim->AddSymbol("MAIN.sShort", std::vector<uint8_t>(11, 'x'), plcsim::Behaviour::Constant, "STRING(10)");
        sim->SetSymbolValue("MAIN.bBool", {0});
        LogList list = batchFor(deviceFor(sum ? 50 : 51, *sim), {});
        std::vector<std::vector<uint8_t>> expected;
        for (const auto& w : writes) {
            list.items.append(itemFor(list.items.size() + 1, w.symbol, w.type));
            list.items.back().values["value"] = w.text;
            expected.push_back(w.after.empty() && sim->HasSymbol(w.symbol) ? sim->GetSymbolValue(w.symbol) : w.after);
        }
        // Twice: the second time every item has been judged and its type costs no request.
        for (size_t round = 0; round < 2; ++round) {
            sim->ClearRequests();
            ASSERT_TRUE(plugin.writeData(&list));
            for (size_t i = 0; i < std::size(writes); ++i) {
                EXPECT_EQ(list.items[i].item.error, writes[i].error);
                if (sim->HasSymbol(writes[i].symbol)) {
                    EXPECT_EQ(sim->GetSymbolValue(writes[i].symbol), expected[i]) << writes[i].symbol;
                }
            }
            EXPECT_EQ(lengthsTo(*sim, ADS_CMD_WRITE, ADS_IGRP_SYMBOL_VALUE_BY_HANDLE), (std::vector<uint32_t>{11, 1}));
            EXPECT_EQ(requestsOf(*sim, ADS_CMD_WRITE, ADS_IGRP_SYMBOL_VALUE_BY_HANDLE).size(), sum ? 0u : 2u);
            // The symbol not found is asked for again each time; without sum commands the first
            // request in bulk is refused, then each item is asked for alone.
            const size_t judged = round == 0 ? std::size(writes) - 1 : 1u;
            EXPECT_EQ(lengthsTo(*sim, ADS_CMD_READ_WRITE, ADS_IGRP_SYMBOL_INFO_BY_NAME).size(),
                      sum || round > 0 ? judged : 2 * judged);
            EXPECT_EQ(sim->OpenHandleCount(), 0u);
        }
        EXPECT_TRUE(list.device.error.isEmpty());
    }
}

TEST_F(ExchangeTest, ItemErrorsStayWithTheirItemsAndATimeOutTakesTheConnectionDown)
{
    auto sim = startSimulator();
    std::vector<TypedSymbol> symbols = kTyped;
    symbols.push_back({"MAIN.nope", 6, ""});
    symbols.push_back({"MAIN.diDint", 6, ""}); // a DINT watched as INT
    LogList list = batchFor(deviceFor(20, *sim), symbols);
    ASSERT_TRUE(readUntil(list, [](const LogList& l) {
        LogList typed = l;
        typed.items = l.items.mid(0, kTyped.size());
        return allValuesSet(typed);
    }));
    EXPECT_EQ(list.items[12].item.error, "Symbol not found");
    EXPECT_EQ(list.items[13].item.error, "Type mismatch: PLC variable is DINT (4 bytes), item is INT (2 bytes); choose DINT");
    EXPECT_TRUE(list.device.error.isEmpty());

    // The failed items are asked for again only after the error wait time; their errors show on every read.
    sim->ClearRequests();
    int reads = 0;
    int errorsShown = 0;
    for (const auto start = Clock::now(); secondsSince(start) < 1.5; ++reads) {
        list.items[12].item.error.clear();
        list.items[13].item.error.clear();
        ASSERT_TRUE(plugin.readData(&list));
        errorsShown += list.items[12].item.error == "Symbol not found" && list.items[13].item.error.startsWith("Type");
        std::this_thread::sleep_for(10ms); // pacing of the host's reads
    }
    EXPECT_EQ(errorsShown, reads);
    EXPECT_LE(requestsOf(*sim, ADS_CMD_READ_WRITE).size(), 4u);
    // Failed attempts leave neither a value entry nor a registered user value behind.
    EXPECT_EQ(valuesOfDevice(20), 12);
    {
        std::lock_guard<std::mutex> lock(Ads_Plc_Worker::callbackHandlesMutex);
        EXPECT_EQ(Ads_Plc_Worker::callbackHandles.size(), 12);
    }

    // A write to a symbol that went away is that item's error; the others land, the connection stays.
    ASSERT_TRUE(sim->RemoveSymbol("MAIN.iInt"));
    LogList write = list;
    write.items = list.items.mid(5, 2);
    write.items[0].values["value"] = "1";
    write.items[1].values["value"] = "65000";
    ASSERT_TRUE(plugin.writeData(&write));
    EXPECT_EQ(write.items[0].item.error, "Symbol not found");
    EXPECT_TRUE(write.items[1].item.error.isEmpty());
    EXPECT_EQ(sim->GetSymbolValue("MAIN.uiUint"), (std::vector<uint8_t>{0xE8, 0xFD}));
    EXPECT_TRUE(write.device.error.isEmpty());

    // An unanswered write costs one time-out (not one more per subscription to clean up), shows
    // on item and device in the same call, and takes the connection down.
    sim->InjectReplyFault(plcsim::ReplyFault::Drop().For(ADS_CMD_WRITE).Times(plcsim::ReplyFault::kForever));
    write.items = list.items.mid(6, 1);
    write.items[0].values["value"] = "7";
    const auto start = Clock::now();
    ASSERT_TRUE(plugin.writeData(&write));
    EXPECT_LT(secondsSince(start), 0.3 + 0.5);
    sim->ClearReplyFaults();
    EXPECT_EQ(write.items[0].item.error, "Timeout elapsed");
    EXPECT_EQ(write.device.error, "Timeout elapsed");
    EXPECT_TRUE(logged("Error. Writing item Item 7 failed. Timeout elapsed Code: 1861"));
    EXPECT_TRUE(logged("Done cleaning up Device 20"));
    EXPECT_EQ(valuesOfDevice(20), 0);

    // The worker comes back by itself; the PLC took the write, only its reply was lost.
    LogList fresh = batchFor(list.device, {kTyped[6]});
    ASSERT_TRUE(readUntil(fresh));
    EXPECT_EQ(valueOf(fresh, 0), "7");
    EXPECT_EQ(sim->AcceptedCount(), 2u);

    // An unanswered subscription request shows on item and device in the same read.
    sim->InjectReplyFault(plcsim::ReplyFault::Drop().For(ADS_CMD_READ_WRITE));
    fresh.items.append(itemFor(30, "MAIN.wWord", 2));
    EXPECT_TRUE(plugin.readData(&fresh));
    EXPECT_EQ(fresh.items[1].item.error, "Timeout elapsed");
    EXPECT_EQ(fresh.device.error, "Timeout elapsed");
    EXPECT_EQ(valuesOfDevice(20), 0);
}

TEST_F(ExchangeTest, ConfigurationAndConnectionErrorsReachTheHost)
{
    auto sim = startSimulator();
    LogList badTarget = batchFor(deviceFor(3, *sim), {});
    badTarget.device.config["Target_AMS_NetId"] = "300.1.2.3";
    EXPECT_FALSE(plugin.readData(&badTarget));
    EXPECT_EQ(badTarget.device.error, "Invalid target AMS Net Id");
    LogList badPort = batchFor(deviceFor(2, *sim), {});
    badPort.device.address = "127.0.0.1:101383";
    EXPECT_FALSE(plugin.readData(&badPort));
    EXPECT_EQ(badPort.device.error, "Invalid address: port must be 1 to 65535");
    LogList badLocal = batchFor(deviceFor(4, *sim), {});
    badLocal.device.config["Local_AMS_NetId"] = "7.7";
    EXPECT_FALSE(plugin.readData(&badLocal));
    EXPECT_EQ(badLocal.device.error, "Invalid local AMS Net Id");

    const LocalSocket refusing(false);
    ASSERT_NE(refusing.port, 0);
    LogList refused = batchFor(deviceFor(5, *sim), {});
    refused.device.address = refusing.address();
    refused.device.config["Target_AMS_NetId"] = "127.0.0.250.1.1";
    auto start = Clock::now();
    EXPECT_FALSE(plugin.readData(&refused));
    const auto failedAt = Clock::now();
    EXPECT_LT(secondsSince(start), 2.0);
    // The address and the system's reason, not the text of the PLC router's own "port not found".
    EXPECT_EQ(refused.device.error, "Cannot connect to " + refused.device.address + ": connection refused");
    EXPECT_TRUE(HostState::instance().waitForLog(
        [&](const tavhost::LogEntry& e) {
            return e.text.startsWith("Error. Creating route for Device 5 to " + refused.device.address + " failed. " +
                                     refused.device.error + " Code: ");
        },
        0));
    // While the worker waits for its next attempt, reads fail at once with the same text.
    LogList retry = batchFor(refused.device, {});
    retry.device.error.clear();
    start = Clock::now();
    EXPECT_FALSE(plugin.readData(&retry));
    EXPECT_LT(secondsSince(start), 0.5);
    EXPECT_EQ(retry.device.error, refused.device.error);
    // The next attempt waits for the error wait time (1 s), not for the next pass of the loop.
    ASSERT_TRUE(WaitUntil([] { return logsContaining(tavhost::LogLevel::Debug, "Connecting for Device 5 ") == 2; }, 3s));
    EXPECT_GT(secondsSince(failedAt), 0.8);

    // A second PLC given the NetId of the first: the sentence names the NetId and who has it.
    LogList first = batchFor(deviceFor(6, *sim), {});
    ASSERT_TRUE(readUntil(first, [](const LogList& l) { return l.device.error.isEmpty(); }));
    auto other = startSimulator();
    LogList sameNetId = batchFor(deviceFor(7, *other), {});
    sameNetId.device.config["Target_AMS_NetId"] = QString::fromStdString(sim->Options().netId.ToString());
    EXPECT_FALSE(plugin.readData(&sameNetId));
    EXPECT_EQ(sameNetId.device.error, "AMS NetId " + QString::fromStdString(sim->Options().netId.ToString()) +
                                          " is already in use for the PLC at " +
                                          QString::fromStdString(sim->HostString()) +
                                          "; each PLC needs its own AMS NetId");

    // The wait for a connection is counted in 16 bits: 65537 ms is clamped, not cut to 1 ms.
    sim->InjectReplyFault(plcsim::ReplyFault::Delay(300ms).For(ADS_CMD_READ_STATE));
    LogList slow = batchFor(deviceFor(8, *sim, "65537"), {});
    EXPECT_TRUE(plugin.readData(&slow)) << slow.device.error;

    // Stop returns at once while a connection attempt hangs in its TCP connect (5 s bound).
    const LocalSocket hanging(true);
    ASSERT_NE(hanging.port, 0);
    LogList hung = batchFor(deviceFor(9, *sim), {});
    hung.device.address = hanging.address();
    hung.device.config["Target_AMS_NetId"] = "127.0.0.251.1.1";
    start = Clock::now();
    EXPECT_FALSE(plugin.readData(&hung));
    EXPECT_LT(secondsSince(start), 3.0);
    EXPECT_FALSE(hung.device.error.isEmpty());
    ASSERT_EQ(logsContaining(tavhost::LogLevel::Debug, "Connecting for Device 9"), 1);
    start = Clock::now();
    ASSERT_TRUE(plugin.stopPlugin());
    EXPECT_LT(secondsSince(start), 1.5);

    // A PLC that takes the connection and never answers: a read waiting for the set-up (15 s)
    // ends when the plug-in is told to stop, and the stop gives the set-up up at once.
    auto silent = startSimulator();
    silent->SetSilent(true);
    LogList mute = batchFor(deviceFor(10, *silent, "15000"), {});
    std::thread reader([&] { plugin.readData(&mute); });
    ASSERT_TRUE(silent->WaitForRequests([](const auto& r) { return !r.empty(); }, 3s));
    start = Clock::now();
    plugin.requestStop();
    reader.join();
    ASSERT_TRUE(plugin.stopPlugin());
    EXPECT_LT(secondsSince(start), 1.5);
}

TEST_F(ExchangeTest, APlcRestartDropsTheValuesAndTheWorkerComesBackByItself)
{
    auto sim = startSimulator();
    LogList list = batchFor(deviceFor(6, *sim, "3000"), {kCounter, kTyped[11]});
    // With "Local timestamp" the host's time stamps stay as they are.
    const QDateTime hostTime(QDate(2020, 1, 1), QTime(1, 2, 3), Qt::UTC);
    list.items[0].timestamp = hostTime;
    ASSERT_TRUE(readUntil(list));
    EXPECT_EQ(list.items[0].timestamp, hostTime);
    ASSERT_EQ(valuesOfDevice(6), 2);

    // Reads of subscribed items do not wait behind a slow status read, which holds the device.
    sim->InjectReplyFault(
        plcsim::ReplyFault::Delay(800ms).For(ADS_CMD_READ_STATE).Times(plcsim::ReplyFault::kForever));
    sim->ClearRequests();
    ASSERT_TRUE(sim->WaitForRequests([](const auto& r) { return !r.empty(); }, 5s));
    double slowest = 0;
    for (int i = 0; i < 20; ++i) {
        const auto start = Clock::now();
        ASSERT_TRUE(plugin.readData(&list));
        slowest = std::max(slowest, secondsSince(start));
    }
    EXPECT_LT(slowest, 0.2);
    sim->ClearReplyFaults();

    // Down long enough that even a slow worker notices the reset before the PLC is back.
    sim->Restart(3000ms);
    ASSERT_TRUE(WaitUntil([&] { return !plugin.readData(&list); }, 3s));
    EXPECT_EQ(list.device.error, "Connection closed or reset by the PLC");
    EXPECT_TRUE(WaitUntil([&] { return valuesOfDevice(6) == 0; }, 2s));

    ASSERT_TRUE(WaitUntil([&] { return sim->IsListening(); }, 5s));
    const auto back = Clock::now();
    LogList fresh = batchFor(list.device, {kCounter, kTyped[11]});
    ASSERT_TRUE(readUntil(fresh, allValuesSet, 10s));
    EXPECT_LT(secondsSince(back), 3.0); // error wait time 1 s
    EXPECT_EQ(valueOf(fresh, 1), "Hello from the PLC");
    EXPECT_TRUE(WaitUntil([&] { return sim->NotificationCount() == 3u; }, 2s)); // and the version
}

TEST_F(ExchangeTest, StopLeavesNothingBehindEvenWhenThePlcFellSilent)
{
    auto sim = startSimulator();
    const int threadsBefore = threadCount();
    LogList list = batchFor(deviceFor(7, *sim));
    ASSERT_TRUE(readUntil(list));
    ASSERT_TRUE(plugin.stopPlugin());
    EXPECT_EQ(sim->NotificationCount(), 0u);
    EXPECT_EQ(sim->OpenHandleCount(), 0u);
    EXPECT_TRUE(WaitUntil([&] { return sim->ConnectionCount() == 0; }, 2s));
    EXPECT_EQ(valuesOfDevice(7), 0);
    EXPECT_TRUE(WaitUntil([&] { return threadCount() <= threadsBefore; }, 2s)) << threadCount() << " threads";
    EXPECT_TRUE(logged("Stopping Connector PLC ADS") && logged("Success. Stopped Connector PLC ADS"));

    // A read after the stop starts over; a plug-in destroyed without a stop stops its workers.
    {
        Ads_Plc other;
        LogList again = batchFor(list.device);
        ASSERT_TRUE(WaitUntil([&] { return other.readData(&again) && allValuesSet(again); }, 5s));
        EXPECT_TRUE(WaitUntil([&] { return sim->NotificationCount() == kTyped.size() + 1; }, 2s)); // and the version
    }
    EXPECT_TRUE(WaitUntil([&] { return sim->ConnectionCount() == 0; }, 5s));
    EXPECT_EQ(sim->NotificationCount(), 0u);

    // A PLC that falls silent costs its worker one status time-out before it cleans up.
    auto other = startSimulator();
    LogList silent = batchFor(deviceFor(41, *other, "1000"));
    list = batchFor(deviceFor(40, *sim, "1000"));
    ASSERT_TRUE(readUntil(silent) && readUntil(list));
    other->SetSilent(true);
    auto start = Clock::now();
    ASSERT_TRUE(logged("Done cleaning up Device 41", 10000));
    EXPECT_LT(secondsSince(start), 2.0);
    EXPECT_TRUE(logged("Error. Status for route Device 41 - " + silent.device.address +
                       " failed. Timeout elapsed Code: 1861"));
    EXPECT_FALSE(plugin.readData(&silent));
    EXPECT_EQ(silent.device.error, "Timeout elapsed");

    // Stopping while the PLC is silent: twelve subscriptions to release, none may wait a time-out.
    sim->SetSilent(true);
    start = Clock::now();
    ASSERT_TRUE(plugin.stopPlugin());
    EXPECT_LT(secondsSince(start), 3.0);
    EXPECT_TRUE(logged("Done cleaning up Device 40"));
}

TEST_F(ExchangeTest, AProgramChangeOnTheOpenConnectionBringsTheValuesBackWithItsNewSymbols)
{
    // Device 50's PLC tells its symbol version by notification; device 51's refuses that, so it is read.
    auto sim = startSimulator();
    auto refusing = startSimulator();
    refusing->SetRequestHook([](const plcsim::Request& r) -> std::optional<std::vector<uint8_t>> {
        if (r.header.cmdId == ADS_CMD_ADD_DEVICE_NOTIFICATION && r.data.size() >= 4 &&
            plc::ads::le::Read<uint32_t>(r.data.data()) == ADS_IGRP_SYMBOL_VERSION) {
            return std::vector<uint8_t>{0x01, 0x07, 0, 0, 0, 0, 0, 0};
        }
        return std::nullopt;
    });
    LogList a = batchFor(deviceFor(50, *sim), {kCounter, kTyped[5], kTyped[7]});
    LogList b = batchFor(deviceFor(51, *refusing), {kCounter});
    ASSERT_TRUE(readUntil(a) && readUntil(b));
    ASSERT_TRUE(WaitUntil([&] { return sim->NotificationCount() == 4; }, 2s)) << "three items and the version";
    // Values are live when the counter moved past what it showed at the change.
    Clock::time_point changedAt;
    const auto liveAfter = [&](LogList& list, const QString& frozen, const QString& warning) {
        EXPECT_TRUE(readUntil(list, [&](const LogList& l) { return valueOf(l, 0).toUInt() > frozen.toUInt() + 1; }));
        EXPECT_TRUE(logged(warning));
        return secondsSince(changedAt);
    };

    // A change without STOP: no reconnection, values back within the error wait time (1 s) and 1 s.
    const QString frozenA = valueOf(a, 0), frozenB = valueOf(b, 0);
    changedAt = Clock::now();
    sim->ChangeProgram(0ms);
    refusing->ChangeProgram(0ms);
    EXPECT_LT(liveAfter(a, frozenA, "PLC program of Device 50 changed (symbol version 1 -> 2); subscribing again"), 2.0);
    EXPECT_LT(liveAfter(b, frozenB, "PLC program of Device 51 changed (symbol version 1 -> 2); subscribing again"), 2.0);
    EXPECT_EQ(sim->AcceptedCount() + refusing->AcceptedCount(), 2u);

    // A change with STOP to a program where one variable vanished and one is an INT now.
    std::vector<plcsim::SymbolDef> next = plcsim::DefaultSymbols();
    next.erase(std::remove_if(next.begin(), next.end(), [](const auto& d) { return d.name == "MAIN.iInt"; }), next.end());
    auto retyped = std::find_if(next.begin(), next.end(), [](const auto& d) { return d.name == "MAIN.diDint"; });
    retyped->typeName = "INT";
    retyped->initial = {1, 0};
    changedAt = Clock::now();
    sim->ChangeProgram(500ms, next);
    ASSERT_TRUE(logged("PLC of Device 50 left RUN (state STOP)", 2000));
    ASSERT_TRUE(logged("PLC of Device 50 is in RUN again (was STOP); subscribing again", 2000));
    EXPECT_LT(liveAfter(a, valueOf(a, 0), "PLC program of Device 50 changed (symbol version 2 -> 3); subscribing again"),
              2.0);
    EXPECT_EQ(a.items[1].item.error, "Symbol not found");
    EXPECT_EQ(a.items[2].item.error, "Type mismatch: PLC variable is INT (2 bytes), item is DINT (4 bytes); choose INT");
    EXPECT_EQ(valuesOfDevice(50), 1);
    EXPECT_EQ(sim->AcceptedCount(), 1u);
    EXPECT_TRUE(WaitUntil([&] { return sim->NotificationCount() == 2; }, 1s)) << "the counter and the version";

    // Nothing stays subscribed on the PLCs, the version's notification included.
    ASSERT_TRUE(plugin.stopPlugin());
    EXPECT_EQ(sim->NotificationCount() + refusing->NotificationCount() + sim->OpenHandleCount(), 0u);
}

} // namespace
