// The conversions of each family of PLC types, for the dispatch in worker/plc_values.cpp. Every
// text function reads the type's bytes (which the caller has checked are there); every
// ...ToBytes function writes exactly the type's bytes to `out` and returns the empty text, or
// returns why the text is not exactly a value of the type and leaves `out` as it was.
#pragma once

#include "worker/values/plc_type.h"

#include <QString>

#include <cstddef>
#include <cstdint>

namespace plc_values {

// The refusals every family words alike.
QString notAValue(const QString& text, const QString& typeName);
QString outOfRange(const QString& text, const QString& typeName, const QString& low, const QString& high);

// BOOL, BYTE, WORD, DWORD, SINT, USINT, INT, UINT, DINT, UDINT, LINT, ULINT, LWORD: decimal.
bool isInteger(DataType type);
QString integerText(DataType type, const uint8_t* data);
QString integerToBytes(const QString& text, DataType type, uint8_t* out);

// REAL and LREAL: the shortest text that reads back as the same value.
QString floatText(DataType type, const uint8_t* data);
QString floatToBytes(const QString& text, DataType type, uint8_t* out);

// TIME, LTIME, TIME_OF_DAY, DATE, DATE_AND_TIME: typed literals such as T#1h2m3s4ms.
bool isTime(DataType type);
QString timeText(DataType type, const uint8_t* data);
QString timeToBytes(const QString& text, DataType type, uint8_t* out);

// STRING(n) and WSTRING(n); `size` bytes are there, possibly fewer than the type's.
QString stringText(const Plc_Type& type, const uint8_t* data, size_t size);
QString stringToBytes(const QString& text, const Plc_Type& type, uint8_t* out);

// A text as a JSON string, quotes and escapes included.
QString jsonString(const QString& text);

// Arrays as JSON arrays, nested for several dimensions; structures as JSON objects.
QString jsonText(const Plc_Type& type, const uint8_t* data);
QString jsonToBytes(const QString& text, const Plc_Type& type, uint8_t* out);

} // namespace plc_values
