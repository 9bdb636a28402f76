// STRING(n): n bytes of UTF-8 and a zero byte. WSTRING(n): n UTF-16LE code units and a zero
// unit. A text is read up to its terminator; a written one takes at most n and is zero-filled.
#include "worker/values/value_texts.h"

#include "ads/LittleEndian.h"

#include <QByteArray>
#include <QStringView>

#include <cstring>

namespace le = plc::ads::le;

namespace plc_values {

namespace {

// How many bytes at the end of `length` bytes start a UTF-8 character that is not complete.
int incompleteTail(const uint8_t* data, int length)
{
    for (int back = 1; back <= 3 && back <= length; ++back) {
        const uint8_t byte = data[length - back];
        if ((byte & 0xC0) != 0x80) {
            const int needed = byte >= 0xF0 ? 4 : byte >= 0xE0 ? 3 : byte >= 0xC0 ? 2 : 1;
            return needed > back ? back : 0;
        }
    }
    return 0;
}

QString utf8Text(const uint8_t* data, size_t size)
{
    const auto* end = static_cast<const uint8_t*>(std::memchr(data, 0, size));
    int length = static_cast<int>(end ? end - data : static_cast<ptrdiff_t>(size));
    // Without its terminator the text was cut; a character cut in two is left out, not shown broken.
    if (!end) {
        length -= incompleteTail(data, length);
    }
    return QString::fromUtf8(reinterpret_cast<const char*>(data), length);
}

QString utf16Text(const uint8_t* data, size_t size)
{
    QString text;
    text.reserve(static_cast<int>(size / 2));
    for (size_t i = 0; i + 1 < size; i += 2) {
        const uint16_t unit = le::Read<uint16_t>(data + i);
        if (unit == 0) {
            break;
        }
        text.append(QChar(unit));
    }
    return text;
}

} // namespace

QString stringText(const Plc_Type& type, const uint8_t* data, size_t size)
{
    return type.elementary == WSTRING ? utf16Text(data, size) : utf8Text(data, size);
}

QString stringToBytes(const QString& text, const Plc_Type& type, uint8_t* out)
{
    // A zero character would end the PLC's string early; a lone surrogate is not a text.
    if (text.contains(QChar(0)) || !QStringView(text).isValidUtf16()) {
        return notAValue(text, itemTypeName(type.elementary));
    }
    if (type.elementary == WSTRING) {
        if (static_cast<uint32_t>(text.size()) > type.length) {
            return QStringLiteral("Value '%1' is too long for %2 (%3 UTF-16 code units)")
                .arg(text, type.name(), QString::number(text.size()));
        }
        std::memset(out, 0, type.size);
        for (int i = 0; i < text.size(); ++i) {
            le::Write<uint16_t>(out + 2 * i, text.at(i).unicode());
        }
        return QString();
    }
    const QByteArray utf8 = text.toUtf8();
    if (static_cast<uint32_t>(utf8.size()) > type.length) {
        return QStringLiteral("Value '%1' is too long for %2 (%3 bytes)")
            .arg(text, type.name(), QString::number(utf8.size()));
    }
    std::memcpy(out, utf8.constData(), static_cast<size_t>(utf8.size()));
    std::memset(out + utf8.size(), 0, type.size - static_cast<size_t>(utf8.size()));
    return QString();
}

} // namespace plc_values
