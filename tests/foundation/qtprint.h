// Readable Qt strings in test failure messages.
#pragma once

#include <QString>
#include <ostream>

inline void PrintTo(const QString &text, std::ostream *os)
{
    *os << '"' << text.toStdString() << '"';
}
