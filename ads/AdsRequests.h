// The flat request interface of the ADS client stack. Every function returns an ADS
// result code: 0 on success, a code of the target or of the stack otherwise.
#pragma once

#include "AdsDef.h"
#include "ConnectionCounters.h"

#include <cstdint>
#include <string>
#include <vector>

int32_t AdsPortOpenEx();
int32_t AdsPortCloseEx(int32_t port);
int32_t AdsGetLocalAddressEx(int32_t port, AmsAddr* pAddr);
int32_t AdsSyncGetTimeoutEx(int32_t port, uint32_t* timeoutMs);
int32_t AdsSyncSetTimeoutEx(int32_t port, uint32_t timeoutMs);

int32_t AdsSyncReadReqEx2(int32_t port, const AmsAddr* pAddr, uint32_t indexGroup, uint32_t indexOffset,
                          uint32_t bufferLength, void* buffer, uint32_t* bytesRead);
int32_t AdsSyncReadWriteReqEx2(int32_t port, const AmsAddr* pAddr, uint32_t indexGroup, uint32_t indexOffset,
                               uint32_t readLength, void* readData, uint32_t writeLength, const void* writeData,
                               uint32_t* bytesRead);
int32_t AdsSyncWriteReqEx(int32_t port, const AmsAddr* pAddr, uint32_t indexGroup, uint32_t indexOffset,
                          uint32_t bufferLength, const void* buffer);
int32_t AdsSyncReadStateReqEx(int32_t port, const AmsAddr* pAddr, uint16_t* adsState, uint16_t* devState);
int32_t AdsSyncWriteControlReqEx(int32_t port, const AmsAddr* pAddr, uint16_t adsState, uint16_t devState,
                                 uint32_t bufferLength, const void* buffer);
int32_t AdsSyncReadDeviceInfoReqEx(int32_t port, const AmsAddr* pAddr, char* devName, AdsVersion* version);

int32_t AdsSyncAddDeviceNotificationReqEx(int32_t port, const AmsAddr* pAddr, uint32_t indexGroup,
                                          uint32_t indexOffset, const AdsNotificationAttrib* pAttrib,
                                          PAdsNotificationFuncEx pFunc, uint32_t hUser, uint32_t* pNotification);
int32_t AdsSyncDelDeviceNotificationReqEx(int32_t port, const AmsAddr* pAddr, uint32_t hNotification);

namespace plc::ads {
struct SecureSettings;
// Adds a route to the NetId over the host ("10.1.2.3", "plc.local", "127.0.0.1:48898", "[::1]:851").
// A non-zero connectTimeoutMs bounds this route's TCP connect when it is below the default bound.
// Throws a ConnectError (ads/Sockets.h) naming the address and the reason when the TCP
// connection cannot be made. With `secure` the route uses the secure transport; its set-up
// failures throw SecureConnectError, whose text names what to check.
int32_t AddLocalRoute(AmsNetId netId, const char* host, uint32_t connectTimeoutMs = 0,
                      const SecureSettings* secure = nullptr);
// The address ("10.1.2.3:48898") of the PLC whose connection serves the NetId; empty for none.
std::string GetRouteAddress(AmsNetId netId);
void DelLocalRoute(AmsNetId netId);
void SetLocalAddress(AmsNetId netId);
// Upper bound of one TCP connect attempt to a remote router (default 5000 ms).
void SetConnectTimeout(uint32_t timeoutMs);
// Ends the TCP connection that serves the NetId, if any: requests waiting on it and
// every later one end at once with ADS_ERR_SYNC_TIMEOUT until its routes are deleted.
void AbortConnection(AmsNetId netId);
// Deletes a notification of the port without waiting for the reply of its target (which does
// not answer), and forgets it.
int32_t ForgetNotification(int32_t port, const AmsAddr& addr, uint32_t handle);
// Deletes notifications (forgetting them) and releases symbol handles of the port without
// waiting for the replies: for what nobody owns any more while the target may be slow.
int32_t ReleaseUnawaited(int32_t port, const AmsAddr& addr, const std::vector<uint32_t>& notifications,
                         const std::vector<uint32_t>& symbolHandles);
// A notification of the port given up while its owner still held it, because the target
// granted its handle again: the owner must subscribe it anew.
struct LostNotification {
    PAdsNotificationFuncEx callback;
    uint32_t userValue;
};
std::vector<LostNotification> TakeLostNotifications(int32_t port);
// Losses and identity of the connection serving the NetId (all zero when there is none).
ConnectionCounters GetConnectionCounters(AmsNetId netId);
}
