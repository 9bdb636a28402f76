// PLC data types: byte lengths and conversions between little-endian sample bytes and text.
#include "worker/plc_values.h"
#include "worker/plc_type_check.h"

#include "qt_gtest_print.h"

#include <gtest/gtest.h>

#include <QByteArray>

#include <cstring>
#include <string>
#include <vector>

namespace {

using Bytes = std::vector<unsigned char>;

QString read(Bytes bytes, int type)
{
    return bytesToValue(reinterpret_cast<char*>(bytes.data()), static_cast<DataType>(type),
                        static_cast<unsigned int>(bytes.size()));
}

// Writes into a buffer pre-filled with 0xEE so untouched bytes show.
Bytes write(const QString& text, int type, int length = -1, size_t bufferSize = 100)
{
    Bytes buffer(bufferSize, 0xEE);
    const int n = length < 0 ? static_cast<int>(dataLength(static_cast<DataType>(type))) : length;
    valueToBytes(text, static_cast<DataType>(type), reinterpret_cast<char*>(buffer.data()), n);
    return buffer;
}

Bytes head(const Bytes& bytes, size_t n)
{
    return Bytes(bytes.begin(), bytes.begin() + static_cast<long>(n));
}

TEST(PlcValues, DataLengthTable)
{
    const unsigned expected[] = {1, 1, 2, 4, 1, 1, 2, 2, 4, 4, 4, 8, 81, 4, 4, 4, 4};
    for (int type = 0; type <= 16; ++type) {
        EXPECT_EQ(dataLength(static_cast<DataType>(type)), expected[type]) << type;
    }
    EXPECT_EQ(dataLength(static_cast<DataType>(17)), 0u);
    EXPECT_EQ(dataLength(static_cast<DataType>(-1)), 0u);
    EXPECT_EQ(dataLength(static_cast<DataType>(1000)), 0u);
    // The named values the configuration offers.
    EXPECT_EQ(BOOL, 0);
    EXPECT_EQ(WORD, 2);
    EXPECT_EQ(UDINT, 9);
    EXPECT_EQ(LREAL, 11);
    EXPECT_EQ(STRING, 12);
}

TEST(PlcValues, IntegerSamplesBySignednessAndWidth)
{
    EXPECT_EQ(read({0x00}, BOOL), "0");
    EXPECT_EQ(read({0x01}, BOOL), "1");
    EXPECT_EQ(read({0x02}, BOOL), "2");
    EXPECT_EQ(read({0xFF}, BOOL), "-1");
    EXPECT_EQ(read({0xFF}, 1), "255");
    EXPECT_EQ(read({0x80}, SINT), "-128");
    EXPECT_EQ(read({0x80}, USINT), "128");
    EXPECT_EQ(read({0xFF, 0xFF}, INT), "-1");
    EXPECT_EQ(read({0xFF, 0xFF}, UINT), "65535");
    EXPECT_EQ(read({0xFF, 0xFF}, WORD), "65535");
    EXPECT_EQ(read({0x34, 0x12}, INT), "4660");
    EXPECT_EQ(read({0x00, 0x80}, INT), "-32768");
    EXPECT_EQ(read({0x00, 0x00, 0x00, 0x80}, DINT), "-2147483648");
    EXPECT_EQ(read({0x00, 0x00, 0x00, 0x80}, UDINT), "2147483648");
    EXPECT_EQ(read({0xFF, 0xFF, 0xFF, 0xFF}, DWORD), "4294967295");
    EXPECT_EQ(read({0x78, 0x56, 0x34, 0x12}, DINT), "305419896");
    EXPECT_EQ(read({0x07, 0x00, 0x00, 0x00}, DINT), "7") << "no leading zeros";
}

TEST(PlcValues, SamplesNeedNotBeAligned)
{
    Bytes raw = {0xAA, 0x78, 0x56, 0x34, 0x12, 0xBB};
    EXPECT_EQ(bytesToValue(reinterpret_cast<char*>(raw.data() + 1), DINT, 4), "305419896");
}

TEST(PlcValues, RealSamplesUseSixSignificantDigits)
{
    auto realBytes = [](float value) {
        uint32_t bits;
        std::memcpy(&bits, &value, 4);
        return Bytes{static_cast<unsigned char>(bits), static_cast<unsigned char>(bits >> 8),
                     static_cast<unsigned char>(bits >> 16), static_cast<unsigned char>(bits >> 24)};
    };
    auto lrealBytes = [](double value) {
        uint64_t bits;
        std::memcpy(&bits, &value, 8);
        Bytes out;
        for (int i = 0; i < 8; ++i) {
            out.push_back(static_cast<unsigned char>(bits >> (8 * i)));
        }
        return out;
    };
    EXPECT_EQ(read({0x00, 0x00, 0xC0, 0x3F}, REAL), "1.5");
    EXPECT_EQ(read(realBytes(0.1f), REAL), "0.1");
    EXPECT_EQ(read(realBytes(123456789.0f), REAL), "1.23457e+08");
    EXPECT_EQ(read(realBytes(-2.5f), REAL), "-2.5");
    EXPECT_EQ(read(realBytes(0.0f), REAL), "0");
    EXPECT_EQ(read(lrealBytes(3.14159265358979), LREAL), "3.14159");
    EXPECT_EQ(read(lrealBytes(1e-7), LREAL), "1e-07");
    EXPECT_EQ(read({0, 0, 0, 0, 0, 0, 0xF8, 0x3F}, LREAL), "1.5");
}

TEST(PlcValues, StringSamples)
{
    EXPECT_EQ(read({'a', 'b', 'c', 0, 'x', 'y'}, STRING), "abc");
    EXPECT_EQ(read({0, 'x'}, STRING), "");
    EXPECT_EQ(read({'a', 'b'}, STRING), "ab") << "never read past the sample";
    Bytes full(81, 'q');
    EXPECT_EQ(read(full, STRING), QString(81, QLatin1Char('q')));
    const QByteArray utf8 = QStringLiteral("Gr\u00FC\u00DFe \u20AC").toUtf8();
    Bytes encoded(utf8.begin(), utf8.end());
    encoded.push_back(0);
    EXPECT_EQ(read(encoded, STRING), QStringLiteral("Gr\u00FC\u00DFe \u20AC"));
}

TEST(PlcValues, UnconvertedTypesAndShortSamplesGiveEmptyText)
{
    for (int type : {13, 14, 15, 16, 17, -1}) {
        EXPECT_EQ(read({1, 2, 3, 4, 5, 6, 7, 8}, type), QString()) << type;
    }
    EXPECT_EQ(read({0x01}, INT), QString());
    EXPECT_EQ(read({1, 2, 3}, DINT), QString());
    EXPECT_EQ(read({1, 2, 3, 4, 5, 6, 7}, LREAL), QString());
    EXPECT_EQ(bytesToValue(nullptr, DINT, 4), QString());
}

TEST(PlcValues, IntegerTextsKeepTheLowBytes)
{
    EXPECT_EQ(head(write("1", BOOL), 2), (Bytes{0x01, 0xEE}));
    EXPECT_EQ(head(write("-1", SINT), 2), (Bytes{0xFF, 0xEE}));
    EXPECT_EQ(head(write("300", USINT), 2), (Bytes{44, 0xEE}));
    EXPECT_EQ(head(write("255", 1), 2), (Bytes{0xFF, 0xEE}));
    EXPECT_EQ(head(write("70000", INT), 3), (Bytes{0x70, 0x11, 0xEE}));
    EXPECT_EQ(head(write("-2", INT), 3), (Bytes{0xFE, 0xFF, 0xEE}));
    EXPECT_EQ(head(write("65535", UINT), 3), (Bytes{0xFF, 0xFF, 0xEE}));
    EXPECT_EQ(head(write("-1", UINT), 3), (Bytes{0x00, 0x00, 0xEE})) << "the unsigned conversion fails";
    EXPECT_EQ(head(write("4660", WORD), 3), (Bytes{0x34, 0x12, 0xEE}));
    EXPECT_EQ(head(write("-2147483648", DINT), 5), (Bytes{0, 0, 0, 0x80, 0xEE}));
    EXPECT_EQ(head(write("abc", DINT), 5), (Bytes{0, 0, 0, 0, 0xEE}));
    EXPECT_EQ(head(write("4294967295", UDINT), 5), (Bytes{0xFF, 0xFF, 0xFF, 0xFF, 0xEE}));
    EXPECT_EQ(head(write("305419896", DWORD), 5), (Bytes{0x78, 0x56, 0x34, 0x12, 0xEE}));
    EXPECT_EQ(head(write("12.7", DINT), 5), (Bytes{0, 0, 0, 0, 0xEE})) << "decimal integers only";
}

TEST(PlcValues, RealTextsAreIeeeLittleEndian)
{
    EXPECT_EQ(head(write("1.5", REAL), 5), (Bytes{0x00, 0x00, 0xC0, 0x3F, 0xEE}));
    EXPECT_EQ(head(write("-2", REAL), 5), (Bytes{0x00, 0x00, 0x00, 0xC0, 0xEE}));
    EXPECT_EQ(head(write("x", REAL), 5), (Bytes{0, 0, 0, 0, 0xEE}));
    EXPECT_EQ(head(write("1.5", LREAL), 9), (Bytes{0, 0, 0, 0, 0, 0, 0xF8, 0x3F, 0xEE}));
    // Round trip through the sample conversion.
    Bytes lreal = write("3.14159265358979", LREAL);
    EXPECT_EQ(read(head(lreal, 8), LREAL), "3.14159");
}

TEST(PlcValues, StringTextsAreTerminatedAndCut)
{
    EXPECT_EQ(head(write("abc", STRING), 6), (Bytes{'a', 'b', 'c', 0, 0xEE, 0xEE})) << "bytes after the zero stay";
    EXPECT_EQ(head(write("", STRING), 2), (Bytes{0, 0xEE}));

    const Bytes exact = write(QString(80, QLatin1Char('x')), STRING);
    EXPECT_EQ(exact[79], 'x');
    EXPECT_EQ(exact[80], 0);
    EXPECT_EQ(exact[81], 0xEE);

    const Bytes cut = write(QString(200, QLatin1Char('y')), STRING);
    EXPECT_EQ(cut[79], 'y');
    EXPECT_EQ(cut[80], 0);
    EXPECT_EQ(cut[81], 0xEE) << "at most the given length is written";

    EXPECT_EQ(head(write("abcdef", STRING, 4), 5), (Bytes{'a', 'b', 'c', 0, 0xEE}));
    EXPECT_EQ(head(write("abc", STRING, 1), 2), (Bytes{0, 0xEE}));
    EXPECT_EQ(head(write("abc", STRING, 0), 1), (Bytes{0xEE}));
}

TEST(PlcValues, StringCutNeverSplitsACharacter)
{
    const QString text = QStringLiteral("\u00E4\u00F6\u00FC\u20AC\u00DF"); // 2+2+2+3+2 bytes
    const QByteArray utf8 = text.toUtf8();
    for (int length = 1; length <= utf8.size() + 2; ++length) {
        SCOPED_TRACE(length);
        const Bytes buffer = write(text, STRING, length);
        const auto* p = reinterpret_cast<const char*>(buffer.data());
        const size_t n = std::strlen(p);
        ASSERT_LT(n, static_cast<size_t>(length));
        const QByteArray written(p, static_cast<int>(n));
        EXPECT_TRUE(utf8.startsWith(written));
        // Whole characters only: decoding gives a prefix of the text without replacement characters.
        const QString decoded = QString::fromUtf8(written);
        EXPECT_TRUE(text.startsWith(decoded)) << decoded.toStdString();
        EXPECT_EQ(decoded.toUtf8(), written);
        // Nothing more fits: the next character would not have.
        if (decoded.size() < text.size()) {
            EXPECT_GT(written.size() + QString(text.at(decoded.size())).toUtf8().size(), length - 1);
        }
    }
    // A four-byte character that does not fit is dropped whole.
    const QString emoji = QStringLiteral("ab\U0001F600");
    EXPECT_EQ(head(write(emoji, STRING, 5), 6), (Bytes{'a', 'b', 0, 0xEE, 0xEE, 0xEE}));
    EXPECT_EQ(head(write(emoji, STRING, 7), 7), (Bytes{'a', 'b', 0xF0, 0x9F, 0x98, 0x80, 0}));
}

TEST(PlcValues, NonAsciiStringRoundTrip)
{
    const QString text = QStringLiteral("Temp\u00E9rature \u00B0C \u6E29\u5EA6");
    const Bytes buffer = write(text, STRING);
    EXPECT_EQ(read(Bytes(buffer.begin(), buffer.begin() + 81), STRING), text);
}

TEST(PlcValues, UnconvertedTypesLeaveTheBufferAlone)
{
    const Bytes untouched(100, 0xEE);
    for (int type : {13, 14, 15, 16, 17, -3}) {
        EXPECT_EQ(write("123", type, 4), untouched) << type;
    }
    EXPECT_EQ(write("123", DINT, 0), untouched);
    valueToBytes("1", DINT, nullptr, 4);
}

} // namespace

