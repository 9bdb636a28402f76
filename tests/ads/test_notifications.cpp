// Device notifications end to end against the simulator: samples of both transmission
// modes, dispatcher sharing, deletion bookkeeping, AdsNotification's request order, and
// frames the receive path must drop without disturbing the next one.
#include "ads/AdsDevice.h"
#include "ads/AmsRouter.h"
#include "ads/LittleEndian.h"
#include "support/upper_Notify.h"
#include "tools/sim/PlcSimulator.h"

#include <gtest/gtest.h>

using namespace std::chrono_literals;
using upper::Recorder;
namespace le = plc::ads::le;

namespace {

const AmsNetId kPlc{10, 40, 0, 1, 1, 1};
constexpr uint32_t kGroup = 0x4020;
constexpr uint64_t kClock = 133'000'000'000'000'000ULL;

size_t CountCommand(const plcsim::PlcSimulator& sim, uint16_t cmdId)
{
    size_t n = 0;
    for (const auto& r : sim.Requests()) {
        n += r.header.cmdId == cmdId;
    }
    return n;
}

class Notifications : public ::testing::Test {
protected:
    void SetUp() override
    {
        Recorder::Get().Reset();
        sim.SetClock(kClock);
        sim.Start();
        device = std::make_unique<AdsDevice>(sim.HostString(), kPlc, 851);
        device->SetTimeout(2000);
        port = device->GetLocalPort();
    }
    void TearDown() override
    {
        Recorder::Get().Release();
        device.reset();
        EXPECT_EQ(0u, GetRouter().ConnectionCount());
    }

    uint32_t Subscribe(uint32_t group, uint32_t offset, uint32_t length, uint32_t mode, uint32_t user,
                       uint32_t cycle100ns = 0, int32_t onPort = 0)
    {
        const AdsNotificationAttrib attrib{length, mode, 0, cycle100ns};
        uint32_t handle = 0;
        const int32_t status = AdsSyncAddDeviceNotificationReqEx(onPort ? onPort : port, &plc, group, offset,
                                                                 &attrib, &Recorder::Callback, user, &handle);
        EXPECT_EQ(0, status);
        return handle;
    }

    // A notification frame from the PLC to `toPort`.
    plcsim::NotificationFrame Frame(uint16_t toPort) const
    {
        auto frame = sim.FrameForLatestClient();
        EXPECT_TRUE(frame.has_value());
        frame->target.amsPort = toPort;
        return *frame;
    }

    static plcsim::RawStamp Stamp(uint64_t time, std::vector<plcsim::RawSample> samples)
    {
        return plcsim::RawStamp{time, std::move(samples), std::nullopt};
    }
    static plcsim::RawSample Sample(uint32_t handle, std::vector<uint8_t> data)
    {
        return plcsim::RawSample{handle, std::move(data), std::nullopt};
    }

