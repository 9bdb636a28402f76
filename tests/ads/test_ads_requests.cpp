// The flat request functions through the process-wide router against the simulator:
// argument checks and their order, payload layouts on the wire, results and outputs,
// time-outs, ports and route functions.
#include "ads/AdsRequests.h"
#include "ads/NotificationDispatcher.h"
#include "ads/AmsRouter.h"
#include "ads/LittleEndian.h"
#include "support/upper_Notify.h"
#include "tools/sim/PlcSimulator.h"

#include <gtest/gtest.h>


#include <cstring>
#include <functional>

using namespace std::chrono_literals;
namespace le = plc::ads::le;

namespace {

const AmsNetId kPlc{10, 20, 0, 1, 1, 1};
const AmsNetId kUnrouted{10, 20, 0, 99, 1, 1};
constexpr uint32_t kGroup = 0x4020;

std::vector<uint8_t> Words(std::initializer_list<uint32_t> words)
{
    std::vector<uint8_t> out(words.size() * 4);
    size_t i = 0;
    for (const uint32_t w : words) {
        le::Write<uint32_t>(out.data() + 4 * i++, w);
    }
    return out;
}

std::vector<uint8_t> Concat(std::vector<uint8_t> a, const std::vector<uint8_t>& b)
{
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

void Dummy(const AmsAddr*, const AdsNotificationHeader*, uint32_t)
{
}

class AdsRequests : public ::testing::Test {
protected:
    void SetUp() override
    {
        sim.Start();
        ASSERT_EQ(0, plc::ads::AddLocalRoute(kPlc, sim.HostString().c_str()));
        port = AdsPortOpenEx();
        ASSERT_EQ(ADS_PORT_BASE, port) << "an earlier test left a port open";
        ASSERT_EQ(0, AdsSyncSetTimeoutEx(port, 2000));
        sim.SetMemory(kGroup, 0, {1, 2, 3, 4, 5, 6, 7, 8});
    }
    void TearDown() override
    {
        AdsPortCloseEx(port);
        plc::ads::DelLocalRoute(kPlc);
        EXPECT_EQ(0u, GetRouter().ConnectionCount());
    }

    // The command data of the one request the simulator got since the last Clear.
    std::vector<uint8_t> OnlyRequest(uint16_t cmdId, size_t* packetSize = nullptr)
    {
        const auto requests = sim.Requests();
        EXPECT_EQ(1u, requests.size());
        if (requests.empty()) {
            return {};
        }
        EXPECT_EQ(cmdId, requests.back().header.cmdId);
        EXPECT_EQ(port, requests.back().header.sourcePort);
        EXPECT_EQ(4u, requests.back().header.stateFlags);
        if (packetSize) {
            *packetSize = requests.back().raw.size();
        }
        return requests.back().data;
    }

    plcsim::PlcSimulator sim;
    int32_t port = 0;
    const AmsAddr plc{kPlc, 851};
};

TEST_F(AdsRequests, ArgumentsAreCheckedInOrderBeforeAnythingIsSent)
{
    uint8_t buffer[8] = {};
    uint32_t bytesRead = 0;
    uint16_t s1 = 0;
    uint16_t s2 = 0;
    char name[16];
    AdsVersion version{};
    uint32_t value = 0;
    AdsNotificationAttrib attrib{4, ADS_TRANS_SERVER_CYCLE, 0, 10000};
    AmsAddr local{AmsNetId{}, 0};

    // Each call with (port, target); all pointer arguments valid.
    const std::vector<std::pair<const char*, std::function<int32_t(int32_t, const AmsAddr*)>>> calls = {
        {"Read", [&](int32_t p, const AmsAddr* a) { return AdsSyncReadReqEx2(p, a, kGroup, 0, 4, buffer, &bytesRead); }},
        {"ReadWrite",
         [&](int32_t p, const AmsAddr* a) {
             return AdsSyncReadWriteReqEx2(p, a, kGroup, 0, 4, buffer, 4, buffer, &bytesRead);
         }},
        {"Write", [&](int32_t p, const AmsAddr* a) { return AdsSyncWriteReqEx(p, a, kGroup, 0, 4, buffer); }},
        {"ReadState", [&](int32_t p, const AmsAddr* a) { return AdsSyncReadStateReqEx(p, a, &s1, &s2); }},
        {"WriteControl",
         [&](int32_t p, const AmsAddr* a) { return AdsSyncWriteControlReqEx(p, a, 5, 0, 4, buffer); }},
        {"DeviceInfo", [&](int32_t p, const AmsAddr* a) { return AdsSyncReadDeviceInfoReqEx(p, a, name, &version); }},
        {"AddNotification",
         [&](int32_t p, const AmsAddr* a) {
             return AdsSyncAddDeviceNotificationReqEx(p, a, kGroup, 0, &attrib, Dummy, 0, &value);
         }},
        {"DelNotification", [&](int32_t p, const AmsAddr* a) { return AdsSyncDelDeviceNotificationReqEx(p, a, 1); }},
        {"GetLocalAddress", [&](int32_t p, const AmsAddr* a) { return AdsGetLocalAddressEx(p, a ? &local : nullptr); }},
    };
    sim.ClearRequests();
    for (const auto& call : calls) {
        for (const int32_t bad : {0, -1, 65536, INT32_MIN}) {
            EXPECT_EQ(ADS_ERR_PORT_NOT_OPEN, call.second(bad, &plc)) << call.first << " port " << bad;
            EXPECT_EQ(ADS_ERR_PORT_NOT_OPEN, call.second(bad, nullptr)) << call.first << " port first";
        }
        EXPECT_EQ(ADS_ERR_NO_AMS_ADDRESS, call.second(port, nullptr)) << call.first;
    }
    for (const int32_t bad : {0, -1, 65536}) {
        EXPECT_EQ(ADS_ERR_PORT_NOT_OPEN, AdsSyncGetTimeoutEx(bad, &value));
        EXPECT_EQ(ADS_ERR_PORT_NOT_OPEN, AdsSyncSetTimeoutEx(bad, 5));
        EXPECT_EQ(ADS_ERR_PORT_NOT_OPEN, AdsPortCloseEx(bad));
    }

    // Null data and result pointers.
    EXPECT_EQ(ADS_ERR_NO_AMS_ADDRESS, AdsSyncReadReqEx2(port, nullptr, kGroup, 0, 4, nullptr, nullptr));
    EXPECT_EQ(ADS_ERR_INVALID_PARAMETER, AdsSyncReadReqEx2(port, &plc, kGroup, 0, 0, nullptr, nullptr));
    EXPECT_EQ(ADS_ERR_INVALID_PARAMETER, AdsSyncReadWriteReqEx2(port, &plc, kGroup, 0, 4, nullptr, 0, nullptr, nullptr));
    EXPECT_EQ(ADS_ERR_INVALID_PARAMETER, AdsSyncReadWriteReqEx2(port, &plc, kGroup, 0, 0, nullptr, 4, nullptr, nullptr));
    EXPECT_EQ(ADS_ERR_INVALID_PARAMETER, AdsSyncWriteReqEx(port, &plc, kGroup, 0, 0, nullptr));
    EXPECT_EQ(ADS_ERR_INVALID_PARAMETER, AdsSyncReadStateReqEx(port, &plc, nullptr, &s2));
    EXPECT_EQ(ADS_ERR_INVALID_PARAMETER, AdsSyncReadStateReqEx(port, &plc, &s1, nullptr));
    EXPECT_EQ(ADS_ERR_INVALID_PARAMETER, AdsSyncWriteControlReqEx(port, &plc, 5, 0, 1, nullptr));
    EXPECT_EQ(ADS_ERR_INVALID_PARAMETER, AdsSyncReadDeviceInfoReqEx(port, &plc, nullptr, &version));
    EXPECT_EQ(ADS_ERR_INVALID_PARAMETER, AdsSyncReadDeviceInfoReqEx(port, &plc, name, nullptr));
    EXPECT_EQ(ADS_ERR_INVALID_PARAMETER, AdsSyncGetTimeoutEx(port, nullptr));
    EXPECT_EQ(ADS_ERR_INVALID_PARAMETER,
              AdsSyncAddDeviceNotificationReqEx(port, &plc, kGroup, 0, nullptr, Dummy, 0, &value));
    EXPECT_EQ(ADS_ERR_INVALID_PARAMETER,
              AdsSyncAddDeviceNotificationReqEx(port, &plc, kGroup, 0, &attrib, nullptr, 0, &value));
    EXPECT_EQ(ADS_ERR_INVALID_PARAMETER,
              AdsSyncAddDeviceNotificationReqEx(port, &plc, kGroup, 0, &attrib, Dummy, 0, nullptr));
    // Data too large for any frame is refused like a failed allocation.
    EXPECT_EQ(ADS_ERR_NO_MEMORY, AdsSyncWriteReqEx(port, &plc, kGroup, 0, 0xFFFFFFFF, buffer));
    EXPECT_EQ(ADS_ERR_NO_MEMORY, AdsSyncReadWriteReqEx2(port, &plc, kGroup, 0, 0, buffer, 0xFFFFFFF0, buffer, nullptr));
    EXPECT_EQ(ADS_ERR_NO_MEMORY, AdsSyncWriteControlReqEx(port, &plc, 5, 0, 0xFFFFFFFF, buffer));
    // A watched length near 4 GiB: header + length wraps a 32-bit size_t to a tiny buffer.
    AdsNotificationAttrib huge = attrib;
    huge.watchedLength = 0xFFFFFFF8;
    EXPECT_EQ(ADSERR_DEVICE_INVALIDWATCHSIZE,
              AdsSyncAddDeviceNotificationReqEx(port, &plc, kGroup, 0, &huge, Dummy, 0, &value));
    EXPECT_THROW(SampleBufferSize<uint32_t>(0xFFFFFFF8), std::bad_alloc);
    EXPECT_THROW(SampleBufferSize<size_t>(UINT64_MAX - 4), std::bad_alloc);
    EXPECT_EQ(20u, SampleBufferSize<uint32_t>(4));
    EXPECT_EQ(0u, sim.RequestCount()) << "nothing may reach the wire";

    // Port 851 passes the first rule and then fails in the router; unrouted targets fail first.
    const AmsAddr unrouted{kUnrouted, 851};
    EXPECT_EQ(ADS_ERR_PORT_NOT_OPEN, AdsSyncReadReqEx2(851, &plc, kGroup, 0, 4, buffer, nullptr));
    EXPECT_EQ(ADS_ERR_TARGET_NOT_FOUND, AdsSyncReadReqEx2(851, &unrouted, kGroup, 0, 4, buffer, nullptr));
    EXPECT_EQ(ADS_ERR_PORT_NOT_OPEN, AdsSyncDelDeviceNotificationReqEx(851, &plc, 1));
    EXPECT_EQ(0u, sim.RequestCount());
}

TEST_F(AdsRequests, ReadAndReadWriteCarryTheirPayloadAndFillTheBuffer)
{
    sim.ClearRequests();
    uint8_t buffer[4] = {};
    uint32_t bytesRead = 99;
    size_t packet = 0;
    ASSERT_EQ(0, AdsSyncReadReqEx2(port, &plc, kGroup, 2, 4, buffer, &bytesRead));
    EXPECT_EQ(Words({kGroup, 2, 4}), OnlyRequest(ADS_CMD_READ, &packet));
    EXPECT_EQ(50u, packet);
    EXPECT_EQ(4u, bytesRead);
    EXPECT_EQ((std::vector<uint8_t>{3, 4, 5, 6}), std::vector<uint8_t>(buffer, buffer + 4));

    sim.ClearRequests();
    const std::string name = "MAIN.iInt";
    uint8_t handle[4] = {};
    ASSERT_EQ(0, AdsSyncReadWriteReqEx2(port, &plc, ADS_IGRP_SYMBOL_HANDLE_BY_NAME, 0, 4, handle,
                                        static_cast<uint32_t>(name.size()), name.data(), &bytesRead));
    EXPECT_EQ(Concat(Words({ADS_IGRP_SYMBOL_HANDLE_BY_NAME, 0, 4, static_cast<uint32_t>(name.size())}),
                     std::vector<uint8_t>(name.begin(), name.end())),
              OnlyRequest(ADS_CMD_READ_WRITE, &packet));
    EXPECT_EQ(54u + name.size(), packet);
    EXPECT_EQ(4u, bytesRead);
    EXPECT_NE(0u, le::Read<uint32_t>(handle));

    // Both lengths 0 and both pointers null is a valid request.
    sim.ClearRequests();
    EXPECT_NE(ADS_ERR_INVALID_PARAMETER,
              AdsSyncReadWriteReqEx2(port, &plc, kGroup, 0, 0, nullptr, 0, nullptr, nullptr));
    EXPECT_EQ(Words({kGroup, 0, 0, 0}), OnlyRequest(ADS_CMD_READ_WRITE));

    // A failing read reports the target's code and nothing read.
    bytesRead = 99;
    EXPECT_EQ(ADSERR_DEVICE_INVALIDGRP, AdsSyncReadReqEx2(port, &plc, 0x7777, 0, 4, buffer, &bytesRead));
    EXPECT_EQ(0u, bytesRead);
}

TEST_F(AdsRequests, WriteAndWriteControlCarryTheirPayload)
{
    sim.ClearRequests();
    const std::vector<uint8_t> data{0xA, 0xB, 0xC};
    size_t packet = 0;
    ASSERT_EQ(0, AdsSyncWriteReqEx(port, &plc, kGroup, 1, 3, data.data()));
    EXPECT_EQ(Concat(Words({kGroup, 1, 3}), data), OnlyRequest(ADS_CMD_WRITE, &packet));
    EXPECT_EQ(53u, packet);
    EXPECT_EQ((std::vector<uint8_t>{1, 0xA, 0xB, 0xC, 5}), sim.GetMemory(kGroup, 0, 5));

    sim.ClearRequests();
    ASSERT_EQ(0, AdsSyncWriteControlReqEx(port, &plc, ADSSTATE_STOP, 7, 0, nullptr));
    auto expected = std::vector<uint8_t>{ADSSTATE_STOP, 0, 7, 0, 0, 0, 0, 0};
    EXPECT_EQ(expected, OnlyRequest(ADS_CMD_WRITE_CONTROL, &packet));
    EXPECT_EQ(46u, packet);
    EXPECT_EQ(ADSSTATE_STOP, sim.AdsState());
    EXPECT_EQ(7, sim.DeviceState());

    sim.ClearRequests();
    ASSERT_EQ(0, AdsSyncWriteControlReqEx(port, &plc, ADSSTATE_RUN, 0, 3, data.data()));
    expected = Concat({ADSSTATE_RUN, 0, 0, 0, 3, 0, 0, 0}, data);
    EXPECT_EQ(expected, OnlyRequest(ADS_CMD_WRITE_CONTROL, &packet));
    EXPECT_EQ(49u, packet);
}

TEST_F(AdsRequests, StateAndDeviceInfoAreStoredOnlyOnSuccess)
{
    sim.SetState(ADSSTATE_CONFIG, 0x1234);
    sim.ClearRequests();
    uint16_t adsState = 0;
    uint16_t devState = 0;
    size_t packet = 0;
    ASSERT_EQ(0, AdsSyncReadStateReqEx(port, &plc, &adsState, &devState));
    EXPECT_TRUE(OnlyRequest(ADS_CMD_READ_STATE, &packet).empty());
    EXPECT_EQ(38u, packet);
    EXPECT_EQ(ADSSTATE_CONFIG, adsState);
    EXPECT_EQ(0x1234, devState);

    char name[16];
    AdsVersion version{};
    ASSERT_EQ(0, AdsSyncReadDeviceInfoReqEx(port, &plc, name, &version));
    EXPECT_EQ(sim.Options().version.majorVersion, version.majorVersion);
    EXPECT_EQ(sim.Options().version.minorVersion, version.minorVersion);
    EXPECT_EQ(sim.Options().version.buildNumber, version.buildNumber);
    EXPECT_EQ(sim.Options().deviceName, std::string(name, strnlen(name, sizeof(name))));

    sim.InjectReplyFault(plcsim::ReplyFault::AmsError(0x701).Times(2));
    adsState = devState = 0xBEEF;
    std::memset(name, 'x', sizeof(name));
    version = AdsVersion{9, 9, 9};
    EXPECT_EQ(0x701, AdsSyncReadStateReqEx(port, &plc, &adsState, &devState));
    EXPECT_EQ(0x701, AdsSyncReadDeviceInfoReqEx(port, &plc, name, &version));
    EXPECT_EQ(0xBEEF, adsState);
    EXPECT_EQ(0xBEEF, devState);
    EXPECT_EQ(std::string(16, 'x'), std::string(name, 16));
    EXPECT_EQ(9, version.majorVersion);
}

TEST_F(AdsRequests, NotificationRequestsCarryTheirPayload)
{
    sim.ClearRequests();
    const AdsNotificationAttrib attrib{4, ADS_TRANS_SERVER_ON_CHANGE, 1111, 2222};
    uint32_t handle = 0;
    size_t packet = 0;
    ASSERT_EQ(0, AdsSyncAddDeviceNotificationReqEx(port, &plc, kGroup, 4, &attrib, Dummy, 0, &handle));
    EXPECT_EQ(Concat(Words({kGroup, 4, 4, ADS_TRANS_SERVER_ON_CHANGE, 1111, 2222}), std::vector<uint8_t>(16, 0)),
              OnlyRequest(ADS_CMD_ADD_DEVICE_NOTIFICATION, &packet));
    EXPECT_EQ(78u, packet);
    EXPECT_NE(0u, handle);

    sim.ClearRequests();
    ASSERT_EQ(0, AdsSyncDelDeviceNotificationReqEx(port, &plc, handle));
    EXPECT_EQ(Words({handle}), OnlyRequest(ADS_CMD_DEL_DEVICE_NOTIFICATION, &packet));
    EXPECT_EQ(42u, packet);

    // Refused by the target: nothing to delete afterwards.
    EXPECT_EQ(ADSERR_DEVICE_INVALIDGRP,
              AdsSyncAddDeviceNotificationReqEx(port, &plc, 0x7777, 0, &attrib, Dummy, 0, &handle));
    EXPECT_EQ(ADS_ERR_NOTIFICATION_NOT_FOUND, AdsSyncDelDeviceNotificationReqEx(port, &plc, handle));
}

TEST_F(AdsRequests, UnroutedTargetsAreNotFoundAndReadNothing)
{
    const AmsAddr unrouted{kUnrouted, 851};
    uint8_t buffer[4];
    uint32_t bytesRead = 1234;
    EXPECT_EQ(ADS_ERR_TARGET_NOT_FOUND, AdsSyncReadReqEx2(port, &unrouted, kGroup, 0, 4, buffer, &bytesRead));
    EXPECT_EQ(0u, bytesRead);
    bytesRead = 1234;
    EXPECT_EQ(ADS_ERR_TARGET_NOT_FOUND,
              AdsSyncReadWriteReqEx2(port, &unrouted, kGroup, 0, 4, buffer, 0, nullptr, &bytesRead));
    EXPECT_EQ(0u, bytesRead);
    const AdsNotificationAttrib attrib{4, ADS_TRANS_SERVER_CYCLE, 0, 0};
    uint32_t handle = 0;
    EXPECT_EQ(ADS_ERR_TARGET_NOT_FOUND,
              AdsSyncAddDeviceNotificationReqEx(port, &unrouted, kGroup, 0, &attrib, Dummy, 0, &handle));
}

TEST_F(AdsRequests, TimeoutsAndLocalAddressOfAPort)
{
    uint32_t timeout = 0;
    const int32_t second = AdsPortOpenEx();
    ASSERT_EQ(0, AdsSyncGetTimeoutEx(second, &timeout));
    EXPECT_EQ(ADS_DEFAULT_TIMEOUT_MS, timeout);
    ASSERT_EQ(0, AdsSyncSetTimeoutEx(second, 150));
    ASSERT_EQ(0, AdsSyncGetTimeoutEx(second, &timeout));
    EXPECT_EQ(150u, timeout);

    AmsAddr local{AmsNetId{}, 0};
    ASSERT_EQ(0, AdsGetLocalAddressEx(second, &local));
    EXPECT_EQ(GetRouter().GetLocalNetId(), local.amsNetId);
    EXPECT_EQ(second, local.amsPort);

    // The port's own time-out bounds a request that gets no reply.
    sim.InjectReplyFault(plcsim::ReplyFault::Drop());
    uint8_t buffer[4];
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(ADS_ERR_SYNC_TIMEOUT, AdsSyncReadReqEx2(second, &plc, kGroup, 0, 4, buffer, nullptr));
    const auto took = std::chrono::steady_clock::now() - start;
    EXPECT_GE(took, 140ms);
    EXPECT_LT(took, 1500ms);

    EXPECT_EQ(0, AdsPortCloseEx(second));
    EXPECT_EQ(ADS_ERR_PORT_NOT_OPEN, AdsPortCloseEx(second));
    EXPECT_EQ(ADS_ERR_PORT_NOT_OPEN, AdsGetLocalAddressEx(second, &local));
}

TEST_F(AdsRequests, AllPortsCanBeOpenedOnceEach)
{
    std::vector<int32_t> opened;
    for (int i = 1; i < ADS_PORT_COUNT; ++i) {
        opened.push_back(AdsPortOpenEx());
        EXPECT_EQ(ADS_PORT_BASE + i, opened.back());
    }
    EXPECT_EQ(0, AdsPortOpenEx());
    for (const int32_t p : opened) {
        EXPECT_EQ(0, AdsPortCloseEx(p));
    }
}

TEST_F(AdsRequests, AddLocalRouteTranslatesFailures)
{
    const AmsNetId other{10, 20, 0, 2, 1, 1};
    EXPECT_EQ(ADS_ERR_TARGET_PORT_NOT_FOUND, plc::ads::AddLocalRoute(other, "127.0.0.1:no-such-service"));

    const upper::RefusingHost refusing;
    const std::string refused = refusing.Host();
    EXPECT_THROW(plc::ads::AddLocalRoute(other, refused.c_str()), std::exception);

    EXPECT_THROW(plc::ads::AddLocalRoute(other, nullptr), std::logic_error);
    EXPECT_EQ(ROUTERERR_PORTALREADYINUSE, plc::ads::AddLocalRoute(kPlc, refused.c_str()));
    EXPECT_EQ(1u, GetRouter().ConnectionCount());
}

} // namespace
