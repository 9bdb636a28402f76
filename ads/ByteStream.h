// The byte stream a connection reads and writes: a TCP socket, or a TLS tunnel over one.
// Reads and writes keep the socket's meaning: a read returns at least one byte, or 0 for
// nothing this time, throws Socket::TimeoutEx when its time-out ran out and a runtime error
// once the stream is gone; a write sends all it can within its time-out.
#pragma once

#include "Frame.h"
#include "Sockets.h"

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

class ByteStream {
public:
    virtual ~ByteStream() = default;

    // Called by the receive thread only; a null time-out waits without limit.
    virtual size_t read(uint8_t* buffer, size_t maxBytes, timeval* timeout) = 0;
    // Called by one writer at a time, possibly while the receive thread reads.
    virtual size_t write(const uint8_t* data, size_t size, timeval* timeout) = 0;
    size_t write(const Frame& frame, timeval* timeout) { return write(frame.data(), frame.size(), timeout); }
    // From any thread: wakes a waiting reader, which then fails.
    virtual void Shutdown() = 0;
    // Whether a route to these addresses, with transport settings of this key, may share the stream.
    virtual bool IsConnectedTo(const addrinfo* candidates, const std::string& sharingKey) const = 0;
    // Local IPv4 address in host order (all bits set for IPv6).
    virtual uint32_t LocalIp() const = 0;
    // The peer's address as numbers ("10.1.2.3:48898").
    virtual std::string PeerText() const = 0;
};

// Plain ADS: the TCP socket itself.
class TcpStream : public ByteStream {
public:
    TcpStream(const addrinfo* candidates, std::chrono::milliseconds connectTimeout)
        : socket(candidates, connectTimeout)
    {
    }
    size_t read(uint8_t* buffer, size_t maxBytes, timeval* timeout) override
    {
        return socket.read(buffer, maxBytes, timeout);
    }
    size_t write(const uint8_t* data, size_t size, timeval* timeout) override
    {
        return socket.write(data, size, timeout);
    }
    using ByteStream::write;
    void Shutdown() override { socket.Shutdown(); }
    bool IsConnectedTo(const addrinfo* candidates, const std::string& sharingKey) const override
    {
        return sharingKey.empty() && socket.IsConnectedTo(candidates);
    }
    uint32_t LocalIp() const override { return socket.Connect(); }
    std::string PeerText() const override { return socket.PeerText(); }

private:
    TcpSocket socket;
};
