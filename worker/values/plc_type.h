// What a PLC value is, for every conversion, the type check and the length a subscription
// watches: an elementary type (with the length of a STRING(n) or WSTRING(n)), or an array of
// one to three dimensions with their bounds and the description of its element.
#pragma once

#include <QString>
#include <QStringList>

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

// The number an item's "type" column holds. The first thirteen are the original choices; new
// types are appended, so stored configurations keep their meaning.
enum DataType : int32_t {
    BOOL = 0,
    BYTE = 1,
    WORD = 2,
    DWORD = 3,
    SINT = 4,
    USINT = 5,
    INT = 6,
    UINT = 7,
    DINT = 8,
    UDINT = 9,
    REAL = 10,
    LREAL = 11,
    STRING = 12,
    TIME = 13,
    DATE = 14,
    TIME_OF_DAY = 15,
    DATE_AND_TIME = 16,
    LINT = 17,
    ULINT = 18,
    LWORD = 19,
    LTIME = 20,
    WSTRING = 21,
    // Not a type of its own: the item takes the type the PLC's symbol information gives.
    FROM_PLC = 22,
    // A structure or an array of structures, read and written as JSON, its layout from the PLC.
    STRUCT = 23,
};
constexpr int DATA_TYPE_COUNT = STRUCT + 1;

// "INT", "TIME_OF_DAY", "From PLC", "structure (JSON)"; the number for a value outside the enumeration.
QString itemTypeName(DataType type);
// The type a name stands for, in any case, also the short forms TOD, DT and STRUCT; -1 for none.
int dataTypeFromName(const QString& name);
// Bytes of an item of the type: STRING and WSTRING are STRING(80) and WSTRING(80); 0 for
// FROM_PLC, STRUCT and for values outside the enumeration.
uint32_t dataLength(DataType type);

// An item reads at most this many bytes of a PLC variable: the longest STRING(n) a PLC has.
constexpr uint32_t MAX_VALUE_SIZE = 65536;

struct Plc_Type {
    enum Kind : uint8_t { Elementary, Array, Structure };
    struct Dimension {
        int32_t lower;
        uint32_t count;
    };
    struct Member {
        QString name;
        QString jsonKey;     // the name as a JSON string, quoted once rather than with every sample
        uint64_t offset = 0; // byte in the structure where the member starts
        int bit = -1;        // of a bit field: the bit of that byte (0 the lowest); -1 otherwise
        std::shared_ptr<const Plc_Type> type;
    };

    Kind kind = Elementary;
    DataType elementary = BOOL;             // Elementary: the type; STRUCT for a structure
    uint32_t length = 0;                    // Elementary STRING and WSTRING: the n of STRING(n)
    bool programOwn = false;                // an alias or enumeration, known only by its base type
    std::vector<Dimension> dimensions;      // Array: outermost first
    std::shared_ptr<const Plc_Type> element; // Array: what each element is
    std::string typeName;                   // Structure: the PLC's name of the type
    std::vector<Member> members;            // Structure: those shown, in declaration order
    QStringList hidden;                     // Structure: members no item can show (pointers, ...)
    uint64_t size = 0;                      // bytes of the whole value

    // An elementary value; a STRING or WSTRING of `length` characters, 80 when 0.
    static Plc_Type of(DataType type, uint32_t length = 0);
    // The size is the element's times the count of all dimensions.
    static Plc_Type arrayOf(std::vector<Dimension> dimensions, Plc_Type element);

    bool isArray() const { return kind == Array; }
    bool isStructure() const { return kind == Structure; }
    uint64_t elementCount() const;
    // The elementary type of the value, or of its innermost elements; STRUCT for structures.
    DataType innermost() const;
    // As the PLC language writes it: "REAL", "STRING(20)", "ARRAY [1..10, 0..1] OF ST_Motor".
    QString name() const;
};

// How a name the elementary types do not know is described: a type of the PLC program's own,
// looked up in its data-type table. Set `refusal` for a description that does not add up.
using Named_Type_Lookup =
    std::function<std::optional<Plc_Type>(const std::string& typeName, uint64_t size, QString& refusal)>;

// The PLC variable a symbol entry describes by its type name, size and data type id; nullopt
// for one that no item reads (structures without a lookup, function blocks, pointers, a size
// that does not match the name). An alias or enumeration is read as its base type.
std::optional<Plc_Type> describePlcType(const std::string& typeName, uint64_t size, uint32_t dataTypeId,
                                        const Named_Type_Lookup& lookup = {}, QString* refusal = nullptr);
