// The symbol table: symbols by name, handles, the symbol-information services and the
// behaviours that move symbol values on every tick.
#include "tools/sim/SimServer.h"

#include "ads/AdsTypeNames.h"

#include <cmath>
#include <cstdlib>
#include <sstream>

namespace plcsim {

namespace {

// Adds (or with step -1 subtracts) one to a little-endian integer of any width.
void Step(uint8_t* p, size_t size, int step)
{
    for (size_t i = 0; i < size; ++i) {
        const uint8_t before = p[i];
        p[i] = static_cast<uint8_t>(before + step);
        if ((step > 0 && before != 0xFF) || (step < 0 && before != 0x00)) {
            break;
        }
    }
}

// One tick of a behaviour on a value's bytes.
void Move(uint8_t* p, size_t size, Behaviour behaviour, double center, double angle)
{
    switch (behaviour) {
    case Behaviour::Constant:
        break;
    case Behaviour::CountUp:
        Step(p, size, 1);
        break;
    case Behaviour::CountDown:
        Step(p, size, -1);
        break;
    case Behaviour::Sine: {
        const double amplitude = center == 0 ? 100.0 : std::fabs(center) / 10;
        const double swing = center + amplitude * std::sin(angle);
        if (size == 4) {
            const float f = static_cast<float>(swing);
            uint32_t bits;
            std::memcpy(&bits, &f, 4);
            le::Write<uint32_t>(p, bits);
        } else if (size == 8) {
            uint64_t bits;
            std::memcpy(&bits, &swing, 8);
            le::Write<uint64_t>(p, bits);
        }
        break;
    }
    }
}

} // namespace

Symbol* PlcSimulator::Impl::SymbolByHandleLocked(uint32_t handle, size_t* offset, size_t* size)
{
    auto h = handles.find(handle);
    if (h == handles.end()) {
        return nullptr;
    }
    auto s = symbols.find(h->second.key);
    // A symbol that shrank since (SetSymbolValue) no longer holds the element.
    if (s == symbols.end() || h->second.offset + h->second.size.value_or(0) > s->second.value.size()) {
        return nullptr;
    }
    *offset = h->second.offset;
    *size = h->second.size.value_or(s->second.value.size());
    return &s->second;
}

std::vector<uint8_t> PlcSimulator::Impl::ReadByHandleLocked(uint32_t handle, uint32_t len)
{
    size_t offset = 0;
    size_t size = 0;
    Symbol* s = SymbolByHandleLocked(handle, &offset, &size);
    if (s == nullptr) {
        return ReadResult(kErrSymbolNotFound);
    }
    if (len > size) {
        return ReadResult(kErrInvalidSize);
    }
    return ReadResult(0, s->value.data() + offset, len);
}

uint32_t PlcSimulator::Impl::WriteByHandleLocked(uint32_t handle, const uint8_t* p, uint32_t len)
{
    size_t offset = 0;
    size_t size = 0;
    Symbol* s = SymbolByHandleLocked(handle, &offset, &size);
    if (s == nullptr) {
        return kErrSymbolNotFound;
    }
    if (len > size) {
        return kErrInvalidSize;
    }
    std::copy(p, p + len, s->value.begin() + static_cast<std::ptrdiff_t>(offset));
    return 0;
}

uint32_t PlcSimulator::Impl::ReleaseHandleLocked(const uint8_t* p, uint32_t len)
{
    if (len < 4) {
        return kErrInvalidSize;
    }
    return handles.erase(le::Read<uint32_t>(p)) != 0 ? 0 : kErrSymbolNotFound;
}

std::vector<uint8_t> PlcSimulator::Impl::HandleByNameLocked(const uint8_t* p, uint32_t writeLen, uint32_t readLen)
{
    std::string name(reinterpret_cast<const char*>(p), writeLen);
    while (!name.empty() && name.back() == '\0') {
        name.pop_back();
    }
    if (readLen < 4) {
        return ReadResult(kErrInvalidSize);
    }
    const std::optional<SymbolRef> ref = ResolveLocked(name);
    if (!ref) {
        return ReadResult(kErrSymbolNotFound);
    }
    if (handles.size() >= kMaxHandles) {
        return ReadResult(kErrNoMoreHandles);
    }
    while (nextSymbolHandle == 0 || handles.count(nextSymbolHandle) != 0) {
        ++nextSymbolHandle;
    }
    const uint32_t handle = nextSymbolHandle++;
    handles.emplace(handle, *ref);
    uint8_t out[4];
    le::Write<uint32_t>(out, handle);
    return ReadResult(0, out, 4);
}

// The made-up address of a symbol: its place in the name-ordered table.
uint32_t PlcSimulator::Impl::SymbolOffsetLocked(const std::string& key) const
{
    uint64_t offset = 0;
    for (auto it = symbols.begin(); it != symbols.end() && it->first != key; ++it) {
        offset += it->second.value.size();
    }
    return static_cast<uint32_t>(offset);
}

std::vector<uint8_t> PlcSimulator::Impl::SymbolEntryLocked(const Symbol& s, uint32_t offset)
{
    return EncodeSymbolEntry(s.name, s.typeName.empty() ? DefaultTypeName(s.value.size()) : s.typeName,
                             s.comment, static_cast<uint32_t>(s.value.size()), kSymbolAreaGroup, offset,
                             s.dataTypeId);
}

std::vector<uint8_t> PlcSimulator::Impl::SymbolUploadLocked(uint32_t group, uint32_t len)
{
    std::vector<uint8_t> table;
    uint32_t offset = 0;
    for (const auto& entry : symbols) {
        const std::vector<uint8_t> bytes = SymbolEntryLocked(entry.second, offset);
        table.insert(table.end(), bytes.begin(), bytes.end());
        offset += static_cast<uint32_t>(entry.second.value.size());
    }
    if (group == ADS_IGRP_SYMBOL_UPLOAD_INFO) {
        const auto [types, typeCount] = DataTypesLocked();
        uint8_t info[24] = {};
        le::Writer(info)
            .Put<uint32_t>(static_cast<uint32_t>(symbols.size()))
            .Put<uint32_t>(static_cast<uint32_t>(table.size()))
            .Put<uint32_t>(typeCount)
            .Put<uint32_t>(static_cast<uint32_t>(types->size()));
        return ReadResult(0, info, std::min<size_t>(len, sizeof(info)));
    }
    return table.size() > len ? ReadResult(kErrInvalidSize) : ReadResult(0, table.data(), table.size());
}

std::vector<uint8_t> PlcSimulator::Impl::SymbolInfoByNameLocked(const uint8_t* p, uint32_t writeLen, uint32_t readLen)
{
    const std::string name(std::string(reinterpret_cast<const char*>(p), writeLen).c_str());
    const std::optional<SymbolRef> ref = ResolveLocked(name);
    if (!ref) {
        return ReadResult(kErrSymbolNotFound);
    }
    const Symbol& symbol = symbols.at(ref->key);
    const uint32_t offset = SymbolOffsetLocked(ref->key);
    const std::vector<uint8_t> entry =
        ref->size ? EncodeSymbolEntry(name, ref->typeName, std::string(), static_cast<uint32_t>(*ref->size),
                                      kSymbolAreaGroup, offset + static_cast<uint32_t>(ref->offset), ref->dataTypeId)
                  : SymbolEntryLocked(symbol, offset);
    return entry.size() > readLen ? ReadResult(kErrInvalidSize) : ReadResult(0, entry.data(), entry.size());
}

void PlcSimulator::Impl::ApplyBehavioursLocked()
{
    const double angle = 0.1 * static_cast<double>(tickCount);
    for (auto& entry : symbols) {
        Symbol& s = entry.second;
        Move(s.value.data(), s.value.size(), s.behaviour, s.sineCenter, angle);
        for (const SymbolPart& part : s.parts) {
            if (size_t{part.offset} + part.size <= s.value.size()) {
                Move(s.value.data() + part.offset, part.size, part.behaviour, part.sineCenter, angle);
            }
        }
    }
}

void PlcSimulator::AddSymbol(const std::string& name, std::vector<uint8_t> initial, Behaviour behaviour,
                             const std::string& typeName, const std::string& comment)
{
    double center = 0;
    if (behaviour == Behaviour::Sine && initial.size() == 4) {
        const uint32_t bits = le::Read<uint32_t>(initial.data());
        float f;
        std::memcpy(&f, &bits, 4);
        center = f;
    } else if (behaviour == Behaviour::Sine && initial.size() == 8) {
        const uint64_t bits = le::Read<uint64_t>(initial.data());
        std::memcpy(&center, &bits, 8);
    }
    std::lock_guard<std::mutex> lock(impl->mtx);
    impl->symbols[Lower(name)] = Symbol{name, std::move(initial), behaviour, typeName, comment, center, 0, {}};
}

void PlcSimulator::AddSymbols(const std::vector<SymbolDef>& symbols)
{
    for (const auto& s : symbols) {
        AddSymbol(s.name, s.initial, s.behaviour, s.typeName, s.comment);
        std::lock_guard<std::mutex> lock(impl->mtx);
        Symbol& added = impl->symbols[Lower(s.name)];
        added.dataTypeId = s.dataTypeId;
        added.parts = s.parts;
    }
}

void PlcSimulator::LoadDefaultSymbols()
{
    AddSymbols(DefaultSymbols());
}

bool PlcSimulator::RemoveSymbol(const std::string& name)
{
    std::lock_guard<std::mutex> lock(impl->mtx);
    return impl->symbols.erase(Lower(name)) != 0;
}

void PlcSimulator::ClearSymbols()
{
    std::lock_guard<std::mutex> lock(impl->mtx);
    impl->symbols.clear();
}

void PlcSimulator::SetSymbolValue(const std::string& name, const std::vector<uint8_t>& bytes)
{
    std::lock_guard<std::mutex> lock(impl->mtx);
    const std::optional<SymbolRef> ref = impl->ResolveLocked(name);
    if (!ref) {
        throw std::out_of_range("unknown symbol '" + name + "'");
    }
    std::vector<uint8_t>& value = impl->symbols.find(ref->key)->second.value;
    if (!ref->size) {
        value = bytes;
    } else if (bytes.size() > *ref->size) {
        throw std::out_of_range("more bytes than '" + name + "' holds");
    } else {
        std::copy(bytes.begin(), bytes.end(), value.begin() + static_cast<std::ptrdiff_t>(ref->offset));
    }
}

std::vector<uint8_t> PlcSimulator::GetSymbolValue(const std::string& name) const
{
    std::lock_guard<std::mutex> lock(impl->mtx);
    const std::optional<SymbolRef> ref = impl->ResolveLocked(name);
    if (!ref) {
        throw std::out_of_range("unknown symbol '" + name + "'");
    }
    const std::vector<uint8_t>& value = impl->symbols.find(ref->key)->second.value;
    const auto start = value.begin() + static_cast<std::ptrdiff_t>(ref->offset);
    return ref->size ? std::vector<uint8_t>(start, start + static_cast<std::ptrdiff_t>(*ref->size)) : value;
}

bool PlcSimulator::HasSymbol(const std::string& name) const
{
    std::lock_guard<std::mutex> lock(impl->mtx);
    return impl->ResolveLocked(name).has_value();
}

size_t PlcSimulator::OpenHandleCount() const
{
    std::lock_guard<std::mutex> lock(impl->mtx);
    return impl->handles.size();
}

} // namespace plcsim
