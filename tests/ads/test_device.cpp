// AdsDevice against the simulator: what construction takes and destruction gives back,
// handles and their release, state checks, exception texts, and aborting a connection.
#include "ads/AdsDevice.h"
#include "ads/AmsRouter.h"
#include "ads/LittleEndian.h"
#include "support/upper_Notify.h"
#include "tools/sim/PlcSimulator.h"

#include <gtest/gtest.h>

#include <cstring>
#include <future>

using namespace std::chrono_literals;
namespace le = plc::ads::le;

namespace {

const AmsNetId kPlc{10, 30, 0, 1, 1, 1};

void Dummy(const AmsAddr*, const AdsNotificationHeader*, uint32_t)
{
}

// A reply for the given command whose data is replaced; other commands run normally.
plcsim::PlcSimulator::RequestHook ReplaceReply(uint16_t cmdId, std::vector<uint8_t> data)
{
    return [cmdId, data](const plcsim::Request& r) -> std::optional<std::vector<uint8_t>> {
        if (r.header.cmdId == cmdId) {
            return data;
        }
        return std::nullopt;
    };
}

class Device : public ::testing::Test {
protected:
    void SetUp() override { sim.Start(); }
    void TearDown() override
    {
        EXPECT_EQ(0u, GetRouter().RouteCount(kPlc));
        EXPECT_EQ(0u, GetRouter().ConnectionCount());
        const int32_t lowest = AdsPortOpenEx();
        EXPECT_EQ(ADS_PORT_BASE, lowest) << "a port was left open";
        AdsPortCloseEx(lowest);
    }

