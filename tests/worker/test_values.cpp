// PLC values both ways, one table per family with its bounds: the bytes a text writes and the
// text they read back as, the texts refused (with the buffer untouched), arrays as JSON.
#include "worker/plc_values.h"

#include "qt_gtest_print.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

using Bytes = std::vector<unsigned char>;

Plc_Type T(DataType type, uint32_t length = 0)
{
    return Plc_Type::of(type, length);
}

Plc_Type A(std::vector<Plc_Type::Dimension> dimensions, const Plc_Type& element)
{
    return Plc_Type::arrayOf(std::move(dimensions), element);
}

QString read(Bytes bytes, int type)
{
    return bytesToValue(reinterpret_cast<char*>(bytes.data()), static_cast<DataType>(type),
                        static_cast<unsigned int>(bytes.size()));
}

struct Written {
    Plc_Type type;
    QString text;
    Bytes bytes;          // empty: refused
    QString error = "";   // the refusal
    QString readsAs = ""; // empty: the text itself
};

// Each text writes its bytes, which read back as the given text and write the same bytes again;
// a refused text leaves every byte as it was.
void expectWritten(const std::vector<Written>& cases)
{
    for (const Written& c : cases) {
        Bytes buffer(c.type.size + 1, 0xEE);
        EXPECT_EQ(textToBytes(c.text, c.type, buffer.data()), c.error) << c.type.name() << " " << c.text;
        Bytes expected = c.bytes.empty() ? Bytes(c.type.size, 0xEE) : c.bytes;
        expected.push_back(0xEE);
        EXPECT_EQ(buffer, expected) << c.type.name() << " " << c.text;
        if (!c.bytes.empty()) {
            const QString back = bytesToText(c.type, buffer.data(), c.type.size);
            EXPECT_EQ(back, c.readsAs.isEmpty() ? c.text.trimmed() : c.readsAs) << c.type.name();
            Bytes again(c.type.size, 0);
            EXPECT_EQ(textToBytes(back, c.type, again.data()), "");
            EXPECT_EQ(again, c.bytes) << c.type.name() << " " << back;
        }
    }
}

