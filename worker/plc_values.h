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

// Text of one little-endian sample; `size` is the number of bytes available at `data`.
// A sample shorter than its type, a null pointer or an unconverted type gives the empty text.
QString bytesToValue(char* data, DataType type, unsigned int size);

// Whether texts convert to and from `type` (the named types BOOL to STRING).
inline bool hasTextConversion(DataType type)
{
    return type >= BOOL && type <= STRING;
}

// Writes the bytes of `text` as `type` into `buffer`, at most `length` bytes (the type's length).
// Unconvertible numbers are written as 0; unconverted types leave the buffer unchanged.
void valueToBytes(QString text, DataType type, char* buffer, int length);
