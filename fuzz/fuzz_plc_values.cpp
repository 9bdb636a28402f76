// PLC value conversions both ways, for every type number: bytes to text, text to bytes and
// back. Every integer sample a type can hold and every finite REAL or LREAL sample must survive
// text and back; a text typed by a user is either written whole and reads back, or refused with
// the buffer untouched.
#include "worker/plc_values.h"

#include <QByteArray>
#include <QString>

#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace {
bool sameNumber(const std::vector<char>& a, const std::vector<char>& b, DataType type)
{
    if (type == REAL) {
        float x;
        float y;
        std::memcpy(&x, a.data(), 4);
        std::memcpy(&y, b.data(), 4);
        return x == y;
    }
    if (type == LREAL) {
        double x;
        double y;
        std::memcpy(&x, a.data(), 8);
        std::memcpy(&y, b.data(), 8);
        return x == y;
    }
    return std::memcmp(a.data(), b.data(), dataLength(type)) == 0;
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
    const QString refused = valueToBytes(text, type, written.data(), length);
    const bool numeric = type >= BYTE && type <= LREAL;
    const bool readable = sample.size() >= length &&
                          (numeric || (type == BOOL && (sample[0] == 0 || sample[0] == 1)));
    if (readable && (!refused.isEmpty() || !sameNumber(written, sample, type))) {
        const bool notFinite = text.contains(QLatin1String("nan")) || text.contains(QLatin1String("inf"));
        if (!notFinite) {
            std::abort(); // a sample did not survive text and back
        }
    }

    // The same bytes taken as text typed by a user.
    const QString typed = QString::fromUtf8(reinterpret_cast<const char*>(data + 1), static_cast<int>(size - 1));
    std::vector<char> buffer(length == 0 ? 1 : length, '\x5a');
    const std::vector<char> untouched = buffer;
    if (!valueToBytes(typed, type, buffer.data(), length).isEmpty()) {
        if (buffer != untouched) {
            std::abort(); // a refused text changed the buffer
        }
    } else if (type == STRING && bytesToValue(buffer.data(), type, length) != typed) {
        std::abort(); // a written string does not read back whole
    }
    return 0;
}
