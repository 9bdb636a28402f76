// The simulator as a PLC program with structures: the layout it gives them, checked through
// the data-type table the stack decodes and through reads of members by name.
#include "tools/sim/PlcSimulator.h"

#include "ads/AdsDataTypes.h"
#include "ads/AdsRequests.h"
#include "ads/AdsSymbols.h"
#include "ads/LittleEndian.h"

#include <gtest/gtest.h>

#include <cstring>
#include <mutex>
#include <tuple>

using namespace std::chrono_literals;
using Bytes = std::vector<uint8_t>;
namespace le = plc::ads::le;

namespace {

const AmsAddr kPlc{AmsNetId{127, 0, 0, 1, 1, 1}, 851};

const char* const kProgram = R"(
TYPE ST_Drive
  rSpeed     REAL     12.5   constant
  iCurrent   INT      3      counter
END_TYPE
TYPE ST_Motor
  bOn        BOOL     true
  stDrive    ST_Drive            # aligned to 4
  aTemps     ARRAY [1..3] OF REAL  [20.5,21,22]
  eState     E_State:INT  2
  xReady     BIT      true
  xFault     BIT      false
  sName      STRING(20)  "pump 1"
  lrHours    LREAL    1.5
END_TYPE
TYPE ST_Bits
  x1 BIT 1
  x2 BIT
  x3 BIT
  x4 BIT
  x5 BIT
  x6 BIT
  x7 BIT
  x8 BIT 1
  x9 BIT 1
  by BYTE 7
END_TYPE
MAIN.stMotor   ST_Motor
MAIN.aMotors   ARRAY [1..3] OF ST_Motor  "three motors"
MAIN.stBits    st_bits
MAIN.eMode     E_State  1 constant
)";

// A client of the simulator through the stack, on its own route.
class Structures : public ::testing::Test {
protected:
    void SetUp() override { Serve(plcsim::ParseSymbolProgram(kProgram)); }
    void Serve(const plcsim::SimProgram& program, plcsim::SimOptions options = {})
    {
        TearDown();
        options.defaultSymbols = false;
        options.tickPeriod = 1h;
        sim = std::make_unique<plcsim::PlcSimulator>(options);
        sim->LoadProgram(program);
        sim->Start();
        ASSERT_EQ(0, plc::ads::AddLocalRoute(kPlc.amsNetId, sim->HostString().c_str()));
        port = AdsPortOpenEx();
        AdsSyncSetTimeoutEx(port, 2000);
    }
    void TearDown() override
    {
        if (port != 0) {
            AdsPortCloseEx(port);
            plc::ads::DelLocalRoute(kPlc.amsNetId);
            port = 0;
        }
    }
    std::vector<plc::ads::DataTypeEntry> Types(int32_t expected = 0)
    {
        std::vector<plc::ads::DataTypeEntry> types;
        EXPECT_EQ(expected, plc::ads::ReadDataTypeTable(port, &kPlc, &types));
        return types;
    }
    uint32_t Handle(const std::string& name, int32_t expected = 0)
    {
        uint32_t handle = 0;
        EXPECT_EQ(expected, AdsSyncReadWriteReqEx2(port, &kPlc, ADS_IGRP_SYMBOL_HANDLE_BY_NAME, 0, 4, &handle,
                                                   uint32_t(name.size()), name.data(), nullptr))
            << name;
        return handle;
    }
    Bytes Read(uint32_t handle, uint32_t length)
    {
        Bytes out(length);
        uint32_t got = 0;
        EXPECT_EQ(0, AdsSyncReadReqEx2(port, &kPlc, ADS_IGRP_SYMBOL_VALUE_BY_HANDLE, handle, length, out.data(), &got));
        out.resize(got);
        return out;
    }

    std::unique_ptr<plcsim::PlcSimulator> sim;
    int32_t port = 0;
};

