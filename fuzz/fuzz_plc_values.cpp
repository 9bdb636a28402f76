// PLC value conversions both ways, for every type number: bytes to text, text to bytes and
// back. Every integer sample a type can hold and every finite REAL or LREAL sample must survive
// text and back; a text typed by a user is either written whole and reads back, or refused with
// the buffer untouched.
#include "worker/plc_values.h"

#include <QByteArray>
#include <QString>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (size < 1) {
        return 0;
    }
    // One byte more than the last type, so out-of-range numbers are tried too.
    const auto type = static_cast<DataType>(data[0] % (DATA_TYPE_COUNT + 1));
    const uint32_t length = dataLength(type);
    // An exact-size heap copy, so a read past the sample is caught.
    std::vector<char> sample(data + 1, data + size);
    const QString text = bytesToValue(sample.empty() ? nullptr : sample.data(), type,
                                      static_cast<unsigned int>(sample.size()));

    std::vector<char> written(length == 0 ? 1 : length, '\x5a');
    const QString refused = valueToBytes(text, type, written.data(), length);
    const bool finite = !text.contains(QLatin1String("nan")) && !text.contains(QLatin1String("inf"));
    // Every integer, REAL and LREAL sample has a text; times of day and dates need not be valid ones.
    const bool number = (type >= BYTE && type <= LREAL) || type == LINT || type == ULINT || type == LWORD ||
                        type == TIME || type == LTIME;
    const bool readable = sample.size() >= length && length > 0 && number && finite;
    const bool readableBool = type == BOOL && !sample.empty() && (sample[0] == 0 || sample[0] == 1);
    if ((readable || readableBool) && (!refused.isEmpty() || bytesToValue(written.data(), type, length) != text)) {
        std::abort(); // a sample did not survive text and back
    }

    // The same bytes taken as text typed by a user.
    const QString typed = QString::fromUtf8(reinterpret_cast<const char*>(data + 1), static_cast<int>(size - 1));
    std::vector<char> buffer(length == 0 ? 1 : length, '\x5a');
    const std::vector<char> untouched = buffer;
    if (!valueToBytes(typed, type, buffer.data(), length).isEmpty()) {
        if (buffer != untouched) {
            std::abort(); // a refused text changed the buffer
        }
    } else if ((type == STRING || type == WSTRING) && bytesToValue(buffer.data(), type, length) != typed) {
        std::abort(); // a written string does not read back whole
    }
    return 0;
}
