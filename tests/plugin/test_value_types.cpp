// The types beyond the first twelve through the host: every one read with its own type and with
// the type from the PLC, written at its extremes and read back exactly, refused texts that leave
// the variable alone; arrays whole and by element; strings longer than 80.
#include "plugin/support/exchange_fixture.h"

using namespace exchange_test;

namespace {

struct Variable {
    const char* symbol;
    int type;
    QString initial; // as the simulator's built-in table holds it
    QString extreme; // written through the item that takes its type from the PLC
    QString refused; // written through the item of its own type
    QString why;
};

const std::vector<Variable> kVariables = {
    {"MAIN.byByte", BYTE, "165", "255", "256", "Value '256' is out of range for BYTE (0 to 255)"},
    {"MAIN.liLint", LINT, "-9007199254740993", "-9223372036854775808", "9223372036854775808",
     "Value '9223372036854775808' is out of range for LINT (-9223372036854775808 to 9223372036854775807)"},
    {"MAIN.uliUlint", ULINT, "18446744073709551615", "9007199254740993", "-1",
     "Value '-1' is out of range for ULINT (0 to 18446744073709551615)"},
    {"MAIN.lwLword", LWORD, "81985529216486895", "18446744073709551615", "1e3", "Value '1e3' is not a LWORD"},
    {"MAIN.tTime", TIME, "T#1h2m3s4ms", "T#49d17h2m47s295ms", "T#50d",
     "Value 'T#50d' is out of range for TIME (T#0ms to T#49d17h2m47s295ms)"},
    {"MAIN.ltLtime", LTIME, "LTIME#5us6ns", "LTIME#213503d23h34m33s709ms551us615ns", "T#1s",
     "Value 'T#1s' is not a LTIME"},
    {"MAIN.todTime", TIME_OF_DAY, "TOD#12:34:56.789", "TOD#23:59:59.999", "TOD#24:00:00",
     "Value 'TOD#24:00:00' is out of range for TIME_OF_DAY (TOD#00:00:00 to TOD#23:59:59.999)"},
    {"MAIN.dDate", DATE, "D#2026-12-07", "D#2106-02-07", "D#2023-02-29", "Value 'D#2023-02-29' is not a DATE"},
    {"MAIN.dtStamp", DATE_AND_TIME, "DT#2026-12-07-12:34:56", "DT#2106-02-07-06:28:15", "DT#2106-02-07-06:28:16",
     "Value 'DT#2106-02-07-06:28:16' is out of range for DATE_AND_TIME (DT#1970-01-01-00:00:00 to "
     "DT#2106-02-07-06:28:15)"},
    {"MAIN.wsText", WSTRING, "Gr\u00FC\u00DFe \u4E16\u754C", QString(80, QChar(0x00C4)), QString(81, 'w'),
     "Value '" + QString(81, 'w') + "' is too long for WSTRING(80) (81 UTF-16 code units)"},
    {"MAIN.eMode", INT, "2", "-32768", "40000", "Value '40000' is out of range for INT (-32768 to 32767)"},
    {"MAIN.aReal", REAL, "[1.5,3,4.5,6,7.5,9,10.5,12,13.5,15]", "[3.4028235e+38,-1e-45,0.1,-0,1,2,3,4,5,6]", "[1,2]",
     "Value '[1,2]' has 2 elements, ARRAY [1..10] OF REAL needs 10"},
    {"MAIN.aInt", INT, "[[-5,-4,-3,-2],[5,6,7,8],[15,16,17,18]]", "[[-32768,32767,0,1],[2,3,4,5],[6,7,8,9]]",
     "[[1,2,3,4],[1,2,3,4]]", "Value '[[1,2,3,4],[1,2,3,4]]' has 2 elements, ARRAY [0..2, 0..3] OF INT needs 3"},
    {"MAIN.aText", STRING, "[\"one\",\"two\",\"three\",\"four\",\"five\"]",
     "[\"abcdefghijklmnopqrst\",\"\",\"\u00E4\\\"\",\"x\",\"y\"]", "[\"a\",\"b\",\"c\",\"d\",\"abcdefghijklmnopqrstu\"]",
     "Element [4]: Value 'abcdefghijklmnopqrstu' is too long for STRING(20) (21 bytes)"},
    {"MAIN.aLint", LINT, "[-9223372036854775808,0,9223372036854775807]", "[9223372036854775807,-1,-9223372036854775808]",
     "[1,2,\"x\"]", "Element [1]: Value 'x' is not a LINT"},
    {"MAIN.aReal[3]", REAL, "4.5", "", "x", "Value 'x' is not a REAL"},
};

TEST_F(ExchangeTest, EveryTypeReadsWithItsOwnTypeAndThePlcsAndWritesItsExtremesExactly)
{
    auto sim = startSimulator();
    LogList list = batchFor(deviceFor(60, *sim), {});
    for (const Variable& v : kVariables) {
        list.items.append(itemFor(list.items.size() + 1, v.symbol, v.type));
        list.items.append(itemFor(list.items.size() + 1, v.symbol, FROM_PLC));
    }
    const auto showing = [&](const std::function<QString(const Variable&)>& text) {
        return [&, text](const LogList& l) {
            for (size_t i = 0; i < kVariables.size(); ++i) {
                const QString wanted = text(kVariables[i]);
                if (!wanted.isEmpty() && (valueOf(l, 2 * i) != wanted || valueOf(l, 2 * i + 1) != wanted)) {
                    return false;
                }
            }
            return true;
        };
    };
    EXPECT_TRUE(readUntil(list, showing([](const Variable& v) { return v.initial; })));
    for (int i = 0; i < list.items.size(); ++i) {
        EXPECT_EQ(list.items[i].item.error, "") << list.items[i].item.config["variable_name"];
        EXPECT_EQ(valueOf(list, i), kVariables[i / 2].initial) << kVariables[i / 2].symbol;
    }

    // Through the items that know nothing but the name: the extremes land and read back as written.
    LogList writes = list;
    writes.items.clear();
    for (size_t i = 0; i < kVariables.size(); ++i) {
        if (!kVariables[i].extreme.isEmpty()) {
            writes.items.append(list.items[2 * i + 1]);
            writes.items.back().values["value"] = kVariables[i].extreme;
        }
    }
    ASSERT_TRUE(plugin.writeData(&writes));
    for (const DataItem& item : writes.items) {
        EXPECT_EQ(item.item.error, "") << item.item.config["variable_name"];
    }
    // The element is a notification of its own: its sample may come a cycle after the array's.
    const auto extremes = showing([](const Variable& v) { return v.extreme; });
    EXPECT_TRUE(readUntil(list, [&](const LogList& l) { return extremes(l) && valueOf(l, 30) == "0.1"; }))
        << valueOf(list, 22) << " " << valueOf(list, 27);
    EXPECT_EQ(valueOf(list, 30), "0.1") << "the element of the array written whole";

    // Texts that are not exactly a value write nothing, each with its reason.
    std::vector<std::vector<uint8_t>> before;
    writes.items.clear();
    for (size_t i = 0; i < kVariables.size(); ++i) {
        before.push_back(sim->GetSymbolValue(kVariables[i].symbol == QString("MAIN.aReal[3]") ? "MAIN.aReal"
                                                                                              : kVariables[i].symbol));
        writes.items.append(list.items[2 * i]);
        writes.items.back().values["value"] = kVariables[i].refused;
    }
    ASSERT_TRUE(plugin.writeData(&writes));
    for (size_t i = 0; i < kVariables.size(); ++i) {
        EXPECT_EQ(writes.items[i].item.error, kVariables[i].why);
        EXPECT_EQ(sim->GetSymbolValue(kVariables[i].symbol == QString("MAIN.aReal[3]") ? "MAIN.aReal"
                                                                                       : kVariables[i].symbol),
                  before[i])
            << kVariables[i].symbol;
    }

    // An element alone, written by its own name, is part of its array.
    writes.items = {list.items[31]};
    writes.items[0].values["value"] = "-0.25";
    ASSERT_TRUE(plugin.writeData(&writes));
    EXPECT_TRUE(readUntil(list, [](const LogList& l) {
        return valueOf(l, 30) == "-0.25" && valueOf(l, 23) == "[3.4028235e+38,-1e-45,-0.25,-0,1,2,3,4,5,6]";
    })) << valueOf(list, 23);
}

TEST_F(ExchangeTest, AStringLongerThan80IsReadWholeAndTheTypeFromThePlcNeedsSymbolInformation)
{
    // 80 bytes, then a two-byte character across the 81 bytes of a STRING(80).
    const QString text = QString(80, 'a') + QChar(0x00FC) + QString(19, 'b');
    std::vector<uint8_t> bytes(201, 0);
    const QByteArray utf8 = text.toUtf8();
    std::copy(utf8.begin(), utf8.end(), bytes.begin());
    for (const bool info : {true, false}) {
        plcsim::SimOptions options;
        options.netId = AmsNetId(127, 0, 0, info ? 90 : 91, 1, 1);
        options.symbolInfo = info;
        PlcSimulator sim(options);
        sim.Start("127.0.0.1", 0);
        sim.AddSymbol("MAIN.sLong", bytes, plcsim::Behaviour::Constant, "STRING(200)");
        LogList list = batchFor(deviceFor(info ? 61 : 62, sim), {});
        list.items = {itemFor(1, "MAIN.sLong", STRING), itemFor(2, "MAIN.sLong", FROM_PLC)};
        if (info) {
            ASSERT_TRUE(readUntil(list));
            EXPECT_EQ(valueOf(list, 0), text);
            EXPECT_EQ(valueOf(list, 1), text);
            const QString longer = QString(198, 'c') + QChar(0x00E9); // all 200 bytes
            list.items[0].values["value"] = longer;
            list.items.removeLast();
            ASSERT_TRUE(plugin.writeData(&list));
            EXPECT_EQ(list.items[0].item.error, "");
            EXPECT_TRUE(readUntil(list, [&](const LogList& l) { return valueOf(l, 0) == longer; })) << valueOf(list, 0);
            continue;
        }
        // Without symbol information: STRING(80), cut before the broken character; no type to take.
        ASSERT_TRUE(readUntil(list, [](const LogList& l) { return !valueOf(l, 0).isEmpty(); }));
        EXPECT_EQ(valueOf(list, 0), QString(80, 'a'));
        EXPECT_TRUE(readUntil(list, [](const LogList& l) { return !l.items[1].item.error.isEmpty(); }));
        EXPECT_EQ(list.items[1].item.error, typeUnknownText());
        list.items.removeFirst();
        list.items[0].values["value"] = "x";
        ASSERT_TRUE(plugin.writeData(&list));
        EXPECT_EQ(list.items[0].item.error, typeUnknownText());
        EXPECT_EQ(sim.GetSymbolValue("MAIN.sLong"), bytes);
        EXPECT_EQ(sim.NotificationCount(), 2u) << "the item of its own type and the program watch";
    }
}

} // namespace