Bytes Real(float v)
{
    Bytes out(4);
    uint32_t bits;
    std::memcpy(&bits, &v, 4);
    le::Write<uint32_t>(out.data(), bits);
    return out;
}

using Member = std::tuple<std::string, std::string, uint32_t, uint32_t, uint32_t, bool, size_t>;
std::vector<Member> Members(const plc::ads::DataTypeEntry& type)
{
    std::vector<Member> out;
    for (const auto& m : type.members) {
        out.emplace_back(m.name, m.typeName, m.size, m.offset, m.dataType, m.InBits(), m.dimensions.size());
    }
    return out;
}

TEST_F(Structures, TheServedTableLaysMembersOutWithPaddingAndSharedBitBytes)
{
    const auto types = Types();
    ASSERT_EQ(types.size(), 4u);
    EXPECT_EQ(std::make_tuple(types[0].name, types[0].typeName, types[0].size, types[0].dataType),
              std::make_tuple(std::string("ST_Drive"), std::string(), 8u, 65u));
    EXPECT_EQ(Members(types[0]), (std::vector<Member>{{"rSpeed", "REAL", 4, 0, 4, false, 0},
                                                       {"iCurrent", "INT", 2, 4, 2, false, 0}}));
    EXPECT_EQ(types[1].size, 56u);
    EXPECT_EQ(Members(types[1]), (std::vector<Member>{{"bOn", "BOOL", 1, 0, 33, false, 0},
                                                       {"stDrive", "ST_Drive", 8, 4, 65, false, 0},
                                                       {"aTemps", "ARRAY [1..3] OF REAL", 12, 12, 4, false, 1},
                                                       {"eState", "E_State", 2, 24, 2, false, 0},
                                                       {"xReady", "BIT", 1, 208, 33, true, 0},
                                                       {"xFault", "BIT", 1, 209, 33, true, 0},
                                                       {"sName", "STRING(20)", 21, 27, 30, false, 0},
                                                       {"lrHours", "LREAL", 8, 48, 5, false, 0}}));
    EXPECT_EQ(types[1].members[2].dimensions[0].lower, 1);
    EXPECT_EQ(types[1].members[2].dimensions[0].count, 3u);
    // Eight bits fill a byte, the ninth starts the next; the BYTE after them needs no padding.
    EXPECT_EQ(types[2].size, 3u);
    EXPECT_EQ(std::get<3>(Members(types[2])[7]), 7u);
    EXPECT_EQ(std::get<3>(Members(types[2])[8]), 8u);
    EXPECT_EQ(std::get<3>(Members(types[2])[9]), 2u);
    EXPECT_EQ(std::make_tuple(types[3].name, types[3].typeName, types[3].size, types[3].dataType),
              std::make_tuple(std::string("E_State"), std::string("INT"), 2u, 2u));

    // Initial values in place, the bits packed from the lowest.
    const Bytes motor = sim->GetSymbolValue("MAIN.stMotor");
    ASSERT_EQ(motor.size(), 56u);
    EXPECT_EQ(Bytes(motor.begin() + 4, motor.begin() + 8), Real(12.5F));
    EXPECT_EQ(motor[26], 0x01);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(motor.data() + 27)), "pump 1");
    EXPECT_EQ(sim->GetSymbolValue("MAIN.stBits"), (Bytes{0x81, 0x01, 7}));

    std::vector<plc::ads::SymbolEntry> symbols;
    ASSERT_EQ(0, plc::ads::ReadSymbolTable(port, &kPlc, &symbols));
    std::vector<std::tuple<std::string, std::string, uint32_t, uint32_t>> seen;
    for (const auto& s : symbols) {
        seen.emplace_back(s.name, s.typeName, s.dataType, s.size);
    }
    EXPECT_EQ(seen, (std::vector<std::tuple<std::string, std::string, uint32_t, uint32_t>>{
                        {"MAIN.aMotors", "ARRAY [1..3] OF ST_Motor", 65, 168},
                        {"MAIN.eMode", "E_State", 2, 2},
                        {"MAIN.stBits", "ST_Bits", 65, 3},
                        {"MAIN.stMotor", "ST_Motor", 65, 56}}));
}

