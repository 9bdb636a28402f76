// The AMS/TCP receive path, through the public request interface: a silent simulator plays the
// remote router. For every input, requests of five kinds wait on their own local ports while
// three notifications are subscribed; the input is then sent as the router's stream, cut into
// chunks of varying size, and a proper reply to every request follows it.
//
// The harness walks the input as the receiver should (by AMS/TCP length) only to keep it
// usable: it completes a packet the input leaves unfinished, caps absurd lengths, and turns
// invoke ids 1 to 5 into those of the waiting requests. Every request must then finish
// without running into its time-out, read replies must fit their buffers, callbacks must get
// samples of the subscribed size, and the connection must stay up.
#include "ads/AdsRequests.h"
#include "ads/AmsHeader.h"
#include "ads/AmsRouter.h"
#include "tools/sim/PlcSimulator.h"

#include <array>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <thread>
#include <vector>

using namespace plc::ads;
using Clock = std::chrono::steady_clock;

namespace {
constexpr size_t KINDS = 5; // read, read-write, write, read state, read device info
// Generous bounds: a fuzzer at low priority on a busy machine may wait long for the CPU.
constexpr uint32_t TIMEOUT_MS = 20000;
const AmsAddr TARGET{AmsNetId{10, 20, 30, 40, 1, 1}, 851};
constexpr uint32_t NOTIFY_SIZES[] = {1, 4, 81};

void fail() { std::abort(); }

void checkSample(const AmsAddr*, const AdsNotificationHeader* header, uint32_t user)
{
    if (user >= 3 || header->dataSize != NOTIFY_SIZES[user]) {
        fail();
    }
}

// A well-formed reply with result 0 to the request.
std::vector<uint8_t> replyTo(const AoEHeader& request)
{
    std::vector<uint8_t> data{0, 0, 0, 0};
    if (request.cmdId == ADS_CMD_READ || request.cmdId == ADS_CMD_READ_WRITE) {
        data = {0, 0, 0, 0, 4, 0, 0, 0, 1, 2, 3, 4};
    } else if (request.cmdId == ADS_CMD_READ_STATE) {
        data = {0, 0, 0, 0, 5, 0, 0, 0};
    } else if (request.cmdId == ADS_CMD_READ_DEVICE_INFO) {
        data.resize(4 + 4 + 16, 0);
    }
    std::vector<uint8_t> out(AmsTcpHeader::SIZE + AoEHeader::SIZE);
    AmsTcpHeader tcp;
    tcp.length = static_cast<uint32_t>(AoEHeader::SIZE + data.size());
    tcp.Encode(out.data());
    request.ResponseTo(static_cast<uint32_t>(data.size())).Encode(out.data() + AmsTcpHeader::SIZE);
    out.insert(out.end(), data.begin(), data.end());
    return out;
}

// Runs one request of its kind per round, on a port of its own.
struct Requester {
    int32_t port = 0;
    size_t kind = 0;
    std::vector<uint8_t> buffer = std::vector<uint8_t>(4); // on the heap, so an overflow is caught
    uint32_t bytesRead = 0;
    Clock::duration took{};

    void Run()
    {
        const auto start = Clock::now();
        char name[16];
        AdsVersion version{};
        uint16_t states[2] = {};
        const uint8_t value[4] = {9, 8, 7, 6};
        bytesRead = 0;
        switch (kind) {
        case 0:
            AdsSyncReadReqEx2(port, &TARGET, 0x4020, 0, 4, buffer.data(), &bytesRead);
            break;
        case 1:
            AdsSyncReadWriteReqEx2(port, &TARGET, 0xF003, 0, 4, buffer.data(), 4, value, &bytesRead);
            break;
        case 2:
            AdsSyncWriteReqEx(port, &TARGET, 0x4020, 0, 4, value);
            break;
        case 3:
            AdsSyncReadStateReqEx(port, &TARGET, &states[0], &states[1]);
            break;
        default:
            AdsSyncReadDeviceInfoReqEx(port, &TARGET, name, &version);
            break;
        }
        took = Clock::now() - start;
        if (bytesRead > buffer.size()) {
            fail();
        }
    }
};

struct Harness {
    plcsim::PlcSimulator sim;
    std::array<Requester, KINDS> requesters;

    Harness()
    {
        // The notifications at offsets 0, 1, 2 get handles 0x11, 0x12, 0x13, which the inputs name.
        sim.SetMemory(0x4020, 0, std::vector<uint8_t>(128, 0));
        sim.SetRequestHook([](const plcsim::Request& r) -> std::optional<std::vector<uint8_t>> {
            if (r.header.cmdId != ADS_CMD_ADD_DEVICE_NOTIFICATION) {
                return std::nullopt;
            }
            return std::vector<uint8_t>{0, 0, 0, 0, static_cast<uint8_t>(0x11 + r.data.at(4)), 0, 0, 0};
        });
        sim.SetRecordLimit(64);
        sim.Start();
        if (AddLocalRoute(TARGET.amsNetId, sim.HostString().c_str()) != 0) {
            fail();
        }
        // Port 30000 holds the notifications; the requesters get the next five.
        const int32_t notifyPort = AdsPortOpenEx();
        AdsSyncSetTimeoutEx(notifyPort, TIMEOUT_MS);
        for (uint32_t i = 0; i < 3; ++i) {
            const AdsNotificationAttrib attrib{NOTIFY_SIZES[i], ADS_TRANS_SERVER_ON_CHANGE, 0, 10000};
            uint32_t handle = 0;
            if (AdsSyncAddDeviceNotificationReqEx(notifyPort, &TARGET, 0x4020, i, &attrib, &checkSample, i,
                                                  &handle) != 0) {
                fail();
            }
        }
        sim.SetSilent(true);
        for (size_t k = 0; k < KINDS; ++k) {
            requesters[k].port = AdsPortOpenEx();
            requesters[k].kind = k;
            AdsSyncSetTimeoutEx(requesters[k].port, TIMEOUT_MS);
        }
    }