TEST(PlcValues, SamplesGiveTheTextOfTheirType)
{
    const struct {
        int type;
        Bytes bytes;
        const char* text;
    } cases[] = {
        {BOOL, {0x01}, "1"}, {BOOL, {0xFF}, "-1"}, {BYTE, {0xFF}, "255"}, {SINT, {0x80}, "-128"},
        {USINT, {0x80}, "128"}, {INT, {0x00, 0x80}, "-32768"}, {UINT, {0xFF, 0xFF}, "65535"},
        {WORD, {0x34, 0x12}, "4660"}, {DINT, {0x00, 0x00, 0x00, 0x80}, "-2147483648"},
        {UDINT, {0x00, 0x00, 0x00, 0x80}, "2147483648"}, {DWORD, {0xFF, 0xFF, 0xFF, 0xFF}, "4294967295"},
        // REAL and LREAL: the shortest text that reads back as the same value, no digit lost.
        {REAL, {0xA3, 0x79, 0xEB, 0x4C}, "123456792"}, {REAL, {0xCD, 0xCC, 0xCC, 0x3D}, "0.1"},
        {REAL, {0x00, 0x00, 0x7A, 0x44}, "1000"}, {REAL, {0xFF, 0xFF, 0x7F, 0x7F}, "3.4028235e+38"},
        {LREAL, {0x18, 0x2D, 0x44, 0x54, 0xFB, 0x21, 0x09, 0x40}, "3.141592653589793"},
        {LREAL, {0x75, 0x93, 0x18, 0xE4, 0x87, 0xD6, 0x32, 0x41}, "1234567.891"},
        {LREAL, {0x9A, 0x99, 0x99, 0x99, 0x99, 0x99, 0xB9, 0x3F}, "0.1"}, {STRING, {'a', 'b', 'c', 0, 'x'}, "abc"},
        {STRING, {'a', 'b'}, "ab"}, // never read past the sample
        {STRING, {0xC3, 0xBC, 0xE2, 0x82, 0xAC, 0}, "\u00FC\u20AC"},
        {STRING, {'a', 'b', 0xE2, 0x82}, "ab"}, // cut without its terminator: no broken character
        {WSTRING, {'a', 0, 0xAC, 0x20, 0, 0, 'x', 0}, "a\u20AC"}, {WSTRING, {'a', 0, 'b'}, "a"},
        {LINT, {0, 0, 0, 0, 0, 0, 0, 0x80}, "-9223372036854775808"},
        {LINT, {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xDF, 0xFF}, "-9007199254740993"}, // no double would hold it
        {ULINT, {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}, "18446744073709551615"},
        {LWORD, {0xEF, 0xCD, 0xAB, 0x89, 0x67, 0x45, 0x23, 0x01}, "81985529216486895"},
        {TIME_OF_DAY, {0x00, 0x5C, 0x26, 0x05}, "TOD#24:00:00"}, // past midnight: shown as it is
        {DATE, {0x01, 0, 0, 0}, "DT#1970-01-01-00:00:01"},      // a DATE with a time in it
        {INT, {0x01}, ""}, // short samples and types without a conversion give no text
        {LREAL, {1, 2, 3, 4, 5, 6, 7}, ""}, {TIME, {1, 2, 3}, ""}, {FROM_PLC, {1, 2, 3, 4}, ""}, {STRUCT, {1, 2, 3, 4}, ""}, {24, {1, 2, 3, 4}, ""},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(read(c.bytes, c.type), QString::fromUtf8(c.text)) << "type " << c.type << " " << c.text;
    }
    Bytes unaligned = {0xAA, 0x78, 0x56, 0x34, 0x12};
    EXPECT_EQ(bytesToValue(reinterpret_cast<char*>(unaligned.data() + 1), DINT, 4), "305419896");
    EXPECT_EQ(bytesToValue(nullptr, DINT, 4), QString());
}