std::mutex samplesMutex;
std::vector<Bytes> samples;
void OnSample(const AmsAddr*, const AdsNotificationHeader* header, uint32_t)
{
    const auto* data = reinterpret_cast<const uint8_t*>(header + 1);
    std::lock_guard<std::mutex> lock(samplesMutex);
    samples.emplace_back(data, data + header->dataSize);
}

TEST_F(Structures, MembersAndElementsAreVariablesOverExactlyTheirBytes)
{
    const uint32_t speed = Handle("main.STMOTOR.stDrive.rSpeed");
    EXPECT_EQ(Read(speed, 4), Real(12.5F));
    EXPECT_EQ(Read(Handle("MAIN.stMotor.aTemps[2]"), 4), Real(21.0F));
    const uint32_t current = Handle("MAIN.aMotors[2].stDrive.iCurrent");
    const Bytes written{0x34, 0x12};
    ASSERT_EQ(0, AdsSyncWriteReqEx(port, &kPlc, ADS_IGRP_SYMBOL_VALUE_BY_HANDLE, current, 2, written.data()));
    const Bytes all = sim->GetSymbolValue("MAIN.aMotors");
    EXPECT_EQ(Bytes(all.begin() + 56 + 8, all.begin() + 56 + 10), written);
    EXPECT_EQ(sim->GetSymbolValue("MAIN.aMotors[2].stDrive.iCurrent"), written);
    EXPECT_EQ(Bytes(all.begin() + 8, all.begin() + 10), (Bytes{3, 0})) << "the first element keeps its own";
    sim->SetSymbolValue("MAIN.aMotors[3].sName", {'f', 'a', 'n', 0});
    EXPECT_EQ(Read(Handle("MAIN.aMotors[3].sName"), 4), (Bytes{'f', 'a', 'n', 0}));
    EXPECT_EQ(Read(Handle("MAIN.aMotors[2]"), 56).size(), 56u);
    uint32_t length = 0;
    EXPECT_EQ(ADS_ERR_INVALID_SIZE, AdsSyncReadReqEx2(port, &kPlc, ADS_IGRP_SYMBOL_VALUE_BY_HANDLE, speed, 5,
                                                      Bytes(5).data(), &length));
    for (const char* missing : {"MAIN.stMotor.xReady", "MAIN.stMotor.nope", "MAIN.aMotors[4]", "MAIN.stMotor[1]",
                                "MAIN.stMotor.stDrive.rSpeed.x", "MAIN.aMotors.bOn", "MAIN.stMotor."}) {
        Handle(missing, ADSERR_DEVICE_SYMBOLNOTFOUND);
    }
    EXPECT_THROW(sim->SetSymbolValue("MAIN.stMotor.eState", {1, 2, 3}), std::out_of_range);

    // Symbol information of its own: the part's type, id, size and address.
    using Info = std::tuple<std::string, uint32_t, uint32_t, uint32_t>;
    const auto info = [&](const std::string& name) {
        plc::ads::SymbolEntry e;
        EXPECT_EQ(0, plc::ads::ReadSymbolInfoByName(port, &kPlc, name, &e)) << name;
        return Info{e.typeName, e.dataType, e.size, e.indexOffset};
    };
    const uint32_t base = std::get<3>(info("MAIN.aMotors"));
    EXPECT_EQ(info("MAIN.aMotors[2].eState"), (Info{"E_State", 2, 2, base + 56 + 24}));
    EXPECT_EQ(info("MAIN.aMotors[3]"), (Info{"ST_Motor", 65, 56, base + 112}));
    EXPECT_EQ(info("MAIN.aMotors[1].stDrive"), (Info{"ST_Drive", 65, 8, base + 4}));
    EXPECT_EQ(info("MAIN.aMotors[1].aTemps[3]"), (Info{"REAL", 4, 4, base + 20}));

    // Moving members move in every variable of the type, and notifications on a member see it.
    samples.clear();
    const AdsNotificationAttrib attrib{2, ADS_TRANS_SERVER_ON_CHANGE, 0, 10000};
    uint32_t notification = 0;
    ASSERT_EQ(0, AdsSyncAddDeviceNotificationReqEx(port, &kPlc, ADS_IGRP_SYMBOL_VALUE_BY_HANDLE,
                                                   Handle("MAIN.aMotors[3].stDrive.iCurrent"), &attrib, OnSample, 0,
                                                   &notification));
    sim->SetTickPeriod(5ms);
    EXPECT_TRUE(plcsim::WaitUntil(
        [&] {
            std::lock_guard<std::mutex> lock(samplesMutex);
            return samples.size() >= 3;
        },
        3s));
    {
        std::lock_guard<std::mutex> lock(samplesMutex);
        EXPECT_EQ(samples[0], (Bytes{3, 0}));
        EXPECT_EQ(samples[1], (Bytes{4, 0}));
    }
    EXPECT_EQ(0, AdsSyncDelDeviceNotificationReqEx(port, &kPlc, notification));
    EXPECT_GT(le::Read<uint16_t>(sim->GetSymbolValue("MAIN.stMotor.stDrive.iCurrent").data()), 3);
    EXPECT_EQ(sim->GetSymbolValue("MAIN.stMotor.stDrive.rSpeed"), Real(12.5F)) << "constant";
}

