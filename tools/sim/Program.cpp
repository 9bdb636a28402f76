// Program changes: a new program keeps the connections but none of the old program's
// handles and notifications, counts the symbol version up and may bring another symbol table.
#include "tools/sim/SimServer.h"

namespace plcsim {

void PlcSimulator::ChangeProgram(std::chrono::milliseconds stop, const std::optional<std::vector<SymbolDef>>& next)
{
    uint8_t version = 0;
    {
        std::lock_guard<std::mutex> lock(impl->mtx);
        version = ++impl->memory[ADS_IGRP_SYMBOL_VERSION][0].at(0);
        impl->handles.clear();
        for (auto it = impl->notifications.begin(); it != impl->notifications.end();) {
            const bool onVersion = !it->second.bySymbol && it->second.group == ADS_IGRP_SYMBOL_VERSION;
            it = onVersion ? std::next(it) : impl->notifications.erase(it);
        }
        if (next) {
            impl->symbols.clear();
            for (const SymbolDef& s : *next) {
                impl->symbols[Lower(s.name)] = Symbol{s.name, s.initial, s.behaviour, s.typeName, s.comment, 0, s.dataTypeId};
            }
        }
        if (stop.count() > 0) {
            impl->adsState = ADSSTATE_STOP;
            impl->runAgainAt = Clock::now() + stop;
        }
    }
    impl->tickCv.notify_all();
    impl->Log("program changed, symbol version " + std::to_string(version));
}

uint8_t PlcSimulator::SymbolVersion() const
{
    std::lock_guard<std::mutex> lock(impl->mtx);
    return impl->memory[ADS_IGRP_SYMBOL_VERSION][0].at(0);
}

} // namespace plcsim
