#include "AdsDevice.h"

#include "LittleEndian.h"

#include <cstdio>
#include <stdexcept>

using namespace plc::ads;

namespace {
std::string ExceptionText(int32_t code)
{
    char text[64];
    std::snprintf(text, sizeof(text), "Ads operation failed with error code %ld.", static_cast<long>(code));
    return text;
}

// The route exists only once its owner is allocated, so a failed allocation leaks nothing.
const AmsNetId* AddRoute(AmsNetId netId, const std::string& host, uint32_t connectTimeoutMs,
                         const SecureSettings* secure)
{
    auto owner = std::make_unique<const AmsNetId>(netId);
    const int32_t status = plc::ads::AddLocalRoute(netId, host.c_str(), connectTimeoutMs, secure);
    if (status) {
        throw AdsException(status);
    }
    return owner.release();
}

const int32_t* OpenPort()
{
    auto owner = std::make_unique<int32_t>(0);
    *owner = AdsPortOpenEx();
    return owner.release();
}

int32_t DeleteRoute(AmsNetId netId)
{
    plc::ads::DelLocalRoute(netId);
    return 0;
}

int32_t ReleaseNothing(uint32_t)
{
    return 0;
}
}

AdsException::AdsException(int32_t code) : resultCode(code), message(ExceptionText(code))
{
}

AdsDevice::AdsDevice(const std::string& ipV4, AmsNetId netId, uint16_t port, uint32_t connectTimeoutMs,
                     const SecureSettings* secure)
    : routeGuard(AddRoute(netId, ipV4, connectTimeoutMs, secure), ResourceDeleter<const AmsNetId>{DeleteRoute}),
      address{netId, port},
      localPortGuard(OpenPort(), ResourceDeleter<const int32_t>{AdsPortCloseEx})
{
}

uint16_t AdsDevice::GetLocalPort() const
{
    return static_cast<uint16_t>(*localPortGuard);
}

AdsDeviceInfo AdsDevice::GetDeviceInfo() const
{
    AdsDeviceInfo info{};
    const int32_t status = AdsSyncReadDeviceInfoReqEx(GetLocalPort(), &address, info.deviceName, &info.deviceVersion);
    if (status) {
        throw AdsException(status);
    }
    return info;
}

AdsStatePair AdsDevice::GetState() const
{
    uint16_t adsState = 0;
    uint16_t deviceState = 0;
    const int32_t status = AdsSyncReadStateReqEx(GetLocalPort(), &address, &adsState, &deviceState);
    if (status) {
        throw AdsException(status);
    }
    if (adsState >= ADSSTATE_MAXSTATES) {
        throw std::out_of_range("Unknown ADSSTATE(" + std::to_string(adsState) + ")");
    }
    if (deviceState >= ADSSTATE_MAXSTATES) {
        throw std::out_of_range("Unknown ADSSTATE(" + std::to_string(deviceState) + ")");
    }
    return AdsStatePair{static_cast<ADSSTATE>(adsState), static_cast<ADSSTATE>(deviceState)};
}

void AdsDevice::SetState(ADSSTATE ads, ADSSTATE device) const
{
    const int32_t status = AdsSyncWriteControlReqEx(GetLocalPort(), &address, ads, device, 0, nullptr);
    if (status) {
        throw AdsException(status);
    }
}

uint32_t AdsDevice::GetTimeout() const
{
    uint32_t timeout = 0;
    const int32_t status = AdsSyncGetTimeoutEx(GetLocalPort(), &timeout);
    if (status) {
        throw AdsException(status);
    }
    return timeout;
}

void AdsDevice::SetTimeout(uint32_t timeoutMs) const
{
    const int32_t status = AdsSyncSetTimeoutEx(GetLocalPort(), timeoutMs);
    if (status) {
        throw AdsException(status);
    }
}

OwnedHandle AdsDevice::GetHandle(const std::string& symbolName) const
{
    uint8_t handle[sizeof(uint32_t)] = {};
    uint32_t bytesRead = 0;
    const int32_t status =
        ReadWriteReqEx2(ADS_IGRP_SYMBOL_HANDLE_BY_NAME, 0, sizeof(handle), handle,
                        static_cast<uint32_t>(symbolName.size()), symbolName.data(), &bytesRead);
    if (status || bytesRead != sizeof(handle)) {
        // A short reply is no handle, and must not read as success.
        throw AdsException(status ? status : ADS_ERR_INVALID_SIZE);
    }
    return AdoptSymbolHandle(le::Read<uint32_t>(handle));
}

OwnedHandle AdsDevice::AdoptSymbolHandle(uint32_t handle) const
{
    return OwnedHandle{new uint32_t{handle},
                       ResourceDeleter<uint32_t>{[this](uint32_t h) { return DeleteSymbolHandle(h); }}};
}

OwnedHandle AdsDevice::AdoptNotificationHandle(uint32_t handle) const
{
    return OwnedHandle{new uint32_t{handle},
                       ResourceDeleter<uint32_t>{[this](uint32_t h) { return DeleteNotificationHandle(h); }}};
}

OwnedHandle AdsDevice::GetHandle(uint32_t offset) const
{
    return OwnedHandle{new uint32_t{offset}, ResourceDeleter<uint32_t>{ReleaseNothing}};
}

