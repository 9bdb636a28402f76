// The worker's checks and texts: which PLC variable an item type may watch and as what, error
// texts, NetId texts, and samples for user values nobody registered.
#include "worker/ads_error_texts.h"
#include "worker/ads_plc_worker.h"
#include "worker/plc_type_check.h"

#include "qt_gtest_print.h"

#include <gtest/gtest.h>

#include <QStringList>

#include <vector>

namespace {

using Bytes = std::vector<unsigned char>;
using Worker = Ads_Plc_Worker;

plc::ads::SymbolEntry entry(const char* typeName, uint32_t size, uint32_t dataTypeId)
{
    plc::ads::SymbolEntry e;
    e.typeName = typeName;
    e.size = size;
    e.dataType = dataTypeId;
    return e;
}

TEST(PlcTypeCheck, AnItemReadsTheVariableAsItsTypeOrNamesTheTypeThatFits)
{
    const QString choose = "Type mismatch: PLC variable is ";
    // What the item reads the variable as, or why it does not fit.
    const struct {
        DataType item;
        const char* plcType;
        uint32_t plcSize;
        uint32_t id;
        QString verdict;
    } cases[] = {
        {INT, "DINT", 4, 3, choose + "DINT (4 bytes), item is INT (2 bytes); choose DINT"},
        {INT, "int", 2, 2, "INT"},            {UINT, "INT", 2, 2, choose + "INT (2 bytes), item is UINT (2 bytes); choose INT"},
        {UINT, "WORD", 2, 18, "UINT"},        {BOOL, "SINT", 1, 16, "BOOL"},  {ULINT, "LWORD", 8, 21, "ULINT"},
        {BOOL, "USINT", 1, 17, choose + "USINT (1 bytes), item is BOOL (1 bytes); choose USINT"},
        {LREAL, "LINT", 8, 20, choose + "LINT (8 bytes), item is LREAL (8 bytes); choose LINT"},
        {TIME, "UDINT", 4, 19, choose + "UDINT (4 bytes), item is TIME (4 bytes); choose UDINT"},
        {TIME_OF_DAY, "TOD", 4, 19, "TIME_OF_DAY"}, {LTIME, "LTIME", 8, 21, "LTIME"},
        // The program's own types by their size; other sizes of a known name fit nothing.
        {DINT, "E_Mode", 4, 3, "DINT"},       {UINT, "E_Mode", 2, 2, "UINT"},  {DINT, "ST_Pair", 4, 65, "DINT"},
        {DINT, "E_Mode", 2, 2, choose + "E_Mode (2 bytes), item is DINT (4 bytes); choose INT"},
        {INT, "INT", 4, 2, choose + "INT (4 bytes), item is INT (2 bytes)"},
        // Texts: any length of their own kind, watched whole.
        {STRING, "STRING(20)", 21, 30, "STRING(20)"}, {STRING, "STRING(200)", 201, 30, "STRING(200)"},
        {WSTRING, "WSTRING(10)", 22, 31, "WSTRING(10)"},
        {STRING, "WSTRING(80)", 162, 31, choose + "WSTRING(80) (162 bytes), item is STRING (81 bytes); choose WSTRING"},
        {DINT, "STRING(3)", 4, 30, choose + "STRING(3) (4 bytes), item is DINT (4 bytes); choose STRING"},
        // Arrays by their elements.
        {REAL, "ARRAY [1..10] OF REAL", 40, 4, "ARRAY [1..10] OF REAL"},
        {STRING, "ARRAY [0..4] OF STRING(20)", 105, 30, "ARRAY [0..4] OF STRING(20)"},
        {INT, "ARRAY [1..10] OF REAL", 40, 4, choose + "ARRAY [1..10] OF REAL (40 bytes), item is INT (2 bytes); choose REAL"},
        // The type from the PLC: whatever it describes, within what one item reads.
        {FROM_PLC, "E_Mode", 2, 2, "INT"}, {FROM_PLC, "ARRAY [0..2, 0..3] OF INT", 24, 2, "ARRAY [0..2, 0..3] OF INT"},
        {FROM_PLC, "ARRAY [0..3] OF E_Mode", 8, 2, "ARRAY [0..3] OF INT"},
        {FROM_PLC, "ARRAY [0..1] OF ARRAY [-1..1] OF LINT", 48, 20, "ARRAY [0..1] OF ARRAY [-1..1] OF LINT"},
        {FROM_PLC, "STRING(65535)", 65536, 30, "STRING(65535)"}, {FROM_PLC, "DT", 4, 19, "DATE_AND_TIME"},
        {FROM_PLC, "ST_Motor", 48, 65, "PLC variable is ST_Motor (48 bytes), a type no item reads"},
        {FROM_PLC, "ARRAY [0..9] OF REAL", 44, 4, "PLC variable is ARRAY [0..9] OF REAL (44 bytes), a type no item reads"},
        {FROM_PLC, "ARRAY [1..2, 1..2, 1..2, 1..2] OF BYTE", 16, 17,
         "PLC variable is ARRAY [1..2, 1..2, 1..2, 1..2] OF BYTE (16 bytes), a type no item reads"},
        {FROM_PLC, "ARRAY [0..16384] OF REAL", 65540, 4,
         "PLC variable is ARRAY [0..16384] OF REAL (65540 bytes), more than the 65536 bytes an item reads"},
    };
    for (const auto& c : cases) {
        const ItemTypeCheck check = judgeItemType(c.item, entry(c.plcType, c.plcSize, c.id));
        EXPECT_EQ(check.fits ? check.type->name() : check.mismatch, c.verdict) << itemTypeName(c.item) << " on " << c.plcType;
        EXPECT_TRUE(!check.fits || check.type->size == c.plcSize) << c.plcType << ": watched whole";
    }
    // Without symbol information an item reads its own type; one that wants the PLC's cannot.
    EXPECT_EQ(judgeSymbolInfo(STRING, ADSERR_DEVICE_SRVNOTSUPP, {}).type->size, 81u);
    EXPECT_EQ(judgeSymbolInfo(FROM_PLC, ADSERR_DEVICE_INVALIDGRP, {}).type, nullptr);
    EXPECT_EQ(judgeSymbolInfo(FROM_PLC, 0x705, {}).outcome, Symbol_Check::Fail);
    EXPECT_EQ(judgeSymbolInfo(DINT, 0x705, {}).outcome, Symbol_Check::Unchecked);
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
