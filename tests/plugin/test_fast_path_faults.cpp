// The bulk path under faults: sum replies that come late, cut short, too long or lying, whole
// requests refused with odd codes, a PLC that grants one handle twice, a symbol version that is
// briefly unreadable. Every item keeps its own outcome, no value freezes without a word, and
// nothing stays granted on the PLC.
#include "plugin/support/exchange_fixture.h"

#include "ads/AdsRequests.h"
#include "ads/AmsRouter.h"

#include <dlfcn.h>
#include <pthread.h>

#include <atomic>
#include <cerrno>
#include <set>

using namespace exchange_test;
using plcsim::ReplyFault;

#if !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)
// A gateway short of threads, on command: this program's own pthread_create stands in front of
// the system's (the sanitizers bring theirs, so the test runs only without them).
namespace {
std::atomic<bool> threadsRefused{false};
}
extern "C" int pthread_create(pthread_t* thread, const pthread_attr_t* attr, void* (*run)(void*), void* arg)
{
    using Create = int (*)(pthread_t*, const pthread_attr_t*, void* (*)(void*), void*);
    static const Create system = reinterpret_cast<Create>(dlsym(RTLD_NEXT, "pthread_create"));
    return threadsRefused ? EAGAIN : system(thread, attr, run, arg);
}
#define ADS_PLC_THREADS_REFUSABLE 1
#endif

