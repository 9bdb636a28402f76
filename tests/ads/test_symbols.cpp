// Symbol information: the decoders against malformed tables, and the three requests
// against the simulator.
#include "ads/AdsDevice.h"
#include "ads/AdsSymbols.h"
#include "ads/LittleEndian.h"
#include "tools/sim/PlcSimulator.h"

#include <gtest/gtest.h>

using namespace plc::ads;

namespace {

const AmsNetId kPlc{10, 31, 0, 1, 1, 1};

std::vector<uint8_t> Entry(const std::string& name = "MAIN.x", const std::string& type = "DINT",
                           const std::string& comment = "note")
{
    return plcsim::EncodeSymbolEntry(name, type, comment, 4, 0x4040, 8);
}

std::vector<uint8_t> Join(std::vector<uint8_t> a, const std::vector<uint8_t>& b)
{
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

template <typename T>
std::vector<uint8_t> Patched(std::vector<uint8_t> bytes, size_t at, T value)
{
    le::Write<T>(bytes.data() + at, value);
    return bytes;
}

TEST(SymbolDecoding, MalformedTablesAreRefusedAndGoodOnesDecodeExactly)
{
    const std::vector<uint8_t> good = Entry();
    const uint32_t length = static_cast<uint32_t>(good.size());
    struct Case {
        const char* what;
        std::vector<uint8_t> table;
    };
    const Case malformed[] = {
        {"entry length 0", Patched<uint32_t>(good, 0, 0)},
        {"entry length below its header", Patched<uint32_t>(good, 0, 29)},
        {"entry length short of its texts", Patched<uint32_t>(good, 0, length - 1)},
        {"entry length beyond the table", Patched<uint32_t>(good, 0, length + 1)},
        {"name length beyond the entry", Patched<uint16_t>(good, 24, 200)},
        {"comment length beyond the entry", Patched<uint16_t>(good, 28, 0xFFFF)},
        {"table cut inside the second header", Join(good, std::vector<uint8_t>(good.begin(), good.begin() + 20))},
        {"table cut inside the second entry's texts", Join(good, std::vector<uint8_t>(good.begin(), good.end() - 1))},
        {"zero bytes after an entry", Join(good, std::vector<uint8_t>(40, 0))},
    };
    for (const Case& c : malformed) {
        std::vector<SymbolEntry> out;
        // A copy of exactly the bytes, so a read past them is caught by the sanitizer.
        const std::vector<uint8_t> bytes(c.table);
        EXPECT_EQ(ADS_ERR_INVALID_RESPONSE, DecodeSymbolTable(bytes.data(), bytes.size(), out)) << c.what;
        EXPECT_TRUE(out.empty()) << c.what;
    }
    SymbolUploadInfo info;
    const uint8_t shortInfo[7] = {};
    EXPECT_EQ(ADS_ERR_INVALID_RESPONSE, DecodeSymbolUploadInfo(shortInfo, sizeof(shortInfo), info));

    // Bytes a newer runtime appends to an entry are skipped; empty texts are fine.
    std::vector<uint8_t> longer = Patched<uint32_t>(Join(good, {1, 2, 3, 4, 5, 6}), 0, length + 6);
    const std::vector<uint8_t> table = Join(longer, Entry(".g", "STRING(80)", ""));
    std::vector<SymbolEntry> out;
    ASSERT_EQ(ADS_OK, DecodeSymbolTable(table.data(), table.size(), out));
    ASSERT_EQ(2u, out.size());
    EXPECT_EQ("MAIN.x", out[0].name);
    EXPECT_EQ("DINT", out[0].typeName);
    EXPECT_EQ("note", out[0].comment);
    EXPECT_EQ(4u, out[0].size);
    EXPECT_EQ(0x4040u, out[0].indexGroup);
    EXPECT_EQ(8u, out[0].indexOffset);
    EXPECT_EQ(".g", out[1].name);
    EXPECT_EQ("STRING(80)", out[1].typeName);
    EXPECT_EQ("", out[1].comment);
    EXPECT_EQ(ADS_OK, DecodeSymbolTable(nullptr, 0, out));
    EXPECT_TRUE(out.empty());
}

// Replaces the reply of Read requests on one index group.
plcsim::PlcSimulator::RequestHook ReplaceRead(uint32_t group, std::vector<uint8_t> data)
{
    return [group, data](const plcsim::Request& r) -> std::optional<std::vector<uint8_t>> {
        if (r.header.cmdId == ADS_CMD_READ && r.data.size() >= 4 && le::Read<uint32_t>(r.data.data()) == group) {
            std::vector<uint8_t> reply(8, 0);
            le::Write<uint32_t>(reply.data() + 4, static_cast<uint32_t>(data.size()));
            reply.insert(reply.end(), data.begin(), data.end());
            return reply;
        }
        return std::nullopt;
    };
}

TEST(SymbolRequests, TableAndEntriesFromTheSimulatorAndItsRefusals)
{
    plcsim::PlcSimulator sim;
    sim.AddSymbol("GVL.raw", {1, 2, 3});
    sim.Start();
    const AdsDevice device(sim.HostString(), kPlc, 851);
    device.SetTimeout(2000);
    const int32_t port = device.GetLocalPort();

    std::vector<SymbolEntry> table;
    ASSERT_EQ(ADS_OK, ReadSymbolTable(port, &device.Address(), &table));
    const std::vector<plcsim::SymbolDef> defaults = plcsim::DefaultSymbols();
    ASSERT_EQ(defaults.size() + 1, table.size());
    for (const plcsim::SymbolDef& def : defaults) {
        const auto it = std::find_if(table.begin(), table.end(), [&](const SymbolEntry& e) { return e.name == def.name; });
        ASSERT_NE(table.end(), it) << def.name;
        EXPECT_EQ(def.typeName, it->typeName);
        EXPECT_EQ(def.initial.size(), it->size);
        EXPECT_EQ(def.comment, it->comment);
    }

    SymbolEntry entry;
    ASSERT_EQ(ADS_OK, ReadSymbolInfoByName(port, &device.Address(), "main.DIDINT", &entry));
    EXPECT_EQ("MAIN.diDint", entry.name);
    EXPECT_EQ("DINT", entry.typeName);
    EXPECT_EQ(4u, entry.size);
    ASSERT_EQ(ADS_OK, ReadSymbolInfoByName(port, &device.Address(), "GVL.raw", &entry));
    EXPECT_EQ("ARRAY [0..2] OF BYTE", entry.typeName);
    EXPECT_EQ(ADSERR_DEVICE_SYMBOLNOTFOUND, ReadSymbolInfoByName(port, &device.Address(), "MAIN.nope", &entry));

    // Every request is a well-formed AMS packet: lengths agree with the bytes sent.
    for (const plcsim::Request& r : sim.Requests()) {
        ASSERT_TRUE(r.hasHeader);
        EXPECT_EQ(r.header.length, r.data.size());
        EXPECT_EQ(6u + 32u + r.data.size(), r.raw.size());
        EXPECT_EQ(plc::ads::AoEHeader::AMS_REQUEST, r.header.stateFlags);
        const size_t fixed = r.header.cmdId == ADS_CMD_READ_WRITE ? 16 : 12;
        ASSERT_GE(r.data.size(), fixed);
        if (r.header.cmdId == ADS_CMD_READ_WRITE) {
            EXPECT_EQ(r.data.size() - 16, le::Read<uint32_t>(r.data.data() + 12));
        }
    }

    // A table cut inside its last entry, and a table length no gateway should allocate.
    const std::vector<uint8_t> cut = Entry();
    sim.SetRequestHook(ReplaceRead(ADS_IGRP_SYMBOL_UPLOAD, std::vector<uint8_t>(cut.begin(), cut.end() - 3)));
    EXPECT_EQ(ADS_ERR_INVALID_RESPONSE, ReadSymbolTable(port, &device.Address(), &table));
    std::vector<uint8_t> huge(24, 0);
    le::Write<uint32_t>(huge.data(), 1);
    le::Write<uint32_t>(huge.data() + 4, 0xFFFFFFF0u);
    sim.SetRequestHook(ReplaceRead(ADS_IGRP_SYMBOL_UPLOAD_INFO, huge));
    EXPECT_EQ(ADS_ERR_NO_MEMORY, ReadSymbolTable(port, &device.Address(), &table));
    EXPECT_EQ(defaults.size() + 1, table.size()) << "a failed read leaves the caller's table alone";
    sim.SetRequestHook(nullptr);

    plcsim::SimOptions older;
    older.symbolInfo = false;
    plcsim::PlcSimulator without(older);
    without.Start();
    const AdsDevice other(without.HostString(), AmsNetId{10, 31, 0, 2, 1, 1}, 851);
    other.SetTimeout(2000);
    EXPECT_EQ(ADSERR_DEVICE_INVALIDGRP, ReadSymbolTable(other.GetLocalPort(), &other.Address(), &table));
    EXPECT_EQ(ADSERR_DEVICE_INVALIDGRP, ReadSymbolInfoByName(other.GetLocalPort(), &other.Address(), "MAIN.iInt", &entry));
}

} // namespace
