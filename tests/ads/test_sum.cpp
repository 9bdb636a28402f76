// Sum commands: the reply decoders against hand-built replies, and the requests against the simulator.
#include "support/stack.h"

#include "ads/AdsSum.h"

#include <set>

namespace stack {
namespace {

using namespace plc::ads;

TEST(SumDecoding, RepliesOfExactlyTheirLayoutDecodeAndEveryOtherSizeIsRefused)
{
    struct Case {
        const char* name;
        std::vector<uint8_t> reply;
        std::function<int32_t(const uint8_t*, size_t, std::string&)> decode; // prints what it decoded
    };
    const auto text = [](int32_t result, const std::vector<uint8_t>& data) {
        return std::to_string(result) + ":" + std::to_string(data.size()) + (data.empty() ? "" : "/" + std::to_string(data[0])) + " ";
    };
    const std::vector<Case> cases{
        {"results", Words({0, 0x710}),
         [](const uint8_t* d, size_t n, std::string& s) {
             std::vector<int32_t> out;
             const int32_t r = DecodeSumResults(d, n, 2, out);
             for (const int32_t v : out) s += std::to_string(v) + " ";
             return r;
         }},
        {"read", Words({0, 0x705}, {0xAA, 0xBB, 0}),
         [&](const uint8_t* d, size_t n, std::string& s) {
             std::vector<SumReadWriteResult> out;
             const int32_t r = DecodeSumRead(d, n, {2, 1}, out);
             for (const auto& v : out) s += text(v.result, v.data);
             return r;
         }},
        {"read-write", Words({0, 4, 0x710, 0, 0x12345678}),
         [&](const uint8_t* d, size_t n, std::string& s) {
             std::vector<SumReadWriteResult> out;
             const int32_t r = DecodeSumReadWrite(d, n, {4, 8}, out);
             for (const auto& v : out) s += text(v.result, v.data);
             return r;
         }},
        {"add notification", Words({0, 0x1000, 0x712, 0, 0, 0}),
         [](const uint8_t* d, size_t n, std::string& s) {
             std::vector<SumGrant> out;
             const int32_t r = DecodeSumAddNotification(d, n, 3, out);
             for (const auto& g : out) s += std::to_string(g.result) + "/" + std::to_string(g.handle) + " ";
             return r;
         }},
    };
    const std::vector<std::string> decoded{"0 1808 ", "0:2/170 1797:1/0 ", "0:4/120 1808:0 ",
                                           "0/4096 1810/0 1876/0 "}; // a grant of handle 0 is no grant
    for (size_t c = 0; c < cases.size(); ++c) {
        std::vector<uint8_t> bytes = cases[c].reply;
        bytes.resize(bytes.size() + 8, 0);
        for (size_t size = 0; size <= bytes.size(); ++size) {
            std::string out;
            const int32_t result = cases[c].decode(bytes.data(), size, out);
            if (size == cases[c].reply.size()) {
                EXPECT_EQ(ADS_OK, result) << cases[c].name;
                EXPECT_EQ(decoded[c], out) << cases[c].name;
            } else {
                EXPECT_EQ(ADS_ERR_INVALID_RESPONSE, result) << cases[c].name << " of " << size << " bytes";
                EXPECT_EQ("", out) << cases[c].name << " of " << size << " bytes";
            }
        }
    }
    // Sizes that add up but lie: more returned than asked for, one handle granted twice.
    std::vector<SumReadWriteResult> rw;
    const std::vector<uint8_t> longer = Words({0, 5, 0, 3}, std::vector<uint8_t>(8));
    EXPECT_EQ(ADS_ERR_INVALID_RESPONSE, DecodeSumReadWrite(longer.data(), longer.size(), {4, 8}, rw));
    std::vector<SumGrant> grants;
    const std::vector<uint8_t> twice = Words({0, 7, 0, 7});
    EXPECT_EQ(ADS_ERR_INVALID_RESPONSE, DecodeSumAddNotification(twice.data(), twice.size(), 2, grants));
    EXPECT_TRUE(rw.empty() && grants.empty());
}

using Sum = StackTest;

TEST_F(Sum, MixedSubResultsSplitRequestsAndTheSimulatorsRefusals)
{
    sim->AddSymbol("MAIN.a", {1, 0});
    sim->AddSymbol("MAIN.b", {2, 0});
    const auto name = [](const std::string& s) { return std::vector<uint8_t>(s.begin(), s.end()); };
    std::vector<SumReadWriteRequest> byName;
    for (const char* symbol : {"MAIN.a", "MAIN.nope", "MAIN.b"}) {
        byName.push_back({ADS_IGRP_SYMBOL_HANDLE_BY_NAME, 0, 4, name(symbol)});
    }
    std::vector<SumReadWriteResult> handles;
    ASSERT_EQ(ADS_OK, SumReadWrite(port, &plc, byName, &handles));
    ASSERT_EQ(3u, handles.size());
    EXPECT_EQ(ADSERR_DEVICE_SYMBOLNOTFOUND, handles[1].result);
    ASSERT_TRUE(handles[0].result == 0 && handles[2].result == 0 && handles[0].data.size() == 4);

    // Notifications on both handles and on one that does not exist; samples come to the granted ones.
    std::vector<SumNotificationRequest> subs;
    for (const uint32_t h : {le::Read<uint32_t>(handles[0].data.data()), 0xDEADu, le::Read<uint32_t>(handles[2].data.data())}) {
        subs.push_back({ADS_IGRP_SYMBOL_VALUE_BY_HANDLE, h, {2, ADS_TRANS_SERVER_ON_CHANGE, 0, 0}, &Recorder::Callback, h});
    }
    std::vector<SumGrant> grants;
    ASSERT_EQ(ADS_OK, SumAddDeviceNotifications(port, &plc, subs, &grants));
    ASSERT_EQ(3u, grants.size());
    EXPECT_EQ(ADSERR_DEVICE_SYMBOLNOTFOUND, grants[1].result);
    ASSERT_TRUE(Recorder::WaitForCount(2));
    std::set<uint8_t> first;
    for (const Sample& s : Recorder::Samples()) first.insert(s.data.at(0));
    EXPECT_EQ((std::set<uint8_t>{1, 2}), first);

    std::vector<int32_t> deleted;
    // A handle the port does not hold is not sent: the target may have granted it to another client.
    EXPECT_EQ(ADS_OK, SumDelDeviceNotifications(port, &plc, {grants[0].handle, grants[2].handle, 0x99}, &deleted));
    EXPECT_EQ((std::vector<int32_t>{0, 0, ADS_ERR_NOTIFICATION_NOT_FOUND}), deleted);
    EXPECT_EQ(0u, sim->NotificationCount());

    // Grants in bulk that come after their request timed out are deleted again; the port's live
    // notification stays. Cyclic samples to another port keep the connection alive meanwhile.
    const AdsNotificationAttrib cyclic{4, ADS_TRANS_SERVER_CYCLE, 0, 100000};
    uint32_t busy = 0;
    ASSERT_EQ(ADS_OK, AdsSyncAddDeviceNotificationReqEx(port, &plc, kGroup, 0, &cyclic, &Recorder::Callback, 7, &busy));
    const int32_t hurried = OpenPort(100);
    std::vector<SumGrant> live;
    ASSERT_EQ(ADS_OK, SumAddDeviceNotifications(hurried, &plc, {subs[0]}, &live));
    sim->InjectReplyFault(plcsim::ReplyFault::Delay(1000ms).For(ADS_CMD_READ_WRITE));
    std::vector<SumGrant> late;
    EXPECT_EQ(ADS_ERR_SYNC_TIMEOUT, SumAddDeviceNotifications(hurried, &plc, {subs[0], subs[2]}, &late));
    EXPECT_EQ(4u, sim->NotificationCount());
    EXPECT_TRUE(WaitUntil([&] { return sim->NotificationCount() == 2; }, 3s));
    deleted.clear();
    EXPECT_EQ(ADS_OK, SumDelDeviceNotifications(hurried, &plc, {live[0].handle}, &deleted));
    EXPECT_EQ((std::vector<int32_t>{0}), deleted);
    EXPECT_EQ(ADS_OK, AdsSyncDelDeviceNotificationReqEx(port, &plc, busy));
    EXPECT_EQ(0u, sim->NotificationCount());

    // 1,001 handles go out in three requests of at most 500 and come back in bulk.
    sim->ClearRequests();
    std::vector<SumReadWriteRequest> many(1001, byName[0]);
    handles.clear();
    ASSERT_EQ(ADS_OK, SumReadWrite(port, &plc, many, &handles));
    std::vector<SumWriteRequest> releases;
    for (const auto& h : handles) releases.push_back({ADS_IGRP_SYMBOL_RELEASE_HANDLE, 0, h.data});
    std::vector<int32_t> released;
    ASSERT_EQ(ADS_OK, SumWrite(port, &plc, releases, &released));
    EXPECT_EQ(std::vector<int32_t>(1001, 0), released);
    EXPECT_EQ(6u, Sent(ADS_CMD_READ_WRITE));
    EXPECT_EQ(2u, sim->OpenHandleCount()); // those of MAIN.a and MAIN.b from above

    // The simulator's sum read, and its refusal of every request whose sizes miss the layout.
    uint8_t reply[8 + 8] = {};
    uint32_t bytesRead = 0;
    const std::vector<uint8_t> cells = Words({kGroup, 0, 4, kGroup, 4, 4});
    ASSERT_EQ(ADS_OK, AdsSyncReadWriteReqEx2(port, &plc, ADS_IGRP_SUM_READ, 2, 16, reply, 24, cells.data(), &bytesRead));
    std::vector<SumReadWriteResult> read;
    ASSERT_EQ(ADS_OK, DecodeSumRead(reply, bytesRead, {4, 4}, read));
    EXPECT_EQ(Cell(ADS_PORT_BASE + 1), le::Read<uint32_t>(read[1].data.data()));
    const std::vector<uint8_t> one = Words({0xF003, 0, 4, 1}, {'x'});
    const struct {
        uint32_t group, n, readLength, writeLength;
    } wrong[] = {{ADS_IGRP_SUM_READ_WRITE, 2, 16, 17}, {ADS_IGRP_SUM_READ_WRITE, 1, 13, 17},
                 {ADS_IGRP_SUM_READ_WRITE, 0, 0, 0},   {ADS_IGRP_SUM_DEL_NOTIFICATION, 2, 8, 4},
                 {ADS_IGRP_SUM_WRITE, 1, 4, 17},       {ADS_IGRP_SUM_ADD_NOTIFICATION, 1, 8, 17}};
    for (const auto& w : wrong) {
        EXPECT_EQ(ADS_ERR_INVALID_SIZE, AdsSyncReadWriteReqEx2(port, &plc, w.group, w.n, w.readLength, reply,
                                                               w.writeLength, one.data(), &bytesRead))
            << std::hex << w.group << " n " << w.n;
    }
}

TEST_F(Sum, OlderRuntimesRefuseSumCommandsAndNotificationsHaveAPerClientLimit)
{
    plcsim::SimOptions options;
    options.sumCommands = false;
    options.maxNotificationsPerClient = 1;
    plcsim::PlcSimulator older(options);
    older.Start();
    const AmsNetId netId{10, 20, 0, 2, 1, 1};
    ASSERT_EQ(0, plc::ads::AddLocalRoute(netId, older.HostString().c_str()));
    const AmsAddr target{netId, 851};
    std::vector<SumReadWriteResult> results;
    EXPECT_EQ(ADSERR_DEVICE_SRVNOTSUPP,
              SumReadWrite(port, &target, {{ADS_IGRP_SYMBOL_HANDLE_BY_NAME, 0, 4, {'x'}}}, &results));
    EXPECT_TRUE(results.empty());
    const AdsNotificationAttrib attrib{2, ADS_TRANS_SERVER_ON_CHANGE, 0, 0};
    uint32_t handles[2] = {};
    older.SetMemory(0xF020, 0, {1, 2});
    EXPECT_EQ(ADS_OK, AdsSyncAddDeviceNotificationReqEx(port, &target, 0xF020, 0, &attrib, &Recorder::Callback, 1,
                                                        &handles[0]));
    EXPECT_EQ(0x716, AdsSyncAddDeviceNotificationReqEx(port, &target, 0xF020, 0, &attrib, &Recorder::Callback, 2,
                                                       &handles[1]));
    EXPECT_EQ(ADS_OK, AdsSyncDelDeviceNotificationReqEx(port, &target, handles[0]));
    plc::ads::DelLocalRoute(netId);
}

} // namespace
} // namespace stack
