// The request functions, routes, AdsDevice and symbol information against the simulator, and
// what a user meets below them: NetId and host texts, connect bounds, log lines.
#include "support/stack.h"

#include "ads/AdsSymbols.h"
#include "ads/NotificationDispatcher.h"
#include "ads/Sockets.h"

#include <cstring>
#include <iterator>
#include <map>
#include <regex>
#include <sstream>
#include <system_error>
#include <tuple>

namespace stack {
namespace {

void Dummy(const AmsAddr*, const AdsNotificationHeader*, uint32_t) {}

using Requests = StackTest;

TEST_F(Requests, EveryCommandChecksItsArgumentsCarriesItsPayloadAndFillsItsOutputs)
{
    sim->AddSymbol("MAIN.iInt", {1, 2});
    sim->SetState(ADSSTATE_CONFIG, 0x1234);
    uint8_t buffer[4] = {};
    uint32_t bytesRead = 99;
    uint32_t handle = 0;
    uint16_t adsState = 0;
    uint16_t devState = 0;
    char name[16];
    AdsVersion version{};
    const std::string symbol = "MAIN.iInt";
    const std::vector<uint8_t> data{0xA, 0xB, 0xC};
    const AdsNotificationAttrib attrib{4, ADS_TRANS_SERVER_ON_CHANGE, 1111, 2222};
    struct Case {
        uint16_t cmdId;
        std::function<int32_t(int32_t, const AmsAddr*)> call;
        std::vector<uint8_t> payload;
    };
    const Case cases[] = {
        {ADS_CMD_READ, [&](auto p, auto a) { return AdsSyncReadReqEx2(p, a, kGroup, 2, 4, buffer, &bytesRead); },
         Words({kGroup, 2, 4})},
        {ADS_CMD_READ_WRITE,
         [&](auto p, auto a) {
             return AdsSyncReadWriteReqEx2(p, a, ADS_IGRP_SYMBOL_HANDLE_BY_NAME, 0, 4, buffer, 9, symbol.data(),
                                           &bytesRead);
         },
         Words({ADS_IGRP_SYMBOL_HANDLE_BY_NAME, 0, 4, 9}, std::vector<uint8_t>(symbol.begin(), symbol.end()))},
        {ADS_CMD_WRITE, [&](auto p, auto a) { return AdsSyncWriteReqEx(p, a, kGroup, 1, 3, data.data()); },
         Words({kGroup, 1, 3}, data)},
        {ADS_CMD_READ_STATE, [&](auto p, auto a) { return AdsSyncReadStateReqEx(p, a, &adsState, &devState); }, {}},
        {ADS_CMD_READ_DEVICE_INFO, [&](auto p, auto a) { return AdsSyncReadDeviceInfoReqEx(p, a, name, &version); },
         {}},
        {ADS_CMD_WRITE_CONTROL,
         [&](auto p, auto a) { return AdsSyncWriteControlReqEx(p, a, ADSSTATE_STOP, 7, 0, nullptr); },
         {ADSSTATE_STOP, 0, 7, 0, 0, 0, 0, 0}},
        {ADS_CMD_WRITE_CONTROL,
         [&](auto p, auto a) { return AdsSyncWriteControlReqEx(p, a, ADSSTATE_RUN, 0, 3, data.data()); },
         {ADSSTATE_RUN, 0, 0, 0, 3, 0, 0, 0, 0xA, 0xB, 0xC}},
        {ADS_CMD_ADD_DEVICE_NOTIFICATION,
         [&](auto p, auto a) { return AdsSyncAddDeviceNotificationReqEx(p, a, kGroup, 4, &attrib, Dummy, 0, &handle); },
         Words({kGroup, 4, 4, ADS_TRANS_SERVER_ON_CHANGE, 1111, 2222}, std::vector<uint8_t>(16, 0))},
        {ADS_CMD_DEL_DEVICE_NOTIFICATION,
         [&](auto p, auto a) { return AdsSyncDelDeviceNotificationReqEx(p, a, handle); }, {}},
    };
    // The port is checked first, then the address; then a port in range but not open, and an
    // unrouted target (neither has a notification to delete), with nothing read.
    const AmsAddr unrouted{AmsNetId{10, 20, 0, 99, 1, 1}, 851};
    for (const Case& c : cases) {
        for (const int32_t bad : {0, -1, 65536, INT32_MIN}) {
            EXPECT_EQ(ADS_ERR_PORT_NOT_OPEN, c.call(bad, nullptr)) << c.cmdId << " port " << bad;
        }
        EXPECT_EQ(ADS_ERR_NO_AMS_ADDRESS, c.call(port, nullptr)) << c.cmdId;
        const bool del = c.cmdId == ADS_CMD_DEL_DEVICE_NOTIFICATION;
        EXPECT_EQ(del ? ADS_ERR_NOTIFICATION_NOT_FOUND : ADS_ERR_PORT_NOT_OPEN, c.call(30100, &plc)) << c.cmdId;
        bytesRead = 99;
        EXPECT_EQ(del ? ADS_ERR_NOTIFICATION_NOT_FOUND : ADS_ERR_TARGET_NOT_FOUND, c.call(port, &unrouted)) << c.cmdId;
        EXPECT_TRUE(c.cmdId != ADS_CMD_READ || bytesRead == 0);
    }
    EXPECT_EQ(ADS_ERR_PORT_NOT_OPEN, AdsGetLocalAddressEx(0, nullptr));
    EXPECT_EQ(ADS_ERR_NO_AMS_ADDRESS, AdsGetLocalAddressEx(port, nullptr));
    const int32_t nullPointers[] = {
        AdsSyncReadReqEx2(port, &plc, kGroup, 0, 0, nullptr, nullptr),
        AdsSyncReadWriteReqEx2(port, &plc, kGroup, 0, 4, nullptr, 0, nullptr, nullptr),
        AdsSyncReadWriteReqEx2(port, &plc, kGroup, 0, 0, nullptr, 4, nullptr, nullptr),
        AdsSyncWriteReqEx(port, &plc, kGroup, 0, 0, nullptr),
        AdsSyncReadStateReqEx(port, &plc, nullptr, &adsState),
        AdsSyncReadStateReqEx(port, &plc, &adsState, nullptr),
        AdsSyncWriteControlReqEx(port, &plc, 5, 0, 1, nullptr),
        AdsSyncReadDeviceInfoReqEx(port, &plc, nullptr, &version),
        AdsSyncReadDeviceInfoReqEx(port, &plc, name, nullptr),
        AdsSyncGetTimeoutEx(port, nullptr),
        AdsSyncAddDeviceNotificationReqEx(port, &plc, kGroup, 0, nullptr, Dummy, 0, &handle),
        AdsSyncAddDeviceNotificationReqEx(port, &plc, kGroup, 0, &attrib, nullptr, 0, &handle),
        AdsSyncAddDeviceNotificationReqEx(port, &plc, kGroup, 0, &attrib, Dummy, 0, nullptr),
    };
    for (const int32_t result : nullPointers) {
        EXPECT_EQ(ADS_ERR_INVALID_PARAMETER, result);
    }
    // Data too large for a frame, and a watched length whose sample buffer would wrap a 32-bit size.
    EXPECT_EQ(ADS_ERR_NO_MEMORY, AdsSyncWriteReqEx(port, &plc, kGroup, 0, 0xFFFFFFFF, buffer));
    EXPECT_EQ(ADS_ERR_NO_MEMORY, AdsSyncReadWriteReqEx2(port, &plc, kGroup, 0, 0, buffer, 0xFFFFFFF0, buffer, nullptr));
    EXPECT_EQ(ADS_ERR_NO_MEMORY, AdsSyncWriteControlReqEx(port, &plc, 5, 0, 0xFFFFFFFF, buffer));
    AdsNotificationAttrib huge = attrib;
    huge.watchedLength = 0xFFFFFFF8;
    EXPECT_EQ(ADSERR_DEVICE_INVALIDWATCHSIZE,
              AdsSyncAddDeviceNotificationReqEx(port, &plc, kGroup, 0, &huge, Dummy, 0, &handle));
    EXPECT_THROW(SampleBufferSize<uint32_t>(0xFFFFFFF8), std::bad_alloc);
    EXPECT_EQ(0u, sim->RequestCount()) << "nothing may reach the wire";

    // Each command once on the wire: both lengths and the payload; then its outputs.
    for (const Case& c : cases) {
        SCOPED_TRACE(c.cmdId);
        sim->ClearRequests();
        ASSERT_EQ(0, c.call(port, &plc));
        const auto requests = sim->Requests();
        ASSERT_EQ(1u, requests.size());
        const plcsim::Request& r = requests[0];
        EXPECT_EQ(c.cmdId, r.header.cmdId);
        EXPECT_EQ(plc::ads::AoEHeader::AMS_REQUEST, r.header.stateFlags);
        EXPECT_EQ(r.data.size(), r.header.length);
        EXPECT_EQ(32 + r.data.size(), le::Read<uint32_t>(r.raw.data() + 2));
        EXPECT_EQ(c.cmdId == ADS_CMD_DEL_DEVICE_NOTIFICATION ? Words({handle}) : c.payload, r.data);
    }
    EXPECT_NE(0u, le::Read<uint32_t>(buffer)) << "a symbol handle was read";
    EXPECT_EQ(data, sim->GetMemory(kGroup, 1, 3));
    EXPECT_EQ(std::make_tuple(ADSSTATE_RUN, ADSSTATE_CONFIG, 0x1234),
              std::make_tuple(sim->AdsState(), adsState, devState));
    EXPECT_EQ(std::make_tuple(sim->Options().deviceName, 1u, 4024u),
              std::make_tuple(std::string(name, strnlen(name, 16)), version.minorVersion, version.buildNumber));
    EXPECT_EQ(0u, sim->NotificationCount());

    // The room check cannot wrap: the largest read length still takes a 4-byte reply.
    sim->SetRequestHook([](const plcsim::Request&) { return std::optional<std::vector<uint8_t>>(Words({0, 4, 7})); });
    EXPECT_EQ(0, AdsSyncReadReqEx2(port, &plc, kGroup, 0, 0xFFFFFFFF, buffer, &bytesRead));
    EXPECT_EQ(std::make_tuple(4u, 7u), std::make_tuple(bytesRead, le::Read<uint32_t>(buffer)));
    sim->SetRequestHook(nullptr);
    // Failed requests leave their outputs alone; a failed read reads nothing.
    sim->InjectReplyFault(ReplyFault::AmsError(0x701).Times(2));
    adsState = devState = 0xBEEF;
    version = AdsVersion{9, 9, 9};
    EXPECT_EQ(0x701, AdsSyncReadStateReqEx(port, &plc, &adsState, &devState));
    EXPECT_EQ(0x701, AdsSyncReadDeviceInfoReqEx(port, &plc, name, &version));
    EXPECT_EQ(std::make_tuple(0xBEEF, 0xBEEF, 9), std::make_tuple(adsState, devState, version.majorVersion));
    EXPECT_EQ(ADSERR_DEVICE_INVALIDGRP, AdsSyncReadReqEx2(port, &plc, 0x7777, 0, 4, buffer, &bytesRead));
    EXPECT_EQ(0u, bytesRead);
    handle = 0;
    EXPECT_EQ(ADSERR_DEVICE_INVALIDGRP,
              AdsSyncAddDeviceNotificationReqEx(port, &plc, 0x7777, 0, &attrib, Dummy, 0, &handle));
    EXPECT_EQ(ADS_ERR_NOTIFICATION_NOT_FOUND, AdsSyncDelDeviceNotificationReqEx(port, &plc, handle));
}

TEST_F(Requests, RoutesShareConnectionsAndCountThemselves)
{
    const AmsNetId kB{10, 20, 0, 2, 1, 1};
    const AmsAddr b{kB, 851};
    uint16_t state[2];
    ASSERT_EQ(0, plc::ads::AddLocalRoute(kB, sim->HostString().c_str()));
    ASSERT_EQ(0, plc::ads::AddLocalRoute(kPlc, sim->HostString().c_str()));
    EXPECT_EQ(0, AdsSyncReadStateReqEx(port, &b, &state[0], &state[1]));
    EXPECT_EQ(1u, sim->AcceptedCount()) << "NetIds behind one address share one connection";
    plc::ads::DelLocalRoute(kPlc);
    plc::ads::DelLocalRoute(kB);
    plc::ads::DelLocalRoute(kB); // nothing left to delete: no effect on the other NetId
    EXPECT_EQ(ADS_ERR_TARGET_NOT_FOUND, AdsSyncReadStateReqEx(port, &b, &state[0], &state[1]));
    ExpectHealthy(port);

    // Failed routes leave nothing behind (a NetId routed elsewhere: the device test).
    const Loopback refusing(false);
    EXPECT_EQ(ADS_ERR_TARGET_PORT_NOT_FOUND, plc::ads::AddLocalRoute(kB, "127.0.0.1:no-such-service"));
    try {
        plc::ads::AddLocalRoute(kB, refusing.Host().c_str());
        ADD_FAILURE() << "a refused connection makes no route";
    } catch (const plc::ads::ConnectError& e) {
        EXPECT_STREQ(e.what(), ("Cannot connect to " + refusing.Host() + ": connection refused").c_str());
    }
    EXPECT_THROW(plc::ads::AddLocalRoute(kB, nullptr), std::logic_error);
    EXPECT_EQ(1u, GetRouter().ConnectionCount());
    ExpectHealthy(port);

    // A router that refuses the NetId: every attempt gets a new connection, none of which ever
    // answered, so none counts as a reconnection.
    plcsim::SimOptions strict;
    strict.ownNetIdOnly = true;
    plcsim::PlcSimulator refuser(strict);
    refuser.Start();
    const AmsAddr c{AmsNetId{10, 20, 0, 3, 1, 1}, 851};
    for (int attempt = 0; attempt < 3; ++attempt) {
        ASSERT_EQ(0, plc::ads::AddLocalRoute(c.amsNetId, refuser.HostString().c_str()));
        EXPECT_EQ(ADS_ERR_TARGET_NOT_FOUND, AdsSyncReadStateReqEx(port, &c, &state[0], &state[1]));
        plc::ads::DelLocalRoute(c.amsNetId);
    }
    EXPECT_EQ(3u, refuser.AcceptedCount());
    EXPECT_EQ(0u, plc::ads::GetConnectionCounters(c.amsNetId).reconnections);

    AmsAddr local{AmsNetId{}, 0};
    ASSERT_EQ(0, AdsGetLocalAddressEx(port, &local));
    EXPECT_EQ((AmsAddr{AmsNetId{127, 0, 0, 1, 1, 1}, static_cast<uint16_t>(port)}), local)
        << "the local NetId comes from the first connection";
    // A local NetId set by the user is what the PLC sees.
    const AmsNetId chosen{1, 2, 3, 4, 5, 6};
    plc::ads::SetLocalAddress(chosen);
    ExpectHealthy(port);
    plc::ads::SetLocalAddress(AmsNetId{127, 0, 0, 1, 1, 1});
    EXPECT_EQ(chosen, sim->Requests().back().header.sourceNetId);

    // Routes of a lost connection move to the new one with all their counts: it stays open until the last goes.
    {
        AdsDevice first(sim->HostString(), kPlc, 851);
        first.AbortConnection();
        ASSERT_TRUE(WaitUntil([&] { return Counters().connection == 0; }));
        AdsDevice second(sim->HostString(), kPlc, 851);
        EXPECT_EQ(std::make_tuple(3u, 3u),
                  std::make_tuple(GetRouter().RouteCount(kPlc), GetRouter().GetConnection(kPlc)->routeCount.load()));
    }
    EXPECT_EQ(1u, GetRouter().ConnectionCount());
    ExpectHealthy(port);
}

TEST_F(Requests, DeviceHoldsARouteAndAPortAndGivesBackWhatItTakes)
{
    sim->AddSymbol("MAIN.iInt", {1, 2});
    auto code = [](const std::function<void()>& action) -> std::string {
        try {
            action();
        } catch (const AdsException& ex) {
            return std::to_string(ex.resultCode) + ' ' + ex.what();
        } catch (const std::out_of_range& ex) {
            return ex.what();
        }
        return "none";
    };
    {
        AdsDevice device(sim->HostString(), kPlc, 851);
        EXPECT_EQ(std::make_tuple(port + 1, 2u, ADS_DEFAULT_TIMEOUT_MS),
                  std::make_tuple(int32_t{device.GetLocalPort()}, GetRouter().RouteCount(kPlc), device.GetTimeout()));

        // A NetId routed elsewhere is refused, and neither route nor connection is made to that host.
        plcsim::PlcSimulator other;
        other.Start();
        EXPECT_EQ("1286 Ads operation failed with error code 1286.",
                  code([&] { AdsDevice clash(other.HostString(), kPlc, 851); }));
        EXPECT_EQ(0u, other.AcceptedCount());
        EXPECT_EQ(2u, GetRouter().RouteCount(kPlc));

        // A plain offset has nothing to release (symbol handles: the notification test).
        sim->ClearRequests();
        EXPECT_EQ(0x1234u, *device.GetHandle(uint32_t{0x1234}));
        EXPECT_EQ(0u, sim->RequestCount());
        EXPECT_EQ("1808 Ads operation failed with error code 1808.", code([&] { device.GetHandle("MAIN.nope"); }));
        // Success with fewer than 4 handle bytes, or notification handle 0, is no handle.
        sim->SetRequestHook([](const plcsim::Request& r) -> std::optional<std::vector<uint8_t>> {
            if (r.header.cmdId == ADS_CMD_READ_WRITE) {
                return ReadData({0xAA, 0xBB});
            }
            return r.header.cmdId == ADS_CMD_ADD_DEVICE_NOTIFICATION ? std::optional(Words({0, 0})) : std::nullopt;
        });
        EXPECT_EQ("1797 Ads operation failed with error code 1797.", code([&] { device.GetHandle("MAIN.iInt"); }));
        const AdsNotificationAttrib attrib{2, ADS_TRANS_SERVER_ON_CHANGE, 0, 0};
        EXPECT_EQ("1876 Ads operation failed with error code 1876.",
                  code([&] { device.GetHandle(kGroup, 0, attrib, Dummy, 0); }));
        sim->ClearRequests(); // files open through read-write and close on release
        EXPECT_EQ(0xBBAAu, *device.OpenFile("a.txt", 0x11));
        EXPECT_EQ(Words({ADS_IGRP_FILE_OPEN, 0x11, 4, 5}, {'a', '.', 't', 'x', 't'}), sim->Requests().at(0).data);
        EXPECT_EQ(Words({ADS_IGRP_FILE_CLOSE, 0xBBAA, 0, 0}), sim->Requests().at(1).data);
        sim->SetRequestHook(nullptr);

        // States outside the known range; the ADS state is checked first.
        sim->SetState(25, 30);
        EXPECT_EQ("Unknown ADSSTATE(25)", code([&] { device.GetState(); }));
        sim->SetState(ADSSTATE_RUN, 30);
        EXPECT_EQ("Unknown ADSSTATE(30)", code([&] { device.GetState(); }));
        device.SetState(ADSSTATE_STOP, ADSSTATE_INIT);
        EXPECT_EQ(std::make_tuple(ADSSTATE_STOP, ADSSTATE_INIT), std::make_tuple(sim->AdsState(), sim->DeviceState()));
        EXPECT_EQ(0, std::strncmp(device.GetDeviceInfo().deviceName, "PLC Simulator", 16));

        // Aborting ends the device's connection (how waiters are released is the receive path's test).
        device.AbortConnection();
        EXPECT_EQ("1861 Ads operation failed with error code 1861.", code([&] { device.GetState(); }));
    }
    EXPECT_EQ(1u, GetRouter().RouteCount(kPlc));
    EXPECT_EQ(port + 1, OpenPort()) << "the device's port was closed";
}

TEST(SymbolDecoding, MalformedTablesAreRefusedAndGoodOnesDecodeExactly)
{
    const std::vector<uint8_t> good = plcsim::EncodeSymbolEntry("MAIN.x", "DINT", "note", 4, 0x4040, 8);
    const uint32_t length = static_cast<uint32_t>(good.size());
    const auto patched = [&](size_t at, uint32_t value, size_t bytes, size_t cut = 0) {
        std::vector<uint8_t> v(good.begin(), good.end() - static_cast<std::ptrdiff_t>(cut));
        bytes == 4 ? le::Write<uint32_t>(v.data() + at, value)
                   : le::Write<uint16_t>(v.data() + at, static_cast<uint16_t>(value));
        return v;
    };
    const auto join = [](std::vector<uint8_t> a, const std::vector<uint8_t>& b) {
        a.insert(a.end(), b.begin(), b.end());
        return a;
    };
    const std::vector<uint8_t> malformed[] = {
        patched(0, 0, 4), patched(0, 29, 4), patched(0, length - 1, 4), patched(0, length + 1, 4),
        patched(0, length - 1, 4, 1), // the comment's terminator is missing, and nothing follows
        patched(24, 200, 2), patched(28, 0xFFFF, 2),
        join(good, std::vector<uint8_t>(good.begin(), good.begin() + 20)),
        join(good, std::vector<uint8_t>(good.begin(), good.end() - 1)), join(good, std::vector<uint8_t>(40, 0)),
    };
    for (size_t i = 0; i < std::size(malformed); ++i) {
        std::vector<plc::ads::SymbolEntry> out;
        EXPECT_EQ(ADS_ERR_INVALID_RESPONSE, plc::ads::DecodeSymbolTable(malformed[i].data(), malformed[i].size(), out))
            << i;
        EXPECT_TRUE(out.empty()) << i;
    }
    // Bytes a newer runtime appends to an entry are skipped; empty texts are fine.
    std::vector<uint8_t> longer = join(good, {1, 2, 3, 4, 5, 6});
    le::Write<uint32_t>(longer.data(), length + 6);
    const std::vector<uint8_t> table = join(longer, plcsim::EncodeSymbolEntry(".g", "STRING(80)", "", 4, 0x4040, 8));
    std::vector<plc::ads::SymbolEntry> out;
    ASSERT_EQ(ADS_OK, plc::ads::DecodeSymbolTable(table.data(), table.size(), out));
    ASSERT_EQ(2u, out.size());
    EXPECT_EQ(std::make_tuple("MAIN.x", "DINT", "note", 4u, 0x4040u, 8u, ".g", "STRING(80)", ""),
              std::make_tuple(out[0].name, out[0].typeName, out[0].comment, out[0].size, out[0].indexGroup,
                              out[0].indexOffset, out[1].name, out[1].typeName, out[1].comment));
}

TEST_F(Requests, SymbolInformationFromTheSimulatorAndItsRefusals)
{
    sim->LoadDefaultSymbols();
    sim->AddSymbol("GVL.raw", {1, 2, 3});
    std::vector<plc::ads::SymbolEntry> table;
    ASSERT_EQ(ADS_OK, plc::ads::ReadSymbolTable(port, &plc, &table));
    const size_t symbols = plcsim::DefaultSymbols().size() + 1;
    ASSERT_EQ(symbols, table.size());
    EXPECT_EQ("GVL.raw ARRAY [0..2] OF BYTE 3",
              table[1].name + ' ' + table[1].typeName + ' ' + std::to_string(table[1].size)); // in name order
    plc::ads::SymbolEntry entry;
    ASSERT_EQ(ADS_OK, plc::ads::ReadSymbolInfoByName(port, &plc, "main.DIDINT", &entry));
    EXPECT_EQ("MAIN.diDint DINT 4", entry.name + ' ' + entry.typeName + ' ' + std::to_string(entry.size));
    EXPECT_EQ(ADSERR_DEVICE_SYMBOLNOTFOUND, plc::ads::ReadSymbolInfoByName(port, &plc, "MAIN.nope", &entry));

    // Replies that cut the table, miss an entry, claim a huge length, or lack the symbol groups.
    using Replies = std::map<uint32_t, std::vector<uint8_t>>; // index group -> read reply data
    const auto one = plcsim::EncodeSymbolEntry("A", "BYTE", "", 1, 0x4040, 0);
    const auto info = [](uint32_t n, size_t length) {
        return ReadData(Words({n, static_cast<uint32_t>(length), 0, 0, 0, 0}));
    };
    const std::pair<Replies, int32_t> broken[] = {
        {{{ADS_IGRP_SYMBOL_UPLOAD_INFO, info(1, one.size())},
          {ADS_IGRP_SYMBOL_UPLOAD, ReadData(std::vector<uint8_t>(one.begin(), one.end() - 3))}},
         ADS_ERR_INVALID_RESPONSE},
        {{{ADS_IGRP_SYMBOL_UPLOAD_INFO, info(2, one.size())}, {ADS_IGRP_SYMBOL_UPLOAD, ReadData(one)}},
         ADS_ERR_INVALID_RESPONSE},
        {{{ADS_IGRP_SYMBOL_UPLOAD_INFO, info(1, 0xFFFFFFF0u)}}, ADS_ERR_NO_MEMORY},
        {{{ADS_IGRP_SYMBOL_UPLOAD_INFO, Words({ADSERR_DEVICE_INVALIDGRP, 0})}}, ADSERR_DEVICE_INVALIDGRP},
    };
    for (const auto& [replies, result] : broken) {
        sim->SetRequestHook([&replies = replies](const plcsim::Request& r) -> std::optional<std::vector<uint8_t>> {
            const auto it = r.header.cmdId == ADS_CMD_READ ? replies.find(le::Read<uint32_t>(r.data.data()))
                                                           : replies.end();
            return it == replies.end() ? std::nullopt : std::optional<std::vector<uint8_t>>(it->second);
        });
        EXPECT_EQ(result, plc::ads::ReadSymbolTable(port, &plc, &table));
        EXPECT_EQ(symbols, table.size()) << "a failed read leaves the caller's table alone";
    }
    sim->SetRequestHook(nullptr);
}

TEST(NetIdText, SixDecimalFieldsFrom0To255AndPrintsInDecimal)
{
    const char* const invalid = "0.0.0.0.1.1";
    const std::pair<const char*, const char*> texts[] = {
        {"255.255.255.255.255.255", "255.255.255.255.255.255"}, {"010.0.3.4.5.6", "10.0.3.4.5.6"},
        {"1..3.4.5.6", invalid}, {"1.2.3.4.5.6.", invalid}, {" 1.2.3.4.5.6", invalid}, {"1.2.3.4.5.6 ", invalid},
        {"256.1.1.1.1.1", invalid}, {"300.1.1.1.1.1", invalid}, {"1.-1.1.1.1.1", invalid}, {"+7.2.3.4.5.6", invalid},
        {"1.2.12ab.4.5.6", invalid}, {"1.2.3.x.5.6", invalid}, {"1.2.3.4.5.0255", invalid}, {"", invalid},
        {"1.2.3.4.5", invalid}, {"1.2.3.4.5.6.7", invalid}, {"1.2.3.4.5.6..", invalid},
    };
    for (const auto& t : texts) {
        EXPECT_EQ(t.second, AmsNetId(t.first).ToString()) << t.first;
        AmsNetId out(9, 9, 9, 9, 9, 9);
        const bool valid = std::string(t.second) != "0.0.0.0.1.1";
        EXPECT_EQ(valid, ParseAmsNetId(t.first, out)) << t.first;
        EXPECT_EQ(valid ? t.second : "0.0.0.0.0.0", make_AmsNetId(t.first).ToString()) << t.first;
    }
    EXPECT_FALSE(static_cast<bool>(AmsNetId("1.2.3")));
    EXPECT_TRUE(static_cast<bool>(make_AmsNetId("1.2.3"))) << "the all-zero NetId counts as set";
    std::ostringstream os;
    os << std::hex << 255 << ' ' << AmsNetId(10, 11, 12, 13, 1, 255);
    EXPECT_EQ("ff 10.11.12.13.1.255", os.str());
    const AmsAddr a{AmsNetId("10.0.0.1.1.1"), 851};
    EXPECT_TRUE(a < (AmsAddr{a.amsNetId, 852}) && (AmsAddr{AmsNetId("10.0.0.0.1.1"), 65535}) < a);
}

TEST(Sockets, HostTextsCandidatesTheirLogLinesAndBoundedConnects)
{
    const std::tuple<const char*, int, uint16_t> hosts[] = {
        {"127.0.0.1", AF_INET, 48898}, {"127.0.0.1:801", AF_INET, 801}, {"[::1]", AF_INET6, 48898},
        {"[::1]:851", AF_INET6, 851},  {"::1", AF_INET6, 48898},
    };
    for (const auto& [host, family, port] : hosts) {
        EXPECT_TRUE(plc::ads::HostPortValid(host)) << host;
        const auto list = plc::ads::GetListOfAddresses(host, "48898");
        ASSERT_TRUE(list) << host;
        EXPECT_EQ(family, list->ai_family) << host;
        const uint16_t got = family == AF_INET ? reinterpret_cast<const sockaddr_in*>(list->ai_addr)->sin_port
                                               : reinterpret_cast<const sockaddr_in6*>(list->ai_addr)->sin6_port;
        EXPECT_EQ(port, ntohs(got)) << host;
    }
    // A port that is not 1 to 65535 is refused before anything resolves or connects, never wrapped.
    for (const char* host : {"127.0.0.1:101383", "127.0.0.1:abc", "127.0.0.1:", "127.0.0.1:0", "127.0.0.1:65536",
                             "[::1]:-1", "127.0.0.1:+80", "[::1]:no-such-service"}) {
        EXPECT_FALSE(plc::ads::HostPortValid(host)) << host;
        try {
            plc::ads::GetListOfAddresses(host, "48898");
            ADD_FAILURE() << host;
        } catch (const std::runtime_error& e) {
            EXPECT_STREQ(plc::ads::INVALID_PORT_TEXT, e.what()) << host;
        }
    }
    EXPECT_TRUE(plc::ads::HostPortValid("127.0.0.1:65535"));

    // A refused candidate is logged and the next one tried; lines carry a time stamp and their level.
    EXPECT_EQ(4u, Logger::logLevel.load()) << "silent by default";
    LogCapture log(LOG_LEVEL_WARN);
    Logger::Log(LOG_LEVEL_INFO, "hidden");
    const Loopback refusing(false);
    const Loopback accepting(true, 8);
    const auto refused = plc::ads::GetListOfAddresses(refusing.Host(), "0");
    const auto accepted = plc::ads::GetListOfAddresses(accepting.Host(), "0");
    addrinfo* const rest = refused->ai_next; // given back before the lists are freed
    refused->ai_next = accepted.get();
    EXPECT_NO_THROW(TcpSocket{refused.get()});
    refused->ai_next = nullptr;
    EXPECT_THROW(TcpSocket{refused.get()}, std::system_error);
    refused->ai_next = rest;
    const std::string stamp = R"(\d{4}-\d{2}-\d{2}T\d{2}:\d{2}:\d{2}[+-]\d{4} )";
    const std::string failed = stamp + R"(Warning: Socket\(\): connect failed\n)";
    EXPECT_TRUE(std::regex_match(log.Text(), std::regex(failed + failed + stamp + "Error: Unable to create socket\n")))
        << log.Text();

    // A peer that never completes the handshake (its accept queue is full) costs one bounded attempt.
    const Loopback stuck(true, 0);
    const auto addresses = plc::ads::GetListOfAddresses(stuck.Host(), "48898");
    std::vector<std::unique_ptr<TcpSocket>> fillers;
    bool timedOut = false;
    for (int attempt = 0; attempt < 8 && !timedOut; ++attempt) {
        const auto start = Clock::now();
        try {
            fillers.push_back(std::make_unique<TcpSocket>(addresses.get(), std::chrono::milliseconds(200)));
        } catch (const std::system_error&) {
            EXPECT_GE(ElapsedMs(start), 150);
            EXPECT_LT(ElapsedMs(start), 450);
            timedOut = true;
        }
    }
    EXPECT_TRUE(timedOut);
}

} // namespace
} // namespace stack
