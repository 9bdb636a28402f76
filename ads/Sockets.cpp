#include "Sockets.h"

#include "Log.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <climits>
#include <cstring>
#include <system_error>

namespace {

using Clock = std::chrono::steady_clock;

const addrinfo IPV4_HINTS = [] {
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_protocol = IPPROTO_TCP;
    return hints;
}();

std::string ErrorText(int error)
{
    return std::system_category().message(error);
}

int64_t Microseconds(const timeval& t)
{
    const int64_t us = static_cast<int64_t>(t.tv_sec) * 1000000 + t.tv_usec;
    return us > 0 ? us : 0;
}

void SetMicroseconds(timeval& t, int64_t us)
{
    us = std::max<int64_t>(us, 0);
    t.tv_sec = static_cast<decltype(t.tv_sec)>(us / 1000000);
    t.tv_usec = static_cast<decltype(t.tv_usec)>(us % 1000000);
}

// One poll() of one descriptor. A given timeout is reduced by the time spent; it is
// rounded up to whole milliseconds so that a wait never ends before it is due.
int WaitFor(int fd, short events, timeval* timeout, short& revents)
{
    pollfd entry{fd, events, 0};
    for (;;) {
        int ms = -1;
        if (timeout) {
            const int64_t us = Microseconds(*timeout);
            ms = static_cast<int>(std::min<int64_t>((us + 999) / 1000, INT_MAX));
        }
        const auto start = Clock::now();
        entry.revents = 0;
        const int result = poll(&entry, 1, ms);
        const int error = errno;
        if (timeout) {
            const auto used = std::chrono::duration_cast<std::chrono::microseconds>(Clock::now() - start);
            SetMicroseconds(*timeout, Microseconds(*timeout) - used.count());
            // A bound longer than poll() can express takes several rounds.
            if (result == 0 && Microseconds(*timeout) > 0) {
                continue;
            }
        }
        revents = entry.revents;
        errno = error;
        return result;
    }
}

constexpr auto CONNECT_CANCEL_SLICE = std::chrono::milliseconds(50);
thread_local const std::atomic<bool>* connectCancel = nullptr;

// Non-blocking connect bounded by `timeout`; the descriptor is blocking again on success.
bool ConnectBounded(int fd, const sockaddr* address, socklen_t length, std::chrono::milliseconds timeout,
                    int& error)
{
    const int flags = fcntl(fd, F_GETFL, 0);
    if (flags < 0 || fcntl(fd, F_SETFL, flags | O_NONBLOCK) < 0) {
        error = errno;
        return false;
    }
    if (connect(fd, address, length) != 0) {
        if (errno != EINPROGRESS) {
            error = errno;
            return false;
        }
        const auto deadline = Clock::now() + timeout;
        for (;;) {
            if (connectCancel && connectCancel->load()) {
                error = ECANCELED;
                return false;
            }
            const auto now = Clock::now();
            if (now >= deadline) {
                error = ETIMEDOUT;
                return false;
            }
            // In slices, so that a cancel is seen soon.
            timeval left{};
            SetMicroseconds(left, std::chrono::duration_cast<std::chrono::microseconds>(
                                      std::min<Clock::duration>(deadline - now, CONNECT_CANCEL_SLICE))
                                      .count());
            short revents = 0;
            const int result = WaitFor(fd, POLLOUT, &left, revents);
            if (result > 0) {
                break;
            }
            if (result == 0) {
                continue;
            }
            if (errno != EINTR) {
                error = errno;
                return false;
            }
        }
        int soError = 0;
        socklen_t soLength = sizeof(soError);
        if (getsockopt(fd, SOL_SOCKET, SO_ERROR, &soError, &soLength) != 0) {
            soError = errno;
        }
        if (soError != 0) {
            error = soError;
            return false;
        }
    }
    if (fcntl(fd, F_SETFL, flags) < 0) {
        error = errno;
        return false;
    }
    return true;
}

} // namespace

