#include "AdsRequests.h"

#include "AmsConnection.h"
#include "AmsRouter.h"
#include "LittleEndian.h"

#include <cstring>
#include <limits>
#include <new>
#include <stdexcept>
#include <string>

using namespace plc::ads;

namespace {
constexpr uint32_t MAX_WATCHED_LENGTH = 4 * 1024 * 1024 - 64;

bool PortValid(int32_t port)
{
    return port > 0 && port <= std::numeric_limits<uint16_t>::max();
}

// Variable data that would not fit a frame (whose size also carries both headers)
// is refused the way a failed allocation would be.
bool TooLarge(uint32_t length, size_t fixed)
{
    constexpr size_t headers = AmsTcpHeader::SIZE + AoEHeader::SIZE;
    return length > std::numeric_limits<uint32_t>::max() - fixed - headers ||
           length > std::numeric_limits<size_t>::max() - fixed - headers;
}

// The argument rules every request shares, in the order callers rely on.
int32_t CheckArguments(int32_t port, const AmsAddr* pAddr, bool pointerMissing)
{
    if (!PortValid(port)) {
        return ADS_ERR_PORT_NOT_OPEN;
    }
    if (!pAddr) {
        return ADS_ERR_NO_AMS_ADDRESS;
    }
    return pointerMissing ? ADS_ERR_INVALID_PARAMETER : ADS_OK;
}

// Running out of memory while a request is built or sent is a result code, not an exception.
template <typename Send>
int32_t NoMemoryAsCode(Send&& send)
{
    try {
        return send();
    } catch (const std::bad_alloc&) {
        return ADS_ERR_NO_MEMORY;
    }
}
}

int32_t AdsPortOpenEx()
{
    return GetRouter().OpenPort();
}

int32_t AdsPortCloseEx(int32_t port)
{
    if (!PortValid(port)) {
        return ADS_ERR_PORT_NOT_OPEN;
    }
    return GetRouter().ClosePort(static_cast<uint16_t>(port));
}

int32_t AdsGetLocalAddressEx(int32_t port, AmsAddr* pAddr)
{
    if (!PortValid(port)) {
        return ADS_ERR_PORT_NOT_OPEN;
    }
    if (!pAddr) {
        return ADS_ERR_NO_AMS_ADDRESS;
    }
    return GetRouter().GetLocalAddress(static_cast<uint16_t>(port), pAddr);
}

int32_t AdsSyncGetTimeoutEx(int32_t port, uint32_t* timeoutMs)
{
    if (!PortValid(port)) {
        return ADS_ERR_PORT_NOT_OPEN;
    }
    if (!timeoutMs) {
        return ADS_ERR_INVALID_PARAMETER;
    }
    return GetRouter().GetTimeout(static_cast<uint16_t>(port), *timeoutMs);
}

int32_t AdsSyncSetTimeoutEx(int32_t port, uint32_t timeoutMs)
{
    if (!PortValid(port)) {
        return ADS_ERR_PORT_NOT_OPEN;
    }
    return GetRouter().SetTimeout(static_cast<uint16_t>(port), timeoutMs);
}

int32_t AdsSyncReadReqEx2(int32_t port, const AmsAddr* pAddr, uint32_t indexGroup, uint32_t indexOffset,
                          uint32_t bufferLength, void* buffer, uint32_t* bytesRead)
{
    if (const int32_t invalid = CheckArguments(port, pAddr, !buffer)) {
        return invalid;
    }
    return NoMemoryAsCode([&] {
        AmsRequest request{*pAddr, static_cast<uint16_t>(port), ADS_CMD_READ, 12, bufferLength, buffer, bytesRead};
        request.frame.prepend<uint32_t>(bufferLength).prepend<uint32_t>(indexOffset).prepend<uint32_t>(indexGroup);
        return GetRouter().AdsRequest(request);
    });
}

