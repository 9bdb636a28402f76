// Structures through the host: one item reads a whole structure (nested, arrays of them,
// padding, bit fields) as the JSON of the PLC's bytes, notified and polled; whole writes land
// exactly and bad ones change nothing; the data types are read once per program and only when
// a structure needs them; a PLC without them, or with a table that does not add up, gives item
// errors and leaves elementary items alone; a program change that alters a layout shows.
#include "plugin/support/exchange_fixture.h"

using namespace exchange_test;

namespace {

const char* const kProgram = R"(
TYPE ST_Drive
  rSpeed    REAL     12.5
  iCurrent  INT      -3
END_TYPE
TYPE ST_Motor
  bOn       BOOL     true
  stDrive   ST_Drive
  aTemps    ARRAY [1..3] OF REAL  [20.5,21,-3.25]
  eState    E_State:INT  2
  xReady    BIT      true
  xFault    BIT      false
  sName     STRING(20)  "pump"
  uliCount  ULINT    18446744073709551615
END_TYPE
MAIN.stMotor   ST_Motor
MAIN.aMotors   ARRAY [1..2] OF ST_Motor
MAIN.iPlain    INT  7  constant
)";

const QString kMotor = "{\"bOn\":1,\"stDrive\":{\"rSpeed\":12.5,\"iCurrent\":-3},\"aTemps\":[20.5,21,-3.25],"
                       "\"eState\":2,\"xReady\":1,\"xFault\":0,\"sName\":\"pump\",\"uliCount\":18446744073709551615}";

size_t uploads(const PlcSimulator& sim)
{
    return requestsOf(sim, ADS_CMD_READ, ADS_IGRP_DATA_TYPE_UPLOAD).size();
}

class StructureTest : public ExchangeTest {
protected:
    std::unique_ptr<PlcSimulator> loaded(const char* program = kProgram)
    {
        auto sim = startSimulator();
        sim->LoadProgram(plcsim::ParseSymbolProgram(program));
        return sim;
    }
};

TEST_F(StructureTest, AWholeStructureIsOneItemReadAsJsonNotifiedOrPolledWithOneUploadOfTheDataTypes)
{
    auto sim = loaded();
    for (const char* mode : {"notifications", "polled"}) {
        SCOPED_TRACE(mode);
        sim->ClearRequests();
        LogList list = batchFor(deviceFor(mode[0] == 'n' ? 70 : 71, *sim), {});
        list.device.config["Read_Mode"] = mode;
        list.items = {itemFor(1, "MAIN.stMotor", FROM_PLC), itemFor(2, "MAIN.stMotor", STRUCT),
                      itemFor(3, "MAIN.aMotors", STRUCT), itemFor(4, "MAIN.aMotors[2].stDrive", FROM_PLC),
                      itemFor(5, "MAIN.aMotors[2].stDrive.iCurrent", INT), itemFor(6, "MAIN.iPlain", INT)};
        ASSERT_TRUE(readUntil(list)) << list.items[0].item.error;
        for (const DataItem& item : list.items) {
            EXPECT_EQ(item.item.error, "") << item.item.config["variable_name"];
        }
        EXPECT_EQ(valueOf(list, 0), kMotor);
        EXPECT_EQ(valueOf(list, 1), kMotor);
        EXPECT_EQ(valueOf(list, 2), "[" + kMotor + "," + kMotor + "]");
        EXPECT_EQ(valueOf(list, 3), "{\"rSpeed\":12.5,\"iCurrent\":-3}");
        EXPECT_EQ(valueOf(list, 4), "-3");
        EXPECT_EQ(uploads(*sim), 1u) << "one table for every structure item of the device";
    }
    // Items of elementary types alone never make the plug-in read the table.
    sim->ClearRequests();
    LogList plain = batchFor(deviceFor(72, *sim), {{"MAIN.iPlain", INT, ""}, {"MAIN.stMotor.stDrive.rSpeed", FROM_PLC, ""}});
    ASSERT_TRUE(readUntil(plain));
    EXPECT_EQ(valueOf(plain, 1), "12.5");
    EXPECT_EQ(uploads(*sim), 0u);
}

