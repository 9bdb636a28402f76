// Writing through the plug-in: bytes that land, one handle per write, item errors, and a
// write that times out taking the connection down.
#include "plugin/support/worker_exchange_fixture.h"

#include "ads/LittleEndian.h"

using namespace exchange_test;

namespace {

struct Written {
    const char* text;
    std::vector<uint8_t> bytes;
};
// What each of the twelve types must put into the PLC's memory, in the order of kTyped.
const std::vector<Written> kWrites = {
    {"0", {0}},           {"4660", {0x34, 0x12}},   {"305419896", {0x78, 0x56, 0x34, 0x12}},
    {"-2", {0xFE}},       {"250", {250}},           {"-300", {0xD4, 0xFE}},
    {"65000", {0xE8, 0xFD}}, {"-70000", {0x90, 0xEE, 0xFE, 0xFF}}, {"4000000000", {0x00, 0x28, 0x6B, 0xEE}},
    {"-1.5", {0, 0, 0xC0, 0xBF}}, {"0.125", {0, 0, 0, 0, 0, 0, 0xC0, 0x3F}}, {"Grüße", {'G', 'r', 0xC3, 0xBC, 0xC3, 0x9F, 'e', 0}},
};

size_t countRequests(const PlcSimulator& sim, uint16_t command, uint32_t group)
{
    const auto requests = sim.Requests();
    return std::count_if(requests.begin(), requests.end(), [&](const plcsim::Request& r) {
        return r.hasHeader && r.header.cmdId == command && r.data.size() >= 4 &&
               plc::ads::le::Read<uint32_t>(r.data.data()) == group;
    });
}

class WriteTest : public ExchangeTest {
protected:
    void SetUp() override
    {
        ExchangeTest::SetUp();
        // Subscribed first: the worker keeps item errors only for items it knows.
        ASSERT_TRUE(readUntil(list));
        sim->ClearRequests();
        for (size_t i = 0; i < kWrites.size(); ++i) {
            list.items[i].values["value"] = QString::fromUtf8(kWrites[i].text);
        }
    }
    std::unique_ptr<PlcSimulator> sim = startSimulator();
    LogList list = batchFor(deviceFor(20, *sim));
};

TEST_F(WriteTest, EveryTypeLandsWithOneHandleFetchedAndReleasedPerWrite)
{
    ASSERT_TRUE(plugin.writeData(&list));
    for (size_t i = 0; i < kWrites.size(); ++i) {
        std::vector<uint8_t> stored = sim->GetSymbolValue(kTyped[i].symbol);
        stored.resize(std::min(stored.size(), kWrites[i].bytes.size()));
        EXPECT_EQ(stored, kWrites[i].bytes) << kTyped[i].symbol;
        EXPECT_TRUE(list.items[i].item.error.isEmpty());
    }
    EXPECT_EQ(countRequests(*sim, ADS_CMD_READ_WRITE, ADS_IGRP_SYMBOL_HANDLE_BY_NAME), kWrites.size());
    EXPECT_EQ(countRequests(*sim, ADS_CMD_WRITE, ADS_IGRP_SYMBOL_VALUE_BY_HANDLE), kWrites.size());
    EXPECT_EQ(countRequests(*sim, ADS_CMD_WRITE, ADS_IGRP_SYMBOL_RELEASE_HANDLE), kWrites.size());
    EXPECT_EQ(sim->OpenHandleCount(), kWrites.size()); // only the subscriptions' handles are left
    // The written values come back through the subscriptions.
    ASSERT_TRUE(readUntil(list, [](const LogList& l) { return valueOf(l, 11) == QString::fromUtf8("Grüße"); }));
    EXPECT_EQ(valueOf(list, 5), "-300");
}

TEST_F(WriteTest, IdentityItemsOfABatchAreNeverWrittenToThePlc)
{
    for (const char* key : {"vendor", "model", "firmware"}) {
        ItemInstancePlugin identity{};
        identity.id = 900;
        identity.uid = QStringLiteral("identity_20_") + QLatin1String(key);
        DataItem data(identity);
        data.values["value"] = QStringLiteral("1");
        list.items.append(data);
    }
    ASSERT_TRUE(plugin.writeData(&list));
    EXPECT_EQ(countRequests(*sim, ADS_CMD_READ_WRITE, ADS_IGRP_SYMBOL_HANDLE_BY_NAME), kWrites.size());
    for (int i = list.items.size() - 3; i < list.items.size(); ++i) {
        EXPECT_TRUE(list.items[i].item.error.isEmpty());
    }
}

TEST_F(WriteTest, AMissingSymbolIsAnItemErrorAndKeepsTheConnection)
{
    ASSERT_TRUE(sim->RemoveSymbol("MAIN.iInt"));
    ASSERT_TRUE(plugin.writeData(&list));
    EXPECT_EQ(list.items[5].item.error, "Symbol not found");
    EXPECT_TRUE(list.items[6].item.error.isEmpty());
    EXPECT_EQ(sim->GetSymbolValue("MAIN.uiUint"), (std::vector<uint8_t>{0xE8, 0xFD}));
    EXPECT_TRUE(list.device.error.isEmpty());
    EXPECT_TRUE(plugin.readData(&list));
    EXPECT_EQ(sim->AcceptedCount(), 1u);
}

TEST_F(WriteTest, AWriteThatTimesOutDisconnectsAndTheWorkerReconnects)
{
    // Writes, and so handle releases, go unanswered; everything else is answered.
    sim->InjectReplyFault(plcsim::ReplyFault::Drop().For(ADS_CMD_WRITE).Times(plcsim::ReplyFault::kForever));
    LogList one = batchFor(list.device, {kTyped[0]});
    one.items[0].values["value"] = "0";
    const auto start = std::chrono::steady_clock::now();
    ASSERT_TRUE(plugin.writeData(&one));
    // One time-out for the write; its handle and the twelve subscriptions must not add more.
    EXPECT_LT(secondsSince(start), 0.3 + 0.5);
    sim->ClearReplyFaults();
    EXPECT_TRUE(logged("Error. Writing item Item 1 failed. Timeout elapsed Code: 1861"));
    EXPECT_TRUE(logged("Done cleaning up Device 20"));
    EXPECT_EQ(valuesOfDevice(20), 0);

    LogList fresh = batchFor(list.device);
    ASSERT_TRUE(readUntil(fresh));
    EXPECT_EQ(valueOf(fresh, 0), "0"); // the PLC took the write; only its reply was lost
    EXPECT_EQ(sim->AcceptedCount(), 2u);
}

} // namespace
