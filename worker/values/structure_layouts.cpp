#include "worker/values/structure_layouts.h"

#include "ads/AdsTypeNames.h"
#include "worker/values/value_texts.h"

#include <algorithm>
#include <cctype>
#include <unordered_set>

using plc::ads::DataTypeEntry;

namespace {

// Deeper than any program nests its types; a table that does is refused, not followed.
constexpr size_t MAX_TYPE_NESTING = 16;

std::string upper(const std::string& text)
{
    std::string out = text;
    std::transform(out.begin(), out.end(), out.begin(), [](unsigned char c) { return static_cast<char>(std::toupper(c)); });
    return out;
}

QString textOf(const std::string& text)
{
    return QString::fromStdString(text);
}

QString doesNotAddUp(const std::string& typeName, const QString& why)
{
    return QStringLiteral("Data type %1 of the PLC does not add up: %2").arg(textOf(typeName), why);
}

bool refersElsewhere(const std::string& typeName)
{
    const std::string name = upper(typeName);
    return name.rfind("POINTER TO", 0) == 0 || name.rfind("REFERENCE TO", 0) == 0;
}

// Members sharing bytes make a union: which of them holds the value no table says.
bool overlaps(const std::vector<Plc_Type::Member>& members)
{
    struct Span {
        uint64_t begin, end; // in bits
    };
    std::vector<Span> spans;
    for (const Plc_Type::Member& m : members) {
        const uint64_t begin = m.offset * 8 + (m.bit >= 0 ? static_cast<uint64_t>(m.bit) : 0);
        spans.push_back(Span{begin, m.bit >= 0 ? begin + 1 : begin + m.type->size * 8});
    }
    std::sort(spans.begin(), spans.end(), [](const Span& a, const Span& b) { return a.begin < b.begin; });
    for (size_t i = 1; i < spans.size(); ++i) {
        if (spans[i].begin < spans[i - 1].end) {
            return true;
        }
    }
    return false;
}

} // namespace

namespace {
// A program's comments can be most of its table; no item shows them.
void dropComments(DataTypeEntry& entry)
{
    std::string().swap(entry.comment);
    for (DataTypeEntry& member : entry.members) {
        dropComments(member);
    }
}
}

Structure_Layouts::Structure_Layouts(std::vector<DataTypeEntry> entries) : types(std::move(entries))
{
    for (DataTypeEntry& type : types) {
        dropComments(type);
    }
    for (size_t i = 0; i < types.size(); ++i) {
        byName.emplace(upper(types[i].name), i); // the first of a name counts
    }
}

const DataTypeEntry* Structure_Layouts::find(const std::string& typeName) const
{
    const auto it = byName.find(upper(typeName));
    return it == byName.end() ? nullptr : &types[it->second];
}

Named_Type_Lookup Structure_Layouts::lookup() const
{
    return [this](const std::string& typeName, uint64_t size, QString& refusal) {
        return describe(typeName, size, refusal);
    };
}

std::optional<Plc_Type> Structure_Layouts::describe(const std::string& typeName, uint64_t size, QString& refusal) const
{
    const DataTypeEntry* entry = find(typeName);
    if (!entry) {
        return std::nullopt;
    }
    const Described& d = describedOf(*entry, size);
    refusal = d.refusal;
    return d.type ? std::optional<Plc_Type>(*d.type) : std::nullopt;
}

const Structure_Layouts::Described& Structure_Layouts::describedOf(const DataTypeEntry& entry, uint64_t size) const
{
    const std::string key = upper(entry.name) + '/' + std::to_string(size);
    if (const auto known = described.find(key); known != described.end()) {
        return known->second;
    }
    Described d;
    if (std::find(visiting.begin(), visiting.end(), upper(entry.name)) != visiting.end()) {
        d.refusal = doesNotAddUp(entry.name, QStringLiteral("it contains itself"));
    } else if (visiting.size() >= MAX_TYPE_NESTING) {
        d.refusal = doesNotAddUp(entry.name, QStringLiteral("types nest more than %1 deep").arg(MAX_TYPE_NESTING));
    } else {
        visiting.push_back(upper(entry.name));
        d = describeEntry(entry, size);
        visiting.pop_back();
    }
    return described.emplace(key, std::move(d)).first->second;
}

