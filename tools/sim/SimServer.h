// The simulator's inside, shared by its parts (private to tools/sim): the connection, the
// model's records and the Impl every part works on. Threads: one accept thread, one thread
// per connection, one ticker for behaviours, notifications, delayed replies and restarts.
#pragma once

#include "tools/sim/PlcSimulator.h"

#include "ads/LittleEndian.h"

#include <sys/socket.h>
#include <poll.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <cstring>
#include <map>
#include <mutex>
#include <set>
#include <thread>
#include <unordered_map>

namespace plcsim {
namespace detail {

using plc::ads::AmsTcpHeader;
using plc::ads::AoEHeader;
namespace le = plc::ads::le;
using Clock = std::chrono::steady_clock;

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
constexpr uint32_t kErrNoMoreNotifications = 0x716;
constexpr uint32_t kErrSymbolNotFound = 0x710;
constexpr uint32_t kErrNotifyHandleInvalid = 0x714;
constexpr uint32_t kErrInvalidWatchSize = 0x717;
constexpr uint32_t kSymbolAreaGroup = 0x4040;

// Symbol names are looked up by this key.
inline std::string Lower(std::string s)
{
    for (auto& c : s) {
        if (c >= 'A' && c <= 'Z') {
            c = static_cast<char>(c - 'A' + 'a');
        }
    }
    return s;
}

// One AMS/TCP packet: headers and command data.
inline std::vector<uint8_t> Packet(const AoEHeader& h, const std::vector<uint8_t>& data)
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

inline bool IsSumGroup(uint32_t group)
{
    return group == 0xF080 || group == 0xF081 || group == 0xF082 || group == 0xF085 || group == 0xF086;
}

inline std::vector<uint8_t> Result(uint32_t code)
{
    std::vector<uint8_t> out(4);
    le::Write<uint32_t>(out.data(), code);
    return out;
}

inline std::vector<uint8_t> ReadResult(uint32_t code, const uint8_t* data = nullptr, size_t n = 0)
{
    std::vector<uint8_t> out(8 + n);
    le::Write<uint32_t>(out.data(), code);
    le::Write<uint32_t>(out.data() + 4, static_cast<uint32_t>(n));
    if (n != 0) {
        std::memcpy(out.data() + 8, data, n);
    }
    return out;
}

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
    double sineCenter = 0;   // a sine's initial value
    uint32_t dataTypeId = 0; // of a type of the program's own; 0: by the type name
    std::vector<SymbolPart> parts; // members that move on their own
};

// What a name or a handle stands for: a whole symbol, or one element of an array symbol.
struct SymbolRef {
    std::string key;               // the symbol's lower-case name
    size_t offset = 0;             // where the element's bytes start in the symbol's value
    std::optional<size_t> size;    // the element's size; none: the whole value, however long
    std::string typeName;          // the element's type name
    uint32_t dataTypeId = 0;       // the element's data type id
};

struct Notification {
    uint32_t handle = 0;
    uint64_t connId = 0;
    std::weak_ptr<Connection> connection;
    AmsAddr client{AmsNetId{0, 0, 0, 0, 0, 0}, 0};
    AmsAddr server{AmsNetId{0, 0, 0, 0, 0, 0}, 0};
    bool bySymbol = false;
    std::string symbolKey;
    size_t symbolOffset = 0;               // of an array element
    std::optional<size_t> symbolSize;      // an array element's; none: the whole symbol
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

struct Outgoing {
    std::shared_ptr<Connection> conn;
    std::vector<uint8_t> bytes;
};

class SecureFront;


} // namespace detail

using namespace detail;

struct PlcSimulator::Impl {
    explicit Impl(const SimOptions& o)
        : deviceName(o.deviceName), version(o.version), adsState(o.adsState), deviceState(o.deviceState),
          symbolInfo(o.symbolInfo), dataTypeInfo(o.dataTypeInfo), netId(o.netId), ownNetIdOnly(o.ownNetIdOnly), adsPorts(o.adsPorts),
          sumCommands(o.sumCommands), maxNotificationsPerClient(o.maxNotificationsPerClient),
          tickPeriod(std::max<Clock::duration>(o.tickPeriod, std::chrono::milliseconds(1)))
    {
        memory[ADS_IGRP_SYMBOL_VERSION][0] = {1};
    }

    // ---- model, guarded by mtx ----
    mutable std::mutex mtx;
    std::condition_variable tickCv;
    std::string deviceName;
    AdsVersion version;
    uint16_t adsState;
    uint16_t deviceState;
    const bool symbolInfo;
    const bool dataTypeInfo;
    const AmsNetId netId;
    const bool ownNetIdOnly;
    const std::set<uint16_t> adsPorts;
    const bool sumCommands;
    const uint32_t maxNotificationsPerClient;
    std::map<uint32_t, std::map<uint32_t, std::vector<uint8_t>>> memory;
    std::map<std::string, Symbol, std::less<>> symbols; // key: lower-case name
    std::map<std::string, StructType> structs;          // the program's structure types by lower-case name
    std::vector<uint8_t> dataTypeTable;
    uint32_t dataTypeCount = 0;
    std::optional<std::pair<std::vector<uint8_t>, uint32_t>> dataTypeOverride; // a test's table and count
    std::unordered_map<uint32_t, SymbolRef> handles;
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
    std::optional<Clock::time_point> runAgainAt; // end of a program change's STOP
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
    std::shared_ptr<SecureFront> secure; // guarded by apiMtx

