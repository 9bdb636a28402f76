// Device notifications: both transmission modes, sample contents, grouping, deletion, restart.
#include "sim/support/RawClient.h"

#include "ads/LittleEndian.h"

#include <gtest/gtest.h>

using namespace simtest;
namespace le = plc::ads::le;

namespace {

constexpr uint64_t kFixedTime = 133500000000000000ULL; // some day in 2024
constexpr uint32_t k1ms = 10000;                        // in 100 ns units

class Notifications : public ::testing::Test {
protected:
    void SetUp() override
    {
        sim.AddSymbol("GVL.word", {0x34, 0x12});
        sim.SetMemory(0x4020, 0, {1, 2, 3});
        sim.SetClock(kFixedTime);
        sim.Start();
    }

    // Adds a notification and returns its handle (0 on failure).
    uint32_t Add(RawClient& c, uint32_t group, uint32_t offset, uint32_t length, uint32_t mode,
                 uint32_t period = k1ms, AmsAddr target = PlcAddr())
    {
        c.Send(ADS_CMD_ADD_DEVICE_NOTIFICATION, AddNotificationReq(group, offset, length, mode, period), target);
        auto r = c.ReceiveReply();
        if (!r || r->data.size() != 8 || ResultOf(*r) != 0) {
            return 0;
        }
        return le::Read<uint32_t>(r->data.data() + 4);
    }

    // Next device notification packet, parsed; fails the test on time-out or bad format.
    std::vector<Sample> NextSamples(RawClient& c, plc::ads::AoEHeader* header = nullptr)
    {
        std::optional<Packet> p;
        if (!c.notifications.empty()) {
            p = c.notifications.front();
            c.notifications.erase(c.notifications.begin());
        } else {
            p = c.Receive();
        }
        EXPECT_TRUE(p && p->hasHeader && p->header.cmdId == ADS_CMD_DEVICE_NOTIFICATION);
        if (!p || !p->hasHeader) {
            return {};
        }
        if (header != nullptr) {
            *header = p->header;
        }
        auto samples = ParseSamples(p->data);
        EXPECT_TRUE(samples);
        return samples.value_or(std::vector<Sample>{});
    }

