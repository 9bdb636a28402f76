// The simulator's server: accept thread, one thread per connection, one ticker
// thread for behaviours, notifications, delayed replies and restarts.
#include "tools/sim/PlcSimulator.h"

#include "ads/LittleEndian.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cmath>
#include <condition_variable>
#include <cstring>
#include <map>
#include <set>
#include <mutex>
#include <sstream>
#include <thread>
#include <tuple>
#include <unordered_map>

namespace plcsim {

using plc::ads::AmsTcpHeader;
using plc::ads::AoEHeader;
namespace le = plc::ads::le;
using Clock = std::chrono::steady_clock;

namespace {

// Bounds on what a client can make the simulator hold.
constexpr uint32_t kMaxPacket = 4 * 1024 * 1024 + 64;
constexpr size_t kMaxHandles = 65536;
constexpr size_t kMaxNotifications = 65536;
constexpr uint32_t kMaxWatchLength = 65536;
constexpr size_t kMaxConnections = 256;
constexpr size_t kRecordByteLimit = 64 * 1024 * 1024;
// A client that does not read for this long loses its connection.
constexpr int kSendTimeoutMs = 3000;

constexpr uint32_t kErrServiceNotSupported = 0x701;
constexpr uint32_t kErrInvalidGroup = 0x702;
constexpr uint32_t kErrInvalidOffset = 0x703;
constexpr uint32_t kErrInvalidSize = 0x705;
constexpr uint32_t kErrInvalidParameter = 0x70B;
constexpr uint32_t kErrNoMoreHandles = 0x712;
constexpr uint32_t kErrSymbolNotFound = 0x710;
constexpr uint32_t kErrNotifyHandleInvalid = 0x714;
constexpr uint32_t kErrInvalidWatchSize = 0x717;
constexpr uint32_t kSymbolAreaGroup = 0x4040;

std::string Lower(std::string s)
{
    for (auto& c : s) {
        if (c >= 'A' && c <= 'Z') {
            c = static_cast<char>(c - 'A' + 'a');
        }
    }
    return s;
}

std::string AddrText(const AmsAddr& a)
{
    return a.amsNetId.ToString() + ":" + std::to_string(a.amsPort);
}

uint64_t AddrKey(const AmsAddr& a)
{
    uint64_t k = a.amsPort;
    for (size_t i = 0; i < 6; ++i) {
        k |= static_cast<uint64_t>(a.amsNetId.b[i]) << (16 + 8 * i);
    }
    return k;
}

std::vector<uint8_t> Packet(const AoEHeader& h, const std::vector<uint8_t>& data)
{
    std::vector<uint8_t> out(AmsTcpHeader::SIZE + AoEHeader::SIZE + data.size());
    AmsTcpHeader tcp;
    tcp.length = static_cast<uint32_t>(AoEHeader::SIZE + data.size());
    tcp.Encode(out.data());
    h.Encode(out.data() + AmsTcpHeader::SIZE);
    if (!data.empty()) {
        std::memcpy(out.data() + AmsTcpHeader::SIZE + AoEHeader::SIZE, data.data(), data.size());
    }
    return out;
}

std::vector<uint8_t> Result(uint32_t code)
{
    std::vector<uint8_t> out(4);
    le::Write<uint32_t>(out.data(), code);
    return out;
}

std::vector<uint8_t> ReadResult(uint32_t code, const uint8_t* data = nullptr, size_t n = 0)
{
    std::vector<uint8_t> out(8 + n);
    le::Write<uint32_t>(out.data(), code);
    le::Write<uint32_t>(out.data() + 4, static_cast<uint32_t>(n));
    if (n != 0) {
        std::memcpy(out.data() + 8, data, n);
    }
    return out;
}

// Adds (or with step -1 subtracts) one to a little-endian integer of any width.
void Step(std::vector<uint8_t>& v, int step)
{
    for (auto& b : v) {
        const uint8_t before = b;
        b = static_cast<uint8_t>(b + step);
        if ((step > 0 && before != 0xFF) || (step < 0 && before != 0x00)) {
            break;
        }
    }
}

} // namespace

bool WaitUntil(const std::function<bool()>& pred, std::chrono::milliseconds timeout)
{
    const auto end = Clock::now() + timeout;
    while (!pred()) {
        if (Clock::now() >= end) {
            return pred();
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

uint64_t ToFileTime(std::chrono::system_clock::time_point t)
{
    using Ticks = std::chrono::duration<int64_t, std::ratio<1, 10000000>>;
    constexpr uint64_t kEpochOffset = 116444736000000000ULL; // 1601-01-01 to 1970-01-01
    return kEpochOffset + static_cast<uint64_t>(std::chrono::duration_cast<Ticks>(t.time_since_epoch()).count());
}

std::vector<uint8_t> BuildNotificationFrame(const NotificationFrame& frame)
{
    size_t payload = 8;
    for (const auto& stamp : frame.stamps) {
        payload += 12;
        for (const auto& s : stamp.samples) {
            payload += 8 + s.data.size();
        }
    }
    std::vector<uint8_t> out(AmsTcpHeader::SIZE + AoEHeader::SIZE + payload);
    AmsTcpHeader tcp;
    tcp.length = static_cast<uint32_t>(AoEHeader::SIZE + payload);
    tcp.Encode(out.data());
    AoEHeader h;
    h.targetNetId = frame.target.amsNetId;
    h.targetPort = frame.target.amsPort;
    h.sourceNetId = frame.source.amsNetId;
    h.sourcePort = frame.source.amsPort;
    h.cmdId = ADS_CMD_DEVICE_NOTIFICATION;
    h.stateFlags = AoEHeader::AMS_REQUEST;
    h.length = frame.claimedAmsLength.value_or(static_cast<uint32_t>(payload));
    h.invokeId = 0;
    h.Encode(out.data() + AmsTcpHeader::SIZE);
    le::Writer w(out.data() + AmsTcpHeader::SIZE + AoEHeader::SIZE);
    w.Put<uint32_t>(frame.claimedStreamLength.value_or(static_cast<uint32_t>(payload - 4)));
    w.Put<uint32_t>(frame.claimedStampCount.value_or(static_cast<uint32_t>(frame.stamps.size())));
    for (const auto& stamp : frame.stamps) {
        w.Put<uint64_t>(stamp.time);
        w.Put<uint32_t>(stamp.claimedSampleCount.value_or(static_cast<uint32_t>(stamp.samples.size())));
        for (const auto& s : stamp.samples) {
            w.Put<uint32_t>(s.handle);
            w.Put<uint32_t>(s.claimedSize.value_or(static_cast<uint32_t>(s.data.size())));
            w.PutBytes(s.data.data(), s.data.size());
        }
    }
    return out;
}

// ---------------------------------------------------------------------------

namespace {

struct Connection : std::enable_shared_from_this<Connection> {
    Connection(uint64_t i, int f, std::string p) : id(i), peer(std::move(p)), fd(f) {}
    ~Connection()
    {
        if (fd >= 0) {
            ::close(fd);
        }
    }

    const uint64_t id;
    const std::string peer;
    std::thread thread;
    std::atomic<bool> finished{false};
    std::atomic<uint32_t> newestNotification{0xFFFFFFFFu};
    // Serialises whole frames; the descriptor is only closed while holding it,
    // so a sender never writes to a reused descriptor number.
    std::mutex sendMutex;
    // Guards fd itself, so shutdown() from other threads never waits for a sender.
    std::mutex fdMutex;
    int fd; // written only by the connection's own thread

    void Shutdown()
    {
        std::lock_guard<std::mutex> lock(fdMutex);
        if (fd >= 0) {
            ::shutdown(fd, SHUT_RDWR);
        }
    }

    // Caller holds sendMutex.
    void CloseLocked(bool reset)
    {
        std::lock_guard<std::mutex> lock(fdMutex);
        if (fd < 0) {
            return;
        }
        if (reset) {
            linger l{1, 0};
            ::setsockopt(fd, SOL_SOCKET, SO_LINGER, &l, sizeof l);
        }
        ::close(fd);
        fd = -1;
    }

    // Caller holds sendMutex. Bounded: a peer that stops reading loses the connection.
    bool SendLocked(const uint8_t* p, size_t n)
    {
        int f;
        {
            std::lock_guard<std::mutex> lock(fdMutex);
            f = fd;
        }
        if (f < 0) {
            return false;
        }
        while (n > 0) {
            pollfd pfd{f, POLLOUT, 0};
            const int r = ::poll(&pfd, 1, kSendTimeoutMs);
            if (r < 0 && errno == EINTR) {
                continue;
            }
            if (r <= 0) {
                Shutdown();
                return false;
            }
            const ssize_t sent = ::send(f, p, n, MSG_NOSIGNAL | MSG_DONTWAIT);
            if (sent < 0) {
                if (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK) {
                    continue;
                }
                return false;
            }
            p += sent;
            n -= static_cast<size_t>(sent);
        }
        return true;
    }

    bool Send(const std::vector<uint8_t>& bytes)
    {
        std::lock_guard<std::mutex> lock(sendMutex);
        return SendLocked(bytes.data(), bytes.size());
    }
};

struct Symbol {
    std::string name;
    std::vector<uint8_t> value;
    Behaviour behaviour = Behaviour::Constant;
    std::string typeName;
    std::string comment;
};

struct Notification {
    uint32_t handle = 0;
    uint64_t connId = 0;
    std::weak_ptr<Connection> connection;
    AmsAddr client{AmsNetId{0, 0, 0, 0, 0, 0}, 0};
    AmsAddr server{AmsNetId{0, 0, 0, 0, 0, 0}, 0};
    bool bySymbol = false;
    std::string symbolKey;
    uint32_t group = 0;
    uint32_t offset = 0;
    uint32_t length = 0;
    bool onChange = false;
    Clock::duration period{};
    bool armed = false; // set once the add reply went out
    Clock::time_point nextDue{};
    bool sent = false;
    std::vector<uint8_t> last;
};

struct Delayed {
    Clock::time_point due;
    std::shared_ptr<Connection> conn;
    std::vector<uint8_t> bytes;
    std::vector<uint32_t> arm;
};

struct Latest {
    uint64_t connId = 0;
    AmsAddr client{AmsNetId{0, 0, 0, 0, 0, 0}, 0};
    AmsAddr server{AmsNetId{0, 0, 0, 0, 0, 0}, 0};
};

} // namespace

struct PlcSimulator::Impl {
    explicit Impl(const SimOptions& o)
        : deviceName(o.deviceName), version(o.version), adsState(o.adsState), deviceState(o.deviceState),
          symbolInfo(o.symbolInfo),
          tickPeriod(std::max<Clock::duration>(o.tickPeriod, std::chrono::milliseconds(1)))
    {
    }

    // ---- model, guarded by mtx ----
    mutable std::mutex mtx;
    std::condition_variable tickCv;
    std::string deviceName;
    AdsVersion version;
    uint16_t adsState;
    uint16_t deviceState;
    const bool symbolInfo;
    std::map<uint32_t, std::map<uint32_t, std::vector<uint8_t>>> memory;
    std::map<std::string, Symbol> symbols; // key: lower-case name
    std::unordered_map<uint32_t, std::string> handles;
    uint32_t nextSymbolHandle = 1;
    std::map<uint32_t, Notification> notifications;
    uint32_t nextNotificationHandle = 0x1000;
    std::optional<uint64_t> fixedClock;
    Clock::duration tickPeriod;
    uint64_t tickCount = 0;
    Clock::time_point nextTick{};
    const Clock::time_point tickEpoch = Clock::now();
    std::vector<ReplyFault> faults;
    bool silent = false;
    std::set<uint16_t> silentPorts;
    RequestHook hook;
    std::vector<Delayed> delayed;
    std::optional<Clock::time_point> relistenAt;
    bool tickerStop = false;

    // ---- recording ----
    mutable std::mutex recMtx;
    mutable std::condition_variable recCv;
    std::vector<Request> records;
    size_t recordLimit = 100000;
    size_t recordBytes = 0;
    uint64_t recordSeq = 0;

    // ---- log ----
    std::mutex logMtx;
    std::function<void(const std::string&)> logSink;
    std::atomic<bool> verbose{false};

    // ---- connections ----
    mutable std::mutex connMtx;
    std::vector<std::shared_ptr<Connection>> conns;
    std::atomic<uint64_t> accepted{0};
    std::optional<Latest> latest;

    // ---- life cycle: apiMtx serialises Start/Stop/Restart; lifeMtx guards the listener ----
    std::mutex apiMtx;
    mutable std::mutex lifeMtx;
    bool running = false;
    int listenFd = -1;
    int wakePipe[2] = {-1, -1};
    std::thread acceptThread;
    std::string bindAddress = "127.0.0.1";
    uint16_t port = 0;
    std::thread ticker;

    void Log(const std::string& line)
    {
        std::lock_guard<std::mutex> lock(logMtx);
        if (logSink) {
            logSink(line);
        }
    }

    uint64_t NowLocked() const { return fixedClock ? *fixedClock : ToFileTime(std::chrono::system_clock::now()); }

    // ---------------- listener ----------------

    // lifeMtx held. Throws on failure.
    void OpenListener()
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
    void CloseListener()
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
    bool Relisten()
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
    void ReapLocked()
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

    void AcceptLoop(int lfd, int wakeFd)
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
            const std::string peerText = std::string(text) + ":" + std::to_string(ntohs(peer.sin_port));

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
    }

    // Shuts every connection down and joins its thread.
    void CloseAllConnections()
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

    // ---------------- connection ----------------

    static bool RecvAll(int fd, uint8_t* p, size_t n)
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

    void Serve(Connection* c)
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

    void ServeLoop(Connection& c)
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

    void Record(const Request& r)
    {
        std::lock_guard<std::mutex> lock(recMtx);
        records.push_back(r);
        recordBytes += r.raw.size() + r.data.size();
        TrimLocked();
        ++recordSeq;
        recCv.notify_all();
    }

    // Trims in batches so a long run costs amortised constant time per packet.
    void TrimLocked()
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

    // Returns false when the connection must end.
    bool Handle(Connection& c, const Request& r)
    {
        const AoEHeader& h = r.header;
        if (verbose) {
            std::ostringstream s;
            s << "connection " << c.id << ": cmd " << h.cmdId << " invoke " << h.invokeId << " length " << h.length
              << " from " << AddrText(h.Source()) << " to " << AddrText(h.Target());
            Log(s.str());
        }
        {
            std::lock_guard<std::mutex> lock(connMtx);
            latest = Latest{c.id, h.Source(), h.Target()};
        }
        // Responses and notifications coming from a client are never answered.
        if ((h.stateFlags & 0x0001) != 0 || h.cmdId == ADS_CMD_DEVICE_NOTIFICATION) {
            return true;
        }
        RequestHook hookCopy;
        {
            std::lock_guard<std::mutex> lock(mtx);
            if (silent || silentPorts.count(h.targetPort) != 0) {
                return true;
            }
            hookCopy = hook;
        }
        std::vector<uint32_t> arm;
        std::optional<std::vector<uint8_t>> data;
        if (hookCopy) {
            data = hookCopy(r);
        }
        if (!data) {
            data = Execute(c, h, r.data, arm);
        }
        const AoEHeader reply = h.ResponseTo(static_cast<uint32_t>(data->size()));
        return SendReply(c, reply, std::move(*data), TakeFault(h.cmdId), arm);
    }

    std::optional<ReplyFault> TakeFault(uint16_t cmdId)
    {
        std::lock_guard<std::mutex> lock(mtx);
        for (auto it = faults.begin(); it != faults.end(); ++it) {
            if (it->count > 0 && (it->command == 0 || it->command == cmdId)) {
                ReplyFault f = *it;
                if (it->count != ReplyFault::kForever && --it->count == 0) {
                    faults.erase(it);
                }
                return f;
            }
        }
        return std::nullopt;
    }

    void Arm(const std::vector<uint32_t>& arm)
    {
        if (arm.empty()) {
            return;
        }
        std::lock_guard<std::mutex> lock(mtx);
        for (uint32_t handle : arm) {
            auto it = notifications.find(handle);
            if (it != notifications.end()) {
                it->second.armed = true;
                it->second.nextDue = Clock::now();
            }
        }
        tickCv.notify_all();
    }

    bool SendReply(Connection& c, AoEHeader h, std::vector<uint8_t> data, const std::optional<ReplyFault>& fault,
                   const std::vector<uint32_t>& arm)
    {
        using K = ReplyFault::Kind;
        if (!fault) {
            const bool ok = c.Send(Packet(h, data));
            Arm(arm);
            return ok;
        }
        const uint32_t v = fault->value;
        switch (fault->kind) {
        case K::Delay: {
            std::lock_guard<std::mutex> lock(mtx);
            delayed.push_back(Delayed{Clock::now() + fault->delay, c.shared_from_this(), Packet(h, data), arm});
            tickCv.notify_all();
            return true;
        }
        case K::Drop:
            Arm(arm);
            return true;
        case K::WrongInvokeId:
            h.invokeId = v != 0 ? v : (h.invokeId ^ 0x80000000u);
            break;
        case K::UnknownCommand:
            h.cmdId = static_cast<uint16_t>(v != 0 ? v : 100);
            break;
        case K::AmsError:
            h.errorCode = v != 0 ? v : 0x700;
            break;
        case K::Oversized:
            data.resize(data.size() + (v != 0 ? v : 16), 0);
            h.length = static_cast<uint32_t>(data.size());
            break;
        case K::Undersized:
            data.resize(v != 0 ? v : 2, 0);
            h.length = static_cast<uint32_t>(data.size());
            break;
        case K::ShortFrameBefore: {
            const uint32_t n = std::min<uint32_t>(v != 0 ? v : 10, AoEHeader::SIZE - 1);
            std::vector<uint8_t> shortFrame(AmsTcpHeader::SIZE + n, 0);
            AmsTcpHeader tcp;
            tcp.length = n;
            tcp.Encode(shortFrame.data());
            const auto packet = Packet(h, data);
            shortFrame.insert(shortFrame.end(), packet.begin(), packet.end());
            const bool ok = c.Send(shortFrame);
            Arm(arm);
            return ok;
        }
        case K::Split: {
            const auto packet = Packet(h, data);
            bool ok = true;
            {
                std::lock_guard<std::mutex> lock(c.sendMutex);
                for (size_t i = 0; ok && i < packet.size(); ++i) {
                    ok = c.SendLocked(&packet[i], 1);
                }
            }
            Arm(arm);
            return ok;
        }
        case K::CloseBefore:
        case K::ResetBefore: {
            std::lock_guard<std::mutex> lock(c.sendMutex);
            c.CloseLocked(fault->kind == K::ResetBefore);
            return false;
        }
        case K::CloseInside:
        case K::ResetInside: {
            const auto packet = Packet(h, data);
            size_t cut = data.empty() ? 20 : AmsTcpHeader::SIZE + AoEHeader::SIZE + data.size() / 2;
            if (v != 0) {
                cut = v;
            }
            cut = std::min(cut, packet.size() - 1);
            std::lock_guard<std::mutex> lock(c.sendMutex);
            c.SendLocked(packet.data(), cut);
            c.CloseLocked(fault->kind == K::ResetInside);
            return false;
        }
        case K::CloseAfter:
        case K::ResetAfter: {
            const auto packet = Packet(h, data);
            std::lock_guard<std::mutex> lock(c.sendMutex);
            c.SendLocked(packet.data(), packet.size());
            c.CloseLocked(fault->kind == K::ResetAfter);
            return false;
        }
        }
        const bool ok = c.Send(Packet(h, data));
        Arm(arm);
        return ok;
    }

    // ---------------- commands (model) ----------------

    // mtx held. Finds the memory region holding [offset, offset + len).
    uint32_t LocateLocked(uint32_t group, uint32_t offset, uint64_t len, std::vector<uint8_t>** region, size_t* pos)
    {
        auto g = memory.find(group);
        if (g == memory.end()) {
            return kErrInvalidGroup;
        }
        auto it = g->second.upper_bound(offset);
        if (it == g->second.begin()) {
            return kErrInvalidOffset;
        }
        --it;
        const uint64_t rel = offset - it->first;
        const uint64_t size = it->second.size();
        if (rel > size || (rel == size && size != 0)) {
            return kErrInvalidOffset;
        }
        if (rel + len > size) {
            return kErrInvalidSize;
        }
        *region = &it->second;
        *pos = static_cast<size_t>(rel);
        return 0;
    }

    Symbol* SymbolByHandleLocked(uint32_t handle)
    {
        auto h = handles.find(handle);
        if (h == handles.end()) {
            return nullptr;
        }
        auto s = symbols.find(h->second);
        return s == symbols.end() ? nullptr : &s->second;
    }

    // The made-up address of a symbol: its place in the name-ordered table.
    uint32_t SymbolOffsetLocked(const std::string& key) const
    {
        uint64_t offset = 0;
        for (auto it = symbols.begin(); it != symbols.end() && it->first != key; ++it) {
            offset += it->second.value.size();
        }
        return static_cast<uint32_t>(offset);
    }

    static std::vector<uint8_t> SymbolEntryLocked(const Symbol& s, uint32_t offset)
    {
        return EncodeSymbolEntry(s.name, s.typeName.empty() ? DefaultTypeName(s.value.size()) : s.typeName,
                                 s.comment, static_cast<uint32_t>(s.value.size()), kSymbolAreaGroup, offset);
    }

    std::vector<uint8_t> SymbolUploadLocked(uint32_t group, uint32_t len)
    {
        std::vector<uint8_t> table;
        uint32_t offset = 0;
        for (const auto& entry : symbols) {
            const std::vector<uint8_t> bytes = SymbolEntryLocked(entry.second, offset);
            table.insert(table.end(), bytes.begin(), bytes.end());
            offset += static_cast<uint32_t>(entry.second.value.size());
        }
        if (group == ADS_IGRP_SYMBOL_UPLOAD_INFO) {
            uint8_t info[24] = {};
            le::Writer(info).Put<uint32_t>(static_cast<uint32_t>(symbols.size())).Put<uint32_t>(
                static_cast<uint32_t>(table.size()));
            return ReadResult(0, info, std::min<size_t>(len, sizeof(info)));
        }
        return table.size() > len ? ReadResult(kErrInvalidSize) : ReadResult(0, table.data(), table.size());
    }

    std::vector<uint8_t> ReadLocked(uint32_t group, uint32_t offset, uint32_t len)
    {
        if (group == ADS_IGRP_SYMBOL_VALUE_BY_HANDLE) {
            Symbol* s = SymbolByHandleLocked(offset);
            if (s == nullptr) {
                return ReadResult(kErrSymbolNotFound);
            }
            if (len > s->value.size()) {
                return ReadResult(kErrInvalidSize);
            }
            return ReadResult(0, s->value.data(), len);
        }
        if (group == ADS_IGRP_SYMBOL_HANDLE_BY_NAME || group == ADS_IGRP_SYMBOL_RELEASE_HANDLE) {
            return ReadResult(kErrServiceNotSupported);
        }
        if (symbolInfo && (group == ADS_IGRP_SYMBOL_UPLOAD_INFO || group == ADS_IGRP_SYMBOL_UPLOAD)) {
            return SymbolUploadLocked(group, len);
        }
        std::vector<uint8_t>* region = nullptr;
        size_t pos = 0;
        const uint32_t code = LocateLocked(group, offset, len, &region, &pos);
        if (code != 0) {
            return ReadResult(code);
        }
        return ReadResult(0, region->data() + pos, len);
    }

    uint32_t WriteLocked(uint32_t group, uint32_t offset, const uint8_t* p, uint32_t len)
    {
        if (group == ADS_IGRP_SYMBOL_VALUE_BY_HANDLE) {
            Symbol* s = SymbolByHandleLocked(offset);
            if (s == nullptr) {
                return kErrSymbolNotFound;
            }
            if (len > s->value.size()) {
                return kErrInvalidSize;
            }
            std::copy(p, p + len, s->value.begin());
            return 0;
        }
        if (group == ADS_IGRP_SYMBOL_RELEASE_HANDLE) {
            if (len < 4) {
                return kErrInvalidSize;
            }
            return handles.erase(le::Read<uint32_t>(p)) != 0 ? 0 : kErrSymbolNotFound;
        }
        if (group == ADS_IGRP_SYMBOL_HANDLE_BY_NAME) {
            return kErrServiceNotSupported;
        }
        std::vector<uint8_t>* region = nullptr;
        size_t pos = 0;
        const uint32_t code = LocateLocked(group, offset, len, &region, &pos);
        if (code != 0) {
            return code;
        }
        std::copy(p, p + len, region->begin() + static_cast<std::ptrdiff_t>(pos));
        return 0;
    }

    std::vector<uint8_t> ReadWriteLocked(uint32_t group, uint32_t offset, uint32_t readLen, const uint8_t* p,
                                         uint32_t writeLen)
    {
        if (group == ADS_IGRP_SYMBOL_HANDLE_BY_NAME) {
            std::string name(reinterpret_cast<const char*>(p), writeLen);
            while (!name.empty() && name.back() == '\0') {
                name.pop_back();
            }
            if (readLen < 4) {
                return ReadResult(kErrInvalidSize);
            }
            const std::string key = Lower(name);
            if (symbols.find(key) == symbols.end()) {
                return ReadResult(kErrSymbolNotFound);
            }
            if (handles.size() >= kMaxHandles) {
                return ReadResult(kErrNoMoreHandles);
            }
            while (nextSymbolHandle == 0 || handles.count(nextSymbolHandle) != 0) {
                ++nextSymbolHandle;
            }
            const uint32_t handle = nextSymbolHandle++;
            handles.emplace(handle, key);
            uint8_t out[4];
            le::Write<uint32_t>(out, handle);
            return ReadResult(0, out, 4);
        }
        if (group == ADS_IGRP_FILE_OPEN || group == ADS_IGRP_FILE_CLOSE) {
            return ReadResult(kErrServiceNotSupported);
        }
        if (symbolInfo && group == ADS_IGRP_SYMBOL_INFO_BY_NAME) {
            auto it = symbols.find(Lower(std::string(reinterpret_cast<const char*>(p), writeLen).c_str()));
            if (it == symbols.end()) {
                return ReadResult(kErrSymbolNotFound);
            }
            const std::vector<uint8_t> entry = SymbolEntryLocked(it->second, SymbolOffsetLocked(it->first));
            return entry.size() > readLen ? ReadResult(kErrInvalidSize) : ReadResult(0, entry.data(), entry.size());
        }
        if (writeLen > 0 || group == ADS_IGRP_SYMBOL_RELEASE_HANDLE) {
            const uint32_t code = WriteLocked(group, offset, p, writeLen);
            if (code != 0 || group == ADS_IGRP_SYMBOL_RELEASE_HANDLE) {
                return ReadResult(code);
            }
        }
        if (readLen == 0) {
            return ReadResult(0);
        }
        return ReadLocked(group, offset, readLen);
    }

    std::vector<uint8_t> AddNotificationLocked(Connection& c, const AoEHeader& h, le::Reader& rd,
                                               std::vector<uint32_t>& arm)
    {
        auto fail = [](uint32_t code) {
            std::vector<uint8_t> out(8, 0);
            le::Write<uint32_t>(out.data(), code);
            return out;
        };
        const uint32_t group = rd.Get<uint32_t>();
        const uint32_t offset = rd.Get<uint32_t>();
        const uint32_t length = rd.Get<uint32_t>();
        const uint32_t mode = rd.Get<uint32_t>();
        rd.Get<uint32_t>(); // maximum delay: samples go out as soon as they are due
        const uint32_t sampling = rd.Get<uint32_t>();
        if (length == 0 || length > kMaxWatchLength) {
            return fail(kErrInvalidWatchSize);
        }
        if (mode != ADS_TRANS_SERVER_CYCLE && mode != ADS_TRANS_SERVER_ON_CHANGE) {
            return fail(kErrInvalidParameter);
        }
        if (notifications.size() >= kMaxNotifications) {
            return fail(kErrNoMoreHandles);
        }
        Notification n;
        if (group == ADS_IGRP_SYMBOL_VALUE_BY_HANDLE) {
            auto it = handles.find(offset);
            if (it == handles.end() || symbols.find(it->second) == symbols.end()) {
                return fail(kErrSymbolNotFound);
            }
            n.bySymbol = true;
            n.symbolKey = it->second;
        } else {
            std::vector<uint8_t>* region = nullptr;
            size_t pos = 0;
            const uint32_t code = LocateLocked(group, offset, 0, &region, &pos);
            if (code != 0) {
                return fail(code);
            }
        }
        while (nextNotificationHandle == 0 || notifications.count(nextNotificationHandle) != 0) {
            ++nextNotificationHandle;
        }
        n.handle = nextNotificationHandle++;
        n.connId = c.id;
        n.connection = c.shared_from_this();
        n.client = h.Source();
        n.server = h.Target();
        n.group = group;
        n.offset = offset;
        n.length = length;
        n.onChange = mode == ADS_TRANS_SERVER_ON_CHANGE;
        n.period = std::max<Clock::duration>(std::chrono::nanoseconds(uint64_t{sampling} * 100),
                                             std::chrono::milliseconds(1));
        const uint32_t handle = n.handle;
        notifications.emplace(handle, std::move(n));
        c.newestNotification = handle;
        arm.push_back(handle);
        std::vector<uint8_t> out(8, 0);
        le::Write<uint32_t>(out.data() + 4, handle);
        return out;
    }

    std::vector<uint8_t> Execute(Connection& c, const AoEHeader& h, const std::vector<uint8_t>& payload,
                                 std::vector<uint32_t>& arm)
    {
        le::Reader rd(payload.data(), payload.size());
        std::lock_guard<std::mutex> lock(mtx);
        switch (h.cmdId) {
        case ADS_CMD_READ_DEVICE_INFO: {
            std::vector<uint8_t> out(24, 0);
            le::Writer w(out.data());
            w.Put<uint32_t>(0).Put<uint8_t>(version.majorVersion).Put<uint8_t>(version.minorVersion);
            w.Put<uint16_t>(version.buildNumber);
            w.PutBytes(deviceName.data(), std::min<size_t>(deviceName.size(), 16));
            return out;
        }
        case ADS_CMD_READ_STATE: {
            std::vector<uint8_t> out(8);
            le::Writer(out.data()).Put<uint32_t>(0).Put<uint16_t>(adsState).Put<uint16_t>(deviceState);
            return out;
        }
        case ADS_CMD_WRITE_CONTROL: {
            if (payload.size() < 4) {
                return Result(kErrInvalidSize);
            }
            adsState = rd.Get<uint16_t>();
            deviceState = rd.Get<uint16_t>();
            return Result(0);
        }
        case ADS_CMD_READ: {
            if (payload.size() < 12) {
                return ReadResult(kErrInvalidSize);
            }
            const uint32_t group = rd.Get<uint32_t>();
            const uint32_t offset = rd.Get<uint32_t>();
            const uint32_t len = rd.Get<uint32_t>();
            return ReadLocked(group, offset, len);
        }
        case ADS_CMD_WRITE: {
            if (payload.size() < 12) {
                return Result(kErrInvalidSize);
            }
            const uint32_t group = rd.Get<uint32_t>();
            const uint32_t offset = rd.Get<uint32_t>();
            const uint32_t len = rd.Get<uint32_t>();
            if (len > rd.Remaining()) {
                return Result(kErrInvalidSize);
            }
            return Result(WriteLocked(group, offset, rd.Position(), len));
        }
        case ADS_CMD_READ_WRITE: {
            if (payload.size() < 16) {
                return ReadResult(kErrInvalidSize);
            }
            const uint32_t group = rd.Get<uint32_t>();
            const uint32_t offset = rd.Get<uint32_t>();
            const uint32_t readLen = rd.Get<uint32_t>();
            const uint32_t writeLen = rd.Get<uint32_t>();
            if (writeLen > rd.Remaining()) {
                return ReadResult(kErrInvalidSize);
            }
            return ReadWriteLocked(group, offset, readLen, rd.Position(), writeLen);
        }
        case ADS_CMD_ADD_DEVICE_NOTIFICATION: {
            if (payload.size() < 24) {
                std::vector<uint8_t> out(8, 0);
                le::Write<uint32_t>(out.data(), kErrInvalidSize);
                return out;
            }
            return AddNotificationLocked(c, h, rd, arm);
        }
        case ADS_CMD_DEL_DEVICE_NOTIFICATION: {
            if (payload.size() < 4) {
                return Result(kErrInvalidSize);
            }
            auto it = notifications.find(rd.Get<uint32_t>());
            if (it == notifications.end() || it->second.connId != c.id) {
                return Result(kErrNotifyHandleInvalid);
            }
            notifications.erase(it);
            return Result(0);
        }
        default:
            return Result(kErrServiceNotSupported);
        }
    }

    // ---------------- ticker ----------------

    void ApplyBehavioursLocked()
    {
        const double angle = 0.1 * static_cast<double>(tickCount);
        for (auto& entry : symbols) {
            Symbol& s = entry.second;
            switch (s.behaviour) {
            case Behaviour::Constant:
                break;
            case Behaviour::CountUp:
                Step(s.value, 1);
                break;
            case Behaviour::CountDown:
                Step(s.value, -1);
                break;
            case Behaviour::Sine:
                if (s.value.size() == 4) {
                    const float f = static_cast<float>(100.0 * std::sin(angle));
                    uint32_t bits;
                    std::memcpy(&bits, &f, 4);
                    le::Write<uint32_t>(s.value.data(), bits);
                } else if (s.value.size() == 8) {
                    const double d = 100.0 * std::sin(angle);
                    uint64_t bits;
                    std::memcpy(&bits, &d, 8);
                    le::Write<uint64_t>(s.value.data(), bits);
                }
                break;
            }
        }
    }

    // mtx held: the current watched bytes, or nullopt when the variable is gone.
    std::optional<std::vector<uint8_t>> SampleLocked(const Notification& n)
    {
        std::vector<uint8_t> out(n.length, 0);
        if (n.bySymbol) {
            auto it = symbols.find(n.symbolKey);
            if (it == symbols.end()) {
                return std::nullopt;
            }
            std::copy_n(it->second.value.begin(), std::min<size_t>(n.length, it->second.value.size()), out.begin());
            return out;
        }
        std::vector<uint8_t>* region = nullptr;
        size_t pos = 0;
        if (LocateLocked(n.group, n.offset, 0, &region, &pos) != 0) {
            return std::nullopt;
        }
        std::copy_n(region->begin() + static_cast<std::ptrdiff_t>(pos),
                    std::min<size_t>(n.length, region->size() - pos), out.begin());
        return out;
    }

    struct Outgoing {
        std::shared_ptr<Connection> conn;
        std::vector<uint8_t> bytes;
    };

    // mtx held: one frame per (connection, client address, server address) with all due samples.
    std::vector<Outgoing> CollectSamplesLocked(Clock::time_point now)
    {
        struct Group {
            std::shared_ptr<Connection> conn;
            NotificationFrame frame;
        };
        std::map<std::tuple<uint64_t, uint64_t, uint64_t>, Group> groups;
        for (auto& entry : notifications) {
            Notification& n = entry.second;
            if (!n.armed || n.nextDue > now) {
                continue;
            }
            // Due times sit on a grid per period, so equal periods fall due together and share frames.
            n.nextDue = tickEpoch + n.period * ((now - tickEpoch) / n.period + 1);
            if (silentPorts.count(n.server.amsPort) != 0) {
                continue;
            }
            auto bytes = SampleLocked(n);
            if (!bytes || (n.onChange && n.sent && *bytes == n.last)) {
                continue;
            }
            auto conn = n.connection.lock();
            if (!conn) {
                continue;
            }
            n.sent = true;
            n.last = *bytes;
            Group& g = groups[std::make_tuple(n.connId, AddrKey(n.client), AddrKey(n.server))];
            if (!g.conn) {
                g.conn = conn;
                g.frame.target = n.client;
                g.frame.source = n.server;
                g.frame.stamps.push_back(RawStamp{NowLocked(), {}, std::nullopt});
            }
            g.frame.stamps[0].samples.push_back(RawSample{n.handle, std::move(*bytes), std::nullopt});
        }
        std::vector<Outgoing> out;
        for (auto& entry : groups) {
            out.push_back(Outgoing{entry.second.conn, BuildNotificationFrame(entry.second.frame)});
        }
        return out;
    }

    void TickerLoop()
    {
        std::unique_lock<std::mutex> lock(mtx);
        nextTick = Clock::now() + tickPeriod;
        while (!tickerStop) {
            const auto now = Clock::now();
            if (now >= nextTick) {
                ApplyBehavioursLocked();
                ++tickCount;
                nextTick += tickPeriod;
                if (nextTick <= now) {
                    nextTick = now + tickPeriod;
                }
            }
            if (relistenAt && now >= *relistenAt) {
                relistenAt.reset();
                lock.unlock();
                const bool ok = Relisten();
                lock.lock();
                if (!ok && !tickerStop) {
                    relistenAt = Clock::now() + std::chrono::milliseconds(50);
                }
                continue;
            }
            std::vector<Delayed> due;
            for (auto it = delayed.begin(); it != delayed.end();) {
                if (it->due <= now) {
                    due.push_back(std::move(*it));
                    it = delayed.erase(it);
                } else {
                    ++it;
                }
            }
            std::vector<Outgoing> frames;
            if (!silent) {
                frames = CollectSamplesLocked(now);
            }
            if (!due.empty() || !frames.empty()) {
                const bool quiet = silent;
                lock.unlock();
                for (auto& d : due) {
                    if (!quiet) {
                        d.conn->Send(d.bytes);
                    }
                    Arm(d.arm);
                }
                for (auto& f : frames) {
                    f.conn->Send(f.bytes);
                }
                lock.lock();
                continue;
            }
            auto wake = nextTick;
            if (relistenAt) {
                wake = std::min(wake, *relistenAt);
            }
            for (const auto& d : delayed) {
                wake = std::min(wake, d.due);
            }
            for (const auto& entry : notifications) {
                if (entry.second.armed && !silent) {
                    wake = std::min(wake, entry.second.nextDue);
                }
            }
            tickCv.wait_until(lock, wake);
        }
    }

    void StopTicker()
    {
        {
            std::lock_guard<std::mutex> lock(mtx);
            tickerStop = true;
            relistenAt.reset();
        }
        tickCv.notify_all();
        if (ticker.joinable()) {
            ticker.join();
        }
    }

    std::shared_ptr<Connection> ConnectionById(uint64_t id)
    {
        std::lock_guard<std::mutex> lock(connMtx);
        for (auto& c : conns) {
            if (c->id == id && !c->finished) {
                return c;
            }
        }
        return nullptr;
    }
};

// ---------------------------------------------------------------------------

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

void PlcSimulator::SetState(uint16_t adsState, uint16_t deviceState)
{
    std::lock_guard<std::mutex> lock(impl->mtx);
    impl->adsState = adsState;
    impl->deviceState = deviceState;
}

uint16_t PlcSimulator::AdsState() const
{
    std::lock_guard<std::mutex> lock(impl->mtx);
    return impl->adsState;
}

uint16_t PlcSimulator::DeviceState() const
{
    std::lock_guard<std::mutex> lock(impl->mtx);
    return impl->deviceState;
}

void PlcSimulator::SetDeviceInfo(const std::string& name, AdsVersion version)
{
    std::lock_guard<std::mutex> lock(impl->mtx);
    impl->deviceName = name;
    impl->version = version;
}

void PlcSimulator::SetMemory(uint32_t group, uint32_t offset, const std::vector<uint8_t>& bytes)
{
    std::lock_guard<std::mutex> lock(impl->mtx);
    impl->memory[group][offset] = bytes;
}

std::vector<uint8_t> PlcSimulator::GetMemory(uint32_t group, uint32_t offset, size_t length) const
{
    std::lock_guard<std::mutex> lock(impl->mtx);
    std::vector<uint8_t>* region = nullptr;
    size_t pos = 0;
    if (impl->LocateLocked(group, offset, 0, &region, &pos) != 0) {
        return {};
    }
    const size_t n = std::min(length, region->size() - pos);
    return std::vector<uint8_t>(region->begin() + static_cast<std::ptrdiff_t>(pos),
                                region->begin() + static_cast<std::ptrdiff_t>(pos + n));
}

void PlcSimulator::AddSymbol(const std::string& name, std::vector<uint8_t> initial, Behaviour behaviour,
                             const std::string& typeName, const std::string& comment)
{
    std::lock_guard<std::mutex> lock(impl->mtx);
    impl->symbols[Lower(name)] = Symbol{name, std::move(initial), behaviour, typeName, comment};
}

void PlcSimulator::AddSymbols(const std::vector<SymbolDef>& symbols)
{
    for (const auto& s : symbols) {
        AddSymbol(s.name, s.initial, s.behaviour, s.typeName, s.comment);
    }
}

void PlcSimulator::LoadDefaultSymbols()
{
    AddSymbols(DefaultSymbols());
}

bool PlcSimulator::RemoveSymbol(const std::string& name)
{
    std::lock_guard<std::mutex> lock(impl->mtx);
    return impl->symbols.erase(Lower(name)) != 0;
}

void PlcSimulator::ClearSymbols()
{
    std::lock_guard<std::mutex> lock(impl->mtx);
    impl->symbols.clear();
}

void PlcSimulator::SetSymbolValue(const std::string& name, const std::vector<uint8_t>& bytes)
{
    std::lock_guard<std::mutex> lock(impl->mtx);
    auto it = impl->symbols.find(Lower(name));
    if (it == impl->symbols.end()) {
        throw std::out_of_range("unknown symbol '" + name + "'");
    }
    it->second.value = bytes;
}

std::vector<uint8_t> PlcSimulator::GetSymbolValue(const std::string& name) const
{
    std::lock_guard<std::mutex> lock(impl->mtx);
    auto it = impl->symbols.find(Lower(name));
    if (it == impl->symbols.end()) {
        throw std::out_of_range("unknown symbol '" + name + "'");
    }
    return it->second.value;
}

bool PlcSimulator::HasSymbol(const std::string& name) const
{
    std::lock_guard<std::mutex> lock(impl->mtx);
    return impl->symbols.count(Lower(name)) != 0;
}

void PlcSimulator::SetTickPeriod(std::chrono::milliseconds period)
{
    {
        std::lock_guard<std::mutex> lock(impl->mtx);
        impl->tickPeriod = std::max<Clock::duration>(period, std::chrono::milliseconds(1));
        impl->nextTick = Clock::now() + impl->tickPeriod;
    }
    impl->tickCv.notify_all();
}

size_t PlcSimulator::OpenHandleCount() const
{
    std::lock_guard<std::mutex> lock(impl->mtx);
    return impl->handles.size();
}

size_t PlcSimulator::NotificationCount() const
{
    std::lock_guard<std::mutex> lock(impl->mtx);
    return impl->notifications.size();
}

size_t PlcSimulator::NotificationCountFor(const AmsNetId& client) const
{
    std::lock_guard<std::mutex> lock(impl->mtx);
    return static_cast<size_t>(std::count_if(impl->notifications.begin(), impl->notifications.end(),
                                             [&](const auto& entry) { return entry.second.client.amsNetId == client; }));
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

void PlcSimulator::SetClock(uint64_t fileTime)
{
    std::lock_guard<std::mutex> lock(impl->mtx);
    impl->fixedClock = fileTime;
}

void PlcSimulator::UseSystemClock()
{
    std::lock_guard<std::mutex> lock(impl->mtx);
    impl->fixedClock.reset();
}

uint64_t PlcSimulator::Now() const
{
    std::lock_guard<std::mutex> lock(impl->mtx);
    return impl->NowLocked();
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

void PlcSimulator::SetRequestHook(RequestHook hook)
{
    std::lock_guard<std::mutex> lock(impl->mtx);
    impl->hook = std::move(hook);
}

void PlcSimulator::InjectReplyFault(const ReplyFault& fault)
{
    if (fault.count == 0) {
        return;
    }
    std::lock_guard<std::mutex> lock(impl->mtx);
    impl->faults.push_back(fault);
}

void PlcSimulator::ClearReplyFaults()
{
    std::lock_guard<std::mutex> lock(impl->mtx);
    impl->faults.clear();
}

size_t PlcSimulator::PendingReplyFaults() const
{
    std::lock_guard<std::mutex> lock(impl->mtx);
    return impl->faults.size();
}

void PlcSimulator::SetSilent(bool silent)
{
    {
        std::lock_guard<std::mutex> lock(impl->mtx);
        impl->silent = silent;
    }
    impl->tickCv.notify_all();
}

void PlcSimulator::SetSilentPort(uint16_t adsPort, bool silent)
{
    {
        std::lock_guard<std::mutex> lock(impl->mtx);
        if (silent) {
            impl->silentPorts.insert(adsPort);
        } else {
            impl->silentPorts.erase(adsPort);
        }
    }
    impl->tickCv.notify_all();
}

bool PlcSimulator::Silent() const
{
    std::lock_guard<std::mutex> lock(impl->mtx);
    return impl->silent;
}

void PlcSimulator::Restart(std::chrono::milliseconds downtime)
{
    std::lock_guard<std::mutex> api(impl->apiMtx);
    {
        std::lock_guard<std::mutex> lock(impl->lifeMtx);
        if (!impl->running) {
            return;
        }
        impl->CloseListener();
    }
    impl->Log("restarting, down for " + std::to_string(downtime.count()) + " ms");
    impl->CloseAllConnections();
    {
        std::lock_guard<std::mutex> lock(impl->mtx);
        impl->handles.clear();
        impl->notifications.clear();
        impl->delayed.clear();
        impl->relistenAt = Clock::now() + downtime;
    }
    impl->tickCv.notify_all();
}

void PlcSimulator::DropConnections()
{
    std::lock_guard<std::mutex> lock(impl->connMtx);
    for (auto& c : impl->conns) {
        c->Shutdown();
    }
}

size_t PlcSimulator::SendRaw(const std::vector<uint8_t>& bytes)
{
    std::vector<std::shared_ptr<Connection>> list;
    {
        std::lock_guard<std::mutex> lock(impl->connMtx);
        list = impl->conns;
    }
    size_t sent = 0;
    for (auto& c : list) {
        if (!c->finished && c->Send(bytes)) {
            ++sent;
        }
    }
    return sent;
}

bool PlcSimulator::SendRawToLatest(const std::vector<uint8_t>& bytes)
{
    std::shared_ptr<Connection> target;
    {
        std::lock_guard<std::mutex> lock(impl->connMtx);
        for (auto it = impl->conns.rbegin(); it != impl->conns.rend(); ++it) {
            if (!(*it)->finished) {
                target = *it;
                break;
            }
        }
    }
    return target && target->Send(bytes);
}

std::optional<NotificationFrame> PlcSimulator::FrameForLatestClient() const
{
    std::lock_guard<std::mutex> lock(impl->connMtx);
    if (!impl->latest) {
        return std::nullopt;
    }
    NotificationFrame f;
    f.target = impl->latest->client;
    f.source = impl->latest->server;
    return f;
}

size_t PlcSimulator::Flood(size_t frames, size_t payloadSize)
{
    std::optional<Latest> l;
    {
        std::lock_guard<std::mutex> lock(impl->connMtx);
        l = impl->latest;
    }
    if (!l) {
        return 0;
    }
    auto conn = impl->ConnectionById(l->connId);
    if (!conn) {
        return 0;
    }
    constexpr size_t kOverhead = 8 + 12 + 8; // stream head, one stamp head, one sample head
    NotificationFrame f;
    f.target = l->client;
    f.source = l->server;
    RawSample s;
    s.handle = conn->newestNotification;
    s.data.assign(payloadSize > kOverhead ? payloadSize - kOverhead : 0, 0x5A);
    f.stamps.push_back(RawStamp{Now(), {std::move(s)}, std::nullopt});
    const auto bytes = BuildNotificationFrame(f);
    size_t sent = 0;
    while (sent < frames && conn->Send(bytes)) {
        ++sent;
    }
    return sent;
}

} // namespace plcsim
