// Placeholder so users can build against the interface; the server follows.
#include "tools/sim/PlcSimulator.h"

#include <thread>

namespace plcsim {

bool WaitUntil(const std::function<bool()>& pred, std::chrono::milliseconds timeout)
{
    const auto end = std::chrono::steady_clock::now() + timeout;
    while (!pred()) {
        if (std::chrono::steady_clock::now() >= end) {
            return pred();
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

size_t TypeSize(PlcType) { return 0; }
const char* TypeName(PlcType) { return ""; }
std::optional<PlcType> ParseTypeName(const std::string&) { return std::nullopt; }
std::vector<SymbolDef> DefaultSymbols() { return {}; }
SymbolFileError::SymbolFileError(size_t l, const std::string& w) : std::runtime_error(w), line(l) {}
std::vector<SymbolDef> ParseSymbolText(const std::string&) { return {}; }
std::vector<uint8_t> BuildNotificationFrame(const NotificationFrame&) { return {}; }
uint64_t ToFileTime(std::chrono::system_clock::time_point) { return 0; }

struct PlcSimulator::Impl {};

PlcSimulator::PlcSimulator(SimOptions o) : options(std::move(o)), impl(std::make_unique<Impl>()) {}
PlcSimulator::~PlcSimulator() = default;
uint16_t PlcSimulator::Start(const std::string&, uint16_t) { throw std::runtime_error("not implemented yet"); }
void PlcSimulator::Stop() {}
uint16_t PlcSimulator::Port() const { return 0; }
std::string PlcSimulator::HostString() const { return {}; }
bool PlcSimulator::IsListening() const { return false; }
void PlcSimulator::SetState(uint16_t, uint16_t) {}
uint16_t PlcSimulator::AdsState() const { return 0; }
uint16_t PlcSimulator::DeviceState() const { return 0; }
void PlcSimulator::SetDeviceInfo(const std::string&, AdsVersion) {}
void PlcSimulator::SetMemory(uint32_t, uint32_t, const std::vector<uint8_t>&) {}
std::vector<uint8_t> PlcSimulator::GetMemory(uint32_t, uint32_t, size_t) const { return {}; }
void PlcSimulator::AddSymbol(const std::string&, std::vector<uint8_t>, Behaviour) {}
void PlcSimulator::AddSymbols(const std::vector<SymbolDef>&) {}
void PlcSimulator::LoadDefaultSymbols() {}
bool PlcSimulator::RemoveSymbol(const std::string&) { return false; }
void PlcSimulator::ClearSymbols() {}
void PlcSimulator::SetSymbolValue(const std::string&, const std::vector<uint8_t>&) {}
std::vector<uint8_t> PlcSimulator::GetSymbolValue(const std::string&) const { return {}; }
bool PlcSimulator::HasSymbol(const std::string&) const { return false; }
void PlcSimulator::SetTickPeriod(std::chrono::milliseconds) {}
size_t PlcSimulator::OpenHandleCount() const { return 0; }
size_t PlcSimulator::NotificationCount() const { return 0; }
size_t PlcSimulator::ConnectionCount() const { return 0; }
uint64_t PlcSimulator::AcceptedCount() const { return 0; }
void PlcSimulator::SetClock(uint64_t) {}
void PlcSimulator::UseSystemClock() {}
uint64_t PlcSimulator::Now() const { return 0; }
std::vector<Request> PlcSimulator::Requests() const { return {}; }
void PlcSimulator::ClearRequests() {}
size_t PlcSimulator::RequestCount() const { return 0; }
bool PlcSimulator::WaitForRequests(const std::function<bool(const std::vector<Request>&)>&,
                                   std::chrono::milliseconds) const { return false; }
void PlcSimulator::SetRecordLimit(size_t) {}
void PlcSimulator::SetLog(std::function<void(const std::string&)>, bool) {}
void PlcSimulator::SetRequestHook(RequestHook) {}
void PlcSimulator::InjectReplyFault(const ReplyFault&) {}
void PlcSimulator::ClearReplyFaults() {}
size_t PlcSimulator::PendingReplyFaults() const { return 0; }
void PlcSimulator::SetSilent(bool) {}
bool PlcSimulator::Silent() const { return false; }
void PlcSimulator::Restart(std::chrono::milliseconds) {}
void PlcSimulator::DropConnections() {}
size_t PlcSimulator::SendRaw(const std::vector<uint8_t>&) { return 0; }
bool PlcSimulator::SendRawToLatest(const std::vector<uint8_t>&) { return false; }
std::optional<NotificationFrame> PlcSimulator::FrameForLatestClient() const { return std::nullopt; }
size_t PlcSimulator::Flood(size_t, size_t) { return 0; }

} // namespace plcsim
