// The data types of one PLC program, as the device's items need them: uploaded at the first
// item that needs the layout of a structure, kept for the connection and forgotten with a
// program change, so that a PLC's table of megabytes is read once per program, not per item.
#pragma once

#include "ads/AdsDevice.h"
#include "worker/values/structure_layouts.h"

#include <chrono>
#include <cstdint>
#include <memory>

class Plc_Data_Types {
public:
    // The layouts of the PLC's program; null with `code` when they could not be read. A PLC that
    // does not offer them is not asked again before forget(); another failure is kept for a
    // second, so that the items of one pass ask once.
    const Structure_Layouts* layoutsFor(const AdsDevice& device, int32_t& code);
    void forget();

private:
    std::unique_ptr<Structure_Layouts> layouts;
    int32_t failure = 0;
    bool offered = true;
    std::chrono::steady_clock::time_point failedAt;
};
