// The process-wide AMS router: TCP connections to remote routers, the routes from
// target NetIds to them, the 128 local ports and the local NetId.
#pragma once

#include "AdsDef.h"
#include "AmsConnection.h"
#include "AmsPort.h"
#include "NotificationDispatcher.h"
#include "SecureSettings.h"
#include "Sockets.h"

#include <array>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <unordered_set>
#include <vector>

class AmsRouter : public Router {
public:
    explicit AmsRouter(AmsNetId netId = AmsNetId{});
    ~AmsRouter() override = default;
    AmsRouter(const AmsRouter&) = delete;
    AmsRouter& operator=(const AmsRouter&) = delete;

    // Throws the resolver's exception for an unknown host and, when no connection can be
    // built, what stopped it (a plc::ads::ConnectError when the TCP connect failed).
    // A non-zero `connectLimit` shortens the TCP connect bound for this route's attempt.
    // With `secure` the route runs over the secure transport (its port unless the host
    // names one); a failed set-up throws plc::ads::SecureConnectError with its text.
    int32_t AddRoute(AmsNetId ams, const std::string& host,
                     std::chrono::milliseconds connectLimit = std::chrono::milliseconds(0),
                     const plc::ads::SecureSettings* secure = nullptr);
    int32_t AddRoute(AmsNetId ams, const IpV4& ip);
    void DelRoute(const AmsNetId& ams);
    std::shared_ptr<AmsConnection> GetConnection(const AmsNetId& ams);
    // The address of the PLC ("10.1.2.3:48898") whose connection serves the NetId; empty for none.
    std::string RouteAddress(const AmsNetId& ams);

    uint16_t OpenPort();
    int32_t ClosePort(uint16_t port);
    int32_t GetLocalAddress(uint16_t port, AmsAddr* addr) override;
    void SetLocalAddress(AmsNetId netId);
    AmsNetId GetLocalNetId();
    int32_t GetTimeout(uint16_t port, uint32_t& timeout);
    int32_t SetTimeout(uint16_t port, uint32_t timeout);

    int32_t AdsRequest(AmsRequest& request);
    int32_t AddNotification(AmsRequest& request, uint32_t* pNotification, std::shared_ptr<Notification> notify);
    // Several notifications of one port and target granted by one request: `decode` turns the
    // reply into one handle per notification, 0 for those refused. `kept` gets the handles
    // kept, 0 also for a grant that could not be kept (its handle was granted again).
    using GrantDecoder = std::function<int32_t(std::vector<uint32_t>& handles)>;
    int32_t AddNotifications(AmsRequest& request, const std::vector<std::shared_ptr<Notification>>& notifies,
                             const GrantDecoder& decode, std::vector<uint32_t>& kept);
    int32_t DelNotification(uint16_t port, const AmsAddr* pAddr, uint32_t hNotification);
    int32_t ForgetNotification(uint16_t port, const AmsAddr& addr, uint32_t hNotification);
    bool HoldsNotification(uint16_t port, const AmsAddr& addr, uint32_t hNotification);
    // Forgets a notification the target deleted already, without a request.
    bool DropNotification(uint16_t port, const AmsAddr& addr, uint32_t hNotification);
    // Forgets the notifications and sends their deletes and the symbol handles' releases
    // without waiting for the replies.
    int32_t ReleaseUnawaited(uint16_t port, const AmsAddr& addr, const plc::ads::GrantReleases& releases);
    // Notifications of the port given up while their owners still hold them.
    std::vector<AmsPort::Lost> TakeLostNotifications(uint16_t port);

    // Upper bound of the TCP connect of every connection built from now on.
    void SetConnectTimeout(std::chrono::milliseconds timeout);
    // Ends the connection that serves the NetId; its routes stay until deleted.
    void AbortConnection(const AmsNetId& ams);

    size_t ConnectionCount();
    // The losses of the connection serving the NetId, and how often the NetId was reconnected.
    plc::ads::ConnectionCounters Counters(const AmsNetId& ams);
    // Number of AddRoute calls for the NetId not yet matched by DelRoute; 0 when unrouted.
    uint32_t RouteCount(const AmsNetId& ams);

private:
    // The connection for a request's target with its port checked; null with the code otherwise.
    std::shared_ptr<AmsConnection> ConnectionFor(AmsRequest& request, int32_t& status);
    struct Route {
        std::shared_ptr<AmsConnection> connection;
        uint32_t count;
    };
    using Lock = std::unique_lock<std::recursive_mutex>;
    using Doomed = std::vector<std::shared_ptr<AmsConnection>>;

    void AwaitConnectionAttempts(const AmsNetId& ams, Lock& lock);
    // Points the NetId at the connection and counts one more route for it; a route that
    // still pointed at a lost connection moves over with all its counts.
    void MapRoute(const AmsNetId& ams, const std::shared_ptr<AmsConnection>& connection, Doomed& doomed);
    void DeleteIfLastConnection(const std::shared_ptr<AmsConnection>& connection, Doomed& doomed);
    bool IsOpen(const std::shared_ptr<AmsConnection>& connection);
    // A grant of a handle that a live notification of the port holds: both are given up.
    bool GrantedAgain(AmsConnection& connection, AmsPort& port, NotificationDispatcher& dispatcher,
                      const AmsAddr& target, uint16_t localPort, uint32_t handle);
    static bool PortInRange(uint16_t port) { return port >= ADS_PORT_BASE && port - ADS_PORT_BASE < ADS_PORT_COUNT; }

    AmsNetId localNetId;
    std::recursive_mutex routerMutex;
    std::condition_variable_any attemptFinished;
    std::set<AmsNetId> pendingAttempts;
    std::unordered_set<std::shared_ptr<AmsConnection>> openConnections;
    std::map<AmsNetId, Route> routeTable;
    // Per NetId: the connection it was last mapped to, whether that one served answers, and how
    // often a connection that had served was followed by a new one (attempts that never got an
    // answer do not count).
    struct History {
        uint64_t connection = 0;
        bool served = false;
        uint64_t reconnections = 0;
    };
    void NoteServed(const AmsNetId& ams, const AmsConnection& connection);
    std::map<AmsNetId, History> history;
    std::chrono::milliseconds connectTimeout{5000};
    // A port being closed stays out of OpenPort until its notifications are deleted.
    std::array<bool, ADS_PORT_COUNT> closing{};
    std::array<AmsPort, ADS_PORT_COUNT> localPorts;
};

// The one router of the process, created on first use.
AmsRouter& GetRouter();