int32_t AdsSyncReadWriteReqEx2(int32_t port, const AmsAddr* pAddr, uint32_t indexGroup, uint32_t indexOffset,
                               uint32_t readLength, void* readData, uint32_t writeLength, const void* writeData,
                               uint32_t* bytesRead)
{
    if (const int32_t invalid = CheckArguments(port, pAddr, (readLength && !readData) || (writeLength && !writeData))) {
        return invalid;
    }
    if (TooLarge(writeLength, 16)) {
        return ADS_ERR_NO_MEMORY;
    }
    return NoMemoryAsCode([&] {
        AmsRequest request{*pAddr,          static_cast<uint16_t>(port), ADS_CMD_READ_WRITE, 16u + size_t{writeLength},
                           readLength,      readData,                    bytesRead};
        if (writeLength) {
            request.frame.prepend(writeData, writeLength);
        }
        request.frame.prepend<uint32_t>(writeLength)
            .prepend<uint32_t>(readLength)
            .prepend<uint32_t>(indexOffset)
            .prepend<uint32_t>(indexGroup);
        return GetRouter().AdsRequest(request);
    });
}

int32_t AdsSyncWriteReqEx(int32_t port, const AmsAddr* pAddr, uint32_t indexGroup, uint32_t indexOffset,
                          uint32_t bufferLength, const void* buffer)
{
    if (const int32_t invalid = CheckArguments(port, pAddr, !buffer)) {
        return invalid;
    }
    if (TooLarge(bufferLength, 12)) {
        return ADS_ERR_NO_MEMORY;
    }
    return NoMemoryAsCode([&] {
        AmsRequest request{*pAddr, static_cast<uint16_t>(port), ADS_CMD_WRITE, 12u + size_t{bufferLength}};
        if (bufferLength) {
            request.frame.prepend(buffer, bufferLength);
        }
        request.frame.prepend<uint32_t>(bufferLength).prepend<uint32_t>(indexOffset).prepend<uint32_t>(indexGroup);
        return GetRouter().AdsRequest(request);
    });
}

int32_t AdsSyncReadStateReqEx(int32_t port, const AmsAddr* pAddr, uint16_t* adsState, uint16_t* devState)
{
    if (const int32_t invalid = CheckArguments(port, pAddr, !adsState || !devState)) {
        return invalid;
    }
    return NoMemoryAsCode([&] {
        uint8_t reply[4] = {};
        AmsRequest request{*pAddr, static_cast<uint16_t>(port), ADS_CMD_READ_STATE, 0, sizeof(reply), reply};
        const int32_t status = GetRouter().AdsRequest(request);
        if (!status) {
            *adsState = le::Read<uint16_t>(reply);
            *devState = le::Read<uint16_t>(reply + 2);
        }
        return status;
    });
}

int32_t AdsSyncWriteControlReqEx(int32_t port, const AmsAddr* pAddr, uint16_t adsState, uint16_t devState,
                                 uint32_t bufferLength, const void* buffer)
{
    if (const int32_t invalid = CheckArguments(port, pAddr, bufferLength && !buffer)) {
        return invalid;
    }
    if (TooLarge(bufferLength, 8)) {
        return ADS_ERR_NO_MEMORY;
    }
    return NoMemoryAsCode([&] {
        AmsRequest request{*pAddr, static_cast<uint16_t>(port), ADS_CMD_WRITE_CONTROL, 8u + size_t{bufferLength}};
        if (bufferLength) {
            request.frame.prepend(buffer, bufferLength);
        }
        request.frame.prepend<uint32_t>(bufferLength).prepend<uint16_t>(devState).prepend<uint16_t>(adsState);
        return GetRouter().AdsRequest(request);
    });
}

int32_t AdsSyncReadDeviceInfoReqEx(int32_t port, const AmsAddr* pAddr, char* devName, AdsVersion* version)
{
    if (const int32_t invalid = CheckArguments(port, pAddr, !devName || !version)) {
        return invalid;
    }
    return NoMemoryAsCode([&] {
        // Zeroed: a short reply leaves the missing part of name and version at 0.
        uint8_t reply[4 + 16] = {};
        AmsRequest request{*pAddr, static_cast<uint16_t>(port), ADS_CMD_READ_DEVICE_INFO, 0, sizeof(reply), reply};
        const int32_t status = GetRouter().AdsRequest(request);
        if (!status) {
            version->majorVersion = reply[0];
            version->minorVersion = reply[1];
            version->buildNumber = le::Read<uint16_t>(reply + 2);
            std::memcpy(devName, reply + 4, 16);
        }
        return status;
    });
}

