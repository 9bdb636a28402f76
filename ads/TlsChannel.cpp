#include "TlsChannel.h"

#include "Log.h"
#include "Sockets.h"

#include <openssl/err.h>

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <stdexcept>
#include <system_error>

namespace plc::ads {

namespace {
using Clock = std::chrono::steady_clock;
// How often a handshake looks at its stop flag, and how long a write that waits for the
// reader's progress (renegotiation) sleeps before it tries again.
constexpr auto HANDSHAKE_SLICE = std::chrono::milliseconds(50);
constexpr int64_t WRITE_WAITS_FOR_READ_US = 10000;

timeval Micros(int64_t us)
{
    timeval t{};
    us = std::max<int64_t>(us, 0);
    t.tv_sec = static_cast<decltype(t.tv_sec)>(us / 1000000);
    t.tv_usec = static_cast<decltype(t.tv_usec)>(us % 1000000);
    return t;
}

int64_t MicrosOf(const timeval& t)
{
    return static_cast<int64_t>(t.tv_sec) * 1000000 + t.tv_usec;
}

// The library's own socket layer writes with write(), which raises SIGPIPE on a connection the
// peer has closed; this one sends with MSG_NOSIGNAL, so a closed peer is an error like any other.
intptr_t Descriptor(BIO* bio)
{
    return reinterpret_cast<intptr_t>(BIO_get_data(bio));
}

int BioWrite(BIO* bio, const char* data, int size)
{
    BIO_clear_retry_flags(bio);
    const ssize_t sent = ::send(static_cast<int>(Descriptor(bio)), data, static_cast<size_t>(size), MSG_NOSIGNAL);
    if (sent < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) {
        BIO_set_retry_write(bio);
    }
    return static_cast<int>(sent);
}

int BioRead(BIO* bio, char* data, int size)
{
    BIO_clear_retry_flags(bio);
    const ssize_t count = ::recv(static_cast<int>(Descriptor(bio)), data, static_cast<size_t>(size), 0);
    if (count < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) {
        BIO_set_retry_read(bio);
    }
    return static_cast<int>(count);
}

long BioControl(BIO*, int command, long, void*)
{
    return command == BIO_CTRL_FLUSH ? 1 : 0;
}

int BioCreate(BIO* bio)
{
    BIO_set_init(bio, 1);
    return 1;
}

BIO* NewSocketBio(int fd)
{
    static BIO_METHOD* const method = [] {
        BIO_METHOD* m = BIO_meth_new(BIO_get_new_index() | BIO_TYPE_SOURCE_SINK, "ads socket");
        if (m) {
            BIO_meth_set_write(m, BioWrite);
            BIO_meth_set_read(m, BioRead);
            BIO_meth_set_ctrl(m, BioControl);
            BIO_meth_set_create(m, BioCreate);
        }
        return m;
    }();
    BIO* bio = method ? BIO_new(method) : nullptr;
    if (bio) {
        BIO_set_data(bio, reinterpret_cast<void*>(static_cast<intptr_t>(fd)));
    }
    return bio;
}

bool Retry(int error)
{
    return error == SSL_ERROR_WANT_READ || error == SSL_ERROR_WANT_WRITE;
}

std::string FailureReason(int error)
{
    std::string reason = TlsErrorQueue();
    if (reason.empty()) {
        reason = error == SSL_ERROR_SYSCALL && errno != 0 ? std::system_category().message(errno)
                                                          : std::string("the peer closed the connection");
    }
    return reason;
}
} // namespace

TlsChannel::TlsChannel(int fd_, SslPtr session_, Role role) : fd(fd_), session(std::move(session_))
{
    const int flags = fcntl(fd, F_GETFL, 0);
    BIO* bio = NewSocketBio(fd);
    if (flags < 0 || fcntl(fd, F_SETFL, flags | O_NONBLOCK) < 0 || !bio) {
        BIO_free(bio);
        throw SecureConnectError("Cannot set up TLS on the connection: " + TlsErrorQueue());
    }
    SSL_set_bio(session.get(), bio, bio);
    SSL_set_mode(session.get(), SSL_MODE_ENABLE_PARTIAL_WRITE | SSL_MODE_ACCEPT_MOVING_WRITE_BUFFER);
    // Whole socket reads instead of one for each record header and one for its body.
    SSL_set_read_ahead(session.get(), 1);
    if (role == Role::Client) {
        SSL_set_connect_state(session.get());
    } else {
        SSL_set_accept_state(session.get());
    }
}

TlsChannel::HandshakeEnd TlsChannel::Handshake(Clock::time_point deadline, std::string& reason)
{
    for (;;) {
        int error = SSL_ERROR_NONE;
        {
            std::lock_guard<std::mutex> lock(mutex);
            ERR_clear_error();
            errno = 0;
            const int result = SSL_do_handshake(session.get());
            if (result == 1) {
                return HandshakeEnd::Done;
            }
            error = SSL_get_error(session.get(), result);
            if (!Retry(error)) {
                broken = true;
                reason = FailureReason(error);
                return HandshakeEnd::Failed;
            }
        }
        for (;;) {
            if (ConnectCancelRequested()) {
                return HandshakeEnd::Cancelled;
            }
            const auto now = Clock::now();
            if (now >= deadline) {
                return HandshakeEnd::TimedOut;
            }
            timeval slice = Micros(std::chrono::duration_cast<std::chrono::microseconds>(
                                       std::min<Clock::duration>(deadline - now, HANDSHAKE_SLICE))
                                       .count());
            const Wait wait = AwaitReady(error == SSL_ERROR_WANT_READ ? POLLIN : POLLOUT, &slice);
            if (wait == Wait::Ready) {
                break;
            }
            if (wait == Wait::Closed) {
                reason = "the connection was closed";
                return HandshakeEnd::Failed;
            }
        }
    }
}

TlsChannel::Wait TlsChannel::AwaitReady(short events, timeval* timeout)
{
    for (;;) {
        short revents = 0;
        const int result = PollFor(fd, events, timeout, revents);
        if (result > 0) {
            // Hang-up and error count as ready: the library's next call reports what happened.
            return (revents & POLLNVAL) ? Wait::Closed : Wait::Ready;
        }
        if (result == 0) {
            return Wait::TimedOut;
        }
        if (errno != EINTR) {
            return Wait::Closed;
        }
    }
}

size_t TlsChannel::Read(uint8_t* buffer, size_t maxBytes, timeval* timeout)
{
    if (maxBytes == 0) {
        return 0;
    }
    // With nothing decrypted or buffered, wait for the socket first: a read that can only
    // say "would block" costs a system call per reply.
    bool waitFirst = true;
    for (;;) {
        int error = SSL_ERROR_NONE;
        std::string reason;
        {
            std::lock_guard<std::mutex> lock(mutex);
            if (broken || closed) {
                throw std::runtime_error("connection closed");
            }
            if (waitFirst && !SSL_has_pending(session.get())) {
                error = SSL_ERROR_WANT_READ;
            } else {
                ERR_clear_error();
                errno = 0;
                const int count =
                    SSL_read(session.get(), buffer, static_cast<int>(std::min<size_t>(maxBytes, INT_MAX)));
                if (count > 0) {
                    return static_cast<size_t>(count);
                }
                error = SSL_get_error(session.get(), count);
                if (!Retry(error) && error != SSL_ERROR_ZERO_RETURN) {
                    broken = true;
                    reason = FailureReason(error);
                }
            }
        }
        waitFirst = false;
        if (error == SSL_ERROR_ZERO_RETURN) {
            throw std::runtime_error("connection closed by remote");
        }
        if (!Retry(error)) {
            LOG_INFO("TLS read ended: " << reason);
            throw std::runtime_error("connection closed by remote");
        }
        const Wait wait = AwaitReady(error == SSL_ERROR_WANT_READ ? POLLIN : POLLOUT, timeout);
        if (wait == Wait::TimedOut) {
            LOG_ERROR("select() timeout");
            throw Socket::TimeoutEx("select() timeout");
        }
        if (wait == Wait::Closed) {
            throw std::runtime_error("connection closed");
        }
    }
}

size_t TlsChannel::Write(const uint8_t* data, size_t size, timeval* timeout)
{
    size_t done = 0;
    while (done < size) {
        int error = SSL_ERROR_NONE;
        std::string reason;
        {
            std::lock_guard<std::mutex> lock(mutex);
            if (broken || closed) {
                return done;
            }
            ERR_clear_error();
            errno = 0;
            const int count =
                SSL_write(session.get(), data + done, static_cast<int>(std::min<size_t>(size - done, INT_MAX)));
            if (count > 0) {
                writeUnfinished = false;
                done += static_cast<size_t>(count);
                continue;
            }
            error = SSL_get_error(session.get(), count);
            if (Retry(error)) {
                writeUnfinished = true;
            } else {
                broken = true;
                reason = FailureReason(error);
            }
        }
        if (!Retry(error)) {
            LOG_ERROR("write frame failed with error: " << reason);
            return done;
        }
        Wait wait = Wait::Ready;
        if (error == SSL_ERROR_WANT_WRITE) {
            wait = AwaitReady(POLLOUT, timeout);
        } else {
            // The session waits for the peer's data, which the reader takes in: look again soon.
            int64_t sliceUs = WRITE_WAITS_FOR_READ_US;
            if (timeout) {
                sliceUs = std::min(sliceUs, MicrosOf(*timeout));
            }
            timeval slice = Micros(sliceUs);
            const auto start = Clock::now();
            wait = AwaitReady(POLLIN, &slice);
            if (timeout) {
                const int64_t used =
                    std::chrono::duration_cast<std::chrono::microseconds>(Clock::now() - start).count();
                *timeout = Micros(MicrosOf(*timeout) - used);
                wait = MicrosOf(*timeout) > 0 ? Wait::Ready : Wait::TimedOut;
            } else if (wait == Wait::TimedOut) {
                wait = Wait::Ready;
            }
        }
        if (wait != Wait::Ready) {
            LOG_ERROR("write frame timed out after " << done << " of " << size << " bytes");
            return done;
        }
    }
    return done;
}

void TlsChannel::Close()
{
    std::lock_guard<std::mutex> lock(mutex);
    if (!broken && !writeUnfinished && !closed) {
        ERR_clear_error();
        SSL_shutdown(session.get());
        ERR_clear_error();
    }
    closed = true;
}

} // namespace plc::ads
