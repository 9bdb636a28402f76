#include "worker/plc_data_types.h"

#include "ads/AdsDataTypes.h"

#include <new>

namespace {
constexpr std::chrono::seconds FAILURE_KEPT{1};

bool notOffered(int32_t code)
{
    return code == ADSERR_DEVICE_SRVNOTSUPP || code == ADSERR_DEVICE_INVALIDGRP || code == ADSERR_DEVICE_INVALIDOFFSET;
}
}

const Structure_Layouts* Plc_Data_Types::layoutsFor(const AdsDevice& device, int32_t& code)
{
    if (layouts) {
        return layouts.get();
    }
    if (failure != 0 && (!offered || std::chrono::steady_clock::now() - failedAt < FAILURE_KEPT)) {
        code = failure;
        return nullptr;
    }
    std::vector<plc::ads::DataTypeEntry> types;
    failure = plc::ads::ReadDataTypeTable(device.GetLocalPort(), &device.Address(), &types);
    if (failure == ADS_OK) {
        try {
            layouts = std::make_unique<Structure_Layouts>(std::move(types));
            return layouts.get();
        } catch (const std::bad_alloc&) {
            failure = ADS_ERR_NO_MEMORY;
        }
    }
    offered = !notOffered(failure);
    failedAt = std::chrono::steady_clock::now();
    code = failure;
    return nullptr;
}

void Plc_Data_Types::forget()
{
    layouts.reset();
    failure = 0;
    offered = true;
}
