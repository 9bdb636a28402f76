#include "worker/values/plc_type.h"

#include "ads/AdsTypeNames.h"

namespace {

struct TypeEntry {
    const char* name;
    uint32_t length;
};

// By DataType value.
constexpr TypeEntry TYPES[] = {
    {"BOOL", 1},          {"BYTE", 1},  {"WORD", 2},  {"DWORD", 4},  {"SINT", 1},  {"USINT", 1},
    {"INT", 2},           {"UINT", 2},  {"DINT", 4},  {"UDINT", 4},  {"REAL", 4},  {"LREAL", 8},
    {"STRING", 81},       {"TIME", 4},  {"DATE", 4},  {"TIME_OF_DAY", 4}, {"DATE_AND_TIME", 4},
    {"LINT", 8},          {"ULINT", 8}, {"LWORD", 8}, {"LTIME", 8},  {"WSTRING", 162}, {"From PLC", 0},
    {"structure (JSON)", 0},
};
static_assert(sizeof(TYPES) / sizeof(TYPES[0]) == DATA_TYPE_COUNT, "one entry per type");

bool named(DataType type)
{
    return type >= BOOL && type < FROM_PLC;
}

// The item type a program's own type (alias, enumeration) is stored as, by its data type id.
std::optional<Plc_Type> byBaseType(uint32_t dataTypeId, uint64_t size)
{
    using namespace plc::ads;
    std::optional<Plc_Type> type;
    switch (dataTypeId) {
    case ADST_BIT: type = Plc_Type::of(BOOL); break;
    case ADST_INT8: type = Plc_Type::of(SINT); break;
    case ADST_UINT8: type = Plc_Type::of(USINT); break;
    case ADST_INT16: type = Plc_Type::of(INT); break;
    case ADST_UINT16: type = Plc_Type::of(UINT); break;
    case ADST_INT32: type = Plc_Type::of(DINT); break;
    case ADST_UINT32: type = Plc_Type::of(UDINT); break;
    case ADST_INT64: type = Plc_Type::of(LINT); break;
    case ADST_UINT64: type = Plc_Type::of(ULINT); break;
    case ADST_REAL32: type = Plc_Type::of(REAL); break;
    case ADST_REAL64: type = Plc_Type::of(LREAL); break;
    case ADST_STRING:
        if (size >= 2 && size - 1 <= MAX_STRING_LENGTH) {
            type = Plc_Type::of(STRING, static_cast<uint32_t>(size - 1));
        }
        break;
    case ADST_WSTRING:
        if (size >= 4 && size % 2 == 0 && size / 2 - 1 <= MAX_STRING_LENGTH) {
            type = Plc_Type::of(WSTRING, static_cast<uint32_t>(size / 2 - 1));
        }
        break;
    default:
        break;
    }
    if (!type || type->size != size) {
        return std::nullopt;
    }
    type->programOwn = true;
    return type;
}

struct Describing {
    const Named_Type_Lookup& lookup;
    QString& refusal;
};

std::optional<Plc_Type> describe(const std::string& typeName, uint64_t size, uint32_t dataTypeId,
                                 size_t dimensionsLeft, Describing& d)
{
    using namespace plc::ads;
    if (const auto array = ParseArrayTypeName(typeName)) {
        if (array->dimensions.size() > dimensionsLeft) {
            return std::nullopt;
        }
        uint64_t count = 1;
        std::vector<Plc_Type::Dimension> dimensions;
        for (const ArrayBounds& bounds : array->dimensions) {
            count *= bounds.Count();
            // Every element takes at least a byte: a count beyond the size cannot be right.
            if (count > size) {
                return std::nullopt;
            }
            dimensions.push_back(Plc_Type::Dimension{bounds.lower, bounds.Count()});
        }
        const auto element =
            describe(array->element, size % count == 0 ? size / count : 0, dataTypeId,
                     dimensionsLeft - array->dimensions.size(), d);
        if (!element) {
            return std::nullopt;
        }
        Plc_Type type = Plc_Type::arrayOf(std::move(dimensions), *element);
        return type.size == size ? std::optional<Plc_Type>(std::move(type)) : std::nullopt;
    }
    for (const DataType text : {STRING, WSTRING}) {
        if (const auto length = ParseStringTypeName(typeName, TYPES[text].name)) {
            const Plc_Type type = Plc_Type::of(text, *length);
            return type.size == size ? std::optional<Plc_Type>(type) : std::nullopt;
        }
    }
    const int type = dataTypeFromName(QString::fromStdString(typeName));
    if (type >= 0) {
        const Plc_Type elementary = Plc_Type::of(static_cast<DataType>(type));
        return elementary.size == size ? std::optional<Plc_Type>(elementary) : std::nullopt;
    }
    if (d.lookup) {
        if (auto named = d.lookup(typeName, size, d.refusal); named || !d.refusal.isEmpty()) {
            return named;
        }
    }
    return byBaseType(dataTypeId, size);
}

} // namespace

