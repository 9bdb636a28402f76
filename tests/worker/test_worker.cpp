// The worker's conversions and texts: PLC value bytes to and from text per type (with the
// bounds, accepted and refused texts), which PLC variable an item type may watch, error texts, NetId texts, and
// samples for user values nobody registered.
#include "worker/ads_error_texts.h"
#include "worker/ads_plc_worker.h"
#include "worker/plc_type_check.h"
#include "worker/plc_values.h"

#include "qt_gtest_print.h"

#include <gtest/gtest.h>

#include <QStringList>

#include <vector>

namespace {

using Bytes = std::vector<unsigned char>;
using Worker = Ads_Plc_Worker;

QString read(Bytes bytes, int type)
{
    return bytesToValue(reinterpret_cast<char*>(bytes.data()), static_cast<DataType>(type),
                        static_cast<unsigned int>(bytes.size()));
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
        {INT, {0x01}, ""}, // short samples and unconverted types give no text
        {LREAL, {1, 2, 3, 4, 5, 6, 7}, ""}, {TIME, {1, 2, 3, 4}, ""}, {17, {1, 2, 3, 4}, ""},
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
    // One block per type with its bounds: accepted texts give their bytes; refused ones the
    // reason and not a single byte.
    const struct {
        int type;
        const char* text;
        Bytes bytes;
        const char* error = "";
    } cases[] = {
        {BOOL, "1", {1}}, {BOOL, " TRUE ", {1}}, {BOOL, "False", {0}}, {BOOL, "0", {0}},
        {BOOL, "2", {}, "Value '2' is not a BOOL"}, {BOOL, "01", {}, "Value '01' is not a BOOL"},

        {USINT, "255", {0xFF}}, {USINT, "-0", {0}}, {SINT, "-128", {0x80}},
        {USINT, "-1", {}, "Value '-1' is out of range for USINT (0 to 255)"},
        {BYTE, "256", {}, "Value '256' is out of range for BYTE (0 to 255)"},
        {SINT, "128", {}, "Value '128' is out of range for SINT (-128 to 127)"},

        {INT, " -32768 ", {0x00, 0x80}}, {UINT, "65535", {0xFF, 0xFF}},
        {INT, "70000", {}, "Value '70000' is out of range for INT (-32768 to 32767)"},
        {UINT, "65536", {}, "Value '65536' is out of range for UINT (0 to 65535)"},
        {WORD, "1 2", {}, "Value '1 2' is not a WORD"},

        {DINT, "-2147483648", {0, 0, 0, 0x80}}, {DINT, "+0012", {12, 0, 0, 0}},
        {UDINT, "4294967295", {0xFF, 0xFF, 0xFF, 0xFF}},
        {DINT, "2147483648", {}, "Value '2147483648' is out of range for DINT (-2147483648 to 2147483647)"},
        {DWORD, "99999999999999999999", {}, "Value '99999999999999999999' is out of range for DWORD (0 to 4294967295)"},
        {DINT, "1e3", {}, "Value '1e3' is not a DINT"}, {DINT, "1,000", {}, "Value '1,000' is not a DINT"},
        {DINT, "", {}, "Value '' is not a DINT"}, {DINT, "+-1", {}, "Value '+-1' is not a DINT"},
        {DINT, "\u0661\u0662", {}, "Value '\u0661\u0662' is not a DINT"}, // digits of another script

        {REAL, "0.1", {0xCD, 0xCC, 0xCC, 0x3D}}, {REAL, " 1.5E+2 ", {0x00, 0x00, 0x16, 0x43}},
        {REAL, ".5", {0x00, 0x00, 0x00, 0x3F}}, {REAL, "5.", {0x00, 0x00, 0xA0, 0x40}},
        {REAL, "1e-50", {0, 0, 0, 0}}, // rounded to the nearest REAL
        {REAL, "nan", {}, "Value 'nan' is not a REAL"}, {REAL, "-inf", {}, "Value '-inf' is not a REAL"},
        {REAL, "-3.4028235e+38", {0xFF, 0xFF, 0x7F, 0xFF}}, // the text the largest REAL reads as
        {REAL, "3.40282357e38", {}, "Value '3.40282357e38' is out of range for REAL (-3.4028235e+38 to 3.4028235e+38)"},
        {LREAL, "1e308", {0xA0, 0xC8, 0xEB, 0x85, 0xF3, 0xCC, 0xE1, 0x7F}},
        {LREAL, "1e309", {}, "Value '1e309' is out of range for LREAL (-1.7976931348623157e+308 to 1.7976931348623157e+308)"},
        {LREAL, "0x1p3", {}, "Value '0x1p3' is not a LREAL"}, {LREAL, "1.5.3", {}, "Value '1.5.3' is not a LREAL"},

        // STRING(3): up to three UTF-8 bytes, zero-filled to its four.
        {STRING, "abc", {'a', 'b', 'c', 0}}, {STRING, "\u00E4", {0xC3, 0xA4, 0, 0}}, {STRING, "", {0, 0, 0, 0}},
        {STRING, "a\u20AC", {}, "Value 'a\u20AC' is too long for STRING(3) (4 bytes)"},
        {TIME, "5", {}, "Type 13 cannot be written"},
    };
    for (const auto& c : cases) {
        const DataType type = static_cast<DataType>(c.type);
        const uint32_t length = writeLength(type, type == STRING ? 4 : 0);
        Bytes buffer(length + 1, 0xEE);
        const QString text = QString::fromUtf8(c.text);
        EXPECT_EQ(valueToBytes(text, type, reinterpret_cast<char*>(buffer.data()), length), QString::fromUtf8(c.error))
            << itemTypeName(type) << " " << c.text;
        Bytes expected = c.bytes.empty() ? Bytes(length, 0xEE) : c.bytes;
        expected.push_back(0xEE);
        EXPECT_EQ(buffer, expected) << itemTypeName(type) << " " << c.text;
    }
    // A zero character or a lone surrogate cannot be written as the text asked for.
    char buffer[81] = {};
    for (const QString& text : {QStringLiteral("a") + QChar(0) + "b", QString(QChar(0xD800))}) {
        EXPECT_TRUE(valueToBytes(text, STRING, buffer, 81).endsWith("is not a STRING"));
    }
    EXPECT_EQ(writeLength(STRING, 1u << 30), 81u); // a PLC's size claim gets no gigabyte buffer
}

TEST(PlcValues, ItemTypeFitsThePlcVariable)
{
    const struct {
        DataType item;
        const char* plcType;
        uint32_t plcSize;
        bool fits;
    } cases[] = {
        {INT, "DINT", 4, false},          {INT, "int", 2, true},           {UINT, "INT", 2, false},
        {UINT, "WORD", 2, true},          {BOOL, "SINT", 1, true},         {BOOL, "USINT", 1, false},
        {LREAL, "LINT", 8, false},        {REAL, "DINT", 4, false},        {DINT, "E_Mode", 4, true},
        {DINT, "E_Mode", 2, false},       {STRING, "STRING(20)", 21, true}, {STRING, "STRING", 81, true},
        {STRING, "WSTRING(80)", 162, false}, {DINT, "STRING(3)", 4, false},
        // The same type name with a size that is not the item's: sizes are judged, not only names.
        {INT, "INT", 4, false},           {DINT, "DINT", 8, false},        {REAL, "REAL", 8, false},
        {UDINT, "DWORD", 2, false},       {USINT, "BYTE", 2, false},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(plcTypeFits(c.item, c.plcType, c.plcSize), c.fits) << itemTypeName(c.item) << " on " << c.plcType;
    }
    EXPECT_EQ(itemTypeForPlcType("STRING(20)", 21), STRING);
    EXPECT_EQ(itemTypeForPlcType("UDINT", 4), UDINT);
    EXPECT_EQ(itemTypeForPlcType("E_Mode", 2), -1);
}

TEST(ErrorTexts, SpotChecksAndTheFallbackForEveryOtherCode)
{
    EXPECT_EQ(errorToString(0), "No error");
    EXPECT_EQ(errorToString(6), QString::fromUtf8("Target port not found – ADS server is not started or is not reachable."));
    EXPECT_EQ(errorToString(7), QString::fromUtf8("Target computer not found – AMS route was not found."));
    EXPECT_EQ(errorToString(1808), "Symbol not found");
    EXPECT_EQ(errorToString(1861), "Timeout elapsed");
    EXPECT_EQ(errorToString(4108), "Runtime reserved.");
    EXPECT_EQ(errorToString(10065), "A socket operation was attempted to an unreachable host");
    EXPECT_EQ(errorToString(ADS_ERR_CONNECTION_CLOSED), "Connection closed or reset by the PLC");
    EXPECT_TRUE(Worker::isConnectionError(ADS_ERR_CONNECTION_CLOSED)) << "the device reconnects";
    // Every code without a text of its own, near and far, takes the fallback form; 121 codes have texts.
    int documented = 0;
    std::vector<long> codes;
    for (long code = -5; code <= 10070; ++code) {
        codes.push_back(code);
    }
    codes.insert(codes.end(), {65535L, 0x7FFFFFFFL, -0x7FFFFFFFL - 1});
    for (long code : codes) {
        const QString text = errorToString(code);
        if (text.startsWith("Invalid error")) {
            ASSERT_EQ(text, "Invalid error. Code: " + QString::number(code));
        } else {
            ++documented;
        }
    }
    EXPECT_EQ(documented, 121);
    // Log lines name the code once, also for a code whose text already carries it (0xFFFFFFFF).
    EXPECT_EQ(withErrorCode(errorToString(-1), -1), "Invalid error. Code: -1");
    EXPECT_EQ(withErrorCode(errorToString(1808), 1808), "Symbol not found Code: 1808");
}

TEST(WorkerNetIdText, CompletesIpv4AddressesAndRejectsAnythingButDecimalBytes)
{
    // text, NetId afterwards (starting from 9.9.9.9.9.9, which a refused text leaves alone)
    const std::string untouched = "9.9.9.9.9.9";
    const std::vector<std::pair<QString, std::string>> cases = {
        {"192.168.0.10", "192.168.0.10.1.1"}, {" 192.168.0.10.1.1 ", "192.168.0.10.1.1"},
        {"100.100.100.100.100.100", "100.100.100.100.100.100"},
        {"5.1.2.3.4", untouched}, {"300.1.2.3", untouched}, {"1.2.3", untouched}, {"", untouched},
        {"-1.1.1.1", untouched}, {"x.1.1.1.1.1", untouched}, {"1.2.3.4.5.6.7", untouched},
    };
    for (const auto& [text, netId] : cases) {
        AmsNetId parsed(9, 9, 9, 9, 9, 9);
        EXPECT_EQ(Worker::addressToNetId(text, &parsed) == 0, netId != untouched) << text;
        EXPECT_EQ(parsed.ToString(), netId) << text;
    }
}

QStringList warnings;

TEST(WorkerNotifyCallback, UnknownUserValuesAreWarnedAboutOnceAndRememberedWithinABound)
{
    const QtMessageHandler previous = qInstallMessageHandler([](QtMsgType, const QMessageLogContext&, const QString& m) {
        warnings.append(m);
    });
    AdsNotificationHeader header{0, 0, 0};
    const uint32_t orphan = Worker::registerCallbackHandle(900, 2); // no value entry
    for (uint32_t handle : {0xE0000000u, 0xE0000000u, orphan, orphan}) {
        NotifyCallback(nullptr, &header, handle);
    }
    EXPECT_EQ(warnings, QStringList({"[ads_plc] Unknown notifier callback handle returned a value. Handle: 3758096384",
                                     "[ads_plc] Unknown notifier returned a value. DeviceID: 900 ItemID: 2"}));
    Worker::unregisterCallbackHandle(orphan);
    // Months of reconnections leave stray samples behind; what is remembered of them stays bounded.
    for (uint32_t stray = 0xF0000000; stray < 0xF0000000 + 10000; ++stray) {
        NotifyCallback(nullptr, &header, stray);
    }
    qInstallMessageHandler(previous);
    std::lock_guard<std::mutex> lock(Worker::valuesMutex);
    EXPECT_LE(Worker::unknownItems.size(), 4096);
    EXPECT_GT(Worker::unknownItems.size(), 0);
}

} // namespace
