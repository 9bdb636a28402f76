#include "worker/plc_type_check.h"

#include "ads/AdsSymbols.h"
#include "ads/AdsTypeNames.h"
#include "worker/ads_error_texts.h"
#include "worker/ads_plc_worker.h"

#include <QStringList>

#include <algorithm>
#include <optional>
#include <vector>

namespace {

// Types that read the same way share a class.
enum Class { NONE = 0, S8, U8, U16, S16, U32, S32, S64, U64, F32, F64, TEXT, WTEXT, DURATION, LDURATION, DAY,
             DAYTIME, STAMP };

Class classOf(DataType type)
{
    static const Class classes[] = {S8,  U8,  U16, U32,      S8,  U8,      S16,  U16, S32,   U32,  F32, F64,
                                    TEXT, DURATION, DAY, DAYTIME, STAMP, S64, U64,  U64, LDURATION, WTEXT};
    static_assert(sizeof(classes) / sizeof(classes[0]) == FROM_PLC, "one class per named type");
    return type >= 0 && type < FROM_PLC ? classes[type] : NONE;
}

bool isText(DataType type)
{
    return type == STRING || type == WSTRING;
}

// The item's reading of one elementary PLC value; nullopt when it reads it differently.
std::optional<Plc_Type> elementAs(DataType item, const Plc_Type& plc)
{
    if (isText(item) || isText(plc.elementary)) {
        return item == plc.elementary ? std::optional<Plc_Type>(Plc_Type::of(item, plc.length)) : std::nullopt;
    }
    // An alias or enumeration is known only by its base type's id: its size has to do.
    const bool fits = plc.programOwn ? plc.size == dataLength(item) : classOf(item) == classOf(plc.elementary);
    return fits ? std::optional<Plc_Type>(Plc_Type::of(item)) : std::nullopt;
}

// `plc` with its innermost elements read as `item`.
std::optional<Plc_Type> readAs(DataType item, const Plc_Type& plc)
{
    if (!plc.isArray()) {
        return elementAs(item, plc);
    }
    const std::optional<Plc_Type> element = readAs(item, *plc.element);
    return element ? std::optional<Plc_Type>(Plc_Type::arrayOf(plc.dimensions, *element)) : std::nullopt;
}

// The one description of an item type where it is that, else one of its own.
std::shared_ptr<const Plc_Type> shared(const Plc_Type& type)
{
    const bool plain = type.kind == Plc_Type::Elementary &&
                       (!isText(type.elementary) || type.length == plc::ads::DEFAULT_STRING_LENGTH);
    return plain ? defaultTypeOf(type.elementary) : std::make_shared<const Plc_Type>(type);
}

ItemTypeCheck refused(const QString& text)
{
    return ItemTypeCheck{false, nullptr, text};
}

QString variableText(const plc::ads::SymbolEntry& entry)
{
    return QStringLiteral("PLC variable is %1 (%2 bytes)").arg(QString::fromStdString(entry.typeName)).arg(entry.size);
}

bool takesPlcType(DataType item)
{
    return item == FROM_PLC || item == STRUCT;
}

// The longest JSON text a value of the type can have, to refuse one no host should be handed.
uint64_t textBound(const Plc_Type& type)
{
    if (type.isArray()) {
        const uint64_t element = type.element ? textBound(*type.element) + 1 : 0;
        return 2 + std::min<uint64_t>(type.elementCount(), UINT32_MAX) * element;
    }
    if (type.isStructure()) {
        uint64_t bound = 2;
        for (const Plc_Type::Member& member : type.members) {
            bound += static_cast<uint64_t>(member.jsonKey.size()) + 2 + textBound(*member.type); // and ':' and ','
        }
        return bound;
    }
    // Strings escape at most six characters per byte; numbers and literals fit 48.
    return isText(type.elementary) ? 2 + type.size * 6 : 48;
}

// Longer than any structure a host shows as one value.
constexpr uint64_t MAX_TEXT_LENGTH = 4u * 1024u * 1024u;

// What a structure no item can show, or one too long to show, refuses.
std::optional<QString> unshowable(const plc::ads::SymbolEntry& entry, const Plc_Type& type)
{
    const Plc_Type* inner = &type;
    while (inner->isArray() && inner->element) {
        inner = inner->element.get();
    }
    if (inner->isStructure() && inner->members.empty()) {
        return variableText(entry) +
               QStringLiteral(": none of its members can be shown (%1)").arg(inner->hidden.join(QStringLiteral(", ")));
    }
    if (textBound(type) > MAX_TEXT_LENGTH) {
        return variableText(entry) + QStringLiteral(", more than the %1 characters of JSON an item shows").arg(MAX_TEXT_LENGTH);
    }
    return std::nullopt;
}

} // namespace