    // The input as a stream the receiver can finish reading, with request ids filled in.
    static std::vector<uint8_t> Stream(const uint8_t* data, size_t size, const std::array<uint32_t, KINDS>& ids)
    {
        std::vector<uint8_t> out;
        size_t pos = 0;
        while (pos < size) {
            uint8_t tcp[AmsTcpHeader::SIZE] = {};
            const size_t headBytes = std::min(size - pos, sizeof(tcp));
            std::memcpy(tcp, data + pos, headBytes);
            pos += headBytes;
            const size_t left = size - pos;
            uint32_t length = AmsTcpHeader::Decode(tcp).length;
            if (length > left + 64) {
                length = static_cast<uint32_t>(left + 64);
                le::Write<uint32_t>(tcp + 2, length);
            }
            out.insert(out.end(), tcp, tcp + sizeof(tcp));
            const size_t at = out.size();
            const size_t taken = std::min<size_t>(length, left);
            out.insert(out.end(), data + pos, data + pos + taken);
            out.resize(at + length, 0);
            pos += taken;
            if (length >= AoEHeader::SIZE) {
                uint8_t* invoke = out.data() + at + 28;
                const uint32_t id = le::Read<uint32_t>(invoke);
                if (id >= 1 && id <= KINDS && ids[id - 1] != 0) {
                    le::Write<uint32_t>(invoke, ids[id - 1]);
                }
            }
        }
        return out;
    }

    void Round(const uint8_t* data, size_t size)
    {
        const uint8_t wanted = (size > 0 ? data[0] : 0x1F) & 0x1F;
        const uint32_t chunkSeed = size > 1 ? data[1] : 0;
        data += std::min<size_t>(size, 2);
        size -= std::min<size_t>(size, 2);

        sim.ClearRequests();
        std::vector<std::thread> running;
        for (size_t k = 0; k < KINDS; ++k) {
            if (wanted & (1u << k)) {
                running.emplace_back(&Requester::Run, &requesters[k]);
            }
        }
        const size_t active = running.size();
        // The stack's deletes of notifications granted to nobody are passed over.
        std::vector<AoEHeader> requests;
        const bool sent = sim.WaitForRequests(
            [&](const std::vector<plcsim::Request>& all) {
                requests.clear();
                for (const plcsim::Request& r : all) {
                    if (r.header.cmdId != ADS_CMD_DEL_DEVICE_NOTIFICATION) {
                        requests.push_back(r.header);
                    }
                }
                return requests.size() >= active;
            },
            std::chrono::seconds(60));
        std::array<uint32_t, KINDS> ids{};
        for (const AoEHeader& request : requests) {
            const size_t k = static_cast<size_t>(request.sourcePort - requesters[0].port);
            if (!sent || k >= KINDS) {
                fail();
            }
            ids[k] = request.invokeId;
        }
        std::vector<uint8_t> stream = Stream(data, size, ids);
        for (const AoEHeader& request : requests) {
            const std::vector<uint8_t> reply = replyTo(request);
            stream.insert(stream.end(), reply.begin(), reply.end());
        }
        // Chunks of 1 to 64 bytes, then larger ones, so headers and data arrive split.
        uint32_t x = chunkSeed * 2654435761u + 1;
        for (size_t pos = 0; pos < stream.size();) {
            x = x * 1103515245u + 12345u;
            const size_t chunk = std::min<size_t>(stream.size() - pos, 1 + ((x >> 16) % (pos < 256 ? 64 : 4096)));
            if (!sim.SendRawToLatest(std::vector<uint8_t>(stream.begin() + pos, stream.begin() + pos + chunk))) {
                fail();
            }
            pos += chunk;
        }
        for (std::thread& t : running) {
            t.join(); // bounded by the requests' time-out
        }
        for (size_t k = 0; k < KINDS; ++k) {
            // A request that ran into its time-out lost its reply: the stream fell out of step.
            if ((wanted & (1u << k)) && requesters[k].took > std::chrono::milliseconds(TIMEOUT_MS - 1000)) {
                fail();
            }
        }
        if (GetConnectionCounters(TARGET.amsNetId).connection == 0) {
            fail();
        }
    }
};
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    static Harness* const harness = [] {
        static Harness* const made = new Harness();
        // Joins the simulator's threads at exit, so none is left unjoined.
        std::atexit([] { made->sim.Stop(); });
        return made;
    }();
    harness->Round(data, size);
    return 0;
}
