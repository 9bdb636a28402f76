// The simulator as a peer sees it on the wire, where the client stack would hide it: error
// replies, notification frames, and the injected faults every other test relies on.
#include "tools/sim/PlcSimulator.h"

#include "ads/AdsSymbols.h"
#include "ads/LittleEndian.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>

using namespace std::chrono_literals;
using plc::ads::AoEHeader;
using plcsim::ReplyFault;
using Bytes = std::vector<uint8_t>;
namespace le = plc::ads::le;

namespace {

const AmsAddr kPlc{AmsNetId{127, 0, 0, 1, 1, 1}, 851};
const AmsAddr kOther{AmsNetId{10, 20, 30, 40, 5, 6}, 801}; // served like any target
const AmsAddr kClient{AmsNetId{127, 0, 0, 1, 9, 9}, 30000};
constexpr uint32_t V = ADS_IGRP_SYMBOL_VALUE_BY_HANDLE, N = ADS_IGRP_SYMBOL_HANDLE_BY_NAME, M = 0x4020;

Bytes Cat(std::initializer_list<Bytes> parts)
{
    Bytes out;
    for (const auto& p : parts) {
        out.insert(out.end(), p.begin(), p.end());
    }
    return out;
}
Bytes U32(uint32_t v) { return {uint8_t(v), uint8_t(v >> 8), uint8_t(v >> 16), uint8_t(v >> 24)}; }
Bytes Rq(uint32_t group, uint32_t offset, uint32_t n, std::optional<Bytes> d = {})
{
    return Cat({U32(group), U32(offset), U32(n), d ? Cat({U32(uint32_t(d->size())), *d}) : Bytes{}});
}
Bytes Wr(uint32_t g, uint32_t o, const Bytes& d) { return Cat({U32(g), U32(o), U32(uint32_t(d.size())), d}); }
Bytes Add(uint32_t group, uint32_t offset, uint32_t length, uint32_t mode, uint32_t period = 10000)
{
    return Cat({Rq(group, offset, length), U32(mode), U32(0), U32(period), Bytes(16, 0)});
}
Bytes Fail(uint32_t code) { return Cat({U32(code), U32(0)}); }

struct Frame {
    uint32_t tcpLength = 0;
    AoEHeader h;
    Bytes data;
};

// A bare AMS/TCP peer on 127.0.0.1; `end` tells how the stream ended.
struct Peer {
    explicit Peer(uint16_t port)
    {
        sockaddr_in sa{AF_INET, htons(port), {htonl(INADDR_LOOPBACK)}, {}};
        if (::connect(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0) {
            ::close(fd);
            throw std::runtime_error("refused");
        }
    }
    ~Peer() { ::close(fd); }
    uint32_t Send(uint16_t cmd, const Bytes& data, AmsAddr target = kPlc, uint16_t flags = AoEHeader::AMS_REQUEST)
    {
        const AoEHeader h{target.amsNetId, target.amsPort, kClient.amsNetId, kClient.amsPort, cmd, flags,
                          uint32_t(data.size()), 0, ++invoke};
        Bytes b = Cat({{0, 0}, U32(uint32_t(32 + data.size())), Bytes(32), data});
        h.Encode(b.data() + 6);
        ::send(fd, b.data(), b.size(), MSG_NOSIGNAL);
        return invoke;
    }
    Bytes Raw(size_t n, std::chrono::milliseconds limit = 2000ms)
    {
        Bytes b(n);
        size_t got = 0;
        pollfd p{fd, POLLIN, 0};
        while (got < n && ::poll(&p, 1, int(limit.count())) > 0) {
            const ssize_t r = ::recv(fd, b.data() + got, n - got, 0);
            if (r <= 0) {
                end = r == 0 ? "closed" : "reset";
                break;
            }
            got += size_t(r);
        }
        b.resize(got);
        return b;
    }
    std::optional<Frame> Next(std::chrono::milliseconds limit = 2000ms)
    {
        const Bytes head = Raw(6, limit);
        if (head.size() < 6) {
            return std::nullopt;
        }
        Frame f{le::Read<uint32_t>(head.data() + 2), {}, {}};
        const Bytes body = Raw(f.tcpLength);
        if (body.size() >= 32) {
            f.h = AoEHeader::Decode(body.data());
            f.data.assign(body.begin() + 32, body.end());
        }
        return f;
    }
    // The reply's data; its header must answer the request exactly.
    Bytes Call(uint16_t cmd, const Bytes& data, AmsAddr target = kPlc)
    {
        const uint32_t id = Send(cmd, data, target);
        auto f = Next();
        while (f && f->h.cmdId == ADS_CMD_DEVICE_NOTIFICATION) {
            notes.push_back(*f);
            f = Next();
        }
        const Frame r = f.value_or(Frame{});
        const auto size = uint32_t(r.data.size());
        EXPECT_EQ(std::make_tuple(r.h.Target(), r.h.Source(), r.h.cmdId, r.h.stateFlags, r.h.invokeId, r.h.errorCode,
                                  r.h.length, r.tcpLength),
                  std::make_tuple(kClient, target, cmd, uint16_t(5), id, 0u, size, 32 + size));
        return r.data;
    }
    // The handle a successful reply carries, else 0.
    uint32_t Handle(const std::string& name)
    {
        const Bytes r = Call(ADS_CMD_READ_WRITE, Rq(N, 0, 4, Bytes(name.begin(), name.end())));
        return le::Read<uint32_t>(Cat({r, Bytes(12)}).data() + 8);
    }
    uint32_t Notify(const Bytes& req, AmsAddr target = kPlc)
    {
        return le::Read<uint32_t>(Cat({Call(ADS_CMD_ADD_DEVICE_NOTIFICATION, req, target), Bytes(8)}).data() + 4);
    }

    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    uint32_t invoke = 0;
    std::string end = "open";
    std::vector<Frame> notes; // passed over while awaiting a reply
};

// Stamp time and (handle, bytes) samples of a notification frame with one stamp.
using SampleList = std::vector<std::pair<uint32_t, Bytes>>;
std::pair<uint64_t, SampleList> Samples(const std::optional<Frame>& f)
{
    const Frame n = f.value_or(Frame{});
    EXPECT_EQ(std::make_tuple(n.h.cmdId, n.h.stateFlags, n.h.invokeId, n.h.Target()),
              std::make_tuple(uint16_t(ADS_CMD_DEVICE_NOTIFICATION), uint16_t(4), 0u, kClient));
    le::Reader r(n.data.data(), n.data.size());
    EXPECT_EQ(r.Get<uint32_t>() + 4, n.data.size());
    EXPECT_EQ(r.Get<uint32_t>(), 1u);
    const uint64_t time = r.Get<uint64_t>();
    SampleList out(r.Get<uint32_t>());
    for (auto& [handle, bytes] : out) {
        handle = r.Get<uint32_t>();
        bytes.resize(r.Get<uint32_t>());
        r.GetBytes(bytes.data(), bytes.size());
    }
    return {time, out};
}

class Simulator : public ::testing::Test {
protected:
    void SetUp() override
    {
        sim.SetMemory(M, 100, {1, 2, 3, 4, 5, 6, 7, 8});
        sim.AddSymbol("GVL.value", {1, 2, 3, 4});
        sim.Start();
    }
    plcsim::PlcSimulator sim;
};

TEST_F(Simulator, CommandsAnswerWithTheModelOrTheRightError)
{
    Peer c(sim.Port());
    const uint32_t h = c.Handle(std::string("gvl.VALUE\0", 10));
    ASSERT_NE(h, 0u);
    ASSERT_NE(c.Handle("MAIN.down"), h);
    const std::vector<std::tuple<uint16_t, Bytes, Bytes>> steps = {
        {ADS_CMD_READ, Rq(M, 102, 4), Cat({U32(0), U32(4), {3, 4, 5, 6}})},
        {ADS_CMD_WRITE, Wr(M, 106, {0xAA, 0xBB}), U32(0)},
        {ADS_CMD_READ_WRITE, Rq(M, 100, 3, Bytes{9}), Cat({U32(0), U32(3), {9, 2, 3}})},
        {ADS_CMD_READ, Rq(0x9999, 0, 4), Fail(0x702)}, // no such group
        {ADS_CMD_READ, Rq(M, 0, 4), Fail(0x703)},      // before the region
        {ADS_CMD_READ, Rq(M, 108, 1), Fail(0x703)},    // just past it
        {ADS_CMD_WRITE, Wr(M, 107, {1, 2}), U32(0x705)}, // over its end
        {ADS_CMD_READ, {1, 2, 3}, Fail(0x705)},        // truncated requests
        {ADS_CMD_WRITE, Cat({Rq(M, 100, 50), {1}}), U32(0x705)},
        {ADS_CMD_READ_WRITE, Cat({Rq(M, 100, 1), U32(2), {7}}), Fail(0x705)},
        {ADS_CMD_WRITE_CONTROL, {5}, U32(0x705)},
        {77, {1, 2, 3, 4}, U32(0x701)},
        {ADS_CMD_READ, Rq(V, h, 5), Fail(0x705)},
        {ADS_CMD_WRITE, Wr(V, h, {1, 1, 1, 1, 1}), U32(0x705)},
        {ADS_CMD_READ_WRITE, Rq(V, h, 4, Bytes{7}), Cat({U32(0), U32(4), {7, 2, 3, 4}})},
        {ADS_CMD_READ_WRITE, Rq(N, 0, 4, Bytes{'n', 'o'}), Fail(0x710)},
        {ADS_CMD_READ_WRITE, Rq(N, 0, 2, Bytes{'G'}), Fail(0x705)},
        {ADS_CMD_WRITE, Wr(ADS_IGRP_SYMBOL_RELEASE_HANDLE, 0, U32(h)), U32(0)},
        {ADS_CMD_WRITE, Wr(ADS_IGRP_SYMBOL_RELEASE_HANDLE, 0, U32(h)), U32(0x710)},
        {ADS_CMD_READ, Rq(V, h, 1), Fail(0x710)},
    };
    for (size_t i = 0; i < steps.size(); ++i) {
        const auto& [cmd, request, reply] = steps[i];
        EXPECT_EQ(c.Call(cmd, request, i % 2 != 0 ? kOther : kPlc), reply) << "step " << i;
    }
    EXPECT_EQ(sim.GetMemory(M, 100, 20), Bytes({9, 2, 3, 4, 5, 6, 0xAA, 0xBB}));
    EXPECT_EQ(sim.OpenHandleCount(), 1u);
    sim.AddSymbol("up", {0xFF, 0xFF, 0}, plcsim::Behaviour::CountUp); // counters carry and borrow across bytes
    sim.AddSymbol("down", {0, 0, 1}, plcsim::Behaviour::CountDown);
    sim.AddSymbol("temp", {0, 0, 0xAC, 0x41}, plcsim::Behaviour::Sine); // 21.5
    const auto temp = [&] {
        const uint32_t bits = le::Read<uint32_t>(sim.GetSymbolValue("temp").data());
        float f;
        std::memcpy(&f, &bits, 4);
        return f;
    };
    EXPECT_TRUE(plcsim::WaitUntil(
        [&] { return sim.GetSymbolValue("up")[2] == 1 && sim.GetSymbolValue("down")[2] == 0 && temp() != 21.5F; }, 3s));
    EXPECT_NEAR(temp(), 21.5F, 2.16F) << "a sine swings by a tenth around its initial value";

    // What a client answers or announces is recorded, never answered; a length beyond any packet
    // closes that connection only.
    c.Send(ADS_CMD_READ_STATE, {}, kPlc, AoEHeader::AMS_RESPONSE);
    c.Send(ADS_CMD_DEVICE_NOTIFICATION, U32(0));
    EXPECT_EQ(c.Call(ADS_CMD_READ_STATE, {}), Cat({U32(0), {5, 0, 0, 0}}));
    EXPECT_EQ(sim.Requests().size(), 2u + steps.size() + 3u);
    Peer huge(sim.Port());
    ::send(huge.fd, "\0\0\xff\xff\xff\x7f", 6, 0);
    EXPECT_FALSE(huge.Next());
    EXPECT_EQ(huge.end, "closed");

    // Served only: its own NetId (else the router's 0x7) and the listed ports (else 0x6).
    plcsim::SimOptions strict;
    strict.ownNetIdOnly = true;
    strict.adsPorts = {851};
    plcsim::PlcSimulator router(strict);
    Peer r(router.Start());
    for (const auto& [target, error, size] : {std::tuple{kPlc, 0u, 8u}, {AmsAddr{kPlc.amsNetId, 852}, 6u, 0u},
                                              {kOther, 7u, 0u}}) {
        const uint32_t id = r.Send(ADS_CMD_READ_STATE, {}, target);
        const Frame f = r.Next().value_or(Frame{});
        EXPECT_EQ(std::make_tuple(f.h.invokeId, f.h.Source(), f.h.errorCode, f.h.length, f.data.size()),
                  std::make_tuple(id, target, error, size, size_t(size)));
    }
}

TEST_F(Simulator, NotificationsFirstOnChangeGroupedOwnedAndForgottenOnRestart)
{
    sim.SetClock(1000);
    Peer c(sim.Port());
    const uint32_t sym = c.Handle("GVL.value");
    const uint32_t a = c.Notify(Add(V, sym, 2, ADS_TRANS_SERVER_ON_CHANGE), kOther);
    const uint32_t b = c.Notify(Add(M, 105, 4, ADS_TRANS_SERVER_ON_CHANGE, 200000), kOther);
    SampleList first; // at once, grouped or not, then nothing while unchanged
    auto f = c.notes.empty() ? c.Next() : c.notes.front();
    for (size_t i = 1; f && first.size() < 4; f = i < c.notes.size() ? c.notes[i++] : c.Next(60ms)) {
        EXPECT_EQ(f->h.Source(), kOther);
        for (const auto& s : Samples(f).second) {
            first.push_back(s);
        }
    }
    std::sort(first.begin(), first.end());
    EXPECT_EQ(first, (SampleList{{a, {1, 2}}, {b, {6, 7, 8, 0}}})) << "a long watch is zero-padded";

    sim.SetSilent(true); // holds sampling while both change, so both are due in one pass
    sim.SetSymbolValue("GVL.value", {5, 5});
    sim.SetMemory(M, 100, {0, 0, 0, 0, 0, 9});
    sim.SetClock(1007);
    EXPECT_FALSE(c.Next(60ms));
    sim.SetSilent(false);
    EXPECT_EQ(Samples(c.Next()), std::make_pair(uint64_t(1007), SampleList{{a, {5, 5}}, {b, {9, 0, 0, 0}}}));

    auto other = std::make_unique<Peer>(sim.Port());
    EXPECT_EQ(other->Call(ADS_CMD_DEL_DEVICE_NOTIFICATION, U32(a)), U32(0x714)) << "only its owner deletes it";
    EXPECT_EQ(other->Call(ADS_CMD_ADD_DEVICE_NOTIFICATION, Add(M, 100, 0, 4)), Fail(0x717));
    EXPECT_EQ(other->Call(ADS_CMD_ADD_DEVICE_NOTIFICATION, Add(M, 100, 2, 99)), Fail(0x70B));
    ASSERT_NE(other->Notify(Add(M, 100, 1, ADS_TRANS_SERVER_CYCLE)), 0u);
    EXPECT_EQ(c.Call(ADS_CMD_DEL_DEVICE_NOTIFICATION, U32(b)), U32(0));
    other.reset();
    EXPECT_TRUE(plcsim::WaitUntil([&] { return sim.NotificationCount() == 1; }, 3s))
        << "a closed connection frees its own";

    const uint16_t port = sim.Port();
    sim.Restart(150ms);
    EXPECT_FALSE(c.Next()) << "connections end";
    EXPECT_THROW(Peer refused(port), std::runtime_error);
    ASSERT_TRUE(plcsim::WaitUntil([&] { return sim.IsListening(); }, 3s));
    Peer again(port);
    EXPECT_EQ(again.Call(ADS_CMD_READ, Rq(V, sym, 2)), Fail(0x710));
    EXPECT_EQ(again.Call(ADS_CMD_READ, Rq(V, again.Handle("GVL.value"), 2)), Cat({U32(0), U32(2), {5, 5}}));
}

// An element of an array by name is a variable of its own: handles, values, notifications and
// symbol information over its bytes alone, within the array's bounds.
TEST_F(Simulator, ArrayElementsByNameAreVariablesOfTheirOwn)
{
    Peer c(sim.Port());
    const uint32_t cell = c.Handle("main.AINT[1,2]"); // ARRAY [0..2, 0..3] OF INT, the last index fastest
    ASSERT_NE(cell, 0u);
    EXPECT_EQ(c.Call(ADS_CMD_READ, Rq(V, cell, 2)), Cat({U32(0), U32(2), {7, 0}}));
    EXPECT_EQ(c.Call(ADS_CMD_READ, Rq(V, cell, 3)), Fail(0x705)) << "not into the next element";
    EXPECT_EQ(c.Call(ADS_CMD_WRITE, Wr(V, cell, {0x34, 0x12})), U32(0));
    const Bytes grid = sim.GetSymbolValue("MAIN.aInt");
    EXPECT_EQ(Bytes(grid.begin() + 10, grid.begin() + 16), Bytes({6, 0, 0x34, 0x12, 8, 0}));
    const uint32_t note = c.Notify(Add(V, cell, 2, ADS_TRANS_SERVER_ON_CHANGE));
    const auto first = c.notes.empty() ? c.Next() : c.notes.front();
    EXPECT_EQ(Samples(first).second, (SampleList{{note, {0x34, 0x12}}}));
    for (const char* outside : {"MAIN.aInt[3,0]", "MAIN.aInt[1]", "MAIN.aInt[0,0,0]", "MAIN.aInt[x,1]", "MAIN.iInt[0]",
                                "MAIN.aReal[0]", "MAIN.aReal[11]"}) {
        EXPECT_EQ(c.Handle(outside), 0u) << outside;
    }
    // Symbol information as for any variable: its type name, size, id and address.
    const auto info = [&](const std::string& name) {
        const Bytes r = c.Call(ADS_CMD_READ_WRITE, Rq(ADS_IGRP_SYMBOL_INFO_BY_NAME, 0, 1024, Bytes(name.begin(), name.end())));
        plc::ads::SymbolEntry e;
        size_t used = 0;
        EXPECT_EQ(r.size() > 8 ? plc::ads::DecodeSymbolEntry(r.data() + 8, r.size() - 8, e, used) : -1, 0) << name;
        return e;
    };
    const plc::ads::SymbolEntry array = info("MAIN.aReal"), element = info("MAIN.aReal[3]"), mode = info("MAIN.eMode");
    EXPECT_EQ(std::make_tuple(array.typeName, array.size, array.dataType), std::make_tuple("ARRAY [1..10] OF REAL", 40u, 4u));
    EXPECT_EQ(std::make_tuple(element.name, element.typeName, element.size, element.dataType, element.indexOffset),
              std::make_tuple("MAIN.aReal[3]", "REAL", 4u, 4u, array.indexOffset + 8));
    EXPECT_EQ(std::make_tuple(mode.typeName, mode.size, mode.dataType), std::make_tuple("E_Mode", 2u, 2u));
    EXPECT_EQ(c.Call(ADS_CMD_READ_WRITE, Rq(ADS_IGRP_SYMBOL_INFO_BY_NAME, 0, 1024, Bytes{'M', '['})), Fail(0x710));
}

// How a fault ends the connection (FIN or reset, after how many bytes), which a client sees only as a
// lost connection; the other reply faults are judged by the stack tests from what the client makes of them.
TEST_F(Simulator, InjectedFaultsEndTheConnectionAsTheyClaim)
{
    const std::tuple<ReplyFault, size_t, const char*> ends[] = { // bytes of the 46-byte reply; 99: any
        {ReplyFault::CloseBefore(), 0, "closed"}, {ReplyFault::CloseInside(), 42, "closed"},
        {ReplyFault::CloseInside(7), 7, "closed"}, {ReplyFault::CloseAfter(), 46, "closed"},
        {ReplyFault::ResetBefore(), 0, "reset"}, {ReplyFault::ResetInside(), 99, "reset"},
        {ReplyFault::ResetAfter(), 99, "reset"}};
    for (const auto& [fault, bytes, how] : ends) {
        Peer p(sim.Port());
        sim.InjectReplyFault(fault);
        p.Send(ADS_CMD_READ_STATE, {});
        const size_t got = p.Raw(47).size(); // a reset may discard what was sent before it
        EXPECT_EQ(std::make_tuple(bytes == 99 ? 99 : got, p.end), std::make_tuple(bytes, std::string(how)));
    }

    EXPECT_EQ(plcsim::ToFileTime({}), 116444736000000000ULL) << "1970 in 100 ns units since 1601";
}

} // namespace

namespace {

TEST(SymbolFiles, EveryTypeEncodesAndEveryMalformedLineIsNamed)
{
    const auto defs = plcsim::ParseSymbolText("# comment\n\na BOOL true constant\nb WORD 0xBEEF counter\n"
                                              "c SINT -128 countdown\nd UDINT 4294967295 constant\n"
                                              "e real 1.5 sine\nf LREAL -2.25 constant\n"
                                              "g STRING \"two # words\" constant note\nh String(5) abc constant\n");
    ASSERT_EQ(defs.size(), 8u);
    const Bytes real = {0x00, 0x00, 0xC0, 0x3F};
    const Bytes lreal = {0, 0, 0, 0, 0, 0, 0x02, 0xC0};
    const Bytes initial[] = {{1}, {0xEF, 0xBE}, {0x80}, {0xFF, 0xFF, 0xFF, 0xFF}, real, lreal};
    for (size_t i = 0; i < 6; ++i) {
        EXPECT_EQ(defs[i].initial, initial[i]) << defs[i].name;
    }
    EXPECT_EQ(std::string(defs[6].initial.begin(), defs[6].initial.begin() + 12), std::string("two # words\0", 12));
    EXPECT_EQ(defs[6].initial.size(), 81u);
    EXPECT_EQ(defs[6].typeName + "/" + defs[6].comment, "STRING(80)/note");
    EXPECT_EQ(defs[7].typeName + "/" + std::to_string(defs[7].initial.size()), "STRING(5)/6");
    EXPECT_EQ(defs[1].behaviour, plcsim::Behaviour::CountUp);

    // The types added since: 64-bit integers at their ends, the time types by their raw count,
    // WSTRING as UTF-16, the program's own types and arrays with their bounds.
    const auto more = plcsim::ParseSymbolText(
        "l LINT -9223372036854775808 constant\nu ULINT 18446744073709551615 counter\nt TIME 3723004 counter\n"
        "d dt 4294967295 constant\nw WSTRING(3) \"\xC3\xA4 \xE2\x82\xAC\" constant\ne E_Mode:INT -2 constant\n"
        "a ARRAY [-1..1, 0..1] OF SINT [[1,2],[3,4],[5,-6]] constant\n"
        "s \"ARRAY [0..1] OF STRING(3)\" [ab,\"c\"] constant\nz array[1..3]of LREAL 0 constant\n");
    ASSERT_EQ(more.size(), 9u);
    const std::vector<std::tuple<std::string, Bytes, uint32_t>> declared = {
        {"LINT", {0, 0, 0, 0, 0, 0, 0, 0x80}, 20},         {"ULINT", Bytes(8, 0xFF), 21},
        {"TIME", {0xFC, 0xCE, 0x38, 0}, 19},               {"DT", {0xFF, 0xFF, 0xFF, 0xFF}, 19},
        {"WSTRING(3)", {0xE4, 0, ' ', 0, 0xAC, 0x20, 0, 0}, 31}, {"E_Mode", {0xFE, 0xFF}, 2},
        {"ARRAY [-1..1, 0..1] OF SINT", {1, 2, 3, 4, 5, 0xFA}, 16},
        {"ARRAY [0..1] OF STRING(3)", {'a', 'b', 0, 0, 'c', 0, 0, 0}, 30}, {"ARRAY [1..3] OF LREAL", Bytes(24, 0), 5}};
    for (size_t i = 0; i < declared.size(); ++i) {
        const auto& [typeName, bytes, id] = declared[i];
        EXPECT_EQ(std::make_tuple(more[i].typeName, more[i].initial), std::make_tuple(typeName, bytes)) << more[i].name;
        EXPECT_EQ(more[i].dataTypeId != 0 ? more[i].dataTypeId : plcsim::DataTypeIdOf(more[i].typeName), id) << typeName;
    }
    EXPECT_EQ(defs[2].behaviour, plcsim::Behaviour::CountDown);
    EXPECT_EQ(defs[4].behaviour, plcsim::Behaviour::Sine);

    const std::pair<std::string, const char*> bad[] = {
        {"x INT", "expected 'name TYPE initial behaviour [comment]', got 2 fields"},
        {"a INT 1 constant", "duplicate symbol 'a'"},
        {"x FOO 1 constant", "unknown type 'FOO'"},
        {"x USINT 256 constant", "out of range for USINT"},
        {"x SINT -129 constant", "out of range for SINT"},
        {"x INT 12ab constant", "is not an integer"},
        {"x REAL abc constant", "is not a number"},
        {"x BOOL 2 constant", "BOOL initial value must be 0, 1, true or false"},
        {"x REAL 1 counter", "counter needs an integer type, not REAL"},
        {"x INT 1 sine", "sine needs REAL or LREAL, not INT"},
        {"x INT 1 wobble", "unknown behaviour 'wobble'"},
        {"x STRING \"open constant", "unterminated quote"},
        {"x STRING " + std::string(81, 'y') + " constant", "longer than 80 characters"},
        {"x string(4) abcde constant", "longer than 4 characters"}, {"x STRING(0) a constant", "unknown type"},
        {"x WSTRING(2) abc constant", "WSTRING initial value longer than 2 characters"},
        {"x LINT 9223372036854775808 constant", "out of range for LINT"},
        {"x ULINT 18446744073709551616 constant", "is not an integer"},
        {"x ARRAY [1..] OF INT 0 constant", "malformed array type"},
        {"x ARRAY [1..3] OF FOO 0 constant", "unknown element type 'FOO'"},
        {"x ARRAY [1..3] OF INT [1,2] constant", "initial value has 2 values, ARRAY [1..3] OF INT has 3 elements"},
        {"x ARRAY [1..3] OF INT [1,2,x] constant", "initial value 'x' is not an integer"},
        {"x ARRAY [1..3] OF INT 0 counter", "counter needs an integer type"},
        {"x ARRAY [0..40000] OF INT 0 constant", "array larger than 65536 bytes"},
    };
    std::string all = "a INT 1 constant\n";
    for (const auto& [line, reason] : bad) {
        try {
            plcsim::ParseSymbolText("a INT 1 constant\n" + line + "\n");
            ADD_FAILURE() << line;
        } catch (const plcsim::SymbolFileError& e) {
            EXPECT_EQ(e.Line(), 2u) << line;
            EXPECT_NE(std::string(e.what()).find(reason), std::string::npos) << e.what();
        }
        all += line + "\n";
    }
    try {
        plcsim::ParseSymbolText(all);
    } catch (const plcsim::SymbolFileError& e) {
        const std::string what = e.what();
        EXPECT_EQ(std::count(what.begin(), what.end(), '\n') + 1, std::size(bad)) << "every line: " << what;
        EXPECT_EQ(what.rfind("line " + std::to_string(std::size(bad) + 1) + ": "), what.rfind('\n') + 1);
    }
}

} // namespace