ItemTypeCheck judgeItemType(DataType item, const plc::ads::SymbolEntry& entry, const Named_Type_Lookup& lookup)
{
    if (takesPlcType(item) && entry.size > MAX_VALUE_SIZE) {
        return refused(variableText(entry) + QStringLiteral(", more than the %1 bytes an item reads").arg(MAX_VALUE_SIZE));
    }
    QString brokenTable;
    const std::optional<Plc_Type> described =
        describePlcType(entry.typeName, entry.size, entry.dataType, takesPlcType(item) ? lookup : Named_Type_Lookup(),
                        &brokenTable);
    if (!brokenTable.isEmpty()) {
        return refused(brokenTable);
    }
    if (described && described->size > MAX_VALUE_SIZE) {
        return refused(variableText(entry) + QStringLiteral(", more than the %1 bytes an item reads").arg(MAX_VALUE_SIZE));
    }
    if (described) {
        if (const std::optional<QString> refusal = unshowable(entry, *described)) {
            return refused(*refusal);
        }
    }
    if (item == FROM_PLC || (item == STRUCT && described && described->innermost() == STRUCT)) {
        return described ? ItemTypeCheck{true, shared(*described), QString()}
                         : refused(variableText(entry) + QStringLiteral(", a type no item reads"));
    }
    if (item == STRUCT) {
        return refused(described ? QStringLiteral("Type mismatch: ") + variableText(entry) +
                                       QStringLiteral(", item is %1; choose %2")
                                           .arg(itemTypeName(STRUCT), itemTypeName(itemTypeFor(*described)))
                                 : variableText(entry) + QStringLiteral(", a type no item reads"));
    }
    if (classOf(item) == NONE) {
        return ItemTypeCheck(); // not a type the plug-in converts: nothing to judge by
    }
    std::optional<Plc_Type> reading = described ? readAs(item, *described) : std::nullopt;
    // Not described (a structure, a function block): the size alone, as for the program's own types.
    if (!described && !isText(item) && entry.size == dataLength(item) &&
        dataTypeFromName(QString::fromStdString(entry.typeName)) < 0) {
        reading = Plc_Type::of(item);
    }
    if (reading) {
        return ItemTypeCheck{true, shared(*reading), QString()};
    }
    QString text = QStringLiteral("Type mismatch: ") + variableText(entry) +
                   QStringLiteral(", item is %1 (%2 bytes)").arg(itemTypeName(item)).arg(dataLength(item));
    if (described) {
        text += QStringLiteral("; choose ") + itemTypeName(itemTypeFor(*described));
    }
    return refused(text);
}

DataType itemTypeFor(const Plc_Type& plc)
{
    return plc.innermost();
}

std::shared_ptr<const Plc_Type> defaultTypeOf(DataType type)
{
    // One description per type for all items: a gateway with thousands of them keeps one each.
    static const std::vector<std::shared_ptr<const Plc_Type>> shared = [] {
        std::vector<std::shared_ptr<const Plc_Type>> all;
        for (int t = BOOL; t < FROM_PLC; ++t) {
            all.push_back(std::make_shared<const Plc_Type>(Plc_Type::of(static_cast<DataType>(t))));
        }
        return all;
    }();
    if (takesPlcType(type)) {
        return nullptr;
    }
    return type >= BOOL && type < FROM_PLC ? shared[static_cast<size_t>(type)]
                                           : std::make_shared<const Plc_Type>(Plc_Type::of(type));
}

QString typeUnknownText()
{
    return QStringLiteral("Type from the PLC not known: the PLC offers no symbol information; choose the item's type");
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

bool needsDataTypes(const plc::ads::SymbolEntry& entry)
{
    return entry.size <= MAX_VALUE_SIZE && !describePlcType(entry.typeName, entry.size, entry.dataType);
}

namespace {
QString layoutsUnknownText(const plc::ads::SymbolEntry& entry, int32_t code)
{
    return variableText(entry) + QStringLiteral(", whose layout is not known: the PLC's data types could not be read (") +
           withErrorCode(errorToString(code), code) + QLatin1Char(')');
}
} // namespace

Symbol_Check judgeSymbolInfo(DataType type, int32_t code, const plc::ads::SymbolEntry& entry,
                             const Layouts_Source& layouts)
{
    const bool fromPlc = takesPlcType(type);
    switch (code) {
    case ADS_OK:
        break;
    case ADSERR_DEVICE_SRVNOTSUPP:
    case ADSERR_DEVICE_INVALIDGRP:
    case ADSERR_DEVICE_INVALIDOFFSET:
        // A FROM_PLC item has no type then (null), which fails it before anything is asked of the PLC.
        return Symbol_Check{Symbol_Check::InfoMissing, defaultTypeOf(type), code, QString()};
    case ADSERR_DEVICE_SYMBOLNOTFOUND:
        return Symbol_Check{Symbol_Check::Fail, nullptr, code, QString()};
    default:
        // An answer the check cannot use must not keep an item from being read as before, but a
        // lost connection fails the item, and so does an item that needs the PLC's type.
        if (fromPlc || Ads_Plc_Worker::isConnectionError(code)) {
            return Symbol_Check{Symbol_Check::Fail, nullptr, code, QString()};
        }
        return Symbol_Check{Symbol_Check::Unchecked, defaultTypeOf(type), code, QString()};
    }
    Named_Type_Lookup lookup;
    if (fromPlc && layouts && needsDataTypes(entry)) {
        int32_t failure = 0;
        const Structure_Layouts* known = layouts(failure);
        if (!known) {
            return Ads_Plc_Worker::isConnectionError(failure)
                       ? Symbol_Check{Symbol_Check::Fail, nullptr, failure, QString()}
                       : Symbol_Check{Symbol_Check::Fail, nullptr, 0, layoutsUnknownText(entry, failure)};
        }
        // A PLC that announces no data types at all does not offer them.
        if (known->typeCount() == 0) {
            return Symbol_Check{Symbol_Check::Fail, nullptr, 0,
                                variableText(entry) + QStringLiteral(", whose layout is not known: the PLC offers no data types")};
        }
        lookup = known->lookup();
    }
    const ItemTypeCheck check = judgeItemType(type, entry, lookup);
    if (!check.fits) {
        return Symbol_Check{Symbol_Check::Fail, nullptr, 0, check.mismatch};
    }
    return Symbol_Check{Symbol_Check::Watch, check.type ? check.type : defaultTypeOf(type), 0, QString()};
}