TEST_F(StructureTest, AWholeWriteLandsExactlyAndABadOneChangesNothingAndNamesTheMember)
{
    auto sim = loaded();
    LogList list = batchFor(deviceFor(73, *sim), {});
    list.items = {itemFor(1, "MAIN.stMotor", FROM_PLC), itemFor(2, "MAIN.aMotors", STRUCT)};
    ASSERT_TRUE(readUntil(list));

    const QString changed = QString(kMotor)
                                .replace("\"bOn\":1", "\"bOn\":false")
                                .replace("12.5", "-0.1")
                                .replace("\"xFault\":0", "\"xFault\":true")
                                .replace("\"pump\"", "\"fan \\u00e4\"")
                                .replace("18446744073709551615", "\"9007199254740993\"");
    LogList writes = list;
    writes.items = {list.items[0]};
    writes.items[0].values["value"] = changed;
    ASSERT_TRUE(plugin.writeData(&writes));
    EXPECT_EQ(writes.items[0].item.error, "");
    const QString expected = QString(kMotor)
                                 .replace("\"bOn\":1", "\"bOn\":0")
                                 .replace("12.5", "-0.1")
                                 .replace("\"xFault\":0", "\"xFault\":1")
                                 .replace("\"pump\"", "\"fan \u00e4\"")
                                 .replace("18446744073709551615", "9007199254740993");
    EXPECT_TRUE(readUntil(list, [&](const LogList& l) { return valueOf(l, 0) == expected; })) << valueOf(list, 0);
    const std::vector<uint8_t> bytes = sim->GetSymbolValue("MAIN.stMotor");
    ASSERT_EQ(bytes.size(), 56u);
    EXPECT_EQ(bytes[0], 0);
    EXPECT_EQ(std::vector<uint8_t>(bytes.begin() + 1, bytes.begin() + 4), std::vector<uint8_t>(3, 0)) << "padding";
    EXPECT_EQ(sim->GetSymbolValue("MAIN.stMotor.sName"),
              (std::vector<uint8_t>{'f', 'a', 'n', ' ', 0xC3, 0xA4, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}));

    const struct {
        int item;
        QString text;
        QString refusal;
    } bad[] = {
        {0, QString(expected).replace(",\"xReady\":1", ""), "Member xReady is missing"},
        {0, QString(expected).replace("\"iCurrent\":-3", "\"iCurrent\":-3,\"iVoltage\":1"),
         "Member stDrive.iVoltage is not a member of ST_Drive"},
        {0, QString(expected).replace("\"eState\":2", "\"eState\":\"running\""), "Member eState: Value 'running' is not a INT"},
        {0, QString(expected).replace("\"fan \u00e4\"", "\"" + QString(21, 'x') + "\""),
         "Member sName: Value '" + QString(21, 'x') + "' is too long for STRING(20) (21 bytes)"},
        {1, "[" + expected + "]", "Value '[" + expected + "]' has 1 elements, ARRAY [1..2] OF ST_Motor needs 2"},
        {1, "[" + expected + "," + QString(expected).replace("[20.5,21,-3.25]", "[1,2,3,4]") + "]",
         "Element [2].aTemps has 4 elements, ARRAY [1..3] OF REAL needs 3"},
    };
    const std::vector<uint8_t> motor = sim->GetSymbolValue("MAIN.stMotor"), motors = sim->GetSymbolValue("MAIN.aMotors");
    for (const auto& b : bad) {
        writes.items = {list.items[b.item]};
        writes.items[0].values["value"] = b.text;
        ASSERT_TRUE(plugin.writeData(&writes));
        EXPECT_EQ(writes.items[0].item.error, b.refusal);
    }
    EXPECT_EQ(sim->GetSymbolValue("MAIN.stMotor"), motor);
    EXPECT_EQ(sim->GetSymbolValue("MAIN.aMotors"), motors);
}

