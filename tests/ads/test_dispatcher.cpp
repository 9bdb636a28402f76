// The dispatcher thread's parser, fed through small rings: frames split at every byte,
// frames queued while the thread is busy, stale handles, wrong sizes, malformed frames
// from a hostile peer, and destruction with frames still queued.
#include "ads/LittleEndian.h"
#include "ads/NotificationDispatcher.h"
#include "support/upper_Notify.h"

#include <gtest/gtest.h>

#include <chrono>
#include <functional>
#include <thread>

using upper::Enqueue;
using upper::NotificationPayload;
using upper::Pattern;
using upper::Recorder;
using upper::SampleDesc;
using upper::StampDesc;

namespace {

const AmsAddr kTarget{AmsNetId{192, 168, 0, 10, 1, 1}, 851};
constexpr uint16_t kLocalPort = 30003;

struct DeleteLog {
    std::mutex mutex;
    std::vector<std::pair<uint32_t, uint32_t>> calls; // handle, time-out
    int32_t result = 0;

    NotificationDispatcher::DeleteNotificationFunc Func()
    {
        return [this](uint32_t handle, uint32_t timeout) {
            std::lock_guard<std::mutex> lock(mutex);
            calls.emplace_back(handle, timeout);
            return result;
        };
    }
};

class Dispatcher : public ::testing::Test {
protected:
    void SetUp() override { Recorder::Get().Reset(); }
    void TearDown() override { Recorder::Get().Release(); }

    std::shared_ptr<Notification> Subscribe(NotificationDispatcher& d, uint32_t handle, uint32_t size, uint32_t user)
    {
        auto n = std::make_shared<Notification>(&Recorder::Callback, user, size, kTarget, kLocalPort);
        n->SetHandle(handle);
        d.Emplace(handle, n);
        return n;
    }

    static bool Drained(NotificationDispatcher& d)
    {
        return upper::WaitUntil([&] { return d.ring.BytesUsed() == 0; });
    }