TEST(PlcValues, TextsAreWrittenExactlyOrRefusedWithTheBufferUntouched)
{
    const QString realRange = "(-3.4028235e+38 to 3.4028235e+38)";
    expectWritten({
        {T(BOOL), "1", {1}}, {T(BOOL), " TRUE ", {1}, "", "1"}, {T(BOOL), "False", {0}, "", "0"},
        {T(BOOL), "2", {}, "Value '2' is not a BOOL"}, {T(BOOL), "01", {}, "Value '01' is not a BOOL"},

        {T(USINT), "255", {0xFF}}, {T(USINT), "-0", {0}, "", "0"}, {T(SINT), "-128", {0x80}},
        {T(USINT), "-1", {}, "Value '-1' is out of range for USINT (0 to 255)"},
        {T(BYTE), "256", {}, "Value '256' is out of range for BYTE (0 to 255)"},
        {T(SINT), "128", {}, "Value '128' is out of range for SINT (-128 to 127)"},
        {T(INT), " -32768 ", {0x00, 0x80}}, {T(UINT), "65535", {0xFF, 0xFF}},
        {T(INT), "70000", {}, "Value '70000' is out of range for INT (-32768 to 32767)"},
        {T(WORD), "1 2", {}, "Value '1 2' is not a WORD"},
        {T(DINT), "-2147483648", {0, 0, 0, 0x80}}, {T(DINT), "+0012", {12, 0, 0, 0}, "", "12"},
        {T(DINT), "2147483648", {}, "Value '2147483648' is out of range for DINT (-2147483648 to 2147483647)"},
        {T(DWORD), "99999999999999999999", {}, "Value '99999999999999999999' is out of range for DWORD (0 to 4294967295)"},
        {T(DINT), "1e3", {}, "Value '1e3' is not a DINT"}, {T(DINT), "1,000", {}, "Value '1,000' is not a DINT"},
        {T(DINT), "", {}, "Value '' is not a DINT"}, {T(DINT), "+-1", {}, "Value '+-1' is not a DINT"},
        {T(DINT), "\u0661\u0662", {}, "Value '\u0661\u0662' is not a DINT"}, // digits of another script

        // 64 bits: every value exact, the extremes included.
        {T(LINT), "-9223372036854775808", {0, 0, 0, 0, 0, 0, 0, 0x80}},
        {T(LINT), "9223372036854775807", {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x7F}},
        {T(LINT), "-9007199254740993", {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xDF, 0xFF}},
        {T(ULINT), "18446744073709551615", {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}},
        {T(LWORD), "9007199254740993", {0x01, 0, 0, 0, 0, 0, 0x20, 0}},
        {T(LINT), "9223372036854775808", {},
         "Value '9223372036854775808' is out of range for LINT (-9223372036854775808 to 9223372036854775807)"},
        {T(LINT), "-9223372036854775809", {},
         "Value '-9223372036854775809' is out of range for LINT (-9223372036854775808 to 9223372036854775807)"},
        {T(ULINT), "18446744073709551616", {},
         "Value '18446744073709551616' is out of range for ULINT (0 to 18446744073709551615)"},
        {T(ULINT), "-1", {}, "Value '-1' is out of range for ULINT (0 to 18446744073709551615)"},
        {T(LWORD), "1.0", {}, "Value '1.0' is not a LWORD"},

        // REAL and LREAL are rounded once, to their own precision.
        {T(REAL), "0.1", {0xCD, 0xCC, 0xCC, 0x3D}}, {T(REAL), " 1.5E+2 ", {0x00, 0x00, 0x16, 0x43}, "", "150"},
        {T(REAL), ".5", {0x00, 0x00, 0x00, 0x3F}, "", "0.5"}, {T(REAL), "5.", {0x00, 0x00, 0xA0, 0x40}, "", "5"},
        {T(REAL), "7.038531e-26", {0xFD, 0x43, 0xAE, 0x15}}, // through a double it would land one step above
        {T(REAL), "-0", {0, 0, 0, 0x80}}, {T(REAL), "1e-45", {1, 0, 0, 0}}, // the smallest, a subnormal
        {T(REAL), "1e-50", {}, "Value '1e-50' is too close to 0 for REAL (smallest magnitude 1e-45)"},
        {T(REAL), "7e-46", {}, "Value '7e-46' is too close to 0 for REAL (smallest magnitude 1e-45)"},
        {T(REAL), "0e-999", {0, 0, 0, 0}, "", "0"},
        {T(REAL), "1e39", {}, "Value '1e39' is out of range for REAL " + realRange},
        {T(REAL), "3.40282357e38", {}, "Value '3.40282357e38' is out of range for REAL " + realRange},
        {T(REAL), "-3.4028235e+38", {0xFF, 0xFF, 0x7F, 0xFF}}, // the text the largest REAL reads as
        {T(REAL), "nan", {}, "Value 'nan' is not a REAL"}, {T(REAL), "-inf", {}, "Value '-inf' is not a REAL"},
        {T(REAL), "3,5", {}, "Value '3,5' is not a REAL"},
        {T(LREAL), "1e308", {0xA0, 0xC8, 0xEB, 0x85, 0xF3, 0xCC, 0xE1, 0x7F}, "", "1e+308"},
        {T(LREAL), "5e-324", {1, 0, 0, 0, 0, 0, 0, 0}},
        {T(LREAL), "1e-400", {}, "Value '1e-400' is too close to 0 for LREAL (smallest magnitude 5e-324)"},
        {T(LREAL), "1e309", {},
         "Value '1e309' is out of range for LREAL (-1.7976931348623157e+308 to 1.7976931348623157e+308)"},
        {T(LREAL), "0x1p3", {}, "Value '0x1p3' is not a LREAL"}, {T(LREAL), "1.5.3", {}, "Value '1.5.3' is not a LREAL"},

        // STRING(3) and WSTRING(3): up to three bytes or UTF-16 code units, zero-filled.
        {T(STRING, 3), "abc", {'a', 'b', 'c', 0}}, {T(STRING, 3), "\u00E4", {0xC3, 0xA4, 0, 0}},
        {T(STRING, 3), "", {0, 0, 0, 0}},
        {T(STRING, 3), "a\u20AC", {}, "Value 'a\u20AC' is too long for STRING(3) (4 bytes)"},
        {T(WSTRING, 3), "a\u20AC", {'a', 0, 0xAC, 0x20, 0, 0, 0, 0}},
        {T(WSTRING, 3), "a\U0001F600", {'a', 0, 0x3D, 0xD8, 0x00, 0xDE, 0, 0}}, // a pair of surrogates
        {T(WSTRING, 3), "abcd", {}, "Value 'abcd' is too long for WSTRING(3) (4 UTF-16 code units)"},
        {T(WSTRING, 3), QString(QChar(0xD800)), {}, "Value '" + QString(QChar(0xD800)) + "' is not a WSTRING"},
        {T(STRING, 3), QStringLiteral("a") + QChar(0) + "b", {}, "Value 'a" + QString(QChar(0)) + "b' is not a STRING"},
    });
    // A STRING(n) longer than 80 is written and read whole.
    const QString hundred = QString(99, 'x') + QChar(0x00FC);
    Bytes long200(201, 0xEE);
    EXPECT_EQ(textToBytes(hundred, T(STRING, 200), long200.data()), "");
    EXPECT_EQ(bytesToText(T(STRING, 200), long200.data(), long200.size()), hundred);
    EXPECT_EQ(valueToBytes("5", FROM_PLC, nullptr, 0), "Type 22 cannot be written");
    char small[4] = {};
    EXPECT_EQ(valueToBytes("5", INT, small, 4), "No room for a INT in 4 bytes");
}

