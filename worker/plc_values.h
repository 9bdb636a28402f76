// PLC values of configured items: conversions between sample bytes and text, for every type a
// Plc_Type describes. The conversions of each family live in worker/values/.
#pragma once

#include "worker/values/plc_type.h"

#include <QString>

#include <cstddef>
#include <cstdint>

// Text of one little-endian value of `type`; `size` bytes are at `data`. Numbers need all of
// their bytes and strings are read up to their terminator or the end; an array is a JSON
// array. Too few bytes or a null pointer give the empty text.
QString bytesToText(const Plc_Type& type, const uint8_t* data, size_t size);

// Writes `text` as exactly type.size bytes into `out` and returns the empty text; a text that is
// not exactly a value of the type leaves `out` as it was and returns why, e.g. "Value '300' is
// out of range for USINT (0 to 255)". Accepted: integers as optional sign and decimal digits
// within the type's range; BOOL as 0, 1, true or false in any case; REAL and LREAL as a finite
// decimal number with '.' and an optional exponent, rounded once to the type; the time types
// as their typed literals; STRING(n) as at most n UTF-8 bytes, WSTRING(n) as at most n UTF-16
// code units, without a zero character; an array as a JSON array with every element of its
// own; a structure as a JSON object of exactly its members. Blanks around numbers and literals are ignored.
QString textToBytes(const QString& text, const Plc_Type& type, uint8_t* out);

// The same for an item type alone: STRING and WSTRING are read up to `size` bytes and written
// as STRING(length - 1) and WSTRING(length / 2 - 1); any other type needs its own length.
QString bytesToValue(char* data, DataType type, unsigned int size);
QString valueToBytes(const QString& text, DataType type, char* buffer, uint32_t length);

// Whether texts convert to and from `type` (every named type, and FROM_PLC and STRUCT once the
// PLC described the variable).
inline bool hasTextConversion(DataType type)
{
    return type >= BOOL && type <= STRUCT;
}
