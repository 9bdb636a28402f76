// The worker's conversions and texts: PLC value bytes to and from text per type (spot checks
// with the bounds), which PLC variable an item type may watch, error texts, NetId texts, and
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
        {BOOL, {0x01}, "1"},
        {BOOL, {0xFF}, "-1"},
        {BYTE, {0xFF}, "255"},
        {SINT, {0x80}, "-128"},
        {USINT, {0x80}, "128"},
        {INT, {0x00, 0x80}, "-32768"},
        {UINT, {0xFF, 0xFF}, "65535"},
        {WORD, {0x34, 0x12}, "4660"},
        {DINT, {0x00, 0x00, 0x00, 0x80}, "-2147483648"},
        {UDINT, {0x00, 0x00, 0x00, 0x80}, "2147483648"},
        {DWORD, {0xFF, 0xFF, 0xFF, 0xFF}, "4294967295"},
        {REAL, {0xA3, 0x79, 0xEB, 0x4C}, "1.23457e+08"}, // six significant digits
        {LREAL, {0x18, 0x2D, 0x44, 0x54, 0xFB, 0x21, 0x09, 0x40}, "3.14159"},
        {STRING, {'a', 'b', 'c', 0, 'x'}, "abc"},
        {STRING, {'a', 'b'}, "ab"}, // never read past the sample
        {STRING, {0xC3, 0xBC, 0xE2, 0x82, 0xAC, 0}, "\u00FC\u20AC"},
        {INT, {0x01}, ""}, // short samples and unconverted types give no text
        {LREAL, {1, 2, 3, 4, 5, 6, 7}, ""},
        {TIME, {1, 2, 3, 4}, ""},
        {17, {1, 2, 3, 4}, ""},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(read(c.bytes, c.type), QString::fromUtf8(c.text)) << "type " << c.type << " " << c.text;
    }
    Bytes unaligned = {0xAA, 0x78, 0x56, 0x34, 0x12};
    EXPECT_EQ(bytesToValue(reinterpret_cast<char*>(unaligned.data() + 1), DINT, 4), "305419896");
    EXPECT_EQ(bytesToValue(nullptr, DINT, 4), QString());
}

TEST(PlcValues, TextsGiveTheBytesOfTheirTypeAndNeverMore)
{
    // The buffer is pre-filled with 0xEE so that bytes written past the given length show.
    const struct {
        const char* text;
        int type;
        int length; // -1: the type's length
        Bytes head;
    } cases[] = {
        {"1", BOOL, -1, {0x01, 0xEE}},
        {"300", USINT, -1, {44, 0xEE}}, // integers keep their low bytes
        {"70000", INT, -1, {0x70, 0x11, 0xEE}},
        {"-2", INT, -1, {0xFE, 0xFF, 0xEE}},
        {"-1", UINT, -1, {0x00, 0x00, 0xEE}}, // not an unsigned number: 0
        {"4294967295", UDINT, -1, {0xFF, 0xFF, 0xFF, 0xFF, 0xEE}},
        {"-2147483648", DINT, -1, {0, 0, 0, 0x80, 0xEE}},
        {"12.7", DINT, -1, {0, 0, 0, 0, 0xEE}}, // decimal integers only
        {"-2", REAL, -1, {0, 0, 0, 0xC0, 0xEE}},
        {"1.5", LREAL, -1, {0, 0, 0, 0, 0, 0, 0xF8, 0x3F, 0xEE}},
        {"abc", STRING, -1, {'a', 'b', 'c', 0, 0xEE}},
        {"abcdef", STRING, 4, {'a', 'b', 'c', 0, 0xEE}},
        {"abc", STRING, 0, {0xEE}},
        {"\u00E4\u00F6\u20AC", STRING, 6, {0xC3, 0xA4, 0xC3, 0xB6, 0, 0xEE}}, // no character is split
        {"ab\U0001F600", STRING, 5, {'a', 'b', 0, 0xEE}},
        {"ab\U0001F600", STRING, 7, {'a', 'b', 0xF0, 0x9F, 0x98, 0x80, 0}},
        {"123", TIME, 4, {0xEE, 0xEE, 0xEE, 0xEE, 0xEE}},
    };
    for (const auto& c : cases) {
        Bytes buffer(100, 0xEE);
        const int length = c.length < 0 ? static_cast<int>(dataLength(static_cast<DataType>(c.type))) : c.length;
        valueToBytes(QString::fromUtf8(c.text), static_cast<DataType>(c.type), reinterpret_cast<char*>(buffer.data()),
                     length);
        EXPECT_EQ(Bytes(buffer.begin(), buffer.begin() + c.head.size()), c.head) << "type " << c.type << " " << c.text;
    }
    // A long text is cut to the PLC's 80 characters and terminated within its 81 bytes.
    Bytes buffer(100, 0xEE);
    valueToBytes(QString(200, 'y'), STRING, reinterpret_cast<char*>(buffer.data()), 81);
    EXPECT_EQ(Bytes(buffer.begin() + 79, buffer.begin() + 82), (Bytes{'y', 0, 0xEE}));
    EXPECT_EQ(dataLength(STRING), 81u);
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
