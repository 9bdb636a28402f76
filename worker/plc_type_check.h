// Whether a PLC variable, as the PLC's symbol information describes it, fits an item's data type.
#pragma once

#include "ads/AdsSymbols.h"
#include "worker/plc_values.h"

#include <QString>

#include <cstdint>
#include <string>
#include <unordered_map>

// Fits when the sizes agree and the PLC type is the item's type or one read the same way
// (BOOL/SINT, BYTE/USINT, WORD/UINT, DWORD/UDINT); a type of the PLC program's own (alias,
// enumeration) is judged by its size alone. A STRING item fits any PLC STRING(n).
bool plcTypeFits(DataType item, const QString& plcType, uint32_t plcSize);

// "Type mismatch: PLC variable is DINT (4 bytes), item is INT (2 bytes)"
QString typeMismatchText(DataType item, const QString& plcType, uint32_t plcSize);

// The item type (BOOL..STRING) to read a PLC variable of an elementary type with; -1 when none fits.
int itemTypeForPlcType(const QString& plcType, uint32_t plcSize);

// What the PLC's answer to a request for a symbol's information says about an item.
struct Symbol_Check {
    enum Outcome { Watch, Unchecked, InfoMissing, Fail };
    Outcome outcome;
    uint32_t length;  // bytes to watch unless it fails
    int32_t code;     // the answer's ADS code; a failure with code 0 is a type mismatch
    QString mismatch; // the type-mismatch text
};
Symbol_Check judgeSymbolInfo(DataType type, int32_t code, const plc::ads::SymbolEntry& entry);

// How an item's type was judged against its PLC variable.
struct ItemTypeCheck {
    bool fits = true;
    uint32_t plcSize = 0; // the variable's bytes; 0 when not known
    QString mismatch;     // the type-mismatch text when it does not fit
};

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
