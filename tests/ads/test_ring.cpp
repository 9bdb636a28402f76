// The byte ring between the receive thread and a dispatcher: accounting, byte-exact
// wrap-around, the contiguous write window, and one producer with one consumer.
#include "ads/NotificationDispatcher.h"
#include "support/upper_Notify.h"

#include <gtest/gtest.h>

#include <random>
#include <thread>

namespace {

// Moves both positions to `offset` in an empty ring.
void MoveTo(RingBuffer& ring, size_t offset)
{
    std::vector<uint8_t> junk(offset);
    ring.Write(junk.data(), junk.size());
    ring.Skip(junk.size());
}

TEST(Ring, OneByteStaysFreeSoFullDiffersFromEmpty)
{
    RingBuffer ring(10);
    EXPECT_EQ(0u, ring.BytesUsed());
    EXPECT_EQ(9u, ring.BytesFree());
    const auto data = upper::Pattern(9, 1);
    ring.Write(data.data(), data.size());
    EXPECT_EQ(9u, ring.BytesUsed());
    EXPECT_EQ(0u, ring.BytesFree());
    EXPECT_EQ(0u, ring.WriteChunk());

    std::vector<uint8_t> out(4);
    ring.Read(out.data(), out.size());
    EXPECT_EQ(std::vector<uint8_t>(data.begin(), data.begin() + 4), out);
    EXPECT_EQ(4u, ring.BytesFree());
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

// The receive thread reads the socket straight into WritePointer(); two windows must
// take exactly the free space and never make the ring look empty.
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

TEST(Ring, OneProducerOneConsumerKeepOrder)
{
    RingBuffer ring(257);
    constexpr size_t total = 2'000'000;
    std::thread producer([&] {
        std::minstd_rand random(7);
        size_t sent = 0;
        while (sent < total) {
            const size_t chunk = std::min({ring.WriteChunk(), total - sent, size_t{1} + random() % 100});
            if (chunk == 0) {
                std::this_thread::yield();
                continue;
            }
            for (size_t i = 0; i < chunk; ++i) {
                ring.WritePointer()[i] = static_cast<uint8_t>((sent + i) % 251);
            }
            ring.CommitWrite(chunk);
            sent += chunk;
        }
    });
    size_t received = 0;
    size_t misplaced = 0;
    uint8_t buffer[64];
    while (received < total) {
        const size_t n = std::min({ring.BytesUsed(), sizeof(buffer), total - received});
        if (n == 0) {
            std::this_thread::yield();
            continue;
        }
        ring.Read(buffer, n);
        for (size_t i = 0; i < n; ++i) {
            misplaced += buffer[i] != static_cast<uint8_t>((received + i) % 251);
        }
        received += n;
    }
    producer.join();
    EXPECT_EQ(0u, misplaced);
}

} // namespace
