// One TLS session over a connected socket, used by a reader and a writer thread at once.
// The library's session object must never be used by two threads together, and neither
// thread may hold it while waiting: the socket is non-blocking, every library call runs
// under one mutex, and readiness is awaited with poll() outside it, whichever direction
// the library asks for (a read may need to write, a write to read).
#pragma once

#include "TlsCredentials.h"

#include <sys/time.h>

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <string>

namespace plc::ads {

class TlsChannel {
public:
    enum class Role { Client, Server };
    // Takes the session; `fd` stays the caller's and is made non-blocking.
    TlsChannel(int fd, SslPtr session, Role role);
    ~TlsChannel() = default;
    TlsChannel(const TlsChannel&) = delete;
    TlsChannel& operator=(const TlsChannel&) = delete;

    enum class HandshakeEnd { Done, Failed, TimedOut, Cancelled };
    // Before any other use; gives up when the thread's connect cancel flag is set.
    // `reason` gets the library's reason for a failure.
    HandshakeEnd Handshake(std::chrono::steady_clock::time_point deadline, std::string& reason);
    // The socket's read: at least one byte; Socket::TimeoutEx when `timeout` ran out; a
    // runtime error once the session or the connection ended. A null time-out waits forever.
    size_t Read(uint8_t* buffer, size_t maxBytes, timeval* timeout);
    // Writes all of `data` unless `timeout` runs out or the session fails; returns what was written.
    size_t Write(const uint8_t* data, size_t size, timeval* timeout);
    // Sends close_notify when the session can still carry it, without waiting.
    void Close();

    // For checks right after the handshake, before other threads use the channel.
    SSL* Session() { return session.get(); }

private:
    enum class Wait { Ready, TimedOut, Closed };
    Wait AwaitReady(short events, timeval* timeout);

    const int fd;
    std::mutex mutex; // every call into the session
    SslPtr session;
    bool broken = false;       // a fatal error: the library forbids further calls but free
    bool writeUnfinished = false; // a record is half on the wire: nothing else may follow it
    bool closed = false;
};

} // namespace plc::ads