TEST_F(StructureTest, APlcWithoutDataTypesOrWithATableThatDoesNotAddUpFailsOnlyTheStructureItems)
{
    plcsim::SimOptions options;
    options.dataTypeInfo = false;
    options.netId = AmsNetId(127, 0, 0, 90, 1, 1);
    PlcSimulator older(options);
    older.Start("127.0.0.1", 0);
    older.LoadProgram(plcsim::ParseSymbolProgram(kProgram));
    LogList list = batchFor(deviceFor(74, older), {});
    list.items = {itemFor(1, "MAIN.stMotor", FROM_PLC), itemFor(2, "MAIN.iPlain", INT)};
    const auto settled = [](const LogList& l) { return !l.items[0].item.error.isEmpty() && !valueOf(l, 1).isEmpty(); };
    ASSERT_TRUE(readUntil(list, settled));
    EXPECT_EQ(list.items[0].item.error,
              "PLC variable is ST_Motor (56 bytes), whose layout is not known: the PLC offers no data types");
    EXPECT_EQ(valueOf(list, 1), "7");

    // Tables that overrun, cut short, or lay a member beyond its structure: item errors, nothing else.
    auto sim = loaded();
    const plcsim::SimProgram program = plcsim::ParseSymbolProgram(kProgram);
    const std::vector<uint8_t> table = plcsim::EncodeDataTypeTable(program.types, program.aliases);
    const auto count = static_cast<uint32_t>(program.types.size() + program.aliases.size());
    std::vector<uint8_t> overrun = table;
    overrun[0] = static_cast<uint8_t>(overrun[0] + 1);
    const std::vector<std::pair<std::vector<uint8_t>, uint32_t>> broken = {
        {overrun, count},
        {std::vector<uint8_t>(table.begin(), table.end() - 1), count},
        {table, count + 1},
    };
    for (const auto& [bytes, count] : broken) {
        sim->SetDataTypeTable(bytes, count);
        LogList items = batchFor(deviceFor(75, *sim), {});
        items.items = {itemFor(1, "MAIN.stMotor", FROM_PLC), itemFor(2, "MAIN.iPlain", INT)};
        ASSERT_TRUE(readUntil(items, settled));
        EXPECT_EQ(items.items[0].item.error,
                  "PLC variable is ST_Motor (56 bytes), whose layout is not known: the PLC's data types could not "
                  "be read (Invalid response received Code: 1876)");
        EXPECT_EQ(valueOf(items, 1), "7");
        plugin.stopPlugin();
    }
}

TEST_F(StructureTest, AProgramChangeThatAltersAStructureShowsTheNewLayout)
{
    auto sim = loaded();
    LogList list = batchFor(deviceFor(76, *sim), {});
    list.items = {itemFor(1, "MAIN.stMotor.stDrive", FROM_PLC)};
    ASSERT_TRUE(readUntil(list));
    EXPECT_EQ(valueOf(list, 0), "{\"rSpeed\":12.5,\"iCurrent\":-3}");
    const std::string next = std::string(kProgram).replace(std::string(kProgram).find("  iCurrent  INT      -3\n"),
                                                           24, "  iCurrent  DINT     40000\n  bHot      BOOL     true\n");
    sim->ChangeProgram(0ms, plcsim::ParseSymbolProgram(next));
    EXPECT_TRUE(readUntil(list, [](const LogList& l) {
        return valueOf(l, 0) == "{\"rSpeed\":12.5,\"iCurrent\":40000,\"bHot\":1}";
    }, 8s)) << valueOf(list, 0) << " " << list.items[0].item.error.toStdString();
    EXPECT_EQ(uploads(*sim), 2u);
}

} // namespace
