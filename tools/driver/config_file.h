// The driver's configuration file, an INI text read with line numbers: every mistake and every
// duplicate is named with its line, and a value is used exactly as written or refused.
#pragma once

#include <QByteArray>
#include <QList>
#include <QString>
#include <QStringList>

namespace driver {

struct IniEntry {
    QString key;
    QString value; // without its comment and the blanks around it; quotes still in place
    int line = 0;
};

struct IniSection {
    QString name;
    int line = 0;
    QList<IniEntry> entries;
};

struct IniProblem {
    int line = 0;
    QString text;
};

// The sections in the order of the file. Every mistake adds one entry to `problems`; the
// sections are to be used only when it stays empty. Lines are "[name]",
// "key = value" and comments: a line starting with ';' or '#', and after a blank (outside
// double quotes) the rest of a line.
QList<IniSection> readIni(const QByteArray& text, QList<IniProblem>* problems);

// The elements of a list value, split at the commas outside double quotes; blank ones dropped.
QStringList splitList(const QString& value);

// A value as written: bare text (blanks around it dropped), or a text in double quotes, in which
// "" stands for one quote, for a value with commas, comment characters or blanks around it.
// Any other quote is refused with the reason, so that no other value than the one meant is used.
bool unquote(const QString& text, QString* value, QString* problem);

} // namespace driver