    DeleteLog deletes;
};

// Entries of 52 bytes in a 53-byte ring: frame k starts at offset -k mod 53, so the
// 53 frames start at every offset and the block's end falls on every byte of a frame
// (inside the length field, the counts, a handle, a size and sample data); frame 1 ends
// exactly on the block's last byte.
TEST_F(Dispatcher, FramesSplitAtEveryByteOfTheRingAreReadIntact)
{
    NotificationDispatcher d(deletes.Func(), 53);
    Subscribe(d, 0x1111, 5, 7);
    Subscribe(d, 0x2222, 7, 8);
    for (uint32_t k = 0; k < 53; ++k) {
        const auto a = Pattern(5, static_cast<uint8_t>(k));
        const auto b = Pattern(7, static_cast<uint8_t>(100 + k));
        const auto payload = NotificationPayload({{1000u + k, {{0x1111, a}, {0x2222, b}}}});
        ASSERT_EQ(48u, payload.size());
        ASSERT_TRUE(Drained(d));
        Enqueue(d, payload);
        ASSERT_TRUE(Recorder::Get().WaitForCount(2 * (k + 1))) << "frame " << k;
        const auto got = Recorder::Get().Samples();
        const auto& first = got[2 * k];
        const auto& second = got[2 * k + 1];
        EXPECT_EQ(a, first.data) << "frame " << k;
        EXPECT_EQ(b, second.data) << "frame " << k;
        EXPECT_EQ(0x1111u, first.handle);
        EXPECT_EQ(0x2222u, second.handle);
        EXPECT_EQ(7u, first.user);
        EXPECT_EQ(8u, second.user);
        EXPECT_EQ(1000u + k, first.time);
        EXPECT_EQ(1000u + k, second.time);
        EXPECT_EQ(kTarget, first.source);
    }
    EXPECT_TRUE(Drained(d));
}

TEST_F(Dispatcher, FramesQueuedWhileTheThreadIsBusyAreAllProcessed)
{
    NotificationDispatcher d(deletes.Func(), 1024);
    Subscribe(d, 5, 4, 55);
    Recorder::Get().HoldNext();
    Enqueue(d, NotificationPayload({{1, {{5, Pattern(4, 1)}}}}));
    ASSERT_TRUE(Recorder::Get().WaitUntilHeld());
    Enqueue(d, NotificationPayload({{2, {{5, Pattern(4, 2)}}}}));
    Enqueue(d, NotificationPayload({{3, {{5, Pattern(4, 3)}}}}));
    Recorder::Get().Release();
    ASSERT_TRUE(Recorder::Get().WaitForCount(3));
    const auto got = Recorder::Get().Samples();
    for (size_t i = 0; i < 3; ++i) {
        EXPECT_EQ(i + 1, got[i].time);
        EXPECT_EQ(Pattern(4, static_cast<uint8_t>(i + 1)), got[i].data);
    }
}

TEST_F(Dispatcher, ErasedAndUnknownHandlesAreSkippedWithoutLosingTheRest)
{
    NotificationDispatcher d(deletes.Func(), 1024);
    Subscribe(d, 1, 4, 10);
    Subscribe(d, 2, 2, 20);

    deletes.result = ADS_ERR_SYNC_TIMEOUT;
    EXPECT_EQ(ADS_ERR_SYNC_TIMEOUT, d.Erase(1, 1234));
    ASSERT_EQ(1u, deletes.calls.size());
    EXPECT_EQ(std::make_pair(1u, 1234u), deletes.calls[0]);
    EXPECT_EQ(nullptr, d.Find(1)) << "forgotten even though the delete failed";

    Enqueue(d, NotificationPayload({{9, {{1, Pattern(4, 1)}, {2, Pattern(2, 2)}, {77, Pattern(9, 3)}}},
                                    {10, {{1, Pattern(4, 4)}, {2, Pattern(2, 5)}}}}));
    ASSERT_TRUE(Drained(d));
    ASSERT_TRUE(Recorder::Get().WaitForCount(2));
    const auto got = Recorder::Get().Samples();
    ASSERT_EQ(2u, got.size());
    EXPECT_EQ(Pattern(2, 2), got[0].data);
    EXPECT_EQ(9u, got[0].time);
    EXPECT_EQ(Pattern(2, 5), got[1].data);
    EXPECT_EQ(10u, got[1].time);
}

TEST_F(Dispatcher, EmplaceKeepsTheFirstEntryAndEraseNeedsADeleteFunction)
{
    NotificationDispatcher d(deletes.Func(), 64);
    const auto first = Subscribe(d, 3, 4, 1);
    Subscribe(d, 3, 4, 2);
    EXPECT_EQ(first, d.Find(3));

    NotificationDispatcher noDelete(nullptr, 64);
    EXPECT_THROW(noDelete.Erase(3, 10), std::bad_function_call);
}

TEST_F(Dispatcher, WrongSampleSizeDropsTheRestOfItsFrameOnly)
{
    upper::LogCapture log;
    NotificationDispatcher d(deletes.Func(), 1024);
    Subscribe(d, 1, 4, 10);
    Enqueue(d, NotificationPayload({{1, {{1, Pattern(4, 1)}, {1, Pattern(3, 2)}, {1, Pattern(4, 3)}}},
                                    {2, {{1, Pattern(4, 4)}}}}));
    Enqueue(d, NotificationPayload({{3, {{1, Pattern(4, 5)}}}}));
    ASSERT_TRUE(Recorder::Get().WaitForCount(2));
    ASSERT_TRUE(Drained(d));
    const auto got = Recorder::Get().Samples();
    ASSERT_EQ(2u, got.size());
    EXPECT_EQ(Pattern(4, 1), got[0].data);
    EXPECT_EQ(Pattern(4, 5), got[1].data);
    EXPECT_TRUE(log.Contains("Notification sample size: 3 doesn't match: 4")) << log.Text();
}

// Whatever a peer claims, parsing stops at the frame's end and the next frame is intact.
TEST_F(Dispatcher, MalformedFramesLoseOnlyThemselves)
{
    struct Case {
        const char* name;
        std::vector<uint8_t> payload;
        size_t delivered; // good samples of the malformed frame itself
    };
    const auto good = Pattern(4, 0x40);
    auto cut = [](std::vector<uint8_t> v, size_t n) {
        v.resize(v.size() - n);
        return v;
    };
    auto withStreamLength = [](std::vector<uint8_t> v, uint32_t n) {
        plc::ads::le::Write<uint32_t>(v.data(), n);
        return v;
    };
    const std::vector<Case> cases = {
        {"empty", {}, 0},
        {"only the stream length", Pattern(4, 0), 0},
        {"seven bytes", Pattern(7, 0), 0},
        {"stamp count overruns", NotificationPayload({{1, {{1, good}}}}, 1000), 1},
        {"stamp count 2^32-1", NotificationPayload({{1, {{1, good}}}}, 0xFFFFFFFF), 1},
        {"sample count overruns", NotificationPayload({{1, {{1, good}}, 0xFFFFFFFF}}), 1},
        {"sample larger than the rest", NotificationPayload({{1, {{1, good}, {1, good, 0xFFFFFFF0}}}}), 1},
        {"unknown handle's sample larger than the rest", NotificationPayload({{1, {{99, good, 5000}}}}), 0},
        {"cut inside a size field", cut(NotificationPayload({{1, {{1, good}, {1, good}}}}), 6), 1},
        {"cut inside a handle field", cut(NotificationPayload({{1, {{1, good}, {1, good}}}}), 10), 1},
        {"cut inside a stamp", cut(NotificationPayload({{1, {}}}), 3), 0},
        {"stream length lies", withStreamLength(NotificationPayload({{1, {{1, good}}}}), 0xFFFFFFFF), 1},
        {"bytes after the last stamp", [&] {
             auto v = NotificationPayload({{1, {{1, good}}}});
             v.insert(v.end(), 13, 0xFF);
             return v;
         }(), 1},
    };

    NotificationDispatcher d(deletes.Func(), 4096);
    Subscribe(d, 1, 4, 10);
    const auto next = Pattern(4, 0x70);
    size_t expected = 0;
    for (const auto& c : cases) {
        Enqueue(d, c.payload);
        Enqueue(d, NotificationPayload({{2, {{1, next}}}}));
        expected += c.delivered + 1;
        ASSERT_TRUE(Recorder::Get().WaitForCount(expected)) << c.name;
        ASSERT_TRUE(Drained(d)) << c.name;
        const auto got = Recorder::Get().Samples();
        ASSERT_EQ(expected, got.size()) << c.name;
        for (size_t i = expected - 1 - c.delivered; i + 1 < expected; ++i) {
            EXPECT_EQ(good, got[i].data) << c.name;
        }
        EXPECT_EQ(next, got.back().data) << c.name;
        EXPECT_EQ(2u, got.back().time) << c.name;
    }
}

// A subscription holds the dispatcher until its handle is known, so a sample sent right
// after the grant is delivered instead of skipped.
TEST_F(Dispatcher, HeldDispatcherParsesQueuedFramesOnlyAfterRelease)
{
    NotificationDispatcher d(deletes.Func(), 1024);
    d.Hold();
    Enqueue(d, NotificationPayload({{1, {{9, Pattern(4, 9)}}}}));
    Subscribe(d, 9, 4, 90);
    d.Unhold();
    ASSERT_TRUE(Recorder::Get().WaitForCount(1));
    EXPECT_EQ(90u, Recorder::Get().Samples()[0].user);

    auto held = std::make_unique<NotificationDispatcher>(deletes.Func(), 1024);
    held->Hold();
    Enqueue(*held, NotificationPayload({{1, {{9, Pattern(4, 9)}}}}));
    const auto start = std::chrono::steady_clock::now();
    held.reset();
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(1)) << "a hold never blocks destruction";
    EXPECT_EQ(1u, Recorder::Get().Count());
}