    plcsim::PlcSimulator sim;
};

TEST_F(Device, HoldsARouteAndAPortForItsLifetime)
{
    {
        AdsDevice device(sim.HostString(), kPlc, 851);
        EXPECT_EQ(ADS_PORT_BASE, device.GetLocalPort());
        EXPECT_EQ((AmsAddr{kPlc, 851}), device.Address());
        EXPECT_EQ(1u, GetRouter().RouteCount(kPlc));
        EXPECT_EQ(ADS_DEFAULT_TIMEOUT_MS, device.GetTimeout());
        device.SetTimeout(1500);
        EXPECT_EQ(1500u, device.GetTimeout());

        AdsDevice second(sim.HostString(), kPlc, 851);
        EXPECT_EQ(ADS_PORT_BASE + 1, second.GetLocalPort());
        EXPECT_EQ(2u, GetRouter().RouteCount(kPlc));
        EXPECT_EQ(1u, GetRouter().ConnectionCount());
    }
    EXPECT_TRUE(upper::WaitUntil([&] { return sim.ConnectionCount() == 0; }));
}

TEST_F(Device, FailedConstructionLeavesNoPortAndNoRoute)
{
    plcsim::PlcSimulator other;
    other.Start();
    AdsDevice device(sim.HostString(), kPlc, 851);
    try {
        AdsDevice clash(other.HostString(), kPlc, 851);
        FAIL() << "a NetId routed elsewhere must be refused";
    } catch (const AdsException& ex) {
        EXPECT_EQ(ROUTERERR_PORTALREADYINUSE, ex.resultCode);
        EXPECT_STREQ("Ads operation failed with error code 1286.", ex.what());
    }
    EXPECT_EQ(1u, GetRouter().RouteCount(kPlc));
    EXPECT_NO_THROW(device.GetState());

    try {
        AdsDevice unresolvable("127.0.0.1:no-such-service", AmsNetId{10, 30, 0, 2, 1, 1}, 851);
        FAIL() << "an unresolvable host must be refused";
    } catch (const AdsException& ex) {
        EXPECT_EQ(ADS_ERR_TARGET_PORT_NOT_FOUND, ex.resultCode);
    }
}

TEST_F(Device, WithoutAFreePortEveryRequestFailsWithPortNotOpen)
{
    std::vector<int32_t> ports;
    for (int i = 0; i < ADS_PORT_COUNT; ++i) {
        ports.push_back(AdsPortOpenEx());
    }
    {
        AdsDevice device(sim.HostString(), kPlc, 851);
        EXPECT_EQ(0, device.GetLocalPort());
        try {
            device.GetState();
            FAIL();
        } catch (const AdsException& ex) {
            EXPECT_EQ(ADS_ERR_PORT_NOT_OPEN, ex.resultCode);
        }
    }
    for (const int32_t p : ports) {
        AdsPortCloseEx(p);
    }
}

TEST_F(Device, SymbolHandlesAreReleasedOnTheTarget)
{
    AdsDevice device(sim.HostString(), kPlc, 851);
    {
        const OwnedHandle handle = device.GetHandle("MAIN.iInt");
        ASSERT_TRUE(handle);
        EXPECT_NE(0u, *handle);
        EXPECT_EQ(1u, sim.OpenHandleCount());
        sim.ClearRequests();
        uint8_t value[2];
        uint32_t bytesRead = 0;
        EXPECT_EQ(0, device.ReadReqEx2(ADS_IGRP_SYMBOL_VALUE_BY_HANDLE, *handle, 2, value, &bytesRead));
        EXPECT_EQ(2u, bytesRead);
    }
    EXPECT_EQ(0u, sim.OpenHandleCount());
    const auto requests = sim.Requests();
    ASSERT_EQ(2u, requests.size());
    EXPECT_EQ(ADS_CMD_WRITE, requests[1].header.cmdId);
    EXPECT_EQ(ADS_IGRP_SYMBOL_RELEASE_HANDLE, le::Read<uint32_t>(requests[1].data.data()));

    sim.ClearRequests();
    {
        const OwnedHandle plain = device.GetHandle(uint32_t{0x1234});
        EXPECT_EQ(0x1234u, *plain);
    }
    EXPECT_EQ(0u, sim.RequestCount()) << "a plain offset releases nothing";
}

TEST_F(Device, GetHandleFailuresCarryTheCode)
{
    AdsDevice device(sim.HostString(), kPlc, 851);
    try {
        device.GetHandle("MAIN.doesNotExist");
        FAIL();
    } catch (const AdsException& ex) {
        EXPECT_EQ(ADSERR_DEVICE_SYMBOLNOTFOUND, ex.resultCode);
        EXPECT_STREQ("Ads operation failed with error code 1808.", ex.what());
    }

    // Success with fewer than 4 handle bytes is no handle: a failure with a code that says why.
    sim.SetRequestHook(ReplaceReply(ADS_CMD_READ_WRITE, {0, 0, 0, 0, 2, 0, 0, 0, 0xAA, 0xBB}));
    try {
        device.GetHandle("MAIN.iInt");
        FAIL();
    } catch (const AdsException& ex) {
        EXPECT_EQ(ADS_ERR_INVALID_SIZE, ex.resultCode);
        EXPECT_STREQ("Ads operation failed with error code 1797.", ex.what());
    }

    // A granted notification handle of 0 is refused as an invalid response.
    sim.SetRequestHook(ReplaceReply(ADS_CMD_ADD_DEVICE_NOTIFICATION, {0, 0, 0, 0, 0, 0, 0, 0}));
    const AdsNotificationAttrib attrib{2, ADS_TRANS_SERVER_ON_CHANGE, 0, 0};
    try {
        device.GetHandle(ADS_IGRP_SYMBOL_VALUE_BY_HANDLE, 1, attrib, Dummy, 0);
        FAIL();
    } catch (const AdsException& ex) {
        EXPECT_EQ(ADS_ERR_INVALID_RESPONSE, ex.resultCode);
    }
    sim.SetRequestHook(nullptr);

    EXPECT_STREQ("Ads operation failed with error code -1.", AdsException(-1).what());
    EXPECT_STREQ("Ads operation failed with error code 1861.", AdsException(ADS_ERR_SYNC_TIMEOUT).what());
}

TEST_F(Device, StatesOutsideTheKnownRangeAreOutOfRange)
{
    AdsDevice device(sim.HostString(), kPlc, 851);
    sim.SetState(ADSSTATE_RUN, 3);
    const AdsStatePair state = device.GetState();
    EXPECT_EQ(ADSSTATE_RUN, state.adsState);
    EXPECT_EQ(3, state.deviceState);

    auto message = [&]() -> std::string {
        try {
            device.GetState();
        } catch (const std::out_of_range& ex) {
            return ex.what();
        }
        return "no exception";
    };
    sim.SetState(25, 0);
    EXPECT_EQ("Unknown ADSSTATE(25)", message());
    sim.SetState(ADSSTATE_RUN, 30);
    EXPECT_EQ("Unknown ADSSTATE(30)", message());
    sim.SetState(25, 30);
    EXPECT_EQ("Unknown ADSSTATE(25)", message()) << "the ADS state is tested first";
    sim.SetState(ADSSTATE_EXCEPTION, ADSSTATE_EXCEPTION);
    EXPECT_EQ(ADSSTATE_EXCEPTION, device.GetState().adsState);

    device.SetState(ADSSTATE_STOP, ADSSTATE_INIT);
    EXPECT_EQ(ADSSTATE_STOP, sim.AdsState());
    EXPECT_EQ(ADSSTATE_INIT, sim.DeviceState());

    const AdsDeviceInfo info = device.GetDeviceInfo();
    EXPECT_EQ(0, std::memcmp(sim.Options().deviceName.data(), info.deviceName, sim.Options().deviceName.size()));
    EXPECT_EQ(sim.Options().version.buildNumber, info.deviceVersion.buildNumber);
}

TEST_F(Device, FilesOpenThroughReadWriteAndCloseOnRelease)
{
    AdsDevice device(sim.HostString(), kPlc, 851);
    sim.SetRequestHook(ReplaceReply(ADS_CMD_READ_WRITE, {0, 0, 0, 0, 4, 0, 0, 0, 0x21, 0, 0, 0}));
    sim.ClearRequests();
    {
        const OwnedHandle file = device.OpenFile("boot.txt", 0x11);
        EXPECT_EQ(0x21u, *file);
    }
    const auto requests = sim.Requests();
    ASSERT_EQ(2u, requests.size());
    const std::string name = "boot.txt";
    std::vector<uint8_t> open(16);
    le::Writer(open.data()).Put<uint32_t>(ADS_IGRP_FILE_OPEN).Put<uint32_t>(0x11).Put<uint32_t>(4).Put<uint32_t>(8);
    open.insert(open.end(), name.begin(), name.end());
    EXPECT_EQ(open, requests[0].data);
    std::vector<uint8_t> close(16);
    le::Writer(close.data()).Put<uint32_t>(ADS_IGRP_FILE_CLOSE).Put<uint32_t>(0x21).Put<uint32_t>(0).Put<uint32_t>(0);
    EXPECT_EQ(close, requests[1].data);

    sim.SetRequestHook(nullptr);
    EXPECT_THROW(device.OpenFile("boot.txt", 0), AdsException);
}

TEST_F(Device, AbortingTheConnectionEndsAWaitingRequestAtOnce)
{
    AdsDevice device(sim.HostString(), kPlc, 851);
    ASSERT_EQ(ADS_DEFAULT_TIMEOUT_MS, device.GetTimeout());
    sim.SetSilent(true);
    sim.ClearRequests();
    auto pending = std::async(std::launch::async, [&] {
        try {
            device.GetState();
        } catch (const AdsException& ex) {
            return ex.resultCode;
        }
        return 0;
    });
    ASSERT_TRUE(sim.WaitForRequests([](const std::vector<plcsim::Request>& r) { return !r.empty(); }, 2s));
    const auto start = std::chrono::steady_clock::now();
    device.AbortConnection();
    ASSERT_EQ(std::future_status::ready, pending.wait_for(2s));
    EXPECT_EQ(ADS_ERR_SYNC_TIMEOUT, pending.get());
    EXPECT_LT(std::chrono::steady_clock::now() - start, 1s);
    EXPECT_THROW(device.GetState(), AdsException) << "later requests fail too";
}

} // namespace
