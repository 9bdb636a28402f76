// The byte ring between the receive thread and a dispatcher: byte-exact wrap-around and
// the contiguous write windows the receive thread reads the socket into.
#include "ads/NotificationDispatcher.h"
#include "support/upper_Notify.h"

#include <gtest/gtest.h>

#include <algorithm>


namespace {

// Moves both positions to `offset` in an empty ring.
void MoveTo(RingBuffer& ring, size_t offset)
{
    std::vector<uint8_t> junk(offset);
    ring.Write(junk.data(), junk.size());
    ring.Skip(junk.size());
}

TEST(Ring, WritesAndReadsWrapByteExactlyAtEveryOffset)
{
    constexpr size_t capacity = 17;
    for (size_t offset = 0; offset < capacity; ++offset) {
        for (size_t n = 1; n < capacity; ++n) {
            RingBuffer ring(capacity);
            MoveTo(ring, offset);
            const auto data = upper::Pattern(n, static_cast<uint8_t>(offset * 31 + n));
            ring.Write(data.data(), data.size());
            ASSERT_EQ(n, ring.BytesUsed()) << "offset " << offset << " n " << n;
            std::vector<uint8_t> out(n);
            ring.Read(out.data(), n);
            ASSERT_EQ(data, out) << "offset " << offset << " n " << n;
            ASSERT_EQ(0u, ring.BytesUsed());
        }
    }
}

// The receive thread reads the socket straight into WritePointer(); after reserving the
// free space, two windows must take exactly that space and never make the ring look empty.
TEST(Ring, TwoWriteWindowsCoverTheFreeSpaceAtEveryOffset)
{
    constexpr size_t capacity = 13;
    for (size_t readAt = 0; readAt < capacity; ++readAt) {
        for (size_t used = 0; used < capacity; ++used) {
            RingBuffer ring(capacity);
            MoveTo(ring, readAt);
            std::vector<uint8_t> fill(used, 0xEE);
            ring.Write(fill.data(), fill.size());
            const size_t free = ring.BytesFree();
            ASSERT_TRUE(ring.Reserve(free));
            size_t total = 0;
            for (int piece = 0; piece < 2; ++piece) {
                const size_t chunk = ring.WriteChunk();
                for (size_t i = 0; i < chunk; ++i) {
                    ring.WritePointer()[i] = static_cast<uint8_t>(total + i);
                }
                ring.CommitWrite(chunk);
                total += chunk;
            }
            ASSERT_EQ(free, total) << "read at " << readAt << " used " << used;
            ASSERT_EQ(capacity - 1, ring.BytesUsed());
            std::vector<uint8_t> out(capacity - 1);
            ring.Read(out.data(), out.size());
            for (size_t i = 0; i < total; ++i) {
                ASSERT_EQ(static_cast<uint8_t>(i), out[used + i]);
            }
        }
    }
}

// Storage follows the backlog: a burst makes it grow (bytes kept across every move), the
// small frames after it make it shrink, and a full capacity is still reachable.
TEST(Ring, StorageGrowsWithTheBacklogAndShrinksAfterIt)
{
    constexpr size_t capacity = 1 << 20;
    RingBuffer ring(capacity);
    EXPECT_EQ(0u, ring.Allocated());
    std::vector<uint8_t> expected;
    for (size_t k = 0; k < 300; ++k) {
        const auto frame = upper::Pattern(1000, static_cast<uint8_t>(k));
        ring.Write(frame.data(), frame.size());
        expected.insert(expected.end(), frame.begin(), frame.end());
        if (k % 7 == 0) { // the consumer lags and catches up a little
            std::vector<uint8_t> out(500);
            ring.Read(out.data(), out.size());
            ASSERT_TRUE(std::equal(out.begin(), out.end(), expected.begin()));
            expected.erase(expected.begin(), expected.begin() + 500);
        }
    }
    ASSERT_EQ(expected.size(), ring.BytesUsed());
    EXPECT_GE(ring.Allocated(), expected.size());
    std::vector<uint8_t> out(expected.size());
    ring.Read(out.data(), out.size());
    ASSERT_EQ(expected, out);

    for (size_t k = 0; k < 3000; ++k) {
        const auto frame = upper::Pattern(60, static_cast<uint8_t>(k));
        ring.Write(frame.data(), frame.size());
        std::vector<uint8_t> back(frame.size());
        ring.Read(back.data(), back.size());
        ASSERT_EQ(frame, back) << "frame " << k;
    }
    EXPECT_LE(ring.Allocated(), 4096u);

    const auto full = upper::Pattern(capacity - 1, 3);
    ring.Write(full.data(), full.size());
    EXPECT_EQ(capacity - 1, ring.BytesUsed());
    EXPECT_EQ(0u, ring.BytesFree());
    out.resize(full.size());
    ring.Read(out.data(), out.size());
    EXPECT_EQ(full, out);
}

} // namespace
