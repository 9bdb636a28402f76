// The outgoing packet buffer: filled from the back, grows only when it must.
#include "ads/Frame.h"

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

namespace {

std::vector<uint8_t> Content(const Frame& frame)
{
    return std::vector<uint8_t>(frame.data(), frame.data() + frame.size());
}

TEST(Frame, HeadersPrependedIntoReservedRoomWithoutReallocation)
{
    Frame frame(50, nullptr);
    EXPECT_EQ(frame.size(), 0u);
    EXPECT_EQ(frame.capacity(), 50u);
    const uint8_t* const storage = frame.rawData();

    const std::vector<uint8_t> payload(12, 0xAA), ams(32, 0xBB), tcp(6, 0xCC);
    frame.prepend(payload.data(), payload.size()).prepend(ams.data(), ams.size()).prepend(tcp.data(), tcp.size());

    EXPECT_EQ(frame.size(), 50u);
    EXPECT_EQ(frame.rawData(), storage);
    EXPECT_EQ(frame.data(), frame.rawData());
    EXPECT_EQ(frame[0], 0xCC);
    EXPECT_EQ(frame[6], 0xBB);
    EXPECT_EQ(frame[38], 0xAA);
}

TEST(Frame, IntegersArePrependedLittleEndian)
{
    Frame frame(6, nullptr);
    frame.prepend<uint32_t>(0x04030201).prepend<uint16_t>(0x0605);
    EXPECT_EQ(Content(frame), (std::vector<uint8_t>{0x05, 0x06, 0x01, 0x02, 0x03, 0x04}));
}

TEST(Frame, GrowthAddsExactlyTheNewLengthAndKeepsRoomInFront)
{
    Frame frame(5, nullptr);
    const uint8_t old[] = {1, 2};
    frame.prepend(old, sizeof(old)); // 3 bytes of room left in front
    const uint8_t added[] = {10, 11, 12, 13, 14, 15, 16, 17};
    frame.prepend(added, sizeof(added));

    EXPECT_EQ(frame.capacity(), 13u);
    EXPECT_EQ(frame.data() - frame.rawData(), 3);
    EXPECT_EQ(Content(frame), (std::vector<uint8_t>{10, 11, 12, 13, 14, 15, 16, 17, 1, 2}));

    // The kept room is used by the next prepend without growing again.
    const uint8_t more[] = {7, 8, 9};
    frame.prepend(more, sizeof(more));
    EXPECT_EQ(frame.capacity(), 13u);
    EXPECT_EQ(frame.data(), frame.rawData());
    EXPECT_EQ(frame[0], 7);
    EXPECT_EQ(frame[12], 2);
}

TEST(Frame, RemoveAndLimitClamp)
{
    const uint8_t bytes[] = {1, 2, 3, 4};
    Frame frame(4, bytes);
    EXPECT_EQ(frame.size(), 4u);
    EXPECT_EQ(frame[0], 1);

    frame.remove(1);
    EXPECT_EQ(Content(frame), (std::vector<uint8_t>{2, 3, 4}));
    frame.remove(100);
    EXPECT_EQ(frame.size(), 0u);
    EXPECT_EQ(frame.data(), frame.rawData() + 4);

    Frame received(60, nullptr);
    std::memset(received.rawData(), 0x5A, 60);
    received.limit(100);
    EXPECT_EQ(received.capacity(), 60u);
    EXPECT_EQ(received.size(), 60u);
    received.limit(10);
    EXPECT_EQ(received.capacity(), 10u);
    EXPECT_EQ(received.size(), 10u);
    EXPECT_EQ(received.data(), received.rawData());
    received.clear();
    EXPECT_EQ(received.size(), 0u);
    EXPECT_EQ(received.capacity(), 10u);
}

TEST(Frame, ResetKeepsStorageAndUndoesLimit)
{
    Frame frame(64, nullptr);
    const uint8_t* const storage = frame.rawData();
    frame.limit(8);
    ASSERT_EQ(frame.capacity(), 8u);

    frame.reset(32);
    EXPECT_EQ(frame.rawData(), storage);
    EXPECT_EQ(frame.capacity(), 64u);
    EXPECT_EQ(frame.size(), 0u);

    frame.reset(200);
    EXPECT_EQ(frame.capacity(), 200u);
    EXPECT_EQ(frame.size(), 0u);
    const uint8_t byte = 9;
    frame.prepend(&byte, 1);
    EXPECT_EQ(frame.data(), frame.rawData() + 199);
}

TEST(Frame, GrowthAfterLimitSizesFromTheUsableLength)
{
    Frame frame(100, nullptr);
    frame.limit(4); // holds 4 bytes, no room in front
    const uint8_t head[] = {1, 2};
    frame.prepend(head, sizeof(head));
    EXPECT_EQ(frame.capacity(), 6u);
    EXPECT_EQ(frame.size(), 6u);
    EXPECT_EQ(frame[0], 1);
}

} // namespace
