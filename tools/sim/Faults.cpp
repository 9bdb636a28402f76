// Fault injection: misbehaving replies, silence, restarts, dropped connections and raw bytes.
#include "tools/sim/SimServer.h"

namespace plcsim {

std::optional<ReplyFault> PlcSimulator::Impl::TakeFault(uint16_t cmdId, const std::vector<uint8_t>& request)
{
    const uint32_t group = request.size() >= 4 ? le::Read<uint32_t>(request.data()) : 0;
    std::lock_guard<std::mutex> lock(mtx);
    for (auto it = faults.begin(); it != faults.end(); ++it) {
        if (it->count > 0 && (it->command == 0 || it->command == cmdId) && (it->group == 0 || it->group == group)) {
            ReplyFault f = *it;
            if (it->count != ReplyFault::kForever && --it->count == 0) {
                faults.erase(it);
            }
            return f;
        }
    }
    return std::nullopt;
}

bool PlcSimulator::Impl::SendReply(Connection& c, AoEHeader h, std::vector<uint8_t> data, const std::optional<ReplyFault>& fault,
               const std::vector<uint32_t>& arm)
{
    using K = ReplyFault::Kind;
    if (!fault) {
        const bool ok = c.Send(Packet(h, data));
        Arm(arm);
        return ok;
    }
    const uint32_t v = fault->value;
    switch (fault->kind) {
    case K::Delay: {
        std::lock_guard<std::mutex> lock(mtx);
        delayed.push_back(Delayed{Clock::now() + fault->delay, c.shared_from_this(), Packet(h, data), arm});
        tickCv.notify_all();
        return true;
    }
    case K::Drop:
        Arm(arm);
        return true;
    case K::WrongInvokeId:
        h.invokeId = v != 0 ? v : (h.invokeId ^ 0x80000000u);
        break;
    case K::UnknownCommand:
        h.cmdId = static_cast<uint16_t>(v != 0 ? v : 100);
        break;
    case K::AmsError:
        h.errorCode = v != 0 ? v : 0x700;
        break;
    case K::Oversized:
        data.resize(data.size() + (v != 0 ? v : 16), 0);
        h.length = static_cast<uint32_t>(data.size());
        break;
    case K::Undersized:
        data.resize(v != 0 ? v : 2, 0);
        h.length = static_cast<uint32_t>(data.size());
        break;
    case K::Edit:
        if (fault->edit) {
            fault->edit(data);
        }
        h.length = static_cast<uint32_t>(data.size());
        break;
    case K::ShortFrameBefore: {
        const uint32_t n = std::min<uint32_t>(v != 0 ? v : 10, AoEHeader::SIZE - 1);
        std::vector<uint8_t> shortFrame(AmsTcpHeader::SIZE + n, 0);
        AmsTcpHeader tcp;
        tcp.length = n;
        tcp.Encode(shortFrame.data());
        const auto packet = Packet(h, data);
        shortFrame.insert(shortFrame.end(), packet.begin(), packet.end());
        const bool ok = c.Send(shortFrame);
        Arm(arm);
        return ok;
    }
    case K::Split: {
        const auto packet = Packet(h, data);
        bool ok = true;
        {
            std::lock_guard<std::mutex> lock(c.sendMutex);
            for (size_t i = 0; ok && i < packet.size(); ++i) {
                ok = c.SendLocked(&packet[i], 1);
            }
        }
        Arm(arm);
        return ok;
    }
    case K::CloseBefore:
    case K::ResetBefore: {
        std::lock_guard<std::mutex> lock(c.sendMutex);
        c.CloseLocked(fault->kind == K::ResetBefore);
        return false;
    }
    case K::CloseInside:
    case K::ResetInside: {
        const auto packet = Packet(h, data);
        size_t cut = data.empty() ? 20 : AmsTcpHeader::SIZE + AoEHeader::SIZE + data.size() / 2;
        if (v != 0) {
            cut = v;
        }
        cut = std::min(cut, packet.size() - 1);
        std::lock_guard<std::mutex> lock(c.sendMutex);
        c.SendLocked(packet.data(), cut);
        c.CloseLocked(fault->kind == K::ResetInside);
        return false;
    }
    case K::CloseAfter:
    case K::ResetAfter: {
        const auto packet = Packet(h, data);
        std::lock_guard<std::mutex> lock(c.sendMutex);
        c.SendLocked(packet.data(), packet.size());
        c.CloseLocked(fault->kind == K::ResetAfter);
        return false;
    }
    }
    const bool ok = c.Send(Packet(h, data));
    Arm(arm);
    return ok;
}

void PlcSimulator::InjectReplyFault(const ReplyFault& fault)
{
    if (fault.count == 0) {
        return;
    }
    std::lock_guard<std::mutex> lock(impl->mtx);
    impl->faults.push_back(fault);
}

void PlcSimulator::ClearReplyFaults()
{
    std::lock_guard<std::mutex> lock(impl->mtx);
    impl->faults.clear();
}

size_t PlcSimulator::PendingReplyFaults() const
{
    std::lock_guard<std::mutex> lock(impl->mtx);
    return impl->faults.size();
}

void PlcSimulator::SetSilent(bool silent)
{
    {
        std::lock_guard<std::mutex> lock(impl->mtx);
        impl->silent = silent;
    }
    impl->tickCv.notify_all();
}

void PlcSimulator::SetSilentPort(uint16_t adsPort, bool silent)
{
    {
        std::lock_guard<std::mutex> lock(impl->mtx);
        if (silent) {
            impl->silentPorts.insert(adsPort);
        } else {
            impl->silentPorts.erase(adsPort);
        }
    }
    impl->tickCv.notify_all();
}

bool PlcSimulator::Silent() const
{
    std::lock_guard<std::mutex> lock(impl->mtx);
    return impl->silent;
}

void PlcSimulator::Restart(std::chrono::milliseconds downtime)
{
    std::lock_guard<std::mutex> api(impl->apiMtx);
    {
        std::lock_guard<std::mutex> lock(impl->lifeMtx);
        if (!impl->running) {
            return;
        }
        impl->CloseListener();
    }
    impl->Log("restarting, down for " + std::to_string(downtime.count()) + " ms");
    impl->CloseAllConnections();
    {
        std::lock_guard<std::mutex> lock(impl->mtx);
        impl->handles.clear();
        impl->notifications.clear();
        impl->delayed.clear();
        impl->relistenAt = Clock::now() + downtime;
    }
    impl->tickCv.notify_all();
}

void PlcSimulator::DropConnections()
{
    std::lock_guard<std::mutex> lock(impl->connMtx);
    for (auto& c : impl->conns) {
        c->Shutdown();
    }
}

size_t PlcSimulator::SendRaw(const std::vector<uint8_t>& bytes)
{
    std::vector<std::shared_ptr<Connection>> list;
    {
        std::lock_guard<std::mutex> lock(impl->connMtx);
        list = impl->conns;
    }
    size_t sent = 0;
    for (auto& c : list) {
        if (!c->finished && c->Send(bytes)) {
            ++sent;
        }
    }
    return sent;
}

bool PlcSimulator::SendRawToLatest(const std::vector<uint8_t>& bytes)
{
    std::shared_ptr<Connection> target;
    {
        std::lock_guard<std::mutex> lock(impl->connMtx);
        for (auto it = impl->conns.rbegin(); it != impl->conns.rend(); ++it) {
            if (!(*it)->finished) {
                target = *it;
                break;
            }
        }
    }
    return target && target->Send(bytes);
}

} // namespace plcsim