TEST_F(Dispatcher, DestructionDropsQueuedFramesWithoutCallbacks)
{
    auto d = std::make_unique<NotificationDispatcher>(deletes.Func(), 1024);
    Subscribe(*d, 1, 4, 10);
    Recorder::Get().HoldNext();
    Enqueue(*d, NotificationPayload({{1, {{1, Pattern(4, 1)}}}}));
    ASSERT_TRUE(Recorder::Get().WaitUntilHeld());
    Enqueue(*d, NotificationPayload({{2, {{1, Pattern(4, 2)}}}}));
    Enqueue(*d, NotificationPayload({{3, {{1, Pattern(4, 3)}}}}));

    NotificationDispatcher* raw = d.get();
    std::thread destroyer([&] { d.reset(); });
    ASSERT_TRUE(upper::WaitUntil([&] { return raw->StopRequested(); }));
    Recorder::Get().Release();
    destroyer.join();
    EXPECT_EQ(1u, Recorder::Get().Count());
    EXPECT_TRUE(deletes.calls.empty()) << "destruction sends no delete requests";
}

TEST_F(Dispatcher, DestroyingAnIdleDispatcherReturnsPromptly)
{
    const auto start = std::chrono::steady_clock::now();
    {
        NotificationDispatcher d(deletes.Func());
        Subscribe(d, 1, 4, 10);
    }
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(1));
}

} // namespace