TEST_F(Structures, AProgramChangeSwitchesTheLayoutAndTestsCanServeAnyTable)
{
    const uint32_t old = Handle("MAIN.stMotor.lrHours");
    sim->ChangeProgram(0ms, plcsim::ParseSymbolProgram("TYPE ST_Motor\n  lrHours LREAL 2\n  bOn BOOL 1\nEND_TYPE\n"
                                                       "MAIN.stMotor ST_Motor\n"));
    const auto types = Types();
    ASSERT_EQ(types.size(), 1u);
    EXPECT_EQ(Members(types[0]), (std::vector<Member>{{"lrHours", "LREAL", 8, 0, 5, false, 0},
                                                       {"bOn", "BOOL", 1, 8, 33, false, 0}}));
    EXPECT_EQ(types[0].size, 16u);
    uint32_t length = 0;
    Bytes value(8);
    EXPECT_EQ(ADSERR_DEVICE_SYMBOLNOTFOUND, AdsSyncReadReqEx2(port, &kPlc, ADS_IGRP_SYMBOL_VALUE_BY_HANDLE, old, 8,
                                                              value.data(), &length));
    EXPECT_EQ(Read(Handle("MAIN.stMotor.bOn"), 1), Bytes{1});
    Handle("MAIN.stMotor.eState", ADSERR_DEVICE_SYMBOLNOTFOUND);

    // The table as one read of its exact length; shorter is refused.
    uint8_t info[24] = {};
    ASSERT_EQ(0, AdsSyncReadReqEx2(port, &kPlc, ADS_IGRP_SYMBOL_UPLOAD_INFO, 0, 24, info, &length));
    const uint32_t tableLength = le::Read<uint32_t>(info + 12);
    EXPECT_EQ(le::Read<uint32_t>(info + 8), 1u);
    Bytes table(tableLength);
    EXPECT_EQ(ADS_ERR_INVALID_SIZE,
              AdsSyncReadReqEx2(port, &kPlc, ADS_IGRP_DATA_TYPE_UPLOAD, 0, tableLength - 1, table.data(), &length));

    // A test's own bytes, with the count it claims; then the program's again.
    sim->SetDataTypeTable(Bytes(50, 0xFF), 1);
    Types(ADS_ERR_INVALID_RESPONSE);
    sim->SetDataTypeTable({}, 0);
    EXPECT_TRUE(Types().empty());
    sim->ClearDataTypeTableOverride();
    EXPECT_EQ(Types().size(), 1u);

    // Without the service: 0x701 for the table, nothing announced, symbols as before.
    plcsim::SimOptions older;
    older.dataTypeInfo = false;
    Serve(plcsim::ParseSymbolProgram(kProgram), older);
    EXPECT_EQ(ADSERR_DEVICE_SRVNOTSUPP,
              AdsSyncReadReqEx2(port, &kPlc, ADS_IGRP_DATA_TYPE_UPLOAD, 0, 24, info, &length));
    EXPECT_TRUE(Types().empty());
    EXPECT_EQ(Read(Handle("MAIN.aMotors[1].eState"), 2), (Bytes{2, 0}));
}

