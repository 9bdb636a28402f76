#include "Frame.h"

#include "Log.h"

#include <cstring>
#include <limits>
#include <new>

namespace {
// The lengths are 32-bit; a request beyond that cannot be honoured like a failed allocation.
uint32_t CheckedLength(size_t length)
{
    if (length > std::numeric_limits<uint32_t>::max()) {
        throw std::bad_alloc();
    }
    return static_cast<uint32_t>(length);
}
}

Frame::Frame(size_t length, const void* data)
    : storage(new uint8_t[CheckedLength(length)]),
      first(storage.get() + length),
      usable(static_cast<uint32_t>(length)),
      allocated(static_cast<uint32_t>(length))
{
    if (data) {
        if (length) {
            std::memcpy(storage.get(), data, length);
        }
        first = storage.get();
    }
}

Frame& Frame::prepend(const void* data, size_t length)
{
    const size_t room = static_cast<size_t>(first - storage.get());
    if (room < length) {
        const size_t content = size();
        const uint32_t newLength = CheckedLength(static_cast<uint64_t>(usable) + length);
        std::unique_ptr<uint8_t[]> grown(new uint8_t[newLength]);
        if (content) {
            std::memcpy(grown.get() + room + length, first, content);
        }
        storage = std::move(grown);
        usable = newLength;
        allocated = newLength;
        first = storage.get() + room + length;
    }
    first -= length;
    if (length) {
        std::memcpy(first, data, length);
    }
    return *this;
}

Frame& Frame::remove(size_t n)
{
    first += n < size() ? n : size();
    return *this;
}

Frame& Frame::limit(size_t n)
{
    if (n < usable) {
        usable = static_cast<uint32_t>(n);
    }
    first = storage.get();
    return *this;
}

Frame& Frame::reset(size_t n)
{
    if (n > allocated) {
        uint8_t* grown = n <= std::numeric_limits<uint32_t>::max() ? new (std::nothrow) uint8_t[n] : nullptr;
        if (grown) {
            storage.reset(grown);
            allocated = static_cast<uint32_t>(n);
        } else {
            LOG_WARN("Not enough memory to reset frame to " << n << " bytes");
        }
    }
    usable = allocated;
    first = storage.get() + allocated;
    return *this;
}

Frame& Frame::clear()
{
    return remove(size());
}