Structure_Layouts::Described Structure_Layouts::describeEntry(const DataTypeEntry& entry, uint64_t size) const
{
    Described d;
    if (entry.InBits() || entry.size != size) {
        d.refusal = doesNotAddUp(entry.name, QStringLiteral("it is %1 %2, where it is used %3 bytes")
                                                 .arg(entry.size)
                                                 .arg(entry.InBits() ? QStringLiteral("bits") : QStringLiteral("bytes"))
                                                 .arg(size));
        return d;
    }
    if (size > MAX_VALUE_SIZE) {
        return d; // no item reads it: the caller names the size
    }
    if (!entry.members.empty() && entry.dimensions.empty()) {
        return structureOf(entry, size);
    }
    if (entry.typeName.empty() || upper(entry.typeName) == upper(entry.name)) {
        return d; // an interface, a function block without members: nothing to show
    }
    // An alias, an enumeration (by its base type) or an array type of the program's own.
    std::string base = entry.typeName;
    if (!entry.dimensions.empty()) {
        std::vector<plc::ads::ArrayBounds> bounds;
        for (const plc::ads::DataTypeDimension& dimension : entry.dimensions) {
            const int64_t last = int64_t{dimension.lower} + dimension.count - 1;
            if (dimension.count == 0 || last > INT32_MAX) {
                d.refusal = doesNotAddUp(entry.name, QStringLiteral("an array dimension of %1 elements from %2")
                                                         .arg(dimension.count)
                                                         .arg(dimension.lower));
                return d;
            }
            bounds.push_back(plc::ads::ArrayBounds{dimension.lower, static_cast<int32_t>(last)});
        }
        base = plc::ads::ArrayTypeNameText(bounds, entry.typeName);
    }
    std::optional<Plc_Type> type = describePlcType(base, size, entry.dataType, lookup(), &d.refusal);
    if (type) {
        type->programOwn = !type->isArray() && !type->isStructure();
        d.type = std::make_shared<const Plc_Type>(std::move(*type));
    }
    return d;
}

std::shared_ptr<const Plc_Type> Structure_Layouts::memberType(const DataTypeEntry& member, QString& refusal) const
{
    if (refersElsewhere(member.typeName)) {
        return nullptr;
    }
    // Described once and shared by every member and item of the type.
    if (const DataTypeEntry* named = member.dimensions.empty() ? find(member.typeName) : nullptr) {
        const Described& d = describedOf(*named, member.size);
        refusal = d.refusal;
        return d.type;
    }
    // A member's own entry can be an array type of its own: described like a table entry.
    DataTypeEntry own = member;
    own.name = member.typeName;
    own.members.clear();
    if (!member.dimensions.empty()) {
        own.typeName = member.typeName;
        if (const auto array = plc::ads::ParseArrayTypeName(member.typeName)) {
            own.typeName = array->element; // the bounds come with the entry
        }
        const Described d = describeEntry(own, member.size);
        refusal = d.refusal;
        return d.type;
    }
    std::optional<Plc_Type> type = describePlcType(member.typeName, member.size, member.dataType, lookup(), &refusal);
    return type ? std::make_shared<const Plc_Type>(std::move(*type)) : nullptr;
}

Structure_Layouts::Described Structure_Layouts::structureOf(const DataTypeEntry& entry, uint64_t size) const
{
    Described d;
    Plc_Type structure;
    structure.kind = Plc_Type::Structure;
    structure.elementary = STRUCT;
    structure.typeName = entry.name;
    structure.size = size;
    std::unordered_set<std::string> names;
    for (const DataTypeEntry& member : entry.members) {
        const QString name = textOf(member.name);
        // Two members of one name would be one key of the JSON object, and ambiguous by name.
        if (!names.insert(upper(member.name)).second) {
            d.refusal = doesNotAddUp(entry.name, QStringLiteral("member %1 is declared twice").arg(name));
            return d;
        }
        if (member.InBits()) {
            if (uint64_t{member.offset} + member.size > size * 8) {
                d.refusal = doesNotAddUp(entry.name, QStringLiteral("bit member %1 lies beyond its %2 bytes").arg(name).arg(size));
                return d;
            }
            if (member.size != 1) {
                structure.hidden.append(name); // a field of several bits: no type reads it
                continue;
            }
            structure.members.push_back(Plc_Type::Member{name, plc_values::jsonString(name), member.offset / 8,
                                                         static_cast<int>(member.offset % 8),
                                                         std::make_shared<const Plc_Type>(Plc_Type::of(BOOL))});
            continue;
        }
        if (uint64_t{member.offset} + member.size > size) {
            d.refusal = doesNotAddUp(entry.name, QStringLiteral("member %1 (%2 bytes at %3) lies beyond its %4 bytes")
                                                     .arg(name)
                                                     .arg(member.size)
                                                     .arg(member.offset)
                                                     .arg(size));
            return d;
        }
        std::shared_ptr<const Plc_Type> type = memberType(member, d.refusal);
        if (!d.refusal.isEmpty()) {
            return d;
        }
        if (!type || (type->isStructure() && type->members.empty())) {
            structure.hidden.append(name);
            continue;
        }
        structure.members.push_back(Plc_Type::Member{name, plc_values::jsonString(name), member.offset, -1, std::move(type)});
    }
    if (overlaps(structure.members)) {
        return d; // a union
    }
    d.type = std::make_shared<const Plc_Type>(std::move(structure));
    return d;
}
