// Device notifications against the simulator: samples reach their own callbacks, deletes are booked
// once, nothing outlives its connection, unusable samples are dropped and counted, a flood arrives in
// order, a full ring drops whole frames.
#include "support/stack.h"

#include "ads/NotificationDispatcher.h"

#include <future>

namespace stack {
namespace {

constexpr uint64_t kClock = 133'000'000'000'000'000ULL;

class Notifications : public StackTest {
protected:
    uint32_t Subscribe(int32_t on, uint32_t group, uint32_t offset, uint32_t length, uint32_t user,
                       uint32_t mode = ADS_TRANS_SERVER_ON_CHANGE, uint32_t cycle = 0)
    {
        const AdsNotificationAttrib attrib{length, mode, 0, cycle};
        uint32_t handle = 0;
        EXPECT_EQ(0, AdsSyncAddDeviceNotificationReqEx(on, &plc, group, offset, &attrib, &Recorder::Callback, user,
                                                       &handle));
        return handle;
    }
    // A notification packet from the PLC to the port, with the given stamps.
    std::vector<uint8_t> Packet(uint16_t to, std::vector<plcsim::RawStamp> stamps,
                                const std::function<void(plcsim::NotificationFrame&)>& edit = nullptr)
    {
        auto frame = sim->FrameForLatestClient();
        EXPECT_TRUE(frame.has_value());
        frame->target.amsPort = to;
        frame->stamps = std::move(stamps);
        if (edit) {
            edit(*frame);
        }
        return plcsim::BuildNotificationFrame(*frame);
    }
    // `count` samples of `size` bytes for `handle`, each starting with its number from `first`.
    std::vector<uint8_t> Numbered(int32_t to, uint32_t handle, uint32_t first, uint32_t count, uint32_t size)
    {
        std::vector<plcsim::RawSample> samples;
        for (uint32_t i = 0; i < count; ++i) {
            std::vector<uint8_t> data(size, 0);
            le::Write<uint32_t>(data.data(), first + i);
            samples.push_back({handle, std::move(data), std::nullopt});
        }
        return Packet(static_cast<uint16_t>(to), {plcsim::RawStamp{first, std::move(samples), std::nullopt}});
    }
};

plcsim::RawStamp Stamp(uint64_t time, std::vector<plcsim::RawSample> samples)
{
    return plcsim::RawStamp{time, std::move(samples), std::nullopt};
}

// The packet cut or padded to `size` bytes, both length fields following.
std::vector<uint8_t> Resized(std::vector<uint8_t> packet, size_t size)
{
    packet.resize(size, 0xFF);
    le::Write<uint32_t>(packet.data() + 2, static_cast<uint32_t>(size - 6));
    le::Write<uint32_t>(packet.data() + 6 + 20, static_cast<uint32_t>(size - 38));
    return packet;
}

TEST_F(Notifications, SamplesReachTheirOwnCallbacksAndDeletesAreBookedOnce)
{
    sim->AddSymbol("TEST.onChange", {1, 2, 3, 4});
    sim->SetClock(kClock);
    AdsDevice device(sim->HostString(), kPlc, 851);
    const uint16_t devicePort = device.GetLocalPort();
    {
        const OwnedHandle symbol = device.GetHandle("TEST.onChange");
        const uint32_t onChange = Subscribe(devicePort, ADS_IGRP_SYMBOL_VALUE_BY_HANDLE, *symbol, 4, 41);
        ASSERT_TRUE(Recorder::WaitForCount(1)) << "the first sample comes right after the grant";
        sim->SetSymbolValue("TEST.onChange", {5, 6, 7, 8});
        ASSERT_TRUE(Recorder::WaitForCount(2));
        const uint32_t cyclic = Subscribe(port, kGroup, 0, 2, 42, ADS_TRANS_SERVER_CYCLE, 100'000 /* 10 ms */);
        ASSERT_TRUE(Recorder::WaitForCount(5));
        std::vector<std::vector<uint8_t>> changes;
        const std::vector<uint8_t> cell = sim->GetMemory(kGroup, 0, 2);
        for (const Sample& s : Recorder::Samples()) {
            EXPECT_TRUE(s.time == kClock && s.source == plc && s.handle == (s.user == 41 ? onChange : cyclic));
            if (s.user == 41) {
                changes.push_back(s.data);
            }
            EXPECT_EQ(s.user == 41 ? s.data : cell, s.data);
        }
        EXPECT_EQ((std::vector<std::vector<uint8_t>>{{1, 2, 3, 4}, {5, 6, 7, 8}}), changes);

        sim->ClearRequests();
        EXPECT_EQ(0, AdsSyncDelDeviceNotificationReqEx(port, &plc, cyclic));
        EXPECT_EQ(0, AdsSyncDelDeviceNotificationReqEx(devicePort, &plc, onChange));
        EXPECT_EQ(2u, Sent(ADS_CMD_DEL_DEVICE_NOTIFICATION));
    }
    EXPECT_EQ(0u, sim->NotificationCount());
    EXPECT_EQ(0u, sim->OpenHandleCount());

    // AdsNotification deletes the notification before it releases the symbol handle it watches.
    const AdsNotificationAttrib attrib{4, ADS_TRANS_SERVER_ON_CHANGE, 0, 0};
    sim->ClearRequests();
    {
        const AdsNotification watched(device, "TEST.onChange", attrib, &Recorder::Callback, 7);
        EXPECT_EQ(1u, sim->NotificationCount());
    }
    const auto requests = sim->Requests();
    ASSERT_EQ(4u, requests.size());
    EXPECT_EQ(ADS_CMD_DEL_DEVICE_NOTIFICATION, requests[2].header.cmdId) << "deleted before the handle is released";
    EXPECT_EQ(le::Read<uint32_t>(requests[1].data.data() + 4), le::Read<uint32_t>(requests[3].data.data() + 12))
        << "the released handle is the one watched";
    // A refused notification still gives its symbol handle back.
    const AdsNotificationAttrib tooLarge{1u << 20, ADS_TRANS_SERVER_ON_CHANGE, 0, 0};
    EXPECT_THROW(AdsNotification(device, "TEST.onChange", tooLarge, &Recorder::Callback, 8), AdsException);
    EXPECT_EQ(0u, sim->OpenHandleCount());

    // Closing a port deletes its notifications on the PLC.
    for (uint32_t i = 0; i < 3; ++i) {
        Subscribe(devicePort, kGroup, 4 * i, 4, i);
    }
    sim->ClearRequests();
    EXPECT_EQ(0, AdsPortCloseEx(devicePort));
    EXPECT_EQ(3u, Sent(ADS_CMD_DEL_DEVICE_NOTIFICATION));
    EXPECT_EQ(0u, sim->NotificationCount());

    // A delete the PLC answers too late times out and forgets its notification; the device then deletes the
    // others without waiting, so that none is left streaming when the PLC answers again.
    AdsDevice slow(sim->HostString(), kPlc, 851);
    slow.SetTimeout(100);
    std::vector<OwnedHandle> cyclic;
    for (uint32_t i = 0; i < 3; ++i) {
        const AdsNotificationAttrib every10ms{4, ADS_TRANS_SERVER_CYCLE, 0, 100'000};
        cyclic.push_back(slow.GetHandle(kGroup, 4 * i, every10ms, &Recorder::Callback, i));
    }
    const uint32_t first = *cyclic[0];
    sim->InjectReplyFault(ReplyFault::Delay(300ms).For(ADS_CMD_DEL_DEVICE_NOTIFICATION).Times(ReplyFault::kForever));
    sim->ClearRequests();
    const auto start = Clock::now();
    for (OwnedHandle& h : cyclic) {
        h.reset();
    }
    EXPECT_LT(ElapsedMs(start), 280) << "one time-out, not three";
    EXPECT_EQ(ADS_ERR_NOTIFICATION_NOT_FOUND, slow.DeleteNotificationHandle(first));
    EXPECT_TRUE(WaitUntil([&] { return sim->NotificationCount() == 0; }));
    EXPECT_EQ(3u, Sent(ADS_CMD_DEL_DEVICE_NOTIFICATION));
}

// Deletes, a port close and a subscription under way while their connection is given up and its route added
// again: nothing calls into the connection after its end, and the grant that comes too late is refused.
TEST_F(Notifications, WhatIsUnderWayWhenAConnectionIsGivenUpNeverOutlivesIt)
{
    // The port being closed deletes first on another PLC (its address sorts first), then on this one.
    plcsim::PlcSimulator slower;
    slower.Start();
    slower.SetMemory(kGroup, 0, {1, 2, 3, 4});
    const AmsAddr first{AmsNetId{10, 20, 0, 0, 1, 1}, 851};
    ASSERT_EQ(0, plc::ads::AddLocalRoute(first.amsNetId, slower.HostString().c_str()));
    const int32_t closing = OpenPort(1000);
    const int32_t deleting = OpenPort(1000);
    const int32_t subscribing = OpenPort(1000);
    const AdsNotificationAttrib attrib{4, ADS_TRANS_SERVER_ON_CHANGE, 0, 0};
    uint32_t handle = 0;
    ASSERT_EQ(0,
              AdsSyncAddDeviceNotificationReqEx(closing, &first, kGroup, 0, &attrib, &Recorder::Callback, 0, &handle));
    Subscribe(closing, kGroup, 0, 4, 1);
    Subscribe(closing, kGroup, 4, 4, 2);
    handle = Subscribe(deleting, kGroup, 8, 4, 3);
    slower.InjectReplyFault(ReplyFault::Delay(200ms));
    sim->InjectReplyFault(ReplyFault::Delay(100ms).For(ADS_CMD_DEL_DEVICE_NOTIFICATION).Times(ReplyFault::kForever));
    sim->ClearRequests();
    auto closed = std::async(std::launch::async, [&] { return AdsPortCloseEx(closing); });
    auto deleted =
        std::async(std::launch::async, [&] { return AdsSyncDelDeviceNotificationReqEx(deleting, &plc, handle); });
    ASSERT_TRUE(slower.WaitForRequests([](const std::vector<plcsim::Request>& r) { return r.size() >= 2; }, 5s));
    AwaitRequest(1);
    plc::ads::DelLocalRoute(kPlc); // its last route: the connection is given up under the delete and the close
    EXPECT_EQ(0, deleted.get());
    EXPECT_EQ(0, closed.get());
    plc::ads::DelLocalRoute(first.amsNetId);

    ASSERT_EQ(0, plc::ads::AddLocalRoute(kPlc, sim->HostString().c_str()));
    sim->InjectReplyFault(ReplyFault::Delay(150ms).For(ADS_CMD_ADD_DEVICE_NOTIFICATION));
    sim->ClearRequests();
    auto late = std::async(std::launch::async, [&] {
        uint32_t granted = 0;
        return AdsSyncAddDeviceNotificationReqEx(subscribing, &plc, kGroup, 0, &attrib, &Recorder::Callback, 4,
                                                 &granted);
    });
    AwaitRequest(1);
    plc::ads::DelLocalRoute(kPlc);
    ASSERT_EQ(0, plc::ads::AddLocalRoute(kPlc, sim->HostString().c_str()));
    EXPECT_EQ(ADS_ERR_TARGET_NOT_FOUND, late.get()) << "granted on the connection given up";
    EXPECT_EQ(0, AdsPortCloseEx(subscribing));
    sim->ClearReplyFaults();
    ExpectHealthy(port);
}

TEST_F(Notifications, FramesThePathCannotUseAreDroppedAndCountedAndTheNextOneArrives)
{
    LogCapture log;
    const uint32_t handle = Subscribe(port, kGroup, 0, 4, 5);
    ASSERT_TRUE(Recorder::WaitForCount(1));
    const plcsim::RawSample good{handle, {4, 4, 4, 4}, std::nullopt};
    const plcsim::RawSample huge{handle, std::vector<uint8_t>(NotificationDispatcher::DEFAULT_RING_CAPACITY), {}};
    const auto two = Packet(port, {Stamp(3, {good, good})});
    using Frame = plcsim::NotificationFrame;
    struct Case {
        const char* what;
        std::vector<uint8_t> packet;
        size_t delivered; // good samples of the bad frame itself
    };
    const Case cases[] = {
        {"no dispatcher for the port", Packet(30099, {Stamp(1, {good})}), 0},
        {"unknown handle", Packet(port, {Stamp(1, {{0xDEAD, {1}, std::nullopt}, good})}), 1},
        {"wrong sample size", Packet(port, {Stamp(2, {good, {handle, {2, 2, 2}, std::nullopt}, good})}), 2},
        {"counts overrun",
         Packet(port, {Stamp(3, {good})}, [](Frame& f) { f.claimedStampCount = f.stamps[0].claimedSampleCount = ~0u; }),
         1},
        {"sample beyond the frame",
         Packet(port, {Stamp(4, {good})}, [](Frame& f) { f.stamps[0].samples[0].claimedSize = ~0u; }), 0},
        {"a stamp claimed, none sent", Packet(port, {}, [](Frame& f) { f.claimedStampCount = 1; }), 0},
        {"cut inside a size field", Resized(two, two.size() - 6), 1},
        {"cut inside a handle field", Resized(two, two.size() - 10), 1},
        {"bytes after the last stamp", Resized(two, two.size() + 13), 2},
        {"stream length lies", Packet(port, {Stamp(5, {good})}, [](Frame& f) { f.claimedStreamLength = ~0u; }), 1},
        {"AMS length beyond the packet",
         Packet(port, {Stamp(6, {good})}, [](Frame& f) { f.claimedAmsLength = ~3u; }), 0},
        {"larger than the ring", Packet(port, {Stamp(7, {huge})}), 0},
    };
    size_t expected = 1;
    uint8_t tag = 10;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        ASSERT_TRUE(sim->SendRawToLatest(c.packet));
        ASSERT_TRUE(sim->SendRawToLatest(Packet(port, {Stamp(tag, {{handle, {tag, tag, tag, tag}, std::nullopt}})})));
        expected += c.delivered + 1;
        ASSERT_TRUE(Recorder::WaitForCount(expected));
        const auto got = Recorder::Samples();
        ASSERT_EQ(expected, got.size());
        EXPECT_EQ(std::vector<uint8_t>(4, tag), got.back().data);
        EXPECT_EQ(tag++, got.back().time);
        for (size_t i = expected - 1 - c.delivered; i + 1 < expected; ++i) {
            EXPECT_EQ(good.data, got[i].data);
        }
    }
    const auto n = Counters();
    EXPECT_EQ(std::make_tuple(1u, 1u, 1u), std::make_tuple(n.unknownHandle, n.sizeMismatch, n.ringFull));
    EXPECT_TRUE(log.Contains("No dispatcher found for notification"));
    EXPECT_TRUE(log.Contains("Notification sample size: 3 doesn't match: 4"));
    EXPECT_TRUE(log.Contains("port " + std::to_string(port) + " receive buffer was full"));
    ExpectHealthy(port);

    // A handle the PLC grants while a live notification holds it tells neither apart: the grant
    // is refused, the handle is deleted once for each grant, and the earlier owner learns that
    // its notification is gone, so that no sample reaches the wrong callback.
    sim->ClearRequests();
    sim->SetRequestHook([&](const plcsim::Request& r) -> std::optional<std::vector<uint8_t>> {
        return r.header.cmdId == ADS_CMD_ADD_DEVICE_NOTIFICATION ? std::optional(Words({0, handle})) : std::nullopt;
    });
    const AdsNotificationAttrib twoBytes{2, ADS_TRANS_SERVER_ON_CHANGE, 0, 0};
    uint32_t again = 0;
    EXPECT_EQ(ADS_ERR_INVALID_RESPONSE,
              AdsSyncAddDeviceNotificationReqEx(port, &plc, kGroup, 0, &twoBytes, &Recorder::Callback, 6, &again));
    sim->SetRequestHook(nullptr);
    EXPECT_TRUE(sim->WaitForRequests(
        [&](const std::vector<plcsim::Request>& all) {
            return std::count_if(all.begin(), all.end(), [&](const plcsim::Request& r) {
                       return r.header.cmdId == ADS_CMD_DEL_DEVICE_NOTIFICATION && r.data.size() == 4 &&
                              le::Read<uint32_t>(r.data.data()) == handle;
                   }) == 2;
        },
        2s));
    const auto lost = plc::ads::TakeLostNotifications(port);
    ASSERT_EQ(1u, lost.size());
    EXPECT_EQ(5u, lost[0].userValue);
    ASSERT_TRUE(sim->SendRawToLatest(Packet(port, {Stamp(tag, {{handle, {tag, tag}, std::nullopt}})})));
    EXPECT_TRUE(WaitUntil([&] { return Counters().unknownHandle == n.unknownHandle + 1; }, 2s));
    EXPECT_EQ(expected, Recorder::Samples().size());

    // The last route takes the connection and its notifications along; the port then sends nothing.
    sim->ClearRequests();
    plc::ads::DelLocalRoute(kPlc);
    EXPECT_TRUE(WaitUntil([&] { return sim->ConnectionCount() == 0; }));
    EXPECT_EQ(ADS_ERR_NOTIFICATION_NOT_FOUND, AdsSyncDelDeviceNotificationReqEx(port, &plc, handle));
    EXPECT_EQ(0, AdsPortCloseEx(port));
    EXPECT_EQ(0u, sim->RequestCount());
}

// A flood to two ports arrives once, in order, at its own callbacks. Then, with the callback held, the
// ring fills: frames that do not fit are dropped whole and counted, and the path recovers.
TEST_F(Notifications, AFloodArrivesInOrderAndAFullRingDropsWholeFramesOnly)
{
    sim->SetMemory(kGroup + 1, 0, std::vector<uint8_t>(1000, 0));
    const int32_t second = OpenPort();
    const uint32_t handles[2] = {Subscribe(port, kGroup + 1, 0, 4, 0), Subscribe(second, kGroup + 1, 4, 4, 1)};
    ASSERT_TRUE(Recorder::WaitForCount(2));
    Recorder::Reset();
    constexpr uint32_t perPacket = 4000;
    constexpr uint32_t packets = 16;
    for (uint32_t n = 0; n < packets; ++n) {
        ASSERT_TRUE(sim->SendRawToLatest(Numbered(n % 2 ? second : port, handles[n % 2], n * perPacket, perPacket, 4)));
    }
    ASSERT_TRUE(Recorder::WaitForCount(packets * perPacket));
    uint32_t next[2] = {0, perPacket}; // each port gets every other packet
    for (const Sample& sample : Recorder::Samples()) {
        ASSERT_EQ(handles[sample.user], sample.handle);
        ASSERT_EQ(next[sample.user], le::Read<uint32_t>(sample.data.data()));
        next[sample.user] += (next[sample.user] + 1) % perPacket ? 1 : perPacket + 1;
    }
    EXPECT_EQ(0u, Counters().Dropped());

    constexpr uint32_t sampleSize = 1000;
    constexpr uint32_t perFrame = 64;
    constexpr uint32_t frames = 100;
    const uint32_t big = Subscribe(port, kGroup + 1, 0, sampleSize, 0);
    ASSERT_TRUE(Recorder::WaitForCount(packets * perPacket + 1));
    Recorder::Reset();
    Recorder::Hold(true);
    for (uint32_t f = 0; f < frames; ++f) {
        ASSERT_TRUE(sim->SendRawToLatest(Numbered(port, big, f * perFrame, perFrame, sampleSize)));
    }
    ASSERT_TRUE(Recorder::WaitForCount(1));
    ExpectHealthy(port); // its reply comes after every frame: all of them are queued or dropped
    Recorder::Hold(false);
    const size_t kept = frames - Counters().ringFull; // final: every frame is queued or dropped by now
    EXPECT_GE(kept, (NotificationDispatcher::DEFAULT_RING_CAPACITY - 1) / (4 + 8 + 12 + perFrame * (8 + sampleSize)));
    EXPECT_LT(kept, frames);
    ASSERT_TRUE(Recorder::WaitForCount(kept * perFrame));
    // The path recovers: one more frame arrives, numbered on from the last frame kept.
    ASSERT_TRUE(sim->SendRawToLatest(Numbered(port, big, static_cast<uint32_t>(kept * perFrame), 1, sampleSize)));
    ASSERT_TRUE(Recorder::WaitForCount(kept * perFrame + 1));
    const auto got = Recorder::Samples();
    ASSERT_EQ(kept * perFrame + 1, got.size()) << "whole frames only";
    for (size_t i = 0; i < got.size(); ++i) {
        ASSERT_EQ(i, le::Read<uint32_t>(got[i].data.data())) << "in order, none twice";
    }
}

// One byte of the ring's capacity is never handed out, so a full ring is never taken for an empty
// one; bytes come back whole and in order across the wrap.
TEST(NotificationRing, HoldsOneByteLessThanItsCapacityAcrossTheWrap)
{
    constexpr size_t capacity = 5000;
    RingBuffer ring(capacity);
    std::vector<uint8_t> in(2 * capacity);
    std::vector<uint8_t> out(2 * capacity);
    for (size_t i = 0; i < in.size(); ++i) {
        in[i] = static_cast<uint8_t>(i * 13 + i / 256);
    }
    EXPECT_FALSE(ring.Reserve(capacity));
    size_t written = 0;
    size_t read = 0;
    for (const size_t n : {capacity - 1, size_t{3000}}) {
        // Filled the way the receive path fills it: reserved, then chunk by chunk up to the block's end.
        ASSERT_EQ(n, ring.BytesFree());
        ASSERT_TRUE(ring.Reserve(n));
        for (const size_t end = written + n; written < end;) {
            const size_t chunk = std::min(end - written, ring.WriteChunk());
            ASSERT_NE(0u, chunk);
            std::copy_n(in.begin() + static_cast<std::ptrdiff_t>(written), chunk, ring.WritePointer());
            ring.CommitWrite(chunk);
            written += chunk;
        }
        EXPECT_EQ(0u, ring.BytesFree());
        EXPECT_FALSE(ring.Reserve(1));
        EXPECT_EQ(0u, ring.WriteChunk());
        ring.Read(out.data() + read, 3000);
        read += 3000;
    }
    ring.Read(out.data() + read, written - read);
    EXPECT_TRUE(std::equal(in.begin(), in.begin() + static_cast<std::ptrdiff_t>(written), out.begin()));
}

} // namespace
} // namespace stack