namespace {

plc::ads::ConnectionCounters countersOf(const PlcSimulator& sim)
{
    return plc::ads::GetConnectionCounters(sim.Options().netId);
}

int warningsContaining(const QString& text)
{
    return logsContaining(tavhost::LogLevel::Warning, text);
}

// Every item shows the text of its own variable.
bool ownValues(const LogList& list, const std::vector<TypedSymbol>& symbols)
{
    for (size_t i = 0; i < symbols.size(); ++i) {
        if (*symbols[i].text && valueOf(list, static_cast<int>(i)) != symbols[i].text) {
            return false;
        }
    }
    return true;
}

TEST_F(ExchangeTest, EveryItemOfABatchKeepsItsOwnHandleNotificationAndWriteResult)
{
    auto sim = startSimulator();
    // Failures early in the batch (a missing symbol, a type mismatch) must not shift the later
    // items' handles, notifications or results onto their neighbours.
    const std::vector<TypedSymbol> symbols = {{"MAIN.nope", 6, ""},     kTyped[5], {"MAIN.iInt", 8, ""},
                                              kTyped[6],                {"MAIN.gone", 7, ""}, kTyped[8],
                                              kTyped[2]};
    LogList list = batchFor(deviceFor(70, *sim), symbols);
    ASSERT_TRUE(readUntil(list, [&](const LogList& l) { return ownValues(l, symbols); }));
    EXPECT_EQ(list.items[0].item.error, "Symbol not found");
    EXPECT_EQ(list.items[2].item.error, "Type mismatch: PLC variable is INT (2 bytes), item is DINT (4 bytes); choose INT");
    EXPECT_EQ(list.items[4].item.error, "Symbol not found");

    // Writes in one batch: a refused text and a missing symbol between two that land.
    LogList writes = batchFor(list.device, {kTyped[5], kTyped[6], {"MAIN.gone", 7, ""}, kTyped[7]});
    const char* texts[] = {"12abc", kTyped[6].write, "1", kTyped[7].write};
    for (int i = 0; i < writes.items.size(); ++i) {
        writes.items[i].values.insert("value", texts[i]);
    }
    ASSERT_TRUE(plugin.writeData(&writes));
    EXPECT_EQ(writes.items[0].item.error, "Value '12abc' is not a INT");
    EXPECT_EQ(writes.items[2].item.error, "Symbol not found");
    EXPECT_TRUE(writes.items[1].item.error.isEmpty() && writes.items[3].item.error.isEmpty());
    EXPECT_EQ(sim->GetSymbolValue("MAIN.iInt"), (std::vector<uint8_t>{0xC7, 0xCF}));
    EXPECT_EQ(sim->GetSymbolValue("MAIN.uiUint"), kTyped[6].written);
    EXPECT_EQ(sim->GetSymbolValue("MAIN.diDint"), kTyped[7].written);
}

TEST_F(ExchangeTest, ASumRefusedWithAnOddCodeIsServedItemByItemForThatBatch)
{
    auto sim = startSimulator();
    // A gateway in front of the PLC refuses every sum of handles with a code of its own.
    sim->SetRequestHook([&](const plcsim::Request& r) -> std::optional<std::vector<uint8_t>> {
        if (r.header.cmdId == ADS_CMD_READ_WRITE && plc::ads::le::Read<uint32_t>(r.data.data()) == 0xF082) {
            return std::vector<uint8_t>{0x11, 0x07, 0, 0, 0, 0, 0, 0}; // 0x711 as a whole
        }
        return std::nullopt;
    });
    LogList list = batchFor(deviceFor(71, *sim));
    list.device.errorWaitTimeSeconds = 30; // served in the batch, not by a retry
    ASSERT_TRUE(readUntil(list, [](const LogList& l) { return ownValues(l, kTyped); }, 3s));
    EXPECT_EQ(warningsContaining("Sum commands not usable"), 0) << "the connection keeps its sum commands";
    EXPECT_FALSE(requestsOf(*sim, ADS_CMD_READ_WRITE, 0xF085).empty()) << "the notifications went in bulk";
    EXPECT_TRUE(requestsOf(*sim, ADS_CMD_ADD_DEVICE_NOTIFICATION, 0xF005).empty());
}

TEST_F(ExchangeTest, GrantsInRepliesNobodyCanUseAreReleasedAndTheItemsServedOneByOne)
{
    auto sim = startSimulator();
    const AmsNetId client = GetRouter().GetLocalNetId();
    const std::vector<TypedSymbol> items = {kTyped[1], kTyped[5], kTyped[9]};
    // Notifications granted in bulk, but the reply has bytes to spare, then one that is cut short,
    // then one that names the same handle twice.
    sim->InjectReplyFault(ReplyFault::Oversized(8).ForGroup(0xF085));
    LogList a = batchFor(deviceFor(72, *sim), items);
    ASSERT_TRUE(readUntil(a, [&](const LogList& l) { return ownValues(l, items); }, 3s));
    EXPECT_TRUE(WaitUntil([&] { return sim->NotificationCount() == items.size() + 1; }, 2s))
        << sim->NotificationCount() << " notifications for 3 items and the version";
    ASSERT_TRUE(plugin.stopPlugin());
    EXPECT_EQ(sim->NotificationCount() + sim->OpenHandleCount(), 0u);

    // Cut after two of three grants, and one naming the first handle twice: the grants it names
    // whole are deleted; the one it hides cannot be known and ends with the connection.
    for (ReplyFault fault : {ReplyFault::Undersized(8 + 16), ReplyFault::Edit([](std::vector<uint8_t>& data) {
                                 std::copy_n(data.begin() + 12, 4, data.begin() + 20);
                             })}) {
        sim->InjectReplyFault(fault.ForGroup(0xF085));
        LogList b = batchFor(deviceFor(73, *sim), items);
        ASSERT_TRUE(readUntil(b, [&](const LogList& l) { return ownValues(l, items); }, 3s));
        EXPECT_TRUE(WaitUntil([&] { return sim->NotificationCountFor(client) == items.size() + 1 + 1; }, 2s))
            << sim->NotificationCountFor(client) << " notifications for 3 items, the version and the hidden grant";
        ASSERT_TRUE(plugin.stopPlugin());
        EXPECT_TRUE(WaitUntil([&] { return sim->NotificationCount() + sim->OpenHandleCount() == 0; }, 2s));
    }
    EXPECT_EQ(countersOf(*sim).unmatchedReplies, 0u);
}

TEST_F(ExchangeTest, HandlesGrantedAfterTheirTimeOutAndAfterAnUnansweredDeleteAreReleased)
{
    auto sim = startSimulator();
    // Device 75's samples keep the shared connection alive while device 74's requests fail;
    // the plug-in stops device 74 first.
    LogList a = batchFor(deviceFor(75, *sim, "300", "851"), {kCounter});
    a.items[0].item.config["notification_transmission_mode"] = "3";
    ASSERT_TRUE(readUntil(a));
    sim->InjectReplyFault(ReplyFault::Delay(600ms).ForGroup(0xF082));
    LogList b = batchFor(deviceFor(74, *sim, "300", "852"), {kTyped[1], kTyped[5], kTyped[9]});
    EXPECT_FALSE(readUntil(b, allValuesSet, 200ms));
    // The late handles are released once they arrive; the device reconnects and is served.
    ASSERT_TRUE(readUntil(b, [](const LogList& l) { return allValuesSet(l) && l.device.error.isEmpty(); }, 5s));
    EXPECT_TRUE(WaitUntil([&] { return sim->OpenHandleCount() == 1 + 3; }, 2s)) << sim->OpenHandleCount();

    // A sum write that is never answered: the device reconnects, and the write's handles are
    // released all the same, since the connection lives on for device 75.
    sim->InjectReplyFault(ReplyFault::Drop().ForGroup(0xF081));
    LogList writes = batchFor(b.device, {kTyped[1], kTyped[5], kTyped[9]});
    for (int i = 0; i < writes.items.size(); ++i) {
        writes.items[i].values.insert("value", QString::number(i + 1));
    }
    ASSERT_TRUE(plugin.writeData(&writes));
    EXPECT_EQ(writes.items[2].item.error, "Timeout elapsed");
    ASSERT_TRUE(readUntil(b, [](const LogList& l) { return allValuesSet(l) && l.device.error.isEmpty(); }, 5s));
    EXPECT_TRUE(WaitUntil([&] { return sim->OpenHandleCount() == 1 + 3; }, 2s)) << sim->OpenHandleCount();

    // A sum delete the PLC never answers: the symbol handles are released all the same.
    sim->InjectReplyFault(ReplyFault::Drop().ForGroup(0xF086));
    ASSERT_TRUE(plugin.stopPlugin());
    EXPECT_TRUE(WaitUntil([&] { return sim->OpenHandleCount() == 0; }, 2s)) << sim->OpenHandleCount();
}

TEST_F(ExchangeTest, ReleasingInBulkSendsEachDeleteOnceAndNothingCountsAsLost)
{
    auto sim = startSimulator();
    LogList list = batchFor(deviceFor(76, *sim));
    ASSERT_TRUE(readUntil(list));
    sim->ChangeProgram(0ms);
    ASSERT_TRUE(logged("PLC program of Device 76 changed (symbol version 1 -> 2); subscribing again", 3000));
    ASSERT_TRUE(readUntil(list));
    ASSERT_TRUE(plugin.stopPlugin());
    // No handle deleted in bulk is deleted once more on its own.
    std::set<uint32_t> inBulk;
    for (const plcsim::Request& r : requestsOf(*sim, ADS_CMD_READ_WRITE, 0xF086)) {
        for (size_t at = 16; at + 4 <= r.data.size(); at += 4) {
            inBulk.insert(plc::ads::le::Read<uint32_t>(r.data.data() + at));
        }
    }
    EXPECT_FALSE(inBulk.empty());
    for (const plcsim::Request& r : requestsOf(*sim, ADS_CMD_DEL_DEVICE_NOTIFICATION)) {
        EXPECT_EQ(inBulk.count(plc::ads::le::Read<uint32_t>(r.data.data())), 0u);
    }
    EXPECT_EQ(countersOf(*sim).unmatchedReplies, 0u);
    EXPECT_EQ(sim->NotificationCount() + sim->OpenHandleCount(), 0u);
}

TEST_F(ExchangeTest, AHandleGrantedTwiceServesNeitherItemWithTheOthersValues)
{
    // One by one: the second item is told the first one's handle, while the PLC streams the
    // first one's variable under it.
    auto sim = startSimulator("PLC Simulator", false);
    std::atomic<uint32_t> firstHandle{0};
    sim->InjectReplyFault(ReplyFault::Edit([&](std::vector<uint8_t>& data) {
                              firstHandle = plc::ads::le::Read<uint32_t>(data.data() + 4);
                          }).ForGroup(0xF005));
    sim->InjectReplyFault(ReplyFault::Edit([&](std::vector<uint8_t>& data) {
                              plc::ads::le::Write<uint32_t>(data.data() + 4, firstHandle.load());
                          }).ForGroup(0xF005));
    const std::vector<TypedSymbol> both = {kTyped[5], kTyped[6]};
    LogList list = batchFor(deviceFor(77, *sim), {both[0]});
    ASSERT_TRUE(readUntil(list));
    list = batchFor(list.device, both);
    ASSERT_TRUE(readUntil(list, [](const LogList& l) { return !l.items[1].item.error.isEmpty(); }, 2s));
    EXPECT_EQ(list.items[1].item.error, "Invalid response received");
    EXPECT_TRUE(logged("PLC of Device 77 granted the notification of Item 1 to another request; subscribing it again",
                       2000));
    // Both come back on handles of their own, each with its own variable's value.
    for (DataItem& item : list.items) {
        item.values.clear();
    }
    ASSERT_TRUE(readUntil(list, [&](const LogList& l) { return ownValues(l, both) && allValuesSet(l); }, 4s));
    ASSERT_TRUE(plugin.stopPlugin());
    EXPECT_EQ(sim->OpenHandleCount(), 0u);
}

TEST_F(ExchangeTest, ASymbolHandleGrantedForTwoVariablesServesNeither)
{
    auto sim = startSimulator();
    // The first sum of handles names the first variable's handle for the second one as well.
    sim->InjectReplyFault(ReplyFault::Edit([](std::vector<uint8_t>& data) {
                              std::copy_n(data.begin() + 8 + 3 * 8, 4, data.begin() + 8 + 3 * 8 + 4);
                          }).ForGroup(0xF082));
    const std::vector<TypedSymbol> items = {kTyped[5], kTyped[6], kTyped[9]};
    LogList list = batchFor(deviceFor(80, *sim), items);
    ASSERT_TRUE(plugin.readData(&list));
    EXPECT_EQ(list.items[0].item.error, "Invalid response received");
    EXPECT_EQ(list.items[1].item.error, "Invalid response received");
    EXPECT_TRUE(readUntil(list, [&](const LogList& l) { return ownValues(l, items) && allValuesSet(l); }, 3s));
    ASSERT_TRUE(plugin.stopPlugin());
    // Only the second variable's own handle stays, which the edited reply hid from the plug-in.
    EXPECT_EQ(sim->OpenHandleCount(), 1u);
}

TEST_F(ExchangeTest, AThreadThatCannotStartFailsTheItemsButNeverTheHost)
{
#ifndef ADS_PLC_THREADS_REFUSABLE
    GTEST_SKIP() << "the sanitizers own pthread_create";
#else
    auto sim = startSimulator();
    // A PLC without a symbol version: the items' subscription starts the dispatcher thread.
    sim->SetRequestHook([](const plcsim::Request& r) -> std::optional<std::vector<uint8_t>> {
        if (r.header.cmdId == ADS_CMD_READ && plc::ads::le::Read<uint32_t>(r.data.data()) == ADS_IGRP_SYMBOL_VERSION) {
            return std::vector<uint8_t>{0x01, 0x07, 0, 0, 0, 0, 0, 0};
        }
        return std::nullopt;
    });
    // No worker thread: no worker, and the read says so.
    LogList list = batchFor(deviceFor(79, *sim), {});
    threadsRefused = true;
    EXPECT_NO_THROW(EXPECT_FALSE(plugin.readData(&list)));
    threadsRefused = false;
    EXPECT_EQ(list.device.error, "Worker thread missing");
    ASSERT_TRUE(readUntil(list, [](const LogList& l) { return l.device.error.isEmpty(); }));
    EXPECT_TRUE(logged("PLC of Device 79 offers no symbol version (code 1793); a new program is noticed only when "
                       "it leaves RUN",
                       2000));
    list = batchFor(list.device, {kTyped[1], kTyped[5], kTyped[9]});
    size_t handlesBefore = 0;
    {
        std::lock_guard<std::mutex> lock(Ads_Plc_Worker::callbackHandlesMutex);
        handlesBefore = Ads_Plc_Worker::callbackHandles.size();
    }
    threadsRefused = true;
    for (int i = 0; i < 5; ++i) {
        EXPECT_NO_THROW(EXPECT_TRUE(plugin.readData(&list)));
    }
    threadsRefused = false;
    for (const DataItem& item : list.items) {
        EXPECT_EQ(item.item.error, "No memory");
    }
    {
        std::lock_guard<std::mutex> lock(Ads_Plc_Worker::callbackHandlesMutex);
        EXPECT_EQ(Ads_Plc_Worker::callbackHandles.size(), handlesBefore) << "no user value left behind";
    }
    EXPECT_EQ(requestsOf(*sim, ADS_CMD_READ_WRITE, 0xF082).size(), 2u) << "handles and types once, not every read";
    ASSERT_TRUE(readUntil(list));
    ASSERT_TRUE(plugin.stopPlugin());
    EXPECT_EQ(sim->NotificationCount() + sim->OpenHandleCount(), 0u);
#endif
}

TEST_F(ExchangeTest, TheProgramWatchAsksAgainAfterAnAnswerThatMayPass)
{
    auto sim = startSimulator();
    // While a PLC loads a program it may answer "symbol version invalid" for a while.
    std::atomic<bool> loading{false};
    sim->SetRequestHook([&](const plcsim::Request& r) -> std::optional<std::vector<uint8_t>> {
        if (loading && r.data.size() >= 4 && plc::ads::le::Read<uint32_t>(r.data.data()) == ADS_IGRP_SYMBOL_VERSION) {
            return std::vector<uint8_t>{0x11, 0x07, 0, 0, 0, 0, 0, 0}; // 0x711, for the read and the notification
        }
        return std::nullopt;
    });
    LogList list = batchFor(deviceFor(78, *sim), {kCounter});
    ASSERT_TRUE(readUntil(list));
    const auto movesOn = [&](std::chrono::milliseconds limit) {
        const uint32_t frozen = valueOf(list, 0).toUInt();
        return readUntil(list, [&](const LogList& l) { return valueOf(l, 0).toUInt() > frozen + 1; }, limit);
    };
    loading = true;
    sim->ChangeProgram(0ms);
    ASSERT_TRUE(logged("PLC program of Device 78 changed (symbol version 1 -> 2); subscribing again", 3000));
    EXPECT_TRUE(movesOn(3s));
    EXPECT_TRUE(logged("Symbol version of Device 78 could not be read (code 1809); asking again with every state poll"));
    loading = false;
    // The next program is noticed, though the watch's notification was refused meanwhile.
    sim->ChangeProgram(0ms);
    ASSERT_TRUE(logged("PLC program of Device 78 changed (symbol version 2 -> 3); subscribing again", 3000));
    EXPECT_TRUE(movesOn(3s));
    EXPECT_EQ(warningsContaining("could not be read"), 1) << "said once per connection";
}

} // namespace
