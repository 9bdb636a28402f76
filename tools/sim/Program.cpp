// Programs: the symbol table with the structure types it uses and the data-type table they
// make. A new program keeps the connections but none of the old program's handles and
// notifications, counts the symbol version up and may bring other symbols and types.
#include "tools/sim/SimServer.h"

#include "tools/sim/SymbolFile.h"

namespace plcsim {

void PlcSimulator::Impl::LoadProgramLocked(const SimProgram& program)
{
    symbols.clear();
    for (const SymbolDef& s : program.symbols) {
        const double center = s.behaviour == Behaviour::Sine ? symfile::SineCenter(s.initial) : 0;
        symbols[Lower(s.name)] =
            Symbol{s.name, s.initial, s.behaviour, s.typeName, s.comment, center, s.dataTypeId, s.parts};
    }
    structs.clear();
    for (const StructType& type : program.types) {
        structs[Lower(type.name)] = type;
    }
    dataTypeTable = EncodeDataTypeTable(program.types, program.aliases);
    dataTypeCount = static_cast<uint32_t>(program.types.size() + program.aliases.size());
}

std::pair<const std::vector<uint8_t>*, uint32_t> PlcSimulator::Impl::DataTypesLocked() const
{
    static const std::vector<uint8_t> none;
    if (!dataTypeInfo) {
        return {&none, 0};
    }
    if (dataTypeOverride) {
        return {&dataTypeOverride->first, dataTypeOverride->second};
    }
    return {&dataTypeTable, dataTypeCount};
}

void PlcSimulator::LoadProgram(const SimProgram& program)
{
    std::lock_guard<std::mutex> lock(impl->mtx);
    impl->LoadProgramLocked(program);
}

void PlcSimulator::SetDataTypeTable(std::vector<uint8_t> bytes, uint32_t count)
{
    std::lock_guard<std::mutex> lock(impl->mtx);
    impl->dataTypeOverride.emplace(std::move(bytes), count);
}

void PlcSimulator::ClearDataTypeTableOverride()
{
    std::lock_guard<std::mutex> lock(impl->mtx);
    impl->dataTypeOverride.reset();
}

void PlcSimulator::ChangeProgram(std::chrono::milliseconds stop, const std::optional<std::vector<SymbolDef>>& next)
{
    if (next) {
        ChangeProgram(stop, SimProgram{{}, {}, *next});
        return;
    }
    ChangeProgram(stop, static_cast<const SimProgram*>(nullptr));
}

void PlcSimulator::ChangeProgram(std::chrono::milliseconds stop, const SimProgram& next)
{
    ChangeProgram(stop, &next);
}

void PlcSimulator::ChangeProgram(std::chrono::milliseconds stop, const SimProgram* next)
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
            impl->LoadProgramLocked(*next);
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
