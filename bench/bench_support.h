// Helpers shared by the benchmark programs: a minimal answering server on loopback and
// process figures (resident memory, CPU time, wake-ups).
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <string>
#include <thread>
#include <vector>

namespace bench {

// Answers every AMS/TCP frame it receives with one precomputed 50-byte reply (a 4-byte
// Read reply), copying in the request's source address as target and its invoke id. It
// reads whatever the socket holds and answers all complete requests in one send, so its
// cost per request is the same whoever the client is.
class CannedServer {
public:
    // `secure`: secure ADS in pre-shared key mode (identity and password PSK_SECRET), with
    // the connect info and frames in the tunnel's form, answered on the same thread.
    static constexpr const char* PSK_SECRET = "bench";
    explicit CannedServer(bool secure = false);
    ~CannedServer();
    CannedServer(const CannedServer&) = delete;
    CannedServer& operator=(const CannedServer&) = delete;

    std::string HostString() const;
    uint16_t Port() const { return port; }

private:
    void Serve();
    void Answer(int peer);
    void AnswerSecure(int peer);
    // Answers the whole requests of `in` into `out`; false when a frame cannot fit.
    bool AnswerFrames(std::vector<uint8_t>& in, size_t& filled, std::vector<uint8_t>& out) const;

    const bool secure;
    int listener = -1;
    uint16_t port = 0;
    std::atomic<bool> stopping{false};
    std::atomic<int> peerFd{-1};
    std::vector<uint8_t> reply;
    std::thread thread;
};

constexpr size_t kRequestBytes = 50; // a 4-byte Read: 6 + 32 + 12
constexpr size_t kReplyBytes = 50;   // its reply: 6 + 32 + 8 + 4

// A request frame of kRequestBytes with a valid AMS/TCP length, for the raw floor.
std::vector<uint8_t> RawRequest();

int ConnectLoopback(uint16_t port);
bool ReadFully(int fd, uint8_t* p, size_t n);
bool WriteFully(int fd, const uint8_t* p, size_t n);

size_t ResidentBytes();
double ProcessCpuSeconds();
long ProcessContextSwitches();

} // namespace bench
