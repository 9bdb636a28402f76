#include "AmsRouter.h"

#include "Log.h"
#include "SecureStream.h"

#include <algorithm>
#include <exception>

AmsRouter::AmsRouter(AmsNetId netId) : localNetId(netId)
{
}

int32_t AmsRouter::AddRoute(AmsNetId ams, const IpV4& ip)
{
    const uint32_t v = ip.value;
    const std::string host = std::to_string((v >> 24) & 0xFF) + "." + std::to_string((v >> 16) & 0xFF) + "." +
                             std::to_string((v >> 8) & 0xFF) + "." + std::to_string(v & 0xFF);
    return AddRoute(ams, host);
}

int32_t AmsRouter::AddRoute(AmsNetId ams, const std::string& host, std::chrono::milliseconds connectLimit,
                            const plc::ads::SecureSettings* secure)
{
    const plc::ads::AddressList addresses =
        plc::ads::GetListOfAddresses(host, secure ? std::to_string(secure->port) : AMS_TCP_PORT_TEXT);
    const std::string sharingKey = secure ? secure->SharingKey() : std::string();

    Doomed doomed; // destroyed after the lock is released: joining threads under it would stall every caller
    Lock lock(routerMutex);
    AwaitConnectionAttempts(ams, lock);

    const auto route = routeTable.find(ams);
    if (route != routeTable.end()) {
        if (!route->second.connection->IsConnectedTo(addresses.get(), sharingKey)) {
            return ROUTERERR_PORTALREADYINUSE;
        }
        if (!route->second.connection->IsLost()) {
            MapRoute(ams, route->second.connection, doomed);
            return 0;
        }
    }

    // A lost connection is never shared: a route added now must be able to work.
    for (const auto& connection : openConnections) {
        if (!connection->IsLost() && connection->IsConnectedTo(addresses.get(), sharingKey)) {
            MapRoute(ams, connection, doomed);
            return 0;
        }
    }

    pendingAttempts.insert(ams);
    const std::chrono::milliseconds timeout =
        connectLimit.count() > 0 ? std::min(connectTimeout, connectLimit) : connectTimeout;
    const SecureStream::Peer peer{host, plc::ads::HostPart(host), ams, localNetId};
    lock.unlock();

    const auto endAttempt = [&] {
        lock.lock();
        pendingAttempts.erase(ams);
        attemptFinished.notify_all();
    };
    std::shared_ptr<AmsConnection> connection;
    try {
        connection = secure ? std::make_shared<AmsConnection>(
                                  *this, SecureStream::Open(addresses.get(), timeout, *secure, peer))
                            : std::make_shared<AmsConnection>(*this, addresses.get(), timeout);
    } catch (...) {
        // A failed TCP connect names the address and the reason, a secure set-up what to check.
        endAttempt();
        throw;
    }

    lock.lock();
    pendingAttempts.erase(ams);
    attemptFinished.notify_all();

    if (!openConnections.insert(connection).second) {
        doomed.push_back(std::move(connection));
        return -1;
    }
    if (!localNetId) {
        localNetId = AmsNetId(connection->localIp);
    }
    MapRoute(ams, connection, doomed);
    return connection->localIp ? 0 : ADS_ERR_INTERNAL;
}

void AmsRouter::MapRoute(const AmsNetId& ams, const std::shared_ptr<AmsConnection>& connection, Doomed& doomed)
{
    auto it = routeTable.find(ams);
    if (it == routeTable.end()) {
        it = routeTable.emplace(ams, Route{connection, 0}).first;
    } else if (it->second.connection != connection) {
        const std::shared_ptr<AmsConnection> previous = it->second.connection;
        NoteServed(ams, *previous);
        previous->routeCount -= it->second.count;
        connection->routeCount += it->second.count;
        it->second.connection = connection;
        DeleteIfLastConnection(previous, doomed);
    }
    ++it->second.count;
    ++connection->routeCount;
    History& past = history[ams];
    if (past.connection != 0 && past.connection != connection->Id() && past.served) {
        ++past.reconnections;
    }
    if (past.connection != connection->Id()) {
        past.served = false;
    }
    past.connection = connection->Id();
}

