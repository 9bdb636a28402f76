// Durations, times of day and dates as the typed literals PLC programmers write:
//   TIME          u32 milliseconds   T#1h2m3s4ms (also TIME#...; d h m s ms, a fraction on the last)
//   LTIME         u64 nanoseconds    LTIME#5us6ns (also LT#...; d h m s ms us ns)
//   TIME_OF_DAY   u32 ms since 0:00  TOD#12:34:56.789 (also TIME_OF_DAY#...)
//   DATE          u32 s since 1970   D#2026-12-07 (also DATE#...)
//   DATE_AND_TIME u32 s since 1970   DT#2026-12-07-12:34:56 (also DATE_AND_TIME#...)
// Prefixes and units in any case; a written text must stand for an exact value of the type.
#include "worker/values/value_texts.h"

#include "ads/LittleEndian.h"

#include <QDate>
#include <QRegularExpression>

#include <numeric>

namespace le = plc::ads::le;

namespace plc_values {

namespace {

constexpr qint64 EPOCH_JULIAN_DAY = 2440588; // 1970-01-01
constexpr uint32_t SECONDS_PER_DAY = 86400;

struct Unit {
    const char* suffix;
    uint64_t scale; // in the type's base unit
};
// Longest suffixes first where one begins another (ms before m).
constexpr Unit TIME_UNITS[] = {{"d", 86400000}, {"h", 3600000}, {"m", 60000}, {"s", 1000}, {"ms", 1}};
constexpr Unit LTIME_UNITS[] = {{"d", 86400000000000}, {"h", 3600000000000}, {"m", 60000000000},
                                {"s", 1000000000},     {"ms", 1000000},      {"us", 1000},
                                {"ns", 1}};

QString twoDigits(uint64_t value)
{
    return QStringLiteral("%1").arg(value, 2, 10, QLatin1Char('0'));
}

QString dateText(qint64 days)
{
    const QDate date = QDate::fromJulianDay(EPOCH_JULIAN_DAY + days);
    return QStringLiteral("%1-%2-%3").arg(date.year(), 4, 10, QLatin1Char('0')).arg(twoDigits(date.month()),
                                                                                  twoDigits(date.day()));
}

QString clockText(uint64_t seconds)
{
    return twoDigits(seconds / 3600) + QLatin1Char(':') + twoDigits(seconds / 60 % 60) + QLatin1Char(':') +
           twoDigits(seconds % 60);
}

QString durationText(uint64_t total, const QString& prefix, const Unit* units, size_t count)
{
    QString text = prefix;
    for (size_t i = 0; i < count; ++i) {
        if (total / units[i].scale != 0) {
            text += QString::number(static_cast<quint64>(total / units[i].scale)) + QLatin1String(units[i].suffix);
            total %= units[i].scale;
        }
    }
    return text.size() == prefix.size() ? text + QLatin1Char('0') + QLatin1String(units[count - 1].suffix) : text;
}

// The text after one of the prefixes (any case); false when it has none of them.
bool afterPrefix(const QString& trimmed, std::initializer_list<const char*> prefixes, QString& body)
{
    for (const char* prefix : prefixes) {
        if (trimmed.startsWith(QLatin1String(prefix), Qt::CaseInsensitive)) {
            body = trimmed.mid(static_cast<int>(qstrlen(prefix)));
            return true;
        }
    }
    return false;
}

enum class Parsed { Ok, Malformed, TooLarge };

// `digits` ("5") of a fraction ".5" of `scale` base units, when it is a whole number of them.
bool fractionOf(const QString& digits, uint64_t scale, uint64_t& out)
{
    QString kept = digits;
    while (kept.endsWith(QLatin1Char('0'))) {
        kept.chop(1);
    }
    if (kept.size() > 18) {
        return false;
    }
    uint64_t power = 1;
    for (int i = 0; i < kept.size(); ++i) {
        power *= 10;
    }
    const uint64_t numerator = kept.isEmpty() ? 0 : kept.toULongLong();
    const uint64_t common = std::gcd(power, scale);
    if (numerator % (power / common) != 0) {
        return false;
    }
    out = numerator / (power / common) * (scale / common);
    return true;
}

// Components such as "1h", "2m", "3.5s" in falling order, '_' allowed between them.
Parsed parseDuration(const QString& body, const Unit* units, size_t count, uint64_t limit, uint64_t& total)
{
    static const QRegularExpression component(QStringLiteral("_?([0-9]+)(?:\\.([0-9]+))?([a-z]+)"),
                                              QRegularExpression::CaseInsensitiveOption);
    total = 0;
    size_t nextUnit = 0;
    bool fractionSeen = false;
    int position = 0;
    while (position < body.size()) {
        const QRegularExpressionMatch match =
            component.match(body, position, QRegularExpression::NormalMatch, QRegularExpression::AnchoredMatchOption);
        if (!match.hasMatch() || fractionSeen || (position == 0 && body.startsWith(QLatin1Char('_')))) {
            return Parsed::Malformed;
        }
        const QString suffix = match.captured(3).toLower();
        size_t unit = nextUnit;
        while (unit < count && suffix != QLatin1String(units[unit].suffix)) {
            ++unit;
        }
        if (unit == count) {
            return Parsed::Malformed; // unknown, repeated or out of order
        }
        bool converted = false;
        const uint64_t whole = match.captured(1).toULongLong(&converted);
        uint64_t part = 0;
        fractionSeen = match.capturedLength(2) > 0;
        if (fractionSeen && !fractionOf(match.captured(2), units[unit].scale, part)) {
            return Parsed::Malformed; // finer than the type counts
        }
        if (!converted || whole > (limit - total) / units[unit].scale ||
            part > limit - total - whole * units[unit].scale) {
            return Parsed::TooLarge;
        }
        total += whole * units[unit].scale + part;
        nextUnit = unit + 1;
        position = match.capturedEnd();
    }
    return position == 0 ? Parsed::Malformed : Parsed::Ok;
}

QString durationToBytes(const QString& text, DataType type, uint8_t* out)
{
    const QString trimmed = text.trimmed();
    const bool longTime = type == LTIME;
    QString body;
    const bool prefixed =
        longTime ? afterPrefix(trimmed, {"LTIME#", "LT#"}, body) : afterPrefix(trimmed, {"TIME#", "T#"}, body);
    const Unit* units = longTime ? LTIME_UNITS : TIME_UNITS;
    const size_t count = longTime ? std::size(LTIME_UNITS) : std::size(TIME_UNITS);
    const uint64_t limit = longTime ? UINT64_MAX : UINT32_MAX;
    const QString prefix = longTime ? QStringLiteral("LTIME#") : QStringLiteral("T#");
    uint64_t total = 0;
    const Parsed parsed = body.startsWith(QLatin1Char('-')) ? Parsed::TooLarge
                                                            : parseDuration(body, units, count, limit, total);
    if (!prefixed || parsed == Parsed::Malformed) {
        return notAValue(text, itemTypeName(type));
    }
    if (parsed == Parsed::TooLarge) {
        return outOfRange(text, itemTypeName(type), durationText(0, prefix, units, count),
                          durationText(limit, prefix, units, count));
    }
    longTime ? le::Write<uint64_t>(out, total) : le::Write<uint32_t>(out, static_cast<uint32_t>(total));
    return QString();
}

QString timeOfDayToBytes(const QString& text, uint8_t* out)
{
    static const QRegularExpression pattern(QStringLiteral("^([0-9]{1,2}):([0-9]{2}):([0-9]{2})(?:\\.([0-9]+))?$"));
    QString body;
    const bool prefixed = afterPrefix(text.trimmed(), {"TIME_OF_DAY#", "TOD#"}, body);
    const QRegularExpressionMatch match = pattern.match(body);
    uint64_t fraction = 0;
    if (!prefixed || !match.hasMatch() || (match.capturedLength(4) > 0 && !fractionOf(match.captured(4), 1000, fraction))) {
        return notAValue(text, itemTypeName(TIME_OF_DAY));
    }
    const int hours = match.captured(1).toInt();
    const int minutes = match.captured(2).toInt();
    const int seconds = match.captured(3).toInt();
    if (hours > 23 || minutes > 59 || seconds > 59) {
        return outOfRange(text, itemTypeName(TIME_OF_DAY), QStringLiteral("TOD#00:00:00"),
                          QStringLiteral("TOD#23:59:59.999"));
    }
    le::Write<uint32_t>(out, static_cast<uint32_t>(((hours * 60 + minutes) * 60 + seconds) * 1000 + fraction));
    return QString();
}

QString dateToBytes(const QString& text, DataType type, uint8_t* out)
{
    static const QRegularExpression datePattern(QStringLiteral("^([0-9]{4})-([0-9]{2})-([0-9]{2})$"));
    static const QRegularExpression stampPattern(
        QStringLiteral("^([0-9]{4})-([0-9]{2})-([0-9]{2})-([0-9]{1,2}):([0-9]{2}):([0-9]{2})$"));
    const bool stamp = type == DATE_AND_TIME;
    const QString trimmed = text.trimmed();
    QString body;
    const bool prefixed =
        stamp ? afterPrefix(trimmed, {"DATE_AND_TIME#", "DT#"}, body) : afterPrefix(trimmed, {"DATE#", "D#"}, body);
    const QRegularExpressionMatch match = (stamp ? stampPattern : datePattern).match(body);
    const QDate date = match.hasMatch() ? QDate(match.captured(1).toInt(), match.captured(2).toInt(),
                                                match.captured(3).toInt())
                                        : QDate();
    const int hours = stamp && match.hasMatch() ? match.captured(4).toInt() : 0;
    const int minutes = stamp && match.hasMatch() ? match.captured(5).toInt() : 0;
    const int seconds = stamp && match.hasMatch() ? match.captured(6).toInt() : 0;
    if (!prefixed || !date.isValid() || hours > 23 || minutes > 59 || seconds > 59) {
        return notAValue(text, itemTypeName(type));
    }
    const qint64 value = (date.toJulianDay() - EPOCH_JULIAN_DAY) * SECONDS_PER_DAY + (hours * 60 + minutes) * 60 + seconds;
    if (value < 0 || value > UINT32_MAX) {
        const uint32_t lastDay = UINT32_MAX - UINT32_MAX % SECONDS_PER_DAY;
        return stamp ? outOfRange(text, itemTypeName(type), QStringLiteral("DT#") + dateText(0) + QStringLiteral("-00:00:00"),
                                  QStringLiteral("DT#") + dateText(UINT32_MAX / SECONDS_PER_DAY) + QLatin1Char('-') +
                                      clockText(UINT32_MAX % SECONDS_PER_DAY))
                     : outOfRange(text, itemTypeName(type), QStringLiteral("D#") + dateText(0),
                                  QStringLiteral("D#") + dateText(lastDay / SECONDS_PER_DAY));
    }
    le::Write<uint32_t>(out, static_cast<uint32_t>(value));
    return QString();
}

} // namespace

bool isTime(DataType type)
{
    return type == TIME || type == LTIME || type == TIME_OF_DAY || type == DATE || type == DATE_AND_TIME;
}

QString timeText(DataType type, const uint8_t* data)
{
    switch (type) {
    case TIME:
        return durationText(le::Read<uint32_t>(data), QStringLiteral("T#"), TIME_UNITS, std::size(TIME_UNITS));
    case LTIME:
        return durationText(le::Read<uint64_t>(data), QStringLiteral("LTIME#"), LTIME_UNITS, std::size(LTIME_UNITS));
    case TIME_OF_DAY: {
        // A value past midnight is shown as it is (hours beyond 23); it cannot be written back.
        const uint32_t ms = le::Read<uint32_t>(data);
        return QStringLiteral("TOD#") + clockText(ms / 1000) +
               (ms % 1000 != 0 ? QStringLiteral(".%1").arg(ms % 1000, 3, 10, QLatin1Char('0')) : QString());
    }
    default: {
        // A DATE with a time of day in it is shown with that time, as what it holds.
        const uint32_t seconds = le::Read<uint32_t>(data);
        if (type == DATE && seconds % SECONDS_PER_DAY == 0) {
            return QStringLiteral("D#") + dateText(seconds / SECONDS_PER_DAY);
        }
        return QStringLiteral("DT#") + dateText(seconds / SECONDS_PER_DAY) + QLatin1Char('-') +
               clockText(seconds % SECONDS_PER_DAY);
    }
    }
}

QString timeToBytes(const QString& text, DataType type, uint8_t* out)
{
    switch (type) {
    case TIME:
    case LTIME:
        return durationToBytes(text, type, out);
    case TIME_OF_DAY:
        return timeOfDayToBytes(text, out);
    default:
        return dateToBytes(text, type, out);
    }
}

} // namespace plc_values
