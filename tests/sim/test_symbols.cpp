// Symbol handles, values by handle, behaviours, the built-in table and the symbol file format.
#include "sim/support/RawClient.h"

#include "ads/LittleEndian.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <set>

using namespace simtest;
namespace le = plc::ads::le;

namespace {

class Symbols : public ::testing::Test {
protected:
    void SetUp() override
    {
        sim.AddSymbol("GVL.value", {1, 2, 3, 4});
        sim.Start();
    }
    plcsim::PlcSimulator sim;
};

TEST_F(Symbols, HandlesByNameAreUniqueNonZeroAndToleratesTerminatorAndCase)
{
    RawClient c(sim.Port());
    std::set<uint32_t> seen;
    for (const std::string& name : std::vector<std::string>{"GVL.value", "gvl.VALUE", std::string("GVL.value\0", 10), "MAIN.down"}) {
        const uint32_t h = c.Handle(name);
        EXPECT_NE(h, 0u) << name;
        EXPECT_TRUE(seen.insert(h).second) << name;
    }
    EXPECT_EQ(sim.OpenHandleCount(), 4u);

    auto unknown = c.Call(ADS_CMD_READ_WRITE, ReadWriteReq(ADS_IGRP_SYMBOL_HANDLE_BY_NAME, 0, 4, {'n', 'o'}));
    ASSERT_TRUE(unknown);
    EXPECT_EQ(unknown->data, Cat({U32(0x710), U32(0)}));
    auto tooSmall = c.Call(ADS_CMD_READ_WRITE, ReadWriteReq(ADS_IGRP_SYMBOL_HANDLE_BY_NAME, 0, 2, {'G'}));
    ASSERT_TRUE(tooSmall);
    EXPECT_EQ(ResultOf(*tooSmall), 0x705u);
    EXPECT_EQ(sim.OpenHandleCount(), 4u);
}

TEST_F(Symbols, ValueByHandleReadsAndWritesPrefixesAndRefusesOversize)
{
    RawClient c(sim.Port());
    const uint32_t h = c.Handle("GVL.value");
    auto r = c.Call(ADS_CMD_READ, ReadReq(ADS_IGRP_SYMBOL_VALUE_BY_HANDLE, h, 4));
    ASSERT_TRUE(r);
    EXPECT_EQ(r->data, Cat({U32(0), U32(4), {1, 2, 3, 4}}));
    r = c.Call(ADS_CMD_READ, ReadReq(ADS_IGRP_SYMBOL_VALUE_BY_HANDLE, h, 1));
    ASSERT_TRUE(r);
    EXPECT_EQ(ReadDataOf(*r), Bytes({1}));
    r = c.Call(ADS_CMD_READ, ReadReq(ADS_IGRP_SYMBOL_VALUE_BY_HANDLE, h, 5));
    ASSERT_TRUE(r);
    EXPECT_EQ(r->data, Cat({U32(0x705), U32(0)}));

    auto w = c.Call(ADS_CMD_WRITE, WriteReq(ADS_IGRP_SYMBOL_VALUE_BY_HANDLE, h, {9, 8}));
    ASSERT_TRUE(w);
    EXPECT_EQ(w->data, U32(0));
    EXPECT_EQ(sim.GetSymbolValue("GVL.value"), Bytes({9, 8, 3, 4}));
    w = c.Call(ADS_CMD_WRITE, WriteReq(ADS_IGRP_SYMBOL_VALUE_BY_HANDLE, h, {1, 1, 1, 1, 1}));
    ASSERT_TRUE(w);
    EXPECT_EQ(w->data, U32(0x705));
    EXPECT_EQ(sim.GetSymbolValue("GVL.value"), Bytes({9, 8, 3, 4}));

    auto rw = c.Call(ADS_CMD_READ_WRITE, ReadWriteReq(ADS_IGRP_SYMBOL_VALUE_BY_HANDLE, h, 4, {7}));
    ASSERT_TRUE(rw);
    EXPECT_EQ(ReadDataOf(*rw), Bytes({7, 8, 3, 4}));

    sim.SetSymbolValue("GVL.VALUE", {5, 5, 5, 5});
    r = c.Call(ADS_CMD_READ, ReadReq(ADS_IGRP_SYMBOL_VALUE_BY_HANDLE, h, 4));
    ASSERT_TRUE(r);
    EXPECT_EQ(ReadDataOf(*r), Bytes({5, 5, 5, 5}));
    EXPECT_THROW(sim.SetSymbolValue("nope", {1}), std::out_of_range);
    EXPECT_THROW(sim.GetSymbolValue("nope"), std::out_of_range);
}

TEST_F(Symbols, ReleasedRemovedAndForeignHandlesAreStale)
{
    RawClient c(sim.Port());
    const uint32_t h = c.Handle("GVL.value");
    const uint32_t other = c.Handle("MAIN.bBool");
    auto rel = c.Call(ADS_CMD_WRITE, WriteReq(ADS_IGRP_SYMBOL_RELEASE_HANDLE, 0, U32(h)));
    ASSERT_TRUE(rel);
    EXPECT_EQ(rel->data, U32(0));
    EXPECT_EQ(sim.OpenHandleCount(), 1u);
    rel = c.Call(ADS_CMD_WRITE, WriteReq(ADS_IGRP_SYMBOL_RELEASE_HANDLE, 0, U32(h)));
    ASSERT_TRUE(rel);
    EXPECT_EQ(rel->data, U32(0x710));
    for (uint32_t stale : {h, 0u, 0xDEADBEEFu}) {
        auto r = c.Call(ADS_CMD_READ, ReadReq(ADS_IGRP_SYMBOL_VALUE_BY_HANDLE, stale, 1));
        ASSERT_TRUE(r);
        EXPECT_EQ(r->data, Cat({U32(0x710), U32(0)}));
        auto w = c.Call(ADS_CMD_WRITE, WriteReq(ADS_IGRP_SYMBOL_VALUE_BY_HANDLE, stale, {1}));
        ASSERT_TRUE(w);
        EXPECT_EQ(w->data, U32(0x710));
    }
    // Handles outlive their connection, but a removed symbol makes them stale.
    RawClient d(sim.Port());
    EXPECT_TRUE(sim.RemoveSymbol("main.bbool"));
    auto r = d.Call(ADS_CMD_READ, ReadReq(ADS_IGRP_SYMBOL_VALUE_BY_HANDLE, other, 1));
    ASSERT_TRUE(r);
    EXPECT_EQ(ResultOf(*r), 0x710u);
    EXPECT_EQ(d.Handle("MAIN.bBool"), 0u);
}

TEST(SymbolBehaviours, CountersWrapAndSineMoves)
{
    plcsim::SimOptions o;
    o.defaultSymbols = false;
    o.tickPeriod = 2ms;
    plcsim::PlcSimulator sim(o);
    sim.AddSymbol("up", {0xFE, 0xFF}, plcsim::Behaviour::CountUp);
    sim.AddSymbol("down", {0x01, 0x00, 0x00}, plcsim::Behaviour::CountDown);
    sim.AddSymbol("sine", Bytes(8, 0), plcsim::Behaviour::Sine);
    sim.AddSymbol("fixed", {42});
    sim.Start();
    ASSERT_TRUE(plcsim::WaitUntil([&] { return sim.GetSymbolValue("up")[0] < 0xFE; }, 5s)); // wrapped past 0xFFFF
    ASSERT_TRUE(plcsim::WaitUntil([&] { return sim.GetSymbolValue("down")[2] == 0xFF; }, 5s)); // borrowed past 0
    double d = 0;
    ASSERT_TRUE(plcsim::WaitUntil(
        [&] {
            const auto v = sim.GetSymbolValue("sine");
            std::memcpy(&d, v.data(), 8);
            return d > 1.0;
        },
        5s));
    EXPECT_LE(d, 100.0);
    EXPECT_EQ(sim.GetSymbolValue("fixed"), Bytes({42}));
}

TEST(DefaultSymbols, CoverTheTwelveTypesAndTheDriverVariables)
{
    plcsim::PlcSimulator sim;
    EXPECT_EQ(sim.GetSymbolValue("MAIN.down").size(), 2u);
    EXPECT_EQ(sim.GetSymbolValue(".count").size(), 2u);
    const std::pair<const char*, size_t> typed[] = {
        {"MAIN.bBool", 1},  {"MAIN.wWord", 2},    {"MAIN.dwDword", 4}, {"MAIN.siSint", 1},
        {"MAIN.usiUsint", 1}, {"MAIN.iInt", 2},  {"MAIN.uiUint", 2},  {"MAIN.diDint", 4},
        {"MAIN.udiUdint", 4}, {"MAIN.rReal", 4}, {"MAIN.lrLreal", 8}, {"MAIN.sText", 81},
    };
    for (const auto& t : typed) {
        EXPECT_EQ(sim.GetSymbolValue(t.first).size(), t.second) << t.first;
    }
    plcsim::SimOptions bare;
    bare.defaultSymbols = false;
    EXPECT_FALSE(plcsim::PlcSimulator(bare).HasSymbol("MAIN.down"));
}

TEST(SymbolText, ParsesEveryTypeAndBehaviour)
{
    const auto defs = plcsim::ParseSymbolText("# a comment\n"
                                              "\n"
                                              "MAIN.b BOOL true constant\n"
                                              "MAIN.w WORD 0xBEEF counter   # trailing comment\n"
                                              "MAIN.si SINT -128 countdown\n"
                                              "MAIN.di DINT -2147483648 constant \"its comment\"\n"
                                              "MAIN.udi UDINT 4294967295 constant\n"
                                              "MAIN.r REAL 1.5 sine\n"
                                              "MAIN.lr LREAL -0.25 constant\n"
                                              "MAIN.s STRING \"two words # not a comment\" constant\n");
    ASSERT_EQ(defs.size(), 8u);
    EXPECT_EQ(defs[0].initial, Bytes({1}));
    EXPECT_EQ(defs[1].initial, Bytes({0xEF, 0xBE}));
    EXPECT_EQ(defs[1].behaviour, plcsim::Behaviour::CountUp);
    EXPECT_EQ(defs[2].initial, Bytes({0x80}));
    EXPECT_EQ(defs[2].behaviour, plcsim::Behaviour::CountDown);
    EXPECT_EQ(defs[3].initial, Bytes({0, 0, 0, 0x80}));
    EXPECT_EQ(defs[3].typeName, "DINT");
    EXPECT_EQ(defs[3].comment, "its comment");
    EXPECT_EQ(defs[2].comment, "");
    EXPECT_EQ(defs[4].initial, Bytes({0xFF, 0xFF, 0xFF, 0xFF}));
    float f = 0;
    std::memcpy(&f, defs[5].initial.data(), 4);
    EXPECT_EQ(f, 1.5F);
    EXPECT_EQ(defs[5].behaviour, plcsim::Behaviour::Sine);
    EXPECT_EQ(defs[6].initial.size(), 8u);
    ASSERT_EQ(defs[7].initial.size(), 81u);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(defs[7].initial.data())), "two words # not a comment");
    EXPECT_EQ(defs[7].typeName, "STRING(80)");
}