void AmsRouter::NoteServed(const AmsNetId& ams, const AmsConnection& connection)
{
    History& past = history[ams];
    if (past.connection == connection.Id()) {
        past.served = past.served || connection.HasServed();
    }
}

void AmsRouter::AwaitConnectionAttempts(const AmsNetId& ams, Lock& lock)
{
    attemptFinished.wait(lock, [&] { return pendingAttempts.find(ams) == pendingAttempts.end(); });
}

void AmsRouter::DelRoute(const AmsNetId& ams)
{
    Doomed doomed;
    Lock lock(routerMutex);
    AwaitConnectionAttempts(ams, lock);

    const auto it = routeTable.find(ams);
    if (it == routeTable.end()) {
        return;
    }
    const std::shared_ptr<AmsConnection> connection = it->second.connection;
    --connection->routeCount;
    if (--it->second.count == 0) {
        NoteServed(ams, *connection);
        routeTable.erase(it);
        DeleteIfLastConnection(connection, doomed);
    }
}

void AmsRouter::DeleteIfLastConnection(const std::shared_ptr<AmsConnection>& connection, Doomed& doomed)
{
    if (!connection) {
        return;
    }
    for (const auto& route : routeTable) {
        if (route.second.connection == connection) {
            return;
        }
    }
    const auto it = openConnections.find(connection);
    if (it == openConnections.end()) {
        return;
    }
    // Notifications served by this connection's dispatchers die with it; deleting them
    // later would call into a destroyed connection.
    for (size_t i = 0; i < localPorts.size(); ++i) {
        const uint16_t number = static_cast<uint16_t>(ADS_PORT_BASE + i);
        localPorts[i].ForgetNotifications(
            [&](const AmsAddr& target, const std::shared_ptr<NotificationDispatcher>& dispatcher) {
                return connection->DispatcherListGet(DispatcherKey{number, target}) == dispatcher;
            });
    }
    doomed.push_back(*it);
    openConnections.erase(it);
}

bool AmsRouter::IsOpen(const std::shared_ptr<AmsConnection>& connection)
{
    Lock lock(routerMutex);
    return openConnections.count(connection) != 0;
}

std::shared_ptr<AmsConnection> AmsRouter::GetConnection(const AmsNetId& ams)
{
    Lock lock(routerMutex);
    const auto it = routeTable.find(ams);
    return it == routeTable.end() ? nullptr : it->second.connection;
}

std::string AmsRouter::RouteAddress(const AmsNetId& ams)
{
    const std::shared_ptr<AmsConnection> connection = GetConnection(ams);
    return connection ? connection->PeerText() : std::string();
}

uint16_t AmsRouter::OpenPort()
{
    Lock lock(routerMutex);
    for (size_t i = 0; i < localPorts.size(); ++i) {
        if (!localPorts[i].IsOpen() && !closing[i]) {
            return localPorts[i].Open(static_cast<uint16_t>(ADS_PORT_BASE + i));
        }
    }
    return 0;
}

int32_t AmsRouter::ClosePort(uint16_t port)
{
    Lock lock(routerMutex);
    if (!PortInRange(port)) {
        return ADS_ERR_PORT_NOT_OPEN;
    }
    const size_t index = port - ADS_PORT_BASE;
    if (!localPorts[index].IsOpen() || closing[index]) {
        return ADS_ERR_PORT_NOT_OPEN;
    }
    // The deletes of the port's notifications wait for replies: never under the router's lock.
    closing[index] = true;
    lock.unlock();
    localPorts[index].Close();
    lock.lock();
    closing[index] = false;
    return 0;
}

int32_t AmsRouter::GetLocalAddress(uint16_t port, AmsAddr* addr)
{
    Lock lock(routerMutex);
    if (!PortInRange(port) || !localPorts[port - ADS_PORT_BASE].IsOpen()) {
        return ADS_ERR_PORT_NOT_OPEN;
    }
    addr->amsNetId = localNetId;
    addr->amsPort = port;
    return 0;
}

