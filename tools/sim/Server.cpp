// Listening and sessions: the listener, accepting, one reading thread per connection,
// recording what arrives, and starting and stopping the whole server.
#include "tools/sim/SimServer.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>

namespace plcsim {

namespace {

bool RecvAll(int fd, uint8_t* p, size_t n)
{
    while (n > 0) {
        const ssize_t r = ::recv(fd, p, n, 0);
        if (r < 0 && errno == EINTR) {
            continue;
        }
        if (r <= 0) {
            return false;
        }
        p += r;
        n -= static_cast<size_t>(r);
    }
    return true;
}

} // namespace

void PlcSimulator::Impl::Log(const std::string& line)
{
    std::lock_guard<std::mutex> lock(logMtx);
    if (logSink) {
        logSink(line);
    }
}

// lifeMtx held. Throws on failure.
void PlcSimulator::Impl::OpenListener()
{
    in_addr addr{};
    if (::inet_pton(AF_INET, bindAddress.c_str(), &addr) != 1) {
        throw std::runtime_error("invalid listen address '" + bindAddress + "'");
    }
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        throw std::runtime_error(std::string("socket failed: ") + std::strerror(errno));
    }
    const int one = 1;
    ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_addr = addr;
    sa.sin_port = htons(port);
    if (::bind(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0 || ::listen(fd, 64) != 0) {
        const std::string err = std::strerror(errno);
        ::close(fd);
        throw std::runtime_error("cannot listen on " + bindAddress + ":" + std::to_string(port) + ": " + err);
    }
    socklen_t len = sizeof sa;
    if (::getsockname(fd, reinterpret_cast<sockaddr*>(&sa), &len) != 0 || ::pipe2(wakePipe, O_CLOEXEC) != 0) {
        const std::string err = std::strerror(errno);
        ::close(fd);
        throw std::runtime_error("cannot set up listener: " + err);
    }
    port = ntohs(sa.sin_port);
    listenFd = fd;
    acceptThread = std::thread(&Impl::AcceptLoop, this, listenFd, wakePipe[0]);
}

// lifeMtx held.
void PlcSimulator::Impl::CloseListener()
{
    if (listenFd < 0) {
        return;
    }
    const char byte = 1;
    while (::write(wakePipe[1], &byte, 1) < 0 && errno == EINTR) {
    }
    ::shutdown(listenFd, SHUT_RDWR);
    acceptThread.join();
    ::close(listenFd);
    ::close(wakePipe[0]);
    ::close(wakePipe[1]);
    listenFd = -1;
    wakePipe[0] = wakePipe[1] = -1;
}

// Called by the ticker; false asks for another try later.
bool PlcSimulator::Impl::Relisten()
{
    std::lock_guard<std::mutex> lock(lifeMtx);
    if (!running || listenFd >= 0) {
        return true;
    }
    try {
        OpenListener();
        Log("listening again on " + bindAddress + ":" + std::to_string(port));
        return true;
    } catch (const std::exception& e) {
        Log(std::string("relisten failed: ") + e.what());
        return false;
    }
}

// connMtx held: joins connection threads that have ended.
void PlcSimulator::Impl::ReapLocked()
{
    for (auto it = conns.begin(); it != conns.end();) {
        if ((*it)->finished) {
            if ((*it)->thread.joinable()) {
                (*it)->thread.join();
            }
            it = conns.erase(it);
        } else {
            ++it;
        }
    }
}

void PlcSimulator::Impl::AcceptLoop(int lfd, int wakeFd)
{
    for (;;) {
        pollfd pfds[2] = {{lfd, POLLIN, 0}, {wakeFd, POLLIN, 0}};
        const int r = ::poll(pfds, 2, -1);
        if (r < 0) {
            if (errno == EINTR) {
                continue;
            }
            return;
        }
        if (pfds[1].revents != 0) {
            return;
        }
        if ((pfds[0].revents & (POLLERR | POLLNVAL)) != 0) {
            return;
        }
        sockaddr_in peer{};
        socklen_t len = sizeof peer;
        const int fd = ::accept4(lfd, reinterpret_cast<sockaddr*>(&peer), &len, SOCK_CLOEXEC);
        if (fd < 0) {
            if (errno == EINTR || errno == ECONNABORTED || errno == EAGAIN) {
                continue;
            }
            if (errno == EMFILE || errno == ENFILE || errno == ENOBUFS || errno == ENOMEM) {
                ::poll(&pfds[1], 1, 10); // back off until descriptors free up
                continue;
            }
            return;
        }
        const int one = 1;
        ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        char text[INET_ADDRSTRLEN] = "?";
        ::inet_ntop(AF_INET, &peer.sin_addr, text, sizeof text);
        Adopt(fd, std::string(text) + ":" + std::to_string(ntohs(peer.sin_port)));
    }
}

void PlcSimulator::Impl::Adopt(int fd, const std::string& peerText)
{
    uint64_t id = 0;
    {
        std::lock_guard<std::mutex> lock(connMtx);
        ReapLocked();
        if (conns.size() < kMaxConnections) {
            id = ++accepted;
            auto conn = std::make_shared<Connection>(id, fd, peerText);
            conns.push_back(conn);
            conn->thread = std::thread(&Impl::Serve, this, conn.get());
        }
    }
    if (id == 0) {
        ::close(fd);
        Log("refused connection from " + peerText + ": too many connections");
    } else {
        Log("connection " + std::to_string(id) + " from " + peerText);
    }
}

// Shuts every connection down and joins its thread.
void PlcSimulator::Impl::CloseAllConnections()
{
    std::vector<std::shared_ptr<Connection>> list;
    {
        std::lock_guard<std::mutex> lock(connMtx);
        list.swap(conns);
    }
    for (auto& c : list) {
        c->Shutdown();
    }
    for (auto& c : list) {
        if (c->thread.joinable()) {
            c->thread.join();
        }
    }
}

std::shared_ptr<Connection> PlcSimulator::Impl::ConnectionById(uint64_t id)
{
    std::lock_guard<std::mutex> lock(connMtx);
    for (auto& c : conns) {
        if (c->id == id && !c->finished) {
            return c;
        }
    }
    return nullptr;
}

void PlcSimulator::Impl::Serve(Connection* c)
{
    try {
        ServeLoop(*c);
    } catch (const std::exception& e) { // e.g. a throwing request hook: only this connection ends
        Log("connection " + std::to_string(c->id) + ": " + e.what());
    }
    c->Shutdown();
    {
        std::lock_guard<std::mutex> lock(c->sendMutex);
        c->CloseLocked(false);
    }
    {
        std::lock_guard<std::mutex> lock(mtx);
        for (auto it = notifications.begin(); it != notifications.end();) {
            it = it->second.connId == c->id ? notifications.erase(it) : std::next(it);
        }
    }
    Log("connection " + std::to_string(c->id) + " closed");
    c->finished = true;
}

void PlcSimulator::Impl::ServeLoop(Connection& c)
{
    const int fd = c.fd; // only this thread closes it
    for (;;) {
        uint8_t tcpBytes[AmsTcpHeader::SIZE];
        if (!RecvAll(fd, tcpBytes, sizeof tcpBytes)) {
            return;
        }
        const AmsTcpHeader tcp = AmsTcpHeader::Decode(tcpBytes);
        if (tcp.length > kMaxPacket) {
            Log("connection " + std::to_string(c.id) + ": AMS/TCP length " + std::to_string(tcp.length) +
                " too large, closing");
            return;
        }
        Request r;
        r.connection = c.id;
        r.raw.resize(AmsTcpHeader::SIZE + tcp.length);
        std::memcpy(r.raw.data(), tcpBytes, sizeof tcpBytes);
        if (!RecvAll(fd, r.raw.data() + AmsTcpHeader::SIZE, tcp.length)) {
            return;
        }
        r.received = Clock::now();
        if (tcp.length >= AoEHeader::SIZE) {
            r.hasHeader = true;
            r.header = AoEHeader::Decode(r.raw.data() + AmsTcpHeader::SIZE);
            r.data.assign(r.raw.begin() + AmsTcpHeader::SIZE + AoEHeader::SIZE, r.raw.end());
        }
        Record(r); // before replying, so a client that got its reply finds the request recorded
        if (r.hasHeader && !Handle(c, r)) {
            return;
        }
    }
}

void PlcSimulator::Impl::Record(const Request& r)
{
    std::lock_guard<std::mutex> lock(recMtx);
    records.push_back(r);
    recordBytes += r.raw.size() + r.data.size();
    TrimLocked();
    ++recordSeq;
    recCv.notify_all();
}

// Trims in batches so a long run costs amortised constant time per packet.
void PlcSimulator::Impl::TrimLocked()
{
    if (records.size() <= recordLimit && recordBytes <= kRecordByteLimit) {
        return;
    }
    const size_t keepCount = recordLimit - recordLimit / 8;
    size_t drop = records.size() > keepCount ? records.size() - keepCount : 0;
    size_t bytes = recordBytes;
    for (size_t i = 0; i < drop; ++i) {
        bytes -= records[i].raw.size() + records[i].data.size();
    }
    while (drop < records.size() && bytes > kRecordByteLimit - kRecordByteLimit / 8) {
        bytes -= records[drop].raw.size() + records[drop].data.size();
        ++drop;
    }
    records.erase(records.begin(), records.begin() + static_cast<std::ptrdiff_t>(drop));
    recordBytes = bytes;
}

PlcSimulator::PlcSimulator(SimOptions o) : options(std::move(o)), impl(std::make_unique<Impl>(options))
{
    if (options.defaultSymbols) {
        LoadDefaultSymbols();
    }
}

PlcSimulator::~PlcSimulator()
{
    Stop();
}

uint16_t PlcSimulator::Start(const std::string& bindAddress, uint16_t port)
{
    std::lock_guard<std::mutex> api(impl->apiMtx);
    {
        std::lock_guard<std::mutex> lock(impl->lifeMtx);
        if (impl->running) {
            throw std::runtime_error("simulator already running");
        }
        impl->bindAddress = bindAddress;
        impl->port = port;
        impl->OpenListener();
        impl->running = true;
    }
    {
        std::lock_guard<std::mutex> lock(impl->mtx);
        impl->tickerStop = false;
        impl->relistenAt.reset();
    }
    impl->ticker = std::thread(&Impl::TickerLoop, impl.get());
    return Port();
}

void PlcSimulator::Stop()
{
    std::lock_guard<std::mutex> api(impl->apiMtx);
    impl->secure.reset();
    impl->StopTicker();
    {
        std::lock_guard<std::mutex> lock(impl->lifeMtx);
        impl->CloseListener();
        impl->running = false;
    }
    impl->CloseAllConnections();
    std::lock_guard<std::mutex> lock(impl->mtx);
    impl->notifications.clear();
    impl->delayed.clear();
}

uint16_t PlcSimulator::Port() const
{
    std::lock_guard<std::mutex> lock(impl->lifeMtx);
    return impl->port;
}

std::string PlcSimulator::HostString() const
{
    std::lock_guard<std::mutex> lock(impl->lifeMtx);
    const std::string host = impl->bindAddress == "0.0.0.0" ? "127.0.0.1" : impl->bindAddress;
    return host + ":" + std::to_string(impl->port);
}

bool PlcSimulator::IsListening() const
{
    std::lock_guard<std::mutex> lock(impl->lifeMtx);
    return impl->listenFd >= 0;
}

size_t PlcSimulator::ConnectionCount() const
{
    std::lock_guard<std::mutex> lock(impl->connMtx);
    return static_cast<size_t>(std::count_if(impl->conns.begin(), impl->conns.end(),
                                             [](const std::shared_ptr<Connection>& c) { return !c->finished; }));
}

uint64_t PlcSimulator::AcceptedCount() const
{
    return impl->accepted;
}

std::vector<Request> PlcSimulator::Requests() const
{
    std::lock_guard<std::mutex> lock(impl->recMtx);
    return impl->records;
}

void PlcSimulator::ClearRequests()
{
    std::lock_guard<std::mutex> lock(impl->recMtx);
    impl->records.clear();
    impl->recordBytes = 0;
}

size_t PlcSimulator::RequestCount() const
{
    std::lock_guard<std::mutex> lock(impl->recMtx);
    return impl->records.size();
}

bool PlcSimulator::WaitForRequests(const std::function<bool(const std::vector<Request>&)>& pred,
                                   std::chrono::milliseconds timeout) const
{
    const auto deadline = Clock::now() + timeout;
    std::unique_lock<std::mutex> lock(impl->recMtx);
    for (;;) {
        const uint64_t seen = impl->recordSeq;
        const std::vector<Request> copy = impl->records;
        lock.unlock();
        if (pred(copy)) {
            return true;
        }
        lock.lock();
        if (!impl->recCv.wait_until(lock, deadline, [&] { return impl->recordSeq != seen; })) {
            return false;
        }
    }
}

void PlcSimulator::SetRecordLimit(size_t limit)
{
    std::lock_guard<std::mutex> lock(impl->recMtx);
    impl->recordLimit = limit;
    impl->TrimLocked();
}

void PlcSimulator::SetLog(std::function<void(const std::string&)> sink, bool verbose)
{
    std::lock_guard<std::mutex> lock(impl->logMtx);
    impl->logSink = std::move(sink);
    impl->verbose = verbose;
}

} // namespace plcsim
