// Device notifications: adding and deleting them, sampling the watched bytes, grouping due
// samples into frames, and hand-made frames for tests.
#include "tools/sim/SimServer.h"

#include <algorithm>
#include <tuple>

namespace plcsim {

namespace {

uint64_t AddrKey(const AmsAddr& a)
{
    uint64_t k = a.amsPort;
    for (size_t i = 0; i < 6; ++i) {
        k |= static_cast<uint64_t>(a.amsNetId.b[i]) << (16 + 8 * i);
    }
    return k;
}

} // namespace

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

std::vector<uint8_t> PlcSimulator::Impl::AddNotificationLocked(Connection& c, const AoEHeader& h, le::Reader& rd,
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
    if (maxNotificationsPerClient != 0 &&
        std::count_if(notifications.begin(), notifications.end(), [&](const auto& n) {
            return n.second.connId == c.id;
        }) >= static_cast<std::ptrdiff_t>(maxNotificationsPerClient)) {
        return fail(kErrNoMoreNotifications);
    }
    if (notifications.size() >= kMaxNotifications) {
        return fail(kErrNoMoreNotifications);
    }
    Notification n;
    if (group == ADS_IGRP_SYMBOL_VALUE_BY_HANDLE) {
        size_t element = 0;
        size_t size = 0;
        if (SymbolByHandleLocked(offset, &element, &size) == nullptr) {
            return fail(kErrSymbolNotFound);
        }
        n.bySymbol = true;
        n.symbolKey = handles.at(offset).key;
        n.symbolOffset = element;
        n.symbolSize = handles.at(offset).size;
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

std::vector<uint8_t> PlcSimulator::Impl::DeleteNotificationLocked(Connection& c, uint32_t handle)
{
    auto it = notifications.find(handle);
    if (it == notifications.end() || it->second.connId != c.id) {
        return Result(kErrNotifyHandleInvalid);
    }
    notifications.erase(it);
    return Result(0);
}

void PlcSimulator::Impl::Arm(const std::vector<uint32_t>& arm)
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

// mtx held: the current watched bytes, or nullopt when the variable is gone.
std::optional<std::vector<uint8_t>> PlcSimulator::Impl::SampleLocked(const Notification& n)
{
    std::vector<uint8_t> out(n.length, 0);
    if (n.bySymbol) {
        auto it = symbols.find(n.symbolKey);
        if (it == symbols.end()) {
            return std::nullopt;
        }
        const std::vector<uint8_t>& value = it->second.value;
        const size_t start = std::min(n.symbolOffset, value.size());
        const size_t available = std::min(value.size() - start, n.symbolSize.value_or(value.size()));
        std::copy_n(value.begin() + static_cast<std::ptrdiff_t>(start), std::min<size_t>(n.length, available),
                    out.begin());
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

// mtx held: one frame per (connection, client address, server address) with all due samples.
std::vector<Outgoing> PlcSimulator::Impl::CollectSamplesLocked(Clock::time_point now)
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