void AmsRouter::SetLocalAddress(AmsNetId netId)
{
    Lock lock(routerMutex);
    localNetId = netId;
}

AmsNetId AmsRouter::GetLocalNetId()
{
    Lock lock(routerMutex);
    return localNetId;
}

int32_t AmsRouter::GetTimeout(uint16_t port, uint32_t& timeout)
{
    Lock lock(routerMutex);
    if (!PortInRange(port)) {
        return ADS_ERR_PORT_NOT_OPEN;
    }
    timeout = localPorts[port - ADS_PORT_BASE].tmms;
    return 0;
}

int32_t AmsRouter::SetTimeout(uint16_t port, uint32_t timeout)
{
    Lock lock(routerMutex);
    if (!PortInRange(port)) {
        return ADS_ERR_PORT_NOT_OPEN;
    }
    localPorts[port - ADS_PORT_BASE].tmms = timeout;
    return 0;
}

std::shared_ptr<AmsConnection> AmsRouter::ConnectionFor(AmsRequest& request, int32_t& status)
{
    if (request.bytesRead) {
        *request.bytesRead = 0;
    }
    std::shared_ptr<AmsConnection> connection = GetConnection(request.targetAddr.amsNetId);
    if (!connection) {
        status = ADS_ERR_TARGET_NOT_FOUND;
        return nullptr;
    }
    if (!PortInRange(request.port)) {
        status = ADS_ERR_PORT_NOT_OPEN;
        return nullptr;
    }
    return connection;
}

int32_t AmsRouter::AdsRequest(AmsRequest& request)
{
    int32_t status = 0;
    const std::shared_ptr<AmsConnection> connection = ConnectionFor(request, status);
    if (!connection) {
        return status;
    }
    const uint32_t timeout = localPorts[request.port - ADS_PORT_BASE].tmms;
    return connection->AdsRequest(request, timeout);
}

namespace {
// The target sends the first sample right after its grant, often in the same breath: the
// dispatcher holds its frames until the handles are known.
struct DispatcherHold {
    NotificationDispatcher& d;
    explicit DispatcherHold(NotificationDispatcher& dispatcher) : d(dispatcher) { d.Hold(); }
    ~DispatcherHold() { d.Unhold(); }
    DispatcherHold(const DispatcherHold&) = delete;
    DispatcherHold& operator=(const DispatcherHold&) = delete;
};
}

bool AmsRouter::GrantedAgain(AmsConnection& connection, AmsPort& port, NotificationDispatcher& dispatcher,
                             const AmsAddr& target, uint16_t localPort, uint32_t handle)
{
    const std::shared_ptr<Notification> holder = dispatcher.Find(handle);
    if (!holder) {
        return false;
    }
    // Two owners of one handle cannot tell their samples apart, whatever the target meant:
    // both are given up (the target may hold the handle once or twice) and the earlier owner
    // learns it has to subscribe again.
    LOG_WARN("notification 0x" << std::hex << handle << " granted again while a live one holds it, deleting both");
    port.NoteLost(*holder);
    port.DropNotification(target, handle);
    plc::ads::GrantReleases twice;
    twice.notifications.assign(2, handle);
    connection.ReleaseUnawaited(localPort, target, twice);
    return true;
}

