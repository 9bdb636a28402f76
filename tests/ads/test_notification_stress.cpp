// Over a million samples through one connection to the dispatchers of four local ports:
// every sample reaches its own callback exactly once and in order while the sender keeps
// each ring below its capacity.
#include "ads/AdsDevice.h"
#include "ads/AmsHeader.h"
#include "ads/AmsRouter.h"
#include "ads/LittleEndian.h"
#include "support/upper_Notify.h"
#include "tools/sim/PlcSimulator.h"

#include <gtest/gtest.h>

#include <array>
#include <atomic>

using namespace std::chrono_literals;
namespace le = plc::ads::le;

namespace {

const AmsNetId kPlc{10, 50, 0, 1, 1, 1};
constexpr uint32_t kGroup = 0x4020;
constexpr uint32_t kMagic = 0xA5C3E10F;
constexpr size_t kPorts = 4;
constexpr size_t kHandlesPerPort = 2;
constexpr size_t kHandles = kPorts * kHandlesPerPort;

struct Counter {
    std::atomic<uint32_t> handle{0};
    uint32_t next = 0;                // touched only by the one dispatcher thread serving the handle
    std::atomic<uint64_t> received{0};
    std::atomic<uint32_t> initial{0}; // the target's own first sample
};
std::array<Counter, kHandles> counters;
std::atomic<uint64_t> errors{0};

void Count(const AmsAddr*, const AdsNotificationHeader* header, uint32_t user)
{
    if (user >= kHandles || header->dataSize != 8) {
        ++errors;
        return;
    }
    Counter& c = counters[user];
    const auto* data = reinterpret_cast<const uint8_t*>(header + 1);
    const uint32_t seq = le::Read<uint32_t>(data);
    const uint32_t tag = le::Read<uint32_t>(data + 4);
    if (seq == 0 && tag == 0) {
        ++c.initial;
        return;
    }
    if (header->sourceHandle != c.handle.load() || tag != (header->sourceHandle ^ kMagic) || seq != c.next) {
        ++errors;
    }
    c.next = seq + 1;
    c.received.fetch_add(1, std::memory_order_release);
}

// One device-notification packet: `stamps` stamps of `perStamp` samples, alternating
// between the two handles of a port and numbering each handle's samples.
std::vector<uint8_t> Packet(plcsim::NotificationFrame frame, const std::array<uint32_t, 2>& handles,
                            std::array<uint32_t, 2>& nextSeq, size_t stamps, size_t perStamp)
{
    frame.stamps.resize(stamps);
    for (size_t s = 0; s < stamps; ++s) {
        frame.stamps[s].time = s;
        for (size_t i = 0; i < perStamp; ++i) {
            const size_t which = i % 2;
            std::vector<uint8_t> data(8);
            le::Write<uint32_t>(data.data(), nextSeq[which]++);
            le::Write<uint32_t>(data.data() + 4, handles[which] ^ kMagic);
            frame.stamps[s].samples.push_back(plcsim::RawSample{handles[which], std::move(data), std::nullopt});
        }
    }
    return plcsim::BuildNotificationFrame(frame);
}

TEST(NotificationStress, MillionSamplesReachTheirOwnCallbacksOnceAndInOrder)
{
    upper::LogCapture log;
    plcsim::PlcSimulator sim;
    sim.Start();
    sim.SetMemory(kGroup, 0, std::vector<uint8_t>(8 * kHandles, 0));
    const AmsAddr plc{kPlc, 851};

    std::vector<std::unique_ptr<AdsDevice>> devices;
    std::array<std::array<uint32_t, 2>, kPorts> handles{};
    for (size_t p = 0; p < kPorts; ++p) {
        devices.push_back(std::make_unique<AdsDevice>(sim.HostString(), kPlc, 851));
        devices.back()->SetTimeout(3000);
        for (size_t k = 0; k < kHandlesPerPort; ++k) {
            const uint32_t user = static_cast<uint32_t>(p * kHandlesPerPort + k);
            const AdsNotificationAttrib attrib{8, ADS_TRANS_SERVER_ON_CHANGE, 0, 0};
            uint32_t handle = 0;
            ASSERT_EQ(0, AdsSyncAddDeviceNotificationReqEx(devices.back()->GetLocalPort(), &plc, kGroup, 8 * user,
                                                           &attrib, &Count, user, &handle));
            counters[user].handle = handle;
            handles[p][k] = handle;
        }
    }
    EXPECT_EQ(1u, GetRouter().ConnectionCount());
    ASSERT_TRUE(upper::WaitUntil([] {
        for (const auto& c : counters) {
            if (c.initial == 0) {
                return false;
            }
        }
        return true;
    }));

    constexpr size_t stamps = 4;
    constexpr size_t perStamp = 2000;
    constexpr size_t perPacket = stamps * perStamp;
    constexpr size_t rounds = 32; // 32 rounds x 4 ports x 8000 = 1,024,000 samples
    // Never more than 2 MiB of one ring in flight, half its capacity.
    constexpr uint64_t maxInFlight = (2u << 20) / 16;
    std::array<std::array<uint32_t, 2>, kPorts> nextSeq{};
    std::array<uint64_t, kPorts> sent{};
    auto delivered = [](size_t p) {
        return counters[p * 2].received.load(std::memory_order_acquire) +
               counters[p * 2 + 1].received.load(std::memory_order_acquire);
    };

    const auto start = std::chrono::steady_clock::now();
    for (size_t r = 0; r < rounds; ++r) {
        for (size_t p = 0; p < kPorts; ++p) {
            ASSERT_TRUE(upper::WaitUntil([&] { return sent[p] + perPacket - delivered(p) <= maxInFlight; }, 20s))
                << "dispatcher of port " << p << " stalled";
            auto address = sim.FrameForLatestClient();
            ASSERT_TRUE(address.has_value());
            address->target.amsPort = devices[p]->GetLocalPort();
            ASSERT_TRUE(sim.SendRawToLatest(Packet(*address, handles[p], nextSeq[p], stamps, perStamp)));
            sent[p] += perPacket;
        }
    }
    ASSERT_TRUE(upper::WaitUntil(
        [&] {
            for (size_t p = 0; p < kPorts; ++p) {
                if (delivered(p) < sent[p]) {
                    return false;
                }
            }
            return true;
        },
        30s));
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();

    uint64_t total = 0;
    for (size_t i = 0; i < kHandles; ++i) {
        EXPECT_EQ(rounds * perPacket / 2, counters[i].received.load()) << "handle " << i;
        EXPECT_EQ(1u, counters[i].initial.load()) << "handle " << i;
        total += counters[i].received;
    }
    EXPECT_EQ(0u, errors.load());
    EXPECT_GE(total, 1'000'000u);
    EXPECT_FALSE(log.Contains("receive buffer was full"));
    EXPECT_FALSE(log.Contains("No dispatcher found"));
    std::cout << "[ stress   ] " << total << " samples in " << seconds << " s, " << static_cast<uint64_t>(total / seconds)
              << " samples/s" << std::endl;

    devices.clear();
    EXPECT_EQ(0u, GetRouter().ConnectionCount());
}

} // namespace
