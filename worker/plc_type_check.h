// Whether a PLC variable, as the PLC's symbol information describes it, fits an item's data type,
// and the description the item then reads and writes it by.
#pragma once

#include "ads/AdsSymbols.h"
#include "worker/plc_values.h"
#include "worker/values/structure_layouts.h"

#include <QString>

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <unordered_map>

// How an item's type was judged against its PLC variable.
struct ItemTypeCheck {
    bool fits = true;
    std::shared_ptr<const Plc_Type> type; // what the item reads and writes; null: its own type alone
    QString mismatch;                     // why it does not fit
};

// An item of an explicit type fits when the PLC type is the item's type or one read the same way
// (BOOL/SINT, BYTE/USINT, WORD/UINT, DWORD/UDINT, ULINT/LWORD) with the same size; a STRING item
// fits any STRING(n), a WSTRING item any WSTRING(n), and an array fits when its elements do. A
// type of the PLC program's own (alias, enumeration) is judged by its size alone. A FROM_PLC item
// takes whatever the PLC describes, a STRUCT item a structure or an array of structures, both
// described by `lookup` where the elementary types do not know the name. A mismatch names the
// type that fits: "Type mismatch: PLC variable is DINT (4 bytes), item is INT (2 bytes); choose DINT".
ItemTypeCheck judgeItemType(DataType item, const plc::ads::SymbolEntry& entry, const Named_Type_Lookup& lookup = {});

// Whether only the PLC program's data types can describe the variable (a structure, an array
// of them), so that they are worth reading.
bool needsDataTypes(const plc::ads::SymbolEntry& entry);

// The PLC program's data types, asked for only by an item that needs them; null with `code` set
// when they could not be read.
using Layouts_Source = std::function<const Structure_Layouts*(int32_t& code)>;

// The explicit item type that reads a PLC variable of this description: its own, or its elements'.
DataType itemTypeFor(const Plc_Type& plc);

// What an item of the type reads by when the PLC tells nothing about the variable; null for
// FROM_PLC and STRUCT.
std::shared_ptr<const Plc_Type> defaultTypeOf(DataType type);

// The refusal of a FROM_PLC item on a PLC without symbol information.
QString typeUnknownText();

// What the PLC's answer to a request for a symbol's information says about an item.
struct Symbol_Check {
    enum Outcome { Watch, Unchecked, InfoMissing, Fail };
    Outcome outcome;
    std::shared_ptr<const Plc_Type> type; // what to watch and convert unless it fails
    int32_t code;                         // the answer's ADS code; a failure with code 0 has a text
    QString mismatch;                     // the failure's text
};
Symbol_Check judgeSymbolInfo(DataType type, int32_t code, const plc::ads::SymbolEntry& entry,
                             const Layouts_Source& layouts = {});

// The judgements made on the current connection, so that a write after a subscription or an
// earlier write costs no extra request. Cleared with the connection: the PLC program may differ.
class ItemTypeChecks {
public:
    // Null when the item has not been judged with this symbol and type.
    const ItemTypeCheck* find(uint32_t itemId, DataType type, const std::string& symbol) const;
    void remember(uint32_t itemId, DataType type, const std::string& symbol, const ItemTypeCheck& check);
    void clear() { entries.clear(); }

private:
    struct Entry {
        DataType type;
        std::string symbol;
        ItemTypeCheck check;
    };
    std::unordered_map<uint32_t, Entry> entries;
};