int32_t AmsRouter::AddNotification(AmsRequest& request, uint32_t* pNotification,
                                   std::shared_ptr<Notification> notify)
{
    int32_t found = 0;
    const std::shared_ptr<AmsConnection> connection = ConnectionFor(request, found);
    if (!connection) {
        return found;
    }
    AmsPort& port = localPorts[request.port - ADS_PORT_BASE];
    if (!port.IsOpen()) {
        return ADS_ERR_PORT_NOT_OPEN; // before a dispatcher is made for a port nobody owns
    }
    const uint32_t timeout = port.tmms;
    const AmsAddr target = request.targetAddr;
    std::shared_ptr<NotificationDispatcher> dispatcher;
    try {
        dispatcher = connection->DispatcherListAdd(notify->connection);
    } catch (const std::exception& e) {
        // A dispatcher thread that cannot start (a gateway short of threads): nothing was asked yet.
        LOG_ERROR("no dispatcher for a notification: " << e.what());
        return ADS_ERR_NO_MEMORY;
    }
    uint32_t handle = 0;
    {
        const DispatcherHold hold(*dispatcher);
        const int32_t status = connection->AdsRequest(request, timeout);
        if (status) {
            return status;
        }
        handle = request.bufferLength >= sizeof(uint32_t) && request.buffer
                     ? plc::ads::le::Read<uint32_t>(static_cast<const uint8_t*>(request.buffer))
                     : 0;
        if (handle == 0) {
            // A short grant or handle 0 names no notification that could be told apart or deleted.
            return ADS_ERR_INVALID_RESPONSE;
        }
        if (GrantedAgain(*connection, port, *dispatcher, target, request.port, handle)) {
            return ADS_ERR_INVALID_RESPONSE;
        }
        try {
            port.AddNotification(target, handle, connection->CreateNotifyMapping(handle, std::move(notify)));
        } catch (const std::exception&) {
            // The target already granted it: without bookkeeping nobody could ever delete it.
            dispatcher->Forget(handle);
            connection->DeleteNotification(target, handle, 0, request.port);
            return ADS_ERR_NO_MEMORY;
        }
    }
    *pNotification = handle;
    // The route was given up while the grant was on its way: the connection ends with this
    // call, and so would the notification; the entry was booked after the router forgot the
    // connection's notifications, so it is taken back here.
    if (!IsOpen(connection)) {
        port.ForgetNotification(target, handle);
        return ADS_ERR_TARGET_NOT_FOUND;
    }
    return 0;
}

int32_t AmsRouter::AddNotifications(AmsRequest& request, const std::vector<std::shared_ptr<Notification>>& notifies,
                                    const GrantDecoder& decode, std::vector<uint32_t>& kept)
{
    kept.clear();
    int32_t found = 0;
    const std::shared_ptr<AmsConnection> connection = ConnectionFor(request, found);
    if (!connection) {
        return found;
    }
    AmsPort& port = localPorts[request.port - ADS_PORT_BASE];
    if (!port.IsOpen() || notifies.empty()) {
        return notifies.empty() ? ADS_ERR_INVALID_PARAMETER : ADS_ERR_PORT_NOT_OPEN;
    }
    const uint32_t timeout = port.tmms;
    const AmsAddr target = request.targetAddr;
    std::shared_ptr<NotificationDispatcher> dispatcher;
    try {
        dispatcher = connection->DispatcherListAdd(notifies.front()->connection);
    } catch (const std::exception& e) {
        LOG_ERROR("no dispatcher for " << notifies.size() << " notifications: " << e.what());
        return ADS_ERR_NO_MEMORY;
    }
    const DispatcherHold hold(*dispatcher);
    std::vector<uint32_t> handles;
    int32_t status = connection->AdsRequest(request, timeout);
    if (status == 0) {
        status = decode(handles);
    }
    if (status != 0 || handles.size() != notifies.size()) {
        return status ? status : ADS_ERR_INVALID_RESPONSE;
    }
    kept = handles;
    plc::ads::GrantReleases unkept;
    size_t i = 0;
    try {
        for (; i < handles.size(); ++i) {
            if (handles[i] == 0) {
                continue;
            }
            if (GrantedAgain(*connection, port, *dispatcher, target, request.port, handles[i])) {
                kept[i] = 0;
                continue;
            }
            port.AddNotification(target, handles[i], connection->CreateNotifyMapping(handles[i], notifies[i]));
        }
    } catch (const std::exception& e) {
        // Granted but not kept: nobody could ever delete them later.
        LOG_ERROR("no room to keep " << handles.size() << " notifications: " << e.what());
        for (size_t k = 0; k < handles.size(); ++k) {
            if (kept[k] != 0) {
                if (k <= i) {
                    dispatcher->Forget(kept[k]);
                    port.DropNotification(target, kept[k]);
                }
                unkept.notifications.push_back(kept[k]);
            }
        }
        connection->ReleaseUnawaited(request.port, target, unkept);
        kept.clear();
        return ADS_ERR_NO_MEMORY;
    }
    // As for a single grant: a route given up meanwhile takes its notifications with it.
    if (!IsOpen(connection)) {
        for (const uint32_t handle : kept) {
            if (handle != 0) {
                port.ForgetNotification(target, handle);
            }
        }
        kept.clear();
        return ADS_ERR_TARGET_NOT_FOUND;
    }
    return 0;
}

