// Every switchable misbehaviour does what it claims; recording and raw sending.
#include "sim/support/RawClient.h"

#include "ads/LittleEndian.h"

#include <gtest/gtest.h>

using namespace simtest;
using plcsim::ReplyFault;
namespace le = plc::ads::le;

namespace {

class Faults : public ::testing::Test {
protected:
    void SetUp() override { sim.Start(); }
    plcsim::PlcSimulator sim;
};

TEST_F(Faults, DelayHoldsOnlyTheAffectedReply)
{
    sim.InjectReplyFault(ReplyFault::Delay(150ms).For(ADS_CMD_READ_STATE));
    RawClient c(sim.Port());
    const auto start = std::chrono::steady_clock::now();
    const uint32_t slow = c.Send(ADS_CMD_READ_STATE, {});
    const uint32_t fast = c.Send(ADS_CMD_READ_DEVICE_INFO, {});
    auto first = c.ReceiveReply();
    auto second = c.ReceiveReply();
    ASSERT_TRUE(first && second);
    EXPECT_EQ(first->header.invokeId, fast);
    EXPECT_EQ(second->header.invokeId, slow);
    EXPECT_EQ(second->data, Cat({U32(0), U16(ADSSTATE_RUN), U16(0)}));
    EXPECT_GE(std::chrono::steady_clock::now() - start, 150ms);
}

TEST_F(Faults, DropCountsOnlyMatchingCommands)
{
    sim.InjectReplyFault(ReplyFault::Drop().For(ADS_CMD_READ).Times(2));
    RawClient c(sim.Port());
    const Bytes read = ReadReq(ADS_IGRP_SYMBOL_VALUE_BY_HANDLE, 1, 1);
    c.Send(ADS_CMD_READ, read);
    c.Send(ADS_CMD_READ, read);
    const uint32_t state = c.Send(ADS_CMD_READ_STATE, {});
    auto r = c.ReceiveReply();
    ASSERT_TRUE(r);
    EXPECT_EQ(r->header.invokeId, state);
    EXPECT_EQ(sim.PendingReplyFaults(), 0u);
    EXPECT_TRUE(c.Call(ADS_CMD_READ, read));
}

TEST_F(Faults, HeaderAndLengthFaultsChangeExactlyTheirField)
{
    RawClient c(sim.Port());
    sim.InjectReplyFault(ReplyFault::WrongInvokeId());
    uint32_t invoke = c.Send(ADS_CMD_READ_STATE, {});
    auto r = c.ReceiveReply();
    ASSERT_TRUE(r);
    EXPECT_EQ(r->header.invokeId, invoke ^ 0x80000000u);

    sim.InjectReplyFault(ReplyFault::UnknownCommand(0x55));
    r = c.Call(ADS_CMD_READ_STATE, {});
    ASSERT_TRUE(r);
    EXPECT_EQ(r->header.cmdId, 0x55);
    EXPECT_EQ(r->data.size(), 8u);

    sim.InjectReplyFault(ReplyFault::AmsError(1793));
    r = c.Call(ADS_CMD_READ_STATE, {});
    ASSERT_TRUE(r);
    EXPECT_EQ(r->header.errorCode, 1793u);

    sim.InjectReplyFault(ReplyFault::Oversized());
    r = c.Call(ADS_CMD_READ_STATE, {});
    ASSERT_TRUE(r);
    EXPECT_EQ(r->header.length, 8u + 16u);
    EXPECT_EQ(r->tcp.length, 32u + 8u + 16u);
    EXPECT_EQ(r->data.size(), 24u);

    sim.InjectReplyFault(ReplyFault::Undersized());
    r = c.Call(ADS_CMD_READ, ReadReq(0x1, 0, 4));
    ASSERT_TRUE(r);
    EXPECT_EQ(r->header.length, 2u);
    EXPECT_EQ(r->tcp.length, 34u);
    invoke = c.Send(ADS_CMD_READ_STATE, {}); // the stream is still aligned
    r = c.ReceiveReply();
    ASSERT_TRUE(r);
    EXPECT_EQ(r->header.invokeId, invoke);

    sim.InjectReplyFault(ReplyFault::ShortFrameBefore());
    invoke = c.Send(ADS_CMD_READ_STATE, {});
    auto junk = c.Receive();
    ASSERT_TRUE(junk);
    EXPECT_FALSE(junk->hasHeader);
    EXPECT_EQ(junk->tcp.length, 10u);
    r = c.ReceiveReply();
    ASSERT_TRUE(r);
    EXPECT_EQ(r->header.invokeId, invoke);

    sim.InjectReplyFault(ReplyFault::Split());
    invoke = c.Send(ADS_CMD_READ_DEVICE_INFO, {});
    r = c.ReceiveReply();
    ASSERT_TRUE(r);
    EXPECT_EQ(r->header.invokeId, invoke);
    EXPECT_EQ(r->data.size(), 24u);
}

TEST_F(Faults, CloseAndResetBeforeInsideAndAfterTheReply)
{
    struct Case {
        ReplyFault fault;
        size_t bytes; // of the 46-byte ReadState reply that arrive
        RawClient::End end;
    };
    const Case cases[] = {
        {ReplyFault::CloseBefore(), 0, RawClient::End::Closed},
        {ReplyFault::CloseInside(), 42, RawClient::End::Closed},
        {ReplyFault::CloseInside(7), 7, RawClient::End::Closed},
        {ReplyFault::CloseAfter(), 46, RawClient::End::Closed},
        {ReplyFault::ResetBefore(), 0, RawClient::End::Reset},
    };
    for (const auto& tc : cases) {
        SCOPED_TRACE(static_cast<int>(tc.fault.kind));
        RawClient c(sim.Port());
        sim.InjectReplyFault(tc.fault);
        c.Send(ADS_CMD_READ_STATE, {});
        EXPECT_EQ(c.ReceiveRaw(46).size(), tc.bytes); // returns early at the end of the stream
        EXPECT_EQ(c.WaitForEnd(), tc.end);
    }
    // With a reset, bytes already sent may be discarded by the peer's stack; only the reset is certain.
    for (const auto& fault : {ReplyFault::ResetInside(), ReplyFault::ResetAfter()}) {
        RawClient c(sim.Port());
        sim.InjectReplyFault(fault);
        c.Send(ADS_CMD_READ_STATE, {});
        c.ReceiveRaw(46);
        EXPECT_EQ(c.WaitForEnd(), RawClient::End::Reset);
    }
    EXPECT_TRUE(plcsim::WaitUntil([&] { return sim.ConnectionCount() == 0; }, 3s));
}

TEST_F(Faults, SilentReadsButNeitherRepliesNorNotifies)
{
    RawClient c(sim.Port());
    const uint32_t h = c.Handle("MAIN.down");
    ASSERT_TRUE(c.Call(ADS_CMD_ADD_DEVICE_NOTIFICATION, AddNotificationReq(ADS_IGRP_SYMBOL_VALUE_BY_HANDLE, h, 2,
                                                                           ADS_TRANS_SERVER_CYCLE, 10000)));
    sim.SetSilent(true);
    c.notifications.clear();
    while (c.Receive(20ms)) { // what was already on its way
    }
    c.Send(ADS_CMD_READ_STATE, {});
    EXPECT_TRUE(sim.WaitForRequests([](const auto& r) { return r.back().header.cmdId == ADS_CMD_READ_STATE; }, 3s));
    EXPECT_FALSE(c.Receive(100ms));
    EXPECT_EQ(sim.ConnectionCount(), 1u);
    sim.SetSilent(false);
    EXPECT_TRUE(c.Call(ADS_CMD_READ_STATE, {}));
}

TEST_F(Faults, DropConnectionsKeepsListening)
{
    RawClient a(sim.Port());
    RawClient b(sim.Port());
    ASSERT_TRUE(plcsim::WaitUntil([&] { return sim.ConnectionCount() == 2; }, 3s));
    sim.DropConnections();
    EXPECT_EQ(a.WaitForEnd(), RawClient::End::Closed);
    EXPECT_EQ(b.WaitForEnd(), RawClient::End::Closed);
    RawClient c(sim.Port());
    EXPECT_TRUE(c.Call(ADS_CMD_READ_STATE, {}));
    EXPECT_EQ(sim.AcceptedCount(), 3u);
}

TEST_F(Faults, RawFramesAndFlood)
{
    EXPECT_FALSE(sim.FrameForLatestClient());
    RawClient older(sim.Port());
    RawClient c(sim.Port());
    ASSERT_TRUE(plcsim::WaitUntil([&] { return sim.ConnectionCount() == 2; }, 3s));
    const uint32_t h = c.Handle("MAIN.bBool");
    auto add = c.Call(ADS_CMD_ADD_DEVICE_NOTIFICATION,
                      AddNotificationReq(ADS_IGRP_SYMBOL_VALUE_BY_HANDLE, h, 1, ADS_TRANS_SERVER_ON_CHANGE));
    ASSERT_TRUE(add);
    const uint32_t notification = le::Read<uint32_t>(add->data.data() + 4);
    c.notifications.clear();
    while (c.Receive(20ms)) {
    }

    auto frame = sim.FrameForLatestClient();
    ASSERT_TRUE(frame);
    EXPECT_EQ(frame->target, ClientAddr());
    EXPECT_EQ(frame->source, PlcAddr());
    frame->stamps.push_back({7, {{0xBAD, {1, 2, 3}, 99}}, std::nullopt});
    frame->claimedStampCount = 5;
    const Bytes bytes = plcsim::BuildNotificationFrame(*frame);
    const Bytes payload = Cat({U32(4 + 12 + 8 + 3), U32(5), {7, 0, 0, 0, 0, 0, 0, 0}, U32(1), U32(0xBAD), U32(99), {1, 2, 3}});
    ASSERT_EQ(bytes.size(), 38 + payload.size());
    EXPECT_EQ(Bytes(bytes.begin() + 38, bytes.end()), payload);
    EXPECT_TRUE(sim.SendRawToLatest(bytes));
    auto p = c.Receive();
    ASSERT_TRUE(p);
    EXPECT_EQ(p->header.cmdId, ADS_CMD_DEVICE_NOTIFICATION);
    EXPECT_EQ(p->header.length, payload.size());
    EXPECT_EQ(p->data, payload);

    EXPECT_EQ(sim.SendRaw({0xAB}), 2u);
    EXPECT_EQ(older.ReceiveRaw(1), Bytes({0xAB}));
    EXPECT_EQ(c.ReceiveRaw(1), Bytes({0xAB}));

    constexpr size_t kFrames = 20;
    constexpr size_t kPayload = 64 * 1024;
    EXPECT_EQ(sim.Flood(kFrames, kPayload), kFrames);
    for (size_t i = 0; i < kFrames; ++i) {
        auto f = c.Receive();
        ASSERT_TRUE(f);
        ASSERT_EQ(f->header.length, kPayload);
        auto samples = ParseSamples(f->data);
        ASSERT_TRUE(samples);
        ASSERT_EQ(samples->size(), 1u);
        EXPECT_EQ((*samples)[0].handle, notification);
    }
}

TEST_F(Faults, RecordingHookAndLimit)
{
    RawClient c(sim.Port());
    c.Send(ADS_CMD_WRITE, WriteReq(0x1, 2, {3}), PlcAddr(801));
    ASSERT_TRUE(c.ReceiveReply());
    EXPECT_TRUE(sim.WaitForRequests([](const auto& r) { return r.size() == 1; }, 3s));
    EXPECT_FALSE(sim.WaitForRequests([](const auto& r) { return r.size() == 2; }, 20ms));
    auto reqs = sim.Requests();
    ASSERT_EQ(reqs.size(), 1u);
    EXPECT_EQ(reqs[0].connection, 1u);
    EXPECT_EQ(reqs[0].header.cmdId, ADS_CMD_WRITE);
    EXPECT_EQ(reqs[0].header.Target(), PlcAddr(801));
    EXPECT_EQ(reqs[0].data, WriteReq(0x1, 2, {3}));
    EXPECT_EQ(reqs[0].raw.size(), 6u + 32u + 13u);
    EXPECT_EQ(Bytes(reqs[0].raw.begin() + 38, reqs[0].raw.end()), reqs[0].data);

    sim.SetRequestHook([](const plcsim::Request& r) -> std::optional<Bytes> {
        if (r.header.cmdId == ADS_CMD_READ_STATE) {
            return Cat({U32(0), U16(99), U16(1)});
        }
        return std::nullopt;
    });
    auto r = c.Call(ADS_CMD_READ_STATE, {});
    ASSERT_TRUE(r);
    EXPECT_EQ(r->data, Cat({U32(0), U16(99), U16(1)}));
    sim.SetRequestHook(nullptr);

    sim.ClearRequests();
    sim.SetRecordLimit(8);
    uint32_t last = 0;
    for (int i = 0; i < 40; ++i) {
        last = c.Send(ADS_CMD_READ_STATE, {});
        ASSERT_TRUE(c.ReceiveReply());
    }
    EXPECT_LE(sim.RequestCount(), 8u);
    EXPECT_GE(sim.RequestCount(), 1u);
    EXPECT_EQ(sim.Requests().back().header.invokeId, last);
}

} // namespace
