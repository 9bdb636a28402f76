// The simulator's request handling, as a client meets it: one simulator serves every input,
// each input is one client connection's byte stream. The simulator must answer or drop what
// it gets and then close the connection once the client has finished sending, never hang.
#include "tools/sim/PlcSimulator.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>

namespace {
plcsim::PlcSimulator& simulator()
{
    static plcsim::PlcSimulator* const sim = [] {
        auto* s = new plcsim::PlcSimulator();
        s->SetRecordLimit(16);
        s->SetMemory(0x4020, 0, std::vector<uint8_t>(64, 0));
        s->Start("127.0.0.1", 0);
        // Joins the connection threads at exit, so none is left unjoined.
        std::atexit([] { simulator().Stop(); });
        return s;
    }();
    return *sim;
}
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    plcsim::PlcSimulator& sim = simulator();
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    sa.sin_port = htons(sim.Port());
    if (fd < 0 || ::connect(fd, reinterpret_cast<sockaddr*>(&sa), sizeof(sa)) != 0) {
        std::abort();
    }
    // Sends and reads at the same time, so neither side's buffer can stall the other.
    size_t sent = 0;
    bool open = true;
    if (size == 0) {
        ::shutdown(fd, SHUT_WR);
    }
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60); // generous: the CPU may be busy
    uint8_t scratch[65536];
    while (open) {
        if (std::chrono::steady_clock::now() > deadline) {
            std::abort(); // the simulator neither answered nor closed
        }
        pollfd pfd{fd, static_cast<short>(POLLIN | (sent < size ? POLLOUT : 0)), 0};
        if (::poll(&pfd, 1, 1000) <= 0) {
            continue;
        }
        if (pfd.revents & (POLLIN | POLLHUP | POLLERR)) {
            open = ::recv(fd, scratch, sizeof(scratch), MSG_DONTWAIT) > 0 || errno == EAGAIN;
        }
        if (open && sent < size && (pfd.revents & POLLOUT)) {
            const ssize_t n = ::send(fd, data + sent, size - sent, MSG_NOSIGNAL | MSG_DONTWAIT);
            if (n > 0) {
                sent += static_cast<size_t>(n);
                if (sent == size) {
                    ::shutdown(fd, SHUT_WR);
                }
            }
        }
    }
    ::close(fd);
    return 0;
}