TEST(SymbolText, RefusesMalformedLinesNamingTheLine)
{
    const std::pair<const char*, const char*> bad[] = {
        {"a INT 1", "fields"},
        {"a INT 1 constant \"comment\" extra", "fields"},
        {"a FLOAT 1 constant", "unknown type"},
        {"a INT 40000 constant", "out of range"},
        {"a USINT -1 constant", "out of range"},
        {"a INT 1x constant", "not an integer"},
        {"a REAL abc constant", "not a number"},
        {"a BOOL 2 constant", "BOOL"},
        {"a STRING \"open constant", "quote"},
        {"a INT 1 sine", "sine"},
        {"a REAL 1 counter", "counter"},
        {"a INT 1 wobble", "unknown behaviour"},
        {"x INT 1 constant\nX INT 2 constant", "duplicate"},
    };
    for (const auto& b : bad) {
        const std::string text = std::string("# header\nok INT 1 constant\n") + b.first + "\n";
        const size_t expectedLine = std::string(b.first).find('\n') == std::string::npos ? 3 : 4;
        try {
            plcsim::ParseSymbolText(text);
            ADD_FAILURE() << "accepted: " << b.first;
        } catch (const plcsim::SymbolFileError& e) {
            EXPECT_EQ(e.Line(), expectedLine) << b.first;
            EXPECT_NE(std::string(e.what()).find("line " + std::to_string(expectedLine) + ":"), std::string::npos);
            EXPECT_NE(std::string(e.what()).find(b.second), std::string::npos) << e.what();
        }
    }
}

} // namespace
