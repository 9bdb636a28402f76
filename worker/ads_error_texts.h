// Fixed English texts of ADS result codes, for device and item errors and log lines.
#pragma once

#include <QString>

// The text of a known code; "Invalid error. Code: " and the decimal code for any other.
QString errorToString(long code);

// `text` followed by " Code: " and the code, for log lines; the code only once when the text
// already ends with it (the text of an unknown code).
QString withErrorCode(const QString& text, long code);
