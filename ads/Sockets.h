// Thin layer over POSIX sockets: name resolution, connecting to the first working
// candidate, and reads and writes whose failures become exceptions or a count of 0.
#pragma once

#include "Frame.h"

#include <netdb.h>
#include <sys/socket.h>
#include <sys/time.h>

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <atomic>
#include <stdexcept>
#include <string>
#include <system_error>

namespace plc::ads {

struct AddrInfoDeleter {
    void operator()(addrinfo* list) const { freeaddrinfo(list); }
};
using AddressList = std::unique_ptr<addrinfo, AddrInfoDeleter>;

constexpr const char* INVALID_PORT_TEXT = "Invalid address: port must be 1 to 65535";

// Resolves a host text that may carry a port ("10.1.2.3:851", "[::1]:851"); a port
// in the host text replaces `port`. Throws "Invalid or unknown host: " + host, or
// INVALID_PORT_TEXT for a port that is not a decimal number from 1 to 65535.
AddressList GetListOfAddresses(const std::string& hostAddr, const std::string& port);
// False when the host text carries a port that is not a decimal number from 1 to 65535.
bool HostPortValid(const std::string& hostAddr);

// First IPv4 address of `addr`, host byte order.
uint32_t getIpv4(const std::string& addr);

// A TCP connection that could not be made; what() names the address tried and the system's
// reason: "Cannot connect to 192.168.1.20:48898: connection refused".
class ConnectError : public std::system_error {
public:
    ConnectError(int error, const std::string& address);
    const char* what() const noexcept override { return text.c_str(); }

private:
    std::string text;
};

// A socket address as numbers: "192.168.1.20:48898", "[::1]:851"; empty when it has none.
std::string AddressText(const sockaddr* address, socklen_t length);

// The calling thread's TCP connects give up soon after `*flag` becomes true (set from any
// thread; null for none): a thread being stopped must not wait out a peer that never accepts.
void SetConnectCancelFlag(const std::atomic<bool>* flag);
// Whether the calling thread's flag asks its connects to give up now.
bool ConnectCancelRequested();

// One poll() of `fd` for `events`; a given time-out is reduced by the time spent (null: no limit).
int PollFor(int fd, short events, timeval* timeout, short& revents);
// What is left of `deadline` as a wait for select/poll, never below `minimumUs` microseconds.
timeval TimeLeft(std::chrono::steady_clock::time_point deadline, int64_t minimumUs = 0);
// The host of a host text, without a port or brackets ("10.1.2.3:851" gives 10.1.2.3).
std::string HostPart(const std::string& hostAddr);

} // namespace plc::ads

struct IpV4 {
    explicit IpV4(uint32_t hostOrder) : value(hostOrder) {}
    explicit IpV4(const std::string& addr) : value(plc::ads::getIpv4(addr)) {}
    bool operator<(const IpV4& rhs) const { return value < rhs.value; }
    bool operator==(const IpV4& rhs) const { return value == rhs.value; }
    uint32_t value;
};

class Socket {
public:
    // The one exception that means a wait ran out, not that the connection is gone.
    struct TimeoutEx : std::runtime_error {
        explicit TimeoutEx(const char* what) : std::runtime_error(what) {}
    };

    static constexpr std::chrono::milliseconds DEFAULT_CONNECT_TIMEOUT{5000};

    // Opens (and for a stream socket connects to) the first candidate that works;
    // each connect is bounded by `connectTimeout`. Throws when none works, a
    // plc::ads::ConnectError for the last candidate when a connect was tried.
    Socket(const addrinfo* candidates, int type,
           std::chrono::milliseconds connectTimeout = DEFAULT_CONNECT_TIMEOUT);
    ~Socket();
    Socket(const Socket&) = delete;
    Socket& operator=(const Socket&) = delete;

    // Shuts both directions down; wakes a reader waiting on another thread.
    void Shutdown();
    // Waits until readable: 1 when readable, 0 after an odd wake-up. A given timeout
    // is reduced by the time spent, so several calls can share one bound; null waits
    // forever. Throws TimeoutEx on time-out, runtime_error when the descriptor is closed.
    int Select(timeval* timeout) const;
    // Bytes read (at least 1), or 0 when nothing could be read this time.
    // Throws "connection closed by remote" once the peer has gone.
    size_t read(uint8_t* buffer, size_t maxBytes, timeval* timeout) const;
    size_t read(Frame& frame, timeval* timeout) const;
    // Bytes sent in one call, 0 on failure; never raises SIGPIPE.
    size_t write(const Frame& frame) const;
    // Sends the whole frame unless `timeout` runs out first (it is reduced like in
    // Select); returns the bytes sent, which may be fewer than the frame holds.
    size_t write(const Frame& frame, timeval* timeout) const;
    size_t write(const uint8_t* data, size_t size, timeval* timeout) const;
    // The peer's address as numbers ("10.1.2.3:48898"); empty for an unconnected socket.
    std::string PeerText() const;
    // For a layer that runs its own protocol over the connected descriptor.
    int Descriptor() const { return descriptor; }

protected:
    int descriptor;
    sockaddr_storage peerAddress;
    sockaddr* destination;
    socklen_t destinationLength;
};

class TcpSocket : public Socket {
public:
    // Each candidate gets at most `connectTimeout` to accept the connection.
    explicit TcpSocket(const addrinfo* candidates,
                       std::chrono::milliseconds connectTimeout = DEFAULT_CONNECT_TIMEOUT);
    // Local IPv4 address of the connection in host order (all bits set for IPv6).
    uint32_t Connect() const;
    bool IsConnectedTo(const addrinfo* candidates) const;
};

class UdpSocket : public Socket {
public:
    explicit UdpSocket(const addrinfo* candidates);
};
