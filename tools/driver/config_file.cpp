#include "tools/driver/config_file.h"

#include <QHash>
#include <QTextCodec>

namespace driver {

namespace {

// The position where a comment starts in the text after '=' or ']', or -1; a quote is open at
// the end when `openQuote` is set.
int commentStart(const QString& text, bool* openQuote)
{
    bool quoted = false;
    for (int i = 0; i < text.size(); ++i) {
        const QChar c = text.at(i);
        if (c == QLatin1Char('"')) {
            quoted = !quoted; // "" inside quotes closes and reopens: the quote stays open
        } else if (!quoted && (c == QLatin1Char(';') || c == QLatin1Char('#')) &&
                   (i == 0 || text.at(i - 1).isSpace())) {
            *openQuote = false;
            return i;
        }
    }
    *openQuote = quoted;
    return -1;
}

QString withoutComment(const QString& text, bool* openQuote)
{
    const int at = commentStart(text, openQuote);
    return (at < 0 ? text : text.left(at)).trimmed();
}

IniProblem lineText(int line, const QString& what)
{
    return IniProblem{line, what};
}

// One line of the file as text; false when its bytes are not UTF-8.
bool decodeLine(const QByteArray& bytes, QString* text)
{
    QTextCodec::ConverterState state;
    *text = QTextCodec::codecForName("UTF-8")->toUnicode(bytes.constData(), bytes.size(), &state);
    return state.invalidChars == 0 && state.remainingChars == 0;
}

} // namespace

QList<IniSection> readIni(const QByteArray& text, QList<IniProblem>* problems)
{
    QList<IniSection> sections;
    QHash<QString, int> sectionLines;
    QHash<QString, int> keyLines; // of the current section
    IniSection ignored;           // a duplicate section: read for its mistakes, then dropped
    constexpr int NONE = -1;
    constexpr int IGNORED = -2;
    int current = NONE; // index into `sections`
    QList<QByteArray> lines = text.split('\n');
    if (!lines.isEmpty() && lines.first().startsWith("\xEF\xBB\xBF")) {
        lines.first().remove(0, 3);
    }
    for (int index = 0; index < lines.size(); ++index) {
        const int number = index + 1;
        QByteArray bytes = lines.at(index);
        if (bytes.endsWith('\r')) {
            bytes.chop(1);
        }
        QString line;
        if (!decodeLine(bytes, &line)) {
            problems->append(lineText(number, QStringLiteral("not UTF-8 text")));
            continue;
        }
        const QString trimmed = line.trimmed();
        if (trimmed.isEmpty() || trimmed.startsWith(QLatin1Char(';')) || trimmed.startsWith(QLatin1Char('#'))) {
            continue;
        }
        bool openQuote = false;
        if (trimmed.startsWith(QLatin1Char('['))) {
            const int close = trimmed.indexOf(QLatin1Char(']'));
            if (close < 0) {
                problems->append(lineText(number, QStringLiteral("'%1' lacks the ']' that ends a section name").arg(trimmed)));
                keyLines.clear();
                ignored.name = trimmed.mid(1).trimmed();
                current = IGNORED;
                continue;
            }
            const QString name = trimmed.mid(1, close - 1).trimmed();
            if (!withoutComment(trimmed.mid(close + 1), &openQuote).isEmpty()) {
                problems->append(lineText(number, QStringLiteral("text after the section name in '%1'").arg(trimmed)));
            }
            keyLines.clear();
            if (name.isEmpty()) {
                problems->append(lineText(number, QStringLiteral("a section needs the device's name, as in [Boiler]")));
                current = IGNORED;
            } else if (sectionLines.contains(name)) {
                problems->append(lineText(number, QStringLiteral("section [%1] given again (first at line %2)")
                                                      .arg(name)
                                                      .arg(sectionLines.value(name))));
                ignored.name = name;
                current = IGNORED;
            } else {
                sectionLines.insert(name, number);
                current = sections.size();
                sections.append(IniSection{name, number, {}});
            }
            continue;
        }
        const int equals = trimmed.indexOf(QLatin1Char('='));
        if (equals < 0) {
            problems->append(lineText(number, QStringLiteral("'%1' is neither [section], key = value nor a comment")
                                                  .arg(trimmed)));
            continue;
        }
        const QString key = trimmed.left(equals).trimmed();
        const QString value = withoutComment(trimmed.mid(equals + 1), &openQuote);
        if (key.isEmpty()) {
            problems->append(lineText(number, QStringLiteral("a key is missing before '='")));
        } else if (current == NONE) {
            problems->append(lineText(number, QStringLiteral("'%1' stands outside a device section").arg(key)));
        } else if (openQuote) {
            problems->append(lineText(number, QStringLiteral("%1: a quote is not closed").arg(key)));
        } else if (keyLines.contains(key)) {
            problems->append(lineText(number, QStringLiteral("%1 given again in [%2] (first at line %3)")
                                                  .arg(key, (current == IGNORED ? ignored : sections[current]).name)
                                                  .arg(keyLines.value(key))));
        } else {
            keyLines.insert(key, number);
            (current == IGNORED ? ignored : sections[current]).entries.append(IniEntry{key, value, number});
        }
    }
    return sections;
}

QStringList splitList(const QString& value)
{
    QStringList elements;
    QString element;
    bool quoted = false;
    for (const QChar c : value) {
        if (c == QLatin1Char('"')) {
            quoted = !quoted;
        }
        if (c == QLatin1Char(',') && !quoted) {
            elements.append(element);
            element.clear();
        } else {
            element += c;
        }
    }
    elements.append(element);
    QStringList kept;
    for (const QString& e : elements) {
        if (!e.trimmed().isEmpty()) {
            kept.append(e);
        }
    }
    return kept;
}

bool unquote(const QString& text, QString* value, QString* problem)
{
    const QString t = text.trimmed();
    if (!t.startsWith(QLatin1Char('"'))) {
        if (t.contains(QLatin1Char('"'))) {
            *problem = QStringLiteral("'%1' holds a quote: put the whole value in quotes and write each quote "
                                      "in it twice, as in \"a \"\"b\"\" c\"")
                           .arg(t);
            return false;
        }
        *value = t;
        return true;
    }
    QString inner;
    for (int i = 1; i < t.size(); ++i) {
        if (t.at(i) != QLatin1Char('"')) {
            inner += t.at(i);
        } else if (i + 1 < t.size() && t.at(i + 1) == QLatin1Char('"')) {
            inner += QLatin1Char('"');
            ++i;
        } else if (i + 1 == t.size()) {
            *value = inner;
            return true;
        } else {
            *problem = QStringLiteral("'%1' goes on after its closing quote; a quote inside quotes is written "
                                      "twice")
                           .arg(t);
            return false;
        }
    }
    *problem = QStringLiteral("'%1' lacks its closing quote").arg(t);
    return false;
}

} // namespace driver