namespace plc::ads {

namespace {
// Takes a port off the host text ("10.1.2.3:851", "[::1]:851") into `service`, and the brackets
// off an IPv6 address; a bare IPv6 address ("fe80::1") carries no port. True when it carried one.
bool SplitHostText(std::string& host, std::string& service)
{
    bool hadPort = false;
    if (!host.empty()) {
        const auto lastColon = host.rfind(':');
        const auto firstColon = host.find(':');
        const auto lastBracket = host.rfind(']');
        // Several colons without a closing bracket after the last one: a bare IPv6 address.
        const bool bareIpv6 =
            lastColon != firstColon && (lastBracket == std::string::npos || lastColon < lastBracket);
        if (!bareIpv6 && lastColon != std::string::npos) {
            service = host.substr(lastColon + 1);
            host.erase(lastColon);
            hadPort = true;
        }
        if (!host.empty() && host.back() == ']') {
            host.pop_back();
        }
        if (!host.empty() && host.front() == '[') {
            host.erase(0, 1);
        }
    }
    return hadPort;
}

// A TCP port as decimal digits, 1 to 65535; a wider value must not wrap to another port.
bool PortTextValid(const std::string& service)
{
    if (service.empty() || service.size() > 5 ||
        !std::all_of(service.begin(), service.end(), [](char c) { return c >= '0' && c <= '9'; })) {
        return false;
    }
    const unsigned long value = std::stoul(service);
    return value >= 1 && value <= 65535;
}
} // namespace

bool HostPortValid(const std::string& hostAddr)
{
    std::string host = hostAddr;
    std::string service;
    return !SplitHostText(host, service) || PortTextValid(service);
}

AddressList GetListOfAddresses(const std::string& hostAddr, const std::string& port)
{
    std::string host = hostAddr;
    std::string service = port;
    SplitHostText(host, service);
    if (!PortTextValid(service)) {
        throw std::runtime_error(INVALID_PORT_TEXT);
    }
    addrinfo* list = nullptr;
    if (getaddrinfo(host.c_str(), service.c_str(), nullptr, &list) != 0 || !list) {
        if (list) {
            freeaddrinfo(list);
        }
        throw std::runtime_error("Invalid or unknown host: " + host);
    }
    return AddressList(list);
}

uint32_t getIpv4(const std::string& addr)
{
    addrinfo* list = nullptr;
    if (getaddrinfo(addr.c_str(), nullptr, &IPV4_HINTS, &list) != 0 || !list) {
        if (list) {
            freeaddrinfo(list);
        }
        throw std::runtime_error("Invalid IPv4 address or unknown hostname: " + addr);
    }
    AddressList owner(list);
    for (const addrinfo* entry = list; entry; entry = entry->ai_next) {
        if (entry->ai_family == AF_INET && entry->ai_addr && entry->ai_addrlen >= sizeof(sockaddr_in)) {
            return ntohl(reinterpret_cast<const sockaddr_in*>(entry->ai_addr)->sin_addr.s_addr);
        }
    }
    throw std::runtime_error("Invalid IPv4 address or unknown hostname: " + addr);
}

void SetConnectCancelFlag(const std::atomic<bool>* flag)
{
    connectCancel = flag;
}

namespace {
// "Connection refused" reads as "connection refused" after a colon; "IPv6 ..." stays as it is.
std::string ReasonText(int error)
{
    std::string reason = ErrorText(error);
    if (reason.size() > 1 && std::isupper(static_cast<unsigned char>(reason[0])) &&
        std::islower(static_cast<unsigned char>(reason[1]))) {
        reason[0] = static_cast<char>(std::tolower(static_cast<unsigned char>(reason[0])));
    }
    return reason;
}
} // namespace

ConnectError::ConnectError(int error, const std::string& address)
    : std::system_error(error, std::system_category()),
      text("Cannot connect to " + address + ": " + ReasonText(error))
{
}

std::string AddressText(const sockaddr* address, socklen_t length)
{
    char host[NI_MAXHOST];
    char service[NI_MAXSERV];
    if (!address || (address->sa_family != AF_INET && address->sa_family != AF_INET6) ||
        getnameinfo(address, length, host, sizeof(host), service, sizeof(service),
                    NI_NUMERICHOST | NI_NUMERICSERV) != 0) {
        return std::string();
    }
    return address->sa_family == AF_INET6 ? "[" + std::string(host) + "]:" + service
                                          : std::string(host) + ":" + service;
}

bool ConnectCancelRequested()
{
    return connectCancel && connectCancel->load();
}

int PollFor(int fd, short events, timeval* timeout, short& revents)
{
    return WaitFor(fd, events, timeout, revents);
}

timeval TimeLeft(std::chrono::steady_clock::time_point deadline, int64_t minimumUs)
{
    const int64_t us = std::max<int64_t>(
        std::chrono::duration_cast<std::chrono::microseconds>(deadline - std::chrono::steady_clock::now()).count(),
        minimumUs);
    timeval timeout{};
    timeout.tv_sec = static_cast<decltype(timeout.tv_sec)>(us / 1000000);
    timeout.tv_usec = static_cast<decltype(timeout.tv_usec)>(us % 1000000);
    return timeout;
}

std::string HostPart(const std::string& hostAddr)
{
    std::string host = hostAddr;
    std::string service;
    SplitHostText(host, service);
    return host;
}

} // namespace plc::ads

