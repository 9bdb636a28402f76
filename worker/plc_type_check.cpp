#include "worker/plc_type_check.h"

#include "ads/AdsSymbols.h"
#include "worker/ads_plc_worker.h"


namespace {
constexpr int ITEM_TYPE_COUNT = DATE_AND_TIME + 1;

// Types that read the same way share a class.
enum Class { NONE = 0, S8, U8, U16, S16, U32, S32, F32, F64, TEXT, DURATION, DAY, DAYTIME, STAMP };

Class itemClass(DataType type)
{
    static const Class classes[] = {S8, U8, U16, U32, S8, U8, S16, U16, S32, U32, F32, F64, TEXT, DURATION, DAY,
                                    DAYTIME, STAMP};
    return type >= 0 && type < ITEM_TYPE_COUNT ? classes[type] : NONE;
}

bool isPlcString(const QString& upper)
{
    return upper == QLatin1String("STRING") || upper.startsWith(QLatin1String("STRING("));
}

// The class of an elementary PLC type; NONE for elementary types no item reads, -1 for
// types of the program's own.
int plcClass(const QString& plcType)
{
    const QString upper = plcType.trimmed().toUpper();
    if (isPlcString(upper)) {
        return TEXT;
    }
    for (int i = 0; i < ITEM_TYPE_COUNT; ++i) {
        if (upper == itemTypeName(static_cast<DataType>(i))) {
            return itemClass(static_cast<DataType>(i));
        }
    }
    if (upper == QLatin1String("TOD")) {
        return DAYTIME;
    }
    if (upper == QLatin1String("DT")) {
        return STAMP;
    }
    static const char* const unread[] = {"LINT", "ULINT", "LWORD", "LTIME", "WSTRING", "WCHAR", "CHAR", "BIT"};
    for (const char* name : unread) {
        if (upper == QLatin1String(name) || upper.startsWith(QLatin1String(name) + QLatin1Char('('))) {
            return NONE;
        }
    }
    return -1;
}
}

bool plcTypeFits(DataType item, const QString& plcType, uint32_t plcSize)
{
    const Class wanted = itemClass(item);
    if (wanted == NONE) {
        return true; // not a type the plug-in converts: nothing to judge by
    }
    const int found = plcClass(plcType);
    if (wanted == TEXT || found == TEXT) {
        return wanted == found;
    }
    if (found >= 0 && found != wanted) {
        return false;
    }
    return plcSize == dataLength(item);
}

QString typeMismatchText(DataType item, const QString& plcType, uint32_t plcSize)
{
    return QStringLiteral("Type mismatch: PLC variable is %1 (%2 bytes), item is %3 (%4 bytes)")
        .arg(plcType)
        .arg(plcSize)
        .arg(itemTypeName(item))
        .arg(dataLength(item));
}

int itemTypeForPlcType(const QString& plcType, uint32_t plcSize)
{
    const QString upper = plcType.trimmed().toUpper();
    if (isPlcString(upper)) {
        return STRING;
    }
    for (int i = BOOL; i < STRING; ++i) {
        if (upper == itemTypeName(static_cast<DataType>(i)) && plcSize == dataLength(static_cast<DataType>(i))) {
            return i;
        }
    }
    return -1;
}

const ItemTypeCheck* ItemTypeChecks::find(uint32_t itemId, DataType type, const std::string& symbol) const
{
    const auto it = entries.find(itemId);
    return it != entries.end() && it->second.type == type && it->second.symbol == symbol ? &it->second.check : nullptr;
}

void ItemTypeChecks::remember(uint32_t itemId, DataType type, const std::string& symbol, const ItemTypeCheck& check)
{
    entries[itemId] = Entry{type, symbol, check};
}

// ---------------------------------------------------------------- the check before subscribing

Symbol_Check judgeSymbolInfo(DataType type, int32_t code, const plc::ads::SymbolEntry& entry)
{
    const uint32_t length = dataLength(type);
    switch (code) {
    case ADS_OK:
        break;
    case ADSERR_DEVICE_SRVNOTSUPP:
    case ADSERR_DEVICE_INVALIDGRP:
    case ADSERR_DEVICE_INVALIDOFFSET:
        return Symbol_Check{Symbol_Check::InfoMissing, length, code, QString()};
    case ADSERR_DEVICE_SYMBOLNOTFOUND:
        return Symbol_Check{Symbol_Check::Fail, length, code, QString()};
    default:
        // An answer the check cannot use must not keep an item from being read as before,
        // but a lost connection fails the item.
        return Symbol_Check{Ads_Plc_Worker::isConnectionError(code) ? Symbol_Check::Fail : Symbol_Check::Unchecked,
                            length, code, QString()};
    }
    const QString plcType = QString::fromStdString(entry.typeName);
    if (!plcTypeFits(type, plcType, entry.size)) {
        return Symbol_Check{Symbol_Check::Fail, length, 0, typeMismatchText(type, plcType, entry.size)};
    }
    // A shorter PLC STRING(n) is watched over its own bytes only.
    return Symbol_Check{Symbol_Check::Watch, type == STRING && entry.size > 0 && entry.size < length ? entry.size : length,
                        0, QString()};
}