    plcsim::PlcSimulator sim;
};

TEST_F(Notifications, OnChangeSendsFirstSampleAtOnceThenOnlyChanges)
{
    RawClient c(sim.Port());
    const uint32_t symbol = c.Handle("GVL.word");
    const AmsAddr target{AmsNetId{5, 6, 7, 8, 1, 1}, 852};
    const uint32_t h = Add(c, ADS_IGRP_SYMBOL_VALUE_BY_HANDLE, symbol, 2, ADS_TRANS_SERVER_ON_CHANGE, k1ms, target);
    ASSERT_NE(h, 0u);
    EXPECT_EQ(sim.NotificationCount(), 1u);

    plc::ads::AoEHeader header;
    auto s = NextSamples(c, &header);
    ASSERT_EQ(s.size(), 1u);
    EXPECT_EQ(s[0].handle, h);
    EXPECT_EQ(s[0].data, Bytes({0x34, 0x12}));
    EXPECT_EQ(s[0].time, kFixedTime);
    EXPECT_EQ(header.Target(), ClientAddr());
    EXPECT_EQ(header.Source(), target);
    EXPECT_EQ(header.stateFlags, 4);
    EXPECT_EQ(header.invokeId, 0u);

    // Unchanged: nothing within many sampling periods; a state query still answers first.
    ASSERT_TRUE(c.Call(ADS_CMD_READ_STATE, {}));
    EXPECT_FALSE(c.Receive(50ms));
    sim.SetClock(kFixedTime + 1);
    sim.SetSymbolValue("GVL.word", {0x78, 0x56});
    s = NextSamples(c);
    ASSERT_EQ(s.size(), 1u);
    EXPECT_EQ(s[0].data, Bytes({0x78, 0x56}));
    EXPECT_EQ(s[0].time, kFixedTime + 1);

    auto del = c.Call(ADS_CMD_DEL_DEVICE_NOTIFICATION, U32(h));
    ASSERT_TRUE(del);
    EXPECT_EQ(del->data, U32(0));
    EXPECT_EQ(sim.NotificationCount(), 0u);
    del = c.Call(ADS_CMD_DEL_DEVICE_NOTIFICATION, U32(h));
    ASSERT_TRUE(del);
    EXPECT_EQ(del->data, U32(0x714));
    sim.SetSymbolValue("GVL.word", {0, 0});
    EXPECT_FALSE(c.Receive(50ms));
}

TEST_F(Notifications, CyclicRepeatsAndSizesFollowWatchedLength)
{
    RawClient c(sim.Port());
    // The driver watches the 2-byte INT "MAIN.down" with 1 byte; a longer watch is zero-padded.
    const uint32_t down = c.Handle("MAIN.down");
    const uint32_t shortWatch = Add(c, ADS_IGRP_SYMBOL_VALUE_BY_HANDLE, down, 1, ADS_TRANS_SERVER_CYCLE, 5 * k1ms);
    ASSERT_NE(shortWatch, 0u);
    for (int i = 0; i < 3; ++i) {
        auto s = NextSamples(c);
        ASSERT_EQ(s.size(), 1u);
        EXPECT_EQ(s[0].handle, shortWatch);
        EXPECT_EQ(s[0].data.size(), 1u);
    }
    ASSERT_EQ(c.Call(ADS_CMD_DEL_DEVICE_NOTIFICATION, U32(shortWatch))->data, U32(0));
    c.notifications.clear();
    while (c.Receive(30ms)) {
    }

    const uint32_t mem = Add(c, 0x4020, 1, 4, ADS_TRANS_SERVER_CYCLE, 5 * k1ms);
    ASSERT_NE(mem, 0u);
    auto s = NextSamples(c);
    ASSERT_EQ(s.size(), 1u);
    EXPECT_EQ(s[0].data, Bytes({2, 3, 0, 0}));
}

TEST_F(Notifications, DueSamplesOfOneClientAddressShareAFrame)
{
    RawClient c(sim.Port());
    const uint32_t symbol = c.Handle("GVL.word");
    const uint32_t a = Add(c, ADS_IGRP_SYMBOL_VALUE_BY_HANDLE, symbol, 2, ADS_TRANS_SERVER_ON_CHANGE, 20 * k1ms);
    const uint32_t b = Add(c, 0x4020, 0, 3, ADS_TRANS_SERVER_ON_CHANGE, 20 * k1ms);
    ASSERT_NE(a, 0u);
    ASSERT_NE(b, 0u);
    while (c.Receive(30ms)) { // first samples, whichever way they were grouped
    }
    c.notifications.clear();
    // Hold sampling while both change, so both are due in the same pass.
    sim.SetSilent(true);
    sim.SetSymbolValue("GVL.word", {1, 1});
    sim.SetMemory(0x4020, 0, {9, 9, 9});
    EXPECT_FALSE(c.Receive(50ms));
    sim.SetSilent(false);
    std::vector<Sample> s = NextSamples(c);
    ASSERT_EQ(s.size(), 2u);
    EXPECT_EQ(s[0].handle, a);
    EXPECT_EQ(s[0].data, Bytes({1, 1}));
    EXPECT_EQ(s[1].handle, b);
    EXPECT_EQ(s[1].data, Bytes({9, 9, 9}));
    EXPECT_FALSE(c.Receive(50ms));
}

TEST_F(Notifications, RejectedRequests)
{
    RawClient c(sim.Port());
    const uint32_t symbol = c.Handle("GVL.word");
    struct Case {
        Bytes payload;
        uint32_t result;
    };
    const Case cases[] = {
        {AddNotificationReq(ADS_IGRP_SYMBOL_VALUE_BY_HANDLE, 0xBAD, 2, 4), 0x710},
        {AddNotificationReq(0x9999, 0, 2, 4), 0x702},
        {AddNotificationReq(0x4020, 50, 2, 4), 0x703},
        {AddNotificationReq(ADS_IGRP_SYMBOL_VALUE_BY_HANDLE, symbol, 0, 4), 0x717},
        {AddNotificationReq(ADS_IGRP_SYMBOL_VALUE_BY_HANDLE, symbol, 0x7FFFFFFF, 4), 0x717},
        {AddNotificationReq(ADS_IGRP_SYMBOL_VALUE_BY_HANDLE, symbol, 2, 99), 0x70B},
        {Bytes(10, 0), 0x705},
    };
    for (const auto& tc : cases) {
        auto r = c.Call(ADS_CMD_ADD_DEVICE_NOTIFICATION, tc.payload);
        ASSERT_TRUE(r);
        EXPECT_EQ(ResultOf(*r), tc.result);
    }
    EXPECT_EQ(sim.NotificationCount(), 0u);
}

TEST_F(Notifications, ConnectionCloseFreesItsNotificationsOnly)
{
    RawClient keep(sim.Port());
    const uint32_t symbol = keep.Handle("GVL.word");
    const uint32_t kept = Add(keep, ADS_IGRP_SYMBOL_VALUE_BY_HANDLE, symbol, 2, ADS_TRANS_SERVER_ON_CHANGE);
    ASSERT_NE(kept, 0u);
    {
        RawClient gone(sim.Port());
        ASSERT_NE(Add(gone, ADS_IGRP_SYMBOL_VALUE_BY_HANDLE, symbol, 2, ADS_TRANS_SERVER_CYCLE), 0u);
        ASSERT_NE(Add(gone, 0x4020, 0, 1, ADS_TRANS_SERVER_CYCLE), 0u);
        EXPECT_EQ(sim.NotificationCount(), 3u);
        // Another connection cannot delete it.
        EXPECT_EQ(gone.Call(ADS_CMD_DEL_DEVICE_NOTIFICATION, U32(kept))->data.size(), 4u);
        EXPECT_EQ(sim.NotificationCount(), 3u);
    }
    EXPECT_TRUE(plcsim::WaitUntil([&] { return sim.NotificationCount() == 1; }, 3s));
    EXPECT_EQ(sim.OpenHandleCount(), 1u);
}

TEST_F(Notifications, RestartForgetsHandlesAndNotificationsAndListensOnTheSamePort)
{
    const uint16_t port = sim.Port();
    uint32_t handle = 0;
    {
        RawClient c(port);
        handle = c.Handle("GVL.word");
        ASSERT_NE(Add(c, ADS_IGRP_SYMBOL_VALUE_BY_HANDLE, handle, 2, ADS_TRANS_SERVER_ON_CHANGE), 0u);
        sim.SetSymbolValue("GVL.word", {7, 7});
        sim.Restart(100ms);
        EXPECT_NE(c.WaitForEnd(), RawClient::End::Open);
    }
    EXPECT_EQ(sim.OpenHandleCount(), 0u);
    EXPECT_EQ(sim.NotificationCount(), 0u);
    EXPECT_FALSE(sim.IsListening());
    EXPECT_THROW(RawClient refused(port), std::runtime_error);
    ASSERT_TRUE(plcsim::WaitUntil([&] { return sim.IsListening(); }, 3s));
    EXPECT_EQ(sim.Port(), port);
    RawClient c(port);
    auto r = c.Call(ADS_CMD_READ, ReadReq(ADS_IGRP_SYMBOL_VALUE_BY_HANDLE, handle, 2));
    ASSERT_TRUE(r);
    EXPECT_EQ(ResultOf(*r), 0x710u);
    const uint32_t fresh = c.Handle("GVL.word");
    r = c.Call(ADS_CMD_READ, ReadReq(ADS_IGRP_SYMBOL_VALUE_BY_HANDLE, fresh, 2));
    ASSERT_TRUE(r);
    EXPECT_EQ(ReadDataOf(*r), Bytes({7, 7})); // symbols survive
}

TEST(NotificationClock, SystemClockStampsAreCurrentFileTimes)
{
    plcsim::PlcSimulator sim;
    const uint64_t before = plcsim::ToFileTime(std::chrono::system_clock::now());
    const uint64_t now = sim.Now();
    EXPECT_GE(now, before);
    EXPECT_LT(now - before, 10ULL * 1000 * 1000 * 10); // within 10 s
    // 1970-01-01 is 11644473600 s after 1601-01-01.
    EXPECT_EQ(plcsim::ToFileTime(std::chrono::system_clock::time_point{}), 116444736000000000ULL);
}

} // namespace