QString itemTypeName(DataType type)
{
    return type >= 0 && type < DATA_TYPE_COUNT ? QString::fromLatin1(TYPES[type].name) : QString::number(type);
}

int dataTypeFromName(const QString& name)
{
    const QString upper = name.trimmed().toUpper();
    if (upper == QLatin1String("TOD")) {
        return TIME_OF_DAY;
    }
    if (upper == QLatin1String("DT")) {
        return DATE_AND_TIME;
    }
    if (upper == QLatin1String("STRUCT") || upper == QLatin1String("STRUCTURE (JSON)")) {
        return STRUCT;
    }
    for (int i = 0; i < FROM_PLC; ++i) {
        if (upper == QLatin1String(TYPES[i].name)) {
            return i;
        }
    }
    return -1;
}

uint32_t dataLength(DataType type)
{
    return named(type) ? TYPES[type].length : 0;
}

Plc_Type Plc_Type::of(DataType type, uint32_t length)
{
    Plc_Type t;
    t.elementary = type;
    if (type == STRING || type == WSTRING) {
        t.length = length == 0 ? plc::ads::DEFAULT_STRING_LENGTH : length;
        t.size = (uint64_t{t.length} + 1) * (type == WSTRING ? 2 : 1);
    } else {
        t.size = dataLength(type);
    }
    return t;
}

Plc_Type Plc_Type::arrayOf(std::vector<Dimension> dimensions, Plc_Type element)
{
    Plc_Type t;
    t.kind = Array;
    t.dimensions = std::move(dimensions);
    t.size = element.size;
    for (const Dimension& d : t.dimensions) {
        t.size = d.count != 0 && t.size > UINT64_MAX / d.count ? UINT64_MAX : t.size * d.count;
    }
    t.elementary = element.innermost();
    t.element = std::make_shared<const Plc_Type>(std::move(element));
    return t;
}

uint64_t Plc_Type::elementCount() const
{
    uint64_t count = 1;
    for (const Dimension& d : dimensions) {
        count *= d.count;
    }
    return isArray() ? count : 1;
}

DataType Plc_Type::innermost() const
{
    return isArray() && element ? element->innermost() : elementary;
}

QString Plc_Type::name() const
{
    if (isStructure()) {
        return QString::fromStdString(typeName);
    }
    if (isArray()) {
        QString bounds;
        for (const Dimension& d : dimensions) {
            bounds += (bounds.isEmpty() ? QString() : QStringLiteral(", ")) + QString::number(d.lower) +
                      QStringLiteral("..") + QString::number(int64_t{d.lower} + d.count - 1);
        }
        return QStringLiteral("ARRAY [") + bounds + QStringLiteral("] OF ") +
               (element ? element->name() : QStringLiteral("?"));
    }
    if (elementary == STRING || elementary == WSTRING) {
        return itemTypeName(elementary) + QLatin1Char('(') + QString::number(length) + QLatin1Char(')');
    }
    return itemTypeName(elementary);
}

std::optional<Plc_Type> describePlcType(const std::string& typeName, uint64_t size, uint32_t dataTypeId,
                                        const Named_Type_Lookup& lookup, QString* refusal)
{
    QString refused;
    Describing d{lookup, refused};
    std::optional<Plc_Type> type = describe(typeName, size, dataTypeId, plc::ads::MAX_ARRAY_DIMENSIONS, d);
    if (refusal) {
        *refusal = refused;
    }
    return refused.isEmpty() ? type : std::nullopt;
}