    plcsim::PlcSimulator sim;
    std::unique_ptr<AdsDevice> device;
    uint16_t port = 0;
    const AmsAddr plc{kPlc, 851};
};

TEST_F(Notifications, BothTransmissionModesDeliverTheSymbolsBytes)
{
    sim.AddSymbol("TEST.onChange", {1, 2, 3, 4});
    sim.AddSymbol("TEST.cyclic", {9, 8});
    const OwnedHandle changeSymbol = device->GetHandle("TEST.onChange");
    const OwnedHandle cyclicSymbol = device->GetHandle("TEST.cyclic");
    const uint32_t onChange =
        Subscribe(ADS_IGRP_SYMBOL_VALUE_BY_HANDLE, *changeSymbol, 4, ADS_TRANS_SERVER_ON_CHANGE, 41);
    ASSERT_TRUE(Recorder::Get().WaitForCount(1));
    sim.SetSymbolValue("TEST.onChange", {5, 6, 7, 8});
    ASSERT_TRUE(Recorder::Get().WaitForCount(2));
    auto got = Recorder::Get().Samples();
    for (size_t i = 0; i < 2; ++i) {
        EXPECT_EQ(onChange, got[i].handle);
        EXPECT_EQ(41u, got[i].user);
        EXPECT_EQ(4u, got[i].size);
        EXPECT_EQ(kClock, got[i].time);
        EXPECT_EQ(plc, got[i].source);
    }
    EXPECT_EQ((std::vector<uint8_t>{1, 2, 3, 4}), got[0].data);
    EXPECT_EQ((std::vector<uint8_t>{5, 6, 7, 8}), got[1].data);

    Recorder::Get().Reset();
    const uint32_t cyclic = Subscribe(ADS_IGRP_SYMBOL_VALUE_BY_HANDLE, *cyclicSymbol, 2, ADS_TRANS_SERVER_CYCLE, 42,
                                      100'000 /* 10 ms */);
    ASSERT_TRUE(Recorder::Get().WaitForCount(3));
    got = Recorder::Get().Samples();
    for (size_t i = 0; i < 3; ++i) {
        EXPECT_EQ(cyclic, got[i].handle);
        EXPECT_EQ(42u, got[i].user);
        EXPECT_EQ((std::vector<uint8_t>{9, 8}), got[i].data);
    }
    EXPECT_EQ(0, AdsSyncDelDeviceNotificationReqEx(port, &plc, cyclic));
    EXPECT_EQ(0, AdsSyncDelDeviceNotificationReqEx(port, &plc, onChange));
}

TEST_F(Notifications, OnePortSharesADispatcherPerTargetAndAnotherPortGetsItsOwn)
{
    sim.SetMemory(kGroup, 0, std::vector<uint8_t>(16, 0));
    const auto connection = GetRouter().GetConnection(kPlc);
    Subscribe(kGroup, 0, 4, ADS_TRANS_SERVER_ON_CHANGE, 1);
    const auto first = connection->DispatcherListGet(DispatcherKey{port, plc});
    ASSERT_NE(nullptr, first);
    Subscribe(kGroup, 4, 4, ADS_TRANS_SERVER_ON_CHANGE, 2);
    EXPECT_EQ(first, connection->DispatcherListGet(DispatcherKey{port, plc}));

    // A port that is not open gets neither a notification nor a dispatcher.
    const AdsNotificationAttrib attrib{4, ADS_TRANS_SERVER_ON_CHANGE, 0, 0};
    uint32_t handle = 0;
    EXPECT_EQ(ADS_ERR_PORT_NOT_OPEN,
              AdsSyncAddDeviceNotificationReqEx(30120, &plc, kGroup, 12, &attrib, &Recorder::Callback, 4, &handle));
    EXPECT_EQ(nullptr, connection->DispatcherListGet(DispatcherKey{30120, plc}));

    AdsDevice other(sim.HostString(), kPlc, 851);
    const uint16_t otherPort = other.GetLocalPort();
    EXPECT_EQ(nullptr, connection->DispatcherListGet(DispatcherKey{otherPort, plc}));
    Subscribe(kGroup, 8, 4, ADS_TRANS_SERVER_ON_CHANGE, 3, 0, otherPort);
    const auto second = connection->DispatcherListGet(DispatcherKey{otherPort, plc});
    ASSERT_NE(nullptr, second);
    EXPECT_NE(first, second);
    ASSERT_TRUE(Recorder::Get().WaitForCount(3));
}

TEST_F(Notifications, DeletingTwiceSendsOneRequest)
{
    sim.SetMemory(kGroup, 0, std::vector<uint8_t>(4, 0));
    const uint32_t handle = Subscribe(kGroup, 0, 4, ADS_TRANS_SERVER_ON_CHANGE, 1);
    sim.ClearRequests();
    EXPECT_EQ(0, AdsSyncDelDeviceNotificationReqEx(port, &plc, handle));
    EXPECT_EQ(ADS_ERR_NOTIFICATION_NOT_FOUND, AdsSyncDelDeviceNotificationReqEx(port, &plc, handle));
    EXPECT_EQ(1u, CountCommand(sim, ADS_CMD_DEL_DEVICE_NOTIFICATION));
    EXPECT_EQ(0u, sim.NotificationCount());
}

TEST_F(Notifications, ClosingAPortDeletesItsNotificationsOnThePlc)
{
    sim.SetMemory(kGroup, 0, std::vector<uint8_t>(12, 0));
    AdsDevice other(sim.HostString(), kPlc, 851);
    for (uint32_t i = 0; i < 3; ++i) {
        Subscribe(kGroup, 4 * i, 4, ADS_TRANS_SERVER_ON_CHANGE, i, 0, other.GetLocalPort());
    }
    EXPECT_EQ(3u, sim.NotificationCount());
    sim.ClearRequests();
    EXPECT_EQ(0, AdsPortCloseEx(other.GetLocalPort()));
    EXPECT_EQ(3u, CountCommand(sim, ADS_CMD_DEL_DEVICE_NOTIFICATION));
    EXPECT_EQ(0u, sim.NotificationCount());
}

TEST_F(Notifications, AdsNotificationDeletesTheNotificationBeforeReleasingItsSymbolHandle)
{
    const AdsNotificationAttrib attrib{2, ADS_TRANS_SERVER_ON_CHANGE, 0, 0};
    sim.ClearRequests();
    {
        AdsNotification notification(*device, "MAIN.iInt", attrib, &Recorder::Callback, 7);
        ASSERT_TRUE(Recorder::Get().WaitForCount(1));
        EXPECT_EQ(7u, Recorder::Get().Samples()[0].user);
        EXPECT_EQ(1u, sim.OpenHandleCount());
        EXPECT_EQ(1u, sim.NotificationCount());
    }
    const auto requests = sim.Requests();
    ASSERT_EQ(4u, requests.size());
    EXPECT_EQ(ADS_CMD_READ_WRITE, requests[0].header.cmdId);
    ASSERT_EQ(ADS_CMD_ADD_DEVICE_NOTIFICATION, requests[1].header.cmdId);
    EXPECT_EQ(ADS_IGRP_SYMBOL_VALUE_BY_HANDLE, le::Read<uint32_t>(requests[1].data.data()));
    const uint32_t offset = le::Read<uint32_t>(requests[1].data.data() + 4);
    EXPECT_EQ(ADS_CMD_DEL_DEVICE_NOTIFICATION, requests[2].header.cmdId);
    ASSERT_EQ(ADS_CMD_WRITE, requests[3].header.cmdId);
    EXPECT_EQ(ADS_IGRP_SYMBOL_RELEASE_HANDLE, le::Read<uint32_t>(requests[3].data.data()));
    EXPECT_EQ(offset, le::Read<uint32_t>(requests[3].data.data() + 12)) << "the symbol handle is the offset";
    EXPECT_EQ(0u, sim.OpenHandleCount());
    EXPECT_EQ(0u, sim.NotificationCount());

    // A refused notification still gives the symbol handle back.
    const AdsNotificationAttrib tooLarge{1u << 20, ADS_TRANS_SERVER_ON_CHANGE, 0, 0};
    EXPECT_THROW(AdsNotification(*device, "MAIN.iInt", tooLarge, &Recorder::Callback, 8), AdsException);
    EXPECT_EQ(0u, sim.OpenHandleCount());
}

TEST_F(Notifications, FramesThePathCannotUseAreDroppedAndTheNextOneIsDelivered)
{
    upper::LogCapture log;
    sim.SetMemory(kGroup, 0, std::vector<uint8_t>(4, 0));
    const uint32_t handle = Subscribe(kGroup, 0, 4, ADS_TRANS_SERVER_ON_CHANGE, 5);
    ASSERT_TRUE(Recorder::Get().WaitForCount(1));
    size_t expected = 1;
    auto good = [&](uint8_t tag) {
        auto frame = Frame(port);
        frame.stamps = {Stamp(tag, {Sample(handle, {tag, tag, tag, tag})})};
        return plcsim::BuildNotificationFrame(frame);
    };
    auto sendThenGood = [&](const std::vector<uint8_t>& bad, uint8_t tag, size_t delivered) {
        ASSERT_TRUE(sim.SendRawToLatest(bad));
        ASSERT_TRUE(sim.SendRawToLatest(good(tag)));
        expected += delivered + 1;
        ASSERT_TRUE(Recorder::Get().WaitForCount(expected)) << int{tag};
        const auto got = Recorder::Get().Samples();
        ASSERT_EQ(expected, got.size()) << int{tag};
        EXPECT_EQ((std::vector<uint8_t>{tag, tag, tag, tag}), got.back().data);
    };

    auto noDispatcher = Frame(30099);
    noDispatcher.stamps = {Stamp(1, {Sample(handle, {1, 1, 1, 1})})};
    sendThenGood(plcsim::BuildNotificationFrame(noDispatcher), 10, 0);
    EXPECT_TRUE(log.Contains("No dispatcher found for notification"));

    auto wrongSize = Frame(port);
    wrongSize.stamps = {Stamp(2, {Sample(handle, {2, 2, 2, 2}), Sample(handle, {2, 2, 2}), Sample(handle, {3, 3, 3, 3})})};
    sendThenGood(plcsim::BuildNotificationFrame(wrongSize), 11, 1);
    EXPECT_TRUE(log.Contains("Notification sample size: 3 doesn't match: 4"));

    auto overrun = Frame(port);
    overrun.stamps = {Stamp(3, {Sample(handle, {4, 4, 4, 4})})};
    overrun.claimedStampCount = 100000;
    overrun.stamps[0].claimedSampleCount = 0xFFFFFFFF;
    sendThenGood(plcsim::BuildNotificationFrame(overrun), 12, 1);

    auto oversizedSample = Frame(port);
    oversizedSample.stamps = {Stamp(4, {Sample(handle, {5, 5, 5, 5})})};
    oversizedSample.stamps[0].samples[0].claimedSize = 0x7FFFFFFF;
    sendThenGood(plcsim::BuildNotificationFrame(oversizedSample), 13, 0);

    auto tiny = Frame(port);
    tiny.claimedStampCount = 1;
    auto tinyBytes = plcsim::BuildNotificationFrame(tiny);
    sendThenGood(tinyBytes, 14, 0);
}

// While the callback is held the ring fills; frames that do not fit are dropped whole,
// every frame that fitted is delivered complete and in order, and the path recovers.
TEST_F(Notifications, RingOverflowDropsWholeFramesOnly)
{
    upper::LogCapture log;
    constexpr uint32_t sampleSize = 1000;
    constexpr uint32_t samplesPerFrame = 64;
    constexpr uint32_t frames = 100;
    sim.SetMemory(kGroup, 0, std::vector<uint8_t>(sampleSize, 0));
    const uint32_t handle = Subscribe(kGroup, 0, sampleSize, ADS_TRANS_SERVER_ON_CHANGE, 6);
    ASSERT_TRUE(Recorder::Get().WaitForCount(1));
    Recorder::Get().Reset();

    Recorder::Get().HoldNext();
    for (uint32_t f = 0; f < frames; ++f) {
        auto frame = Frame(port);
        std::vector<plcsim::RawSample> samples;
        for (uint32_t s = 0; s < samplesPerFrame; ++s) {
            std::vector<uint8_t> data(sampleSize, 0);
            le::Write<uint32_t>(data.data(), f * samplesPerFrame + s);
            samples.push_back(Sample(handle, std::move(data)));
        }
        frame.stamps = {Stamp(f, std::move(samples))};
        ASSERT_TRUE(sim.SendRawToLatest(plcsim::BuildNotificationFrame(frame)));
    }
    ASSERT_TRUE(Recorder::Get().WaitUntilHeld());
    // The reply comes after every frame on the same stream: all have been queued or dropped.
    device->GetState();
    Recorder::Get().Release();

    const uint32_t entry = 4 + 8 + 12 + samplesPerFrame * (8 + sampleSize);
    const uint32_t fitting = static_cast<uint32_t>((NotificationDispatcher::DEFAULT_RING_CAPACITY - 1) / entry);
    ASSERT_TRUE(upper::WaitUntil([&] {
        return Recorder::Get().Count() >= fitting * samplesPerFrame &&
               GetRouter().GetConnection(kPlc)->DispatcherListGet(DispatcherKey{port, plc})->ring.BytesUsed() == 0;
    }));
    const auto got = Recorder::Get().Samples();
    ASSERT_EQ(0u, got.size() % samplesPerFrame) << "only whole frames are lost";
    EXPECT_LT(got.size(), size_t{frames} * samplesPerFrame);
    for (size_t i = 0; i < got.size(); ++i) {
        ASSERT_EQ(i, le::Read<uint32_t>(got[i].data.data())) << "delivered in order, none twice";
    }
    EXPECT_TRUE(log.Contains("port " + std::to_string(port) + " receive buffer was full"));

    auto after = Frame(port);
    after.stamps = {Stamp(7, {Sample(handle, std::vector<uint8_t>(sampleSize, 0xEE))})};
    ASSERT_TRUE(sim.SendRawToLatest(plcsim::BuildNotificationFrame(after)));
    ASSERT_TRUE(Recorder::Get().WaitForCount(got.size() + 1));
    EXPECT_EQ(0xEE, Recorder::Get().Samples().back().data[0]);
}

// A route deleted before the port is closed takes its connection and dispatchers with it;
// closing the port afterwards must neither touch the gone connection nor send anything.
TEST_F(Notifications, NotificationsDieWithTheirConnection)
{
    sim.SetMemory(kGroup, 0, std::vector<uint8_t>(4, 0));
    const int32_t lonePort = AdsPortOpenEx();
    const AmsNetId lone{10, 40, 0, 2, 1, 1};
    plcsim::PlcSimulator other;
    other.Start();
    other.SetMemory(kGroup, 0, std::vector<uint8_t>(4, 0));
    ASSERT_EQ(0, plc::ads::AddLocalRoute(lone, other.HostString().c_str()));
    const AmsAddr loneAddr{lone, 851};
    const AdsNotificationAttrib attrib{4, ADS_TRANS_SERVER_ON_CHANGE, 0, 0};
    uint32_t handle = 0;
    ASSERT_EQ(0, AdsSyncAddDeviceNotificationReqEx(lonePort, &loneAddr, kGroup, 0, &attrib, &Recorder::Callback, 1,
                                                   &handle));
    plc::ads::DelLocalRoute(lone);
    EXPECT_TRUE(upper::WaitUntil([&] { return other.ConnectionCount() == 0; }));
    EXPECT_EQ(ADS_ERR_NOTIFICATION_NOT_FOUND, AdsSyncDelDeviceNotificationReqEx(lonePort, &loneAddr, handle));
    EXPECT_EQ(0, AdsPortCloseEx(lonePort));
    EXPECT_EQ(0u, CountCommand(other, ADS_CMD_DEL_DEVICE_NOTIFICATION));
}

} // namespace
