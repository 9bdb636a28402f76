// PLC data types of configured items: byte lengths and conversions between sample bytes and text.
#pragma once

#include <QString>

#include <cstdint>

// The number an item's "type" column holds.
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
    // Four-byte time types: not offered to users and not converted.
    TIME = 13,
    DATE = 14,
    TIME_OF_DAY = 15,
    DATE_AND_TIME = 16,
};

// Bytes the PLC variable occupies; 0 for a value outside the enumeration.
uint32_t dataLength(DataType type);

// Text of one little-endian sample; `size` is the number of bytes available at `data`. REAL and
// LREAL give the shortest text that converts back to the same value.
// A sample shorter than its type, a null pointer or an unconverted type gives the empty text.
QString bytesToValue(char* data, DataType type, unsigned int size);

// "INT", "STRING", ...; the number for a value outside the enumeration.
QString itemTypeName(DataType type);

// Whether texts convert to and from `type` (the named types BOOL to STRING).
inline bool hasTextConversion(DataType type)
{
    return type >= BOOL && type <= STRING;
}

// Bytes a write of `type` sends to a PLC variable of `plcSize` bytes (0: size not known): the
// type's length, except that a STRING item on a STRING(n) writes the variable's n + 1 bytes
// (for n up to 65535).
uint32_t writeLength(DataType type, uint32_t plcSize);

// Writes `text` as exactly `length` bytes of `type` into `buffer` (`length` from writeLength) and
// returns the empty text; a text that is not exactly a value of the type leaves the buffer as it
// was and returns why, e.g. "Value '300' is out of range for USINT (0 to 255)". Accepted: integers
// as optional sign and decimal digits within the type's range; BOOL as 0, 1, true or false in any
// case; REAL and LREAL as a finite decimal number with '.' and an optional exponent; STRING as
// at most length - 1 UTF-8 bytes without a zero character. Blanks around numbers are ignored.
QString valueToBytes(const QString& text, DataType type, char* buffer, uint32_t length);
