// The AMS/TCP receive path, through the public request interface: a listener in this program
// plays the remote router. For every input, requests of five kinds wait on their own local
// ports while three notifications are subscribed; the input is then sent as the router's
// stream, cut into chunks of varying size, and a proper reply to every request follows it.
//
// The harness walks the input as the receiver should (by AMS/TCP length) only to keep it
// usable: it completes a packet the input leaves unfinished, caps absurd lengths, and turns
// invoke ids 1 to 5 into those of the waiting requests. Every request must then finish
// without running into its time-out, read replies must fit their buffers, callbacks must get
// samples of the subscribed size, and the connection must stay up.
#include "ads/AdsRequests.h"
#include "ads/AmsHeader.h"
#include "ads/AmsRouter.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

using namespace plc::ads;
using Clock = std::chrono::steady_clock;

namespace {
constexpr size_t KINDS = 5; // read, read-write, write, read state, read device info
// Generous bounds: a fuzzer at low priority on a busy machine may wait long for the CPU.
constexpr uint32_t TIMEOUT_MS = 20000;
const AmsNetId TARGET_NETID{10, 20, 30, 40, 1, 1};
const AmsAddr TARGET{TARGET_NETID, 851};
constexpr uint32_t NOTIFY_SIZES[] = {1, 4, 81};

void fail() { std::abort(); }

void checkSample(const AmsAddr*, const AdsNotificationHeader* header, uint32_t user)
{
    if (user >= 3 || header->dataSize != NOTIFY_SIZES[user]) {
        fail();
    }
}

bool readAll(int fd, uint8_t* p, size_t n)
{
    while (n > 0) {
        pollfd pfd{fd, POLLIN, 0};
        if (::poll(&pfd, 1, 30000) <= 0) {
            return false;
        }
        const ssize_t r = ::recv(fd, p, n, 0);
        if (r <= 0) {
            return false;
        }
        p += r;
        n -= static_cast<size_t>(r);
    }
    return true;
}

void sendAll(int fd, const uint8_t* p, size_t n)
{
    while (n > 0) {
        const ssize_t r = ::send(fd, p, n, MSG_NOSIGNAL);
        if (r <= 0) {
            fail();
        }
        p += r;
        n -= static_cast<size_t>(r);
    }
}

// One request packet from the stack, as the router sees it. Deletes are passed over: the
// stack sends one unawaited for every notification the input grants to nobody.
AoEHeader readRequest(int fd)
{
    for (;;) {
        uint8_t head[AmsTcpHeader::SIZE + AoEHeader::SIZE];
        if (!readAll(fd, head, sizeof(head))) {
            fail();
        }
        const uint32_t length = AmsTcpHeader::Decode(head).length;
        std::vector<uint8_t> rest(length - AoEHeader::SIZE);
        if (!readAll(fd, rest.data(), rest.size())) {
            fail();
        }
        const AoEHeader request = AoEHeader::Decode(head + AmsTcpHeader::SIZE);
        if (request.cmdId != ADS_CMD_DEL_DEVICE_NOTIFICATION) {
            return request;
        }
    }
}

void appendReply(std::vector<uint8_t>& out, const AoEHeader& request, const std::vector<uint8_t>& data)
{
    const AoEHeader h = request.ResponseTo(static_cast<uint32_t>(data.size()));
    const size_t at = out.size();
    out.resize(at + AmsTcpHeader::SIZE + AoEHeader::SIZE);
    AmsTcpHeader tcp;
    tcp.length = static_cast<uint32_t>(AoEHeader::SIZE + data.size());
    tcp.Encode(out.data() + at);
    h.Encode(out.data() + at + AmsTcpHeader::SIZE);
    out.insert(out.end(), data.begin(), data.end());
}

// A well-formed reply with result 0 for each command kind.
std::vector<uint8_t> replyData(uint16_t cmdId)
{
    switch (cmdId) {
    case ADS_CMD_READ:
    case ADS_CMD_READ_WRITE:
        return {0, 0, 0, 0, 4, 0, 0, 0, 1, 2, 3, 4};
    case ADS_CMD_READ_STATE:
        return {0, 0, 0, 0, 5, 0, 0, 0};
    case ADS_CMD_READ_DEVICE_INFO: {
        std::vector<uint8_t> d(4 + 4 + 16, 0);
        d[4] = 3;
        return d;
    }
    case ADS_CMD_ADD_DEVICE_NOTIFICATION:
        return {0, 0, 0, 0, 0, 0, 0, 0}; // handle filled in by the caller
    default:
        return {0, 0, 0, 0};
    }
}

// Runs one request of its kind per round, on a port of its own.
struct Requester {
    int32_t port = 0;
    size_t kind = 0;
    std::vector<uint8_t> buffer = std::vector<uint8_t>(4);
    uint32_t bytesRead = 0;
    Clock::duration took{};

