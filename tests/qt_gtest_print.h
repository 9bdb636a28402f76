// Readable QString output in test failure messages and in `EXPECT_...() << text`.
#pragma once

#include <QString>

#include <ostream>

inline std::ostream& operator<<(std::ostream& os, const QString& text)
{
    return os << text.toStdString();
}

inline void PrintTo(const QString& text, std::ostream* os)
{
    *os << '"' << text.toStdString() << '"';
}
