// Reply bytes of every command against the raw memory model and the device model.
#include "sim/support/RawClient.h"

#include "ads/LittleEndian.h"

#include <gtest/gtest.h>

#include <random>

using namespace simtest;
namespace le = plc::ads::le;

namespace {

class Commands : public ::testing::Test {
protected:
    void SetUp() override
    {
        sim.Start();
        sim.SetMemory(0x4020, 100, {1, 2, 3, 4, 5, 6, 7, 8});
    }
    plcsim::PlcSimulator sim;
};

TEST_F(Commands, ReplyHeaderSwapsAddressesAndKeepsInvokeIdForAnyTarget)
{
    RawClient c(sim.Port());
    const AmsAddr other{AmsNetId{10, 20, 30, 40, 5, 6}, 801};
    for (const AmsAddr& target : {PlcAddr(), other}) {
        const uint32_t invoke = c.Send(ADS_CMD_READ_STATE, {}, target);
        auto r = c.ReceiveReply();
        ASSERT_TRUE(r && r->hasHeader);
        EXPECT_EQ(r->tcp.length, 32u + 8u);
        EXPECT_EQ(r->header.Target(), ClientAddr());
        EXPECT_EQ(r->header.Source(), target);
        EXPECT_EQ(r->header.cmdId, ADS_CMD_READ_STATE);
        EXPECT_EQ(r->header.stateFlags, 5);
        EXPECT_EQ(r->header.length, 8u);
        EXPECT_EQ(r->header.errorCode, 0u);
        EXPECT_EQ(r->header.invokeId, invoke);
    }
}

TEST_F(Commands, DeviceInfoStateAndWriteControl)
{
    sim.SetDeviceInfo("A name longer than sixteen", AdsVersion{2, 11, 1234});
    RawClient c(sim.Port());
    auto info = c.Call(ADS_CMD_READ_DEVICE_INFO, {});
    ASSERT_TRUE(info);
    Bytes expected = Cat({U32(0), {2, 11}, U16(1234)});
    const std::string name = "A name longer th";
    expected.insert(expected.end(), name.begin(), name.end());
    EXPECT_EQ(info->data, expected);

    sim.SetDeviceInfo("short", AdsVersion{1, 0, 7});
    info = c.Call(ADS_CMD_READ_DEVICE_INFO, {});
    ASSERT_TRUE(info);
    ASSERT_EQ(info->data.size(), 24u);
    EXPECT_EQ(Bytes(info->data.begin() + 8, info->data.end()), Bytes({'s', 'h', 'o', 'r', 't', 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}));

    auto state = c.Call(ADS_CMD_READ_STATE, {});
    ASSERT_TRUE(state);
    EXPECT_EQ(state->data, Cat({U32(0), U16(ADSSTATE_RUN), U16(0)}));

    auto control = c.Call(ADS_CMD_WRITE_CONTROL, Cat({U16(ADSSTATE_STOP), U16(9), U32(0)}));
    ASSERT_TRUE(control);
    EXPECT_EQ(control->data, U32(0));
    EXPECT_EQ(sim.AdsState(), ADSSTATE_STOP);
    EXPECT_EQ(sim.DeviceState(), 9);
    state = c.Call(ADS_CMD_READ_STATE, {});
    ASSERT_TRUE(state);
    EXPECT_EQ(state->data, Cat({U32(0), U16(ADSSTATE_STOP), U16(9)}));
}

TEST_F(Commands, ReadWriteAndReadWriteOnMemory)
{
    RawClient c(sim.Port());
    auto r = c.Call(ADS_CMD_READ, ReadReq(0x4020, 102, 4));
    ASSERT_TRUE(r);
    EXPECT_EQ(r->data, Cat({U32(0), U32(4), {3, 4, 5, 6}}));

    auto w = c.Call(ADS_CMD_WRITE, WriteReq(0x4020, 106, {0xAA, 0xBB}));
    ASSERT_TRUE(w);
    EXPECT_EQ(w->data, U32(0));
    EXPECT_EQ(sim.GetMemory(0x4020, 104, 10), Bytes({5, 6, 0xAA, 0xBB}));

    auto rw = c.Call(ADS_CMD_READ_WRITE, ReadWriteReq(0x4020, 100, 3, {9}));
    ASSERT_TRUE(rw);
    EXPECT_EQ(rw->data, Cat({U32(0), U32(3), {9, 2, 3}}));
}

TEST_F(Commands, ErrorsComeBackAsResultWithoutData)
{
    RawClient c(sim.Port());
    struct Case {
        uint16_t cmd;
        Bytes payload;
        Bytes reply;
    };
    const Case cases[] = {
        {ADS_CMD_READ, ReadReq(0x9999, 0, 4), Cat({U32(0x702), U32(0)})},     // unknown group
        {ADS_CMD_READ, ReadReq(0x4020, 0, 4), Cat({U32(0x703), U32(0)})},     // before the region
        {ADS_CMD_READ, ReadReq(0x4020, 108, 1), Cat({U32(0x703), U32(0)})},   // just past it
        {ADS_CMD_READ, ReadReq(0x4020, 104, 8), Cat({U32(0x705), U32(0)})},   // runs over its end
        {ADS_CMD_WRITE, WriteReq(0x4020, 107, {1, 2}), U32(0x705)},
        {ADS_CMD_READ, Bytes{1, 2, 3}, Cat({U32(0x705), U32(0)})},            // truncated payloads
        {ADS_CMD_WRITE, Cat({U32(0x4020), U32(100), U32(50), {1}}), U32(0x705)},
        {ADS_CMD_READ_WRITE, Cat({U32(0x4020), U32(100), U32(1), U32(9)}), Cat({U32(0x705), U32(0)})},
        {ADS_CMD_WRITE_CONTROL, Bytes{5}, U32(0x705)},
        {ADS_CMD_DEL_DEVICE_NOTIFICATION, Bytes{}, U32(0x705)},
        {ADS_CMD_READ_WRITE, ReadWriteReq(ADS_IGRP_FILE_OPEN, 0, 4, {'f'}), Cat({U32(0x701), U32(0)})},
        {0, Bytes{}, U32(0x701)},                                             // unknown commands
        {77, Bytes{1, 2, 3, 4}, U32(0x701)},
    };
    for (const auto& tc : cases) {
        SCOPED_TRACE("cmd " + std::to_string(tc.cmd));
        auto r = c.Call(tc.cmd, tc.payload);
        ASSERT_TRUE(r);
        EXPECT_EQ(r->header.cmdId, tc.cmd);
        EXPECT_EQ(r->data, tc.reply);
    }
    EXPECT_EQ(sim.GetMemory(0x4020, 100, 8), Bytes({1, 2, 3, 4, 5, 6, 7, 8}));
}

TEST_F(Commands, ResponsesAndNotificationsFromClientsAreRecordedButNotAnswered)
{
    RawClient c(sim.Port());
    c.Send(ADS_CMD_DEVICE_NOTIFICATION, U32(0));
    plc::ads::AoEHeader h;
    h.cmdId = ADS_CMD_READ_STATE;
    h.stateFlags = plc::ads::AoEHeader::AMS_RESPONSE;
    Bytes resp(38);
    plc::ads::AmsTcpHeader tcp;
    tcp.length = 32;
    tcp.Encode(resp.data());
    h.Encode(resp.data() + 6);
    c.SendBytes(resp);
    const uint32_t invoke = c.Send(ADS_CMD_READ_STATE, {});
    auto r = c.ReceiveReply();
    ASSERT_TRUE(r);
    EXPECT_EQ(r->header.invokeId, invoke);
    EXPECT_EQ(sim.RequestCount(), 3u);
}

TEST_F(Commands, BrokenFramingCostsOnlyThatConnection)
{
    {
        RawClient c(sim.Port());
        c.SendBytes(Bytes{0, 0, 10, 0, 0, 0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10}); // too short for an AMS header
        auto r = c.Call(ADS_CMD_READ_STATE, {});
        ASSERT_TRUE(r);
        const auto reqs = sim.Requests();
        ASSERT_EQ(reqs.size(), 2u);
        EXPECT_FALSE(reqs[0].hasHeader);
        EXPECT_EQ(reqs[0].raw.size(), 16u);
        EXPECT_TRUE(reqs[1].hasHeader);
        EXPECT_EQ(reqs[1].raw.size(), 38u);
    }
    RawClient huge(sim.Port());
    huge.SendBytes(Bytes{0, 0, 0xFF, 0xFF, 0xFF, 0x7F}); // claims 2 GiB
    EXPECT_EQ(huge.WaitForEnd(), RawClient::End::Closed);

    {
        RawClient cut(sim.Port()); // leaves in the middle of a packet
        cut.SendBytes(Bytes{0, 0, 100, 0, 0, 0, 1, 2, 3});
    }

    RawClient fine(sim.Port());
    auto r = fine.Call(ADS_CMD_READ_STATE, {});
    ASSERT_TRUE(r);
    EXPECT_EQ(ResultOf(*r), 0u);
    EXPECT_TRUE(plcsim::WaitUntil([&] { return sim.ConnectionCount() == 1; }, 3s));
}

TEST_F(Commands, RandomRequestsNeverHurtTheServer)
{
    RawClient c(sim.Port());
    ASSERT_NE(c.Handle("MAIN.bBool"), 0u);
    std::mt19937 rng(1234);
    const uint32_t groups[] = {ADS_IGRP_SYMBOL_HANDLE_BY_NAME, ADS_IGRP_SYMBOL_VALUE_BY_HANDLE,
                               ADS_IGRP_SYMBOL_RELEASE_HANDLE, 0x4020, 0x78};
    for (int i = 0; i < 3000; ++i) {
        Bytes payload(rng() % 48);
        for (auto& b : payload) {
            b = static_cast<uint8_t>(rng());
        }
        if (payload.size() >= 12 && rng() % 2 == 0) { // steer into the interesting groups and small values
            le::Write<uint32_t>(payload.data(), groups[rng() % 5]);
            le::Write<uint32_t>(payload.data() + 4, rng() % 4 == 0 ? 1 : 100 + rng() % 10);
            le::Write<uint32_t>(payload.data() + 8, rng() % 16);
        }
        const uint16_t cmd = static_cast<uint16_t>(rng() % 11);
        c.Send(cmd == ADS_CMD_DEVICE_NOTIFICATION ? uint16_t{ADS_CMD_READ_STATE} : cmd, payload);
    }
    const uint32_t last = c.Send(ADS_CMD_READ_STATE, {});
    std::optional<Packet> r;
    do {
        r = c.ReceiveReply();
    } while (r && r->header.invokeId != last);
    ASSERT_TRUE(r);
    EXPECT_EQ(ResultOf(*r), 0u);
}

TEST_F(Commands, StopClosesClientsAndStartServesAgain)
{
    RawClient c(sim.Port());
    ASSERT_TRUE(c.Call(ADS_CMD_READ_STATE, {}));
    sim.Stop();
    EXPECT_EQ(c.WaitForEnd(), RawClient::End::Closed);
    EXPECT_FALSE(sim.IsListening());
    EXPECT_EQ(sim.ConnectionCount(), 0u);
    const uint16_t port = sim.Start();
    EXPECT_EQ(sim.HostString(), "127.0.0.1:" + std::to_string(port));
    RawClient again(port);
    EXPECT_TRUE(again.Call(ADS_CMD_READ_STATE, {}));
    EXPECT_THROW(sim.Start(), std::runtime_error);
    plcsim::PlcSimulator other;
    EXPECT_THROW(other.Start("not an address"), std::runtime_error);
}

} // namespace