Socket::Socket(const addrinfo* candidates, int type, std::chrono::milliseconds connectTimeout)
    : descriptor(-1),
      peerAddress{},
      destination(type == SOCK_DGRAM ? reinterpret_cast<sockaddr*>(&peerAddress) : nullptr),
      destinationLength(0)
{
    int lastError = EDESTADDRREQ;
    std::string lastTried;
    for (const addrinfo* candidate = candidates; candidate; candidate = candidate->ai_next) {
        // A list resolved for any socket type holds each address once per type: trying the
        // others would repeat the same connect, and its time-out, for nothing.
        if (candidate->ai_socktype != 0 && candidate->ai_socktype != type) {
            continue;
        }
        descriptor = ::socket(candidate->ai_family, type | SOCK_CLOEXEC, 0);
        if (descriptor < 0) {
            lastError = errno;
            continue;
        }
        const socklen_t length =
            std::min<socklen_t>(candidate->ai_addrlen, static_cast<socklen_t>(sizeof(peerAddress)));
        if (type == SOCK_DGRAM) {
            destinationLength = length;
            std::memcpy(&peerAddress, candidate->ai_addr, length);
            return;
        }
        if (ConnectBounded(descriptor, candidate->ai_addr, candidate->ai_addrlen, connectTimeout, lastError)) {
            std::memcpy(&peerAddress, candidate->ai_addr, length);
            return;
        }
        LOG_WARN("Socket(): connect failed");
        lastTried = plc::ads::AddressText(candidate->ai_addr, candidate->ai_addrlen);
        ::close(descriptor);
        descriptor = -1;
    }
    LOG_ERROR("Unable to create socket");
    if (!lastTried.empty()) {
        throw plc::ads::ConnectError(lastError, lastTried);
    }
    throw std::system_error(lastError, std::system_category());
}

Socket::~Socket()
{
    Shutdown();
    if (descriptor >= 0) {
        ::close(descriptor);
    }
}

void Socket::Shutdown()
{
    if (descriptor >= 0) {
        ::shutdown(descriptor, SHUT_RDWR);
    }
}

int Socket::Select(timeval* timeout) const
{
    if (descriptor < 0) {
        throw std::runtime_error("connection closed");
    }
    short revents = 0;
    const int result = WaitFor(descriptor, POLLIN, timeout, revents);
    if (result == 0) {
        LOG_ERROR("select() timeout");
        throw TimeoutEx("select() timeout");
    }
    if (result == 1) {
        if (revents & POLLNVAL) {
            throw std::runtime_error("connection closed");
        }
        // Hang-up and error also count: the read that follows reports what happened.
        if (revents & (POLLIN | POLLHUP | POLLERR)) {
            return 1;
        }
    }
    LOG_ERROR("something strange happen while waiting for socket in state: " << result
                                                                               << " with error: " << ErrorText(errno));
    return 0;
}

size_t Socket::read(uint8_t* buffer, size_t maxBytes, timeval* timeout) const
{
    if (maxBytes == 0) {
        return 0;
    }
    // Without a time-out the blocking receive itself waits: one system call instead of two.
    // Shutdown() wakes it like it wakes a wait for readability.
    if (!timeout) {
        if (descriptor < 0) {
            throw std::runtime_error("connection closed");
        }
    } else if (!Select(timeout)) {
        return 0;
    }
    const ssize_t count = ::recv(descriptor, buffer, std::min<size_t>(maxBytes, INT_MAX), 0);
    if (count > 0) {
        return static_cast<size_t>(count);
    }
    const int error = errno;
    // A reset or timed-out connection is as dead as a closed one; retrying would spin.
    if (count == 0 || error == ECONNABORTED || error == ENOTCONN || error == ECONNRESET || error == ETIMEDOUT) {
        throw std::runtime_error("connection closed by remote");
    }
    if (error == EBADF) {
        throw std::runtime_error("connection closed");
    }
    LOG_ERROR("read frame failed with error: " << ErrorText(error));
    return 0;
}