    void Run()
    {
        const auto start = Clock::now();
        char name[16];
        AdsVersion version{};
        uint16_t adsState = 0;
        uint16_t devState = 0;
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
            AdsSyncReadStateReqEx(port, &TARGET, &adsState, &devState);
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
    int peer = -1;
    std::array<Requester, KINDS> requesters;
    // Requester threads live across inputs; each round wakes those named by the mask.
    std::mutex mutex;
    std::condition_variable cv;
    uint32_t round = 0;
    uint8_t mask = 0;
    size_t finished = 0;
    std::vector<std::thread> threads;

    void Serve(size_t k)
    {
        uint32_t seen = 0;
        std::unique_lock<std::mutex> lock(mutex);
        for (;;) {
            cv.wait(lock, [&] { return round != seen; });
            seen = round;
            if (mask & (1u << k)) {
                lock.unlock();
                requesters[k].Run();
                lock.lock();
                ++finished;
                cv.notify_all();
            }
        }
    }

    Harness()
    {
        const int listener = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in sa{};
        sa.sin_family = AF_INET;
        sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t len = sizeof(sa);
        if (listener < 0 || ::bind(listener, reinterpret_cast<sockaddr*>(&sa), sizeof(sa)) != 0 ||
            ::listen(listener, 1) != 0 || ::getsockname(listener, reinterpret_cast<sockaddr*>(&sa), &len) != 0) {
            fail();
        }
        const std::string host = "127.0.0.1:" + std::to_string(ntohs(sa.sin_port));
        if (AddLocalRoute(TARGET_NETID, host.c_str()) != 0) {
            fail();
        }
        peer = ::accept(listener, nullptr, nullptr);
        ::close(listener);
        const int one = 1;
        if (peer < 0 || ::setsockopt(peer, IPPROTO_TCP, TCP_NODELAY, &one, sizeof(one)) != 0) {
            fail();
        }
        // Port 30000 holds the notifications; the requesters get the next five.
        const int32_t notifyPort = AdsPortOpenEx();
        AdsSyncSetTimeoutEx(notifyPort, TIMEOUT_MS);
        for (size_t k = 0; k < KINDS; ++k) {
            requesters[k].port = AdsPortOpenEx();
            requesters[k].kind = k;
            AdsSyncSetTimeoutEx(requesters[k].port, TIMEOUT_MS);
        }
        for (uint32_t i = 0; i < 3; ++i) {
            std::thread subscriber([&] {
                const AdsNotificationAttrib attrib{NOTIFY_SIZES[i], ADS_TRANS_SERVER_ON_CHANGE, 0, 10000};
                uint32_t handle = 0;
                if (AdsSyncAddDeviceNotificationReqEx(notifyPort, &TARGET, 0x4020, i, &attrib, &checkSample, i,
                                                      &handle) != 0) {
                    fail();
                }
            });
            const AoEHeader request = readRequest(peer);
            std::vector<uint8_t> data = replyData(request.cmdId);
            data[4] = static_cast<uint8_t>(0x11 + i); // handles 0x11, 0x12, 0x13
            std::vector<uint8_t> out;
            appendReply(out, request, data);
            sendAll(peer, out.data(), out.size());
            subscriber.join();
        }
        for (size_t k = 0; k < KINDS; ++k) {
            threads.emplace_back(&Harness::Serve, this, k);
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

        size_t active = 0;
        for (size_t k = 0; k < KINDS; ++k) {
            active += (wanted >> k) & 1u;
        }
        {
            std::lock_guard<std::mutex> lock(mutex);
            mask = wanted;
            finished = 0;
            ++round;
        }
        cv.notify_all();
        std::array<uint32_t, KINDS> ids{};
        std::vector<AoEHeader> requests;
        for (size_t n = 0; n < active; ++n) {
            const AoEHeader request = readRequest(peer);
            const size_t k = static_cast<size_t>(request.sourcePort - requesters[0].port);
            if (k >= KINDS) {
                fail();
            }
            ids[k] = request.invokeId;
            requests.push_back(request);
        }
        std::vector<uint8_t> stream = Stream(data, size, ids);
        for (const AoEHeader& request : requests) {
            appendReply(stream, request, replyData(request.cmdId));
        }
        // Chunks of 1 to 64 bytes, then larger ones, so headers and data arrive split.
        uint32_t x = chunkSeed * 2654435761u + 1;
        for (size_t pos = 0; pos < stream.size();) {
            x = x * 1103515245u + 12345u;
            const size_t chunk = std::min<size_t>(stream.size() - pos, 1 + ((x >> 16) % (pos < 256 ? 64 : 4096)));
            sendAll(peer, stream.data() + pos, chunk);
            pos += chunk;
        }
        {
            std::unique_lock<std::mutex> lock(mutex);
            if (!cv.wait_for(lock, std::chrono::seconds(60), [&] { return finished == active; })) {
                fail();
            }
        }
        for (size_t k = 0; k < KINDS; ++k) {
            // A request that ran into its time-out lost its reply: the stream fell out of step.
            if ((wanted & (1u << k)) && requesters[k].took > std::chrono::milliseconds(TIMEOUT_MS - 1000)) {
                fail();
            }
        }
        const auto connection = GetRouter().GetConnection(TARGET_NETID);
        if (!connection || connection->IsLost()) {
            fail();
        }
    }
};
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    static Harness* const harness = new Harness();
    harness->Round(data, size);
    return 0;
}
