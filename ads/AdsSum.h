// Sum commands: many sub-requests in one ADS ReadWrite, so that a thousand variables cost a
// few round trips instead of thousands. Encoders and decoders are apart from the requests so
// they can be fed any bytes on their own.
//
// Layouts (all numbers little-endian). Each is one ReadWrite to the index group below with
// index offset n, the number of sub-requests (at most SUM_MAX_SUB_REQUESTS per request):
//
//   0xF080 read:       written n x {u32 group, u32 offset, u32 length}
//                      read    n x u32 result, then the n data areas, each of its length
//   0xF081 write:      written n x {u32 group, u32 offset, u32 length}, then the n data areas
//                      read    n x u32 result
//   0xF082 read-write: written n x {u32 group, u32 offset, u32 read length, u32 write length},
//                              then the n write areas
//                      read    n x {u32 result, u32 returned length}, then the returned data
//                              back to back, each at most its read length
//   0xF085 add notification:
//                      written n x {u32 group, u32 offset, u32 length, u32 transmission mode,
//                              u32 max delay, u32 cycle time, 16 zero bytes} (40 bytes each)
//                      read    n x {u32 result, u32 notification handle}
//   0xF086 delete notification:
//                      written n x u32 notification handle
//                      read    n x u32 result
//
// A reply whose size is not exactly what its layout gives is invalid as a whole
// (ADS_ERR_INVALID_RESPONSE) and nothing of it is used.
#pragma once

#include "AdsDef.h"

#include <cstddef>
#include <cstdint>
#include <vector>

namespace plc::ads {

constexpr uint32_t ADS_IGRP_SUM_READ = 0xF080;
constexpr uint32_t ADS_IGRP_SUM_WRITE = 0xF081;
constexpr uint32_t ADS_IGRP_SUM_READ_WRITE = 0xF082;
constexpr uint32_t ADS_IGRP_SUM_ADD_NOTIFICATION = 0xF085;
constexpr uint32_t ADS_IGRP_SUM_DEL_NOTIFICATION = 0xF086;
constexpr size_t SUM_MAX_SUB_REQUESTS = 500;
constexpr size_t SUM_NOTIFICATION_REQUEST_SIZE = 40;

struct SumReadWriteRequest {
    uint32_t group = 0;
    uint32_t offset = 0;
    uint32_t readLength = 0;
    std::vector<uint8_t> write;
};

struct SumWriteRequest {
    uint32_t group = 0;
    uint32_t offset = 0;
    std::vector<uint8_t> data;
};

struct SumNotificationRequest {
    uint32_t group = 0;
    uint32_t offset = 0;
    AdsNotificationAttrib attributes{};
    PAdsNotificationFuncEx callback = nullptr;
    uint32_t userValue = 0;
};

struct SumReadWriteResult {
    int32_t result = 0;
    std::vector<uint8_t> data;
};

struct SumGrant {
    int32_t result = 0;
    uint32_t handle = 0;
};

// Encoders of the written part, for `count` sub-requests from `first`.
std::vector<uint8_t> EncodeSumReadWrite(const std::vector<SumReadWriteRequest>& subs, size_t first, size_t count);
std::vector<uint8_t> EncodeSumWrite(const std::vector<SumWriteRequest>& subs, size_t first, size_t count);
std::vector<uint8_t> EncodeSumAddNotification(const std::vector<SumNotificationRequest>& subs, size_t first,
                                              size_t count);
std::vector<uint8_t> EncodeSumDelNotification(const std::vector<uint32_t>& handles, size_t first, size_t count);

// Decoders; each returns ADS_OK or ADS_ERR_INVALID_RESPONSE, appends only on success and
// never reads outside [data, data + size).
// Replies of n results (0xF081, 0xF086).
int32_t DecodeSumResults(const uint8_t* data, size_t size, size_t n, std::vector<int32_t>& out);
// Reply of 0xF080: the read lengths of the n sub-requests.
int32_t DecodeSumRead(const uint8_t* data, size_t size, const std::vector<uint32_t>& readLengths,
                      std::vector<SumReadWriteResult>& out);
// Reply of 0xF082: the read lengths of the n sub-requests bound each returned length.
int32_t DecodeSumReadWrite(const uint8_t* data, size_t size, const std::vector<uint32_t>& readLengths,
                           std::vector<SumReadWriteResult>& out);
// Reply of 0xF085; a granted handle 0 is no notification and reads as ADS_ERR_INVALID_RESPONSE.
int32_t DecodeSumAddNotification(const uint8_t* data, size_t size, size_t n, std::vector<SumGrant>& out);

// The requests, split into chunks of at most SUM_MAX_SUB_REQUESTS. The results of the chunks
// that were answered are appended; the first chunk that fails as a whole ends the call with
// its code, so `results->size()` tells how many sub-requests were served.
int32_t SumReadWrite(int32_t port, const AmsAddr* pAddr, const std::vector<SumReadWriteRequest>& subs,
                     std::vector<SumReadWriteResult>* results);
int32_t SumWrite(int32_t port, const AmsAddr* pAddr, const std::vector<SumWriteRequest>& subs,
                 std::vector<int32_t>* results);
// Granted notifications deliver their samples like single ones.
int32_t SumAddDeviceNotifications(int32_t port, const AmsAddr* pAddr, const std::vector<SumNotificationRequest>& subs,
                                  std::vector<SumGrant>* grants);
// A refusal of the first chunk leaves every notification as it was (`results` empty); otherwise
// all of them are forgotten locally, each with its own result or the failed chunk's code: those
// of a failed chunk are deleted once more without waiting, and a handle the port no longer holds
// is not sent at all (ADS_ERR_NOTIFICATION_NOT_FOUND).
int32_t SumDelDeviceNotifications(int32_t port, const AmsAddr* pAddr, const std::vector<uint32_t>& handles,
                                  std::vector<int32_t>* results);

// Whether a whole-request code says the target has no such sum command (an older runtime).
bool SumRefused(int32_t code);

} // namespace plc::ads
