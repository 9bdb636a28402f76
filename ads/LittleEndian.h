// The one place that knows the byte order of the wire: ADS is little-endian.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <type_traits>

namespace plc::ads::le {

template <typename T>
inline T Read(const uint8_t* p)
{
    static_assert(std::is_integral<T>::value, "integers only");
    using U = std::make_unsigned_t<T>;
    U value = 0;
    for (size_t i = 0; i < sizeof(T); ++i) {
        value |= static_cast<U>(static_cast<U>(p[i]) << (8 * i));
    }
    return static_cast<T>(value);
}

template <typename T>
inline void Write(uint8_t* p, T value)
{
    static_assert(std::is_integral<T>::value, "integers only");
    using U = std::make_unsigned_t<T>;
    const U v = static_cast<U>(value);
    for (size_t i = 0; i < sizeof(T); ++i) {
        p[i] = static_cast<uint8_t>(v >> (8 * i));
    }
}

// Sequential writer over a caller-sized buffer; the caller sizes the buffer for what it writes.
class Writer {
public:
    explicit Writer(uint8_t* p) : pos(p) {}
    template <typename T>
    Writer& Put(T value)
    {
        Write<T>(pos, value);
        pos += sizeof(T);
        return *this;
    }
    Writer& PutBytes(const void* data, size_t n);
    uint8_t* Position() const { return pos; }

private:
    uint8_t* pos;
};

// Sequential reader that never reads past its end: once a read would overrun,
// it returns zeros and Ok() turns false.
class Reader {
public:
    Reader(const uint8_t* p, size_t n) : pos(p), end(p + n) {}
    template <typename T>
    T Get()
    {
        if (Remaining() < sizeof(T)) {
            failed = true;
            pos = end;
            return T{};
        }
        const T v = Read<T>(pos);
        pos += sizeof(T);
        return v;
    }
    bool GetBytes(void* out, size_t n);
    // `length` bytes as a text, then its zero terminator, skipped unread; empty when they are not there.
    std::string GetTerminatedText(size_t length);
    bool Skip(size_t n);
    size_t Remaining() const { return static_cast<size_t>(end - pos); }
    const uint8_t* Position() const { return pos; }
    bool Ok() const { return !failed; }

private:
    const uint8_t* pos;
    const uint8_t* end;
    bool failed = false;
};

inline Writer& Writer::PutBytes(const void* data, size_t n)
{
    const auto* src = static_cast<const uint8_t*>(data);
    for (size_t i = 0; i < n; ++i) {
        pos[i] = src[i];
    }
    pos += n;
    return *this;
}

inline bool Reader::GetBytes(void* out, size_t n)
{
    if (Remaining() < n) {
        failed = true;
        pos = end;
        return false;
    }
    auto* dst = static_cast<uint8_t*>(out);
    for (size_t i = 0; i < n; ++i) {
        dst[i] = pos[i];
    }
    pos += n;
    return true;
}

inline std::string Reader::GetTerminatedText(size_t length)
{
    if (Remaining() < length || Remaining() - length < 1) {
        failed = true;
        pos = end;
        return std::string();
    }
    std::string text(reinterpret_cast<const char*>(pos), length);
    pos += length + 1;
    return text;
}

inline bool Reader::Skip(size_t n)
{
    if (Remaining() < n) {
        failed = true;
        pos = end;
        return false;
    }
    pos += n;
    return true;
}

} // namespace plc::ads::le
