// The types of a PLC program's own, as its uploaded data-type table lays them out: structures
// (members with their offsets, nested structures, arrays, bit fields), aliases, enumerations
// and arrays of them, described for reading and writing.
//
// The table comes from the PLC and is trusted in nothing: a member beyond its structure, a
// size that does not match its type, a type that contains itself or nests without end refuse
// the description with a text that names the type, and never give a wrong one. A member no
// item can show (a pointer, a reference, an interface, a union, a type the table lacks) is
// left out and named in the structure's `hidden` list.
#pragma once

#include "ads/AdsDataTypes.h"
#include "worker/values/plc_type.h"

#include <QString>

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

class Structure_Layouts {
public:
    explicit Structure_Layouts(std::vector<plc::ads::DataTypeEntry> types);

    // A type of the table by name (in any case) and its size in bytes; nullopt when the table has
    // no such type or the type cannot be shown, with `refusal` set when the table does not add up.
    // Not thread-safe: descriptions made are kept for the next asks.
    std::optional<Plc_Type> describe(const std::string& typeName, uint64_t size, QString& refusal) const;
    // describe() for describePlcType().
    Named_Type_Lookup lookup() const;

    size_t typeCount() const { return types.size(); }

private:
    // The entry of a type by name, in any case; null when the table has none of the name.
    const plc::ads::DataTypeEntry* find(const std::string& typeName) const;
    struct Described {
        std::shared_ptr<const Plc_Type> type;
        QString refusal;
    };
    Described describeEntry(const plc::ads::DataTypeEntry& entry, uint64_t size) const;
    Described structureOf(const plc::ads::DataTypeEntry& entry, uint64_t size) const;

    std::vector<plc::ads::DataTypeEntry> types;
    std::unordered_map<std::string, size_t> byName; // upper-cased name -> index in types
    const Described& describedOf(const plc::ads::DataTypeEntry& entry, uint64_t size) const;
    std::shared_ptr<const Plc_Type> memberType(const plc::ads::DataTypeEntry& member, QString& refusal) const;

    mutable std::unordered_map<std::string, Described> described; // by upper-cased name and size
    mutable std::vector<std::string> visiting; // the types being described, outermost first
};