    void Log(const std::string& line);
    uint64_t NowLocked() const { return fixedClock ? *fixedClock : ToFileTime(std::chrono::system_clock::now()); }

    // Listening and sessions (Server.cpp).
    void OpenListener();
    void CloseListener();
    bool Relisten();
    void ReapLocked();
    void AcceptLoop(int lfd, int wakeFd);
    // Serves a connected stream descriptor (owned from now on) as a client connection.
    void Adopt(int fd, const std::string& peerText);
    bool IsListeningNow() const
    {
        std::lock_guard<std::mutex> lock(lifeMtx);
        return listenFd >= 0;
    }
    void CloseAllConnections();
    std::shared_ptr<Connection> ConnectionById(uint64_t id);
    void Serve(Connection* c);
    void ServeLoop(Connection& c);
    void Record(const Request& r);
    void TrimLocked();

    // Command handling (Commands.cpp).
    bool Handle(Connection& c, const Request& r);
    std::vector<uint8_t> Execute(Connection& c, const AoEHeader& h, const std::vector<uint8_t>& payload,
                                 std::vector<uint32_t>& arm);
    uint32_t LocateLocked(uint32_t group, uint32_t offset, uint64_t len, std::vector<uint8_t>** region, size_t* pos);
    std::vector<uint8_t> ReadLocked(uint32_t group, uint32_t offset, uint32_t len);
    uint32_t WriteLocked(uint32_t group, uint32_t offset, const uint8_t* p, uint32_t len);
    std::vector<uint8_t> ReadWriteLocked(uint32_t group, uint32_t offset, uint32_t readLen, const uint8_t* p,
                                         uint32_t writeLen);

    // Symbol table, handles, symbol information and behaviours (SymbolTable.cpp).
    std::optional<SymbolRef> ResolveLocked(const std::string& name) const;
    // Follows ".member" and "[i, j]" steps from `ref` through the structure types and arrays.
    bool WalkLocked(SymbolRef& ref, const std::string& path) const;
    // Replaces the symbols and the types (Program.cpp).
    void LoadProgramLocked(const SimProgram& program);
    // The data-type table served now and its entry count.
    std::pair<const std::vector<uint8_t>*, uint32_t> DataTypesLocked() const;
    // The symbol behind a handle and the bytes of it the handle stands for.
    Symbol* SymbolByHandleLocked(uint32_t handle, size_t* offset, size_t* size);
    std::vector<uint8_t> ReadByHandleLocked(uint32_t handle, uint32_t len);
    uint32_t WriteByHandleLocked(uint32_t handle, const uint8_t* p, uint32_t len);
    uint32_t ReleaseHandleLocked(const uint8_t* p, uint32_t len);
    std::vector<uint8_t> HandleByNameLocked(const uint8_t* p, uint32_t writeLen, uint32_t readLen);
    uint32_t SymbolOffsetLocked(const std::string& key) const;
    static std::vector<uint8_t> SymbolEntryLocked(const Symbol& s, uint32_t offset);
    std::vector<uint8_t> SymbolUploadLocked(uint32_t group, uint32_t len);
    std::vector<uint8_t> SymbolInfoByNameLocked(const uint8_t* p, uint32_t writeLen, uint32_t readLen);
    void ApplyBehavioursLocked();

    // Notifications (Notifications.cpp).
    std::vector<uint8_t> AddNotificationLocked(Connection& c, const AoEHeader& h, le::Reader& rd,
                                               std::vector<uint32_t>& arm);
    std::vector<uint8_t> DeleteNotificationLocked(Connection& c, uint32_t handle);
    // Sum commands (SumCommands.cpp); `count` is the request's index offset.
    std::vector<uint8_t> SumLocked(Connection& c, const AoEHeader& h, uint32_t group, uint32_t count,
                                   uint32_t readLen, const uint8_t* p, uint32_t writeLen, std::vector<uint32_t>& arm);
    void Arm(const std::vector<uint32_t>& arm);
    std::optional<std::vector<uint8_t>> SampleLocked(const Notification& n);
    std::vector<Outgoing> CollectSamplesLocked(Clock::time_point now);

    // Fault injection (Faults.cpp).
    std::optional<ReplyFault> TakeFault(uint16_t cmdId, const std::vector<uint8_t>& request);
    bool SendReply(Connection& c, AoEHeader h, std::vector<uint8_t> data, const std::optional<ReplyFault>& fault,
                   const std::vector<uint32_t>& arm);

    // The ticker thread (Ticker.cpp).
    void TickerLoop();
    void StopTicker();
};

} // namespace plcsim
