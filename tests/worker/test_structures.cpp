// Structures from a PLC's data-type table: the table's decoding, the layouts it describes
// (nesting, arrays of structures, padding, bit fields, what cannot be shown) and the JSON an
// item reads and writes, against tables that are laid out right and tables that do not add up.
#include "ads/AdsDataTypes.h"
#include "ads/LittleEndian.h"
#include "worker/plc_type_check.h"
#include "worker/plc_values.h"
#include "worker/values/structure_layouts.h"

#include "qt_gtest_print.h"

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

namespace {

using Bytes = std::vector<uint8_t>;
using plc::ads::DataTypeEntry;

// A data-type entry as a PLC lays it out, with room for the optional parts a decoder must step over.
struct Entry {
    std::string name, type;
    uint32_t size = 0, offset = 0, id = 65, flags = 0;
    std::vector<std::pair<int32_t, uint32_t>> dims;
    std::vector<Entry> members;
    size_t trailing = 0;

    Bytes bytes() const
    {
        Bytes body;
        for (const std::string* text : {&name, &type}) {
            body.insert(body.end(), text->begin(), text->end());
            body.push_back(0);
        }
        body.push_back(0); // an empty comment
        for (const auto& [lower, count] : dims) {
            Bytes d(8);
            plc::ads::le::Write<int32_t>(d.data(), lower);
            plc::ads::le::Write<uint32_t>(d.data() + 4, count);
            body.insert(body.end(), d.begin(), d.end());
        }
        for (const Entry& m : members) {
            const Bytes b = m.bytes();
            body.insert(body.end(), b.begin(), b.end());
        }
        body.insert(body.end(), trailing, 0xAB);
        Bytes out(plc::ads::DATA_TYPE_ENTRY_HEADER_SIZE);
        plc::ads::le::Writer w(out.data());
        w.Put<uint32_t>(static_cast<uint32_t>(out.size() + body.size())).Put<uint32_t>(1).Put<uint32_t>(7).Put<uint32_t>(9);
        w.Put<uint32_t>(size).Put<uint32_t>(offset).Put<uint32_t>(id).Put<uint32_t>(flags);
        w.Put<uint16_t>(static_cast<uint16_t>(name.size())).Put<uint16_t>(static_cast<uint16_t>(type.size()));
        w.Put<uint16_t>(0).Put<uint16_t>(static_cast<uint16_t>(dims.size())).Put<uint16_t>(static_cast<uint16_t>(members.size()));
        out.insert(out.end(), body.begin(), body.end());
        return out;
    }
};

Entry member(const char* name, const char* type, uint32_t size, uint32_t offset, uint32_t id)
{
    return Entry{name, type, size, offset, id, 0, {}, {}, 0};
}

Entry bit(const char* name, uint32_t bitOffset)
{
    return Entry{name, "BIT", 1, bitOffset, 33, plc::ads::DATA_TYPE_FLAG_BIT_VALUES, {}, {}, 0};
}

// A motor of a production line: padding after bOn, a nested structure, an array, an
// enumeration, two bit fields sharing a byte, a string, and a 64-bit counter at the end.
std::vector<Entry> lineTypes()
{
    Entry drive{"ST_Drive", "", 8, 0, 65, 0, {}, {member("rSpeed", "REAL", 4, 0, 4), member("iCurrent", "INT", 2, 4, 2)}, 16};
    Entry state{"E_State", "INT", 2, 0, 2, 0, {}, {}, 0};
    Entry motor{"ST_Motor", "", 64, 0, 65, 0, {},
                {member("bOn", "BOOL", 1, 0, 33), member("stDrive", "ST_Drive", 8, 4, 65),
                 member("aTemps", "ARRAY [1..3] OF REAL", 12, 12, 4), member("eState", "E_State", 2, 24, 2),
                 bit("xReady", 26 * 8), bit("xFault", 26 * 8 + 1), member("sName", "STRING(20)", 21, 27, 30),
                 member("uliCount", "ULINT", 8, 48, 21)},
                16};
    motor.members[2].dims = {{1, 3}};
    return {drive, state, motor};
}

std::vector<DataTypeEntry> decoded(const std::vector<Entry>& entries)
{
    Bytes table;
    for (const Entry& e : entries) {
        const Bytes b = e.bytes();
        table.insert(table.end(), b.begin(), b.end());
    }
    std::vector<DataTypeEntry> out;
    EXPECT_EQ(plc::ads::DecodeDataTypeTable(table.data(), table.size(), out), ADS_OK);
    return out;
}

plc::ads::SymbolEntry variable(const char* typeName, uint32_t size)
{
    plc::ads::SymbolEntry e;
    e.typeName = typeName;
    e.size = size;
    e.dataType = 65;
    return e;
}

ItemTypeCheck judged(const std::vector<Entry>& types, const char* typeName, uint32_t size, DataType item = FROM_PLC)
{
    const Structure_Layouts layouts(decoded(types));
    return judgeItemType(item, variable(typeName, size), layouts.lookup());
}

Bytes motorBytes()
{
    Bytes b(64, 0);
    b[0] = 1;
    const float speed = 12.5f, temps[] = {20.5f, 21.0f, -3.25f};
    std::memcpy(&b[4], &speed, 4);
    b[8] = 0xFD, b[9] = 0xFF; // -3
    std::memcpy(&b[12], temps, 12);
    b[24] = 2;
    b[26] = 0x01; // ready, no fault
    std::memcpy(&b[27], "pump \"1\"", 8);
    for (int i = 48; i < 56; ++i) {
        b[static_cast<size_t>(i)] = 0xFF;
    }
    return b;
}

const char* const MOTOR_JSON = "{\"bOn\":1,\"stDrive\":{\"rSpeed\":12.5,\"iCurrent\":-3},\"aTemps\":[20.5,21,-3.25],"
                               "\"eState\":2,\"xReady\":1,\"xFault\":0,\"sName\":\"pump \\\"1\\\"\","
                               "\"uliCount\":18446744073709551615}";

TEST(Structures, ReadAsJsonObjectsInDeclarationOrderAndWrittenBackToTheSameBytes)
{
    const ItemTypeCheck check = judged(lineTypes(), "ST_Motor", 64);
    ASSERT_TRUE(check.fits) << check.mismatch;
    ASSERT_TRUE(check.type && check.type->isStructure());
    const Bytes bytes = motorBytes();
    EXPECT_EQ(bytesToText(*check.type, bytes.data(), bytes.size()), MOTOR_JSON);
    EXPECT_EQ(bytesToText(*check.type, bytes.data(), bytes.size() - 1), QString()); // a cut sample shows nothing

    // Written: the same bytes, padding zero, members in any order of the JSON.
    Bytes written(64, 0x55);
    QString reordered = QString(MOTOR_JSON).replace("\"bOn\":1,", "");
    reordered = reordered.left(reordered.size() - 1) + ",\"bOn\":true}";
    EXPECT_EQ(textToBytes(reordered, *check.type, written.data()), QString());
    EXPECT_EQ(written, bytes);

    // Arrays of structures are JSON arrays of objects, and an item of the structure type takes them.
    const ItemTypeCheck line = judged(lineTypes(), "ARRAY [1..2] OF ST_Motor", 128, STRUCT);
    ASSERT_TRUE(line.fits) << line.mismatch;
    Bytes two = bytes;
    two.insert(two.end(), bytes.begin(), bytes.end());
    EXPECT_EQ(bytesToText(*line.type, two.data(), two.size()), QString("[%1,%1]").arg(MOTOR_JSON));
    Bytes back(128);
    EXPECT_EQ(textToBytes(QString("[%1,%1]").arg(MOTOR_JSON), *line.type, back.data()), QString());
    EXPECT_EQ(back, two);
}

TEST(Structures, AWriteThatIsNotExactlyTheStructureWritesNothingAndNamesTheMember)
{
    const ItemTypeCheck check = judged(lineTypes(), "ST_Motor", 64);
    ASSERT_TRUE(check.fits);
    const QString json = MOTOR_JSON;
    const struct {
        QString text;
        QString refusal;
    } cases[] = {
        {QString(json).replace(",\"xFault\":0", ""), "Member xFault is missing"},
        {QString(json).replace("\"bOn\":1", "\"bOn\":1,\"bOff\":0"), "Member bOff is not a member of ST_Motor"},
        {QString(json).replace("\"iCurrent\":-3", "\"iCurrent\":40000"),
         "Member stDrive.iCurrent: Value '40000' is out of range for INT (-32768 to 32767)"},
        {QString(json).replace("[20.5,21,-3.25]", "[20.5,21]"), "Member aTemps has 2 elements, ARRAY [1..3] OF REAL needs 3"},
        {QString(json).replace("-3.25]", "\"hot\"]"), "Member aTemps[3]: Value 'hot' is not a REAL"},
        {QString(json).replace("\"pump \\\"1\\\"\"", "\"a pump with a name of 30 chars\""),
         "Member sName: Value 'a pump with a name of 30 chars' is too long for STRING(20) (30 bytes)"},
        {QString(json).replace("{\"rSpeed\":12.5,\"iCurrent\":-3}", "12"), "Member stDrive is not a JSON object for ST_Drive"},
        {QString(json).replace("\"eState\":2", "\"eState\":2,\"eState\":3"), "Member eState is given twice"},
        {QString(json).replace("18446744073709551615", "18446744073709551616"),
         "Member uliCount: Value '18446744073709551616' is out of range for ULINT (0 to 18446744073709551615)"},
        {"[1,2]", "Value '[1,2]' is not a JSON object for ST_Motor"},
    };
    for (const auto& c : cases) {
        Bytes out(64, 0x55);
        EXPECT_EQ(textToBytes(c.text, *check.type, out.data()), c.refusal) << c.text;
        EXPECT_EQ(out, Bytes(64, 0x55)) << c.text;
    }
    const ItemTypeCheck line = judged(lineTypes(), "ARRAY [0..1] OF ST_Motor", 128);
    Bytes out(128);
    EXPECT_EQ(textToBytes(QString("[%1,%2]").arg(json, QString(json).replace("\"eState\":2", "\"eState\":\"x\"")),
                          *line.type, out.data()),
              "Element [1].eState: Value 'x' is not a INT");
}

TEST(Structures, MembersNoItemShowsAreLeftOutAndNamedOnlyWhenNothingIsLeft)
{
    Entry node{"ST_Node", "", 24, 0, 65, 0, {},
               {member("pNext", "POINTER TO ST_Node", 8, 0, 65), member("itfMotor", "I_Motor", 8, 8, 65),
                member("iValue", "INT", 2, 16, 2)},
               0};
    const ItemTypeCheck check = judged({node}, "ST_Node", 24);
    ASSERT_TRUE(check.fits) << check.mismatch;
    EXPECT_EQ(bytesToText(*check.type, Bytes(24, 0).data(), 24), "{\"iValue\":0}");
    Bytes out(24);
    EXPECT_EQ(textToBytes("{\"iValue\":5}", *check.type, out.data()),
              "ST_Node cannot be written whole: pNext, itfMotor cannot be written; write the other members one by one");

    node.members.pop_back();
    node.size = 16;
    EXPECT_EQ(judged({node}, "ST_Node", 16).mismatch,
              "PLC variable is ST_Node (16 bytes): none of its members can be shown (pNext, itfMotor)");

    // Members sharing their bytes are a union: which one holds the value nobody says.
    const Entry both{"U_Value", "", 4, 0, 65, 0, {}, {member("diWhole", "DINT", 4, 0, 3), member("rReal", "REAL", 4, 0, 4)}, 0};
    EXPECT_EQ(judged({both}, "U_Value", 4).mismatch, "PLC variable is U_Value (4 bytes), a type no item reads");
}

TEST(Structures, ATableThatDoesNotAddUpRefusesTheItemAndNamesTheType)
{
    std::vector<Entry> beyond = lineTypes();
    beyond[2].members.back().offset = 60;
    EXPECT_EQ(judged(beyond, "ST_Motor", 64).mismatch,
              "Data type ST_Motor of the PLC does not add up: member uliCount (8 bytes at 60) lies beyond its 64 bytes");

    std::vector<Entry> bits = lineTypes();
    bits[2].members[5].offset = 64 * 8;
    EXPECT_EQ(judged(bits, "ST_Motor", 64).mismatch,
              "Data type ST_Motor of the PLC does not add up: bit member xFault lies beyond its 64 bytes");

    std::vector<Entry> wrongSize = lineTypes();
    wrongSize[2].members[1].size = 12; // ST_Drive is 8 bytes
    EXPECT_EQ(judged(wrongSize, "ST_Motor", 64).mismatch,
              "Data type ST_Drive of the PLC does not add up: it is 8 bytes, where it is used 12 bytes");
    EXPECT_EQ(judged(lineTypes(), "ST_Motor", 60).mismatch,
              "Data type ST_Motor of the PLC does not add up: it is 64 bytes, where it is used 60 bytes");

    std::vector<Entry> twice = lineTypes();
    twice[2].members[4].name = "ATEMPS";
    EXPECT_EQ(judged(twice, "ST_Motor", 64).mismatch,
              "Data type ST_Motor of the PLC does not add up: member ATEMPS is declared twice");

    const Entry a{"ST_A", "", 8, 0, 65, 0, {}, {member("b", "ST_B", 8, 0, 65)}, 0};
    const Entry b{"ST_B", "", 8, 0, 65, 0, {}, {member("a", "ST_A", 8, 0, 65)}, 0};
    EXPECT_EQ(judged({a, b}, "ST_A", 8).mismatch, "Data type ST_A of the PLC does not add up: it contains itself");
    const Entry self{"ST_Self", "ST_Self", 4, 0, 65, 0, {}, {}, 0};
    EXPECT_EQ(judged({self}, "ST_Self", 4).mismatch, "PLC variable is ST_Self (4 bytes), a type no item reads");

    // Without the table's help a structure stays what it was: a type no item reads.
    EXPECT_EQ(judgeItemType(FROM_PLC, variable("ST_Motor", 64)).mismatch,
              "PLC variable is ST_Motor (64 bytes), a type no item reads");
    EXPECT_EQ(judged(lineTypes(), "ST_Motor", 64, REAL).mismatch,
              "Type mismatch: PLC variable is ST_Motor (64 bytes), item is REAL (4 bytes)");
    EXPECT_EQ(judged(lineTypes(), "E_State", 2, STRUCT).mismatch,
              "Type mismatch: PLC variable is E_State (2 bytes), item is structure (JSON); choose INT");
}

TEST(DataTypeTable, EveryLengthIsCheckedAgainstTheBytesReceived)
{
    const Bytes motor = lineTypes()[2].bytes();
    DataTypeEntry out;
    size_t consumed = 0;
    ASSERT_EQ(plc::ads::DecodeDataTypeEntry(motor.data(), motor.size(), out, consumed), ADS_OK);
    EXPECT_EQ(consumed, motor.size());
    EXPECT_EQ(out.members.size(), 8u);
    EXPECT_EQ(out.members[2].dimensions.size(), 1u);
    // Every cut of the entry is refused; so is an entry length that reaches past the bytes.
    for (size_t cut = 0; cut < motor.size(); ++cut) {
        ASSERT_EQ(plc::ads::DecodeDataTypeEntry(motor.data(), cut, out, consumed), ADS_ERR_INVALID_RESPONSE) << cut;
    }
    Bytes overrun = motor;
    plc::ads::le::Write<uint32_t>(overrun.data(), static_cast<uint32_t>(motor.size() + 1));
    EXPECT_EQ(plc::ads::DecodeDataTypeEntry(overrun.data(), overrun.size(), out, consumed), ADS_ERR_INVALID_RESPONSE);
    // A member that claims more than its parent holds, and a count of members the bytes cannot hold.
    Bytes member = motor;
    const size_t firstMember = plc::ads::DATA_TYPE_ENTRY_HEADER_SIZE + std::strlen("ST_Motor") + 3;
    plc::ads::le::Write<uint32_t>(member.data() + firstMember, 60000);
    EXPECT_EQ(plc::ads::DecodeDataTypeEntry(member.data(), member.size(), out, consumed), ADS_ERR_INVALID_RESPONSE);
    Bytes many = motor;
    plc::ads::le::Write<uint16_t>(many.data() + 40, 65535);
    EXPECT_EQ(plc::ads::DecodeDataTypeEntry(many.data(), many.size(), out, consumed), ADS_ERR_INVALID_RESPONSE);
    // Nesting deeper than any program does is refused, not followed.
    Entry deep{"ST_0", "", 1, 0, 65, 0, {}, {}, 0};
    for (int i = 0; i < 20; ++i) {
        deep = Entry{"ST_x", "", 1, 0, 65, 0, {}, {deep}, 0};
    }
    const Bytes nested = deep.bytes();
    EXPECT_EQ(plc::ads::DecodeDataTypeEntry(nested.data(), nested.size(), out, consumed), ADS_ERR_INVALID_RESPONSE);
}

} // namespace
