// PLC value conversions both ways, for every type number: bytes to text, text to bytes and
// back. Integers must survive the round trip, and a string written from text must read back
// as that text (or, when cut to 80 bytes, as its start).
#include "worker/plc_values.h"

#include <QByteArray>
#include <QString>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace {
bool isInteger(DataType type)
{
    return (type >= BOOL && type <= UDINT);
}
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size < 1) {
        return 0;
    }
    // One byte more than the last type, so out-of-range numbers are tried too.
    const auto type = static_cast<DataType>(data[0] % 18);
    const uint32_t length = dataLength(type);
    // An exact-size heap copy, so a read past the sample is caught.
    std::vector<char> sample(data + 1, data + size);
    const QString text = bytesToValue(sample.empty() ? nullptr : sample.data(), type,
                                      static_cast<unsigned int>(sample.size()));

    std::vector<char> written(length == 0 ? 1 : length, '\x5a');
    valueToBytes(text, type, written.data(), static_cast<int>(length));
    if (isInteger(type) && sample.size() >= length && std::memcmp(written.data(), sample.data(), length) != 0) {
        std::abort(); // an integer sample did not survive text and back
    }

    // The same bytes taken as text typed by a user.
    const QString typed = QString::fromUtf8(reinterpret_cast<const char*>(data + 1), static_cast<int>(size - 1));
    std::vector<char> buffer(length == 0 ? 1 : length, '\x5a');
    valueToBytes(typed, type, buffer.data(), static_cast<int>(length));
    const QString back = bytesToValue(buffer.data(), type, length);
    if (type == STRING && !typed.contains(QChar(0))) {
        const QByteArray utf8 = typed.toUtf8();
        if (utf8.size() < static_cast<int>(length) ? back != typed : !typed.startsWith(back)) {
            std::abort(); // a written string does not read back
        }
    }
    return 0;
}