int32_t AdsSyncAddDeviceNotificationReqEx(int32_t port, const AmsAddr* pAddr, uint32_t indexGroup,
                                          uint32_t indexOffset, const AdsNotificationAttrib* pAttrib,
                                          PAdsNotificationFuncEx pFunc, uint32_t hUser, uint32_t* pNotification)
{
    if (const int32_t invalid = CheckArguments(port, pAddr, !pAttrib || !pFunc || !pNotification)) {
        return invalid;
    }
    // A sample must fit the dispatcher's ring whole; a larger one could never be delivered.
    if (pAttrib->watchedLength > MAX_WATCHED_LENGTH) {
        return ADSERR_DEVICE_INVALIDWATCHSIZE;
    }
    return NoMemoryAsCode([&] {
        uint8_t reply[4] = {};
        AmsRequest request{*pAddr, static_cast<uint16_t>(port), ADS_CMD_ADD_DEVICE_NOTIFICATION, 40, sizeof(reply),
                           reply};
        const uint8_t reserved[16] = {};
        request.frame.prepend(reserved, sizeof(reserved))
            .prepend<uint32_t>(pAttrib->samplingPeriod)
            .prepend<uint32_t>(pAttrib->maximumDelay)
            .prepend<uint32_t>(pAttrib->transmissionMode)
            .prepend<uint32_t>(pAttrib->watchedLength)
            .prepend<uint32_t>(indexOffset)
            .prepend<uint32_t>(indexGroup);
        auto notification = std::make_shared<Notification>(pFunc, hUser, pAttrib->watchedLength, *pAddr,
                                                           static_cast<uint16_t>(port));
        return GetRouter().AddNotification(request, pNotification, std::move(notification));
    });
}

int32_t AdsSyncDelDeviceNotificationReqEx(int32_t port, const AmsAddr* pAddr, uint32_t hNotification)
{
    if (const int32_t invalid = CheckArguments(port, pAddr, false)) {
        return invalid;
    }
    return GetRouter().DelNotification(static_cast<uint16_t>(port), pAddr, hNotification);
}

namespace plc::ads {

int32_t AddLocalRoute(AmsNetId netId, const char* host, uint32_t connectTimeoutMs, const SecureSettings* secure)
{
    if (!host) {
        throw std::logic_error("AddLocalRoute: host is null");
    }
    try {
        return GetRouter().AddRoute(netId, std::string(host), std::chrono::milliseconds(connectTimeoutMs), secure);
    } catch (const std::bad_alloc&) {
        return ADS_ERR_NO_MEMORY;
    } catch (const ConnectError&) {
        throw; // its text names the address and the reason, which a code cannot
    } catch (const std::runtime_error&) {
        return ADS_ERR_TARGET_PORT_NOT_FOUND;
    }
}

std::string GetRouteAddress(AmsNetId netId)
{
    return GetRouter().RouteAddress(netId);
}

void DelLocalRoute(AmsNetId netId)
{
    GetRouter().DelRoute(netId);
}

void SetLocalAddress(AmsNetId netId)
{
    GetRouter().SetLocalAddress(netId);
}

void SetConnectTimeout(uint32_t timeoutMs)
{
    GetRouter().SetConnectTimeout(std::chrono::milliseconds(timeoutMs));
}

void AbortConnection(AmsNetId netId)
{
    GetRouter().AbortConnection(netId);
}

int32_t ForgetNotification(int32_t port, const AmsAddr& addr, uint32_t handle)
{
    if (!PortValid(port)) {
        return ADS_ERR_PORT_NOT_OPEN;
    }
    return GetRouter().ForgetNotification(static_cast<uint16_t>(port), addr, handle);
}

int32_t ReleaseUnawaited(int32_t port, const AmsAddr& addr, const std::vector<uint32_t>& notifications,
                         const std::vector<uint32_t>& symbolHandles)
{
    if (!PortValid(port)) {
        return ADS_ERR_PORT_NOT_OPEN;
    }
    try {
        GrantReleases releases{notifications, symbolHandles};
        return GetRouter().ReleaseUnawaited(static_cast<uint16_t>(port), addr, releases);
    } catch (const std::bad_alloc&) {
        return ADS_ERR_NO_MEMORY;
    }
}

std::vector<LostNotification> TakeLostNotifications(int32_t port)
{
    std::vector<LostNotification> taken;
    if (PortValid(port)) {
        for (const AmsPort::Lost& lost : GetRouter().TakeLostNotifications(static_cast<uint16_t>(port))) {
            taken.push_back(LostNotification{lost.callback, lost.userValue});
        }
    }
    return taken;
}

ConnectionCounters GetConnectionCounters(AmsNetId netId)
{
    return GetRouter().Counters(netId);
}

} // namespace plc::ads
