// Byte buffer in which an outgoing AMS packet is assembled back to front: the caller
// places the payload at the end and the transport prepends its headers in place.
#pragma once

#include "LittleEndian.h"

#include <cstddef>
#include <cstdint>
#include <memory>
#include <type_traits>

class Frame {
public:
    // Without data the frame is empty with all `length` bytes free in front.
    explicit Frame(size_t length, const void* data = nullptr);
    Frame(const Frame&) = delete;
    Frame& operator=(const Frame&) = delete;

    // Grows by exactly `length` when the room in front is too small.
    Frame& prepend(const void* data, size_t length);
    // Prepends an integer in wire (little-endian) byte order.
    template <typename T>
    Frame& prepend(T value)
    {
        static_assert(std::is_integral<T>::value, "integers only");
        uint8_t bytes[sizeof(T)];
        plc::ads::le::Write<T>(bytes, value);
        return prepend(bytes, sizeof(T));
    }
    Frame& remove(size_t n);
    Frame& limit(size_t n);
    // Empties the frame with at least n usable bytes; never shrinks the allocation.
    Frame& reset(size_t n);
    Frame& clear();

    size_t size() const { return usable - static_cast<size_t>(first - storage.get()); }
    size_t capacity() const { return usable; }
    uint8_t* data() const { return first; }
    uint8_t* rawData() const { return storage.get(); }
    uint8_t operator[](size_t i) const { return first[i]; }

private:
    std::unique_ptr<uint8_t[]> storage;
    uint8_t* first;
    uint32_t usable;
    uint32_t allocated;
};