TEST(StructureFiles, EveryMalformedStructureLineIsNamed)
{
    const std::string a = "TYPE ST_A\n  x INT 1\nEND_TYPE\n";
    const std::tuple<std::string, size_t, const char*> bad[] = {
        {"TYPE ST_B\n  x FOO\nEND_TYPE\n", 2, "unknown type 'FOO'"},
        {"TYPE ST_B\n  c ST_C\nEND_TYPE\nTYPE ST_C\n  x INT\nEND_TYPE\n", 2,
         "structure 'ST_C' used before it is declared (line 7)"},
        {"TYPE ST_B\n  b ARRAY [1..2] OF ST_B\nEND_TYPE\n", 2, "structure 'ST_B' used inside itself"},
        {"TYPE ST_B\n  x INT\n", 1, "END_TYPE missing for structure 'ST_B'"},
        {"TYPE ST_B\n  x INT\nTYPE ST_C\n  x INT\nEND_TYPE\n", 3, "END_TYPE missing"},
        {"TYPE ST_B\n  x INT\n  X BOOL\nEND_TYPE\n", 3, "member 'X' twice in structure 'ST_B'"},
        {"TYPE ST_B\n  a ARRAY [0..9999] OF DINT\n  b ARRAY [0..9999] OF DINT\nEND_TYPE\n", 3,
         "structure 'ST_B' larger than 65536 bytes"},
        {"v ARRAY [1..40000] OF ST_A\n", 1, "array larger than 65536 bytes"},
        {"TYPE ST_B\n  x BIT 1 counter\nEND_TYPE\n", 2, "counter needs an integer type, not BIT"},
        {"x BIT 1 constant\n", 1, "BIT only inside a structure"},
        {"END_TYPE\n", 1, "END_TYPE without TYPE"},
        {"TYPE ST_B\nEND_TYPE\n", 2, "structure 'ST_B' has no members"},
        {"TYPE st_a\n  x INT\nEND_TYPE\n", 1, "type 'st_a' declared twice"},
        {"TYPE Int\n  x INT\nEND_TYPE\n", 1, "is a type of its own"},
        {"TYPE ST.B\n  x INT\nEND_TYPE\n", 1, "is not an identifier"},
        {"TYPE ST_B\n  a.b INT\nEND_TYPE\n", 2, "member name 'a.b' is not an identifier"},
        {"v ST_A 1 constant\n", 1, "expected 'name ST_A [comment]', got 4 fields"},
        {"TYPE ST_B\n  e E_X:INT\n  f E_X:DINT\nEND_TYPE\n", 3, "type 'E_X' declared before as INT"},
        {"v ST_A\nV st_a\n", 2, "duplicate symbol 'V'"},
    };
    for (const auto& [text, line, reason] : bad) {
        try {
            plcsim::ParseSymbolProgram(a + text);
            ADD_FAILURE() << text;
        } catch (const plcsim::SymbolFileError& e) {
            EXPECT_EQ(e.Line(), line + 3) << text;
            EXPECT_NE(std::string(e.what()).find(reason), std::string::npos) << e.what() << "\n" << text;
        }
    }
}

} // namespace