TEST(PlcValues, TimeLiteralsBothWaysAtTheirEdges)
{
    const Bytes max32 = {0xFF, 0xFF, 0xFF, 0xFF};
    const QString timeRange = "(T#0ms to T#49d17h2m47s295ms)";
    expectWritten({
        {T(TIME), "T#1h2m3s4ms", {0xFC, 0xCE, 0x38, 0x00}}, {T(TIME), "T#0ms", {0, 0, 0, 0}},
        {T(TIME), "T#49d17h2m47s295ms", max32}, // 49 days: all 32 bits
        {T(TIME), "T#49d17h2m47s296ms", {}, "Value 'T#49d17h2m47s296ms' is out of range for TIME " + timeRange},
        {T(TIME), "t#1.5S", {0xDC, 0x05, 0, 0}, "", "T#1s500ms"}, {T(TIME), "TIME#90m", {0xC0, 0x65, 0x52, 0}, "", "T#1h30m"},
        {T(TIME), "T#1h_30m", {0xC0, 0x65, 0x52, 0}, "", "T#1h30m"},
        {T(TIME), "T#-5s", {}, "Value 'T#-5s' is out of range for TIME " + timeRange},
        {T(TIME), "T#1.0005s", {}, "Value 'T#1.0005s' is not a TIME"}, // finer than a millisecond
        {T(TIME), "T#2m1h", {}, "Value 'T#2m1h' is not a TIME"}, {T(TIME), "T#1s1s", {}, "Value 'T#1s1s' is not a TIME"},
        {T(TIME), "T#1.5s2ms", {}, "Value 'T#1.5s2ms' is not a TIME"}, {T(TIME), "T#5", {}, "Value 'T#5' is not a TIME"},
        {T(TIME), "T#", {}, "Value 'T#' is not a TIME"}, {T(TIME), "5000", {}, "Value '5000' is not a TIME"},
        {T(TIME), "T#5us", {}, "Value 'T#5us' is not a TIME"},

        {T(LTIME), "LTIME#5us6ns", {0x8E, 0x13, 0, 0, 0, 0, 0, 0}}, {T(LTIME), "LTIME#0ns", Bytes(8, 0)},
        {T(LTIME), "LT#1.5us", {0xDC, 0x05, 0, 0, 0, 0, 0, 0}, "", "LTIME#1us500ns"},
        {T(LTIME), "LTIME#213503d23h34m33s709ms551us615ns", Bytes(8, 0xFF)},
        {T(LTIME), "LTIME#213503d23h34m33s709ms551us616ns", {},
         "Value 'LTIME#213503d23h34m33s709ms551us616ns' is out of range for LTIME (LTIME#0ns to "
         "LTIME#213503d23h34m33s709ms551us615ns)"},
        {T(LTIME), "T#5s", {}, "Value 'T#5s' is not a LTIME"},

        {T(TIME_OF_DAY), "TOD#00:00:00", {0, 0, 0, 0}}, {T(TIME_OF_DAY), "TOD#23:59:59.999", {0xFF, 0x5B, 0x26, 0x05}},
        {T(TIME_OF_DAY), "TOD#12:34:56.789", {0x95, 0x2C, 0xB3, 0x02}},
        {T(TIME_OF_DAY), "time_of_day#1:02:03.5", {0xEC, 0xD0, 0x38, 0}, "", "TOD#01:02:03.500"},
        {T(TIME_OF_DAY), "TOD#24:00:00", {}, "Value 'TOD#24:00:00' is out of range for TIME_OF_DAY (TOD#00:00:00 to TOD#23:59:59.999)"},
        {T(TIME_OF_DAY), "TOD#12:34:56.7891", {}, "Value 'TOD#12:34:56.7891' is not a TIME_OF_DAY"},
        {T(TIME_OF_DAY), "TOD#12:34", {}, "Value 'TOD#12:34' is not a TIME_OF_DAY"},

        {T(DATE), "D#1970-01-01", {0, 0, 0, 0}}, {T(DATE), "D#2024-02-29", {0x00, 0xC9, 0xDF, 0x65}},
        {T(DATE), "DATE#2000-02-29", {0x00, 0x0C, 0xBB, 0x38}, "", "D#2000-02-29"},
        {T(DATE), "D#2023-02-29", {}, "Value 'D#2023-02-29' is not a DATE"},
        {T(DATE), "D#2100-02-29", {}, "Value 'D#2100-02-29' is not a DATE"}, // no leap day in 2100
        {T(DATE), "D#2106-02-07", {0x00, 0xA5, 0xFF, 0xFF}},
        {T(DATE), "D#2106-02-08", {}, "Value 'D#2106-02-08' is out of range for DATE (D#1970-01-01 to D#2106-02-07)"},
        {T(DATE), "D#1969-12-31", {}, "Value 'D#1969-12-31' is out of range for DATE (D#1970-01-01 to D#2106-02-07)"},

        {T(DATE_AND_TIME), "DT#2026-12-07-12:34:56", {0xF0, 0xA7, 0x16, 0x6B}},
        {T(DATE_AND_TIME), "DATE_AND_TIME#2024-02-29-23:59:59", {0x7F, 0x1A, 0xE1, 0x65}, "", "DT#2024-02-29-23:59:59"},
        {T(DATE_AND_TIME), "DT#2106-02-07-06:28:15", max32}, // the year 2106 limit of 32 bits of seconds
        {T(DATE_AND_TIME), "DT#2106-02-07-06:28:16", {},
         "Value 'DT#2106-02-07-06:28:16' is out of range for DATE_AND_TIME (DT#1970-01-01-00:00:00 to "
         "DT#2106-02-07-06:28:15)"},
        {T(DATE_AND_TIME), "DT#2026-12-07-24:00:00", {}, "Value 'DT#2026-12-07-24:00:00' is not a DATE_AND_TIME"},
        {T(DATE_AND_TIME), "D#2026-12-07", {}, "Value 'D#2026-12-07' is not a DATE_AND_TIME"},
    });
}

