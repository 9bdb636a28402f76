// Owning wrapper around one ADS target: holds a route and a local port, raises
// AdsException for failed requests, and returns handles that release themselves.
#pragma once

#include "AdsDef.h"
#include "AdsRequests.h"

#include <atomic>
#include <cstdint>
#include <exception>
#include <functional>
#include <memory>
#include <string>
#include <vector>

struct AdsException : std::exception {
    explicit AdsException(int32_t code);
    const char* what() const noexcept override { return message.c_str(); }

    const int32_t resultCode;

private:
    std::string message;
};

template <typename T>
struct ResourceDeleter {
    using ReleaseFunc = std::function<int32_t(T)>;
    ResourceDeleter() = default;
    explicit ResourceDeleter(ReleaseFunc f) : release(std::move(f)) {}
    void operator()(T* p) const noexcept
    {
        if (p && release) {
            release(*p);
        }
        delete p;
    }
    ReleaseFunc release;
};

using OwnedHandle = std::unique_ptr<uint32_t, ResourceDeleter<uint32_t>>;

struct AdsDeviceInfo {
    char deviceName[16];
    AdsVersion deviceVersion;
};

struct AdsStatePair {
    ADSSTATE adsState;
    ADSSTATE deviceState;
};

class AdsDevice {
public:
    // A non-zero connectTimeoutMs bounds the TCP connect when it is below the stack's bound.
    // With `secure` the route uses the secure transport (see plc::ads::AddLocalRoute).
    AdsDevice(const std::string& ipV4, AmsNetId netId, uint16_t port, uint32_t connectTimeoutMs = 0,
              const plc::ads::SecureSettings* secure = nullptr);

    uint16_t GetLocalPort() const;
    AdsDeviceInfo GetDeviceInfo() const;
    AdsStatePair GetState() const;
    void SetState(ADSSTATE ads, ADSSTATE device) const;
    uint32_t GetTimeout() const;
    void SetTimeout(uint32_t timeoutMs) const;

    OwnedHandle GetHandle(const std::string& symbolName) const;
    OwnedHandle GetHandle(uint32_t offset) const;
    OwnedHandle GetHandle(uint32_t indexGroup, uint32_t indexOffset, const AdsNotificationAttrib& attributes,
                          PAdsNotificationFuncEx callback, uint32_t userValue) const;
    // Owning handles granted by other requests (sum commands), released like those above.
    OwnedHandle AdoptSymbolHandle(uint32_t handle) const;
    OwnedHandle AdoptNotificationHandle(uint32_t handle) const;
    OwnedHandle OpenFile(const std::string& fileName, uint32_t flags) const;

    int32_t DeleteNotificationHandle(uint32_t handle) const;
    int32_t DeleteSymbolHandle(uint32_t handle) const;
    // Deletes and releases without waiting for the target, for handles whose owner is gone
    // while the target may be slow or silent (see plc::ads::ReleaseUnawaited).
    int32_t ReleaseUnawaited(const std::vector<uint32_t>& notifications,
                             const std::vector<uint32_t>& symbolHandles) const;
    // Notifications of this device's port given up because the target granted their handles again.
    std::vector<plc::ads::LostNotification> TakeLostNotifications() const;
    int32_t CloseFile(uint32_t handle) const;
    int32_t ReadReqEx2(uint32_t group, uint32_t offset, uint32_t length, void* buffer, uint32_t* bytesRead) const;
    int32_t ReadWriteReqEx2(uint32_t group, uint32_t offset, uint32_t readLength, void* readData,
                            uint32_t writeLength, const void* writeData, uint32_t* bytesRead) const;
    int32_t WriteReqEx(uint32_t group, uint32_t offset, uint32_t length, const void* buffer) const;

    // Gives up the TCP connection behind this device (see plc::ads::AbortConnection).
    void AbortConnection() const;

    const AmsAddr& Address() const { return address; }

private:
    std::unique_ptr<const AmsNetId, ResourceDeleter<const AmsNetId>> routeGuard;
    const AmsAddr address;
    std::unique_ptr<const int32_t, ResourceDeleter<const int32_t>> localPortGuard;
    // Set once a release timed out: the target's port is silent, so the remaining deletes and
    // releases are sent without waiting for their replies.
    mutable std::atomic<bool> releasesUnanswered{false};
};

// A device notification on a symbol: deleted on the target before its symbol handle is released.
class AdsNotification {
public:
    AdsNotification(const AdsDevice& device, const std::string& symbolName, const AdsNotificationAttrib& attributes,
                    PAdsNotificationFuncEx callback, uint32_t userValue);
    AdsNotification(OwnedHandle symbol, OwnedHandle notification);

    struct Handles {
        uint32_t symbol;
        uint32_t notification;
    };
    // Gives both handles up without releasing them, for a release in bulk.
    Handles Release();

private:
    OwnedHandle symbolHandle;
    OwnedHandle notificationHandle;
};