OwnedHandle AdsDevice::GetHandle(uint32_t indexGroup, uint32_t indexOffset, const AdsNotificationAttrib& attributes,
                                 PAdsNotificationFuncEx callback, uint32_t userValue) const
{
    auto owner = std::make_unique<uint32_t>(0);
    uint32_t handle = 0;
    const int32_t status = AdsSyncAddDeviceNotificationReqEx(GetLocalPort(), &address, indexGroup, indexOffset,
                                                             &attributes, callback, userValue, &handle);
    if (status || !handle) {
        throw AdsException(status ? status : ADS_ERR_INVALID_RESPONSE);
    }
    *owner = handle;
    return OwnedHandle{owner.release(),
                       ResourceDeleter<uint32_t>{[this](uint32_t h) { return DeleteNotificationHandle(h); }}};
}

OwnedHandle AdsDevice::OpenFile(const std::string& fileName, uint32_t flags) const
{
    auto owner = std::make_unique<uint32_t>(0);
    uint8_t handle[sizeof(uint32_t)] = {};
    uint32_t bytesRead = 0;
    const int32_t status = ReadWriteReqEx2(ADS_IGRP_FILE_OPEN, flags, sizeof(handle), handle,
                                           static_cast<uint32_t>(fileName.size()), fileName.data(), &bytesRead);
    if (status) {
        throw AdsException(status);
    }
    *owner = le::Read<uint32_t>(handle);
    return OwnedHandle{owner.release(), ResourceDeleter<uint32_t>{[this](uint32_t h) { return CloseFile(h); }}};
}

int32_t AdsDevice::DeleteNotificationHandle(uint32_t handle) const
{
    if (!handle) {
        return 0;
    }
    if (releasesUnanswered.load()) {
        return plc::ads::ForgetNotification(GetLocalPort(), address, handle);
    }
    const int32_t status = AdsSyncDelDeviceNotificationReqEx(GetLocalPort(), &address, handle);
    if (status == ADS_ERR_SYNC_TIMEOUT) {
        releasesUnanswered = true;
    }
    return status;
}

int32_t AdsDevice::DeleteSymbolHandle(uint32_t handle) const
{
    if (releasesUnanswered.load()) {
        return ReleaseUnawaited({}, {handle});
    }
    uint8_t bytes[sizeof(uint32_t)];
    le::Write<uint32_t>(bytes, handle);
    const int32_t status = WriteReqEx(ADS_IGRP_SYMBOL_RELEASE_HANDLE, 0, sizeof(bytes), bytes);
    if (status == ADS_ERR_SYNC_TIMEOUT) {
        releasesUnanswered = true;
    }
    return status;
}

int32_t AdsDevice::ReleaseUnawaited(const std::vector<uint32_t>& notifications,
                                    const std::vector<uint32_t>& symbolHandles) const
{
    return plc::ads::ReleaseUnawaited(GetLocalPort(), address, notifications, symbolHandles);
}

std::vector<plc::ads::LostNotification> AdsDevice::TakeLostNotifications() const
{
    return plc::ads::TakeLostNotifications(GetLocalPort());
}

int32_t AdsDevice::CloseFile(uint32_t handle) const
{
    return ReadWriteReqEx2(ADS_IGRP_FILE_CLOSE, handle, 0, nullptr, 0, nullptr, nullptr);
}

int32_t AdsDevice::ReadReqEx2(uint32_t group, uint32_t offset, uint32_t length, void* buffer,
                              uint32_t* bytesRead) const
{
    return AdsSyncReadReqEx2(GetLocalPort(), &address, group, offset, length, buffer, bytesRead);
}

int32_t AdsDevice::ReadWriteReqEx2(uint32_t group, uint32_t offset, uint32_t readLength, void* readData,
                                   uint32_t writeLength, const void* writeData, uint32_t* bytesRead) const
{
    return AdsSyncReadWriteReqEx2(GetLocalPort(), &address, group, offset, readLength, readData, writeLength,
                                  writeData, bytesRead);
}

int32_t AdsDevice::WriteReqEx(uint32_t group, uint32_t offset, uint32_t length, const void* buffer) const
{
    return AdsSyncWriteReqEx(GetLocalPort(), &address, group, offset, length, buffer);
}

void AdsDevice::AbortConnection() const
{
    plc::ads::AbortConnection(address.amsNetId);
}

AdsNotification::AdsNotification(const AdsDevice& device, const std::string& symbolName,
                                 const AdsNotificationAttrib& attributes, PAdsNotificationFuncEx callback,
                                 uint32_t userValue)
    : symbolHandle(device.GetHandle(symbolName)),
      notificationHandle(
          device.GetHandle(ADS_IGRP_SYMBOL_VALUE_BY_HANDLE, *symbolHandle, attributes, callback, userValue))
{
}

AdsNotification::AdsNotification(OwnedHandle symbol, OwnedHandle notification)
    : symbolHandle(std::move(symbol)), notificationHandle(std::move(notification))
{
}

AdsNotification::Handles AdsNotification::Release()
{
    const auto take = [](OwnedHandle& owned) {
        const std::unique_ptr<uint32_t> raw(owned.release());
        return raw ? *raw : 0u;
    };
    const uint32_t notification = take(notificationHandle);
    return Handles{take(symbolHandle), notification};
}