// Which PLC variables an item type may watch: same size and the same reading, any STRING(n)
// for STRING, types of the program's own by size.
TEST(PlcValues, ItemTypeFitsThePlcVariable)
{
    struct Case {
        DataType item;
        const char* plcType;
        uint32_t plcSize;
        bool fits;
    };
    const Case cases[] = {
        {INT, "DINT", 4, false},          {INT, "INT", 2, true},           {INT, "int", 2, true},
        {UINT, "INT", 2, false},          {UINT, "WORD", 2, true},         {UDINT, "DWORD", 4, true},
        {BOOL, "SINT", 1, true},          {BOOL, "USINT", 1, false},       {LREAL, "LINT", 8, false},
        {REAL, "DINT", 4, false},         {DINT, "E_Mode", 4, true},       {DINT, "E_Mode", 2, false},
        {STRING, "STRING(80)", 81, true}, {STRING, "STRING(20)", 21, true}, {STRING, "STRING", 81, true},
        {STRING, "WSTRING(80)", 162, false}, {STRING, "ARRAY [0..80] OF BYTE", 81, false},
        {DINT, "STRING(3)", 4, false},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(c.fits, plcTypeFits(c.item, QString::fromLatin1(c.plcType), c.plcSize))
            << itemTypeName(c.item).toStdString() << " on " << c.plcType;
    }
    EXPECT_EQ(typeMismatchText(INT, QStringLiteral("DINT"), 4),
              QStringLiteral("Type mismatch: PLC variable is DINT (4 bytes), item is INT (2 bytes)"));
    EXPECT_EQ(itemTypeForPlcType(QStringLiteral("STRING(20)"), 21), STRING);
    EXPECT_EQ(itemTypeForPlcType(QStringLiteral("E_Mode"), 2), -1);
}