size_t Socket::read(Frame& frame, timeval* timeout) const
{
    const size_t count = read(frame.rawData(), frame.capacity(), timeout);
    if (count) {
        frame.limit(count);
    } else {
        frame.clear();
    }
    return count;
}

size_t Socket::write(const Frame& frame) const
{
    if (frame.size() > INT_MAX) {
        LOG_ERROR("frame length: " << frame.size() << " exceeds maximum length for sockets");
        return 0;
    }
    const ssize_t count = ::sendto(descriptor, frame.data(), frame.size(), MSG_NOSIGNAL, destination,
                                   destinationLength);
    if (count < 0) {
        LOG_ERROR("write frame failed with error: " << ErrorText(errno));
        return 0;
    }
    return static_cast<size_t>(count);
}

size_t Socket::write(const Frame& frame, timeval* timeout) const
{
    return write(frame.data(), frame.size(), timeout);
}

size_t Socket::write(const uint8_t* data, size_t size, timeval* timeout) const
{
    if (size > INT_MAX) {
        LOG_ERROR("frame length: " << size << " exceeds maximum length for sockets");
        return 0;
    }
    size_t sent = 0;
    while (sent < size) {
        const ssize_t count = ::sendto(descriptor, data + sent, size - sent, MSG_NOSIGNAL | MSG_DONTWAIT,
                                       destination, destinationLength);
        if (count > 0) {
            sent += static_cast<size_t>(count);
            continue;
        }
        if (count < 0 && errno == EINTR) {
            continue;
        }
        if (count < 0 && errno != EAGAIN && errno != EWOULDBLOCK) {
            LOG_ERROR("write frame failed with error: " << ErrorText(errno));
            break;
        }
        // The send buffer is full: the peer does not read. Wait for room, within the bound.
        short revents = 0;
        const int result = WaitFor(descriptor, POLLOUT, timeout, revents);
        if (result == 0) {
            LOG_ERROR("write frame timed out after " << sent << " of " << size << " bytes");
            break;
        }
        if ((result < 0 && errno != EINTR) || (revents & POLLNVAL)) {
            LOG_ERROR("write frame failed with error: " << ErrorText(result < 0 ? errno : EBADF));
            break;
        }
    }
    return sent;
}

std::string Socket::PeerText() const
{
    const socklen_t length = peerAddress.ss_family == AF_INET6 ? sizeof(sockaddr_in6) : sizeof(sockaddr_in);
    return plc::ads::AddressText(reinterpret_cast<const sockaddr*>(&peerAddress), length);
}

TcpSocket::TcpSocket(const addrinfo* candidates, std::chrono::milliseconds connectTimeout)
    : Socket(candidates, SOCK_STREAM, connectTimeout)
{
    const int enable = 1;
    if (setsockopt(descriptor, IPPROTO_TCP, TCP_NODELAY, &enable, sizeof(enable)) != 0) {
        LOG_WARN("Enabling TCP_NODELAY failed");
    }
}

uint32_t TcpSocket::Connect() const
{
    sockaddr_storage local{};
    socklen_t length = sizeof(local);
    if (getsockname(descriptor, reinterpret_cast<sockaddr*>(&local), &length) != 0) {
        LOG_ERROR("Read local tcp/ip address failed");
        throw std::runtime_error("Read local tcp/ip address failed");
    }
    switch (local.ss_family) {
    case AF_INET:
        return ntohl(reinterpret_cast<const sockaddr_in*>(&local)->sin_addr.s_addr);
    case AF_INET6:
        return 0xFFFFFFFF;
    default:
        return 0;
    }
}

bool TcpSocket::IsConnectedTo(const addrinfo* candidates) const
{
    for (const addrinfo* candidate = candidates; candidate; candidate = candidate->ai_next) {
        if (!candidate->ai_addr || candidate->ai_family != peerAddress.ss_family) {
            continue;
        }
        const size_t length = std::min<size_t>(candidate->ai_addrlen, sizeof(peerAddress));
        if (std::memcmp(candidate->ai_addr, &peerAddress, length) == 0) {
            return true;
        }
    }
    return false;
}

UdpSocket::UdpSocket(const addrinfo* candidates) : Socket(candidates, SOCK_DGRAM) {}