TEST(PlcValues, ArraysAreJsonArraysWrittenWholeOrNotAtAll)
{
    const Plc_Type reals = A({{1, 3}}, T(REAL));
    const Plc_Type grid = A({{0, 2}, {0, 3}}, T(INT));
    const Bytes realBytes = {0, 0, 0xC0, 0x3F, 0xCD, 0xCC, 0xCC, 0x3D, 0, 0, 0, 0xC0};
    const Bytes gridBytes = {1, 0, 2, 0, 3, 0, 4, 0, 5, 0, 0xFA, 0xFF};
    expectWritten({
        {reals, "[1.5, 0.1, -2]", realBytes, "", "[1.5,0.1,-2]"},
        {grid, "[[1,2,3],[4,5,-6]]", gridBytes},
        {A({{-1, 2}}, T(ULINT)), "[18446744073709551615,9007199254740993]",
         {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 1, 0, 0, 0, 0, 0, 0x20, 0}},
        {A({{0, 2}}, T(STRING, 3)), "[\"a\\\"b\",\"\u00E4\"]", {'a', '"', 'b', 0, 0xC3, 0xA4, 0, 0}},
        {A({{0, 2}}, T(TIME)), "[\"T#1s\",\"T#0ms\"]", {0xE8, 0x03, 0, 0, 0, 0, 0, 0}},
        {A({{0, 2}}, A({{0, 2}}, T(BOOL))), "[[true,0],[0,1]]", {1, 0, 0, 1}, "", "[[1,0],[0,1]]"},
        {A({{0, 2}}, T(LINT)), "[\"-5\", 7]", {0xFB, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 7, 0, 0, 0, 0, 0, 0, 0},
         "", "[-5,7]"}, // a number may come as a JSON string
        // Refused, not one byte written: element counts at every level, each element valid, JSON at all.
        {reals, "[1,2]", {}, "Value '[1,2]' has 2 elements, ARRAY [1..3] OF REAL needs 3"},
        {reals, "[1,2,3,4]", {}, "Value '[1,2,3,4]' has 4 elements, ARRAY [1..3] OF REAL needs 3"},
        {reals, "[1,\"x\",3]", {}, "Element [2]: Value 'x' is not a REAL"},
        {reals, "[1,null,3]", {}, "Element [2] is not a REAL"},
        {reals, "[1,[2],3]", {}, "Element [2] is not a REAL"},
        {reals, "1,2,3", {}, "Value '1,2,3' is not a JSON array for ARRAY [1..3] OF REAL"},
        {reals, "{\"a\":1}", {}, "Value '{\"a\":1}' is not a JSON array for ARRAY [1..3] OF REAL"},
        {reals, "[1,2,1e39]", {}, "Element [3]: Value '1e39' is out of range for REAL (-3.4028235e+38 to 3.4028235e+38)"},
        {grid, "[[1,2,3],[4,5]]", {}, "Element [1] has 2 elements, ARRAY [0..1, 0..2] OF INT needs 3"},
        {grid, "[[1,2,3],[4,5,40000]]", {}, "Element [1,2]: Value '40000' is out of range for INT (-32768 to 32767)"},
        {grid, "[1,2]", {}, "Element [0] is not a JSON array"},
    });
    // Not finite REALs are JSON strings, so that the text stays JSON.
    const Bytes nan = {0, 0, 0xC0, 0x7F, 0, 0, 0x80, 0x7F, 0, 0, 0, 0};
    EXPECT_EQ(bytesToText(reals, nan.data(), nan.size()), "[\"nan\",\"inf\",0]");
    EXPECT_EQ(bytesToText(reals, nan.data(), nan.size() - 1), "") << "a short sample gives no text";
}

} // namespace