int32_t AmsRouter::DelNotification(uint16_t port, const AmsAddr* pAddr, uint32_t hNotification)
{
    if (!PortInRange(port)) {
        return ADS_ERR_PORT_NOT_OPEN;
    }
    return localPorts[port - ADS_PORT_BASE].DelNotification(*pAddr, hNotification);
}

int32_t AmsRouter::ForgetNotification(uint16_t port, const AmsAddr& addr, uint32_t hNotification)
{
    if (!PortInRange(port)) {
        return ADS_ERR_PORT_NOT_OPEN;
    }
    return localPorts[port - ADS_PORT_BASE].ForgetNotification(addr, hNotification);
}

bool AmsRouter::HoldsNotification(uint16_t port, const AmsAddr& addr, uint32_t hNotification)
{
    return PortInRange(port) && localPorts[port - ADS_PORT_BASE].Holds(addr, hNotification);
}

bool AmsRouter::DropNotification(uint16_t port, const AmsAddr& addr, uint32_t hNotification)
{
    return PortInRange(port) && localPorts[port - ADS_PORT_BASE].DropNotification(addr, hNotification);
}

int32_t AmsRouter::ReleaseUnawaited(uint16_t port, const AmsAddr& addr, const plc::ads::GrantReleases& releases)
{
    if (!PortInRange(port)) {
        return ADS_ERR_PORT_NOT_OPEN;
    }
    for (const uint32_t handle : releases.notifications) {
        localPorts[port - ADS_PORT_BASE].DropNotification(addr, handle);
    }
    const std::shared_ptr<AmsConnection> connection = GetConnection(addr.amsNetId);
    return connection ? connection->ReleaseUnawaited(port, addr, releases) : ADS_ERR_TARGET_NOT_FOUND;
}

std::vector<AmsPort::Lost> AmsRouter::TakeLostNotifications(uint16_t port)
{
    return PortInRange(port) ? localPorts[port - ADS_PORT_BASE].TakeLost() : std::vector<AmsPort::Lost>();
}

void AmsRouter::SetConnectTimeout(std::chrono::milliseconds timeout)
{
    Lock lock(routerMutex);
    connectTimeout = timeout;
}

void AmsRouter::AbortConnection(const AmsNetId& ams)
{
    const std::shared_ptr<AmsConnection> connection = GetConnection(ams);
    if (connection) {
        connection->Abort();
    }
}

size_t AmsRouter::ConnectionCount()
{
    Lock lock(routerMutex);
    return openConnections.size();
}

plc::ads::ConnectionCounters AmsRouter::Counters(const AmsNetId& ams)
{
    std::shared_ptr<AmsConnection> connection;
    plc::ads::ConnectionCounters counters;
    {
        Lock lock(routerMutex);
        const auto route = routeTable.find(ams);
        if (route != routeTable.end()) {
            connection = route->second.connection;
        }
        const auto past = history.find(ams);
        if (past != history.end()) {
            counters.reconnections = past->second.reconnections;
        }
    }
    if (connection) {
        const uint64_t reconnections = counters.reconnections;
        counters = connection->Counters();
        counters.reconnections = reconnections;
        counters.connection = connection->IsLost() ? 0 : connection->Id();
    }
    return counters;
}

uint32_t AmsRouter::RouteCount(const AmsNetId& ams)
{
    Lock lock(routerMutex);
    const auto it = routeTable.find(ams);
    return it == routeTable.end() ? 0 : it->second.count;
}

AmsRouter& GetRouter()
{
    static AmsRouter router;
    return router;
}
